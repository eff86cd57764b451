/*
** DELETE, and the pieces of row removal that INSERT and UPDATE share: the
** FROM-list lookup, the read-only test, deleting a row with its index
** entries, and deleting only the index entries.
**
** A DELETE first collects the numbers of the matching rows in the program's
** row-number list and only then deletes them, so the WHERE loop never walks
** a tree that is changing under it.  Without WHERE and without triggers
** the table and its indices are emptied whole with Clear.
*/
#include "dml.h"
#include "genstub.h"
#include "tarvikInt.h"
#include "vdbe.h"

#ifdef TARVIK_TEST
void dml::foreignEnd(Vdbe *v, int iStart, const char *zKind) {
  if (tarvikTestForeignVdbe != v) {
    tarvikTestForeignVdbe = v;
    tarvikTestNForeignSpan = 0;
  }
  if (tarvikTestNForeignSpan >= TARVIK_TEST_MAX_SPANS) return;
  tarvikTestForeignSpans[tarvikTestNForeignSpan++] = {iStart, tarvikVdbeCurrentAddr(v), zKind};
}
#endif

Table *tarvikSrcListLookup(Parse *pParse, SrcList *pSrc) {
  Table *pTab = nullptr;
  for (int i = 0; i < pSrc->nSrc; i++) {
    SrcList::SrcList_item *pItem = &pSrc->a[i];
    pTab = tarvikLocateTable(pParse, pItem->zName, pItem->zDatabase);
    pItem->pTab = pTab;
    if (pTab == nullptr) return nullptr;
  }
  return pTab;
}

int tarvikIsReadOnly(Parse *pParse, Table *pTab, int viewOk) {
  if (pTab->readOnly) {
    tarvikErrorMsg(pParse, "table %s may not be modified", pTab->zName);
    return 1;
  }
  if (!viewOk && pTab->pSelect) {
    tarvikErrorMsg(pParse, "cannot modify %s because it is a view", pTab->zName);
    return 1;
  }
  return 0;
}

void tarvikGenerateRowDelete(tarvik *db, Vdbe *v, Table *pTab, int iCur, int count) {
  int addr = tarvikVdbeAddOp(v, OP_NotExists, iCur, 0);
  tarvikGenerateRowIndexDelete(db, v, pTab, iCur, nullptr);
  tarvikVdbeAddOp(v, OP_Delete, iCur, OPFLAG_CSCHANGE | (count ? OPFLAG_NCHANGE : 0));
  tarvikVdbeChangeP2(v, addr, tarvikVdbeCurrentAddr(v));
}

void tarvikGenerateRowIndexDelete(tarvik *db, Vdbe *v, Table *pTab, int iCur,
                                  const char *aIdxUsed) {
  int i = 0;
  for (Index *pIdx = pTab->pIndex; pIdx; pIdx = pIdx->pNext, i++) {
    if (aIdxUsed && !aIdxUsed[i]) continue;
    tarvikVdbeAddOp(v, OP_Recno, iCur, 0);
    for (int j = 0; j < pIdx->nColumn; j++) {
      int c = pIdx->aiColumn[j];
      if (c == pTab->iPKey) {
        tarvikVdbeAddOp(v, OP_Dup, j, 0); /* the row number pushed above */
      } else {
        tarvikVdbeAddOp(v, OP_Column, iCur, c);
      }
    }
    tarvikVdbeAddOp(v, OP_MakeIdxKey, pIdx->nColumn, 0);
    if (db->file_format >= 4) tarvikAddIdxKeyType(v, pIdx);
    tarvikVdbeAddOp(v, OP_IdxDelete, iCur + i + 1, 0);
  }
}

namespace {

/* Opens the row on cursor iCur (read-only for a table, already there for a
** materialised view), copies it into the OLD pseudo table and closes it
** again.  Expects the row number twice on the stack; leaves it once. */
void storeOldRow(Vdbe *v, Table *pTab, int iCur, int oldIdx, bool isView) {
  if (!isView) {
    tarvikVdbeAddOp(v, OP_Integer, pTab->iDb, 0);
    tarvikVdbeOp3(v, OP_OpenRead, iCur, pTab->tnum, pTab->zName, 0);
  }
  tarvikVdbeAddOp(v, OP_MoveTo, iCur, 0);
  tarvikVdbeAddOp(v, OP_Recno, iCur, 0);
  tarvikVdbeAddOp(v, OP_RowData, iCur, 0);
  tarvikVdbeAddOp(v, OP_PutIntKey, oldIdx, 0);
  if (!isView) tarvikVdbeAddOp(v, OP_Close, iCur, 0);
}

void closeTableAndIndices(Vdbe *v, Table *pTab, int iCur) {
  tarvikVdbeAddOp(v, OP_Close, iCur, 0);
  int i = 1;
  for (Index *pIdx = pTab->pIndex; pIdx; pIdx = pIdx->pNext, i++) {
    tarvikVdbeAddOp(v, OP_Close, iCur + i, 0);
  }
}

}  // namespace

void tarvikDeleteFrom(Parse *pParse, SrcList *pTabList, Expr *pWhere) {
  if (GEN_INTERCEPT("DeleteFrom", pTabList, pWhere)) {
    tarvikSrcListDelete(pTabList);
    tarvikExprDelete(pWhere);
    return;
  }
  tarvik *db = pParse->db;
  if (dml::failed(pParse)) goto cleanup;
  {
    tvAssert(pTabList->nSrc == 1);
    Table *pTab = tarvikSrcListLookup(pParse, pTabList);
    if (pTab == nullptr) goto cleanup;
    int before = dml::triggersExist(pParse, pTab, TK_DELETE, TK_BEFORE, nullptr);
    int after = dml::triggersExist(pParse, pTab, TK_DELETE, TK_AFTER, nullptr);
    bool triggers = before || after;
    bool isView = pTab->pSelect != nullptr;
    /* A view can be the target only through its INSTEAD OF triggers,
    ** which are stored as BEFORE triggers. */
    if (tarvikIsReadOnly(pParse, pTab, before)) goto cleanup;
    tvAssert(pTab->iDb < db->nDb);
    if (dml::authCheck(pParse, TARVIK_DELETE, pTab->zName, nullptr, db->aDb[pTab->iDb].zName)) {
      goto cleanup;
    }
    if (isView && tarvikViewGetColumnNames(pParse, pTab)) goto cleanup;

    int oldIdx = triggers ? pParse->nTab++ : -1;
    if (pTabList->a[0].iCursor < 0) pTabList->a[0].iCursor = pParse->nTab++;
    int iCur = pTabList->a[0].iCursor;
    for (Index *pIdx = pTab->pIndex; pIdx; pIdx = pIdx->pNext) pParse->nTab++;
    if (pWhere) {
      if (tarvikExprResolveIds(pParse, pTabList, nullptr, pWhere)) goto cleanup;
      if (tarvikExprCheck(pParse, pWhere, 0, nullptr)) goto cleanup;
    }

    Vdbe *v = tarvikGetVdbe(pParse);
    if (v == nullptr) goto cleanup;
    tarvikBeginWriteOperation(pParse, triggers, pTab->iDb);
    if (isView) {
      Select *pView = tarvikSelectDup(pTab->pSelect);
      int a = dml::foreignBegin(v);
      tarvikSelect(pParse, pView, SRT_TempTable, iCur, nullptr, 0, nullptr);
      dml::foreignEnd(v, a, "Select");
      tarvikSelectDelete(pView);
      if (dml::failed(pParse)) goto cleanup;
    }
    bool countRows = (db->flags & TARVIK_CountRows) != 0;
    if (countRows) tarvikVdbeAddOp(v, OP_Integer, 0, 0);

    if (pWhere == nullptr && !triggers) {
      /* Everything goes: count the rows first if asked, then empty the
      ** trees.  No row is counted as changed. */
      if (countRows) {
        if (!isView) {
          tarvikVdbeAddOp(v, OP_Integer, pTab->iDb, 0);
          tarvikVdbeOp3(v, OP_OpenRead, iCur, pTab->tnum, pTab->zName, 0);
        }
        int endOfLoop = tarvikVdbeMakeLabel(v);
        tarvikVdbeAddOp(v, OP_Rewind, iCur, endOfLoop);
        int addr = tarvikVdbeAddOp(v, OP_AddImm, 1, 0);
        tarvikVdbeAddOp(v, OP_Next, iCur, addr);
        tarvikVdbeResolveLabel(v, endOfLoop);
        tarvikVdbeAddOp(v, OP_Close, iCur, 0);
      }
      if (!isView) {
        tarvikVdbeAddOp(v, OP_Clear, pTab->tnum, pTab->iDb);
        for (Index *pIdx = pTab->pIndex; pIdx; pIdx = pIdx->pNext) {
          tarvikVdbeAddOp(v, OP_Clear, pIdx->tnum, pIdx->iDb);
        }
      }
    } else {
      /* First pass: collect the numbers of the rows to delete. */
      int a = dml::foreignBegin(v);
      WhereInfo *pWInfo = tarvikWhereBegin(pParse, pTabList, pWhere, 1, nullptr);
      if (pWInfo == nullptr) goto cleanup;
      dml::foreignEnd(v, a, "WhereBegin");
      tarvikVdbeAddOp(v, OP_ListWrite, 0, 0);
      if (countRows) tarvikVdbeAddOp(v, OP_AddImm, 1, 0);
      a = dml::foreignBegin(v);
      tarvikWhereEnd(pWInfo);
      dml::foreignEnd(v, a, "WhereEnd");

      /* Second pass: delete them. */
      if (triggers) tarvikVdbeAddOp(v, OP_OpenPseudo, oldIdx, 0);
      int end = tarvikVdbeMakeLabel(v);
      int addr = 0;
      tarvikVdbeAddOp(v, OP_ListRewind, 0, 0);
      if (triggers) {
        addr = tarvikVdbeAddOp(v, OP_ListRead, 0, end);
        tarvikVdbeAddOp(v, OP_Dup, 0, 0);
        storeOldRow(v, pTab, iCur, oldIdx, isView);
        int orconf = pParse->trigStack ? pParse->trigStack->orconf : OE_Default;
        if (dml::codeRowTrigger(pParse, TK_DELETE, nullptr, TK_BEFORE, pTab, -1, oldIdx, orconf,
                                addr)) {
          goto cleanup;
        }
      }
      if (!isView) {
        tarvikOpenTableAndIndices(pParse, pTab, iCur);
        if (!triggers) addr = tarvikVdbeAddOp(v, OP_ListRead, 0, end);
        tarvikGenerateRowDelete(db, v, pTab, iCur, pParse->trigStack == nullptr);
      } else {
        tarvikVdbeAddOp(v, OP_Pop, 1, 0); /* a view has no row to delete */
      }
      if (triggers) {
        if (!isView) closeTableAndIndices(v, pTab, iCur);
        int orconf = pParse->trigStack ? pParse->trigStack->orconf : OE_Default;
        if (dml::codeRowTrigger(pParse, TK_DELETE, nullptr, TK_AFTER, pTab, -1, oldIdx, orconf,
                                addr)) {
          goto cleanup;
        }
      }
      tarvikVdbeAddOp(v, OP_Goto, 0, addr);
      tarvikVdbeResolveLabel(v, end);
      tarvikVdbeAddOp(v, OP_ListReset, 0, 0);
      if (triggers) {
        tarvikVdbeAddOp(v, OP_Close, oldIdx, 0);
      } else if (!isView) {
        closeTableAndIndices(v, pTab, iCur);
      }
    }
    tarvikVdbeAddOp(v, OP_SetCounts, 0, 0);
    tarvikEndWriteOperation(pParse);
    if (countRows) {
      tarvikVdbeOp3(v, OP_ColumnName, 0, 1, "rows deleted", P3_STATIC);
      tarvikVdbeAddOp(v, OP_Callback, 1, 0);
    }
  }
cleanup:
  tarvikSrcListDelete(pTabList);
  tarvikExprDelete(pWhere);
}
