/*
** WHERE loops: one nested loop per FROM item, in FROM order, with the WHERE
** clause split into AND-terms.  Each term is tested once, at the outermost
** loop where every table it reads has a row; terms that constrain a table's
** row id or the leading columns of one of its indices choose how that
** table's rows are reached instead.  Planning is one greedy pass: no
** statistics, no reordering.
*/
#include "opcodes.h"
#include "tarvikInt.h"
#include "vdbe.h"

namespace {

constexpr int kMaxTerms = 100;

/* One AND-term of the WHERE clause. */
struct ExprInfo {
  Expr *p;        /* the term; null once it has been coded */
  bool indexable; /* an operator look-ups can use, operands independent */
  bool overflow;  /* reads a cursor that has no mask bit */
  short idxLeft;  /* cursor of a plain-column left operand, else -1 */
  short idxRight; /* cursor of a plain-column right operand, else -1 */
  unsigned prereqLeft, prereqRight, prereqAll;
};

/* Cursor numbers to mask bits: the cursor in ix[i] has bit i. */
struct ExprMaskSet {
  int n;
  int ix[32];
};

unsigned getMask(ExprMaskSet *pSet, int iCursor, bool *pOverflow) {
  for (int i = 0; i < pSet->n; i++) {
    if (pSet->ix[i] == iCursor) return 1u << i;
  }
  if (pSet->n < 32) {
    pSet->ix[pSet->n] = iCursor;
    return 1u << pSet->n++;
  }
  if (pOverflow) *pOverflow = true;
  return 0;
}

/* Tables read by an expression.  Sub-queries are not looked into: their
** cursors are their own and they are computed before the loops. */
unsigned exprTableUsage(ExprMaskSet *pSet, const Expr *p, bool *pOverflow) {
  unsigned mask = 0;
  while (p) {
    if (p->op == TK_COLUMN) return mask | getMask(pSet, p->iTable, pOverflow);
    if (p->pRight) mask |= exprTableUsage(pSet, p->pRight, pOverflow);
    if (p->pList) {
      for (int i = 0; i < p->pList->nExpr; i++) {
        mask |= exprTableUsage(pSet, p->pList->a[i].pExpr, pOverflow);
      }
    }
    p = p->pLeft;
  }
  return mask;
}

bool allowedOp(int op) {
  return op == TK_EQ || op == TK_IN || op == TK_LT || op == TK_LE || op == TK_GT || op == TK_GE;
}

void exprAnalyze(ExprMaskSet *pSet, ExprInfo *pInfo) {
  Expr *p = pInfo->p;
  pInfo->overflow = false;
  pInfo->prereqLeft = exprTableUsage(pSet, p->pLeft, &pInfo->overflow);
  pInfo->prereqRight = exprTableUsage(pSet, p->pRight, &pInfo->overflow);
  pInfo->prereqAll = exprTableUsage(pSet, p, &pInfo->overflow);
  pInfo->indexable = false;
  pInfo->idxLeft = pInfo->idxRight = -1;
  if (allowedOp(p->op) && p->pLeft && (pInfo->prereqRight & pInfo->prereqLeft) == 0) {
    if (p->pRight && p->pRight->op == TK_COLUMN) {
      pInfo->idxRight = (short)p->pRight->iTable;
      pInfo->indexable = true;
    }
    if (p->pLeft->op == TK_COLUMN) {
      pInfo->idxLeft = (short)p->pLeft->iTable;
      pInfo->indexable = true;
    }
  }
}

/* Flattens the AND tree left to right into aSlot; returns the number of
** terms seen, which exceeds nSlot when there are too many. */
int exprSplit(int nSlot, ExprInfo *aSlot, Expr *pExpr, int nUsed) {
  if (pExpr == nullptr) return nUsed;
  if (pExpr->op == TK_AND) {
    nUsed = exprSplit(nSlot, aSlot, pExpr->pLeft, nUsed);
    if (nUsed > nSlot) return nUsed;
    return exprSplit(nSlot, aSlot, pExpr->pRight, nUsed);
  }
  if (nUsed < nSlot) aSlot[nUsed].p = pExpr;
  return nUsed + 1;
}

/* An index of pTab whose order delivers pOrderBy, given that the first
** nEqCol columns of pPreferredIdx are fixed by equality terms; null if
** none.  *pbRev is set for a descending ORDER BY. */
Index *findSortingIndex(Table *pTab, int base, ExprList *pOrderBy, Index *pPreferredIdx, int nEqCol,
                        int *pbRev) {
  int dir = pOrderBy->a[0].sortOrder & TARVIK_SO_DESC;
  for (int i = 0; i < pOrderBy->nExpr; i++) {
    const Expr *p = pOrderBy->a[i].pExpr;
    if ((pOrderBy->a[i].sortOrder & TARVIK_SO_TYPEMASK) != 0) return nullptr;
    if ((pOrderBy->a[i].sortOrder & TARVIK_SO_DESC) != dir) return nullptr;
    if (p == nullptr || p->op != TK_COLUMN || p->iTable != base) return nullptr;
  }
  Index *pMatch = nullptr;
  for (Index *pIdx = pTab->pIndex; pIdx; pIdx = pIdx->pNext) {
    if (pIdx->nColumn < nEqCol || pIdx->nColumn < pOrderBy->nExpr) continue;
    int i = 0;
    for (; i < nEqCol; i++) {
      if (pPreferredIdx->aiColumn[i] != pIdx->aiColumn[i]) break;
    }
    if (i < nEqCol) continue;
    /* Leading ORDER BY terms on the fixed columns are constant in the scan. */
    int nSkip = 0;
    while (nSkip < nEqCol && nSkip < pOrderBy->nExpr &&
           pOrderBy->a[nSkip].pExpr->iColumn == pIdx->aiColumn[nSkip]) {
      nSkip++;
    }
    int nRest = pOrderBy->nExpr - nSkip;
    if (nEqCol + nRest > pIdx->nColumn) continue;
    bool ok = true;
    for (int m = 0; m < nRest && ok; m++) {
      ok = pOrderBy->a[nSkip + m].pExpr->iColumn == pIdx->aiColumn[nEqCol + m];
    }
    if (!ok) continue;
    pMatch = pIdx;
    if (pIdx == pPreferredIdx) break;
  }
  if (pMatch && pbRev) *pbRev = dir == TARVIK_SO_DESC;
  return pMatch;
}

/* Pushes the value an IN term supplies for one column: the first member
** of its set or sub-query table, the level then advancing through the rest. */
void codeInDriver(Vdbe *v, Expr *pX, int brk, WhereLevel *pLevel) {
  if (pX->pList) {
    tarvikVdbeAddOp(v, OP_SetFirst, pX->iTable, brk);
    pLevel->inOp = OP_SetNext;
    pLevel->inP1 = pX->iTable;
    pLevel->inP2 = tarvikVdbeCurrentAddr(v);
  } else {
    tarvikVdbeAddOp(v, OP_Rewind, pX->iTable, brk);
    tarvikVdbeAddOp(v, OP_KeyAsData, pX->iTable, 1);
    pLevel->inP2 = tarvikVdbeAddOp(v, OP_FullKey, pX->iTable, 0);
    pLevel->inOp = OP_Next;
    pLevel->inP1 = pX->iTable;
  }
}

/* Jumps to brk, popping n values, when one of the top n is NULL. */
void codeNullKeyExit(Vdbe *v, int n, int brk) {
  tarvikVdbeAddOp(v, OP_NotNull, -n, tarvikVdbeCurrentAddr(v) + 3);
  tarvikVdbeAddOp(v, OP_Pop, n, 0);
  tarvikVdbeAddOp(v, OP_Goto, 0, brk);
}

}  // namespace

WhereInfo *tarvikWhereBegin(Parse *pParse, SrcList *pTabList, Expr *pWhere, int pushKey,
                            ExprList **ppOrderBy) {
  Vdbe *v = tarvikGetVdbe(pParse);
  if (v == nullptr) return nullptr;
  const int nSrc = pTabList ? pTabList->nSrc : 0;
  tvAssert(pushKey == 0 || nSrc == 1);

  ExprInfo aExpr[kMaxTerms];
  memset(aExpr, 0, sizeof(aExpr));
  int nExpr = exprSplit(kMaxTerms, aExpr, pWhere, 0);
  if (nExpr > kMaxTerms) {
    tarvikErrorMsg(pParse, "WHERE clause too complex - no more than %d terms allowed", kMaxTerms);
    return nullptr;
  }

  size_t nByte = sizeof(WhereInfo) + (nSrc > 0 ? nSrc - 1 : 0) * sizeof(WhereLevel);
  WhereInfo *pWInfo = (WhereInfo *)tarvikMalloc((int)nByte);
  if (pWInfo == nullptr) return nullptr;
  pWInfo->pParse = pParse;
  pWInfo->pTabList = pTabList;
  pWInfo->savedNTab = pParse->nTab;
  pWInfo->iBreak = tarvikVdbeMakeLabel(v);
  pWInfo->iContinue = pWInfo->iBreak; /* no loops: "next row" is the end */

  /* A constant condition is decided once, before any loop opens. */
  if (pWhere && (nSrc == 0 || tarvikExprIsConstant(pWhere))) {
    tarvikExprIfFalse(pParse, pWhere, pWInfo->iBreak, 1);
    pWhere = nullptr;
    nExpr = 0;
  }

  ExprMaskSet maskSet;
  memset(&maskSet, 0, sizeof(maskSet));
  for (int i = 0; i < nExpr; i++) exprAnalyze(&maskSet, &aExpr[i]);

  /* Terms on the pseudo tables of the trigger being coded are constants. */
  if (pParse->trigStack) {
    unsigned m = 0;
    if (pParse->trigStack->newIdx >= 0) m |= getMask(&maskSet, pParse->trigStack->newIdx, nullptr);
    if (pParse->trigStack->oldIdx >= 0) m |= getMask(&maskSet, pParse->trigStack->oldIdx, nullptr);
    for (int i = 0; i < nExpr; i++) {
      aExpr[i].prereqLeft &= ~m;
      aExpr[i].prereqRight &= ~m;
      aExpr[i].prereqAll &= ~m;
    }
  }

  /* Plan each table: a row-id look-up or range, or the best index. */
  int aDirect[32][3]; /* per item: row-id =, < and > terms, -1 when none */
  unsigned loopMask = 0;
  for (int i = 0; i < nSrc; i++) {
    WhereLevel *pLevel = &pWInfo->a[i];
    pLevel->iCur = -1;
    pLevel->op = pLevel->inOp = OP_Noop;
    if (i >= 32) continue;
    int iCur = pTabList->a[i].iCursor;
    Table *pTab = pTabList->a[i].pTab;
    int iDirectEq = -1, iDirectLt = -1, iDirectGt = -1;
    for (int j = 0; j < nExpr; j++) {
      const ExprInfo &t = aExpr[j];
      if (!t.indexable) continue;
      if (t.idxLeft == iCur && t.p->pLeft->iColumn < 0 &&
          (t.prereqRight & loopMask) == t.prereqRight) {
        switch (t.p->op) {
          case TK_IN:
          case TK_EQ:
            iDirectEq = j;
            break;
          case TK_LE:
          case TK_LT:
            iDirectLt = j;
            break;
          case TK_GE:
          case TK_GT:
            iDirectGt = j;
            break;
        }
      }
      if (t.idxRight == iCur && t.p->pRight->iColumn < 0 &&
          (t.prereqLeft & loopMask) == t.prereqLeft) {
        switch (t.p->op) {
          case TK_EQ:
            iDirectEq = j;
            break;
          case TK_LE:
          case TK_LT:
            iDirectGt = j;
            break;
          case TK_GE:
          case TK_GT:
            iDirectLt = j;
            break;
        }
      }
    }
    aDirect[i][0] = iDirectEq;
    aDirect[i][1] = iDirectLt;
    aDirect[i][2] = iDirectGt;
    if (iDirectEq >= 0) {
      loopMask |= getMask(&maskSet, iCur, nullptr);
      continue;
    }

    /* Score every index: 8 per leading equality column, then 1 for an
    ** upper and 2 for a lower bound on the next column; an IN on the
    ** first column alone scores 4. */
    Index *pBestIdx = nullptr;
    int bestScore = 0;
    for (Index *pIdx = pTab ? pTab->pIndex : nullptr; pIdx; pIdx = pIdx->pNext) {
      if (pIdx->nColumn > 32) continue;
      unsigned eqMask = 0, ltMask = 0, gtMask = 0;
      bool inFlag = false;
      for (int j = 0; j < nExpr; j++) {
        const ExprInfo &t = aExpr[j];
        if (!t.indexable) continue;
        if (t.idxLeft == iCur && (t.prereqRight & loopMask) == t.prereqRight) {
          int iColumn = t.p->pLeft->iColumn;
          for (int k = 0; k < pIdx->nColumn; k++) {
            if (pIdx->aiColumn[k] != iColumn) continue;
            switch (t.p->op) {
              case TK_IN:
                if (k == 0) inFlag = true;
                break;
              case TK_EQ:
                eqMask |= 1u << k;
                break;
              case TK_LE:
              case TK_LT:
                ltMask |= 1u << k;
                break;
              case TK_GE:
              case TK_GT:
                gtMask |= 1u << k;
                break;
            }
            break;
          }
        }
        if (t.idxRight == iCur && (t.prereqLeft & loopMask) == t.prereqLeft) {
          int iColumn = t.p->pRight->iColumn;
          for (int k = 0; k < pIdx->nColumn; k++) {
            if (pIdx->aiColumn[k] != iColumn) continue;
            switch (t.p->op) {
              case TK_EQ:
                eqMask |= 1u << k;
                break;
              case TK_LE:
              case TK_LT:
                gtMask |= 1u << k;
                break;
              case TK_GE:
              case TK_GT:
                ltMask |= 1u << k;
                break;
            }
            break;
          }
        }
      }
      int nEq = 0;
      while (nEq < pIdx->nColumn && (eqMask & (1u << nEq)) != 0) nEq++;
      int score = nEq * 8;
      if (nEq < 32 && (ltMask & (1u << nEq)) != 0) score += 1;
      if (nEq < 32 && (gtMask & (1u << nEq)) != 0) score += 2;
      if (score == 0 && inFlag) score = 4;
      if (score > bestScore) {
        pBestIdx = pIdx;
        bestScore = score;
      }
    }
    pLevel->pIdx = pBestIdx;
    pLevel->score = bestScore;
    pLevel->bRev = 0;
    if (pBestIdx) pLevel->iCur = pParse->nTab++;
    loopMask |= getMask(&maskSet, iCur, nullptr);
  }

  /* Deliver the ORDER BY from an index of the first table when one fits. */
  if (ppOrderBy && *ppOrderBy && (*ppOrderBy)->nExpr > 0 && nSrc > 0 && pTabList->a[0].pTab &&
      aDirect[0][0] < 0 && aDirect[0][1] < 0 && aDirect[0][2] < 0 && pWInfo->a[0].score != 4) {
    WhereLevel *p0 = &pWInfo->a[0];
    int bRev = 0;
    Index *pSortIdx = findSortingIndex(pTabList->a[0].pTab, pTabList->a[0].iCursor, *ppOrderBy,
                                       p0->pIdx, (p0->score + 4) / 8, &bRev);
    if (pSortIdx && (p0->pIdx == nullptr || p0->pIdx == pSortIdx)) {
      if (p0->pIdx == nullptr) {
        p0->pIdx = pSortIdx;
        p0->iCur = pParse->nTab++;
      }
      p0->bRev = bRev;
      *ppOrderBy = nullptr;
    }
  }

  /* Open the tables and chosen indices.  Sub-query results and views are
  ** temporary tables that are already open on their cursors. */
  for (int i = 0; i < nSrc; i++) {
    Table *pTab = pTabList->a[i].pTab;
    if (pTab == nullptr || pTab->isTransient || pTab->pSelect) continue;
    tarvikVdbeAddOp(v, OP_Integer, pTab->iDb, 0);
    tarvikVdbeOp3(v, OP_OpenRead, pTabList->a[i].iCursor, pTab->tnum, pTab->zName, P3_STATIC);
    tarvikCodeVerifySchema(pParse, pTab->iDb);
    if (Index *pIdx = pWInfo->a[i].pIdx) {
      tarvikVdbeAddOp(v, OP_Integer, pIdx->iDb, 0);
      tarvikVdbeOp3(v, OP_OpenRead, pWInfo->a[i].iCur, pIdx->tnum, pIdx->zName, P3_STATIC);
    }
  }
  pWInfo->peakNTab = pParse->nTab;

  /* The loops, outermost first. */
  loopMask = 0;
  bool haveKey = false; /* the row id is on the stack, the cursor not moved */
  int cont = pWInfo->iBreak;
  for (int i = 0; i < nSrc; i++) {
    WhereLevel *pLevel = &pWInfo->a[i];
    const int iCur = pTabList->a[i].iCursor;
    Index *pIdx = pLevel->pIdx;
    const int iIdxCur = pLevel->iCur;
    const bool keepKey = pushKey && i == nSrc - 1;

    if (i > 0 && (pTabList->a[i - 1].jointype & JT_LEFT) != 0) {
      if (pParse->nMem == 0) pParse->nMem++; /* cell 0 would read as "no flag" */
      pLevel->iLeftJoin = pParse->nMem++;
      tarvikVdbeAddOp(v, OP_String, 0, 0);
      tarvikVdbeAddOp(v, OP_MemStore, pLevel->iLeftJoin, 1);
    }

    const int iDirectEq = i < 32 ? aDirect[i][0] : -1;
    const int iDirectLt = i < 32 ? aDirect[i][1] : -1;
    const int iDirectGt = i < 32 ? aDirect[i][2] : -1;
    int brk = pLevel->brk = tarvikVdbeMakeLabel(v);
    cont = pLevel->cont = tarvikVdbeMakeLabel(v);

    if (iDirectEq >= 0) {
      /* One row per value: a direct row-id look-up. */
      Expr *pX = aExpr[iDirectEq].p;
      if (aExpr[iDirectEq].idxLeft == iCur) {
        if (pX->op == TK_IN) {
          codeInDriver(v, pX, brk, pLevel);
        } else {
          tarvikExprCode(pParse, pX->pRight);
        }
      } else {
        tarvikExprCode(pParse, pX->pLeft);
      }
      aExpr[iDirectEq].p = nullptr;
      tarvikVdbeAddOp(v, OP_MustBeInt, 1, brk);
      tarvikVdbeAddOp(v, OP_NotExists, iCur, brk);
      haveKey = false;
      pLevel->op = OP_Noop;
    } else if (pIdx && pLevel->score > 0 && (pLevel->score & 3) == 0) {
      /* Equality terms on the leading index columns, or an IN. */
      const int nColumn = (pLevel->score + 4) / 8;
      for (int j = 0; j < nColumn; j++) {
        for (int k = 0; k < nExpr; k++) {
          Expr *pX = aExpr[k].p;
          if (pX == nullptr) continue;
          if (aExpr[k].idxLeft == iCur &&
              (aExpr[k].prereqRight & loopMask) == aExpr[k].prereqRight &&
              pX->pLeft->iColumn == pIdx->aiColumn[j]) {
            if (pX->op == TK_EQ) {
              tarvikExprCode(pParse, pX->pRight);
              aExpr[k].p = nullptr;
              break;
            }
            if (pX->op == TK_IN && nColumn == 1) {
              codeInDriver(v, pX, brk, pLevel);
              aExpr[k].p = nullptr;
              break;
            }
          }
          if (aExpr[k].idxRight == iCur && pX->op == TK_EQ &&
              (aExpr[k].prereqLeft & loopMask) == aExpr[k].prereqLeft &&
              pX->pRight->iColumn == pIdx->aiColumn[j]) {
            tarvikExprCode(pParse, pX->pLeft);
            aExpr[k].p = nullptr;
            break;
          }
        }
      }
      pLevel->iMem = pParse->nMem++;
      codeNullKeyExit(v, nColumn, brk);
      tarvikVdbeAddOp(v, OP_MakeKey, nColumn, 0);
      tarvikAddIdxKeyType(v, pIdx);
      int testOp;
      if (nColumn == pIdx->nColumn || pLevel->bRev) {
        tarvikVdbeAddOp(v, OP_MemStore, pLevel->iMem, 0);
        testOp = OP_IdxGT;
      } else {
        tarvikVdbeAddOp(v, OP_Dup, 0, 0);
        tarvikVdbeAddOp(v, OP_IncrKey, 0, 0);
        tarvikVdbeAddOp(v, OP_MemStore, pLevel->iMem, 1);
        testOp = OP_IdxGE;
      }
      int start;
      if (pLevel->bRev) {
        tarvikVdbeAddOp(v, OP_IncrKey, 0, 0);
        tarvikVdbeAddOp(v, OP_MoveLt, iIdxCur, brk);
        start = tarvikVdbeAddOp(v, OP_MemLoad, pLevel->iMem, 0);
        tarvikVdbeAddOp(v, OP_IdxLT, iIdxCur, brk);
        pLevel->op = OP_Prev;
      } else {
        tarvikVdbeAddOp(v, OP_MoveTo, iIdxCur, brk);
        start = tarvikVdbeAddOp(v, OP_MemLoad, pLevel->iMem, 0);
        tarvikVdbeAddOp(v, testOp, iIdxCur, brk);
        pLevel->op = OP_Next;
      }
      tarvikVdbeAddOp(v, OP_RowKey, iIdxCur, 0);
      tarvikVdbeAddOp(v, OP_IdxIsNull, nColumn, cont);
      tarvikVdbeAddOp(v, OP_IdxRecno, iIdxCur, 0);
      if (keepKey) {
        haveKey = true;
      } else {
        tarvikVdbeAddOp(v, OP_MoveTo, iCur, 0);
        haveKey = false;
      }
      pLevel->p1 = iIdxCur;
      pLevel->p2 = start;
    } else if (iDirectLt >= 0 || iDirectGt >= 0) {
      /* A row-id range over the table itself. */
      if (iDirectGt >= 0) {
        Expr *pX = aExpr[iDirectGt].p;
        tarvikExprCode(pParse, aExpr[iDirectGt].idxLeft == iCur ? pX->pRight : pX->pLeft);
        const bool strict = pX->op == TK_GT || pX->op == TK_LT;
        tarvikVdbeAddOp(v, OP_ForceInt, strict ? 1 : 0, brk);
        tarvikVdbeAddOp(v, OP_MoveTo, iCur, brk);
        aExpr[iDirectGt].p = nullptr;
      } else {
        tarvikVdbeAddOp(v, OP_Rewind, iCur, brk);
      }
      int testOp = OP_Noop;
      if (iDirectLt >= 0) {
        Expr *pX = aExpr[iDirectLt].p;
        tarvikExprCode(pParse, aExpr[iDirectLt].idxLeft == iCur ? pX->pRight : pX->pLeft);
        pLevel->iMem = pParse->nMem++;
        tarvikVdbeAddOp(v, OP_MemStore, pLevel->iMem, 1);
        testOp = (pX->op == TK_LT || pX->op == TK_GT) ? OP_Ge : OP_Gt;
        aExpr[iDirectLt].p = nullptr;
      }
      int start = tarvikVdbeCurrentAddr(v);
      pLevel->op = OP_Next;
      pLevel->p1 = iCur;
      pLevel->p2 = start;
      if (testOp != OP_Noop) {
        tarvikVdbeAddOp(v, OP_Recno, iCur, 0);
        tarvikVdbeAddOp(v, OP_MemLoad, pLevel->iMem, 0);
        tarvikVdbeAddOp(v, testOp, 0, brk);
      }
      haveKey = false;
    } else if (pIdx) {
      /* An index range: equality columns then a bound on the next one. */
      const int score = pLevel->score;
      const int nEqColumn = score / 8;
      for (int j = 0; j < nEqColumn; j++) {
        for (int k = 0; k < nExpr; k++) {
          Expr *pX = aExpr[k].p;
          if (pX == nullptr || pX->op != TK_EQ) continue;
          if (aExpr[k].idxLeft == iCur &&
              (aExpr[k].prereqRight & loopMask) == aExpr[k].prereqRight &&
              pX->pLeft->iColumn == pIdx->aiColumn[j]) {
            tarvikExprCode(pParse, pX->pRight);
            aExpr[k].p = nullptr;
            break;
          }
          if (aExpr[k].idxRight == iCur &&
              (aExpr[k].prereqLeft & loopMask) == aExpr[k].prereqLeft &&
              pX->pRight->iColumn == pIdx->aiColumn[j]) {
            tarvikExprCode(pParse, pX->pLeft);
            aExpr[k].p = nullptr;
            break;
          }
        }
      }
      /* Two copies of the equality values: one for each end key. */
      for (int j = 0; j < nEqColumn; j++) tarvikVdbeAddOp(v, OP_Dup, nEqColumn - 1, 0);
      const int boundCol = nEqColumn < pIdx->nColumn ? pIdx->aiColumn[nEqColumn] : -2;

      /* Finds and codes the bound term of the next column in the given
      ** direction; returns the operator it had on the column's side. */
      auto codeBound = [&](bool upper) -> int {
        for (int k = 0; k < nExpr; k++) {
          Expr *pX = aExpr[k].p;
          if (pX == nullptr) continue;
          if (aExpr[k].idxLeft == iCur &&
              (aExpr[k].prereqRight & loopMask) == aExpr[k].prereqRight &&
              pX->pLeft->iColumn == boundCol &&
              (upper ? (pX->op == TK_LT || pX->op == TK_LE)
                     : (pX->op == TK_GT || pX->op == TK_GE))) {
            tarvikExprCode(pParse, pX->pRight);
            aExpr[k].p = nullptr;
            return pX->op;
          }
          if (aExpr[k].idxRight == iCur &&
              (aExpr[k].prereqLeft & loopMask) == aExpr[k].prereqLeft &&
              pX->pRight->iColumn == boundCol &&
              (upper ? (pX->op == TK_GT || pX->op == TK_GE)
                     : (pX->op == TK_LT || pX->op == TK_LE))) {
            tarvikExprCode(pParse, pX->pLeft);
            aExpr[k].p = nullptr;
            return pX->op;
          }
        }
        return 0;
      };

      int testOp = OP_Noop;
      bool leFlag = true;
      if (score & 1) {
        int op = codeBound(true);
        leFlag = op == TK_LE || op == TK_GE;
      }
      if ((score & 1) || nEqColumn > 0) {
        int nCol = nEqColumn + (score & 1);
        codeNullKeyExit(v, nCol, brk);
        tarvikVdbeAddOp(v, OP_MakeKey, nCol, 0);
        tarvikAddIdxKeyType(v, pIdx);
        if (leFlag) tarvikVdbeAddOp(v, OP_IncrKey, 0, 0);
        if (pLevel->bRev) {
          tarvikVdbeAddOp(v, OP_MoveLt, iIdxCur, brk);
        } else {
          testOp = OP_IdxGE;
          pLevel->iMem = pParse->nMem++;
          tarvikVdbeAddOp(v, OP_MemStore, pLevel->iMem, 1);
        }
      } else if (pLevel->bRev) {
        tarvikVdbeAddOp(v, OP_Last, iIdxCur, brk);
      }

      bool geFlag = true;
      if (score & 2) {
        int op = codeBound(false);
        geFlag = op == TK_GE || op == TK_LE;
      }
      if ((score & 2) || nEqColumn > 0) {
        int nCol = nEqColumn + ((score & 2) >> 1);
        codeNullKeyExit(v, nCol, brk);
        tarvikVdbeAddOp(v, OP_MakeKey, nCol, 0);
        tarvikAddIdxKeyType(v, pIdx);
        if (!geFlag) tarvikVdbeAddOp(v, OP_IncrKey, 0, 0);
        if (pLevel->bRev) {
          testOp = OP_IdxLT;
          pLevel->iMem = pParse->nMem++;
          tarvikVdbeAddOp(v, OP_MemStore, pLevel->iMem, 1);
        } else {
          tarvikVdbeAddOp(v, OP_MoveTo, iIdxCur, brk);
        }
      } else if (!pLevel->bRev) {
        tarvikVdbeAddOp(v, OP_Rewind, iIdxCur, brk);
      }

      int start = tarvikVdbeCurrentAddr(v);
      if (testOp != OP_Noop) {
        tarvikVdbeAddOp(v, OP_MemLoad, pLevel->iMem, 0);
        tarvikVdbeAddOp(v, testOp, iIdxCur, brk);
      }
      tarvikVdbeAddOp(v, OP_RowKey, iIdxCur, 0);
      tarvikVdbeAddOp(v, OP_IdxIsNull, nEqColumn + (score & 1), cont);
      tarvikVdbeAddOp(v, OP_IdxRecno, iIdxCur, 0);
      if (keepKey) {
        haveKey = true;
      } else {
        tarvikVdbeAddOp(v, OP_MoveTo, iCur, 0);
        haveKey = false;
      }
      pLevel->op = pLevel->bRev ? OP_Prev : OP_Next;
      pLevel->p1 = iIdxCur;
      pLevel->p2 = start;
    } else {
      /* Every row of the table. */
      tarvikVdbeAddOp(v, OP_Rewind, iCur, brk);
      pLevel->op = OP_Next;
      pLevel->p1 = iCur;
      pLevel->p2 = tarvikVdbeCurrentAddr(v);
      haveKey = false;
    }
    loopMask |= getMask(&maskSet, iCur, nullptr);

    /* Every term whose tables all have a row now.  A term that reads a
    ** cursor without a mask bit waits for the innermost loop. */
    auto codeFilters = [&](bool onlyFromJoin) {
      for (int j = 0; j < nExpr; j++) {
        ExprInfo &t = aExpr[j];
        if (t.p == nullptr) continue;
        if ((t.prereqAll & loopMask) != t.prereqAll) continue;
        if (t.overflow && i != nSrc - 1) continue;
        if (onlyFromJoin && (t.p->flags & EP_FromJoin) == 0) continue;
        if (haveKey) {
          haveKey = false;
          tarvikVdbeAddOp(v, OP_MoveTo, iCur, 0);
        }
        tarvikExprIfFalse(pParse, t.p, cont, 1);
        t.p = nullptr;
      }
    };
    codeFilters(pLevel->iLeftJoin != 0);
    if (pLevel->iLeftJoin) {
      /* Terms of the WHERE proper also filter the row of NULLs. */
      pLevel->top = tarvikVdbeCurrentAddr(v);
      tarvikVdbeAddOp(v, OP_Integer, 1, 0);
      tarvikVdbeAddOp(v, OP_MemStore, pLevel->iLeftJoin, 1);
      codeFilters(false);
    }
  }
  pWInfo->iContinue = cont;
  if (pushKey && !haveKey) tarvikVdbeAddOp(v, OP_Recno, pTabList->a[0].iCursor, 0);
  return pWInfo;
}

void tarvikWhereEnd(WhereInfo *pWInfo) {
  Parse *pParse = pWInfo->pParse;
  Vdbe *v = pParse->pVdbe;
  SrcList *pTabList = pWInfo->pTabList;
  const int nSrc = pTabList ? pTabList->nSrc : 0;
  for (int i = nSrc - 1; i >= 0; i--) {
    WhereLevel *pLevel = &pWInfo->a[i];
    tarvikVdbeResolveLabel(v, pLevel->cont);
    if (pLevel->op != OP_Noop) tarvikVdbeAddOp(v, pLevel->op, pLevel->p1, pLevel->p2);
    tarvikVdbeResolveLabel(v, pLevel->brk);
    if (pLevel->inOp != OP_Noop) tarvikVdbeAddOp(v, pLevel->inOp, pLevel->inP1, pLevel->inP2);
    if (pLevel->iLeftJoin) {
      /* No row matched: run the body once more with this table's columns NULL. */
      int addr = tarvikVdbeAddOp(v, OP_MemLoad, pLevel->iLeftJoin, 0);
      tarvikVdbeAddOp(v, OP_NotNull, 1, addr + 4 + (pLevel->iCur >= 0 ? 1 : 0));
      tarvikVdbeAddOp(v, OP_NullRow, pTabList->a[i].iCursor, 0);
      if (pLevel->iCur >= 0) tarvikVdbeAddOp(v, OP_NullRow, pLevel->iCur, 0);
      tarvikVdbeAddOp(v, OP_Goto, 0, pLevel->top);
    }
  }
  tarvikVdbeResolveLabel(v, pWInfo->iBreak);
  for (int i = 0; i < nSrc; i++) {
    Table *pTab = pTabList->a[i].pTab;
    if (pTab == nullptr || pTab->isTransient || pTab->pSelect) continue;
    tarvikVdbeAddOp(v, OP_Close, pTabList->a[i].iCursor, 0);
    if (pWInfo->a[i].pIdx) tarvikVdbeAddOp(v, OP_Close, pWInfo->a[i].iCur, 0);
  }
  tarvikFree(pWInfo);
}
