/*
** SELECT: construction and deletion of Select trees, the join-type words,
** and compilation of a SELECT into a program that delivers its rows to a
** destination (the caller, a memory cell, a set, a table, the sorter, a
** subroutine or nowhere).
*/
#include <cstring>

#include "genstub.h"
#include "opcodes.h"
#include "printf.h"
#include "tarvikInt.h"
#include "vdbe.h"

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
    /* The result tables of FROM sub-queries belong to their items. */
    for (int i = 0; p->pSrc && i < p->pSrc->nSrc; i++) {
      Table *pTab = p->pSrc->a[i].pTab;
      if (pTab && pTab->isTransient) tarvikDeleteTable(nullptr, pTab);
      p->pSrc->a[i].pTab = nullptr;
    }
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

/* ---------------------------------------------------------------- small helpers */

namespace {

bool failed(Parse *pParse) { return pParse->nErr != 0 || tarvik_malloc_failed != 0; }

int columnIndex(const Table *pTab, const char *zCol) {
  for (int i = 0; i < pTab->nCol; i++) {
    if (tarvikStrICmp(pTab->aCol[i].zName, zCol) == 0) return i;
  }
  return -1;
}

/* A TK_ID node owning a copy of z. */
Expr *idNode(const char *z) {
  Expr *p = tarvikExpr(TK_ID, nullptr, nullptr, nullptr);
  if (p == nullptr) return nullptr;
  p->token.z = tarvikStrDup(z);
  if (p->token.z == nullptr) {
    tarvikExprDelete(p);
    return nullptr;
  }
  p->token.dyn = 1;
  p->token.n = (unsigned)strlen(z);
  return p;
}

/* Marks every node reachable through the operands as coming from a join
** constraint. */
void setJoinExpr(Expr *p) {
  while (p) {
    p->flags |= EP_FromJoin;
    setJoinExpr(p->pLeft);
    p = p->pRight;
  }
}

Expr *andTerm(Expr *pWhere, Expr *pTerm) {
  if (pWhere == nullptr) return pTerm;
  if (pTerm == nullptr) return pWhere;
  return tarvikExpr(TK_AND, pWhere, pTerm, nullptr);
}

/* The name a FROM item is known by: its alias, else its table's name. */
const char *itemName(const SrcList::SrcList_item *pItem) {
  return pItem->zAlias ? pItem->zAlias : pItem->pTab->zName;
}

/* Adds "left.col = right.col" for a NATURAL or USING join to *ppWhere. */
void addWhereTerm(const char *zCol, const SrcList::SrcList_item *pLeft,
                  const SrcList::SrcList_item *pRight, Expr **ppWhere) {
  Expr *pE1 = tarvikExpr(TK_DOT, idNode(itemName(pLeft)), idNode(zCol), nullptr);
  Expr *pE2 = tarvikExpr(TK_DOT, idNode(itemName(pRight)), idNode(zCol), nullptr);
  Expr *pEq = tarvikExpr(TK_EQ, pE1, pE2, nullptr);
  if (pEq == nullptr) return;
  setJoinExpr(pEq);
  *ppWhere = andTerm(*ppWhere, pEq);
}

/* Turns NATURAL, ON and USING into WHERE terms.  Returns nonzero on error. */
int processJoin(Parse *pParse, Select *p) {
  SrcList *pSrc = p->pSrc;
  for (int i = 0; i < pSrc->nSrc - 1; i++) {
    SrcList::SrcList_item *pLeft = &pSrc->a[i];
    SrcList::SrcList_item *pRight = &pSrc->a[i + 1];
    if (pLeft->pTab == nullptr || pRight->pTab == nullptr) continue;
    if (pLeft->jointype & JT_NATURAL) {
      if (pLeft->pOn || pLeft->pUsing) {
        tarvikErrorMsg(pParse, "a NATURAL join may not have an ON or USING clause");
        return 1;
      }
      for (int j = 0; j < pLeft->pTab->nCol; j++) {
        const char *zCol = pLeft->pTab->aCol[j].zName;
        if (columnIndex(pRight->pTab, zCol) >= 0) addWhereTerm(zCol, pLeft, pRight, &p->pWhere);
      }
    }
    if (pLeft->pOn && pLeft->pUsing) {
      tarvikErrorMsg(pParse, "cannot have both ON and USING clauses in the same join");
      return 1;
    }
    if (pLeft->pOn) {
      setJoinExpr(pLeft->pOn);
      p->pWhere = andTerm(p->pWhere, pLeft->pOn);
      pLeft->pOn = nullptr;
    }
    if (pLeft->pUsing) {
      IdList *pList = pLeft->pUsing;
      for (int j = 0; j < pList->nId; j++) {
        const char *zCol = pList->a[j].zName;
        if (columnIndex(pLeft->pTab, zCol) < 0 || columnIndex(pRight->pTab, zCol) < 0) {
          tarvikErrorMsg(pParse, "cannot join using column %s - column not present in both tables",
                         zCol);
          return 1;
        }
        addWhereTerm(zCol, pLeft, pRight, &p->pWhere);
      }
    }
  }
  return 0;
}

bool isStar(const Expr *p) {
  return p && (p->op == TK_ALL || (p->op == TK_DOT && p->pRight && p->pRight->op == TK_ALL));
}

/* Binds the FROM items to tables, turns joins into WHERE terms and
** expands "*" and "name.*".  Runs once per select. */
int fillInColumnList(Parse *pParse, Select *p) {
  SrcList *pTabList = p->pSrc;
  if (p->pEList == nullptr) return 1;
  if (pTabList && pTabList->nSrc > 0 && pTabList->a[0].pTab) return 0;
  for (int i = 0; pTabList && i < pTabList->nSrc; i++) {
    SrcList::SrcList_item *pItem = &pTabList->a[i];
    if (pItem->pTab) continue;
    if (pItem->zName == nullptr) {
      if (pItem->pSelect == nullptr) return 1; /* a copy cut short by a failed allocation */
      if (pItem->zAlias == nullptr) {
        pItem->zAlias = tarvikMPrintf("tarvik_subquery_%p_", (void *)pItem->pSelect);
        if (pItem->zAlias == nullptr) return 1;
      }
      Table *pTab = tarvikResultSetOfSelect(pParse, pItem->zAlias, pItem->pSelect);
      if (pTab == nullptr) return 1;
      pTab->isTransient = 1;
      pItem->pTab = pTab;
    } else {
      Table *pTab = tarvikLocateTable(pParse, pItem->zName, pItem->zDatabase);
      if (pTab == nullptr) return 1;
      pItem->pTab = pTab;
      if (pTab->pSelect) {
        if (tarvikViewGetColumnNames(pParse, pTab)) return 1;
        if (pItem->pSelect == nullptr) {
          pItem->pSelect = tarvikSelectDup(pTab->pSelect);
          if (pItem->pSelect == nullptr) return 1;
        }
      }
    }
  }
  if (pTabList && processJoin(pParse, p)) return 1;

  ExprList *pEList = p->pEList;
  bool anyStar = false;
  for (int k = 0; k < pEList->nExpr; k++) anyStar = anyStar || isStar(pEList->a[k].pExpr);
  if (!anyStar) return 0;

  int rc = 0;
  const int nSrc = pTabList ? pTabList->nSrc : 0;
  ExprList *pNew = nullptr;
  for (int k = 0; k < pEList->nExpr; k++) {
    Expr *pE = pEList->a[k].pExpr;
    if (!isStar(pE)) {
      pNew = tarvikExprListAppend(pNew, pE, nullptr);
      pEList->a[k].pExpr = nullptr;
      if (pNew && pNew->nExpr > 0) {
        pNew->a[pNew->nExpr - 1].zName = pEList->a[k].zName;
        pEList->a[k].zName = nullptr;
      }
      continue;
    }
    char *zTName = nullptr;
    if (pE->op == TK_DOT && pE->pLeft) {
      zTName = tarvikStrNDup(pE->pLeft->token.z, (int)pE->pLeft->token.n);
      if (zTName == nullptr) {
        rc = 1;
        break;
      }
      tarvikDequote(zTName);
    }
    bool tableSeen = false;
    for (int i = 0; i < nSrc; i++) {
      const SrcList::SrcList_item *pItem = &pTabList->a[i];
      Table *pTab = pItem->pTab;
      const char *zTabName = itemName(pItem);
      if (zTName && tarvikStrICmp(zTName, zTabName) != 0) continue;
      tableSeen = true;
      for (int j = 0; j < pTab->nCol; j++) {
        const char *zName = pTab->aCol[j].zName;
        if (i > 0) {
          const SrcList::SrcList_item *pPrev = &pTabList->a[i - 1];
          /* The joined column already came from the left table. */
          if ((pPrev->jointype & JT_NATURAL) && columnIndex(pPrev->pTab, zName) >= 0) continue;
          if (tarvikIdListIndex(pPrev->pUsing, zName) >= 0) continue;
        }
        Expr *pExpr;
        if (nSrc > 1) {
          pExpr = tarvikExpr(TK_DOT, idNode(zTabName), idNode(zName), nullptr);
          if (pExpr) {
            pExpr->span.z = tarvikMPrintf("%s.%s", zTabName, zName);
            pExpr->span.n = pExpr->span.z ? (unsigned)strlen(pExpr->span.z) : 0;
            pExpr->span.dyn = 1;
          }
        } else {
          pExpr = idNode(zName);
          if (pExpr) {
            pExpr->span = pExpr->token;
            pExpr->span.dyn = 0;
          }
        }
        pNew = tarvikExprListAppend(pNew, pExpr, nullptr);
      }
    }
    if (!tableSeen) {
      if (zTName) {
        tarvikErrorMsg(pParse, "no such table: %s", zTName);
      } else {
        tarvikErrorMsg(pParse, "no tables specified");
      }
      rc = 1;
    }
    tarvikFree(zTName);
  }
  tarvikExprListDelete(pEList);
  p->pEList = pNew;
  if (pNew == nullptr || tarvik_malloc_failed) rc = 1;
  return rc;
}

/* The FROM item read through cursor iTable, or null. */
const SrcList::SrcList_item *itemOfCursor(const SrcList *pTabList, int iTable) {
  for (int j = 0; pTabList && j < pTabList->nSrc; j++) {
    if (pTabList->a[j].iCursor == iTable && pTabList->a[j].pTab) return &pTabList->a[j];
  }
  return nullptr;
}

/* Names the result columns for the caller (once per program). */
void generateColumnNames(Parse *pParse, const SrcList *pTabList, const ExprList *pEList) {
  Vdbe *v = pParse->pVdbe;
  if (pParse->colNamesSet || v == nullptr || tarvik_malloc_failed) return;
  pParse->colNamesSet = 1;
  const int flags = pParse->db->flags;
  const bool fullNames = (flags & TARVIK_FullColNames) != 0;
  const bool shortNames = (flags & TARVIK_ShortColNames) != 0;
  for (int i = 0; i < pEList->nExpr; i++) {
    const Expr *p = pEList->a[i].pExpr;
    if (p == nullptr) continue;
    const int last = i == pEList->nExpr - 1;
    const SrcList::SrcList_item *pItem =
        p->op == TK_COLUMN ? itemOfCursor(pTabList, p->iTable) : nullptr;
    if (pEList->a[i].zName) {
      tarvikVdbeOp3(v, OP_ColumnName, i, last, pEList->a[i].zName, 0);
    } else if (pItem) {
      const Table *pTab = pItem->pTab;
      int iCol = p->iColumn;
      if (iCol < 0) iCol = pTab->iPKey;
      const char *zCol = iCol < 0 ? "_ROWID_" : pTab->aCol[iCol].zName;
      if (!shortNames && !fullNames && p->span.z && p->span.n) {
        int addr = tarvikVdbeOp3(v, OP_ColumnName, i, last, p->span.z, (int)p->span.n);
        tarvikVdbeCompressSpace(v, addr);
      } else if (fullNames || (!shortNames && pTabList->nSrc > 1)) {
        const char *zTab = fullNames ? pTab->zName : itemName(pItem);
        char *z = tarvikMPrintf("%s.%s", zTab, zCol);
        tarvikVdbeOp3(v, OP_ColumnName, i, last, z, z ? P3_DYNAMIC : P3_NOTUSED);
      } else {
        tarvikVdbeOp3(v, OP_ColumnName, i, last, zCol, 0);
      }
    } else if (p->span.z && p->span.n) {
      int addr = tarvikVdbeOp3(v, OP_ColumnName, i, last, p->span.z, (int)p->span.n);
      tarvikVdbeCompressSpace(v, addr);
    } else {
      char *z = tarvikMPrintf("column%d", i + 1);
      tarvikVdbeOp3(v, OP_ColumnName, i, last, z, z ? P3_DYNAMIC : P3_NOTUSED);
    }
  }
}

/* The declared types of the result columns, after the names. */
void generateColumnTypes(Parse *pParse, const SrcList *pTabList, const ExprList *pEList) {
  Vdbe *v = pParse->pVdbe;
  if (v == nullptr) return;
  for (int i = 0; i < pEList->nExpr; i++) {
    const Expr *p = pEList->a[i].pExpr;
    if (p == nullptr) continue;
    const char *zType;
    const SrcList::SrcList_item *pItem =
        p->op == TK_COLUMN ? itemOfCursor(pTabList, p->iTable) : nullptr;
    if (pItem) {
      int iCol = p->iColumn;
      if (iCol < 0) iCol = pItem->pTab->iPKey;
      zType = iCol < 0 ? "INTEGER" : pItem->pTab->aCol[iCol].zType;
    } else {
      zType = tarvikExprType(p) == TARVIK_SO_TEXT ? "TEXT" : "NUMERIC";
    }
    tarvikVdbeOp3(v, OP_ColumnName, i + pEList->nExpr, 0, zType, zType ? 0 : P3_NOTUSED);
  }
}

/* One letter per expression, 't' for text and 'n' for numeric, as P3 of
** the last instruction (a MakeKey). */
void addKeyType(Vdbe *v, const ExprList *pEList) {
  int n = pEList->nExpr;
  char *z = (char *)tarvikMalloc(n + 1);
  if (z == nullptr) return;
  for (int i = 0; i < n; i++)
    z[i] = tarvikExprType(pEList->a[i].pExpr) == TARVIK_SO_TEXT ? 't' : 'n';
  z[n] = 0;
  tarvikVdbeChangeP3(v, -1, z, P3_DYNAMIC);
}

/* LIMIT and OFFSET become counters that start negative; MemIncr jumps
** once a counter turns positive. */
void computeLimitRegisters(Parse *pParse, Select *p) {
  Vdbe *v = tarvikGetVdbe(pParse);
  if (v == nullptr) return;
  if (p->nLimit >= 0) {
    int iMem = pParse->nMem++;
    tarvikVdbeAddOp(v, OP_Integer, -p->nLimit, 0);
    tarvikVdbeAddOp(v, OP_MemStore, iMem, 1);
    p->iLimit = iMem;
  }
  if (p->nOffset > 0) {
    int iMem = pParse->nMem++;
    tarvikVdbeAddOp(v, OP_Integer, -p->nOffset, 0);
    tarvikVdbeAddOp(v, OP_MemStore, iMem, 1);
    p->iOffset = iMem;
  }
}

/* The row below the top goes into the sorter under the ORDER BY key. */
void pushOntoSorter(Parse *pParse, Vdbe *v, ExprList *pOrderBy) {
  char *zSortOrder = (char *)tarvikMalloc(pOrderBy->nExpr + 1);
  if (zSortOrder == nullptr) return;
  for (int i = 0; i < pOrderBy->nExpr; i++) {
    int order = pOrderBy->a[i].sortOrder;
    int type = order & TARVIK_SO_TYPEMASK;
    if (type != TARVIK_SO_TEXT && type != TARVIK_SO_NUM) {
      type = pParse->db->file_format > 3 ? tarvikExprType(pOrderBy->a[i].pExpr) : TARVIK_SO_NUM;
    }
    const bool desc = (order & TARVIK_SO_DESC) != 0;
    if (type == TARVIK_SO_TEXT) {
      zSortOrder[i] = desc ? 'D' : 'A';
    } else {
      zSortOrder[i] = desc ? '-' : '+';
    }
    tarvikExprCode(pParse, pOrderBy->a[i].pExpr);
  }
  zSortOrder[pOrderBy->nExpr] = 0;
  tarvikVdbeOp3(v, OP_SortMakeKey, pOrderBy->nExpr, 0, zSortOrder, P3_DYNAMIC);
  tarvikVdbeAddOp(v, OP_SortPut, 0, 0);
}

/* Delivers one row: the first nColumn columns of cursor srcTab when
** srcTab >= 0, else the values of pEList. */
int selectInnerLoop(Parse *pParse, Select *p, ExprList *pEList, int srcTab, int nColumn,
                    ExprList *pOrderBy, int distinct, int eDest, int iParm, int iContinue,
                    int iBreak) {
  Vdbe *v = pParse->pVdbe;
  if (v == nullptr) return 0;
  if (pOrderBy == nullptr) {
    if (p->iOffset >= 0) {
      int addr = tarvikVdbeCurrentAddr(v);
      tarvikVdbeAddOp(v, OP_MemIncr, p->iOffset, addr + 2);
      tarvikVdbeAddOp(v, OP_Goto, 0, iContinue);
    }
    if (p->iLimit >= 0) tarvikVdbeAddOp(v, OP_MemIncr, p->iLimit, iBreak);
  }
  if (nColumn > 0) {
    for (int i = 0; i < nColumn; i++) tarvikVdbeAddOp(v, OP_Column, srcTab, i);
  } else {
    nColumn = pEList->nExpr;
    for (int i = 0; i < nColumn; i++) tarvikExprCode(pParse, pEList->a[i].pExpr);
  }

  if (distinct >= 0 && pEList && pEList->nExpr > 0) {
    tarvikVdbeAddOp(v, OP_MakeKey, pEList->nExpr, 1);
    if (pParse->db->file_format > 3) addKeyType(v, pEList);
    int addr = tarvikVdbeCurrentAddr(v);
    tarvikVdbeAddOp(v, OP_Distinct, distinct, addr + 3);
    tarvikVdbeAddOp(v, OP_Pop, nColumn + 1, 0);
    tarvikVdbeAddOp(v, OP_Goto, 0, iContinue);
    tarvikVdbeAddOp(v, OP_String, 0, 0);
    tarvikVdbeAddOp(v, OP_PutStrKey, distinct, 0);
  }

  switch (eDest) {
    case SRT_Union:
      tarvikVdbeAddOp(v, OP_MakeRecord, nColumn, 0);
      tarvikVdbeAddOp(v, OP_String, 0, 0);
      tarvikVdbeAddOp(v, OP_PutStrKey, iParm, 0);
      break;
    case SRT_Except: {
      int addr = tarvikVdbeAddOp(v, OP_MakeRecord, nColumn, 0);
      tarvikVdbeAddOp(v, OP_NotFound, iParm, addr + 3);
      tarvikVdbeAddOp(v, OP_Delete, iParm, 0);
      break;
    }
    case SRT_Table:
    case SRT_TempTable:
      tarvikVdbeAddOp(v, OP_MakeRecord, nColumn, 0);
      if (pOrderBy) {
        pushOntoSorter(pParse, v, pOrderBy);
      } else {
        tarvikVdbeAddOp(v, OP_NewRecno, iParm, 0);
        tarvikVdbeAddOp(v, OP_Pull, 1, 0);
        tarvikVdbeAddOp(v, OP_PutIntKey, iParm, 0);
      }
      break;
    case SRT_Set: {
      tvAssert(nColumn == 1);
      int addr = tarvikVdbeCurrentAddr(v);
      tarvikVdbeAddOp(v, OP_NotNull, -1, addr + 3);
      tarvikVdbeAddOp(v, OP_Pop, 1, 0);
      int addr2 = tarvikVdbeAddOp(v, OP_Goto, 0, 0);
      if (pOrderBy) {
        pushOntoSorter(pParse, v, pOrderBy);
      } else {
        tarvikVdbeAddOp(v, OP_String, 0, 0);
        tarvikVdbeAddOp(v, OP_PutStrKey, iParm, 0);
      }
      tarvikVdbeChangeP2(v, addr2, tarvikVdbeCurrentAddr(v));
      break;
    }
    case SRT_Mem:
      tvAssert(nColumn == 1);
      if (pOrderBy) {
        pushOntoSorter(pParse, v, pOrderBy);
      } else {
        tarvikVdbeAddOp(v, OP_MemStore, iParm, 1);
        tarvikVdbeAddOp(v, OP_Goto, 0, iBreak);
      }
      break;
    case SRT_Callback:
    case SRT_Sorter:
      if (pOrderBy) {
        tarvikVdbeAddOp(v, OP_SortMakeRec, nColumn, 0);
        pushOntoSorter(pParse, v, pOrderBy);
      } else {
        tvAssert(eDest == SRT_Callback);
        tarvikVdbeAddOp(v, OP_Callback, nColumn, 0);
      }
      break;
    case SRT_Subroutine:
      if (pOrderBy) {
        tarvikVdbeAddOp(v, OP_MakeRecord, nColumn, 0);
        pushOntoSorter(pParse, v, pOrderBy);
      } else {
        tarvikVdbeAddOp(v, OP_Gosub, 0, iParm);
      }
      break;
    default:
      tvAssert(eDest == SRT_Discard);
      tarvikVdbeAddOp(v, OP_Pop, nColumn, 0);
      break;
  }
  return 0;
}

/* Reads the sorter back in order and delivers each row. */
void generateSortTail(Parse *pParse, Select *p, int nColumn, int eDest, int iParm) {
  Vdbe *v = pParse->pVdbe;
  int end = tarvikVdbeMakeLabel(v);
  tarvikVdbeAddOp(v, OP_Sort, 0, 0);
  int addr = tarvikVdbeAddOp(v, OP_SortNext, 0, end);
  if (p->iOffset >= 0) {
    tarvikVdbeAddOp(v, OP_MemIncr, p->iOffset, addr + 4);
    tarvikVdbeAddOp(v, OP_Pop, 1, 0);
    tarvikVdbeAddOp(v, OP_Goto, 0, addr);
  }
  if (p->iLimit >= 0) tarvikVdbeAddOp(v, OP_MemIncr, p->iLimit, end);
  switch (eDest) {
    case SRT_Callback:
      tarvikVdbeAddOp(v, OP_SortCallback, nColumn, 0);
      break;
    case SRT_Table:
    case SRT_TempTable:
      tarvikVdbeAddOp(v, OP_NewRecno, iParm, 0);
      tarvikVdbeAddOp(v, OP_Pull, 1, 0);
      tarvikVdbeAddOp(v, OP_PutIntKey, iParm, 0);
      break;
    case SRT_Set: {
      int a = tarvikVdbeCurrentAddr(v);
      tarvikVdbeAddOp(v, OP_NotNull, -1, a + 3);
      tarvikVdbeAddOp(v, OP_Pop, 1, 0);
      tarvikVdbeAddOp(v, OP_Goto, 0, a + 5);
      tarvikVdbeAddOp(v, OP_String, 0, 0);
      tarvikVdbeAddOp(v, OP_PutStrKey, iParm, 0);
      break;
    }
    case SRT_Mem:
      tarvikVdbeAddOp(v, OP_MemStore, iParm, 1);
      tarvikVdbeAddOp(v, OP_Goto, 0, end);
      break;
    case SRT_Subroutine:
      for (int i = 0; i < nColumn; i++) tarvikVdbeAddOp(v, OP_Column, -1 - i, i);
      tarvikVdbeAddOp(v, OP_Gosub, 0, iParm);
      tarvikVdbeAddOp(v, OP_Pop, 1, 0);
      break;
    default:
      /* The sorter destination has no tail; the others drop ORDER BY. */
      tarvikVdbeAddOp(v, OP_Pop, 1, 0);
      break;
  }
  tarvikVdbeAddOp(v, OP_Goto, 0, addr);
  tarvikVdbeResolveLabel(v, end);
  tarvikVdbeAddOp(v, OP_SortReset, 0, 0);
}

}  // namespace

/* ---------------------------------------------------------------- public helpers */

Vdbe *tarvikGetVdbe(Parse *pParse) {
  if (pParse->pVdbe == nullptr) pParse->pVdbe = tarvikVdbeCreate(pParse->db);
  return pParse->pVdbe;
}

void tarvikAggregateInfoReset(Parse *pParse) {
  tarvikFree(pParse->aAgg);
  pParse->aAgg = nullptr;
  pParse->nAgg = 0;
  pParse->useAgg = 0;
}

void tarvikSelectUnbind(Select *p) {
  for (; p; p = p->pPrior) {
    for (int i = 0; p->pSrc && i < p->pSrc->nSrc; i++) {
      SrcList::SrcList_item *pItem = &p->pSrc->a[i];
      if (pItem->pTab && pItem->pTab->isTransient) tarvikDeleteTable(nullptr, pItem->pTab);
      pItem->pTab = nullptr;
      if (pItem->pSelect) tarvikSelectUnbind(pItem->pSelect);
    }
  }
}

Table *tarvikResultSetOfSelect(Parse *pParse, const char *zTabName, Select *pSelect) {
  while (pSelect->pPrior) pSelect = pSelect->pPrior;
  if (fillInColumnList(pParse, pSelect)) return nullptr;
  ExprList *pEList = pSelect->pEList;
  Table *pTab = (Table *)tarvikMalloc(sizeof(Table));
  if (pTab == nullptr) return nullptr;
  pTab->zName = zTabName ? tarvikStrDup(zTabName) : nullptr;
  pTab->iPKey = -1;
  if (pEList->nExpr > 0) {
    pTab->aCol = (Column *)tarvikMalloc(pEList->nExpr * (int)sizeof(Column));
    if (pTab->aCol == nullptr) {
      tarvikDeleteTable(nullptr, pTab);
      return nullptr;
    }
  }
  for (int i = 0; i < pEList->nExpr; i++) {
    Column *pCol = &pTab->aCol[i];
    const Expr *p = pEList->a[i].pExpr;
    pTab->nCol = i + 1;
    pCol->sortOrder = TARVIK_SO_NUM;
    if (pEList->a[i].zName) {
      pCol->zName = tarvikStrDup(pEList->a[i].zName);
    } else if (p && p->op == TK_DOT && p->pRight && p->pRight->token.z && p->pRight->token.n) {
      const Token *pR = &p->pRight->token;
      pCol->zName = tarvikStrNDup(pR->z, (int)pR->n);
      /* Joined tables can share column names: number the later ones. */
      for (int j = 0, cnt = 0; j < i && pCol->zName; j++) {
        if (tarvikStrICmp(pTab->aCol[j].zName, pCol->zName) == 0) {
          tarvikFree(pCol->zName);
          pCol->zName = tarvikMPrintf("%.*s_%d", (int)pR->n, pR->z, ++cnt);
          j = -1;
        }
      }
    } else if (p && p->span.z && p->span.n) {
      pCol->zName = tarvikStrNDup(p->span.z, (int)p->span.n);
    } else {
      pCol->zName = tarvikMPrintf("column%d", i + 1);
    }
    if (pCol->zName == nullptr) {
      tarvikDeleteTable(nullptr, pTab);
      return nullptr;
    }
  }
  return pTab;
}

/* ---------------------------------------------------------------- compound selects and the min/max
 * shortcut */

namespace {

const char *selectOpName(int op) {
  switch (op) {
    case TK_ALL:
      return "UNION ALL";
    case TK_INTERSECT:
      return "INTERSECT";
    case TK_EXCEPT:
      return "EXCEPT";
    default:
      return "UNION";
  }
}

/* Turns each ORDER BY term of a compound into a column of the temporary
** table iTable: a term is matched against the selects of the chain from
** the leftmost on; an integer term by the final select only. */
int matchOrderbyToColumn(Parse *pParse, Select *pSelect, ExprList *pOrderBy, int iTable,
                         int mustComplete) {
  if (pSelect == nullptr || pOrderBy == nullptr) return 1;
  if (mustComplete) {
    for (int i = 0; i < pOrderBy->nExpr; i++) pOrderBy->a[i].done = 0;
  }
  if (fillInColumnList(pParse, pSelect)) return 1;
  if (pSelect->pPrior && matchOrderbyToColumn(pParse, pSelect->pPrior, pOrderBy, iTable, 0)) {
    return 1;
  }
  ExprList *pEList = pSelect->pEList;
  for (int i = 0; i < pOrderBy->nExpr; i++) {
    if (pOrderBy->a[i].done) continue;
    Expr *pE = pOrderBy->a[i].pExpr;
    int iCol = -1;
    if (tarvikExprIsInteger(pE, &iCol)) {
      if (iCol <= 0 || iCol > pEList->nExpr) {
        tarvikErrorMsg(pParse, "ORDER BY position %d should be between 1 and %d", iCol,
                       pEList->nExpr);
        return 1;
      }
      if (!mustComplete) continue;
      iCol--;
    }
    for (int j = 0; iCol < 0 && j < pEList->nExpr; j++) {
      if (pEList->a[j].zName && (pE->op == TK_ID || pE->op == TK_STRING)) {
        char *zLabel = tarvikStrNDup(pE->token.z, (int)pE->token.n);
        if (zLabel == nullptr) return 1;
        tarvikDequote(zLabel);
        if (tarvikStrICmp(pEList->a[j].zName, zLabel) == 0) iCol = j;
        tarvikFree(zLabel);
      }
      if (iCol < 0 && tarvikExprCompare(pE, pEList->a[j].pExpr)) iCol = j;
    }
    if (iCol >= 0) {
      tarvikExprDelete(pE->pLeft);
      tarvikExprDelete(pE->pRight);
      tarvikExprListDelete(pE->pList);
      pE->pLeft = pE->pRight = nullptr;
      pE->pList = nullptr;
      pE->op = TK_COLUMN;
      pE->iColumn = iCol;
      pE->iTable = iTable;
      pOrderBy->a[i].done = 1;
    } else if (mustComplete) {
      tarvikErrorMsg(pParse, "ORDER BY term number %d does not match any result column", i + 1);
      return 1;
    }
  }
  return 0;
}

/* A compound's ORDER BY term sorts as text unless its column is numeric in
** any select of the chain. */
void multiSelectSortOrder(Select *p, ExprList *pOrderBy) {
  for (int i = 0; i < pOrderBy->nExpr; i++) {
    const Expr *pE = pOrderBy->a[i].pExpr;
    if ((pOrderBy->a[i].sortOrder & TARVIK_SO_TYPEMASK) != 0 || pE->op != TK_COLUMN) continue;
    int type = TARVIK_SO_TEXT;
    for (Select *pS = p; pS; pS = pS->pPrior) {
      if (pE->iColumn < pS->pEList->nExpr &&
          tarvikExprType(pS->pEList->a[pE->iColumn].pExpr) == TARVIK_SO_NUM) {
        type = TARVIK_SO_NUM;
      }
    }
    pOrderBy->a[i].sortOrder = (u8)((pOrderBy->a[i].sortOrder & TARVIK_SO_DESC) | type);
  }
}

/* Delivers the rows of temporary table iTab (kept only when found in
** iFilterTab, if that is >= 0) with p's ORDER BY and limits. */
void readBackTable(Parse *pParse, Select *p, int iTab, int iFilterTab, int eDest, int iParm) {
  Vdbe *v = pParse->pVdbe;
  if (eDest == SRT_Callback) {
    Select *pFirst = p;
    while (pFirst->pPrior) pFirst = pFirst->pPrior;
    generateColumnNames(pParse, pFirst->pSrc, pFirst->pEList);
    generateColumnTypes(pParse, pFirst->pSrc, pFirst->pEList);
  }
  if (p->pOrderBy) multiSelectSortOrder(p, p->pOrderBy);
  int iBreak = tarvikVdbeMakeLabel(v);
  int iCont = tarvikVdbeMakeLabel(v);
  tarvikVdbeAddOp(v, OP_Rewind, iTab, iBreak);
  computeLimitRegisters(pParse, p);
  int iStart = tarvikVdbeCurrentAddr(v);
  if (iFilterTab >= 0) {
    tarvikVdbeAddOp(v, OP_FullKey, iTab, 0);
    tarvikVdbeAddOp(v, OP_NotFound, iFilterTab, iCont);
  }
  selectInnerLoop(pParse, p, p->pEList, iTab, p->pEList->nExpr, p->pOrderBy, -1, eDest, iParm,
                  iCont, iBreak);
  tarvikVdbeResolveLabel(v, iCont);
  tarvikVdbeAddOp(v, OP_Next, iTab, iStart);
  tarvikVdbeResolveLabel(v, iBreak);
  if (iFilterTab >= 0) tarvikVdbeAddOp(v, OP_Close, iFilterTab, 0);
  tarvikVdbeAddOp(v, OP_Close, iTab, 0);
  if (p->pOrderBy) generateSortTail(pParse, p, p->pEList->nExpr, eDest, iParm);
}

/* Runs the right side p alone (its prior, ORDER BY and limits set aside). */
int selectRightSide(Parse *pParse, Select *p, int eDest, int iParm) {
  Select *pPrior = p->pPrior;
  ExprList *pOrderBy = p->pOrderBy;
  int nLimit = p->nLimit, nOffset = p->nOffset;
  p->pPrior = nullptr;
  p->pOrderBy = nullptr;
  p->nLimit = -1;
  p->nOffset = 0;
  int rc = tarvikSelect(pParse, p, eDest, iParm, nullptr, 0, nullptr);
  p->pPrior = pPrior;
  p->pOrderBy = pOrderBy;
  p->nLimit = nLimit;
  p->nOffset = nOffset;
  return rc;
}

int multiSelect(Parse *pParse, Select *p, int eDest, int iParm) {
  Select *pPrior = p->pPrior;
  if (pPrior->pOrderBy) {
    tarvikErrorMsg(pParse, "ORDER BY clause should come after %s not before", selectOpName(p->op));
    return 1;
  }
  if (pPrior->nLimit >= 0 || pPrior->nOffset > 0) {
    tarvikErrorMsg(pParse, "LIMIT clause should come after %s not before", selectOpName(p->op));
    return 1;
  }
  Vdbe *v = tarvikGetVdbe(pParse);
  if (v == nullptr) return 1;
  if (eDest == SRT_TempTable) {
    tarvikVdbeAddOp(v, OP_OpenTemp, iParm, 0);
    eDest = SRT_Table;
  }

  int rc = 0;
  if (p->op == TK_ALL && p->pOrderBy == nullptr) {
    /* Both sides straight into the destination, sharing one LIMIT. */
    pPrior->nLimit = p->nLimit;
    pPrior->nOffset = p->nOffset;
    rc = tarvikSelect(pParse, pPrior, eDest, iParm, nullptr, 0, nullptr);
    if (rc) return rc;
    p->pPrior = nullptr;
    p->iLimit = pPrior->iLimit;
    p->iOffset = pPrior->iOffset;
    p->nLimit = -1;
    p->nOffset = 0;
    rc = tarvikSelect(pParse, p, eDest, iParm, nullptr, 0, nullptr);
    p->pPrior = pPrior;
    if (rc) return rc;
  } else if (p->op != TK_INTERSECT) {
    const int priorOp = p->op == TK_ALL ? SRT_Table : SRT_Union;
    int unionTab;
    const bool direct =
        eDest == priorOp && p->pOrderBy == nullptr && p->nLimit < 0 && p->nOffset == 0;
    if (direct) {
      unionTab = iParm;
    } else {
      unionTab = pParse->nTab++;
      if (p->pOrderBy && matchOrderbyToColumn(pParse, p, p->pOrderBy, unionTab, 1)) return 1;
      if (p->op != TK_ALL) {
        tarvikVdbeAddOp(v, OP_OpenTemp, unionTab, 1);
        tarvikVdbeAddOp(v, OP_KeyAsData, unionTab, 1);
      } else {
        tarvikVdbeAddOp(v, OP_OpenTemp, unionTab, 0);
      }
    }
    rc = tarvikSelect(pParse, pPrior, priorOp, unionTab, nullptr, 0, nullptr);
    if (rc) return rc;
    const int op = p->op == TK_EXCEPT ? SRT_Except : p->op == TK_UNION ? SRT_Union : SRT_Table;
    rc = selectRightSide(pParse, p, op, unionTab);
    if (rc) return rc;
    if (!direct) readBackTable(pParse, p, unionTab, -1, eDest, iParm);
  } else {
    const int tab1 = pParse->nTab++;
    const int tab2 = pParse->nTab++;
    if (p->pOrderBy && matchOrderbyToColumn(pParse, p, p->pOrderBy, tab1, 1)) return 1;
    tarvikVdbeAddOp(v, OP_OpenTemp, tab1, 1);
    tarvikVdbeAddOp(v, OP_KeyAsData, tab1, 1);
    rc = tarvikSelect(pParse, pPrior, SRT_Union, tab1, nullptr, 0, nullptr);
    if (rc) return rc;
    tarvikVdbeAddOp(v, OP_OpenTemp, tab2, 1);
    tarvikVdbeAddOp(v, OP_KeyAsData, tab2, 1);
    rc = selectRightSide(pParse, p, SRT_Union, tab2);
    if (rc) return rc;
    readBackTable(pParse, p, tab1, tab2, eDest, iParm);
  }
  if (p->pEList->nExpr != pPrior->pEList->nExpr) {
    tarvikErrorMsg(pParse,
                   "SELECTs to the left and right of %s do not have the same number of result "
                   "columns",
                   selectOpName(p->op));
    return 1;
  }
  return 0;
}

/* "SELECT min(x) FROM t" and max(x), with x the row id or the first
** column of an index: one row read from one end.  1 when applied. */
int simpleMinMaxQuery(Parse *pParse, Select *p, int eDest, int iParm) {
  if (p->pGroupBy || p->pHaving || p->pWhere) return 0;
  if (p->pSrc == nullptr || p->pSrc->nSrc != 1 || p->pEList->nExpr != 1) return 0;
  Expr *pExpr = p->pEList->a[0].pExpr;
  if (pExpr == nullptr || pExpr->op != TK_AGG_FUNCTION) return 0;
  if (pExpr->pList == nullptr || pExpr->pList->nExpr != 1 || pExpr->token.n != 3) return 0;
  int seekOp;
  if (tarvikStrNICmp(pExpr->token.z, "min", 3) == 0) {
    seekOp = OP_Rewind;
  } else if (tarvikStrNICmp(pExpr->token.z, "max", 3) == 0) {
    seekOp = OP_Last;
  } else {
    return 0;
  }
  Expr *pCol = pExpr->pList->a[0].pExpr;
  if (pCol == nullptr || pCol->op != TK_COLUMN) return 0;
  Table *pTab = p->pSrc->a[0].pTab;
  /* Views and sub-queries have no tree of their own to read from. */
  if (pTab == nullptr || pTab->pSelect || pTab->isTransient) return 0;
  Index *pIdx = nullptr;
  if (pCol->iColumn >= 0) {
    for (pIdx = pTab->pIndex; pIdx; pIdx = pIdx->pNext) {
      if (pIdx->aiColumn[0] == pCol->iColumn) break;
    }
    if (pIdx == nullptr) return 0;
    /* NULL keys sort first in an index, and min() skips NULLs: reading the
    ** first entry would answer NULL whenever the column holds one.  max()
    ** reads the last entry, which is never NULL unless all are. */
    if (seekOp == OP_Rewind) return 0;
  }

  Vdbe *v = tarvikGetVdbe(pParse);
  if (v == nullptr) return 0;
  if (eDest == SRT_Callback) generateColumnTypes(pParse, p->pSrc, p->pEList);
  if (eDest == SRT_TempTable) tarvikVdbeAddOp(v, OP_OpenTemp, iParm, 0);
  tarvikCodeVerifySchema(pParse, pTab->iDb);
  const int base = p->pSrc->a[0].iCursor;
  computeLimitRegisters(pParse, p);
  tarvikVdbeAddOp(v, OP_Integer, pTab->iDb, 0);
  tarvikVdbeOp3(v, OP_OpenRead, base, pTab->tnum, pTab->zName, P3_STATIC);
  int cont = tarvikVdbeMakeLabel(v);
  if (pIdx == nullptr) {
    tarvikVdbeAddOp(v, seekOp, base, 0);
  } else {
    int iIdxCur = pParse->nTab++;
    tarvikVdbeAddOp(v, OP_Integer, pIdx->iDb, 0);
    tarvikVdbeOp3(v, OP_OpenRead, iIdxCur, pIdx->tnum, pIdx->zName, P3_STATIC);
    tarvikVdbeAddOp(v, seekOp, iIdxCur, 0);
    tarvikVdbeAddOp(v, OP_IdxRecno, iIdxCur, 0);
    tarvikVdbeAddOp(v, OP_Close, iIdxCur, 0);
    tarvikVdbeAddOp(v, OP_MoveTo, base, 0);
  }
  ExprList::ExprList_item item{};
  item.pExpr = pCol;
  ExprList eList{};
  eList.nExpr = 1;
  eList.a = &item;
  selectInnerLoop(pParse, p, &eList, -1, 0, nullptr, -1, eDest, iParm, cont, cont);
  tarvikVdbeResolveLabel(v, cont);
  tarvikVdbeAddOp(v, OP_Close, base, 0);
  return 1;
}

/* ORDER BY or GROUP BY terms: "k" is a copy of result column k; a constant
** that is not such a number is an error. */
int resolveOrderGroupBy(Parse *pParse, SrcList *pTabList, ExprList *pEList, ExprList *pList,
                        int allowAgg, const char *zKind) {
  for (int i = 0; pList && i < pList->nExpr; i++) {
    Expr *pE = pList->a[i].pExpr;
    int iCol;
    bool copied = false;
    if (tarvikExprIsInteger(pE, &iCol) && iCol > 0 && iCol <= pEList->nExpr) {
      Expr *pDup = tarvikExprDup(pEList->a[iCol - 1].pExpr);
      if (pDup == nullptr) return 1;
      tarvikExprDelete(pE);
      pE = pList->a[i].pExpr = pDup;
      copied = true;
    }
    if (tarvikExprResolveIds(pParse, pTabList, pEList, pE)) return 1;
    if (tarvikExprCheck(pParse, pE, allowAgg, nullptr)) return 1;
    /* A copied result column may well be a constant; only a term written
    ** as a constant must be a column number. */
    if (!copied && tarvikExprIsConstant(pE)) {
      if (!tarvikExprIsInteger(pE, &iCol)) {
        tarvikErrorMsg(pParse, "%s BY terms must not be non-integer constants", zKind);
      } else {
        tarvikErrorMsg(pParse, "%s BY column number %d out of range - should be between 1 and %d",
                       zKind, iCol, pEList->nExpr);
      }
      return 1;
    }
  }
  return 0;
}

}  // namespace

/* ---------------------------------------------------------------- flattening FROM sub-queries */

namespace {

void substExprList(ExprList *pList, int iTable, const ExprList *pEList);

/* Replaces every column of cursor iTable by a copy of the matching result
** expression of pEList; the sub-query's row id has no value (NULL). */
void substExpr(Expr *p, int iTable, const ExprList *pEList) {
  while (p) {
    if (p->op == TK_COLUMN && p->iTable == iTable) {
      if (p->iColumn < 0) {
        p->op = TK_NULL;
        return;
      }
      const Expr *pNew = pEList->a[p->iColumn].pExpr;
      if (pNew == nullptr) return;
      p->op = pNew->op;
      p->dataType = pNew->dataType;
      p->pLeft = tarvikExprDup(pNew->pLeft);
      p->pRight = tarvikExprDup(pNew->pRight);
      p->pList = tarvikExprListDup(pNew->pList);
      p->iTable = pNew->iTable;
      p->iColumn = pNew->iColumn;
      p->iAgg = pNew->iAgg;
      tarvikTokenCopy(&p->token, &pNew->token);
      tarvikTokenCopy(&p->span, &pNew->span);
      return;
    }
    substExpr(p->pRight, iTable, pEList);
    substExprList(p->pList, iTable, pEList);
    p = p->pLeft;
  }
}

void substExprList(ExprList *pList, int iTable, const ExprList *pEList) {
  for (int i = 0; pList && i < pList->nExpr; i++) substExpr(pList->a[i].pExpr, iTable, pEList);
}

/* Merges the sub-query of FROM item iFrom of p into p itself, so that no
** temporary table is needed.  1 when done (the sub-query is then deleted),
** 0 when the query must be materialised instead. */
int flattenSubquery(Parse *pParse, Select *p, int iFrom, int isAgg, int subqueryIsAgg) {
  (void)pParse;
  SrcList *pSrc = p->pSrc;
  Select *pSub = pSrc->a[iFrom].pSelect;
  if (pSub == nullptr || pSub->pPrior) return 0;
  SrcList *pSubSrc = pSub->pSrc;
  const bool subLimit = pSub->nLimit >= 0 || pSub->nOffset > 0;
  const bool outerBefore = iFrom > 0 && (pSrc->a[iFrom - 1].jointype & JT_OUTER) != 0;
  if (isAgg && subqueryIsAgg) return 0;
  if (subqueryIsAgg && pSrc->nSrc > 1) return 0;
  if (pSubSrc == nullptr || pSubSrc->nSrc == 0) return 0;
  if ((pSub->isDistinct || subLimit) && (pSrc->nSrc > 1 || isAgg)) return 0;
  if ((p->isDistinct || p->nLimit >= 0) && subqueryIsAgg) return 0;
  if (p->pOrderBy && pSub->pOrderBy) return 0;
  if (pSubSrc->nSrc > 1 && outerBefore) return 0;
  if (outerBefore && pSub->pWhere) return 0;
  /* DISTINCT over the sub-query's columns is not DISTINCT over the
  ** parent's; rows cut by the sub-query's LIMIT must not be filtered,
  ** reordered or made distinct first. */
  if (pSub->isDistinct) return 0;
  if (subLimit && (p->pWhere || p->pOrderBy || p->isDistinct)) return 0;

  /* Make room for the sub-query's items before anything changes. */
  const int nSubSrc = pSubSrc->nSrc;
  const int extra = nSubSrc - 1;
  if (pSrc->nSrc + extra > pSrc->nAlloc) {
    int nNew = pSrc->nSrc + extra;
    SrcList *pNew =
        (SrcList *)tarvikRealloc(pSrc, (int)(sizeof(SrcList) + (nNew - 1) * sizeof(pSrc->a[0])));
    if (pNew == nullptr) return 0;
    pSrc = p->pSrc = pNew;
    pSrc->nAlloc = (u16)nNew;
  }
  SrcList::SrcList_item *pItem = &pSrc->a[iFrom];
  const int iParent = pItem->iCursor;
  const int jointype = pItem->jointype;
  if (pItem->pTab && pItem->pTab->isTransient) tarvikDeleteTable(nullptr, pItem->pTab);
  tarvikFree(pItem->zDatabase);
  tarvikFree(pItem->zName);
  tarvikFree(pItem->zAlias);
  tarvikIdListDelete(pItem->pUsing);
  tarvikExprDelete(pItem->pOn);
  if (extra > 0) {
    memmove(&pSrc->a[iFrom + nSubSrc], &pSrc->a[iFrom + 1],
            (pSrc->nSrc - iFrom - 1) * sizeof(pSrc->a[0]));
  }
  for (int i = 0; i < nSubSrc; i++) {
    pSrc->a[iFrom + i] = pSubSrc->a[i];
    memset(&pSubSrc->a[i], 0, sizeof(pSubSrc->a[i]));
  }
  pSubSrc->nSrc = 0;
  pSrc->a[iFrom + nSubSrc - 1].jointype = jointype;
  pSrc->nSrc = (u16)(pSrc->nSrc + extra);

  ExprList *pSubList = pSub->pEList;
  ExprList *pList = p->pEList;
  substExprList(pList, iParent, pSubList);
  for (int i = 0; i < pList->nExpr; i++) {
    const Expr *pE = pList->a[i].pExpr;
    if (pList->a[i].zName == nullptr && pE && pE->span.z && pE->span.n) {
      pList->a[i].zName = tarvikStrNDup(pE->span.z, (int)pE->span.n);
    }
  }
  if (isAgg) {
    substExprList(p->pGroupBy, iParent, pSubList);
    substExpr(p->pHaving, iParent, pSubList);
  }
  if (pSub->pOrderBy) {
    p->pOrderBy = pSub->pOrderBy;
    pSub->pOrderBy = nullptr;
  } else {
    substExprList(p->pOrderBy, iParent, pSubList);
  }
  Expr *pSubWhere = pSub->pWhere ? tarvikExprDup(pSub->pWhere) : nullptr;
  if (subqueryIsAgg) {
    substExpr(p->pWhere, iParent, pSubList);
    p->pHaving = p->pWhere;
    p->pWhere = pSubWhere;
    if (pSub->pHaving) p->pHaving = andTerm(p->pHaving, tarvikExprDup(pSub->pHaving));
    p->pGroupBy = tarvikExprListDup(pSub->pGroupBy);
  } else {
    substExpr(p->pWhere, iParent, pSubList);
    p->pWhere = andTerm(p->pWhere, pSubWhere);
  }
  p->isDistinct = p->isDistinct || pSub->isDistinct;
  if (pSub->nLimit >= 0) {
    /* The parent's rows start pSub->nOffset further in and may not run
    ** past the sub-query's last row. */
    int room = pSub->nLimit - (p->nOffset > 0 ? p->nOffset : 0);
    if (room < 0) room = 0;
    if (p->nLimit < 0 || p->nLimit > room) p->nLimit = room;
  }
  if (pSub->nOffset > 0) p->nOffset += pSub->nOffset;
  tarvikSelectDelete(pSub);
  return 1;
}

}  // namespace

/* ---------------------------------------------------------------- tarvikSelect */

int tarvikSelect(Parse *pParse, Select *p, int eDest, int iParm, Select *pParent, int parentTab,
                 int *pParentAgg) {
  if (GEN_INTERCEPT("Select", p, eDest, iParm)) return 0;
  if (p == nullptr || failed(pParse)) return 1;
  if (p->pPrior) return multiSelect(pParse, p, eDest, iParm);

  int rc = 1;
  int isAgg = 0;
  ExprList *pEList;
  SrcList *pTabList = p->pSrc;
  Expr *pWhere, *pHaving;
  ExprList *pOrderBy, *pGroupBy;
  int isDistinct;
  Vdbe *v;
  WhereInfo *pWInfo;
  int distinct = -1;
  const bool ignoreOrderBy = eDest == SRT_Union || eDest == SRT_Except || eDest == SRT_Discard;

  if (pTabList) tarvikSrcListAssignCursors(pParse, pTabList);
  if (fillInColumnList(pParse, p)) goto select_end;
  pTabList = p->pSrc;
  pWhere = p->pWhere;
  pEList = p->pEList;
  pOrderBy = ignoreOrderBy ? nullptr : p->pOrderBy;
  pGroupBy = p->pGroupBy;
  pHaving = p->pHaving;
  isDistinct = p->isDistinct;

  if ((eDest == SRT_Mem || eDest == SRT_Set) && pEList->nExpr > 1) {
    tarvikErrorMsg(pParse,
                   "only a single result allowed for a SELECT that is part of an expression");
    goto select_end;
  }

  for (int i = 0; i < pEList->nExpr; i++) {
    if (tarvikExprResolveIds(pParse, pTabList, nullptr, pEList->a[i].pExpr)) goto select_end;
    if (tarvikExprCheck(pParse, pEList->a[i].pExpr, 1, &isAgg)) goto select_end;
  }
  if (pWhere) {
    if (tarvikExprResolveIds(pParse, pTabList, pEList, pWhere)) goto select_end;
    if (tarvikExprCheck(pParse, pWhere, 0, nullptr)) goto select_end;
  }
  if (pHaving) {
    if (pGroupBy == nullptr) {
      tarvikErrorMsg(pParse, "a GROUP BY clause is required before HAVING");
      goto select_end;
    }
    if (tarvikExprResolveIds(pParse, pTabList, pEList, pHaving)) goto select_end;
    if (tarvikExprCheck(pParse, pHaving, 1, &isAgg)) goto select_end;
  }
  if (resolveOrderGroupBy(pParse, pTabList, pEList, pOrderBy, isAgg, "ORDER")) goto select_end;
  if (resolveOrderGroupBy(pParse, pTabList, pEList, pGroupBy, isAgg, "GROUP")) goto select_end;

  v = tarvikGetVdbe(pParse);
  if (v == nullptr) goto select_end;
  if (eDest == SRT_Callback) generateColumnNames(pParse, pTabList, pEList);

  if (simpleMinMaxQuery(pParse, p, eDest, iParm)) {
    rc = 0;
    goto select_end;
  }

  /* Sub-queries in FROM (and views) fill the temporary tables on their
  ** items' cursors first. */
  for (int i = 0; pTabList && i < pTabList->nSrc; i++) {
    SrcList::SrcList_item *pItem = &pTabList->a[i];
    if (pItem->pSelect == nullptr) continue;
    const char *zSavedAuthContext = pParse->zAuthContext;
    if (pItem->zName) pParse->zAuthContext = pItem->zName;
    int rcSub = tarvikSelect(pParse, pItem->pSelect, SRT_TempTable, pItem->iCursor, p, i, &isAgg);
    pParse->zAuthContext = zSavedAuthContext;
    if (rcSub || failed(pParse)) goto select_end;
    pTabList = p->pSrc;
    pWhere = p->pWhere;
    pEList = p->pEList;
    if (!ignoreOrderBy) pOrderBy = p->pOrderBy;
    pGroupBy = p->pGroupBy;
    pHaving = p->pHaving;
    isDistinct = p->isDistinct;
  }

  /* A sub-query that can be merged into its parent emits nothing more. */
  if (pParent &&
      flattenSubquery(pParse, pParent, parentTab, *pParentAgg || pParent->pGroupBy != nullptr,
                      isAgg || pGroupBy != nullptr)) {
    if (isAgg) *pParentAgg = 1;
    rc = tarvik_malloc_failed ? 1 : 0; /* a partial copy must not be compiled */
    goto select_end;
  }
  if (failed(pParse)) goto select_end;

  computeLimitRegisters(pParse, p);
  if (eDest == SRT_Callback) generateColumnTypes(pParse, pTabList, pEList);
  if (eDest == SRT_TempTable) tarvikVdbeAddOp(v, OP_OpenTemp, iParm, 0);

  tarvikAggregateInfoReset(pParse);
  if (isAgg || pGroupBy) {
    isAgg = 1;
    for (int i = 0; i < pEList->nExpr; i++) {
      if (tarvikExprAnalyzeAggregates(pParse, pEList->a[i].pExpr)) goto select_end;
    }
    for (int i = 0; pGroupBy && i < pGroupBy->nExpr; i++) {
      if (tarvikExprAnalyzeAggregates(pParse, pGroupBy->a[i].pExpr)) goto select_end;
    }
    if (pHaving && tarvikExprAnalyzeAggregates(pParse, pHaving)) goto select_end;
    for (int i = 0; pOrderBy && i < pOrderBy->nExpr; i++) {
      if (tarvikExprAnalyzeAggregates(pParse, pOrderBy->a[i].pExpr)) goto select_end;
    }
    tarvikVdbeAddOp(v, OP_AggReset, 0, pParse->nAgg);
    for (int i = 0; i < pParse->nAgg; i++) {
      FuncDef *pFunc = pParse->aAgg[i].pFunc;
      if (pParse->aAgg[i].isAgg && pFunc && pFunc->xFinalize) {
        tarvikVdbeOp3(v, OP_AggInit, 0, i, (const char *)pFunc, P3_POINTER);
      }
    }
    if (pGroupBy == nullptr) {
      /* One group holds every row. */
      tarvikVdbeAddOp(v, OP_String, 0, 0);
      tarvikVdbeAddOp(v, OP_AggFocus, 0, 0);
    }
  }

  if (eDest == SRT_Mem) {
    tarvikVdbeAddOp(v, OP_String, 0, 0);
    tarvikVdbeAddOp(v, OP_MemStore, iParm, 1);
  }
  if (isDistinct) {
    distinct = pParse->nTab++;
    tarvikVdbeAddOp(v, OP_OpenTemp, distinct, 1);
  }

  pWInfo = tarvikWhereBegin(pParse, pTabList, pWhere, 0, pGroupBy ? nullptr : &pOrderBy);
  if (pWInfo == nullptr) goto select_end;
  if (!isAgg) {
    selectInnerLoop(pParse, p, pEList, -1, 0, pOrderBy, distinct, eDest, iParm, pWInfo->iContinue,
                    pWInfo->iBreak);
  } else {
    if (pGroupBy) {
      for (int i = 0; i < pGroupBy->nExpr; i++) tarvikExprCode(pParse, pGroupBy->a[i].pExpr);
      tarvikVdbeAddOp(v, OP_MakeKey, pGroupBy->nExpr, 0);
      if (pParse->db->file_format > 3) addKeyType(v, pGroupBy);
      int lbl1 = tarvikVdbeMakeLabel(v);
      tarvikVdbeAddOp(v, OP_AggFocus, 0, lbl1);
      /* A new group: its plain columns come from its first row. */
      for (int i = 0; i < pParse->nAgg; i++) {
        if (pParse->aAgg[i].isAgg) continue;
        tarvikExprCode(pParse, pParse->aAgg[i].pExpr);
        tarvikVdbeAddOp(v, OP_AggSet, 0, i);
      }
      tarvikVdbeResolveLabel(v, lbl1);
    }
    for (int i = 0; i < pParse->nAgg; i++) {
      if (!pParse->aAgg[i].isAgg) continue;
      Expr *pE = pParse->aAgg[i].pExpr;
      FuncDef *pDef = pParse->aAgg[i].pFunc;
      int nArg = pE->pList ? tarvikExprCodeExprList(pParse, pE->pList, pDef->includeTypes) : 0;
      tarvikVdbeAddOp(v, OP_Integer, i, 0);
      tarvikVdbeOp3(v, OP_AggFunc, 0, nArg, (const char *)pDef, P3_POINTER);
    }
  }
  tarvikWhereEnd(pWInfo);

  if (isAgg) {
    int endagg = tarvikVdbeMakeLabel(v);
    int startagg = tarvikVdbeAddOp(v, OP_AggNext, 0, endagg);
    pParse->useAgg = 1;
    if (pHaving) tarvikExprIfFalse(pParse, pHaving, startagg, 1);
    selectInnerLoop(pParse, p, pEList, -1, 0, pOrderBy, distinct, eDest, iParm, startagg, endagg);
    tarvikVdbeAddOp(v, OP_Goto, 0, startagg);
    tarvikVdbeResolveLabel(v, endagg);
    tarvikVdbeAddOp(v, OP_Noop, 0, 0);
    pParse->useAgg = 0;
  }
  if (pOrderBy) generateSortTail(pParse, p, pEList->nExpr, eDest, iParm);

  /* A FROM sub-query is compiled once: the parent item lets go of it. */
  if (pParent) {
    pParent->pSrc->a[parentTab].pSelect = nullptr;
    tarvikSelectDelete(p);
  }
  rc = 0;

select_end:
  tarvikAggregateInfoReset(pParse);
  return rc;
}
