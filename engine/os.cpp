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

#include <algorithm>
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
    /* With no file open the process holds no memory here. */
    if (hashCount(&lockHash) == 0) tarvikHashClear(&lockHash);
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
    if (hashCount(&openHash) == 0) tarvikHashClear(&openHash);
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
static bool testOsDeleteBefore(const char *zName, int *pRc);
static void testOsDeleted(const char *zName, int rc);
static bool testOsOpenFault(const char *zName, int *pRc);
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
  int rc;
#ifdef TARVIK_TEST
  if (testOsDeleteBefore(zFilename, &rc)) return rc;
#endif
  do {
    rc = unlink(zFilename);
  } while (rc != 0 && errno == EINTR);
  rc = rc == 0 ? TARVIK_OK : TARVIK_IOERR;
#ifdef TARVIK_TEST
  testOsDeleted(zFilename, rc);
#endif
  return rc;
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
#ifdef TARVIK_TEST
  int rcFault;
  if (testOsOpenFault(zFilename, &rcFault)) return rcFault;
#endif
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
#ifdef TARVIK_TEST
  int rcFault;
  if (testOsOpenFault(zFilename, &rcFault)) return rcFault;
#endif
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
#ifdef TARVIK_TEST
  int rcFault;
  if (testOsOpenFault(zFilename, &rcFault)) return rcFault;
#endif
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
/* ================================================================ test seam
** Everything below exists only in the test library.  It keeps its own
** memory (standard containers), never the engine's allocator, so that the
** allocation-failure seam counts only the engine's allocations.
**
** Files are identified by device and inode while they live, and named by the
** full name they were first opened under.  A tracked file (power tracking on
** when it was opened) carries `image`, its content as of its last sync, and
** every successful write or truncate since is kept, in call order across all
** files, in `pending`.  A sync folds the file's pending operations into its
** image; a crash rewrites each live tracked file as image + the surviving
** prefix of `pending`. */
#include <map>

namespace {

struct SeamFile {
  std::string path;
  dev_t dev;
  ino_t ino;
  bool live;    /* not deleted through tarvikOsDelete (or unlinked at open) */
  bool tracked; /* image and pending operations are kept */
  std::vector<u8> image;
};

struct SeamPending {
  int file;
  bool trunc; /* a truncate to `off` bytes; else a write of `data` at `off` */
  i64 off;
  std::vector<u8> data;
};

struct SeamFault {
  int n = 0; /* 0: disarmed */
  int rc = 0;
  bool persist = false;
  std::string suffix;
  int seen = 0;
};

struct Seam {
  unsigned flags = 0;
  std::vector<SeamFile> files; /* never shrinks: handles index it */
  std::map<std::pair<dev_t, ino_t>, int> live; /* live files by identity */
  std::vector<SeamPending> pending;
  std::map<std::string, TarvikTestOsCounts> counts;
  std::vector<TarvikTestOsEvent> events;
  SeamFault faults[TARVIK_TESTOS_NFAULT];
  int nFailures = 0;
  /* These describe open handles and survive a reset. */
  unsigned crashCount = 0;
  int nLiveOpen = 0;
  int nDeadOpen = 0;
  bool fixedTime = false;
  time_t tFixed = 0;
  /* Identity of the file tarvikOsDelete is about to unlink. */
  bool delFound = false;
  dev_t delDev = 0;
  ino_t delIno = 0;
};
Seam seam;

std::string seamFullPath(const char *z) {
  if (z[0] == '/') return z;
  char zBuf[4096];
  if (getcwd(zBuf, sizeof(zBuf)) == nullptr) return z;
  return std::string(zBuf) + "/" + z;
}

bool endsWith(const std::string &s, const std::string &suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

const std::string &seamPath(const OsFile *id) {
  static const std::string empty;
  if (id->testFile < 0 || id->testFile >= (int)seam.files.size()) return empty;
  return seam.files[(size_t)id->testFile].path;
}

void seamLog(int op, const std::string &path, i64 off, int n, int rc) {
  if (seam.flags & TARVIK_TESTOS_LOG) seam.events.push_back({op, path, off, n, rc});
}

bool readWhole(int fd, std::vector<u8> *pOut) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  pOut->assign((size_t)st.st_size, 0);
  size_t got = 0;
  while (got < pOut->size()) {
    ssize_t n = pread(fd, pOut->data() + got, pOut->size() - got, (off_t)got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += (size_t)n;
  }
  pOut->resize(got);
  return true;
}

void dropPending(int file) {
  std::erase_if(seam.pending, [file](const SeamPending &p) { return p.file == file; });
}

void applyOp(std::vector<u8> *pImg, const SeamPending &p, size_t nData) {
  if (p.trunc) {
    pImg->resize((size_t)p.off, 0);
    return;
  }
  size_t end = (size_t)p.off + nData;
  if (pImg->size() < end) pImg->resize(end, 0);
  memcpy(pImg->data() + p.off, p.data.data(), nData);
}

/* Does the name still lead to this record's inode? */
bool stillThere(const SeamFile &f) {
  struct stat st;
  return stat(f.path.c_str(), &st) == 0 && st.st_dev == f.dev && st.st_ino == f.ino;
}

/* The file was deleted: it no longer takes part in crashes. */
void markGone(int k) {
  SeamFile &f = seam.files[(size_t)k];
  seam.live.erase({f.dev, f.ino});
  f.live = false;
  f.tracked = false;
  f.image.clear();
  dropPending(k);
}

}  // namespace

static void testOsOpened(OsFile *id, const char *zName, bool deleted) {
  id->testCrash = seam.crashCount;
  seam.nLiveOpen++;
  struct stat st;
  fstat(id->fd, &st);
  int found = -1;
  auto it = seam.live.find({st.st_dev, st.st_ino});
  if (it != seam.live.end()) {
    if (stillThere(seam.files[(size_t)it->second])) {
      found = it->second;
    } else { /* removed behind the seam's back, and the inode reused */
      markGone(it->second);
    }
  }
  if (found < 0) {
    seam.files.push_back({seamFullPath(zName), st.st_dev, st.st_ino, !deleted, false, {}});
    found = (int)seam.files.size() - 1;
    if (!deleted) seam.live[{st.st_dev, st.st_ino}] = found;
  }
  SeamFile &f = seam.files[(size_t)found];
  if (f.live && !f.tracked && (seam.flags & TARVIK_TESTOS_POWER)) {
    f.tracked = readWhole(id->fd, &f.image);
  }
  id->testFile = found;
  seamLog(TARVIK_TESTOS_OPEN, f.path, 0, 0, TARVIK_OK);
}

static void testOsClosing(OsFile *id) {
  if (id->testCrash < seam.crashCount) {
    seam.nDeadOpen--;
  } else {
    seam.nLiveOpen--;
  }
  seamLog(TARVIK_TESTOS_CLOSE, seamPath(id), 0, 0, TARVIK_OK);
}

/* Counts a call of op on path and decides whether it is failed: true with
** the injected code in *pRc. */
static bool countAndFault(int op, const std::string &path, i64 iOffset, int nByte, int *pRc) {
  TarvikTestOsCounts &c = seam.counts[path];
  switch (op) {
    case TARVIK_TESTOS_READ: c.nRead++; break;
    case TARVIK_TESTOS_WRITE: c.nWrite++; break;
    case TARVIK_TESTOS_SYNC: c.nSync++; break;
    case TARVIK_TESTOS_TRUNCATE: c.nTruncate++; break;
    case TARVIK_TESTOS_OPEN: c.nOpen++; break;
    case TARVIK_TESTOS_DELETE: c.nDelete++; break;
  }
  SeamFault &f = seam.faults[op];
  if (f.n > 0 && endsWith(path, f.suffix)) {
    f.seen++;
    if (f.seen == f.n || (f.persist && f.seen > f.n)) {
      seam.nFailures++;
      *pRc = f.rc;
      seamLog(op, path, iOffset, nByte, *pRc);
      return true;
    }
  }
  return false;
}

/* Before an operation on a handle: true when the seam decides its result. */
static bool testOsBefore(OsFile *id, int op, i64 iOffset, int nByte, int *pRc) {
  const std::string &path = seamPath(id);
  if (id->testCrash < seam.crashCount) {
    *pRc = TARVIK_IOERR;
    seamLog(op, path, iOffset, nByte, *pRc);
    return true;
  }
  return countAndFault(op, path, iOffset, nByte, pRc);
}

static void testOsAfter(OsFile *id, int op, i64 iOffset, const void *pBuf, int nByte, int rc) {
  seamLog(op, seamPath(id), iOffset, nByte, rc);
  if (id->testFile < 0) return;
  SeamFile &f = seam.files[(size_t)id->testFile];
  if (!f.tracked || !f.live) return;
  if (op == TARVIK_TESTOS_WRITE && nByte > 0) {
    /* Bytes a failed write did put down are as pending as any others. */
    auto *z = (const u8 *)pBuf;
    seam.pending.push_back({id->testFile, false, iOffset, std::vector<u8>(z, z + nByte)});
  } else if (op == TARVIK_TESTOS_TRUNCATE && rc == TARVIK_OK) {
    seam.pending.push_back({id->testFile, true, iOffset, {}});
  } else if (op == TARVIK_TESTOS_SYNC && rc == TARVIK_OK) {
    for (const SeamPending &p : seam.pending) {
      if (p.file == id->testFile) applyOp(&f.image, p, p.data.size());
    }
    dropPending(id->testFile);
  }
}

static bool testOsOpenFault(const char *zName, int *pRc) {
  return countAndFault(TARVIK_TESTOS_OPEN, seamFullPath(zName), 0, 0, pRc);
}

static bool testOsDeleteBefore(const char *zName, int *pRc) {
  std::string path = seamFullPath(zName);
  if (seam.nDeadOpen > 0) {
    *pRc = TARVIK_IOERR;
    seamLog(TARVIK_TESTOS_DELETE, path, 0, 0, *pRc);
    return true;
  }
  if (countAndFault(TARVIK_TESTOS_DELETE, path, 0, 0, pRc)) return true;
  struct stat st;
  seam.delFound = stat(zName, &st) == 0;
  seam.delDev = st.st_dev;
  seam.delIno = st.st_ino;
  return false;
}

static void testOsDeleted(const char *zName, int rc) {
  seamLog(TARVIK_TESTOS_DELETE, seamFullPath(zName), 0, 0, rc);
  if (rc != TARVIK_OK || !seam.delFound) return;
  auto it = seam.live.find({seam.delDev, seam.delIno});
  if (it != seam.live.end()) markGone(it->second);
}

static bool testOsTime(time_t *pT) {
  if (!seam.fixedTime) return false;
  *pT = seam.tFixed;
  return true;
}

void tarvikTestOsReset(unsigned flags) {
  seam.flags = flags;
  seam.pending.clear();
  seam.counts.clear();
  seam.events.clear();
  for (SeamFault &f : seam.faults) f = SeamFault();
  seam.nFailures = 0;
  for (SeamFile &f : seam.files) {
    f.tracked = false;
    f.image.clear();
  }
}

void tarvikTestOsFail(int op, int n, int rc, bool persist, const char *zSuffix) {
  tvAssert(op >= 0 && op < TARVIK_TESTOS_NFAULT);
  SeamFault &f = seam.faults[op];
  f.n = n;
  f.rc = rc;
  f.persist = persist;
  f.suffix = zSuffix ? zSuffix : "";
  f.seen = 0;
  seam.nFailures = 0;
}

int tarvikTestOsFailures() { return seam.nFailures; }

TarvikTestOsCounts tarvikTestOsCount(const char *zName) {
  auto it = seam.counts.find(seamFullPath(zName));
  return it == seam.counts.end() ? TarvikTestOsCounts{} : it->second;
}

const std::vector<TarvikTestOsEvent> &tarvikTestOsEvents() { return seam.events; }

int tarvikTestOsFindEvent(int op, const char *zSuffix, int iFrom) {
  std::string suffix = zSuffix ? zSuffix : "";
  for (size_t k = (size_t)(iFrom < 0 ? 0 : iFrom); k < seam.events.size(); k++) {
    if (seam.events[k].op == op && endsWith(seam.events[k].zPath, suffix)) return (int)k;
  }
  return -1;
}

int tarvikTestOsUnsynced() { return (int)seam.pending.size(); }

int tarvikTestOsCrash(int nKeep, int nTornSectors) {
  if (!(seam.flags & TARVIK_TESTOS_POWER)) return TARVIK_MISUSE;
  std::map<int, std::vector<u8>> images;
  for (auto &[key, k] : seam.live) {
    if (seam.files[(size_t)k].tracked) images[k] = seam.files[(size_t)k].image;
  }
  int k = 0;
  for (const SeamPending &p : seam.pending) {
    auto it = images.find(p.file);
    if (it == images.end()) continue;
    if (k < nKeep) {
      applyOp(&it->second, p, p.data.size());
    } else {
      if (nTornSectors > 0 && !p.trunc) {
        i64 boundary = (p.off / 512 + nTornSectors) * 512;
        i64 end = std::min(p.off + (i64)p.data.size(), boundary);
        if (end > p.off) applyOp(&it->second, p, (size_t)(end - p.off));
      }
      break;
    }
    k++;
  }
  int rc = TARVIK_OK;
  for (auto &[file, img] : images) {
    SeamFile &f = seam.files[(size_t)file];
    f.image = img;
    if (!stillThere(f)) continue;
    /* Written around the engine: this descriptor's close also drops the
    ** process's locks on the file, as the death of the process would. */
    int fd = open(f.path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
      rc = TARVIK_IOERR;
      continue;
    }
    if (ftruncate(fd, (off_t)img.size()) != 0 ||
        (!img.empty() && pwrite(fd, img.data(), img.size(), 0) != (ssize_t)img.size())) {
      rc = TARVIK_IOERR;
    }
    close(fd);
  }
  seam.pending.clear();
  seam.crashCount++;
  seam.nDeadOpen += seam.nLiveOpen;
  seam.nLiveOpen = 0;
  return rc;
}

int tarvikTestOsDeadHandles() { return seam.nDeadOpen; }

void tarvikTestOsSetTime(i64 t) {
  seam.fixedTime = t >= 0;
  seam.tFixed = (time_t)t;
}
#endif
