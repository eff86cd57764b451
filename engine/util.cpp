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

/* ================================================================ numbers,
** comparison, sortable encodings and pattern matching.
**
** Everything below is a pure function of its arguments: it never allocates
** and never fails.  Only ASCII digits count as digits and nothing skips
** white space.  The number grammar and the sortable encoding decide how
** index keys are stored, so both are part of the file format. */
#include <charconv>
#include <cmath>
#include <system_error>

static inline bool isDigit(unsigned char c) { return c >= '0' && c <= '9'; }

int tarvikIsNumber(const char *z) {
  const unsigned char *p = (const unsigned char *)z;
  if (*p == '-' || *p == '+') p++;
  if (!isDigit(*p)) return 0;
  while (isDigit(*p)) p++;
  if (*p == '.') {
    p++;
    if (!isDigit(*p)) return 0;
    while (isDigit(*p)) p++;
  }
  if (*p == 'e' || *p == 'E') {
    p++;
    if (*p == '+' || *p == '-') p++;
    if (!isDigit(*p)) return 0;
    while (isDigit(*p)) p++;
  }
  return *p == 0;
}

/* The text is scanned by the number grammar's steps to find where the
** number ends; the value of that prefix then comes from a correctly rounded
** conversion.  Accumulating digits in floating point instead would make the
** result depend on the platform's long double (and index keys built from it
** would differ between machines), would turn a long fraction into inf/inf =
** NaN and would overflow an int exponent on hostile input.
**
** Fast path: up to 15 significant digits and a decimal scale of at most
** 10^22 are exact doubles, so one multiplication or division by the exact
** power of ten is the correctly rounded result.  Everything else goes to
** std::from_chars. */
static constexpr double exactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                        1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

/* Converts the numeric prefix of z; *pWhole, if given, tells whether all of
** z is a number by the grammar of tarvikIsNumber, so that a comparison can
** classify and convert the second operand in one pass. */
static double scanNumber(const char *z, const char **pzEnd, bool *pWhole) {
  const char *p = z;
  bool whole = true;
  bool neg = false;
  if (*p == '-') {
    neg = true;
    p++;
  } else if (*p == '+') {
    p++;
  }
  const char *zNum = p; /* first byte after the sign */
  u64 mant = 0;         /* the significant digits while there are at most 15 */
  i64 nSig = 0;         /* significant digits: from the first nonzero one on */
  i64 nFrac = 0;        /* digits after the point */
  if (!isDigit(*p)) whole = false;
  for (; isDigit(*p); p++) {
    if (nSig > 0 || *p != '0') {
      if (++nSig <= 15) mant = mant * 10 + (u64)(*p - '0');
    }
  }
  if (*p == '.') {
    if (!isDigit(p[1])) whole = false;
    for (p++; isDigit(*p); p++) {
      nFrac++;
      if (nSig > 0 || *p != '0') {
        if (++nSig <= 15) mant = mant * 10 + (u64)(*p - '0');
      }
    }
  }
  i64 exponent = 0;
  if (*p == 'e' || *p == 'E') {
    p++;
    bool expNeg = false;
    if (*p == '-') {
      expNeg = true;
      p++;
    } else if (*p == '+') {
      p++;
    }
    if (!isDigit(*p)) whole = false;
    /* Saturate: any exponent this large already overflows or underflows. */
    for (; isDigit(*p); p++) {
      if (exponent < 1000000000000LL) exponent = exponent * 10 + (*p - '0');
    }
    if (expNeg) exponent = -exponent;
  }
  if (pzEnd) *pzEnd = p;
  if (pWhole) *pWhole = whole && *p == 0;

  double r = 0.0;
  if (nSig > 0) {
    i64 scale = exponent - nFrac; /* power of ten of the last digit */
    if (nSig <= 15 && scale >= -22 && scale <= 22) {
      r = scale >= 0 ? (double)mant * exactPow10[scale] : (double)mant / exactPow10[-scale];
    } else {
      auto res = std::from_chars(zNum, p, r, std::chars_format::general);
      if (res.ec == std::errc::result_out_of_range) {
        /* The value is left unchanged on this error: tell overflow from
        ** underflow by the power of ten of the leading digit. */
        r = scale + nSig - 1 > 0 ? HUGE_VAL : 0.0;
      } else if (res.ec != std::errc()) {
        r = 0.0;
      }
    }
  }
  return neg ? -r : r;
}

double tarvikAtoF(const char *z, const char **pzEnd) { return scanNumber(z, pzEnd, nullptr); }

int tarvikFitsIn32Bits(const char *z) {
  if (*z == '-' || *z == '+') z++;
  int n = 0;
  while (isDigit((unsigned char)z[n])) {
    if (++n > 10) return 0;
  }
  if (n < 10) return 1;
  /* The same limit for both signs: -2147483648 is reported as too big, which
  ** only costs the code generator a text constant. */
  return memcmp(z, "2147483647", 10) <= 0;
}

/* Numbers-or-text order of two non-NULL texts. */
static int compareNumOrText(const char *zA, const char *zB) {
  if (!tarvikIsNumber(zA)) return tarvikIsNumber(zB) ? 1 : strcmp(zA, zB);
  bool isNumB;
  double rB = scanNumber(zB, nullptr, &isNumB);
  if (!isNumB) return -1;
  double rA = scanNumber(zA, nullptr, nullptr);
  return rA < rB ? -1 : rA > rB ? 1 : 0;
}

/* A NULL first operand gives -1 even when the second is NULL too, so this
** is a total order over values only.  The comparison opcodes and nullif
** settle NULL operands before they get here; no caller may sort NULLs with
** it. */
int tarvikCompare(const char *zA, const char *zB) {
  if (zA == nullptr) return -1;
  if (zB == nullptr) return 1;
  return compareNumOrText(zA, zB);
}

/* A sort key is a run of fields ended by a field whose first byte is NUL:
**
**    'N' NUL               SQL NULL (2 bytes)
**    'A' text NUL          text, ascending        'D' ... descending
**    '+' text NUL          number-or-text, asc.   '-' ... descending
**
** NULL sorts before every value in an ascending field and after every value
** in a descending one.  Keys of different lengths that agree on their
** common fields compare equal (the sorter only ever compares keys of one
** shape). */
int tarvikSortCompare(const char *zA, const char *zB) {
  int res = 0;
  char dir = 0;
  while (res == 0 && *zA && *zB) {
    if (*zA == 'N' || *zB == 'N') {
      if (*zA == *zB) {
        zA += 2;
        zB += 2;
        continue;
      }
      if (*zA == 'N') {
        dir = *zB;
        res = -1;
      } else {
        dir = *zA;
        res = +1;
      }
      break;
    }
    tvAssert(zA[0] == zB[0]);
    dir = *zA;
    if (dir == 'A' || dir == 'D') {
      res = strcmp(&zA[1], &zB[1]);
      if (res) break;
    } else {
      res = compareNumOrText(&zA[1], &zB[1]);
      if (res) break;
    }
    zA += strlen(&zA[1]) + 2;
    zB += strlen(&zB[1]) + 2;
  }
  if (dir == '-' || dir == 'D') res = -res;
  return res;
}

/* The sortable number encoding, stored in index keys:
**
**    +------+------------+------------------+-----+
**    | sign | exponent   | mantissa         | NUL |
**    | 1    | 2 digits   | 0..10 digits     |     |
**    +------+------------+------------------+-----+
**
** Digits are base 64 from an alphabet whose ASCII codes rise with the digit
** value, so strcmp/memcmp order is numeric order.  Sign: '-' for negative
** numbers, '0' otherwise (-0.0 included).  For |r| = m * 64^e with m in
** [2^-7, 2^-1), the exponent field is e + 1024 and the mantissa digits are
** those of m + 0.5, most significant first, trailing zeros left out.
** Negative numbers store -e + 1024 and 0.5 - m, so larger magnitudes sort
** lower.  Zero is "000W"; an overflow (infinity) is '0' followed by twelve
** '~'; -infinity is "-01". */
static constexpr char sortableDigit[] =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz|~";
static_assert(sizeof(sortableDigit) == 65);

void tarvikRealToSortable(double r, char *z) {
  bool neg = false;
  int e = 0;
  if (r < 0.0) {
    neg = true;
    r = -r;
    *z++ = '-';
  } else {
    *z++ = '0';
  }
  if (r == 0.0) {
    e = -1024;
  } else if (r < 0x1p-7) {
    while (r < 0x1p-385 && e > -961) {
      r *= 0x1p384;
      e -= 64;
    }
    while (r < 0x1p-97 && e > -1009) {
      r *= 0x1p96;
      e -= 16;
    }
    while (r < 0x1p-25 && e > -1021) {
      r *= 0x1p24;
      e -= 4;
    }
    while (r < 0x1p-7 && e > -1024) {
      r *= 64.0;
      e -= 1;
    }
  } else if (r >= 0.5) {
    while (r >= 0x1p377 && e < 960) {
      r *= 0x1p-384;
      e += 64;
    }
    while (r >= 0x1p89 && e < 1008) {
      r *= 0x1p-96;
      e += 16;
    }
    while (r >= 0x1p17 && e < 1020) {
      r *= 0x1p-24;
      e += 4;
    }
    while (r >= 0.5 && e < 1023) {
      r *= 0x1p-6;
      e += 1;
    }
  }
  if (neg) {
    e = -e;
    r = -r;
  }
  e += 1024;
  double m = r + 0.5;
  if (e >= 2048 || m >= 1.0) {
    if (!neg && e < 2048 && r < 0.5) {
      /* The largest double below 0.5 (r = 0.5 - 2^-54) rounds up to 1.0 when
      ** 0.5 is added.  Treating that as an overflow would sort the finite
      ** number just below each power-of-64 boundary above the boundary and
      ** alongside infinity.  Its exact mantissa is 1 - 2^-54, nine '~'
      ** digits, which sorts just where it belongs. */
      *z++ = sortableDigit[(e >> 6) & 63];
      *z++ = sortableDigit[e & 63];
      for (int i = 0; i < 9; i++) *z++ = '~';
      *z = 0;
      return;
    }
    for (int i = 0; i < 12; i++) *z++ = '~';
    *z = 0;
    return;
  }
  *z++ = sortableDigit[(e >> 6) & 63];
  *z++ = sortableDigit[e & 63];
  for (int i = 0; i < 10 && m > 0.0; i++) {
    m *= 64.0;
    int d = (int)m;
    tvAssert(d >= 0 && d < 64);
    *z++ = sortableDigit[d];
    m -= d;
  }
  *z = 0;
}

/* ---------------------------------------------------------------- UTF-8 */

/* The starting value of a character from its first byte: the payload bits
** of a lead byte, or the byte itself for ASCII, a stray continuation byte
** and the two bytes that never start a character. */
// clang-format off
const int tarvikUtf8LeadValue[256] = {
#define R8(b) b, b + 1, b + 2, b + 3, b + 4, b + 5, b + 6, b + 7
#define R64(b) R8(b), R8(b + 8), R8(b + 16), R8(b + 24), R8(b + 32), R8(b + 40), R8(b + 48), R8(b + 56)
    R64(0), R64(64), R64(128),      /* 0x00..0xBF: the byte itself */
    R8(0), R8(8), R8(16), R8(24),   /* 0xC0..0xDF: 5 payload bits */
    R8(0), R8(8),                   /* 0xE0..0xEF: 4 bits */
    R8(0),                          /* 0xF0..0xF7: 3 bits */
    0, 1, 2, 3,                     /* 0xF8..0xFB: 2 bits */
    0, 1,                           /* 0xFC, 0xFD: 1 bit */
    254, 255,                       /* 0xFE, 0xFF: never a lead byte */
#undef R64
#undef R8
};
// clang-format on
static_assert(sizeof(tarvikUtf8LeadValue) == 256 * sizeof(int));

/* A NUL first byte decodes to 0 without looking further (the byte after a
** terminator is not ours to read).  Long runs of continuation bytes wrap
** around in unsigned arithmetic instead of overflowing; no valid form of six
** bytes or fewer comes near that. */
int tarvik_utf8_to_int(const char *z) {
  const unsigned char *p = (const unsigned char *)z;
  if (*p == 0) return 0;
  u32 c = (u32)tarvikUtf8LeadValue[*p++];
  while ((*p & 0xC0) == 0x80) c = (c << 6) | (*p++ & 0x3F);
  return (int)c;
}

/* ---------------------------------------------------------------- GLOB and LIKE
**
** Both matchers run in a loop and, on a mismatch, go back only to the most
** recent '*' (or '%') and try its next candidate position.  Retrying an
** earlier wildcard cannot help: a later start for the last wildcard offers a
** subset of the candidates the earlier start offered.  So a match costs at
** most (pattern length x string length) steps and no stack, however many
** wildcards a pattern holds; a recursive matcher instead nests once per
** wildcard and takes exponential time on patterns like "*a*a*a*...b".
**
** Candidate positions after a wildcard: if the pattern continues with '['
** (GLOB only), every character position of the string that is not its end;
** otherwise every byte equal (LIKE: equal after folding) to the pattern's
** next byte, scanning byte by byte and moving on one whole character after a
** failed try. */

typedef const unsigned char *Utf8Ptr;

static inline Utf8Ptr nextChar(Utf8Ptr z) { return (Utf8Ptr)tarvikNextChar((const char *)z); }
static inline int decodeChar(Utf8Ptr z) { return tarvik_utf8_to_int((const char *)z); }

/* Matches the character class at *pp ('[') against the character at *ps;
** on a match moves *pp past ']' and *ps past that character. */
static bool globClass(Utf8Ptr *pp, Utf8Ptr *ps) {
  Utf8Ptr p = *pp;
  int c = decodeChar(*ps);
  if (c == 0) return false;
  p++;
  bool invert = false;
  if (*p == '^') {
    invert = true;
    p++;
  }
  bool seen = false;
  if (*p == ']') {
    if (c == ']') seen = true;
    p++;
  }
  int prior = 0;
  for (;;) {
    int c2 = decodeChar(p);
    if (c2 == 0 || c2 == ']') break;
    if (c2 == '-' && p[1] != ']' && p[1] != 0 && prior > 0) {
      p++;
      int hi = decodeChar(p);
      if (c >= prior && c <= hi) seen = true;
      prior = 0;
    } else {
      if (c == c2) seen = true;
      prior = c2;
    }
    p = nextChar(p);
  }
  if (*p != ']') return false; /* no closing bracket: the class matches nothing */
  if (seen == invert) return false;
  *pp = p + 1;
  *ps = nextChar(*ps);
  return true;
}

int tarvikGlobCompare(const char *zPattern, const char *zString) {
  Utf8Ptr p = (Utf8Ptr)zPattern;
  Utf8Ptr s = (Utf8Ptr)zString;
  Utf8Ptr pStar = nullptr; /* pattern after the last '*' and its run */
  Utf8Ptr sNext = nullptr; /* where that wildcard's next candidate is sought */
  for (;;) {
    bool ok;
    switch (*p) {
      case 0:
        if (*s == 0) return 1;
        ok = false;
        break;
      case '*': {
        p++;
        ok = true;
        for (; *p == '*' || *p == '?'; p++) {
          if (*p == '?') {
            if (*s == 0) {
              ok = false;
              break;
            }
            s = nextChar(s);
          }
        }
        if (!ok) break;
        if (*p == 0) return 1;
        pStar = p;
        sNext = s;
        ok = false; /* go and pick the first candidate */
        break;
      }
      case '?':
        ok = *s != 0;
        if (ok) {
          s = nextChar(s);
          p++;
        }
        break;
      case '[':
        ok = globClass(&p, &s);
        break;
      default:
        ok = *p == *s;
        if (ok) {
          p++;
          s++;
        }
        break;
    }
    if (ok) continue;
    if (pStar == nullptr) return 0;
    p = pStar;
    if (*p == '[') {
      if (*sNext == 0) return 0;
      s = sNext;
    } else {
      s = sNext;
      while (*s && *s != *p) s++;
      if (*s == 0) return 0;
    }
    sNext = nextChar(s);
  }
}

int tarvikLikeCompare(const char *zPattern, const char *zString) {
  Utf8Ptr p = (Utf8Ptr)zPattern;
  Utf8Ptr s = (Utf8Ptr)zString;
  Utf8Ptr pStar = nullptr;
  Utf8Ptr sNext = nullptr;
  for (;;) {
    bool ok;
    switch (*p) {
      case 0:
        if (*s == 0) return 1;
        ok = false;
        break;
      case '%': {
        p++;
        ok = true;
        for (; *p == '%' || *p == '_'; p++) {
          if (*p == '_') {
            if (*s == 0) {
              ok = false;
              break;
            }
            s = nextChar(s);
          }
        }
        if (!ok) break;
        if (*p == 0) return 1;
        pStar = p;
        sNext = s;
        ok = false;
        break;
      }
      case '_':
        ok = *s != 0;
        if (ok) {
          s = nextChar(s);
          p++;
        }
        break;
      default:
        ok = *s != 0 && UpperToLower[*p] == UpperToLower[*s];
        if (ok) {
          p++;
          s++;
        }
        break;
    }
    if (ok) continue;
    if (pStar == nullptr) return 0;
    p = pStar;
    unsigned char c = UpperToLower[*p];
    s = sNext;
    while (*s && UpperToLower[*s] != c) s++;
    if (*s == 0) return 0;
    sNext = nextChar(s);
  }
}
