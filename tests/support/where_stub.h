// A stand-in for the WHERE loops, for tests that only look at the code
// around them: it emits one Noop for the loop head and one for its end and
// remembers how it was called.  The definitions are weak, so a program that
// also links the real WHERE loops gets those (listings show either as
// "<WhereBegin>" and "<WhereEnd>").
//
// Include it in exactly one source file of a test program.  It is kept out
// of the shared support library on purpose: there it would be picked up in
// place of the real loops by any test that calls them.
#ifndef TARVIK_TEST_WHERE_STUB_H
#define TARVIK_TEST_WHERE_STUB_H

#include "tarvikInt.h"
#include "vdbe.h"

namespace tarviktest {
struct WhereStubCall {
  int nCalls = 0;
  int pushKey = -1;
  bool hadWhere = false;
};
inline WhereStubCall whereStubCall;
}  // namespace tarviktest

struct WhereInfo;

__attribute__((weak)) WhereInfo *tarvikWhereBegin(Parse *pParse, SrcList *pTabList, Expr *pWhere,
                                                  int pushKey, ExprList **) {
  tvAssert(pTabList->nSrc == 1);
  (void)pTabList;
  tarviktest::whereStubCall.nCalls++;
  tarviktest::whereStubCall.pushKey = pushKey;
  tarviktest::whereStubCall.hadWhere = pWhere != nullptr;
  void *p = tarvikMalloc(sizeof(Vdbe *));
  if (p == nullptr) return nullptr;
  tarvikVdbeAddOp(pParse->pVdbe, OP_Noop, 0, 0);
  *(Vdbe **)p = pParse->pVdbe;
  return (WhereInfo *)p;
}

__attribute__((weak)) void tarvikWhereEnd(WhereInfo *pWInfo) {
  tarvikVdbeAddOp(*(Vdbe **)pWInfo, OP_Noop, 0, 0);
  tarvikFree(pWInfo);
}

#endif
