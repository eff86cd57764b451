// The in-memory tree backend's own behaviour: a new store, the undo log,
// rollback that cursors cannot refuse, error codes instead of assertions,
// atomic changes under allocation failure, meta values and the integrity
// check's report.
#include "btree_rb.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "btree.h"
#include "btree_util.h"
#include "tarvikInt.h"

namespace {

using tvtest::btInsert;
using tvtest::btMoveto;
using tvtest::curData;
using tvtest::curKey;
using Map = std::map<std::string, std::string>;

class Rbtree : public ::testing::Test {
 protected:
  void SetUp() override {
    base = tarvikTestMallocOutstanding();
    ASSERT_EQ(tarvikRbtreeOpen("ignored", 7, 9, &pBt), TARVIK_OK);
  }
  void TearDown() override {
    for (BtCursor *p : {c1, c2}) {
      if (p) tarvikBtreeCloseCursor(p);
    }
    if (pBt) {
      char *z = tarvikRbtreeCheckInvariants(pBt);
      EXPECT_EQ(z, nullptr) << z;
      tarvikFree(z);
      tarvikBtreeClose(pBt);
    }
    tarvikTestMallocFail(0, false);
    EXPECT_EQ(tarvikTestMallocOutstanding(), base) << "leak";
  }
  Map contents(int iTable) {
    Map m;
    BtCursor *c = nullptr;
    EXPECT_EQ(tarvikBtreeCursor(pBt, iTable, 0, &c), TARVIK_OK);
    if (!c) return m;
    int res = 1;
    EXPECT_EQ(tarvikBtreeFirst(c, &res), TARVIK_OK);
    while (res == 0) {
      m[curKey(c)] = curData(c);
      EXPECT_EQ(tarvikBtreeNext(c, &res), TARVIK_OK);
    }
    tarvikBtreeCloseCursor(c);
    return m;
  }
  void fill(int iTable, const Map &m) {
    BtCursor *c = nullptr;
    ASSERT_EQ(tarvikBtreeCursor(pBt, iTable, 1, &c), TARVIK_OK);
    for (auto &[k, d] : m) EXPECT_EQ(btInsert(c, k, d), TARVIK_OK);
    tarvikBtreeCloseCursor(c);
  }
  long base = 0;
  Btree *pBt = nullptr;
  BtCursor *c1 = nullptr, *c2 = nullptr;
};

TEST_F(Rbtree, NewStoreHasTableTwoMetaTwoAndNumbersFromThree) {
  int aMeta[TARVIK_N_BTREE_META];
  ASSERT_EQ(tarvikBtreeGetMeta(pBt, aMeta), TARVIK_OK);
  for (int i = 0; i < TARVIK_N_BTREE_META; i++) EXPECT_EQ(aMeta[i], i == 2 ? 4 : 0) << i;
  EXPECT_TRUE(contents(2).empty());
  EXPECT_EQ(tarvikBtreeGetFilename(pBt), nullptr);
  EXPECT_EQ(tarvikBtreePager(pBt), nullptr);
  EXPECT_EQ(tarvikBtreeSetCacheSize(pBt, 10), TARVIK_OK);
  EXPECT_EQ(tarvikBtreeSetSafetyLevel(pBt, 3), TARVIK_OK);
  EXPECT_EQ(tarvikBtreeCopyFile(pBt, pBt), TARVIK_INTERNAL);

  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  int t = 0;
  ASSERT_EQ(tarvikBtreeCreateTable(pBt, &t), TARVIK_OK);
  EXPECT_EQ(t, 3);
  ASSERT_EQ(tarvikBtreeCreateIndex(pBt, &t), TARVIK_OK);
  EXPECT_EQ(t, 4);
  ASSERT_EQ(tarvikBtreeRollback(pBt), TARVIK_OK);
  EXPECT_EQ(tarvikBtreeCursor(pBt, 3, 0, &c1), TARVIK_ERROR) << "rolled-back table is gone";
  EXPECT_EQ(c1, nullptr);
}

// Rolling back used to go through the ordinary insert and delete, which a
// read cursor refuses with TARVIK_LOCKED, and the refusal was ignored: the
// change stayed.  Now undo cannot be refused; cursors lose their entry.
TEST_F(Rbtree, RollbackCannotBeRefusedByOpenCursors) {
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  fill(2, {{"keep", "1"}});
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);

  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  fill(2, {{"new", "x"}, {"keep", "changed"}});
  ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 0, &c1), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 1, &c2), TARVIK_OK);
  int res;
  ASSERT_EQ(btMoveto(c1, "new", &res), TARVIK_OK);
  ASSERT_EQ(res, 0);
  ASSERT_EQ(btMoveto(c2, "keep", &res), TARVIK_OK);
  EXPECT_EQ(btInsert(c2, "other", "y"), TARVIK_LOCKED) << "the reader refuses writers";

  ASSERT_EQ(tarvikBtreeRollback(pBt), TARVIK_OK);
  EXPECT_EQ(contents(2), (Map{{"keep", "1"}})) << "every change undone despite the reader";
  for (BtCursor *c : {c1, c2}) {
    int n = -1;
    EXPECT_EQ(tarvikBtreeKeySize(c, &n), TARVIK_OK);
    EXPECT_EQ(n, 0) << "the cursor lost its entry instead of pointing at a freed one";
    char buf[8];
    EXPECT_EQ(tarvikBtreeKey(c, 0, 4, buf), 0);
    EXPECT_EQ(tarvikBtreeNext(c, &res), TARVIK_OK);
    EXPECT_EQ(res, 1);
    EXPECT_EQ(tarvikBtreeFirst(c, &res), TARVIK_OK) << "and can be positioned again";
    EXPECT_EQ(res, 0);
    EXPECT_EQ(curData(c), "1");
  }

  // The same for a checkpoint, and for a table created in the transaction.
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  int t = 0;
  ASSERT_EQ(tarvikBtreeCreateTable(pBt, &t), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeBeginCkpt(pBt), TARVIK_OK);
  tarvikBtreeCloseCursor(c2);
  c2 = nullptr;
  ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 1, &c2), TARVIK_OK);
  tarvikBtreeCloseCursor(c1);
  ASSERT_EQ(btInsert(c2, "ckpt", "z"), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 0, &c1), TARVIK_OK);
  EXPECT_EQ(btMoveto(c1, "ckpt", &res), TARVIK_OK);
  EXPECT_EQ(res, 0);
  ASSERT_EQ(tarvikBtreeRollbackCkpt(pBt), TARVIK_OK);
  int n = -1;
  EXPECT_EQ(tarvikBtreeKeySize(c1, &n), TARVIK_OK);
  EXPECT_EQ(n, 0);
  tarvikBtreeCloseCursor(c2);
  c2 = nullptr;
  ASSERT_EQ(tarvikBtreeCursor(pBt, t, 0, &c2), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeRollback(pBt), TARVIK_OK);
  EXPECT_EQ(contents(2), (Map{{"keep", "1"}}));
  EXPECT_EQ(tarvikBtreeFirst(c2, &res), TARVIK_ABORT) << "its table no longer exists";
  EXPECT_EQ(res, 1);
  EXPECT_EQ(btMoveto(c2, "a", &res), TARVIK_ABORT);
  EXPECT_EQ(btInsert(c2, "a", "b"), TARVIK_ABORT);
  EXPECT_EQ(tarvikBtreeDelete(c2), TARVIK_ABORT);
}

// Changing operations outside a transaction used to be assertions; they are
// error codes that leave the store alone.
TEST_F(Rbtree, ChangesWithoutATransactionAreErrors) {
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  fill(2, {{"a", "1"}});
  int t = 0;
  ASSERT_EQ(tarvikBtreeCreateTable(pBt, &t), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);

  ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 1, &c1), TARVIK_OK);
  int res;
  ASSERT_EQ(btMoveto(c1, "a", &res), TARVIK_OK);
  EXPECT_EQ(btInsert(c1, "b", "2"), TARVIK_ERROR);
  EXPECT_EQ(tarvikBtreeDelete(c1), TARVIK_ERROR);
  int t2 = -1;
  EXPECT_EQ(tarvikBtreeCreateTable(pBt, &t2), TARVIK_ERROR);
  EXPECT_EQ(t2, -1);
  EXPECT_EQ(tarvikBtreeDropTable(pBt, t), TARVIK_ERROR);
  EXPECT_EQ(tarvikBtreeClearTable(pBt, 2), TARVIK_ERROR);
  int aMeta[TARVIK_N_BTREE_META] = {0, 9, 9, 9, 9, 9, 9, 9, 9, 9};
  EXPECT_EQ(tarvikBtreeUpdateMeta(pBt, aMeta), TARVIK_ERROR);
  EXPECT_EQ(tarvikBtreeBeginCkpt(pBt), TARVIK_ERROR);
  EXPECT_EQ(tarvikBtreeCommitCkpt(pBt), TARVIK_OK) << "nothing to end";
  EXPECT_EQ(tarvikBtreeRollbackCkpt(pBt), TARVIK_OK);
  EXPECT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
  EXPECT_EQ(tarvikBtreeRollback(pBt), TARVIK_OK);
  EXPECT_EQ(contents(2), (Map{{"a", "1"}}));
  EXPECT_EQ(contents(t), Map{});
  EXPECT_EQ(tarvikRbtreeUndoCount(pBt), 0);

  // Tables that do not exist (or were dropped in this transaction).
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  EXPECT_EQ(tarvikBtreeCursor(pBt, 99, 0, &c2), TARVIK_ERROR);
  EXPECT_EQ(tarvikBtreeDropTable(pBt, 99), TARVIK_ERROR);
  EXPECT_EQ(tarvikBtreeClearTable(pBt, 99), TARVIK_ERROR);
  ASSERT_EQ(tarvikBtreeDropTable(pBt, t), TARVIK_OK);
  EXPECT_EQ(tarvikBtreeDropTable(pBt, t), TARVIK_ERROR);
  EXPECT_EQ(tarvikBtreeCursor(pBt, t, 0, &c2), TARVIK_ERROR);
  EXPECT_EQ(c2, nullptr);
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
}

TEST_F(Rbtree, ReadsClampAndDeletePositions) {
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  fill(2, {{"hello", "world!"}, {"a", "1"}, {"z", "26"}});
  ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 1, &c1), TARVIK_OK);
  char buf[16];
  EXPECT_EQ(tarvikBtreeKey(c1, 0, 5, buf), 0) << "no entry yet";
  int res;
  ASSERT_EQ(btMoveto(c1, "hello", &res), TARVIK_OK);
  EXPECT_EQ(tarvikBtreeKey(c1, 2, 10, buf), 3);
  EXPECT_EQ(std::string(buf, 3), "llo");
  EXPECT_EQ(tarvikBtreeKey(c1, -1, 3, buf), 0) << "negative offset";
  EXPECT_EQ(tarvikBtreeKey(c1, 1, -3, buf), 0) << "negative amount";
  EXPECT_EQ(tarvikBtreeData(c1, 4, 100, buf), 2);
  EXPECT_EQ(std::string(buf, 2), "d!");
  EXPECT_EQ(tarvikBtreeData(c1, 6, 1, buf), 0);
  EXPECT_EQ(tarvikBtreeKeyCompare(c1, "he", 2, 3, &res), TARVIK_OK);
  EXPECT_EQ(res, 0);
  EXPECT_EQ(tarvikBtreeKeyCompare(c1, "he", 2, 6, &res), TARVIK_OK);
  EXPECT_EQ(res, -1) << "ignoring more than the key holds";

  // Deleting the last entry lands on the one before it: Previous stays there.
  ASSERT_EQ(btMoveto(c1, "z", &res), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeDelete(c1), TARVIK_OK);
  EXPECT_EQ(curKey(c1), "hello");
  ASSERT_EQ(tarvikBtreePrevious(c1, &res), TARVIK_OK);
  EXPECT_EQ(res, 0);
  EXPECT_EQ(curKey(c1), "hello");
  ASSERT_EQ(tarvikBtreeLast(c1, &res), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeDelete(c1), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeNext(c1, &res), TARVIK_OK);
  EXPECT_EQ(res, 1);
  // Deleting the only entry leaves none.
  ASSERT_EQ(tarvikBtreeFirst(c1, &res), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeDelete(c1), TARVIK_OK);
  int n = -1;
  EXPECT_EQ(tarvikBtreeKeySize(c1, &n), TARVIK_OK);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(tarvikBtreeDelete(c1), TARVIK_OK) << "no current entry: nothing happens";
  ASSERT_EQ(tarvikBtreePrevious(c1, &res), TARVIK_OK);
  EXPECT_EQ(res, 1);

  // A second writer loses its entry when the first one changes the table.
  fill(2, {{"p", "1"}, {"q", "2"}});
  ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 1, &c2), TARVIK_OK);
  ASSERT_EQ(btMoveto(c2, "q", &res), TARVIK_OK);
  ASSERT_EQ(btMoveto(c1, "q", &res), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeDelete(c1), TARVIK_OK);
  EXPECT_EQ(tarvikBtreeKeySize(c2, &n), TARVIK_OK);
  EXPECT_EQ(n, 0);
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
}

TEST_F(Rbtree, UndoLogRecordsEachChangeAndCommitFreesIt) {
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 1, &c1), TARVIK_OK);
  ASSERT_EQ(btInsert(c1, "a", "1"), TARVIK_OK);
  EXPECT_EQ(tarvikRbtreeUndoCount(pBt), 1);
  ASSERT_EQ(btInsert(c1, "a", "2"), TARVIK_OK);
  EXPECT_EQ(tarvikRbtreeUndoCount(pBt), 2) << "a replacement keeps the old data";
  int res;
  ASSERT_EQ(btMoveto(c1, "a", &res), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeDelete(c1), TARVIK_OK);
  EXPECT_EQ(tarvikRbtreeUndoCount(pBt), 3);
  ASSERT_EQ(tarvikBtreeBeginCkpt(pBt), TARVIK_OK);
  for (int i = 0; i < 10; i++) ASSERT_EQ(btInsert(c1, std::to_string(i), "x"), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeCommitCkpt(pBt), TARVIK_OK);
  EXPECT_EQ(tarvikRbtreeUndoCount(pBt), 13) << "the checkpoint's log joins the transaction's";
  tarvikBtreeCloseCursor(c1);
  c1 = nullptr;
  ASSERT_EQ(tarvikBtreeClearTable(pBt, 2), TARVIK_OK);
  EXPECT_EQ(tarvikRbtreeUndoCount(pBt), 23) << "one entry per cleared node";
  int t;
  ASSERT_EQ(tarvikBtreeCreateTable(pBt, &t), TARVIK_OK);
  fill(t, {{"x", std::string(1000, 'y')}});
  ASSERT_EQ(tarvikBtreeDropTable(pBt, t), TARVIK_OK);
  EXPECT_EQ(tarvikRbtreeUndoCount(pBt), 26);
  ASSERT_EQ(tarvikBtreeRollback(pBt), TARVIK_OK);
  EXPECT_EQ(tarvikRbtreeUndoCount(pBt), 0);
  EXPECT_TRUE(contents(2).empty());

  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeCreateTable(pBt, &t), TARVIK_OK);
  fill(t, {{"x", std::string(1000, 'y')}});
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
  long before = tarvikTestMallocOutstanding();
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeDropTable(pBt, t), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
  EXPECT_LT(tarvikTestMallocOutstanding(), before) << "the dropped table is freed at commit";
  EXPECT_EQ(tarvikBtreeCursor(pBt, t, 0, &c1), TARVIK_ERROR);
}

TEST_F(Rbtree, MetaValuesAreNotUndoneAndMetaZeroIsReadOnly) {
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  int aMeta[TARVIK_N_BTREE_META] = {55, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  ASSERT_EQ(tarvikBtreeUpdateMeta(pBt, aMeta), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeRollback(pBt), TARVIK_OK);
  int aGot[TARVIK_N_BTREE_META];
  ASSERT_EQ(tarvikBtreeGetMeta(pBt, aGot), TARVIK_OK);
  EXPECT_EQ(aGot[0], 0) << "meta 0 counts free pages; there are none";
  for (int i = 1; i < TARVIK_N_BTREE_META; i++) EXPECT_EQ(aGot[i], i);
}

TEST_F(Rbtree, IntegrityCheckReportsColourFaultsWithADump) {
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  Map m;
  for (int i = 0; i < 20; i++) m[std::to_string(100 + i)] = "d";
  fill(2, m);
  int t;
  ASSERT_EQ(tarvikBtreeCreateTable(pBt, &t), TARVIK_OK);
  int aRoot[] = {2, t};
  EXPECT_EQ(tarvikBtreeIntegrityCheck(pBt, aRoot, 2), nullptr);

  // Find a black node with a red child and make it red: a red-red pair and a
  // black-height difference above it.
  ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 0, &c1), TARVIK_OK);
  int res;
  ASSERT_EQ(tarvikBtreeLast(c1, &res), TARVIK_OK);
  ASSERT_EQ(tarvikRbtreeTestFlipColour(c1), 1);
  char *z = tarvikBtreeIntegrityCheck(pBt, aRoot, 2);
  ASSERT_NE(z, nullptr);
  std::string s = z;
  tarvikFree(z);
  bool red = s.rfind("Red node with red child at ", 0) == 0;
  bool height = s.rfind("Different black-heights at ", 0) == 0;
  EXPECT_TRUE(red || height) << s;
  EXPECT_NE(s.find(" B \n"), std::string::npos) << "the dump marks black nodes";
  EXPECT_NE(s.find("\n   0x"), std::string::npos) << "children are indented by 3";
  EXPECT_EQ(s.substr(s.size() - 2), "\n\n") << "each report ends with an empty line";
  char *zInv = tarvikRbtreeCheckInvariants(pBt);
  EXPECT_NE(zInv, nullptr);
  tarvikFree(zInv);
  ASSERT_EQ(tarvikRbtreeTestFlipColour(c1), 1);
  EXPECT_EQ(tarvikBtreeIntegrityCheck(pBt, aRoot, 2), nullptr);
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
}

// Each change either happens completely or, on TARVIK_NOMEM, not at all;
// rolling back never allocates.
TEST_F(Rbtree, ChangesAreAtomicUnderAllocationFailureAndRollbackNeverAllocates) {
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  Map m;
  for (int i = 0; i < 50; i++) m[std::to_string(1000 + i)] = std::string((size_t)i, 'v');
  fill(2, m);
  int t;
  ASSERT_EQ(tarvikBtreeCreateTable(pBt, &t), TARVIK_OK);
  fill(t, {{"only", "one"}});
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);

  struct Change {
    const char *zName;
    int (*x)(Btree *, BtCursor *, int t);
    void (*apply)(Map &m2, Map &mt);
  };
  const Change aChange[] = {
      {"insert new", [](Btree *, BtCursor *c, int) { return btInsert(c, "1025x", "new"); },
       [](Map &m2, Map &) { m2["1025x"] = "new"; }},
      {"replace", [](Btree *, BtCursor *c, int) { return btInsert(c, "1010", "replaced"); },
       [](Map &m2, Map &) { m2["1010"] = "replaced"; }},
      {"delete",
       [](Btree *, BtCursor *c, int) {
         int res;
         btMoveto(c, "1020", &res);
         return tarvikBtreeDelete(c);
       },
       [](Map &m2, Map &) { m2.erase("1020"); }},
      {"clear", [](Btree *p, BtCursor *, int) { return tarvikBtreeClearTable(p, 2); },
       [](Map &m2, Map &) { m2.clear(); }},
      {"drop", [](Btree *p, BtCursor *, int tt) { return tarvikBtreeDropTable(p, tt); },
       [](Map &, Map &mt) { mt.clear(); }},
  };
  for (const Change &ch : aChange) {
    SCOPED_TRACE(ch.zName);
    for (int n = 1;; n++) {
      ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
      ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 1, &c1), TARVIK_OK);
      // The table to clear or drop must have no cursor; c1 is on table 2.
      Map want2 = m, wantT = {{"only", "one"}};
      tarvikTestMallocFail(n, true);
      int rc = ch.x(pBt, c1, t);
      tarvikTestMallocFail(0, false);
      tarvikBtreeCloseCursor(c1);
      c1 = nullptr;
      if (rc == TARVIK_OK) {
        ch.apply(want2, wantT);
        EXPECT_EQ(contents(2), want2);
        if (std::string(ch.zName) != "drop") {
          EXPECT_EQ(contents(t), wantT);
        }
      } else {
        ASSERT_EQ(rc, TARVIK_NOMEM);
        EXPECT_EQ(contents(2), m) << "a failed change leaves nothing behind";
        EXPECT_EQ(contents(t), wantT);
      }
      char *z = tarvikRbtreeCheckInvariants(pBt);
      EXPECT_EQ(z, nullptr) << z;
      tarvikFree(z);
      // Undo with every allocation failing: it must still complete.
      tarvikTestMallocFail(1, true);
      EXPECT_EQ(tarvikBtreeRollback(pBt), TARVIK_OK);
      tarvikTestMallocFail(0, false);
      EXPECT_EQ(contents(2), m);
      EXPECT_EQ(contents(t), (Map{{"only", "one"}}));
      if (rc == TARVIK_OK) break;
    }
  }
}

TEST_F(Rbtree, OpenFailsCleanlyAndCloseFreesEverything) {
  long before = tarvikTestMallocOutstanding();
  for (int n = 1;; n++) {
    Btree *p = nullptr;
    tarvikTestMallocFail(n, false);
    int rc = tarvikRbtreeOpen(nullptr, 0, 0, &p);
    tarvikTestMallocFail(0, false);
    if (rc == TARVIK_OK) {
      tarvikBtreeClose(p);
      break;
    }
    EXPECT_EQ(rc, TARVIK_NOMEM);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(tarvikTestMallocOutstanding(), before);
  }
  // Close in the middle of a transaction with cursors still open.
  Btree *p = nullptr;
  ASSERT_EQ(tarvikRbtreeOpen(nullptr, 0, 0, &p), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeBeginTrans(p), TARVIK_OK);
  int t;
  ASSERT_EQ(tarvikBtreeCreateTable(p, &t), TARVIK_OK);
  BtCursor *c = nullptr;
  ASSERT_EQ(tarvikBtreeCursor(p, t, 1, &c), TARVIK_OK);
  for (int i = 0; i < 100; i++) ASSERT_EQ(btInsert(c, std::to_string(i), "d"), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeBeginCkpt(p), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeCursor(p, 2, 0, &c), TARVIK_OK);
  EXPECT_EQ(tarvikBtreeClose(p), TARVIK_OK);
  // TearDown checks that nothing is left.
}

}  // namespace
