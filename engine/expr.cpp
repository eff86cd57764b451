/*
** Expression trees and the lists statements are built from (ExprList,
** SrcList, IdList): construction, spans, copies and deletion; then name
** resolution, function checking, typing, aggregate analysis and code
** generation for expressions.  Every constructor
** takes ownership of the trees and lists handed to it, also when it fails,
** so the parser never has to clean up after a failed call.
*/
#include <cstdlib>
#include <cstring>

#include "tarvikInt.h"
#include "vdbe.h"

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

/* A bound item points at a schema table, which the schema owns, or at a
** transient table describing a sub-query in FROM, which the list owns. */
void tarvikSrcListDelete(SrcList *pList) {
  if (pList == nullptr) return;
  for (int i = 0; i < pList->nSrc; i++) {
    SrcList::SrcList_item *pItem = &pList->a[i];
    tarvikFree(pItem->zDatabase);
    tarvikFree(pItem->zName);
    tarvikFree(pItem->zAlias);
    if (pItem->pTab && pItem->pTab->isTransient) tarvikDeleteTable(nullptr, pItem->pTab);
    tarvikSelectDelete(pItem->pSelect);
    tarvikExprDelete(pItem->pOn);
    tarvikIdListDelete(pItem->pUsing);
  }
  tarvikFree(pList);
}

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

/* ---------------------------------------------------------------- copies
** Views, triggers and compound selects keep copies that must outlive the
** SQL text, so every copy owns its text.  A failed allocation leaves a
** partial copy; the failure flag then abandons the statement. */

void tarvikTokenCopy(Token *pTo, const Token *pFrom) {
  if (pTo->dyn) tarvikFree((void *)pTo->z);
  if (pFrom->z) {
    pTo->z = tarvikStrNDup(pFrom->z, (int)pFrom->n);
    pTo->n = pTo->z ? pFrom->n : 0;
    pTo->dyn = pTo->z ? 1 : 0;
  } else {
    pTo->z = nullptr;
    pTo->n = 0;
    pTo->dyn = 0;
  }
}

/* Left operands are followed in a loop, as deletion does, so a long chain
** such as a+b+c+... does not deepen the stack. */
Expr *tarvikExprDup(const Expr *p) {
  Expr *pRoot = nullptr;
  Expr **ppTo = &pRoot;
  for (; p; p = p->pLeft) {
    Expr *pNew = (Expr *)tarvikMallocRaw(sizeof(Expr));
    if (pNew == nullptr) break;
    *pNew = *p;
    pNew->token = Token{nullptr, 0, 0};
    tarvikTokenCopy(&pNew->token, &p->token);
    pNew->span = Token{nullptr, 0, 0};
    pNew->pLeft = nullptr;
    pNew->pRight = tarvikExprDup(p->pRight);
    pNew->pList = tarvikExprListDup(p->pList);
    pNew->pSelect = tarvikSelectDup(p->pSelect);
    *ppTo = pNew;
    ppTo = &pNew->pLeft;
  }
  return pRoot;
}

ExprList *tarvikExprListDup(const ExprList *p) {
  if (p == nullptr) return nullptr;
  ExprList *pNew = (ExprList *)tarvikMalloc(sizeof(ExprList));
  if (pNew == nullptr) return nullptr;
  if (p->nExpr > 0) {
    pNew->a = (ExprList::ExprList_item *)tarvikMalloc(p->nExpr * (int)sizeof(p->a[0]));
    if (pNew->a == nullptr) {
      tarvikFree(pNew);
      return nullptr;
    }
  }
  pNew->nAlloc = p->nExpr;
  for (int i = 0; i < p->nExpr; i++) {
    const ExprList::ExprList_item *pOld = &p->a[i];
    ExprList::ExprList_item *pItem = &pNew->a[i];
    pItem->pExpr = tarvikExprDup(pOld->pExpr);
    /* The span names a result column; keep an owned copy of it. */
    if (pItem->pExpr && pOld->pExpr->span.z) {
      tarvikTokenCopy(&pItem->pExpr->span, &pOld->pExpr->span);
    }
    pItem->zName = pOld->zName ? tarvikStrDup(pOld->zName) : nullptr;
    pItem->sortOrder = pOld->sortOrder;
    pItem->isAgg = pOld->isAgg;
    pItem->done = pOld->done;
    pNew->nExpr = i + 1;
  }
  return pNew;
}

IdList *tarvikIdListDup(const IdList *p) {
  if (p == nullptr) return nullptr;
  IdList *pNew = (IdList *)tarvikMalloc(sizeof(IdList));
  if (pNew == nullptr) return nullptr;
  if (p->nId > 0) {
    pNew->a = (IdList::IdList_item *)tarvikMalloc(p->nId * (int)sizeof(p->a[0]));
    if (pNew->a == nullptr) {
      tarvikFree(pNew);
      return nullptr;
    }
  }
  pNew->nAlloc = p->nId;
  for (int i = 0; i < p->nId; i++) {
    pNew->a[i].zName = p->a[i].zName ? tarvikStrDup(p->a[i].zName) : nullptr;
    pNew->a[i].idx = p->a[i].idx;
    pNew->nId = i + 1;
  }
  return pNew;
}

SrcList *tarvikSrcListDup(const SrcList *p) {
  if (p == nullptr) return nullptr;
  int nItem = p->nSrc > 0 ? p->nSrc : 1;
  SrcList *pNew = (SrcList *)tarvikMalloc((int)(sizeof(SrcList) + (nItem - 1) * sizeof(p->a[0])));
  if (pNew == nullptr) return nullptr;
  pNew->nAlloc = (u16)nItem;
  for (int i = 0; i < p->nSrc; i++) {
    const SrcList::SrcList_item *pOld = &p->a[i];
    SrcList::SrcList_item *pItem = &pNew->a[i];
    pItem->zDatabase = pOld->zDatabase ? tarvikStrDup(pOld->zDatabase) : nullptr;
    pItem->zName = pOld->zName ? tarvikStrDup(pOld->zName) : nullptr;
    pItem->zAlias = pOld->zAlias ? tarvikStrDup(pOld->zAlias) : nullptr;
    pItem->jointype = pOld->jointype;
    pItem->iCursor = pOld->iCursor;
    pItem->pTab = nullptr;
    pItem->pSelect = tarvikSelectDup(pOld->pSelect);
    pItem->pOn = tarvikExprDup(pOld->pOn);
    pItem->pUsing = tarvikIdListDup(pOld->pUsing);
    pNew->nSrc = (u16)(i + 1);
  }
  return pNew;
}

/* A compound is a chain through pPrior: copied in a loop. */
Select *tarvikSelectDup(const Select *p) {
  Select *pRoot = nullptr;
  Select **ppTo = &pRoot;
  for (; p; p = p->pPrior) {
    Select *pNew = (Select *)tarvikMalloc(sizeof(Select));
    if (pNew == nullptr) break;
    pNew->pEList = tarvikExprListDup(p->pEList);
    pNew->pSrc = tarvikSrcListDup(p->pSrc);
    pNew->pWhere = tarvikExprDup(p->pWhere);
    pNew->pGroupBy = tarvikExprListDup(p->pGroupBy);
    pNew->pHaving = tarvikExprDup(p->pHaving);
    pNew->pOrderBy = tarvikExprListDup(p->pOrderBy);
    pNew->op = p->op;
    pNew->isDistinct = p->isDistinct;
    pNew->nLimit = p->nLimit;
    pNew->nOffset = p->nOffset;
    pNew->iLimit = -1;
    pNew->iOffset = -1;
    *ppTo = pNew;
    ppTo = &pNew->pPrior;
  }
  return pRoot;
}

/* ---------------------------------------------------------------- small predicates */

int tarvikExprIsConstant(const Expr *p) {
  if (p == nullptr) return 0;
  switch (p->op) {
    case TK_ID:
    case TK_COLUMN:
    case TK_DOT:
    case TK_FUNCTION:
    case TK_AGG_FUNCTION:
      return 0;
    case TK_NULL:
    case TK_STRING:
    case TK_INTEGER:
    case TK_FLOAT:
    case TK_VARIABLE:
      return 1;
    default: {
      if (p->pLeft == nullptr && p->pRight == nullptr &&
          (p->pList == nullptr || p->pList->nExpr == 0)) {
        return 0;
      }
      if (p->pLeft && !tarvikExprIsConstant(p->pLeft)) return 0;
      if (p->pRight && !tarvikExprIsConstant(p->pRight)) return 0;
      if (p->pList) {
        for (int i = 0; i < p->pList->nExpr; i++) {
          if (!tarvikExprIsConstant(p->pList->a[i].pExpr)) return 0;
        }
      }
      /* A sub-query reads tables: never constant. */
      return p->pSelect == nullptr;
    }
  }
}

namespace {

/* A NUL-terminated copy of a token's text, for the number helpers. */
struct TokenText {
  char buf[40];
  bool ok;
  explicit TokenText(const Token &t) {
    ok = t.z != nullptr && t.n < sizeof(buf);
    if (ok) {
      memcpy(buf, t.z, t.n);
      buf[t.n] = 0;
    } else {
      buf[0] = 0;
    }
  }
};

}  // namespace

int tarvikExprIsInteger(const Expr *p, int *pValue) {
  switch (p->op) {
    case TK_INTEGER: {
      TokenText t(p->token);
      if (t.ok && tarvikFitsIn32Bits(t.buf)) {
        *pValue = atoi(t.buf);
        return 1;
      }
      break;
    }
    case TK_STRING: {
      TokenText t(p->token);
      if (!t.ok) break;
      const char *z = t.buf;
      if (*z == '-') z++;
      if (*z == 0) break;
      for (const char *c = z; *c; c++) {
        if (*c < '0' || *c > '9') return 0;
      }
      if (tarvikFitsIn32Bits(t.buf)) {
        *pValue = atoi(t.buf);
        return 1;
      }
      break;
    }
    case TK_UPLUS:
      return p->pLeft ? tarvikExprIsInteger(p->pLeft, pValue) : 0;
    case TK_UMINUS: {
      int v;
      if (p->pLeft && tarvikExprIsInteger(p->pLeft, &v)) {
        *pValue = (int)(0u - (unsigned)v);
        return 1;
      }
      break;
    }
    default:
      break;
  }
  return 0;
}

int tarvikIsRowid(const char *z) {
  return tarvikStrICmp(z, "_ROWID_") == 0 || tarvikStrICmp(z, "ROWID") == 0 ||
         tarvikStrICmp(z, "OID") == 0;
}

/* ---------------------------------------------------------------- name resolution */

namespace {

Vdbe *getVdbe(Parse *pParse) {
  if (pParse->pVdbe == nullptr && pParse->db) pParse->pVdbe = tarvikVdbeCreate(pParse->db);
  return pParse->pVdbe;
}

char *dequotedOrNull(const Token *p) { return p ? dequotedCopy(p) : nullptr; }

/* Looks the first matching column of pTab up for zCol; counts and binds it. */
bool bindColumn(Table *pTab, int iCursor, const char *zCol, Expr *pExpr) {
  for (int j = 0; j < pTab->nCol; j++) {
    if (tarvikStrICmp(pTab->aCol[j].zName, zCol) == 0) {
      pExpr->iTable = iCursor;
      pExpr->iDb = pTab->iDb;
      pExpr->iColumn = j == pTab->iPKey ? -1 : j;
      pExpr->dataType = pTab->aCol[j].sortOrder & TARVIK_SO_TYPEMASK;
      return true;
    }
  }
  return false;
}

/* Binds a column name, optionally qualified by table and database, to a
** FROM item (or a trigger's NEW/OLD row, or a result-column alias). */
int lookupName(Parse *pParse, const Token *pDbToken, const Token *pTableToken,
               const Token *pColumnToken, SrcList *pSrcList, ExprList *pEList, Expr *pExpr) {
  tarvik *db = pParse->db;
  char *zDb = dequotedOrNull(pDbToken);
  char *zTab = dequotedOrNull(pTableToken);
  char *zCol = dequotedOrNull(pColumnToken);
  auto freeNames = [&] {
    tarvikFree(zDb);
    tarvikFree(zTab);
    tarvikFree(zCol);
  };
  if (zCol == nullptr || (pDbToken && zDb == nullptr) || (pTableToken && zTab == nullptr)) {
    freeNames();
    return 1; /* out of memory; the failure flag is set */
  }

  int cnt = 0;
  int cntTab = 0;
  pExpr->iTable = -1;
  for (int i = 0; i < pSrcList->nSrc; i++) {
    SrcList::SrcList_item *pItem = &pSrcList->a[i];
    Table *pTab = pItem->pTab;
    if (pTab == nullptr) continue;
    if (zTab) {
      if (pItem->zAlias) {
        if (tarvikStrICmp(zTab, pItem->zAlias) != 0) continue;
      } else {
        const char *zTabName = pTab->zName ? pTab->zName : pItem->zName;
        if (zTabName == nullptr || tarvikStrICmp(zTabName, zTab) != 0) continue;
        if (zDb && (pTab->iDb >= db->nDb || db->aDb[pTab->iDb].zName == nullptr ||
                    tarvikStrICmp(db->aDb[pTab->iDb].zName, zDb) != 0)) {
          continue;
        }
      }
    }
    if (cntTab++ == 0) {
      pExpr->iTable = pItem->iCursor;
      pExpr->iDb = pTab->iDb;
    }
    if (bindColumn(pTab, pItem->iCursor, zCol, pExpr)) cnt++;
  }

  /* NEW.x and OLD.x inside a trigger body. */
  if (cnt == 0 && zDb == nullptr && zTab && pParse->trigStack) {
    TriggerStack *pTS = pParse->trigStack;
    Table *pTab = nullptr;
    int iCursor = -1;
    if (tarvikStrICmp("new", zTab) == 0 && pTS->newIdx >= 0) {
      iCursor = pTS->newIdx;
      pTab = pTS->pTab;
    } else if (tarvikStrICmp("old", zTab) == 0 && pTS->oldIdx >= 0) {
      iCursor = pTS->oldIdx;
      pTab = pTS->pTab;
    }
    if (pTab) {
      cntTab++;
      pExpr->iTable = iCursor;
      pExpr->iDb = pTab->iDb;
      if (bindColumn(pTab, iCursor, zCol, pExpr)) cnt++;
    }
  }

  /* The row id, when a single table is in view and no real column has
  ** that name. */
  if (cnt == 0 && cntTab == 1 && tarvikIsRowid(zCol)) {
    cnt = 1;
    pExpr->iColumn = -1;
    pExpr->dataType = TARVIK_SO_NUM;
  }

  /* A result-column alias. */
  if (cnt == 0 && pEList) {
    for (int j = 0; j < pEList->nExpr; j++) {
      const char *zAs = pEList->a[j].zName;
      if (zAs && tarvikStrICmp(zAs, zCol) == 0) {
        tvAssert(pExpr->pLeft == nullptr && pExpr->pRight == nullptr);
        pExpr->op = TK_AS;
        pExpr->iColumn = j;
        pExpr->pLeft = tarvikExprDup(pEList->a[j].pExpr);
        freeNames();
        return 0;
      }
    }
  }

  /* "abc" with no such column is the string 'abc'. */
  if (cnt == 0 && zTab == nullptr && pColumnToken->z && pColumnToken->z[0] == '"') {
    freeNames();
    return 0;
  }

  if (cnt != 1) {
    const char *zErr = cnt == 0 ? "no such column: %s" : "ambiguous column name: %s";
    char *zName;
    if (zDb) {
      zName = tarvikMPrintf("%s.%s.%s", zDb, zTab, zCol);
    } else if (zTab) {
      zName = tarvikMPrintf("%s.%s", zTab, zCol);
    } else {
      zName = tarvikStrDup(zCol);
    }
    tarvikErrorMsg(pParse, zErr, zName ? zName : zCol);
    tarvikFree(zName);
  }
  freeNames();
  tarvikExprDelete(pExpr->pLeft);
  pExpr->pLeft = nullptr;
  tarvikExprDelete(pExpr->pRight);
  pExpr->pRight = nullptr;
  pExpr->op = TK_COLUMN;
  /* Column-read authorization joins here when the authorizer exists. */
  return cnt != 1;
}

}  // namespace

int tarvikExprResolveIds(Parse *pParse, SrcList *pSrcList, ExprList *pEList, Expr *pExpr) {
  if (pExpr == nullptr) return 0;
  /* No FROM list (INSERT ... VALUES) resolves against no table: names are
  ** then errors, and IN sets and scalar sub-queries are still computed.
  ** Skipping them would leave code that reads a set or memory cell that
  ** nothing fills. */
  static SrcList noTables{};
  if (pSrcList == nullptr) pSrcList = &noTables;
  for (int i = 0; i < pSrcList->nSrc; i++) {
    tvAssert(pSrcList->a[i].iCursor >= 0 && pSrcList->a[i].iCursor < pParse->nTab);
  }
  switch (pExpr->op) {
    case TK_STRING:
      /* Single quotes make a literal; double quotes try a column first. */
      if (pExpr->token.z == nullptr || pExpr->token.z[0] != '"') break;
      [[fallthrough]];
    case TK_ID:
      if (lookupName(pParse, nullptr, nullptr, &pExpr->token, pSrcList, pEList, pExpr)) return 1;
      break;

    case TK_DOT: {
      Expr *pRight = pExpr->pRight;
      if (pExpr->pLeft == nullptr || pRight == nullptr ||
          (pRight->op == TK_DOT && (pRight->pLeft == nullptr || pRight->pRight == nullptr))) {
        return 1; /* a partial copy: allocation failed and the statement is abandoned */
      }
      const Token *pDb, *pTable, *pColumn;
      if (pRight->op != TK_DOT) {
        pDb = nullptr;
        pTable = &pExpr->pLeft->token;
        pColumn = &pRight->token;
      } else {
        pDb = &pExpr->pLeft->token;
        pTable = &pRight->pLeft->token;
        pColumn = &pRight->pRight->token;
      }
      if (lookupName(pParse, pDb, pTable, pColumn, pSrcList, nullptr, pExpr)) return 1;
      break;
    }

    case TK_IN: {
      if (tarvikExprResolveIds(pParse, pSrcList, pEList, pExpr->pLeft)) return 1;
      Vdbe *v = getVdbe(pParse);
      if (v == nullptr) return 1;
      if (pExpr->pSelect) {
        /* The sub-query's rows become the keys of a temporary table,
        ** computed once before the statement's loops. */
        pExpr->iTable = pParse->nTab++;
        tarvikVdbeAddOp(v, OP_OpenTemp, pExpr->iTable, 1);
        if (tarvikSelect(pParse, pExpr->pSelect, SRT_Set, pExpr->iTable, nullptr, 0, nullptr)) {
          return 1;
        }
      } else if (pExpr->pList) {
        ExprList *pList = pExpr->pList;
        for (int i = 0; i < pList->nExpr; i++) {
          Expr *pE2 = pList->a[i].pExpr;
          if (!tarvikExprIsConstant(pE2)) {
            tarvikErrorMsg(pParse, "right-hand side of IN operator must be constant");
            return 1;
          }
          if (tarvikExprCheck(pParse, pE2, 0, nullptr)) return 1;
        }
        int iSet = pExpr->iTable = pParse->nSet++;
        for (int i = 0; i < pList->nExpr; i++) {
          Expr *pE2 = pList->a[i].pExpr;
          switch (pE2->op) {
            case TK_FLOAT:
            case TK_INTEGER:
            case TK_STRING: {
              int addr = tarvikVdbeOp3(v, OP_SetInsert, iSet, 0, pE2->token.z, (int)pE2->token.n);
              tarvikVdbeDequoteP3(v, addr);
              break;
            }
            default:
              tarvikExprCode(pParse, pE2);
              tarvikVdbeAddOp(v, OP_SetInsert, iSet, 0);
              break;
          }
        }
      }
      break;
    }

    case TK_SELECT:
      /* A scalar sub-query is computed once into a memory cell. */
      pExpr->iColumn = pParse->nMem++;
      if (tarvikSelect(pParse, pExpr->pSelect, SRT_Mem, pExpr->iColumn, nullptr, 0, nullptr)) {
        return 1;
      }
      break;

    default:
      if (pExpr->pLeft && tarvikExprResolveIds(pParse, pSrcList, pEList, pExpr->pLeft)) return 1;
      if (pExpr->pRight && tarvikExprResolveIds(pParse, pSrcList, pEList, pExpr->pRight)) return 1;
      if (pExpr->pList) {
        for (int i = 0; i < pExpr->pList->nExpr; i++) {
          if (tarvikExprResolveIds(pParse, pSrcList, pEList, pExpr->pList->a[i].pExpr)) return 1;
        }
      }
      break;
  }
  return 0;
}

/* ---------------------------------------------------------------- checking and typing */

namespace {

/* The name a call node is looked up by: LIKE and GLOB are the functions
** "like" and "glob". */
void functionName(const Expr *pExpr, const char **pz, int *pn) {
  switch (pExpr->op) {
    case TK_LIKE:
      *pz = "like";
      *pn = 4;
      break;
    case TK_GLOB:
      *pz = "glob";
      *pn = 4;
      break;
    default:
      *pz = pExpr->token.z;
      *pn = (int)pExpr->token.n;
      break;
  }
}

}  // namespace

int tarvikExprCheck(Parse *pParse, Expr *pExpr, int allowAgg, int *pIsAgg) {
  if (pExpr == nullptr) return 0;
  int nErr = 0;
  switch (pExpr->op) {
    case TK_GLOB:
    case TK_LIKE:
    case TK_FUNCTION:
    case TK_AGG_FUNCTION: {
      /* An aggregate call is checked again when it reappears through a
      ** result-column alias (a copy of the checked result expression), so
      ** that "SELECT count(*) AS n ... WHERE n > 1" is refused in WHERE. */
      ExprList *pList = pExpr->pList;
      int n = pList ? pList->nExpr : 0;
      const char *zId;
      int nId;
      functionName(pExpr, &zId, &nId);
      bool noSuchFunc = false, wrongNumArgs = false, isAgg = false;
      FuncDef *pDef = tarvikFindFunction(pParse->db, zId, nId, n, 0);
      if (pDef == nullptr) {
        if (tarvikFindFunction(pParse->db, zId, nId, -1, 0) == nullptr) {
          noSuchFunc = true;
        } else {
          wrongNumArgs = true;
        }
      } else {
        isAgg = pDef->xFunc == nullptr;
      }
      if (isAgg && !allowAgg) {
        tarvikErrorMsg(pParse, "misuse of aggregate function %.*s()", nId, zId);
        nErr++;
        isAgg = false;
      } else if (noSuchFunc) {
        tarvikErrorMsg(pParse, "no such function: %.*s", nId, zId);
        nErr++;
      } else if (wrongNumArgs) {
        tarvikErrorMsg(pParse, "wrong number of arguments to function %.*s()", nId, zId);
        nErr++;
      }
      if (isAgg) {
        pExpr->op = TK_AGG_FUNCTION;
        if (pIsAgg) *pIsAgg = 1;
      }
      /* No aggregate nests inside another. */
      for (int i = 0; nErr == 0 && i < n; i++) {
        nErr = tarvikExprCheck(pParse, pList->a[i].pExpr, allowAgg && !isAgg, pIsAgg);
      }
      if (pDef == nullptr) {
        /* An error was recorded. */
      } else if (pDef->dataType >= 0) {
        pExpr->dataType = pDef->dataType < n ? (u8)tarvikExprType(pList->a[pDef->dataType].pExpr)
                                             : (u8)TARVIK_SO_NUM;
      } else if (pDef->dataType == TARVIK_ARGS) {
        pExpr->dataType = TARVIK_SO_TEXT;
        for (int i = 0; i < n; i++) {
          if (tarvikExprType(pList->a[i].pExpr) == TARVIK_SO_NUM) {
            pExpr->dataType = TARVIK_SO_NUM;
            break;
          }
        }
      } else if (pDef->dataType == TARVIK_TEXT) {
        pExpr->dataType = TARVIK_SO_TEXT;
      } else {
        pExpr->dataType = TARVIK_SO_NUM;
      }
      break;
    }
    default:
      if (pExpr->pLeft) nErr = tarvikExprCheck(pParse, pExpr->pLeft, allowAgg, pIsAgg);
      if (nErr == 0 && pExpr->pRight) {
        nErr = tarvikExprCheck(pParse, pExpr->pRight, allowAgg, pIsAgg);
      }
      if (pExpr->pList) {
        for (int i = 0; nErr == 0 && i < pExpr->pList->nExpr; i++) {
          nErr = tarvikExprCheck(pParse, pExpr->pList->a[i].pExpr, allowAgg, pIsAgg);
        }
      }
      break;
  }
  return nErr;
}

int tarvikExprType(const Expr *p) {
  if (p == nullptr) return TARVIK_SO_NUM;
  while (p) {
    switch (p->op) {
      case TK_CONCAT:
      case TK_STRING:
      case TK_NULL:
      case TK_VARIABLE:
        return TARVIK_SO_TEXT;
      case TK_LT:
      case TK_LE:
      case TK_GT:
      case TK_GE:
      case TK_NE:
      case TK_EQ:
        if (tarvikExprType(p->pLeft) == TARVIK_SO_NUM) return TARVIK_SO_NUM;
        p = p->pRight;
        break;
      case TK_AS:
        p = p->pLeft;
        break;
      case TK_COLUMN:
      case TK_FUNCTION:
      case TK_AGG_FUNCTION:
        /* Unresolved (0) counts as numeric. */
        return p->dataType == TARVIK_SO_TEXT ? TARVIK_SO_TEXT : TARVIK_SO_NUM;
      case TK_SELECT:
        if (p->pSelect == nullptr || p->pSelect->pEList == nullptr ||
            p->pSelect->pEList->nExpr < 1) {
          return TARVIK_SO_NUM;
        }
        p = p->pSelect->pEList->a[0].pExpr;
        break;
      case TK_CASE: {
        if (p->pRight && tarvikExprType(p->pRight) == TARVIK_SO_NUM) return TARVIK_SO_NUM;
        if (p->pList) {
          for (int i = 1; i < p->pList->nExpr; i += 2) {
            if (tarvikExprType(p->pList->a[i].pExpr) == TARVIK_SO_NUM) return TARVIK_SO_NUM;
          }
        }
        return TARVIK_SO_TEXT;
      }
      default:
        return TARVIK_SO_NUM;
    }
  }
  return TARVIK_SO_NUM;
}

/* ---------------------------------------------------------------- code generation */

namespace {

int comparisonOpcode(int op) {
  switch (op) {
    case TK_LT:
      return OP_Lt;
    case TK_LE:
      return OP_Le;
    case TK_GT:
      return OP_Gt;
    case TK_GE:
      return OP_Ge;
    case TK_NE:
      return OP_Ne;
    case TK_EQ:
      return OP_Eq;
    default:
      return 0;
  }
}

/* The opposite comparison, for jumps taken when a condition is false. */
int negatedComparison(int opcode) {
  switch (opcode) {
    case OP_Lt:
      return OP_Ge;
    case OP_Le:
      return OP_Gt;
    case OP_Gt:
      return OP_Le;
    case OP_Ge:
      return OP_Lt;
    case OP_Ne:
      return OP_Eq;
    case OP_Eq:
      return OP_Ne;
    default:
      return 0;
  }
}

static_assert(OP_StrEq - OP_Eq == OP_StrNe - OP_Ne && OP_StrLt - OP_Lt == OP_StrEq - OP_Eq &&
                  OP_StrLe - OP_Le == OP_StrEq - OP_Eq && OP_StrGt - OP_Gt == OP_StrEq - OP_Eq &&
                  OP_StrGe - OP_Ge == OP_StrEq - OP_Eq,
              "the text comparisons parallel the numeric ones");

/* Text comparisons exist from file format 4 on. */
int typedComparison(Parse *pParse, const Expr *pExpr, int opcode) {
  if (pParse->db->file_format >= 4 && tarvikExprType(pExpr) == TARVIK_SO_TEXT) {
    opcode += OP_StrEq - OP_Eq;
  }
  return opcode;
}

int binaryOpcode(int op) {
  switch (op) {
    case TK_AND:
      return OP_And;
    case TK_OR:
      return OP_Or;
    case TK_PLUS:
      return OP_Add;
    case TK_MINUS:
      return OP_Subtract;
    case TK_STAR:
      return OP_Multiply;
    case TK_SLASH:
      return OP_Divide;
    case TK_REM:
      return OP_Remainder;
    case TK_BITAND:
      return OP_BitAnd;
    case TK_BITOR:
      return OP_BitOr;
    case TK_LSHIFT:
      return OP_ShiftLeft;
    case TK_RSHIFT:
      return OP_ShiftRight;
    default:
      return 0;
  }
}

/* Pushes an INTEGER literal's text: as an Integer when it fits in 32 bits
** (the text is kept as P3 so no precision is lost), else as a String. */
void codeIntegerText(Vdbe *v, char *z, bool isInteger) {
  if (z == nullptr) return;
  if (isInteger && tarvikFitsIn32Bits(z)) {
    tarvikVdbeOp3(v, OP_Integer, atoi(z), 0, z, P3_DYNAMIC);
  } else {
    tarvikVdbeOp3(v, OP_String, 0, 0, z, P3_DYNAMIC);
  }
}

}  // namespace

void tarvikExprCode(Parse *pParse, Expr *pExpr) {
  Vdbe *v = pParse->pVdbe;
  if (v == nullptr || pExpr == nullptr) return;
  switch (pExpr->op) {
    case TK_COLUMN:
      if (pParse->useAgg) {
        tarvikVdbeAddOp(v, OP_AggGet, 0, pExpr->iAgg);
      } else if (pExpr->iColumn >= 0) {
        tarvikVdbeAddOp(v, OP_Column, pExpr->iTable, pExpr->iColumn);
      } else {
        tarvikVdbeAddOp(v, OP_Recno, pExpr->iTable, 0);
      }
      break;
    case TK_AGG_FUNCTION:
      tarvikVdbeAddOp(v, OP_AggGet, 0, pExpr->iAgg);
      break;
    case TK_INTEGER:
      codeIntegerText(v, tarvikStrNDup(pExpr->token.z, (int)pExpr->token.n), true);
      break;
    case TK_FLOAT:
    case TK_STRING: {
      int addr = tarvikVdbeOp3(v, OP_String, 0, 0, pExpr->token.z, (int)pExpr->token.n);
      tarvikVdbeDequoteP3(v, addr);
      break;
    }
    case TK_NULL:
      tarvikVdbeAddOp(v, OP_String, 0, 0);
      break;
    case TK_VARIABLE:
      tarvikVdbeAddOp(v, OP_Variable, pExpr->iTable, 0);
      break;
    case TK_SELECT:
      tarvikVdbeAddOp(v, OP_MemLoad, pExpr->iColumn, 0);
      break;
    case TK_AS:
    case TK_UPLUS:
      tarvikExprCode(pParse, pExpr->pLeft);
      break;
    case TK_UMINUS: {
      Expr *pLeft = pExpr->pLeft;
      if (pLeft && (pLeft->op == TK_INTEGER || pLeft->op == TK_FLOAT)) {
        char *z = tarvikMPrintf("-%.*s", (int)pLeft->token.n, pLeft->token.z);
        codeIntegerText(v, z, pLeft->op == TK_INTEGER);
        break;
      }
      tarvikExprCode(pParse, pLeft);
      tarvikVdbeAddOp(v, OP_Negative, 0, 0);
      break;
    }
    case TK_NOT:
    case TK_BITNOT:
      tarvikExprCode(pParse, pExpr->pLeft);
      tarvikVdbeAddOp(v, pExpr->op == TK_NOT ? OP_Not : OP_BitNot, 0, 0);
      break;
    case TK_LSHIFT:
    case TK_RSHIFT:
      /* The machine shifts the top entry by the one below it. */
      tarvikExprCode(pParse, pExpr->pRight);
      tarvikExprCode(pParse, pExpr->pLeft);
      tarvikVdbeAddOp(v, binaryOpcode(pExpr->op), 0, 0);
      break;
    case TK_AND:
    case TK_OR:
    case TK_PLUS:
    case TK_MINUS:
    case TK_STAR:
    case TK_SLASH:
    case TK_REM:
    case TK_BITAND:
    case TK_BITOR:
      tarvikExprCode(pParse, pExpr->pLeft);
      tarvikExprCode(pParse, pExpr->pRight);
      tarvikVdbeAddOp(v, binaryOpcode(pExpr->op), 0, 0);
      break;
    case TK_CONCAT:
      tarvikExprCode(pParse, pExpr->pLeft);
      tarvikExprCode(pParse, pExpr->pRight);
      tarvikVdbeAddOp(v, OP_Concat, 2, 0);
      break;
    case TK_LT:
    case TK_LE:
    case TK_GT:
    case TK_GE:
    case TK_NE:
    case TK_EQ:
      tarvikExprCode(pParse, pExpr->pLeft);
      tarvikExprCode(pParse, pExpr->pRight);
      tarvikVdbeAddOp(v, typedComparison(pParse, pExpr, comparisonOpcode(pExpr->op)), 0, 0);
      break;
    case TK_ISNULL:
    case TK_NOTNULL: {
      tarvikVdbeAddOp(v, OP_Integer, 1, 0);
      tarvikExprCode(pParse, pExpr->pLeft);
      int dest = tarvikVdbeCurrentAddr(v) + 2;
      tarvikVdbeAddOp(v, pExpr->op == TK_ISNULL ? OP_IsNull : OP_NotNull, 1, dest);
      tarvikVdbeAddOp(v, OP_AddImm, -1, 0);
      break;
    }
    case TK_BETWEEN: {
      tvAssert(pExpr->pList && pExpr->pList->nExpr == 2);
      tarvikExprCode(pParse, pExpr->pLeft);
      tarvikVdbeAddOp(v, OP_Dup, 0, 0);
      tarvikExprCode(pParse, pExpr->pList->a[0].pExpr);
      tarvikVdbeAddOp(v, OP_Ge, 0, 0);
      tarvikVdbeAddOp(v, OP_Pull, 1, 0);
      tarvikExprCode(pParse, pExpr->pList->a[1].pExpr);
      tarvikVdbeAddOp(v, OP_Le, 0, 0);
      tarvikVdbeAddOp(v, OP_And, 0, 0);
      break;
    }
    case TK_IN: {
      /* 1 when found, 0 when not, NULL when x is NULL. */
      tarvikVdbeAddOp(v, OP_Integer, 1, 0);
      tarvikExprCode(pParse, pExpr->pLeft);
      int addr = tarvikVdbeCurrentAddr(v);
      tarvikVdbeAddOp(v, OP_NotNull, -1, addr + 4);
      tarvikVdbeAddOp(v, OP_Pop, 2, 0);
      tarvikVdbeAddOp(v, OP_String, 0, 0);
      tarvikVdbeAddOp(v, OP_Goto, 0, addr + 6);
      tarvikVdbeAddOp(v, pExpr->pSelect ? OP_Found : OP_SetFound, pExpr->iTable, addr + 6);
      tarvikVdbeAddOp(v, OP_AddImm, -1, 0);
      break;
    }
    case TK_CASE: {
      int endLabel = tarvikVdbeMakeLabel(v);
      ExprList *pList = pExpr->pList;
      if (pExpr->pLeft) tarvikExprCode(pParse, pExpr->pLeft);
      for (int i = 0; pList && i + 1 < pList->nExpr; i += 2) {
        tarvikExprCode(pParse, pList->a[i].pExpr);
        int jumpInst;
        if (pExpr->pLeft) {
          tarvikVdbeAddOp(v, OP_Dup, 1, 1);
          jumpInst = tarvikVdbeAddOp(v, OP_Ne, 1, 0);
          tarvikVdbeAddOp(v, OP_Pop, 1, 0);
        } else {
          jumpInst = tarvikVdbeAddOp(v, OP_IfNot, 1, 0);
        }
        tarvikExprCode(pParse, pList->a[i + 1].pExpr);
        tarvikVdbeAddOp(v, OP_Goto, 0, endLabel);
        tarvikVdbeChangeP2(v, jumpInst, tarvikVdbeCurrentAddr(v));
      }
      if (pExpr->pLeft) tarvikVdbeAddOp(v, OP_Pop, 1, 0);
      if (pExpr->pRight) {
        tarvikExprCode(pParse, pExpr->pRight);
      } else {
        tarvikVdbeAddOp(v, OP_String, 0, 0);
      }
      tarvikVdbeResolveLabel(v, endLabel);
      break;
    }
    case TK_GLOB:
    case TK_LIKE:
    case TK_FUNCTION: {
      ExprList *pList = pExpr->pList;
      int nExpr = pList ? pList->nExpr : 0;
      const char *zId;
      int nId;
      functionName(pExpr, &zId, &nId);
      FuncDef *pDef = tarvikFindFunction(pParse->db, zId, nId, nExpr, 0);
      if (pDef == nullptr) {
        /* Checking reports missing functions; never code a call to nothing. */
        tarvikErrorMsg(pParse, "no such function: %.*s", nId, zId);
        break;
      }
      int nPushed = tarvikExprCodeExprList(pParse, pList, pDef->includeTypes);
      tarvikVdbeOp3(v, OP_Function, nPushed, 0, (const char *)pDef, P3_POINTER);
      break;
    }
    case TK_RAISE: {
      if (pParse->trigStack == nullptr) {
        tarvikErrorMsg(pParse, "RAISE() may only be used within a trigger-program");
        return;
      }
      if (pExpr->iColumn == OE_Rollback || pExpr->iColumn == OE_Abort ||
          pExpr->iColumn == OE_Fail) {
        int addr = tarvikVdbeOp3(v, OP_Halt, TARVIK_CONSTRAINT, pExpr->iColumn, pExpr->token.z,
                                 (int)pExpr->token.n);
        tarvikVdbeDequoteP3(v, addr);
      } else {
        tvAssert(pExpr->iColumn == OE_Ignore);
        tarvikVdbeOp3(v, OP_Goto, 0, pParse->trigStack->ignoreJump, "(IGNORE jump)", P3_STATIC);
      }
      break;
    }
    default:
      /* TK_ID, TK_DOT and the like never reach here once resolved; should
      ** one slip through, a NULL keeps the stack balanced. */
      tvAssert(0);
      tarvikVdbeAddOp(v, OP_String, 0, 0);
      break;
  }
}

int tarvikExprCodeExprList(Parse *pParse, ExprList *pList, int includeTypes) {
  if (pList == nullptr) return 0;
  Vdbe *v = pParse->pVdbe;
  for (int i = 0; i < pList->nExpr; i++) {
    Expr *pItem = pList->a[i].pExpr;
    tarvikExprCode(pParse, pItem);
    if (includeTypes && v) {
      tarvikVdbeOp3(v, OP_String, 0, 0, tarvikExprType(pItem) == TARVIK_SO_NUM ? "numeric" : "text",
                    P3_STATIC);
    }
  }
  return includeTypes ? pList->nExpr * 2 : pList->nExpr;
}

void tarvikExprIfTrue(Parse *pParse, Expr *pExpr, int dest, int jumpIfNull) {
  Vdbe *v = pParse->pVdbe;
  if (v == nullptr || pExpr == nullptr) return;
  switch (pExpr->op) {
    case TK_AND: {
      int d2 = tarvikVdbeMakeLabel(v);
      tarvikExprIfFalse(pParse, pExpr->pLeft, d2, !jumpIfNull);
      tarvikExprIfTrue(pParse, pExpr->pRight, dest, jumpIfNull);
      tarvikVdbeResolveLabel(v, d2);
      break;
    }
    case TK_OR:
      tarvikExprIfTrue(pParse, pExpr->pLeft, dest, jumpIfNull);
      tarvikExprIfTrue(pParse, pExpr->pRight, dest, jumpIfNull);
      break;
    case TK_NOT:
      tarvikExprIfFalse(pParse, pExpr->pLeft, dest, jumpIfNull);
      break;
    case TK_LT:
    case TK_LE:
    case TK_GT:
    case TK_GE:
    case TK_NE:
    case TK_EQ:
      tarvikExprCode(pParse, pExpr->pLeft);
      tarvikExprCode(pParse, pExpr->pRight);
      tarvikVdbeAddOp(v, typedComparison(pParse, pExpr, comparisonOpcode(pExpr->op)), jumpIfNull,
                      dest);
      break;
    case TK_ISNULL:
    case TK_NOTNULL:
      tarvikExprCode(pParse, pExpr->pLeft);
      tarvikVdbeAddOp(v, pExpr->op == TK_ISNULL ? OP_IsNull : OP_NotNull, 1, dest);
      break;
    case TK_IN: {
      tarvikExprCode(pParse, pExpr->pLeft);
      int addr = tarvikVdbeCurrentAddr(v);
      tarvikVdbeAddOp(v, OP_NotNull, -1, addr + 3);
      tarvikVdbeAddOp(v, OP_Pop, 1, 0);
      tarvikVdbeAddOp(v, OP_Goto, 0, jumpIfNull ? dest : addr + 4);
      tarvikVdbeAddOp(v, pExpr->pSelect ? OP_Found : OP_SetFound, pExpr->iTable, dest);
      break;
    }
    case TK_BETWEEN: {
      tarvikExprCode(pParse, pExpr->pLeft);
      tarvikVdbeAddOp(v, OP_Dup, 0, 0);
      tarvikExprCode(pParse, pExpr->pList->a[0].pExpr);
      int addr = tarvikVdbeAddOp(v, OP_Lt, !jumpIfNull, 0);
      tarvikExprCode(pParse, pExpr->pList->a[1].pExpr);
      tarvikVdbeAddOp(v, OP_Le, jumpIfNull, dest);
      tarvikVdbeAddOp(v, OP_Integer, 0, 0);
      tarvikVdbeChangeP2(v, addr, tarvikVdbeCurrentAddr(v));
      tarvikVdbeAddOp(v, OP_Pop, 1, 0);
      break;
    }
    default:
      tarvikExprCode(pParse, pExpr);
      tarvikVdbeAddOp(v, OP_If, jumpIfNull, dest);
      break;
  }
}

void tarvikExprIfFalse(Parse *pParse, Expr *pExpr, int dest, int jumpIfNull) {
  Vdbe *v = pParse->pVdbe;
  if (v == nullptr || pExpr == nullptr) return;
  switch (pExpr->op) {
    case TK_AND:
      tarvikExprIfFalse(pParse, pExpr->pLeft, dest, jumpIfNull);
      tarvikExprIfFalse(pParse, pExpr->pRight, dest, jumpIfNull);
      break;
    case TK_OR: {
      int d2 = tarvikVdbeMakeLabel(v);
      tarvikExprIfTrue(pParse, pExpr->pLeft, d2, !jumpIfNull);
      tarvikExprIfFalse(pParse, pExpr->pRight, dest, jumpIfNull);
      tarvikVdbeResolveLabel(v, d2);
      break;
    }
    case TK_NOT:
      tarvikExprIfTrue(pParse, pExpr->pLeft, dest, jumpIfNull);
      break;
    case TK_LT:
    case TK_LE:
    case TK_GT:
    case TK_GE:
    case TK_NE:
    case TK_EQ:
      tarvikExprCode(pParse, pExpr->pLeft);
      tarvikExprCode(pParse, pExpr->pRight);
      tarvikVdbeAddOp(
          v, typedComparison(pParse, pExpr, negatedComparison(comparisonOpcode(pExpr->op))),
          jumpIfNull, dest);
      break;
    case TK_ISNULL:
    case TK_NOTNULL:
      tarvikExprCode(pParse, pExpr->pLeft);
      tarvikVdbeAddOp(v, pExpr->op == TK_ISNULL ? OP_NotNull : OP_IsNull, 1, dest);
      break;
    case TK_IN: {
      tarvikExprCode(pParse, pExpr->pLeft);
      int addr = tarvikVdbeCurrentAddr(v);
      tarvikVdbeAddOp(v, OP_NotNull, -1, addr + 3);
      tarvikVdbeAddOp(v, OP_Pop, 1, 0);
      tarvikVdbeAddOp(v, OP_Goto, 0, jumpIfNull ? dest : addr + 4);
      tarvikVdbeAddOp(v, pExpr->pSelect ? OP_NotFound : OP_SetNotFound, pExpr->iTable, dest);
      break;
    }
    case TK_BETWEEN: {
      tarvikExprCode(pParse, pExpr->pLeft);
      tarvikVdbeAddOp(v, OP_Dup, 0, 0);
      tarvikExprCode(pParse, pExpr->pList->a[0].pExpr);
      int addr = tarvikVdbeCurrentAddr(v);
      tarvikVdbeAddOp(v, OP_Ge, !jumpIfNull, addr + 3);
      tarvikVdbeAddOp(v, OP_Pop, 1, 0);
      tarvikVdbeAddOp(v, OP_Goto, 0, dest);
      tarvikExprCode(pParse, pExpr->pList->a[1].pExpr);
      tarvikVdbeAddOp(v, OP_Gt, jumpIfNull, dest);
      break;
    }
    default:
      tarvikExprCode(pParse, pExpr);
      tarvikVdbeAddOp(v, OP_IfNot, jumpIfNull, dest);
      break;
  }
}

/* ---------------------------------------------------------------- equality and aggregates */

int tarvikExprCompare(const Expr *pA, const Expr *pB) {
  if (pA == nullptr) return pB == nullptr;
  if (pB == nullptr) return 0;
  if (pA->op != pB->op) return 0;
  if (!tarvikExprCompare(pA->pLeft, pB->pLeft)) return 0;
  if (!tarvikExprCompare(pA->pRight, pB->pRight)) return 0;
  if (pA->pList) {
    if (pB->pList == nullptr || pA->pList->nExpr != pB->pList->nExpr) return 0;
    for (int i = 0; i < pA->pList->nExpr; i++) {
      if (!tarvikExprCompare(pA->pList->a[i].pExpr, pB->pList->a[i].pExpr)) return 0;
    }
  } else if (pB->pList) {
    return 0;
  }
  if (pA->pSelect || pB->pSelect) return 0;
  if (pA->iTable != pB->iTable || pA->iColumn != pB->iColumn) return 0;
  if (pA->token.z) {
    if (pB->token.z == nullptr || pB->token.n != pA->token.n) return 0;
    if (tarvikStrNICmp(pA->token.z, pB->token.z, (int)pA->token.n) != 0) return 0;
  }
  return 1;
}

namespace {

/* A new zeroed aAgg entry; its index, or -1 when out of memory. */
int appendAggInfo(Parse *pParse) {
  if ((pParse->nAgg & 0x7) == 0) {
    i64 nByte = (i64)(pParse->nAgg + 8) * (i64)sizeof(pParse->aAgg[0]);
    AggExpr *aAgg =
        nByte > INT32_MAX ? nullptr : (AggExpr *)tarvikRealloc(pParse->aAgg, (int)nByte);
    if (aAgg == nullptr) return -1;
    pParse->aAgg = aAgg;
  }
  memset(&pParse->aAgg[pParse->nAgg], 0, sizeof(pParse->aAgg[0]));
  return pParse->nAgg++;
}

}  // namespace

int tarvikExprAnalyzeAggregates(Parse *pParse, Expr *pExpr) {
  if (pExpr == nullptr) return 0;
  AggExpr *aAgg = pParse->aAgg;
  switch (pExpr->op) {
    case TK_COLUMN: {
      int i;
      for (i = 0; i < pParse->nAgg; i++) {
        if (aAgg[i].isAgg) continue;
        if (aAgg[i].pExpr->iTable == pExpr->iTable && aAgg[i].pExpr->iColumn == pExpr->iColumn) {
          break;
        }
      }
      if (i >= pParse->nAgg) {
        i = appendAggInfo(pParse);
        if (i < 0) return 1;
        pParse->aAgg[i].isAgg = 0;
        pParse->aAgg[i].pExpr = pExpr;
      }
      pExpr->iAgg = i;
      return 0;
    }
    case TK_AGG_FUNCTION: {
      int i;
      for (i = 0; i < pParse->nAgg; i++) {
        if (!aAgg[i].isAgg) continue;
        if (tarvikExprCompare(aAgg[i].pExpr, pExpr)) break;
      }
      if (i >= pParse->nAgg) {
        i = appendAggInfo(pParse);
        if (i < 0) return 1;
        pParse->aAgg[i].isAgg = 1;
        pParse->aAgg[i].pExpr = pExpr;
        pParse->aAgg[i].pFunc = tarvikFindFunction(pParse->db, pExpr->token.z, (int)pExpr->token.n,
                                                   pExpr->pList ? pExpr->pList->nExpr : 0, 0);
      }
      pExpr->iAgg = i;
      return 0;
    }
    default:
      if (pExpr->pLeft && tarvikExprAnalyzeAggregates(pParse, pExpr->pLeft)) return 1;
      if (pExpr->pRight && tarvikExprAnalyzeAggregates(pParse, pExpr->pRight)) return 1;
      if (pExpr->pList) {
        for (int i = 0; i < pExpr->pList->nExpr; i++) {
          if (tarvikExprAnalyzeAggregates(pParse, pExpr->pList->a[i].pExpr)) return 1;
        }
      }
      return 0;
  }
}
