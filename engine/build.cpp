/*
** Schema statements (CREATE/DROP TABLE, VIEW, INDEX), transactions and the
** statement bracket.
**
** PLACEHOLDERS: the generators below are stubs until the schema code
** exists.  Each takes ownership of the lists and trees it is given and
** frees them; tarvikBeginParse and tarvikExec keep only the bookkeeping the
** parse loop depends on (the EXPLAIN flag, variable numbering, the result
** code that ends a statement).
*/
#include "genstub.h"
#include "tarvikInt.h"

void tarvikBeginParse(Parse *pParse, int explainFlag) {
  GEN_RECORD("BeginParse", explainFlag);
  pParse->explain = (u8)explainFlag;
  pParse->nVar = 0;
}

void tarvikExec(Parse *pParse) {
  GEN_RECORD("Exec");
  if (tarvik_malloc_failed == 0) {
    if (pParse->nErr == 0) {
      pParse->rc = TARVIK_DONE;
      pParse->colNamesSet = 0;
    } else if (pParse->rc == TARVIK_OK) {
      pParse->rc = TARVIK_ERROR;
    }
  }
  pParse->nTab = 0;
  pParse->nMem = 0;
  pParse->nSet = 0;
  pParse->nAgg = 0;
  pParse->nVar = 0;
}

void tarvikBeginTransaction(Parse *, int onError) { GEN_RECORD("BeginTransaction", onError); }
void tarvikCommitTransaction(Parse *) { GEN_RECORD("CommitTransaction"); }
void tarvikRollbackTransaction(Parse *) { GEN_RECORD("RollbackTransaction"); }

void tarvikStartTable(Parse *, const Token *pStart, const Token *pName, int isTemp, int isView) {
  GEN_RECORD("StartTable", pStart, pName, isTemp, isView);
}
void tarvikAddColumn(Parse *, const Token *pName) { GEN_RECORD("AddColumn", pName); }
void tarvikAddColumnType(Parse *, const Token *pFirst, const Token *pLast) {
#ifdef TARVIK_TEST
  /* Recorded as the span the type runs over. */
  Token span = *pFirst;
  span.n = (unsigned)(pLast->z - pFirst->z) + pLast->n;
  GEN_RECORD("AddColumnType", (const Token *)&span);
#else
  (void)pFirst, (void)pLast;
#endif
}
void tarvikAddDefaultValue(Parse *, const Token *pVal, int minusFlag) {
  GEN_RECORD("AddDefaultValue", pVal, minusFlag);
}
void tarvikAddNotNull(Parse *, int onError) { GEN_RECORD("AddNotNull", onError); }
void tarvikAddPrimaryKey(Parse *, IdList *pList, int onError) {
  GEN_RECORD("AddPrimaryKey", pList, onError);
  tarvikIdListDelete(pList);
}
void tarvikAddCollateType(Parse *, int collType) { GEN_RECORD("AddCollateType", collType); }

/* Types naming BLOB, CLOB, CHAR or TEXT sort as text; all others, and no
** type at all, sort as numbers. */
int tarvikCollateType(const char *zType, int nType) {
  for (int i = 0; i < nType - 3; i++) {
    int c = zType[i] | 0x60;
    if ((c == 'b' || c == 'c') && tarvikStrNICmp(&zType[i + 1], "lob", 3) == 0) {
      return TARVIK_SO_TEXT;
    }
    if (c == 'c' && tarvikStrNICmp(&zType[i + 1], "har", 3) == 0) return TARVIK_SO_TEXT;
    if (c == 't' && tarvikStrNICmp(&zType[i + 1], "ext", 3) == 0) return TARVIK_SO_TEXT;
  }
  return TARVIK_SO_NUM;
}

void tarvikCreateIndex(Parse *, const Token *pName, SrcList *pTable, IdList *pList, int onError,
                       const Token *pStart, const Token *pEnd) {
  GEN_RECORD("CreateIndex", pName, pTable, pList, onError, pStart, pEnd);
  tarvikSrcListDelete(pTable);
  tarvikIdListDelete(pList);
}
void tarvikCreateForeignKey(Parse *, IdList *pFromCol, const Token *pTo, IdList *pToCol,
                            int flags) {
  GEN_RECORD("CreateForeignKey", pFromCol, pTo, pToCol, flags);
  tarvikIdListDelete(pFromCol);
  tarvikIdListDelete(pToCol);
}
void tarvikDeferForeignKey(Parse *, int isDeferred) { GEN_RECORD("DeferForeignKey", isDeferred); }
void tarvikEndTable(Parse *, const Token *pEnd, Select *pSelect) {
  GEN_RECORD("EndTable", pEnd, pSelect); /* the caller deletes pSelect */
}
void tarvikCreateView(Parse *, const Token *pBegin, const Token *pName, Select *pSelect,
                      int isTemp) {
  GEN_RECORD("CreateView", pBegin, pName, pSelect, isTemp);
  tarvikSelectDelete(pSelect);
}
void tarvikDropTable(Parse *, const Token *pName, int isView) {
  GEN_RECORD("DropTable", pName, isView);
}
void tarvikDropIndex(Parse *, SrcList *pName) {
  GEN_RECORD("DropIndex", pName);
  tarvikSrcListDelete(pName);
}
/* Nothing builds a Table yet, so there is never one to delete. */
void tarvikDeleteTable(tarvik *, Table *pTable) {
  (void)pTable;
  tvAssert(pTable == nullptr);
}
