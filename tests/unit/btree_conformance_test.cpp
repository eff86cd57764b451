// One behaviour for every storage backend: the same tests run through the
// operation tables of btree.h against each backend listed in kBackends.
// Only what both backends promise is checked here (positions after a change,
// clamped reads, transaction and checkpoint rollback, readers beside
// writers); backend-specific behaviour has its own test file.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "btree.h"
#include "btree_rb.h"
#include "btree_util.h"
#include "tarvikInt.h"

namespace {

using tvtest::btInsert;
using tvtest::btMoveto;
using tvtest::curData;
using tvtest::curKey;

// ---------------------------------------------------------------- backends
// A backend under test: how to open a fresh empty store, how to dispose of
// it, and a structural check run after every step of the model test (null
// when sound; the text is freed with tarvikFree).  The check must not
// allocate unless it reports a fault.
struct BackendCase {
  const char *zName;
  int (*xOpen)(Btree **ppBt);
  void (*xClose)(Btree *pBt);
  char *(*xCheck)(Btree *pBt, int *aRoot, int nRoot);
  // After TARVIK_NOMEM the store rolls back and carries on (a file store's
  // pager instead keeps failing until it is reopened; its fault tests cover
  // that).
  bool bNomemRecovers;
};

int openRbtree(Btree **ppBt) { return tarvikRbtreeOpen(nullptr, 0, 0, ppBt); }
void closeAny(Btree *pBt) { tarvikBtreeClose(pBt); }
char *checkRbtree(Btree *pBt, int *aRoot, int nRoot) {
  char *z = tarvikRbtreeCheckInvariants(pBt);
  return z ? z : tarvikBtreeIntegrityCheck(pBt, aRoot, nRoot);
}

void PrintTo(const BackendCase &b, std::ostream *os) { *os << b.zName; }

// A file store on a temporary file, with a small cache so that pages are
// recycled while cursors and parents hold others.  Its integrity check reads
// every page, so it runs on every 8th step only.
int openFileBtree(Btree **ppBt) { return tarvikBtreeOpen(nullptr, 0, 20, ppBt); }
char *checkFileBtree(Btree *pBt, int *aRoot, int nRoot) {
  static unsigned nCall = 0;
  return nCall++ % 8 == 0 ? tarvikBtreeIntegrityCheck(pBt, aRoot, nRoot) : nullptr;
}

// Add a backend with one more line here.
const BackendCase kBackends[] = {
    {"Rbtree", openRbtree, closeAny, checkRbtree, true},
    {"FileBtree", openFileBtree, closeAny, checkFileBtree, false},
};

// ---------------------------------------------------------------- helpers

using Map = std::map<std::string, std::string>;
using Tables = std::map<int, Map>;

struct CursorGuard {
  BtCursor *p = nullptr;
  CursorGuard() = default;
  CursorGuard(const CursorGuard &) = delete;
  ~CursorGuard() { close(); }
  void close() {
    if (p) tarvikBtreeCloseCursor(p);
    p = nullptr;
  }
};

int sign(int c) { return c < 0 ? -1 : (c > 0 ? 1 : 0); }

class BtreeConformance : public ::testing::TestWithParam<BackendCase> {
 protected:
  void SetUp() override {
    ASSERT_EQ(GetParam().xOpen(&pBt), TARVIK_OK);
    // Give both backends a materialised store with tree 2.
    ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
    ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
  }
  void TearDown() override {
    if (pBt) GetParam().xClose(pBt);
  }
  // The whole content of a tree, walked forwards.
  Map contents(int iTable) {
    Map m;
    CursorGuard c;
    EXPECT_EQ(tarvikBtreeCursor(pBt, iTable, 0, &c.p), TARVIK_OK);
    if (!c.p) return m;
    int res = 1;
    EXPECT_EQ(tarvikBtreeFirst(c.p, &res), TARVIK_OK);
    while (res == 0) {
      m[curKey(c.p)] = curData(c.p);
      EXPECT_EQ(tarvikBtreeNext(c.p, &res), TARVIK_OK);
    }
    return m;
  }
  void fill(int iTable, const Map &m) {
    CursorGuard c;
    ASSERT_EQ(tarvikBtreeCursor(pBt, iTable, 1, &c.p), TARVIK_OK);
    for (auto &[k, d] : m) ASSERT_EQ(btInsert(c.p, k, d), TARVIK_OK);
  }
  Btree *pBt = nullptr;
};

TEST_P(BtreeConformance, KeysOrderAsBytesThenLengthAndMovetoLandsBesideTheKey) {
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  Map m = {{"ab", "1"}, {"abc", "2"}, {std::string("a\0", 2), "3"}, {"\xff", "4"}, {"b", ""}};
  fill(2, m);
  EXPECT_EQ(contents(2), m);
  std::vector<std::string> order;
  for (auto &kv : contents(2)) order.push_back(kv.first);
  EXPECT_EQ(order, (std::vector<std::string>{std::string("a\0", 2), "ab", "abc", "b", "\xff"}))
      << "a prefix sorts first, bytes compare unsigned";

  CursorGuard c;
  ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 0, &c.p), TARVIK_OK);
  int res = 0;
  ASSERT_EQ(btMoveto(c.p, "\xff\xff", &res), TARVIK_OK);
  EXPECT_LT(res, 0) << "past every key: on the last entry, which is smaller";
  EXPECT_EQ(curKey(c.p), "\xff");
  ASSERT_EQ(btMoveto(c.p, "A", &res), TARVIK_OK);
  EXPECT_GT(res, 0) << "before every key: on the first entry, which is larger";
  EXPECT_EQ(curKey(c.p), std::string("a\0", 2));
  ASSERT_EQ(btMoveto(c.p, "abc", &res), TARVIK_OK);
  EXPECT_EQ(res, 0);
  EXPECT_EQ(curData(c.p), "2");
  ASSERT_EQ(btMoveto(c.p, "abb", &res), TARVIK_OK);
  ASSERT_NE(res, 0);
  EXPECT_EQ(curKey(c.p), res < 0 ? "ab" : "abc") << "a neighbour of the missing key";

  // KeyCompare ignores trailing bytes of the entry's key, never of the probe.
  ASSERT_EQ(btMoveto(c.p, "abc", &res), TARVIK_OK);
  EXPECT_EQ(tarvikBtreeKeyCompare(c.p, "ab", 2, 1, &res), TARVIK_OK);
  EXPECT_EQ(res, 0);
  EXPECT_EQ(tarvikBtreeKeyCompare(c.p, "ab", 2, 0, &res), TARVIK_OK);
  EXPECT_GT(res, 0);
  EXPECT_EQ(tarvikBtreeKeyCompare(c.p, "abd", 3, 0, &res), TARVIK_OK);
  EXPECT_LT(res, 0);
  c.close();
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
}

TEST_P(BtreeConformance, EmptyTreeAndReplacement) {
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  CursorGuard c;
  ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 1, &c.p), TARVIK_OK);
  int res = 0;
  EXPECT_EQ(tarvikBtreeFirst(c.p, &res), TARVIK_OK);
  EXPECT_EQ(res, 1);
  EXPECT_EQ(tarvikBtreeLast(c.p, &res), TARVIK_OK);
  EXPECT_EQ(res, 1);
  EXPECT_EQ(btMoveto(c.p, "x", &res), TARVIK_OK);
  EXPECT_LT(res, 0) << "an empty tree reports 'smaller'";
  int n = -1;
  EXPECT_EQ(tarvikBtreeKeySize(c.p, &n), TARVIK_OK);
  EXPECT_EQ(n, 0);

  ASSERT_EQ(btInsert(c.p, "k", "old"), TARVIK_OK);
  ASSERT_EQ(btInsert(c.p, "k", "new, longer data"), TARVIK_OK);
  ASSERT_EQ(btInsert(c.p, "e", ""), TARVIK_OK) << "empty data is an entry";
  c.close();
  EXPECT_EQ(contents(2), (Map{{"e", ""}, {"k", "new, longer data"}}));
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
}

TEST_P(BtreeConformance, ReadsAreClampedToTheEntry) {
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  std::string big(3000, 'x');
  for (int i = 0; i < 3000; i++) big[(size_t)i] = (char)('a' + i % 26);
  fill(2, {{"hello", big}});
  CursorGuard c;
  ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 0, &c.p), TARVIK_OK);
  int res;
  ASSERT_EQ(tarvikBtreeFirst(c.p, &res), TARVIK_OK);
  char buf[4096];
  memset(buf, '#', sizeof(buf));
  EXPECT_EQ(tarvikBtreeKey(c.p, 2, 10, buf), 3) << "offset 2, amount 10 of a 5-byte key";
  EXPECT_EQ(std::string(buf, 4), "llo#") << "nothing written past what was delivered";
  EXPECT_EQ(tarvikBtreeKey(c.p, 5, 1, buf), 0);
  EXPECT_EQ(tarvikBtreeKey(c.p, 9, 1, buf), 0);
  EXPECT_EQ(tarvikBtreeKey(c.p, 0, 0, buf), 0);
  EXPECT_EQ(tarvikBtreeData(c.p, 2990, 100, buf), 10);
  EXPECT_EQ(std::string(buf, 10), big.substr(2990));
  EXPECT_EQ(tarvikBtreeData(c.p, 1000, 1500, buf), 1500);
  EXPECT_EQ(std::string(buf, 1500), big.substr(1000, 1500));
  EXPECT_EQ(tarvikBtreeData(c.p, 3000, 5, buf), 0);
  c.close();
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
}

TEST_P(BtreeConformance, AfterDeleteNextAndPreviousGiveTheNeighbours) {
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  Map m;
  for (int i = 0; i < 200; i++) m[std::to_string(1000 + i)] = std::string((size_t)(i % 50), 'd');
  fill(2, m);
  CursorGuard c;
  ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 1, &c.p), TARVIK_OK);
  int res;
  for (const char *k : {"1100", "1000", "1199", "1050"}) {
    for (bool forward : {true, false}) {
      std::string key = k;
      if (!m.count(key)) continue;
      ASSERT_EQ(btMoveto(c.p, key, &res), TARVIK_OK);
      ASSERT_EQ(res, 0);
      ASSERT_EQ(tarvikBtreeDelete(c.p), TARVIK_OK);
      m.erase(key);
      auto it = m.lower_bound(key);
      if (forward) {
        ASSERT_EQ(tarvikBtreeNext(c.p, &res), TARVIK_OK);
        EXPECT_EQ(res, it == m.end() ? 1 : 0) << key;
        if (it != m.end()) {
          EXPECT_EQ(curKey(c.p), it->first);
        }
      } else {
        ASSERT_EQ(tarvikBtreePrevious(c.p, &res), TARVIK_OK);
        EXPECT_EQ(res, it == m.begin() ? 1 : 0) << key;
        if (it != m.begin()) {
          EXPECT_EQ(curKey(c.p), std::prev(it)->first);
        }
      }
      // Delete the neighbour too, then re-insert the first victim next to it.
      if (res == 0) {
        std::string k2 = curKey(c.p);
        ASSERT_EQ(tarvikBtreeDelete(c.p), TARVIK_OK);
        m.erase(k2);
      }
      ASSERT_EQ(btInsert(c.p, key, "back"), TARVIK_OK);
      m[key] = "back";
    }
  }
  // Delete everything by walking: the cursor always lands on what remains.
  ASSERT_EQ(tarvikBtreeFirst(c.p, &res), TARVIK_OK);
  while (res == 0) {
    ASSERT_EQ(tarvikBtreeDelete(c.p), TARVIK_OK);
    ASSERT_EQ(tarvikBtreeNext(c.p, &res), TARVIK_OK);
  }
  c.close();
  EXPECT_TRUE(contents(2).empty());
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
}

TEST_P(BtreeConformance, ChangesNeedATransactionAndReadersExcludeWriters) {
  CursorGuard w, r;
  ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 1, &w.p), TARVIK_OK);
  EXPECT_EQ(btInsert(w.p, "k", "d"), TARVIK_ERROR) << "no transaction";
  int iTable = 0;
  EXPECT_EQ(tarvikBtreeCreateTable(pBt, &iTable), TARVIK_ERROR);
  EXPECT_EQ(tarvikBtreeClearTable(pBt, 2), TARVIK_ERROR);
  EXPECT_EQ(tarvikBtreeBeginCkpt(pBt), TARVIK_ERROR) << "a checkpoint needs a transaction";

  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  EXPECT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_ERROR) << "transactions do not nest";
  ASSERT_EQ(btInsert(w.p, "k", "d"), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 0, &r.p), TARVIK_OK);
  EXPECT_EQ(btInsert(r.p, "k2", "d"), TARVIK_PERM) << "writing through a read cursor";
  EXPECT_EQ(btInsert(w.p, "k2", "d"), TARVIK_LOCKED) << "a reader shares the tree";
  int res;
  ASSERT_EQ(btMoveto(w.p, "k", &res), TARVIK_OK);
  EXPECT_EQ(tarvikBtreeDelete(w.p), TARVIK_LOCKED);
  EXPECT_EQ(tarvikBtreeClearTable(pBt, 2), TARVIK_LOCKED);
  r.close();

  ASSERT_EQ(tarvikBtreeCreateTable(pBt, &iTable), TARVIK_OK);
  CursorGuard t;
  ASSERT_EQ(tarvikBtreeCursor(pBt, iTable, 1, &t.p), TARVIK_OK);
  EXPECT_EQ(tarvikBtreeDropTable(pBt, iTable), TARVIK_LOCKED) << "a cursor is open on it";
  t.close();
  EXPECT_EQ(tarvikBtreeDropTable(pBt, iTable), TARVIK_OK);
  w.close();
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
  EXPECT_EQ(contents(2), (Map{{"k", "d"}}));
}

TEST_P(BtreeConformance, TransactionsAndCheckpointsUndoExactly) {
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  fill(2, {{"a", "1"}, {"b", "2"}});
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);

  // A whole transaction rolled back, with a created and a dropped table.
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  int t3 = 0;
  ASSERT_EQ(tarvikBtreeCreateTable(pBt, &t3), TARVIK_OK);
  fill(t3, {{"x", "y"}});
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  fill(2, {{"a", "changed"}, {"c", "3"}});
  ASSERT_EQ(tarvikBtreeDropTable(pBt, t3), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeRollback(pBt), TARVIK_OK);
  EXPECT_EQ(contents(2), (Map{{"a", "1"}, {"b", "2"}}));
  EXPECT_EQ(contents(t3), (Map{{"x", "y"}})) << "a dropped table comes back with its entries";

  // A checkpoint rolled back keeps the transaction's earlier changes.
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  fill(2, {{"c", "3"}});
  ASSERT_EQ(tarvikBtreeBeginCkpt(pBt), TARVIK_OK);
  EXPECT_EQ(tarvikBtreeBeginCkpt(pBt), TARVIK_ERROR) << "one checkpoint at a time";
  fill(2, {{"d", "4"}, {"a", "ckpt"}});
  ASSERT_EQ(tarvikBtreeClearTable(pBt, t3), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeRollbackCkpt(pBt), TARVIK_OK);
  EXPECT_EQ(contents(2), (Map{{"a", "1"}, {"b", "2"}, {"c", "3"}}));
  EXPECT_EQ(contents(t3), (Map{{"x", "y"}}));

  // A committed checkpoint is undone by the transaction's rollback.
  ASSERT_EQ(tarvikBtreeBeginCkpt(pBt), TARVIK_OK);
  fill(2, {{"e", "5"}});
  ASSERT_EQ(tarvikBtreeCommitCkpt(pBt), TARVIK_OK);
  EXPECT_EQ(contents(2).count("e"), 1u);
  ASSERT_EQ(tarvikBtreeRollback(pBt), TARVIK_OK);
  EXPECT_EQ(contents(2), (Map{{"a", "1"}, {"b", "2"}}));

  // Meta values 1..9 survive a commit.
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  int aMeta[TARVIK_N_BTREE_META];
  ASSERT_EQ(tarvikBtreeGetMeta(pBt, aMeta), TARVIK_OK);
  for (int i = 1; i < TARVIK_N_BTREE_META; i++) aMeta[i] = 100 + i;
  ASSERT_EQ(tarvikBtreeUpdateMeta(pBt, aMeta), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
  int aGot[TARVIK_N_BTREE_META];
  ASSERT_EQ(tarvikBtreeGetMeta(pBt, aGot), TARVIK_OK);
  for (int i = 1; i < TARVIK_N_BTREE_META; i++) EXPECT_EQ(aGot[i], 100 + i) << "meta " << i;
}

// ---------------------------------------------------------------- model test

// Runs random steps against the store and an ordered-map model.  All cursors
// are closed at the end of every step.  In nomem mode an operation that
// reports TARVIK_NOMEM rolls the transaction back and the model with it.
class ModelRunner {
 public:
  ModelRunner(const BackendCase &be, Btree *pBt, unsigned seed, bool nomemMode)
      : be_(be), pBt_(pBt), rng_(seed), nomemMode_(nomemMode) {
    cur_[2] = {};
  }

  bool failed() const { return failed_; }
  int nomemSeen() const { return nomemSeen_; }
  const Tables &tables() const { return cur_; }
  bool inTrans() const { return inTrans_; }

  // One random step; then the structural check.
  void step(int iStep) {
    iStep_ = iStep;
    runOne();
    if (nomemPending_) recoverFromNomem();
    if (failed_) return;
    std::vector<int> roots;
    for (auto &kv : cur_) roots.push_back(kv.first);
    char *z = be_.xCheck(pBt_, roots.data(), (int)roots.size());
    if (z) {
      ADD_FAILURE() << "step " << iStep << ": " << z;
      tarvikFree(z);
      failed_ = true;
    }
  }

  // Every table's content against the model.
  void verifyAll() {
    for (auto &[t, m] : cur_) {
      if (failed_) return;
      walk(t, true, false);
    }
  }

  void finish() {
    if (!failed_ && inTrans_) {
      int rc = tarvikBtreeCommit(pBt_);
      if (rc == TARVIK_NOMEM && nomemMode_) {
        tarvikBtreeRollback(pBt_);
        cur_ = transSnap_;
      } else if (rc != TARVIK_OK) {
        fail("commit", rc);
      }
      inTrans_ = inCkpt_ = false;
    }
  }

 private:
#define BT_CALL(expr)                                 \
  do {                                                \
    int rc_ = (expr);                                 \
    if (rc_ != TARVIK_OK) return onError(#expr, rc_); \
  } while (0)

  void onError(const char *zWhat, int rc) {
    if (rc == TARVIK_NOMEM && nomemMode_) {
      nomemPending_ = true;
      nomemSeen_++;
      return;
    }
    fail(zWhat, rc);
  }
  void fail(const std::string &zWhat, int rc = 0) {
    ADD_FAILURE() << "step " << iStep_ << ": " << zWhat << (rc ? " returned " : "")
                  << (rc ? std::to_string(rc) : "");
    failed_ = true;
  }
  void recoverFromNomem() {
    nomemPending_ = false;
    if (!inTrans_) return;
    int rc = tarvikBtreeRollback(pBt_);
    if (rc != TARVIK_OK) return fail("rollback after NOMEM", rc);
    cur_ = transSnap_;
    inTrans_ = inCkpt_ = false;
    verifyAll();
  }

  unsigned rnd(unsigned n) { return (unsigned)(rng_() % n); }
  std::string randBytes(size_t n, bool keyish) {
    static const char kKeyBytes[] = {'a', 'b', 'c', '\0', '\xff'};
    std::string s(n, '\0');
    for (auto &ch : s) ch = keyish ? kKeyBytes[rnd(5)] : (char)rnd(256);
    return s;
  }
  std::string randKey() {
    size_t n = rnd(25) == 0 ? 200 + rnd(1500) : 1 + rnd(6);
    return randBytes(n, true);
  }
  std::string randData() {
    size_t n = rnd(10) == 0 ? rnd(3000) : rnd(40);
    return randBytes(n, false);
  }
  int pickTable() {
    if (rnd(2) == 0) return 2;  // keep one tree growing large
    auto it = cur_.begin();
    std::advance(it, rnd((unsigned)cur_.size()));
    return it->first;
  }
  const std::string *pickKey(const Map &m) {
    if (m.empty()) return nullptr;
    auto it = m.begin();
    std::advance(it, rnd((unsigned)m.size()));
    return &it->first;
  }

  void runOne() {
    if (!inTrans_) {
      if (rnd(5) == 0) return walk(pickTable(), rnd(2) == 0, true);
      BT_CALL(tarvikBtreeBeginTrans(pBt_));
      transSnap_ = cur_;
      inTrans_ = true;
      return;
    }
    unsigned r = rnd(1000);
    if (r < 380) return insertSome();
    if (r < 540) return deleteSome();
    if (r < 640) return walk(pickTable(), rnd(2) == 0, true);
    if (r < 760) return moves();
    if (r < 775) return createTable();
    if (r < 785) return dropTable();
    if (r < 790) return clearTable();
    if (r < 840) {
      if (inCkpt_) return;
      BT_CALL(tarvikBtreeBeginCkpt(pBt_));
      ckptSnap_ = cur_;
      inCkpt_ = true;
      return;
    }
    if (r < 880) {
      if (!inCkpt_) return;
      BT_CALL(tarvikBtreeCommitCkpt(pBt_));
      inCkpt_ = false;
      return;
    }
    if (r < 920) {
      if (!inCkpt_) return;
      BT_CALL(tarvikBtreeRollbackCkpt(pBt_));
      cur_ = ckptSnap_;
      inCkpt_ = false;
      return verifyAll();
    }
    if (r < 975) {
      BT_CALL(tarvikBtreeCommit(pBt_));
      inTrans_ = inCkpt_ = false;
      return;
    }
    BT_CALL(tarvikBtreeRollback(pBt_));
    cur_ = transSnap_;
    inTrans_ = inCkpt_ = false;
    verifyAll();
  }

  void insertSome() {
    int t = pickTable();
    Map &m = cur_[t];
    CursorGuard c;
    BT_CALL(tarvikBtreeCursor(pBt_, t, 1, &c.p));
    for (int n = 1 + (int)rnd(12); n > 0; n--) {
      const std::string *pOld = rnd(4) == 0 ? pickKey(m) : nullptr;
      std::string k = pOld ? *pOld : randKey();
      std::string d = randData();
      BT_CALL(btInsert(c.p, k, d));
      m[k] = d;
    }
  }

  void deleteSome() {
    int t = pickTable();
    Map &m = cur_[t];
    const std::string *pk = pickKey(m);
    if (!pk) return;
    std::string k = *pk;
    CursorGuard c;
    BT_CALL(tarvikBtreeCursor(pBt_, t, 1, &c.p));
    int res;
    BT_CALL(btMoveto(c.p, k, &res));
    if (res != 0 || curKey(c.p) != k) return fail("moveto an existing key " + k);
    for (int n = 1 + (int)rnd(4); n > 0; n--) {
      BT_CALL(tarvikBtreeDelete(c.p));
      m.erase(k);
      auto it = m.lower_bound(k);
      bool forward = rnd(2) == 0;
      if (forward) {
        BT_CALL(tarvikBtreeNext(c.p, &res));
        if (res != (it == m.end() ? 1 : 0)) return fail("next after delete");
        if (res == 0 && curKey(c.p) != it->first) return fail("next after delete lands wrong");
      } else {
        BT_CALL(tarvikBtreePrevious(c.p, &res));
        if (res != (it == m.begin() ? 1 : 0)) return fail("previous after delete");
        if (res == 0 && curKey(c.p) != std::prev(it)->first)
          return fail("previous after delete lands wrong");
      }
      if (res != 0) return;
      k = curKey(c.p);
      if (curData(c.p) != m[k]) return fail("data beside a deleted entry");
    }
  }

  // Expected result of a clamped read of s at (offset, amount).
  static std::string clamp(const std::string &s, int offset, int amt) {
    if (offset >= (int)s.size() || amt <= 0) return "";
    return s.substr((size_t)offset, (size_t)amt);
  }
  void partialReads(BtCursor *pCur, const std::string &k, const std::string &d) {
    char buf[4096];
    for (int i = 0; i < 2; i++) {
      bool onKey = i == 0;
      const std::string &s = onKey ? k : d;
      int offset = (int)rnd((unsigned)s.size() + 3);
      int amt = (int)rnd((unsigned)s.size() + 3);
      if (amt > (int)sizeof(buf)) amt = (int)sizeof(buf);
      int got =
          onKey ? tarvikBtreeKey(pCur, offset, amt, buf) : tarvikBtreeData(pCur, offset, amt, buf);
      std::string want = clamp(s, offset, amt);
      if (got != (int)want.size() || std::string(buf, (size_t)(got < 0 ? 0 : got)) != want) {
        return fail(std::string(onKey ? "key" : "data") + " read at " + std::to_string(offset) +
                    "+" + std::to_string(amt));
      }
    }
  }

  void walk(int t, bool forward, bool partial) {
    const Map &m = cur_[t];
    CursorGuard c;
    BT_CALL(tarvikBtreeCursor(pBt_, t, rnd(2), &c.p));
    int res;
    BT_CALL(forward ? tarvikBtreeFirst(c.p, &res) : tarvikBtreeLast(c.p, &res));
    if (res != (m.empty() ? 1 : 0)) return fail("first/last on table " + std::to_string(t));
    auto check = [&](const std::string &k, const std::string &d) {
      std::string gk = curKey(c.p), gd = curData(c.p);
      if (gk != k || gd != d) return false;
      if (partial) partialReads(c.p, k, d);
      return !failed_;
    };
    if (forward) {
      for (auto it = m.begin(); it != m.end(); ++it) {
        if (res != 0 || !check(it->first, it->second)) return fail("forward walk");
        BT_CALL(tarvikBtreeNext(c.p, &res));
      }
    } else {
      for (auto it = m.rbegin(); it != m.rend(); ++it) {
        if (res != 0 || !check(it->first, it->second)) return fail("backward walk");
        BT_CALL(tarvikBtreePrevious(c.p, &res));
      }
    }
    if (res != 1) return fail("walk does not end with the model");
  }

  void moves() {
    int t = pickTable();
    const Map &m = cur_[t];
    CursorGuard c;
    BT_CALL(tarvikBtreeCursor(pBt_, t, rnd(2), &c.p));
    for (int n = 0; n < 5; n++) {
      const std::string *pk = rnd(3) == 0 ? pickKey(m) : nullptr;
      std::string k = pk ? *pk : randKey();
      int res;
      BT_CALL(btMoveto(c.p, k, &res));
      if (m.empty()) {
        if (res >= 0) return fail("moveto on an empty tree");
        continue;
      }
      std::string got = curKey(c.p);
      auto it = m.find(got);
      if (it == m.end()) return fail("moveto landed on a key the model lacks");
      if (curData(c.p) != it->second) return fail("moveto data");
      if (res == 0 && got != k) return fail("moveto claims an exact match");
      if (res < 0 && !(got < k && (std::next(it) == m.end() || std::next(it)->first > k)))
        return fail("moveto < 0 is not the predecessor");
      if (res > 0 && !(got > k && (it == m.begin() || std::prev(it)->first < k)))
        return fail("moveto > 0 is not the successor");
      if (res == 0 && !m.count(k)) return fail("moveto found a key the model lacks");
      // KeyCompare agrees with a byte comparison of the trimmed key.
      int ignore = (int)rnd((unsigned)got.size() + 1);
      std::string probe = rnd(2) ? k : got.substr(0, got.size() - (size_t)ignore);
      if (probe.empty()) probe = "a";
      int c2;
      BT_CALL(tarvikBtreeKeyCompare(c.p, probe.data(), (int)probe.size(), ignore, &c2));
      std::string trimmed = got.substr(0, got.size() - (size_t)ignore);
      if (sign(c2) != sign(trimmed.compare(probe))) return fail("keycompare");
      partialReads(c.p, got, it->second);
      if (failed_) return;
      // Step once either way and check the neighbour.
      if (rnd(2)) {
        BT_CALL(tarvikBtreeNext(c.p, &res));
        auto nx = std::next(it);
        if (res != (nx == m.end() ? 1 : 0) || (res == 0 && curKey(c.p) != nx->first))
          return fail("next after moveto");
      } else {
        BT_CALL(tarvikBtreePrevious(c.p, &res));
        if (res != (it == m.begin() ? 1 : 0) || (res == 0 && curKey(c.p) != std::prev(it)->first))
          return fail("previous after moveto");
      }
    }
  }

  void createTable() {
    int t = 0;
    BT_CALL(tarvikBtreeCreateTable(pBt_, &t));
    if (cur_.count(t)) return fail("created a table number in use");
    cur_[t] = {};
  }
  void dropTable() {
    if (cur_.size() < 2) return;
    int t = pickTable();
    if (t == 2) return;
    BT_CALL(tarvikBtreeDropTable(pBt_, t));
    cur_.erase(t);
  }
  void clearTable() {
    int t = pickTable();
    BT_CALL(tarvikBtreeClearTable(pBt_, t));
    cur_[t].clear();
  }
#undef BT_CALL

  const BackendCase &be_;
  Btree *pBt_;
  std::mt19937 rng_;
  bool nomemMode_;
  bool nomemPending_ = false;
  bool failed_ = false;
  int nomemSeen_ = 0;
  int iStep_ = 0;
  bool inTrans_ = false, inCkpt_ = false;
  Tables cur_, transSnap_, ckptSnap_;
};

TEST_P(BtreeConformance, RandomOperationsMatchAnOrderedMap) {
  for (unsigned seed : {1u, 2u, 3u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Btree *pStore = nullptr;
    ASSERT_EQ(GetParam().xOpen(&pStore), TARVIK_OK);
    ModelRunner run(GetParam(), pStore, seed, false);
    for (int i = 0; i < 6000 && !run.failed(); i++) run.step(i);
    run.finish();
    run.verifyAll();
    GetParam().xClose(pStore);
    ASSERT_FALSE(run.failed());
  }
}

// Every allocation of a short random script fails once in turn; the store
// must report TARVIK_NOMEM, roll back to the last commit, stay usable, and
// leak nothing.
TEST_P(BtreeConformance, EveryAllocationFailureIsSurvived) {
  if (!GetParam().bNomemRecovers) GTEST_SKIP() << "covered by the backend's fault tests";
  long base = tarvikTestMallocOutstanding();
  int nFailures = 0;
  for (int n = 1; n < 100000; n++) {
    SCOPED_TRACE("failing allocation " + std::to_string(n));
    tarvikTestMallocFail(n, false);
    Btree *pStore = nullptr;
    int rc = GetParam().xOpen(&pStore);
    bool injected = false;
    if (rc == TARVIK_OK) {
      ModelRunner run(GetParam(), pStore, 77, true);
      for (int i = 0; i < 60 && !run.failed(); i++) run.step(i);
      run.finish();
      injected = tarvikTestMallocFailures() > 0;
      tarvikTestMallocFail(0, false);
      run.verifyAll();
      GetParam().xClose(pStore);
      ASSERT_FALSE(run.failed());
      if (injected) {
        ASSERT_GT(run.nomemSeen(), 0) << "a failure went unreported";
      }
    } else {
      ASSERT_EQ(rc, TARVIK_NOMEM);
      ASSERT_EQ(pStore, nullptr);
      injected = true;
    }
    tarvikTestMallocFail(0, false);
    ASSERT_EQ(tarvikTestMallocOutstanding(), base) << "leak";
    if (!injected) break;
    nFailures++;
  }
  EXPECT_GT(nFailures, 50) << "the script should allocate a fair amount";
}

INSTANTIATE_TEST_SUITE_P(Backends, BtreeConformance, ::testing::ValuesIn(kBackends),
                         [](const ::testing::TestParamInfo<BackendCase> &info) {
                           return std::string(info.param.zName);
                         });

}  // namespace
