// INSERT: the programs of INSERT ... VALUES and INSERT ... SELECT over
// tables created from real CREATE statements, the constraint checks with
// each conflict action, row counting, the shared write and delete steps,
// compile-time errors and allocation failures.
#include <gtest/gtest.h>

#include <string>

#include "codegen_support.h"
#include "opcodes.h"
#include "tarvikInt.h"
#include "vdbe.h"

using tarviktest::compileSql;
using tarviktest::Program;
using tarviktest::SchemaConn;

namespace {

// t1: plain columns with a NOT NULL and a UNIQUE column.
// t2: an INTEGER PRIMARY KEY, a NOT NULL column that takes its default on
//     conflict, and a unique index over (c, a) that includes the key.
// t3: no constraints at all.
void makeSchema(SchemaConn &c) {
  ASSERT_EQ(c.load("CREATE TABLE t1(a, b NOT NULL, c UNIQUE)", 3), "");
  ASSERT_EQ(c.load("CREATE TABLE t2(a INTEGER PRIMARY KEY, "
                   "b NOT NULL ON CONFLICT REPLACE DEFAULT 7, c)",
                   4),
            "");
  ASSERT_EQ(c.load("CREATE UNIQUE INDEX i2 ON t2(c, a)", 5), "");
  ASSERT_EQ(c.load("CREATE TABLE t3(x, y TEXT, z)", 6), "");
}

std::string lines(const Program &r, size_t from, size_t n) {
  std::string s;
  for (size_t i = from; i < from + n && i < r.ops.size(); i++) s += r.ops[i] + "\n";
  return s;
}

int countOf(const Program &r, const std::string &prefix) {
  int n = 0;
  for (const auto &op : r.ops) n += op.compare(0, prefix.size(), prefix) == 0;
  return n;
}

TEST(Insert, ValuesCheckEveryConstraintThenWriteKeysAndRow) {
  SchemaConn c;
  makeSchema(c);
  c.db.flags |= TARVIK_CountRows;
  Program r = compileSql(c, "INSERT INTO t2 VALUES(NULL, 'x', 'y')");
  ASSERT_EQ(r.nErr, 0) << r.err;
  // Stack while checking: row number, a (NULL: the key is the row number), b, c.
  EXPECT_EQ(r.listing(),
            "Transaction 0 0\nVerifyCookie 0 0\nTransaction 1 0\n"
            "Integer 0 0\nMemStore 0 1\n"  // counter = 0
            "Integer 0 0\nOpenWrite 0 4 t2\nInteger 0 0\nOpenWrite 1 5 i2\n"
            "<Expr>\nNotNull -1 13\nPop 1 0\nNewRecno 0 0\nMustBeInt 0 0\n"  // NULL key: new number
            "String 0 0\n<Expr>\n<Expr>\n"
            "Dup 1 1\nNotNull 1 21\nString 0 0 7\nPush 2 0\n"  // b NULL: default
            "Dup 3 1\nNotExists 0 24\nHalt 19 2 PRIMARY KEY must be unique\n"
            "Dup 3 1\nDup 1 1\nDup 5 1\nMakeIdxKey 2 31 nn\n"  // key (c, a) + row
            "Dup 4 1\nIsUnique 1 31\nHalt 19 2 columns c, a are not unique\n"
            "IdxPut 1 0\nMakeRecord 3 0\nPutIntKey 0 7\nMemIncr 0 0\n"
            "Close 0 0\nClose 1 0\nSetCounts 0 0\nCommit 0 0\n"
            "ColumnName 0 1 rows inserted\nMemLoad 0 0\nCallback 1 0\nHalt 0 0\n");
}

TEST(Insert, ColumnListPlacesValuesAndDefaults) {
  SchemaConn c;
  makeSchema(c);
  // The key comes from the second value; c is missing and gets NULL.
  Program r = compileSql(c, "INSERT INTO t2(B, a) VALUES('x', 5)");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(lines(r, 7, 8),
            "<Expr>\nNotNull -1 11\nPop 1 0\nNewRecno 0 0\nMustBeInt 0 0\n"
            "String 0 0\n<Expr>\nString 0 0\n");

  // Without a key column the row always gets a new number, unchecked.
  ASSERT_EQ(c.load("CREATE TABLE d(p DEFAULT 'it''s', q DEFAULT -1.5, r)", 7), "");
  r = compileSql(c, "INSERT INTO d(r) VALUES(1)");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(lines(r, 5, 7),
            "NewRecno 0 0\nString 0 0 it's\nString 0 0 -1.5\n<Expr>\n"
            "MakeRecord 3 0\nPutIntKey 0 7\nClose 0 0\n");
  EXPECT_EQ(countOf(r, "NotExists"), 0);
}

TEST(Insert, ConflictActionsIgnoreAndReplace) {
  SchemaConn c;
  makeSchema(c);
  // IGNORE: every failed check pops the row (number + 3 columns, plus the
  // keys and the conflicting number for an index) and skips to the row's end.
  Program r = compileSql(c, "INSERT OR IGNORE INTO t2 VALUES(1, 2, 3)");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(lines(r, 15, 20),
            "Dup 1 1\nNotNull 1 19\nPop 4 0\nGoto 0 34\n"
            "Dup 3 1\nNotExists 0 23\nPop 4 0\nGoto 0 34\n"
            "Dup 3 1\nDup 1 1\nDup 5 1\nMakeIdxKey 2 31 nn\nDup 4 1\nIsUnique 1 31\n"
            "Pop 6 0\nGoto 0 34\n"
            "IdxPut 1 0\nMakeRecord 3 0\nPutIntKey 0 7\nClose 0 0\n");

  // REPLACE: a taken row number loses its index entries (the row itself is
  // overwritten); a conflicting index entry's row is deleted, counted only
  // as a statement change.
  r = compileSql(c, "INSERT OR REPLACE INTO t2 VALUES(1, 2, 3)");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(lines(r, 15, 25),
            "Dup 1 1\nNotNull 1 19\nString 0 0 7\nPush 2 0\n"
            "Dup 3 1\nNotExists 0 26\n"
            "Recno 0 0\nColumn 0 2\nDup 1 0\nMakeIdxKey 2 0 nn\nIdxDelete 1 0\n"
            "Dup 3 1\nDup 1 1\nDup 5 1\nMakeIdxKey 2 39 nn\nDup 4 1\nIsUnique 1 39\n"
            "NotExists 0 39\nRecno 0 0\nColumn 0 2\nDup 1 0\nMakeIdxKey 2 0 nn\nIdxDelete 1 0\n"
            "Delete 0 4\nIdxPut 1 0\n");
}

// The Halt each kind of check emits, by statement, connection and
// constraint action.
std::string halts(const Program &r) {
  std::string s;
  for (const auto &op : r.ops) {
    if (op.compare(0, 8, "Halt 19 ") == 0) s += op.substr(8) + "\n";
  }
  return s;
}

TEST(Insert, ActionChosenByStatementThenConnectionThenConstraint) {
  SchemaConn c;
  ASSERT_EQ(c.load("CREATE TABLE t(a NOT NULL ON CONFLICT FAIL, b NOT NULL, "
                   "c UNIQUE ON CONFLICT ROLLBACK, d NOT NULL ON CONFLICT REPLACE, "
                   "e INTEGER PRIMARY KEY ON CONFLICT FAIL)",
                   3),
            "");
  // The constraints' own actions; NOT NULL REPLACE without a default aborts.
  Program r = compileSql(c, "INSERT INTO t VALUES(1, 2, 3, 4, 5)");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(halts(r),
            "3 t.a may not be NULL\n2 t.b may not be NULL\n2 t.d may not be NULL\n"
            "3 PRIMARY KEY must be unique\n1 column c is not unique\n");

  // The connection's BEGIN ... ON CONFLICT overrides them ...
  c.db.onError = OE_Rollback;
  EXPECT_EQ(halts(compileSql(c, "INSERT INTO t VALUES(1, 2, 3, 4, 5)")),
            "1 t.a may not be NULL\n1 t.b may not be NULL\n1 t.d may not be NULL\n"
            "1 PRIMARY KEY must be unique\n1 column c is not unique\n");
  // ... and the statement's OR clause overrides the connection.
  EXPECT_EQ(halts(compileSql(c, "INSERT OR FAIL INTO t VALUES(1, 2, 3, 4, 5)")),
            "3 t.a may not be NULL\n3 t.b may not be NULL\n3 t.d may not be NULL\n"
            "3 PRIMARY KEY must be unique\n3 column c is not unique\n");
  // ABORT: the key check without a row number given is not made at all.
  c.db.onError = OE_Default;
  r = compileSql(c, "INSERT OR ABORT INTO t(a, b, d) VALUES(1, 2, 3)");
  EXPECT_EQ(halts(r),
            "2 t.a may not be NULL\n2 t.b may not be NULL\n2 t.d may not be NULL\n"
            "2 column c is not unique\n");

  // A nullable column and an ordinary index are never checked.
  ASSERT_EQ(c.load("CREATE TABLE n(a, b)", 4), "");
  ASSERT_EQ(c.load("CREATE INDEX ni ON n(b, a)", 5), "");
  r = compileSql(c, "INSERT INTO n VALUES(1, 2)");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(halts(r), "");
  EXPECT_EQ(countOf(r, "IsUnique"), 0);
  EXPECT_EQ(lines(r, 10, 8),
            "Dup 2 1\nDup 1 1\nDup 3 1\nMakeIdxKey 2 0 nn\nIdxPut 1 0\nMakeRecord 2 0\n"
            "PutIntKey 0 7\nClose 0 0\n");
}

TEST(Insert, UniqueMessageListsColumnsUpTo170Bytes) {
  SchemaConn c;
  std::string cols, names;
  const int nCol = 8;
  for (int i = 0; i < nCol; i++) {
    std::string name = "column_with_a_long_name_number_" + std::to_string(i);  // 32 bytes
    cols += (i ? ", " : "") + name;
  }
  std::string sql = "CREATE TABLE w(" + cols + ", UNIQUE(" + cols + "))";
  ASSERT_EQ(c.load(sql.c_str(), 3), "");
  std::string values = "INSERT INTO w VALUES(1, 2, 3, 4, 5, 6, 7, 8)";
  Program r = compileSql(c, values.c_str());
  ASSERT_EQ(r.nErr, 0) << r.err;
  // "columns " + 4 names with separators is 8 + 4*32 + 3*2 = 142 bytes; the
  // fifth would bring it to 176.
  std::string expect = "2 columns ";
  for (int i = 0; i < 4; i++) {
    expect += "column_with_a_long_name_number_" + std::to_string(i) + ", ";
  }
  expect += "... are not unique\n";
  EXPECT_EQ(halts(r), expect);
}

TEST(Insert, SelectSourceRunsTheInsertionAsASubroutine) {
  SchemaConn c;
  makeSchema(c);
  c.db.flags |= TARVIK_CountRows;
  Program r = compileSql(c, "INSERT INTO t3(z, x) SELECT b, a FROM t1");
  ASSERT_EQ(r.nErr, 0) << r.err;
  // The SELECT leaves its two values and calls the block; the values are
  // read from below what the block pushed, and popped at its end.
  EXPECT_EQ(r.listing(),
            "Transaction 0 0\nVerifyCookie 0 0\nTransaction 1 0\n"
            "Goto 0 6\n<Select>\nGoto 0 20\n"
            "Integer 0 0\nMemStore 0 1\nInteger 0 0\nOpenWrite 1 6 t3\nGoto 0 4\n"
            "NewRecno 1 0\nDup 1 1\nString 0 0\nDup 4 1\n"
            "MakeRecord 3 0\nPutIntKey 1 7\nMemIncr 0 0\nPop 2 0\nReturn 0 0\n"
            "Close 1 0\nSetCounts 0 0\nCommit 0 0\n"
            "ColumnName 0 1 rows inserted\nMemLoad 0 0\nCallback 1 0\nHalt 0 0\n");
}

TEST(Insert, SelectFromTheTargetGoesThroughATemporaryTable) {
  SchemaConn c;
  makeSchema(c);
  Program r = compileSql(c, "INSERT INTO t3 SELECT * FROM t3");
  ASSERT_EQ(r.nErr, 0) << r.err;
  // Each SELECT row is stored in cursor 1; then a loop over it inserts.
  EXPECT_EQ(r.listing(),
            "Transaction 0 0\nVerifyCookie 0 0\nTransaction 1 0\n"
            "Goto 0 11\n<Select>\nGoto 0 13\n"
            "MakeRecord 3 0\nNewRecno 1 0\nPull 1 0\nPutIntKey 1 0\nReturn 0 0\n"
            "OpenTemp 1 0\nGoto 0 4\n"
            "Integer 0 0\nOpenWrite 2 6 t3\nRewind 1 23\n"
            "NewRecno 2 0\nColumn 1 0\nColumn 1 1\nColumn 1 2\n"
            "MakeRecord 3 0\nPutIntKey 2 7\nNext 1 16\nClose 1 0\n"
            "Close 2 0\nSetCounts 0 0\nCommit 0 0\nHalt 0 0\n");
  // The same table in another database is another tree.
  ASSERT_EQ(c.load("CREATE TEMP TABLE t3(x, y, z)", 6, 1), "");
  r = compileSql(c, "INSERT INTO main.t3 SELECT * FROM temp.t3");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(r.ops[3], "Goto 0 6") << r.listing();
}

TEST(Insert, CompileTimeErrors) {
  SchemaConn c;
  makeSchema(c);
  ASSERT_EQ(c.load("CREATE VIEW v AS SELECT a FROM t1", 0), "");
  ASSERT_EQ(c.load(master_schema, 2), "");
  c.table(TARVIK_MASTER_NAME)->readOnly = 1;
  struct {
    const char *zSql, *zErr;
  } aCase[] = {
      {"INSERT INTO t3 VALUES(1, 2)", "table t3 has 3 columns but 2 values were supplied"},
      {"INSERT INTO main.t3 VALUES(1)", "table main.t3 has 3 columns but 1 values were supplied"},
      {"INSERT INTO t3(x, y) VALUES(1)", "1 values for 2 columns"},
      {"INSERT INTO t3(x, w) VALUES(1, 2)", "table t3 has no column named w"},
      {"INSERT INTO nosuch VALUES(1)", "no such table: nosuch"},
      {"INSERT INTO temp.t3 VALUES(1, 2, 3)", "no such table: temp.t3"},
      {"INSERT INTO tarvik_master VALUES(1, 2, 3, 4, 5)",
       "table tarvik_master may not be modified"},
      {"INSERT INTO v VALUES(1)", "cannot modify v because it is a view"},
  };
  for (const auto &k : aCase) {
    Program r = compileSql(c, k.zSql);
    EXPECT_GE(r.nErr, 1) << k.zSql;
    EXPECT_EQ(r.err, k.zErr) << k.zSql;
  }
}

TEST(Insert, RowNumberAliasInTheColumnList) {
  if (!tarvikIsRowid("rowid")) GTEST_SKIP() << "row-number names are not recognised yet";
  SchemaConn c;
  makeSchema(c);
  Program r = compileSql(c, "INSERT INTO t3(OID, x) VALUES(9, 1)");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(lines(r, 5, 5), "<Expr>\nNotNull -1 9\nPop 1 0\nNewRecno 0 0\nMustBeInt 0 0\n");
  EXPECT_EQ(countOf(r, "NotExists"), 1) << "a given row number is checked";
}

// The write step as a trigger body and UPDATE use it.
TEST(Insert, CompleteInsertionFlagsAndNewRowCopy) {
  SchemaConn c;
  makeSchema(c);
  Table *pTab = c.table("t2");
  auto run = [&](bool inTrigger, const char *aIdxUsed, int recnoChng, int isUpdate, int newIdx) {
    Parse parse;
    memset(&parse, 0, sizeof(parse));
    parse.db = &c.db;
    TriggerStack ts;
    memset(&ts, 0, sizeof(ts));
    if (inTrigger) parse.trigStack = &ts;
    tarvikCompleteInsertion(&parse, pTab, 3, aIdxUsed, recnoChng, isUpdate, newIdx);
    std::string s;
    for (int i = 0; i < tarvikVdbeCurrentAddr(parse.pVdbe); i++) {
      const VdbeOp *pOp = tarvikVdbeGetOp(parse.pVdbe, i);
      s += std::string(tarvikOpcodeName(pOp->opcode)) + " " + std::to_string(pOp->p1) + " " +
           std::to_string(pOp->p2) + "\n";
    }
    tarvikVdbeDelete(parse.pVdbe);
    return s;
  };
  EXPECT_EQ(run(false, nullptr, 1, 0, 8),
            "IdxPut 4 0\nMakeRecord 3 0\nDup 1 0\nDup 1 0\nPutIntKey 8 0\nPutIntKey 3 7\n");
  EXPECT_EQ(run(true, nullptr, 1, 0, -1), "IdxPut 4 0\nMakeRecord 3 0\nPutIntKey 3 6\n");
  const char unused[] = {0};
  EXPECT_EQ(run(false, unused, 1, 1, -1), "MakeRecord 3 0\nPutIntKey 3 5\nPop 1 0\n");
  EXPECT_EQ(run(true, unused, 0, 1, -1), "MakeRecord 3 0\nPutIntKey 3 4\n");
}

TEST(Insert, AllocationFailuresLeakNothing) {
  const char *azSql[] = {
      "INSERT OR REPLACE INTO t2(c, b) VALUES(1, 2)",
      "INSERT INTO t3 SELECT a, b, c FROM t1",
      "INSERT OR IGNORE INTO t1 VALUES(1, 2, 3)",
      "DELETE FROM t1",
  };
  for (const char *zSql : azSql) {
    bool done = false;
    for (int n = 1; !done && n < 2000; n++) {
      SchemaConn c;
      makeSchema(c);
      long before = tarvikTestMallocOutstanding();
      tarvikTestMallocFail(n, false);
      Program r = compileSql(c, zSql);
      done = tarvikTestMallocFailures() == 0;
      tarvikTestMallocFail(0, false);
      tarvik_malloc_failed = 0;
      if (done) {
        EXPECT_EQ(r.nErr, 0) << zSql << ": " << r.err;
      }
      EXPECT_EQ(tarvikTestMallocOutstanding(), before) << zSql << " failing allocation " << n;
    }
    EXPECT_TRUE(done) << zSql;
  }
}

}  // namespace
