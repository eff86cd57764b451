/*
** VACUUM.  PLACEHOLDER: the generator is a stub until the VACUUM code
** exists.
*/
#include "genstub.h"
#include "tarvikInt.h"

void tarvikVacuum(Parse *, const Token *pTableName) { GEN_RECORD("Vacuum", pTableName); }
