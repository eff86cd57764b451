/*
** Triggers: the steps of a trigger body, and CREATE/DROP TRIGGER.
**
** The step constructors are real: each step takes ownership of its trees
** and keeps an owned copy of its target name.  (Copies of the trees, so
** that nothing points into the SQL text, come with trigger installation.)
** PLACEHOLDERS: tarvikBeginTrigger, tarvikFinishTrigger, tarvikDropTrigger
** and tarvikDeleteTrigger are stubs until the trigger code exists; they
** free what they are given.
*/
#include "genstub.h"
#include "tarvikInt.h"

namespace {

TriggerStep *newStep(int op, const Token *pTarget) {
  TriggerStep *p = (TriggerStep *)tarvikMalloc(sizeof(TriggerStep));
  if (p == nullptr) return nullptr;
  p->op = op;
  p->orconf = OE_Default;
  if (pTarget) {
    char *z = tarvikStrNDup(pTarget->z, (int)pTarget->n);
    if (z == nullptr) {
      tarvikFree(p);
      return nullptr;
    }
    p->target.z = z;
    p->target.dyn = 1;
    p->target.n = pTarget->n;
  }
  return p;
}

}  // namespace

TriggerStep *tarvikTriggerSelectStep(Select *pSelect) {
  GEN_RECORD("TriggerSelectStep", pSelect);
  TriggerStep *p = newStep(TK_SELECT, nullptr);
  if (p == nullptr) {
    tarvikSelectDelete(pSelect);
    return nullptr;
  }
  p->pSelect = pSelect;
  return p;
}

TriggerStep *tarvikTriggerInsertStep(const Token *pTableName, IdList *pColumn, ExprList *pEList,
                                     Select *pSelect, int orconf) {
  GEN_RECORD("TriggerInsertStep", pTableName, pColumn, pEList, pSelect, orconf);
  tvAssert(pEList == nullptr || pSelect == nullptr);
  TriggerStep *p = newStep(TK_INSERT, pTableName);
  if (p == nullptr) {
    tarvikIdListDelete(pColumn);
    tarvikExprListDelete(pEList);
    tarvikSelectDelete(pSelect);
    return nullptr;
  }
  p->pIdList = pColumn;
  p->pExprList = pEList;
  p->pSelect = pSelect;
  p->orconf = orconf;
  return p;
}

TriggerStep *tarvikTriggerUpdateStep(const Token *pTableName, ExprList *pEList, Expr *pWhere,
                                     int orconf) {
  GEN_RECORD("TriggerUpdateStep", pTableName, pEList, pWhere, orconf);
  TriggerStep *p = newStep(TK_UPDATE, pTableName);
  if (p == nullptr) {
    tarvikExprListDelete(pEList);
    tarvikExprDelete(pWhere);
    return nullptr;
  }
  p->pExprList = pEList;
  p->pWhere = pWhere;
  p->orconf = orconf;
  return p;
}

TriggerStep *tarvikTriggerDeleteStep(const Token *pTableName, Expr *pWhere) {
  GEN_RECORD("TriggerDeleteStep", pTableName, pWhere);
  TriggerStep *p = newStep(TK_DELETE, pTableName);
  if (p == nullptr) {
    tarvikExprDelete(pWhere);
    return nullptr;
  }
  p->pWhere = pWhere;
  return p;
}

/* Deletes the whole chain. */
void tarvikDeleteTriggerStep(TriggerStep *p) {
  while (p) {
    TriggerStep *pNext = p->pNext;
    if (p->target.dyn) tarvikFree((void *)p->target.z);
    tarvikExprDelete(p->pWhere);
    tarvikExprListDelete(p->pExprList);
    tarvikSelectDelete(p->pSelect);
    tarvikIdListDelete(p->pIdList);
    tarvikFree(p);
    p = pNext;
  }
}

void tarvikBeginTrigger(Parse *, const Token *pName, int tr_tm, int op, IdList *pColumns,
                        SrcList *pTableName, int foreach, Expr *pWhen, int isTemp) {
  GEN_RECORD("BeginTrigger", pName, tr_tm, op, pColumns, pTableName, foreach, pWhen, isTemp);
  tarvikIdListDelete(pColumns);
  tarvikSrcListDelete(pTableName);
  tarvikExprDelete(pWhen);
}

void tarvikFinishTrigger(Parse *, TriggerStep *pStepList, const Token *pAll) {
  GEN_RECORD("FinishTrigger", pStepList, pAll);
  tarvikDeleteTriggerStep(pStepList);
}

void tarvikDropTrigger(Parse *, SrcList *pName) {
  GEN_RECORD("DropTrigger", pName);
  tarvikSrcListDelete(pName);
}

/* Nothing builds a Trigger yet, so there is never one to delete. */
void tarvikDeleteTrigger(Trigger *p) {
  (void)p;
  tvAssert(p == nullptr);
}
