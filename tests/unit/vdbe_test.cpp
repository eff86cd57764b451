// Programs outside the execution loop: building, labels, make-ready,
// EXPLAIN listing, host parameters, lifecycle, and the function-result
// interface.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "vdbeInt.h"

namespace {

// A connection as far as programs need one: a database list and the flags.
struct FakeConnection {
  tarvik db{};
  FakeConnection() {
    db.nDb = 2;
    db.aDb = db.aDbStatic;
    db.magic = TARVIK_MAGIC_BUSY;
    db.onError = OE_Default;
  }
};

class VdbeTest : public ::testing::Test {
 protected:
  FakeConnection conn;
  tarvik *db = &conn.db;
  long baseline = tarvikTestMallocOutstanding();
  void TearDown() override {
    while (db->pVdbe) tarvikVdbeDelete(db->pVdbe);
    EXPECT_EQ(tarvikTestMallocOutstanding(), baseline) << "a block was leaked or freed twice";
  }
};

using Row = std::vector<std::string>;
const std::string kNull = "<null>";

// All rows of an EXPLAIN listing; the program must be ready for listing.
std::vector<Row> listAll(Vdbe *p) {
  std::vector<Row> rows;
  int rc;
  while ((rc = tarvikVdbeList(p)) == TARVIK_ROW) {
    Row r;
    for (int i = 0; i < p->nResColumn; i++) {
      r.push_back(p->azResColumn[i] ? p->azResColumn[i] : kNull);
    }
    rows.push_back(r);
  }
  EXPECT_EQ(rc, TARVIK_DONE);
  return rows;
}

std::string ptrText(const void *ptr) {
  std::ostringstream s;
  s << "ptr(0x" << std::hex << (uintptr_t)ptr << ")";
  return s.str();
}

// ------------------------------------------------------------------ opcodes

TEST(Opcodes, NumbersAndNamesAreTheListingTable) {
  // The numbering is part of the EXPLAIN output and of stored programs'
  // meaning: every name at its fixed number, 1..135, no gaps.
  static const char *const azExpected[] = {
      "Goto",        "Gosub",      "Return",      "Halt",        "Integer",    "String",
      "Variable",    "Pop",        "Dup",         "Pull",        "Push",       "ColumnName",
      "Callback",    "Concat",     "Add",         "Subtract",    "Multiply",   "Divide",
      "Remainder",   "Function",   "BitAnd",      "BitOr",       "ShiftLeft",  "ShiftRight",
      "AddImm",      "ForceInt",   "MustBeInt",   "Eq",          "Ne",         "Lt",
      "Le",          "Gt",         "Ge",          "StrEq",       "StrNe",      "StrLt",
      "StrLe",       "StrGt",      "StrGe",       "And",         "Or",         "Negative",
      "AbsValue",    "Not",        "BitNot",      "Noop",        "If",         "IfNot",
      "IsNull",      "NotNull",    "MakeRecord",  "MakeIdxKey",  "MakeKey",    "IncrKey",
      "Checkpoint",  "Transaction", "Commit",     "Rollback",    "ReadCookie", "SetCookie",
      "VerifyCookie", "OpenRead",  "OpenWrite",   "OpenTemp",    "OpenPseudo", "Close",
      "MoveLt",      "MoveTo",     "Distinct",    "NotFound",    "Found",      "IsUnique",
      "NotExists",   "NewRecno",   "PutIntKey",   "PutStrKey",   "Delete",     "SetCounts",
      "KeyAsData",   "RowKey",     "RowData",     "Column",      "Recno",      "FullKey",
      "NullRow",     "Last",       "Rewind",      "Prev",        "Next",       "IdxPut",
      "IdxDelete",   "IdxRecno",   "IdxLT",       "IdxGT",       "IdxGE",      "IdxIsNull",
      "Destroy",     "Clear",      "CreateIndex", "CreateTable", "IntegrityCk", "ListWrite",
      "ListRewind",  "ListRead",   "ListReset",   "ListPush",    "ListPop",    "ContextPush",
      "ContextPop",  "SortPut",    "SortMakeRec", "SortMakeKey", "Sort",       "SortNext",
      "SortCallback", "SortReset", "FileOpen",    "FileRead",    "FileColumn", "MemStore",
      "MemLoad",     "MemIncr",    "AggReset",    "AggInit",     "AggFunc",    "AggFocus",
      "AggSet",      "AggGet",     "AggNext",     "SetInsert",   "SetFound",   "SetNotFound",
      "SetFirst",    "SetNext",    "Vacuum"};
  ASSERT_EQ(sizeof(azExpected) / sizeof(azExpected[0]), 135u);
  EXPECT_EQ(TARVIK_MAX_OPCODE, 135);
  for (int i = 1; i <= 135; i++) EXPECT_STREQ(tarvikOpcodeName(i), azExpected[i - 1]) << i;
  // The enum comes from the same list; spot-check both ends and the middle.
  EXPECT_EQ(OP_Goto, 1);
  EXPECT_EQ(OP_Eq, 28);
  EXPECT_EQ(OP_StrGe, 39);
  EXPECT_EQ(OP_OpenRead, 62);
  EXPECT_EQ(OP_MemStore, 120);
  EXPECT_EQ(OP_Vacuum, 135);
  EXPECT_STREQ(tarvikOpcodeName(0), "???");
  EXPECT_STREQ(tarvikOpcodeName(136), "???");
}

TEST(Opcodes, JumpPropertyMarksExactlyTheInstructionsWithATargetInP2) {
  // P2 of these is an address; make-ready checks them.
  for (int op : {OP_Goto, OP_Gosub, OP_ForceInt, OP_MustBeInt, OP_Eq, OP_StrGe, OP_If,
                 OP_IfNot, OP_IsNull, OP_NotNull, OP_MakeIdxKey, OP_MoveTo, OP_NotExists,
                 OP_Rewind, OP_Next, OP_IdxGE, OP_IdxIsNull, OP_ListRead, OP_SortNext,
                 OP_FileRead, OP_MemIncr, OP_AggFocus, OP_AggNext, OP_SetFirst, OP_SetNext}) {
    EXPECT_TRUE(tarvikOpcodeFlags(op) & OPFLG_JUMP) << tarvikOpcodeName(op);
  }
  // P2 of these is a count, a flag, a database or a conflict action.
  for (int op : {OP_Halt, OP_Dup, OP_ColumnName, OP_Concat, OP_PutIntKey, OP_Delete,
                 OP_IdxPut, OP_Destroy, OP_CreateTable, OP_OpenRead, OP_AggReset, OP_AggFunc,
                 OP_MemStore, OP_ReadCookie, OP_VerifyCookie, OP_Vacuum}) {
    EXPECT_FALSE(tarvikOpcodeFlags(op) & OPFLG_JUMP) << tarvikOpcodeName(op);
  }
  int nJump = 0;
  for (int op = 1; op <= TARVIK_MAX_OPCODE; op++) nJump += (tarvikOpcodeFlags(op) & OPFLG_JUMP) != 0;
  EXPECT_EQ(nJump, 46);
}

// ------------------------------------------------------------------ building

TEST_F(VdbeTest, ForwardLabelsArePatchedAndLaterUsesGetTheAddress) {
  Vdbe *p = tarvikVdbeCreate(db);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(db->pVdbe, p);
  int lEnd = tarvikVdbeMakeLabel(p);
  int lTop = tarvikVdbeMakeLabel(p);
  EXPECT_LT(lEnd, 0);
  EXPECT_NE(lEnd, lTop);
  EXPECT_EQ(tarvikVdbeAddOp(p, OP_Goto, 0, lEnd), 0);
  tarvikVdbeResolveLabel(p, lTop);
  EXPECT_EQ(tarvikVdbeAddOp(p, OP_Integer, 1, 0), 1);
  EXPECT_EQ(tarvikVdbeAddOp(p, OP_If, 0, lEnd), 2);
  EXPECT_EQ(tarvikVdbeAddOp(p, OP_Goto, 0, lTop), 3);  // already resolved: address given
  EXPECT_EQ(tarvikVdbeGetOp(p, 3)->p2, 1);
  EXPECT_EQ(tarvikVdbeCurrentAddr(p), 4);
  tarvikVdbeResolveLabel(p, lEnd);
  tarvikVdbeResolveLabel(p, lEnd);  // again at the same address: harmless
  EXPECT_EQ(tarvikVdbeGetOp(p, 0)->p2, 4);
  EXPECT_EQ(tarvikVdbeGetOp(p, 2)->p2, 4);
  EXPECT_EQ(tarvikVdbeAddOp(p, OP_Goto, 0, lEnd), 4);
  EXPECT_EQ(tarvikVdbeGetOp(p, 4)->p2, 4);

  // Templates: a negative p2 counts from the template's first instruction.
  static const VdbeOpList aTmpl[] = {
      {OP_Integer, -1, 0, "x"},
      {OP_Goto, 0, -1, nullptr},
      {OP_Goto, 0, -3, nullptr},
      {OP_Noop, 0, 7, nullptr},
  };
  while (tarvikVdbeCurrentAddr(p) < 10) tarvikVdbeAddOp(p, OP_Noop, 0, 0);
  EXPECT_EQ(tarvikVdbeAddOpList(p, 4, aTmpl), 10);
  EXPECT_EQ(tarvikVdbeGetOp(p, 10)->p1, -1);
  EXPECT_STREQ(tarvikVdbeGetOp(p, 10)->p3, "x");
  EXPECT_EQ(tarvikVdbeGetOp(p, 10)->p3type, P3_STATIC);
  EXPECT_EQ(tarvikVdbeGetOp(p, 11)->p2, 10);
  EXPECT_EQ(tarvikVdbeGetOp(p, 12)->p2, 12);
  EXPECT_EQ(tarvikVdbeGetOp(p, 13)->p2, 7);
  EXPECT_EQ(tarvikVdbeGetOp(p, 13)->p3type, P3_NOTUSED);

  EXPECT_EQ(tarvikVdbeCode(p, OP_Integer, 5, 0, OP_Pop, 1, 0, 0), 14);
  EXPECT_EQ(p->nOp, 16);
  EXPECT_EQ(tarvikVdbeGetOp(p, 15)->opcode, OP_Pop);

  // Patching ignores addresses outside the program.
  tarvikVdbeChangeP1(p, 16, 9);
  tarvikVdbeChangeP2(p, 14, 3);
  EXPECT_EQ(tarvikVdbeGetOp(p, 14)->p2, 3);
  EXPECT_EQ(tarvikVdbeFindOp(p, OP_Pop, 1), 16);
  EXPECT_EQ(tarvikVdbeFindOp(p, OP_Pop, 8), 0);
  tarvikVdbeDelete(p);
  EXPECT_EQ(db->pVdbe, nullptr);
}

// ------------------------------------------------------------------ P3 operands

TEST_F(VdbeTest, P3OwnershipKindsAreCopiedBorrowedOrTakenOver) {
  Vdbe *p = tarvikVdbeCreate(db);
  static const char zStatic[] = "static text";
  int dummy;
  tarvikVdbeOp3(p, OP_String, 0, 0, zStatic, P3_STATIC);
  tarvikVdbeOp3(p, OP_String, 0, 0, "abcdef", 3);  // first 3 bytes, NUL-terminated copy
  tarvikVdbeOp3(p, OP_String, 0, 0, "whole", 0);
  tarvikVdbeOp3(p, OP_Function, 0, 0, (const char *)&dummy, P3_POINTER);
  tarvikVdbeOp3(p, OP_String, 0, 0, tarvikStrDup("handed over"), P3_DYNAMIC);
  tarvikVdbeOp3(p, OP_String, 0, 0, nullptr, 0);

  EXPECT_EQ(p->aOp[0].p3, zStatic);
  EXPECT_EQ(p->aOp[0].p3type, P3_STATIC);
  EXPECT_STREQ(p->aOp[1].p3, "abc");
  EXPECT_EQ(p->aOp[1].p3type, P3_DYNAMIC);
  EXPECT_STREQ(p->aOp[2].p3, "whole");
  EXPECT_EQ(p->aOp[3].p3, (char *)&dummy);
  EXPECT_EQ(p->aOp[3].p3type, P3_POINTER);
  EXPECT_STREQ(p->aOp[4].p3, "handed over");
  EXPECT_EQ(p->aOp[4].p3type, P3_DYNAMIC);
  EXPECT_EQ(p->aOp[5].p3, nullptr);
  EXPECT_EQ(p->aOp[5].p3type, P3_NOTUSED);

  // Replacing a dynamic operand frees it once; -1 and too large addresses
  // mean the last instruction.
  EXPECT_EQ(tarvikVdbeChangeP3(p, 4, "new", 0), TARVIK_OK);
  EXPECT_STREQ(p->aOp[4].p3, "new");
  tarvikVdbeChangeP3(p, -1, "last", P3_STATIC);
  EXPECT_STREQ(p->aOp[5].p3, "last");
  tarvikVdbeChangeP3(p, 99, tarvikStrDup("last again"), P3_DYNAMIC);
  EXPECT_STREQ(p->aOp[5].p3, "last again");
  // A copy of the operand itself is made before the old one goes.
  tarvikVdbeChangeP3(p, 5, p->aOp[5].p3 + 5, 0);
  EXPECT_STREQ(p->aOp[5].p3, "again");
  tarvikVdbeChangeP3(p, 1, nullptr, 0);
  EXPECT_EQ(p->aOp[1].p3type, P3_NOTUSED);

  // Dequoting works on a private copy, never on borrowed text or objects.
  static const char zQuoted[] = "'it''s'";
  tarvikVdbeOp3(p, OP_String, 0, 0, zQuoted, P3_STATIC);
  tarvikVdbeDequoteP3(p, -1);
  EXPECT_STREQ(p->aOp[6].p3, "it's");
  EXPECT_EQ(p->aOp[6].p3type, P3_DYNAMIC);
  EXPECT_STREQ(zQuoted, "'it''s'");
  tarvikVdbeDequoteP3(p, 3);
  EXPECT_EQ(p->aOp[3].p3, (char *)&dummy);

  // White space of stored CREATE texts is compressed, again privately.
  static const char zSql[] = "  CREATE\tTABLE \n t1(a,\r\n  b)  \n";
  tarvikVdbeOp3(p, OP_String, 0, 0, zSql, P3_STATIC);
  tarvikVdbeCompressSpace(p, 7);
  EXPECT_STREQ(p->aOp[7].p3, "CREATE TABLE t1(a, b)");
  tarvikVdbeCompressSpace(p, 8);  // invalid address: ignored, not "the last"
  tarvikVdbeDelete(p);             // TearDown's leak check covers double and missed frees
}

TEST_F(VdbeTest, P3HandedOverIsFreedWhenItCannotBeStored) {
  Vdbe *p = tarvikVdbeCreate(db);
  // No instruction yet: nothing to attach to.
  EXPECT_EQ(tarvikVdbeChangeP3(p, -1, tarvikStrDup("orphan"), P3_DYNAMIC), TARVIK_OK);
  // The append itself fails: the text must neither leak nor land on
  // another instruction.
  tarvikVdbeAddOp(p, OP_Noop, 0, 0);
  p->nOpAlloc = p->nOp;  // force the next append to grow
  char *zOwned = tarvikStrDup("lost?");
  tarvikTestMallocFail(1, false);
  tarvikVdbeOp3(p, OP_String, 0, 0, zOwned, P3_DYNAMIC);
  tarvikTestMallocFail(0, false);
  EXPECT_EQ(p->nOp, 1);
  EXPECT_EQ(p->aOp[0].p3, nullptr);
  tarvikVdbeDelete(p);
}

TEST_F(VdbeTest, FailedP3CopyIsReportedAndTheProgramRefusesToRun) {
  Vdbe *p = tarvikVdbeCreate(db);
  tarvikVdbeAddOp(p, OP_String, 0, 0);
  tarvikTestMallocFail(1, false);
  EXPECT_EQ(tarvikVdbeChangeP3(p, 0, "text", 0), TARVIK_NOMEM);
  tarvikTestMallocFail(0, false);
  EXPECT_EQ(p->aOp[0].p3, nullptr);
  EXPECT_EQ(p->aOp[0].p3type, P3_NOTUSED);
  EXPECT_EQ(tarvikVdbeMakeReady(p, 0, 0), TARVIK_NOMEM);
  char *zErr = nullptr;
  EXPECT_EQ(tarvikVdbeFinalize(p, &zErr), TARVIK_NOMEM);
  EXPECT_STREQ(zErr, "out of memory");
  tarvik_freemem(zErr);
}

// ------------------------------------------------------------------ make ready and EXPLAIN

TEST_F(VdbeTest, ExplainListsEveryInstructionWithExactTexts) {
  Vdbe *p = tarvikVdbeCreate(db);
  FuncDef fd{};
  int lEnd = tarvikVdbeMakeLabel(p);
  tarvikVdbeOp3(p, OP_ColumnName, 0, 1, "x", P3_STATIC);
  tarvikVdbeOp3(p, OP_Integer, -7, 0, "-7", 0);
  tarvikVdbeOp3(p, OP_Function, 1, 0, (const char *)&fd, P3_POINTER);
  tarvikVdbeAddOp(p, OP_IfNot, 1, lEnd);
  tarvikVdbeAddOp(p, OP_Callback, 1, 0);
  tarvikVdbeAddOp(p, OP_Goto, 0, lEnd);
  tarvikVdbeResolveLabel(p, lEnd);
  ASSERT_EQ(tarvikVdbeMakeReady(p, 0, 1), TARVIK_OK);
  EXPECT_EQ(p->magic, VDBE_MAGIC_RUN);
  EXPECT_EQ(p->nOp, 7) << "a final Halt is appended";

  std::vector<Row> expected = {
      {"0", "ColumnName", "0", "1", "x"},
      {"1", "Integer", "-7", "0", "-7"},
      {"2", "Function", "1", "0", ptrText(&fd)},
      {"3", "IfNot", "1", "6", kNull},
      {"4", "Callback", "1", "0", kNull},
      {"5", "Goto", "0", "6", kNull},
      {"6", "Halt", "0", "0", kNull},
  };
  EXPECT_EQ(listAll(p), expected);
  const Row names = {p->azColName[0], p->azColName[1], p->azColName[2], p->azColName[3],
                     p->azColName[4]};
  EXPECT_EQ(names, (Row{"addr", "opcode", "p1", "p2", "p3"}));
  EXPECT_EQ(tarvikVdbeList(p), TARVIK_DONE) << "stays done";
  // A listing needs ten stack entries however long the program is.
  EXPECT_EQ((const char *)p->zArgv - (const char *)p->aStack, 10 * (long)sizeof(Mem));
  EXPECT_EQ(tarvikVdbeFinalize(p, nullptr), TARVIK_OK);
}

TEST_F(VdbeTest, MakeReadyEndsEveryProgramWithOneHalt) {
  Vdbe *p = tarvikVdbeCreate(db);
  ASSERT_EQ(tarvikVdbeMakeReady(p, 0, 1), TARVIK_OK);
  EXPECT_EQ(listAll(p), (std::vector<Row>{{"0", "Halt", "0", "0", kNull}}));
  EXPECT_EQ(tarvikVdbeReset(p, nullptr), TARVIK_OK);
  // Made ready again: the existing Halt is kept, not doubled.
  ASSERT_EQ(tarvikVdbeMakeReady(p, -1, 1), TARVIK_OK);
  EXPECT_EQ(p->nOp, 1);
  EXPECT_EQ(listAll(p).size(), 1u);
  tarvikVdbeFinalize(p, nullptr);

  p = tarvikVdbeCreate(db);
  tarvikVdbeAddOp(p, OP_Halt, 19, 2);
  ASSERT_EQ(tarvikVdbeMakeReady(p, 0, 0), TARVIK_OK);
  EXPECT_EQ(p->nOp, 1);
  EXPECT_EQ(p->pTos, p->aStack - 1) << "stack empty";
  EXPECT_EQ(p->errorAction, OE_Abort);
  EXPECT_EQ(p->explain, 0);
  tarvikVdbeFinalize(p, nullptr);
}

TEST_F(VdbeTest, MakeReadyRejectsJumpsOutsideTheProgram) {
  struct Case {
    const char *zWhat;
    int op, p2;
  } aCase[] = {
      {"unresolved label", OP_Goto, -1},
      {"one past the end (the appended Halt is the last address)", OP_If, 3},
      {"far past the end", OP_Next, 1000},
  };
  for (const Case &c : aCase) {
    SCOPED_TRACE(c.zWhat);
    Vdbe *p = tarvikVdbeCreate(db);
    tarvikVdbeMakeLabel(p);
    tarvikVdbeAddOp(p, OP_Integer, 1, 0);
    tarvikVdbeAddOp(p, c.op, 0, c.p2);
    EXPECT_EQ(tarvikVdbeMakeReady(p, 0, 0), TARVIK_INTERNAL);
    EXPECT_EQ(p->magic, VDBE_MAGIC_HALT) << "cannot be run";
    EXPECT_EQ(tarvikVdbeList(p), TARVIK_MISUSE);
    char *zErr = nullptr;
    EXPECT_EQ(tarvikVdbeFinalize(p, &zErr), TARVIK_INTERNAL);
    EXPECT_STREQ(zErr, "jump destination out of range");
    tarvik_freemem(zErr);
  }
  // A program refused when made ready again never ran this time: what its
  // earlier run left behind must not make finalize abandon the transaction.
  {
    Vdbe *p = tarvikVdbeCreate(db);
    ASSERT_EQ(tarvikVdbeMakeReady(p, 0, 0), TARVIK_OK);
    p->undoTransOnError = 1;  // as a run that began a transaction leaves it
    p->magic = VDBE_MAGIC_HALT;
    ASSERT_EQ(tarvikVdbeReset(p, nullptr), TARVIK_OK);
    db->flags |= TARVIK_InTrans;
    db->aDb[0].inTrans = 1;
    tarvikVdbeAddOp(p, OP_Goto, 0, 99);
    EXPECT_EQ(tarvikVdbeMakeReady(p, -1, 0), TARVIK_INTERNAL);
    EXPECT_EQ(tarvikVdbeFinalize(p, nullptr), TARVIK_INTERNAL);
    EXPECT_TRUE(db->flags & TARVIK_InTrans);
    EXPECT_EQ(db->aDb[0].inTrans, 1);
    db->flags &= ~TARVIK_InTrans;
    db->aDb[0].inTrans = 0;
  }
  // Jumps to the first and the last address are fine, and so is a
  // negative P2 where P2 is not an address.
  Vdbe *p = tarvikVdbeCreate(db);
  tarvikVdbeAddOp(p, OP_Goto, 0, 2);
  tarvikVdbeAddOp(p, OP_Goto, 0, 0);
  tarvikVdbeAddOp(p, OP_Dup, 0, -5);
  EXPECT_EQ(tarvikVdbeMakeReady(p, 0, 0), TARVIK_OK);
  tarvikVdbeFinalize(p, nullptr);
}

TEST_F(VdbeTest, ExplainStopsOnInterruptWithTheRightCode) {
  for (int magic : {TARVIK_MAGIC_BUSY, TARVIK_MAGIC_OPEN}) {
    db->magic = magic;
    Vdbe *p = tarvikVdbeCreate(db);
    tarvikVdbeAddOp(p, OP_Noop, 0, 0);
    ASSERT_EQ(tarvikVdbeMakeReady(p, 0, 1), TARVIK_OK);
    EXPECT_EQ(tarvikVdbeList(p), TARVIK_ROW);
    db->flags |= TARVIK_Interrupt;
    EXPECT_EQ(tarvikVdbeList(p), TARVIK_ERROR);
    EXPECT_FALSE(db->flags & TARVIK_Interrupt) << "the interrupt is consumed";
    int want = magic == TARVIK_MAGIC_BUSY ? TARVIK_INTERRUPT : TARVIK_MISUSE;
    char *zErr = nullptr;
    EXPECT_EQ(tarvikVdbeFinalize(p, &zErr), want);
    EXPECT_STREQ(zErr, tarvik_error_string(want));
    tarvik_freemem(zErr);
  }
}

TEST_F(VdbeTest, TraceLinesHaveTheFixedLayout) {
  FILE *f = tmpfile();
  ASSERT_NE(f, nullptr);
  int obj;
  VdbeOp aOp[] = {
      {OP_Goto, 0, 12, nullptr, P3_NOTUSED},
      {OP_String, -3, 0, (char *)"hello", P3_STATIC},
      {OP_Function, 2, 0, (char *)&obj, P3_POINTER},
  };
  for (int i = 0; i < 3; i++) tarvikVdbePrintOp(f, 1000 + i, &aOp[i]);
  rewind(f);
  char buf[512];
  size_t n = fread(buf, 1, sizeof(buf) - 1, f);
  buf[n] = 0;
  fclose(f);
  std::string expected = "1000 Goto            0   12 \n"
                         "1001 String         -3    0 hello\n"
                         "1002 Function        2    0 " + ptrText(&obj) + "\n";
  EXPECT_EQ(std::string(buf), expected);

  // With the global switch on, each appended instruction is traced.
  tarvik_vdbe_addop_trace = 1;
  testing::internal::CaptureStdout();
  Vdbe *p = tarvikVdbeCreate(db);
  tarvikVdbeAddOp(p, OP_Pop, 2, 0);
  static const VdbeOpList aTmpl[] = {{OP_Goto, 0, -1, nullptr}};
  tarvikVdbeAddOpList(p, 1, aTmpl);
  std::string traced = testing::internal::GetCapturedStdout();
  tarvik_vdbe_addop_trace = 0;
  EXPECT_EQ(traced, "   0 Pop             2    0 \n   1 Goto            0    1 \n");
  tarvikVdbeDelete(p);
}

// ------------------------------------------------------------------ host parameters

TEST_F(VdbeTest, BindChecksStateAndIndexAndKeepsTerminatedCopies) {
  Vdbe *p = tarvikVdbeCreate(db);
  tarvikVdbeAddOp(p, OP_Variable, 1, 0);
  EXPECT_EQ(tarvik_bind(p, 1, "x", -1, 1), TARVIK_MISUSE) << "not ready yet";
  ASSERT_EQ(tarvikVdbeMakeReady(p, 3, 0), TARVIK_OK);
  EXPECT_EQ(tarvik_bind(p, 0, "x", -1, 1), TARVIK_RANGE);
  EXPECT_EQ(tarvik_bind(p, 4, "x", -1, 1), TARVIK_RANGE);
  EXPECT_STREQ(tarvik_error_string(TARVIK_RANGE), "bind index out of range");

  // A negative length counts the terminator; a copy of bytes without one
  // gets one added, and its length counts it.
  EXPECT_EQ(tarvik_bind(p, 1, "abc", -1, 1), TARVIK_OK);
  EXPECT_STREQ(p->azVar[0], "abc");
  EXPECT_EQ(p->anVar[0], 4);
  static const char zBytes[] = {'x', 'y', 'z', 'w'};
  EXPECT_EQ(tarvik_bind(p, 2, zBytes, 3, 1), TARVIK_OK);
  EXPECT_STREQ(p->azVar[1], "xyz");
  EXPECT_EQ(p->anVar[1], 4);
  EXPECT_EQ(tarvik_bind(p, 3, "", 0, 1), TARVIK_OK);
  EXPECT_STREQ(p->azVar[2], "");
  // Without copy the caller's text is used as it is.
  static const char zKeep[] = "kept";
  EXPECT_EQ(tarvik_bind(p, 3, zKeep, -1, 0), TARVIK_OK);
  EXPECT_EQ(p->azVar[2], zKeep);
  EXPECT_FALSE(p->abVar[2]);
  // Rebinding frees the earlier copy; NULL unbinds.
  EXPECT_EQ(tarvik_bind(p, 1, "second", -1, 1), TARVIK_OK);
  EXPECT_EQ(tarvik_bind(p, 2, nullptr, 5, 1), TARVIK_OK);
  EXPECT_EQ(p->azVar[1], nullptr);
  EXPECT_EQ(p->anVar[1], 0);

  // A copy that cannot be made is an error, and the old value stays.
  tarvikTestMallocFail(1, false);
  EXPECT_EQ(tarvik_bind(p, 1, "third", -1, 1), TARVIK_NOMEM);
  tarvikTestMallocFail(0, false);
  EXPECT_STREQ(p->azVar[0], "second");

  // Bindings survive a reset: the parameter array is kept.
  EXPECT_EQ(tarvikVdbeReset(p, nullptr), TARVIK_OK);
  ASSERT_EQ(tarvikVdbeMakeReady(p, -1, 0), TARVIK_OK);
  EXPECT_EQ(p->nVar, 3);
  EXPECT_STREQ(p->azVar[0], "second");
  EXPECT_EQ(tarvikVdbeFinalize(p, nullptr), TARVIK_OK);
}

TEST_F(VdbeTest, BindIsRefusedAfterTheFirstListingStep) {
  Vdbe *p = tarvikVdbeCreate(db);
  ASSERT_EQ(tarvikVdbeMakeReady(p, 1, 1), TARVIK_OK);
  EXPECT_EQ(tarvik_bind(p, 1, "a", -1, 0), TARVIK_OK);
  EXPECT_EQ(tarvikVdbeList(p), TARVIK_ROW);
  EXPECT_EQ(tarvik_bind(p, 1, "a", -1, 0), TARVIK_MISUSE);
  tarvikVdbeFinalize(p, nullptr);
}

// ------------------------------------------------------------------ lifecycle

TEST_F(VdbeTest, ResetAndFinalizeAreRefusedWhileBuilding) {
  Vdbe *p = tarvikVdbeCreate(db);
  char *zErr = nullptr;
  EXPECT_EQ(tarvikVdbeReset(p, &zErr), TARVIK_MISUSE);
  EXPECT_STREQ(zErr, "library routine called out of sequence");
  EXPECT_EQ(tarvikVdbeFinalize(p, &zErr), TARVIK_MISUSE);
  EXPECT_STREQ(zErr, "library routine called out of sequence");
  tarvik_freemem(zErr);
  EXPECT_EQ(db->pVdbe, p) << "a refused finalize does not free";
  EXPECT_EQ(tarvikVdbeList(p), TARVIK_MISUSE);
  tarvikVdbeDelete(p);
}

TEST_F(VdbeTest, BuildingAReadyProgramIsRefused) {
  Vdbe *p = tarvikVdbeCreate(db);
  tarvikVdbeAddOp(p, OP_Noop, 0, 0);
  ASSERT_EQ(tarvikVdbeMakeReady(p, 0, 0), TARVIK_OK);
#ifdef TARVIK_DEBUG
  EXPECT_DEATH(tarvikVdbeAddOp(p, OP_Noop, 0, 0), "failed assertion");
  EXPECT_DEATH(tarvikVdbeMakeLabel(p), "failed assertion");
  EXPECT_DEATH(tarvikVdbeChangeP3(p, 0, "x", 0), "failed assertion");
  EXPECT_DEATH(tarvikVdbeMakeReady(p, 0, 0), "failed assertion");
#else
  // Without assertions the operations do nothing: a ready program's stack
  // is sized by its length and must not be outgrown.
  EXPECT_EQ(tarvikVdbeAddOp(p, OP_Noop, 0, 0), 0);
  EXPECT_EQ(tarvikVdbeAddOpList(p, 1, nullptr), 0);
  EXPECT_EQ(tarvikVdbeMakeLabel(p), 0);
  tarvikVdbeChangeP3(p, 0, tarvikStrDup("x"), P3_DYNAMIC);  // freed, not stored
  EXPECT_EQ(p->aOp[0].p3, nullptr);
  EXPECT_EQ(p->nOp, 2);
  EXPECT_EQ(tarvikVdbeMakeReady(p, 0, 0), TARVIK_MISUSE);
#endif
  // After a reset it can be built on and made ready again.
  EXPECT_EQ(tarvikVdbeReset(p, nullptr), TARVIK_OK);
  EXPECT_EQ(tarvikVdbeAddOp(p, OP_Noop, 0, 0), 2);
  EXPECT_EQ(tarvikVdbeMakeReady(p, 0, 0), TARVIK_OK);
  EXPECT_EQ(p->nOp, 4);
  tarvikVdbeFinalize(p, nullptr);
}

// Entries of the program's value stack (the row array follows them).
long stackEntries(const Vdbe *p) { return (const Mem *)(const void *)p->zArgv - p->aStack; }

TEST_F(VdbeTest, StackKeepsUpWithAProgramMadeReadyAgain) {
  // Built on after a reset: the stack must still hold one entry per
  // instruction, and the host parameters bound so far stay.
  Vdbe *p = tarvikVdbeCreate(db);
  tarvikVdbeAddOp(p, OP_Noop, 0, 0);
  ASSERT_EQ(tarvikVdbeMakeReady(p, 2, 0), TARVIK_OK);
  EXPECT_GE(stackEntries(p), p->nOp);
  ASSERT_EQ(tarvik_bind(p, 2, "kept", -1, 1), TARVIK_OK);
  ASSERT_EQ(tarvikVdbeReset(p, nullptr), TARVIK_OK);
  for (int i = 0; i < 20; i++) tarvikVdbeAddOp(p, OP_Integer, i, 0);
  ASSERT_EQ(tarvikVdbeMakeReady(p, -1, 0), TARVIK_OK);
  EXPECT_EQ(p->nOp, 23);
  EXPECT_GE(stackEntries(p), p->nOp);
  EXPECT_EQ(p->nVar, 2);
  EXPECT_STREQ(p->azVar[1], "kept");
  EXPECT_EQ(p->anVar[1], 5);
  EXPECT_EQ(tarvikVdbeFinalize(p, nullptr), TARVIK_OK);

  // Listed after having been made ready to run: a listing writes five
  // entries' texts, more than this short program's stack held.
  p = tarvikVdbeCreate(db);
  ASSERT_EQ(tarvikVdbeMakeReady(p, 0, 0), TARVIK_OK);
  ASSERT_EQ(tarvikVdbeReset(p, nullptr), TARVIK_OK);
  ASSERT_EQ(tarvikVdbeMakeReady(p, -1, 1), TARVIK_OK);
  EXPECT_EQ(listAll(p), (std::vector<Row>{{"0", "Halt", "0", "0", kNull}}));
  EXPECT_EQ(tarvikVdbeFinalize(p, nullptr), TARVIK_OK);

  // A stack that cannot grow keeps the program from running; the old
  // block and the bound copies are still released once.
  p = tarvikVdbeCreate(db);
  ASSERT_EQ(tarvikVdbeMakeReady(p, 1, 0), TARVIK_OK);
  ASSERT_EQ(tarvik_bind(p, 1, "copied", -1, 1), TARVIK_OK);
  ASSERT_EQ(tarvikVdbeReset(p, nullptr), TARVIK_OK);
  tarvikVdbeAddOp(p, OP_Noop, 0, 0);
  tarvikTestMallocFail(1, false);
  EXPECT_EQ(tarvikVdbeMakeReady(p, -1, 0), TARVIK_NOMEM);
  tarvikTestMallocFail(0, false);
  EXPECT_EQ(tarvikVdbeFinalize(p, nullptr), TARVIK_NOMEM);
}

TEST_F(VdbeTest, LiveProgramsStayLinkedToTheirConnection) {
  Vdbe *a = tarvikVdbeCreate(db);
  Vdbe *b = tarvikVdbeCreate(db);
  Vdbe *c = tarvikVdbeCreate(db);
  EXPECT_EQ(db->pVdbe, c);
  EXPECT_EQ(c->pNext, b);
  EXPECT_EQ(b->pNext, a);
  EXPECT_EQ(a->pPrev, b);
  tarvikVdbeDelete(b);  // from the middle
  EXPECT_EQ(c->pNext, a);
  EXPECT_EQ(a->pPrev, c);
  tarvikVdbeDelete(c);  // the head
  EXPECT_EQ(db->pVdbe, a);
  EXPECT_EQ(a->pPrev, nullptr);
  tarvikVdbeDelete(a);
  EXPECT_EQ(db->pVdbe, nullptr);
}

TEST_F(VdbeTest, ResetDeliversTheRunsErrorOnceAndUndoesAsAsked) {
  Vdbe *p = tarvikVdbeCreate(db);
  ASSERT_EQ(tarvikVdbeMakeReady(p, 0, 0), TARVIK_OK);

  // A message is handed to an empty place...
  p->rc = TARVIK_CONSTRAINT;
  p->zErrMsg = tarvikStrDup("column a is not unique");
  p->magic = VDBE_MAGIC_HALT;
  char *zErr = nullptr;
  EXPECT_EQ(tarvikVdbeReset(p, &zErr), TARVIK_CONSTRAINT);
  EXPECT_STREQ(zErr, "column a is not unique");
  EXPECT_EQ(p->magic, VDBE_MAGIC_INIT);
  EXPECT_EQ(p->zErrMsg, nullptr);

  // ...and freed when the caller's place is taken.
  ASSERT_EQ(tarvikVdbeMakeReady(p, 0, 0), TARVIK_OK);
  p->rc = TARVIK_ERROR;
  p->zErrMsg = tarvikStrDup("second");
  EXPECT_EQ(tarvikVdbeReset(p, &zErr), TARVIK_ERROR);
  EXPECT_STREQ(zErr, "column a is not unique");
  tarvik_freemem(zErr);
  zErr = nullptr;

  // Without a message the code's standard text is given.  OE_Rollback
  // abandons the transaction; an open statement checkpoint is settled.
  ASSERT_EQ(tarvikVdbeMakeReady(p, 0, 0), TARVIK_OK);
  p->rc = TARVIK_FULL;
  p->errorAction = OE_Rollback;
  db->flags |= TARVIK_InTrans;
  db->onError = OE_Replace;
  db->aDb[0].inTrans = 1;
  db->aDb[1].inTrans = 2;
  EXPECT_EQ(tarvikVdbeReset(p, &zErr), TARVIK_FULL);
  EXPECT_STREQ(zErr, "database is full");
  tarvik_freemem(zErr);
  zErr = nullptr;
  EXPECT_FALSE(db->flags & TARVIK_InTrans);
  EXPECT_EQ(db->onError, OE_Default);
  EXPECT_EQ(db->aDb[0].inTrans, 0);

  // A successful run keeps the transaction and commits the checkpoint.
  ASSERT_EQ(tarvikVdbeMakeReady(p, 0, 0), TARVIK_OK);
  EXPECT_EQ(p->rc, TARVIK_OK) << "make-ready clears the last result";
  db->aDb[0].inTrans = 2;
  db->flags |= TARVIK_InTrans;
  EXPECT_EQ(tarvikVdbeFinalize(p, &zErr), TARVIK_OK);
  EXPECT_EQ(zErr, nullptr);
  EXPECT_EQ(db->aDb[0].inTrans, 1);
  EXPECT_TRUE(db->flags & TARVIK_InTrans);
}

// A finalize function that counts its calls and frees a heap text the state
// holds, as built-in min/max do.
int nFinalized;
struct HeldState {
  char *zHeld;
};
void finalizeHeld(tarvik_func *ctx) {
  nFinalized++;
  auto *pState = (HeldState *)tarvik_aggregate_context(ctx, sizeof(HeldState));
  if (pState) tarvikFree(pState->zHeld);
}
void stepNothing(tarvik_func *, int, const char **) {}
// A finalize that asks for a state block larger than the inline buffer.
void finalizeBig(tarvik_func *ctx) {
  nFinalized++;
  tarvik_aggregate_context(ctx, 100);
}

TEST_F(VdbeTest, CleanUpReleasesEverythingARunAccumulated) {
  Vdbe *p = tarvikVdbeCreate(db);
  for (int i = 0; i < 6; i++) tarvikVdbeAddOp(p, OP_Noop, 0, 0);
  ASSERT_EQ(tarvikVdbeMakeReady(p, 0, 0), TARVIK_OK);

  // Stack: one owned text, one short, one integer.
  Mem *pTos = p->pTos;
  (++pTos)->z = tarvikStrDup("owned text on the stack");
  pTos->flags = MEM_Str | MEM_Dyn;
  (++pTos)->flags = MEM_Str | MEM_Short;
  pTos->z = pTos->zShort;
  (++pTos)->flags = MEM_Int;
  p->pTos = pTos;
  // Memory cells.
  p->nMem = 2;
  p->aMem = (Mem *)tarvikMalloc(2 * (int)sizeof(Mem));
  p->aMem[1].z = tarvikStrDup("cell");
  p->aMem[1].flags = MEM_Str | MEM_Dyn;
  // A pseudo-table cursor with a stored row.
  p->nCursor = 2;
  p->aCsr = (Cursor *)tarvikMalloc(2 * (int)sizeof(Cursor));
  p->aCsr[1].pseudoTable = 1;
  p->aCsr[1].pData = tarvikStrDup("row");
  // Two sorter elements.
  for (int i = 0; i < 2; i++) {
    auto *pElem = (Sorter *)tarvikMalloc((int)sizeof(Sorter));
    pElem->zKey = tarvikStrDup("key");
    pElem->pData = tarvikStrDup("data");
    pElem->pNext = p->pSort;
    p->pSort = pElem;
  }
  // A set with members.
  p->nSet = 1;
  p->aSet = (Set *)tarvikMalloc((int)sizeof(Set));
  tarvikHashInit(&p->aSet[0].hash, TARVIK_HASH_BINARY, 1);
  static int marker;
  tarvikHashInsert(&p->aSet[0].hash, "a", 2, &marker);
  tarvikHashInsert(&p->aSet[0].hash, "b", 2, &marker);
  // The current key list of two blocks, and one saved list.
  auto newBlock = [](Keylist *pNext) {
    auto *pBlock = (Keylist *)tarvikMalloc((int)(sizeof(Keylist) + 1000 * sizeof(int)));
    pBlock->nKey = 1000;
    pBlock->aKey = (int *)&pBlock[1];
    pBlock->pNext = pNext;
    return pBlock;
  };
  p->pList = newBlock(newBlock(nullptr));
  p->keylistStackDepth = 1;
  p->keylistStack = (Keylist **)tarvikMalloc((int)sizeof(Keylist *));
  p->keylistStack[0] = newBlock(nullptr);
  // Saved counters; COPY field array and line buffer.
  p->contextStackDepth = 1;
  p->contextStack = (Context *)tarvikMalloc((int)sizeof(Context));
  p->azField = (char **)tarvikMalloc(4 * (int)sizeof(char *));
  p->nField = 4;
  p->zLine = (char *)tarvikMalloc(300);
  p->nLineAlloc = 300;
  // An aggregator with one group: cell 0 a function's heap state holding
  // a text, cell 1 a function's inline state, cell 2 a plain owned text,
  // cell 3 a function whose step never asked for state but whose finalize
  // asks for a big block.
  FuncDef fd{}, fdBig{};
  fd.xStep = fdBig.xStep = stepNothing;
  fd.xFinalize = finalizeHeld;
  fdBig.xFinalize = finalizeBig;
  Agg *pAgg = &p->agg;
  pAgg->nMem = 4;
  pAgg->apFunc = (FuncDef **)tarvikMalloc(4 * (int)sizeof(FuncDef *));
  pAgg->apFunc[0] = pAgg->apFunc[1] = &fd;
  pAgg->apFunc[3] = &fdBig;
  auto *pElem = (AggElem *)tarvikMalloc((int)(sizeof(AggElem) + 4 * sizeof(Mem) + 1));
  pElem->aMem = (Mem *)&pElem[1];
  pElem->zKey = (char *)&pElem->aMem[4];
  pElem->nKey = 1;
  auto *pHeap = (HeldState *)tarvikMalloc(64);
  pHeap->zHeld = tarvikStrDup("held by heap state");
  pElem->aMem[0].z = (char *)pHeap;
  pElem->aMem[0].flags = MEM_AggCtx;
  auto *pInline = (HeldState *)pElem->aMem[1].zShort;
  pInline->zHeld = tarvikStrDup("held by inline state");
  pElem->aMem[1].z = pElem->aMem[1].zShort;
  pElem->aMem[1].flags = MEM_AggCtx;
  pElem->aMem[2].z = tarvikStrDup("plain");
  pElem->aMem[2].flags = MEM_Str | MEM_Dyn;
  pElem->aMem[3].flags = MEM_AggCtx;
  tarvikHashInsert(&pAgg->hash, pElem->zKey, 1, pElem);

  nFinalized = 0;
  p->magic = VDBE_MAGIC_HALT;
  EXPECT_EQ(tarvikVdbeReset(p, nullptr), TARVIK_OK);
  EXPECT_EQ(nFinalized, 3) << "each state block finalized once";
  EXPECT_EQ(p->pTos, p->aStack - 1);
  EXPECT_EQ(p->nCursor + p->nMem + p->nSet + p->keylistStackDepth + p->contextStackDepth, 0);
  EXPECT_EQ(p->pSort, nullptr);
  EXPECT_EQ(p->pList, nullptr);
  EXPECT_EQ(hashCount(&p->agg.hash), 0);
  tarvikVdbeDelete(p);  // TearDown checks that every block above was freed
}

// ------------------------------------------------------------------ allocation failures

// Builds and readies a program that exercises every allocating build path.
// Returns the make-ready result; *pp receives the program (or null), and
// *pCallerFailed says whether one of the test's own texts could not be
// made (the program then never learns of that failure).
int buildEverything(tarvik *db, Vdbe **pp, bool *pCallerFailed) {
  *pCallerFailed = false;
  Vdbe *p = *pp = tarvikVdbeCreate(db);
  if (p == nullptr) return TARVIK_NOMEM;
  std::vector<int> labels;
  for (int i = 0; i < 12; i++) labels.push_back(tarvikVdbeMakeLabel(p));
  for (int i = 0; i < 120; i++) {
    tarvikVdbeOp3(p, OP_String, i, 0, "copied text", 0);
    char *zOwned = tarvikStrDup("handed over");
    if (zOwned == nullptr) *pCallerFailed = true;
    tarvikVdbeOp3(p, OP_String, i, 0, zOwned, P3_DYNAMIC);
    tarvikVdbeAddOp(p, OP_IfNot, 0, labels[i % 12]);
  }
  static const VdbeOpList aTmpl[] = {{OP_Integer, 1, 0, "1"}, {OP_Goto, 0, -1, nullptr}};
  tarvikVdbeAddOpList(p, 2, aTmpl);
  tarvikVdbeOp3(p, OP_String, 0, 0, "'quoted'", P3_STATIC);
  tarvikVdbeDequoteP3(p, -1);
  tarvikVdbeOp3(p, OP_String, 0, 0, "  create   table t(x) ", P3_STATIC);
  tarvikVdbeCompressSpace(p, tarvikVdbeCurrentAddr(p) - 1);
  for (int i = 0; i < 12; i++) tarvikVdbeResolveLabel(p, labels[i]);
  return tarvikVdbeMakeReady(p, 2, 0);
}

TEST_F(VdbeTest, EveryFailedAllocationWhileBuildingIsReportedWithoutLeaks) {
  for (bool persist : {false, true}) {
    int n, nChecked = 0;
    for (n = 1; n < 10000; n++) {
      SCOPED_TRACE("failing allocation " + std::to_string(n) + (persist ? " onward" : ""));
      Vdbe *p = nullptr;
      tarvikTestMallocFail(n, persist);
      bool callerFailed;
      int rc = buildEverything(db, &p, &callerFailed);
      int nFail = tarvikTestMallocFailures();
      tarvikTestMallocFail(0, false);
      if (nFail == 0) {
        ASSERT_EQ(rc, TARVIK_OK);
        EXPECT_EQ(tarvik_bind(p, 2, "value", -1, 1), TARVIK_OK);
        EXPECT_EQ(tarvikVdbeFinalize(p, nullptr), TARVIK_OK);
        break;
      }
      if (p == nullptr) {
        EXPECT_EQ(db->pVdbe, nullptr);
        continue;
      }
      char *zErr = nullptr;
      if (callerFailed && rc == TARVIK_OK) {
        EXPECT_EQ(tarvikVdbeFinalize(p, &zErr), TARVIK_OK);
        continue;
      }
      nChecked++;
      EXPECT_EQ(rc, TARVIK_NOMEM) << "a failed build must not be made ready";
      EXPECT_EQ(tarvikVdbeFinalize(p, &zErr), TARVIK_NOMEM);
      if (zErr) {
        EXPECT_STREQ(zErr, "out of memory");
      }
      tarvik_freemem(zErr);
      ASSERT_EQ(tarvikTestMallocOutstanding(), baseline);
    }
    EXPECT_GT(nChecked, 5) << "the loop reached the program's allocations";
    EXPECT_LT(n, 10000);
  }
}

// ------------------------------------------------------------------ function results

struct FuncContext {
  FuncDef def{};
  tarvik_func ctx{};
  char aggBuf[NBFS];
  FuncContext() {
    ctx.pFunc = &def;
    ctx.s.flags = MEM_Null;
  }
  ~FuncContext() { tarvikFuncContextClear(&ctx); }
};

TEST_F(VdbeTest, ResultTextsUpTo30BytesStayInline) {
  FuncContext f;
  std::string s30(30, 'a'), s31(31, 'b');
  char *z = tarvik_set_result_string(&f.ctx, s30.c_str(), -1);
  EXPECT_EQ(z, f.ctx.s.zShort);
  EXPECT_EQ(f.ctx.s.flags, MEM_Str | MEM_Short);
  EXPECT_EQ(f.ctx.s.n, 31);
  EXPECT_EQ(std::string(z), s30);
  z = tarvik_set_result_string(&f.ctx, s31.c_str(), -1);
  EXPECT_NE(z, f.ctx.s.zShort);
  EXPECT_EQ(f.ctx.s.flags, MEM_Str | MEM_Dyn);
  EXPECT_EQ(f.ctx.s.n, 32);
  EXPECT_EQ(std::string(z), s31);
  // Giving the current result back (or a part of it) is safe.
  z = tarvik_set_result_string(&f.ctx, f.ctx.s.z + 1, 30);
  EXPECT_EQ(std::string(z), std::string(30, 'b'));
  EXPECT_EQ(f.ctx.s.flags, MEM_Str | MEM_Short);
  z = tarvik_set_result_string(&f.ctx, "abcdef", 2);
  EXPECT_STREQ(z, "ab");
  EXPECT_EQ(f.ctx.s.n, 3);
  // Numbers and NULL replace an owned text without leaking it.
  tarvik_set_result_string(&f.ctx, s31.c_str(), -1);
  tarvik_set_result_int(&f.ctx, 42);
  EXPECT_EQ(f.ctx.s.flags, MEM_Int);
  tarvik_set_result_string(&f.ctx, s31.c_str(), -1);
  tarvik_set_result_double(&f.ctx, 2.5);
  EXPECT_EQ(f.ctx.s.flags, MEM_Real);
  tarvik_set_result_string(&f.ctx, s31.c_str(), -1);
  EXPECT_EQ(tarvik_set_result_string(&f.ctx, nullptr, 5), nullptr);
  EXPECT_EQ(f.ctx.s.flags, MEM_Null);
  // A text that cannot be stored gives NULL and a null return.
  tarvikTestMallocFail(1, false);
  EXPECT_EQ(tarvik_set_result_string(&f.ctx, s31.c_str(), -1), nullptr);
  tarvikTestMallocFail(0, false);
  EXPECT_EQ(f.ctx.s.flags, MEM_Null);
}

TEST_F(VdbeTest, ErrorsFromScalarAndStepFunctionsAreBothKept) {
  FuncContext scalar;
  tarvik_set_result_error(&scalar.ctx, "bad argument", -1);
  EXPECT_TRUE(scalar.ctx.isError);
  EXPECT_STREQ(scalar.ctx.s.z, "bad argument");

  // From a step function the message is recorded aside; the group's state
  // (which lives where a result would go) is untouched.
  FuncContext agg;
  agg.def.xStep = stepNothing;
  agg.ctx.isStep = 1;
  agg.ctx.pAggBuf = agg.aggBuf;
  auto *pState = (int *)tarvik_aggregate_context(&agg.ctx, sizeof(int));
  *pState = 77;
  tarvik_set_result_error(&agg.ctx, "overflow in step", -1);
  EXPECT_TRUE(agg.ctx.isError);
  EXPECT_STREQ(agg.ctx.zErrMsg, "overflow in step");
  EXPECT_EQ(agg.ctx.s.flags, MEM_Null);
  EXPECT_EQ(*pState, 77);
  tarvik_set_result_error(&agg.ctx, "second message, first part", 14);
  EXPECT_STREQ(agg.ctx.zErrMsg, "second message");
}

TEST_F(VdbeTest, AggregateStateIsInlineWhenSmallAndTheSameBlockEveryCall) {
  int userData;
  FuncContext f;
  f.def.xStep = stepNothing;
  f.def.pUserData = &userData;
  f.ctx.isStep = 1;
  f.ctx.cnt = 3;
  f.ctx.pAggBuf = f.aggBuf;
  memset(f.aggBuf, 0x5a, sizeof(f.aggBuf));
  EXPECT_EQ(tarvik_user_data(&f.ctx), &userData);
  EXPECT_EQ(tarvik_aggregate_count(&f.ctx), 3);
  void *pState = tarvik_aggregate_context(&f.ctx, 32);
  EXPECT_EQ(pState, f.aggBuf);
  for (char c : f.aggBuf) ASSERT_EQ(c, 0) << "zero-filled";
  EXPECT_EQ(tarvik_aggregate_context(&f.ctx, 500), pState) << "later sizes are ignored";

  FuncContext big;
  big.def.xStep = stepNothing;
  big.ctx.isStep = 1;
  big.ctx.pAggBuf = big.aggBuf;
  auto *pBig = (unsigned char *)tarvik_aggregate_context(&big.ctx, 33);
  ASSERT_NE(pBig, nullptr);
  EXPECT_NE((void *)pBig, (void *)big.aggBuf);
  for (int i = 0; i < 33; i++) ASSERT_EQ(pBig[i], 0);
  EXPECT_EQ(tarvik_aggregate_context(&big.ctx, 1), pBig);
  tarvikFree(pBig);  // the aggregator owns heap blocks
}

}  // namespace
