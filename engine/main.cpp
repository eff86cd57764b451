/*
** Connections: version texts, result-code messages, opening and closing,
** schema loading, compiling and running statements, per-connection
** settings, and the safety protocol that turns overlapping or
** out-of-sequence use into MISUSE.
*/
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "btree.h"
#include "os.h"
#include "tarvikInt.h"
#include "vdbe.h"
#include "vdbeInt.h"

extern "C" {
const char tarvik_version[] = TARVIK_VERSION;
const char tarvik_encoding[] = "UTF-8";

const char *tarvik_libversion(void) { return tarvik_version; }
const char *tarvik_libencoding(void) { return tarvik_encoding; }

const char *tarvik_error_string(int rc) {
  static constexpr const char *azMsg[] = {
      "not an error",                          /* TARVIK_OK */
      "SQL logic error or missing database",   /* TARVIK_ERROR */
      "internal Tarvik implementation flaw",   /* TARVIK_INTERNAL */
      "access permission denied",              /* TARVIK_PERM */
      "callback requested query abort",        /* TARVIK_ABORT */
      "database is locked",                    /* TARVIK_BUSY */
      "database table is locked",              /* TARVIK_LOCKED */
      "out of memory",                         /* TARVIK_NOMEM */
      "attempt to write a readonly database",  /* TARVIK_READONLY */
      "interrupted",                           /* TARVIK_INTERRUPT */
      "disk I/O error",                        /* TARVIK_IOERR */
      "database disk image is malformed",      /* TARVIK_CORRUPT */
      "table or record not found",             /* TARVIK_NOTFOUND */
      "database is full",                      /* TARVIK_FULL */
      "unable to open database file",          /* TARVIK_CANTOPEN */
      "database locking protocol failure",     /* TARVIK_PROTOCOL */
      "table contains no data",                /* TARVIK_EMPTY */
      "database schema has changed",           /* TARVIK_SCHEMA */
      "too much data for one table row",       /* TARVIK_TOOBIG */
      "constraint failed",                     /* TARVIK_CONSTRAINT */
      "datatype mismatch",                     /* TARVIK_MISMATCH */
      "library routine called out of sequence", /* TARVIK_MISUSE */
      "kernel lacks large file support",       /* TARVIK_NOLFS */
      "authorization denied",                  /* TARVIK_AUTH */
      "auxiliary database format error",       /* TARVIK_FORMAT */
      "bind index out of range",               /* TARVIK_RANGE */
      "file is encrypted or is not a database", /* TARVIK_NOTADB */
  };
  static_assert(sizeof(azMsg) / sizeof(azMsg[0]) == TARVIK_NOTADB + 1);
  if (rc < 0 || rc > TARVIK_NOTADB) return "unknown error";
  return azMsg[rc];
}
}

/* ================================================================ connections
** Opening and closing a connection, loading the schema from the schema
** tables, compiling and running statements, and the per-connection
** settings.
**
** Holding the connection.  Every public routine brackets its work with
** tarvikSafetyOn/Off.  tarvik_exec also holds the connection while its row
** callback runs, so a callback that calls back into the same connection
** (other than tarvik_interrupt) finds it busy and turns it into misuse; the
** library's own callbacks that run SQL (the schema loader, the format
** upgrade) release it around that SQL and take it back afterwards. */

static void setMisuse(char **pzErrMsg) {
  tarvikSetString(pzErrMsg, tarvik_error_string(TARVIK_MISUSE), (char *)nullptr);
}

/* ---------------------------------------------------------------- schema loading */

static void corruptSchema(InitData *pData, const char *zExtra) {
  if (zExtra && zExtra[0]) {
    tarvikSetString(pData->pzErrMsg, "malformed database schema", " - ", zExtra, (char *)nullptr);
  } else {
    tarvikSetString(pData->pzErrMsg, "malformed database schema", (char *)nullptr);
  }
}

/* Reads a decimal field of a schema row; 0 when it is not a clean number. */
static int schemaInt(const char *z) {
  long v = strtol(z, nullptr, 10);
  return v < 0 || v > INT32_MAX ? -1 : (int)v;
}

/* One row of the loading query: type, name, rootpage, sql, database index.
** Runs with the connection held by tarvik_exec; releases it around the SQL
** that re-creates the object. */
int tarvikInitCallback(void *pInit, int argc, char **argv, char **azColName) {
  (void)azColName;
  InitData *pData = (InitData *)pInit;
  tarvik *db = pData->db;
  if (argv == nullptr) return 0;
  tvAssert(argc == 5);
  if (argc != 5 || argv[0] == nullptr) {
    corruptSchema(pData, nullptr);
    return 1;
  }
  switch (argv[0][0]) {
    case 'v':
    case 'i':
    case 't': {
      if (argv[2] == nullptr || argv[4] == nullptr) {
        corruptSchema(pData, nullptr);
        return 1;
      }
      /* The database index and root page come from the file: a damaged
      ** row must not index outside the database array. */
      int iDb = schemaInt(argv[4]);
      int iRoot = schemaInt(argv[2]);
      if (iDb < 0 || iDb >= db->nDb || iRoot < 0) {
        corruptSchema(pData, nullptr);
        return 1;
      }
      if (argv[3] && argv[3][0]) {
        char *zErr = nullptr;
        tvAssert(db->init.busy);
        db->init.iDb = iDb;
        db->init.newTnum = iRoot;
        tarvikSafetyOff(db);
        int rc = tarvik_exec(db, argv[3], nullptr, nullptr, &zErr);
        tarvikSafetyOn(db);
        db->init.iDb = 0;
        if (rc != TARVIK_OK) corruptSchema(pData, zErr);
        tarvikFree(zErr);
      } else if (argv[1]) {
        /* An automatic index, made by its table's CREATE TABLE: it gets its
        ** root page here.  Not found: its table is hidden by a temporary
        ** table of the same name. */
        Index *pIndex = tarvikFindIndex(db, argv[1], db->aDb[iDb].zName);
        if (pIndex && pIndex->tnum == 0) pIndex->tnum = iRoot;
      }
      return 0;
    }
    default:
      return 1;
  }
}

/* Marks a schema table read-only once its description has been loaded. */
static void markReadOnly(tarvik *db, const char *zName, const char *zDb) {
  Table *pTab = tarvikFindTable(db, zName, zDb);
  if (pTab) pTab->readOnly = 1;
}

/* The loading query: the rows of the schema tables in row order, the
** temporary database's first (old files: tables before indices). */
static int loadByQuery(tarvik *db, int iDb, InitData *pInit, char **pzErrMsg) {
  int rc;
  char *zSql = nullptr;
  if (iDb == 0) {
    zSql = tarvikStrDup(db->file_format >= 2
                            ? "SELECT type, name, rootpage, sql, 1 FROM tarvik_temp_master "
                              "UNION ALL SELECT type, name, rootpage, sql, 0 FROM tarvik_master"
                            : "SELECT type, name, rootpage, sql, 1 FROM tarvik_temp_master "
                              "UNION ALL SELECT type, name, rootpage, sql, 0 FROM tarvik_master "
                              "WHERE type='table' "
                              "UNION ALL SELECT type, name, rootpage, sql, 0 FROM tarvik_master "
                              "WHERE type='index'");
  } else {
    /* The name goes between double quotes; one inside it is doubled. */
    const char *zName = db->aDb[iDb].zName;
    char *zQuoted = (char *)tarvikMalloc((int)strlen(zName) * 2 + 1);
    if (zQuoted) {
      int j = 0;
      for (const char *z = zName; *z; z++) {
        zQuoted[j++] = *z;
        if (*z == '"') zQuoted[j++] = '"';
      }
      zSql = tarvikMPrintf("SELECT type, name, rootpage, sql, %d FROM \"%s\".tarvik_master", iDb,
                           zQuoted);
      tarvikFree(zQuoted);
    }
  }
  if (zSql == nullptr) {
    rc = TARVIK_NOMEM;
  } else {
    /* The loading query's own failure (as opposed to a bad row, which the
    ** callback reports) keeps its message. */
    char *zErr = nullptr;
    tarvikSafetyOff(db);
    rc = tarvik_exec(db, zSql, tarvikInitCallback, pInit, &zErr);
    tarvikSafetyOn(db);
    if (zErr) {
      if (pzErrMsg && *pzErrMsg == nullptr) {
        *pzErrMsg = zErr;
      } else {
        tarvikFree(zErr);
      }
    }
    tarvikFree(zSql);
  }
  return rc;
}

/* Loads the schema of database iDb (0 also loads the temporary one).  Runs
** with the connection held. */
static int tarvikInitOne(tarvik *db, int iDb, char **pzErrMsg) {
  InitData initData{db, pzErrMsg};
  tvAssert(iDb >= 0 && iDb < db->nDb && iDb != 1);

  char zDbNum[16];
  snprintf(zDbNum, sizeof(zDbNum), "%d", iDb);
  char *azArg[6] = {(char *)"table", (char *)"tarvik_master",
                    (char *)"2",     (char *)master_schema,
                    zDbNum,          nullptr};
  tarvikInitCallback(&initData, 5, azArg, nullptr);
  markReadOnly(db, "tarvik_master", db->aDb[iDb].zName);
  if (iDb == 0) {
    azArg[1] = (char *)"tarvik_temp_master";
    azArg[3] = (char *)temp_master_schema;
    azArg[4] = (char *)"1";
    tarvikInitCallback(&initData, 5, azArg, nullptr);
    markReadOnly(db, "tarvik_temp_master", "temp");
  }

  Btree *pBt = db->aDb[iDb].pBt;
  if (pBt == nullptr) {
    if (iDb == 0) db->aDb[1].flags |= DB_SchemaLoaded;
    return TARVIK_OK;
  }

  /* The cursor holds a read lock on the file for the whole load. */
  BtCursor *pCur = nullptr;
  int rc = tarvikBtreeCursor(pBt, 2, 0, &pCur);
  if (rc != TARVIK_OK) {
    tarvikSetString(pzErrMsg, tarvik_error_string(rc), (char *)nullptr);
    return rc;
  }
  int meta[TARVIK_N_BTREE_META] = {};
  rc = tarvikBtreeGetMeta(pBt, meta);
  if (rc != TARVIK_OK) {
    tarvikSetString(pzErrMsg, tarvik_error_string(rc), (char *)nullptr);
    tarvikBtreeCloseCursor(pCur);
    return rc;
  }
  db->aDb[iDb].schema_cookie = meta[1];
  if (iDb == 0) {
    db->next_cookie = meta[1];
    db->file_format = (u8)(meta[2] < 0 || meta[2] > 255 ? 255 : meta[2]);
    db->cache_size = meta[3] == 0 ? 2000 : meta[3];
    db->safety_level = (u8)(meta[4] == 0 ? 2 : meta[4]);
    if (db->file_format == 0) db->file_format = 4; /* a new, empty file */
    if (db->file_format > 4) {
      tarvikBtreeCloseCursor(pCur);
      tarvikSetString(pzErrMsg, "unsupported file format", (char *)nullptr);
      return TARVIK_ERROR;
    }
  } else if (db->file_format != meta[2] || db->file_format < 4) {
    if (meta[2] == 0) {
      tarvikSetString(pzErrMsg, "cannot attach empty database: ", db->aDb[iDb].zName,
                      (char *)nullptr);
    } else {
      tarvikSetString(pzErrMsg,
                      "incompatible file format in auxiliary database: ", db->aDb[iDb].zName,
                      (char *)nullptr);
    }
    tarvikBtreeCloseCursor(pCur);
    tarvikBtreeClose(pBt);
    db->aDb[iDb].pBt = nullptr;
    return TARVIK_FORMAT;
  }
  tarvikBtreeSetCacheSize(pBt, db->cache_size);
  tarvikBtreeSetSafetyLevel(pBt, meta[4] == 0 ? 2 : meta[4]);

  rc = loadByQuery(db, iDb, &initData, pzErrMsg);
  tarvikBtreeCloseCursor(pCur);
  if (tarvik_malloc_failed) {
    tarvikSetString(pzErrMsg, tarvik_error_string(TARVIK_NOMEM), (char *)nullptr);
    rc = TARVIK_NOMEM;
    tarvikResetInternalSchema(db, 0);
  } else if (rc == TARVIK_OK) {
    db->aDb[iDb].flags |= DB_SchemaLoaded;
    if (iDb == 0) db->aDb[1].flags |= DB_SchemaLoaded;
  } else {
    tarvikResetInternalSchema(db, iDb);
  }
  return rc;
}

/* The format upgrade: each table is copied out and back in, which rebuilds
** its indices in the current key format.  Its triggers are put aside so
** that the copy does not fire them. */
static int upgradeCallback(void *pArg, int argc, char **argv, char **) {
  InitData *pData = (InitData *)pArg;
  tarvik *db = pData->db;
  if (argc < 1 || argv == nullptr || argv[0] == nullptr) return 0;
  Table *pTab = tarvikFindTable(db, argv[0], nullptr);
  Trigger *pTrig = nullptr;
  if (pTab) {
    pTrig = pTab->pTrigger;
    pTab->pTrigger = nullptr;
  }
  char *zErr = nullptr;
  tarvikSafetyOff(db);
  int rc = tarvik_exec_printf(db,
                              "CREATE TEMP TABLE tarvik_x AS SELECT * FROM '%q'; "
                              "DELETE FROM '%q'; "
                              "INSERT INTO '%q' SELECT * FROM tarvik_x; "
                              "DROP TABLE tarvik_x;",
                              nullptr, nullptr, &zErr, argv[0], argv[0], argv[0]);
  tarvikSafetyOn(db);
  if (zErr) {
    if (pData->pzErrMsg) {
      tarvikFree(*pData->pzErrMsg);
      *pData->pzErrMsg = zErr;
    } else {
      tarvikFree(zErr);
    }
  }
  /* A failure may have reset the schema: look the table up again.  When it
  ** is gone its triggers went with the old schema objects. */
  pTab = tarvikFindTable(db, argv[0], nullptr);
  if (pTab) {
    tvAssert(pTab->pTrigger == nullptr || pTrig == nullptr);
    if (pTab->pTrigger == nullptr) pTab->pTrigger = pTrig;
  }
  return rc != TARVIK_OK;
}

static int upgradeFormat(tarvik *db, char **pzErrMsg) {
  InitData initData{db, pzErrMsg};
  char *zErr = nullptr;
  db->magic = TARVIK_MAGIC_OPEN;
  db->file_format = 3;
  int rc = tarvik_exec(db, "BEGIN; SELECT name FROM tarvik_master WHERE type='table';",
                       upgradeCallback, &initData, &zErr);
  if (rc == TARVIK_OK) {
    int meta[TARVIK_N_BTREE_META] = {};
    Btree *pBt = db->aDb[0].pBt;
    rc = tarvikBtreeGetMeta(pBt, meta);
    if (rc == TARVIK_OK) {
      meta[2] = 4;
      rc = tarvikBtreeUpdateMeta(pBt, meta);
    }
    if (rc == TARVIK_OK) rc = tarvik_exec(db, "COMMIT", nullptr, nullptr, &zErr);
  }
  if (rc != TARVIK_OK) {
    const char *zMsg = zErr ? zErr : (pzErrMsg ? *pzErrMsg : nullptr);
    char *zOld = (pzErrMsg && zMsg != zErr) ? *pzErrMsg : nullptr;
    if (pzErrMsg) *pzErrMsg = nullptr;
    if (zMsg) {
      tarvikSetString(pzErrMsg, "unable to upgrade database to the version 2.6 format", ": ", zMsg,
                      (char *)nullptr);
    } else {
      tarvikSetString(pzErrMsg, "unable to upgrade database to the version 2.6 format",
                      (char *)nullptr);
    }
    tarvikFree(zOld);
    /* Whatever the upgrade left open is undone. */
    tarvikRollbackAll(db);
    db->flags &= ~TARVIK_InTrans;
  }
  tarvikFree(zErr);
  db->magic = TARVIK_MAGIC_BUSY;
  return rc;
}

int tarvikInit(tarvik *db, char **pzErrMsg) {
  if (db->init.busy) return TARVIK_OK;
  int rc = TARVIK_OK;
  db->init.busy = 1;
  for (int i = 0; rc == TARVIK_OK && i < db->nDb; i++) {
    if (i == 1 || (db->aDb[i].flags & DB_SchemaLoaded)) continue;
    rc = tarvikInitOne(db, i, pzErrMsg);
    if (rc != TARVIK_OK) tarvikResetInternalSchema(db, i);
  }
  db->init.busy = 0;
  if (rc == TARVIK_OK) {
    db->flags |= TARVIK_Initialized;
    tarvikCommitInternalChanges(db);
    if (db->file_format < 3) rc = upgradeFormat(db, pzErrMsg);
  }
  if (rc != TARVIK_OK) db->flags &= ~TARVIK_Initialized;
  return rc;
}

/* ---------------------------------------------------------------- open and close */

/* Frees the connection and everything it owns.  The caller has made sure
** that no program is live and no library call is in progress. */
static void closeConnection(tarvik *db) {
  db->magic = TARVIK_MAGIC_CLOSED;
  for (int i = 0; i < db->nDb; i++) {
    if (db->aDb[i].pBt) {
      tarvikBtreeClose(db->aDb[i].pBt);
      db->aDb[i].pBt = nullptr;
    }
  }
  tarvikResetInternalSchema(db, 0);
  tvAssert(db->nDb <= 2 && db->aDb == db->aDbStatic);
  tarvikFreeFunctions(db);
  tarvikFree(db);
}

extern "C" {

tarvik *tarvik_open(const char *zFilename, int mode, char **pzErrMsg) {
  (void)mode;
  if (pzErrMsg) *pzErrMsg = nullptr;
  if (zFilename == nullptr) {
    tarvikSetString(pzErrMsg, tarvik_error_string(TARVIK_CANTOPEN), (char *)nullptr);
    return nullptr;
  }
  tarvik *db = (tarvik *)tarvikMalloc((int)sizeof(tarvik));
  if (db == nullptr) {
    tarvikSetString(pzErrMsg, tarvik_error_string(TARVIK_NOMEM), (char *)nullptr);
    return nullptr;
  }
  db->onError = OE_Default;
  db->priorNewRowid = 0;
  db->magic = TARVIK_MAGIC_BUSY;
  db->nDb = 2;
  db->aDb = db->aDbStatic;
  tarvikHashInit(&db->aFunc, TARVIK_HASH_STRING, 1);
  for (int i = 0; i < 2; i++) {
    tarvikHashInit(&db->aDb[i].tblHash, TARVIK_HASH_STRING, 0);
    tarvikHashInit(&db->aDb[i].idxHash, TARVIK_HASH_STRING, 0);
    tarvikHashInit(&db->aDb[i].trigHash, TARVIK_HASH_STRING, 0);
    tarvikHashInit(&db->aDb[i].aFKey, TARVIK_HASH_STRING, 1);
  }
  if (strcmp(zFilename, ":memory:") == 0) db->temp_store = 2;

  int rc = tarvikBtreeFactory(db, zFilename, 0, 2000, &db->aDb[0].pBt);
  if (rc != TARVIK_OK) {
    if (rc == TARVIK_NOMEM || tarvik_malloc_failed) {
      tarvikSetString(pzErrMsg, tarvik_error_string(TARVIK_NOMEM), (char *)nullptr);
    } else {
      tarvikSetString(pzErrMsg, "unable to open database: ", zFilename, (char *)nullptr);
    }
    tarvikFree(db);
    return nullptr;
  }
  db->aDb[0].zName = (char *)"main";
  db->aDb[1].zName = (char *)"temp";
  tarvikRegisterBuiltinFunctions(db);

  rc = tarvikInit(db, pzErrMsg);
  db->magic = TARVIK_MAGIC_OPEN;
  if (tarvik_malloc_failed) {
    tarvik_close(db);
    if (pzErrMsg) {
      tarvikFree(*pzErrMsg);
      *pzErrMsg = nullptr;
    }
    tarvikSetString(pzErrMsg, tarvik_error_string(TARVIK_NOMEM), (char *)nullptr);
    return nullptr;
  }
  if (rc != TARVIK_OK && rc != TARVIK_BUSY) {
    tarvik_close(db);
    if (pzErrMsg && *pzErrMsg == nullptr) {
      tarvikSetString(pzErrMsg, tarvik_error_string(rc), (char *)nullptr);
    }
    return nullptr;
  }
  /* A busy file is not an error here: the schema is loaded by the first
  ** statement. */
  if (pzErrMsg) {
    tarvikFree(*pzErrMsg);
    *pzErrMsg = nullptr;
  }
  return db;
}

/* want_to_close: 0 no close asked; 1 a close was refused only because
** statements were live, so the connection closes when the last one is
** finalized (or at the next tarvik_close); 2 a close was refused because
** it came while the connection was held or already misused, which is final
** (closing then could free the handle under the call that holds it); 3
** tarvik_finalize is finishing a deferred close. */
void tarvik_close(tarvik *db) {
  if (db == nullptr || db->want_to_close == 3) return;
  if (db->want_to_close == 1) {
    /* Refused before while statements were live; no call can be holding
    ** the connection since (every call fails in this state). */
    if (db->pVdbe == nullptr) closeConnection(db);
    return;
  }
  if (db->want_to_close == 2) {
    tarvikSafetyOn(db); /* marks the misuse */
    return;
  }
  bool wasOpen = db->magic == TARVIK_MAGIC_OPEN;
  db->want_to_close = 1;
  if (tarvikSafetyCheck(db)) {
    if (!wasOpen) db->want_to_close = 2;
    db->flags |= TARVIK_Interrupt;
    return;
  }
  if (tarvikSafetyOn(db)) {
    db->want_to_close = 2;
    return;
  }
  closeConnection(db);
}

/* ---------------------------------------------------------------- compile, step, finalize */

int tarvik_compile(tarvik *db, const char *zSql, const char **pzTail, tarvik_vm **ppVm,
                   char **pzErrMsg) {
  if (pzErrMsg) *pzErrMsg = nullptr;
  if (ppVm) *ppVm = nullptr;
  if (pzTail) *pzTail = zSql;
  if (db == nullptr || tarvikSafetyOn(db)) {
    setMisuse(pzErrMsg);
    return TARVIK_MISUSE;
  }
  if (zSql == nullptr) zSql = "";
  if (db->init.busy == 0) {
    if ((db->flags & TARVIK_Initialized) == 0) {
      int rc;
      int cnt = 1;
      while ((rc = tarvikInit(db, pzErrMsg)) == TARVIK_BUSY && db->xBusyCallback &&
             db->xBusyCallback(db->pBusyArg, "", cnt++) != 0) {
        if (pzErrMsg) {
          tarvikFree(*pzErrMsg);
          *pzErrMsg = nullptr;
        }
      }
      if (rc != TARVIK_OK) {
        if (pzErrMsg && *pzErrMsg == nullptr) {
          tarvikSetString(pzErrMsg, tarvik_error_string(rc), (char *)nullptr);
        }
        tarvikSafetyOff(db);
        return rc;
      }
      if (pzErrMsg) {
        tarvikFree(*pzErrMsg);
        *pzErrMsg = nullptr;
      }
    }
    if (db->file_format < 3) {
      tarvikSafetyOff(db);
      tarvikSetString(pzErrMsg, "obsolete database file format", (char *)nullptr);
      return TARVIK_ERROR;
    }
  }
  if (db->pVdbe == nullptr) db->nChange = 0;

  Parse sParse{};
  sParse.db = db;
  tarvikRunParser(&sParse, zSql, pzErrMsg);

  if (db->xTrace) {
    /* The trace sees this statement's text only, when it can be cut out. */
    char *zCopy = nullptr;
    if (sParse.zTail && sParse.zTail > zSql && *sParse.zTail != 0) {
      zCopy = tarvikStrNDup(zSql, (int)(sParse.zTail - zSql));
    }
    db->xTrace(db->pTraceArg, zCopy ? zCopy : zSql);
    tarvikFree(zCopy);
  }

  if (tarvik_malloc_failed) {
    if (pzErrMsg) {
      tarvikFree(*pzErrMsg);
      *pzErrMsg = nullptr;
    }
    tarvikSetString(pzErrMsg, tarvik_error_string(TARVIK_NOMEM), (char *)nullptr);
    sParse.rc = TARVIK_NOMEM;
    tarvikRollbackAll(db);
    tarvikResetInternalSchema(db, 0);
    db->flags &= ~TARVIK_InTrans;
  }
  if (sParse.rc == TARVIK_DONE) sParse.rc = TARVIK_OK;
  if (sParse.rc == TARVIK_OK && sParse.pVdbe && sParse.pVdbe->magic != VDBE_MAGIC_RUN) {
    /* Making the program ready failed (out of memory, a jump outside the
    ** program): it was left halted with its error, which is this compile's
    ** result; stepping it would only say misuse. */
    sParse.rc = tarvikVdbeFinalize(sParse.pVdbe, pzErrMsg);
    sParse.pVdbe = nullptr;
    if (sParse.rc == TARVIK_OK) sParse.rc = TARVIK_INTERNAL;
  }
  if (sParse.rc != TARVIK_OK && pzErrMsg && *pzErrMsg == nullptr) {
    tarvikSetString(pzErrMsg, tarvik_error_string(sParse.rc), (char *)nullptr);
  }
  if (sParse.rc == TARVIK_SCHEMA) tarvikResetInternalSchema(db, 0);
  /* A failed compile hands out no program: the caller, seeing the error,
  ** would never finalize it, and a live program blocks tarvik_close. */
  if (sParse.rc != TARVIK_OK && sParse.pVdbe) {
    tarvikVdbeDelete(sParse.pVdbe);
    sParse.pVdbe = nullptr;
  }
  if (ppVm) {
    *ppVm = sParse.pVdbe;
  } else if (sParse.pVdbe) {
    tarvikVdbeDelete(sParse.pVdbe);
  }
  if (pzTail) *pzTail = sParse.zTail ? sParse.zTail : zSql;
  if (tarvikSafetyOff(db)) {
    if (ppVm && *ppVm) {
      tarvikVdbeDelete(*ppVm);
      *ppVm = nullptr;
    }
    if (pzErrMsg) {
      tarvikFree(*pzErrMsg);
      *pzErrMsg = nullptr;
    }
    setMisuse(pzErrMsg);
    return TARVIK_MISUSE;
  }
  return sParse.rc;
}


}  // extern "C"

extern "C" {

int tarvik_step(tarvik_vm *pVm, int *pN, const char ***pazValue, const char ***pazColName) {
  if (pVm == nullptr || pVm->magic != VDBE_MAGIC_RUN) return TARVIK_MISUSE;
  tarvik *db = pVm->db;
  if (tarvikSafetyOn(db)) {
    pVm->rc = TARVIK_MISUSE;
    return TARVIK_MISUSE;
  }
  int rc = pVm->explain ? tarvikVdbeList(pVm) : tarvikVdbeExec(pVm);
  if (rc == TARVIK_ROW || rc == TARVIK_DONE) {
    if (pN) *pN = pVm->nResColumn;
    if (pazColName) *pazColName = pVm->azColName;
  } else {
    if (pN) *pN = 0;
    if (pazColName) *pazColName = nullptr;
  }
  if (pazValue) *pazValue = rc == TARVIK_ROW ? pVm->azResColumn : nullptr;
  if (tarvikSafetyOff(db)) return TARVIK_MISUSE;
  return rc;
}

int tarvik_finalize(tarvik_vm *pVm, char **pzErrMsg) {
  if (pVm == nullptr) {
    setMisuse(pzErrMsg);
    return TARVIK_MISUSE;
  }
  tarvik *db = pVm->db;
  bool closing = pVm->pPrev == nullptr && pVm->pNext == nullptr && db->want_to_close == 1 &&
                 (pVm->magic == VDBE_MAGIC_RUN || pVm->magic == VDBE_MAGIC_HALT);
  /* The close asked for while statements were live happens here, after the
  ** last one is gone; meanwhile a close attempted from inside the finalize
  ** does nothing, so the handle is freed exactly once. */
  if (closing) db->want_to_close = 3;
  int rc = tarvikVdbeFinalize(pVm, pzErrMsg);
  if (closing) {
    db->want_to_close = 1;
    if (db->pVdbe == nullptr) {
      closeConnection(db);
    }
  }
  return rc;
}

int tarvik_reset(tarvik_vm *pVm, char **pzErrMsg) {
  int rc = tarvikVdbeReset(pVm, pzErrMsg);
  if (pVm && rc != TARVIK_MISUSE) tarvikVdbeMakeReady(pVm, -1, 0);
  return rc;
}

/* ---------------------------------------------------------------- exec */

int tarvik_exec(tarvik *db, const char *zSql, tarvik_callback xCallback, void *pArg,
                char **pzErrMsg) {
  if (pzErrMsg) *pzErrMsg = nullptr;
  if (zSql == nullptr) return TARVIK_OK;
  int rc = TARVIK_OK;
  int nChange = 0; /* rows changed by the earlier statements of this call */
  int nRetry = 0;
  while (rc == TARVIK_OK && zSql[0]) {
    tarvik_vm *pVm = nullptr;
    const char *zLeftover = nullptr;
    rc = tarvik_compile(db, zSql, &zLeftover, &pVm, pzErrMsg);
    if (rc != TARVIK_OK) return rc;
    if (pVm == nullptr) {
      /* Only white space and comments were left, or a statement that needs
      ** no program: go on with whatever follows it. */
      if (zLeftover == nullptr || zLeftover == zSql) break;
      zSql = zLeftover;
      while (isspace((unsigned char)zSql[0])) zSql++;
      continue;
    }
    db->nChange += nChange;

    int nCol = 0;
    const char **azVals = nullptr;
    const char **azCols = nullptr;
    int nRow = 0;
    for (;;) {
      rc = tarvik_step(pVm, &nCol, &azVals, &azCols);
      if (rc != TARVIK_ROW) break;
      nRow++;
      if (xCallback == nullptr) continue;
      tarvikSafetyOn(db);
      int stop = xCallback(pArg, nCol, (char **)azVals, (char **)azCols);
      if (tarvikSafetyOff(db)) {
        /* The callback called back into this connection. */
        tarvikVdbeFinalize(pVm, nullptr);
        setMisuse(pzErrMsg);
        return TARVIK_MISUSE;
      }
      if (stop) {
        tarvikVdbeFinalize(pVm, nullptr);
        return TARVIK_ABORT;
      }
    }
    if (rc == TARVIK_DONE && nRow == 0 && (db->flags & TARVIK_NullCallback) && xCallback) {
      tarvikSafetyOn(db);
      xCallback(pArg, nCol, nullptr, (char **)azCols);
      if (tarvikSafetyOff(db)) {
        tarvikVdbeFinalize(pVm, nullptr);
        setMisuse(pzErrMsg);
        return TARVIK_MISUSE;
      }
    }

    if (rc == TARVIK_MISUSE) {
      /* The connection was misused while the statement ran (a callback of
      ** the machine called back into it): the run's own result does not
      ** count. */
      tarvikVdbeFinalize(pVm, nullptr);
      setMisuse(pzErrMsg);
      return TARVIK_MISUSE;
    }
    rc = tarvikVdbeFinalize(pVm, pzErrMsg);
    if (rc == TARVIK_SCHEMA && nRetry < 2) {
      nRetry++;
      rc = TARVIK_OK;
      if (pzErrMsg) {
        tarvikFree(*pzErrMsg);
        *pzErrMsg = nullptr;
      }
      continue;
    }
    if (db->pVdbe == nullptr) nChange = db->nChange;
    nRetry = 0;
    zSql = zLeftover;
    while (isspace((unsigned char)zSql[0])) zSql++;
  }
  return rc;
}

/* ---------------------------------------------------------------- settings and counters */

int tarvik_last_insert_rowid(tarvik *db) { return db->lastRowid; }
int tarvik_changes(tarvik *db) { return db->nChange; }
int tarvik_last_statement_changes(tarvik *db) { return db->lsChange; }

/* Only sets a flag: safe from any callback of the connection. */
void tarvik_interrupt(tarvik *db) {
  if (db) db->flags |= TARVIK_Interrupt;
}

void tarvik_busy_handler(tarvik *db, int (*xBusy)(void *, const char *, int), void *pArg) {
  db->xBusyCallback = xBusy;
  db->pBusyArg = pArg;
}

/* Waits one second per refused lock while (count + 1) seconds stay within
** the timeout: 5000 ms waits four times, anything below 2000 ms not at
** all. */
static int defaultBusyCallback(void *pTimeout, const char *, int count) {
  i64 timeout = (i64)(intptr_t)pTimeout;
  if (((i64)count + 1) * 1000 > timeout) return 0;
  tarvikOsSleep(1000);
  return 1;
}

void tarvik_busy_timeout(tarvik *db, int ms) {
  if (ms > 0) {
    tarvik_busy_handler(db, defaultBusyCallback, (void *)(intptr_t)ms);
  } else {
    tarvik_busy_handler(db, nullptr, nullptr);
  }
}

void tarvik_progress_handler(tarvik *db, int nOps, int (*xProgress)(void *), void *pArg) {
  if (nOps > 0) {
    db->xProgress = xProgress;
    db->nProgressOps = nOps;
    db->pProgressArg = pArg;
  } else {
    db->xProgress = nullptr;
    db->nProgressOps = 0;
    db->pProgressArg = nullptr;
  }
}

void *tarvik_trace(tarvik *db, void (*xTrace)(void *, const char *), void *pArg) {
  void *pOld = db->pTraceArg;
  db->xTrace = xTrace;
  db->pTraceArg = pArg;
  return pOld;
}

void *tarvik_commit_hook(tarvik *db, int (*xCommit)(void *), void *pArg) {
  void *pOld = db->pCommitArg;
  db->xCommitCallback = xCommit;
  db->pCommitArg = pArg;
  return pOld;
}

}  // extern "C"

void tarvikRollbackAll(tarvik *db) {
  for (int i = 0; i < db->nDb; i++) {
    if (db->aDb[i].pBt) tarvikBtreeRollback(db->aDb[i].pBt);
    db->aDb[i].inTrans = 0;
  }
  tarvikResetInternalSchema(db, 0);
}

/* ---------------------------------------------------------------- safety
** Every public routine that works on a connection brackets its work with
** tarvikSafetyOn/Off.  Finding the connection busy (re-entry from a
** callback, or two threads at once) or in the error state is misuse, which
** is final: the handle stays in the error state and any running program
** stops at its next interrupt check. */

static void safetyMisuse(tarvik *db) {
  db->magic = TARVIK_MAGIC_ERROR;
  db->flags |= TARVIK_Interrupt;
}

int tarvikSafetyOn(tarvik *db) {
  if (db->magic == TARVIK_MAGIC_OPEN) {
    db->magic = TARVIK_MAGIC_BUSY;
    return 0;
  }
  if (db->magic == TARVIK_MAGIC_BUSY || db->magic == TARVIK_MAGIC_ERROR || db->want_to_close) {
    safetyMisuse(db);
  }
  return 1;
}

int tarvikSafetyOff(tarvik *db) {
  if (db->magic == TARVIK_MAGIC_BUSY) {
    db->magic = TARVIK_MAGIC_OPEN;
    return 0;
  }
  if (db->magic == TARVIK_MAGIC_OPEN || db->magic == TARVIK_MAGIC_ERROR || db->want_to_close) {
    safetyMisuse(db);
  }
  return 1;
}

int tarvikSafetyCheck(tarvik *db) {
  if (db->pVdbe != nullptr) {
    db->magic = TARVIK_MAGIC_ERROR;
    return 1;
  }
  return 0;
}

/* ---------------------------------------------------------------- backend factory
** The one place that decides where a database lives.  A temporary database
** (no name) follows the connection's temp_store: 2 keeps it in memory, 0
** (the default) and 1 put it in an anonymous temporary file; other values
** count as memory.  ":memory:" is always in memory. */

int tarvikBtreeFactory(tarvik *db, const char *zFilename, int omitJournal, int nCache,
                       Btree **ppBtree) {
  tvAssert(ppBtree != nullptr);
  *ppBtree = nullptr;
  if (zFilename == nullptr) {
    int location = db && db->temp_store != 0 ? db->temp_store : 1;
    if (location == 1) return tarvikBtreeOpen(nullptr, omitJournal, nCache, ppBtree);
    return tarvikRbtreeOpen(nullptr, 0, 0, ppBtree);
  }
  if (strcmp(zFilename, ":memory:") == 0) return tarvikRbtreeOpen(nullptr, 0, 0, ppBtree);
  return tarvikBtreeOpen(zFilename, omitJournal, nCache, ppBtree);
}
