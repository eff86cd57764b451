/*
** UPDATE.  Like DELETE it works in two passes: the WHERE loop collects the
** numbers of the matching rows in the row-number list, then each listed row
** is read, its new values computed, checked, its old index entries removed
** and the row written back with its new keys.  Only the indices that hold
** an assigned column are touched, unless the row number changes (then all
** of them).
*/
#include "dml.h"
#include "genstub.h"
#include "tarvikInt.h"
#include "vdbe.h"

namespace {

/* Pushes the new value of every column: NULL in the INTEGER PRIMARY KEY
** slot, the old value for a column not assigned, else its expression.
** aXRef[i] is the item of pChanges that assigns column i, or -1. */
void pushNewColumns(Parse *pParse, Vdbe *v, Table *pTab, int iCur, const int *aXRef,
                    ExprList *pChanges) {
  for (int i = 0; i < pTab->nCol; i++) {
    if (i == pTab->iPKey) {
      tarvikVdbeAddOp(v, OP_String, 0, 0);
    } else if (aXRef[i] < 0) {
      tarvikVdbeAddOp(v, OP_Column, iCur, i);
    } else {
      dml::codeExpr(pParse, v, pChanges->a[aXRef[i]].pExpr);
    }
  }
}

}  // namespace

void tarvikUpdate(Parse *pParse, SrcList *pTabList, ExprList *pChanges, Expr *pWhere, int onError) {
  if (GEN_INTERCEPT("Update", pTabList, pChanges, pWhere, onError)) {
    tarvikSrcListDelete(pTabList);
    tarvikExprListDelete(pChanges);
    tarvikExprDelete(pWhere);
    return;
  }
  tarvik *db = pParse->db;
  int *aXRef = nullptr;
  char *aIdxUsed = nullptr;
  if (dml::failed(pParse)) goto cleanup;
  {
    tvAssert(pTabList->nSrc == 1);
    Table *pTab = tarvikSrcListLookup(pParse, pTabList);
    if (pTab == nullptr) goto cleanup;
    int before = dml::triggersExist(pParse, pTab, TK_UPDATE, TK_BEFORE, pChanges);
    int after = dml::triggersExist(pParse, pTab, TK_UPDATE, TK_AFTER, pChanges);
    bool triggers = before || after;
    bool isView = pTab->pSelect != nullptr;
    if (tarvikIsReadOnly(pParse, pTab, before)) goto cleanup;
    if (isView && tarvikViewGetColumnNames(pParse, pTab)) goto cleanup;
    const char *zDb = db->aDb[pTab->iDb].zName;

    aXRef = (int *)tarvikMallocRaw((int)sizeof(int) * (pTab->nCol > 0 ? pTab->nCol : 1));
    if (aXRef == nullptr) goto cleanup;
    for (int i = 0; i < pTab->nCol; i++) aXRef[i] = -1;

    /* Cursors: the NEW and OLD pseudo tables, the table, its indices. */
    int newIdx = -1, oldIdx = -1;
    if (triggers) {
      newIdx = pParse->nTab++;
      oldIdx = pParse->nTab++;
    }
    if (pTabList->a[0].iCursor < 0) pTabList->a[0].iCursor = pParse->nTab++;
    int iCur = pTabList->a[0].iCursor;
    int nIdx = 0;
    for (Index *pIdx = pTab->pIndex; pIdx; pIdx = pIdx->pNext) nIdx++;
    pParse->nTab += nIdx;

    /* The assignments. */
    bool chngRecno = false;
    Expr *pRecnoExpr = nullptr;
    for (int i = 0; i < pChanges->nExpr; i++) {
      if (tarvikExprResolveIds(pParse, pTabList, nullptr, pChanges->a[i].pExpr)) goto cleanup;
      if (tarvikExprCheck(pParse, pChanges->a[i].pExpr, 0, nullptr)) goto cleanup;
      const char *zName = pChanges->a[i].zName;
      int j;
      for (j = 0; j < pTab->nCol; j++) {
        if (tarvikStrICmp(pTab->aCol[j].zName, zName) == 0) break;
      }
      bool isKey = j == pTab->iPKey;
      if (j >= pTab->nCol) {
        if (!tarvikIsRowid(zName)) {
          tarvikErrorMsg(pParse, "no such column: %s", zName);
          goto cleanup;
        }
        isKey = true;
      }
      /* A row-number alias that is no column is authorised under the name
      ** written; IGNORE then keeps the row number, as for any column. */
      int rc = dml::authCheck(pParse, TARVIK_UPDATE, pTab->zName,
                              j < pTab->nCol ? pTab->aCol[j].zName : zName, zDb);
      if (rc == TARVIK_DENY) goto cleanup;
      if (rc == TARVIK_IGNORE) {
        if (isKey) {
          chngRecno = false;
          pRecnoExpr = nullptr;
        }
        if (j < pTab->nCol) aXRef[j] = -1;
        continue;
      }
      if (isKey) {
        chngRecno = true;
        pRecnoExpr = pChanges->a[i].pExpr;
      }
      if (j < pTab->nCol) aXRef[j] = i;
    }

    /* The indices whose keys may change. */
    aIdxUsed = (char *)tarvikMalloc(nIdx > 0 ? nIdx : 1);
    if (aIdxUsed == nullptr) goto cleanup;
    bool openAll = onError == OE_Replace || (onError == OE_Default && db->onError == OE_Replace);
    {
      int i = 0;
      for (Index *pIdx = pTab->pIndex; pIdx; pIdx = pIdx->pNext, i++) {
        bool used = chngRecno;
        for (int k = 0; !used && k < pIdx->nColumn; k++) used = aXRef[pIdx->aiColumn[k]] >= 0;
        aIdxUsed[i] = used ? 1 : 0;
        if (pIdx->onError == OE_Replace) openAll = true;
      }
    }

    if (pWhere) {
      if (tarvikExprResolveIds(pParse, pTabList, nullptr, pWhere)) goto cleanup;
      if (tarvikExprCheck(pParse, pWhere, 0, nullptr)) goto cleanup;
    }

    Vdbe *v = tarvikGetVdbe(pParse);
    if (v == nullptr) goto cleanup;
    tarvikBeginWriteOperation(pParse, 1, pTab->iDb);
    if (isView) {
      Select *pView = tarvikSelectDup(pTab->pSelect);
      int a = dml::foreignBegin(v);
      tarvikSelect(pParse, pView, SRT_TempTable, iCur, nullptr, 0, nullptr);
      dml::foreignEnd(v, a, "Select");
      tarvikSelectDelete(pView);
      if (dml::failed(pParse)) goto cleanup;
    }

    /* First pass: collect the numbers of the rows to change. */
    int a = dml::foreignBegin(v);
    WhereInfo *pWInfo = tarvikWhereBegin(pParse, pTabList, pWhere, 1, nullptr);
    if (pWInfo == nullptr) goto cleanup;
    dml::foreignEnd(v, a, "WhereBegin");
    tarvikVdbeAddOp(v, OP_ListWrite, 0, 0);
    a = dml::foreignBegin(v);
    tarvikWhereEnd(pWInfo);
    dml::foreignEnd(v, a, "WhereEnd");

    /* Inside a trigger an UPDATE neither counts nor reports. */
    bool countRows = (db->flags & TARVIK_CountRows) != 0 && pParse->trigStack == nullptr;
    if (countRows) tarvikVdbeAddOp(v, OP_Integer, 0, 0);

    int addr = 0;
    int vanished = tarvikVdbeMakeLabel(v);
    int end = tarvikVdbeMakeLabel(v);
    if (triggers) {
      tarvikVdbeAddOp(v, OP_OpenPseudo, oldIdx, 0);
      tarvikVdbeAddOp(v, OP_OpenPseudo, newIdx, 0);
      tarvikVdbeAddOp(v, OP_ListRewind, 0, 0);
      addr = tarvikVdbeAddOp(v, OP_ListRead, 0, end);
      tarvikVdbeAddOp(v, OP_Dup, 0, 0);
      if (!isView) {
        tarvikVdbeAddOp(v, OP_Dup, 0, 0);
        tarvikVdbeAddOp(v, OP_Integer, pTab->iDb, 0);
        tarvikVdbeOp3(v, OP_OpenRead, iCur, pTab->tnum, pTab->zName, 0);
      }
      tarvikVdbeAddOp(v, OP_MoveTo, iCur, 0);
      /* OLD row. */
      tarvikVdbeAddOp(v, OP_Recno, iCur, 0);
      tarvikVdbeAddOp(v, OP_RowData, iCur, 0);
      tarvikVdbeAddOp(v, OP_PutIntKey, oldIdx, 0);
      /* NEW row. */
      if (chngRecno) {
        dml::codeExpr(pParse, v, pRecnoExpr);
      } else {
        tarvikVdbeAddOp(v, OP_Recno, iCur, 0);
      }
      pushNewColumns(pParse, v, pTab, iCur, aXRef, pChanges);
      tarvikVdbeAddOp(v, OP_MakeRecord, pTab->nCol, 0);
      tarvikVdbeAddOp(v, OP_PutIntKey, newIdx, 0);
      if (!isView) tarvikVdbeAddOp(v, OP_Close, iCur, 0);
      if (dml::codeRowTrigger(pParse, TK_UPDATE, pChanges, TK_BEFORE, pTab, newIdx, oldIdx, onError,
                              addr)) {
        goto cleanup;
      }
    }

    if (!isView) {
      tarvikVdbeAddOp(v, OP_Integer, pTab->iDb, 0);
      tarvikVdbeOp3(v, OP_OpenWrite, iCur, pTab->tnum, pTab->zName, 0);
      int i = 0;
      for (Index *pIdx = pTab->pIndex; pIdx; pIdx = pIdx->pNext, i++) {
        if (openAll || aIdxUsed[i]) {
          tarvikVdbeAddOp(v, OP_Integer, pIdx->iDb, 0);
          tarvikVdbeOp3(v, OP_OpenWrite, iCur + i + 1, pIdx->tnum, pIdx->zName, 0);
        }
      }
      if (!triggers) {
        tarvikVdbeAddOp(v, OP_ListRewind, 0, 0);
        addr = tarvikVdbeAddOp(v, OP_ListRead, 0, end);
        tarvikVdbeAddOp(v, OP_Dup, 0, 0);
      }
      /* A row deleted by a REPLACE of an earlier row is skipped. */
      tarvikVdbeAddOp(v, OP_NotExists, iCur, vanished);
      if (chngRecno) {
        dml::codeExpr(pParse, v, pRecnoExpr);
        tarvikVdbeAddOp(v, OP_MustBeInt, 0, 0);
      }
      pushNewColumns(pParse, v, pTab, iCur, aXRef, pChanges);
      tarvikGenerateConstraintChecks(pParse, pTab, iCur, aIdxUsed, chngRecno, 1, onError, addr);
      tarvikGenerateRowIndexDelete(db, v, pTab, iCur, aIdxUsed);
      if (chngRecno) tarvikVdbeAddOp(v, OP_Delete, iCur, 0); /* the old row; not counted */
      tarvikCompleteInsertion(pParse, pTab, iCur, aIdxUsed, chngRecno, 1, -1);
    } else {
      tarvikVdbeAddOp(v, OP_Pop, 1, 0); /* a view has no row to write */
    }

    if (countRows) tarvikVdbeAddOp(v, OP_AddImm, 1, 0);
    if (triggers) {
      if (!isView) {
        tarvikVdbeAddOp(v, OP_Close, iCur, 0);
        int i = 0;
        for (Index *pIdx = pTab->pIndex; pIdx; pIdx = pIdx->pNext, i++) {
          if (openAll || aIdxUsed[i]) tarvikVdbeAddOp(v, OP_Close, iCur + i + 1, 0);
        }
      }
      if (dml::codeRowTrigger(pParse, TK_UPDATE, pChanges, TK_AFTER, pTab, newIdx, oldIdx, onError,
                              addr)) {
        goto cleanup;
      }
    }
    tarvikVdbeAddOp(v, OP_Goto, 0, addr);
    /* NotExists popped one copy of the number; the other goes here. */
    tarvikVdbeResolveLabel(v, vanished);
    tarvikVdbeAddOp(v, OP_Pop, 1, 0);
    tarvikVdbeAddOp(v, OP_Goto, 0, addr);
    tarvikVdbeResolveLabel(v, end);
    tarvikVdbeAddOp(v, OP_ListReset, 0, 0);
    if (triggers) {
      tarvikVdbeAddOp(v, OP_Close, newIdx, 0);
      tarvikVdbeAddOp(v, OP_Close, oldIdx, 0);
    } else if (!isView) {
      tarvikVdbeAddOp(v, OP_Close, iCur, 0);
      int i = 0;
      for (Index *pIdx = pTab->pIndex; pIdx; pIdx = pIdx->pNext, i++) {
        if (openAll || aIdxUsed[i]) tarvikVdbeAddOp(v, OP_Close, iCur + i + 1, 0);
      }
    }

    tarvikVdbeAddOp(v, OP_SetCounts, 0, 0);
    tarvikEndWriteOperation(pParse);
    if (countRows) {
      tarvikVdbeOp3(v, OP_ColumnName, 0, 1, "rows updated", P3_STATIC);
      tarvikVdbeAddOp(v, OP_Callback, 1, 0);
    }
  }
cleanup:
  tarvikFree(aXRef);
  tarvikFree(aIdxUsed);
  tarvikSrcListDelete(pTabList);
  tarvikExprListDelete(pChanges);
  tarvikExprDelete(pWhere);
}
