/*
** SELECT: construction and deletion of Select trees and the join-type
** words.  Compilation of a SELECT into a program comes later; tarvikSelect
** is a placeholder until then.
*/
#include "genstub.h"
#include "tarvikInt.h"

Select *tarvikSelectNew(ExprList *pEList, SrcList *pSrc, Expr *pWhere, ExprList *pGroupBy,
                        Expr *pHaving, ExprList *pOrderBy, int isDistinct, int nLimit,
                        int nOffset) {
  Select *pNew = (Select *)tarvikMalloc(sizeof(Select));
  if (pNew == nullptr) {
    tarvikExprListDelete(pEList);
    tarvikSrcListDelete(pSrc);
    tarvikExprDelete(pWhere);
    tarvikExprListDelete(pGroupBy);
    tarvikExprDelete(pHaving);
    tarvikExprListDelete(pOrderBy);
    return nullptr;
  }
  /* No result columns means all of them. */
  if (pEList == nullptr) pEList = tarvikExprListAppend(nullptr, tarvikExpr(TK_ALL, 0, 0, 0), 0);
  pNew->pEList = pEList;
  pNew->pSrc = pSrc;
  pNew->pWhere = pWhere;
  pNew->pGroupBy = pGroupBy;
  pNew->pHaving = pHaving;
  pNew->pOrderBy = pOrderBy;
  pNew->isDistinct = (u8)isDistinct;
  pNew->op = TK_SELECT;
  pNew->nLimit = nLimit;
  pNew->nOffset = nOffset;
  pNew->iLimit = -1;
  pNew->iOffset = -1;
  return pNew;
}

/* A compound of many parts is a long pPrior chain: follow it in a loop. */
void tarvikSelectDelete(Select *p) {
  while (p) {
    tarvikExprListDelete(p->pEList);
    tarvikSrcListDelete(p->pSrc);
    tarvikExprDelete(p->pWhere);
    tarvikExprListDelete(p->pGroupBy);
    tarvikExprDelete(p->pHaving);
    tarvikExprListDelete(p->pOrderBy);
    Select *pPrior = p->pPrior;
    tarvikFree(p);
    p = pPrior;
  }
}

int tarvikJoinType(Parse *pParse, const Token *pA, const Token *pB, const Token *pC) {
  static const struct {
    const char *zKeyword;
    int nChar;
    int code;
  } aKeyword[] = {
      {"natural", 7, JT_NATURAL},
      {"left", 4, JT_LEFT | JT_OUTER},
      {"right", 5, JT_RIGHT | JT_OUTER},
      {"full", 4, JT_LEFT | JT_RIGHT | JT_OUTER},
      {"outer", 5, JT_OUTER},
      {"inner", 5, JT_INNER},
      {"cross", 5, JT_INNER},
  };
  const Token *apAll[3] = {pA, pB, pC};
  int jointype = 0;
  for (int i = 0; i < 3 && apAll[i]; i++) {
    const Token *p = apAll[i];
    bool found = false;
    for (const auto &k : aKeyword) {
      if ((int)p->n == k.nChar && tarvikStrNICmp(p->z, k.zKeyword, k.nChar) == 0) {
        jointype |= k.code;
        found = true;
        break;
      }
    }
    if (!found) {
      jointype |= JT_ERROR;
      break;
    }
  }
  if ((jointype & (JT_INNER | JT_OUTER)) == (JT_INNER | JT_OUTER) || (jointype & JT_ERROR) != 0) {
    static const Token empty = {nullptr, 0, 0};
    tarvikErrorMsg(pParse, "unknown or unsupported join type: %T%s%T%s%T", pA, pB ? " " : "",
                   pB ? pB : &empty, pC ? " " : "", pC ? pC : &empty);
    jointype = JT_INNER;
  } else if (jointype & JT_RIGHT) {
    tarvikErrorMsg(pParse, "RIGHT and FULL OUTER JOINs are not currently supported");
    jointype = JT_INNER;
  }
  return jointype;
}

/* Placeholder until SELECT compilation exists: the caller keeps and deletes p. */
int tarvikSelect(Parse *pParse, Select *p, int eDest, int iParm, Select *pParent, int parentTab,
                 int *pParentAgg) {
  (void)pParse, (void)pParent, (void)parentTab, (void)pParentAgg;
  GEN_RECORD("Select", p, eDest, iParm);
  return 0;
}
