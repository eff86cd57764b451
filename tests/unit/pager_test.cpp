// The pager: cache and references, the client's extra area and destructor,
// transactions and the journal's bytes, statement rollback, truncation,
// playback of journals of every format, and files that are not databases.
#include "pager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "os_support.h"
#include "pager_support.h"

namespace {

class PagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tarvikTestOsReset();
    db = dir.file("test.db");
    journal = db + "-journal";
  }
  void TearDown() override {
    if (p) tarvikpager_close(p);
  }
  Pager *open(int nCache = 100, int nExtra = 0) {
    if (p) tarvikpager_close(p);
    p = nullptr;
    EXPECT_EQ(tarvikpager_open(&p, db.c_str(), nCache, nExtra, 1), TARVIK_OK);
    return p;
  }
  int *stats() { return tarvikpager_stats(p); }
  // Commits pages 1..n at the given version through the pager.
  void commitPages(int n, int version) {
    void *pAnchor = getPage(p, 1);
    ASSERT_NE(pAnchor, nullptr);
    for (int i = 1; i <= n; i++) ASSERT_EQ(writePage(p, (Pgno)i, version), TARVIK_OK);
    ASSERT_EQ(tarvikpager_commit(p), TARVIK_OK);
    tarvikpager_unref(pAnchor);
  }

  ScratchDir dir;
  std::string db, journal;
  Pager *p = nullptr;
};

TEST_F(PagerTest, EmptyFileReadsZeroPagesAndLockFollowsReferences) {
  open();
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_STATE], TARVIK_UNLOCK) << "open takes no lock";
  EXPECT_EQ(tarvikpager_pagecount(p), 0);
  void *p1 = getPage(p, 1);
  ASSERT_NE(p1, nullptr);
  EXPECT_EQ(pageBytes(p1), std::string(TARVIK_PAGE_SIZE, '\0'));
  EXPECT_EQ(tarvikpager_pagenumber(p1), 1u);
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_STATE], TARVIK_READLOCK);
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_DBSIZE], 0);
  EXPECT_EQ(tarvikpager_iswriteable(p1), 0);
  EXPECT_EQ(tarvikpager_isreadonly(p), 0);
  EXPECT_EQ(std::string(tarvikpager_filename(p)).back(), 'b');
  tarvikpager_unref(p1);
  // The last reference drops the cache and the lock.
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_STATE], TARVIK_UNLOCK);
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_NPAGE], 0);
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_DBSIZE], -1);
  EXPECT_EQ(readFileBytes(db), "") << "reading must not write";
}

TEST_F(PagerTest, CacheHitsMissesRecyclingAndLookup) {
  writeFileBytes(db, dbImage(std::vector<int>(40, 1)));
  open(20);  // limit: 20 pages
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_MXPAGE], 20);
  void *p1 = getPage(p, 1);
  ASSERT_NE(p1, nullptr);
  for (Pgno i = 2; i <= 40; i++) {
    void *pg = getPage(p, i);
    ASSERT_NE(pg, nullptr);
    EXPECT_EQ(pageBytes(pg), pagePattern(i, 1)) << "page " << i;
    tarvikpager_unref(pg);
  }
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_NPAGE], 20) << "the cache stays within its limit";
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_NMISS], 40);
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_NOVFL], 20);
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_NREF], 1);

  // The most recently released pages are still cached; the oldest were recycled.
  EXPECT_EQ(tarvikpager_lookup(p, 2), nullptr);
  void *p40 = tarvikpager_lookup(p, 40);
  ASSERT_NE(p40, nullptr);
  EXPECT_EQ(pageBytes(p40), pagePattern(40, 1));
  void *again = getPage(p, 40);
  EXPECT_EQ(again, p40) << "one page, one block";
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_NHIT], 1);
  tarvikpager_ref(p40);
  tarvikpager_unref(p40);
  tarvikpager_unref(p40);
  tarvikpager_unref(again);
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_NREF], 1);

  // A referenced page is never recycled: its content survives pressure.
  memcpy(p1, "scribble", 8);  // no write: a test of the cache only
  for (Pgno i = 2; i <= 40; i++) {
    void *pg = getPage(p, i);
    tarvikpager_unref(pg);
  }
  EXPECT_EQ(memcmp(p1, "scribble", 8), 0);

  // With every page referenced the cache grows past its limit.
  std::vector<void *> held;
  for (Pgno i = 2; i <= 30; i++) held.push_back(getPage(p, i));
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_NPAGE], 30);
  for (void *pg : held) tarvikpager_unref(pg);
  tarvikpager_unref(p1);
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_NPAGE], 0);
  EXPECT_EQ(tarvikpager_lookup(p, 1), nullptr) << "nothing is cached without a reference";
}

TEST_F(PagerTest, CacheSizeAndSafetySettings) {
  open(3);
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_MXPAGE], 10) << "tiny caches get 10 pages";
  tarvikpager_set_cachesize(p, 5);
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_MXPAGE], 10) << "5 leaves the limit unchanged";
  tarvikpager_set_cachesize(p, -100);
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_MXPAGE], 100);

  // -100 also turned syncing off: a commit syncs nothing.
  commitPages(3, 1);
  EXPECT_EQ(tarvikTestOsCount(db.c_str()).nSync, 0);
  EXPECT_EQ(tarvikTestOsCount(journal.c_str()).nSync, 0);

  tarvikpager_set_cachesize(p, 100);  // syncing back on
  tarvikTestOsReset();
  commitPages(3, 2);
  EXPECT_EQ(tarvikTestOsCount(journal.c_str()).nSync, 1);
  EXPECT_EQ(tarvikTestOsCount(db.c_str()).nSync, 1);
}

struct Extra {
  int tag;
  void *pParent;  // a reference this page holds on another page
};
std::vector<std::pair<void *, int>> gDestroyed;
void recordDestructor(void *pData) {
  auto *e = (Extra *)tarvikpager_extra(pData);
  gDestroyed.push_back({pData, e->tag});
  if (e->pParent) {
    void *pParent = e->pParent;
    e->pParent = nullptr;
    tarvikpager_unref(pParent);
  }
}

TEST_F(PagerTest, ExtraAreaIsZeroedOnLoadAndDestructorRunsAtZeroReferences) {
  writeFileBytes(db, dbImage({1, 1, 1}));
  open(100, (int)sizeof(Extra));
  tarvikpager_set_destructor(p, recordDestructor);
  gDestroyed.clear();
  void *p1 = getPage(p, 1);
  void *p2 = getPage(p, 2);
  auto *e2 = (Extra *)tarvikpager_extra(p2);
  EXPECT_EQ(e2->tag, 0);
  EXPECT_EQ(e2->pParent, nullptr);
  EXPECT_EQ((char *)e2, (char *)p2 + TARVIK_PAGE_SIZE) << "extra area right after the data";
  e2->tag = 42;
  tarvikpager_unref(p2);
  ASSERT_EQ(gDestroyed.size(), 1u);
  EXPECT_EQ(gDestroyed[0].first, p2);
  EXPECT_EQ(gDestroyed[0].second, 42);
  // Still cached: the extra area is kept while the page stays in the cache.
  void *p2b = tarvikpager_lookup(p, 2);
  ASSERT_EQ(p2b, p2);
  EXPECT_EQ(((Extra *)tarvikpager_extra(p2b))->tag, 42);
  tarvikpager_unref(p2b);
  tarvikpager_unref(p1);
  // A new read transaction starts from an empty cache: zeroed again.
  p2 = getPage(p, 2);
  EXPECT_EQ(((Extra *)tarvikpager_extra(p2))->tag, 0);
  tarvikpager_unref(p2);
}

TEST_F(PagerTest, RollbackReleasesReferencesHeldInTheExtraArea) {
  // A child page holding a reference on its parent (as a cursor's page
  // chain does) is reloaded by a rollback; the reference must not leak, or
  // the pager could never drop its cache and lock.
  writeFileBytes(db, dbImage({1, 1, 1}));
  open(100, (int)sizeof(Extra));
  tarvikpager_set_destructor(p, recordDestructor);
  void *pParent = getPage(p, 2);
  void *pChild = getPage(p, 3);
  ((Extra *)tarvikpager_extra(pChild))->pParent = pParent;  // child owns the parent's ref
  ASSERT_EQ(tarvikpager_write(pChild), TARVIK_OK);
  memcpy(pChild, pagePattern(3, 9).data(), TARVIK_PAGE_SIZE);
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_NREF], 2);
  ASSERT_EQ(tarvikpager_rollback(p), TARVIK_OK);
  EXPECT_EQ(pageBytes(pChild), pagePattern(3, 1));
  EXPECT_EQ(((Extra *)tarvikpager_extra(pChild))->pParent, nullptr);
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_NREF], 1) << "the parent's reference was released";
  tarvikpager_unref(pChild);
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_STATE], TARVIK_UNLOCK);
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_NPAGE], 0);
}

TEST_F(PagerTest, CommitAndRollback) {
  open();
  commitPages(5, 1);
  EXPECT_FALSE(tarvikOsFileExists(journal.c_str()));
  EXPECT_EQ(readFileBytes(db), dbImage({1, 1, 1, 1, 1}));

  void *p1 = getPage(p, 1);
  ASSERT_EQ(writePage(p, 2, 2), TARVIK_OK);
  ASSERT_EQ(writePage(p, 7, 2), TARVIK_OK);  // past the end
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_STATE], TARVIK_WRITELOCK);
  EXPECT_EQ(tarvikpager_pagecount(p), 7);
  EXPECT_TRUE(tarvikOsFileExists(journal.c_str()));
  ASSERT_EQ(tarvikpager_rollback(p), TARVIK_OK);
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_STATE], TARVIK_READLOCK);
  EXPECT_FALSE(tarvikOsFileExists(journal.c_str()));
  EXPECT_EQ(tarvikpager_pagecount(p), 5);
  void *p2 = getPage(p, 2);
  EXPECT_EQ(pageBytes(p2), pagePattern(2, 1));
  void *p7 = getPage(p, 7);
  EXPECT_EQ(pageBytes(p7), std::string(TARVIK_PAGE_SIZE, '\0'))
      << "a page added by a rolled-back transaction is gone";
  tarvikpager_unref(p7);
  tarvikpager_unref(p2);

  // Commit without any write: no journal left, no error.
  void *pAny = getPage(p, 3);
  ASSERT_EQ(tarvikpager_begin(pAny), TARVIK_OK);
  EXPECT_EQ(tarvikpager_commit(p), TARVIK_OK);
  EXPECT_FALSE(tarvikOsFileExists(journal.c_str()));
  EXPECT_EQ(tarvikpager_commit(p), TARVIK_ERROR) << "commit outside a transaction";
  tarvikpager_unref(pAny);

  ASSERT_EQ(tarvikpager_overwrite(p, 4, pagePattern(4, 3).data()), TARVIK_OK);
  ASSERT_EQ(tarvikpager_commit(p), TARVIK_OK);
  tarvikpager_unref(p1);
  EXPECT_EQ(readFileBytes(db), dbImage({1, 1, 1, 3, 1}));

  // Releasing the last reference inside a transaction rolls it back.
  p1 = getPage(p, 1);
  ASSERT_EQ(writePage(p, 5, 4), TARVIK_OK);
  tarvikpager_unref(p1);
  EXPECT_FALSE(tarvikOsFileExists(journal.c_str()));
  EXPECT_EQ(readFileBytes(db), dbImage({1, 1, 1, 3, 1}));
}

TEST_F(PagerTest, JournalBytesHeaderRecordsAndCount) {
  writeFileBytes(db, dbImage({1, 1, 1, 1}));
  open();
  void *p1 = getPage(p, 1);
  ASSERT_EQ(writePage(p, 3, 2), TARVIK_OK);
  ASSERT_EQ(writePage(p, 1 + 0, 2), TARVIK_OK);
  ASSERT_EQ(writePage(p, 3, 5), TARVIK_OK);  // journaled once only
  ASSERT_EQ(writePage(p, 6, 2), TARVIK_OK);  // new page: nothing to journal
  std::string j = readFileBytes(journal);
  ASSERT_EQ(j.size(), 20u + 2 * 1032u);
  EXPECT_EQ(j.substr(0, 8), std::string("\xd9\xd5\x05\xf9\x20\xa1\x63\xd6", 8));
  EXPECT_EQ(j.substr(8, 4), be32(0)) << "count stays 0 until the first journal sync";
  unsigned nonce = ((unsigned char)j[12] << 24) | ((unsigned char)j[13] << 16) |
                   ((unsigned char)j[14] << 8) | (unsigned char)j[15];
  EXPECT_EQ(j.substr(16, 4), be32(4)) << "pages at transaction start";
  EXPECT_EQ(j.substr(20, 1032), journalRecord3(3, pagePattern(3, 1), nonce));
  EXPECT_EQ(j.substr(1052, 1032), journalRecord3(1, pagePattern(1, 1), nonce));

  // A truncation needs the journal synced first: the count is written then.
  ASSERT_EQ(tarvikpager_truncate(p, 3), TARVIK_OK);
  j = readFileBytes(journal);
  EXPECT_EQ(j.substr(8, 4), be32(3)) << "page 4 was journaled before it was cut off";
  EXPECT_EQ(j.substr(20 + 2 * 1032, 1032), journalRecord3(4, pagePattern(4, 1), nonce));
  EXPECT_EQ(readFileBytes(db).size(), 3u * 1024);
  ASSERT_EQ(tarvikpager_commit(p), TARVIK_OK);
  tarvikpager_unref(p1);
  EXPECT_EQ(readFileBytes(db), dbImage({2, 1, 5}))
      << "page 6 lies past the truncation and is not written back";

  // Syncing off: the count says "take it from the file size".
  tarvikpager_set_safety_level(p, 1);
  p1 = getPage(p, 1);
  ASSERT_EQ(writePage(p, 2, 7), TARVIK_OK);
  EXPECT_EQ(readFileBytes(journal).substr(8, 4), be32(0xffffffff));
  ASSERT_EQ(tarvikpager_rollback(p), TARVIK_OK);
  tarvikpager_unref(p1);
  EXPECT_EQ(readFileBytes(db), dbImage({2, 1, 5}));
}

TEST_F(PagerTest, RollbackAfterTruncationRestoresPagesNeverWritten) {
  writeFileBytes(db, dbImage({1, 1, 1, 1, 1, 1}));
  open();
  void *p1 = getPage(p, 1);
  ASSERT_EQ(writePage(p, 2, 2), TARVIK_OK);
  ASSERT_EQ(tarvikpager_truncate(p, 2), TARVIK_OK);
  EXPECT_EQ(tarvikpager_pagecount(p), 2);
  void *p5 = getPage(p, 5);
  EXPECT_EQ(pageBytes(p5), std::string(TARVIK_PAGE_SIZE, '\0')) << "past the end reads as zeros";
  tarvikpager_unref(p5);
  ASSERT_EQ(writePage(p, 4, 3), TARVIK_OK);  // grow again
  ASSERT_EQ(tarvikpager_rollback(p), TARVIK_OK);
  tarvikpager_unref(p1);
  EXPECT_EQ(readFileBytes(db), dbImage({1, 1, 1, 1, 1, 1}));

  // Truncating outside a write transaction is refused.
  p1 = getPage(p, 1);
  EXPECT_EQ(tarvikpager_truncate(p, 1), TARVIK_ERROR);
  EXPECT_EQ(tarvikpager_truncate(p, 9), TARVIK_OK) << "growing is not truncating";
  tarvikpager_unref(p1);
}

TEST_F(PagerTest, RollbackForgetsPagesWrittenOutAndReadBack) {
  // Pages written to the file to make room and then read back are clean in
  // the cache; after a rollback they must show the restored file, not the
  // rolled-back content.
  writeFileBytes(db, dbImage({1, 1, 1}));
  open(10);
  void *p1 = getPage(p, 1);
  for (Pgno i = 2; i <= 30; i++) ASSERT_EQ(writePage(p, i, 2), TARVIK_OK);
  EXPECT_GT(stats()[TARVIK_PAGERSTAT_NOVFL], 0);
  void *p2 = getPage(p, 2);
  void *p4 = getPage(p, 4);
  EXPECT_EQ(pageBytes(p4), pagePattern(4, 2)) << "read back from the file";
  ASSERT_EQ(tarvikpager_rollback(p), TARVIK_OK);
  EXPECT_EQ(pageBytes(p2), pagePattern(2, 1));
  EXPECT_EQ(pageBytes(p4), std::string(TARVIK_PAGE_SIZE, '\0'));
  tarvikpager_unref(p4);
  tarvikpager_unref(p2);
  for (Pgno i = 2; i <= 12; i++) {
    void *pg = getPage(p, i);
    EXPECT_TRUE(pageBytes(pg) == (i <= 3 ? pagePattern(i, 1) : std::string(1024, '\0')))
        << "page " << i;
    tarvikpager_unref(pg);
  }
  tarvikpager_unref(p1);
  EXPECT_EQ(readFileBytes(db), dbImage({1, 1, 1}));
}

TEST_F(PagerTest, DontWriteAndDontRollback) {
  writeFileBytes(db, dbImage({1, 1, 1, 1}));
  open();
  void *p1 = getPage(p, 1);
  ASSERT_EQ(writePage(p, 2, 2), TARVIK_OK);
  tarvikpager_dont_write(p, 2);  // a freed page: its content does not matter
  ASSERT_EQ(writePage(p, 6, 2), TARVIK_OK);
  tarvikpager_dont_write(p, 6);   // the last page of a grown file is still written
  tarvikpager_dont_write(p, 99);  // not cached: nothing happens
  ASSERT_EQ(tarvikpager_commit(p), TARVIK_OK);
  std::string img = readFileBytes(db);
  EXPECT_EQ(imagePage(img, 2), pagePattern(2, 1));
  EXPECT_EQ(imagePage(img, 6), pagePattern(6, 2));
  EXPECT_EQ(img.size(), 6u * 1024);

  // A page reused from the free list needs no journal record.
  void *p3 = getPage(p, 3);
  ASSERT_EQ(tarvikpager_begin(p3), TARVIK_OK);
  size_t before = readFileBytes(journal).size();
  tarvikpager_dont_rollback(p3);
  ASSERT_EQ(tarvikpager_write(p3), TARVIK_OK);
  memcpy(p3, pagePattern(3, 4).data(), TARVIK_PAGE_SIZE);
  EXPECT_EQ(readFileBytes(journal).size(), before);
  // A page marked not-to-write always keeps its journal record.
  void *p4 = getPage(p, 4);
  tarvikpager_dont_write(p, 4);
  tarvikpager_dont_rollback(p4);
  ASSERT_EQ(tarvikpager_write(p4), TARVIK_OK);
  EXPECT_EQ(readFileBytes(journal).size(), before + 1032);
  tarvikpager_unref(p4);
  tarvikpager_unref(p3);
  ASSERT_EQ(tarvikpager_commit(p), TARVIK_OK);
  tarvikpager_unref(p1);
}

TEST_F(PagerTest, StatementRollbackRestoresExactlyTheStatementsPages) {
  writeFileBytes(db, dbImage({1, 1, 1, 1, 1}));
  open(10);  // small: pages are written out and recycled during the statement
  void *p1 = getPage(p, 1);
  ASSERT_EQ(writePage(p, 2, 2), TARVIK_OK);  // before the statement
  ASSERT_EQ(writePage(p, 6, 2), TARVIK_OK);  // added before the statement
  ASSERT_EQ(tarvikpager_ckpt_begin(p), TARVIK_OK);
  ASSERT_EQ(writePage(p, 2, 3), TARVIK_OK);  // journaled earlier: statement journal
  ASSERT_EQ(writePage(p, 3, 3), TARVIK_OK);  // first change: main journal serves both
  ASSERT_EQ(writePage(p, 6, 3), TARVIK_OK);  // added before, changed now
  for (Pgno i = 7; i <= 30; i++) ASSERT_EQ(writePage(p, i, 3), TARVIK_OK);  // added now
  EXPECT_GT(stats()[TARVIK_PAGERSTAT_NOVFL], 0) << "the statement spilled pages";
  ASSERT_EQ(tarvikpager_ckpt_rollback(p), TARVIK_OK);
  EXPECT_EQ(tarvikpager_pagecount(p), 6);
  for (Pgno i = 1; i <= 8; i++) {
    void *pg = getPage(p, i);
    std::string want = i == 2 || i == 6 ? pagePattern(i, 2)
                       : i <= 5         ? pagePattern(i, 1)
                                        : std::string(TARVIK_PAGE_SIZE, '\0');
    EXPECT_EQ(pageBytes(pg), want) << "page " << i;
    tarvikpager_unref(pg);
  }
  // A second statement in the same transaction, kept.
  ASSERT_EQ(tarvikpager_ckpt_begin(p), TARVIK_OK);
  ASSERT_EQ(writePage(p, 4, 4), TARVIK_OK);
  ASSERT_EQ(tarvikpager_ckpt_commit(p), TARVIK_OK);
  ASSERT_EQ(tarvikpager_commit(p), TARVIK_OK);
  tarvikpager_unref(p1);
  EXPECT_EQ(readFileBytes(db), dbImage({1, 2, 1, 4, 1, 2}));

  // The whole transaction still rolls back after a statement commit.
  p1 = getPage(p, 1);
  ASSERT_EQ(tarvikpager_ckpt_begin(p), TARVIK_OK);  // before any write: opens with the journal
  ASSERT_EQ(writePage(p, 5, 5), TARVIK_OK);
  ASSERT_EQ(tarvikpager_ckpt_commit(p), TARVIK_OK);
  ASSERT_EQ(tarvikpager_ckpt_begin(p), TARVIK_OK);
  ASSERT_EQ(writePage(p, 5, 6), TARVIK_OK);
  ASSERT_EQ(tarvikpager_ckpt_rollback(p), TARVIK_OK);
  void *p5 = getPage(p, 5);
  EXPECT_EQ(pageBytes(p5), pagePattern(5, 5));
  tarvikpager_unref(p5);
  ASSERT_EQ(tarvikpager_rollback(p), TARVIK_OK);
  tarvikpager_unref(p1);
  EXPECT_EQ(readFileBytes(db), dbImage({1, 2, 1, 4, 1, 2}));
}

TEST_F(PagerTest, TemporaryAndJournallessPagers) {
  Pager *t = nullptr;
  ASSERT_EQ(tarvikpager_open(&t, nullptr, 10, 0, 1), TARVIK_OK);
  void *t1 = getPage(t, 1);
  ASSERT_NE(t1, nullptr);
  ASSERT_EQ(writePage(t, 1, 1), TARVIK_OK);
  ASSERT_EQ(writePage(t, 2, 1), TARVIK_OK);
  ASSERT_EQ(tarvikpager_ckpt_begin(t), TARVIK_OK);
  ASSERT_EQ(writePage(t, 2, 2), TARVIK_OK);
  ASSERT_EQ(tarvikpager_ckpt_rollback(t), TARVIK_OK);
  ASSERT_EQ(tarvikpager_commit(t), TARVIK_OK);
  void *t2 = getPage(t, 2);
  EXPECT_EQ(pageBytes(t2), pagePattern(2, 1));
  tarvikpager_unref(t2);
  std::string name = tarvikpager_filename(t);
  tarvikpager_unref(t1);
  tarvikpager_close(t);
  EXPECT_FALSE(tarvikOsFileExists(name.c_str())) << "a temporary file vanishes on close";

  // Without a journal: changes go straight through; rollback shows the file.
  ASSERT_EQ(tarvikpager_open(&t, db.c_str(), 10, 0, 0), TARVIK_OK);
  t1 = getPage(t, 1);
  ASSERT_EQ(writePage(t, 1, 1), TARVIK_OK);
  EXPECT_FALSE(tarvikOsFileExists(journal.c_str()));
  ASSERT_EQ(tarvikpager_commit(t), TARVIK_OK);
  ASSERT_EQ(writePage(t, 1, 2), TARVIK_OK);
  ASSERT_EQ(tarvikpager_rollback(t), TARVIK_OK);
  EXPECT_EQ(pageBytes(t1), pagePattern(1, 1));
  tarvikpager_unref(t1);
  tarvikpager_close(t);
  EXPECT_EQ(readFileBytes(db), dbImage({1}));
}

// ------------------------------------------------------------------ playback

TEST_F(PagerTest, HotJournalFormatsOneTwoAndThreePlayBack) {
  const std::string magic12 = "\xd9\xd5\x05\xf9\x20\xa1\x63";
  for (int format = 1; format <= 3; format++) {
    SCOPED_TRACE(format);
    // The file as a crashed writer left it: grown to 5 pages, 2 and 3 changed.
    writeFileBytes(db, dbImage({1, 2, 2, 1, 2}));
    std::string j;
    if (format == 3) {
      j = journalHeader3(2, 77, 4) + journalRecord3(2, pagePattern(2, 1), 77) +
          journalRecord3(3, pagePattern(3, 1), 77);
    } else {
      auto i32 = format == 1 ? host32 : be32;
      j = magic12 + (format == 1 ? "\xd4" : "\xd5") + i32(4) + i32(2) + pagePattern(2, 1) + i32(3) +
          pagePattern(3, 1) + i32(3).substr(0, 3);  // a torn trailing record
    }
    writeFileBytes(journal, j);
    open();
    void *p1 = getPage(p, 1);
    ASSERT_NE(p1, nullptr);
    EXPECT_EQ(stats()[TARVIK_PAGERSTAT_STATE], TARVIK_READLOCK);
    EXPECT_FALSE(tarvikOsFileExists(journal.c_str()));
    EXPECT_EQ(tarvikpager_pagecount(p), 4);
    tarvikpager_unref(p1);
    EXPECT_EQ(readFileBytes(db), dbImage({1, 1, 1, 1}));
  }
}

TEST_F(PagerTest, FormatThreeCountChecksumAndSizeLimits) {
  const std::string cur = dbImage({2, 2, 2});
  struct Case {
    const char *what;
    std::string journal;
    std::string want;
  } cases[] = {
      {"count 0 (crash before the first sync): only the size is restored",
       journalHeader3(0, 5, 2) + journalRecord3(1, pagePattern(1, 1), 5), dbImage({2, 2})},
      {"a record of another journal's life ends playback",
       journalHeader3(3, 5, 3) + journalRecord3(1, pagePattern(1, 1), 5) +
           journalRecord3(2, pagePattern(2, 1), 6) + journalRecord3(3, pagePattern(3, 1), 5),
       dbImage({1, 2, 2})},
      {"a count beyond the file is bounded by the file",
       journalHeader3(9, 5, 3) + journalRecord3(3, pagePattern(3, 1), 5) +
           journalRecord3(2, pagePattern(2, 1), 5).substr(0, 700),
       dbImage({2, 2, 1})},
      {"0xFFFFFFFF: counted from the size",
       journalHeader3(0xffffffff, 5, 3) + journalRecord3(2, pagePattern(2, 1), 5),
       dbImage({2, 1, 2})},
      {"page number 0 ends playback",
       journalHeader3(2, 5, 3) + be32(0) + std::string(1028, 'x') +
           journalRecord3(1, pagePattern(1, 1), 5),
       dbImage({2, 2, 2})},
      {"pages past the start size are skipped",
       journalHeader3(2, 5, 2) + journalRecord3(3, pagePattern(3, 1), 5) +
           journalRecord3(1, pagePattern(1, 1), 5),
       dbImage({1, 2})},
      {"shorter than a header: nothing", std::string("\xd9\xd5\x05", 3), cur},
      {"format 3 shorter than its header: nothing", journalHeader3(1, 5, 1).substr(0, 15), cur},
      {"all-zero header (never synced): nothing", std::string(20 + 1032, '\0'), cur},
  };
  for (auto &c : cases) {
    SCOPED_TRACE(c.what);
    if (p) tarvikpager_close(p);
    p = nullptr;
    writeFileBytes(db, cur);
    writeFileBytes(journal, c.journal);
    open();
    void *p1 = getPage(p, 1);
    ASSERT_NE(p1, nullptr);
    tarvikpager_unref(p1);
    EXPECT_EQ(readFileBytes(db), c.want);
    EXPECT_FALSE(tarvikOsFileExists(journal.c_str()));
  }
}

TEST_F(PagerTest, DamagedJournalIsKeptAndReportedAsCorrupt) {
  const std::string cur = dbImage({2, 2, 2});
  std::string bad[] = {
      std::string(40, 'g'),                                                         // garbage
      journalHeader3(1, 5, 0x80000000u) + journalRecord3(1, pagePattern(1, 1), 5),  // huge size
  };
  for (auto &j : bad) {
    if (p) tarvikpager_close(p);
    p = nullptr;
    writeFileBytes(db, cur);
    writeFileBytes(journal, j);
    open();
    int rc;
    EXPECT_EQ(getPage(p, 1, &rc), nullptr);
    EXPECT_EQ(rc, TARVIK_CORRUPT);
    EXPECT_EQ(getPage(p, 1, &rc), nullptr);
    EXPECT_EQ(rc, TARVIK_CORRUPT) << "sticky";
    EXPECT_EQ(stats()[TARVIK_PAGERSTAT_STATE], TARVIK_UNLOCK) << "no lock kept";
    EXPECT_EQ(readFileBytes(db), cur) << "the database is untouched";
    EXPECT_EQ(readFileBytes(journal), j) << "the journal is kept for whoever can repair it";
  }
}

TEST_F(PagerTest, JournalNameFollowsTheResolvedFile) {
  // A writer crashed after opening the database through a link; a reader
  // that opens the real name must find the journal (and the other way round).
  writeFileBytes(db, dbImage({2, 2}));
  std::string link = dir.file("link.db");
  ASSERT_EQ(symlink(db.c_str(), link.c_str()), 0);
  Pager *viaLink = nullptr;
  ASSERT_EQ(tarvikpager_open(&viaLink, link.c_str(), 10, 0, 1), TARVIK_OK);
  EXPECT_EQ(std::string(tarvikpager_filename(viaLink)), tarvikpager_filename(open()));
  tarvikpager_close(viaLink);
  writeFileBytes(journal, journalHeader3(1, 3, 2) + journalRecord3(2, pagePattern(2, 1), 3));
  ASSERT_EQ(tarvikpager_open(&viaLink, link.c_str(), 10, 0, 1), TARVIK_OK);
  void *pg = getPage(viaLink, 2);
  ASSERT_NE(pg, nullptr);
  EXPECT_EQ(pageBytes(pg), pagePattern(2, 1));
  tarvikpager_unref(pg);
  tarvikpager_close(viaLink);
  EXPECT_FALSE(tarvikOsFileExists(journal.c_str()));

  // A relative name resolves the same way.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  Pager *rel = nullptr;
  int rc = tarvikpager_open(&rel, "./link.db", 10, 0, 1);
  ASSERT_EQ(chdir(cwd), 0);
  ASSERT_EQ(rc, TARVIK_OK);
  EXPECT_EQ(std::string(tarvikpager_filename(rel)), db);
  tarvikpager_close(rel);
}

// ------------------------------------------------------------------ bad files

TEST_F(PagerTest, FilesThatAreNotWholeDatabases) {
  // A partial last page is not counted and reads as its bytes plus zeros.
  std::string img = dbImage({1}) + std::string(300, 'z');
  writeFileBytes(db, img);
  open();
  EXPECT_EQ(tarvikpager_pagecount(p), 1);
  void *p2 = getPage(p, 2);
  ASSERT_NE(p2, nullptr);
  EXPECT_TRUE(pageBytes(p2) == std::string(300, 'z') + std::string(724, '\0'));
  tarvikpager_unref(p2);
  EXPECT_EQ(readFileBytes(db), img);

  // 1..1023 bytes that are not the start of a database: refused, untouched.
  for (std::string small : {std::string("hello"), std::string(1000, 'q')}) {
    writeFileBytes(db, small);
    open();
    int rc;
    EXPECT_EQ(getPage(p, 1, &rc), nullptr);
    EXPECT_EQ(rc, TARVIK_NOTADB);
    EXPECT_EQ(stats()[TARVIK_PAGERSTAT_STATE], TARVIK_UNLOCK);
    EXPECT_EQ(readFileBytes(db), small);
  }
  // ...but the start of page 1 of a database cut short is an empty database.
  std::string start(TARVIK_FILE_MAGIC, 20);
  writeFileBytes(db, start);
  open();
  void *p1 = getPage(p, 1);
  ASSERT_NE(p1, nullptr);
  EXPECT_EQ(tarvikpager_pagecount(p), 0);
  tarvikpager_unref(p1);
}

// ------------------------------------------------------------------ freed pages, odd page numbers

TEST_F(PagerTest, PageNumbersNoDatabaseCanHaveAreRefused) {
  // A damaged tree can hand the pager any 32-bit page number; one past the
  // largest page count must not index the transaction's bitmaps.
  writeFileBytes(db, dbImage({1, 1}));
  open();
  void *p1 = getPage(p, 1);
  ASSERT_EQ(tarvikpager_write(p1), TARVIK_OK);
  ASSERT_EQ(tarvikpager_ckpt_begin(p), TARVIK_OK);
  for (Pgno pgno : {0x80000000u, 0xfffffff8u}) {
    int rc;
    EXPECT_EQ(getPage(p, pgno, &rc), nullptr);
    EXPECT_EQ(rc, TARVIK_CORRUPT);
  }
  EXPECT_EQ(stats()[TARVIK_PAGERSTAT_ERRMASK], 0) << "the file itself is fine";
  ASSERT_EQ(tarvikpager_ckpt_commit(p), TARVIK_OK);
  ASSERT_EQ(tarvikpager_rollback(p), TARVIK_OK);
  tarvikpager_unref(p1);
  EXPECT_EQ(readFileBytes(db), dbImage({1, 1}));
}

TEST_F(PagerTest, PageFreedByARolledBackStatementKeepsTheTransactionsChange) {
  // The transaction changes page 2; a statement frees it (its content stops
  // mattering) and is rolled back, so page 2 is live again and must still
  // reach the file at commit, also when the cache dropped it meanwhile.
  for (bool recycle : {false, true}) {
    SCOPED_TRACE(recycle ? "recycled" : "cached");
    writeFileBytes(db, dbImage(std::vector<int>(30, 1)));
    open(10);
    void *p1 = getPage(p, 1);
    ASSERT_EQ(writePage(p, 2, 2), TARVIK_OK);
    ASSERT_EQ(tarvikpager_ckpt_begin(p), TARVIK_OK);
    tarvikpager_dont_write(p, 2);
    if (recycle) {
      // Pages waiting for a journal sync force one; then page 2, released
      // first, is the first to go.
      for (Pgno i = 3; i <= 30; i++) ASSERT_EQ(writePage(p, i, 3), TARVIK_OK);
      ASSERT_EQ(tarvikpager_lookup(p, 2), nullptr) << "page 2 left the cache";
    }
    ASSERT_EQ(tarvikpager_ckpt_rollback(p), TARVIK_OK);
    void *p2 = getPage(p, 2);
    EXPECT_TRUE(pageBytes(p2) == pagePattern(2, 2));
    tarvikpager_unref(p2);
    ASSERT_EQ(tarvikpager_commit(p), TARVIK_OK);
    tarvikpager_unref(p1);
    std::vector<int> want(30, 1);
    want[1] = 2;
    EXPECT_TRUE(readFileBytes(db) == dbImage(want)) << "the transaction's page 2 was lost";
  }
}

TEST_F(PagerTest, LastPageOfAFileRegrownAfterATruncationIsStillWritten) {
  // Cut to 2 pages, then grown to 3 with a page whose content does not
  // matter: the file must still reach 3 pages, as the tree counts on.
  writeFileBytes(db, dbImage({1, 1, 1, 1, 1}));
  open();
  void *p1 = getPage(p, 1);
  ASSERT_EQ(tarvikpager_write(p1), TARVIK_OK);
  ASSERT_EQ(tarvikpager_truncate(p, 2), TARVIK_OK);
  ASSERT_EQ(writePage(p, 3, 2), TARVIK_OK);
  tarvikpager_dont_write(p, 3);
  ASSERT_EQ(tarvikpager_commit(p), TARVIK_OK);
  tarvikpager_unref(p1);
  EXPECT_EQ(readFileBytes(db).size(), 3u * TARVIK_PAGE_SIZE);
}

}  // namespace
