/*
** PLACEHOLDERS for what the connection code needs from modules that are
** not in the build yet: the schema objects and their bookkeeping, the
** built-in function registry.  Each has a weak
** stand-in in conn_pending.cpp that the real definition overrides.  Remove
** both files when those modules arrive.
*/
#ifndef TARVIK_CONN_PENDING_H
#define TARVIK_CONN_PENDING_H

#include "tarvikInt.h"

struct Index {
  int tnum;
};
struct Table {
  u8 readOnly;
  Trigger *pTrigger;
};

Table *tarvikFindTable(tarvik *db, const char *zName, const char *zDb);
Index *tarvikFindIndex(tarvik *db, const char *zName, const char *zDb);
void tarvikResetInternalSchema(tarvik *db, int iDb);
void tarvikCommitInternalChanges(tarvik *db);
void tarvikRollbackInternalChanges(tarvik *db);

#endif /* TARVIK_CONN_PENDING_H */
