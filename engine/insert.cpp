/*
** INSERT.  PLACEHOLDER: the generator is a stub until the INSERT code
** exists; it frees what it is given.
*/
#include "genstub.h"
#include "tarvikInt.h"

void tarvikInsert(Parse *, SrcList *pTabList, ExprList *pList, Select *pSelect, IdList *pColumn,
                  int onError) {
  GEN_RECORD("Insert", pTabList, pList, pSelect, pColumn, onError);
  tarvikSrcListDelete(pTabList);
  tarvikExprListDelete(pList);
  tarvikSelectDelete(pSelect);
  tarvikIdListDelete(pColumn);
}
