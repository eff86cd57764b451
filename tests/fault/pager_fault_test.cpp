// The pager under power loss, I/O errors, full disks, allocation failures and
// a second process: a committed transaction is all there, an uncommitted one
// is not there at all, and nothing in between is ever seen.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "os_support.h"
#include "pager.h"
#include "pager_support.h"

namespace {

// Reads every page of the database through a fresh pager (playing back any
// hot journal) and returns the image, or "ERR <code>".
std::string readThroughPager(const std::string &db) {
  Pager *p = nullptr;
  int rc = tarvikpager_open(&p, db.c_str(), 100, 0, 1);
  if (rc != TARVIK_OK) return "ERR open " + std::to_string(rc);
  std::string img;
  void *p1 = getPage(p, 1, &rc);
  if (p1 == nullptr) {
    tarvikpager_close(p);
    return "ERR get " + std::to_string(rc);
  }
  int n = tarvikpager_pagecount(p);
  for (int i = 1; i <= n; i++) {
    void *pg = getPage(p, (Pgno)i, &rc);
    if (pg == nullptr) {
      img = "ERR read " + std::to_string(rc);
      break;
    }
    img += pageBytes(pg);
    tarvikpager_unref(pg);
  }
  tarvikpager_unref(p1);
  tarvikpager_close(p);
  return img;
}

const char *describe(const std::string &img, const std::string &oldImg, const std::string &newImg) {
  if (img == oldImg) return "old";
  if (img == newImg) return "new";
  if (img.rfind("ERR", 0) == 0) return img.c_str();
  return "a mix";
}

class PagerFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tarvikTestOsReset();
    tarvik_malloc_failed = 0;  // a test that fails allocations leaves this set
    db = dir.file("test.db");
    journal = db + "-journal";
  }
  void fresh(const std::string &image) {
    unlink(journal.c_str());
    writeFileBytes(db, image);
  }
  FastScratchDir dir;
  std::string db, journal;
};

// ------------------------------------------------------------------ power loss

// The transaction of the power-loss test: 20 pages; pages 1, 2, 5, 7 change,
// a statement changes more and is rolled back, the file is cut to 12 pages
// and grows to 25 with new pages.  The cache of
// 10 pages makes the pager write pages out (and sync the journal) before the
// commit too.
const std::vector<int> kOld(20, 1);
std::vector<int> newVersions() {
  std::vector<int> v(25, 2);
  for (int i = 1; i <= 12; i++) v[i - 1] = (i == 1 || i == 2 || i == 5 || i == 7) ? 2 : 1;
  return v;
}

// Runs the transaction and its commit; returns the first failing code.
int runBigTransaction(Pager *p, void **ppAnchor) {
  int rc;
  void *p1 = getPage(p, 1, &rc);
  if (!p1) return rc;
  *ppAnchor = p1;
  rc = tarvikpager_write(p1);
  if (rc != TARVIK_OK) return rc;
  memcpy(p1, pagePattern(1, 2).data(), TARVIK_PAGE_SIZE);
  for (Pgno i : {2u, 5u, 7u}) {
    rc = writePage(p, i, 2);
    if (rc != TARVIK_OK) return rc;
  }
  // A statement that is rolled back leaves no trace.
  rc = tarvikpager_ckpt_begin(p);
  if (rc != TARVIK_OK) return rc;
  for (Pgno i : {2u, 3u, 9u, 30u}) {
    rc = writePage(p, i, 9);
    if (rc != TARVIK_OK) return rc;
  }
  rc = tarvikpager_ckpt_rollback(p);
  if (rc != TARVIK_OK) return rc;
  rc = tarvikpager_truncate(p, 12);
  if (rc != TARVIK_OK) return rc;
  for (Pgno i = 13; i <= 25; i++) {
    rc = writePage(p, i, 2);
    if (rc != TARVIK_OK) return rc;
  }
  return tarvikpager_commit(p);
}

TEST_F(PagerFaultTest, PowerLossAtEveryWriteAndSyncLeavesOldOrNewContent) {
  const std::string oldImg = dbImage(kOld);
  const std::string newImg = dbImage(newVersions());
  int nScenario = 0, nNew = 0, nOld = 0;
  for (int level : {2, 3})
    for (int op : {TARVIK_TESTOS_WRITE, TARVIK_TESTOS_SYNC, TARVIK_TESTOS_TRUNCATE}) {
      for (int n = 1;; n++) {
        bool completed = false;
        for (int k = 0;; k++) {
          bool past = false;
          for (int torn : {0, 1}) {
            fresh(oldImg);
            tarvikTestOsReset(TARVIK_TESTOS_POWER);
            Pager *p = nullptr;
            ASSERT_EQ(tarvikpager_open(&p, db.c_str(), 10, 0, 1), TARVIK_OK);
            tarvikpager_set_safety_level(p, level);
            // The machine dies at the n-th such operation: it and all later
            // operations of the kind fail.
            tarvikTestOsFail(op, n, TARVIK_IOERR, true);
            void *pAnchor = nullptr;
            int rc = runBigTransaction(p, &pAnchor);
            completed = tarvikTestOsFailures() == 0;
            tarvikTestOsFail(op, 0, 0);
            if (k > tarvikTestOsUnsynced()) {
              past = true;
              if (pAnchor) tarvikpager_unref(pAnchor);
              tarvikpager_close(p);
              break;
            }
            ASSERT_EQ(tarvikTestOsCrash(k, torn), TARVIK_OK);
            if (pAnchor) tarvikpager_unref(pAnchor);
            tarvikpager_close(p);
            std::string img = readThroughPager(db);
            SCOPED_TRACE("level " + std::to_string(level) + " op " + std::to_string(op) + " n " +
                         std::to_string(n) + " keep " + std::to_string(k) + " torn " +
                         std::to_string(torn));
            ASSERT_TRUE(img == oldImg || img == newImg) << describe(img, oldImg, newImg);
            if (rc == TARVIK_OK) {
              ASSERT_TRUE(img == newImg) << "a commit that succeeded was lost";
            }
            if (rc != TARVIK_OK && op != TARVIK_TESTOS_TRUNCATE) {
              // Nothing after the failure can have completed the commit.
              ASSERT_TRUE(img == oldImg) << "a failed commit took effect";
            }
            EXPECT_FALSE(tarvikOsFileExists(journal.c_str())) << "the reader removed the journal";
            nScenario++;
            (img == newImg ? nNew : nOld)++;
          }
          if (past) break;
        }
        if (completed) break;
      }
    }
  EXPECT_GT(nNew, 0);
  EXPECT_GT(nOld, 0);
  RecordProperty("scenarios", nScenario);
}

TEST_F(PagerFaultTest, PowerLossThatKeepsTheFilesWritesButNotTheJournalsLeavesOldOrNewContent) {
  // A disk may make later writes durable before earlier ones.  The worst case
  // for the journal: every write the database file received survives, the
  // journal only as far as it was synced.  A pager that wrote a page before
  // syncing the journal record that covers it fails here.
  const std::string oldImg = dbImage(kOld);
  const std::string newImg = dbImage(newVersions());
  int nScenario = 0;
  for (int level : {2, 3})
    for (int op : {TARVIK_TESTOS_WRITE, TARVIK_TESTOS_SYNC}) {
      for (int n = 1;; n++) {
        fresh(oldImg);
        tarvikTestOsReset(TARVIK_TESTOS_POWER);
        Pager *p = nullptr;
        ASSERT_EQ(tarvikpager_open(&p, db.c_str(), 10, 0, 1), TARVIK_OK);
        tarvikpager_set_safety_level(p, level);
        tarvikTestOsFail(op, n, TARVIK_IOERR, true);
        void *pAnchor = nullptr;
        int rc = runBigTransaction(p, &pAnchor);
        bool completed = tarvikTestOsFailures() == 0;
        tarvikTestOsFail(op, 0, 0);
        std::string dbAtDeath = readFileBytes(db);
        ASSERT_EQ(tarvikTestOsCrash(0), TARVIK_OK);
        if (pAnchor) tarvikpager_unref(pAnchor);
        tarvikpager_close(p);
        writeFileBytes(db, dbAtDeath);
        std::string img = readThroughPager(db);
        SCOPED_TRACE("level " + std::to_string(level) + " op " + std::to_string(op) + " n " +
                     std::to_string(n));
        ASSERT_TRUE(img == oldImg || img == newImg) << describe(img, oldImg, newImg);
        if (rc != TARVIK_OK) {
          ASSERT_TRUE(img == oldImg) << "a failed commit took effect";
        }
        nScenario++;
        if (completed) break;
      }
    }
  RecordProperty("scenarios", nScenario);
}

TEST_F(PagerFaultTest, PowerLossDuringPlaybackIsRecoveredByTheNextReader) {
  const std::string oldImg = dbImage(kOld);
  const std::string newImg = dbImage(newVersions());
  // The state a crash leaves when the database sync of a commit fails: every
  // page of the transaction in the file, the journal whole.
  auto makeHotState = [&] {
    fresh(oldImg);
    tarvikTestOsReset(TARVIK_TESTOS_POWER);
    Pager *p = nullptr;
    ASSERT_EQ(tarvikpager_open(&p, db.c_str(), 10, 0, 1), TARVIK_OK);
    tarvikTestOsFail(TARVIK_TESTOS_SYNC, 1, TARVIK_IOERR, true, "/test.db");
    void *pAnchor = nullptr;
    ASSERT_EQ(runBigTransaction(p, &pAnchor), TARVIK_IOERR);
    tarvikTestOsFail(TARVIK_TESTOS_SYNC, 0, 0);
    ASSERT_EQ(tarvikTestOsCrash(tarvikTestOsUnsynced()), TARVIK_OK);
    tarvikpager_unref(pAnchor);
    tarvikpager_close(p);
    ASSERT_TRUE(tarvikOsFileExists(journal.c_str()));
  };
  int nScenario = 0;
  for (int op :
       {TARVIK_TESTOS_WRITE, TARVIK_TESTOS_SYNC, TARVIK_TESTOS_TRUNCATE, TARVIK_TESTOS_DELETE}) {
    for (int n = 1;; n++) {
      bool completed = false;
      for (int k = 0;; k++) {
        makeHotState();
        if (HasFatalFailure()) return;
        ASSERT_NE(readFileBytes(db), oldImg);
        tarvikTestOsReset(TARVIK_TESTOS_POWER);
        Pager *p = nullptr;
        ASSERT_EQ(tarvikpager_open(&p, db.c_str(), 10, 0, 1), TARVIK_OK);
        tarvikTestOsFail(op, n, TARVIK_IOERR, true);
        void *p1 = getPage(p, 1);
        completed = tarvikTestOsFailures() == 0;
        tarvikTestOsFail(op, 0, 0);
        if (k > tarvikTestOsUnsynced()) {
          if (p1) tarvikpager_unref(p1);
          tarvikpager_close(p);
          break;
        }
        ASSERT_EQ(tarvikTestOsCrash(k, 1), TARVIK_OK);
        if (p1) tarvikpager_unref(p1);
        tarvikpager_close(p);
        std::string img = readThroughPager(db);
        ASSERT_TRUE(img == oldImg)
            << "op " << op << " n " << n << " keep " << k << ": " << describe(img, oldImg, newImg);
        nScenario++;
      }
      if (completed) break;
    }
  }
  RecordProperty("scenarios", nScenario);
}

TEST_F(PagerFaultTest, HotJournalOfACrashedProcessIsPlayedBackByTheNextReader) {
  const std::string oldImg = dbImage(kOld);
  fresh(oldImg);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // The writer changes 30 pages through a 10-page cache (so pages reach
    // the file) and dies before committing.
    Pager *p = nullptr;
    if (tarvikpager_open(&p, db.c_str(), 10, 0, 1) != TARVIK_OK) _exit(1);
    void *p1 = getPage(p, 1);
    if (!p1) _exit(2);
    for (Pgno i = 1; i <= 30; i++) {
      if (writePage(p, i, 3) != TARVIK_OK) _exit(3);
    }
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(tarvikOsFileExists(journal.c_str()));
  ASSERT_NE(readFileBytes(db), oldImg) << "the dead writer did change the file";
  EXPECT_EQ(readThroughPager(db), oldImg);
  EXPECT_EQ(readFileBytes(db), oldImg);
  EXPECT_FALSE(tarvikOsFileExists(journal.c_str()));
}

TEST_F(PagerFaultTest, HotJournalHeldByAnotherReaderIsNotTouched) {
  // While another process reads, the hot journal cannot be played back (that
  // needs the write lock): the reader is told BUSY and nothing changes.
  const std::string cur = dbImage({2, 2});
  fresh(cur);
  std::string j = journalHeader3(1, 9, 2) + journalRecord3(1, pagePattern(1, 1), 9);
  writeFileBytes(journal, j);
  LockChild child(db);
  ASSERT_TRUE(child.ok());
  ASSERT_EQ(child.readLock(), TARVIK_OK);
  Pager *p = nullptr;
  ASSERT_EQ(tarvikpager_open(&p, db.c_str(), 10, 0, 1), TARVIK_OK);
  int rc;
  EXPECT_EQ(getPage(p, 1, &rc), nullptr);
  EXPECT_EQ(rc, TARVIK_BUSY);
  EXPECT_EQ(tarvikpager_stats(p)[TARVIK_PAGERSTAT_STATE], TARVIK_UNLOCK);
  EXPECT_EQ(readFileBytes(journal), j);
  EXPECT_EQ(readFileBytes(db), cur);
  ASSERT_EQ(child.unlock(), TARVIK_OK);
  void *p1 = getPage(p, 1, &rc);
  ASSERT_NE(p1, nullptr) << rc;
  EXPECT_EQ(pageBytes(p1), pagePattern(1, 1));
  tarvikpager_unref(p1);
  tarvikpager_close(p);
}

// ------------------------------------------------------------------ failures

// One transaction (10 pages, pages 1..15 written at version 2, with spills,
// and a statement rolled back) ended by commit or rollback, with the n-th call of one operation
// failing.
struct StepResult {
  int rc = TARVIK_OK;  // first failure
  bool committed = false;
};

StepResult runSmallTransaction(Pager *p, bool commit) {
  StepResult r;
  void *p1 = getPage(p, 1, &r.rc);
  if (!p1) return r;
  for (Pgno i = 1; i <= 15 && r.rc == TARVIK_OK; i++) r.rc = writePage(p, i, 2);
  // A statement, rolled back: no net change.
  if (r.rc == TARVIK_OK) r.rc = tarvikpager_ckpt_begin(p);
  for (Pgno i : {3u, 12u, 18u}) {
    if (r.rc == TARVIK_OK) r.rc = writePage(p, i, 9);
  }
  if (r.rc == TARVIK_OK) r.rc = tarvikpager_ckpt_rollback(p);
  if (r.rc == TARVIK_OK) {
    if (commit) {
      r.rc = tarvikpager_commit(p);
      r.committed = r.rc == TARVIK_OK;
    } else {
      r.rc = tarvikpager_rollback(p);
    }
  }
  if (r.rc != TARVIK_OK) {
    int mask = tarvikpager_stats(p)[TARVIK_PAGERSTAT_ERRMASK];
    if (mask != 0) {
      // Sticky: later calls give the same error.
      void *pg = tarvikpager_lookup(p, 1);
      int rc2 = pg ? tarvikpager_write(pg) : TARVIK_OK;
      if (pg) tarvikpager_unref(pg);
      if (rc2 == TARVIK_OK) rc2 = tarvikpager_commit(p);
      EXPECT_EQ(rc2, r.rc) << "the sticky error differs from the one reported";
    }
    tarvikpager_rollback(p);
  }
  tarvikpager_unref(p1);
  return r;
}

TEST_F(PagerFaultTest, IoErrorAndFullDiskAtEveryStepReportTheCodeAndKeepTheFileIntact) {
  const std::string oldImg = dbImage(std::vector<int>(10, 1));
  const std::string newImg = dbImage(std::vector<int>(15, 2));
  struct Fault {
    int op;
    int rc;
  } faults[] = {
      {TARVIK_TESTOS_WRITE, TARVIK_IOERR},    {TARVIK_TESTOS_WRITE, TARVIK_FULL},
      {TARVIK_TESTOS_SYNC, TARVIK_IOERR},     {TARVIK_TESTOS_SYNC, TARVIK_FULL},
      {TARVIK_TESTOS_TRUNCATE, TARVIK_IOERR}, {TARVIK_TESTOS_TRUNCATE, TARVIK_FULL},
      {TARVIK_TESTOS_READ, TARVIK_IOERR},     {TARVIK_TESTOS_OPEN, TARVIK_CANTOPEN},
      {TARVIK_TESTOS_DELETE, TARVIK_IOERR},
  };
  for (bool commit : {true, false}) {
    for (auto f : faults) {
      for (int n = 1;; n++) {
        SCOPED_TRACE("commit " + std::to_string(commit) + " op " + std::to_string(f.op) + " n " +
                     std::to_string(n));
        fresh(oldImg);
        tarvikTestOsReset();
        Pager *p = nullptr;
        ASSERT_EQ(tarvikpager_open(&p, db.c_str(), 10, 0, 1), TARVIK_OK);
        tarvikTestOsFail(f.op, n, f.rc);
        StepResult r = runSmallTransaction(p, commit);
        bool failed = tarvikTestOsFailures() > 0;
        tarvikTestOsFail(f.op, 0, 0);
        tarvikpager_close(p);
        if (r.rc != TARVIK_OK) {
          // The code names the failure: no full disk invented, no error lost.
          EXPECT_TRUE(r.rc == f.rc || r.rc == TARVIK_CANTOPEN || r.rc == TARVIK_IOERR ||
                      r.rc == TARVIK_CORRUPT)
              << r.rc;
          if (f.rc == TARVIK_FULL) {
            EXPECT_EQ(r.rc, TARVIK_FULL);
          }
          if (f.rc == TARVIK_IOERR && f.op != TARVIK_TESTOS_OPEN) {
            EXPECT_NE(r.rc, TARVIK_FULL);
          }
        }
        std::string img = readThroughPager(db);
        ASSERT_TRUE(img == (r.committed ? newImg : oldImg)) << describe(img, oldImg, newImg);
        EXPECT_FALSE(tarvikOsFileExists(journal.c_str()));
        if (!failed) break;
      }
    }
  }
}

TEST_F(PagerFaultTest, OutOfMemoryAtEveryStepLeaksNothingAndKeepsTheFileIntact) {
  const std::string oldImg = dbImage(std::vector<int>(10, 1));
  const std::string newImg = dbImage(std::vector<int>(15, 2));
  for (bool commit : {true, false}) {
    for (int n = 1;; n++) {
      SCOPED_TRACE("commit " + std::to_string(commit) + " n " + std::to_string(n));
      fresh(oldImg);
      tarvikTestOsReset();
      long before = tarvikTestMallocOutstanding();
      tarvikTestMallocFail(n, false);
      Pager *p = nullptr;
      int rc = tarvikpager_open(&p, db.c_str(), 10, 0, 1);
      StepResult r;
      if (rc == TARVIK_OK) {
        r = runSmallTransaction(p, commit);
        tarvikpager_close(p);
      } else {
        EXPECT_TRUE(rc == TARVIK_NOMEM || rc == TARVIK_CANTOPEN) << rc;
        EXPECT_EQ(p, nullptr);
      }
      bool failed = tarvikTestMallocFailures() > 0;
      tarvikTestMallocFail(0, false);
      EXPECT_EQ(tarvikTestMallocOutstanding(), before) << "leak";
      tarvik_malloc_failed = 0;
      if (r.rc != TARVIK_OK) {
        EXPECT_TRUE(r.rc == TARVIK_NOMEM || r.rc == TARVIK_CANTOPEN) << r.rc;
      }
      std::string img = readThroughPager(db);
      ASSERT_TRUE(img == (r.committed ? newImg : oldImg)) << describe(img, oldImg, newImg);
      EXPECT_FALSE(tarvikOsFileExists(journal.c_str()));
      if (!failed) break;
    }
  }
}

TEST_F(PagerFaultTest, FailedCommitNeverReportsSuccessOrDeletesANeededJournal) {
  const std::string oldImg = dbImage(std::vector<int>(10, 1));
  // A sync of the database fails after every page was written: the journal
  // must stay (this process can no longer vouch for the file) and the next
  // opener restores the old content.
  fresh(oldImg);
  tarvikTestOsReset();
  Pager *p = nullptr;
  ASSERT_EQ(tarvikpager_open(&p, db.c_str(), 100, 0, 1), TARVIK_OK);
  void *p1 = getPage(p, 1);
  for (Pgno i = 1; i <= 15; i++) ASSERT_EQ(writePage(p, i, 2), TARVIK_OK);
  tarvikTestOsFail(TARVIK_TESTOS_SYNC, 1, TARVIK_IOERR, false, "/test.db");
  EXPECT_EQ(tarvikpager_commit(p), TARVIK_IOERR);
  EXPECT_TRUE(tarvikOsFileExists(journal.c_str()));
  EXPECT_EQ(tarvikpager_stats(p)[TARVIK_PAGERSTAT_STATE], TARVIK_UNLOCK) << "others may recover";
  EXPECT_EQ(tarvikpager_commit(p), TARVIK_IOERR) << "sticky";
  EXPECT_EQ(tarvikpager_lookup(p, 2), nullptr);
  tarvikpager_unref(p1);
  tarvikpager_close(p);
  tarvikTestOsFail(TARVIK_TESTOS_SYNC, 0, 0);
  EXPECT_EQ(readThroughPager(db), oldImg);

  // A journal that cannot be deleted after a good commit is cut to nothing
  // instead; the commit stands.
  fresh(oldImg);
  ASSERT_EQ(tarvikpager_open(&p, db.c_str(), 100, 0, 1), TARVIK_OK);
  p1 = getPage(p, 1);
  ASSERT_EQ(writePage(p, 2, 2), TARVIK_OK);
  tarvikTestOsFail(TARVIK_TESTOS_DELETE, 1, TARVIK_IOERR);
  EXPECT_EQ(tarvikpager_commit(p), TARVIK_OK);
  EXPECT_EQ(readFileBytes(journal), "");
  tarvikTestOsFail(TARVIK_TESTOS_DELETE, 0, 0);
  tarvikpager_unref(p1);
  tarvikpager_close(p);
  std::vector<int> v(10, 1);
  v[1] = 2;
  EXPECT_EQ(readThroughPager(db), dbImage(v));
  EXPECT_FALSE(tarvikOsFileExists(journal.c_str()));

  // ...and when even that fails, the commit is an I/O error and the journal
  // (still whole) makes the next opener restore the old content.
  fresh(oldImg);
  ASSERT_EQ(tarvikpager_open(&p, db.c_str(), 100, 0, 1), TARVIK_OK);
  p1 = getPage(p, 1);
  ASSERT_EQ(writePage(p, 2, 2), TARVIK_OK);
  tarvikTestOsFail(TARVIK_TESTOS_DELETE, 1, TARVIK_IOERR);
  tarvikTestOsFail(TARVIK_TESTOS_TRUNCATE, 1, TARVIK_IOERR, false, "-journal");
  EXPECT_EQ(tarvikpager_commit(p), TARVIK_IOERR);
  tarvikTestOsFail(TARVIK_TESTOS_DELETE, 0, 0);
  tarvikTestOsFail(TARVIK_TESTOS_TRUNCATE, 0, 0);
  tarvikpager_unref(p1);
  tarvikpager_close(p);
  EXPECT_TRUE(tarvikOsFileExists(journal.c_str()));
  EXPECT_EQ(readThroughPager(db), oldImg);
}

TEST_F(PagerFaultTest, FailedPlaybackKeepsTheJournalForTheNextOpener) {
  // A hot journal whose playback cannot write the file: the journal stays,
  // the error is sticky, the lock is released; a later opener succeeds.
  const std::string cur = dbImage({2, 2, 2});
  fresh(cur);
  std::string j = journalHeader3(2, 4, 3) + journalRecord3(1, pagePattern(1, 1), 4) +
                  journalRecord3(3, pagePattern(3, 1), 4);
  writeFileBytes(journal, j);
  tarvikTestOsReset();
  tarvikTestOsFail(TARVIK_TESTOS_WRITE, 2, TARVIK_IOERR, false, "/test.db");
  Pager *p = nullptr;
  ASSERT_EQ(tarvikpager_open(&p, db.c_str(), 10, 0, 1), TARVIK_OK);
  int rc;
  EXPECT_EQ(getPage(p, 1, &rc), nullptr);
  EXPECT_EQ(rc, TARVIK_IOERR);
  EXPECT_EQ(getPage(p, 1, &rc), nullptr);
  EXPECT_EQ(rc, TARVIK_IOERR);
  EXPECT_EQ(tarvikpager_stats(p)[TARVIK_PAGERSTAT_STATE], TARVIK_UNLOCK);
  EXPECT_EQ(readFileBytes(journal), j);
  tarvikpager_close(p);
  tarvikTestOsFail(TARVIK_TESTOS_WRITE, 0, 0);
  EXPECT_EQ(readThroughPager(db), dbImage({1, 2, 1}));
  EXPECT_FALSE(tarvikOsFileExists(journal.c_str()));

  // A playback that wrote the file syncs it before the journal goes.
  fresh(cur);
  writeFileBytes(journal, j);
  tarvikTestOsReset(TARVIK_TESTOS_LOG);
  EXPECT_EQ(readThroughPager(db), dbImage({1, 2, 1}));
  int iSync = tarvikTestOsFindEvent(TARVIK_TESTOS_SYNC, "/test.db");
  int iDel = tarvikTestOsFindEvent(TARVIK_TESTOS_DELETE, "-journal");
  ASSERT_GE(iSync, 0);
  ASSERT_GE(iDel, 0);
  EXPECT_LT(iSync, iDel);
}

TEST_F(PagerFaultTest, AllocationFailureInAWriteTransactionKeepsTheJournalUntilRollback) {
  // Pages written out to make room are on disk; an allocation failure after
  // that must not drop the journal that can undo them.
  const std::string oldImg = dbImage(std::vector<int>(30, 1));
  fresh(oldImg);
  Pager *p = nullptr;
  ASSERT_EQ(tarvikpager_open(&p, db.c_str(), 10, 0, 1), TARVIK_OK);
  void *p1 = getPage(p, 1);
  std::vector<void *> held;
  for (Pgno i = 2; i <= 12; i++) {                  // 11 referenced pages: the cache must grow
    ASSERT_EQ(writePage(p, i + 12, 2), TARVIK_OK);  // spills
    held.push_back(getPage(p, i));
  }
  ASSERT_NE(readFileBytes(db), oldImg);
  tarvikTestMallocFail(1, false);
  int rc;
  EXPECT_EQ(getPage(p, 28, &rc), nullptr);
  tarvikTestMallocFail(0, false);
  EXPECT_EQ(rc, TARVIK_NOMEM);
  EXPECT_TRUE(tarvikOsFileExists(journal.c_str()));
  EXPECT_EQ(tarvikpager_stats(p)[TARVIK_PAGERSTAT_STATE], TARVIK_WRITELOCK);
  EXPECT_EQ(tarvikpager_commit(p), TARVIK_NOMEM);
  EXPECT_EQ(tarvikpager_rollback(p), TARVIK_NOMEM);
  EXPECT_FALSE(tarvikOsFileExists(journal.c_str()));
  EXPECT_EQ(readFileBytes(db), oldImg);
  for (void *pg : held) tarvikpager_unref(pg);
  tarvikpager_unref(p1);
  tarvikpager_close(p);
}

// ------------------------------------------------------------------ statements

TEST_F(PagerFaultTest, StatementRollbackMatchesAModelUnderCachePressure) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 40; round++) {
    SCOPED_TRACE(round);
    std::vector<int> start(1 + rng() % 30, 1);
    fresh(dbImage(start));
    Pager *p = nullptr;
    ASSERT_EQ(tarvikpager_open(&p, db.c_str(), 10, 0, 1), TARVIK_OK);
    void *p1 = getPage(p, 1);
    ASSERT_EQ(tarvikpager_begin(p1), TARVIK_OK);
    std::vector<int> model = start, atCkpt;
    bool inCkpt = false;
    int version = 2;
    for (int step = 0; step < 60; step++) {
      int what = rng() % 10;
      if (what < 6) {
        Pgno pg = 1 + rng() % (model.size() + 3);
        ASSERT_EQ(writePage(p, pg, version), TARVIK_OK);
        if (pg > model.size()) model.resize(pg, 0);
        model[pg - 1] = version++;
      } else if (what == 6 && !inCkpt) {
        ASSERT_EQ(tarvikpager_ckpt_begin(p), TARVIK_OK);
        atCkpt = model;
        inCkpt = true;
      } else if (what == 7 && inCkpt) {
        ASSERT_EQ(tarvikpager_ckpt_rollback(p), TARVIK_OK);
        model = atCkpt;
        inCkpt = false;
      } else if (what == 8 && inCkpt) {
        ASSERT_EQ(tarvikpager_ckpt_commit(p), TARVIK_OK);
        inCkpt = false;
      } else if (what == 9 && model.size() > 2) {
        Pgno n = 1 + rng() % model.size();
        ASSERT_EQ(tarvikpager_truncate(p, n), TARVIK_OK);
        model.resize(n);
      }
      ASSERT_EQ(tarvikpager_pagecount(p), (int)model.size()) << "step " << step << " op " << what;
    }
    if (inCkpt) {
      ASSERT_EQ(tarvikpager_ckpt_rollback(p), TARVIK_OK);
      model = atCkpt;
    }
    for (size_t i = 0; i < model.size(); i++) {
      void *pg = getPage(p, (Pgno)(i + 1));
      std::string want =
          model[i] ? pagePattern((Pgno)(i + 1), model[i]) : std::string(TARVIK_PAGE_SIZE, '\0');
      ASSERT_TRUE(pageBytes(pg) == want) << "page " << i + 1;
      tarvikpager_unref(pg);
    }
    bool commit = round % 2 == 0;
    ASSERT_EQ(commit ? tarvikpager_commit(p) : tarvikpager_rollback(p), TARVIK_OK);
    tarvikpager_unref(p1);
    tarvikpager_close(p);
    std::string want;
    for (size_t i = 0; i < (commit ? model : start).size(); i++) {
      int v = (commit ? model : start)[i];
      want += v ? pagePattern((Pgno)(i + 1), v) : std::string(TARVIK_PAGE_SIZE, '\0');
    }
    ASSERT_TRUE(readFileBytes(db) == want);
  }
}

// ------------------------------------------------------------------ ordering

TEST_F(PagerFaultTest, JournalIsSyncedBeforeAnyPageItCoversReachesTheFile) {
  // 20 pages, all 30 written through a 10-page cache: pages go out during the
  // transaction.  Record i of the journal is page i + 1.
  fresh(dbImage(std::vector<int>(20, 1)));
  tarvikTestOsReset(TARVIK_TESTOS_LOG);
  Pager *p = nullptr;
  ASSERT_EQ(tarvikpager_open(&p, db.c_str(), 10, 0, 1), TARVIK_OK);
  void *p1 = getPage(p, 1);
  for (Pgno i = 1; i <= 30; i++) ASSERT_EQ(writePage(p, i, 2), TARVIK_OK);
  ASSERT_EQ(tarvikpager_commit(p), TARVIK_OK);
  tarvikpager_unref(p1);
  tarvikpager_close(p);
  const auto &ev = tarvikTestOsEvents();
  auto ends = [](const std::string &s, const std::string &suf) {
    return s.size() >= suf.size() && s.compare(s.size() - suf.size(), suf.size(), suf) == 0;
  };
  int nDbWrites = 0;
  for (size_t k = 0; k < ev.size(); k++) {
    if (ev[k].op != TARVIK_TESTOS_WRITE || !ends(ev[k].zPath, "/test.db")) continue;
    nDbWrites++;
    Pgno pgno = (Pgno)(ev[k].iOffset / 1024 + 1);
    // The last journal sync before this write...
    int iSync = -1;
    for (size_t m = 0; m < k; m++) {
      if (ev[m].op == TARVIK_TESTOS_SYNC && ends(ev[m].zPath, "-journal")) iSync = (int)m;
    }
    ASSERT_GE(iSync, 0) << "page " << pgno << " written before any journal sync";
    if (pgno <= 20) {
      // ...comes after the record of this page.
      i64 off = 20 + (i64)(pgno - 1) * 1032;
      int iRec = -1;
      for (size_t m = 0; m < k; m++) {
        if (ev[m].op == TARVIK_TESTOS_WRITE && ends(ev[m].zPath, "-journal") &&
            ev[m].iOffset == off)
          iRec = (int)m;
      }
      ASSERT_GE(iRec, 0) << "page " << pgno;
      EXPECT_LT(iRec, iSync) << "page " << pgno << " written before its record was synced";
    }
  }
  EXPECT_EQ(nDbWrites, 30);
  // The directory is synced with the first journal sync, before any page.
  int iDir = tarvikTestOsFindEvent(TARVIK_TESTOS_DIRSYNC, "-journal");
  ASSERT_GE(iDir, 0);
  EXPECT_LT(iDir, tarvikTestOsFindEvent(TARVIK_TESTOS_WRITE, "/test.db"));
}

TEST_F(PagerFaultTest, SyncsPerCommitAtEachSafetyLevel) {
  struct Want {
    int level, journalSyncs, dbSyncs, dirSyncs;
  } wants[] = {{1, 0, 0, 0}, {2, 1, 1, 1}, {3, 2, 2, 2}};
  for (auto w : wants) {
    SCOPED_TRACE(w.level);
    fresh(dbImage(std::vector<int>(5, 1)));
    Pager *p = nullptr;
    ASSERT_EQ(tarvikpager_open(&p, db.c_str(), 100, 0, 1), TARVIK_OK);
    tarvikpager_set_safety_level(p, w.level);
    tarvikTestOsReset(TARVIK_TESTOS_LOG);
    void *p1 = getPage(p, 1);
    for (Pgno i = 1; i <= 8; i++) ASSERT_EQ(writePage(p, i, 2), TARVIK_OK);
    ASSERT_EQ(tarvikpager_commit(p), TARVIK_OK);
    tarvikpager_unref(p1);
    tarvikpager_close(p);
    EXPECT_EQ(tarvikTestOsCount(journal.c_str()).nSync, w.journalSyncs);
    EXPECT_EQ(tarvikTestOsCount(db.c_str()).nSync, w.dbSyncs);
    int nDir = 0;
    for (auto &e : tarvikTestOsEvents()) nDir += e.op == TARVIK_TESTOS_DIRSYNC;
    EXPECT_EQ(nDir, w.dirSyncs);
    if (w.level == 3) {
      // The last directory sync makes the journal's removal durable.
      int iDel = tarvikTestOsFindEvent(TARVIK_TESTOS_DELETE, "-journal");
      int iDir2 = -1;
      for (size_t k = 0; k < tarvikTestOsEvents().size(); k++) {
        if (tarvikTestOsEvents()[k].op == TARVIK_TESTOS_DIRSYNC) iDir2 = (int)k;
      }
      EXPECT_LT(iDel, iDir2);
    }
    EXPECT_EQ(readFileBytes(db), dbImage(std::vector<int>(8, 2)));
  }
}

TEST_F(PagerFaultTest, ChangingSettingsMidTransactionKeepsThePendingJournalSync) {
  // Changing the cache size or safety level while journal records wait for
  // their sync must not let the pages they protect reach the file first.
  for (int variant = 0; variant < 2; variant++) {
    fresh(dbImage(std::vector<int>(5, 1)));
    Pager *p = nullptr;
    ASSERT_EQ(tarvikpager_open(&p, db.c_str(), 100, 0, 1), TARVIK_OK);
    tarvikTestOsReset(TARVIK_TESTOS_LOG);
    void *p1 = getPage(p, 1);
    ASSERT_EQ(writePage(p, 2, 2), TARVIK_OK);
    ASSERT_EQ(writePage(p, 3, 2), TARVIK_OK);
    if (variant == 0) tarvikpager_set_cachesize(p, 50);
    if (variant == 1) tarvikpager_set_safety_level(p, 2);
    ASSERT_EQ(tarvikpager_commit(p), TARVIK_OK);
    tarvikpager_unref(p1);
    tarvikpager_close(p);
    int iCount = -1;
    for (size_t k = 0; k < tarvikTestOsEvents().size(); k++) {
      auto &e = tarvikTestOsEvents()[k];
      if (e.op == TARVIK_TESTOS_WRITE && e.iOffset == 8 && e.nByte == 4) iCount = (int)k;
    }
    ASSERT_GE(iCount, 0) << "the record count was never written";
    int iSync = tarvikTestOsFindEvent(TARVIK_TESTOS_SYNC, "-journal", iCount);
    ASSERT_GE(iSync, 0);
    EXPECT_LT(iSync, tarvikTestOsFindEvent(TARVIK_TESTOS_WRITE, "/test.db"));
  }
}

// ------------------------------------------------------------------ two processes

TEST_F(PagerFaultTest, AReaderElsewhereMakesTheWriterBusyAndItsCacheStaysConsistent) {
  const std::string oldImg = dbImage({1, 1, 1});
  fresh(oldImg);
  LockChild child(db);
  ASSERT_TRUE(child.ok());
  ASSERT_EQ(child.readLock(), TARVIK_OK);
  Pager *p = nullptr;
  ASSERT_EQ(tarvikpager_open(&p, db.c_str(), 10, 0, 1), TARVIK_OK);
  void *p1 = getPage(p, 1);
  void *p2 = getPage(p, 2);
  ASSERT_NE(p2, nullptr) << "readers share the file";
  EXPECT_EQ(tarvikpager_write(p2), TARVIK_BUSY);
  EXPECT_EQ(tarvikpager_iswriteable(p2), 0)
      << "a page that could not be journaled is not writeable";
  EXPECT_EQ(tarvikpager_stats(p)[TARVIK_PAGERSTAT_STATE], TARVIK_READLOCK);
  EXPECT_FALSE(tarvikOsFileExists(journal.c_str()));
  EXPECT_EQ(tarvikpager_commit(p), TARVIK_ERROR) << "no transaction to commit";
  EXPECT_EQ(pageBytes(p2), pagePattern(2, 1));
  // Cache pressure while refused must not write anything.
  for (Pgno i = 3; i <= 40; i++) {
    void *pg = getPage(p, i);
    tarvikpager_unref(pg);
  }
  EXPECT_EQ(readFileBytes(db), oldImg);

  ASSERT_EQ(child.unlock(), TARVIK_OK);
  ASSERT_EQ(tarvikpager_write(p2), TARVIK_OK);
  memcpy(p2, pagePattern(2, 2).data(), TARVIK_PAGE_SIZE);
  EXPECT_EQ(child.readLock(), TARVIK_BUSY) << "the writer excludes readers";
  ASSERT_EQ(tarvikpager_commit(p), TARVIK_OK);
  EXPECT_EQ(child.readLock(), TARVIK_OK) << "after commit the writer only reads";
  EXPECT_EQ(child.unlock(), TARVIK_OK);
  tarvikpager_unref(p2);
  EXPECT_EQ(child.writeLock(), TARVIK_BUSY);
  tarvikpager_unref(p1);
  EXPECT_EQ(child.writeLock(), TARVIK_OK) << "the last reference released the lock";
  EXPECT_EQ(child.unlock(), TARVIK_OK);
  tarvikpager_close(p);
  EXPECT_EQ(readFileBytes(db), dbImage({1, 2, 1}));
}

// ------------------------------------------------------------------ process crash

TEST_F(PagerFaultTest, SyncTurnedOffMidTransactionStillCountsTheJournalsRecords) {
  // The journal was opened while syncing was on (record count 0 in its
  // header).  Syncing is then turned off and pages are written out to make
  // room.  If the process dies now, every write it made is in the files; the
  // next opener must restore the old content from the journal.
  const std::string oldImg = dbImage(kOld);
  const std::string crash = dir.file("crash.db");
  for (int how : {0, 1}) {
    SCOPED_TRACE(how == 0 ? "safety level 1" : "negative cache size");
    fresh(oldImg);
    Pager *p = nullptr;
    ASSERT_EQ(tarvikpager_open(&p, db.c_str(), 10, 0, 1), TARVIK_OK);
    void *p1 = getPage(p, 1);
    ASSERT_EQ(tarvikpager_begin(p1), TARVIK_OK);
    if (how == 0) {
      tarvikpager_set_safety_level(p, 1);
    } else {
      tarvikpager_set_cachesize(p, -10);
    }
    for (Pgno i = 1; i <= 20; i++) ASSERT_EQ(writePage(p, i, 2), TARVIK_OK);
    ASSERT_GT(tarvikpager_stats(p)[TARVIK_PAGERSTAT_NOVFL], 0);
    ASSERT_NE(readFileBytes(db), oldImg) << "changed pages reached the file";
    writeFileBytes(crash, readFileBytes(db));
    writeFileBytes(crash + "-journal", readFileBytes(journal));
    std::string img = readThroughPager(crash);
    EXPECT_TRUE(img == oldImg) << describe(img, oldImg, "");
    ASSERT_EQ(tarvikpager_rollback(p), TARVIK_OK);
    tarvikpager_unref(p1);
    tarvikpager_close(p);
    unlink(crash.c_str());
  }
}

TEST_F(PagerFaultTest, RandomTransactionsCrashedAtAnyPointRollBackToTheStart) {
  // Random writes, statements, truncations, freed and reused pages and
  // settings changes through a 10-page cache; at random points the process
  // "dies" (the files as they are now are copied and opened afresh): the copy
  // must read as the database before the transaction.  At the end, commit or
  // rollback must leave exactly the model's pages (freed ones excepted).
  const std::string crash = dir.file("crash.db");
  auto image = [](const std::vector<int> &m) {
    std::string s;
    for (size_t i = 0; i < m.size(); i++) {
      s += m[i] ? pagePattern((Pgno)(i + 1), m[i]) : std::string(TARVIK_PAGE_SIZE, '\0');
    }
    return s;
  };
  std::mt19937 rng(77);
  int nCrash = 0;
  for (int round = 0; round < 200; round++) {
    SCOPED_TRACE(round);
    std::vector<int> start(1 + rng() % 25, 1);
    fresh(image(start));
    Pager *p = nullptr;
    ASSERT_EQ(tarvikpager_open(&p, db.c_str(), 10, 0, 1), TARVIK_OK);
    tarvikpager_set_safety_level(p, 1 + (int)(rng() % 3));
    void *p1 = getPage(p, 1);
    ASSERT_EQ(tarvikpager_begin(p1), TARVIK_OK);
    std::vector<int> model = start, atCkpt;
    std::vector<bool> freed(start.size()), freedAtCkpt;
    bool inCkpt = false;
    int version = 2;
    int nStep = (int)(rng() % 50);
    for (int step = 0; step < nStep; step++) {
      unsigned what = rng() % 16;
      if (what < 6) {
        Pgno pg = 1 + rng() % (model.size() + 3);
        ASSERT_EQ(writePage(p, pg, version), TARVIK_OK);
        if (pg > model.size()) {
          model.resize(pg, 0);
          freed.resize(pg);
        }
        model[pg - 1] = version++;
        freed[pg - 1] = false;
      } else if (what == 6 && !inCkpt) {
        ASSERT_EQ(tarvikpager_ckpt_begin(p), TARVIK_OK);
        atCkpt = model;
        freedAtCkpt = freed;
        inCkpt = true;
      } else if (what == 7 && inCkpt) {
        ASSERT_EQ(tarvikpager_ckpt_rollback(p), TARVIK_OK);
        model = atCkpt;
        freed = freedAtCkpt;
        inCkpt = false;
      } else if (what == 8 && inCkpt) {
        ASSERT_EQ(tarvikpager_ckpt_commit(p), TARVIK_OK);
        inCkpt = false;
      } else if (what == 9 && model.size() > 2) {
        Pgno n = 1 + rng() % model.size();
        ASSERT_EQ(tarvikpager_truncate(p, n), TARVIK_OK);
        model.resize(n);
        freed.resize(n);
      } else if (what == 10) {
        tarvikpager_set_safety_level(p, 1 + (int)(rng() % 3));
      } else if (what == 11) {
        tarvikpager_set_cachesize(p, rng() % 2 ? -11 : 11);
      } else if (what == 12 && model.size() > 1) {
        // The tree frees a page it holds.
        Pgno pg = 2 + rng() % (model.size() - 1);
        void *pd = tarvikpager_lookup(p, pg);
        if (pd) {
          tarvikpager_dont_write(p, pg);
          freed[pg - 1] = true;
          tarvikpager_unref(pd);
        }
      } else if (what == 13) {
        // ...and takes a freed page back into use.
        for (size_t i = 0; i < freed.size(); i++) {
          if (!freed[i]) continue;
          void *pd = getPage(p, (Pgno)(i + 1));
          ASSERT_NE(pd, nullptr);
          tarvikpager_dont_rollback(pd);
          ASSERT_EQ(tarvikpager_write(pd), TARVIK_OK);
          memcpy(pd, pagePattern((Pgno)(i + 1), version).data(), TARVIK_PAGE_SIZE);
          tarvikpager_unref(pd);
          model[i] = version++;
          freed[i] = false;
          break;
        }
      } else if (what >= 14) {
        unlink((crash + "-journal").c_str());
        writeFileBytes(crash, readFileBytes(db));
        if (tarvikOsFileExists(journal.c_str())) {
          writeFileBytes(crash + "-journal", readFileBytes(journal));
        }
        std::string img = readThroughPager(crash);
        ASSERT_TRUE(img == image(start))
            << "crash at step " << step << ": " << describe(img, image(start), "");
        nCrash++;
      }
      ASSERT_EQ(tarvikpager_pagecount(p), (int)model.size()) << "step " << step;
    }
    bool commit = rng() % 2;
    ASSERT_EQ(commit ? tarvikpager_commit(p) : tarvikpager_rollback(p), TARVIK_OK);
    tarvikpager_unref(p1);
    tarvikpager_close(p);
    std::string got = readFileBytes(db);
    if (!commit) {
      ASSERT_TRUE(got == image(start)) << "rollback";
      continue;
    }
    ASSERT_EQ(got.size(), model.size() * TARVIK_PAGE_SIZE);
    std::string want = image(model);
    for (size_t i = 0; i < model.size(); i++) {
      if (freed[i]) continue;
      size_t off = i * TARVIK_PAGE_SIZE;
      ASSERT_TRUE(got.compare(off, TARVIK_PAGE_SIZE, want, off, TARVIK_PAGE_SIZE) == 0)
          << "page " << i + 1;
    }
  }
  RecordProperty("crashes", nCrash);
}

// ------------------------------------------------------------------ bad input

TEST_F(PagerFaultTest, ReadOnlyFileFallsBackToReadingOnly) {
  const std::string img = dbImage({1, 1});
  ScratchDir diskDir;  // file attributes need a disk file system
  db = diskDir.file("test.db");
  fresh(img);
  // An immutable file cannot be opened for writing even by a superuser.
  int fd = open(db.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  int flags = 0;
  bool immutable = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                   (flags |= FS_IMMUTABLE_FL, ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
  if (!immutable) {
    close(fd);
    GTEST_SKIP() << "cannot make a file read-only here";
  }
  Pager *p = nullptr;
  int rc = tarvikpager_open(&p, db.c_str(), 10, 0, 1);
  EXPECT_EQ(rc, TARVIK_OK);
  if (rc == TARVIK_OK) {
    EXPECT_EQ(tarvikpager_isreadonly(p), 1);
    void *p1 = getPage(p, 1);
    ASSERT_NE(p1, nullptr);
    EXPECT_EQ(pageBytes(p1), pagePattern(1, 1));
    EXPECT_EQ(tarvikpager_write(p1), TARVIK_PERM);
    EXPECT_EQ(tarvikpager_begin(p1), TARVIK_PERM);
    tarvikpager_unref(p1);
    tarvikpager_close(p);
  }
  flags &= ~FS_IMMUTABLE_FL;
  ioctl(fd, FS_IOC_SETFLAGS, &flags);
  close(fd);
  EXPECT_EQ(readFileBytes(db), img);
}

}  // namespace
