/*
** Private to the row-changing statements (insert.cpp, update.cpp,
** delete.cpp): the services they call in modules that are not in the tree
** yet.  Each is declared weak, so these statements link and are tested
** before those modules exist; each use checks for presence and falls back
** to what an absent module means:
**
**   triggers     absent: no trigger ever fires.
**   authorizer   absent: every action is allowed.
**
** When a module lands, its declarations in tarvikInt.h take over and the
** matching lines here (and the presence checks) go.
*/
#ifndef TARVIK_DML_H
#define TARVIK_DML_H

#include "tarvikInt.h"
#include "vdbe.h"

int tarvikTriggersExist(Parse *pParse, Trigger *pTrigger, int op, int tr_tm, int foreach,
                        ExprList *pChanges) __attribute__((weak));
int tarvikCodeRowTrigger(Parse *pParse, int op, ExprList *pChanges, int tr_tm, Table *pTab,
                         int newIdx, int oldIdx, int orconf, int ignoreJump) __attribute__((weak));

int tarvikAuthCheck(Parse *pParse, int code, const char *zArg1, const char *zArg2,
                    const char *zArg3) __attribute__((weak));

/* Authorizer action codes (public values, until the public header has them). */
#ifndef TARVIK_DELETE
#define TARVIK_DELETE 9
#endif
#ifndef TARVIK_INSERT
#define TARVIK_INSERT 18
#endif
#ifndef TARVIK_UPDATE
#define TARVIK_UPDATE 23
#endif

namespace dml {

inline bool failed(const Parse *pParse) { return pParse->nErr != 0 || tarvik_malloc_failed != 0; }

inline int triggersExist(Parse *pParse, Table *pTab, int op, int tr_tm, ExprList *pChanges) {
  if (tarvikTriggersExist == nullptr) return 0;
  return tarvikTriggersExist(pParse, pTab->pTrigger, op, tr_tm, TK_ROW, pChanges);
}

inline int codeRowTrigger(Parse *pParse, int op, ExprList *pChanges, int tr_tm, Table *pTab,
                          int newIdx, int oldIdx, int orconf, int ignoreJump) {
  if (tarvikCodeRowTrigger == nullptr) return 0;
  return tarvikCodeRowTrigger(pParse, op, pChanges, tr_tm, pTab, newIdx, oldIdx, orconf,
                              ignoreJump);
}

inline int authCheck(Parse *pParse, int code, const char *zArg1, const char *zArg2,
                     const char *zArg3) {
  if (tarvikAuthCheck == nullptr) return TARVIK_OK;
  return tarvikAuthCheck(pParse, code, zArg1, zArg2, zArg3);
}

/* Code other modules emit into these programs (expressions, WHERE loops,
** SELECTs) is bracketed by foreignBegin/foreignEnd.  In the test build the
** address ranges are recorded, so tests can show each range as one line
** and check this module's code whatever those modules emit. */
inline int foreignBegin(Vdbe *v) { return tarvikVdbeCurrentAddr(v); }
#ifdef TARVIK_TEST
void foreignEnd(Vdbe *v, int iStart, const char *zKind);
#else
inline void foreignEnd(Vdbe *, int, const char *) {}
#endif

/* tarvikExprCode, bracketed. */
inline void codeExpr(Parse *pParse, Vdbe *v, Expr *pExpr) {
  int a = foreignBegin(v);
  tarvikExprCode(pParse, pExpr);
  foreignEnd(v, a, "Expr");
}

}  // namespace dml

#ifdef TARVIK_TEST
/* The ranges recorded for the program tarvikTestForeignVdbe (cleared when
** another program is seen). */
struct TarvikForeignSpan {
  int iStart, iEnd;
  const char *zKind;
};
constexpr int TARVIK_TEST_MAX_SPANS = 256;
inline TarvikForeignSpan tarvikTestForeignSpans[TARVIK_TEST_MAX_SPANS];
inline int tarvikTestNForeignSpan = 0;
inline const Vdbe *tarvikTestForeignVdbe = nullptr;
#endif

#endif /* TARVIK_DML_H */
