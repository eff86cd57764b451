/*
** The operating-system layer over POSIX.  See os.h for the contracts.
**
** Locking model.  A lock is an fcntl record lock over the whole file (start 0,
** length 0).  Such locks belong to the process: a second descriptor of the
** same file neither conflicts with the first nor keeps its own lock, and
** closing ANY descriptor of the file drops ALL of the process's locks on it.
** So the process keeps one lockInfo per (device, inode, pid) that counts the
** handles sharing the system lock, and one openCnt per (device, inode) that
** counts locked handles and holds descriptors whose close must wait until no
** handle of that inode holds a lock.  Both tables are guarded by the
** process-wide mutex.
*/
#include "os.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

static_assert(sizeof(off_t) == 8, "file offsets must be 64-bit");

namespace {

/* ---------------------------------------------------------------- mutex */
pthread_mutex_t osMutex = PTHREAD_MUTEX_INITIALIZER;
thread_local bool inMutex = false; /* this thread holds osMutex */

/* ---------------------------------------------------------------- lock tables */
Hash lockHash = {TARVIK_HASH_BINARY, 0, 0, nullptr, 0, nullptr};
Hash openHash = {TARVIK_HASH_BINARY, 0, 0, nullptr, 0, nullptr};

/* Caller holds the mutex. */
void releaseLockInfo(lockInfo *pLock) {
  if (pLock == nullptr) return;
  pLock->nRef--;
  if (pLock->nRef == 0) {
    tarvikHashInsert(&lockHash, &pLock->key, sizeof(pLock->key), nullptr);
    tarvikFree(pLock);
  }
}

/* Caller holds the mutex. */
void releaseOpenCnt(openCnt *pOpen) {
  if (pOpen == nullptr) return;
  pOpen->nRef--;
  if (pOpen->nRef == 0) {
    tarvikHashInsert(&openHash, &pOpen->key, sizeof(pOpen->key), nullptr);
    tarvikFree(pOpen->aPending);
    tarvikFree(pOpen);
  }
}

/* Attaches the shared records of fd's inode to the handle.  Caller holds
** the mutex.  Returns false when fstat fails or memory runs out, having
** taken no reference. */
bool findLockInfo(int fd, lockInfo **ppLock, openCnt **ppOpen) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;

  lockKey key1;
  memset(&key1, 0, sizeof(key1)); /* padding takes part in the comparison */
  key1.dev = st.st_dev;
  key1.ino = st.st_ino;
  key1.pid = getpid();
  openKey key2;
  memset(&key2, 0, sizeof(key2));
  key2.dev = st.st_dev;
  key2.ino = st.st_ino;

  auto *pLock = (lockInfo *)tarvikHashFind(&lockHash, &key1, sizeof(key1));
  if (pLock) {
    pLock->nRef++;
  } else {
    pLock = (lockInfo *)tarvikMalloc(sizeof(*pLock));
    if (pLock == nullptr) return false;
    pLock->key = key1;
    pLock->nRef = 1;
    pLock->cnt = 0;
    if (tarvikHashInsert(&lockHash, &pLock->key, sizeof(pLock->key), pLock) != nullptr) {
      tarvikFree(pLock);
      return false;
    }
  }

  auto *pOpen = (openCnt *)tarvikHashFind(&openHash, &key2, sizeof(key2));
  if (pOpen) {
    pOpen->nRef++;
  } else {
    pOpen = (openCnt *)tarvikMalloc(sizeof(*pOpen));
    if (pOpen == nullptr) {
      releaseLockInfo(pLock);
      return false;
    }
    pOpen->key = key2;
    pOpen->nRef = 1;
    pOpen->nLock = 0;
    pOpen->nPending = 0;
    pOpen->aPending = nullptr;
    if (tarvikHashInsert(&openHash, &pOpen->key, sizeof(pOpen->key), pOpen) != nullptr) {
      tarvikFree(pOpen);
      releaseLockInfo(pLock);
      return false;
    }
  }
  *ppLock = pLock;
  *ppOpen = pOpen;
  return true;
}

/* Mode bits a file can be opened with; close-on-exec keeps descriptors (and
** so the process's locks) out of programs the host starts. */
constexpr int kOpenFlags = O_CLOEXEC;

int openRetry(const char *zName, int flags, mode_t mode) {
  int fd;
  do {
    fd = open(zName, flags | kOpenFlags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

void closeFd(int fd) {
  /* A close interrupted by a signal has still released the descriptor on
  ** Linux; retrying could close a descriptor another open just received. */
  close(fd);
}

/* The code for a failed write, sync or truncate. */
int writeErrorCode(int err) {
  return (err == ENOSPC || err == EDQUOT) ? TARVIK_FULL : TARVIK_IOERR;
}

/* Fills in a freshly opened handle.  On failure the descriptor is closed. */
int attachHandle(OsFile *id, int fd) {
  id->fd = fd;
  id->dirfd = -1;
  id->locked = 0;
  id->offset = 0;
  id->pLock = nullptr;
  id->pOpen = nullptr;
  tarvikOsEnterMutex();
  bool ok = findLockInfo(fd, &id->pLock, &id->pOpen);
  tarvikOsLeaveMutex();
  if (!ok) {
    closeFd(fd);
    id->fd = -1;
    return TARVIK_NOMEM;
  }
  return TARVIK_OK;
}

/* One non-blocking fcntl lock over the whole file. */
int setLock(int fd, short type) {
  struct flock lock;
  memset(&lock, 0, sizeof(lock));
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 0;
  int rc;
  do {
    rc = fcntl(fd, F_SETLK, &lock);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return TARVIK_OK;
  return errno == EINVAL ? TARVIK_NOLFS : TARVIK_BUSY;
}

}  // namespace

#ifdef TARVIK_TEST
/* The fault seam's hooks (bottom of this file). */
static void testOsOpened(OsFile *id, const char *zName, bool deleted);
static void testOsClosing(OsFile *id);
static bool testOsBefore(OsFile *id, int op, i64 iOffset, int nByte, int *pRc);
static void testOsAfter(OsFile *id, int op, i64 iOffset, const void *pBuf, int nByte, int rc);
static bool testOsDeleteBlocked(const char *zName);
static bool testOsTime(time_t *pT);
#endif

/* ---------------------------------------------------------------- mutex */
void tarvikOsEnterMutex() {
  tvAssert(!inMutex);
  pthread_mutex_lock(&osMutex);
  inMutex = true;
}

void tarvikOsLeaveMutex() {
  tvAssert(inMutex);
  inMutex = false;
  pthread_mutex_unlock(&osMutex);
}

/* ---------------------------------------------------------------- names */
int tarvikOsDelete(const char *zFilename) {
#ifdef TARVIK_TEST
  if (testOsDeleteBlocked(zFilename)) return TARVIK_IOERR;
#endif
  int rc;
  do {
    rc = unlink(zFilename);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? TARVIK_OK : TARVIK_IOERR;
}

int tarvikOsFileExists(const char *zFilename) { return access(zFilename, F_OK) == 0; }

char *tarvikOsFullPathname(const char *zRelative) {
  if (zRelative[0] == '/') return tarvikStrDup(zRelative);
  char zBuf[4096];
  char *zCwd = getcwd(zBuf, sizeof(zBuf));
  char *zBig = nullptr;
  for (size_t n = sizeof(zBuf) * 2; zCwd == nullptr && errno == ERANGE && n <= (1u << 20); n *= 2) {
    tarvikFree(zBig);
    zBig = (char *)tarvikMallocRaw((int)n);
    if (zBig == nullptr) return nullptr;
    zCwd = getcwd(zBig, n);
  }
  char *zFull = nullptr;
  if (zCwd == nullptr) {
    zFull = tarvikStrDup(zRelative);
  } else {
    tarvikSetString(&zFull, zCwd, "/", zRelative, (char *)nullptr);
  }
  tarvikFree(zBig);
  return zFull;
}

int tarvikOsTempFileName(char *zBuf) {
  static const char *const azDirs[] = {"/var/tmp", "/usr/tmp", "/tmp"};
  static const char zChars[] =
      "abcdefghijklmnopqrstuvwxyz"
      "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
      "0123456789";
  static_assert(sizeof(zChars) == 63);
  const char *zDir = ".";
  for (const char *z : azDirs) {
    struct stat st;
    if (stat(z, &st) != 0) continue;
    if (!S_ISDIR(st.st_mode)) continue;
    if (access(z, R_OK | W_OK | X_OK) != 0) continue;
    zDir = z;
    break;
  }
  do {
    int n = snprintf(zBuf, TARVIK_TEMPNAME_SIZE - 16, "%s/tarvik_", zDir);
    unsigned char aRand[15];
    tarvikRandomness(sizeof(aRand), aRand);
    for (int k = 0; k < 15; k++) zBuf[n + k] = zChars[aRand[k] % 62];
    zBuf[n + 15] = 0;
  } while (access(zBuf, F_OK) == 0);
  return TARVIK_OK;
}

/* ---------------------------------------------------------------- open and close */
int tarvikOsOpenReadWrite(const char *zFilename, OsFile *id, int *pReadonly) {
  int fd = openRetry(zFilename, O_RDWR | O_CREAT, 0644);
  *pReadonly = 0;
  if (fd < 0) {
    fd = openRetry(zFilename, O_RDONLY, 0);
    if (fd < 0) return TARVIK_CANTOPEN;
    *pReadonly = 1;
  }
  int rc = attachHandle(id, fd);
#ifdef TARVIK_TEST
  if (rc == TARVIK_OK) testOsOpened(id, zFilename, false);
#endif
  return rc;
}

int tarvikOsOpenExclusive(const char *zFilename, OsFile *id, int delFlag) {
  if (access(zFilename, F_OK) == 0) return TARVIK_CANTOPEN;
  int fd = openRetry(zFilename, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
  if (fd < 0) return TARVIK_CANTOPEN;
  int rc = attachHandle(id, fd);
  if (rc != TARVIK_OK) {
    unlink(zFilename);
    return rc;
  }
  if (delFlag) unlink(zFilename);
#ifdef TARVIK_TEST
  testOsOpened(id, zFilename, delFlag != 0);
#endif
  return TARVIK_OK;
}

int tarvikOsOpenReadOnly(const char *zFilename, OsFile *id) {
  int fd = openRetry(zFilename, O_RDONLY, 0);
  if (fd < 0) return TARVIK_CANTOPEN;
  int rc = attachHandle(id, fd);
#ifdef TARVIK_TEST
  if (rc == TARVIK_OK) testOsOpened(id, zFilename, false);
#endif
  return rc;
}

int tarvikOsOpenDirectory(const char *zDirname, OsFile *id) {
  if (id->fd < 0) return TARVIK_CANTOPEN;
  tvAssert(id->dirfd < 0);
  id->dirfd = openRetry(zDirname, O_RDONLY | O_DIRECTORY, 0);
  return id->dirfd < 0 ? TARVIK_CANTOPEN : TARVIK_OK;
}

int tarvikOsClose(OsFile *id) {
  if (id->fd < 0) return TARVIK_OK;
#ifdef TARVIK_TEST
  testOsClosing(id);
#endif
  tarvikOsUnlock(id);
  if (id->dirfd >= 0) closeFd(id->dirfd);
  id->dirfd = -1;
  tarvikOsEnterMutex();
  openCnt *pOpen = id->pOpen;
  if (pOpen->nLock > 0) {
    /* Closing now would drop the locks another handle of this process holds
    ** on the same file; the last unlock closes it. */
    auto *aNew = (int *)tarvikRealloc(pOpen->aPending, (pOpen->nPending + 1) * (int)sizeof(int));
    if (aNew) {
      pOpen->aPending = aNew;
      pOpen->aPending[pOpen->nPending++] = id->fd;
    } /* else the descriptor stays open: a leak is better than a lost lock */
  } else {
    closeFd(id->fd);
  }
  releaseLockInfo(id->pLock);
  releaseOpenCnt(pOpen);
  tarvikOsLeaveMutex();
  id->pLock = nullptr;
  id->pOpen = nullptr;
  id->fd = -1;
  return TARVIK_OK;
}

/* ---------------------------------------------------------------- data */
int tarvikOsSeek(OsFile *id, i64 offset) {
  if (offset < 0) return TARVIK_IOERR;
  id->offset = offset;
  return TARVIK_OK;
}

int tarvikOsRead(OsFile *id, void *pBuf, int amt) {
  tvAssert(amt >= 0);
  int rc = TARVIK_OK;
#ifdef TARVIK_TEST
  if (testOsBefore(id, TARVIK_TESTOS_READ, id->offset, amt, &rc)) return rc;
#endif
  auto *z = (char *)pBuf;
  int got = 0;
  while (got < amt) {
    ssize_t n = pread(id->fd, z + got, (size_t)(amt - got), (off_t)(id->offset + got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break; /* end of file or an error */
    got += (int)n;
  }
  id->offset += got;
  if (got < amt) rc = TARVIK_IOERR;
#ifdef TARVIK_TEST
  testOsAfter(id, TARVIK_TESTOS_READ, id->offset - got, pBuf, amt, rc);
#endif
  return rc;
}

int tarvikOsWrite(OsFile *id, const void *pBuf, int amt) {
  tvAssert(amt >= 0);
  int rc = TARVIK_OK;
#ifdef TARVIK_TEST
  if (testOsBefore(id, TARVIK_TESTOS_WRITE, id->offset, amt, &rc)) return rc;
#endif
  i64 start = id->offset;
  auto *z = (const char *)pBuf;
  int done = 0;
  while (done < amt) {
    ssize_t n = pwrite(id->fd, z + done, (size_t)(amt - done), (off_t)(start + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      rc = writeErrorCode(errno);
      break;
    }
    if (n == 0) { /* no progress: nothing more fits */
      rc = TARVIK_FULL;
      break;
    }
    done += (int)n;
  }
  id->offset = start + done;
#ifdef TARVIK_TEST
  testOsAfter(id, TARVIK_TESTOS_WRITE, start, pBuf, done, rc);
#endif
  return rc;
}

int tarvikOsSync(OsFile *id) {
  int rc = TARVIK_OK;
#ifdef TARVIK_TEST
  if (testOsBefore(id, TARVIK_TESTOS_SYNC, 0, 0, &rc)) return rc;
#endif
  int r;
  do {
    r = fsync(id->fd);
  } while (r != 0 && errno == EINTR);
  if (r != 0) rc = writeErrorCode(errno);
#ifdef TARVIK_TEST
  testOsAfter(id, TARVIK_TESTOS_SYNC, 0, nullptr, 0, rc);
#endif
  if (rc != TARVIK_OK) return rc;
  if (id->dirfd >= 0) {
    fsync(id->dirfd); /* best effort: some file systems refuse directory syncs */
#ifdef TARVIK_TEST
    testOsAfter(id, TARVIK_TESTOS_DIRSYNC, 0, nullptr, 0, TARVIK_OK);
#endif
    closeFd(id->dirfd);
    id->dirfd = -1;
  }
  return TARVIK_OK;
}

int tarvikOsTruncate(OsFile *id, i64 nByte) {
  int rc = TARVIK_OK;
  if (nByte < 0) return TARVIK_IOERR;
#ifdef TARVIK_TEST
  if (testOsBefore(id, TARVIK_TESTOS_TRUNCATE, nByte, 0, &rc)) return rc;
#endif
  int r;
  do {
    r = ftruncate(id->fd, (off_t)nByte);
  } while (r != 0 && errno == EINTR);
  if (r != 0) rc = writeErrorCode(errno);
#ifdef TARVIK_TEST
  testOsAfter(id, TARVIK_TESTOS_TRUNCATE, nByte, nullptr, 0, rc);
#endif
  return rc;
}

int tarvikOsFileSize(OsFile *id, i64 *pSize) {
  struct stat st;
  if (fstat(id->fd, &st) != 0) return TARVIK_IOERR;
  *pSize = (i64)st.st_size;
  return TARVIK_OK;
}

/* ---------------------------------------------------------------- locks */
int tarvikOsReadLock(OsFile *id) {
  int rc;
  tarvikOsEnterMutex();
  lockInfo *pLock = id->pLock;
  if (pLock->cnt > 0) {
    if (!id->locked) {
      pLock->cnt++;
      id->locked = 1;
      id->pOpen->nLock++;
    }
    rc = TARVIK_OK;
  } else if (pLock->cnt == 0 || id->locked) {
    /* Unlocked, or this handle holds the write lock and downgrades. */
    rc = setLock(id->fd, F_RDLCK);
    if (rc == TARVIK_OK) {
      pLock->cnt = 1;
      if (!id->locked) {
        id->locked = 1;
        id->pOpen->nLock++;
      }
    }
  } else {
    rc = TARVIK_BUSY; /* another handle of this process writes */
  }
  tarvikOsLeaveMutex();
  return rc;
}

int tarvikOsWriteLock(OsFile *id) {
  int rc;
  tarvikOsEnterMutex();
  lockInfo *pLock = id->pLock;
  if (pLock->cnt == 0 || (pLock->cnt == 1 && id->locked)) {
    rc = setLock(id->fd, F_WRLCK);
    if (rc == TARVIK_OK) {
      pLock->cnt = -1;
      if (!id->locked) {
        id->locked = 1;
        id->pOpen->nLock++;
      }
    }
  } else {
    rc = TARVIK_BUSY;
  }
  tarvikOsLeaveMutex();
  return rc;
}

int tarvikOsUnlock(OsFile *id) {
  if (!id->locked) return TARVIK_OK;
  int rc;
  tarvikOsEnterMutex();
  lockInfo *pLock = id->pLock;
  tvAssert(pLock->cnt != 0);
  if (pLock->cnt > 1) {
    pLock->cnt--;
    rc = TARVIK_OK;
  } else {
    rc = setLock(id->fd, F_UNLCK);
    if (rc == TARVIK_OK) pLock->cnt = 0;
  }
  if (rc == TARVIK_OK) {
    openCnt *pOpen = id->pOpen;
    pOpen->nLock--;
    tvAssert(pOpen->nLock >= 0);
    if (pOpen->nLock == 0 && pOpen->nPending > 0) {
      for (int k = 0; k < pOpen->nPending; k++) closeFd(pOpen->aPending[k]);
      tarvikFree(pOpen->aPending);
      pOpen->aPending = nullptr;
      pOpen->nPending = 0;
    }
  }
  tarvikOsLeaveMutex();
  id->locked = 0;
  return rc;
}

/* ---------------------------------------------------------------- process */
int tarvikOsRandomSeed(char *zBuf) {
  memset(zBuf, 0, TARVIK_SEED_SIZE);
  u32 t = (u32)time(nullptr);
  memcpy(zBuf, &t, 4);
  pid_t pid = getpid();
  static_assert(sizeof(pid) == 4);
  memcpy(&zBuf[4], &pid, 4);
  return TARVIK_OK;
}

int tarvikOsSleep(int ms) {
  if (ms <= 0) return 0;
  struct timespec req, rem;
  req.tv_sec = ms / 1000;
  req.tv_nsec = (long)(ms % 1000) * 1000000L;
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
  return ms;
}

int tarvikOsCurrentTime(double *prNow) {
  time_t t;
#ifdef TARVIK_TEST
  if (!testOsTime(&t))
#endif
    t = time(nullptr);
  *prNow = (double)(i64)t / 86400.0 + 2440587.5;
  return TARVIK_OK;
}

#ifdef TARVIK_TEST
/* ================================================================ test seam */
static void testOsOpened(OsFile *id, const char *, bool) { id->testFile = -1; }
static void testOsClosing(OsFile *) {}
static bool testOsBefore(OsFile *, int, i64, int, int *) { return false; }
static void testOsAfter(OsFile *, int, i64, const void *, int, int) {}
static bool testOsDeleteBlocked(const char *) { return false; }
static bool testOsTime(time_t *) { return false; }

void tarvikTestOsReset(unsigned) {}
void tarvikTestOsFail(int, int, int, bool, const char *) {}
int tarvikTestOsFailures() { return 0; }
TarvikTestOsCounts tarvikTestOsCount(const char *) { return {}; }
const std::vector<TarvikTestOsEvent> &tarvikTestOsEvents() {
  static std::vector<TarvikTestOsEvent> v;
  return v;
}
int tarvikTestOsFindEvent(int, const char *, int) { return -1; }
int tarvikTestOsUnsynced() { return 0; }
int tarvikTestOsCrash(int, int) { return TARVIK_MISUSE; }
int tarvikTestOsDeadHandles() { return 0; }
void tarvikTestOsSetTime(i64) {}
#endif
