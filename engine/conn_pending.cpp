/*
** PLACEHOLDERS (see conn_pending.h): weak stand-ins, overridden by the real
** definitions as their modules arrive.  Without schema objects nothing is
** found; without the execution loop every program halts at once.
*/
#include "btree.h"
#include "conn_pending.h"
#include "vdbeInt.h"

#define TARVIK_WEAK __attribute__((weak))

TARVIK_WEAK Table *tarvikFindTable(tarvik *, const char *, const char *) { return nullptr; }
TARVIK_WEAK Index *tarvikFindIndex(tarvik *, const char *, const char *) { return nullptr; }

TARVIK_WEAK void tarvikResetInternalSchema(tarvik *db, int iDb) {
  db->flags &= ~TARVIK_Initialized;
  for (int i = iDb; i < db->nDb; i++) {
    db->aDb[i].flags &= ~DB_SchemaLoaded;
    if (iDb > 0) break;
  }
  if (iDb == 0) db->flags &= ~TARVIK_InternChanges;
}

TARVIK_WEAK void tarvikCommitInternalChanges(tarvik *db) {
  db->aDb[0].schema_cookie = db->next_cookie;
  db->flags &= ~TARVIK_InternChanges;
}

TARVIK_WEAK void tarvikRollbackInternalChanges(tarvik *db) {
  if (db->flags & TARVIK_InternChanges) tarvikResetInternalSchema(db, 0);
}

TARVIK_WEAK int tarvikVdbeExec(Vdbe *p) {
  if (p->magic != VDBE_MAGIC_RUN) return TARVIK_MISUSE;
  p->rc = TARVIK_OK;
  p->magic = VDBE_MAGIC_HALT;
  return TARVIK_DONE;
}

TARVIK_WEAK int tarvikBtreeFactory(tarvik *db, const char *zFilename, int omitJournal, int nCache,
                                   Btree **ppBtree) {
  if (zFilename == nullptr) {
    int location = db->temp_store == 0 ? 1 : db->temp_store;
    if (location == 1) return tarvikBtreeOpen(nullptr, omitJournal, nCache, ppBtree);
    return tarvikRbtreeOpen(nullptr, 0, 0, ppBtree);
  }
  if (strcmp(zFilename, ":memory:") == 0) return tarvikRbtreeOpen(nullptr, 0, 0, ppBtree);
  return tarvikBtreeOpen(zFilename, omitJournal, nCache, ppBtree);
}
