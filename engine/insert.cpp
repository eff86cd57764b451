/*
** INSERT, and the row-writing steps it shares with UPDATE, trigger bodies
** and COPY: opening a table with its indices, the NOT NULL / row-number /
** UNIQUE checks with their conflict actions, and writing the row with its
** index keys.
**
** The checks and the write work on one stack layout, from the bottom:
**
**   [old row number]   only for an UPDATE that changes the row number
**   new row number
**   column 0 .. column nCol-1   (NULL in the INTEGER PRIMARY KEY slot)
**
** The checks leave one index key per checked index above the columns; the
** write consumes them with the row.  Indices whose conflict action is
** REPLACE come last in a table's index list, so every aborting check runs
** before a replace deletes anything.
*/
#include "dml.h"
#include "genstub.h"
#include "tarvikInt.h"
#include "vdbe.h"

namespace {

/* The action for one constraint: the statement's OR clause, else the
** connection's BEGIN ... ON CONFLICT, else the constraint's own, with
** "default" meaning ABORT. */
int chooseAction(const tarvik *db, int own, int overrideError) {
  if (overrideError != OE_Default) return overrideError;
  if (db->onError != OE_Default) return db->onError;
  return own == OE_Default ? OE_Abort : own;
}

/* A Halt with TARVIK_CONSTRAINT; anything but ROLLBACK, ABORT or FAIL halts
** as ABORT.  zMsg is handed over. */
void haltConstraint(Vdbe *v, int onError, char *zMsg) {
  if (onError < OE_Rollback || onError > OE_Fail) onError = OE_Abort;
  tarvikVdbeOp3(v, OP_Halt, TARVIK_CONSTRAINT, onError, zMsg, P3_DYNAMIC);
}

/* "column a is not unique" / "columns a, b are not unique"; the list is
** cut with "..." before a name that would take it past 170 bytes. */
char *uniqueMessage(const Table *pTab, const Index *pIdx) {
  constexpr size_t kLimit = 170;
  char zMsg[200];
  bool many = pIdx->nColumn > 1;
  strcpy(zMsg, many ? "columns " : "column ");
  size_t n = strlen(zMsg);
  for (int j = 0; j < pIdx->nColumn; j++) {
    const char *zCol = pTab->aCol[pIdx->aiColumn[j]].zName;
    size_t nCol = strlen(zCol);
    if (j > 0) {
      strcpy(&zMsg[n], ", ");
      n += 2;
    }
    if (n + nCol > kLimit) {
      strcpy(&zMsg[n], "...");
      n += 3;
      break;
    }
    memcpy(&zMsg[n], zCol, nCol + 1);
    n += nCol;
  }
  strcpy(&zMsg[n], many ? " are not unique" : " is not unique");
  return tarvikStrDup(zMsg);
}

/* Pushes the value a column missing from the statement gets: its default
** text, or NULL. */
void codeDefault(Vdbe *v, const Column *pCol) { tarvikVdbeOp3(v, OP_String, 0, 0, pCol->zDflt, 0); }

void closeTableAndIndices(Vdbe *v, const Table *pTab, int base) {
  tarvikVdbeAddOp(v, OP_Close, base, 0);
  int i = 1;
  for (const Index *pIdx = pTab->pIndex; pIdx; pIdx = pIdx->pNext, i++) {
    tarvikVdbeAddOp(v, OP_Close, base + i, 0);
  }
}

}  // namespace

int tarvikOpenTableAndIndices(Parse *pParse, Table *pTab, int base) {
  Vdbe *v = tarvikGetVdbe(pParse);
  if (v == nullptr) return 0;
  tarvikVdbeAddOp(v, OP_Integer, pTab->iDb, 0);
  tarvikVdbeOp3(v, OP_OpenWrite, base, pTab->tnum, pTab->zName, 0);
  int i = 1;
  for (Index *pIdx = pTab->pIndex; pIdx; pIdx = pIdx->pNext, i++) {
    tarvikVdbeAddOp(v, OP_Integer, pIdx->iDb, 0);
    tarvikVdbeOp3(v, OP_OpenWrite, base + i, pIdx->tnum, pIdx->zName, 0);
  }
  return i;
}

void tarvikGenerateConstraintChecks(Parse *pParse, Table *pTab, int base, const char *aIdxUsed,
                                    int recnoChng, int isUpdate, int overrideError,
                                    int ignoreDest) {
  tarvik *db = pParse->db;
  Vdbe *v = tarvikGetVdbe(pParse);
  if (v == nullptr) return;
  int nCol = pTab->nCol;
  int two = (isUpdate && recnoChng) ? 1 : 0; /* the old row number is below the new */
  bool seenReplace = false;

  /* NOT NULL. */
  for (int i = 0; i < nCol; i++) {
    if (i == pTab->iPKey) continue;
    const Column *pCol = &pTab->aCol[i];
    if (pCol->notNull == OE_None) continue;
    int onError = chooseAction(db, pCol->notNull, overrideError);
    if (onError == OE_Replace && pCol->zDflt == nullptr) onError = OE_Abort;
    tarvikVdbeAddOp(v, OP_Dup, nCol - 1 - i, 1);
    int addr = tarvikVdbeAddOp(v, OP_NotNull, 1, 0);
    switch (onError) {
      case OE_Ignore:
        tarvikVdbeAddOp(v, OP_Pop, nCol + 1 + two, 0);
        tarvikVdbeAddOp(v, OP_Goto, 0, ignoreDest);
        break;
      case OE_Replace:
        codeDefault(v, pCol);
        tarvikVdbeAddOp(v, OP_Push, nCol - i, 0);
        break;
      default:
        haltConstraint(v, onError,
                       tarvikMPrintf("%s.%s may not be NULL", pTab->zName, pCol->zName));
        break;
    }
    tarvikVdbeChangeP2(v, addr, tarvikVdbeCurrentAddr(v));
  }

  /* A new row number must not be taken already. */
  if (recnoChng) {
    int onError = chooseAction(db, pTab->keyConf, overrideError);
    int jumpEq = -1;
    if (isUpdate) {
      tarvikVdbeAddOp(v, OP_Dup, nCol + 1, 1);
      tarvikVdbeAddOp(v, OP_Dup, nCol + 1, 1);
      jumpEq = tarvikVdbeAddOp(v, OP_Eq, 0, 0);
    }
    tarvikVdbeAddOp(v, OP_Dup, nCol, 1);
    int jumpNotExists = tarvikVdbeAddOp(v, OP_NotExists, base, 0);
    switch (onError) {
      case OE_Replace:
        /* The row itself is overwritten by the write; only its index
        ** entries must go now. */
        tarvikGenerateRowIndexDelete(db, v, pTab, base, nullptr);
        if (isUpdate) {
          tarvikVdbeAddOp(v, OP_Dup, nCol + two, 1);
          tarvikVdbeAddOp(v, OP_MoveTo, base, 0);
        }
        seenReplace = true;
        break;
      case OE_Ignore:
        tarvikVdbeAddOp(v, OP_Pop, nCol + 1 + two, 0);
        tarvikVdbeAddOp(v, OP_Goto, 0, ignoreDest);
        break;
      default:
        haltConstraint(v, onError, tarvikStrDup("PRIMARY KEY must be unique"));
        break;
    }
    int cont = tarvikVdbeCurrentAddr(v);
    tarvikVdbeChangeP2(v, jumpNotExists, cont);
    if (isUpdate) {
      tarvikVdbeChangeP2(v, jumpEq, cont);
      /* Back on the row being updated. */
      tarvikVdbeAddOp(v, OP_Dup, nCol + 1, 1);
      tarvikVdbeAddOp(v, OP_MoveTo, base, 0);
    }
  }

  /* Build every (used) index key; check the unique ones. */
  int extra = -1;
  int iIdx = 0;
  for (Index *pIdx = pTab->pIndex; pIdx; pIdx = pIdx->pNext, iIdx++) {
    if (aIdxUsed && !aIdxUsed[iIdx]) continue;
    extra++;
    tarvikVdbeAddOp(v, OP_Dup, nCol + extra, 1);
    for (int j = 0; j < pIdx->nColumn; j++) {
      int c = pIdx->aiColumn[j];
      if (c == pTab->iPKey) {
        tarvikVdbeAddOp(v, OP_Dup, j + extra + nCol + 1, 1);
      } else {
        tarvikVdbeAddOp(v, OP_Dup, j + extra + nCol - c, 1);
      }
    }
    int jumpNull = tarvikVdbeAddOp(v, OP_MakeIdxKey, pIdx->nColumn, 0);
    if (db->file_format >= 4) tarvikAddIdxKeyType(v, pIdx);
    if (pIdx->onError == OE_None) continue;
    int onError = chooseAction(db, pIdx->onError, overrideError);
    if (seenReplace) {
      if (onError == OE_Ignore) onError = OE_Replace;
      if (onError == OE_Fail) onError = OE_Abort;
    }
    /* Entries of this row carry the row number it had before the statement. */
    tarvikVdbeAddOp(v, OP_Dup, extra + nCol + 1 + two, 1);
    int jumpUnique = tarvikVdbeAddOp(v, OP_IsUnique, base + iIdx + 1, 0);
    switch (onError) {
      case OE_Ignore:
        tarvikVdbeAddOp(v, OP_Pop, nCol + extra + 3 + two, 0);
        tarvikVdbeAddOp(v, OP_Goto, 0, ignoreDest);
        break;
      case OE_Replace:
        tarvikGenerateRowDelete(db, v, pTab, base, 0);
        if (isUpdate) {
          tarvikVdbeAddOp(v, OP_Dup, nCol + extra + 1 + two, 1);
          tarvikVdbeAddOp(v, OP_MoveTo, base, 0);
        }
        seenReplace = true;
        break;
      default:
        haltConstraint(v, onError, uniqueMessage(pTab, pIdx));
        break;
    }
    /* A key holding NULL never conflicts. */
    int cont = tarvikVdbeCurrentAddr(v);
    tarvikVdbeChangeP2(v, jumpNull, cont);
    tarvikVdbeChangeP2(v, jumpUnique, cont);
  }
}

void tarvikCompleteInsertion(Parse *pParse, Table *pTab, int base, const char *aIdxUsed,
                             int recnoChng, int isUpdate, int newIdx) {
  Vdbe *v = tarvikGetVdbe(pParse);
  if (v == nullptr) return;
  int nIdx = 0;
  for (Index *pIdx = pTab->pIndex; pIdx; pIdx = pIdx->pNext) nIdx++;
  /* The last key built is on top. */
  for (int i = nIdx - 1; i >= 0; i--) {
    if (aIdxUsed && !aIdxUsed[i]) continue;
    tarvikVdbeAddOp(v, OP_IdxPut, base + i + 1, 0);
  }
  tarvikVdbeAddOp(v, OP_MakeRecord, pTab->nCol, 0);
  if (newIdx >= 0) {
    tarvikVdbeAddOp(v, OP_Dup, 1, 0);
    tarvikVdbeAddOp(v, OP_Dup, 1, 0);
    tarvikVdbeAddOp(v, OP_PutIntKey, newIdx, 0);
  }
  int flags = OPFLAG_CSCHANGE;
  if (pParse->trigStack == nullptr) flags |= OPFLAG_NCHANGE;
  if (!isUpdate) flags |= OPFLAG_LASTROWID;
  tarvikVdbeAddOp(v, OP_PutIntKey, base, flags);
  if (isUpdate && recnoChng) tarvikVdbeAddOp(v, OP_Pop, 1, 0);
}

namespace {

/* Does the program so far read the table's tree?  Every OpenRead is
** preceded by the Integer naming its database. */
bool programReadsTable(Vdbe *v, const Table *pTab, int from) {
  int end = tarvikVdbeCurrentAddr(v);
  for (int i = from + 1; i < end; i++) {
    const VdbeOp *pOp = tarvikVdbeGetOp(v, i);
    if (pOp->opcode != OP_OpenRead || pOp->p2 != pTab->tnum) continue;
    const VdbeOp *pPrev = tarvikVdbeGetOp(v, i - 1);
    if (pPrev->opcode == OP_Integer && pPrev->p1 == pTab->iDb) return true;
  }
  return false;
}

}  // namespace

void tarvikInsert(Parse *pParse, SrcList *pTabList, ExprList *pList, Select *pSelect,
                  IdList *pColumn, int onError) {
  if (GEN_INTERCEPT("Insert", pTabList, pList, pSelect, pColumn, onError)) {
    tarvikSrcListDelete(pTabList);
    tarvikExprListDelete(pList);
    tarvikSelectDelete(pSelect);
    tarvikIdListDelete(pColumn);
    return;
  }
  tarvik *db = pParse->db;
  if (dml::failed(pParse)) goto cleanup;
  {
    tvAssert(pTabList->nSrc == 1);
    Table *pTab = tarvikSrcListLookup(pParse, pTabList);
    if (pTab == nullptr) goto cleanup;
    tvAssert(pTab->iDb < db->nDb);
    if (dml::authCheck(pParse, TARVIK_INSERT, pTab->zName, nullptr, db->aDb[pTab->iDb].zName)) {
      goto cleanup;
    }
    int before = dml::triggersExist(pParse, pTab, TK_INSERT, TK_BEFORE, nullptr);
    int after = dml::triggersExist(pParse, pTab, TK_INSERT, TK_AFTER, nullptr);
    bool triggers = before || after;
    bool isView = pTab->pSelect != nullptr;
    if (tarvikIsReadOnly(pParse, pTab, before)) goto cleanup;
    if (isView && tarvikViewGetColumnNames(pParse, pTab)) goto cleanup;

    Vdbe *v = tarvikGetVdbe(pParse);
    if (v == nullptr) goto cleanup;
    tarvikBeginWriteOperation(pParse, pSelect != nullptr || triggers, pTab->iDb);
    int newIdx = triggers ? pParse->nTab++ : -1;

    /* The source of the rows. */
    int nColumn;
    int srcTab = -1; /* temporary table holding the SELECT's rows */
    bool useTempTable = false;
    int iSelectLoop = 0;  /* first instruction of the SELECT */
    int iInsertBlock = 0; /* label: the subroutine called for each SELECT row */
    int iCleanup = 0;     /* label: after the SELECT */
    if (pSelect) {
      int iInitCode = tarvikVdbeAddOp(v, OP_Goto, 0, 0);
      iSelectLoop = tarvikVdbeCurrentAddr(v);
      iInsertBlock = tarvikVdbeMakeLabel(v);
      int rc = tarvikSelect(pParse, pSelect, SRT_Subroutine, iInsertBlock, nullptr, 0, nullptr);
      dml::foreignEnd(v, iSelectLoop, "Select");
      if (rc || dml::failed(pParse)) goto cleanup;
      iCleanup = tarvikVdbeMakeLabel(v);
      tarvikVdbeAddOp(v, OP_Goto, 0, iCleanup);
      tvAssert(pSelect->pEList);
      nColumn = pSelect->pEList->nExpr;

      /* Rows read from the table being written (or handed to triggers,
      ** which may write it) are first set aside in a temporary table. */
      useTempTable = triggers || programReadsTable(v, pTab, iSelectLoop);
      if (useTempTable) {
        srcTab = pParse->nTab++;
        tarvikVdbeResolveLabel(v, iInsertBlock);
        tarvikVdbeAddOp(v, OP_MakeRecord, nColumn, 0);
        tarvikVdbeAddOp(v, OP_NewRecno, srcTab, 0);
        tarvikVdbeAddOp(v, OP_Pull, 1, 0);
        tarvikVdbeAddOp(v, OP_PutIntKey, srcTab, 0);
        tarvikVdbeAddOp(v, OP_Return, 0, 0);
        tarvikVdbeChangeP2(v, iInitCode, tarvikVdbeCurrentAddr(v));
        tarvikVdbeAddOp(v, OP_OpenTemp, srcTab, 0);
        tarvikVdbeAddOp(v, OP_Goto, 0, iSelectLoop);
        tarvikVdbeResolveLabel(v, iCleanup);
      } else {
        tarvikVdbeChangeP2(v, iInitCode, tarvikVdbeCurrentAddr(v));
      }
    } else {
      tvAssert(pList);
      nColumn = pList->nExpr;
      for (int i = 0; i < nColumn; i++) {
        if (tarvikExprResolveIds(pParse, nullptr, nullptr, pList->a[i].pExpr)) goto cleanup;
        if (tarvikExprCheck(pParse, pList->a[i].pExpr, 0, nullptr)) goto cleanup;
      }
    }

    if (pColumn == nullptr && nColumn != pTab->nCol) {
      tarvikErrorMsg(pParse, "table %S has %d columns but %d values were supplied", pTabList, 0,
                     pTab->nCol, nColumn);
      goto cleanup;
    }
    if (pColumn != nullptr && nColumn != pColumn->nId) {
      tarvikErrorMsg(pParse, "%d values for %d columns", nColumn, pColumn->nId);
      goto cleanup;
    }

    /* Where each column's value comes from: pColumn->a[i].idx is the table
    ** column of source value i; keyColumn the source value that is the
    ** row number. */
    int keyColumn = -1;
    if (pColumn) {
      for (int i = 0; i < pColumn->nId; i++) pColumn->a[i].idx = -1;
      for (int i = 0; i < pColumn->nId; i++) {
        int j;
        for (j = 0; j < pTab->nCol; j++) {
          if (tarvikStrICmp(pColumn->a[i].zName, pTab->aCol[j].zName) == 0) {
            pColumn->a[i].idx = j;
            if (j == pTab->iPKey) keyColumn = i;
            break;
          }
        }
        if (j >= pTab->nCol) {
          if (tarvikIsRowid(pColumn->a[i].zName)) {
            keyColumn = i;
          } else {
            tarvikErrorMsg(pParse, "table %S has no column named %s", pTabList, 0,
                           pColumn->a[i].zName);
            goto cleanup;
          }
        }
      }
    } else {
      keyColumn = pTab->iPKey;
    }

    /* The source value for table column i, or -1 when it is not given. */
    auto sourceOf = [&](int i) -> int {
      if (pColumn == nullptr) return i;
      for (int j = 0; j < pColumn->nId; j++) {
        if (pColumn->a[j].idx == i) return j;
      }
      return -1;
    };
    /* Pushes source value j when nPushed values of this row are already
    ** on the stack (above the SELECT's values, when it calls this block). */
    auto pushSource = [&](int j, int nPushed) {
      if (pSelect == nullptr) {
        dml::codeExpr(pParse, v, pList->a[j].pExpr);
      } else if (useTempTable) {
        tarvikVdbeAddOp(v, OP_Column, srcTab, j);
      } else {
        tarvikVdbeAddOp(v, OP_Dup, nColumn - 1 - j + nPushed, 1);
      }
    };
    /* Pushes every column's value: the INTEGER PRIMARY KEY's slot is NULL
    ** when the row number is pushed separately (skipKey); a column not
    ** given gets its default. */
    auto pushColumns = [&](bool skipKey, int nPushed) {
      for (int i = 0; i < pTab->nCol; i++) {
        int j = sourceOf(i);
        if (skipKey && i == pTab->iPKey) {
          tarvikVdbeAddOp(v, OP_String, 0, 0);
        } else if (j < 0) {
          codeDefault(v, &pTab->aCol[i]);
        } else {
          pushSource(j, nPushed + i);
        }
      }
    };

    if (triggers) tarvikVdbeAddOp(v, OP_OpenPseudo, newIdx, 0);
    bool countRows = (db->flags & TARVIK_CountRows) != 0;
    int iCntMem = 0;
    if (countRows) {
      iCntMem = pParse->nMem++;
      tarvikVdbeAddOp(v, OP_Integer, 0, 0);
      tarvikVdbeAddOp(v, OP_MemStore, iCntMem, 1);
    }

    int base = pParse->nTab;
    if (!triggers) pParse->nTab += tarvikOpenTableAndIndices(pParse, pTab, base);

    /* Loop head. */
    int iBreak = 0, iCont = 0;
    if (useTempTable) {
      iBreak = tarvikVdbeMakeLabel(v);
      tarvikVdbeAddOp(v, OP_Rewind, srcTab, iBreak);
      iCont = tarvikVdbeCurrentAddr(v);
    } else if (pSelect) {
      tarvikVdbeAddOp(v, OP_Goto, 0, iSelectLoop);
      tarvikVdbeResolveLabel(v, iInsertBlock);
    }
    int endOfRow = tarvikVdbeMakeLabel(v);

    /* BEFORE triggers (and INSTEAD OF, on a view) see the NEW row; a row
    ** number not given is -1 there. */
    if (before) {
      if (keyColumn < 0) {
        tarvikVdbeAddOp(v, OP_Integer, -1, 0);
      } else {
        pushSource(keyColumn, 0);
        if (pSelect == nullptr) {
          int addr = tarvikVdbeAddOp(v, OP_NotNull, -1, 0);
          tarvikVdbeAddOp(v, OP_Pop, 1, 0);
          tarvikVdbeAddOp(v, OP_Integer, -1, 0);
          tarvikVdbeChangeP2(v, addr, tarvikVdbeCurrentAddr(v));
          tarvikVdbeAddOp(v, OP_MustBeInt, 0, 0);
        }
      }
      pushColumns(false, 1);
      tarvikVdbeAddOp(v, OP_MakeRecord, pTab->nCol, 0);
      tarvikVdbeAddOp(v, OP_PutIntKey, newIdx, 0);
      if (dml::codeRowTrigger(pParse, TK_INSERT, nullptr, TK_BEFORE, pTab, newIdx, -1, onError,
                              endOfRow)) {
        goto cleanup;
      }
    }

    if (!isView) {
      if (triggers) pParse->nTab += tarvikOpenTableAndIndices(pParse, pTab, base);
      /* The row number: the one given, or a new one when it is absent or
      ** NULL. */
      if (keyColumn >= 0) {
        pushSource(keyColumn, 0);
        int addr = tarvikVdbeAddOp(v, OP_NotNull, -1, 0);
        tarvikVdbeAddOp(v, OP_Pop, 1, 0);
        tarvikVdbeAddOp(v, OP_NewRecno, base, 0);
        tarvikVdbeChangeP2(v, addr, tarvikVdbeCurrentAddr(v));
        tarvikVdbeAddOp(v, OP_MustBeInt, 0, 0);
      } else {
        tarvikVdbeAddOp(v, OP_NewRecno, base, 0);
      }
      pushColumns(true, 1);
      tarvikGenerateConstraintChecks(pParse, pTab, base, nullptr, keyColumn >= 0, 0, onError,
                                     endOfRow);
      tarvikCompleteInsertion(pParse, pTab, base, nullptr, 0, 0, after ? newIdx : -1);
    }

    if (countRows) tarvikVdbeAddOp(v, OP_MemIncr, iCntMem, 0);

    if (triggers) {
      if (!isView) closeTableAndIndices(v, pTab, base);
      if (dml::codeRowTrigger(pParse, TK_INSERT, nullptr, TK_AFTER, pTab, newIdx, -1, onError,
                              endOfRow)) {
        goto cleanup;
      }
    }

    /* Loop tail. */
    tarvikVdbeResolveLabel(v, endOfRow);
    if (useTempTable) {
      tarvikVdbeAddOp(v, OP_Next, srcTab, iCont);
      tarvikVdbeResolveLabel(v, iBreak);
      tarvikVdbeAddOp(v, OP_Close, srcTab, 0);
    } else if (pSelect) {
      tarvikVdbeAddOp(v, OP_Pop, nColumn, 0);
      tarvikVdbeAddOp(v, OP_Return, 0, 0);
      tarvikVdbeResolveLabel(v, iCleanup);
    }
    if (!triggers && !isView) closeTableAndIndices(v, pTab, base);

    tarvikVdbeAddOp(v, OP_SetCounts, 0, 0);
    tarvikEndWriteOperation(pParse);
    if (countRows) {
      tarvikVdbeOp3(v, OP_ColumnName, 0, 1, "rows inserted", P3_STATIC);
      tarvikVdbeAddOp(v, OP_MemLoad, iCntMem, 0);
      tarvikVdbeAddOp(v, OP_Callback, 1, 0);
    }
  }
cleanup:
  tarvikSrcListDelete(pTabList);
  tarvikExprListDelete(pList);
  tarvikSelectDelete(pSelect);
  tarvikIdListDelete(pColumn);
}
