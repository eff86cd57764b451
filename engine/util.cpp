/*
** Memory helpers, message builders, identifier dequoting and
** case-insensitive comparison and hashing.
*/
#include <cstdio>
#include <cstdlib>

#include "tarvikInt.h"

int tarvik_malloc_failed = 0;

void tarvikAssertFail(const char *zFile, unsigned line, const char *zCond) {
  fprintf(stderr, "%s:%u: failed assertion `%s'\n", zFile, line, zCond);
  fflush(stderr);
  abort();
}

/* ---------------------------------------------------------------- memory */

#ifdef TARVIK_TEST
static int testFailCountdown = 0; /* >0: allocations until the failing one */
static bool testFailPersist = false;
static bool testFailing = false;  /* persistent failure in force */
static int testFailures = 0;
static long testOutstanding = 0;

void tarvikTestMallocFail(int n, bool persist) {
  testFailCountdown = n > 0 ? n : 0;
  testFailPersist = persist;
  testFailing = false;
  testFailures = 0;
}
int tarvikTestMallocFailures() { return testFailures; }
long tarvikTestMallocOutstanding() { return testOutstanding; }

/* True when the current allocation is to fail. */
static bool testShouldFail() {
  if (testFailing) {
    testFailures++;
    return true;
  }
  if (testFailCountdown > 0 && --testFailCountdown == 0) {
    testFailing = testFailPersist;
    testFailures++;
    return true;
  }
  return false;
}
#define TEST_FAIL() testShouldFail()
#define TEST_COUNT(delta) (testOutstanding += (delta))
#else
#define TEST_FAIL() false
#define TEST_COUNT(delta) ((void)0)
#endif

static void *allocFailed() {
  tarvik_malloc_failed++;
  return nullptr;
}

void *tarvikMalloc(int n) {
  if (n == 0) return nullptr;
  if (n < 0 || TEST_FAIL()) return allocFailed();
  void *p = calloc(1, (size_t)n);
  if (p == nullptr) return allocFailed();
  TEST_COUNT(1);
  return p;
}

void *tarvikMallocRaw(int n) {
  if (n == 0) return nullptr;
  if (n < 0 || TEST_FAIL()) return allocFailed();
  void *p = malloc((size_t)n);
  if (p == nullptr) return allocFailed();
  TEST_COUNT(1);
  return p;
}

void tarvikFree(void *p) {
  if (p == nullptr) return;
  TEST_COUNT(-1);
  free(p);
}

void *tarvikRealloc(void *p, int n) {
  if (p == nullptr) return tarvikMalloc(n);
  if (n == 0) {
    tarvikFree(p);
    return nullptr;
  }
  if (n < 0 || TEST_FAIL()) return allocFailed();
  void *pNew = realloc(p, (size_t)n);
  if (pNew == nullptr) return allocFailed();
  return pNew;
}

char *tarvikStrDup(const char *z) {
  if (z == nullptr) return nullptr;
  size_t n = strlen(z);
  if (n >= (size_t)INT32_MAX) return (char *)allocFailed();
  char *zNew = (char *)tarvikMallocRaw((int)n + 1);
  if (zNew) memcpy(zNew, z, n + 1);
  return zNew;
}

char *tarvikStrNDup(const char *z, int n) {
  if (z == nullptr) return nullptr;
  if (n < 0 || n == INT32_MAX) return (char *)allocFailed();
  char *zNew = (char *)tarvikMallocRaw(n + 1);
  if (zNew) {
    memcpy(zNew, z, (size_t)n);
    zNew[n] = 0;
  }
  return zNew;
}

extern "C" void tarvik_freemem(void *p) { tarvikFree(p); }

/* ---------------------------------------------------------------- messages */

/* Both builders measure first (in 64 bits, so an impossible total is an
** allocation failure rather than a short buffer), build the new text, and
** only then free the old one: a piece may be the old message itself. */
void tarvikSetString(char **pz, ...) {
  if (pz == nullptr) return;
  va_list ap;
  va_start(ap, pz);
  i64 nByte = 1;
  for (const char *z; (z = va_arg(ap, const char *)) != nullptr;) nByte += (i64)strlen(z);
  va_end(ap);
  char *zNew = nByte > INT32_MAX ? (char *)allocFailed() : (char *)tarvikMallocRaw((int)nByte);
  if (zNew) {
    char *zOut = zNew;
    va_start(ap, pz);
    for (const char *z; (z = va_arg(ap, const char *)) != nullptr;) {
      size_t n = strlen(z);
      memcpy(zOut, z, n);
      zOut += n;
    }
    va_end(ap);
    *zOut = 0;
  }
  tarvikFree(*pz);
  *pz = zNew;
}

void tarvikSetNString(char **pz, ...) {
  if (pz == nullptr) return;
  va_list ap;
  va_start(ap, pz);
  i64 nByte = 1;
  for (const char *z; (z = va_arg(ap, const char *)) != nullptr;) {
    int n = va_arg(ap, int);
    nByte += n <= 0 ? (i64)strlen(z) : n;
  }
  va_end(ap);
  char *zNew = nByte > INT32_MAX ? (char *)allocFailed() : (char *)tarvikMallocRaw((int)nByte);
  if (zNew) {
    char *zOut = zNew;
    va_start(ap, pz);
    for (const char *z; (z = va_arg(ap, const char *)) != nullptr;) {
      int n = va_arg(ap, int);
      size_t len = n <= 0 ? strlen(z) : (size_t)n;
      memcpy(zOut, z, len);
      zOut += len;
    }
    va_end(ap);
    *zOut = 0;
  }
  tarvikFree(*pz);
  *pz = zNew;
}

/* Counts the error even when its message cannot be allocated. */
void tarvikErrorMsg(Parse *pParse, const char *zFormat, ...) {
  pParse->nErr++;
  tarvikFree(pParse->zErrMsg);
  va_list ap;
  va_start(ap, zFormat);
  pParse->zErrMsg = tarvikVMPrintf(zFormat, ap);
  va_end(ap);
}

/* ---------------------------------------------------------------- text */

const unsigned char UpperToLower[256] = {
#define R(b) b, b + 1, b + 2, b + 3, b + 4, b + 5, b + 6, b + 7
    R(0), R(8), R(16), R(24), R(32), R(40), R(48), R(56),
    64, 97, 98, 99, 100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111,
    112, 113, 114, 115, 116, 117, 118, 119, 120, 121, 122, 91, 92, 93, 94, 95,
    R(96), R(104), R(112), R(120), R(128), R(136), R(144), R(152), R(160), R(168), R(176),
    R(184), R(192), R(200), R(208), R(216), R(224), R(232), R(240), R(248),
#undef R
};
static_assert(sizeof(UpperToLower) == 256);

void tarvikDequote(char *z) {
  if (z == nullptr) return;
  char quote = z[0];
  switch (quote) {
    case '\'':
    case '"':
      break;
    case '[':
      quote = ']';
      break;
    default:
      return;
  }
  /* Find the closing quote first, so an unterminated text stays as it is. */
  int i = 1;
  for (; z[i]; i++) {
    if (z[i] == quote) {
      if (z[i + 1] == quote) {
        i++;
      } else {
        break;
      }
    }
  }
  if (z[i] == 0) return;
  int j = 0;
  for (i = 1; z[i]; i++) {
    if (z[i] == quote) {
      if (z[i + 1] == quote) {
        z[j++] = quote;
        i++;
      } else {
        break;
      }
    } else {
      z[j++] = z[i];
    }
  }
  z[j] = 0;
}

int tarvikStrICmp(const char *zLeft, const char *zRight) {
  const unsigned char *a = (const unsigned char *)zLeft;
  const unsigned char *b = (const unsigned char *)zRight;
  while (*a != 0 && UpperToLower[*a] == UpperToLower[*b]) {
    a++;
    b++;
  }
  return *a - *b;
}

int tarvikStrNICmp(const char *zLeft, const char *zRight, int n) {
  const unsigned char *a = (const unsigned char *)zLeft;
  const unsigned char *b = (const unsigned char *)zRight;
  while (n-- > 0 && *a != 0 && UpperToLower[*a] == UpperToLower[*b]) {
    a++;
    b++;
  }
  return n < 0 ? 0 : *a - *b;
}

int tarvikHashNoCase(const char *z, int n) {
  u32 h = 0;
  if (n <= 0) n = (int)strlen(z);
  for (int i = 0; i < n; i++) {
    h = (h << 3) ^ h ^ UpperToLower[(unsigned char)z[i]];
  }
  return (int)(h & 0x7fffffff);
}
