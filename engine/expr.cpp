/*
** Expression trees and the lists statements are built from (ExprList,
** SrcList, IdList): construction, spans and deletion.  Every constructor
** takes ownership of the trees and lists handed to it, also when it fails,
** so the parser never has to clean up after a failed call.
*/
#include "tarvikInt.h"

namespace {

/* A dequoted heap copy of a token's text; null when allocation fails. */
char *dequotedCopy(const Token *pToken) {
  char *z = tarvikStrNDup(pToken->z, (int)pToken->n);
  tarvikDequote(z);
  return z;
}

}  // namespace

Expr *tarvikExpr(int op, Expr *pLeft, Expr *pRight, const Token *pToken) {
  Expr *p = (Expr *)tarvikMalloc(sizeof(Expr));
  if (p == nullptr) {
    tarvikExprDelete(pLeft);
    tarvikExprDelete(pRight);
    return nullptr;
  }
  p->op = (u8)op;
  p->pLeft = pLeft;
  p->pRight = pRight;
  if (pToken) {
    /* The text stays in the SQL statement; never take ownership of it. */
    p->token = *pToken;
    p->token.dyn = 0;
    p->span = p->token;
  } else if (pLeft && pRight) {
    tarvikExprSpan(p, &pLeft->span, &pRight->span);
  }
  return p;
}

Expr *tarvikExprFunction(ExprList *pList, const Token *pToken) {
  Expr *p = (Expr *)tarvikMalloc(sizeof(Expr));
  if (p == nullptr) {
    tarvikExprListDelete(pList);
    return nullptr;
  }
  p->op = TK_FUNCTION;
  p->pList = pList;
  if (pToken) {
    p->token = *pToken;
    p->token.dyn = 0;
    p->span = p->token;
  }
  return p;
}

void tarvikExprSpan(Expr *pExpr, const Token *pLeft, const Token *pRight) {
  if (pExpr == nullptr || pLeft == nullptr || pRight == nullptr) return;
  if (pLeft->z == nullptr || pRight->z == nullptr) return;
  if (pExpr->span.dyn) tarvikFree((void *)pExpr->span.z);
  if (pLeft->dyn == 0 && pRight->dyn == 0) {
    pExpr->span.z = pLeft->z;
    pExpr->span.dyn = 0;
    pExpr->span.n = (unsigned)(pRight->z - pLeft->z) + pRight->n;
  } else {
    pExpr->span.z = nullptr;
    pExpr->span.dyn = 0;
    pExpr->span.n = 0;
  }
}

/* Left operands are followed in a loop: "a+b+c+..." grows to the left
** without deepening the parser stack, so its depth is unbounded. */
void tarvikExprDelete(Expr *p) {
  while (p) {
    if (p->span.dyn) tarvikFree((void *)p->span.z);
    if (p->token.dyn) tarvikFree((void *)p->token.z);
    tarvikExprDelete(p->pRight);
    tarvikExprListDelete(p->pList);
    tarvikSelectDelete(p->pSelect);
    Expr *pLeft = p->pLeft;
    tarvikFree(p);
    p = pLeft;
  }
}

ExprList *tarvikExprListAppend(ExprList *pList, Expr *pExpr, const Token *pName) {
  if (pList == nullptr) {
    pList = (ExprList *)tarvikMalloc(sizeof(ExprList));
    if (pList == nullptr) {
      tarvikExprDelete(pExpr);
      return nullptr;
    }
  }
  if (pList->nAlloc <= pList->nExpr) {
    i64 nNew = (i64)pList->nAlloc * 2 + 4;
    i64 nByte = nNew * (i64)sizeof(pList->a[0]);
    auto *a = nByte > INT32_MAX ? nullptr
                                : (ExprList::ExprList_item *)tarvikRealloc(pList->a, (int)nByte);
    if (a == nullptr) {
      /* The list survives, emptied; nothing it held leaks. */
      tarvikExprDelete(pExpr);
      for (int i = 0; i < pList->nExpr; i++) {
        tarvikExprDelete(pList->a[i].pExpr);
        tarvikFree(pList->a[i].zName);
      }
      tarvikFree(pList->a);
      pList->a = nullptr;
      pList->nExpr = pList->nAlloc = 0;
      return pList;
    }
    pList->a = a;
    pList->nAlloc = (int)nNew;
  }
  if (pExpr || pName) {
    ExprList::ExprList_item *pItem = &pList->a[pList->nExpr++];
    memset(pItem, 0, sizeof(*pItem));
    pItem->pExpr = pExpr;
    if (pName) pItem->zName = dequotedCopy(pName);
  }
  return pList;
}

void tarvikExprListDelete(ExprList *pList) {
  if (pList == nullptr) return;
  for (int i = 0; i < pList->nExpr; i++) {
    tarvikExprDelete(pList->a[i].pExpr);
    tarvikFree(pList->a[i].zName);
  }
  tarvikFree(pList->a);
  tarvikFree(pList);
}

IdList *tarvikIdListAppend(IdList *pList, const Token *pToken) {
  if (pList == nullptr) {
    pList = (IdList *)tarvikMalloc(sizeof(IdList));
    if (pList == nullptr) return nullptr;
  }
  if (pList->nAlloc <= pList->nId) {
    i64 nNew = (i64)pList->nAlloc * 2 + 5;
    i64 nByte = nNew * (i64)sizeof(pList->a[0]);
    auto *a =
        nByte > INT32_MAX ? nullptr : (IdList::IdList_item *)tarvikRealloc(pList->a, (int)nByte);
    if (a == nullptr) {
      tarvikIdListDelete(pList);
      return nullptr;
    }
    pList->a = a;
    pList->nAlloc = (int)nNew;
  }
  IdList::IdList_item *pItem = &pList->a[pList->nId];
  memset(pItem, 0, sizeof(*pItem));
  pItem->zName = dequotedCopy(pToken);
  if (pItem->zName == nullptr) {
    tarvikIdListDelete(pList);
    return nullptr;
  }
  pList->nId++;
  return pList;
}

void tarvikIdListDelete(IdList *pList) {
  if (pList == nullptr) return;
  for (int i = 0; i < pList->nId; i++) tarvikFree(pList->a[i].zName);
  tarvikFree(pList->a);
  tarvikFree(pList);
}

/* The header and the items are one allocation, grown by doubling.  The
** 16-bit count caps a FROM clause at 65535 items; growing past that is
** reported as an allocation failure. */
SrcList *tarvikSrcListAppend(SrcList *pList, const Token *pTable, const Token *pDatabase) {
  if (pList == nullptr) {
    pList = (SrcList *)tarvikMalloc(sizeof(SrcList));
    if (pList == nullptr) return nullptr;
    pList->nAlloc = 1;
  }
  if (pList->nSrc >= pList->nAlloc) {
    int nNew = pList->nAlloc ? pList->nAlloc * 2 : 1;
    if (nNew > 0xffff) nNew = 0xffff;
    SrcList *pNew = nullptr;
    if (nNew > pList->nSrc) {
      pNew = (SrcList *)tarvikRealloc(pList,
                                      (int)(sizeof(SrcList) + (nNew - 1) * sizeof(pList->a[0])));
    } else {
      tarvikMalloc(-1); /* counts the failure */
    }
    if (pNew == nullptr) {
      tarvikSrcListDelete(pList);
      return nullptr;
    }
    pList = pNew;
    pList->nAlloc = (u16)nNew;
  }
  SrcList::SrcList_item *pItem = &pList->a[pList->nSrc];
  memset(pItem, 0, sizeof(*pItem));
  pItem->iCursor = -1;
  pList->nSrc++;
  if (pDatabase && pDatabase->z == nullptr) pDatabase = nullptr;
  if (pDatabase && pTable) {
    /* "db.tbl" arrives as (db, tbl). */
    const Token *pTemp = pDatabase;
    pDatabase = pTable;
    pTable = pTemp;
  }
  if (pTable) {
    pItem->zName = dequotedCopy(pTable);
    if (pItem->zName == nullptr) {
      tarvikSrcListDelete(pList);
      return nullptr;
    }
  }
  if (pDatabase) {
    pItem->zDatabase = dequotedCopy(pDatabase);
    if (pItem->zDatabase == nullptr) {
      tarvikSrcListDelete(pList);
      return nullptr;
    }
  }
  return pList;
}

void tarvikSrcListAddAlias(SrcList *pList, const Token *pToken) {
  if (pList && pList->nSrc > 0) {
    SrcList::SrcList_item *pItem = &pList->a[pList->nSrc - 1];
    tarvikFree(pItem->zAlias);
    pItem->zAlias = dequotedCopy(pToken);
  }
}

/* Items never hold a table here yet: binding (and the transient tables of
** sub-queries, which the list owns) comes with SELECT compilation. */
void tarvikSrcListDelete(SrcList *pList) {
  if (pList == nullptr) return;
  for (int i = 0; i < pList->nSrc; i++) {
    SrcList::SrcList_item *pItem = &pList->a[i];
    tarvikFree(pItem->zDatabase);
    tarvikFree(pItem->zName);
    tarvikFree(pItem->zAlias);
    tarvikSelectDelete(pItem->pSelect);
    tarvikExprDelete(pItem->pOn);
    tarvikIdListDelete(pItem->pUsing);
  }
  tarvikFree(pList);
}

/* ---------------------------------------------------------------- interface placeholders */
void tarvikSrcListAssignCursors(Parse *pParse, SrcList *pList) {
  for (int i = 0; pList && i < pList->nSrc; i++) {
    if (pList->a[i].iCursor < 0) pList->a[i].iCursor = pParse->nTab++;
  }
}
int tarvikIdListIndex(IdList *pList, const char *zName) {
  for (int i = 0; pList && i < pList->nId; i++) {
    if (tarvikStrICmp(pList->a[i].zName, zName) == 0) return i;
  }
  return -1;
}
void tarvikTokenCopy(Token *, const Token *) {}
Expr *tarvikExprDup(const Expr *) { return nullptr; }
ExprList *tarvikExprListDup(const ExprList *) { return nullptr; }
SrcList *tarvikSrcListDup(const SrcList *) { return nullptr; }
IdList *tarvikIdListDup(const IdList *) { return nullptr; }
Select *tarvikSelectDup(const Select *) { return nullptr; }
int tarvikExprResolveIds(Parse *, SrcList *, ExprList *, Expr *) { return 0; }
int tarvikExprCheck(Parse *, Expr *, int, int *) { return 0; }
int tarvikExprType(const Expr *) { return TARVIK_SO_NUM; }
void tarvikExprCode(Parse *, Expr *) {}
int tarvikExprCodeExprList(Parse *, ExprList *, int) { return 0; }
void tarvikExprIfTrue(Parse *, Expr *, int, int) {}
void tarvikExprIfFalse(Parse *, Expr *, int, int) {}
int tarvikExprCompare(const Expr *, const Expr *) { return 0; }
int tarvikExprAnalyzeAggregates(Parse *, Expr *) { return 0; }
int tarvikExprIsConstant(const Expr *) { return 0; }
int tarvikExprIsInteger(const Expr *, int *) { return 0; }
int tarvikIsRowid(const char *) { return 0; }
