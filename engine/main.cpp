/*
** The connection frame: version texts, result-code messages and the safety
** protocol that turns overlapping or out-of-sequence use into MISUSE.
*/
#include "btree.h"
#include "tarvikInt.h"

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

int tarvikBtreeFactory(const tarvik *db, const char *zFilename, int omitJournal, int nCache,
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
