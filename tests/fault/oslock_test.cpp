// Whole-file locks between processes and between handles of one process.
// A second process (LockChild) stands in for another connection's process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "os.h"
#include "os_support.h"

namespace {

class OsLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tarvikTestOsReset();
    name = dir.file("db");
    writeFileBytes(name, std::string(2048, 'd'));
  }
  OsFile open() {
    OsFile f;
    int ro = 1;
    EXPECT_EQ(tarvikOsOpenReadWrite(name.c_str(), &f, &ro), TARVIK_OK);
    EXPECT_EQ(ro, 0);
    return f;
  }
  ScratchDir dir;
  std::string name;
};

TEST_F(OsLockTest, ReadersShareAndAWriterExcludesAcrossProcesses) {
  LockChild other(name);
  ASSERT_TRUE(other.ok());
  OsFile f = open();

  ASSERT_EQ(other.readLock(), TARVIK_OK);
  EXPECT_EQ(tarvikOsReadLock(&f), TARVIK_OK) << "readers share";
  EXPECT_EQ(tarvikOsWriteLock(&f), TARVIK_BUSY) << "a reader elsewhere blocks the writer";
  EXPECT_EQ(f.pLock->cnt, 1) << "a refused upgrade keeps the read lock";
  EXPECT_EQ(f.locked, 1);
  ASSERT_EQ(other.unlock(), TARVIK_OK);
  EXPECT_EQ(tarvikOsWriteLock(&f), TARVIK_OK) << "granted once the reader left";
  EXPECT_EQ(f.pLock->cnt, -1);

  EXPECT_EQ(other.readLock(), TARVIK_BUSY) << "the writer excludes readers";
  EXPECT_EQ(other.writeLock(), TARVIK_BUSY);

  // Committing downgrades to a read lock: readers may come back.
  EXPECT_EQ(tarvikOsReadLock(&f), TARVIK_OK);
  EXPECT_EQ(f.pLock->cnt, 1);
  EXPECT_EQ(other.readLock(), TARVIK_OK);
  EXPECT_EQ(other.unlock(), TARVIK_OK);

  EXPECT_EQ(tarvikOsUnlock(&f), TARVIK_OK);
  EXPECT_EQ(f.locked, 0);
  EXPECT_EQ(f.pLock->cnt, 0);
  EXPECT_EQ(other.writeLock(), TARVIK_OK);
  EXPECT_EQ(tarvikOsReadLock(&f), TARVIK_BUSY);
  EXPECT_EQ(f.locked, 0) << "a refused lock leaves the handle unlocked";
  EXPECT_EQ(f.pOpen->nLock, 0);
  tarvikOsClose(&f);
}

TEST_F(OsLockTest, HandlesOfOneProcessCountTheirReaders) {
  OsFile a = open(), b = open();
  ASSERT_EQ(a.pLock, b.pLock) << "one lock record per file and process";
  ASSERT_EQ(a.pOpen, b.pOpen);
  EXPECT_EQ(a.pLock->nRef, 2);

  ASSERT_EQ(tarvikOsReadLock(&a), TARVIK_OK);
  ASSERT_EQ(tarvikOsReadLock(&b), TARVIK_OK);
  EXPECT_EQ(a.pLock->cnt, 2);
  EXPECT_EQ(a.pOpen->nLock, 2);
  EXPECT_EQ(tarvikOsReadLock(&a), TARVIK_OK) << "asking again is harmless";
  EXPECT_EQ(a.pLock->cnt, 2);
  EXPECT_EQ(tarvikOsWriteLock(&a), TARVIK_BUSY) << "another handle of this process reads";

  // The other handle's unlock must not drop the system lock a still holds.
  ASSERT_EQ(tarvikOsUnlock(&b), TARVIK_OK);
  EXPECT_EQ(a.pLock->cnt, 1);
  {
    LockChild other(name);
    ASSERT_TRUE(other.ok());
    EXPECT_EQ(other.writeLock(), TARVIK_BUSY) << "a's read lock is still held";
  }
  ASSERT_EQ(tarvikOsWriteLock(&a), TARVIK_OK) << "the one remaining reader may write";
  EXPECT_EQ(tarvikOsWriteLock(&a), TARVIK_BUSY) << "the write lock is not re-entrant";
  EXPECT_EQ(tarvikOsReadLock(&b), TARVIK_BUSY) << "a writes through another handle";
  EXPECT_EQ(tarvikOsWriteLock(&b), TARVIK_BUSY);
  ASSERT_EQ(tarvikOsUnlock(&a), TARVIK_OK);
  EXPECT_EQ(tarvikOsWriteLock(&b), TARVIK_OK);
  tarvikOsClose(&a);
  tarvikOsClose(&b);
}

TEST_F(OsLockTest, ClosingOneHandleKeepsTheOtherHandlesLock) {
  OsFile a = open(), b = open();
  ASSERT_EQ(tarvikOsWriteLock(&a), TARVIK_OK);
  int bfd = b.fd;
  tarvikOsClose(&b);
  // Closing b's descriptor now would drop a's lock; the close is deferred.
  EXPECT_EQ(a.pOpen->nPending, 1);
  EXPECT_NE(fcntl(bfd, F_GETFD), -1) << "descriptor must still be open";
  {
    LockChild other(name);
    ASSERT_TRUE(other.ok());
    EXPECT_EQ(other.readLock(), TARVIK_BUSY) << "a's write lock survived b's close";
  }
  ASSERT_EQ(tarvikOsUnlock(&a), TARVIK_OK);
  EXPECT_EQ(a.pOpen->nPending, 0);
  EXPECT_EQ(fcntl(bfd, F_GETFD), -1) << "the last unlock closes deferred descriptors";
  EXPECT_EQ(a.pOpen->nRef, 1);

  // A handle that holds no lock closes at once, and an unlocked close of the
  // locking handle itself releases everything.
  OsFile c = open();
  int cfd = c.fd;
  tarvikOsClose(&c);
  EXPECT_EQ(fcntl(cfd, F_GETFD), -1);
  ASSERT_EQ(tarvikOsReadLock(&a), TARVIK_OK);
  tarvikOsClose(&a);
  LockChild other(name);
  ASSERT_TRUE(other.ok());
  EXPECT_EQ(other.writeLock(), TARVIK_OK) << "closing a locked handle unlocks it";
}

TEST_F(OsLockTest, ADeferredCloseWithoutMemoryLeaksTheDescriptorNotTheLock) {
  OsFile a = open(), b = open();
  ASSERT_EQ(tarvikOsReadLock(&a), TARVIK_OK);
  int bfd = b.fd;
  tarvikTestMallocFail(1, false);
  EXPECT_EQ(tarvikOsClose(&b), TARVIK_OK);
  tarvikTestMallocFail(0, false);
  EXPECT_EQ(a.pOpen->nPending, 0);
  EXPECT_NE(fcntl(bfd, F_GETFD), -1) << "closing it would have dropped a's lock";
  {
    LockChild other(name);
    ASSERT_TRUE(other.ok());
    EXPECT_EQ(other.writeLock(), TARVIK_BUSY);
  }
  tarvikOsClose(&a);
  close(bfd);  // the test cleans up the descriptor the layer had to abandon
}

TEST_F(OsLockTest, ALinkAndTheFileShareOneLockRecordOtherFilesDoNot) {
  std::string link = dir.file("alias");
  ASSERT_EQ(symlink(name.c_str(), link.c_str()), 0);
  std::string other = dir.file("other");
  writeFileBytes(other, "x");
  OsFile a = open(), b, c;
  int ro;
  ASSERT_EQ(tarvikOsOpenReadWrite(link.c_str(), &b, &ro), TARVIK_OK);
  ASSERT_EQ(tarvikOsOpenReadWrite(other.c_str(), &c, &ro), TARVIK_OK);
  EXPECT_EQ(a.pLock, b.pLock);
  EXPECT_NE(a.pLock, c.pLock);
  EXPECT_NE(a.pOpen, c.pOpen);
  ASSERT_EQ(tarvikOsWriteLock(&a), TARVIK_OK);
  EXPECT_EQ(tarvikOsReadLock(&b), TARVIK_BUSY) << "the alias is the same file";
  EXPECT_EQ(tarvikOsWriteLock(&c), TARVIK_OK) << "an unrelated file is unaffected";
  tarvikOsClose(&a);
  tarvikOsClose(&b);
  tarvikOsClose(&c);
}

TEST_F(OsLockTest, LockKeysHoldTheFullDeviceAndInode) {
  // Keys compared as raw bytes must carry the whole 64-bit numbers, with
  // padding zeroed, so that no two files can share a record.
  static_assert(sizeof(lockKey) >= sizeof(dev_t) + sizeof(ino_t) + sizeof(pid_t));
  static_assert(sizeof(openKey) >= sizeof(dev_t) + sizeof(ino_t));
  OsFile a = open();
  struct stat st;
  ASSERT_EQ(fstat(a.fd, &st), 0);
  EXPECT_EQ(a.pLock->key.dev, st.st_dev);
  EXPECT_EQ(a.pLock->key.ino, st.st_ino);
  EXPECT_EQ(a.pLock->key.pid, getpid());
  lockKey expect;
  memset(&expect, 0, sizeof(expect));
  expect.dev = st.st_dev;
  expect.ino = st.st_ino;
  expect.pid = getpid();
  EXPECT_EQ(memcmp(&expect, &a.pLock->key, sizeof(expect)), 0) << "padding must be zero";
  tarvikOsClose(&a);
}

TEST_F(OsLockTest, OpeningSurvivesAllocationFailure) {
  // Each failing allocation of the lock records closes the file and reports
  // NOMEM without leaking a record.
  long before = tarvikTestMallocOutstanding();
  for (int n = 1;; n++) {
    OsFile f;
    int ro;
    tarvikTestMallocFail(n, false);
    int rc = tarvikOsOpenReadWrite(name.c_str(), &f, &ro);
    int failures = tarvikTestMallocFailures();
    tarvikTestMallocFail(0, false);
    if (failures == 0) {
      ASSERT_EQ(rc, TARVIK_OK);
      tarvikOsClose(&f);
      break;
    }
    ASSERT_EQ(rc, TARVIK_NOMEM) << "n=" << n;
    EXPECT_EQ(tarvikTestMallocOutstanding(), before) << "n=" << n;
    ASSERT_LT(n, 20);
  }
  EXPECT_EQ(tarvikTestMallocOutstanding(), before);
  // Exclusive opens also remove the name they created.
  std::string j = dir.file("db-journal");
  OsFile f;
  tarvikTestMallocFail(1, false);
  EXPECT_EQ(tarvikOsOpenExclusive(j.c_str(), &f, 0), TARVIK_NOMEM);
  tarvikTestMallocFail(0, false);
  EXPECT_FALSE(tarvikOsFileExists(j.c_str()));
}

}  // namespace
