/*
** The execution side of the machine.  The instruction loop itself
** (tarvikVdbeExec) is not built yet; what is here already is the interface
** through which SQL functions, built-in and user-defined, hand back their
** results while the loop calls them.
**
** A scalar function (and an aggregate's finalize) writes its result into
** the context's value `s`: texts of up to 30 bytes go into the value's
** inline buffer, longer ones into a new allocation the value owns.  An
** aggregate's step function produces no result; it keeps its state in the
** block tarvik_aggregate_context hands out, which lives in the group cell's
** inline buffer (pAggBuf) when it is small enough, else on the heap, owned
** by the aggregator either way.
*/
#include "vdbeInt.h"

/* Texts up to this many bytes (without the NUL) stay in the inline buffer. */
constexpr int MAX_SHORT_RESULT = 30;

extern "C" {

char *tarvik_set_result_string(tarvik_func *p, const char *zResult, int n) {
  tvAssert(p != nullptr && !p->isStep);
  Mem *pS = &p->s;
  char *zOld = (pS->flags & MEM_Dyn) ? pS->z : nullptr;
  if (zResult == nullptr) {
    tarvikFree(zOld);
    pS->z = nullptr;
    pS->flags = MEM_Null;
    return nullptr;
  }
  if (n < 0) {
    size_t len = strlen(zResult);
    n = len >= (size_t)INT32_MAX ? INT32_MAX : (int)len;
  }
  /* The new text is built before the old one is freed: the caller may
  ** pass the current result back in. */
  if (n <= MAX_SHORT_RESULT) {
    memmove(pS->zShort, zResult, (size_t)n);
    pS->zShort[n] = 0;
    pS->z = pS->zShort;
    pS->flags = MEM_Str | MEM_Short;
  } else {
    char *zNew = n == INT32_MAX ? nullptr : (char *)tarvikMallocRaw(n + 1);
    if (zNew == nullptr) {
      if (n == INT32_MAX) tarvik_malloc_failed++;
      tarvikFree(zOld);
      pS->z = nullptr;
      pS->flags = MEM_Null;
      return nullptr;
    }
    memcpy(zNew, zResult, (size_t)n);
    zNew[n] = 0;
    pS->z = zNew;
    pS->flags = MEM_Str | MEM_Dyn;
  }
  pS->n = n + 1;
  tarvikFree(zOld);
  return pS->z;
}

void tarvik_set_result_int(tarvik_func *p, int iResult) {
  tvAssert(p != nullptr);
  tarvikMemRelease(&p->s);
  p->s.i = iResult;
  p->s.flags = MEM_Int;
}

void tarvik_set_result_double(tarvik_func *p, double rResult) {
  tvAssert(p != nullptr);
  tarvikMemRelease(&p->s);
  p->s.r = rResult;
  p->s.flags = MEM_Real;
}

/* From a step function the message cannot become the result (a step has
** none), so it is kept aside in the context for the statement to fail
** with. */
void tarvik_set_result_error(tarvik_func *p, const char *zMsg, int n) {
  tvAssert(p != nullptr);
  if (p->isStep) {
    char *zCopy = nullptr;
    if (zMsg) zCopy = n < 0 ? tarvikStrDup(zMsg) : tarvikStrNDup(zMsg, n);
    tarvikFree(p->zErrMsg);
    p->zErrMsg = zCopy;
  } else {
    tarvik_set_result_string(p, zMsg, n);
  }
  p->isError = 1;
}

void *tarvik_user_data(tarvik_func *p) {
  tvAssert(p != nullptr && p->pFunc != nullptr);
  return p->pFunc->pUserData;
}

void *tarvik_aggregate_context(tarvik_func *p, int nByte) {
  tvAssert(p != nullptr && p->pFunc != nullptr && p->pFunc->xStep != nullptr);
  if (p->pAgg == nullptr) {
    if (nByte <= NBFS && p->pAggBuf != nullptr) {
      memset(p->pAggBuf, 0, NBFS);
      p->pAgg = p->pAggBuf;
    } else {
      p->pAgg = tarvikMalloc(nByte);
    }
  }
  return p->pAgg;
}

int tarvik_aggregate_count(tarvik_func *p) {
  tvAssert(p != nullptr && p->pFunc != nullptr && p->pFunc->xStep != nullptr);
  return p->cnt;
}

}  // extern "C"
