/*
** UPDATE.  PLACEHOLDER: the generator is a stub until the UPDATE code
** exists; it frees what it is given.
*/
#include "genstub.h"
#include "tarvikInt.h"

void tarvikUpdate(Parse *, SrcList *pTabList, ExprList *pChanges, Expr *pWhere, int onError) {
  GEN_RECORD("Update", pTabList, pChanges, pWhere, onError);
  tarvikSrcListDelete(pTabList);
  tarvikExprListDelete(pChanges);
  tarvikExprDelete(pWhere);
}
