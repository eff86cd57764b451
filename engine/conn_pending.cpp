/*
** PLACEHOLDERS (see conn_pending.h): weak stand-ins, overridden by the real
** definitions as their modules arrive.  Without schema objects nothing is
** found and schema resets only clear the loaded flags.
*/
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
