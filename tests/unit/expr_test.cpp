// Expression and list constructors: ownership, spans, growth and limits.
#include <gtest/gtest.h>

#include <string>

#include "tarvikInt.h"

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
