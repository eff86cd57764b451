/*
** The SQL functions every connection has, and the registry through which
** host programs add their own.
**
** The registry is the connection's aFunc hash: name (case-insensitive,
** copied key) -> chain of FuncDef, one per argument count, newest first.
** The connection owns the definitions; tarvikFreeFunctions releases them
** when the connection closes.  Definitions are changed in place when a name
** is registered again, which is safe because registration is refused while
** any compiled program (which may point at a definition) exists.
**
** Functions receive their arguments as NUL-terminated texts (NULL as a null
** pointer) and answer through the function-context calls; setting no result
** means NULL.  None of the built-ins reports an error of its own.
*/
#include <cctype>
#include <cfloat>
#include <climits>
#include <cstdint>

#include "os.h"
#include "tarvikInt.h"

/* ---------------------------------------------------------------- registry */

static bool hasImplementation(const FuncDef *p) { return p->xFunc || p->xStep; }

FuncDef *tarvikFindFunction(tarvik *db, const char *zName, int nName, int nArg, int createFlag) {
  FuncDef *pFirst = (FuncDef *)tarvikHashFind(&db->aFunc, zName, nName);
  if (pFirst && !createFlag && nArg < 0) {
    for (FuncDef *p = pFirst; p; p = p->pNext) {
      if (hasImplementation(p)) return p;
    }
    return nullptr;
  }
  FuncDef *pMaybe = nullptr; /* an any-count definition, for lookups only */
  FuncDef *p = pFirst;
  while (p && p->nArg != nArg) {
    if (!createFlag && p->nArg < 0 && hasImplementation(p)) pMaybe = p;
    p = p->pNext;
  }
  if (p) {
    /* An exact placeholder hides any any-count definition: that argument
    ** count is meant to be rejected. */
    if (!createFlag && !hasImplementation(p)) return nullptr;
    return p;
  }
  if (!createFlag) return pMaybe;

  p = (FuncDef *)tarvikMalloc((int)sizeof(FuncDef));
  if (p == nullptr) return nullptr;
  p->nArg = (signed char)nArg;
  p->dataType = pFirst ? pFirst->dataType : TARVIK_NUMERIC;
  p->pNext = pFirst;
  /* Replacing the data of an existing name cannot fail; adding a new name
  ** hands the new definition back when it could not be stored. */
  if (tarvikHashInsert(&db->aFunc, zName, nName, p) == p) {
    tarvikFree(p);
    return nullptr;
  }
  return p;
}

void tarvikFreeFunctions(tarvik *db) {
  for (HashElem *e = hashFirst(&db->aFunc); e; e = hashNext(e)) {
    FuncDef *p = (FuncDef *)hashData(e);
    while (p) {
      FuncDef *pNext = p->pNext;
      tarvikFree(p);
      p = pNext;
    }
  }
  tarvikHashClear(&db->aFunc);
}

/* The checks shared by both registration calls; the definition to fill in,
** or null when refused. */
static FuncDef *registerDefinition(tarvik *db, const char *zName, int nArg) {
  if (db == nullptr || zName == nullptr || tarvikSafetyCheck(db)) return nullptr;
  if (nArg < -1 || nArg > 127) return nullptr;
  size_t nName = strlen(zName);
  if (nName > 255) return nullptr;
  return tarvikFindFunction(db, zName, (int)nName, nArg, 1);
}

extern "C" {

int tarvik_create_function(tarvik *db, const char *zName, int nArg,
                           void (*xFunc)(tarvik_func *, int, const char **), void *pUserData) {
  FuncDef *p = registerDefinition(db, zName, nArg);
  if (p == nullptr) return 1;
  p->xFunc = xFunc;
  p->xStep = nullptr;
  p->xFinalize = nullptr;
  p->pUserData = pUserData;
  return 0;
}

int tarvik_create_aggregate(tarvik *db, const char *zName, int nArg,
                            void (*xStep)(tarvik_func *, int, const char **),
                            void (*xFinalize)(tarvik_func *), void *pUserData) {
  FuncDef *p = registerDefinition(db, zName, nArg);
  if (p == nullptr) return 1;
  p->xFunc = nullptr;
  p->xStep = xStep;
  p->xFinalize = xFinalize;
  p->pUserData = pUserData;
  return 0;
}

int tarvik_function_type(tarvik *db, const char *zName, int dataType) {
  if (db == nullptr || zName == nullptr) return 0;
  size_t nName = strlen(zName);
  if (nName > 255) return 0;
  for (FuncDef *p = (FuncDef *)tarvikHashFind(&db->aFunc, zName, (int)nName); p; p = p->pNext) {
    p->dataType = (signed char)dataType;
  }
  return 0;
}

}  // extern "C"

/* ---------------------------------------------------------------- helpers */

/* The user data that selects max over min. */
static void *const kMaxMarker = (void *)(intptr_t)-1;

static bool isContinuation(char c) { return ((unsigned char)c & 0xC0) == 0x80; }

/* An integer argument read as atoi reads it (leading white space, sign,
** digits; anything else ends it), but saturating at the int range instead
** of overflowing; NULL reads as 0. */
static int argToInt(const char *z) {
  if (z == nullptr) return 0;
  while (isspace((unsigned char)*z)) z++;
  bool neg = false;
  if (*z == '-' || *z == '+') neg = *z++ == '-';
  i64 v = 0;
  for (; *z >= '0' && *z <= '9'; z++) {
    v = v * 10 + (*z - '0');
    if (v > (i64)INT_MAX + 1) v = (i64)INT_MAX + 1;
  }
  if (neg) v = -v;
  if (v > INT_MAX) v = INT_MAX;
  return (int)v;
}

/* Steps over n characters (bytes that are not continuation bytes, with the
** continuation bytes between them), then over any continuation bytes that
** follow, so that the result never splits a character. */
static const char *skipChars(const char *z, i64 n) {
  for (; n > 0 && *z; z++) {
    if (!isContinuation(*z)) n--;
  }
  while (isContinuation(*z)) z++;
  return z;
}

/* ---------------------------------------------------------------- scalar functions */

/* min(X, ...) and max(X, ...).  Each value arrives followed by its type
** name; the first value's type chooses numeric or text comparison. */
static void minmaxFunc(tarvik_func *context, int argc, const char **argv) {
  if (argc < 2 || argv[0] == nullptr) return;
  bool isMax = tarvik_user_data(context) == kMaxMarker;
  int (*xCompare)(const char *, const char *) =
      argv[1] && argv[1][0] == 'n' ? tarvikCompare : strcmp;
  const char *zBest = argv[0];
  for (int i = 2; i < argc; i += 2) {
    if (argv[i] == nullptr) return;
    int c = xCompare(argv[i], zBest);
    if (isMax ? c >= 0 : c < 0) zBest = argv[i];
  }
  tarvik_set_result_string(context, zBest, -1);
}

static void typeofFunc(tarvik_func *context, int argc, const char **argv) {
  if (argc < 2) return;
  tarvik_set_result_string(context, argv[1], -1);
}

static void lengthFunc(tarvik_func *context, int, const char **argv) {
  const char *z = argv[0];
  if (z == nullptr) return;
  int len = 0;
  for (; *z; z++) {
    if (!isContinuation(*z)) len++;
  }
  tarvik_set_result_int(context, len);
}

/* substr(X, P, N): N characters from character position P (1-based;
** negative counts from the end).  The arithmetic is done in 64 bits so
** that extreme positions and lengths cannot overflow. */
static void substrFunc(tarvik_func *context, int, const char **argv) {
  const char *z = argv[0];
  if (z == nullptr) return;
  i64 p1 = argToInt(argv[1]);
  i64 p2 = argToInt(argv[2]);
  i64 len = 0;
  for (const char *y = z; *y; y++) {
    if (!isContinuation(*y)) len++;
  }
  if (p1 < 0) {
    p1 += len;
    if (p1 < 0) {
      p2 += p1;
      p1 = 0;
    }
  } else if (p1 > 0) {
    p1--;
  }
  if (p1 + p2 > len) p2 = len - p1;
  if (p2 <= 0) {
    tarvik_set_result_string(context, "", 0);
    return;
  }
  const char *zStart = skipChars(z, p1);
  const char *zEnd = skipChars(zStart, p2);
  tarvik_set_result_string(context, zStart, (int)(zEnd - zStart));
}

static void absFunc(tarvik_func *context, int, const char **argv) {
  const char *z = argv[0];
  if (z == nullptr) return;
  if (z[0] == '-' && z[1] >= '0' && z[1] <= '9') z++;
  tarvik_set_result_string(context, z, -1);
}

/* round(X) and round(X, N).  Formatted by the engine's own printf, which
** rounds halves away from zero and never writes past the buffer: fixed
** notation ends where exponent notation takes over (below 1000 bytes). */
static void roundFunc(tarvik_func *context, int argc, const char **argv) {
  int n = 0;
  if (argc == 2) {
    if (argv[1] == nullptr) return;
    n = argToInt(argv[1]);
    if (n > 30) n = 30;
    if (n < 0) n = 0;
  }
  if (argv[0] == nullptr) return;
  double r = tarvikAtoF(argv[0], nullptr);
  char zBuf[1100];
  tarvik_snprintf((int)sizeof(zBuf), zBuf, "%.*f", n, r);
  tarvik_set_result_string(context, zBuf, -1);
}

/* upper() and lower() change ASCII letters only, in the stored copy. */
static void upperFunc(tarvik_func *context, int, const char **argv) {
  if (argv[0] == nullptr) return;
  char *z = tarvik_set_result_string(context, argv[0], -1);
  if (z == nullptr) return;
  for (; *z; z++) {
    if (*z >= 'a' && *z <= 'z') *z -= 'a' - 'A';
  }
}

static void lowerFunc(tarvik_func *context, int, const char **argv) {
  if (argv[0] == nullptr) return;
  char *z = tarvik_set_result_string(context, argv[0], -1);
  if (z == nullptr) return;
  for (; *z; z++) {
    if (*z >= 'A' && *z <= 'Z') *z += 'a' - 'A';
  }
}

/* coalesce(X, Y, ...) and ifnull(X, Y): the first argument that is not NULL. */
static void ifnullFunc(tarvik_func *context, int argc, const char **argv) {
  for (int i = 0; i < argc; i++) {
    if (argv[i]) {
      tarvik_set_result_string(context, argv[i], -1);
      return;
    }
  }
}

static void randomFunc(tarvik_func *context, int, const char **) {
  int r;
  tarvikRandomness((int)sizeof(r), &r);
  tarvik_set_result_int(context, r);
}

/* like(P, S) and glob(P, S): the pattern comes first. */
static void likeFunc(tarvik_func *context, int, const char **argv) {
  if (argv[0] == nullptr || argv[1] == nullptr) return;
  tarvik_set_result_int(context, tarvikLikeCompare(argv[0], argv[1]));
}

static void globFunc(tarvik_func *context, int, const char **argv) {
  if (argv[0] == nullptr || argv[1] == nullptr) return;
  tarvik_set_result_int(context, tarvikGlobCompare(argv[0], argv[1]));
}

static void nullifFunc(tarvik_func *context, int, const char **argv) {
  if (argv[0] != nullptr && tarvikCompare(argv[0], argv[1]) != 0) {
    tarvik_set_result_string(context, argv[0], -1);
  }
}

static void versionFunc(tarvik_func *context, int, const char **) {
  tarvik_set_result_string(context, tarvik_version, -1);
}

/* quote(X): X as an SQL literal.  Short literals are built on the stack,
** long ones in a temporary allocation. */
static void quoteFunc(tarvik_func *context, int argc, const char **argv) {
  if (argc < 1) return;
  const char *z = argv[0];
  if (z == nullptr) {
    tarvik_set_result_string(context, "NULL", 4);
    return;
  }
  if (tarvikIsNumber(z)) {
    tarvik_set_result_string(context, z, -1);
    return;
  }
  size_t n = 0, nQuote = 0;
  for (; z[n]; n++) {
    if (z[n] == '\'') nQuote++;
  }
  size_t nOut = n + nQuote + 2;
  if (nOut >= (size_t)INT_MAX) {
    tarvik_malloc_failed++;
    return;
  }
  char zStack[200];
  char *zOut = zStack;
  if (nOut >= sizeof(zStack)) {
    zOut = (char *)tarvikMallocRaw((int)nOut + 1);
    if (zOut == nullptr) return;
  }
  size_t j = 0;
  zOut[j++] = '\'';
  for (size_t i = 0; i < n; i++) {
    zOut[j++] = z[i];
    if (z[i] == '\'') zOut[j++] = '\'';
  }
  zOut[j++] = '\'';
  zOut[j] = 0;
  tarvik_set_result_string(context, zOut, (int)j);
  if (zOut != zStack) tarvikFree(zOut);
}

/* The connection counters; the connection is the user data. */
static void lastInsertRowidFunc(tarvik_func *context, int, const char **) {
  tarvik *db = (tarvik *)tarvik_user_data(context);
  tarvik_set_result_int(context, db->lastRowid);
}

static void changeCountFunc(tarvik_func *context, int, const char **) {
  tarvik *db = (tarvik *)tarvik_user_data(context);
  tarvik_set_result_int(context, db->nChange);
}

static void lastStatementChangeCountFunc(tarvik_func *context, int, const char **) {
  tarvik *db = (tarvik *)tarvik_user_data(context);
  tarvik_set_result_int(context, db->lsChange);
}

/* ---------------------------------------------------------------- aggregates
** State blocks come from tarvik_aggregate_context, zero-filled on first use.
** Blocks of up to 32 bytes live in the group cell's own buffer, so these
** are kept within that size.  A block may be null when memory ran out;
** every function then does nothing. */

/* sum() and avg().  The row count is 64-bit: an int would overflow after
** 2^31 rows. */
struct SumCtx {
  double sum;
  i64 cnt;
};
static_assert(sizeof(SumCtx) == 16);

static void sumStep(tarvik_func *context, int argc, const char **argv) {
  SumCtx *p = (SumCtx *)tarvik_aggregate_context(context, (int)sizeof(SumCtx));
  if (p == nullptr || argc < 1 || argv[0] == nullptr) return;
  p->sum += tarvikAtoF(argv[0], nullptr);
  p->cnt++;
}

static void sumFinalize(tarvik_func *context) {
  SumCtx *p = (SumCtx *)tarvik_aggregate_context(context, (int)sizeof(SumCtx));
  tarvik_set_result_double(context, p ? p->sum : 0.0);
}

static void avgFinalize(tarvik_func *context) {
  SumCtx *p = (SumCtx *)tarvik_aggregate_context(context, (int)sizeof(SumCtx));
  if (p && p->cnt > 0) tarvik_set_result_double(context, p->sum / (double)p->cnt);
}

/* count() and count(X).  A count beyond the int range is handed back as a
** double, which holds it exactly, rather than wrapping. */
struct CountCtx {
  i64 n;
};

static void countStep(tarvik_func *context, int argc, const char **argv) {
  CountCtx *p = (CountCtx *)tarvik_aggregate_context(context, (int)sizeof(CountCtx));
  if (p && (argc == 0 || argv[0] != nullptr)) p->n++;
}

static void countFinalize(tarvik_func *context) {
  CountCtx *p = (CountCtx *)tarvik_aggregate_context(context, (int)sizeof(CountCtx));
  i64 n = p ? p->n : 0;
  if (n <= INT_MAX) {
    tarvik_set_result_int(context, (int)n);
  } else {
    tarvik_set_result_double(context, (double)n);
  }
}

/* min(X) and max(X) over a group.  The best text so far is z: either in
** zBuf after the flag byte zBuf[0] (set while z points there), or on the
** heap.  With an 8-byte pointer the block is exactly 32 bytes, so texts of
** up to 22 bytes need no allocation. */
struct MinMaxCtx {
  char *z;
  char zBuf[32 - sizeof(char *)];
};
static_assert(sizeof(MinMaxCtx) == 32);

static void minmaxStep(tarvik_func *context, int argc, const char **argv) {
  if (argc < 1 || argv[0] == nullptr) return;
  MinMaxCtx *p = (MinMaxCtx *)tarvik_aggregate_context(context, (int)sizeof(MinMaxCtx));
  if (p == nullptr) return;
  bool isMax = tarvik_user_data(context) == kMaxMarker;
  int (*xCompare)(const char *, const char *) =
      argc >= 2 && argv[1] && argv[1][0] == 'n' ? tarvikCompare : strcmp;
  if (p->z) {
    int c = xCompare(argv[0], p->z);
    if (isMax ? c < 0 : c >= 0) return;
  }
  size_t len = strlen(argv[0]);
  char *zNew;
  bool inBuf = len < sizeof(p->zBuf) - 1;
  if (inBuf) {
    zNew = &p->zBuf[1];
  } else {
    /* The old best stays if the copy cannot be made. */
    if (len >= (size_t)INT_MAX) return;
    zNew = (char *)tarvikMallocRaw((int)len + 1);
    if (zNew == nullptr) return;
  }
  if (p->z && !p->zBuf[0]) tarvikFree(p->z);
  memcpy(zNew, argv[0], len + 1);
  p->z = zNew;
  p->zBuf[0] = inBuf ? 1 : 0;
}

/* Also called when a group is discarded, so it leaves the block holding
** nothing and may safely run twice. */
static void minmaxFinalize(tarvik_func *context) {
  MinMaxCtx *p = (MinMaxCtx *)tarvik_aggregate_context(context, (int)sizeof(MinMaxCtx));
  if (p == nullptr) return;
  if (p->z) tarvik_set_result_string(context, p->z, -1);
  if (p->z && !p->zBuf[0]) tarvikFree(p->z);
  p->z = nullptr;
  p->zBuf[0] = 0;
}

/* ---------------------------------------------------------------- registration */

namespace {

typedef void (*ScalarFn)(tarvik_func *, int, const char **);
typedef void (*FinalFn)(tarvik_func *);

enum UserData { UD_DB, UD_MAX };

struct ScalarEntry {
  const char *zName;
  signed char nArg;
  signed char dataType;
  UserData userData;
  ScalarFn xFunc; /* null: a placeholder that rejects this argument count */
};

struct AggEntry {
  const char *zName;
  signed char nArg;
  signed char dataType;
  UserData userData;
  ScalarFn xStep;
  FinalFn xFinalize;
};

constexpr ScalarEntry aScalars[] = {
    {"min", -1, TARVIK_ARGS, UD_DB, minmaxFunc},
    {"min", 0, 0, UD_DB, nullptr},
    {"max", -1, TARVIK_ARGS, UD_MAX, minmaxFunc},
    {"max", 0, 0, UD_MAX, nullptr},
    {"typeof", 1, TARVIK_TEXT, UD_DB, typeofFunc},
    {"length", 1, TARVIK_NUMERIC, UD_DB, lengthFunc},
    {"substr", 3, TARVIK_TEXT, UD_DB, substrFunc},
    {"abs", 1, TARVIK_NUMERIC, UD_DB, absFunc},
    {"round", 1, TARVIK_NUMERIC, UD_DB, roundFunc},
    {"round", 2, TARVIK_NUMERIC, UD_DB, roundFunc},
    {"upper", 1, TARVIK_TEXT, UD_DB, upperFunc},
    {"lower", 1, TARVIK_TEXT, UD_DB, lowerFunc},
    {"coalesce", -1, TARVIK_ARGS, UD_DB, ifnullFunc},
    {"coalesce", 0, 0, UD_DB, nullptr},
    {"coalesce", 1, 0, UD_DB, nullptr},
    {"ifnull", 2, TARVIK_ARGS, UD_DB, ifnullFunc},
    {"random", -1, TARVIK_NUMERIC, UD_DB, randomFunc},
    {"like", 2, TARVIK_NUMERIC, UD_DB, likeFunc},
    {"glob", 2, TARVIK_NUMERIC, UD_DB, globFunc},
    {"nullif", 2, TARVIK_ARGS, UD_DB, nullifFunc},
    {"tarvik_version", 0, TARVIK_TEXT, UD_DB, versionFunc},
    {"quote", 1, TARVIK_ARGS, UD_DB, quoteFunc},
    {"last_insert_rowid", 0, TARVIK_NUMERIC, UD_DB, lastInsertRowidFunc},
    {"change_count", 0, TARVIK_NUMERIC, UD_DB, changeCountFunc},
    {"last_statement_change_count", 0, TARVIK_NUMERIC, UD_DB, lastStatementChangeCountFunc},
};

constexpr AggEntry aAggs[] = {
    {"min", 1, 0, UD_DB, minmaxStep, minmaxFinalize},
    {"max", 1, 0, UD_MAX, minmaxStep, minmaxFinalize},
    {"sum", 1, TARVIK_NUMERIC, UD_DB, sumStep, sumFinalize},
    {"avg", 1, TARVIK_NUMERIC, UD_DB, sumStep, avgFinalize},
    {"count", 0, TARVIK_NUMERIC, UD_DB, countStep, countFinalize},
    {"count", 1, TARVIK_NUMERIC, UD_DB, countStep, countFinalize},
};

/* Functions whose arguments are each followed by their type name. */
constexpr const char *azTypeFuncs[] = {"min", "max", "typeof"};

}  // namespace

void tarvikRegisterBuiltinFunctions(tarvik *db) {
  for (const ScalarEntry &e : aScalars) {
    void *pArg = e.userData == UD_MAX ? kMaxMarker : (void *)db;
    tarvik_create_function(db, e.zName, e.nArg, e.xFunc, pArg);
    if (e.xFunc) tarvik_function_type(db, e.zName, e.dataType);
  }
  for (const AggEntry &e : aAggs) {
    void *pArg = e.userData == UD_MAX ? kMaxMarker : (void *)db;
    tarvik_create_aggregate(db, e.zName, e.nArg, e.xStep, e.xFinalize, pArg);
    tarvik_function_type(db, e.zName, e.dataType);
  }
  for (const char *zName : azTypeFuncs) {
    FuncDef *p = (FuncDef *)tarvikHashFind(&db->aFunc, zName, (int)strlen(zName));
    for (; p; p = p->pNext) p->includeTypes = 1;
  }
  tarvikRegisterDateTimeFunctions(db);
}
