// UPDATE: the two-pass program (collect row numbers, then rewrite each
// row), which indices it touches, a changed row number, conflict actions,
// counting, the authorizer's verdict per column, errors and allocation
// failures.  The WHERE loops and expressions are other modules' code and
// show as one line each.
#include <gtest/gtest.h>

#include <string>

#include "codegen_support.h"
#include "opcodes.h"
#include "tarvikInt.h"
#include "vdbe.h"

using tarviktest::compileSql;
using tarviktest::Program;
using tarviktest::SchemaConn;

// Until the authorizer module exists: the connection's callback decides,
// as the real check does (a refusal is the error "not authorized").
__attribute__((weak)) int tarvikAuthCheck(Parse *pParse, int code, const char *zArg1,
                                          const char *zArg2, const char *zArg3) {
  tarvik *db = pParse->db;
  if (db->xAuth == nullptr) return TARVIK_OK;
  int rc = db->xAuth(db->pAuthArg, code, zArg1, zArg2, zArg3, pParse->zAuthContext);
  if (rc == TARVIK_DENY) {
    tarvikErrorMsg(pParse, "not authorized");
    pParse->rc = TARVIK_AUTH;
  }
  return rc;
}

namespace {

// t2: an INTEGER PRIMARY KEY, a UNIQUE column, an index over (c, a) and a
// NOT NULL column.  t3: one plain column.
void makeSchema(SchemaConn &c) {
  ASSERT_EQ(c.load("CREATE TABLE t2(a INTEGER PRIMARY KEY, b UNIQUE, c, d NOT NULL)", 4), "");
  ASSERT_EQ(c.load("CREATE INDEX i2 ON t2(c, a)", 5), "");
  ASSERT_EQ(c.load("CREATE TABLE t3(x)", 6), "");
}

int countOf(const Program &r, const std::string &prefix) {
  int n = 0;
  for (const auto &op : r.ops) n += op.compare(0, prefix.size(), prefix) == 0;
  return n;
}

TEST(Update, RewritesEachListedRowThroughTheIndicesItChanges) {
  SchemaConn c;
  makeSchema(c);
  c.db.flags |= TARVIK_CountRows;
  Program r = compileSql(c, "UPDATE t2 SET C = 1 WHERE b = 2");
  ASSERT_EQ(r.nErr, 0) << r.err;
  // Only i2 holds c: the unique index on b is neither opened nor touched.
  EXPECT_EQ(r.listing(),
            "Transaction 0 0\nVerifyCookie 0 0\nTransaction 1 0\n"
            "<WhereBegin>\nListWrite 0 0\n<WhereEnd>\n"
            "Integer 0 0\n"  // the count
            "Integer 0 0\nOpenWrite 0 4 t2\nInteger 0 0\nOpenWrite 1 5 i2\n"
            "ListRewind 0 0\nListRead 0 38\nDup 0 0\nNotExists 0 36\n"
            "String 0 0\nColumn 0 1\n<Expr>\nColumn 0 3\n"  // new values: a, b, c, d
            "Dup 0 1\nNotNull 1 22\nHalt 19 2 t2.d may not be NULL\n"
            "Dup 4 1\nDup 2 1\nDup 6 1\nMakeIdxKey 2 0 nn\n"                      // new key of i2
            "Recno 0 0\nColumn 0 2\nDup 1 0\nMakeIdxKey 2 0 nn\nIdxDelete 1 0\n"  // old key
            "IdxPut 1 0\nMakeRecord 4 0\nPutIntKey 0 5\n"
            "AddImm 1 0\nGoto 0 12\n"
            "Pop 1 0\nGoto 0 12\n"  // a row that has gone
            "ListReset 0 0\nClose 0 0\nClose 1 0\nSetCounts 0 0\nCommit 0 0\n"
            "ColumnName 0 1 rows updated\nCallback 1 0\nHalt 0 0\n");

  // Without count_changes nothing is counted or reported.
  c.db.flags &= ~TARVIK_CountRows;
  r = compileSql(c, "UPDATE t3 SET x = 1");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(r.listing(),
            "Transaction 0 0\nVerifyCookie 0 0\nTransaction 1 0\n"
            "<WhereBegin>\nListWrite 0 0\n<WhereEnd>\n"
            "Integer 0 0\nOpenWrite 0 6 t3\nListRewind 0 0\nListRead 0 18\nDup 0 0\n"
            "NotExists 0 16\n<Expr>\nMakeRecord 1 0\nPutIntKey 0 5\nGoto 0 9\n"
            "Pop 1 0\nGoto 0 9\nListReset 0 0\nClose 0 0\nSetCounts 0 0\nCommit 0 0\n"
            "Halt 0 0\n");
}

TEST(Update, NewRowNumberIsCheckedAndTheOldRowDeleted) {
  SchemaConn c;
  makeSchema(c);
  // Stack: old number, new number, a, b, c, d.
  Program r = compileSql(c, "UPDATE OR IGNORE t2 SET a = 10, d = 2");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(r.listing(),
            "Transaction 0 0\nVerifyCookie 0 0\nTransaction 1 0\n"
            "<WhereBegin>\nListWrite 0 0\n<WhereEnd>\n"
            "Integer 0 0\nOpenWrite 0 4 t2\nInteger 0 0\nOpenWrite 1 5 i2\n"
            "Integer 0 0\nOpenWrite 2 0 (t2 autoindex 1)\n"
            "ListRewind 0 0\nListRead 0 64\nDup 0 0\nNotExists 0 62\n"
            "<Expr>\nMustBeInt 0 0\nString 0 0\nColumn 0 1\nColumn 0 2\n<Expr>\n"
            "Dup 0 1\nNotNull 1 26\nPop 6 0\nGoto 0 13\n"
            "Dup 5 1\nDup 5 1\nEq 0 33\n"  // unchanged number: no check
            "Dup 4 1\nNotExists 0 33\nPop 6 0\nGoto 0 13\n"
            "Dup 5 1\nMoveTo 0 0\n"  // back on the old row
            "Dup 4 1\nDup 2 1\nDup 6 1\nMakeIdxKey 2 0 nn\n"
            "Dup 5 1\nDup 4 1\nMakeIdxKey 1 46 n\n"
            "Dup 7 1\nIsUnique 2 46\nPop 9 0\nGoto 0 13\n"  // old number: the row itself
            "Recno 0 0\nColumn 0 2\nDup 1 0\nMakeIdxKey 2 0 nn\nIdxDelete 1 0\n"
            "Recno 0 0\nColumn 0 1\nMakeIdxKey 1 0 n\nIdxDelete 2 0\n"
            "Delete 0 0\n"  // the old row, uncounted
            "IdxPut 2 0\nIdxPut 1 0\nMakeRecord 4 0\nPutIntKey 0 5\nPop 1 0\n"
            "Goto 0 13\nPop 1 0\nGoto 0 13\n"
            "ListReset 0 0\nClose 0 0\nClose 1 0\nClose 2 0\nSetCounts 0 0\nCommit 0 0\n"
            "Halt 0 0\n");
}

TEST(Update, RowNumberAliasChangesTheRowNumber) {
  SchemaConn c;
  makeSchema(c);
  ASSERT_EQ(c.load("CREATE INDEX i3 ON t3(x)", 7), "");
  Program r = compileSql(c, "UPDATE t3 SET rowid = 10 WHERE rowid = 1");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(countOf(r, "Halt 19 2 PRIMARY KEY must be unique"), 1);
  EXPECT_EQ(countOf(r, "Delete 0 0"), 1) << "the old row goes, uncounted";
  EXPECT_EQ(countOf(r, "IdxDelete 1 0"), 1) << "every index is rewritten";
  EXPECT_EQ(countOf(r, "IdxPut 1 0"), 1);
  EXPECT_EQ(countOf(r, "MustBeInt 0 0"), 1);
}

TEST(Update, ReplaceOpensEveryIndexForTheRowsItDeletes) {
  SchemaConn c;
  makeSchema(c);
  // d is in no index, but a REPLACE may delete whole rows.
  Program r = compileSql(c, "UPDATE OR REPLACE t2 SET d = 5");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(countOf(r, "OpenWrite"), 3);
  EXPECT_EQ(countOf(r, "MakeIdxKey"), 0);
  r = compileSql(c, "UPDATE t2 SET d = 5");
  EXPECT_EQ(countOf(r, "OpenWrite"), 1);
  // So does a REPLACE index, and the connection's default action.
  ASSERT_EQ(c.load("CREATE TABLE r(p, q UNIQUE ON CONFLICT REPLACE, s UNIQUE)", 7), "");
  r = compileSql(c, "UPDATE r SET p = 1");
  EXPECT_EQ(countOf(r, "OpenWrite"), 3);
  c.db.onError = OE_Replace;
  r = compileSql(c, "UPDATE t2 SET d = 5");
  EXPECT_EQ(countOf(r, "OpenWrite"), 3);
  // A unique index whose action is REPLACE deletes the other row; the
  // updated row is found again afterwards.
  c.db.onError = OE_Default;
  r = compileSql(c, "UPDATE r SET q = 1");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(countOf(r, "Delete 0 4"), 1);
  EXPECT_EQ(countOf(r, "MoveTo 0 0"), 1);
}

TEST(Update, InsideATriggerNothingIsCounted) {
  SchemaConn c;
  makeSchema(c);
  c.db.flags |= TARVIK_CountRows;
  Parse parse;
  memset(&parse, 0, sizeof(parse));
  parse.db = &c.db;
  TriggerStack ts;
  memset(&ts, 0, sizeof(ts));
  parse.trigStack = &ts;
  SrcList *pSrc = tarvikSrcListAppend(nullptr, nullptr, nullptr);
  ASSERT_NE(pSrc, nullptr);
  pSrc->a[0].zName = tarvikStrDup("t3");
  pSrc->a[0].iCursor = -1;
  ExprList *pChanges =
      tarvikExprListAppend(nullptr, tarvikExpr(TK_NULL, nullptr, nullptr, nullptr), nullptr);
  pChanges->a[0].zName = tarvikStrDup("x");
  tarvikUpdate(&parse, pSrc, pChanges, nullptr, OE_Default);
  ASSERT_EQ(parse.nErr, 0);
  std::string s;
  for (int i = 0; i < tarvikVdbeCurrentAddr(parse.pVdbe); i++) {
    const VdbeOp *pOp = tarvikVdbeGetOp(parse.pVdbe, i);
    s += std::string(tarvikOpcodeName(pOp->opcode)) + " " + std::to_string(pOp->p2) + "\n";
  }
  tarvikVdbeDelete(parse.pVdbe);
  EXPECT_EQ(s.find("AddImm"), std::string::npos) << s;
  EXPECT_EQ(s.find("ColumnName"), std::string::npos) << s;
  EXPECT_EQ(s.find("Commit"), std::string::npos) << "the firing statement commits";
  EXPECT_NE(s.find("PutIntKey 4\n"), std::string::npos) << "a statement change only";
}

int authLog(void *pArg, int code, const char *z1, const char *z2, const char *, const char *) {
  std::string *pLog = (std::string *)pArg;
  *pLog += std::to_string(code) + ":" + z1 + "." + (z2 ? z2 : "-") + " ";
  if (z2 && strcmp(z2, "c") == 0) return TARVIK_IGNORE;
  if (z2 && strcmp(z2, "d") == 0) return TARVIK_DENY;
  return TARVIK_OK;
}

TEST(Update, AuthorizerPerColumn) {
  SchemaConn c;
  makeSchema(c);
  std::string log;
  c.db.xAuth = authLog;
  c.db.pAuthArg = &log;
  // IGNORE keeps c's old value, so i2 is not touched.
  Program r = compileSql(c, "UPDATE t2 SET b = 1, c = 2");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(log, "23:t2.b 23:t2.c ");
  EXPECT_EQ(countOf(r, "<Expr>"), 1);
  EXPECT_EQ(countOf(r, "Column 0 2"), 1);
  EXPECT_EQ(countOf(r, "IdxDelete"), 1);
  EXPECT_EQ(countOf(r, "IdxDelete 2"), 1);
  r = compileSql(c, "UPDATE t2 SET d = 1");
  EXPECT_EQ(r.err, "not authorized");
}

TEST(Update, CompileTimeErrors) {
  SchemaConn c;
  makeSchema(c);
  ASSERT_EQ(c.load("CREATE VIEW v AS SELECT x FROM t3", 0), "");
  ASSERT_EQ(c.load(master_schema, 2), "");
  c.table(TARVIK_MASTER_NAME)->readOnly = 1;
  struct {
    const char *zSql, *zErr;
  } aCase[] = {
      {"UPDATE t3 SET y = 1", "no such column: y"},
      {"UPDATE nosuch SET y = 1", "no such table: nosuch"},
      {"UPDATE tarvik_master SET name = 1", "table tarvik_master may not be modified"},
      {"UPDATE v SET x = 1", "cannot modify v because it is a view"},
  };
  for (const auto &k : aCase) {
    Program r = compileSql(c, k.zSql);
    EXPECT_GE(r.nErr, 1) << k.zSql;
    EXPECT_EQ(r.err, k.zErr) << k.zSql;
  }
}

TEST(Update, AllocationFailuresLeakNothing) {
  const char *azSql[] = {
      "UPDATE OR REPLACE t2 SET a = 3, c = 1 WHERE b = 2",
      "UPDATE t2 SET b = 1",
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
