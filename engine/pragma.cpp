/*
** PRAGMA.  PLACEHOLDER: the generator is a stub until the PRAGMA code
** exists.
*/
#include "genstub.h"
#include "tarvikInt.h"

void tarvikPragma(Parse *, const Token *pLeft, const Token *pRight, int minusFlag) {
  GEN_RECORD("Pragma", pLeft, pRight, minusFlag);
}
