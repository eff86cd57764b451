/*
** PLACEHOLDER support for the code-generator stubs (build.cpp, insert.cpp,
** trigger.cpp, ...): until a generator exists, its entry point only frees
** what it is given.  In the test build each stub first reports the call and
** its arguments to a hook, so tests can see what the parser hands on.
**
** Generators that exist begin with GEN_INTERCEPT instead: while a test has
** the hook installed, the call is recorded and the generator then behaves
** as its stub did (it frees what it was given and does nothing else), so
** the parser's tests see the calls without needing a schema.  Outside the
** test build GEN_INTERCEPT is always false.
*/
#ifndef TARVIK_GENSTUB_H
#define TARVIK_GENSTUB_H

#include "tarvikInt.h"

#ifdef TARVIK_TEST
/* One argument of a recorded call. */
struct TarvikGenArg {
  char kind; /* 'i' int, 't' Token, 'e' Expr, 'E' ExprList, 's' SrcList, 'd' IdList,
             ** 'S' Select, 'T' TriggerStep */
  int i;
  const void *p;
};
inline TarvikGenArg tarvikGenArg(int v) { return {'i', v, nullptr}; }
inline TarvikGenArg tarvikGenArg(const Token *p) { return {'t', 0, p}; }
inline TarvikGenArg tarvikGenArg(const Expr *p) { return {'e', 0, p}; }
inline TarvikGenArg tarvikGenArg(const ExprList *p) { return {'E', 0, p}; }
inline TarvikGenArg tarvikGenArg(const SrcList *p) { return {'s', 0, p}; }
inline TarvikGenArg tarvikGenArg(const IdList *p) { return {'d', 0, p}; }
inline TarvikGenArg tarvikGenArg(const Select *p) { return {'S', 0, p}; }
inline TarvikGenArg tarvikGenArg(const TriggerStep *p) { return {'T', 0, p}; }

/* Set by tests; called with the generator's name (without the prefix). */
inline void (*tarvikTestGenHook)(const char *zName, const TarvikGenArg *aArg, int nArg) = nullptr;

template <class... A>
inline void tarvikGenRecord(const char *zName, A... args) {
  if (tarvikTestGenHook) {
    const TarvikGenArg aArg[sizeof...(args) + 1] = {tarvikGenArg(args)...};
    tarvikTestGenHook(zName, aArg, (int)sizeof...(args));
  }
}
#define GEN_RECORD(...) tarvikGenRecord(__VA_ARGS__)

template <class... A>
inline bool tarvikGenIntercept(const char *zName, A... args) {
  if (tarvikTestGenHook == nullptr) return false;
  tarvikGenRecord(zName, args...);
  return true;
}
#define GEN_INTERCEPT(...) tarvikGenIntercept(__VA_ARGS__)
#else
template <class... A>
inline void tarvikGenIgnore(A...) {}
#define GEN_RECORD(...) tarvikGenIgnore(__VA_ARGS__)
#define GEN_INTERCEPT(...) false
#endif

#endif /* TARVIK_GENSTUB_H */
