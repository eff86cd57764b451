// DELETE: emptying a whole table with Clear (counting first when asked),
// the two-pass delete of the rows a WHERE clause selects with their index
// entries, counting, errors and allocation failures.  The WHERE loops are
// another module's code and show as one line each.
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

// t2: an INTEGER PRIMARY KEY, a UNIQUE column and an index over (c, a).
void makeSchema(SchemaConn &c) {
  ASSERT_EQ(c.load("CREATE TABLE t2(a INTEGER PRIMARY KEY, b UNIQUE, c)", 4), "");
  ASSERT_EQ(c.load("CREATE INDEX i2 ON t2(c, a)", 5), "");
  ASSERT_EQ(c.load("CREATE TABLE t3(x)", 6), "");
}

TEST(Delete, WithoutWhereClearsTheTableAndItsIndices) {
  SchemaConn c;
  makeSchema(c);
  Program r = compileSql(c, "DELETE FROM t2");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(r.listing(),
            "Transaction 0 0\nVerifyCookie 0 0\nTransaction 1 0\n"
            "Clear 4 0\nClear 5 0\nClear 0 0\nSetCounts 0 0\nCommit 0 0\nHalt 0 0\n");

  // count_changes: the rows are counted by a scan before the trees are
  // emptied; the count is the result row.
  c.db.flags |= TARVIK_CountRows;
  r = compileSql(c, "DELETE FROM t2");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(r.listing(),
            "Transaction 0 0\nVerifyCookie 0 0\nTransaction 1 0\n"
            "Integer 0 0\nInteger 0 0\nOpenRead 0 4 t2\nRewind 0 9\nAddImm 1 0\nNext 0 7\n"
            "Close 0 0\nClear 4 0\nClear 5 0\nClear 0 0\nSetCounts 0 0\nCommit 0 0\n"
            "ColumnName 0 1 rows deleted\nCallback 1 0\nHalt 0 0\n");

  // A temporary table is cleared in database 1 and needs no cookie check.
  ASSERT_EQ(c.load("CREATE TEMP TABLE tt(x)", 3, 1), "");
  c.db.flags &= ~TARVIK_CountRows;
  r = compileSql(c, "DELETE FROM tt");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(r.listing(), "Transaction 1 0\nClear 3 1\nSetCounts 0 0\nCommit 0 0\nHalt 0 0\n");
}

TEST(Delete, WhereCollectsRowNumbersThenDeletesRowsWithTheirKeys) {
  SchemaConn c;
  makeSchema(c);
  c.db.flags |= TARVIK_CountRows;
  Program r = compileSql(c, "DELETE FROM t2 WHERE c = 1");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(r.listing(),
            "Transaction 0 0\nVerifyCookie 0 0\nTransaction 1 0\n"
            "Integer 0 0\n<WhereBegin>\nListWrite 0 0\nAddImm 1 0\n<WhereEnd>\n"
            "ListRewind 0 0\n"
            "Integer 0 0\nOpenWrite 0 4 t2\nInteger 0 0\nOpenWrite 1 5 i2\n"
            "Integer 0 0\nOpenWrite 2 0 (t2 autoindex 1)\n"
            "ListRead 0 28\nNotExists 0 27\n"
            "Recno 0 0\nColumn 0 2\nDup 1 0\nMakeIdxKey 2 0 nn\nIdxDelete 1 0\n"
            "Recno 0 0\nColumn 0 1\nMakeIdxKey 1 0 n\nIdxDelete 2 0\n"
            "Delete 0 5\nGoto 0 15\n"
            "ListReset 0 0\nClose 0 0\nClose 1 0\nClose 2 0\nSetCounts 0 0\nCommit 0 0\n"
            "ColumnName 0 1 rows deleted\nCallback 1 0\nHalt 0 0\n");
}

TEST(Delete, RowDeleteCountsOnlyStatementChangesWhenAsked) {
  SchemaConn c;
  makeSchema(c);
  Parse parse;
  memset(&parse, 0, sizeof(parse));
  parse.db = &c.db;
  Vdbe *v = tarvikVdbeCreate(&c.db);
  ASSERT_NE(v, nullptr);
  Table *pTab = c.table("t2");
  tarvikGenerateRowDelete(&c.db, v, pTab, 3, 0);
  const char used[] = {0, 1};
  tarvikGenerateRowIndexDelete(&c.db, v, pTab, 3, used);
  c.db.file_format = 3;  // old files carry no key types
  tarvikGenerateRowIndexDelete(&c.db, v, pTab, 3, used);
  std::string s;
  for (int i = 0; i < tarvikVdbeCurrentAddr(v); i++) {
    const VdbeOp *pOp = tarvikVdbeGetOp(v, i);
    s += std::string(tarvikOpcodeName(pOp->opcode)) + " " + std::to_string(pOp->p1) + " " +
         std::to_string(pOp->p2) + (pOp->p3 ? std::string(" ") + pOp->p3 : "") + "\n";
  }
  tarvikVdbeDelete(v);
  EXPECT_EQ(s,
            "NotExists 3 11\nRecno 3 0\nColumn 3 2\nDup 1 0\nMakeIdxKey 2 0 nn\nIdxDelete 4 0\n"
            "Recno 3 0\nColumn 3 1\nMakeIdxKey 1 0 n\nIdxDelete 5 0\nDelete 3 4\n"
            "Recno 3 0\nColumn 3 1\nMakeIdxKey 1 0 n\nIdxDelete 5 0\n"
            "Recno 3 0\nColumn 3 1\nMakeIdxKey 1 0\nIdxDelete 5 0\n");
}

TEST(Delete, CompileTimeErrors) {
  SchemaConn c;
  makeSchema(c);
  ASSERT_EQ(c.load("CREATE VIEW v AS SELECT x FROM t3", 0), "");
  ASSERT_EQ(c.load(master_schema, 2), "");
  c.table(TARVIK_MASTER_NAME)->readOnly = 1;
  struct {
    const char *zSql, *zErr;
  } aCase[] = {
      {"DELETE FROM nosuch", "no such table: nosuch"},
      {"DELETE FROM aux.t3", "no such table: aux.t3"},
      {"DELETE FROM tarvik_master WHERE 1", "table tarvik_master may not be modified"},
      {"DELETE FROM v", "cannot modify v because it is a view"},
  };
  for (const auto &k : aCase) {
    Program r = compileSql(c, k.zSql);
    EXPECT_GE(r.nErr, 1) << k.zSql;
    EXPECT_EQ(r.err, k.zErr) << k.zSql;
  }
}

TEST(Delete, AllocationFailuresLeakNothing) {
  const char *azSql[] = {"DELETE FROM t2 WHERE b = 1", "DELETE FROM t2"};
  for (const char *zSql : azSql) {
    bool done = false;
    for (int n = 1; !done && n < 2000; n++) {
      SchemaConn c;
      makeSchema(c);
      c.db.flags |= TARVIK_CountRows;
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
