/*
** PRAGMA: reading and changing connection settings and the defaults stored
** in the file's meta values, listing schema information, and the integrity
** check.
**
** Settings that live only on the connection are changed at compile time.
** Every answer goes out through a small program (ColumnName, the values,
** Callback), so rows reach the caller the same way a SELECT's do.  Reads
** and writes of meta values are emitted as ReadCookie/SetCookie so they
** happen inside the statement's transaction.
*/
#include <cstdio>
#include <cstdlib>

#include "btree.h"
#include "hash.h"
#include "dml.h"
#include "genstub.h"
#include "parser.h"
#include "tarvikInt.h"
#include "vdbe.h"

#ifndef TARVIK_PRAGMA
#define TARVIK_PRAGMA 19
#endif

/* Process-wide: code the trigger set-up even when no trigger exists (used to
** measure its overhead).  Weak, so the trigger module may own it. */
__attribute__((weak)) int always_code_trigger_setup = 0;

namespace {

/* Meta values as addressed by ReadCookie/SetCookie (value k is operand k-1). */
constexpr int kMetaCacheSize = 2; /* meta 3 */
constexpr int kMetaSafety = 3;    /* meta 4 */
constexpr int kMetaTempStore = 5; /* meta 6 */

constexpr char kTempExists[] =
    "The temporary database already exists - its location cannot now be changed";

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool startsNumber(const char *z) {
  return isDigit(z[0]) || (z[0] == '-' && isDigit(z[1]));
}

int getBoolean(const char *z) {
  static const char *const azTrue[] = {"yes", "on", "true"};
  if (z[0] == 0) return 0;
  if (startsNumber(z)) return atoi(z);
  for (const char *t : azTrue) {
    if (tarvikStrICmp(z, t) == 0) return 1;
  }
  return 0;
}

int getSafetyLevel(const char *z) {
  static const struct {
    const char *zWord;
    int val;
  } aKey[] = {{"no", 0},  {"off", 0}, {"false", 0}, {"yes", 1},
              {"on", 1},  {"true", 1}, {"full", 2}};
  if (z[0] == 0) return 1;
  if (startsNumber(z)) return atoi(z);
  for (const auto &k : aKey) {
    if (tarvikStrICmp(z, k.zWord) == 0) return k.val;
  }
  return 1;
}

int getTempStore(const char *z) {
  if (z[0] >= '0' && z[0] <= '2' && z[1] == 0) return z[0] - '0';
  if (tarvikStrICmp(z, "file") == 0) return 1;
  if (tarvikStrICmp(z, "memory") == 0) return 2;
  return 0;
}

/* One result row of a single integer column. */
void returnInt(Vdbe *v, const char *zCol, int val) {
  tarvikVdbeOp3(v, OP_ColumnName, 0, 1, zCol, P3_STATIC);
  tarvikVdbeAddOp(v, OP_Integer, val, 0);
  tarvikVdbeAddOp(v, OP_Callback, 1, 0);
}

/* Declare result columns: the names, the last one flagged. */
void columnNames(Vdbe *v, const char *const *az, int n) {
  for (int i = 0; i < n; i++) {
    tarvikVdbeOp3(v, OP_ColumnName, i, i == n - 1, az[i], P3_STATIC);
  }
}

void pushText(Vdbe *v, const char *z) {
  if (z == nullptr) {
    tarvikVdbeAddOp(v, OP_String, 0, 0);
  } else {
    tarvikVdbeOp3(v, OP_String, 0, 0, z, 0);
  }
}

Btree *mainBt(tarvik *db) { return db->aDb[0].pBt; }

void setCacheSize(tarvik *db) {
  if (mainBt(db)) tarvikBtreeSetCacheSize(mainBt(db), db->cache_size);
}

int flagPragma(Parse *pParse, const char *zLeft, const char *zRight) {
  static const struct {
    const char *zName;
    int mask;
  } aPragma[] = {
      {"vdbe_trace", TARVIK_VdbeTrace},         {"full_column_names", TARVIK_FullColNames},
      {"short_column_names", TARVIK_ShortColNames}, {"show_datatypes", TARVIK_ReportTypes},
      {"count_changes", TARVIK_CountRows},      {"empty_result_callbacks", TARVIK_NullCallback},
  };
  tarvik *db = pParse->db;
  for (const auto &p : aPragma) {
    if (tarvikStrICmp(zLeft, p.zName) != 0) continue;
    if (zRight == nullptr) {
      Vdbe *v = tarvikGetVdbe(pParse);
      if (v) {
        tarvikVdbeOp3(v, OP_ColumnName, 0, 1, p.zName, P3_STATIC);
        tarvikVdbeOp3(v, OP_ColumnName, 1, 0, "boolean", P3_STATIC);
        tarvikVdbeCode(v, OP_Integer, (db->flags & p.mask) != 0, 0, OP_Callback, 1, 0, 0);
      }
    } else if (getBoolean(zRight)) {
      db->flags |= p.mask;
    } else {
      db->flags &= ~p.mask;
    }
    return 1;
  }
  return 0;
}

/* Push |meta 3|, or 2000 when it is 0. */
void pushDefaultCacheSize(Vdbe *v) {
  tarvikVdbeAddOp(v, OP_ReadCookie, 0, kMetaCacheSize);
  tarvikVdbeAddOp(v, OP_AbsValue, 0, 0);
  tarvikVdbeAddOp(v, OP_Dup, 0, 0);
  int lbl = tarvikVdbeMakeLabel(v);
  tarvikVdbeAddOp(v, OP_If, 0, lbl);
  tarvikVdbeAddOp(v, OP_Pop, 1, 0);
  tarvikVdbeAddOp(v, OP_Integer, 2000, 0);
  tarvikVdbeResolveLabel(v, lbl);
}

void doSynchronous(Parse *pParse, Vdbe *v, const char *zRight, bool stored) {
  tarvik *db = pParse->db;
  int level = getSafetyLevel(zRight) + 1;
  /* Out-of-range numbers would leave the pager in an undefined mode. */
  if (level < 1) level = 1;
  if (level > 3) level = 3;
  if (stored) {
    tarvikBeginWriteOperation(pParse, 0, 0);
    pushDefaultCacheSize(v);
    if (level == 1) tarvikVdbeAddOp(v, OP_Negative, 0, 0);
    tarvikVdbeAddOp(v, OP_SetCookie, 0, kMetaCacheSize);
    tarvikVdbeAddOp(v, OP_Integer, level, 0);
    tarvikVdbeAddOp(v, OP_SetCookie, 0, kMetaSafety);
    tarvikEndWriteOperation(pParse);
  }
  int size = db->cache_size < 0 ? -db->cache_size : db->cache_size;
  if (level == 1) size = -size;
  db->cache_size = size;
  db->safety_level = (u8)level;
  setCacheSize(db);
  if (mainBt(db)) tarvikBtreeSetSafetyLevel(mainBt(db), level);
}

/* The temporary database counts as existing once it holds something.  The
** schema loader opens it just to describe its (empty) schema table; while it
** is still that empty tree and no transaction is open, it is reopened in the
** newly chosen place, so the setting takes effect. */
bool tempInUse(tarvik *db) {
  Db *pTemp = &db->aDb[1];
  if (pTemp->pBt == nullptr) return false;
  if (pTemp->inTrans || (db->flags & TARVIK_InTrans)) return true;
  if (hashFirst(&pTemp->idxHash) || hashFirst(&pTemp->trigHash)) return true;
  for (HashElem *x = hashFirst(&pTemp->tblHash); x; x = hashNext(x)) {
    const Table *pTab = (const Table *)hashData(x);
    if (tarvikStrICmp(pTab->zName, TARVIK_TEMP_MASTER_NAME) != 0) return true;
  }
  return false;
}

/* Returns true when the new location was taken. */
bool setTempStore(Parse *pParse, int ts) {
  tarvik *db = pParse->db;
  if (tempInUse(db)) {
    tarvikErrorMsg(pParse, kTempExists);
    return false;
  }
  db->temp_store = (u8)ts;
  Db *pTemp = &db->aDb[1];
  if (pTemp->pBt) {
    tarvikBtreeClose(pTemp->pBt);
    pTemp->pBt = nullptr;
    if (tarvikBtreeFactory(db, nullptr, 0, 2000, &pTemp->pBt) != TARVIK_OK) {
      pTemp->pBt = nullptr;
      tarvikErrorMsg(pParse,
                     "unable to open a temporary database file for storing temporary tables");
      return false;
    }
  }
  return true;
}

void tableInfo(Parse *pParse, Vdbe *v, const char *zRight) {
  Table *pTab = tarvikFindTable(pParse->db, zRight, nullptr);
  if (pTab == nullptr) return;
  if (pTab->pSelect && tarvikViewGetColumnNames(pParse, pTab)) return;
  static const char *const azCol[] = {"cid", "name", "type", "notnull", "dflt_value", "pk"};
  columnNames(v, azCol, 6);
  for (int i = 0; i < pTab->nCol; i++) {
    const Column *c = &pTab->aCol[i];
    tarvikVdbeAddOp(v, OP_Integer, i, 0);
    pushText(v, c->zName);
    pushText(v, c->zType ? c->zType : "numeric");
    tarvikVdbeAddOp(v, OP_Integer, c->notNull, 0);
    pushText(v, c->zDflt);
    tarvikVdbeAddOp(v, OP_Integer, c->isPrimKey, 0);
    tarvikVdbeAddOp(v, OP_Callback, 6, 0);
  }
}

void indexInfo(Parse *pParse, Vdbe *v, const char *zRight) {
  Index *pIdx = tarvikFindIndex(pParse->db, zRight, nullptr);
  if (pIdx == nullptr) return;
  static const char *const azCol[] = {"seqno", "cid", "name"};
  columnNames(v, azCol, 3);
  Table *pTab = pIdx->pTable;
  for (int i = 0; i < pIdx->nColumn; i++) {
    int cnum = pIdx->aiColumn[i];
    tarvikVdbeAddOp(v, OP_Integer, i, 0);
    tarvikVdbeAddOp(v, OP_Integer, cnum, 0);
    pushText(v, cnum >= 0 && cnum < pTab->nCol ? pTab->aCol[cnum].zName : nullptr);
    tarvikVdbeAddOp(v, OP_Callback, 3, 0);
  }
}

void indexList(Parse *pParse, Vdbe *v, const char *zRight) {
  Table *pTab = tarvikFindTable(pParse->db, zRight, nullptr);
  if (pTab == nullptr || pTab->pIndex == nullptr) return;
  static const char *const azCol[] = {"seq", "name", "unique"};
  columnNames(v, azCol, 3);
  int i = 0;
  for (Index *pIdx = pTab->pIndex; pIdx; pIdx = pIdx->pNext, i++) {
    tarvikVdbeAddOp(v, OP_Integer, i, 0);
    pushText(v, pIdx->zName);
    tarvikVdbeAddOp(v, OP_Integer, pIdx->onError != OE_None, 0);
    tarvikVdbeAddOp(v, OP_Callback, 3, 0);
  }
}

void foreignKeyList(Parse *pParse, Vdbe *v, const char *zRight) {
  Table *pTab = tarvikFindTable(pParse->db, zRight, nullptr);
  if (pTab == nullptr || pTab->pFKey == nullptr) return;
  static const char *const azCol[] = {"id", "seq", "table", "from", "to"};
  columnNames(v, azCol, 5);
  int i = 0;
  for (FKey *pFK = pTab->pFKey; pFK; pFK = pFK->pNextFrom, i++) {
    for (int j = 0; j < pFK->nCol; j++) {
      int iFrom = pFK->aCol[j].iFrom;
      tarvikVdbeAddOp(v, OP_Integer, i, 0);
      tarvikVdbeAddOp(v, OP_Integer, j, 0);
      pushText(v, pFK->zTo);
      pushText(v, iFrom >= 0 && iFrom < pTab->nCol ? pTab->aCol[iFrom].zName : nullptr);
      pushText(v, pFK->aCol[j].zCol);
      tarvikVdbeAddOp(v, OP_Callback, 5, 0);
    }
  }
}

void databaseList(Parse *pParse, Vdbe *v) {
  tarvik *db = pParse->db;
  static const char *const azCol[] = {"seq", "name", "file"};
  columnNames(v, azCol, 3);
  for (int i = 0; i < db->nDb; i++) {
    if (db->aDb[i].pBt == nullptr) continue;
    tvAssert(db->aDb[i].zName != nullptr);
    tarvikVdbeAddOp(v, OP_Integer, i, 0);
    pushText(v, db->aDb[i].zName);
    pushText(v, tarvikBtreeGetFilename(db->aDb[i].pBt));
    tarvikVdbeAddOp(v, OP_Callback, 3, 0);
  }
}

void integrityCheck(Parse *pParse, Vdbe *v) {
  tarvik *db = pParse->db;
  tarvikVdbeOp3(v, OP_ColumnName, 0, 1, "integrity_check", P3_STATIC);
  tarvikVdbeAddOp(v, OP_Integer, 0, 0);
  tarvikVdbeAddOp(v, OP_MemStore, 0, 1); /* error count */
  for (int i = 0; i < db->nDb; i++) {
    if (db->aDb[i].pBt == nullptr) continue;
    /* 1. the root page of every tree, taken from the schema table */
    tarvikVdbeOp3(v, OP_SetInsert, 0, 0, "2", P3_STATIC);
    tarvikVdbeAddOp(v, OP_Integer, i, 0);
    tarvikVdbeAddOp(v, OP_OpenRead, 0, 2);
    int lblEnd = tarvikVdbeMakeLabel(v);
    tarvikVdbeAddOp(v, OP_Rewind, 0, lblEnd);
    int lblLoop = tarvikVdbeAddOp(v, OP_Column, 0, 3);
    tarvikVdbeAddOp(v, OP_SetInsert, 0, 0);
    tarvikVdbeAddOp(v, OP_Next, 0, lblLoop);
    tarvikVdbeResolveLabel(v, lblEnd);
    tarvikVdbeAddOp(v, OP_Close, 0, 0);
    /* 2. the B-tree check of all those trees */
    tarvikVdbeAddOp(v, OP_IntegrityCk, 0, i);
    tarvikVdbeAddOp(v, OP_Dup, 0, 1);
    tarvikVdbeOp3(v, OP_String, 0, 0, "ok", P3_STATIC);
    int lblOk = tarvikVdbeMakeLabel(v);
    tarvikVdbeAddOp(v, OP_StrEq, 0, lblOk);
    tarvikVdbeAddOp(v, OP_MemIncr, 0, 0);
    char *zHead = nullptr;
    tarvikSetString(&zHead, "*** in database ", db->aDb[i].zName, " ***\n", (char *)nullptr);
    if (zHead) {
      tarvikVdbeOp3(v, OP_String, 0, 0, zHead, P3_DYNAMIC);
    } else {
      tarvikVdbeAddOp(v, OP_String, 0, 0);
    }
    tarvikVdbeAddOp(v, OP_Pull, 1, 0);
    tarvikVdbeAddOp(v, OP_Concat, 2, 0);
    tarvikVdbeAddOp(v, OP_Callback, 1, 0);
    tarvikVdbeResolveLabel(v, lblOk);
    tarvikVdbeAddOp(v, OP_Pop, 1, 0);
    /* 3. the schema has not changed since this program was made */
    tarvikCodeVerifySchema(pParse, i);
    /* 4. every row of an indexed table is in each of its indices */
    for (HashElem *x = hashFirst(&db->aDb[i].tblHash); x; x = hashNext(x)) {
      Table *pTab = (Table *)hashData(x);
      if (pTab->pIndex == nullptr || pTab->tnum == 0) continue;
      tarvikVdbeAddOp(v, OP_Integer, i, 0);
      tarvikVdbeOp3(v, OP_OpenRead, 1, pTab->tnum, pTab->zName, 0);
      int j = 0;
      Index *pIdx;
      for (pIdx = pTab->pIndex, j = 0; pIdx; pIdx = pIdx->pNext, j++) {
        if (pIdx->tnum == 0) continue;
        tarvikVdbeAddOp(v, OP_Integer, pIdx->iDb, 0);
        tarvikVdbeOp3(v, OP_OpenRead, j + 2, pIdx->tnum, pIdx->zName, 0);
      }
      tarvikVdbeAddOp(v, OP_Integer, 0, 0);
      tarvikVdbeAddOp(v, OP_MemStore, 1, 1);
      int lblTabEnd = tarvikVdbeMakeLabel(v);
      tarvikVdbeAddOp(v, OP_Rewind, 1, lblTabEnd);
      int lblRow = tarvikVdbeAddOp(v, OP_MemIncr, 1, 0);
      for (pIdx = pTab->pIndex, j = 0; pIdx; pIdx = pIdx->pNext, j++) {
        if (pIdx->tnum == 0) continue;
        tarvikVdbeAddOp(v, OP_Recno, 1, 0);
        for (int k = 0; k < pIdx->nColumn; k++) {
          int col = pIdx->aiColumn[k];
          if (col == pTab->iPKey) {
            tarvikVdbeAddOp(v, OP_Dup, k, 0);
          } else {
            tarvikVdbeAddOp(v, OP_Column, 1, col);
          }
        }
        tarvikVdbeAddOp(v, OP_MakeIdxKey, pIdx->nColumn, 0);
        if (db->file_format >= 4) tarvikAddIdxKeyType(v, pIdx);
        int lblFound = tarvikVdbeMakeLabel(v);
        tarvikVdbeAddOp(v, OP_Found, j + 2, lblFound);
        tarvikVdbeAddOp(v, OP_MemIncr, 0, 0);
        tarvikVdbeOp3(v, OP_String, 0, 0, "rowid ", P3_STATIC);
        tarvikVdbeAddOp(v, OP_Recno, 1, 0);
        tarvikVdbeOp3(v, OP_String, 0, 0, " missing from index ", P3_STATIC);
        tarvikVdbeOp3(v, OP_String, 0, 0, pIdx->zName, 0);
        tarvikVdbeAddOp(v, OP_Concat, 4, 0);
        tarvikVdbeAddOp(v, OP_Callback, 1, 0);
        tarvikVdbeResolveLabel(v, lblFound);
      }
      tarvikVdbeAddOp(v, OP_Next, 1, lblRow);
      tarvikVdbeResolveLabel(v, lblTabEnd);
      for (pIdx = pTab->pIndex, j = 0; pIdx; pIdx = pIdx->pNext, j++) {
        if (pIdx->tnum == 0) continue;
        tarvikVdbeAddOp(v, OP_Integer, 0, 0);
        tarvikVdbeAddOp(v, OP_MemStore, 2, 1);
        int lblIdxEnd = tarvikVdbeMakeLabel(v);
        tarvikVdbeAddOp(v, OP_Rewind, j + 2, lblIdxEnd);
        int lblIdxLoop = tarvikVdbeAddOp(v, OP_MemIncr, 2, 0);
        tarvikVdbeAddOp(v, OP_Next, j + 2, lblIdxLoop);
        tarvikVdbeResolveLabel(v, lblIdxEnd);
        tarvikVdbeAddOp(v, OP_MemLoad, 1, 0);
        tarvikVdbeAddOp(v, OP_MemLoad, 2, 0);
        int lblSame = tarvikVdbeMakeLabel(v);
        tarvikVdbeAddOp(v, OP_Eq, 0, lblSame);
        tarvikVdbeAddOp(v, OP_MemIncr, 0, 0);
        tarvikVdbeOp3(v, OP_String, 0, 0, "wrong # of entries in index ", P3_STATIC);
        tarvikVdbeOp3(v, OP_String, 0, 0, pIdx->zName, 0);
        tarvikVdbeAddOp(v, OP_Concat, 2, 0);
        tarvikVdbeAddOp(v, OP_Callback, 1, 0);
        tarvikVdbeResolveLabel(v, lblSame);
      }
      tarvikVdbeAddOp(v, OP_Close, 1, 0);
      for (pIdx = pTab->pIndex, j = 0; pIdx; pIdx = pIdx->pNext, j++) {
        if (pIdx->tnum) tarvikVdbeAddOp(v, OP_Close, j + 2, 0);
      }
    }
  }
  /* no error counted: one row "ok" */
  tarvikVdbeAddOp(v, OP_MemLoad, 0, 0);
  int lblDone = tarvikVdbeMakeLabel(v);
  tarvikVdbeAddOp(v, OP_If, 0, lblDone);
  tarvikVdbeOp3(v, OP_String, 0, 0, "ok", P3_STATIC);
  tarvikVdbeAddOp(v, OP_Callback, 1, 0);
  tarvikVdbeResolveLabel(v, lblDone);
}

}  // namespace

void tarvikPragma(Parse *pParse, const Token *pLeft, const Token *pRight, int minusFlag) {
  if (GEN_INTERCEPT("Pragma", pLeft, pRight, minusFlag)) return;
  tarvik *db = pParse->db;
  Vdbe *v = tarvikGetVdbe(pParse);
  if (v == nullptr) return;

  char *zLeft = tarvikStrNDup(pLeft->z, (int)pLeft->n);
  char *zRight = nullptr;
  if (minusFlag) {
    tarvikSetNString(&zRight, "-", 1, pRight->z, (int)pRight->n, (char *)nullptr);
  } else {
    zRight = tarvikStrNDup(pRight->z, (int)pRight->n);
  }
  if (zLeft == nullptr || zRight == nullptr) {
    tarvikFree(zLeft);
    tarvikFree(zRight);
    return;
  }
  tarvikDequote(zLeft);
  if (!minusFlag) tarvikDequote(zRight);
  /* The parser hands the name twice when there is no value. */
  bool isQuery = pLeft == pRight;
  const char *zValue = isQuery ? nullptr : zRight;

  if (dml::authCheck(pParse, TARVIK_PRAGMA, zLeft, zRight, nullptr) != TARVIK_OK) {
    tarvikFree(zLeft);
    tarvikFree(zRight);
    return;
  }

  if (tarvikStrICmp(zLeft, "default_cache_size") == 0) {
    if (isQuery) {
      tarvikVdbeOp3(v, OP_ColumnName, 0, 1, "cache_size", P3_STATIC);
      pushDefaultCacheSize(v);
      tarvikVdbeAddOp(v, OP_Callback, 1, 0);
    } else {
      int size = getBoolean(zValue);
      if (size < 0) size = -size;
      tarvikBeginWriteOperation(pParse, 0, 0);
      int lblNeg = tarvikVdbeMakeLabel(v), lblDone = tarvikVdbeMakeLabel(v);
      tarvikVdbeAddOp(v, OP_ReadCookie, 0, kMetaCacheSize);
      tarvikVdbeAddOp(v, OP_Integer, 0, 0);
      tarvikVdbeAddOp(v, OP_Lt, 0, lblNeg);
      tarvikVdbeAddOp(v, OP_Integer, size, 0);
      tarvikVdbeAddOp(v, OP_Goto, 0, lblDone);
      tarvikVdbeResolveLabel(v, lblNeg);
      tarvikVdbeAddOp(v, OP_Integer, -size, 0);
      tarvikVdbeResolveLabel(v, lblDone);
      tarvikVdbeAddOp(v, OP_SetCookie, 0, kMetaCacheSize);
      tarvikEndWriteOperation(pParse);
      db->cache_size = db->cache_size < 0 ? -size : size;
      setCacheSize(db);
    }
  } else if (tarvikStrICmp(zLeft, "cache_size") == 0) {
    if (isQuery) {
      returnInt(v, "cache_size", db->cache_size < 0 ? -db->cache_size : db->cache_size);
    } else {
      int size = getBoolean(zValue);
      if (size < 0) size = -size;
      db->cache_size = db->cache_size < 0 ? -size : size;
      setCacheSize(db);
    }
  } else if (tarvikStrICmp(zLeft, "default_synchronous") == 0) {
    if (isQuery) {
      /* meta 4 - 1 when set; otherwise a negative meta 3 means off (0), else normal (1) */
      tarvikVdbeOp3(v, OP_ColumnName, 0, 1, "synchronous", P3_STATIC);
      int lblSet = tarvikVdbeMakeLabel(v), lblNeg = tarvikVdbeMakeLabel(v);
      int lblOut = tarvikVdbeMakeLabel(v);
      tarvikVdbeAddOp(v, OP_ReadCookie, 0, kMetaSafety);
      tarvikVdbeAddOp(v, OP_Dup, 0, 0);
      tarvikVdbeAddOp(v, OP_If, 0, lblSet);
      tarvikVdbeAddOp(v, OP_Pop, 1, 0);
      tarvikVdbeAddOp(v, OP_ReadCookie, 0, kMetaCacheSize);
      tarvikVdbeAddOp(v, OP_Integer, 0, 0);
      tarvikVdbeAddOp(v, OP_Lt, 0, lblNeg);
      tarvikVdbeAddOp(v, OP_Integer, 1, 0);
      tarvikVdbeAddOp(v, OP_Goto, 0, lblOut);
      tarvikVdbeResolveLabel(v, lblNeg);
      tarvikVdbeAddOp(v, OP_Integer, 0, 0);
      tarvikVdbeAddOp(v, OP_Goto, 0, lblOut);
      tarvikVdbeResolveLabel(v, lblSet);
      tarvikVdbeAddOp(v, OP_AddImm, -1, 0);
      tarvikVdbeResolveLabel(v, lblOut);
      tarvikVdbeAddOp(v, OP_Callback, 1, 0);
    } else {
      doSynchronous(pParse, v, zValue, true);
    }
  } else if (tarvikStrICmp(zLeft, "synchronous") == 0) {
    if (isQuery) {
      returnInt(v, "synchronous", db->safety_level - 1);
    } else {
      doSynchronous(pParse, v, zValue, false);
    }
  } else if (tarvikStrICmp(zLeft, "trigger_overhead_test") == 0) {
    if (!isQuery) always_code_trigger_setup = getBoolean(zValue);
  } else if (flagPragma(pParse, zLeft, zValue)) {
    /* done */
  } else if (tarvikStrICmp(zLeft, "table_info") == 0) {
    if (!isQuery) tableInfo(pParse, v, zValue);
  } else if (tarvikStrICmp(zLeft, "index_info") == 0) {
    if (!isQuery) indexInfo(pParse, v, zValue);
  } else if (tarvikStrICmp(zLeft, "index_list") == 0) {
    if (!isQuery) indexList(pParse, v, zValue);
  } else if (tarvikStrICmp(zLeft, "foreign_key_list") == 0) {
    if (!isQuery) foreignKeyList(pParse, v, zValue);
  } else if (tarvikStrICmp(zLeft, "database_list") == 0) {
    databaseList(pParse, v);
  } else if (tarvikStrICmp(zLeft, "temp_store") == 0) {
    if (isQuery) {
      returnInt(v, "temp_store", db->temp_store);
    } else {
      setTempStore(pParse, getTempStore(zValue));
    }
  } else if (tarvikStrICmp(zLeft, "default_temp_store") == 0) {
    if (isQuery) {
      tarvikVdbeOp3(v, OP_ColumnName, 0, 1, "temp_store", P3_STATIC);
      tarvikVdbeAddOp(v, OP_ReadCookie, 0, kMetaTempStore);
      tarvikVdbeAddOp(v, OP_Callback, 1, 0);
    } else {
      int ts = getTempStore(zValue);
      if (setTempStore(pParse, ts)) {
        tarvikBeginWriteOperation(pParse, 0, 0);
        tarvikVdbeAddOp(v, OP_Integer, ts, 0);
        tarvikVdbeAddOp(v, OP_SetCookie, 0, kMetaTempStore);
        tarvikEndWriteOperation(pParse);
      }
    }
  } else if (tarvikStrICmp(zLeft, "parser_trace") == 0) {
    if (!isQuery) tarvikParserTrace(getBoolean(zValue) ? stdout : nullptr, "parser: ");
  } else if (tarvikStrICmp(zLeft, "integrity_check") == 0) {
    integrityCheck(pParse, v);
  }
  /* anything else is ignored */
  tarvikFree(zLeft);
  tarvikFree(zRight);
}
