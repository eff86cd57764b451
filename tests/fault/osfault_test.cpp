// The fault seam itself: injected failures, counters, the event log and
// simulated power loss.  The pager and B-tree fault tests rely on these.
#include <gtest/gtest.h>

#include <string>

#include "os.h"
#include "os_support.h"

namespace {

class OsFaultTest : public ::testing::Test {
 protected:
  void SetUp() override { tarvikTestOsReset(TARVIK_TESTOS_LOG | TARVIK_TESTOS_POWER); }
  void TearDown() override { tarvikTestOsReset(); }
  void openRW(const std::string &path, OsFile *f) {
    int ro;
    ASSERT_EQ(tarvikOsOpenReadWrite(path.c_str(), f, &ro), TARVIK_OK);
  }
  static int writeAt(OsFile *f, i64 off, const std::string &s) {
    int rc = tarvikOsSeek(f, off);
    return rc ? rc : tarvikOsWrite(f, s.data(), (int)s.size());
  }
  ScratchDir dir;
};

TEST_F(OsFaultTest, NthWriteFailsWithTheChosenCodeAndWritesNothing) {
  std::string name = dir.file("db");
  OsFile f;
  openRW(name, &f);
  tarvikTestOsFail(TARVIK_TESTOS_WRITE, 2, TARVIK_FULL);
  EXPECT_EQ(writeAt(&f, 0, "aaaa"), TARVIK_OK);
  EXPECT_EQ(writeAt(&f, 4, "bbbb"), TARVIK_FULL);
  EXPECT_EQ(writeAt(&f, 8, "cccc"), TARVIK_OK) << "only the 2nd call fails";
  EXPECT_EQ(tarvikTestOsFailures(), 1);
  EXPECT_EQ(readFileBytes(name), std::string("aaaa") + std::string(4, '\0') + "cccc");

  tarvikTestOsFail(TARVIK_TESTOS_WRITE, 1, TARVIK_IOERR, true);
  EXPECT_EQ(writeAt(&f, 0, "x"), TARVIK_IOERR);
  EXPECT_EQ(writeAt(&f, 0, "x"), TARVIK_IOERR) << "persistent failures keep failing";
  EXPECT_EQ(tarvikTestOsFailures(), 2);
  tarvikTestOsFail(TARVIK_TESTOS_WRITE, 0, 0);
  EXPECT_EQ(writeAt(&f, 0, "x"), TARVIK_OK) << "n = 0 disarms";
  tarvikOsClose(&f);
}

TEST_F(OsFaultTest, ReadSyncAndTruncateFailuresFilteredByName) {
  std::string db = dir.file("db"), journal = dir.file("db-journal");
  OsFile d, j;
  openRW(db, &d);
  ASSERT_EQ(tarvikOsOpenExclusive(journal.c_str(), &j, 0), TARVIK_OK);
  ASSERT_EQ(writeAt(&d, 0, "data"), TARVIK_OK);

  tarvikTestOsFail(TARVIK_TESTOS_SYNC, 1, TARVIK_IOERR, false, "-journal");
  EXPECT_EQ(tarvikOsSync(&d), TARVIK_OK) << "the database does not match the filter";
  EXPECT_EQ(tarvikOsSync(&j), TARVIK_IOERR);
  EXPECT_EQ(tarvikOsSync(&j), TARVIK_OK);

  tarvikTestOsFail(TARVIK_TESTOS_READ, 1, TARVIK_IOERR);
  char buf[4];
  ASSERT_EQ(tarvikOsSeek(&d, 0), TARVIK_OK);
  EXPECT_EQ(tarvikOsRead(&d, buf, 4), TARVIK_IOERR);
  ASSERT_EQ(tarvikOsSeek(&d, 0), TARVIK_OK);
  EXPECT_EQ(tarvikOsRead(&d, buf, 4), TARVIK_OK);

  tarvikTestOsFail(TARVIK_TESTOS_TRUNCATE, 1, TARVIK_FULL);
  EXPECT_EQ(tarvikOsTruncate(&d, 0), TARVIK_FULL);
  EXPECT_EQ(readFileBytes(db), "data") << "a failed truncate changes nothing";
  EXPECT_EQ(tarvikOsTruncate(&d, 0), TARVIK_OK);

  TarvikTestOsCounts cd = tarvikTestOsCount(db.c_str());
  EXPECT_EQ(cd.nWrite, 1);
  EXPECT_EQ(cd.nSync, 1);
  EXPECT_EQ(cd.nRead, 2) << "failed calls count too";
  EXPECT_EQ(cd.nTruncate, 2);
  EXPECT_EQ(tarvikTestOsCount(journal.c_str()).nSync, 2);
  tarvikOsClose(&d);
  tarvikOsClose(&j);
}

TEST_F(OsFaultTest, OpenAndDeleteFailuresLeaveTheFilesAlone) {
  std::string db = dir.file("db"), journal = dir.file("db-journal");
  OsFile d, j;
  tarvikTestOsFail(TARVIK_TESTOS_OPEN, 1, TARVIK_CANTOPEN, false, "-journal");
  openRW(db, &d);
  EXPECT_EQ(tarvikOsOpenExclusive(journal.c_str(), &j, 0), TARVIK_CANTOPEN);
  EXPECT_FALSE(tarvikOsFileExists(journal.c_str()));
  ASSERT_EQ(tarvikOsOpenExclusive(journal.c_str(), &j, 0), TARVIK_OK);
  tarvikOsClose(&j);

  tarvikTestOsFail(TARVIK_TESTOS_DELETE, 1, TARVIK_IOERR);
  EXPECT_EQ(tarvikOsDelete(journal.c_str()), TARVIK_IOERR);
  EXPECT_TRUE(tarvikOsFileExists(journal.c_str()));
  EXPECT_EQ(tarvikOsDelete(journal.c_str()), TARVIK_OK);
  EXPECT_EQ(tarvikTestOsCount(journal.c_str()).nOpen, 2);
  EXPECT_EQ(tarvikTestOsCount(journal.c_str()).nDelete, 2);
  EXPECT_EQ(tarvikTestOsCount(db.c_str()).nOpen, 1);
  tarvikOsClose(&d);
}

TEST_F(OsFaultTest, EventLogShowsTheOrderOfSyncsAndWrites) {
  std::string db = dir.file("db"), journal = dir.file("db-journal");
  OsFile d, j;
  openRW(db, &d);
  ASSERT_EQ(tarvikOsOpenExclusive(journal.c_str(), &j, 0), TARVIK_OK);
  ASSERT_EQ(writeAt(&j, 0, "old page"), TARVIK_OK);
  ASSERT_EQ(tarvikOsSync(&j), TARVIK_OK);
  ASSERT_EQ(writeAt(&d, 1024, "new page"), TARVIK_OK);
  ASSERT_EQ(tarvikOsSync(&d), TARVIK_OK);
  tarvikOsClose(&j);
  ASSERT_EQ(tarvikOsDelete(journal.c_str()), TARVIK_OK);

  // How a pager test states "journal synced, then database written, then
  // database synced, then journal deleted".
  int jsync = tarvikTestOsFindEvent(TARVIK_TESTOS_SYNC, "-journal");
  int dwrite = tarvikTestOsFindEvent(TARVIK_TESTOS_WRITE, "/db");
  int dsync = tarvikTestOsFindEvent(TARVIK_TESTOS_SYNC, "/db");
  int jdel = tarvikTestOsFindEvent(TARVIK_TESTOS_DELETE, "-journal");
  ASSERT_GE(jsync, 0);
  EXPECT_LT(jsync, dwrite);
  EXPECT_LT(dwrite, dsync);
  EXPECT_LT(dsync, jdel);
  const TarvikTestOsEvent &e = tarvikTestOsEvents()[(size_t)dwrite];
  EXPECT_EQ(e.zPath, db);
  EXPECT_EQ(e.iOffset, 1024);
  EXPECT_EQ(e.nByte, 8);
  EXPECT_EQ(e.rc, TARVIK_OK);
  tarvikOsClose(&d);
}

TEST_F(OsFaultTest, CrashKeepsOnlySyncedContent) {
  std::string name = dir.file("db");
  writeFileBytes(name, "ORIGINAL");  // what the disk held before this process
  OsFile f;
  openRW(name, &f);
  ASSERT_EQ(writeAt(&f, 0, "synced.."), TARVIK_OK);
  ASSERT_EQ(tarvikOsSync(&f), TARVIK_OK);
  ASSERT_EQ(writeAt(&f, 0, "lost...."), TARVIK_OK);
  ASSERT_EQ(writeAt(&f, 8, "tail"), TARVIK_OK);
  EXPECT_EQ(tarvikTestOsUnsynced(), 2);
  ASSERT_EQ(tarvikTestOsCrash(), TARVIK_OK);
  EXPECT_EQ(readFileBytes(name), "synced..");
  EXPECT_EQ(tarvikTestOsUnsynced(), 0);

  // The old handle belongs to the dead process: nothing it does reaches the
  // disk, and deletes wait until it is closed (so closing a dead pager
  // cannot remove its hot journal).
  EXPECT_EQ(tarvikTestOsDeadHandles(), 1);
  EXPECT_EQ(writeAt(&f, 0, "zombie.."), TARVIK_IOERR);
  EXPECT_EQ(tarvikOsSync(&f), TARVIK_IOERR);
  EXPECT_EQ(tarvikOsTruncate(&f, 0), TARVIK_IOERR);
  EXPECT_EQ(tarvikOsDelete(name.c_str()), TARVIK_IOERR);
  EXPECT_TRUE(tarvikOsFileExists(name.c_str()));
  tarvikOsClose(&f);
  EXPECT_EQ(tarvikTestOsDeadHandles(), 0);
  EXPECT_EQ(readFileBytes(name), "synced..");

  // After the "reboot" the file works normally and is tracked again.
  OsFile g;
  openRW(name, &g);
  ASSERT_EQ(writeAt(&g, 0, "again..."), TARVIK_OK);
  ASSERT_EQ(tarvikTestOsCrash(), TARVIK_OK);
  EXPECT_EQ(readFileBytes(name), "synced..");
  tarvikOsClose(&g);
}

TEST_F(OsFaultTest, CrashRevertsUnsyncedTruncateAndForgetsNeverSyncedFiles) {
  std::string db = dir.file("db"), journal = dir.file("db-journal");
  writeFileBytes(db, std::string(4096, 'p'));
  OsFile d, j;
  openRW(db, &d);
  ASSERT_EQ(tarvikOsTruncate(&d, 1024), TARVIK_OK);
  ASSERT_EQ(tarvikOsOpenExclusive(journal.c_str(), &j, 0), TARVIK_OK);
  ASSERT_EQ(writeAt(&j, 0, "header"), TARVIK_OK);
  ASSERT_EQ(tarvikTestOsCrash(), TARVIK_OK);
  EXPECT_EQ(readFileBytes(db), std::string(4096, 'p'));
  EXPECT_TRUE(tarvikOsFileExists(journal.c_str())) << "creation itself is durable";
  EXPECT_EQ(readFileBytes(journal), "") << "never synced: no content survives";
  tarvikOsClose(&d);
  tarvikOsClose(&j);
}

TEST_F(OsFaultTest, DeletedFilesStayDeleted) {
  std::string journal = dir.file("db-journal");
  OsFile j;
  ASSERT_EQ(tarvikOsOpenExclusive(journal.c_str(), &j, 0), TARVIK_OK);
  ASSERT_EQ(writeAt(&j, 0, "records"), TARVIK_OK);
  ASSERT_EQ(tarvikOsSync(&j), TARVIK_OK);
  tarvikOsClose(&j);
  ASSERT_EQ(tarvikOsDelete(journal.c_str()), TARVIK_OK);
  ASSERT_EQ(tarvikTestOsCrash(), TARVIK_OK);
  EXPECT_FALSE(tarvikOsFileExists(journal.c_str()));
}

TEST_F(OsFaultTest, CrashAtEveryPointKeepsAPrefixOfTheWrites) {
  // Pending operations survive in call order across files: a test can crash
  // after each one in turn.
  std::string a = dir.file("a"), b = dir.file("b");
  OsFile fa, fb;
  openRW(a, &fa);
  openRW(b, &fb);
  ASSERT_EQ(writeAt(&fa, 0, "1"), TARVIK_OK);
  ASSERT_EQ(writeAt(&fb, 0, "2"), TARVIK_OK);
  ASSERT_EQ(writeAt(&fa, 1, "3"), TARVIK_OK);
  ASSERT_EQ(tarvikTestOsUnsynced(), 3);
  ASSERT_EQ(tarvikTestOsCrash(2), TARVIK_OK);
  EXPECT_EQ(readFileBytes(a), "1");
  EXPECT_EQ(readFileBytes(b), "2");
  tarvikOsClose(&fa);
  tarvikOsClose(&fb);
}

TEST_F(OsFaultTest, TornWriteKeepsWhole512ByteSectors) {
  std::string name = dir.file("db");
  writeFileBytes(name, std::string(3072, 'o'));
  OsFile f;
  openRW(name, &f);
  // A 2048-byte write starting mid-sector: its sector boundaries in the file
  // are at 512, 1024, 1536, 2048 (then the write ends at 2348).
  ASSERT_EQ(writeAt(&f, 300, std::string(2048, 'N')), TARVIK_OK);
  ASSERT_EQ(tarvikTestOsCrash(0, 2), TARVIK_OK);
  std::string got = readFileBytes(name);
  std::string want = std::string(300, 'o') + std::string(1024 - 300, 'N') + std::string(2048, 'o');
  EXPECT_EQ(got, want) << "the write survives up to its second sector boundary";
  tarvikOsClose(&f);

  // Tearing with more sectors than the write spans keeps it all.
  OsFile g;
  openRW(name, &g);
  ASSERT_EQ(writeAt(&g, 0, std::string(1024, 'Z')), TARVIK_OK);
  ASSERT_EQ(tarvikTestOsCrash(0, 9), TARVIK_OK);
  EXPECT_EQ(readFileBytes(name).substr(0, 1024), std::string(1024, 'Z'));
  tarvikOsClose(&g);
}

TEST_F(OsFaultTest, CrashNeedsPowerTracking) {
  tarvikTestOsReset(0);
  EXPECT_EQ(tarvikTestOsCrash(), TARVIK_MISUSE);
}

}  // namespace
