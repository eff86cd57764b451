/*
** DELETE.  PLACEHOLDER: the generator is a stub until the DELETE code
** exists; it frees what it is given.
*/
#include "genstub.h"
#include "tarvikInt.h"

void tarvikDeleteFrom(Parse *, SrcList *pTabList, Expr *pWhere) {
  GEN_RECORD("DeleteFrom", pTabList, pWhere);
  tarvikSrcListDelete(pTabList);
  tarvikExprDelete(pWhere);
}
