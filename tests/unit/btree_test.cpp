// The file B-tree's own behaviour: the stored format byte for byte, the free
// list, files of the other byte order, copying, and damaged files (which must
// give TARVIK_CORRUPT or integrity messages, never a crash or a hang).
#include "btree.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "btree_file_support.h"
#include "btree_util.h"
#include "os.h"
#include "os_support.h"
#include "pager.h"
#include "tarvikInt.h"

namespace {

using tvtest::btInsert;
using tvtest::btMoveto;
using tvtest::curData;
using tvtest::curKey;
using namespace tvbtfile;

class FileBtreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tarvikTestOsReset();
    path = dir.file("test.db");
  }
  void TearDown() override { closeDb(); }
  void openDb(int nCache = 100) {
    closeDb();
    ASSERT_EQ(tarvikBtreeOpen(path.c_str(), 0, nCache, &pBt), TARVIK_OK);
    tarvikBtreeSetSafetyLevel(pBt, 1);  // durability is the fault tests' business
  }
  void closeDb() {
    if (pBt) tarvikBtreeClose(pBt);
    pBt = nullptr;
  }
  std::string image() { return readFileBytes(path); }
  // Integrity of the given roots; "" when sound.
  std::string check(std::vector<int> roots) {
    char *z = tarvikBtreeIntegrityCheck(pBt, roots.data(), (int)roots.size());
    std::string s = z ? z : "";
    tarvikFree(z);
    return s;
  }
  ScratchDir dir;
  std::string path;
  Btree *pBt = nullptr;
};

TEST_F(FileBtreeTest, NewFileHasTheHeaderPageAndOneSmallCell) {
  openDb();
  // A zero-length file: tree 2 reads as empty before anything is written.
  {
    CursorHolder c;
    ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 0, &c.p), TARVIK_OK);
    int res = 0;
    EXPECT_EQ(tarvikBtreeFirst(c.p, &res), TARVIK_OK);
    EXPECT_EQ(res, 1);
  }
  EXPECT_EQ(image().size(), 0u) << "reading writes nothing";

  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  {
    CursorHolder c;
    ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 1, &c.p), TARVIK_OK);
    ASSERT_EQ(btInsert(c.p, "key", "data"), TARVIK_OK);
  }
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
  std::string img = image();
  ASSERT_EQ(img.size(), 2048u);

  std::string magic = "** This file contains an Tarvik 2.1 database **";
  EXPECT_EQ(img.substr(0, 48), magic + std::string(1, '\0'));
  EXPECT_EQ(rd32(img, 48), 0xdae37528u) << "the magic integer in this machine's order";
  EXPECT_EQ(img.substr(52, 44), std::string(44, '\0')) << "no free pages, meta values 0";

  // Page 2: header, one 20-byte cell at 8, then one free block to the end.
  const size_t p2 = 1024;
  EXPECT_EQ(rd32(img, p2 + 0), 0u) << "a leaf";
  EXPECT_EQ(rd16(img, p2 + 4), 8u) << "firstCell";
  EXPECT_EQ(rd16(img, p2 + 6), 28u) << "firstFree after 12 + ROUNDUP(7) bytes";
  EXPECT_EQ(rd32(img, p2 + 8), 0u) << "leftChild";
  EXPECT_EQ(rd16(img, p2 + 12), 3u) << "nKey";
  EXPECT_EQ(rd16(img, p2 + 14), 0u) << "iNext";
  EXPECT_EQ((int)img[p2 + 16], 0) << "nKeyHi";
  EXPECT_EQ((int)img[p2 + 17], 0) << "nDataHi";
  EXPECT_EQ(rd16(img, p2 + 18), 4u) << "nData";
  EXPECT_EQ(img.substr(p2 + 20, 8), std::string("keydata\0", 8));
  EXPECT_EQ(rd16(img, p2 + 28), 1024u - 28u) << "free block size";
  EXPECT_EQ(rd16(img, p2 + 30), 0u);

  // Lengths past 16 bits use the high bytes.
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  {
    CursorHolder c;
    ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 1, &c.p), TARVIK_OK);
    ASSERT_EQ(btInsert(c.p, "key", std::string(70000, 'x')), TARVIK_OK);
  }
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
  img = image();
  EXPECT_EQ(rd16(img, p2 + 18), 70000u & 0xffff);
  EXPECT_EQ((int)(unsigned char)img[p2 + 17], 1);
  EXPECT_EQ(check({2}), "");
}

TEST_F(FileBtreeTest, OverflowPagesFollowThePayloadLength) {
  for (int nPayload : {236, 237, 1256, 1257, 236 + 3 * 1020}) {
    SCOPED_TRACE(nPayload);
    closeDb();
    remove(path.c_str());
    openDb();
    std::string data((size_t)nPayload - 1, '\0');
    for (size_t i = 0; i < data.size(); i++) data[i] = (char)(i * 7 + 3);
    ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
    {
      CursorHolder c;
      ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 1, &c.p), TARVIK_OK);
      ASSERT_EQ(btInsert(c.p, "k", data), TARVIK_OK);
    }
    ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
    int nOvfl = nPayload <= 236 ? 0 : (nPayload - 236 + 1019) / 1020;
    EXPECT_EQ(image().size(), (size_t)(2 + nOvfl) * 1024);
    std::string img = image();
    EXPECT_EQ(rd16(img, 1024 + 6), nPayload <= 236 ? 8u + 12 + ((nPayload + 3) & ~3) : 8u + 252)
        << "cell size";
    if (nOvfl > 0) {
      EXPECT_EQ(rd32(img, 1024 + 8 + 248), 3u) << "the first overflow page follows";
      EXPECT_EQ(rd32(img, (size_t)(2 + nOvfl) * 1024 - 1024), 0u) << "the last ends the chain";
    }
    CursorHolder c;
    ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 0, &c.p), TARVIK_OK);
    int res;
    ASSERT_EQ(tarvikBtreeFirst(c.p, &res), TARVIK_OK);
    EXPECT_EQ(curData(c.p), data);
    c.close();
    EXPECT_EQ(check({2}), "");
  }
}

TEST_F(FileBtreeTest, FreedPagesFormTrunksOf254LeavesAndAreReused) {
  openDb();
  // One entry with 256 overflow pages (3..258), then delete it: page 3 becomes
  // the trunk, 4..257 its 254 leaves, and 258 a new first trunk.
  std::string big((size_t)(236 + 256 * 1020 - 1), 'b');
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  {
    CursorHolder c;
    ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 1, &c.p), TARVIK_OK);
    ASSERT_EQ(btInsert(c.p, "k", big), TARVIK_OK);
  }
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
  ASSERT_EQ(image().size(), 258u * 1024);
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  {
    CursorHolder c;
    ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 1, &c.p), TARVIK_OK);
    int res;
    ASSERT_EQ(tarvikBtreeFirst(c.p, &res), TARVIK_OK);
    ASSERT_EQ(tarvikBtreeDelete(c.p), TARVIK_OK);
  }
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
  std::string img = image();
  EXPECT_EQ(rd32(img, 52), 258u) << "freeList: the last freed page is the new trunk";
  EXPECT_EQ(rd32(img, 56), 256u) << "nFree counts trunks and leaves";
  EXPECT_EQ(rd32(img, 257 * 1024 + 0), 3u) << "the new trunk links to the full one";
  EXPECT_EQ(rd32(img, 257 * 1024 + 4), 0u);
  EXPECT_EQ(rd32(img, 2 * 1024 + 0), 0u) << "the full trunk is the last";
  EXPECT_EQ(rd32(img, 2 * 1024 + 4), 254u);
  for (unsigned i = 0; i < 254; i++) ASSERT_EQ(rd32(img, 2 * 1024 + 8 + 4 * i), 4 + i);
  int aMeta[TARVIK_N_BTREE_META];
  ASSERT_EQ(tarvikBtreeGetMeta(pBt, aMeta), TARVIK_OK);
  EXPECT_EQ(aMeta[0], 256);
  EXPECT_EQ(check({2}), "");

  // A dropped tree's pages join the list; new trees and overflow reuse them
  // and the file does not grow.
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  int t = 0;
  ASSERT_EQ(tarvikBtreeCreateTable(pBt, &t), TARVIK_OK);
  EXPECT_EQ(t, 258) << "the empty first trunk is handed out first";
  {
    CursorHolder c;
    ASSERT_EQ(tarvikBtreeCursor(pBt, t, 1, &c.p), TARVIK_OK);
    for (int i = 0; i < 300; i++) {
      ASSERT_EQ(btInsert(c.p, "key" + std::to_string(1000 + i), std::string(200, 'd')), TARVIK_OK);
    }
  }
  EXPECT_EQ(check({2, t}), "");
  ASSERT_EQ(tarvikBtreeDropTable(pBt, t), TARVIK_OK);
  EXPECT_EQ(check({2}), "");
  ASSERT_EQ(tarvikBtreeDropTable(pBt, 2), TARVIK_OK) << "root 2 stays, emptied";
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
  EXPECT_EQ(image().size(), 258u * 1024);
  EXPECT_EQ(rd32(image(), 56), 256u);
  EXPECT_EQ(check({2}), "");
}

TEST_F(FileBtreeTest, AFileOfTheOtherByteOrderIsReadAndChangedInItsOwnOrder) {
  openDb(20);
  Tables model;
  std::vector<int> roots = buildSampleDb(pBt, model);
  int aMeta[TARVIK_N_BTREE_META];
  ASSERT_EQ(tarvikBtreeGetMeta(pBt, aMeta), TARVIK_OK);
  closeDb();

  std::string img = image();
  ASSERT_TRUE(swapByteOrder(img, roots));
  EXPECT_EQ(rd32(img, 48), 0x2875e3dau) << "the magic integer now reads swapped";
  writeFileBytes(path, img);

  openDb(20);
  int aGot[TARVIK_N_BTREE_META];
  ASSERT_EQ(tarvikBtreeGetMeta(pBt, aGot), TARVIK_OK);
  for (int i = 0; i < TARVIK_N_BTREE_META; i++) EXPECT_EQ(aGot[i], aMeta[i]) << "meta " << i;
  EXPECT_EQ(check(roots), "");
  for (auto &[t, m] : model) EXPECT_EQ(dumpTable(pBt, t), m) << "table " << t;

  // Change it: inserts, deletes, a new table, a dropped one, meta values.
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  changeSampleDb(pBt, model, roots);
  aMeta[3] = 12345;
  ASSERT_EQ(tarvikBtreeUpdateMeta(pBt, aMeta), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
  EXPECT_EQ(check(roots), "");
  closeDb();
  img = image();
  EXPECT_EQ(rd32(img, 48), 0x2875e3dau) << "the file keeps its creator's order";

  openDb(20);
  for (auto &[t, m] : model) EXPECT_EQ(dumpTable(pBt, t), m) << "table " << t;
  ASSERT_EQ(tarvikBtreeGetMeta(pBt, aGot), TARVIK_OK);
  EXPECT_EQ(aGot[3], 12345);
  EXPECT_EQ(check(roots), "");
  closeDb();

  // Swapped back, it is a sound file of this machine's order.
  img = image();
  ASSERT_TRUE(swapByteOrder(img, roots));
  writeFileBytes(path, img);
  openDb(20);
  EXPECT_EQ(check(roots), "");
  for (auto &[t, m] : model) EXPECT_EQ(dumpTable(pBt, t), m) << "table " << t;
}

TEST_F(FileBtreeTest, CopyFileMakesAPageForPageCopy) {
  openDb();
  Tables model;
  std::vector<int> roots = buildSampleDb(pBt, model);
  ScratchDir dir2;
  std::string path2 = dir2.file("copy.db");
  Btree *pTo = nullptr;
  ASSERT_EQ(tarvikBtreeOpen(path2.c_str(), 0, 100, &pTo), TARVIK_OK);
  // A larger destination is cut to the source's size.
  ASSERT_EQ(tarvikBtreeBeginTrans(pTo), TARVIK_OK);
  {
    CursorHolder c;
    ASSERT_EQ(tarvikBtreeCursor(pTo, 2, 1, &c.p), TARVIK_OK);
    ASSERT_EQ(btInsert(c.p, "x", std::string(500000, 'x')), TARVIK_OK);
    EXPECT_EQ(tarvikBtreeCopyFile(pTo, pBt), TARVIK_ERROR) << "the source has no transaction";
    ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
    EXPECT_EQ(tarvikBtreeCopyFile(pTo, pBt), TARVIK_BUSY) << "a cursor is open on the copy";
  }
  ASSERT_EQ(tarvikBtreeCopyFile(pTo, pBt), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeCommit(pTo), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
  tarvikBtreeClose(pTo);
  EXPECT_EQ(readFileBytes(path2), image());
}

TEST_F(FileBtreeTest, RollbacksReleaseCursorPagesSoTheLockCanGo) {
  openDb(10);
  Tables model;
  std::vector<int> roots = buildSampleDb(pBt, model);
  Pager *pPager = tarvikBtreePager(pBt);
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  int t = 0;
  ASSERT_EQ(tarvikBtreeCreateTable(pBt, &t), TARVIK_OK);
  CursorHolder deep, fresh, w;
  ASSERT_EQ(tarvikBtreeCursor(pBt, 2, 0, &deep.p), TARVIK_OK);
  int res;
  ASSERT_EQ(tarvikBtreeLast(deep.p, &res), TARVIK_OK);  // a path of several pages
  ASSERT_EQ(tarvikBtreeCursor(pBt, t, 1, &fresh.p), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeCursor(pBt, roots[1], 1, &w.p), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeBeginCkpt(pBt), TARVIK_OK);
  for (int i = 0; i < 200; i++) {
    ASSERT_EQ(btInsert(w.p, "ckpt" + std::to_string(i), std::string(300, 'c')), TARVIK_OK);
  }
  ASSERT_EQ(tarvikBtreeRollbackCkpt(pBt), TARVIK_OK);
  EXPECT_EQ(dumpTable(pBt, roots[1]), model[roots[1]]);
  ASSERT_EQ(btInsert(fresh.p, "x", "y"), TARVIK_OK) << "cursors work after a checkpoint rollback";
  ASSERT_EQ(tarvikBtreeRollback(pBt), TARVIK_OK);

  // Unpositioned on their roots; the cursor on the vanished tree has none.
  int n = -1;
  EXPECT_EQ(tarvikBtreeKeySize(deep.p, &n), TARVIK_OK);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(tarvikBtreeNext(deep.p, &res), TARVIK_OK);
  EXPECT_EQ(res, 1);
  ASSERT_EQ(tarvikBtreeFirst(deep.p, &res), TARVIK_OK);
  EXPECT_EQ(curKey(deep.p), model[2].begin()->first);
  EXPECT_EQ(tarvikBtreeFirst(fresh.p, &res), TARVIK_ABORT);
  EXPECT_EQ(btInsert(fresh.p, "a", "b"), TARVIK_ABORT);
  deep.close();
  fresh.close();
  w.close();
  EXPECT_EQ(tarvikpager_stats(pPager)[TARVIK_PAGERSTAT_NREF], 0) << "no page reference leaked";
  EXPECT_EQ(tarvikpager_stats(pPager)[TARVIK_PAGERSTAT_STATE], TARVIK_UNLOCK);
  EXPECT_EQ(check(roots), "");
}

// ---------------------------------------------------------------- damage

// Opens the damaged file, walks every tree both ways, runs the integrity
// check, and tries changes; returns the check's text.  Walks are bounded so
// that a loop would fail the test instead of hanging it.
std::string exerciseDamaged(const std::string &path, const std::vector<int> &roots,
                            bool *pSawCorrupt) {
  Btree *pBt = nullptr;
  EXPECT_EQ(tarvikBtreeOpen(path.c_str(), 0, 20, &pBt), TARVIK_OK);
  if (!pBt) return "";
  tarvikBtreeSetSafetyLevel(pBt, 1);
  bool corrupt = false;
  auto note = [&](int rc) {
    if (rc == TARVIK_CORRUPT) corrupt = true;
    EXPECT_TRUE(rc == TARVIK_OK || rc == TARVIK_CORRUPT) << "rc " << rc;
    return rc;
  };
  for (int t : roots) {
    for (bool forward : {true, false}) {
      CursorHolder c;
      if (note(tarvikBtreeCursor(pBt, t, 0, &c.p)) != TARVIK_OK) continue;
      int res = 1;
      if (note(forward ? tarvikBtreeFirst(c.p, &res) : tarvikBtreeLast(c.p, &res)) != TARVIK_OK) {
        continue;
      }
      for (int n = 0; res == 0 && n < 100000; n++) {
        int nData = 0;
        tarvikBtreeDataSize(c.p, &nData);
        std::string d((size_t)nData, '\0');
        int got = nData > 0 ? tarvikBtreeData(c.p, 0, nData, d.data()) : 0;
        if (got != nData) corrupt = true;
        if (note(forward ? tarvikBtreeNext(c.p, &res) : tarvikBtreePrevious(c.p, &res)) != 0) break;
      }
      EXPECT_NE(res, 0) << "a walk of a damaged tree ends";
      if (note(btMoveto(c.p, "key0050", &res)) == TARVIK_OK) curData(c.p);
    }
  }
  std::string msg;
  {
    char *z = tarvikBtreeIntegrityCheck(pBt, const_cast<int *>(roots.data()), (int)roots.size());
    if (z) msg = z;
    tarvikFree(z);
  }
  // Changes either work or report the damage; the transaction then rolls back.
  if (tarvikBtreeBeginTrans(pBt) == TARVIK_OK) {
    for (int t : roots) {
      CursorHolder c;
      if (note(tarvikBtreeCursor(pBt, t, 1, &c.p)) != TARVIK_OK) continue;
      int rc = TARVIK_OK;
      for (int i = 0; i < 200 && rc == TARVIK_OK; i++) {
        rc = note(
            btInsert(c.p, "new" + std::to_string(i), std::string((size_t)(i * 37 % 1500), 'n')));
      }
      int res = 1;
      if (rc == TARVIK_OK) rc = note(tarvikBtreeFirst(c.p, &res));
      for (int i = 0; i < 300 && rc == TARVIK_OK && res == 0; i++) {
        rc = note(tarvikBtreeDelete(c.p));
        if (rc == TARVIK_OK) rc = note(tarvikBtreeNext(c.p, &res));
      }
      c.close();
      int t2 = 0;
      note(tarvikBtreeCreateTable(pBt, &t2));
      if (t != 2) note(tarvikBtreeDropTable(pBt, t));
    }
    tarvikBtreeRollback(pBt);
  }
  tarvikBtreeClose(pBt);
  *pSawCorrupt = corrupt || !msg.empty();
  return msg;
}

class DamagedFile : public FileBtreeTest {
 protected:
  void SetUp() override {
    FileBtreeTest::SetUp();
    openDb(20);
    roots = buildSampleDb(pBt, model);
    closeDb();
    good = image();
    ASSERT_TRUE(describeFile(good, roots, &layout));
  }
  // Writes the image, runs the damaged-file exercise, returns the messages.
  std::string run(const std::string &img) {
    writeFileBytes(path, img);
    bool saw = false;
    std::string msg = exerciseDamaged(path, roots, &saw);
    EXPECT_TRUE(saw) << "the damage went unnoticed";
    return msg;
  }
  Tables model;
  std::vector<int> roots;
  std::string good;
  FileLayout layout;
};

TEST_F(DamagedFile, CellChainsThatLoopOrLeaveThePage) {
  ASSERT_FALSE(layout.leaves.empty());
  unsigned leaf = layout.leaves[0];
  size_t base = (size_t)(leaf - 1) * 1024;
  // The last cell points back at the first.
  std::string img = good;
  unsigned off = rd16(img, base + 4), last = off;
  for (int n = 0; off != 0 && n < 100; n++) last = off, off = rd16(img, base + off + 6);
  wr16(img, base + last + 6, rd16(img, base + 4));
  EXPECT_NE(run(img), "");
  // The first cell lies past the page, or not on a 4-byte boundary.
  for (unsigned bad : {1020u, 1022u, 4u, 10u}) {
    img = good;
    wr16(img, base + 4, bad);
    EXPECT_NE(run(img), "") << bad;
  }
  // A cell claims a huge payload that runs off the page.
  img = good;
  unsigned first = rd16(img, base + 4);
  img[base + first + 8] = (char)0xff;
  EXPECT_NE(run(img), "");
}

TEST_F(DamagedFile, ChildPointersPastTheFileOrBackUpTheTree) {
  ASSERT_FALSE(layout.interiors.empty());
  unsigned page = layout.interiors[0];
  size_t base = (size_t)(page - 1) * 1024;
  unsigned first = rd16(good, base + 4);
  for (unsigned bad : {100000u, 0xffffffffu, 1u, page, (unsigned)layout.rootOf[page]}) {
    std::string img = good;
    wr32(img, base + first, bad);
    std::string msg = run(img);
    EXPECT_NE(msg, "") << bad;
    if (bad == 100000u) {
      EXPECT_NE(msg.find("invalid page number 100000"), std::string::npos) << msg;
    }
  }
  std::string img = good;
  wr32(img, base, 0);  // an interior page that claims to be a leaf
  EXPECT_NE(run(img), "");
  // Two cells naming the same child.
  img = good;
  unsigned second = rd16(img, base + first + 6);
  if (second) {
    wr32(img, base + second, rd32(img, base + first));
    EXPECT_NE(run(img), "");
  }
}

TEST_F(DamagedFile, OverflowChainsThatLoopOrEndEarly) {
  // An overflow page that is not the last of its chain.
  unsigned ovfl = 0;
  for (unsigned p : layout.overflow) {
    if (rd32(good, (size_t)(p - 1) * 1024) != 0) ovfl = p;
  }
  ASSERT_NE(ovfl, 0u);
  size_t base = (size_t)(ovfl - 1) * 1024;
  std::string img = good;
  wr32(img, base, ovfl);  // a page that is its own successor
  std::string msg = run(img);
  EXPECT_NE(msg.find("2nd reference to page"), std::string::npos) << msg;
  img = good;
  wr32(img, base, 99999);
  EXPECT_NE(run(img).find("invalid page number 99999"), std::string::npos);
  img = good;
  wr32(img, base, 2);  // into a tree page
  EXPECT_NE(run(img), "");
}

TEST_F(DamagedFile, FreeListsThatLoopOrMiscount) {
  unsigned trunk = rd32(good, 52);
  ASSERT_NE(trunk, 0u) << "the sample database has free pages";
  size_t base = (size_t)(trunk - 1) * 1024;
  std::string img = good;
  wr32(img, base, trunk);  // the trunk is its own successor
  EXPECT_NE(run(img), "");
  img = good;
  wr32(img, base + 4, 300);  // more leaves than a trunk holds
  EXPECT_NE(run(img), "");
  img = good;
  wr32(img, base + 8, 2);  // a tree root listed as free
  EXPECT_NE(run(img), "");
  img = good;
  wr32(img, 56, rd32(img, 56) + 5);  // nFree disagrees with the list
  EXPECT_NE(run(img).find("Main freelist: 5 pages missing from overflow list"), std::string::npos);
  // A leaf dropped from the trunk (and from nFree) is a page nobody uses.
  img = good;
  unsigned n = rd32(img, base + 4);
  ASSERT_GT(n, 0u);
  unsigned lost = rd32(img, base + 8 + 4 * (n - 1));
  wr32(img, base + 4, n - 1);
  wr32(img, 56, rd32(img, 56) - 1);
  std::string msg = run(img);
  EXPECT_EQ(msg, "Page " + std::to_string(lost) + " is never used");
  img = good;
  wr32(img, 52, 77777);
  EXPECT_NE(run(img), "");
}

TEST_F(DamagedFile, FreeBlocksThatOverlapCellsAreReportedByteExactly) {
  unsigned leaf = layout.leaves[0];
  size_t base = (size_t)(leaf - 1) * 1024;
  std::string img = good;
  unsigned firstFree = rd16(img, base + 6);
  unsigned firstCell = rd16(img, base + 4);
  ASSERT_NE(firstFree, 0u);
  // The free chain now starts at the first cell, whose first 4 bytes become
  // a block header of 4 bytes linking to the real free block.
  wr16(img, base + 6, firstCell);
  wr16(img, base + firstCell, 4);
  wr16(img, base + firstCell + 2, firstFree > firstCell ? firstFree : 0);
  std::string msg = run(img);
  char want[80];
  snprintf(want, sizeof(want), "Multiple uses for byte %u of page %u", firstCell, leaf);
  EXPECT_NE(msg.find(want), std::string::npos) << msg;
  // Free blocks of bad sizes or out of order.
  for (unsigned sz : {0u, 2u, 6u, 2000u}) {
    img = good;
    wr16(img, base + firstFree, sz);
    EXPECT_NE(run(img), "") << sz;
  }
}

TEST_F(DamagedFile, NotADatabase) {
  std::string img = good;
  img[3] = 'X';
  writeFileBytes(path, img);
  openDb();
  CursorHolder c;
  EXPECT_EQ(tarvikBtreeCursor(pBt, 2, 0, &c.p), TARVIK_NOTADB);
  EXPECT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_NOTADB);
  char *z = tarvikBtreeIntegrityCheck(pBt, roots.data(), (int)roots.size());
  ASSERT_NE(z, nullptr);
  EXPECT_STREQ(z, "Unable to acquire a read lock on the database");
  tarvikFree(z);
  closeDb();
  img = good;
  wr32(img, 48, 0x12345678);
  writeFileBytes(path, img);
  openDb();
  EXPECT_EQ(tarvikBtreeCursor(pBt, 2, 0, &c.p), TARVIK_NOTADB);
}

// Every single byte of the first pages set to a few hostile values: nothing
// may crash, hang or read outside a page (the sanitizer build checks that).
TEST_F(DamagedFile, SingleByteDamageAnywhereIsSurvived) {
  size_t n = std::min(good.size(), (size_t)4 * 1024);
  for (size_t i = 52; i < n; i += 9) {
    std::string img = good;
    img[i] = (char)(img[i] ^ (i % 2 ? 0xff : 0x04));
    writeFileBytes(path, img);
    bool saw = false;
    exerciseDamaged(path, roots, &saw);
    if (HasFailure()) {
      ADD_FAILURE() << "byte " << i;
      return;
    }
  }
}

}  // namespace
