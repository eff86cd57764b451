// Result-code messages, version texts and the connection safety protocol.
#include <gtest/gtest.h>

#include "tarvikInt.h"

namespace {

TEST(Frame, ErrorStringsAndUnknownCodes) {
  EXPECT_STREQ(tarvik_error_string(TARVIK_OK), "not an error");
  EXPECT_STREQ(tarvik_error_string(TARVIK_INTERNAL), "internal Tarvik implementation flaw");
  EXPECT_STREQ(tarvik_error_string(TARVIK_MISUSE), "library routine called out of sequence");
  EXPECT_STREQ(tarvik_error_string(TARVIK_NOTADB), "file is encrypted or is not a database");
  for (int rc : {27, 100, 101, -1, 1 << 30}) {
    EXPECT_STREQ(tarvik_error_string(rc), "unknown error") << rc;
  }
}

TEST(Frame, VersionTexts) {
  EXPECT_STREQ(tarvik_version, "2.8.13");
  EXPECT_STREQ(tarvik_libversion(), "2.8.13");
  EXPECT_STREQ(tarvik_encoding, "UTF-8");
  EXPECT_STREQ(tarvik_libencoding(), "UTF-8");
}

TEST(Frame, SafetyProtocolDetectsReentryAndIsFinal) {
  tarvik db{};
  db.magic = TARVIK_MAGIC_OPEN;
  EXPECT_EQ(tarvikSafetyOn(&db), 0);
  EXPECT_EQ(db.magic, TARVIK_MAGIC_BUSY);
  // Re-entry while busy: misuse, and the handle is in the error state for good.
  EXPECT_EQ(tarvikSafetyOn(&db), 1);
  EXPECT_EQ(db.magic, TARVIK_MAGIC_ERROR);
  EXPECT_TRUE(db.flags & TARVIK_Interrupt);
  EXPECT_EQ(tarvikSafetyOff(&db), 1);
  EXPECT_EQ(tarvikSafetyOn(&db), 1);
  EXPECT_EQ(db.magic, TARVIK_MAGIC_ERROR);
}

TEST(Frame, SafetyOffWithoutOnIsMisuse) {
  tarvik db{};
  db.magic = TARVIK_MAGIC_OPEN;
  EXPECT_EQ(tarvikSafetyOff(&db), 1);
  EXPECT_EQ(db.magic, TARVIK_MAGIC_ERROR);

  // A handle being closed refuses every later call.
  tarvik closing{};
  closing.magic = TARVIK_MAGIC_CLOSED;
  closing.want_to_close = 1;
  EXPECT_EQ(tarvikSafetyOn(&closing), 1);
  EXPECT_EQ(closing.magic, TARVIK_MAGIC_ERROR);
}

TEST(Frame, SafetyCheckRefusesWhileProgramsLive) {
  tarvik db{};
  db.magic = TARVIK_MAGIC_OPEN;
  EXPECT_EQ(tarvikSafetyCheck(&db), 0);
  db.pVdbe = reinterpret_cast<Vdbe *>(&db);  // any live program
  EXPECT_EQ(tarvikSafetyCheck(&db), 1);
  EXPECT_EQ(db.magic, TARVIK_MAGIC_ERROR);
}

TEST(FrameDeathTest, FailedAssertionPrintsTheConventionalLine) {
  EXPECT_DEATH(tarvikAssertFail("pager.cpp", 42, "pPg->nRef>0"),
               "pager.cpp:42: failed assertion `pPg->nRef>0'");
}

}  // namespace
