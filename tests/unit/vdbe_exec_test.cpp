// The execution loop: hand-built programs run on the in-memory backend
// (and, where storage matters, the file backend too).  Values, control
// flow, records and keys byte for byte, cursor loops, row numbers, the
// sorter, the aggregator, sets, key lists, COPY input, hooks, errors and
// allocation failures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "btree.h"
#include "btree_util.h"
#include "vdbeInt.h"

namespace {

using Row = std::vector<std::string>;
const std::string kNull = "<null>";

struct RunResult {
  int rc = 0;       // result of reset: the run's code
  std::string msg;  // its message
  std::vector<Row> rows;
  int execRc = 0;  // last result of the loop itself
};

// Bytes written as a C++ string (for records and keys with NULs).
std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s.push_back((char)b);
  return s;
}

enum class Backend { Memory, File };

class ExecTest : public ::testing::Test {
 protected:
  tarvik conn{};
  tarvik *db = &conn;
  Vdbe *v = nullptr;
  long baseline = 0;
  std::string zPath;

  void openDb(Backend be) {
    if (be == Backend::Memory) {
      ASSERT_EQ(tarvikBtreeFactory(db, ":memory:", 0, 100, &db->aDb[0].pBt), TARVIK_OK);
    } else {
      char zTmpl[] = "/tmp/tarvik_exec_XXXXXX";
      int fd = mkstemp(zTmpl);
      ASSERT_GE(fd, 0);
      close(fd);
      unlink(zTmpl);
      zPath = zTmpl;
      ASSERT_EQ(tarvikBtreeFactory(db, zPath.c_str(), 0, 100, &db->aDb[0].pBt), TARVIK_OK);
    }
  }

  void SetUp() override {
    tarvik_malloc_failed = 0;
    baseline = tarvikTestMallocOutstanding();
    db->nDb = 2;
    db->aDb = db->aDbStatic;
    db->magic = TARVIK_MAGIC_BUSY;
    db->onError = OE_Default;
    db->temp_store = 2;
    openDb(Backend::Memory);
    v = tarvikVdbeCreate(db);
  }

  void TearDown() override {
    while (db->pVdbe) tarvikVdbeDelete(db->pVdbe);
    for (int i = 0; i < db->nDb; i++) {
      if (db->aDb[i].pBt) tarvikBtreeClose(db->aDb[i].pBt);
      db->aDb[i].pBt = nullptr;
    }
    if (!zPath.empty()) {
      unlink(zPath.c_str());
      unlink((zPath + "-journal").c_str());
    }
    tarvik_malloc_failed = 0;
    EXPECT_EQ(tarvikTestMallocOutstanding(), baseline) << "a block was leaked or freed twice";
  }

  int add(int op, int p1 = 0, int p2 = 0, const char *p3 = nullptr) {
    return tarvikVdbeOp3(v, op, p1, p2, p3, p3 ? P3_STATIC : 0);
  }
  int addPtr(int op, int p1, int p2, void *ptr) {
    return tarvikVdbeOp3(v, op, p1, p2, (const char *)ptr, P3_POINTER);
  }
  // A result row of n columns; the width is declared first, as code
  // generators do.
  int cb(int n) {
    add(OP_ColumnName, n - 1, 1, "c");
    return add(OP_Callback, n);
  }
  int here() { return tarvikVdbeCurrentAddr(v); }
  void patch(int addr) { tarvikVdbeChangeP2(v, addr, here()); }

  // Makes the program ready; the row width is the P1 of its Callback.
  void ready(int nVar = 0) {
    ASSERT_EQ(tarvikVdbeMakeReady(v, nVar, 0), TARVIK_OK);
    for (int i = 0; i < v->nOp; i++) {
      if (v->aOp[i].opcode == OP_Callback || v->aOp[i].opcode == OP_SortCallback) {
        v->nResColumn = v->aOp[i].p1;
      }
    }
  }

  // Runs to the end (collecting rows), then resets the program.
  RunResult run(int nVar = 0) {
    RunResult r;
    ready(nVar);
    for (;;) {
      r.execRc = tarvikVdbeExec(v);
      if (r.execRc != TARVIK_ROW) break;
      Row row;
      for (int i = 0; i < v->nResColumn; i++) {
        row.push_back(v->azResColumn[i] ? v->azResColumn[i] : kNull);
      }
      r.rows.push_back(row);
    }
    char *z = nullptr;
    r.rc = tarvikVdbeReset(v, &z);
    r.msg = z ? z : "";
    tarvikFree(z);
    return r;
  }

  // Runs a program that ends with its result on the stack; returns the top
  // entry's bytes (n of them) without resetting.
  std::string runTop() {
    ready();
    EXPECT_EQ(tarvikVdbeExec(v), TARVIK_DONE);
    Mem *m = v->pTos;
    EXPECT_GE(m, v->aStack);
    if (m < v->aStack) return "";
    if (m->flags & MEM_Null) return kNull;
    if (!(m->flags & MEM_Str)) {
      Mem c = *m;
      return c.flags & MEM_Int ? std::to_string(c.i) : std::to_string(c.r);
    }
    return std::string(m->z, (size_t)m->n);
  }

  // One value of a single-row, single-column result.
  std::string scalar() {
    add(OP_Callback, 1);
    RunResult r = run();
    EXPECT_EQ(r.rc, TARVIK_OK) << r.msg;
    EXPECT_EQ(r.rows.size(), 1u);
    return r.rows.empty() ? "" : r.rows[0][0];
  }

  void pushValue(const char *z) {
    // "n:123" an integer, "null", else a text.
    if (z == nullptr || strcmp(z, "null") == 0) {
      add(OP_String);
    } else if (strncmp(z, "n:", 2) == 0) {
      add(OP_Integer, atoi(z + 2));
    } else {
      add(OP_String, 0, 0, z);
    }
  }

  std::string binary(const char *a, int op, const char *b) {
    tarvikVdbeDelete(v);
    v = tarvikVdbeCreate(db);
    pushValue(a);
    pushValue(b);
    add(op);
    return scalar();
  }
};

// ------------------------------------------------------------------ values

TEST_F(ExecTest, ArithmeticFollowsTheIntegerAndRealRules) {
  struct Case {
    const char *a;
    int op;
    const char *b;
    const char *want;
  } cases[] = {
      {"n:7", OP_Divide, "n:2", "3"},
      {"7.0", OP_Divide, "n:2", "3.5"},
      {"n:7", OP_Remainder, "n:0", kNull.c_str()},
      {"7.5", OP_Remainder, "n:2", "1"},
      {"n:-7", OP_Remainder, "n:2", "-1"},
      {"5", OP_Add, "n:3", "8"},  // text and integer: computed in double
      {"n:5", OP_Subtract, "n:8", "-3"},
      {"n:6", OP_Multiply, "n:7", "42"},
      {"1.5", OP_Multiply, "2", "3"},
      {"n:1", OP_Divide, "0.0", kNull.c_str()},
      {"n:1", OP_Remainder, "0.4", kNull.c_str()},
      {"null", OP_Add, "n:1", kNull.c_str()},
      {"n:1", OP_Multiply, "null", kNull.c_str()},
      // 32-bit integer arithmetic wraps instead of trapping.
      {"n:2147483647", OP_Add, "n:1", "-2147483648"},
      {"n:-2147483648", OP_Divide, "n:-1", "-2147483648"},
      {"n:-2147483648", OP_Remainder, "n:-1", "0"},
      {"n:65536", OP_Multiply, "n:65536", "0"},
      // Operands too large for an integer remainder saturate, never trap.
      {"1e300", OP_Remainder, "n:7", "1"},  // 2147483647 % 7
      {"abc", OP_Add, "n:1", "1"},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(binary(c.a, c.op, c.b), c.want) << c.a << " " << tarvikOpcodeName(c.op) << " " << c.b;
  }
}

TEST_F(ExecTest, BitOperationsTakeTheTopAsTheLeftOperand) {
  // a = top, b = the entry below: a op b, shifts by b & 63.
  EXPECT_EQ(binary("n:3", OP_ShiftLeft, "n:1"), "8");
  EXPECT_EQ(binary("n:33", OP_ShiftLeft, "n:1"), "0");
  EXPECT_EQ(binary("n:40", OP_ShiftRight, "n:-8"), "-1");
  EXPECT_EQ(binary("n:40", OP_ShiftRight, "n:8"), "0");
  EXPECT_EQ(binary("n:1", OP_ShiftRight, "n:-8"), "-4");
  EXPECT_EQ(binary("n:64", OP_ShiftLeft, "n:5"), "5");  // 64 & 63 = 0
  EXPECT_EQ(binary("n:12", OP_BitAnd, "n:10"), "8");
  EXPECT_EQ(binary("n:12", OP_BitOr, "n:10"), "14");
  EXPECT_EQ(binary("null", OP_BitOr, "n:10"), kNull);
}

TEST_F(ExecTest, ComparisonsMixNumbersAndText) {
  EXPECT_EQ(binary("10", OP_Eq, "n:10"), "1");  // text read as an integer
  EXPECT_EQ(binary("n:10", OP_Eq, "10"), "1");
  EXPECT_EQ(binary("abc", OP_Gt, "n:10"), "1");  // numbers before text
  EXPECT_EQ(binary("1.0", OP_Eq, "1"), "1");
  EXPECT_EQ(binary("1.0", OP_StrEq, "1"), "0");
  EXPECT_EQ(binary("9", OP_Lt, "10"), "1");
  EXPECT_EQ(binary("9", OP_StrLt, "10"), "0");
  EXPECT_EQ(binary("n:-1", OP_Le, "n:-1"), "1");
  EXPECT_EQ(binary("b", OP_Ne, "a"), "1");
  EXPECT_EQ(binary("b", OP_Ge, "c"), "0");
  EXPECT_EQ(binary("b", OP_StrGe, "b"), "1");
  EXPECT_EQ(binary("b", OP_StrGt, "a"), "1");
  EXPECT_EQ(binary("b", OP_StrNe, "b"), "0");
  EXPECT_EQ(binary("b", OP_StrLe, "a"), "0");
  EXPECT_EQ(binary("null", OP_Eq, "null"), kNull);
  EXPECT_EQ(binary("null", OP_StrEq, "x"), kNull);
}

TEST_F(ExecTest, ComparisonJumpsAndTheNullJumpFlag) {
  // For each (p1, values) the program records whether the jump was taken.
  auto jumps = [&](const char *a, int op, const char *b, int p1) {
    tarvikVdbeDelete(v);
    v = tarvikVdbeCreate(db);
    pushValue(a);
    pushValue(b);
    int j = add(op, p1, 0);
    add(OP_String, 0, 0, "no");
    add(OP_Goto, 0, j + 4);
    patch(j);
    add(OP_String, 0, 0, "yes");
    return scalar();
  };
  EXPECT_EQ(jumps("null", OP_Eq, "null", 0), "no");
  EXPECT_EQ(jumps("null", OP_Eq, "null", 1), "yes");
  EXPECT_EQ(jumps("n:1", OP_Ne, "null", 1), "yes");
  EXPECT_EQ(jumps("n:1", OP_Lt, "n:2", 0), "yes");
  EXPECT_EQ(jumps("n:2", OP_Lt, "n:1", 1), "no");
  EXPECT_EQ(jumps("a", OP_StrLt, "b", 0), "yes");
}

TEST_F(ExecTest, ThreeValuedLogicAndUnaryOperators) {
  const char *vals[] = {"n:1", "n:0", "null"};
  const char *andT[3][3] = {{"1", "0", "<null>"}, {"0", "0", "0"}, {"<null>", "0", "<null>"}};
  const char *orT[3][3] = {{"1", "1", "1"}, {"1", "0", "<null>"}, {"1", "<null>", "<null>"}};
  for (int i = 0; i < 3; i++) {
    for (int j = 0; j < 3; j++) {
      EXPECT_EQ(binary(vals[i], OP_And, vals[j]), andT[i][j]) << i << j;
      EXPECT_EQ(binary(vals[i], OP_Or, vals[j]), orT[i][j]) << i << j;
    }
  }
  auto unary = [&](const char *a, int op, int p1 = 0) {
    tarvikVdbeDelete(v);
    v = tarvikVdbeCreate(db);
    pushValue(a);
    add(op, p1);
    return scalar();
  };
  EXPECT_EQ(unary("n:-2147483648", OP_Negative), "-2147483648");
  EXPECT_EQ(unary("n:-2147483648", OP_AbsValue), "-2147483648");
  EXPECT_EQ(unary("-2.5", OP_AbsValue), "2.5");
  EXPECT_EQ(unary("3", OP_Negative), "-3");
  EXPECT_EQ(unary("null", OP_Negative), kNull);
  EXPECT_EQ(unary("n:5", OP_Not), "0");
  EXPECT_EQ(unary("0", OP_Not), "1");
  EXPECT_EQ(unary("null", OP_Not), kNull);
  EXPECT_EQ(unary("n:0", OP_BitNot), "-1");
  EXPECT_EQ(unary("12", OP_AddImm, 5), "17");
  // A value changed in place shows its new value, not the text it had.
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_Integer, 5, 0, "5");
  add(OP_AddImm, 1);
  EXPECT_EQ(scalar(), "6");
  EXPECT_EQ(unary("n:2147483647", OP_AddImm, 1), "-2147483648");
}

TEST_F(ExecTest, MustBeIntAndForceInt) {
  auto mustBeInt = [&](const char *a) {
    tarvikVdbeDelete(v);
    v = tarvikVdbeCreate(db);
    pushValue(a);
    add(OP_MustBeInt, 0, 0);
    add(OP_Callback, 1);
    RunResult r = run();
    if (r.rc) return "error " + std::to_string(r.rc) + " " + r.msg;
    return r.rows[0][0];
  };
  EXPECT_EQ(mustBeInt("12"), "12");
  EXPECT_EQ(mustBeInt("12.0"), "12");
  EXPECT_EQ(mustBeInt("-7"), "-7");
  EXPECT_EQ(mustBeInt("12.5"), "error 20 datatype mismatch");
  EXPECT_EQ(mustBeInt("2147483648"), "error 20 datatype mismatch");
  EXPECT_EQ(mustBeInt("1e300"), "error 20 datatype mismatch");
  EXPECT_EQ(mustBeInt("abc"), "error 20 datatype mismatch");
  EXPECT_EQ(mustBeInt("null"), "error 20 datatype mismatch");

  // With P2 the failure jumps, popping the value only when P1 is 1.
  for (int p1 : {0, 1}) {
    tarvikVdbeDelete(v);
    v = tarvikVdbeCreate(db);
    add(OP_String, 0, 0, "below");
    add(OP_String, 0, 0, "x");
    add(OP_MustBeInt, p1, 3);
    add(OP_Callback, 1);
    RunResult r = run();
    ASSERT_EQ(r.rows.size(), 1u);
    EXPECT_EQ(r.rows[0][0], p1 ? "below" : "x");
  }

  auto forceInt = [&](const char *a, int p1) {
    tarvikVdbeDelete(v);
    v = tarvikVdbeCreate(db);
    pushValue(a);
    add(OP_ForceInt, p1, 3);
    add(OP_Goto, 0, 4);
    add(OP_String, 0, 0, "jumped");
    return scalar();
  };
  EXPECT_EQ(forceInt("2.0", 0), "2");
  EXPECT_EQ(forceInt("2.1", 0), "3");
  EXPECT_EQ(forceInt("2.0", 1), "3");
  EXPECT_EQ(forceInt("-2.5", 0), "-2");
  EXPECT_EQ(forceInt("n:4", 1), "5");
  EXPECT_EQ(forceInt("1e20", 0), "2147483647");
  EXPECT_EQ(forceInt("abc", 0), "jumped");
}

TEST_F(ExecTest, StackInstructionsCopyAndMoveValues) {
  // Dup of a long (heap) text: a deep copy survives the original's pop.
  std::string longText(100, 'q');
  add(OP_String, 0, 0, "a");
  tarvikVdbeOp3(v, OP_String, 0, 0, longText.c_str(), 0);
  add(OP_Concat, 1, 0);  // a heap copy
  add(OP_Dup, 0, 0);
  add(OP_Pull, 2);  // a moves to the top
  add(OP_Push, 1);  // and overwrites the copy
  add(OP_Concat, 2, 0, "+");
  add(OP_Callback, 1);
  RunResult r = run();
  ASSERT_EQ(r.rc, TARVIK_OK) << r.msg;
  ASSERT_EQ(r.rows.size(), 1u);
  EXPECT_EQ(r.rows[0][0], longText + "+a");

  // Concat: NULL makes NULL; separator between terms; P2 keeps operands.
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_String, 0, 0, "a");
  add(OP_String);
  add(OP_Concat, 2, 0);
  EXPECT_EQ(scalar(), kNull);
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_String, 0, 0, "a");
  add(OP_Integer, 7);
  add(OP_Concat, 2, 1, ",");
  add(OP_Callback, 3);
  r = run();
  ASSERT_EQ(r.rows.size(), 1u);
  EXPECT_EQ(r.rows[0], (Row{"a", "7", "a,7"}));
}

TEST_F(ExecTest, MemoryCellsStoreLoadAndCount) {
  std::string longText(40, 'z');
  tarvikVdbeOp3(v, OP_String, 0, 0, longText.c_str(), 0);
  add(OP_Concat, 1, 0);    // a heap text
  add(OP_MemStore, 3, 0);  // the cell gets its own copy; the value stays
  add(OP_Pop, 1);
  add(OP_Integer, 5);
  add(OP_MemStore, 0, 1);
  add(OP_String, 0, 0, "s");
  add(OP_MemStore, 40, 1);  // grows the cells
  add(OP_MemLoad, 3);
  add(OP_MemLoad, 0);
  add(OP_MemLoad, 77);  // never stored: NULL
  cb(3);
  // MemIncr as a countdown: -3 counts up and jumps once positive.
  add(OP_Integer, -3);
  add(OP_MemStore, 1, 1);
  int top = add(OP_MemIncr, 1, 0);
  add(OP_Goto, 0, top);
  patch(top);
  add(OP_MemLoad, 1);
  cb(1);
  RunResult r = run();
  ASSERT_EQ(r.rc, TARVIK_OK) << r.msg;
  ASSERT_EQ(r.rows.size(), 2u);
  EXPECT_EQ(r.rows[0], (Row{longText, "5", kNull}));
  EXPECT_EQ(r.rows[1], (Row{"1"}));
}

TEST_F(ExecTest, AShortCellLoadedStaysValidWhenTheCellsGrow) {
  add(OP_String, 0, 0, "short");
  add(OP_MemStore, 0, 1);
  add(OP_MemLoad, 0);
  add(OP_Integer, 1);
  add(OP_MemStore, 500, 1);  // moves the cell array
  add(OP_Callback, 1);
  RunResult r = run();
  ASSERT_EQ(r.rows.size(), 1u);
  EXPECT_EQ(r.rows[0][0], "short");
}

TEST_F(ExecTest, VariablesAndConditionalJumps) {
  add(OP_Variable, 1);
  add(OP_Variable, 2);
  add(OP_Variable, 9);  // out of range: NULL
  add(OP_IsNull, -1, 5);
  add(OP_String, 0, 0, "not reached");
  add(OP_NotNull, -3, 7);  // not every one is non-NULL: no jump
  add(OP_String, 0, 0, "fell through");
  add(OP_Callback, 4);
  ready(2);
  ASSERT_EQ(tarvik_bind(v, 1, "one", -1, 0), TARVIK_OK);
  ASSERT_EQ(tarvik_bind(v, 2, "two", -1, 1), TARVIK_OK);
  ASSERT_EQ(tarvikVdbeExec(v), TARVIK_ROW);
  EXPECT_STREQ(v->azResColumn[0], "one");
  EXPECT_STREQ(v->azResColumn[1], "two");
  EXPECT_EQ(v->azResColumn[2], nullptr);
  EXPECT_STREQ(v->azResColumn[3], "fell through");
  EXPECT_EQ(tarvikVdbeExec(v), TARVIK_DONE);

  // If/IfNot: NULL counts as P1.
  auto ifTaken = [&](int op, const char *a, int p1) {
    tarvikVdbeDelete(v);
    v = tarvikVdbeCreate(db);
    pushValue(a);
    add(op, p1, 4);
    add(OP_String, 0, 0, "no");
    add(OP_Goto, 0, 5);
    add(OP_String, 0, 0, "yes");
    return scalar();
  };
  EXPECT_EQ(ifTaken(OP_If, "n:2", 0), "yes");
  EXPECT_EQ(ifTaken(OP_If, "0", 0), "no");
  EXPECT_EQ(ifTaken(OP_If, "null", 1), "yes");
  EXPECT_EQ(ifTaken(OP_IfNot, "null", 1), "yes");
  EXPECT_EQ(ifTaken(OP_IfNot, "null", 0), "no");
  EXPECT_EQ(ifTaken(OP_IfNot, "n:0", 0), "yes");
}

// ------------------------------------------------------------------ control flow and errors

TEST_F(ExecTest, GosubNestsAHundredDeepAndNoMore) {
  for (int depth : {100, 101}) {
    tarvikVdbeDelete(v);
    v = tarvikVdbeCreate(db);
    // The subroutine at 4 calls itself until the counter turns positive:
    // `depth` nested calls in all, then as many returns.
    add(OP_Integer, 1 - depth);
    add(OP_MemStore, 0, 1);
    add(OP_Gosub, 0, 4);
    add(OP_Halt);
    add(OP_MemIncr, 0, 7);  // 4: reached zero -> 7
    add(OP_Gosub, 0, 4);    // 5
    add(OP_Return);         // 6
    add(OP_Return);         // 7
    RunResult r = run();
    if (depth == 100) {
      EXPECT_EQ(r.rc, TARVIK_OK) << r.msg;
    } else {
      EXPECT_EQ(r.rc, TARVIK_INTERNAL);
      EXPECT_EQ(r.msg, "return address stack overflow");
    }
  }
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_Return);
  RunResult r = run();
  EXPECT_EQ(r.rc, TARVIK_INTERNAL);
  EXPECT_EQ(r.msg, "return address stack underflow");
}

TEST_F(ExecTest, HaltCarriesCodeActionAndMessage) {
  add(OP_Halt, TARVIK_CONSTRAINT, OE_Fail, "column a is not unique");
  ready();
  EXPECT_EQ(tarvikVdbeExec(v), TARVIK_ERROR);
  EXPECT_EQ(v->errorAction, OE_Fail);
  EXPECT_EQ(v->magic, VDBE_MAGIC_HALT);
  EXPECT_EQ(tarvikVdbeExec(v), TARVIK_MISUSE);  // halted: not runnable
  char *z = nullptr;
  EXPECT_EQ(tarvikVdbeReset(v, &z), TARVIK_CONSTRAINT);
  EXPECT_STREQ(z, "column a is not unique");
  tarvikFree(z);
}

TEST_F(ExecTest, BadProgramsFailInsteadOfCorruptingMemory) {
  // A loop that pushes forever hits the end of the stack.
  add(OP_Integer, 1);
  add(OP_Goto, 0, 0);
  RunResult r = run();
  EXPECT_EQ(r.rc, TARVIK_INTERNAL);
  EXPECT_EQ(r.msg, "stack overflow");

  struct Bad {
    std::vector<std::tuple<int, int, int>> ops;
    const char *msg;
  } bad[] = {
      {{{OP_Pop, 1, 0}}, "stack underflow"},
      {{{OP_Add, 0, 0}}, "stack underflow"},
      {{{OP_Integer, 1, 0}, {OP_Dup, 1, 0}}, "stack underflow"},
      {{{OP_Callback, 2, 0}}, "stack underflow"},
      {{{200, 0, 0}}, "unknown opcode 200"},
      {{{OP_MemIncr, 3, 0}}, "memory cell out of range"},
      {{{OP_AggSet, 0, 0}}, "stack underflow"},
      {{{OP_Integer, 1, 0}, {OP_AggSet, 0, 5}}, "memory cell out of range"},
      {{{OP_Transaction, 7, 0}}, "no such database"},
      {{{OP_Integer, 1, 0}, {OP_SetCookie, 0, 9}}, "meta value index out of range"},
      {{{OP_ListPop, 0, 0}}, "key list stack underflow"},
      {{{OP_ContextPop, 0, 0}}, "context stack underflow"},
      {{{OP_ColumnName, 5, 1}}, "column index out of range"},
      {{{OP_String, 0, 0}, {OP_IncrKey, 0, 0}}, "malformed key"},
  };
  for (const Bad &b : bad) {
    tarvikVdbeDelete(v);
    v = tarvikVdbeCreate(db);
    for (auto [op, p1, p2] : b.ops) add(op, p1, p2);
    r = run();
    EXPECT_NE(r.rc, TARVIK_OK) << b.msg;
    EXPECT_EQ(r.msg, b.msg);
  }
}

TEST_F(ExecTest, ProgressCallbackRunsEveryNInstructionsAndCanAbort) {
  int calls = 0;
  int stopAt = 0;
  struct Arg {
    int *calls;
    int *stopAt;
  } arg{&calls, &stopAt};
  db->xProgress = [](void *p) {
    Arg *a = (Arg *)p;
    ++*a->calls;
    return *a->stopAt && *a->calls >= *a->stopAt ? 1 : 0;
  };
  db->pProgressArg = &arg;
  db->nProgressOps = 10;
  for (int i = 0; i < 24; i++) add(OP_Noop);
  RunResult r = run();  // 24 + the final Halt = 25 instructions
  EXPECT_EQ(r.rc, TARVIK_OK);
  EXPECT_EQ(calls, 2);

  calls = 0;
  stopAt = 1;
  r = run();
  EXPECT_EQ(r.rc, TARVIK_ABORT);
  EXPECT_EQ(r.msg, "callback requested query abort");
  db->xProgress = nullptr;
}

TEST_F(ExecTest, InterruptStopsAtStartAndInLoops) {
  db->flags |= TARVIK_Interrupt;
  add(OP_Noop);
  RunResult r = run();
  EXPECT_EQ(r.rc, TARVIK_INTERRUPT);
  EXPECT_EQ(r.msg, "interrupted");
  EXPECT_FALSE(db->flags & TARVIK_Interrupt);

  // An endless loop is stopped by the flag, set here by the progress hook.
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_Goto, 0, 0);
  db->xProgress = [](void *p) {
    ((tarvik *)p)->flags |= TARVIK_Interrupt;
    return 0;
  };
  db->pProgressArg = db;
  db->nProgressOps = 1000;
  r = run();
  EXPECT_EQ(r.rc, TARVIK_INTERRUPT);
  db->xProgress = nullptr;
}

TEST_F(ExecTest, TraceShowsEachInstructionAndTheStack) {
  FILE *f = tmpfile();
  ASSERT_NE(f, nullptr);
  tarvikVdbeTrace(v, f);
  add(OP_Integer, 5);
  add(OP_String, 0, 0, "a b\tc");
  add(OP_Integer, 6, 0, "6");
  RunResult r = run();
  EXPECT_EQ(r.rc, TARVIK_OK);
  std::string out(4096, '\0');
  rewind(f);
  out.resize(fread(out.data(), 1, out.size(), f));
  fclose(f);
  EXPECT_NE(out.find("   0 Integer         5    0 \nStack: i:5\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Stack: t[a.b.c] i:5\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Stack: si:6 t[a.b.c] i:5\n"), std::string::npos) << out;
}

// ------------------------------------------------------------------ functions

struct FuncLog {
  std::vector<std::string> args;
  int magicDuringCall = 0;
};

void fnJoin(tarvik_func *ctx, int argc, const char **argv) {
  auto *log = (FuncLog *)tarvik_user_data(ctx);
  std::string s;
  for (int i = 0; i < argc; i++) s += argv[i] ? argv[i] : "NULL", s += i + 1 < argc ? "|" : "";
  log->args.push_back(s);
  if (argc > 0 && argv[0] && strcmp(argv[0], "fail") == 0) {
    tarvik_set_result_error(ctx, "join refused", -1);
    return;
  }
  if (argc > 0 && argv[0] && strcmp(argv[0], "failnull") == 0) {
    tarvik_set_result_error(ctx, nullptr, 0);
    return;
  }
  tarvik_set_result_string(ctx, s.c_str(), -1);
}

TEST_F(ExecTest, ScalarFunctionsGetTextArgumentsAndMayFail) {
  FuncLog log;
  FuncDef def{};
  def.xFunc = fnJoin;
  def.nArg = -1;
  def.pUserData = &log;
  add(OP_Integer, 42);
  add(OP_String);
  add(OP_String, 0, 0, "x");
  addPtr(OP_Function, 3, 0, &def);
  add(OP_Callback, 1);
  RunResult r = run();
  ASSERT_EQ(r.rc, TARVIK_OK) << r.msg;
  EXPECT_EQ(r.rows, (std::vector<Row>{{"42|NULL|x"}}));

  for (auto [arg, msg] : {std::pair{"fail", "join refused"}, {"failnull", "user function error"}}) {
    tarvikVdbeDelete(v);
    v = tarvikVdbeCreate(db);
    add(OP_String, 0, 0, arg);
    addPtr(OP_Function, 1, 0, &def);
    r = run();
    EXPECT_EQ(r.rc, TARVIK_ERROR);
    EXPECT_EQ(r.msg, msg);
  }
  EXPECT_EQ(db->magic, TARVIK_MAGIC_BUSY);  // safety restored after each call
}

// ------------------------------------------------------------------ records and keys

TEST_F(ExecTest, RecordsAreByteExact) {
  add(OP_String, 0, 0, "a");
  add(OP_String);
  add(OP_String, 0, 0, "bc");
  add(OP_MakeRecord, 3, 0);
  EXPECT_EQ(runTop(), B({4, 6, 6, 9, 'a', 0, 'b', 'c', 0}));

  // Numbers are stored as their text.
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_Integer, 1);
  add(OP_Integer, -20);
  add(OP_MakeRecord, 2, 0);
  EXPECT_EQ(runTop(), B({3, 5, 9, '1', 0, '-', '2', '0', 0}));

  // 252 data bytes + 3 header bytes = 255: one-byte offsets; one more byte
  // switches to two-byte offsets.
  for (int extra : {0, 1}) {
    tarvikVdbeDelete(v);
    v = tarvikVdbeCreate(db);
    std::string f0(100, 'x'), f1(150 + extra, 'y');  // 101 + 151 + extra bytes with NULs
    tarvikVdbeOp3(v, OP_String, 0, 0, f0.c_str(), 0);
    tarvikVdbeOp3(v, OP_String, 0, 0, f1.c_str(), 0);
    add(OP_MakeRecord, 2, 0);
    std::string rec = runTop();
    if (extra == 0) {
      ASSERT_EQ(rec.size(), 255u);
      EXPECT_EQ(rec.substr(0, 3), B({3, 104, 255}));
    } else {
      ASSERT_EQ(rec.size(), 259u);
      EXPECT_EQ(rec.substr(0, 6), B({6, 0, 107, 0, 3, 1}));
    }
  }

  // Records over 64 KB use three-byte offsets.
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  std::string big(70000, 'b');
  tarvikVdbeOp3(v, OP_String, 0, 0, big.c_str(), 0);
  add(OP_MakeRecord, 1, 0);
  add(OP_Column, -1, 0);
  add(OP_Callback, 1);
  RunResult r = run();
  ASSERT_EQ(r.rows.size(), 1u);
  EXPECT_EQ(r.rows[0][0], big);
}

TEST_F(ExecTest, UniqueRecordsGetATagOnlyWithANull) {
  add(OP_String);
  add(OP_MakeRecord, 1, 1);
  add(OP_String);
  add(OP_MakeRecord, 1, 1);
  add(OP_String, 0, 0, "k");
  add(OP_MakeRecord, 1, 1);
  ready();
  ASSERT_EQ(tarvikVdbeExec(v), TARVIK_DONE);
  std::string r1(v->pTos[-2].z, v->pTos[-2].n), r2(v->pTos[-1].z, v->pTos[-1].n),
      r3(v->pTos[0].z, v->pTos[0].n);
  EXPECT_EQ(r1.size(), 6u);
  EXPECT_EQ(r1.substr(0, 2), B({6, 6}));
  EXPECT_NE(r1, r2);
  EXPECT_EQ(r3, B({2, 4, 'k', 0}));
}

TEST_F(ExecTest, ColumnReadsFieldsAndRejectsDamagedRecords) {
  add(OP_String, 0, 0, "a");
  add(OP_String);
  add(OP_String, 0, 0, "bc");
  add(OP_MakeRecord, 3, 0);
  add(OP_Column, -1, 2);
  add(OP_Column, -2, 1);
  add(OP_Column, -3, 0);
  add(OP_Callback, 3);
  RunResult r = run();
  ASSERT_EQ(r.rc, TARVIK_OK) << r.msg;
  EXPECT_EQ(r.rows, (std::vector<Row>{{"bc", kNull, "a"}}));

  // Damaged records read from the stack: an offset past the end, a field
  // without its NUL, a field index beyond the header.
  for (const char *zRec : {"\x02\x09z",
                           "\x02\x04"
                           "ab",
                           "\x02\x04z"}) {
    for (int field : {0, 5}) {
      tarvikVdbeDelete(v);
      v = tarvikVdbeCreate(db);
      add(OP_String, 0, 0, zRec);  // n counts the NUL, as a stored record would
      add(OP_Column, -1, field);
      add(OP_Callback, 1);
      r = run();
      if (strcmp(zRec, "\x02\x04z") == 0 && field == 0) {
        EXPECT_EQ(r.rc, TARVIK_OK);
        ASSERT_EQ(r.rows.size(), 1u);
        EXPECT_EQ(r.rows[0][0], "z");
      } else {
        EXPECT_EQ(r.rc, TARVIK_CORRUPT) << field;
        EXPECT_EQ(r.msg, "database disk image is malformed");
      }
    }
  }
}

TEST_F(ExecTest, KeysAreByteExact) {
  add(OP_String);
  add(OP_Integer, 1);
  add(OP_String, 0, 0, "x");
  add(OP_String, 0, 0, "1");
  add(OP_MakeKey, 4, 0, "nnnt");
  EXPECT_EQ(runTop(), std::string("a\0b0G1X\0cx\0c1\0", 14));

  // An index key ends with the row key; row 1 and row -1.
  for (auto [row, tail] : {std::pair{1, B({0x80, 0, 0, 1})}, {-1, B({0x7F, 0xFF, 0xFF, 0xFF})}}) {
    tarvikVdbeDelete(v);
    v = tarvikVdbeCreate(db);
    add(OP_Integer, row);
    add(OP_String, 0, 0, "2.5");
    add(OP_MakeIdxKey, 1, 0, "n");
    std::string key = runTop();
    char zNum[TARVIK_SORTABLE_SIZE];
    tarvikRealToSortable(2.5, zNum);
    EXPECT_EQ(key, "b" + std::string(zNum) + std::string(1, '\0') + tail);
  }

  // MakeKey with P2 keeps its operands; IncrKey bumps the final NUL.
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_String, 0, 0, "k");
  add(OP_MakeKey, 1, 1);
  add(OP_IncrKey);
  ready();
  ASSERT_EQ(tarvikVdbeExec(v), TARVIK_DONE);
  EXPECT_EQ(std::string(v->pTos->z, v->pTos->n), std::string("ck\x01", 3));
  EXPECT_STREQ(v->pTos[-1].z, "k");

  // MakeIdxKey jumps when a field is NULL (the key is still pushed);
  // IdxIsNull finds the NULL marker among the first P1 fields.
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_Integer, 3);
  add(OP_String, 0, 0, "x");
  add(OP_String);
  add(OP_MakeIdxKey, 2, 6);
  add(OP_String, 0, 0, "no jump");
  add(OP_Halt);
  add(OP_Dup);               // 6
  add(OP_IdxIsNull, 1, 10);  // first field is not NULL
  add(OP_IdxIsNull, 2, 11);  // second is
  add(OP_Halt);
  add(OP_Halt);                               // 10
  add(OP_String, 0, 0, "both checks right");  // 11
  EXPECT_EQ(runTop(), std::string("both checks right") + '\0');
}

// ------------------------------------------------------------------ cursors

class CursorTest : public ExecTest, public ::testing::WithParamInterface<Backend> {
 protected:
  void SetUp() override {
    ExecTest::SetUp();
    if (GetParam() == Backend::File) {
      tarvikBtreeClose(db->aDb[0].pBt);
      db->aDb[0].pBt = nullptr;
      openDb(Backend::File);
    }
  }

  // Creates a table (index) tree in a committed transaction; its root.
  int createTree(bool index) {
    Btree *pBt = db->aDb[0].pBt;
    int iRoot = 0;
    EXPECT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
    EXPECT_EQ(index ? tarvikBtreeCreateIndex(pBt, &iRoot) : tarvikBtreeCreateTable(pBt, &iRoot),
              TARVIK_OK);
    EXPECT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
    return iRoot;
  }

  void openCursor(int op, int iCur, int iRoot) {
    add(OP_Integer, 0);  // database
    add(op, iCur, iRoot, "t");
  }

  // Every (key, data) pair of a tree, read straight from the backend.
  std::vector<std::pair<std::string, std::string>> dump(int iRoot) {
    std::vector<std::pair<std::string, std::string>> out;
    BtCursor *pCur = nullptr;
    EXPECT_EQ(tarvikBtreeCursor(db->aDb[0].pBt, iRoot, 0, &pCur), TARVIK_OK);
    int res = 0;
    tarvikBtreeFirst(pCur, &res);
    while (res == 0) {
      out.emplace_back(tvtest::curKey(pCur), tvtest::curData(pCur));
      tarvikBtreeNext(pCur, &res);
    }
    tarvikBtreeCloseCursor(pCur);
    return out;
  }
};

TEST_P(CursorTest, InsertAndScanATableStoresRowKeysAndRecords) {
  int iRoot = createTree(false);
  add(OP_Transaction, 0);
  openCursor(OP_OpenWrite, 0, iRoot);
  for (const char *z : {"alpha", "beta", "gamma"}) {
    add(OP_NewRecno, 0);
    add(OP_String, 0, 0, z);
    add(OP_Integer, (int)strlen(z));
    add(OP_MakeRecord, 2, 0);
    add(OP_PutIntKey, 0, 3);
  }
  add(OP_Commit);
  RunResult r = run();
  ASSERT_EQ(r.rc, TARVIK_OK) << r.msg;
  EXPECT_EQ(db->nChange, 3);
  EXPECT_EQ(db->lastRowid, 3);
  EXPECT_EQ(db->aDb[0].inTrans, 0);

  auto rows = dump(iRoot);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].first, B({0x80, 0, 0, 1}));
  EXPECT_EQ(rows[0].second, B({3, 9, 11, 'a', 'l', 'p', 'h', 'a', 0, '5', 0}));
  EXPECT_EQ(rows[2].first, B({0x80, 0, 0, 3}));

  // Scan forwards with Rewind/Column/Recno/Next, and backwards with
  // Last/Prev.
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  openCursor(OP_OpenRead, 0, iRoot);
  int rewind = add(OP_Rewind, 0, 0);
  int top = add(OP_Recno, 0);
  add(OP_Column, 0, 0);
  add(OP_Column, 0, 1);
  cb(3);
  add(OP_Next, 0, top);
  patch(rewind);
  int last = add(OP_Last, 0, 0);
  int top2 = add(OP_Recno, 0);
  cb(1);
  add(OP_Prev, 0, top2);
  patch(last);
  add(OP_Close, 0);
  r = run();
  ASSERT_EQ(r.rc, TARVIK_OK) << r.msg;
  EXPECT_EQ(
      r.rows,
      (std::vector<Row>{
          {"1", "alpha", "5"}, {"2", "beta", "4"}, {"3", "gamma", "5"}, {"3"}, {"2"}, {"1"}}));
}

TEST_P(CursorTest, SeeksFindRowsAndDeferredSeeksResolveOnRead) {
  int iRoot = createTree(false);
  add(OP_Transaction, 0);
  openCursor(OP_OpenWrite, 0, iRoot);
  for (int row : {10, 20, 30}) {
    add(OP_Integer, row);
    add(OP_Integer, row * 2);
    add(OP_MakeRecord, 1, 0);
    add(OP_PutIntKey, 0, 0);
  }
  // Deferred MoveTo, then read.
  add(OP_Integer, 20);
  add(OP_MoveTo, 0, 0);
  add(OP_Recno, 0);
  add(OP_Column, 0, 0);
  cb(2);
  // MoveTo 25 lands on 30; MoveLt 25 lands on 20.
  add(OP_Integer, 25);
  add(OP_MoveTo, 0, 1000);
  add(OP_Recno, 0);
  add(OP_Integer, 25);
  add(OP_MoveLt, 0, 1000);
  add(OP_Recno, 0);
  cb(2);
  // NotExists 15 jumps; NotExists 30 does not, and reads the row.
  add(OP_Integer, 15);
  int j = add(OP_NotExists, 0, 0);
  add(OP_String, 0, 0, "15 exists?");
  cb(1);
  patch(j);
  add(OP_Integer, 30);
  add(OP_NotExists, 0, 0);
  add(OP_Column, 0, 0);
  cb(1);
  // MoveTo past the end jumps; Delete the row found; Found/NotFound.
  add(OP_Integer, 31);
  int mv = add(OP_MoveTo, 0, 0);
  add(OP_String, 0, 0, "not past the end");
  cb(1);
  patch(mv);
  add(OP_Integer, 20);
  add(OP_NotExists, 0, 0);
  add(OP_Delete, 0, 1);
  add(OP_Commit);
  for (int i = 0; i < v->nOp; i++) {
    if (v->aOp[i].opcode == OP_MoveTo || v->aOp[i].opcode == OP_MoveLt) {
      if (v->aOp[i].p2 == 1000) v->aOp[i].p2 = v->nOp - 1;
    }
  }
  RunResult r = run();
  ASSERT_EQ(r.rc, TARVIK_OK) << r.msg;
  EXPECT_EQ(r.rows, (std::vector<Row>{{"20", "40"}, {"30", "20"}, {"60"}}));
  EXPECT_EQ(db->nChange, 1);
  EXPECT_EQ(dump(iRoot).size(), 2u);

  // MoveLt on an empty table jumps.
  int iEmpty = createTree(false);
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  openCursor(OP_OpenRead, 1, iEmpty);
  add(OP_Integer, 5);
  int mlt = add(OP_MoveLt, 1, 0);
  add(OP_String, 0, 0, "no jump");
  add(OP_Halt);
  patch(mlt);
  add(OP_String, 0, 0, "jumped");
  cb(1);
  r = run();
  EXPECT_EQ(r.rows, (std::vector<Row>{{"jumped"}}));
}

TEST_P(CursorTest, NewRecnoCountsUpAndGoesRandomAtTheTop) {
  int iRoot = createTree(false);
  add(OP_Transaction, 0);
  openCursor(OP_OpenWrite, 0, iRoot);
  add(OP_NewRecno, 0);
  cb(1);  // empty: 1
  for (int row = 1; row <= 5; row++) {
    add(OP_Integer, row);
    add(OP_String, 0, 0, "");
    add(OP_PutIntKey, 0, 0);
  }
  add(OP_NewRecno, 0);
  add(OP_NewRecno, 0);
  cb(2);
  add(OP_Integer, INT_MAX);
  add(OP_String);
  add(OP_PutIntKey, 0, 0);
  add(OP_Close, 0);
  openCursor(OP_OpenWrite, 0, iRoot);
  for (int i = 0; i < 20; i++) {
    add(OP_NewRecno, 0);
    add(OP_Dup, 0, 0);
    cb(1);
    add(OP_String);
    add(OP_PutIntKey, 0, 0);
  }
  add(OP_Commit);
  RunResult r = run();
  ASSERT_EQ(r.rc, TARVIK_OK) << r.msg;
  ASSERT_EQ(r.rows.size(), 22u);
  EXPECT_EQ(r.rows[0], (Row{"1"}));
  // The first call reads the tree, the second the cached successor.
  EXPECT_EQ(r.rows[1], (Row{"6", "7"}));
  std::set<std::string> seen;
  for (size_t i = 2; i < r.rows.size(); i++) {
    int n = atoi(r.rows[i][0].c_str());
    EXPECT_NE(n, 0);
    EXPECT_TRUE(n < 1 || n > 5) << n;
    EXPECT_NE(n, INT_MAX);
    EXPECT_TRUE(seen.insert(r.rows[i][0]).second) << "reused " << n;
  }
  EXPECT_EQ(dump(iRoot).size(), 26u);
}

TEST_P(CursorTest, IndexInsertScanUniquenessAndDelete) {
  int iIdx = createTree(true);
  add(OP_Transaction, 0);
  openCursor(OP_OpenWrite, 0, iIdx);
  // (x, row 5), (y, row 6), (x, row 7)
  for (auto [val, row] : {std::pair{"x", 5}, {"y", 6}, {"x", 7}}) {
    add(OP_Integer, row);
    add(OP_String, 0, 0, val);
    add(OP_MakeIdxKey, 1, 0, "t");
    add(OP_IdxPut, 0, 0);
  }
  // IsUnique: (x, row 5) is the row itself: jump; (x, row 6) pushes 5 (or 7).
  add(OP_Integer, 5);
  add(OP_String, 0, 0, "x");
  add(OP_MakeIdxKey, 1, 0, "t");
  add(OP_Integer, 5);
  int u1 = add(OP_IsUnique, 0, 0);
  add(OP_String, 0, 0, "not unique?");
  add(OP_Callback, 1);
  patch(u1);
  add(OP_Pop, 1);
  add(OP_Integer, 6);
  add(OP_String, 0, 0, "x");
  add(OP_MakeIdxKey, 1, 0, "t");
  add(OP_Integer, 6);
  int u2 = add(OP_IsUnique, 0, 0);
  add(OP_Callback, 1);  // the conflicting row number
  add(OP_Pop, 1);
  int skip = add(OP_Goto, 0, 0);
  patch(u2);
  add(OP_String, 0, 0, "unique?");
  add(OP_Callback, 1);
  patch(skip);
  // Range scan of the x entries: MoveTo key(x), loop while IdxGT fails.
  add(OP_String, 0, 0, "x");
  add(OP_MakeKey, 1, 0, "t");
  add(OP_MoveTo, 0, 0);
  int loop = add(OP_String, 0, 0, "x");
  add(OP_MakeKey, 1, 0, "t");
  int gt = add(OP_IdxGT, 0, 0);
  add(OP_IdxRecno, 0);
  add(OP_Callback, 1);
  add(OP_Next, 0, loop);
  patch(gt);
  // Delete (y, 6).
  add(OP_Integer, 6);
  add(OP_String, 0, 0, "y");
  add(OP_MakeIdxKey, 1, 0, "t");
  add(OP_IdxDelete, 0);
  add(OP_Commit);
  RunResult r = run();
  ASSERT_EQ(r.rc, TARVIK_OK) << r.msg;
  ASSERT_EQ(r.rows.size(), 3u);
  EXPECT_TRUE(r.rows[0][0] == "5" || r.rows[0][0] == "7") << r.rows[0][0];
  EXPECT_EQ(r.rows[1], (Row{"5"}));
  EXPECT_EQ(r.rows[2], (Row{"7"}));
  auto entries = dump(iIdx);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].first, std::string("cx\0", 3) + B({0x80, 0, 0, 5}));
  EXPECT_EQ(entries[0].second, "");

  // A unique index refuses a second entry with the same fields.
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_Transaction, 0);
  openCursor(OP_OpenWrite, 0, iIdx);
  add(OP_Integer, 9);
  add(OP_String, 0, 0, "x");
  add(OP_MakeIdxKey, 1, 0, "t");
  add(OP_IdxPut, 0, 1, "column v is not unique");
  add(OP_Commit);
  r = run();
  EXPECT_EQ(r.rc, TARVIK_CONSTRAINT);
  EXPECT_EQ(r.msg, "column v is not unique");
  tarvikBtreeRollback(db->aDb[0].pBt);
  db->aDb[0].inTrans = 0;
}

TEST_P(CursorTest, TemporaryAndPseudoTables) {
  for (int store : {2, 1}) {
    db->temp_store = (u8)store;
    tarvikVdbeDelete(v);
    v = tarvikVdbeCreate(db);
    add(OP_OpenTemp, 3, 0);
    add(OP_OpenTemp, 4, 1);
    for (int i = 3; i >= 1; i--) {
      add(OP_Integer, i);
      add(OP_Integer, i * 11);
      add(OP_MakeRecord, 1, 0);
      add(OP_PutIntKey, 3, 0);
    }
    int rw = add(OP_Rewind, 3, 0);
    int top = add(OP_Column, 3, 0);
    cb(1);
    add(OP_Next, 3, top);
    patch(rw);
    // Pseudo table: one row, visible after Rewind, gone after Next.
    add(OP_OpenPseudo, 5);
    add(OP_Integer, 77);
    add(OP_String, 0, 0, "p");
    add(OP_MakeRecord, 1, 0);
    add(OP_PutIntKey, 5, 0);
    add(OP_Rewind, 5, 0);
    add(OP_Recno, 5);
    add(OP_Column, 5, 0);
    add(OP_RowData, 5);
    add(OP_Pop, 1);
    cb(2);
    add(OP_Next, 5, 0);
    add(OP_Column, 5, 0);
    cb(1);
    add(OP_Close, 3);
    add(OP_Close, 4);
    RunResult r = run();
    ASSERT_EQ(r.rc, TARVIK_OK) << r.msg;
    EXPECT_EQ(r.rows, (std::vector<Row>{{"11"}, {"22"}, {"33"}, {"77", "p"}, {kNull}}))
        << "temp_store " << store;
  }
}

TEST_P(CursorTest, TreesCookiesAndTransactions) {
  int iRoot = 0;
  add(OP_Transaction, 0);
  add(OP_Transaction, 0);  // already open: nothing
  addPtr(OP_CreateTable, 0, 0, &iRoot);
  add(OP_Integer, 41);
  add(OP_SetCookie, 0, 0);
  add(OP_ReadCookie, 0, 0);
  add(OP_Callback, 2);
  add(OP_VerifyCookie, 0, 41);
  add(OP_Commit);
  RunResult r = run();
  ASSERT_EQ(r.rc, TARVIK_OK) << r.msg;
  EXPECT_GT(iRoot, 2);
  ASSERT_EQ(r.rows.size(), 1u);
  EXPECT_EQ(r.rows[0], (Row{std::to_string(iRoot), "41"}));
  EXPECT_EQ(v->aOp[2].p3, nullptr);  // the root was handed over once

  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_VerifyCookie, 0, 40);
  r = run();
  EXPECT_EQ(r.rc, TARVIK_SCHEMA);
  EXPECT_EQ(r.msg, "database schema has changed");

  // The commit hook can refuse: everything is rolled back.
  db->xCommitCallback = [](void *) { return 1; };
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_Transaction, 0);
  add(OP_Clear, iRoot, 0);
  add(OP_Destroy, iRoot, 0);
  add(OP_Integer, 99);
  add(OP_SetCookie, 0, 0);
  add(OP_Commit);
  r = run();
  EXPECT_EQ(r.rc, TARVIK_CONSTRAINT);
  db->xCommitCallback = nullptr;
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_ReadCookie, 0, 0);
  add(OP_Callback, 1);
  r = run();
  // The memory backend keeps meta values out of its undo log.
  const char *zCookie = GetParam() == Backend::File ? "41" : "99";
  EXPECT_EQ(r.rows, (std::vector<Row>{{zCookie}}));

  // Integrity check over the set of roots.
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_SetInsert, 0, 0, "2");
  std::string zRoot = std::to_string(iRoot);
  tarvikVdbeOp3(v, OP_SetInsert, 0, 0, zRoot.c_str(), 0);
  add(OP_IntegrityCk, 0, 0);
  add(OP_Callback, 1);
  r = run();
  EXPECT_EQ(r.rows, (std::vector<Row>{{"ok"}}));
}

TEST_P(CursorTest, AFailedStatementRollsBackOnlyItsCheckpoint) {
  int iRoot = createTree(false);
  auto insertRow = [&](int row) {
    add(OP_Integer, row);
    add(OP_String, 0, 0, "r");
    add(OP_PutIntKey, 0, 0);
  };
  // Statement 1 opens the transaction (as BEGIN would leave it).
  add(OP_Transaction, 0);
  openCursor(OP_OpenWrite, 0, iRoot);
  insertRow(1);
  RunResult r = run();
  ASSERT_EQ(r.rc, TARVIK_OK) << r.msg;
  ASSERT_EQ(db->aDb[0].inTrans, 1);

  // Statement 2 inside it: checkpoint, insert, fail with the abort action.
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_Transaction, 0);  // already open: leaves undoTransOnError clear
  add(OP_Checkpoint, 0);
  openCursor(OP_OpenWrite, 0, iRoot);
  insertRow(2);
  add(OP_Halt, TARVIK_CONSTRAINT, OE_Abort);
  r = run();
  EXPECT_EQ(r.rc, TARVIK_CONSTRAINT);
  EXPECT_EQ(db->aDb[0].inTrans, 1);
  EXPECT_EQ(dump(iRoot).size(), 1u);

  // Statement 3 succeeds: its checkpoint is committed, the transaction
  // stays open until Commit.
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_Checkpoint, 0);
  openCursor(OP_OpenWrite, 0, iRoot);
  insertRow(3);
  r = run();
  EXPECT_EQ(r.rc, TARVIK_OK) << r.msg;
  EXPECT_EQ(db->aDb[0].inTrans, 1);
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_Commit);
  r = run();
  EXPECT_EQ(r.rc, TARVIK_OK) << r.msg;
  EXPECT_EQ(db->aDb[0].inTrans, 0);
  auto rows = dump(iRoot);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[1].first, B({0x80, 0, 0, 3}));
}

TEST_P(CursorTest, KeysAsDataTextKeysAndMembershipTests) {
  add(OP_OpenTemp, 0, 0);
  // Text keys in a temporary table: PutStrKey, Found/NotFound/Distinct.
  for (const char *k : {"k1", "k2"}) {
    add(OP_String, 0, 0, k);
    add(OP_String, 0, 0, "data");
    add(OP_PutStrKey, 0, 0);
  }
  add(OP_String, 0, 0, "k2");
  int f = add(OP_Found, 0, 0);
  add(OP_String, 0, 0, "k2 missing");
  cb(1);
  patch(f);
  add(OP_String, 0, 0, "k3");
  int d = add(OP_Distinct, 0, 0);  // absent: jumps, the key stays
  add(OP_String, 0, 0, "k3 present");
  cb(1);
  patch(d);
  cb(1);  // the key left by Distinct
  add(OP_String, 0, 0, "k1");
  int nf = add(OP_NotFound, 0, 0);
  add(OP_RowKey, 0);
  add(OP_RowData, 0);
  cb(2);
  patch(nf);
  // Reading keys as records: a temporary table keyed by records.
  add(OP_OpenTemp, 1, 0);
  add(OP_String, 0, 0, "x");
  add(OP_String, 0, 0, "y");
  add(OP_MakeRecord, 2, 0);
  add(OP_String, 0, 0, "payload");
  add(OP_PutStrKey, 1, 0);
  add(OP_KeyAsData, 1, 1);
  add(OP_Rewind, 1, 0);
  add(OP_Column, 1, 1);
  add(OP_Column, 1, 0);
  add(OP_FullKey, 1);
  add(OP_Column, -1, 1);  // the same field from the key on the stack
  add(OP_Push, 1);        // replaces the key
  cb(3);
  add(OP_NullRow, 1);
  add(OP_Column, 1, 0);
  add(OP_Recno, 1);
  add(OP_RowKey, 1);
  cb(3);
  RunResult r = run();
  ASSERT_EQ(r.rc, TARVIK_OK) << r.msg;
  EXPECT_EQ(r.rows,
            (std::vector<Row>{{"k3"}, {"k1", "data"}, {"y", "x", "y"}, {kNull, kNull, kNull}}));

  // Opening errors: a root page below 2, a negative cursor number.
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_Integer, 1);
  add(OP_Integer, 0);
  add(OP_OpenRead, 0, 0);
  r = run();
  EXPECT_EQ(r.rc, TARVIK_INTERNAL);
  EXPECT_EQ(r.msg, "root page number less than 2");
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_Rewind, -1, 0);
  r = run();
  EXPECT_EQ(r.msg, "bad cursor number");
}

TEST_P(CursorTest, ABusyDatabaseIsResumableOrGoesToTheBusyHandler) {
  if (GetParam() != Backend::File) GTEST_SKIP() << "locks are a property of files";
  createTree(false);  // the file has its first page
  Btree *pOther = nullptr;
  ASSERT_EQ(tarvikBtreeOpen(zPath.c_str(), 0, 100, &pOther), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeBeginTrans(pOther), TARVIK_OK);

  add(OP_Transaction, 0);
  add(OP_String, 0, 0, "in");
  add(OP_Callback, 1);
  add(OP_Commit);
  ready();
  EXPECT_EQ(tarvikVdbeExec(v), TARVIK_BUSY);
  EXPECT_EQ(v->magic, VDBE_MAGIC_RUN);
  EXPECT_EQ(tarvikVdbeExec(v), TARVIK_BUSY);  // the same instruction again
  ASSERT_EQ(tarvikBtreeRollback(pOther), TARVIK_OK);
  ASSERT_EQ(tarvikVdbeExec(v), TARVIK_ROW);
  EXPECT_STREQ(v->azResColumn[0], "in");
  EXPECT_EQ(tarvikVdbeExec(v), TARVIK_DONE);
  char *z = nullptr;
  EXPECT_EQ(tarvikVdbeReset(v, &z), TARVIK_OK);
  tarvikFree(z);

  // With a busy handler: called with "" and a rising count until it gives up.
  struct Seen {
    int calls = 0;
    std::string zName;
  } seen;
  db->pBusyArg = &seen;
  db->xBusyCallback = [](void *p, const char *zName, int n) {
    auto *s = (Seen *)p;
    s->calls++;
    s->zName = zName;
    EXPECT_EQ(n, s->calls);
    return n < 3 ? 1 : 0;
  };
  ASSERT_EQ(tarvikBtreeBeginTrans(pOther), TARVIK_OK);
  RunResult r = run();
  EXPECT_EQ(r.rc, TARVIK_BUSY);
  EXPECT_EQ(r.msg, "database is locked");
  EXPECT_EQ(seen.calls, 3);
  EXPECT_EQ(seen.zName, "");
  db->xBusyCallback = nullptr;
  tarvikBtreeRollback(pOther);
  tarvikBtreeClose(pOther);
}

INSTANTIATE_TEST_SUITE_P(Backends, CursorTest, ::testing::Values(Backend::Memory, Backend::File),
                         [](const auto &info) {
                           return info.param == Backend::Memory ? "Memory" : "File";
                         });

// ------------------------------------------------------------------ sorting

TEST_F(ExecTest, SortKeysAndStableReverseOrderOfTies) {
  add(OP_String);
  add(OP_String, 0, 0, "abc");
  add(OP_SortMakeKey, 0, 0, "+A");
  EXPECT_EQ(runTop(), std::string("N\0Aabc\0\0", 8));

  // Keys 2, 1, 2 ascending: 1, then the two 2s in reverse insertion order.
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  for (auto [key, tag] : {std::pair{"2", "first"}, {"1", "one"}, {"2", "second"}}) {
    add(OP_String, 0, 0, tag);
    add(OP_SortMakeRec, 1);
    add(OP_String, 0, 0, key);
    add(OP_SortMakeKey, 0, 0, "+");
    add(OP_SortPut);
  }
  add(OP_Sort);
  int top = add(OP_SortNext, 0, 0);
  add(OP_SortCallback, 1);
  add(OP_Goto, 0, top);
  patch(top);
  RunResult r = run();
  ASSERT_EQ(r.rc, TARVIK_OK) << r.msg;
  EXPECT_EQ(r.rows, (std::vector<Row>{{"one"}, {"second"}, {"first"}}));
}

TEST_F(ExecTest, SortDirectionsAndTypes) {
  // Two key columns: '-' numeric descending, then 'A' text ascending.
  struct In {
    const char *k1, *k2;
  } in[] = {{"9", "b"}, {"10", "a"}, {nullptr, "z"}, {"10", "10"}, {"10", "9"}, {"abc", "x"}};
  for (const In &e : in) {
    e.k1 ? add(OP_String, 0, 0, e.k1) : add(OP_String);
    add(OP_String, 0, 0, e.k2);
    add(OP_SortMakeRec, 2);
    e.k1 ? add(OP_String, 0, 0, e.k1) : add(OP_String);
    add(OP_String, 0, 0, e.k2);
    add(OP_SortMakeKey, 0, 0, "-A");
    add(OP_SortPut);
  }
  add(OP_Sort);
  int top = add(OP_SortNext, 0, 0);
  add(OP_SortCallback, 2);
  add(OP_Goto, 0, top);
  patch(top);
  RunResult r = run();
  ASSERT_EQ(r.rc, TARVIK_OK) << r.msg;
  EXPECT_EQ(r.rows,
            (std::vector<Row>{
                {"abc", "x"}, {"10", "10"}, {"10", "9"}, {"10", "a"}, {"9", "b"}, {kNull, "z"}}));

  // SortReset drops what was put.
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_String, 0, 0, "d");
  add(OP_String, 0, 0, "k");
  add(OP_SortPut);
  add(OP_SortReset);
  add(OP_SortNext, 0, 6);
  add(OP_String, 0, 0, "left over");
  add(OP_Noop);
  r = run();
  EXPECT_EQ(r.rc, TARVIK_OK);
}

// ------------------------------------------------------------------ aggregates

// sum() of integers with a 40-byte state (heap) or an 8-byte one (inline).
struct SumState {
  long long sum;
  char pad[32];
};
template <int N>
void sumStep(tarvik_func *ctx, int argc, const char **argv) {
  auto *s = (SumState *)tarvik_aggregate_context(ctx, N);
  if (argc > 0 && argv[0] && strcmp(argv[0], "bad") == 0) {
    tarvik_set_result_error(ctx, "bad input to sum", -1);
    return;
  }
  if (s && argc > 0 && argv[0]) s->sum += atoi(argv[0]);
}
template <int N>
void sumFinal(tarvik_func *ctx) {
  auto *s = (SumState *)tarvik_aggregate_context(ctx, N);
  char z[64];
  snprintf(z, sizeof z, "%lld/%d", s ? s->sum : 0, tarvik_aggregate_count(ctx));
  tarvik_set_result_string(ctx, z, -1);
}

TEST_F(ExecTest, GroupedAggregatesWithUserFunctions) {
  FuncDef heapSum{}, shortSum{};
  heapSum.xStep = sumStep<40>;
  heapSum.xFinalize = sumFinal<40>;
  shortSum.xStep = sumStep<8>;
  shortSum.xFinalize = sumFinal<8>;
  // cell 0: group key copy; cell 1: heap sum; cell 2: inline sum.
  add(OP_AggReset, 0, 3);
  addPtr(OP_AggInit, 0, 1, &heapSum);
  addPtr(OP_AggInit, 0, 2, &shortSum);
  struct In {
    const char *g;
    int x;
  } in[] = {{"a", 1}, {"b", 10}, {"a", 2}, {"a", 3}, {"b", 20}};
  for (const In &e : in) {
    add(OP_String, 0, 0, e.g);
    int focus = add(OP_AggFocus, 0, 0);
    add(OP_String, 0, 0, e.g);
    add(OP_AggSet, 0, 0);
    patch(focus);
    add(OP_Integer, e.x);
    add(OP_Integer, 1);
    addPtr(OP_AggFunc, 0, 1, &heapSum);
    add(OP_Integer, e.x * 100);
    add(OP_Integer, 2);
    addPtr(OP_AggFunc, 0, 1, &shortSum);
  }
  int next = add(OP_AggNext, 0, 0);
  add(OP_AggGet, 0, 0);
  add(OP_AggGet, 0, 1);
  add(OP_AggGet, 0, 2);
  add(OP_Callback, 3);
  add(OP_Goto, 0, next);
  patch(next);
  RunResult r = run();
  ASSERT_EQ(r.rc, TARVIK_OK) << r.msg;
  std::sort(r.rows.begin(), r.rows.end());
  EXPECT_EQ(r.rows, (std::vector<Row>{{"a", "6/3", "600/3"}, {"b", "30/2", "3000/2"}}));

  // No rows and no GROUP BY: AggNext jumps at once; AggGet makes the one
  // empty group.
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_AggReset, 0, 1);
  add(OP_AggNext, 0, 3);
  add(OP_String, 0, 0, "a group?");
  add(OP_AggGet, 0, 0);
  add(OP_Callback, 1);
  r = run();
  EXPECT_EQ(r.rows, (std::vector<Row>{{kNull}}));

  // A step error fails the statement with the function's message; groups
  // left unfinalized are finalized by the reset so their state is freed.
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_AggReset, 0, 1);
  addPtr(OP_AggInit, 0, 0, &heapSum);
  add(OP_Integer, 5);
  add(OP_Integer, 0);
  addPtr(OP_AggFunc, 0, 1, &heapSum);
  add(OP_String, 0, 0, "bad");
  add(OP_Integer, 0);
  addPtr(OP_AggFunc, 0, 1, &heapSum);
  r = run();
  EXPECT_EQ(r.rc, TARVIK_ERROR);
  EXPECT_EQ(r.msg, "bad input to sum");
}

// ------------------------------------------------------------------ sets, key lists, contexts

TEST_F(ExecTest, SetsHoldTextsAndIterate) {
  add(OP_SetInsert, 1, 0, "red");
  add(OP_Integer, 7);
  add(OP_SetInsert, 1, 0);
  add(OP_SetInsert, 1, 0, "red");  // again: still one member
  add(OP_String, 0, 0, "7");
  int f1 = add(OP_SetFound, 1, 0);
  add(OP_String, 0, 0, "7 missing");
  add(OP_Callback, 1);
  patch(f1);
  add(OP_String, 0, 0, "blue");
  int f2 = add(OP_SetNotFound, 1, 0);
  add(OP_String, 0, 0, "blue present");
  add(OP_Callback, 1);
  patch(f2);
  add(OP_String, 0, 0, "x");
  int f3 = add(OP_SetNotFound, 5, 0);  // no such set: not found
  add(OP_String, 0, 0, "found in a missing set");
  add(OP_Callback, 1);
  patch(f3);
  add(OP_SetFirst, 0, 0);  // set 0 exists (made with 1) but is empty
  int first = tarvikVdbeCurrentAddr(v) - 1;
  add(OP_String, 0, 0, "set 0 not empty");
  add(OP_Callback, 1);
  patch(first);
  int sf = add(OP_SetFirst, 1, 0);
  int loop = add(OP_Callback, 1);
  add(OP_SetNext, 1, loop);
  patch(sf);
  RunResult r = run();
  ASSERT_EQ(r.rc, TARVIK_OK) << r.msg;
  std::sort(r.rows.begin(), r.rows.end());
  EXPECT_EQ(r.rows, (std::vector<Row>{{"7"}, {"red"}}));

  // One member: SetNext after SetFirst continues without jumping.
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_SetInsert, 0, 0, "only");
  add(OP_SetFirst, 0, 5);
  add(OP_SetNext, 0, 5);
  add(OP_Callback, 1);
  add(OP_Halt);
  add(OP_String, 0, 0, "jumped");  // 5
  add(OP_Callback, 1);
  r = run();
  EXPECT_EQ(r.rows, (std::vector<Row>{{"only"}}));
}

TEST_F(ExecTest, KeyListsBufferRowNumbersInOrder) {
  // 2500 integers: three blocks; read back in write order, then the jump.
  add(OP_Integer, 0);
  add(OP_MemStore, 0, 1);
  int w = add(OP_MemLoad, 0);
  add(OP_ListWrite);
  add(OP_MemLoad, 0);
  add(OP_AddImm, 1);
  add(OP_Dup, 0);
  add(OP_MemStore, 0, 1);
  add(OP_Integer, 2500);
  add(OP_Lt, 0, w);
  add(OP_ListRewind);
  // Save the list, make a small one, restore: reading sees the saved one.
  add(OP_ListPush);
  add(OP_Integer, -1);
  add(OP_ListWrite);
  add(OP_ListPop);
  add(OP_Integer, 0);
  add(OP_MemStore, 1, 1);  // expected next value
  int rd = add(OP_ListRead, 0, 0);
  add(OP_MemLoad, 1);
  int eq = add(OP_Eq, 0, 0);
  add(OP_Halt, TARVIK_INTERNAL, 0, "out of order");
  patch(eq);
  add(OP_MemIncr, 1, 0);
  add(OP_Goto, 0, rd);
  patch(rd);
  add(OP_MemLoad, 1);
  add(OP_Callback, 1);
  RunResult r = run();
  ASSERT_EQ(r.rc, TARVIK_OK) << r.msg;
  EXPECT_EQ(r.rows, (std::vector<Row>{{"2500"}}));

  // ContextPush/Pop save and restore the counters.
  db->lastRowid = 5;
  db->lsChange = 6;
  db->csChange = 7;
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_ContextPush);
  add(OP_SetCounts);
  add(OP_ContextPop);
  r = run();
  EXPECT_EQ(r.rc, TARVIK_OK);
  EXPECT_EQ(db->lastRowid, 5);
  EXPECT_EQ(db->lsChange, 6);
  EXPECT_EQ(db->csChange, 7);
}

// ------------------------------------------------------------------ COPY input

TEST_F(ExecTest, CopyInputSplitsFieldsAndEscapes) {
  char zTmpl[] = "/tmp/tarvik_copy_XXXXXX";
  int fd = mkstemp(zTmpl);
  ASSERT_GE(fd, 0);
  const char zData[] =
      "a\tb\n"
      "a\tb\tc\n"
      "\t\n"
      "\\N\tx\n"
      "t\\tab\tend\\\n"
      "continued\r\n"
      "only\n"
      "\\N\n"
      "\\\\\\N\t\\b\\f\\n\\r\\v\\q\n"
      "\n"
      "never read\n";
  ASSERT_EQ(write(fd, zData, sizeof(zData) - 1), (ssize_t)(sizeof(zData) - 1));
  close(fd);
  add(OP_FileOpen, 0, 0, zTmpl);
  int rd = add(OP_FileRead, 2, 0);
  add(OP_FileColumn, 0);
  add(OP_FileColumn, 1);
  add(OP_FileColumn, 2);  // beyond the fields: NULL
  add(OP_Callback, 3);
  add(OP_Goto, 0, rd);
  patch(rd);
  RunResult r = run();
  unlink(zTmpl);
  ASSERT_EQ(r.rc, TARVIK_OK) << r.msg;
  EXPECT_EQ(r.rows, (std::vector<Row>{{"a", "b", kNull},
                                      {"a", "b", kNull},
                                      {"", "", kNull},
                                      {kNull, "x", kNull},
                                      {"t\tab", "end\ncontinued", kNull},
                                      {"only", kNull, kNull},
                                      {kNull, kNull, kNull},
                                      {"\\N", "\b\f\n\r\vq", kNull}}));

  // "\." ends the input too; a custom delimiter.
  char zTmpl2[] = "/tmp/tarvik_copy_XXXXXX";
  fd = mkstemp(zTmpl2);
  const char zData2[] = "1::2::3\n\\.\nlater\n";
  ASSERT_EQ(write(fd, zData2, sizeof(zData2) - 1), (ssize_t)(sizeof(zData2) - 1));
  close(fd);
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_FileOpen, 0, 0, zTmpl2);
  rd = add(OP_FileRead, 3, 0, "::");
  add(OP_FileColumn, 0);
  add(OP_FileColumn, 1);
  add(OP_FileColumn, 2);
  add(OP_Callback, 3);
  add(OP_Goto, 0, rd);
  patch(rd);
  r = run();
  unlink(zTmpl2);
  EXPECT_EQ(r.rows, (std::vector<Row>{{"1", "2", "3"}}));

  // An empty delimiter counts as a tab.
  char zTmpl3[] = "/tmp/tarvik_copy_XXXXXX";
  fd = mkstemp(zTmpl3);
  ASSERT_EQ(write(fd, "p\tq\n", 4), 4);
  close(fd);
  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_FileOpen, 0, 0, zTmpl3);
  rd = add(OP_FileRead, 2, 0, "");
  add(OP_FileColumn, 0);
  add(OP_FileColumn, 1);
  add(OP_Callback, 2);
  add(OP_Goto, 0, rd);
  patch(rd);
  r = run();
  unlink(zTmpl3);
  EXPECT_EQ(r.rows, (std::vector<Row>{{"p", "q"}}));

  tarvikVdbeDelete(v);
  v = tarvikVdbeCreate(db);
  add(OP_FileOpen, 0, 0, "/nonexistent/dir/file");
  r = run();
  EXPECT_EQ(r.rc, TARVIK_ERROR);
  EXPECT_EQ(r.msg, "unable to open file: /nonexistent/dir/file");
}

// ------------------------------------------------------------------ allocation failures

// A program touching most kinds of run storage; it must fail cleanly at
// every allocation and succeed once allocations do.
void buildWorkout(ExecTest *t, Vdbe *v, FuncDef *pSum) {
  auto add = [&](int op, int p1 = 0, int p2 = 0, const char *p3 = nullptr) {
    return tarvikVdbeOp3(v, op, p1, p2, p3, p3 ? P3_STATIC : 0);
  };
  (void)t;
  std::string longText(50, 'w');
  add(OP_OpenTemp, 0, 0);
  for (int i = 0; i < 3; i++) {
    add(OP_Integer, i + 1);
    tarvikVdbeOp3(v, OP_String, 0, 0, longText.c_str(), 0);
    add(OP_Integer, i);
    add(OP_MakeRecord, 2, 0);
    add(OP_PutIntKey, 0, 0);
    add(OP_Integer, i);
    add(OP_ListWrite);
    add(OP_Integer, i);
    add(OP_SetInsert, 0, 0);
  }
  add(OP_AggReset, 0, 1);
  tarvikVdbeOp3(v, OP_AggInit, 0, 0, (const char *)pSum, P3_POINTER);
  int rw = add(OP_Rewind, 0, 0);
  int top = add(OP_Column, 0, 0);
  add(OP_Column, 0, 1);
  add(OP_SortMakeRec, 2);
  add(OP_Column, 0, 1);
  add(OP_SortMakeKey, 0, 0, "-");
  add(OP_SortPut);
  add(OP_Column, 0, 1);
  add(OP_Integer, 0);
  tarvikVdbeOp3(v, OP_AggFunc, 0, 1, (const char *)pSum, P3_POINTER);
  add(OP_Next, 0, top);
  tarvikVdbeChangeP2(v, rw, tarvikVdbeCurrentAddr(v));
  add(OP_Sort);
  int sn = add(OP_SortNext, 0, 0);
  add(OP_SortCallback, 2);
  add(OP_Goto, 0, sn);
  tarvikVdbeChangeP2(v, sn, tarvikVdbeCurrentAddr(v));
  add(OP_ListRewind);
  add(OP_AggNext, 0, 0);
}

TEST_F(ExecTest, AllocationFailuresAnywhereFailCleanly) {
  FuncDef sum{};
  sum.xStep = sumStep<40>;
  sum.xFinalize = sumFinal<40>;
  bool succeeded = false;
  for (int n = 1; n < 500 && !succeeded; n++) {
    tarvikVdbeDelete(v);
    tarvik_malloc_failed = 0;
    long before = tarvikTestMallocOutstanding();
    v = tarvikVdbeCreate(db);
    ASSERT_NE(v, nullptr);
    buildWorkout(this, v, &sum);
    ASSERT_EQ(tarvikVdbeMakeReady(v, 0, 0), TARVIK_OK);
    v->nResColumn = 2;
    tarvikTestMallocFail(n, false);
    int rc, nRow = 0;
    while ((rc = tarvikVdbeExec(v)) == TARVIK_ROW) nRow++;
    bool failed = tarvikTestMallocFailures() > 0;
    tarvikTestMallocFail(0, false);
    char *z = nullptr;
    int rcReset = tarvikVdbeReset(v, &z);
    if (rcReset == TARVIK_OK) {
      // Either nothing failed, or the failure was absorbed (a hash table
      // that could not grow keeps working): the full result either way.
      EXPECT_EQ(rc, TARVIK_DONE);
      EXPECT_EQ(nRow, 3) << "n=" << n;
      succeeded = !failed;
    } else {
      EXPECT_TRUE(failed);
      EXPECT_EQ(rcReset, TARVIK_NOMEM) << "n=" << n << " " << (z ? z : "");
      EXPECT_STREQ(z, "out of memory");
    }
    tarvikFree(z);
    tarvikVdbeDelete(v);
    v = nullptr;
    EXPECT_EQ(tarvikTestMallocOutstanding(), before) << "leak at n=" << n;
  }
  EXPECT_TRUE(succeeded);
  tarvik_malloc_failed = 0;
  v = tarvikVdbeCreate(db);
}

}  // namespace

namespace {

// Random programs: any instruction with small operands, every jump inside
// the program.  Whatever they do, the loop must end with a result code and
// release everything (the sanitizer build checks the memory accesses).
TEST_F(ExecTest, RandomProgramsNeverCrashOrLeak) {
  static const int aExcluded[] = {OP_Callback, OP_SortCallback, OP_FileOpen, OP_Vacuum};
  static const char *const azP3[] = {nullptr,
                                     "",
                                     "abc",
                                     "12",
                                     "-3.5",
                                     "t",
                                     "+A",
                                     "\x02\x04z",
                                     "nnt",
                                     "\x03\x05\x07"
                                     "a"};
  const int kRandomPrograms =
      getenv("TARVIK_RANDOM_PROGRAMS") ? atoi(getenv("TARVIK_RANDOM_PROGRAMS")) : 3000;
  unsigned seed =
      getenv("TARVIK_RANDOM_SEED") ? (unsigned)atoi(getenv("TARVIK_RANDOM_SEED")) : 12345;
  auto rnd = [&](unsigned n) {
    seed = seed * 1103515245u + 12345u;
    return (int)((seed >> 8) % n);
  };
  db->xProgress = [](void *) { return 1; };
  db->pProgressArg = nullptr;
  db->nProgressOps = 5000;
  int nRun = 0;
  for (int iProg = 0; iProg < kRandomPrograms; iProg++) {
    tarvikVdbeDelete(v);
    v = tarvikVdbeCreate(db);
    int nOp = 5 + rnd(40);
    for (int i = 0; i < nOp; i++) {
      int op;
      static const int aPush[] = {OP_Integer,  OP_String,   OP_String, OP_Dup, OP_MemLoad,
                                  OP_Variable, OP_OpenTemp, OP_Rewind, OP_Next};
      do {
        op =
            rnd(3) == 0 ? aPush[rnd(sizeof(aPush) / sizeof(aPush[0]))] : 1 + rnd(TARVIK_MAX_OPCODE);
      } while (std::find(std::begin(aExcluded), std::end(aExcluded), op) != std::end(aExcluded));
      int p1 = rnd(9) - 3;
      int p2 = (tarvikOpcodeFlags(op) & OPFLG_JUMP) ? rnd(nOp) : rnd(7) - 1;
      const char *z = azP3[rnd(sizeof(azP3) / sizeof(azP3[0]))];
      if (op == OP_Function || op == OP_AggFunc || op == OP_AggInit || op == OP_CreateTable ||
          op == OP_CreateIndex) {
        z = nullptr;  // their P3 is an object pointer
      }
      tarvikVdbeOp3(v, op, p1, p2, z, z ? P3_STATIC : 0);
    }
    ASSERT_EQ(tarvikVdbeMakeReady(v, 2, 0), TARVIK_OK);
    int rc = tarvikVdbeExec(v);
    EXPECT_TRUE(rc == TARVIK_DONE || rc == TARVIK_ERROR) << rc;
    char *zErr = nullptr;
    tarvikVdbeReset(v, &zErr);
    tarvikFree(zErr);
    for (int i = 0; i < db->nDb; i++) {
      if (db->aDb[i].pBt && db->aDb[i].inTrans) tarvikBtreeRollback(db->aDb[i].pBt);
      db->aDb[i].inTrans = 0;
    }
    nRun++;
  }
  db->xProgress = nullptr;
  EXPECT_EQ(nRun, kRandomPrograms);
}

}  // namespace
