/*
** The in-memory schema and the statements that change it: CREATE and DROP
** of tables, views and indices, BEGIN/COMMIT/ROLLBACK, the statement
** bracket (tarvikBeginParse/tarvikExec), and the bookkeeping every writing
** statement shares (transactions, the schema cookie).
**
** Two modes.  Normally each generator checks its statement against the
** in-memory schema, emits the program that changes the file (the objects'
** trees and their rows in the schema table), and changes the in-memory
** schema at once, marking the connection TARVIK_InternChanges until a commit
** makes it permanent.  While the schema is being loaded (db->init.busy) the
** same generators are fed the stored CREATE statements and only rebuild the
** in-memory objects; root pages come from db->init.newTnum.
**
** A schema table row, one per table, view, index and trigger, in creation
** order (so a replay in row order re-creates what an object depends on
** first):
**
**   type       name        tbl_name    rootpage   sql
**   "table"    table name  table name  root page  CREATE TABLE text
**   "view"     view name   view name   0          CREATE VIEW text
**   "index"    index name  table name  root page  CREATE INDEX text, NULL if automatic
**   "trigger"  name        table name  0          CREATE TRIGGER text
**
** Ownership: every list and tree handed to a generator is freed by it or
** stored in what it builds.  Texts put into instructions are private copies,
** so a program never points into the schema (which a reset may free).
*/
#include <cctype>

#include "btree.h"
#include "genstub.h"
#include "os.h"
#include "tarvikInt.h"
#include "vdbe.h"

/* Provided by the connection module.  Weak so that this module links and
** is tested before that one is in the tree; an absent loader leaves the
** schema as it is and an absent factory opens no temporary database. */
int tarvikInit(tarvik *db, char **pzErrMsg) __attribute__((weak));
int tarvikBtreeFactory(tarvik *db, const char *zFilename, int omitJournal, int nCache,
                       Btree **ppBtree) __attribute__((weak));

const char master_schema[] =
    "CREATE TABLE tarvik_master(\n"
    "  type text,\n"
    "  name text,\n"
    "  tbl_name text,\n"
    "  rootpage integer,\n"
    "  sql text\n"
    ")";
const char temp_master_schema[] =
    "CREATE TEMP TABLE tarvik_temp_master(\n"
    "  type text,\n"
    "  name text,\n"
    "  tbl_name text,\n"
    "  rootpage integer,\n"
    "  sql text\n"
    ")";

namespace {

/* Hash keys of tables and indices include the terminating NUL. */
int keyLen(const char *z) { return (int)strlen(z) + 1; }

bool failed(Parse *pParse) { return pParse->nErr != 0 || tarvik_malloc_failed != 0; }

/* The program of the parse context, created on first use. */
Vdbe *getVdbe(Parse *pParse) {
  if (pParse->pVdbe == nullptr) pParse->pVdbe = tarvikVdbeCreate(pParse->db);
  return pParse->pVdbe;
}

/* A String instruction holding a private copy of z. */
void addString(Vdbe *v, const char *z) { tarvikVdbeOp3(v, OP_String, 0, 0, z, 0); }

void freeColumns(Table *p) {
  for (int i = 0; i < p->nCol; i++) {
    tarvikFree(p->aCol[i].zName);
    tarvikFree(p->aCol[i].zDflt);
    tarvikFree(p->aCol[i].zType);
  }
  tarvikFree(p->aCol);
  p->aCol = nullptr;
  p->nCol = 0;
}

/* ---------------------------------------------------------------- generated CREATE TABLE text */

/* Bytes of an identifier written in quotes: each ' doubled, plus the two
** enclosing quotes. */
int identLength(const char *z) {
  int n = 2;
  for (; *z; z++) n += *z == '\'' ? 2 : 1;
  return n;
}

/* Writes an identifier bare when it may stand as one, else in single quotes.
** An empty name is quoted too, so that the text parses back. */
void identPut(char *z, int *pIdx, const char *zIdent) {
  int j = 0;
  while (zIdent[j] && (isalnum((unsigned char)zIdent[j]) || zIdent[j] == '_')) j++;
  bool needQuote = zIdent[j] != 0 || zIdent[0] == 0 || isdigit((unsigned char)zIdent[0]) ||
                   tarvikKeywordCode(zIdent, j) != TK_ID;
  int i = *pIdx;
  if (needQuote) z[i++] = '\'';
  for (j = 0; zIdent[j]; j++) {
    z[i++] = zIdent[j];
    if (zIdent[j] == '\'' && needQuote) z[i++] = '\'';
  }
  if (needQuote) z[i++] = '\'';
  z[i] = 0;
  *pIdx = i;
}

/* "CREATE TABLE name(col,col,...)" for CREATE TABLE ... AS SELECT: names
** only, one per line once the names grow long. */
char *createTableStmt(const Table *p) {
  i64 n = identLength(p->zName);
  for (int i = 0; i < p->nCol; i++) n += identLength(p->aCol[i].zName);
  const char *zSep = "", *zSep2 = ",", *zEnd = ")";
  if (n >= 40) {
    zSep = "\n  ";
    zSep2 = ",\n  ";
    zEnd = "\n)";
  }
  n += 35 + 6 * (i64)p->nCol;
  if (n > INT32_MAX) {
    tarvik_malloc_failed++;
    return nullptr;
  }
  char *zStmt = (char *)tarvikMallocRaw((int)n);
  if (zStmt == nullptr) return nullptr;
  strcpy(zStmt, p->iDb == 1 ? "CREATE TEMP TABLE " : "CREATE TABLE ");
  int k = (int)strlen(zStmt);
  identPut(zStmt, &k, p->zName);
  zStmt[k++] = '(';
  for (int i = 0; i < p->nCol; i++) {
    strcpy(&zStmt[k], zSep);
    k += (int)strlen(zSep);
    zSep = zSep2;
    identPut(zStmt, &k, p->aCol[i].zName);
  }
  strcpy(&zStmt[k], zEnd);
  return zStmt;
}

/* Length of the statement text from pBegin to the end of the statement
** being reduced, without the trailing ';' and white space.  The last token
** read is the ';' that ends the statement, or whatever ended the text. */
int statementLength(const Parse *pParse, const Token *pBegin) {
  const char *zEnd = pParse->sLastToken.z;
  if (zEnd[0] != 0 && zEnd[0] != ';') zEnd += pParse->sLastToken.n;
  const char *z = pBegin->z;
  int n = (int)(zEnd - z);
  while (n > 0 && (z[n - 1] == ';' || isspace((unsigned char)z[n - 1]))) n--;
  return n;
}

/* Removes every schema row (tbl_name, column 2) or the first (name, column
** 1) with the given name from the schema table open on cursor 0. */
void codeSchemaRowDelete(Vdbe *v, const char *zName, bool allOfTable) {
  if (allOfTable) {
    static const VdbeOpList dropTable[] = {
        {OP_Rewind, 0, -9, nullptr},  /* 0: -> end */
        {OP_String, 0, 0, nullptr},   /* 1: the name */
        {OP_MemStore, 1, 1, nullptr}, /* 2 */
        {OP_MemLoad, 1, 0, nullptr},  /* 3: loop */
        {OP_Column, 0, 2, nullptr},   /* 4 */
        {OP_Ne, 0, -8, nullptr},      /* 5: -> next */
        {OP_Delete, 0, 0, nullptr},   /* 6 */
        {OP_Next, 0, -4, nullptr},    /* 7: next: -> loop */
    };
    int nBefore = tarvikVdbeCurrentAddr(v);
    int base = tarvikVdbeAddOpList(v, (int)(sizeof(dropTable) / sizeof(dropTable[0])), dropTable);
    if (tarvikVdbeCurrentAddr(v) > nBefore) tarvikVdbeChangeP3(v, base + 1, zName, 0);
  } else {
    static const VdbeOpList dropIndex[] = {
        {OP_Rewind, 0, -10, nullptr}, /* 0: -> end */
        {OP_String, 0, 0, nullptr},   /* 1: the name */
        {OP_MemStore, 1, 1, nullptr}, /* 2 */
        {OP_MemLoad, 1, 0, nullptr},  /* 3: loop */
        {OP_Column, 0, 1, nullptr},   /* 4 */
        {OP_Eq, 0, -9, nullptr},      /* 5: -> found */
        {OP_Next, 0, -4, nullptr},    /* 6: -> loop */
        {OP_Goto, 0, -10, nullptr},   /* 7: -> end */
        {OP_Delete, 0, 0, nullptr},   /* 8: found */
    };
    int nBefore = tarvikVdbeCurrentAddr(v);
    int base = tarvikVdbeAddOpList(v, (int)(sizeof(dropIndex) / sizeof(dropIndex[0])), dropIndex);
    if (tarvikVdbeCurrentAddr(v) > nBefore) tarvikVdbeChangeP3(v, base + 1, zName, 0);
  }
}

}  // namespace

/* ---------------------------------------------------------------- statement bracket */

void tarvikBeginParse(Parse *pParse, int explainFlag) {
  pParse->explain = (u8)explainFlag;
  pParse->nVar = 0;
  if (GEN_INTERCEPT("BeginParse", explainFlag)) return;
  tarvik *db = pParse->db;
  if ((db->flags & TARVIK_Initialized) == 0 && db->init.busy == 0 && tarvikInit != nullptr) {
    int rc = tarvikInit(db, &pParse->zErrMsg);
    if (rc != TARVIK_OK) {
      pParse->rc = rc;
      pParse->nErr++;
    }
  }
  for (int i = 0; i < db->nDb; i++) {
    db->aDb[i].flags &= ~DB_Locked;
    if (!db->aDb[i].inTrans) db->aDb[i].flags &= ~DB_Cookie;
  }
}

void tarvikExec(Parse *pParse) {
  bool intercepted = GEN_INTERCEPT("Exec");
  tarvik *db = pParse->db;
  Vdbe *v = intercepted ? nullptr : pParse->pVdbe;
  if (!intercepted && v == nullptr && (v = getVdbe(pParse)) != nullptr) {
    tarvikVdbeAddOp(v, OP_Halt, 0, 0);
  }
  if (tarvik_malloc_failed == 0) {
    if (pParse->nErr == 0) {
      if (v) {
        tarvikVdbeTrace(v, (db->flags & TARVIK_VdbeTrace) ? stdout : nullptr);
        tarvikVdbeMakeReady(v, pParse->nVar, pParse->explain);
      }
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

/* ---------------------------------------------------------------- lookup */

Table *tarvikFindTable(tarvik *db, const char *zName, const char *zDb) {
  for (int i = 0; i < db->nDb; i++) {
    int j = i < 2 ? i ^ 1 : i; /* temp before main */
    const Db *pDb = &db->aDb[j];
    if (zDb && (pDb->zName == nullptr || tarvikStrICmp(zDb, pDb->zName) != 0)) continue;
    Table *p = (Table *)tarvikHashFind(&pDb->tblHash, zName, keyLen(zName));
    if (p) return p;
  }
  return nullptr;
}

Table *tarvikLocateTable(Parse *pParse, const char *zName, const char *zDb) {
  Table *p = tarvikFindTable(pParse->db, zName, zDb);
  if (p == nullptr) {
    if (zDb) {
      tarvikErrorMsg(pParse, "no such table: %s.%s", zDb, zName);
    } else {
      tarvikErrorMsg(pParse, "no such table: %s", zName);
    }
  }
  return p;
}

Index *tarvikFindIndex(tarvik *db, const char *zName, const char *zDb) {
  for (int i = 0; i < db->nDb; i++) {
    int j = i < 2 ? i ^ 1 : i;
    const Db *pDb = &db->aDb[j];
    if (zDb && (pDb->zName == nullptr || tarvikStrICmp(zDb, pDb->zName) != 0)) continue;
    Index *p = (Index *)tarvikHashFind(&pDb->idxHash, zName, keyLen(zName));
    if (p) return p;
  }
  return nullptr;
}

char *tarvikTableNameFromToken(const Token *pToken) {
  char *z = tarvikStrNDup(pToken->z, (int)pToken->n);
  tarvikDequote(z);
  return z;
}

Table *tarvikTableFromToken(Parse *pParse, const Token *pToken) {
  char *zName = tarvikTableNameFromToken(pToken);
  if (zName == nullptr) return nullptr;
  Table *p = tarvikFindTable(pParse->db, zName, nullptr);
  tarvikFree(zName);
  if (p == nullptr) tarvikErrorMsg(pParse, "no such table: %T", pToken);
  return p;
}

/* ---------------------------------------------------------------- deleting schema objects */

void tarvikDeleteIndex(tarvik *db, Index *p) {
  if (db) {
    Hash *pHash = &db->aDb[p->iDb].idxHash;
    Index *pOld = (Index *)tarvikHashInsert(pHash, p->zName, keyLen(p->zName), nullptr);
    if (pOld != nullptr && pOld != p) {
      /* Another index of that name was in the hash: put it back. */
      tarvikHashInsert(pHash, pOld->zName, keyLen(pOld->zName), pOld);
    }
  }
  tarvikFree(p);
}

void tarvikUnlinkAndDeleteIndex(tarvik *db, Index *pIndex) {
  Table *pTab = pIndex->pTable;
  if (pTab->pIndex == pIndex) {
    pTab->pIndex = pIndex->pNext;
  } else {
    Index *p = pTab->pIndex;
    while (p && p->pNext != pIndex) p = p->pNext;
    if (p) p->pNext = pIndex->pNext;
  }
  tarvikDeleteIndex(db, pIndex);
}

/* Frees the table with its indices (taken out of their hash when db is
** given), its foreign keys and columns.  The caller has unlinked it from
** tblHash and the aFKey chains if it was there. */
void tarvikDeleteTable(tarvik *db, Table *pTable) {
  if (pTable == nullptr) return;
  for (Index *pIndex = pTable->pIndex, *pNext; pIndex; pIndex = pNext) {
    pNext = pIndex->pNext;
    tarvikDeleteIndex(db, pIndex);
  }
  for (FKey *pFKey = pTable->pFKey, *pNext; pFKey; pFKey = pNext) {
    pNext = pFKey->pNextFrom;
    tarvikFree(pFKey);
  }
  freeColumns(pTable);
  tarvikFree(pTable->zName);
  tarvikSelectDelete(pTable->pSelect);
  tarvikFree(pTable);
}

void tarvikUnlinkAndDeleteTable(tarvik *db, Table *p) {
  Db *pDb = &db->aDb[p->iDb];
  Table *pOld = (Table *)tarvikHashInsert(&pDb->tblHash, p->zName, keyLen(p->zName), nullptr);
  tvAssert(pOld == nullptr || pOld == p);
  (void)pOld;
  for (FKey *pF1 = p->pFKey; pF1; pF1 = pF1->pNextFrom) {
    int nTo = keyLen(pF1->zTo);
    FKey *pF2 = (FKey *)tarvikHashFind(&pDb->aFKey, pF1->zTo, nTo);
    if (pF2 == pF1) {
      /* Replacing or removing the data of an existing entry never allocates. */
      tarvikHashInsert(&pDb->aFKey, pF1->zTo, nTo, pF1->pNextTo);
    } else {
      while (pF2 && pF2->pNextTo != pF1) pF2 = pF2->pNextTo;
      if (pF2) pF2->pNextTo = pF1->pNextTo;
    }
  }
  tarvikDeleteTable(db, p);
}

/* ---------------------------------------------------------------- schema state */

void tarvikResetInternalSchema(tarvik *db, int iDb) {
  db->flags &= ~TARVIK_Initialized;
  for (int i = iDb; i < db->nDb; i++) {
    Db *pDb = &db->aDb[i];
    Hash tables = pDb->tblHash;
    Hash triggers = pDb->trigHash;
    tarvikHashInit(&pDb->tblHash, TARVIK_HASH_STRING, 0);
    tarvikHashInit(&pDb->trigHash, TARVIK_HASH_STRING, 0);
    tarvikHashClear(&pDb->aFKey);
    tarvikHashClear(&pDb->idxHash);
    for (HashElem *e = hashFirst(&triggers); e; e = hashNext(e)) {
      tarvikDeleteTrigger((Trigger *)hashData(e));
    }
    tarvikHashClear(&triggers);
    /* idxHash is empty now, so deleting the indices touches no hash. */
    for (HashElem *e = hashFirst(&tables); e; e = hashNext(e)) {
      tarvikDeleteTable(nullptr, (Table *)hashData(e));
    }
    tarvikHashClear(&tables);
    pDb->flags &= ~DB_SchemaLoaded;
    if (iDb > 0) break;
  }
  if (iDb > 0) return;
  db->flags &= ~TARVIK_InternChanges;

  /* Forget the databases that were detached: free their auxiliary data and
  ** names and close the gaps, keeping the order of the rest. */
  for (int i = 0; i < db->nDb; i++) {
    Db *pDb = &db->aDb[i];
    if (pDb->pBt == nullptr) {
      if (pDb->pAux && pDb->xFreeAux) pDb->xFreeAux(pDb->pAux);
      pDb->pAux = nullptr;
    }
  }
  int j = 2;
  for (int i = 2; i < db->nDb; i++) {
    Db *pDb = &db->aDb[i];
    if (pDb->pBt == nullptr) {
      tarvikFree(pDb->zName);
      pDb->zName = nullptr;
      continue;
    }
    if (j < i) db->aDb[j] = db->aDb[i];
    j++;
  }
  if (db->nDb > j) memset(&db->aDb[j], 0, (size_t)(db->nDb - j) * sizeof(Db));
  if (db->nDb > 2) db->nDb = j;
  if (db->nDb <= 2 && db->aDb != db->aDbStatic && db->aDb != nullptr) {
    memcpy(db->aDbStatic, db->aDb, 2 * sizeof(Db));
    tarvikFree(db->aDb);
    db->aDb = db->aDbStatic;
  }
}

void tarvikCommitInternalChanges(tarvik *db) {
  db->aDb[0].schema_cookie = db->next_cookie;
  db->flags &= ~TARVIK_InternChanges;
}

void tarvikRollbackInternalChanges(tarvik *db) {
  if (db->flags & TARVIK_InternChanges) tarvikResetInternalSchema(db, 0);
}

/* ---------------------------------------------------------------- shared by writing statements */

void tarvikOpenMasterTable(Vdbe *v, int iDb) {
  tarvikVdbeAddOp(v, OP_Integer, iDb, 0);
  tarvikVdbeAddOp(v, OP_OpenWrite, 0, 2);
}

void tarvikBeginWriteOperation(Parse *pParse, int setCheckpoint, int iDb) {
  tarvik *db = pParse->db;
  if (db->aDb[iDb].flags & DB_Locked) return;
  Vdbe *v = getVdbe(pParse);
  if (v == nullptr) return;
  if (!db->aDb[iDb].inTrans) {
    tarvikVdbeAddOp(v, OP_Transaction, iDb, 0);
    db->aDb[iDb].flags |= DB_Locked;
    tarvikCodeVerifySchema(pParse, iDb);
    /* The temporary database is always locked along with any other. */
    if (iDb != 1) tarvikBeginWriteOperation(pParse, setCheckpoint, 1);
  } else if (setCheckpoint) {
    tarvikVdbeAddOp(v, OP_Checkpoint, iDb, 0);
    db->aDb[iDb].flags |= DB_Locked;
  }
}

void tarvikEndWriteOperation(Parse *pParse) {
  if (pParse->trigStack) return; /* the statement that fired the trigger commits */
  Vdbe *v = getVdbe(pParse);
  if (v == nullptr) return;
  if (pParse->db->flags & TARVIK_InTrans) return; /* COMMIT does it */
  tarvikVdbeAddOp(v, OP_Commit, 0, 0);
}

void tarvikCodeVerifySchema(Parse *pParse, int iDb) {
  tarvik *db = pParse->db;
  if (iDb == 1 || (db->aDb[iDb].flags & DB_Cookie)) return;
  Vdbe *v = getVdbe(pParse);
  if (v == nullptr) return;
  tarvikVdbeAddOp(v, OP_VerifyCookie, iDb, db->aDb[iDb].schema_cookie);
  db->aDb[iDb].flags |= DB_Cookie;
}

/* Once per transaction: the first schema change picks the cookie the
** commit will store.  The cookie is any 32-bit value read from the file, so
** the step is taken in unsigned arithmetic and wraps. */
void tarvikChangeCookie(tarvik *db, Vdbe *v) {
  if (db->next_cookie != db->aDb[0].schema_cookie) return;
  unsigned char r;
  tarvikRandomness(1, &r);
  db->next_cookie = (int)((u32)db->aDb[0].schema_cookie + r + 1u);
  db->flags |= TARVIK_InternChanges;
  tarvikVdbeAddOp(v, OP_Integer, db->next_cookie, 0);
  tarvikVdbeAddOp(v, OP_SetCookie, 0, 0);
}

void tarvikAddIdxKeyType(Vdbe *v, Index *pIdx) {
  const Table *pTab = pIdx->pTable;
  int n = pIdx->nColumn;
  char *zType = (char *)tarvikMallocRaw(n + 1);
  if (zType == nullptr) return;
  for (int i = 0; i < n; i++) {
    int iCol = pIdx->aiColumn[i];
    tvAssert(iCol >= 0 && iCol < pTab->nCol);
    zType[i] = (pTab->aCol[iCol].sortOrder & TARVIK_SO_TYPEMASK) == TARVIK_SO_TEXT ? 't' : 'n';
  }
  zType[n] = 0;
  tarvikVdbeChangeP3(v, -1, zType, P3_DYNAMIC);
}

/* ---------------------------------------------------------------- CREATE TABLE */

void tarvikStartTable(Parse *pParse, const Token *pStart, const Token *pName, int isTemp,
                      int isView) {
  if (GEN_INTERCEPT("StartTable", pStart, pName, isTemp, isView)) return;
  (void)isView; /* the authorizer's action code depends on it */
  tarvik *db = pParse->db;
  pParse->sFirstToken = *pStart;
  char *zName = tarvikTableNameFromToken(pName);
  if (zName == nullptr) return;
  if (db->init.iDb == 1) isTemp = 1;

  /* The temporary database is opened when first needed. */
  if (isTemp && db->aDb[1].pBt == nullptr && !pParse->explain) {
    int rc = tarvikBtreeFactory ? tarvikBtreeFactory(db, nullptr, 0, 2000, &db->aDb[1].pBt)
                                : TARVIK_CANTOPEN;
    if (rc != TARVIK_OK) {
      tarvikErrorMsg(pParse,
                     "unable to open a temporary database file for storing temporary tables");
      pParse->nErr++;
      tarvikFree(zName);
      return;
    }
    if (db->flags & TARVIK_InTrans) {
      rc = tarvikBtreeBeginTrans(db->aDb[1].pBt);
      if (rc != TARVIK_OK) {
        tarvikErrorMsg(pParse, "unable to get a write lock on the temporary database file");
        pParse->nErr++;
        tarvikFree(zName);
        return;
      }
    }
  }

  /* While loading, an object of the same name in another database is a
  ** different object. */
  int iDb = isTemp ? 1 : db->init.iDb;
  Table *pOther = tarvikFindTable(db, zName, nullptr);
  if (pOther && (pOther->iDb == iDb || !db->init.busy)) {
    tarvikErrorMsg(pParse, "table %T already exists", pName);
    tarvikFree(zName);
    return;
  }
  Index *pIdx = tarvikFindIndex(db, zName, nullptr);
  if (pIdx && (pIdx->iDb == 0 || !db->init.busy)) {
    tarvikErrorMsg(pParse, "there is already an index named %s", zName);
    tarvikFree(zName);
    return;
  }

  Table *pTable = (Table *)tarvikMalloc(sizeof(Table));
  if (pTable == nullptr) {
    tarvikFree(zName);
    return;
  }
  pTable->zName = zName;
  pTable->iPKey = -1;
  pTable->iDb = (u8)iDb;
  if (pParse->pNewTable) tarvikDeleteTable(db, pParse->pNewTable);
  pParse->pNewTable = pTable;

  /* Reserve the schema row now; the row number stays on the stack until
  ** tarvikEndTable writes the row.  Indices made by the column constraints
  ** write theirs in between. */
  Vdbe *v;
  if (!db->init.busy && (v = getVdbe(pParse)) != nullptr) {
    tarvikBeginWriteOperation(pParse, 0, isTemp);
    if (!isTemp) {
      tarvikVdbeAddOp(v, OP_Integer, db->file_format, 0);
      tarvikVdbeAddOp(v, OP_SetCookie, 0, 1);
    }
    tarvikOpenMasterTable(v, isTemp);
    tarvikVdbeAddOp(v, OP_NewRecno, 0, 0);
    tarvikVdbeAddOp(v, OP_Dup, 0, 0);
    tarvikVdbeAddOp(v, OP_String, 0, 0);
    tarvikVdbeAddOp(v, OP_PutIntKey, 0, 0);
  }
}

void tarvikAddColumn(Parse *pParse, const Token *pName) {
  if (GEN_INTERCEPT("AddColumn", pName)) return;
  Table *p = pParse->pNewTable;
  if (p == nullptr) return;
  char *z = tarvikTableNameFromToken(pName);
  if (z == nullptr) return;
  for (int i = 0; i < p->nCol; i++) {
    if (tarvikStrICmp(z, p->aCol[i].zName) == 0) {
      tarvikErrorMsg(pParse, "duplicate column name: %s", z);
      tarvikFree(z);
      return;
    }
  }
  if ((p->nCol & 7) == 0) {
    i64 nByte = ((i64)p->nCol + 8) * (i64)sizeof(Column);
    Column *aNew = nByte > INT32_MAX ? nullptr : (Column *)tarvikRealloc(p->aCol, (int)nByte);
    if (aNew == nullptr) {
      if (nByte > INT32_MAX) tarvik_malloc_failed++;
      tarvikFree(z);
      return;
    }
    p->aCol = aNew;
  }
  Column *pCol = &p->aCol[p->nCol];
  memset(pCol, 0, sizeof(*pCol));
  pCol->zName = z;
  pCol->sortOrder = TARVIK_SO_NUM;
  p->nCol++;
}

void tarvikAddNotNull(Parse *pParse, int onError) {
  if (GEN_INTERCEPT("AddNotNull", onError)) return;
  Table *p = pParse->pNewTable;
  if (p == nullptr || p->nCol < 1) return;
  p->aCol[p->nCol - 1].notNull = (u8)onError;
}

void tarvikAddColumnType(Parse *pParse, const Token *pFirst, const Token *pLast) {
#ifdef TARVIK_TEST
  /* Recorded as the span the type runs over. */
  Token span = *pFirst;
  span.n = (unsigned)(pLast->z - pFirst->z) + pLast->n;
  if (GEN_INTERCEPT("AddColumnType", (const Token *)&span)) return;
#endif
  Table *p = pParse->pNewTable;
  if (p == nullptr || p->nCol < 1) return;
  Column *pCol = &p->aCol[p->nCol - 1];
  int n = (int)(pLast->z - pFirst->z) + (int)pLast->n;
  char *z = tarvikStrNDup(pFirst->z, n);
  if (z == nullptr) return;
  int j = 0;
  for (int i = 0; z[i]; i++) {
    if (!isspace((unsigned char)z[i])) z[j++] = z[i];
  }
  z[j] = 0;
  tarvikFree(pCol->zType);
  pCol->zType = z;
  pCol->sortOrder = (u8)(pParse->db->file_format > 3 ? tarvikCollateType(z, j) : TARVIK_SO_NUM);
}

void tarvikAddDefaultValue(Parse *pParse, const Token *pVal, int minusFlag) {
  if (GEN_INTERCEPT("AddDefaultValue", pVal, minusFlag)) return;
  Table *p = pParse->pNewTable;
  if (p == nullptr || p->nCol < 1) return;
  char *z = (char *)tarvikMallocRaw((int)pVal->n + 2);
  if (z == nullptr) return;
  int k = 0;
  if (minusFlag) z[k++] = '-';
  memcpy(&z[k], pVal->z, pVal->n);
  z[k + pVal->n] = 0;
  tarvikDequote(z);
  Column *pCol = &p->aCol[p->nCol - 1];
  tarvikFree(pCol->zDflt);
  pCol->zDflt = z;
}

void tarvikAddCollateType(Parse *pParse, int collType) {
  if (GEN_INTERCEPT("AddCollateType", collType)) return;
  Table *p = pParse->pNewTable;
  if (p == nullptr || p->nCol < 1) return;
  p->aCol[p->nCol - 1].sortOrder = (u8)collType;
}

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

void tarvikAddPrimaryKey(Parse *pParse, IdList *pList, int onError) {
  if (GEN_INTERCEPT("AddPrimaryKey", pList, onError)) {
    tarvikIdListDelete(pList);
    return;
  }
  Table *pTab = pParse->pNewTable;
  int iCol = -1;
  if (pTab == nullptr || failed(pParse)) goto done;
  if (pTab->hasPrimKey) {
    tarvikErrorMsg(pParse, "table \"%s\" has more than one primary key", pTab->zName);
    goto done;
  }
  pTab->hasPrimKey = 1;
  if (pList == nullptr) {
    iCol = pTab->nCol - 1;
    if (iCol >= 0) pTab->aCol[iCol].isPrimKey = 1;
  } else {
    for (int i = 0; i < pList->nId; i++) {
      for (iCol = 0; iCol < pTab->nCol; iCol++) {
        if (tarvikStrICmp(pList->a[i].zName, pTab->aCol[iCol].zName) == 0) break;
      }
      if (iCol < pTab->nCol) pTab->aCol[iCol].isPrimKey = 1;
    }
    if (pList->nId > 1) iCol = -1;
  }
  {
    const char *zType = iCol >= 0 && iCol < pTab->nCol ? pTab->aCol[iCol].zType : nullptr;
    if (pParse->db->file_format >= 1 && zType && tarvikStrICmp(zType, "INTEGER") == 0) {
      /* The column is the row number: no index. */
      pTab->iPKey = iCol;
      pTab->keyConf = (u8)onError;
    } else {
      tarvikCreateIndex(pParse, nullptr, nullptr, pList, onError, nullptr, nullptr);
      pList = nullptr;
    }
  }
done:
  tarvikIdListDelete(pList);
}

void tarvikCreateForeignKey(Parse *pParse, IdList *pFromCol, const Token *pTo, IdList *pToCol,
                            int flags) {
  if (GEN_INTERCEPT("CreateForeignKey", pFromCol, pTo, pToCol, flags)) {
    tarvikIdListDelete(pFromCol);
    tarvikIdListDelete(pToCol);
    return;
  }
  Table *p = pParse->pNewTable;
  FKey *pFKey = nullptr;
  int nCol;
  i64 nByte;
  char *z;
  if (p == nullptr || failed(pParse)) goto fk_end;
  if (pFromCol == nullptr) {
    if (p->nCol < 1) goto fk_end;
    if (pToCol && pToCol->nId != 1) {
      tarvikErrorMsg(pParse, "foreign key on %s should reference only one column of table %T",
                     p->aCol[p->nCol - 1].zName, pTo);
      goto fk_end;
    }
    nCol = 1;
  } else if (pToCol && pToCol->nId != pFromCol->nId) {
    tarvikErrorMsg(pParse,
                   "number of columns in foreign key does not match the number of columns in "
                   "the referenced table");
    goto fk_end;
  } else {
    nCol = pFromCol->nId;
  }

  /* One allocation: the record, the column map, the referenced table's
  ** name and the referenced columns' names. */
  nByte = (i64)sizeof(FKey) + (i64)nCol * (i64)sizeof(FKey::sColMap) + pTo->n + 1;
  if (pToCol) {
    for (int i = 0; i < pToCol->nId; i++) nByte += (i64)strlen(pToCol->a[i].zName) + 1;
  }
  if (nByte > INT32_MAX) {
    tarvik_malloc_failed++;
    goto fk_end;
  }
  static_assert(sizeof(FKey) % alignof(FKey::sColMap) == 0);
  pFKey = (FKey *)tarvikMalloc((int)nByte);
  if (pFKey == nullptr) goto fk_end;
  pFKey->pFrom = p;
  pFKey->aCol = (FKey::sColMap *)&pFKey[1];
  z = (char *)&pFKey->aCol[nCol];
  pFKey->zTo = z;
  memcpy(z, pTo->z, pTo->n);
  z[pTo->n] = 0;
  tarvikDequote(z);
  z += pTo->n + 1;
  pFKey->nCol = nCol;
  if (pFromCol == nullptr) {
    pFKey->aCol[0].iFrom = p->nCol - 1;
  } else {
    for (int i = 0; i < nCol; i++) {
      int j = 0;
      while (j < p->nCol && tarvikStrICmp(p->aCol[j].zName, pFromCol->a[i].zName) != 0) j++;
      if (j >= p->nCol) {
        tarvikErrorMsg(pParse, "unknown column \"%s\" in foreign key definition",
                       pFromCol->a[i].zName);
        goto fk_end;
      }
      pFKey->aCol[i].iFrom = j;
    }
  }
  if (pToCol) {
    for (int i = 0; i < nCol; i++) {
      size_t n = strlen(pToCol->a[i].zName);
      pFKey->aCol[i].zCol = z;
      memcpy(z, pToCol->a[i].zName, n + 1);
      z += n + 1;
    }
  }
  pFKey->deleteConf = (u8)(flags & 0xff);
  pFKey->updateConf = (u8)((flags >> 8) & 0xff);
  pFKey->insertConf = (u8)((flags >> 16) & 0xff);
  pFKey->pNextFrom = p->pFKey;
  p->pFKey = pFKey;
  pFKey = nullptr;
fk_end:
  tarvikFree(pFKey);
  tarvikIdListDelete(pFromCol);
  tarvikIdListDelete(pToCol);
}

void tarvikDeferForeignKey(Parse *pParse, int isDeferred) {
  if (GEN_INTERCEPT("DeferForeignKey", isDeferred)) return;
  Table *p = pParse->pNewTable;
  if (p == nullptr || p->pFKey == nullptr) return;
  p->pFKey->isDeferred = (u8)isDeferred;
}

void tarvikEndTable(Parse *pParse, const Token *pEnd, Select *pSelect) {
  if (GEN_INTERCEPT("EndTable", pEnd, pSelect)) return; /* the caller deletes pSelect */
  tarvik *db = pParse->db;
  if ((pEnd == nullptr && pSelect == nullptr) || failed(pParse)) return;
  Table *p = pParse->pNewTable;
  if (p == nullptr) return;

  if (pSelect) {
    Table *pSelTab = tarvikResultSetOfSelect(pParse, nullptr, pSelect);
    if (pSelTab == nullptr) return;
    tvAssert(p->aCol == nullptr);
    p->nCol = pSelTab->nCol;
    p->aCol = pSelTab->aCol;
    pSelTab->nCol = 0;
    pSelTab->aCol = nullptr;
    tarvikDeleteTable(nullptr, pSelTab);
  }

  if (db->init.busy) {
    p->tnum = db->init.newTnum;
  } else {
    Vdbe *v = getVdbe(pParse);
    if (v == nullptr) return;
    if (p->pSelect == nullptr) {
      tarvikVdbeOp3(v, OP_CreateTable, 0, p->iDb, (const char *)&p->tnum, P3_POINTER);
    } else {
      tarvikVdbeAddOp(v, OP_Integer, 0, 0);
    }
    p->tnum = 0;
    /* Stack: the reserved row number, the root page.  The record is built
    ** above a copy of the row number. */
    tarvikVdbeAddOp(v, OP_Pull, 1, 0);
    tarvikVdbeOp3(v, OP_String, 0, 0, p->pSelect ? "view" : "table", P3_STATIC);
    addString(v, p->zName);
    addString(v, p->zName);
    tarvikVdbeAddOp(v, OP_Dup, 4, 0);
    if (pSelect) {
      char *z = createTableStmt(p);
      tarvikVdbeOp3(v, OP_String, 0, 0, z, z ? P3_DYNAMIC : P3_NOTUSED);
    } else {
      int n = (int)(pEnd->z - pParse->sFirstToken.z) + (int)pEnd->n;
      tarvikVdbeOp3(v, OP_String, 0, 0, pParse->sFirstToken.z, n);
    }
    tarvikVdbeAddOp(v, OP_MakeRecord, 5, 0);
    tarvikVdbeAddOp(v, OP_PutIntKey, 0, 0);
    if (p->iDb == 0) tarvikChangeCookie(db, v);
    tarvikVdbeAddOp(v, OP_Close, 0, 0);
    if (pSelect) {
      tarvikVdbeAddOp(v, OP_Integer, p->iDb, 0);
      tarvikVdbeAddOp(v, OP_OpenWrite, 1, 0);
      pParse->nTab = 2;
      tarvikSelect(pParse, pSelect, SRT_Table, 1, nullptr, 0, nullptr);
    }
    tarvikEndWriteOperation(pParse);
  }

  if (pParse->explain || failed(pParse)) return;
  Db *pDb = &db->aDb[p->iDb];
  Table *pOld = (Table *)tarvikHashInsert(&pDb->tblHash, p->zName, keyLen(p->zName), p);
  if (pOld) {
    /* Out of memory (the table is handed back), or a table of that name was
    ** there after all: keep it, and leave the new one to be discarded with
    ** the parse context. */
    if (pOld != p) {
      tarvikHashInsert(&pDb->tblHash, pOld->zName, keyLen(pOld->zName), pOld);
      tarvikErrorMsg(pParse, "table %s already exists", p->zName);
    }
    return;
  }
  for (FKey *pFKey = p->pFKey; pFKey; pFKey = pFKey->pNextFrom) {
    int nTo = keyLen(pFKey->zTo);
    pFKey->pNextTo = (FKey *)tarvikHashFind(&pDb->aFKey, pFKey->zTo, nTo);
    tarvikHashInsert(&pDb->aFKey, pFKey->zTo, nTo, pFKey);
  }
  pParse->pNewTable = nullptr;
  db->nTable++;
  db->flags |= TARVIK_InternChanges;
}

/* ---------------------------------------------------------------- views */

void tarvikCreateView(Parse *pParse, const Token *pBegin, const Token *pName, Select *pSelect,
                      int isTemp) {
  if (GEN_INTERCEPT("CreateView", pBegin, pName, pSelect, isTemp)) {
    tarvikSelectDelete(pSelect);
    return;
  }
  tarvik *db = pParse->db;
  tarvikStartTable(pParse, pBegin, pName, isTemp, 1);
  Table *p = pParse->pNewTable;
  if (p == nullptr || pSelect == nullptr || failed(pParse)) {
    tarvikSelectDelete(pSelect);
    return;
  }
  /* The stored query must not point into the statement text. */
  p->pSelect = tarvikSelectDup(pSelect);
  tarvikSelectDelete(pSelect);
  if (p->pSelect == nullptr) return;
  if (!db->init.busy) tarvikViewGetColumnNames(pParse, p);

  /* The stored text runs from CREATE to the end of the statement. */
  Token sEnd;
  sEnd.z = &pBegin->z[statementLength(pParse, pBegin) - 1];
  sEnd.dyn = 0;
  sEnd.n = 1;
  tarvikEndTable(pParse, &sEnd, nullptr);
}

int tarvikViewGetColumnNames(Parse *pParse, Table *pTable) {
  tvAssert(pTable != nullptr);
  if (pTable->nCol > 0) return 0;
  if (pTable->nCol < 0) {
    tarvikErrorMsg(pParse, "view %s is circularly defined", pTable->zName);
    return 1;
  }
  tvAssert(pTable->pSelect != nullptr);
  /* Naming the columns binds and expands the query; do it on a copy. */
  Select *pSel = tarvikSelectDup(pTable->pSelect);
  if (pSel == nullptr) return 1;
  pTable->nCol = -1;
  Table *pSelTab = tarvikResultSetOfSelect(pParse, nullptr, pSel);
  tarvikSelectDelete(pSel);
  int nErr = 0;
  if (pSelTab) {
    pTable->nCol = pSelTab->nCol;
    pTable->aCol = pSelTab->aCol;
    pSelTab->nCol = 0;
    pSelTab->aCol = nullptr;
    tarvikDeleteTable(nullptr, pSelTab);
    pParse->db->aDb[pTable->iDb].flags |= DB_UnresetViews;
  } else {
    pTable->nCol = 0;
    nErr++;
  }
  pParse->nErr += nErr;
  return nErr;
}

void tarvikViewResetAll(tarvik *db, int iDb) {
  if (!(db->aDb[iDb].flags & DB_UnresetViews)) return;
  for (HashElem *e = hashFirst(&db->aDb[iDb].tblHash); e; e = hashNext(e)) {
    Table *pTab = (Table *)hashData(e);
    if (pTab->pSelect) freeColumns(pTab);
  }
  db->aDb[iDb].flags &= ~DB_UnresetViews;
}

/* ---------------------------------------------------------------- DROP TABLE, DROP VIEW */

void tarvikDropTable(Parse *pParse, const Token *pName, int isView) {
  if (GEN_INTERCEPT("DropTable", pName, isView)) return;
  tarvik *db = pParse->db;
  if (failed(pParse)) return;
  Table *pTable = tarvikTableFromToken(pParse, pName);
  if (pTable == nullptr) return;
  int iDb = pTable->iDb;
  if (pTable->readOnly) {
    tarvikErrorMsg(pParse, "table %s may not be dropped", pTable->zName);
    pParse->nErr++;
    return;
  }
  if (isView && pTable->pSelect == nullptr) {
    tarvikErrorMsg(pParse, "use DROP TABLE to delete table %s", pTable->zName);
    return;
  }
  if (!isView && pTable->pSelect) {
    tarvikErrorMsg(pParse, "use DROP VIEW to delete view %s", pTable->zName);
    return;
  }

  Vdbe *v = getVdbe(pParse);
  if (v) {
    tarvikBeginWriteOperation(pParse, 0, iDb);
    /* Triggers on the table are dropped here once triggers exist; until
    ** then no table has any. */
    tvAssert(pTable->pTrigger == nullptr);
    tarvikOpenMasterTable(v, iDb);
    codeSchemaRowDelete(v, pTable->zName, true);
    if (iDb != 1) {
      /* Temporary triggers on the table. */
      tarvikOpenMasterTable(v, 1);
      codeSchemaRowDelete(v, pTable->zName, true);
    }
    if (iDb == 0) tarvikChangeCookie(db, v);
    tarvikVdbeAddOp(v, OP_Close, 0, 0);
    if (!isView) {
      tarvikVdbeAddOp(v, OP_Destroy, pTable->tnum, iDb);
      for (Index *pIdx = pTable->pIndex; pIdx; pIdx = pIdx->pNext) {
        tarvikVdbeAddOp(v, OP_Destroy, pIdx->tnum, pIdx->iDb);
      }
    }
    tarvikEndWriteOperation(pParse);
  }
  if (!pParse->explain) {
    tarvikUnlinkAndDeleteTable(db, pTable);
    db->flags |= TARVIK_InternChanges;
  }
  tarvikViewResetAll(db, iDb);
}

/* ---------------------------------------------------------------- CREATE INDEX, DROP INDEX */

void tarvikCreateIndex(Parse *pParse, const Token *pName, SrcList *pTable, IdList *pList,
                       int onError, const Token *pStart, const Token *pEnd) {
  if (GEN_INTERCEPT("CreateIndex", pName, pTable, pList, onError, pStart, pEnd)) {
    tarvikSrcListDelete(pTable);
    tarvikIdListDelete(pList);
    return;
  }
  tarvik *db = pParse->db;
  Table *pTab = nullptr;
  Index *pIndex = nullptr;
  char *zName = nullptr;
  int nCol, nName, isTemp, iDb;
  bool kept = false;
  if (failed(pParse)) goto exit_create_index;

  if (pTable) {
    /* CREATE INDEX: pTable names the table (the parser always gives a name). */
    tvAssert(pName != nullptr && pTable->nSrc == 1);
    const char *zDb = pTable->a[0].zDatabase;
    /* A stored index belongs to the database being loaded, whatever other
    ** database has a table of that name. */
    if (db->init.busy && db->init.iDb != 1 && zDb == nullptr) zDb = db->aDb[db->init.iDb].zName;
    pTab = tarvikLocateTable(pParse, pTable->a[0].zName, zDb);
  } else {
    /* PRIMARY KEY or UNIQUE of the table being created. */
    pTab = pParse->pNewTable;
  }
  if (pTab == nullptr || failed(pParse)) goto exit_create_index;
  if (pTab->readOnly) {
    tarvikErrorMsg(pParse, "table %s may not be indexed", pTab->zName);
    goto exit_create_index;
  }
  if (pTab->iDb >= 2 && db->init.busy == 0) {
    tarvikErrorMsg(pParse, "table %s may not have indices added", pTab->zName);
    goto exit_create_index;
  }
  if (pTab->pSelect) {
    tarvikErrorMsg(pParse, "views may not be indexed");
    goto exit_create_index;
  }
  isTemp = pTab->iDb == 1;

  if (pName) {
    zName = tarvikTableNameFromToken(pName);
    if (zName == nullptr) goto exit_create_index;
    if (!db->init.busy) {
      if (tarvikFindIndex(db, zName, nullptr)) {
        tarvikErrorMsg(pParse, "index %s already exists", zName);
        goto exit_create_index;
      }
      if (tarvikFindTable(db, zName, nullptr)) {
        tarvikErrorMsg(pParse, "there is already a table named %s", zName);
        goto exit_create_index;
      }
    }
  } else {
    int n = 1;
    for (Index *pLoop = pTab->pIndex; pLoop; pLoop = pLoop->pNext) n++;
    zName = tarvikMPrintf("(%s autoindex %d)", pTab->zName, n);
    if (zName == nullptr) goto exit_create_index;
    /* A user's index may already carry the name an automatic one gets. */
    if (!db->init.busy && tarvikFindIndex(db, zName, nullptr)) {
      tarvikErrorMsg(pParse, "index %s already exists", zName);
      goto exit_create_index;
    }
  }
  iDb = isTemp ? 1 : db->init.iDb;
  if (!pParse->explain && tarvikHashFind(&db->aDb[iDb].idxHash, zName, keyLen(zName)) != nullptr) {
    /* Only a damaged schema gets here while loading. */
    tarvikErrorMsg(pParse, "index %s already exists", zName);
    goto exit_create_index;
  }

  /* No column list means the last column (a column constraint). */
  nCol = pList ? pList->nId : 1;
  if (pList == nullptr && pTab->nCol < 1) goto exit_create_index;
  nName = (int)strlen(zName);
  pIndex = (Index *)tarvikMalloc((int)(sizeof(Index) + sizeof(int) * (size_t)nCol) + nName + 1);
  if (pIndex == nullptr) goto exit_create_index;
  pIndex->aiColumn = (int *)&pIndex[1];
  pIndex->zName = (char *)&pIndex->aiColumn[nCol];
  memcpy(pIndex->zName, zName, (size_t)nName + 1);
  pIndex->pTable = pTab;
  pIndex->nColumn = nCol;
  pIndex->onError = (u8)onError;
  pIndex->autoIndex = pName == nullptr;
  pIndex->iDb = (u8)iDb;
  for (int i = 0; i < nCol; i++) {
    int j = pTab->nCol - 1;
    if (pList) {
      for (j = 0; j < pTab->nCol; j++) {
        if (tarvikStrICmp(pList->a[i].zName, pTab->aCol[j].zName) == 0) break;
      }
      if (j >= pTab->nCol) {
        tarvikErrorMsg(pParse, "table %s has no column named %s", pTab->zName, pList->a[i].zName);
        goto exit_create_index;
      }
    }
    pIndex->aiColumn[i] = j;
  }

  /* Under EXPLAIN the index only serves the listing and is freed below. */
  if (!pParse->explain) {
    if (tarvikHashInsert(&db->aDb[iDb].idxHash, pIndex->zName, nName + 1, pIndex)) {
      goto exit_create_index; /* out of memory */
    }
    db->flags |= TARVIK_InternChanges;
    /* Replacing indices go last, so that the other constraints of a row are
    ** checked before any row is replaced. */
    if (onError != OE_Replace || pTab->pIndex == nullptr || pTab->pIndex->onError == OE_Replace) {
      pIndex->pNext = pTab->pIndex;
      pTab->pIndex = pIndex;
    } else {
      Index *pOther = pTab->pIndex;
      while (pOther->pNext && pOther->pNext->onError != OE_Replace) pOther = pOther->pNext;
      pIndex->pNext = pOther->pNext;
      pOther->pNext = pIndex;
    }
    kept = true;
  }

  if (db->init.busy) {
    /* An automatic index gets its root page from its own schema row later. */
    if (pTable) pIndex->tnum = db->init.newTnum;
  } else {
    Vdbe *v = getVdbe(pParse);
    if (v == nullptr) goto exit_create_index;
    if (pTable) {
      tarvikBeginWriteOperation(pParse, 0, isTemp);
      tarvikOpenMasterTable(v, isTemp);
    }
    tarvikVdbeAddOp(v, OP_NewRecno, 0, 0);
    tarvikVdbeOp3(v, OP_String, 0, 0, "index", P3_STATIC);
    addString(v, pIndex->zName);
    addString(v, pTab->zName);
    tarvikVdbeOp3(v, OP_CreateIndex, 0, isTemp, (const char *)&pIndex->tnum, P3_POINTER);
    pIndex->tnum = 0;
    if (pTable) {
      /* Cursor 1 on the new index, for filling it below. */
      tarvikVdbeAddOp(v, OP_Dup, 0, 0);
      tarvikVdbeAddOp(v, OP_Integer, isTemp, 0);
      tarvikVdbeAddOp(v, OP_OpenWrite, 1, 0);
    }
    if (pStart && pEnd) {
      /* Through the end of the statement, so that an ON CONFLICT clause
      ** after the column list is stored too. */
      int n = (int)(pEnd->z - pStart->z) + (int)pEnd->n;
      int nStmt = statementLength(pParse, pStart);
      tarvikVdbeOp3(v, OP_String, 0, 0, pStart->z, nStmt > n ? nStmt : n);
    } else {
      tarvikVdbeAddOp(v, OP_String, 0, 0);
    }
    tarvikVdbeAddOp(v, OP_MakeRecord, 5, 0);
    tarvikVdbeAddOp(v, OP_PutIntKey, 0, 0);
    if (pTable) {
      tarvikVdbeAddOp(v, OP_Integer, pTab->iDb, 0);
      tarvikVdbeAddOp(v, OP_OpenRead, 2, pTab->tnum);
      int lblDone = tarvikVdbeMakeLabel(v);
      tarvikVdbeAddOp(v, OP_Rewind, 2, lblDone);
      int lblLoop = tarvikVdbeAddOp(v, OP_Recno, 2, 0);
      for (int i = 0; i < pIndex->nColumn; i++) {
        if (pIndex->aiColumn[i] == pTab->iPKey) {
          tarvikVdbeAddOp(v, OP_Dup, i, 0); /* the row number is below the columns */
        } else {
          tarvikVdbeAddOp(v, OP_Column, 2, pIndex->aiColumn[i]);
        }
      }
      tarvikVdbeAddOp(v, OP_MakeIdxKey, pIndex->nColumn, 0);
      if (db->file_format >= 4) tarvikAddIdxKeyType(v, pIndex);
      tarvikVdbeOp3(v, OP_IdxPut, 1, pIndex->onError != OE_None, "indexed columns are not unique",
                    P3_STATIC);
      tarvikVdbeAddOp(v, OP_Next, 2, lblLoop);
      tarvikVdbeResolveLabel(v, lblDone);
      tarvikVdbeAddOp(v, OP_Close, 2, 0);
      tarvikVdbeAddOp(v, OP_Close, 1, 0);
      if (!isTemp) tarvikChangeCookie(db, v);
      tarvikVdbeAddOp(v, OP_Close, 0, 0);
      tarvikEndWriteOperation(pParse);
    }
  }

exit_create_index:
  if (!kept) tarvikFree(pIndex);
  tarvikIdListDelete(pList);
  tarvikSrcListDelete(pTable);
  tarvikFree(zName);
}

void tarvikDropIndex(Parse *pParse, SrcList *pName) {
  if (GEN_INTERCEPT("DropIndex", pName)) {
    tarvikSrcListDelete(pName);
    return;
  }
  tarvik *db = pParse->db;
  Index *pIndex;
  Vdbe *v;
  if (pName == nullptr || failed(pParse)) goto exit_drop_index;
  tvAssert(pName->nSrc == 1);
  pIndex = tarvikFindIndex(db, pName->a[0].zName, pName->a[0].zDatabase);
  if (pIndex == nullptr) {
    tarvikErrorMsg(pParse, "no such index: %S", pName, 0);
    goto exit_drop_index;
  }
  if (pIndex->autoIndex) {
    tarvikErrorMsg(pParse,
                   "index associated with UNIQUE or PRIMARY KEY constraint cannot be dropped");
    goto exit_drop_index;
  }
  if (pIndex->iDb > 1) {
    tarvikErrorMsg(pParse, "cannot alter schema of attached databases");
    goto exit_drop_index;
  }
  v = getVdbe(pParse);
  if (v) {
    tarvikBeginWriteOperation(pParse, 0, pIndex->iDb);
    tarvikOpenMasterTable(v, pIndex->iDb);
    codeSchemaRowDelete(v, pIndex->zName, false);
    if (pIndex->iDb == 0) tarvikChangeCookie(db, v);
    tarvikVdbeAddOp(v, OP_Close, 0, 0);
    tarvikVdbeAddOp(v, OP_Destroy, pIndex->tnum, pIndex->iDb);
    tarvikEndWriteOperation(pParse);
  }
  if (!pParse->explain) {
    tarvikUnlinkAndDeleteIndex(db, pIndex);
    db->flags |= TARVIK_InternChanges;
  }
exit_drop_index:
  tarvikSrcListDelete(pName);
}

/* ---------------------------------------------------------------- transactions */

void tarvikBeginTransaction(Parse *pParse, int onError) {
  if (GEN_INTERCEPT("BeginTransaction", onError)) return;
  tarvik *db = pParse->db;
  if (db->aDb[0].pBt == nullptr || failed(pParse)) return;
  if (db->flags & TARVIK_InTrans) {
    tarvikErrorMsg(pParse, "cannot start a transaction within a transaction");
    return;
  }
  tarvikBeginWriteOperation(pParse, 0, 0);
  if (!pParse->explain) {
    db->flags |= TARVIK_InTrans;
    db->onError = (u8)onError;
  }
}

void tarvikCommitTransaction(Parse *pParse) {
  if (GEN_INTERCEPT("CommitTransaction")) return;
  tarvik *db = pParse->db;
  if (db->aDb[0].pBt == nullptr || failed(pParse)) return;
  if ((db->flags & TARVIK_InTrans) == 0) {
    tarvikErrorMsg(pParse, "cannot commit - no transaction is active");
    return;
  }
  if (pParse->explain) {
    /* The listing shows the Commit that COMMIT runs, though the
    ** transaction stays open. */
    Vdbe *v = getVdbe(pParse);
    if (v) tarvikVdbeAddOp(v, OP_Commit, 0, 0);
    return;
  }
  db->flags &= ~TARVIK_InTrans;
  tarvikEndWriteOperation(pParse);
  db->onError = OE_Default;
}

void tarvikRollbackTransaction(Parse *pParse) {
  if (GEN_INTERCEPT("RollbackTransaction")) return;
  tarvik *db = pParse->db;
  if (db->aDb[0].pBt == nullptr || failed(pParse)) return;
  if ((db->flags & TARVIK_InTrans) == 0) {
    tarvikErrorMsg(pParse, "cannot rollback - no transaction is active");
    return;
  }
  Vdbe *v = getVdbe(pParse);
  if (v) tarvikVdbeAddOp(v, OP_Rollback, 0, 0);
  if (!pParse->explain) {
    db->flags &= ~TARVIK_InTrans;
    db->onError = OE_Default;
  }
}
