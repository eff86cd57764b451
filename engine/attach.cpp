/*
** ATTACH and DETACH.  PLACEHOLDERS: the generators are stubs until the
** ATTACH code exists.
*/
#include "genstub.h"
#include "tarvikInt.h"

void tarvikAttach(Parse *, const Token *pFilename, const Token *pDbname, const Token *pKey) {
  GEN_RECORD("Attach", pFilename, pDbname, pKey);
}
void tarvikDetach(Parse *, const Token *pDbname) { GEN_RECORD("Detach", pDbname); }
