// Expressions: the constructors (ownership, spans, growth and limits); then
// name resolution and its errors, function checking, typing, the programs
// expressions compile to (values and conditional jumps), aggregate analysis,
// copies, and allocation failures.  Those trees come from the real parser (a
// SELECT is captured as an owned copy when the parser hands it on) over
// tables made by real CREATE TABLE statements.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "genstub.h"
#include "opcodes.h"
#include "tarvikInt.h"
#include "vdbe.h"

namespace {

Token tok(const char *z) { return Token{z, 0, (unsigned)strlen(z)}; }

struct LeakCheck {
  long before = tarvikTestMallocOutstanding();
  ~LeakCheck() { EXPECT_EQ(tarvikTestMallocOutstanding(), before) << "allocations leaked"; }
};

TEST(Expr, SpansJoinUnownedTextAndClearOverOwnedText) {
  LeakCheck leaks;
  const char *sql = "a + bc";
  Token a = {sql, 0, 1}, b = {sql + 4, 0, 2};
  Expr *p = tarvikExpr(TK_PLUS, tarvikExpr(TK_ID, 0, 0, &a), tarvikExpr(TK_ID, 0, 0, &b), 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(std::string(p->span.z, p->span.n), "a + bc");
  Token owned = {tarvikStrDup("x"), 1, 1};
  tarvikExprSpan(p, &a, &owned);
  EXPECT_EQ(p->span.z, nullptr) << "a span may not reach into a private copy";
  tarvikFree((void *)owned.z);
  Token none = {nullptr, 0, 0};
  tarvikExprSpan(p, &a, &b);
  tarvikExprSpan(p, &none, &b);
  EXPECT_EQ(std::string(p->span.z, p->span.n), "a + bc") << "a missing end changes nothing";
  tarvikExprDelete(p);
  tarvikExprSpan(nullptr, &a, &b);
}

TEST(Expr, ConstructorsFreeTheirOperandsWhenTheyFail) {
  LeakCheck leaks;
  Token a = tok("a");
  Expr *pLeft = tarvikExpr(TK_ID, 0, 0, &a);
  Expr *pRight = tarvikExpr(TK_ID, 0, 0, &a);
  tarvikTestMallocFail(1, false);
  EXPECT_EQ(tarvikExpr(TK_EQ, pLeft, pRight, 0), nullptr);
  ExprList *pList = tarvikExprListAppend(0, tarvikExpr(TK_ID, 0, 0, &a), 0);
  ASSERT_NE(pList, nullptr);
  tarvikTestMallocFail(1, false);
  EXPECT_EQ(tarvikExprFunction(pList, &a), nullptr);
  Select *pSel = tarvikSelectNew(tarvikExprListAppend(0, tarvikExpr(TK_ID, 0, 0, &a), 0),
                                 tarvikSrcListAppend(0, &a, 0), tarvikExpr(TK_ID, 0, 0, &a), 0, 0,
                                 0, 0, -1, 0);
  ASSERT_NE(pSel, nullptr);
  tarvikSelectDelete(pSel);
  tarvikTestMallocFail(0, false);
  tarvik_malloc_failed = 0;
}

TEST(Expr, ExprListGrowsAndSkipsEmptyItems) {
  LeakCheck leaks;
  Token a = tok("a"), name = tok("\"My\"\"Name\"");
  ExprList *p = tarvikExprListAppend(0, 0, 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->nExpr, 0) << "f() has an empty, non-null list";
  for (int i = 0; i < 100; i++) p = tarvikExprListAppend(p, tarvikExpr(TK_ID, 0, 0, &a), 0);
  p = tarvikExprListAppend(p, 0, &name);
  ASSERT_EQ(p->nExpr, 101);
  EXPECT_GE(p->nAlloc, 101);
  EXPECT_STREQ(p->a[100].zName, "My\"Name");
  EXPECT_EQ(p->a[100].pExpr, nullptr);
  // A failed growth empties the list and frees everything, the new item too.
  while (p->nExpr < p->nAlloc) p = tarvikExprListAppend(p, tarvikExpr(TK_ID, 0, 0, &a), 0);
  Expr *pExtra = tarvikExpr(TK_ID, 0, 0, &a);
  tarvikTestMallocFail(1, false);
  ExprList *q = tarvikExprListAppend(p, pExtra, 0);
  tarvikTestMallocFail(0, false);
  tarvik_malloc_failed = 0;
  EXPECT_EQ(q, p);
  EXPECT_EQ(q->nExpr, 0);
  tarvikExprListDelete(q);
}

TEST(Expr, IdListDequotesAndDeletesItselfOnFailure) {
  LeakCheck leaks;
  Token x = tok("[a b]"), y = tok("'c''d'");
  IdList *p = tarvikIdListAppend(0, &x);
  p = tarvikIdListAppend(p, &y);
  ASSERT_NE(p, nullptr);
  ASSERT_EQ(p->nId, 2);
  EXPECT_STREQ(p->a[0].zName, "a b");
  EXPECT_STREQ(p->a[1].zName, "c'd");
  tarvikTestMallocFail(1, false);
  EXPECT_EQ(tarvikIdListAppend(p, &x), nullptr);
  tarvikTestMallocFail(0, false);
  tarvik_malloc_failed = 0;
}

TEST(Expr, SrcListTakesDatabaseThenTableAndCapsItsSize) {
  LeakCheck leaks;
  Token db = tok("main"), tbl = tok("\"T 1\""), none = {nullptr, 0, 0}, alias = tok("[x]");
  SrcList *p = tarvikSrcListAppend(0, &db, &tbl);
  ASSERT_NE(p, nullptr);
  EXPECT_STREQ(p->a[0].zDatabase, "main");
  EXPECT_STREQ(p->a[0].zName, "T 1");
  EXPECT_EQ(p->a[0].iCursor, -1);
  p = tarvikSrcListAppend(p, &tbl, &none);
  EXPECT_EQ(p->a[1].zDatabase, nullptr) << "a database token without text is no database";
  EXPECT_STREQ(p->a[1].zName, "T 1");
  tarvikSrcListAddAlias(p, &alias);
  EXPECT_STREQ(p->a[1].zAlias, "x");
  p = tarvikSrcListAppend(p, 0, 0);
  EXPECT_EQ(p->nSrc, 3);
  EXPECT_EQ(p->a[2].zName, nullptr);
  tarvikSrcListDelete(p);

  // The 16-bit count: 65535 items fit, the next one fails and frees the list.
  p = nullptr;
  for (int i = 0; i < 0xffff; i++) p = tarvikSrcListAppend(p, &db, 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->nSrc, 0xffff);
  int failed = tarvik_malloc_failed;
  EXPECT_EQ(tarvikSrcListAppend(p, &db, 0), nullptr);
  EXPECT_EQ(tarvik_malloc_failed, failed + 1);
  tarvik_malloc_failed = 0;
}

TEST(Expr, CollateTypeFindsTextWords) {
  for (const char *z : {"TEXT", "varchar(10)", "CLOB", "blob", "NCHAR", "xtexty"}) {
    EXPECT_EQ(tarvikCollateType(z, (int)strlen(z)), TARVIK_SO_TEXT) << z;
  }
  for (const char *z : {"INTEGER", "", "TEX", "NUMERIC", "BLO B", "CHA"}) {
    EXPECT_EQ(tarvikCollateType(z, (int)strlen(z)), TARVIK_SO_NUM) << z;
  }
  EXPECT_EQ(tarvikCollateType("TEXT", 3), TARVIK_SO_NUM) << "only the given length counts";
}

}  // namespace

namespace {

Select *gCaptured = nullptr;

void captureSelect(const char *zName, const TarvikGenArg *aArg, int nArg) {
  if (strcmp(zName, "Select") == 0 && nArg > 0 && gCaptured == nullptr) {
    gCaptured = tarvikSelectDup((const Select *)aArg[0].p);
  }
}

std::string opText(const VdbeOp *pOp) {
  std::string s = std::string(tarvikOpcodeName(pOp->opcode)) + " " + std::to_string(pOp->p1) + " " +
                  std::to_string(pOp->p2);
  if (pOp->p3type == P3_POINTER) {
    s += " ptr";
  } else if (pOp->p3) {
    s += std::string(" ") + pOp->p3;
  }
  return s;
}

// A connection with main and temp, the built-in functions, and tables made
// by parsing their CREATE statements.
struct Conn {
  tarvik db;
  Conn() {
    memset(&db, 0, sizeof(db));
    db.nDb = 2;
    db.aDb = db.aDbStatic;
    db.aDb[0].zName = (char *)"main";
    db.aDb[1].zName = (char *)"temp";
    for (int i = 0; i < 2; i++) {
      tarvikHashInit(&db.aDb[i].tblHash, TARVIK_HASH_STRING, 0);
      tarvikHashInit(&db.aDb[i].idxHash, TARVIK_HASH_STRING, 0);
      tarvikHashInit(&db.aDb[i].trigHash, TARVIK_HASH_STRING, 0);
      tarvikHashInit(&db.aDb[i].aFKey, TARVIK_HASH_STRING, 1);
    }
    tarvikHashInit(&db.aFunc, TARVIK_HASH_STRING, 1);
    tarvikRegisterBuiltinFunctions(&db);
    db.file_format = 4;
    db.onError = OE_Default;
    db.flags = TARVIK_Initialized;
    db.magic = TARVIK_MAGIC_OPEN;
    // As the schema loader does: the tables exist without any program.
    db.init.busy = 1;
    int tnum = 3;
    for (const char *z :
         {"CREATE TABLE t1(a INTEGER PRIMARY KEY, b TEXT, c)", "CREATE TABLE t2(a, d VARCHAR(10))",
          "CREATE TABLE t3(rowid TEXT, abc)"}) {
      db.init.newTnum = tnum++;
      Parse p;
      memset(&p, 0, sizeof(p));
      p.db = &db;
      char *zErr = nullptr;
      EXPECT_EQ(tarvikRunParser(&p, z, &zErr), 0) << (zErr ? zErr : "");
      tarvikFree(zErr);
      if (p.pVdbe) tarvikVdbeDelete(p.pVdbe);
    }
    db.init.busy = 0;
  }
  ~Conn() {
    tarvikResetInternalSchema(&db, 0);
    for (int i = 0; i < db.nDb; i++) {
      tarvikHashClear(&db.aDb[i].tblHash);
      tarvikHashClear(&db.aDb[i].idxHash);
      tarvikHashClear(&db.aDb[i].trigHash);
      tarvikHashClear(&db.aDb[i].aFKey);
    }
    tarvikFreeFunctions(&db);
  }
};

// One SELECT parsed and compiled expression by expression, as the SELECT
// compiler will: bind the FROM tables, give them cursors, resolve and check
// the result columns, then WHERE, then code.
struct Compiled {
  Parse parse;
  Select *pSel = nullptr;
  int rc = 0;  // 1 when resolution or checking failed
  int isAgg = 0;
  std::string err;
  explicit Compiled(Conn &c, const char *zSql, bool allowAgg = true,
                    TriggerStack *pTrig = nullptr) {
    memset(&parse, 0, sizeof(parse));
    parse.db = &c.db;
    parse.trigStack = pTrig;
    if (pTrig) parse.nTab = 7;  // above the trigger's NEW and OLD cursors
    pSel = parseSelect(c, zSql);
    // As every compiler does: a statement whose trees ran out of memory
    // (perhaps a partial copy) is abandoned.
    if (pSel == nullptr || tarvik_malloc_failed) {
      rc = -1;
      return;
    }
    parse.pVdbe = tarvikVdbeCreate(&c.db);
    if (parse.pVdbe == nullptr) {
      rc = -1;
      return;
    }
    SrcList *pSrc = pSel->pSrc;
    for (int i = 0; pSrc && i < pSrc->nSrc; i++) {
      pSrc->a[i].pTab = tarvikFindTable(&c.db, pSrc->a[i].zName, pSrc->a[i].zDatabase);
    }
    tarvikSrcListAssignCursors(&parse, pSrc);
    ExprList *pEList = pSel->pEList;
    for (int i = 0; rc == 0 && i < pEList->nExpr; i++) {
      rc = tarvikExprResolveIds(&parse, pSrc, nullptr, pEList->a[i].pExpr);
      if (rc == 0) rc = tarvikExprCheck(&parse, pEList->a[i].pExpr, allowAgg, &isAgg) ? 1 : 0;
    }
    if (rc == 0 && pSel->pWhere) {
      rc = tarvikExprResolveIds(&parse, pSrc, pEList, pSel->pWhere);
      if (rc == 0) rc = tarvikExprCheck(&parse, pSel->pWhere, 0, nullptr) ? 1 : 0;
    }
    for (int i = 0; rc == 0 && pSel->pOrderBy && i < pSel->pOrderBy->nExpr; i++) {
      rc = tarvikExprResolveIds(&parse, pSrc, pEList, pSel->pOrderBy->a[i].pExpr);
    }
    if (parse.zErrMsg) err = parse.zErrMsg;
  }
  ~Compiled() {
    tarvikSelectDelete(pSel);
    if (parse.pVdbe) tarvikVdbeDelete(parse.pVdbe);
    tarvikFree(parse.zErrMsg);
    tarvikFree(parse.aAgg);
  }
  static Select *parseSelect(Conn &c, const char *zSql) {
    Parse p;
    memset(&p, 0, sizeof(p));
    p.db = &c.db;
    gCaptured = nullptr;
    tarvikTestGenHook = captureSelect;
    char *zErr = nullptr;
    tarvikRunParser(&p, zSql, &zErr);
    tarvikTestGenHook = nullptr;
    tarvikFree(zErr);
    if (p.pVdbe) tarvikVdbeDelete(p.pVdbe);
    Select *pSel = gCaptured;
    gCaptured = nullptr;
    return pSel;
  }
  Expr *col(int i) { return pSel->pEList->a[i].pExpr; }
  int mark() { return tarvikVdbeCurrentAddr(parse.pVdbe); }
  // The instructions from address `from` on, one per line.
  std::string listing(int from = 0) {
    std::string s;
    for (int i = from; i < tarvikVdbeCurrentAddr(parse.pVdbe); i++) {
      s += opText(tarvikVdbeGetOp(parse.pVdbe, i)) + "\n";
    }
    return s;
  }
  std::string code(Expr *p) {
    int m = mark();
    tarvikExprCode(&parse, p);
    return listing(m);
  }
};

std::string errorOf(Conn &c, const char *zSql) {
  Compiled r(c, zSql);
  EXPECT_EQ(r.rc, 1) << zSql;
  return r.err;
}

TEST(ExprResolve, ColumnsBindToCursorsAndTypes) {
  Conn c;
  Compiled r(c, "SELECT t1.a, b, main.t1.c, d, t2.a, x.abc FROM t1, t2, t3 AS x");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.code(r.col(0)), "Recno 0 0\n");  // the INTEGER PRIMARY KEY is the row id
  EXPECT_EQ(r.code(r.col(1)), "Column 0 1\n");
  EXPECT_EQ(r.col(1)->dataType, TARVIK_SO_TEXT);
  EXPECT_EQ(r.code(r.col(2)), "Column 0 2\n");
  EXPECT_EQ(r.col(2)->dataType, TARVIK_SO_NUM);
  EXPECT_EQ(r.code(r.col(3)), "Column 1 1\n");
  EXPECT_EQ(tarvikExprType(r.col(3)), TARVIK_SO_TEXT);
  EXPECT_EQ(r.code(r.col(4)), "Column 1 0\n");
  EXPECT_EQ(r.code(r.col(5)), "Column 2 1\n");
  for (int i = 0; i < 6; i++) {
    EXPECT_EQ(r.col(i)->op, TK_COLUMN);
    EXPECT_EQ(r.col(i)->pLeft, nullptr);
  }
}

TEST(ExprResolve, ErrorsNameTheColumnAsWritten) {
  Conn c;
  EXPECT_EQ(errorOf(c, "SELECT a FROM t1, t2"), "ambiguous column name: a");
  EXPECT_EQ(errorOf(c, "SELECT zz FROM t1"), "no such column: zz");
  EXPECT_EQ(errorOf(c, "SELECT t2.b FROM t1, t2"), "no such column: t2.b");
  EXPECT_EQ(errorOf(c, "SELECT temp.t1.b FROM t1"), "no such column: temp.t1.b");
  // An aliased table is known only by its alias.
  EXPECT_EQ(errorOf(c, "SELECT t1.b FROM t1 AS x"), "no such column: t1.b");
  EXPECT_EQ(errorOf(c, "SELECT [b] FROM t2"), "no such column: b");
  // The first error stops resolution.
  EXPECT_EQ(errorOf(c, "SELECT b FROM t1 WHERE q = 1 AND r = 2"), "no such column: q");
}

TEST(ExprResolve, RowidNeedsOneTableAndYieldsToARealColumn) {
  Conn c;
  EXPECT_EQ(errorOf(c, "SELECT rowid FROM t1, t2"), "no such column: rowid");
  {
    Compiled r(c, "SELECT t2.rowid, t1.OID, t1._rowid_ FROM t1, t2");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.code(r.col(0)), "Recno 1 0\n");
    EXPECT_EQ(r.code(r.col(1)), "Recno 0 0\n");
    EXPECT_EQ(r.code(r.col(2)), "Recno 0 0\n");
    EXPECT_EQ(tarvikExprType(r.col(0)), TARVIK_SO_NUM);
  }
  Compiled r(c, "SELECT rowid, oid FROM t3");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.code(r.col(0)), "Column 0 0\n");
  EXPECT_EQ(r.code(r.col(1)), "Recno 0 0\n");
}

TEST(ExprResolve, AliasesAndDoubleQuotedStrings) {
  Conn c;
  {
    Compiled r(c, "SELECT b AS y FROM t1 WHERE y > 'm' ORDER BY y");
    ASSERT_EQ(r.rc, 0) << r.err;
    Expr *pW = r.pSel->pWhere;
    ASSERT_EQ(pW->pLeft->op, TK_AS);
    EXPECT_EQ(pW->pLeft->iColumn, 0);
    EXPECT_EQ(r.code(pW->pLeft), "Column 0 1\n");
    EXPECT_EQ(tarvikExprType(pW), TARVIK_SO_TEXT);
    EXPECT_EQ(r.pSel->pOrderBy->a[0].pExpr->op, TK_AS);
  }
  {
    // No column abc in t1: the string "abc".  In t3 it is the column.
    Compiled r(c, "SELECT \"abc\", 'abc' FROM t1");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.code(r.col(0)), "String 0 0 abc\n");
    EXPECT_EQ(r.code(r.col(1)), "String 0 0 abc\n");
  }
  Compiled r(c, "SELECT \"abc\", 'abc' FROM t3");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.code(r.col(0)), "Column 0 1\n");
  EXPECT_EQ(r.code(r.col(1)), "String 0 0 abc\n");
}

TEST(ExprCheck, FunctionErrorsAndAggregates) {
  Conn c;
  EXPECT_EQ(errorOf(c, "SELECT count(max(b)) FROM t1"), "misuse of aggregate function max()");
  EXPECT_EQ(errorOf(c, "SELECT foo(1) FROM t1"), "no such function: foo");
  EXPECT_EQ(errorOf(c, "SELECT substr(1) FROM t1"),
            "wrong number of arguments to function substr()");
  EXPECT_EQ(errorOf(c, "SELECT b FROM t1 WHERE count(*) > 1"),
            "misuse of aggregate function count()");
  {
    Compiled r(c, "SELECT count(*), upper(b), b LIKE 'x%', max(c) + 1 FROM t1");
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.isAgg, 1);
    EXPECT_EQ(r.col(0)->op, TK_AGG_FUNCTION);
    EXPECT_EQ(r.col(1)->op, TK_FUNCTION);
    EXPECT_EQ(r.col(1)->dataType, TARVIK_SO_TEXT);  // takes its argument's type
    EXPECT_EQ(r.col(2)->op, TK_LIKE);
    EXPECT_EQ(r.col(3)->pLeft->op, TK_AGG_FUNCTION);
  }
  Compiled r(c, "SELECT upper(b), coalesce(b, c), length(b) FROM t1");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.isAgg, 0);
  EXPECT_EQ(tarvikExprType(r.col(2)), TARVIK_SO_NUM);
}

// An aggregate reached through an alias is still an aggregate: refused in
// WHERE, accepted (and flagged) where aggregates are allowed.
TEST(ExprCheck, AggregateThroughAnAliasIsCheckedAgain) {
  Conn c;
  EXPECT_EQ(errorOf(c, "SELECT count(*) AS n FROM t1 WHERE n > 1"),
            "misuse of aggregate function count()");
  Compiled r(c, "SELECT max(c) AS m FROM t1 ORDER BY m");
  ASSERT_EQ(r.rc, 0) << r.err;
  Expr *pOrder = r.pSel->pOrderBy->a[0].pExpr;
  ASSERT_EQ(pOrder->op, TK_AS);
  int isAgg = 0;
  EXPECT_EQ(tarvikExprCheck(&r.parse, pOrder, 1, &isAgg), 0);
  EXPECT_EQ(isAgg, 1);
  EXPECT_EQ(pOrder->pLeft->op, TK_AGG_FUNCTION);
}

// Without a FROM list (INSERT ... VALUES) names are errors, yet IN sets and
// scalar sub-queries are still filled before use.
TEST(ExprResolve, NoFromListStillFillsSetsAndSubqueries) {
  Conn c;
  Compiled r(c, "SELECT 1 IN (2, 3), (SELECT 1), b, \"q\" FROM t1");
  ASSERT_EQ(r.rc, 0) << r.err;  // resolved once against t1; now again without tables
  Parse &p = r.parse;
  int m = r.mark();
  Token two = {"2", 0, 1}, one = {"1", 0, 1}, q = {"\"q\"", 0, 3}, bTok = {"b", 0, 1};
  ExprList *pIn = tarvikExprListAppend(nullptr, tarvikExpr(TK_INTEGER, 0, 0, &two), nullptr);
  Expr *pE = tarvikExpr(TK_IN, tarvikExpr(TK_INTEGER, 0, 0, &one), nullptr, nullptr);
  pE->pList = pIn;
  EXPECT_EQ(tarvikExprResolveIds(&p, nullptr, nullptr, pE), 0);
  EXPECT_EQ(r.listing(m), "SetInsert 1 0 2\n");
  Expr *pStr = tarvikExpr(TK_STRING, 0, 0, &q);
  EXPECT_EQ(tarvikExprResolveIds(&p, nullptr, nullptr, pStr), 0);
  EXPECT_EQ(pStr->op, TK_STRING);
  Expr *pId = tarvikExpr(TK_ID, 0, 0, &bTok);
  EXPECT_EQ(tarvikExprResolveIds(&p, nullptr, nullptr, pId), 1);
  EXPECT_EQ(std::string(p.zErrMsg), "no such column: b");
  tarvikExprDelete(pE);
  tarvikExprDelete(pStr);
  tarvikExprDelete(pId);
}

TEST(ExprType, KindsAndComparisons) {
  Conn c;
  Compiled r(c,
             "SELECT b || 1, NULL, ?, 1 + 'a', b = 1, c = b, 1 = 2, "
             "CASE WHEN 1 THEN b END, CASE WHEN 1 THEN b ELSE 2 END, b IS NULL FROM t1");
  ASSERT_EQ(r.rc, 0) << r.err;
  const int want[] = {TARVIK_SO_TEXT, TARVIK_SO_TEXT, TARVIK_SO_TEXT, TARVIK_SO_NUM, TARVIK_SO_NUM,
                      TARVIK_SO_NUM,  TARVIK_SO_NUM,  TARVIK_SO_TEXT, TARVIK_SO_NUM, TARVIK_SO_NUM};
  for (int i = 0; i < 10; i++) EXPECT_EQ(tarvikExprType(r.col(i)), want[i]) << i;
  EXPECT_EQ(tarvikExprType(nullptr), TARVIK_SO_NUM);
}

TEST(ExprCode, LiteralsAndOperators) {
  Conn c;
  Compiled r(c,
             "SELECT 42, 4294967296, -7, -2147483649, -1.5, 'it''s', NULL, ?, ?, "
             "c << 2, b || c, c % 3, NOT c, ~c, -c, +c FROM t1");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.code(r.col(0)), "Integer 42 0 42\n");
  EXPECT_EQ(r.code(r.col(1)), "String 0 0 4294967296\n");
  EXPECT_EQ(r.code(r.col(2)), "Integer -7 0 -7\n");
  EXPECT_EQ(r.code(r.col(3)), "String 0 0 -2147483649\n");
  EXPECT_EQ(r.code(r.col(4)), "String 0 0 -1.5\n");
  EXPECT_EQ(r.code(r.col(5)), "String 0 0 it's\n");
  EXPECT_EQ(r.code(r.col(6)), "String 0 0\n");
  EXPECT_EQ(r.code(r.col(7)), "Variable 1 0\n");
  EXPECT_EQ(r.code(r.col(8)), "Variable 2 0\n");
  // The shift count is evaluated first.
  EXPECT_EQ(r.code(r.col(9)), "Integer 2 0 2\nColumn 0 2\nShiftLeft 0 0\n");
  EXPECT_EQ(r.code(r.col(10)), "Column 0 1\nColumn 0 2\nConcat 2 0\n");
  EXPECT_EQ(r.code(r.col(11)), "Column 0 2\nInteger 3 0 3\nRemainder 0 0\n");
  EXPECT_EQ(r.code(r.col(12)), "Column 0 2\nNot 0 0\n");
  EXPECT_EQ(r.code(r.col(13)), "Column 0 2\nBitNot 0 0\n");
  EXPECT_EQ(r.code(r.col(14)), "Column 0 2\nNegative 0 0\n");
  EXPECT_EQ(r.code(r.col(15)), "Column 0 2\n");
}

TEST(ExprCode, ComparisonsUseTextOpcodesFromFormat4) {
  Conn c;
  Compiled r(c, "SELECT b = 'x', c < 1, c IS NULL, b NOTNULL FROM t1");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.code(r.col(0)), "Column 0 1\nString 0 0 x\nStrEq 0 0\n");
  EXPECT_EQ(r.code(r.col(1)), "Column 0 2\nInteger 1 0 1\nLt 0 0\n");
  int m = r.mark();
  EXPECT_EQ(r.code(r.col(2)),
            "Integer 1 0\nColumn 0 2\nIsNull 1 " + std::to_string(m + 4) + "\nAddImm -1 0\n");
  c.db.file_format = 3;
  EXPECT_EQ(r.code(r.col(0)), "Column 0 1\nString 0 0 x\nEq 0 0\n");
}

TEST(ExprCode, BetweenInCaseAndFunctions) {
  Conn c;
  Compiled r(c,
             "SELECT c BETWEEN 1 AND 5, c IN (1, 'two', -3), NULL IN (1, 2), "
             "CASE c WHEN 1 THEN 'a' WHEN 2 THEN 'b' END, CASE WHEN c THEN 1 ELSE 0 END, "
             "substr(b, 1, 2), min(c, 1) FROM t1");
  ASSERT_EQ(r.rc, 0) << r.err;
  // The IN list's set was filled while resolving, before any loop.
  EXPECT_EQ(r.listing(),
            "SetInsert 0 0 1\nSetInsert 0 0 two\nInteger -3 0 -3\nSetInsert 0 0\n"
            "SetInsert 1 0 1\nSetInsert 1 0 2\n");
  EXPECT_EQ(r.parse.nSet, 2);
  EXPECT_EQ(r.code(r.col(0)),
            "Column 0 2\nDup 0 0\nInteger 1 0 1\nGe 0 0\nPull 1 0\nInteger 5 0 5\nLe 0 0\n"
            "And 0 0\n");
  int m = r.mark();
  auto at = [&](int d) { return std::to_string(m + d); };
  // NULL on the left leaves a single NULL: both entries popped, NULL pushed.
  EXPECT_EQ(r.code(r.col(2)), "Integer 1 0\nString 0 0\nNotNull -1 " + at(6) + "\nPop 2 0\n" +
                                  "String 0 0\nGoto 0 " + at(8) + "\nSetFound 1 " + at(8) +
                                  "\nAddImm -1 0\n");
  m = r.mark();
  EXPECT_EQ(r.code(r.col(3)),
            "Column 0 2\nInteger 1 0 1\nDup 1 1\nNe 1 " + at(7) +
                "\nPop 1 0\nString 0 0 a\nGoto 0 " + at(15) + "\nInteger 2 0 2\nDup 1 1\nNe 1 " +
                at(13) + "\nPop 1 0\nString 0 0 b\nGoto 0 " + at(15) + "\nPop 1 0\nString 0 0\n");
  m = r.mark();
  EXPECT_EQ(r.code(r.col(4)), "Column 0 2\nIfNot 1 " + at(4) + "\nInteger 1 0 1\nGoto 0 " + at(5) +
                                  "\nInteger 0 0 0\n");
  EXPECT_EQ(r.code(r.col(5)), "Column 0 1\nInteger 1 0 1\nInteger 2 0 2\nFunction 3 0 ptr\n");
  // min() and max() compare by type, so each argument carries its type name.
  EXPECT_EQ(r.code(r.col(6)),
            "Column 0 2\nString 0 0 numeric\nInteger 1 0 1\nString 0 0 numeric\n"
            "Function 4 0 ptr\n");
  const VdbeOp *pOp = tarvikVdbeGetOp(r.parse.pVdbe, r.mark() - 1);
  EXPECT_EQ((const FuncDef *)pOp->p3, tarvikFindFunction(&c.db, "min", 3, 2, 0));
}

TEST(ExprCode, InRequiresConstantsAndSubqueriesUseATemporaryTable) {
  Conn c;
  EXPECT_EQ(errorOf(c, "SELECT c IN (1, 2, b) FROM t1"),
            "right-hand side of IN operator must be constant");
  EXPECT_EQ(errorOf(c, "SELECT c IN (1, abs(2)) FROM t1"),
            "right-hand side of IN operator must be constant");
  Compiled r(c, "SELECT c FROM t1 WHERE c IN (SELECT a FROM t2) AND (SELECT 1) = 1");
  ASSERT_EQ(r.rc, 0) << r.err;
  // The sub-queries are compiled where they are resolved: the IN set's rows
  // go into its temporary table, the scalar's value into cell 0.
  EXPECT_EQ(r.listing().rfind("OpenTemp 1 1\nInteger 0 0\nOpenRead 2 ", 0), 0u) << r.listing();
  EXPECT_NE(r.listing().find("PutStrKey 1 0\n"), std::string::npos) << r.listing();
  EXPECT_NE(r.listing().find("Integer 1 0 1\nMemStore 0 1\n"), std::string::npos) << r.listing();
  EXPECT_EQ(r.parse.nTab, 3);
  EXPECT_EQ(r.parse.nMem, 1);
  Expr *pW = r.pSel->pWhere;
  int m = r.mark();
  auto at = [&](int d) { return std::to_string(m + d); };
  EXPECT_EQ(r.code(pW->pLeft), "Integer 1 0\nColumn 0 2\nNotNull -1 " + at(6) +
                                   "\nPop 2 0\nString 0 0\nGoto 0 " + at(8) + "\nFound 1 " + at(8) +
                                   "\nAddImm -1 0\n");
  EXPECT_EQ(r.code(pW->pRight->pLeft), "MemLoad 0 0\n");
}

TEST(ExprJump, IfTrueAndIfFalse) {
  Conn c;
  Compiled r(c,
             "SELECT c < 1 AND b = 'x', c OR b, NOT c IS NULL, c BETWEEN 1 AND 2, "
             "c IN (1) FROM t1");
  ASSERT_EQ(r.rc, 0) << r.err;
  Vdbe *v = r.parse.pVdbe;
  auto jumpCode = [&](Expr *p, bool ifTrue, int jumpIfNull) {
    int m = r.mark();
    tarvikExprIfTrue(&r.parse, nullptr, 0, 0);  // nothing for no expression
    if (ifTrue) {
      tarvikExprIfTrue(&r.parse, p, 99, jumpIfNull);
    } else {
      tarvikExprIfFalse(&r.parse, p, 99, jumpIfNull);
    }
    return std::make_pair(m, r.listing(m));
  };
  (void)v;
  auto [m0, s0] = jumpCode(r.col(0), true, 1);
  EXPECT_EQ(s0, "Column 0 2\nInteger 1 0 1\nGe 0 " + std::to_string(m0 + 6) +
                    "\nColumn 0 1\nString 0 0 x\nStrEq 1 99\n");
  auto [m1, s1] = jumpCode(r.col(0), false, 0);
  EXPECT_EQ(s1, "Column 0 2\nInteger 1 0 1\nGe 0 99\nColumn 0 1\nString 0 0 x\nStrNe 0 99\n");
  auto [m2, s2] = jumpCode(r.col(1), false, 1);
  EXPECT_EQ(s2, "Column 0 2\nIf 0 " + std::to_string(m2 + 4) + "\nColumn 0 1\nIfNot 1 99\n");
  auto [m3, s3] = jumpCode(r.col(2), true, 0);
  EXPECT_EQ(s3, "Column 0 2\nNotNull 1 99\n");
  auto [m4, s4] = jumpCode(r.col(3), true, 0);
  EXPECT_EQ(s4, "Column 0 2\nDup 0 0\nInteger 1 0 1\nLt 1 " + std::to_string(m4 + 7) +
                    "\nInteger 2 0 2\nLe 0 99\nInteger 0 0\nPop 1 0\n");
  auto [m5, s5] = jumpCode(r.col(3), false, 1);
  EXPECT_EQ(s5, "Column 0 2\nDup 0 0\nInteger 1 0 1\nGe 0 " + std::to_string(m5 + 6) +
                    "\nPop 1 0\nGoto 0 99\nInteger 2 0 2\nGt 1 99\n");
  auto [m6, s6] = jumpCode(r.col(4), true, 0);
  EXPECT_EQ(s6, "Column 0 2\nNotNull -1 " + std::to_string(m6 + 4) + "\nPop 1 0\nGoto 0 " +
                    std::to_string(m6 + 5) + "\nSetFound 0 99\n");
  auto [m7, s7] = jumpCode(r.col(4), false, 1);
  EXPECT_EQ(s7, "Column 0 2\nNotNull -1 " + std::to_string(m7 + 4) +
                    "\nPop 1 0\nGoto 0 99\nSetNotFound 0 99\n");
}

TEST(ExprTrigger, RaiseAndNewOldRows) {
  Conn c;
  {
    Compiled r(c, "SELECT new.b FROM t2");
    EXPECT_EQ(r.err, "no such column: new.b");  // new/old mean nothing outside a trigger
    Compiled r2(c, "SELECT RAISE(ABORT, 'bad') FROM t2");
    ASSERT_EQ(r2.rc, 0) << r2.err;
    EXPECT_EQ(r2.code(r2.col(0)), "");
    EXPECT_EQ(std::string(r2.parse.zErrMsg), "RAISE() may only be used within a trigger-program");
  }
  TriggerStack ts{};
  ts.pTab = tarvikFindTable(&c.db, "t1", nullptr);
  ts.newIdx = 5;
  ts.oldIdx = 6;
  ts.ignoreJump = 77;
  Compiled r(c,
             "SELECT RAISE(ABORT, 'bad ''x'''), RAISE(IGNORE), new.b, OLD.rowid, RAISE(FAIL, x) "
             "FROM t2",
             true, &ts);
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.code(r.col(0)), "Halt 19 2 bad 'x'\n");
  EXPECT_EQ(r.code(r.col(1)), "Goto 0 77 (IGNORE jump)\n");
  EXPECT_EQ(r.code(r.col(2)), "Column 5 1\n");
  EXPECT_EQ(tarvikExprType(r.col(2)), TARVIK_SO_TEXT);
  EXPECT_EQ(r.code(r.col(3)), "Recno 6 0\n");
  EXPECT_EQ(r.code(r.col(4)), "Halt 19 3 x\n");
  // A FROM table still wins over the trigger's rows.
  Compiled r3(c, "SELECT new.d FROM t2 AS new", true, &ts);
  ASSERT_EQ(r3.rc, 0) << r3.err;
  EXPECT_EQ(r3.code(r3.col(0)), "Column 7 1\n");
}

TEST(ExprAggregates, OneAccumulatorPerDistinctCallAndColumn) {
  Conn c;
  Compiled r(c, "SELECT count(*), c, COUNT(*), max(b), c + max(B), 1 FROM t1");
  ASSERT_EQ(r.rc, 0) << r.err;
  for (int i = 0; i < r.pSel->pEList->nExpr; i++) {
    ASSERT_EQ(tarvikExprAnalyzeAggregates(&r.parse, r.col(i)), 0);
  }
  ASSERT_EQ(r.parse.nAgg, 3);
  EXPECT_EQ(r.parse.aAgg[0].isAgg, 1);
  EXPECT_EQ(r.parse.aAgg[0].pFunc, tarvikFindFunction(&c.db, "count", 5, 0, 0));
  EXPECT_EQ(r.parse.aAgg[1].isAgg, 0);
  EXPECT_EQ(r.parse.aAgg[2].pFunc, tarvikFindFunction(&c.db, "max", 3, 1, 0));
  EXPECT_EQ(r.col(2)->iAgg, 0);
  EXPECT_EQ(r.col(4)->pRight->iAgg, 2);
  r.parse.useAgg = 1;
  EXPECT_EQ(r.code(r.col(4)), "AggGet 0 1\nAggGet 0 2\nAdd 0 0\n");
  // Growth in steps of 8 entries.
  Compiled many(c,
                "SELECT min(c), max(c), sum(c), avg(c), count(c), min(b), max(b), sum(b), "
                "avg(b), count(b) FROM t1");
  ASSERT_EQ(many.rc, 0) << many.err;
  for (int i = 0; i < 10; i++) ASSERT_EQ(tarvikExprAnalyzeAggregates(&many.parse, many.col(i)), 0);
  EXPECT_EQ(many.parse.nAgg, 10);
}

TEST(ExprDup, CopiesOwnTheirTextAndCompareEqual) {
  Conn c;
  Compiled r(c, "SELECT c + 1 AS x, b FROM t1 AS q, t2 JOIN t3 USING(abc) WHERE c IN (1, 2)");
  Select *pCopy = tarvikSelectDup(r.pSel);
  ASSERT_NE(pCopy, nullptr);
  EXPECT_EQ(pCopy->iLimit, -1);
  EXPECT_EQ(pCopy->iOffset, -1);
  Expr *p = pCopy->pEList->a[0].pExpr;
  EXPECT_EQ(pCopy->pEList->a[0].zName, std::string("x"));
  EXPECT_TRUE(tarvikExprCompare(p, r.col(0)));
  EXPECT_EQ(p->pRight->token.dyn, 1u);
  EXPECT_EQ(std::string(p->pRight->token.z, p->pRight->token.n), "1");
  EXPECT_EQ(p->pLeft->span.z, nullptr);  // copied nodes keep no span
  ASSERT_EQ(pCopy->pSrc->nSrc, 3);
  EXPECT_EQ(pCopy->pSrc->a[0].zAlias, std::string("q"));
  EXPECT_EQ(pCopy->pSrc->a[1].pUsing->a[0].zName, std::string("abc"));
  EXPECT_EQ(pCopy->pSrc->a[2].pTab, nullptr);
  EXPECT_EQ(pCopy->pSrc->a[2].iCursor, r.pSel->pSrc->a[2].iCursor);
  EXPECT_TRUE(tarvikExprCompare(pCopy->pWhere, r.pSel->pWhere));
  EXPECT_FALSE(tarvikExprCompare(pCopy->pWhere, r.col(0)));
  EXPECT_FALSE(tarvikExprCompare(p, nullptr));
  EXPECT_TRUE(tarvikExprCompare(nullptr, nullptr));
  tarvikSelectDelete(pCopy);

  // A list copy keeps each item's span as an owned text.
  Token t = {"abc+1", 0, 5};
  ExprList *pList = tarvikExprListAppend(nullptr, tarvikExpr(TK_INTEGER, 0, 0, &t), nullptr);
  ExprList *pListCopy = tarvikExprListDup(pList);
  ASSERT_NE(pListCopy, nullptr);
  EXPECT_EQ(pListCopy->a[0].pExpr->span.dyn, 1u);
  EXPECT_EQ(std::string(pListCopy->a[0].pExpr->span.z, 5), "abc+1");
  tarvikExprListDelete(pListCopy);
  tarvikExprListDelete(pList);
  // A list owns the transient table of a sub-query in FROM, never a schema
  // table (the leak check of the allocation test and the sanitizer watch).
  Token nm = {"sub", 0, 3};
  SrcList *pSrc = tarvikSrcListAppend(tarvikSrcListAppend(nullptr, &nm, nullptr), &nm, nullptr);
  ASSERT_NE(pSrc, nullptr);
  long before = tarvikTestMallocOutstanding();
  Table *pTrans = (Table *)tarvikMalloc(sizeof(Table));
  pTrans->zName = tarvikStrDup("sub");
  pTrans->isTransient = 1;
  pSrc->a[0].pTab = pTrans;
  pSrc->a[1].pTab = tarvikFindTable(&c.db, "t1", nullptr);
  SrcList *pSrcCopy = tarvikSrcListDup(pSrc);
  EXPECT_EQ(pSrcCopy->a[0].pTab, nullptr);
  tarvikSrcListDelete(pSrcCopy);
  EXPECT_EQ(tarvikTestMallocOutstanding(), before + 2);
  tarvikSrcListDelete(pSrc);
  EXPECT_NE(tarvikFindTable(&c.db, "t1", nullptr), nullptr);
  EXPECT_EQ(tarvikExprDup(nullptr), nullptr);
  EXPECT_EQ(tarvikSrcListDup(nullptr), nullptr);
  EXPECT_EQ(tarvikIdListDup(nullptr), nullptr);
}

TEST(ExprPredicates, ConstantsIntegersRowidsAndLists) {
  Conn c;
  Compiled r(c,
             "SELECT 1 + 2 * 3, ?, c + 1, abs(1), (SELECT 1), '12', -12, -(+5), 2147483648, "
             "- '7' FROM t1");
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_TRUE(tarvikExprIsConstant(r.col(0)));
  EXPECT_TRUE(tarvikExprIsConstant(r.col(1)));
  EXPECT_FALSE(tarvikExprIsConstant(r.col(2)));
  EXPECT_FALSE(tarvikExprIsConstant(r.col(3)));
  EXPECT_FALSE(tarvikExprIsConstant(r.col(4)));
  int v = 0;
  // A quoted literal is text, not a number ('12' keeps its quotes).
  EXPECT_FALSE(tarvikExprIsInteger(r.col(5), &v));
  EXPECT_FALSE(tarvikExprIsInteger(r.col(9), &v));
  EXPECT_TRUE(tarvikExprIsInteger(r.col(6), &v));
  EXPECT_EQ(v, -12);
  EXPECT_TRUE(tarvikExprIsInteger(r.col(7), &v));
  EXPECT_EQ(v, -5);
  EXPECT_FALSE(tarvikExprIsInteger(r.col(8), &v));
  // Bare digit strings made by the engine itself are integers.
  for (auto [z, ok, want] : {std::tuple{"-34", true, -34},
                             {"34", true, 34},
                             {"3a", false, 0},
                             {"-", false, 0},
                             {"99999999999", false, 0}}) {
    Token t = {z, 0, (unsigned)strlen(z)};
    Expr *pStr = tarvikExpr(TK_STRING, 0, 0, &t);
    v = 0;
    EXPECT_EQ(tarvikExprIsInteger(pStr, &v), ok ? 1 : 0) << z;
    EXPECT_EQ(v, want) << z;
    tarvikExprDelete(pStr);
  }
  EXPECT_TRUE(tarvikIsRowid("RowId"));
  EXPECT_TRUE(tarvikIsRowid("_rowid_"));
  EXPECT_FALSE(tarvikIsRowid("rowids"));

  Token a = {"Alpha", 0, 5}, b = {"[beta]", 0, 6};
  IdList *pIds = tarvikIdListAppend(tarvikIdListAppend(nullptr, &a), &b);
  EXPECT_EQ(tarvikIdListIndex(pIds, "BETA"), 1);
  EXPECT_EQ(tarvikIdListIndex(pIds, "gamma"), -1);
  IdList *pIdCopy = tarvikIdListDup(pIds);
  EXPECT_EQ(tarvikIdListIndex(pIdCopy, "alpha"), 0);
  tarvikIdListDelete(pIdCopy);
  tarvikIdListDelete(pIds);
}

// Every allocation in resolving, checking, analysing and coding fails in
// turn: never a crash, never a leak, and an error or the failure flag.
TEST(ExprAlloc, EveryFailureIsSurvivedWithoutLeaks) {
  Conn c;
  const char *zSql =
      "SELECT t1.c + 1 AS x, count(*), substr(b, 1, 2), CASE c WHEN 1 THEN 'a' END FROM t1 "
      "WHERE x BETWEEN 1 AND 2 AND c IN (1, -2, 'z') OR b LIKE 'q%'";
  for (int n = 1;; n++) {
    ASSERT_LT(n, 5000);
    int before = tarvikTestMallocOutstanding();
    tarvik_malloc_failed = 0;
    bool failed;
    {
      tarvikTestMallocFail(n, 0);
      Compiled r(c, zSql);
      if (r.rc == 0) {
        for (int i = 0; i < r.pSel->pEList->nExpr; i++) {
          tarvikExprAnalyzeAggregates(&r.parse, r.col(i));
          tarvikExprCode(&r.parse, r.col(i));
        }
        int lbl = r.parse.pVdbe ? tarvikVdbeMakeLabel(r.parse.pVdbe) : 0;
        tarvikExprIfFalse(&r.parse, r.pSel->pWhere, lbl, 1);
        Select *pCopy = tarvikSelectDup(r.pSel);
        tarvikSelectDelete(pCopy);
      }
      failed = tarvik_malloc_failed != 0;
      tarvikTestMallocFail(0, 0);
    }
    EXPECT_EQ(tarvikTestMallocOutstanding(), before) << "leak at failure " << n;
    if (!failed) {
      EXPECT_GT(n, 50) << "every step allocates";
      break;
    }
  }
  tarvik_malloc_failed = 0;
}

}  // namespace
