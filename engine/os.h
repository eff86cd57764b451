/*
** The operating-system layer: files, whole-file locks, temporary names,
** sleep, time, random bytes and the process-wide mutex.  Nothing else in the
** engine calls the system's file services.
**
** Every function returns an engine result code unless said otherwise.  The
** failures used here are TARVIK_CANTOPEN, TARVIK_NOMEM, TARVIK_IOERR,
** TARVIK_FULL (no space or quota left), TARVIK_BUSY and TARVIK_NOLFS.
** Calls retry by themselves when a system call is interrupted (EINTR).
*/
#ifndef TARVIK_OS_H
#define TARVIK_OS_H

#include <sys/types.h>

#include "tarvikInt.h"

#ifdef TARVIK_TEST
#include <string>
#include <vector>
#endif

/* ---------------------------------------------------------------- lock states
** The lock a handle holds, and the pager's state that mirrors it. */
enum {
  TARVIK_UNLOCK = 0,    /* no lock */
  TARVIK_READLOCK = 1,  /* shared: many readers */
  TARVIK_WRITELOCK = 2, /* exclusive: one writer */
};

/* Size of the buffer tarvikOsTempFileName fills. */
constexpr int TARVIK_TEMPNAME_SIZE = 200;
/* Size of the seed tarvikOsRandomSeed fills. */
constexpr int TARVIK_SEED_SIZE = 256;

/* ---------------------------------------------------------------- lock table
** One process's view of the locks on one file.  POSIX record locks belong to
** the process, not to the descriptor, and closing any descriptor of a file
** drops all of the process's locks on it.  So all handles of this process on
** one inode share one lockInfo (the process takes the system lock once and
** counts its readers) and one openCnt (which defers descriptor closes while
** any handle of the inode holds a lock).
**
** Keys are zero-filled before they are set and compared as raw bytes; they
** carry the full dev_t and ino_t so that different files never share a
** record. */
struct lockKey {
  dev_t dev;
  ino_t ino;
  pid_t pid; /* getpid() of the process that opened the handle */
};

struct lockInfo {
  lockKey key; /* the hash key (the table does not copy keys) */
  int cnt;     /* 0 unlocked; n > 0 read lock shared by n handles; -1 write lock */
  int nRef;    /* OsFile handles pointing here */
};

struct openKey {
  dev_t dev;
  ino_t ino;
};

struct openCnt {
  openKey key;   /* the hash key (the table does not copy keys) */
  int nRef;      /* OsFile handles pointing here */
  int nLock;     /* handles of this inode that hold a lock */
  int nPending;  /* descriptors whose close waits until nLock is 0 */
  int *aPending; /* those descriptors (tarvikMalloc) */
};

/* ---------------------------------------------------------------- OsFile
** One open file, embedded by value in its owner.  It is open from a
** successful open call until tarvikOsClose, which sets fd to -1 and does
** nothing for a handle whose fd is already -1; owners track which of their
** handles are open (a zero-filled OsFile has fd 0, not -1).  Reads and writes
** happen at `offset`, which tarvikOsSeek sets and every read or write
** advances; the descriptor's own position is never used. */
struct OsFile {
  openCnt *pOpen;  /* shared record of this inode */
  lockInfo *pLock; /* shared lock record of this inode and process */
  int fd;          /* the descriptor, or -1 */
  int locked;      /* 1 while this handle holds a read or write lock */
  int dirfd;       /* -1, or the directory to sync at the next tarvikOsSync */
  i64 offset;      /* where the next read or write happens */
#ifdef TARVIK_TEST
  int testFile;       /* the fault seam's record of this file */
  unsigned testCrash; /* simulated crashes before this handle was opened */
#endif
};

/* ---------------------------------------------------------------- files */
int tarvikOsDelete(const char *zFilename);    /* TARVIK_IOERR when unlink fails */
int tarvikOsFileExists(const char *zFilename); /* 1 or 0 */

/* Read-write, created with mode 0644 when missing; falls back to read-only
** (then *pReadonly = 1, else 0).  Both failing: TARVIK_CANTOPEN. */
int tarvikOsOpenReadWrite(const char *zFilename, OsFile *id, int *pReadonly);
/* A new file (mode 0600); an existing name, or a symbolic link, is
** TARVIK_CANTOPEN.  With delFlag the name is unlinked at once, so the file
** vanishes when closed. */
int tarvikOsOpenExclusive(const char *zFilename, OsFile *id, int delFlag);
int tarvikOsOpenReadOnly(const char *zFilename, OsFile *id);
/* Remembers the directory of an open file; the next tarvikOsSync also syncs
** the directory (making a new file's name durable) and closes it. */
int tarvikOsOpenDirectory(const char *zDirname, OsFile *id);
/* Fills zBuf (TARVIK_TEMPNAME_SIZE bytes) with the name of a file that does
** not exist now: <dir>/tarvik_ + 15 random letters and digits. */
int tarvikOsTempFileName(char *zBuf);
/* Unlocks and closes.  The descriptor's close is deferred while another
** handle of this process holds a lock on the same file.  TARVIK_OK. */
int tarvikOsClose(OsFile *id);

/* Exactly amt bytes at the current offset; a short read (end of file) is
** TARVIK_IOERR. */
int tarvikOsRead(OsFile *id, void *pBuf, int amt);
/* All amt bytes or an error: TARVIK_FULL when the disk or quota is full,
** else TARVIK_IOERR. */
int tarvikOsWrite(OsFile *id, const void *pBuf, int amt);
/* Sets the offset of the next read or write; negative is TARVIK_IOERR. */
int tarvikOsSeek(OsFile *id, i64 offset);
/* Flushes the file to stable storage, then the remembered directory if any. */
int tarvikOsSync(OsFile *id);
int tarvikOsTruncate(OsFile *id, i64 nByte);
int tarvikOsFileSize(OsFile *id, i64 *pSize);

/* ---------------------------------------------------------------- locks
** Non-blocking whole-file locks.  A conflict is TARVIK_BUSY; a file system
** without record locks gives TARVIK_NOLFS.  The pager's order is read lock ->
** write lock -> read lock (a holder of the write lock downgrades by asking for
** the read lock) -> unlock.  A write lock asked for by a handle that already
** holds it, or while other handles of this process read, is TARVIK_BUSY. */
int tarvikOsReadLock(OsFile *id);
int tarvikOsWriteLock(OsFile *id);
int tarvikOsUnlock(OsFile *id);

/* ---------------------------------------------------------------- process */
/* 256 bytes: zeroes, then time() in bytes 0-3 and getpid() in bytes 4-7. */
int tarvikOsRandomSeed(char *zBuf);
/* Sleeps ms milliseconds; returns the milliseconds slept (0 for ms <= 0). */
int tarvikOsSleep(int ms);
/* The process-wide mutex guarding the lock tables, the random generator and
** other one-time state.  Not re-entrant: nesting is an assertion failure. */
void tarvikOsEnterMutex();
void tarvikOsLeaveMutex();
/* A name starting with "/" is copied; otherwise the current directory, "/"
** and the name are joined ("." and ".." are kept).  If the current directory
** cannot be read, a copy of the name itself.  Freed with tarvikFree; null only
** when out of memory. */
char *tarvikOsFullPathname(const char *zRelative);
/* The current time as a Julian day number (whole seconds). */
int tarvikOsCurrentTime(double *prNow);

/* ---------------------------------------------------------------- random (random.cpp)
** Pseudo-random bytes from a keystream seeded once per process by
** tarvikOsRandomSeed.  Takes the mutex. */
void tarvikRandomness(int N, void *pBuf);

#ifdef TARVIK_TEST
/* ================================================================ test seam
** Compiled only into the test library.  Call tarvikTestOsReset() at the start
** of each test; state persists across tests of one program otherwise.  The
** seam is for single-threaded tests.  Typical uses:
**
**   tarvikTestOsReset(TARVIK_TESTOS_LOG);          // ordering of a commit
**   ...commit...
**   EXPECT_LT(tarvikTestOsFindEvent(TARVIK_TESTOS_SYNC, "-journal"),
**             tarvikTestOsFindEvent(TARVIK_TESTOS_WRITE, "/test.db"));
**
**   for (int n = 1;; n++) {                          // every failure point
**     tarvikTestOsFail(TARVIK_TESTOS_WRITE, n, TARVIK_FULL);
**     int rc = doWork();
**     if (tarvikTestOsFailures() == 0) break;       // n passed the last call
**     tarvikTestOsFail(TARVIK_TESTOS_WRITE, 0, 0);
**     ...expect rc, reopen, check committed data is intact...
**   }
**
**   for (int k = 0;; k++) {                          // every crash point
**     tarvikTestOsReset(TARVIK_TESTOS_POWER);
**     ...open, begin, write...  (stop before the final sync)
**     if (k > tarvikTestOsUnsynced()) break;
**     tarvikTestOsCrash(k);  ...close the dead pager, reopen, check...
**   }
**
** Operations the seam sees, used for faults, counters and the event log. */
enum {
  TARVIK_TESTOS_READ = 0,
  TARVIK_TESTOS_WRITE = 1,
  TARVIK_TESTOS_SYNC = 2,
  TARVIK_TESTOS_TRUNCATE = 3,
  TARVIK_TESTOS_OPEN = 4,   /* any of the open calls, before the file is opened */
  TARVIK_TESTOS_DELETE = 5, /* tarvikOsDelete */
  TARVIK_TESTOS_NFAULT = 6, /* the operations above can be made to fail */
  TARVIK_TESTOS_CLOSE = 6,
  TARVIK_TESTOS_DIRSYNC = 7, /* the directory remembered by tarvikOsOpenDirectory */
};

/* Flags for tarvikTestOsReset. */
enum {
  TARVIK_TESTOS_LOG = 0x1,   /* record every operation in the event log */
  TARVIK_TESTOS_POWER = 0x2, /* track unsynced writes so tarvikTestOsCrash works */
};

/* Clears faults, counters, the log and the crash tracking, then enables the
** given features for files opened from now on. */
void tarvikTestOsReset(unsigned flags = 0);

/* Fails the n-th call (n >= 1, counted from now) of operation op (READ, WRITE,
** SYNC, TRUNCATE, OPEN or DELETE) with rc (TARVIK_IOERR or TARVIK_FULL; for
** OPEN usually TARVIK_CANTOPEN); with persist every later call fails too.  With
** zSuffix only calls on files whose full name ends with it are counted
** ("-journal").  A failed call changes nothing on disk.  n = 0 disarms op. */
void tarvikTestOsFail(int op, int n, int rc, bool persist = false, const char *zSuffix = nullptr);
/* Failures injected since the last tarvikTestOsReset or tarvikTestOsFail. */
int tarvikTestOsFailures();

/* Calls made per file since the last reset, by the file's full name (as
** tarvikOsFullPathname gives it for the name opened); failed calls count. */
struct TarvikTestOsCounts {
  int nRead, nWrite, nSync, nTruncate, nOpen, nDelete;
};
TarvikTestOsCounts tarvikTestOsCount(const char *zName);

/* The event log (with TARVIK_TESTOS_LOG), in call order. */
struct TarvikTestOsEvent {
  int op;            /* TARVIK_TESTOS_* */
  std::string zPath; /* full name of the file */
  i64 iOffset;       /* READ, WRITE: offset; TRUNCATE: new size */
  int nByte;         /* READ, WRITE: amount */
  int rc;            /* the result returned */
};
const std::vector<TarvikTestOsEvent> &tarvikTestOsEvents();
/* Index of the first event at or after iFrom with this op on a file whose
** full name ends with zSuffix, or -1. */
int tarvikTestOsFindEvent(int op, const char *zSuffix, int iFrom = 0);

/* Power loss (with TARVIK_TESTOS_POWER, for files opened after the reset).
** Every write and truncate not yet covered by a sync of its file is pending;
** tarvikTestOsUnsynced() counts them, across all files, in call order.
** tarvikTestOsCrash(nKeep, nTornSectors) makes every tracked file on disk what
** survives the power loss: its last synced content, plus the first nKeep
** pending operations whole; then, if nTornSectors > 0 and the next pending
** operation is a write, that write's bytes up to its nTornSectors-th 512-byte
** boundary (file offsets), and nothing after.  Deleted files stay deleted;
** files never synced keep only what they held when first opened.
** Every handle open at the crash is dead from then on: its reads, writes,
** syncs and truncates fail with TARVIK_IOERR and change nothing, and
** tarvikOsDelete fails while any dead handle is open, so closing the dead
** pager cannot remove its journal.  Close the dead handles (or their pager),
** then reopen as a new process would.  Returns TARVIK_MISUSE when power
** tracking is off. */
int tarvikTestOsUnsynced();
int tarvikTestOsCrash(int nKeep = 0, int nTornSectors = 0);
int tarvikTestOsDeadHandles();

/* The clock: t >= 0 makes tarvikOsCurrentTime report Unix time t (seconds);
** t < 0 returns to the real clock.  Not cleared by tarvikTestOsReset. */
void tarvikTestOsSetTime(i64 t);

/* Re-keys the random generator with a 256-byte seed, as if the process had
** just started with that seed. */
void tarvikTestRandomSeed(const unsigned char *aSeed);
#endif /* TARVIK_TEST */

#endif /* TARVIK_OS_H */
