// The file B-tree under faults: every I/O error, full disk, allocation failure
// and power loss that can hit one transaction.  After each, the reopened file
// must pass the integrity check and hold exactly the last committed state:
// the transaction's changes when its commit reported success, none of them
// otherwise.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "btree.h"
#include "btree_file_support.h"
#include "os.h"
#include "os_support.h"
#include "tarvikInt.h"

namespace {

using namespace tvbtfile;

// What a reopened file holds: its trees in the order of their roots (a
// transaction that met a fault may have put a new tree on another page), and
// the meta values.
struct State {
  std::vector<Map> tables;
  std::vector<int> meta;
  bool operator==(const State &o) const { return tables == o.tables && meta == o.meta; }
};

State readState(Btree *pBt, const std::vector<int> &roots) {
  State s;
  for (int r : roots) s.tables.push_back(dumpTable(pBt, r));
  int aMeta[TARVIK_N_BTREE_META] = {0};
  tarvikBtreeGetMeta(pBt, aMeta);
  s.meta.assign(aMeta + 1, aMeta + TARVIK_N_BTREE_META);
  return s;
}

// One transaction of mixed changes; the first failure rolls it back and is
// returned.  *pRoots receives the roots in use after a commit.
int runTransaction(Btree *pBt, std::vector<int> roots, std::vector<int> *pRoots) {
  int rc = tarvikBtreeBeginTrans(pBt);
  if (rc != TARVIK_OK) return rc;
  auto step = [&](int r) {
    if (rc == TARVIK_OK) rc = r;
  };
  {
    CursorHolder c;
    step(tarvikBtreeCursor(pBt, 2, 1, &c.p));
    for (int i = 0; i < 20 && rc == TARVIK_OK; i++) {
      std::string k = "fault" + std::to_string(i * 37 % 101);
      std::string d((size_t)(i * 131 % 2600), (char)('a' + i % 26));
      step(tarvikBtreeInsert(c.p, k.data(), (int)k.size(), d.data(), (int)d.size()));
    }
    for (int i = 0; i < 300 && rc == TARVIK_OK; i += 17) {
      char z[16];
      snprintf(z, sizeof(z), "key%04d", i);
      int res = 1;
      step(tarvikBtreeMoveto(c.p, z, 7, &res));
      if (rc == TARVIK_OK && res == 0) step(tarvikBtreeDelete(c.p));
    }
  }
  int t = 0;
  step(tarvikBtreeCreateTable(pBt, &t));
  if (rc == TARVIK_OK) {
    CursorHolder c;
    step(tarvikBtreeCursor(pBt, t, 1, &c.p));
    for (int i = 0; i < 10 && rc == TARVIK_OK; i++) {
      std::string k = "t" + std::to_string(i), d((size_t)i * 150, 'q');
      step(tarvikBtreeInsert(c.p, k.data(), (int)k.size(), d.data(), (int)d.size()));
    }
  }
  step(tarvikBtreeDropTable(pBt, roots[2]));
  int aMeta[TARVIK_N_BTREE_META] = {0, 7, 7, 7, 7, 7, 7, 7, 7, 7};
  step(tarvikBtreeUpdateMeta(pBt, aMeta));
  if (rc != TARVIK_OK) {
    tarvikBtreeRollback(pBt);
    return rc;
  }
  rc = tarvikBtreeCommit(pBt);
  if (rc != TARVIK_OK) {
    tarvikBtreeRollback(pBt);
    return rc;
  }
  roots.erase(roots.begin() + 2);
  roots.push_back(t);
  *pRoots = roots;
  return TARVIK_OK;
}

class FileBtreeFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    tarvikTestOsReset();
    path = dir.file("fault.db");
    Btree *pBt = open();
    ASSERT_NE(pBt, nullptr);
    tarvikBtreeSetCacheSize(pBt, 20);
    Tables model;
    rootsBefore = buildSampleDb(pBt, model);
    ASSERT_EQ(rootsBefore.size(), 3u);
    before = readState(pBt, rootsBefore);
    tarvikBtreeClose(pBt);
    base = readFileBytes(path);
    // The expected result of a clean run.
    pBt = open();
    ASSERT_EQ(runTransaction(pBt, rootsBefore, &rootsAfter), TARVIK_OK);
    after = readState(pBt, rootsAfter);
    tarvikBtreeClose(pBt);
    ASSERT_FALSE(before == after);
  }
  Btree *open() {
    Btree *pBt = nullptr;
    if (tarvikBtreeOpen(path.c_str(), 0, 20, &pBt) != TARVIK_OK) return nullptr;
    return pBt;
  }
  void restoreBase() {
    writeFileBytes(path, base);
    remove((path + "-journal").c_str());
  }
  // Reopens without faults: sound, and in the state the commit reported
  // (with the roots the committing run reported).
  void expectCommitted(bool committed, const std::string &zWhere,
                       const std::vector<int> &rootsCommitted) {
    tarvik_malloc_failed = 0;
    Btree *pBt = open();
    ASSERT_NE(pBt, nullptr) << zWhere;
    std::vector<int> roots = committed ? rootsCommitted : rootsBefore;
    char *z = tarvikBtreeIntegrityCheck(pBt, roots.data(), (int)roots.size());
    EXPECT_EQ(z ? std::string(z) : "", "") << zWhere;
    tarvikFree(z);
    EXPECT_TRUE(readState(pBt, roots) == (committed ? after : before))
        << zWhere << (committed ? ": the commit was reported" : ": the commit failed");
    tarvikBtreeClose(pBt);
  }

  ScratchDir dir;
  std::string path, base;
  std::vector<int> rootsBefore, rootsAfter;
  State before, after;
};

TEST_F(FileBtreeFaults, EveryFailingCallLeavesTheLastCommittedState) {
  struct Fault {
    int op, rc;
    bool persist;
    const char *zSuffix;
    const char *zName;
  };
  const Fault aFault[] = {
      {TARVIK_TESTOS_WRITE, TARVIK_IOERR, false, nullptr, "write error"},
      {TARVIK_TESTOS_WRITE, TARVIK_FULL, true, nullptr, "disk full"},
      {TARVIK_TESTOS_WRITE, TARVIK_FULL, false, "-journal", "journal full once"},
      {TARVIK_TESTOS_READ, TARVIK_IOERR, false, nullptr, "read error"},
      {TARVIK_TESTOS_SYNC, TARVIK_IOERR, false, nullptr, "sync error"},
      {TARVIK_TESTOS_OPEN, TARVIK_CANTOPEN, false, nullptr, "open error"},
      {TARVIK_TESTOS_DELETE, TARVIK_IOERR, false, nullptr, "delete error"},
  };
  for (const Fault &f : aFault) {
    int nInjected = 0;
    for (int n = 1; n < 5000; n++) {
      std::string zWhere = std::string(f.zName) + " at call " + std::to_string(n);
      restoreBase();
      tarvikTestOsReset();
      tarvikTestOsFail(f.op, n, f.rc, f.persist, f.zSuffix);
      Btree *pBt = open();
      int rc = TARVIK_CANTOPEN;
      std::vector<int> roots;
      if (pBt) {
        rc = runTransaction(pBt, rootsBefore, &roots);
        tarvikBtreeClose(pBt);
      }
      bool injected = tarvikTestOsFailures() > 0;
      tarvikTestOsFail(f.op, 0, 0);
      if (rc != TARVIK_OK) {
        EXPECT_TRUE(injected) << zWhere << ": rc " << rc << " without a fault";
      }
      expectCommitted(rc == TARVIK_OK, zWhere, roots);
      if (HasFailure()) return;
      if (!injected) break;
      nInjected++;
    }
    EXPECT_GT(nInjected, 0) << f.zName << " never hit a call";
  }
}

TEST_F(FileBtreeFaults, EveryAllocationFailureLeavesTheLastCommittedStateAndNoLeak) {
  long nBase = tarvikTestMallocOutstanding();
  int nInjected = 0;
  for (int n = 1; n < 100000; n++) {
    std::string zWhere = "allocation " + std::to_string(n);
    restoreBase();
    tarvikTestMallocFail(n, false);
    Btree *pBt = open();
    int rc = TARVIK_NOMEM;
    std::vector<int> roots;
    if (pBt) {
      rc = runTransaction(pBt, rootsBefore, &roots);
      tarvikBtreeClose(pBt);
    }
    bool injected = tarvikTestMallocFailures() > 0;
    tarvikTestMallocFail(0, false);
    ASSERT_EQ(tarvikTestMallocOutstanding(), nBase) << zWhere << ": leak";
    if (rc != TARVIK_OK) {
      EXPECT_TRUE(injected) << zWhere << ": rc " << rc;
      EXPECT_EQ(rc, TARVIK_NOMEM) << zWhere;
    }
    expectCommitted(rc == TARVIK_OK, zWhere, roots);
    if (HasFailure()) return;
    if (!injected) break;
    nInjected++;
  }
  EXPECT_GT(nInjected, 20);
}

// Power fails while the commit is under way: the commit is stopped at its
// j-th sync (which fails, and every one after it), then only the first k of
// the writes not yet synced reach the disk, the next one possibly torn.
TEST_F(FileBtreeFaults, PowerLossDuringCommitIsUndoneOnReopen) {
  int nCases = 0, nCommitted = 0;
  for (int j = 1; j < 30; j++) {
    bool reachedEnd = false;
    for (int variant = 0;; variant++) {
      restoreBase();
      tarvikTestOsReset(TARVIK_TESTOS_POWER);
      tarvikTestOsFail(TARVIK_TESTOS_SYNC, j, TARVIK_IOERR, true);
      Btree *pBt = open();
      ASSERT_NE(pBt, nullptr);
      std::vector<int> roots;
      int rc = runTransaction(pBt, rootsBefore, &roots);
      if (tarvikTestOsFailures() == 0) reachedEnd = true;
      int nPending = tarvikTestOsUnsynced();
      // Keep none, a third, two thirds or all of the pending operations;
      // tear the next write after one sector in the middle cases.
      int aKeep[] = {0, nPending / 3, 2 * nPending / 3, nPending};
      if (variant >= 4) {
        tarvikBtreeClose(pBt);
        break;
      }
      int nKeep = aKeep[variant];
      int nTorn = variant == 1 || variant == 2 ? 1 : 0;
      ASSERT_EQ(tarvikTestOsCrash(nKeep, nTorn), TARVIK_OK);
      tarvikBtreeClose(pBt);
      tarvikTestOsFail(TARVIK_TESTOS_SYNC, 0, 0);
      std::string zWhere = "sync " + std::to_string(j) + " kept " + std::to_string(nKeep) + "/" +
                           std::to_string(nPending) + " torn " + std::to_string(nTorn);
      expectCommitted(rc == TARVIK_OK, zWhere, roots);
      if (HasFailure()) return;
      nCases++;
      if (rc == TARVIK_OK) nCommitted++;
    }
    if (reachedEnd) break;
  }
  EXPECT_GT(nCases, 8);
  EXPECT_GT(nCommitted, 0) << "the last round commits";
}

}  // namespace
