/*
** The execution side of the machine: the interface through which SQL
** functions, built-in and user-defined, hand back their results, and the
** instruction loop (tarvikVdbeExec) further down.
**
** A scalar function (and an aggregate's finalize) writes its result into
** the context's value `s`: texts of up to 30 bytes go into the value's
** inline buffer, longer ones into a new allocation the value owns.  An
** aggregate's step function produces no result; it keeps its state in the
** block tarvik_aggregate_context hands out, which lives in the group cell's
** inline buffer (pAggBuf) when it is small enough, else on the heap, owned
** by the aggregator either way.
*/
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>

#include "btree.h"
#include "os.h"
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

/* ================================================================ values
**
** Every value carries its own kind in flags; the conversions below act only
** when the wanted kind is missing.  Texts of up to NBFS bytes (with their
** NUL) live in the value's zShort, so most values never allocate.
**
** Byte strings that are not text (records, keys, raw B-tree payloads) are
** kept as MEM_Str values whose n is their exact size; every buffer this
** loop allocates for them has one NUL byte beyond n, so that a byte string
** treated as text by a careless program still ends inside its buffer. */

int tarvik_search_count = 0;

/* Reads an integer: optional sign, then digits accumulated in 32-bit
** arithmetic that wraps.  Returns true when the text is exactly an integer
** that fits 32 bits; the accumulated value is stored in every case. */
static bool readInt(const char *z, int *pNum) {
  bool neg = false;
  if (*z == '-') {
    neg = true;
    z++;
  } else if (*z == '+') {
    z++;
  }
  const char *zDigits = z;
  u32 v = 0;
  while (*z >= '0' && *z <= '9') {
    v = v * 10u + (u32)(*z - '0');
    z++;
  }
  *pNum = (int)(neg ? 0u - v : v);
  long nDigit = z - zDigits;
  if (nDigit == 0 || *z != 0) return false;
  if (nDigit < 10) return true;
  if (nDigit > 10) return false;
  return strncmp(zDigits, "2147483647", 10) <= 0;
}

/* A double truncated toward zero, saturated to the 32-bit range (NaN gives
** 0): a plain cast of an out-of-range double is undefined. */
static int realToInt(double r) {
  if (std::isnan(r)) return 0;
  if (r >= 2147483647.0) return INT_MAX;
  if (r <= -2147483648.0) return INT_MIN;
  return (int)r;
}

/* True when r is exactly a 32-bit integer. */
static bool realIsInt(double r, int *pV) {
  if (!(r >= -2147483648.0 && r <= 2147483647.0)) return false;
  int v = (int)r;
  if ((double)v != r) return false;
  *pV = v;
  return true;
}

static inline void memRepoint(Mem *p) {
  if (p->flags & MEM_Short) p->z = p->zShort;
}

/* Copies a value; the copy's short text points at its own buffer. */
static inline void memMove(Mem *pTo, const Mem *pFrom) {
  memcpy(pTo, pFrom, sizeof(Mem));
  memRepoint(pTo);
}

static void memStringify(Mem *p) {
  if (p->flags & MEM_Str) return;
  if (p->flags & MEM_Real) {
    snprintf(p->zShort, NBFS, "%.15g", p->r);
  } else if (p->flags & MEM_Int) {
    snprintf(p->zShort, NBFS, "%d", p->i);
  } else {
    p->zShort[0] = 0;
  }
  p->z = p->zShort;
  p->n = (int)strlen(p->zShort) + 1;
  p->flags = MEM_Str | MEM_Short;
}

static void memIntegerify(Mem *p) {
  if (p->flags & MEM_Int) return;
  int v = 0;
  if (p->flags & MEM_Real) {
    v = realToInt(p->r);
  } else if (p->flags & MEM_Str) {
    readInt(p->z, &v);
  }
  tarvikMemRelease(p);
  p->i = v;
  p->flags = MEM_Int;
}

static void memRealify(Mem *p) {
  if (p->flags & MEM_Real) return;
  if (p->flags & MEM_Str) {
    p->r = tarvikAtoF(p->z, nullptr);
  } else if (p->flags & MEM_Int) {
    p->r = p->i;
  } else {
    p->r = 0.0;
  }
  p->flags |= MEM_Real;
}

/* The value becomes exactly the integer v (any text is dropped, so a value
** changed in place never shows its old text). */
static inline void memSetInt(Mem *p, int v) {
  if (p->flags & MEM_Dyn) tarvikFree(p->z);
  p->i = v;
  p->flags = MEM_Int;
}

static inline void memSetReal(Mem *p, double r) {
  if (p->flags & MEM_Dyn) tarvikFree(p->z);
  p->r = r;
  p->flags = MEM_Real;
}

/* Stores n bytes as the value's own text: in zShort when they fit with the
** extra NUL, else in a new allocation.  The bytes may not alias p.  Returns
** false when out of memory (the value is then NULL). */
static bool memSetBytes(Mem *p, const char *z, int n) {
  if (n < NBFS) {
    if (n > 0) memcpy(p->zShort, z, (size_t)n);
    p->zShort[n] = 0;
    p->z = p->zShort;
    p->flags = MEM_Str | MEM_Short;
  } else {
    char *zNew = (char *)tarvikMallocRaw(n + 1);
    if (zNew == nullptr) {
      p->flags = MEM_Null;
      return false;
    }
    memcpy(zNew, z, (size_t)n);
    zNew[n] = 0;
    p->z = zNew;
    p->flags = MEM_Str | MEM_Dyn;
  }
  p->n = n;
  return true;
}

/* Room for n bytes (plus the extra NUL) as the value's own text, content
** left to the caller. */
static char *memReserve(Mem *p, int n) {
  if (n < NBFS) {
    p->z = p->zShort;
    p->flags = MEM_Str | MEM_Short;
  } else {
    p->z = (char *)tarvikMallocRaw(n + 1);
    if (p->z == nullptr) {
      p->flags = MEM_Null;
      return nullptr;
    }
    p->flags = MEM_Str | MEM_Dyn;
  }
  p->z[n] = 0;
  p->n = n;
  return p->z;
}

/* An ephemeral text gets storage of its own. */
static bool memDeephemeralize(Mem *p) {
  if (!(p->flags & MEM_Ephem)) return true;
  int flags = p->flags & ~(MEM_Ephem | MEM_Str);
  const char *z = p->z;
  if (!memSetBytes(p, z, p->n)) return false;
  p->flags |= flags;
  return true;
}

/* The value's text becomes a heap allocation it owns (for handing over). */
static bool memDynamicify(Mem *p) {
  memStringify(p);
  if (p->flags & MEM_Dyn) return true;
  char *z = (char *)tarvikMallocRaw(p->n + 1);
  if (z == nullptr) return false;
  memcpy(z, p->z, (size_t)p->n);
  z[p->n] = 0;
  p->z = z;
  p->flags = (p->flags & ~(MEM_Static | MEM_Ephem | MEM_Short)) | MEM_Dyn;
  return true;
}

/* ================================================================ stored formats
**
** Row key: the row number with its sign bit flipped, big-endian, so that
** byte order is signed-integer order. */

static inline void putRowKey(int v, unsigned char *z) {
  u32 x = (u32)v ^ 0x80000000u;
  z[0] = (unsigned char)(x >> 24);
  z[1] = (unsigned char)(x >> 16);
  z[2] = (unsigned char)(x >> 8);
  z[3] = (unsigned char)x;
}

static inline int getRowKey(const unsigned char *z) {
  u32 x = ((u32)z[0] << 24) | ((u32)z[1] << 16) | ((u32)z[2] << 8) | (u32)z[3];
  return (int)(x ^ 0x80000000u);
}

/* Records and keys larger than this are refused. */
constexpr i64 MAX_ROW_BYTES = 1048576;

/* Width of the offsets of a record of nTotal bytes. */
static inline int recordOffsetWidth(i64 nTotal) {
  return nTotal <= 255 ? 1 : nTotal <= 65535 ? 2 : 3;
}

/* Does a key field hold a number?  P3 letter 't' forces text. */
static bool keyFieldIsNumber(const Mem *p, const char *zTypes, int i) {
  if (zTypes && (int)strlen(zTypes) > i && zTypes[i] == 't') return false;
  if (p->flags & (MEM_Int | MEM_Real)) return true;
  return (p->flags & MEM_Str) && tarvikIsNumber(p->z);
}

/* ================================================================ cursors */

/* The cursor slot i, grown on demand (new slots are empty cursors, which
** read as NULL).  Null for a negative index or when out of memory. */
static Cursor *cursorSlot(Vdbe *p, int i) {
  if (i < 0) return nullptr;
  if (i >= p->nCursor) {
    i64 nNew = (i64)i + 1;
    if (nNew * (i64)sizeof(Cursor) > INT32_MAX) return nullptr;
    Cursor *aNew = (Cursor *)tarvikRealloc(p->aCsr, (int)(nNew * (i64)sizeof(Cursor)));
    if (aNew == nullptr) return nullptr;
    memset(&aNew[p->nCursor], 0, (size_t)(nNew - p->nCursor) * sizeof(Cursor));
    p->aCsr = aNew;
    p->nCursor = (int)nNew;
  }
  return &p->aCsr[i];
}

int tarvikVdbeCursorMoveto(Cursor *pC) {
  if (!pC->deferredMoveto) return TARVIK_OK;
  unsigned char zKey[4];
  putRowKey(pC->movetoTarget, zKey);
  int res = 0;
  int rc = tarvikBtreeMoveto(pC->pCursor, zKey, 4, &res);
  if (rc) return rc;
  pC->lastRecno = pC->movetoTarget;
  pC->recnoIsValid = res == 0;
  if (res < 0) {
    rc = tarvikBtreeNext(pC->pCursor, &res);
    if (rc) return rc;
  }
  tarvik_search_count++;
  pC->deferredMoveto = 0;
  return TARVIK_OK;
}

/* Reads the whole key (asKey) or data of the cursor's entry into *pOut. */
static int pushPayload(BtCursor *pCur, bool asKey, Mem *pOut) {
  int n = 0;
  int rc = asKey ? tarvikBtreeKeySize(pCur, &n) : tarvikBtreeDataSize(pCur, &n);
  if (rc) return rc;
  if (n < 0) return TARVIK_CORRUPT;
  char *z = memReserve(pOut, n);
  if (z == nullptr) return TARVIK_NOMEM;
  int got = n == 0 ? 0 : asKey ? tarvikBtreeKey(pCur, 0, n, z) : tarvikBtreeData(pCur, 0, n, z);
  if (got != n) return TARVIK_CORRUPT;
  return TARVIK_OK;
}

/* ================================================================ sorter */

/* Merges two sorted runs; on equal keys the left run's element comes
** first. */
static Sorter *mergeSorted(Sorter *pLeft, Sorter *pRight) {
  Sorter sHead;
  Sorter *pTail = &sHead;
  sHead.pNext = nullptr;
  while (pLeft && pRight) {
    if (tarvikSortCompare(pRight->zKey, pLeft->zKey) < 0) {
      pTail->pNext = pRight;
      pRight = pRight->pNext;
    } else {
      pTail->pNext = pLeft;
      pLeft = pLeft->pNext;
    }
    pTail = pTail->pNext;
  }
  pTail->pNext = pLeft ? pLeft : pRight;
  return sHead.pNext;
}

/* Bottom-up merge sort: bucket i holds a sorted run of 2^i elements. */
static Sorter *sortList(Sorter *pList) {
  constexpr int NSORT = 30;
  Sorter *apBucket[NSORT] = {};
  while (pList) {
    Sorter *pElem = pList;
    pList = pList->pNext;
    pElem->pNext = nullptr;
    int i;
    for (i = 0; i < NSORT - 1; i++) {
      if (apBucket[i] == nullptr) {
        apBucket[i] = pElem;
        break;
      }
      pElem = mergeSorted(apBucket[i], pElem);
      apBucket[i] = nullptr;
    }
    if (i >= NSORT - 1) apBucket[NSORT - 1] = mergeSorted(apBucket[NSORT - 1], pElem);
  }
  Sorter *pResult = nullptr;
  for (int i = 0; i < NSORT; i++) pResult = mergeSorted(apBucket[i], pResult);
  return pResult;
}

/* ================================================================ aggregator */

/* The group with this key, created (all cells NULL) when absent.  Null
** when out of memory. */
static AggElem *aggGroup(Agg *pAgg, const char *zKey, int nKey, bool *pNew) {
  AggElem *pElem = (AggElem *)tarvikHashFind(&pAgg->hash, zKey, nKey);
  if (pNew) *pNew = pElem == nullptr;
  if (pElem) return pElem;
  i64 nByte = (i64)sizeof(AggElem) + (i64)pAgg->nMem * (i64)sizeof(Mem) + nKey;
  if (nByte > INT32_MAX) return nullptr;
  pElem = (AggElem *)tarvikMalloc((int)nByte);
  if (pElem == nullptr) return nullptr;
  pElem->aMem = (Mem *)&pElem[1];
  pElem->zKey = (char *)&pElem->aMem[pAgg->nMem];
  pElem->nKey = nKey;
  memcpy(pElem->zKey, zKey, (size_t)nKey);
  for (int i = 0; i < pAgg->nMem; i++) pElem->aMem[i].flags = MEM_Null;
  if (tarvikHashInsert(&pAgg->hash, pElem->zKey, nKey, pElem) != nullptr) {
    tarvikFree(pElem);
    return nullptr;
  }
  return pElem;
}

/* The group in focus, or the single group of an aggregate without GROUP BY
** (its key is one NUL byte). */
static AggElem *aggCurrent(Agg *pAgg) {
  if (pAgg->pCurrent == nullptr) pAgg->pCurrent = aggGroup(pAgg, "", 1, nullptr);
  return pAgg->pCurrent;
}

/* ================================================================ COPY input */

/* Appends one byte to the line buffer, growing it to twice its size plus 300
** bytes when fewer than 200 would be left. */
static bool lineAppend(Vdbe *p, int *pN, char c) {
  if (p->zLine == nullptr || *pN + 200 > p->nLineAlloc) {
    i64 nNew = (i64)p->nLineAlloc * 2 + 300;
    char *zNew = nNew > INT32_MAX ? nullptr : (char *)tarvikRealloc(p->zLine, (int)nNew);
    if (zNew == nullptr) return false;
    p->zLine = zNew;
    p->nLineAlloc = (int)nNew;
  }
  p->zLine[(*pN)++] = c;
  return true;
}

/* One physical character with CR and CR LF read as LF. */
static int readChar(FILE *f) {
  int c = getc(f);
  if (c == '\r') {
    int c2 = getc(f);
    if (c2 != '\n' && c2 != EOF) ungetc(c2, f);
    c = '\n';
  }
  return c;
}

/* Reads one logical line into zLine (NUL-terminated, without its line
** feed): a backslash keeps the character after it, line feed included, so
** an escaped line end continues the line.  Returns its length, or -1 when
** out of memory. */
static int readLogicalLine(Vdbe *p) {
  int n = 0;
  for (;;) {
    int c = readChar(p->pFile);
    if (c == EOF || c == '\n') break;
    if (!lineAppend(p, &n, (char)c)) return -1;
    if (c == '\\') {
      c = readChar(p->pFile);
      if (c == EOF) break;
      if (!lineAppend(p, &n, (char)c)) return -1;
    }
  }
  if (!lineAppend(p, &n, 0)) return -1;
  return n - 1;
}

/* Splits zLine in place into nField fields at zDelim, translating escapes.
** Fields the line does not supply are NULL. */
static void splitLine(Vdbe *p, int nField, const char *zDelim) {
  char **az = p->azField;
  for (int i = 0; i < nField; i++) az[i] = nullptr;
  size_t nDelim = strlen(zDelim);
  char *z = p->zLine;
  for (int i = 0; i < nField && *z; i++) {
    if (z[0] == '\\' && z[1] == 'N' && (z[2] == 0 || strncmp(&z[2], zDelim, nDelim) == 0)) {
      /* NULL field; az[i] stays null */
      if (z[2] == 0) break;
      z += 2 + nDelim;
      continue;
    }
    az[i] = z;
    int from = 0, to = 0;
    bool atDelim = false;
    while (z[from]) {
      if (z[from] == '\\' && z[from + 1] != 0) {
        char c = z[from + 1];
        switch (c) {
          case 'b':
            c = '\b';
            break;
          case 'f':
            c = '\f';
            break;
          case 'n':
            c = '\n';
            break;
          case 'r':
            c = '\r';
            break;
          case 't':
            c = '\t';
            break;
          case 'v':
            c = '\v';
            break;
          default:
            break;
        }
        z[to++] = c;
        from += 2;
        continue;
      }
      if (strncmp(&z[from], zDelim, nDelim) == 0) {
        atDelim = true;
        break;
      }
      z[to++] = z[from++];
    }
    z[to] = 0;
    if (!atDelim) break;
    z += from + nDelim;
    /* The next field starts after the delimiter, possibly empty. */
    if (*z == 0 && i + 1 < nField) az[i + 1] = z;
  }
}

/* ================================================================ not built yet
** PLACEHOLDER.  VACUUM's rebuild belongs to vacuum.cpp, which does not
** exist yet; replace this by tarvikRunVacuum when it arrives. */

static int pendingRunVacuum(char **, tarvik *) { return TARVIK_OK; }

/* ================================================================ tracing */

static void traceStack(FILE *out, const Mem *aStack, const Mem *pTos, int rc) {
  fprintf(out, "Stack:");
  for (int i = 0; i < 5 && pTos - i >= aStack; i++) {
    const Mem *m = pTos - i;
    if (m->flags & MEM_Null) {
      fprintf(out, " NULL");
    } else if ((m->flags & (MEM_Int | MEM_Str)) == (MEM_Int | MEM_Str)) {
      fprintf(out, " si:%d", m->i);
    } else if (m->flags & MEM_Int) {
      fprintf(out, " i:%d", m->i);
    } else if (m->flags & MEM_Real) {
      fprintf(out, " r:%g", m->r);
    } else if (m->flags & MEM_Str) {
      char zBuf[24];
      int j;
      for (j = 0; j < 20 && j < m->n && m->z[j]; j++) {
        unsigned char c = (unsigned char)m->z[j];
        zBuf[j] = isprint(c) && !isspace(c) ? (char)c : '.';
      }
      zBuf[j] = 0;
      char kind = (m->flags & MEM_Dyn)      ? 'z'
                  : (m->flags & MEM_Static) ? 't'
                  : (m->flags & MEM_Ephem)  ? 'e'
                                            : 's';
      fprintf(out, " %c[%s]", kind, zBuf);
    } else {
      fprintf(out, " ???");
    }
  }
  if (rc) fprintf(out, " rc=%d", rc);
  fprintf(out, "\n");
}

/* ================================================================ the loop */

/* Stack entries an instruction needs below the top before it may run. */
#define NEED(N)                                                       \
  do {                                                                \
    if ((i64)(pTos - p->aStack) + 1 < (i64)(N)) goto stack_underflow; \
  } while (0)

static inline void popN(Mem **ppTos, int n) {
  Mem *pTos = *ppTos;
  for (; n > 0; n--, pTos--) tarvikMemRelease(pTos);
  *ppTos = pTos;
}

/* The database P1 of a transaction or tree instruction, or null. */
static Db *dbAt(tarvik *db, int iDb) {
  if (iDb < 0 || iDb >= db->nDb) return nullptr;
  return &db->aDb[iDb];
}

int tarvikVdbeExec(Vdbe *p) {
  if (p == nullptr || p->magic != VDBE_MAGIC_RUN) return TARVIK_MISUSE;
  tarvik *db = p->db;
  tvAssert(db->magic == TARVIK_MAGIC_BUSY);
  tvAssert(p->rc == TARVIK_OK || p->rc == TARVIK_BUSY);
  tvAssert(!p->explain);
  int rc = TARVIK_OK;
  int pc = p->pc;
  int nProgressOps = 0;
  VdbeOp *pOp = nullptr;
  Mem *pTos = p->pTos;
  /* The stack block holds as many entries as the program has instructions;
  ** a program that loops while pushing must not run off its end. */
  Mem *const pStackLast = p->aStack + ((Mem *)(void *)p->zArgv - p->aStack) - 1;
  p->rc = TARVIK_OK;
  if (tarvik_malloc_failed) goto no_mem;
  if (p->popStack) {
    popN(&pTos, p->popStack);
    p->popStack = 0;
  }
  if (db->flags & TARVIK_Interrupt) goto abort_due_to_interrupt;

  for (;; pc++) {
    if (pc < 0 || pc >= p->nOp) {
      tarvikSetString(&p->zErrMsg, "jump destination out of range", (char *)nullptr);
      rc = TARVIK_INTERNAL;
      goto vdbe_halt;
    }
    pOp = &p->aOp[pc];
    if (pTos >= pStackLast) {
      tarvikSetString(&p->zErrMsg, "stack overflow", (char *)nullptr);
      rc = TARVIK_INTERNAL;
      goto vdbe_halt;
    }
    if (p->trace) tarvikVdbePrintOp(p->trace, pc, pOp);
    if (db->xProgress && db->nProgressOps > 0) {
      if (nProgressOps == db->nProgressOps) {
        if (db->xProgress(db->pProgressArg)) {
          rc = TARVIK_ABORT;
          goto abort_due_to_error;
        }
        nProgressOps = 0;
      }
      nProgressOps++;
    }

    switch (pOp->opcode) {
      /* ---------------------------------------------------- control flow */
      case OP_Goto:
        if (db->flags & TARVIK_Interrupt) goto abort_due_to_interrupt;
        pc = pOp->p2 - 1;
        break;

      case OP_Gosub:
        if (p->returnDepth >= VDBE_RETURN_DEPTH) {
          tarvikSetString(&p->zErrMsg, "return address stack overflow", (char *)nullptr);
          rc = TARVIK_INTERNAL;
          goto abort_due_to_error;
        }
        p->returnStack[p->returnDepth++] = pc + 1;
        pc = pOp->p2 - 1;
        break;

      case OP_Return:
        if (p->returnDepth <= 0) {
          tarvikSetString(&p->zErrMsg, "return address stack underflow", (char *)nullptr);
          rc = TARVIK_INTERNAL;
          goto abort_due_to_error;
        }
        pc = p->returnStack[--p->returnDepth] - 1;
        break;

      case OP_Halt:
        p->magic = VDBE_MAGIC_HALT;
        p->pTos = pTos;
        p->pc = pc;
        if (pOp->p1 != TARVIK_OK) {
          p->rc = pOp->p1;
          p->errorAction = pOp->p2;
          if (pOp->p3) tarvikSetString(&p->zErrMsg, pOp->p3, (char *)nullptr);
          return TARVIK_ERROR;
        }
        p->rc = TARVIK_OK;
        return TARVIK_DONE;

      case OP_Noop:
        break;

      /* ---------------------------------------------------- stack */
      case OP_Integer:
        pTos++;
        pTos->i = pOp->p1;
        pTos->flags = MEM_Int;
        if (pOp->p3 && pOp->p3type != P3_POINTER) {
          pTos->z = pOp->p3;
          pTos->n = (int)strlen(pOp->p3) + 1;
          pTos->flags |= MEM_Str | MEM_Static;
        }
        break;

      case OP_String:
        pTos++;
        if (pOp->p3 && pOp->p3type != P3_POINTER) {
          pTos->z = pOp->p3;
          pTos->n = (int)strlen(pOp->p3) + 1;
          pTos->flags = MEM_Str | MEM_Static;
        } else {
          pTos->flags = MEM_Null;
        }
        break;

      case OP_Variable: {
        int j = pOp->p1 - 1;
        pTos++;
        if (j >= 0 && j < p->nVar && p->azVar[j] != nullptr) {
          pTos->z = p->azVar[j];
          pTos->n = p->anVar[j];
          pTos->flags = MEM_Str | MEM_Static;
        } else {
          pTos->flags = MEM_Null;
        }
        break;
      }

      case OP_Pop:
        NEED(pOp->p1);
        popN(&pTos, pOp->p1);
        break;

      case OP_Dup: {
        NEED((i64)pOp->p1 + 1);
        if (pOp->p1 < 0) goto stack_underflow;
        Mem *pFrom = pTos - pOp->p1;
        pTos++;
        memMove(pTos, pFrom);
        if ((pTos->flags & MEM_Str) && (pTos->flags & (MEM_Dyn | MEM_Ephem))) {
          if (pOp->p2) {
            pTos->flags = (pTos->flags & ~MEM_Dyn) | MEM_Ephem;
          } else {
            int flags = pTos->flags & ~(MEM_Dyn | MEM_Ephem | MEM_Str);
            if (!memSetBytes(pTos, pFrom->z, pFrom->n)) goto no_mem;
            pTos->flags |= flags;
          }
        }
        break;
      }

      case OP_Pull: {
        NEED((i64)pOp->p1 + 1);
        if (pOp->p1 < 0) goto stack_underflow;
        Mem *pFrom = pTos - pOp->p1;
        for (Mem *m = pFrom + 1; m <= pTos; m++) {
          if (!memDeephemeralize(m)) goto no_mem;
        }
        Mem ts;
        memMove(&ts, pFrom);
        for (Mem *m = pFrom; m < pTos; m++) memMove(m, m + 1);
        memMove(pTos, &ts);
        break;
      }

      case OP_Push: {
        NEED((i64)pOp->p1 + 1);
        if (pOp->p1 < 0) goto stack_underflow;
        if (pOp->p1 == 0) {
          popN(&pTos, 1); /* the top stored over itself, then dropped */
          break;
        }
        Mem *pTo = pTos - pOp->p1;
        if (!memDeephemeralize(pTos)) goto no_mem;
        tarvikMemRelease(pTo);
        memMove(pTo, pTos);
        pTos->flags = MEM_Null;
        pTos--;
        break;
      }

      /* ---------------------------------------------------- result rows */
      case OP_ColumnName:
        /* The name array has one slot per instruction. */
        if (pOp->p1 < 0 || pOp->p1 > pStackLast - p->aStack) {
          tarvikSetString(&p->zErrMsg, "column index out of range", (char *)nullptr);
          rc = TARVIK_INTERNAL;
          goto vdbe_halt;
        }
        p->azColName[pOp->p1] = pOp->p3type == P3_POINTER ? nullptr : pOp->p3;
        p->nCallback = 0;
        if (pOp->p2) p->nResColumn = pOp->p1 + 1;
        break;

      case OP_Callback: {
        NEED(pOp->p1);
        if (pOp->p1 < 0) goto stack_underflow;
        tvAssert(pOp->p1 == p->nResColumn);
        Mem *pFirst = pTos - pOp->p1 + 1;
        for (int i = 0; i < pOp->p1; i++) {
          Mem *m = &pFirst[i];
          if (m->flags & MEM_Null) {
            p->zArgv[i] = nullptr;
          } else {
            memStringify(m);
            p->zArgv[i] = m->z;
          }
        }
        /* A caller reads nResColumn entries: any beyond this row are null
        ** rather than left over from an earlier row. */
        for (int i = pOp->p1; i <= p->nResColumn && i <= pStackLast - p->aStack; i++) {
          p->zArgv[i] = nullptr;
        }
        p->zArgv[pOp->p1] = nullptr;
        p->nCallback++;
        p->azResColumn = p->zArgv;
        p->popStack = pOp->p1;
        p->pc = pc + 1;
        p->pTos = pTos;
        return TARVIK_ROW;
      }

      /* ---------------------------------------------------- text */
      case OP_Concat: {
        int nField = pOp->p1;
        NEED(nField);
        if (nField < 0) goto stack_underflow;
        const char *zSep = pOp->p3 && pOp->p3type != P3_POINTER ? pOp->p3 : "";
        i64 nSep = (i64)strlen(zSep);
        Mem *pFirst = pTos - nField + 1;
        bool isNull = false;
        i64 nByte = 0;
        for (int i = 0; i < nField; i++) {
          Mem *m = &pFirst[i];
          if (m->flags & MEM_Null) {
            isNull = true;
            break;
          }
          memStringify(m);
          nByte += (i64)strlen(m->z);
        }
        Mem res;
        res.flags = MEM_Null;
        if (!isNull) {
          nByte += nField > 1 ? nSep * (nField - 1) : 0;
          if (nByte >= INT32_MAX) goto too_big;
          char *z = memReserve(&res, (int)nByte + 1);
          if (z == nullptr) goto no_mem;
          i64 j = 0;
          for (int i = 0; i < nField; i++) {
            if (i > 0) {
              memcpy(&z[j], zSep, (size_t)nSep);
              j += nSep;
            }
            size_t len = strlen(pFirst[i].z);
            memcpy(&z[j], pFirst[i].z, len);
            j += (i64)len;
          }
          z[j] = 0;
          res.n = (int)j + 1;
        }
        if (pOp->p2 == 0) popN(&pTos, nField);
        pTos++;
        memMove(pTos, &res);
        break;
      }

      /* ---------------------------------------------------- arithmetic */
      case OP_Add:
      case OP_Subtract:
      case OP_Multiply:
      case OP_Divide:
      case OP_Remainder: {
        NEED(2);
        Mem *pA = pTos - 1, *pB = pTos;
        Mem res;
        res.flags = MEM_Null;
        if ((pA->flags | pB->flags) & MEM_Null) {
          /* NULL */
        } else if ((pA->flags & MEM_Int) && (pB->flags & MEM_Int)) {
          /* 32-bit arithmetic that wraps; no operand pair traps. */
          u32 a = (u32)pA->i, b = (u32)pB->i;
          int ia = pA->i, ib = pB->i;
          res.flags = MEM_Int;
          switch (pOp->opcode) {
            case OP_Add:
              res.i = (int)(a + b);
              break;
            case OP_Subtract:
              res.i = (int)(a - b);
              break;
            case OP_Multiply:
              res.i = (int)(a * b);
              break;
            case OP_Divide:
              if (ib == 0) {
                res.flags = MEM_Null;
              } else {
                res.i = ib == -1 ? (int)(0u - a) : ia / ib;
              }
              break;
            default:
              if (ib == 0) {
                res.flags = MEM_Null;
              } else {
                res.i = ib == -1 ? 0 : ia % ib;
              }
              break;
          }
        } else {
          memRealify(pA);
          memRealify(pB);
          double a = pA->r, b = pB->r;
          res.flags = MEM_Real;
          switch (pOp->opcode) {
            case OP_Add:
              res.r = a + b;
              break;
            case OP_Subtract:
              res.r = a - b;
              break;
            case OP_Multiply:
              res.r = a * b;
              break;
            case OP_Divide:
              if (b == 0.0) {
                res.flags = MEM_Null;
              } else {
                res.r = a / b;
              }
              break;
            default: {
              i64 ia = realToInt(a), ib = realToInt(b);
              if (ib == 0) {
                res.flags = MEM_Null;
              } else {
                res.r = (double)(ia % ib);
              }
              break;
            }
          }
        }
        popN(&pTos, 2);
        pTos++;
        memMove(pTos, &res);
        break;
      }

      case OP_BitAnd:
      case OP_BitOr:
      case OP_ShiftLeft:
      case OP_ShiftRight: {
        NEED(2);
        Mem *pB = pTos - 1, *pA = pTos; /* a is the top */
        if ((pA->flags | pB->flags) & MEM_Null) {
          popN(&pTos, 2);
          pTos++;
          pTos->flags = MEM_Null;
          break;
        }
        memIntegerify(pA);
        memIntegerify(pB);
        int a = pA->i, b = pB->i, v;
        int sh = b & 63;
        switch (pOp->opcode) {
          case OP_BitAnd:
            v = a & b;
            break;
          case OP_BitOr:
            v = a | b;
            break;
          case OP_ShiftLeft:
            v = sh >= 32 ? 0 : (int)((u32)a << sh);
            break;
          default:
            v = sh >= 32 ? (a < 0 ? -1 : 0) : a >> sh;
            break;
        }
        popN(&pTos, 2);
        pTos++;
        pTos->i = v;
        pTos->flags = MEM_Int;
        break;
      }

      case OP_AddImm:
        NEED(1);
        memIntegerify(pTos);
        memSetInt(pTos, (int)((u32)pTos->i + (u32)pOp->p1));
        break;

      case OP_ForceInt: {
        NEED(1);
        if (!(pTos->flags & (MEM_Int | MEM_Real)) &&
            !((pTos->flags & MEM_Str) && tarvikIsNumber(pTos->z))) {
          popN(&pTos, 1);
          pc = pOp->p2 - 1;
          break;
        }
        i64 v;
        if (pTos->flags & MEM_Int) {
          v = (i64)pTos->i + (pOp->p1 ? 1 : 0);
        } else {
          memRealify(pTos);
          double r = pTos->r;
          v = realToInt(r);
          if (r > (double)v) v++;
          if (pOp->p1 && r == (double)v) v++;
        }
        memSetInt(pTos, v > INT_MAX ? INT_MAX : (int)v);
        break;
      }

      case OP_MustBeInt: {
        NEED(1);
        int v = 0;
        bool ok;
        if (pTos->flags & MEM_Int) {
          v = pTos->i;
          ok = true;
        } else if (pTos->flags & MEM_Real) {
          ok = realIsInt(pTos->r, &v);
        } else if (pTos->flags & MEM_Str) {
          ok = readInt(pTos->z, &v) ||
               (tarvikIsNumber(pTos->z) && realIsInt(tarvikAtoF(pTos->z, nullptr), &v));
        } else {
          ok = false;
        }
        if (ok) {
          memSetInt(pTos, v);
        } else if (pOp->p2 == 0) {
          rc = TARVIK_MISMATCH;
          goto abort_due_to_error;
        } else {
          if (pOp->p1 == 1) popN(&pTos, 1);
          pc = pOp->p2 - 1;
        }
        break;
      }

      /* ---------------------------------------------------- comparison */
      case OP_Eq:
      case OP_Ne:
      case OP_Lt:
      case OP_Le:
      case OP_Gt:
      case OP_Ge:
      case OP_StrEq:
      case OP_StrNe:
      case OP_StrLt:
      case OP_StrLe:
      case OP_StrGt:
      case OP_StrGe: {
        NEED(2);
        Mem *pA = pTos - 1, *pB = pTos;
        if ((pA->flags | pB->flags) & MEM_Null) {
          popN(&pTos, 2);
          if (pOp->p2 == 0) {
            pTos++;
            pTos->flags = MEM_Null;
          } else if (pOp->p1) {
            pc = pOp->p2 - 1;
          }
          break;
        }
        int c;
        int op = pOp->opcode;
        if (op >= OP_StrEq) {
          memStringify(pA);
          memStringify(pB);
          c = strcmp(pA->z, pB->z);
          op -= OP_StrEq - OP_Eq;
        } else {
          int v;
          if ((pA->flags & MEM_Int) && (pB->flags & MEM_Int)) {
            c = pA->i < pB->i ? -1 : pA->i > pB->i;
          } else if ((pB->flags & MEM_Int) && (pA->flags & MEM_Str) && readInt(pA->z, &v)) {
            c = v < pB->i ? -1 : v > pB->i;
          } else if ((pA->flags & MEM_Int) && (pB->flags & MEM_Str) && readInt(pB->z, &v)) {
            c = pA->i < v ? -1 : pA->i > v;
          } else {
            memStringify(pA);
            memStringify(pB);
            c = tarvikCompare(pA->z, pB->z);
          }
        }
        bool truth;
        switch (op) {
          case OP_Eq:
            truth = c == 0;
            break;
          case OP_Ne:
            truth = c != 0;
            break;
          case OP_Lt:
            truth = c < 0;
            break;
          case OP_Le:
            truth = c <= 0;
            break;
          case OP_Gt:
            truth = c > 0;
            break;
          default:
            truth = c >= 0;
            break;
        }
        popN(&pTos, 2);
        if (pOp->p2) {
          if (truth) pc = pOp->p2 - 1;
        } else {
          pTos++;
          pTos->i = truth;
          pTos->flags = MEM_Int;
        }
        break;
      }

      case OP_And:
      case OP_Or: {
        NEED(2);
        int v[2]; /* 0 false, 1 true, 2 NULL */
        for (int k = 0; k < 2; k++) {
          Mem *m = pTos - 1 + k;
          if (m->flags & MEM_Null) {
            v[k] = 2;
          } else {
            memIntegerify(m);
            v[k] = m->i != 0;
          }
        }
        int r;
        if (pOp->opcode == OP_And) {
          r = (v[0] == 0 || v[1] == 0) ? 0 : (v[0] == 2 || v[1] == 2) ? 2 : 1;
        } else {
          r = (v[0] == 1 || v[1] == 1) ? 1 : (v[0] == 2 || v[1] == 2) ? 2 : 0;
        }
        popN(&pTos, 2);
        pTos++;
        if (r == 2) {
          pTos->flags = MEM_Null;
        } else {
          pTos->i = r;
          pTos->flags = MEM_Int;
        }
        break;
      }

      case OP_Negative:
      case OP_AbsValue:
        NEED(1);
        if (pTos->flags & MEM_Null) break;
        if (pTos->flags & MEM_Real) {
          double r = pTos->r;
          memSetReal(pTos, pOp->opcode == OP_Negative ? -r : std::fabs(r));
        } else if (pTos->flags & MEM_Int) {
          int v = pTos->i;
          if (pOp->opcode == OP_Negative || v < 0) v = (int)(0u - (u32)v);
          memSetInt(pTos, v);
        } else {
          memRealify(pTos);
          double r = pTos->r;
          memSetReal(pTos, pOp->opcode == OP_Negative ? -r : std::fabs(r));
        }
        break;

      case OP_Not:
        NEED(1);
        if (pTos->flags & MEM_Null) break;
        memIntegerify(pTos);
        memSetInt(pTos, pTos->i == 0);
        break;

      case OP_BitNot:
        NEED(1);
        if (pTos->flags & MEM_Null) break;
        memIntegerify(pTos);
        memSetInt(pTos, ~pTos->i);
        break;

      case OP_If:
      case OP_IfNot: {
        NEED(1);
        int c;
        if (pTos->flags & MEM_Null) {
          c = pOp->p1;
        } else {
          memIntegerify(pTos);
          c = pTos->i;
          if (pOp->opcode == OP_IfNot) c = !c;
        }
        popN(&pTos, 1);
        if (c) pc = pOp->p2 - 1;
        break;
      }

      case OP_IsNull:
      case OP_NotNull: {
        int cnt = pOp->p1 < 0 ? -pOp->p1 : pOp->p1;
        NEED(cnt);
        bool anyNull = false;
        for (int i = 0; i < cnt; i++) {
          if (pTos[-i].flags & MEM_Null) {
            anyNull = true;
            break;
          }
        }
        if (pOp->p1 > 0) popN(&pTos, cnt);
        if (anyNull == (pOp->opcode == OP_IsNull)) pc = pOp->p2 - 1;
        break;
      }

      /* ---------------------------------------------------- functions */
      case OP_Function: {
        int n = pOp->p1;
        NEED(n);
        if (n < 0) goto stack_underflow;
        FuncDef *pDef = pOp->p3type == P3_POINTER ? (FuncDef *)(void *)pOp->p3 : nullptr;
        if (pDef == nullptr || pDef->xFunc == nullptr) {
          tarvikSetString(&p->zErrMsg, "not a scalar function", (char *)nullptr);
          rc = TARVIK_INTERNAL;
          goto abort_due_to_error;
        }
        Mem *pArg = pTos - n + 1;
        const char **azArgv = p->zArgv;
        for (int i = 0; i < n; i++) {
          if (pArg[i].flags & MEM_Null) {
            azArgv[i] = nullptr;
          } else {
            memStringify(&pArg[i]);
            azArgv[i] = pArg[i].z;
          }
        }
        tarvik_func ctx{};
        ctx.pFunc = pDef;
        ctx.s.flags = MEM_Null;
        if (tarvikSafetyOff(db)) goto abort_due_to_misuse;
        pDef->xFunc(&ctx, n, azArgv);
        if (tarvikSafetyOn(db)) {
          tarvikFuncContextClear(&ctx);
          goto abort_due_to_misuse;
        }
        tarvikFree(ctx.zErrMsg);
        popN(&pTos, n);
        pTos++;
        memMove(pTos, &ctx.s);
        if (ctx.isError) {
          const char *zMsg = (pTos->flags & MEM_Str) ? pTos->z : "user function error";
          tarvikSetString(&p->zErrMsg, zMsg, (char *)nullptr);
          rc = TARVIK_ERROR;
          goto abort_due_to_error;
        }
        if (tarvik_malloc_failed) goto no_mem;
        break;
      }

      /* ---------------------------------------------------- transactions */
      case OP_Transaction: {
        Db *pDb = dbAt(db, pOp->p1);
        if (pDb == nullptr) goto bad_database;
        if (pDb->pBt == nullptr || pDb->inTrans) break;
        int nBusy = 0;
        for (;;) {
          rc = tarvikBtreeBeginTrans(pDb->pBt);
          if (rc == TARVIK_READONLY) rc = TARVIK_OK;
          if (rc != TARVIK_BUSY) break;
          if (db->xBusyCallback == nullptr) {
            p->pc = pc;
            p->undoTransOnError = 1;
            p->rc = TARVIK_BUSY;
            p->pTos = pTos;
            return TARVIK_BUSY;
          }
          if (db->xBusyCallback(db->pBusyArg, "", ++nBusy) == 0) {
            tarvikSetString(&p->zErrMsg, tarvik_error_string(TARVIK_BUSY), (char *)nullptr);
            break;
          }
        }
        if (rc) goto abort_due_to_error;
        p->inTempTrans = 0;
        pDb->inTrans = 1;
        p->undoTransOnError = 1;
        break;
      }

      case OP_Checkpoint: {
        Db *pDb = dbAt(db, pOp->p1);
        if (pDb && pDb->pBt && pDb->inTrans == 1) {
          rc = tarvikBtreeBeginCkpt(pDb->pBt);
          if (rc) goto abort_due_to_error;
          pDb->inTrans = 2;
        }
        break;
      }

      case OP_Commit: {
        if (db->xCommitCallback) {
          if (tarvikSafetyOff(db)) goto abort_due_to_misuse;
          if (db->xCommitCallback(db->pCommitArg)) rc = TARVIK_CONSTRAINT;
          if (tarvikSafetyOn(db)) goto abort_due_to_misuse;
        }
        for (int i = 0; rc == TARVIK_OK && i < db->nDb; i++) {
          if (db->aDb[i].inTrans) {
            if (db->aDb[i].pBt) rc = tarvikBtreeCommit(db->aDb[i].pBt);
            db->aDb[i].inTrans = 0;
          }
        }
        if (rc == TARVIK_OK) {
          tarvikCommitInternalChanges(db);
        } else {
          tarvikRollbackAll(db);
          goto abort_due_to_error;
        }
        break;
      }

      case OP_Rollback:
        tarvikRollbackAll(db);
        break;

      case OP_ReadCookie:
      case OP_SetCookie:
      case OP_VerifyCookie: {
        Db *pDb = dbAt(db, pOp->p1);
        if (pDb == nullptr) goto bad_database;
        int aMeta[TARVIK_N_BTREE_META] = {};
        if (pDb->pBt) {
          rc = tarvikBtreeGetMeta(pDb->pBt, aMeta);
          if (rc) goto abort_due_to_error;
        }
        if (pOp->opcode == OP_VerifyCookie) {
          if (aMeta[1] != pOp->p2) {
            tarvikSetString(&p->zErrMsg, "database schema has changed", (char *)nullptr);
            rc = TARVIK_SCHEMA;
            goto abort_due_to_error;
          }
          break;
        }
        /* Meta values 1..9 are the schema layer's. */
        if (pOp->p2 < 0 || pOp->p2 + 1 >= TARVIK_N_BTREE_META) {
          tarvikSetString(&p->zErrMsg, "meta value index out of range", (char *)nullptr);
          rc = TARVIK_INTERNAL;
          goto abort_due_to_error;
        }
        if (pOp->opcode == OP_ReadCookie) {
          pTos++;
          pTos->i = aMeta[1 + pOp->p2];
          pTos->flags = MEM_Int;
        } else {
          NEED(1);
          memIntegerify(pTos);
          aMeta[1 + pOp->p2] = pTos->i;
          if (pDb->pBt) {
            rc = tarvikBtreeUpdateMeta(pDb->pBt, aMeta);
            if (rc) goto abort_due_to_error;
          }
          popN(&pTos, 1);
        }
        break;
      }

      /* ---------------------------------------------------- opening cursors */
      case OP_OpenRead:
      case OP_OpenWrite: {
        NEED(1);
        int nPop = 1;
        int iRoot = pOp->p2;
        memIntegerify(pTos);
        int iDb = pTos->i;
        if (iRoot <= 0) {
          NEED(2);
          memIntegerify(pTos - 1);
          iRoot = pTos[-1].i;
          nPop = 2;
          if (iRoot < 2) {
            tarvikSetString(&p->zErrMsg, "root page number less than 2", (char *)nullptr);
            rc = TARVIK_INTERNAL;
            goto abort_due_to_error;
          }
        }
        Db *pDb = dbAt(db, iDb);
        if (pDb == nullptr) goto bad_database;
        Cursor *pC = cursorSlot(p, pOp->p1);
        if (pC == nullptr) goto bad_cursor;
        tarvikVdbeCloseCursor(pC);
        pC->nullRow = 1;
        if (pDb->pBt) {
          int nBusy = 0;
          for (;;) {
            rc = tarvikBtreeCursor(pDb->pBt, iRoot, pOp->opcode == OP_OpenWrite, &pC->pCursor);
            if (rc != TARVIK_BUSY) break;
            pC->pCursor = nullptr;
            if (db->xBusyCallback == nullptr) {
              /* The operands are still on the stack: the instruction runs
              ** again when the program resumes. */
              p->pc = pc;
              p->rc = TARVIK_BUSY;
              p->pTos = pTos;
              return TARVIK_BUSY;
            }
            const char *zName = pOp->p3type == P3_POINTER ? "" : pOp->p3 ? pOp->p3 : "";
            if (db->xBusyCallback(db->pBusyArg, zName, ++nBusy) == 0) {
              tarvikSetString(&p->zErrMsg, tarvik_error_string(TARVIK_BUSY), (char *)nullptr);
              break;
            }
          }
          if (rc) {
            pC->pCursor = nullptr;
            goto abort_due_to_error;
          }
        }
        popN(&pTos, nPop);
        break;
      }

      case OP_OpenTemp: {
        Cursor *pC = cursorSlot(p, pOp->p1);
        if (pC == nullptr) goto bad_cursor;
        tarvikVdbeCloseCursor(pC);
        pC->nullRow = 1;
        rc = tarvikBtreeFactory(db, nullptr, 1, 500, &pC->pBt);
        if (rc == TARVIK_OK) rc = tarvikBtreeBeginTrans(pC->pBt);
        if (rc == TARVIK_OK) {
          int iRoot = 2;
          if (pOp->p2) rc = tarvikBtreeCreateIndex(pC->pBt, &iRoot);
          if (rc == TARVIK_OK) rc = tarvikBtreeCursor(pC->pBt, iRoot, 1, &pC->pCursor);
        }
        if (rc) {
          pC->pCursor = nullptr;
          tarvikVdbeCloseCursor(pC);
          goto abort_due_to_error;
        }
        break;
      }

      case OP_OpenPseudo: {
        Cursor *pC = cursorSlot(p, pOp->p1);
        if (pC == nullptr) goto bad_cursor;
        tarvikVdbeCloseCursor(pC);
        pC->nullRow = 1;
        pC->pseudoTable = 1;
        break;
      }

      case OP_Close:
        if (pOp->p1 >= 0 && pOp->p1 < p->nCursor) tarvikVdbeCloseCursor(&p->aCsr[pOp->p1]);
        break;

      /* ---------------------------------------------------- seeking */
      case OP_MoveTo:
      case OP_MoveLt: {
        NEED(1);
        Cursor *pC = cursorSlot(p, pOp->p1);
        if (pC == nullptr) goto bad_cursor;
        if (pC->pCursor) {
          int res = 0;
          pC->nullRow = 0;
          if (pTos->flags & MEM_Int) {
            if (pOp->p2 == 0 && pOp->opcode == OP_MoveTo) {
              pC->movetoTarget = pTos->i;
              pC->deferredMoveto = 1;
              pC->recnoIsValid = 0;
              popN(&pTos, 1);
              break;
            }
            unsigned char zKey[4];
            putRowKey(pTos->i, zKey);
            rc = tarvikBtreeMoveto(pC->pCursor, zKey, 4, &res);
            pC->lastRecno = pTos->i;
            pC->recnoIsValid = res == 0;
          } else {
            memStringify(pTos);
            rc = tarvikBtreeMoveto(pC->pCursor, pTos->z, pTos->n, &res);
            pC->recnoIsValid = 0;
          }
          if (rc) goto abort_due_to_error;
          pC->deferredMoveto = 0;
          tarvik_search_count++;
          if (pOp->opcode == OP_MoveTo) {
            if (res < 0) {
              rc = tarvikBtreeNext(pC->pCursor, &res);
              if (rc) goto abort_due_to_error;
              pC->recnoIsValid = 0;
              if (res && pOp->p2 > 0) pc = pOp->p2 - 1;
            }
          } else {
            if (res >= 0) {
              rc = tarvikBtreePrevious(pC->pCursor, &res);
              if (rc) goto abort_due_to_error;
              pC->recnoIsValid = 0;
            } else {
              /* Landed below the key, or the tree is empty. */
              int nKey = 0;
              res = tarvikBtreeKeySize(pC->pCursor, &nKey) != TARVIK_OK || nKey == 0;
            }
            if (res && pOp->p2 > 0) pc = pOp->p2 - 1;
          }
        }
        popN(&pTos, 1);
        break;
      }

      case OP_Distinct:
      case OP_NotFound:
      case OP_Found: {
        NEED(1);
        Cursor *pC = cursorSlot(p, pOp->p1);
        if (pC == nullptr) goto bad_cursor;
        bool found = false;
        if (pC->pCursor) {
          int res = 0;
          memStringify(pTos);
          rc = tarvikBtreeMoveto(pC->pCursor, pTos->z, pTos->n, &res);
          if (rc) goto abort_due_to_error;
          found = res == 0;
          pC->deferredMoveto = 0;
          pC->recnoIsValid = 0;
          /* The row found can be read; after a miss the cursor rests on
          ** some neighbour, which must not read as the row sought. */
          pC->nullRow = !found;
        }
        if (pOp->opcode != OP_Distinct) popN(&pTos, 1);
        if (found == (pOp->opcode == OP_Found)) pc = pOp->p2 - 1;
        break;
      }

      case OP_IsUnique: {
        NEED(2);
        Cursor *pC = cursorSlot(p, pOp->p1);
        if (pC == nullptr) goto bad_cursor;
        memIntegerify(pTos);
        int R = pTos->i;
        popN(&pTos, 1);
        memStringify(pTos);
        int nFields = pTos->n - 4;
        if (nFields < 0) goto bad_key;
        if (pC->pCursor == nullptr) {
          pc = pOp->p2 - 1;
          break;
        }
        BtCursor *pCrsr = pC->pCursor;
        int res = 0;
        rc = tarvikBtreeMoveto(pCrsr, pTos->z, nFields, &res);
        if (rc) goto abort_due_to_error;
        pC->deferredMoveto = 0;
        pC->recnoIsValid = 0;
        if (res < 0) {
          rc = tarvikBtreeNext(pCrsr, &res);
          if (rc) goto abort_due_to_error;
          if (res) {
            pc = pOp->p2 - 1;
            break;
          }
        }
        rc = tarvikBtreeKeyCompare(pCrsr, pTos->z, nFields, 4, &res);
        if (rc) goto abort_due_to_error;
        if (res > 0) {
          pc = pOp->p2 - 1;
          break;
        }
        int nKey = 0;
        rc = tarvikBtreeKeySize(pCrsr, &nKey);
        if (rc) goto abort_due_to_error;
        unsigned char zBuf[4];
        if (nKey < 4 || tarvikBtreeKey(pCrsr, nKey - 4, 4, (char *)zBuf) != 4) {
          rc = TARVIK_CORRUPT;
          goto abort_due_to_error;
        }
        int v = getRowKey(zBuf);
        if (v == R) {
          pc = pOp->p2 - 1;
          break;
        }
        pTos++;
        pTos->i = v;
        pTos->flags = MEM_Int;
        break;
      }

      case OP_NotExists: {
        NEED(1);
        Cursor *pC = cursorSlot(p, pOp->p1);
        if (pC == nullptr) goto bad_cursor;
        memIntegerify(pTos);
        int iRow = pTos->i;
        popN(&pTos, 1);
        bool exists = false;
        if (pC->pCursor) {
          unsigned char zKey[4];
          int res = 0;
          putRowKey(iRow, zKey);
          rc = tarvikBtreeMoveto(pC->pCursor, zKey, 4, &res);
          if (rc) goto abort_due_to_error;
          exists = res == 0;
          pC->lastRecno = iRow;
          pC->recnoIsValid = exists;
          pC->nullRow = 0;
          pC->deferredMoveto = 0;
        }
        if (!exists) pc = pOp->p2 - 1;
        break;
      }

      /* ---------------------------------------------------- row numbers */
      case OP_NewRecno: {
        Cursor *pC = cursorSlot(p, pOp->p1);
        if (pC == nullptr) goto bad_cursor;
        int v = 0;
        if (pC->pCursor) {
          BtCursor *pCrsr = pC->pCursor;
          if (!pC->useRandomRowid) {
            if (pC->nextRowidValid) {
              v = pC->nextRowid;
            } else {
              int res = 0;
              rc = tarvikBtreeLast(pCrsr, &res);
              if (rc) goto abort_due_to_error;
              if (res) {
                v = 1;
              } else {
                unsigned char zBuf[4];
                if (tarvikBtreeKey(pCrsr, 0, 4, (char *)zBuf) != 4) {
                  rc = TARVIK_CORRUPT;
                  goto abort_due_to_error;
                }
                v = getRowKey(zBuf);
                if (v == INT_MAX) {
                  pC->useRandomRowid = 1;
                } else {
                  v++;
                }
              }
            }
            if (v < INT_MAX) {
              pC->nextRowidValid = 1;
              pC->nextRowid = v + 1;
            } else {
              pC->nextRowidValid = 0;
            }
          }
          if (pC->useRandomRowid) {
            u32 cand = (u32)db->priorNewRowid;
            int cnt = 0;
            int res = 0;
            do {
              do {
                if (cand == 0 || cnt > 2) {
                  tarvikRandomness(4, &cand);
                  if (cnt < 5) cand &= 0xffffff;
                } else {
                  unsigned char r = 0;
                  tarvikRandomness(1, &r);
                  cand += (u32)r + 1;
                }
              } while (cand == 0);
              unsigned char zKey[4];
              putRowKey((int)cand, zKey);
              rc = tarvikBtreeMoveto(pCrsr, zKey, 4, &res);
              cnt++;
            } while (rc == TARVIK_OK && res == 0 && cnt < 1000);
            db->priorNewRowid = (int)cand;
            if (rc) goto abort_due_to_error;
            if (res == 0) {
              rc = TARVIK_FULL;
              goto abort_due_to_error;
            }
            v = (int)cand;
          }
          pC->recnoIsValid = 0;
          pC->deferredMoveto = 0;
        }
        pTos++;
        pTos->i = v;
        pTos->flags = MEM_Int;
        break;
      }

      /* ---------------------------------------------------- writing */
      case OP_PutIntKey:
      case OP_PutStrKey: {
        NEED(2);
        Cursor *pC = cursorSlot(p, pOp->p1);
        if (pC == nullptr) goto bad_cursor;
        Mem *pNos = pTos - 1;
        if (pC->pCursor || pC->pseudoTable) {
          unsigned char zIntKey[4];
          const char *zKey;
          int nKey;
          int iKey = 0;
          if (pOp->opcode == OP_PutIntKey) {
            memIntegerify(pNos);
            iKey = pNos->i;
            putRowKey(iKey, zIntKey);
            zKey = (const char *)zIntKey;
            nKey = 4;
            if (pOp->p2 & 1) db->nChange++;
            if (pOp->p2 & 2) db->lastRowid = iKey;
            if (pOp->p2 & 4) db->csChange++;
            if (pC->nextRowidValid && iKey >= pC->nextRowid) pC->nextRowidValid = 0;
          } else {
            memStringify(pNos);
            zKey = pNos->z;
            nKey = pNos->n;
          }
          const char *zData = "";
          int nData = 0;
          if (!(pTos->flags & MEM_Null)) {
            memStringify(pTos);
            zData = pTos->z;
            nData = pTos->n;
          }
          if (pC->pseudoTable) {
            /* The stored row keeps one NUL beyond its end, like every
            ** byte string of the loop. */
            char *zRow;
            if ((pTos->flags & MEM_Dyn) && nData > 0) {
              zRow = pTos->z;
              pTos->flags = MEM_Null;
            } else {
              zRow = (char *)tarvikMallocRaw(nData + 1);
              if (zRow == nullptr) goto no_mem;
              if (nData) memcpy(zRow, zData, (size_t)nData);
              zRow[nData] = 0;
            }
            tarvikFree(pC->pData);
            pC->pData = zRow;
            pC->nData = nData;
            pC->iKey = iKey;
            pC->nullRow = 0;
          } else {
            rc = tarvikBtreeInsert(pC->pCursor, zKey, nKey, zData, nData);
            if (rc) goto abort_due_to_error;
          }
          pC->recnoIsValid = 0;
          pC->deferredMoveto = 0;
        }
        popN(&pTos, 2);
        break;
      }

      case OP_Delete: {
        Cursor *pC = cursorSlot(p, pOp->p1);
        if (pC == nullptr) goto bad_cursor;
        if (pC->pCursor) {
          rc = tarvikVdbeCursorMoveto(pC);
          if (rc == TARVIK_OK) rc = tarvikBtreeDelete(pC->pCursor);
          if (rc) goto abort_due_to_error;
          pC->nextRowidValid = 0;
          if (pOp->p2 & 1) db->nChange++;
          if (pOp->p2 & 4) db->csChange++;
        }
        break;
      }

      case OP_SetCounts:
        db->lsChange = db->csChange;
        db->csChange = 0;
        break;

      case OP_KeyAsData: {
        Cursor *pC = cursorSlot(p, pOp->p1);
        if (pC == nullptr) goto bad_cursor;
        pC->keyAsData = pOp->p2 != 0;
        break;
      }

      /* ---------------------------------------------------- reading rows */
      case OP_RowKey:
      case OP_RowData:
      case OP_FullKey: {
        Cursor *pC = cursorSlot(p, pOp->p1);
        if (pC == nullptr) goto bad_cursor;
        pTos++;
        pTos->flags = MEM_Null;
        if (pC->nullRow) break;
        if (pC->pCursor) {
          rc = tarvikVdbeCursorMoveto(pC);
          if (rc) goto abort_due_to_error;
          bool asKey = pOp->opcode != OP_RowData || pC->keyAsData;
          rc = pushPayload(pC->pCursor, asKey, pTos);
          if (rc == TARVIK_OK && pOp->opcode == OP_FullKey && pTos->n <= 0) rc = TARVIK_CORRUPT;
          if (rc) goto abort_due_to_error;
        } else if (pOp->opcode == OP_RowData && pC->pseudoTable) {
          pTos->z = pC->pData;
          pTos->n = pC->nData;
          pTos->flags = pC->pData ? MEM_Str | MEM_Ephem : MEM_Null;
        }
        break;
      }

      case OP_Column: {
        int iField = pOp->p2;
        const char *zRec = nullptr; /* the record in memory, or null: read the B-tree */
        BtCursor *pCrsr = nullptr;
        bool asKey = false;
        i64 S = 0;
        if (pOp->p1 < 0) {
          NEED(-(i64)pOp->p1);
          Mem *pRec = pTos + pOp->p1 + 1;
          if (!(pRec->flags & MEM_Str)) goto bad_record;
          zRec = pRec->z;
          S = pRec->n;
        } else {
          Cursor *pC = cursorSlot(p, pOp->p1);
          if (pC == nullptr) goto bad_cursor;
          if (pC->nullRow) {
            /* NULL */
          } else if (pC->pCursor) {
            rc = tarvikVdbeCursorMoveto(pC);
            if (rc) goto abort_due_to_error;
            pCrsr = pC->pCursor;
            asKey = pC->keyAsData;
            int n = 0;
            rc = asKey ? tarvikBtreeKeySize(pCrsr, &n) : tarvikBtreeDataSize(pCrsr, &n);
            if (rc) goto abort_due_to_error;
            S = n;
          } else if (pC->pseudoTable && pC->pData) {
            zRec = pC->pData;
            S = pC->nData;
          }
        }
        pTos++;
        pTos->flags = MEM_Null;
        if (S <= 0) break;
        int w = recordOffsetWidth(S);
        if (iField < 0 || ((i64)iField + 2) * w > S) goto corrupt;
        unsigned char aOff[6];
        if (zRec) {
          memcpy(aOff, zRec + (i64)iField * w, (size_t)(2 * w));
        } else {
          int got = asKey ? tarvikBtreeKey(pCrsr, iField * w, 2 * w, (char *)aOff)
                          : tarvikBtreeData(pCrsr, iField * w, 2 * w, (char *)aOff);
          if (got != 2 * w) goto corrupt;
        }
        i64 off[2];
        for (int k = 0; k < 2; k++) {
          const unsigned char *a = &aOff[k * w];
          off[k] = a[0];
          if (w > 1) off[k] |= (i64)a[1] << 8;
          if (w > 2) off[k] |= (i64)a[2] << 16;
        }
        i64 amt = off[1] - off[0];
        if (amt < 0 || off[1] > S) goto corrupt;
        if (amt == 0) break;
        if (zRec) {
          /* A field must end in its NUL inside the record, else reading it
          ** as text would run past the record. */
          if (zRec[off[1] - 1] != 0) goto corrupt;
          pTos->z = (char *)zRec + off[0];
          pTos->n = (int)amt;
          pTos->flags = MEM_Str | MEM_Ephem;
        } else {
          char *z = memReserve(pTos, (int)amt);
          if (z == nullptr) goto no_mem;
          int got = asKey ? tarvikBtreeKey(pCrsr, (int)off[0], (int)amt, z)
                          : tarvikBtreeData(pCrsr, (int)off[0], (int)amt, z);
          if (got != amt || z[amt - 1] != 0) goto corrupt;
        }
        break;
      }

      case OP_Recno: {
        Cursor *pC = cursorSlot(p, pOp->p1);
        if (pC == nullptr) goto bad_cursor;
        if (pC->pCursor) {
          rc = tarvikVdbeCursorMoveto(pC);
          if (rc) goto abort_due_to_error;
        }
        pTos++;
        if (pC->recnoIsValid) {
          pTos->i = pC->lastRecno;
        } else if (pC->pseudoTable) {
          pTos->i = pC->iKey;
        } else if (pC->nullRow || pC->pCursor == nullptr) {
          pTos->flags = MEM_Null;
          break;
        } else {
          unsigned char zBuf[4];
          if (tarvikBtreeKey(pC->pCursor, 0, 4, (char *)zBuf) != 4) {
            pTos->flags = MEM_Null;
            goto corrupt;
          }
          pTos->i = getRowKey(zBuf);
        }
        pTos->flags = MEM_Int;
        break;
      }

      case OP_NullRow: {
        Cursor *pC = cursorSlot(p, pOp->p1);
        if (pC == nullptr) goto bad_cursor;
        pC->nullRow = 1;
        pC->recnoIsValid = 0;
        break;
      }

      /* ---------------------------------------------------- stepping */
      case OP_Rewind:
      case OP_Last: {
        Cursor *pC = cursorSlot(p, pOp->p1);
        if (pC == nullptr) goto bad_cursor;
        int res = 0;
        if (pC->pCursor) {
          rc = pOp->opcode == OP_Rewind ? tarvikBtreeFirst(pC->pCursor, &res)
                                        : tarvikBtreeLast(pC->pCursor, &res);
          if (rc) goto abort_due_to_error;
          if (pOp->opcode == OP_Rewind) pC->atFirst = res == 0;
          pC->nullRow = res != 0;
          pC->deferredMoveto = 0;
          pC->recnoIsValid = 0;
        } else {
          /* A pseudo table's one row becomes visible. */
          pC->nullRow = 0;
        }
        if (res && pOp->p2 > 0) pc = pOp->p2 - 1;
        break;
      }

      case OP_Next:
      case OP_Prev: {
        if (db->flags & TARVIK_Interrupt) goto abort_due_to_interrupt;
        Cursor *pC = cursorSlot(p, pOp->p1);
        if (pC == nullptr) goto bad_cursor;
        if (pC->pCursor) {
          int res = 1;
          if (!pC->nullRow) {
            rc = tarvikVdbeCursorMoveto(pC);
            if (rc == TARVIK_OK) {
              rc = pOp->opcode == OP_Next ? tarvikBtreeNext(pC->pCursor, &res)
                                          : tarvikBtreePrevious(pC->pCursor, &res);
            }
            if (rc) goto abort_due_to_error;
            pC->nullRow = res != 0;
          }
          if (res == 0) {
            pc = pOp->p2 - 1;
            tarvik_search_count++;
          }
        } else {
          pC->nullRow = 1;
        }
        pC->recnoIsValid = 0;
        break;
      }

      /* ---------------------------------------------------- indices */
      case OP_IdxPut: {
        NEED(1);
        Cursor *pC = cursorSlot(p, pOp->p1);
        if (pC == nullptr) goto bad_cursor;
        if (pC->pCursor) {
          BtCursor *pCrsr = pC->pCursor;
          memStringify(pTos);
          const char *zKey = pTos->z;
          int nKey = pTos->n;
          if (pOp->p2) {
            int nFields = nKey - 4;
            if (nFields < 0) goto bad_key;
            int res = 0;
            rc = tarvikBtreeMoveto(pCrsr, zKey, nFields, &res);
            if (rc) goto abort_due_to_error;
            /* Entries with the same fields sort around the seek position:
            ** look at the entry found and, if it is smaller, the next. */
            for (int k = 0; k < 2 && res != 0; k++) {
              int n = 0, c = 1;
              if (tarvikBtreeKeySize(pCrsr, &n) == TARVIK_OK && n == nKey &&
                  tarvikBtreeKeyCompare(pCrsr, zKey, nFields, 4, &c) == TARVIK_OK && c == 0) {
                rc = TARVIK_CONSTRAINT;
                if (pOp->p3 && pOp->p3type != P3_POINTER && pOp->p3[0]) {
                  tarvikSetString(&p->zErrMsg, pOp->p3, (char *)nullptr);
                }
                goto abort_due_to_error;
              }
              if (res > 0) break;
              rc = tarvikBtreeNext(pCrsr, &res);
              if (rc) goto abort_due_to_error;
              if (res) break; /* past the end */
              res = 1;
            }
          }
          rc = tarvikBtreeInsert(pCrsr, zKey, nKey, "", 0);
          if (rc) goto abort_due_to_error;
          pC->recnoIsValid = 0;
          pC->deferredMoveto = 0;
        }
        popN(&pTos, 1);
        break;
      }

      case OP_IdxDelete: {
        NEED(1);
        Cursor *pC = cursorSlot(p, pOp->p1);
        if (pC == nullptr) goto bad_cursor;
        if (pC->pCursor) {
          int res = 0;
          memStringify(pTos);
          rc = tarvikBtreeMoveto(pC->pCursor, pTos->z, pTos->n, &res);
          if (rc == TARVIK_OK && res == 0) rc = tarvikBtreeDelete(pC->pCursor);
          if (rc) goto abort_due_to_error;
          pC->deferredMoveto = 0;
          pC->recnoIsValid = 0;
        }
        popN(&pTos, 1);
        break;
      }

      case OP_IdxRecno: {
        Cursor *pC = cursorSlot(p, pOp->p1);
        if (pC == nullptr) goto bad_cursor;
        pTos++;
        pTos->flags = MEM_Null;
        if (pC->pCursor && !pC->nullRow) {
          int nKey = 0;
          rc = tarvikBtreeKeySize(pC->pCursor, &nKey);
          if (rc) goto abort_due_to_error;
          unsigned char zBuf[4];
          if (nKey >= 4 && tarvikBtreeKey(pC->pCursor, nKey - 4, 4, (char *)zBuf) == 4) {
            pTos->i = getRowKey(zBuf);
            pTos->flags = MEM_Int;
          }
        }
        break;
      }

      case OP_IdxLT:
      case OP_IdxGT:
      case OP_IdxGE: {
        NEED(1);
        Cursor *pC = cursorSlot(p, pOp->p1);
        if (pC == nullptr) goto bad_cursor;
        if (pC->pCursor) {
          int c = 0;
          memStringify(pTos);
          rc = tarvikBtreeKeyCompare(pC->pCursor, pTos->z, pTos->n, 4, &c);
          if (rc) goto abort_due_to_error;
          bool jump = pOp->opcode == OP_IdxLT ? c < 0 : pOp->opcode == OP_IdxGT ? c > 0 : c >= 0;
          if (jump) pc = pOp->p2 - 1;
        }
        popN(&pTos, 1);
        break;
      }

      case OP_IdxIsNull: {
        NEED(1);
        bool hasNull = false;
        if (pTos->flags & MEM_Str) {
          const char *z = pTos->z;
          int n = pTos->n;
          int k = 0;
          for (int i = pOp->p1; k < n && i > 0; i--) {
            if (z[k] == 'a') {
              hasNull = true;
              break;
            }
            while (k < n && z[k]) k++;
            k++;
          }
        }
        popN(&pTos, 1);
        if (hasNull) pc = pOp->p2 - 1;
        break;
      }

      /* ---------------------------------------------------- trees */
      case OP_Destroy:
      case OP_Clear: {
        Db *pDb = dbAt(db, pOp->p2);
        if (pDb == nullptr) goto bad_database;
        if (pDb->pBt) {
          rc = pOp->opcode == OP_Destroy ? tarvikBtreeDropTable(pDb->pBt, pOp->p1)
                                         : tarvikBtreeClearTable(pDb->pBt, pOp->p1);
          if (rc) goto abort_due_to_error;
        }
        break;
      }

      case OP_CreateTable:
      case OP_CreateIndex: {
        Db *pDb = dbAt(db, pOp->p2);
        if (pDb == nullptr) goto bad_database;
        int iRoot = 0;
        pTos++;
        pTos->flags = MEM_Null;
        if (pDb->pBt == nullptr) break;
        rc = pOp->opcode == OP_CreateTable ? tarvikBtreeCreateTable(pDb->pBt, &iRoot)
                                           : tarvikBtreeCreateIndex(pDb->pBt, &iRoot);
        if (rc) goto abort_due_to_error;
        pTos->i = iRoot;
        pTos->flags = MEM_Int;
        if (pOp->p3type == P3_POINTER && pOp->p3) {
          /* The schema object's root-page field; filled in once. */
          *(int *)(void *)pOp->p3 = iRoot;
          pOp->p3 = nullptr;
          pOp->p3type = P3_NOTUSED;
        }
        break;
      }

      case OP_IntegrityCk: {
        Db *pDb = dbAt(db, pOp->p2);
        if (pDb == nullptr) goto bad_database;
        Set *pSet = pOp->p1 >= 0 && pOp->p1 < p->nSet ? &p->aSet[pOp->p1] : nullptr;
        int nRoot = pSet ? hashCount(&pSet->hash) : 0;
        int *aRoot = (int *)tarvikMallocRaw((nRoot + 1) * (int)sizeof(int));
        if (aRoot == nullptr) goto no_mem;
        int j = 0;
        if (pSet) {
          for (HashElem *e = hashFirst(&pSet->hash); e; e = hashNext(e)) {
            readInt((const char *)hashKey(e), &aRoot[j++]);
          }
          tarvikHashClear(&pSet->hash);
          pSet->prev = nullptr;
        }
        aRoot[j] = 0;
        char *zReport = pDb->pBt ? tarvikBtreeIntegrityCheck(pDb->pBt, aRoot, nRoot) : nullptr;
        tarvikFree(aRoot);
        pTos++;
        if (zReport && zReport[0]) {
          pTos->z = zReport;
          pTos->n = (int)strlen(zReport) + 1;
          pTos->flags = MEM_Str | MEM_Dyn;
        } else {
          tarvikFree(zReport);
          pTos->z = (char *)"ok";
          pTos->n = 3;
          pTos->flags = MEM_Str | MEM_Static;
        }
        break;
      }

      /* ---------------------------------------------------- records and keys */
      case OP_MakeRecord: {
        int nField = pOp->p1;
        NEED(nField);
        if (nField < 0) goto stack_underflow;
        Mem *pFirst = pTos - nField + 1;
        i64 nData = 0;
        bool hasNull = false;
        for (int i = 0; i < nField; i++) {
          if (pFirst[i].flags & MEM_Null) {
            hasNull = true;
          } else {
            memStringify(&pFirst[i]);
            nData += pFirst[i].n;
          }
        }
        bool addUnique = pOp->p2 && hasNull;
        if (addUnique) nData += 4;
        i64 nHdr = nField + 1;
        int w = recordOffsetWidth(nData + nHdr);
        if (w > 1) w = recordOffsetWidth(nData + nHdr * 2);
        if (w > 2) w = 3;
        i64 nTotal = nData + nHdr * w;
        if (nTotal > MAX_ROW_BYTES) goto too_big;
        Mem res;
        char *z = memReserve(&res, (int)nTotal);
        if (z == nullptr) goto no_mem;
        i64 addr = nHdr * w + (addUnique ? 4 : 0);
        int j = 0;
        for (int i = 0; i <= nField; i++) {
          z[j++] = (char)(addr & 0xff);
          if (w > 1) z[j++] = (char)((addr >> 8) & 0xff);
          if (w > 2) z[j++] = (char)((addr >> 16) & 0xff);
          if (i < nField && !(pFirst[i].flags & MEM_Null)) addr += pFirst[i].n;
        }
        if (addUnique) {
          memcpy(&z[j], &p->uniqueCnt, 4);
          p->uniqueCnt++;
          j += 4;
        }
        for (int i = 0; i < nField; i++) {
          if (pFirst[i].flags & MEM_Null) continue;
          memcpy(&z[j], pFirst[i].z, (size_t)pFirst[i].n);
          j += pFirst[i].n;
        }
        popN(&pTos, nField);
        pTos++;
        memMove(pTos, &res);
        break;
      }

      case OP_MakeKey:
      case OP_MakeIdxKey: {
        int nField = pOp->p1;
        bool isIdx = pOp->opcode == OP_MakeIdxKey;
        NEED((i64)nField + (isIdx ? 1 : 0));
        if (nField < 0) goto stack_underflow;
        const char *zTypes = pOp->p3type == P3_POINTER ? nullptr : pOp->p3;
        Mem *pFirst = pTos - nField + 1;
        char zNum[TARVIK_SORTABLE_SIZE];
        i64 nByte = 0;
        bool anyNull = false;
        for (int i = 0; i < nField; i++) {
          Mem *m = &pFirst[i];
          if (m->flags & MEM_Null) {
            nByte += 2;
            anyNull = true;
          } else if (keyFieldIsNumber(m, zTypes, i)) {
            memRealify(m);
            tarvikRealToSortable(m->r, zNum);
            nByte += (i64)strlen(zNum) + 2;
          } else {
            memStringify(m);
            nByte += (i64)strlen(m->z) + 2;
          }
        }
        if (nByte + 4 > MAX_ROW_BYTES) goto too_big;
        int iRow = 0;
        if (isIdx) {
          memIntegerify(pFirst - 1);
          iRow = pFirst[-1].i;
          nByte += 4;
        }
        Mem res;
        char *z = memReserve(&res, (int)nByte);
        if (z == nullptr) goto no_mem;
        i64 j = 0;
        for (int i = 0; i < nField; i++) {
          Mem *m = &pFirst[i];
          const char *zVal;
          if (m->flags & MEM_Null) {
            z[j++] = 'a';
            zVal = "";
          } else if (keyFieldIsNumber(m, zTypes, i)) {
            z[j++] = 'b';
            tarvikRealToSortable(m->r, zNum);
            zVal = zNum;
          } else {
            z[j++] = 'c';
            zVal = m->z;
          }
          size_t len = strlen(zVal) + 1;
          memcpy(&z[j], zVal, len);
          j += (i64)len;
        }
        if (isIdx) {
          putRowKey(iRow, (unsigned char *)&z[j]);
          j += 4;
        }
        tvAssert(j == nByte);
        if (isIdx) {
          popN(&pTos, nField + 1);
        } else if (pOp->p2 == 0) {
          popN(&pTos, nField);
        }
        pTos++;
        memMove(pTos, &res);
        if (isIdx && pOp->p2 && anyNull) pc = pOp->p2 - 1;
        break;
      }

      case OP_IncrKey:
        NEED(1);
        if (!(pTos->flags & MEM_Str) || pTos->n <= 0) goto bad_key;
        if (!(pTos->flags & (MEM_Dyn | MEM_Short))) {
          const char *z = pTos->z;
          if (!memSetBytes(pTos, z, pTos->n)) goto no_mem;
        }
        pTos->z[pTos->n - 1]++;
        break;

      /* ---------------------------------------------------- key lists */
      case OP_ListWrite: {
        NEED(1);
        Keylist *pList = p->pList;
        if (pList == nullptr || pList->nUsed >= pList->nKey) {
          constexpr int N_KEYLIST = 1000;
          pList = (Keylist *)tarvikMallocRaw((int)(sizeof(Keylist) + N_KEYLIST * sizeof(int)));
          if (pList == nullptr) goto no_mem;
          pList->nKey = N_KEYLIST;
          pList->nUsed = 0;
          pList->nRead = 0;
          pList->aKey = (int *)&pList[1];
          pList->pNext = p->pList;
          p->pList = pList;
        }
        memIntegerify(pTos);
        pList->aKey[pList->nUsed++] = pTos->i;
        popN(&pTos, 1);
        break;
      }

      case OP_ListRewind: {
        Keylist *pRev = nullptr;
        for (Keylist *pL = p->pList; pL;) {
          Keylist *pNext = pL->pNext;
          pL->pNext = pRev;
          pRev = pL;
          pL = pNext;
        }
        p->pList = pRev;
        break;
      }

      case OP_ListRead: {
        if (db->flags & TARVIK_Interrupt) goto abort_due_to_interrupt;
        while (p->pList && p->pList->nRead >= p->pList->nUsed) {
          Keylist *pNext = p->pList->pNext;
          tarvikFree(p->pList);
          p->pList = pNext;
        }
        Keylist *pList = p->pList;
        if (pList == nullptr) {
          pc = pOp->p2 - 1;
          break;
        }
        pTos++;
        pTos->i = pList->aKey[pList->nRead++];
        pTos->flags = MEM_Int;
        if (pList->nRead >= pList->nUsed) {
          p->pList = pList->pNext;
          tarvikFree(pList);
        }
        break;
      }

      case OP_ListReset:
        while (p->pList) {
          Keylist *pNext = p->pList->pNext;
          tarvikFree(p->pList);
          p->pList = pNext;
        }
        break;

      case OP_ListPush: {
        Keylist **aNew = (Keylist **)tarvikRealloc(
            p->keylistStack, (p->keylistStackDepth + 1) * (int)sizeof(Keylist *));
        if (aNew == nullptr) goto no_mem;
        p->keylistStack = aNew;
        p->keylistStack[p->keylistStackDepth++] = p->pList;
        p->pList = nullptr;
        break;
      }

      case OP_ListPop:
        if (p->keylistStackDepth <= 0) {
          tarvikSetString(&p->zErrMsg, "key list stack underflow", (char *)nullptr);
          rc = TARVIK_INTERNAL;
          goto abort_due_to_error;
        }
        while (p->pList) {
          Keylist *pNext = p->pList->pNext;
          tarvikFree(p->pList);
          p->pList = pNext;
        }
        p->pList = p->keylistStack[--p->keylistStackDepth];
        if (p->keylistStackDepth == 0) {
          tarvikFree(p->keylistStack);
          p->keylistStack = nullptr;
        }
        break;

      case OP_ContextPush: {
        Context *aNew = (Context *)tarvikRealloc(p->contextStack,
                                                 (p->contextStackDepth + 1) * (int)sizeof(Context));
        if (aNew == nullptr) goto no_mem;
        p->contextStack = aNew;
        Context *pCtx = &p->contextStack[p->contextStackDepth++];
        pCtx->lastRowid = db->lastRowid;
        pCtx->lsChange = db->lsChange;
        pCtx->csChange = db->csChange;
        break;
      }

      case OP_ContextPop: {
        if (p->contextStackDepth <= 0) {
          tarvikSetString(&p->zErrMsg, "context stack underflow", (char *)nullptr);
          rc = TARVIK_INTERNAL;
          goto abort_due_to_error;
        }
        Context *pCtx = &p->contextStack[--p->contextStackDepth];
        db->lastRowid = pCtx->lastRowid;
        db->lsChange = pCtx->lsChange;
        db->csChange = pCtx->csChange;
        if (p->contextStackDepth == 0) {
          tarvikFree(p->contextStack);
          p->contextStack = nullptr;
        }
        break;
      }

      /* ---------------------------------------------------- sorter */
      case OP_SortPut: {
        NEED(2);
        Mem *pNos = pTos - 1;
        if (!memDynamicify(pTos) || !memDynamicify(pNos)) goto no_mem;
        Sorter *pSorter = (Sorter *)tarvikMallocRaw((int)sizeof(Sorter));
        if (pSorter == nullptr) goto no_mem;
        pSorter->zKey = pTos->z;
        pSorter->nKey = pTos->n;
        pSorter->pData = pNos->z;
        pSorter->nData = pNos->n;
        pSorter->pNext = p->pSort;
        p->pSort = pSorter;
        pTos->flags = MEM_Null;
        pNos->flags = MEM_Null;
        pTos -= 2;
        break;
      }

      case OP_SortMakeRec: {
        int nField = pOp->p1;
        NEED(nField);
        if (nField < 0) goto stack_underflow;
        Mem *pFirst = pTos - nField + 1;
        i64 nByte = (i64)(nField + 1) * (i64)sizeof(char *);
        for (int i = 0; i < nField; i++) {
          if (pFirst[i].flags & MEM_Null) continue;
          memStringify(&pFirst[i]);
          nByte += (i64)strlen(pFirst[i].z) + 1;
        }
        if (nByte >= INT32_MAX) goto too_big;
        char *zBlock = (char *)tarvikMallocRaw((int)nByte + 1);
        if (zBlock == nullptr) goto no_mem;
        char **azArg = (char **)(void *)zBlock;
        char *z = (char *)&azArg[nField + 1];
        for (int i = 0; i < nField; i++) {
          if (pFirst[i].flags & MEM_Null) {
            azArg[i] = nullptr;
          } else {
            size_t len = strlen(pFirst[i].z) + 1;
            azArg[i] = z;
            memcpy(z, pFirst[i].z, len);
            z += len;
          }
        }
        azArg[nField] = nullptr;
        zBlock[nByte] = 0;
        popN(&pTos, nField);
        pTos++;
        pTos->z = zBlock;
        pTos->n = (int)nByte;
        pTos->flags = MEM_Str | MEM_Dyn;
        break;
      }

      case OP_SortMakeKey: {
        const char *zDir = pOp->p3 && pOp->p3type != P3_POINTER ? pOp->p3 : "";
        int nField = (int)strlen(zDir);
        NEED(nField);
        Mem *pFirst = pTos - nField + 1;
        i64 nByte = 1;
        for (int i = 0; i < nField; i++) {
          if (pFirst[i].flags & MEM_Null) {
            nByte += 2;
          } else {
            memStringify(&pFirst[i]);
            nByte += (i64)strlen(pFirst[i].z) + 2;
          }
        }
        if (nByte >= INT32_MAX) goto too_big;
        Mem res;
        char *z = memReserve(&res, (int)nByte);
        if (z == nullptr) goto no_mem;
        i64 j = 0;
        for (int i = 0; i < nField; i++) {
          if (pFirst[i].flags & MEM_Null) {
            z[j++] = 'N';
            z[j++] = 0;
          } else {
            z[j++] = zDir[i];
            size_t len = strlen(pFirst[i].z) + 1;
            memcpy(&z[j], pFirst[i].z, len);
            j += (i64)len;
          }
        }
        z[j++] = 0;
        popN(&pTos, nField);
        pTos++;
        memMove(pTos, &res);
        break;
      }

      case OP_Sort:
        p->pSort = sortList(p->pSort);
        break;

      case OP_SortNext: {
        if (db->flags & TARVIK_Interrupt) goto abort_due_to_interrupt;
        Sorter *pSorter = p->pSort;
        if (pSorter == nullptr) {
          pc = pOp->p2 - 1;
          break;
        }
        p->pSort = pSorter->pNext;
        pTos++;
        pTos->z = pSorter->pData;
        pTos->n = pSorter->nData;
        pTos->flags = MEM_Str | MEM_Dyn;
        tarvikFree(pSorter->zKey);
        tarvikFree(pSorter);
        break;
      }

      case OP_SortCallback:
        NEED(1);
        tvAssert(pOp->p1 == p->nResColumn);
        if (!(pTos->flags & MEM_Str)) goto bad_record;
        p->nCallback++;
        p->azResColumn = (const char **)(void *)pTos->z;
        p->popStack = 1;
        p->pc = pc + 1;
        p->pTos = pTos;
        return TARVIK_ROW;

      case OP_SortReset:
        while (p->pSort) {
          Sorter *pNext = p->pSort->pNext;
          tarvikFree(p->pSort->zKey);
          tarvikFree(p->pSort->pData);
          tarvikFree(p->pSort);
          p->pSort = pNext;
        }
        break;

      /* ---------------------------------------------------- COPY input */
      case OP_FileOpen: {
        const char *zName = pOp->p3 && pOp->p3type != P3_POINTER ? pOp->p3 : "";
        if (p->pFile && p->pFile != stdin) fclose(p->pFile);
        p->pFile = nullptr;
        if (tarvikStrICmp(zName, "stdin") == 0) {
          p->pFile = stdin;
        } else {
          p->pFile = fopen(zName, "r");
        }
        if (p->pFile == nullptr) {
          tarvikSetString(&p->zErrMsg, "unable to open file: ", zName, (char *)nullptr);
          rc = TARVIK_ERROR;
          goto abort_due_to_error;
        }
        break;
      }

      case OP_FileRead: {
        if (db->flags & TARVIK_Interrupt) goto abort_due_to_interrupt;
        int nField = pOp->p1;
        if (p->pFile == nullptr || nField <= 0) {
          pc = pOp->p2 - 1;
          break;
        }
        if (p->nField != nField || p->azField == nullptr) {
          char **azNew = (char **)tarvikRealloc(p->azField, nField * (int)sizeof(char *));
          if (azNew == nullptr) goto no_mem;
          p->azField = azNew;
          p->nField = nField;
          for (int i = 0; i < nField; i++) azNew[i] = nullptr;
        }
        int n = readLogicalLine(p);
        if (n < 0) goto no_mem;
        if (n == 0 || (n == 2 && p->zLine[0] == '\\' && p->zLine[1] == '.')) {
          for (int i = 0; i < nField; i++) p->azField[i] = nullptr;
          pc = pOp->p2 - 1;
          break;
        }
        const char *zDelim = pOp->p3 && pOp->p3type != P3_POINTER && pOp->p3[0] ? pOp->p3 : "\t";
        splitLine(p, nField, zDelim);
        break;
      }

      case OP_FileColumn: {
        int i = pOp->p1;
        pTos++;
        if (i >= 0 && i < p->nField && p->azField && p->azField[i]) {
          pTos->z = p->azField[i];
          pTos->n = (int)strlen(pTos->z) + 1;
          pTos->flags = MEM_Str | MEM_Ephem;
        } else {
          pTos->flags = MEM_Null;
        }
        break;
      }

      /* ---------------------------------------------------- memory cells */
      case OP_MemStore: {
        NEED(1);
        int i = pOp->p1;
        if (i < 0) goto bad_cell;
        if (i >= p->nMem) {
          i64 nNew = (i64)i + 5;
          if (nNew * (i64)sizeof(Mem) > INT32_MAX) goto bad_cell;
          Mem *aNew = (Mem *)tarvikRealloc(p->aMem, (int)(nNew * (i64)sizeof(Mem)));
          if (aNew == nullptr) goto no_mem;
          for (int k = 0; k < p->nMem; k++) memRepoint(&aNew[k]);
          memset(&aNew[p->nMem], 0, (size_t)(nNew - p->nMem) * sizeof(Mem));
          for (i64 k = p->nMem; k < nNew; k++) aNew[k].flags = MEM_Null;
          p->aMem = aNew;
          p->nMem = (int)nNew;
        }
        if (!memDeephemeralize(pTos)) goto no_mem;
        Mem *pCell = &p->aMem[i];
        tarvikMemRelease(pCell);
        memMove(pCell, pTos);
        if (pCell->flags & MEM_Dyn) {
          if (pOp->p2) {
            pTos->flags = MEM_Null; /* ownership moved to the cell */
          } else {
            char *z = (char *)tarvikMallocRaw(pCell->n + 1);
            if (z == nullptr) {
              pCell->flags = MEM_Null;
              goto no_mem;
            }
            memcpy(z, pTos->z, (size_t)pCell->n);
            z[pCell->n] = 0;
            pCell->z = z;
          }
        }
        if (pOp->p2) popN(&pTos, 1);
        break;
      }

      case OP_MemLoad: {
        int i = pOp->p1;
        pTos++;
        if (i < 0 || i >= p->nMem) {
          pTos->flags = MEM_Null;
          break;
        }
        Mem *pCell = &p->aMem[i];
        memMove(pTos, pCell);
        if (pTos->flags & MEM_Str) {
          if (pTos->flags & MEM_Short) {
            /* Already copied into the entry's own buffer: the cell array
            ** may move when it grows. */
          } else {
            pTos->flags = (pTos->flags & ~(MEM_Dyn | MEM_Static)) | MEM_Ephem;
          }
        }
        break;
      }

      case OP_MemIncr: {
        int i = pOp->p1;
        if (i < 0 || i >= p->nMem) goto bad_cell;
        Mem *pCell = &p->aMem[i];
        memIntegerify(pCell);
        memSetInt(pCell, (int)((u32)pCell->i + 1u));
        if (pOp->p2 > 0 && pCell->i > 0) pc = pOp->p2 - 1;
        break;
      }

      /* ---------------------------------------------------- aggregator */
      case OP_AggReset: {
        tarvikVdbeAggReset(&p->agg);
        int n = pOp->p2 < 0 ? 0 : pOp->p2;
        if (n > 0) {
          if ((i64)n * (i64)sizeof(FuncDef *) > INT32_MAX) goto bad_cell;
          p->agg.apFunc = (FuncDef **)tarvikMalloc(n * (int)sizeof(FuncDef *));
          if (p->agg.apFunc == nullptr) goto no_mem;
        }
        p->agg.nMem = n;
        break;
      }

      case OP_AggInit:
        if (pOp->p2 < 0 || pOp->p2 >= p->agg.nMem) goto bad_cell;
        p->agg.apFunc[pOp->p2] = pOp->p3type == P3_POINTER ? (FuncDef *)(void *)pOp->p3 : nullptr;
        break;

      case OP_AggFunc: {
        int n = pOp->p2;
        NEED((i64)n + 1);
        if (n < 0) goto stack_underflow;
        FuncDef *pDef = pOp->p3type == P3_POINTER ? (FuncDef *)(void *)pOp->p3 : nullptr;
        if (pDef == nullptr || pDef->xStep == nullptr) {
          tarvikSetString(&p->zErrMsg, "not an aggregate function", (char *)nullptr);
          rc = TARVIK_INTERNAL;
          goto abort_due_to_error;
        }
        memIntegerify(pTos);
        int i = pTos->i;
        if (i < 0 || i >= p->agg.nMem) goto bad_cell;
        AggElem *pElem = aggCurrent(&p->agg);
        if (pElem == nullptr) goto no_mem;
        Mem *pCell = &pElem->aMem[i];
        if (!(pCell->flags & MEM_AggCtx)) {
          /* The first step of this group: the cell starts as an empty state
          ** with a zero row count. */
          tarvikMemRelease(pCell);
          pCell->i = 0;
        }
        Mem *pArg = pTos - n;
        const char **azArgv = p->zArgv;
        for (int k = 0; k < n; k++) {
          if (pArg[k].flags & MEM_Null) {
            azArgv[k] = nullptr;
          } else {
            memStringify(&pArg[k]);
            azArgv[k] = pArg[k].z;
          }
        }
        tarvik_func ctx{};
        ctx.pFunc = pDef;
        ctx.s.flags = MEM_Null;
        ctx.isStep = 1;
        ctx.pAgg = (pCell->flags & MEM_AggCtx) ? pCell->z : nullptr;
        ctx.pAggBuf = pCell->zShort;
        ctx.cnt = ++pCell->i;
        pDef->xStep(&ctx, n, azArgv);
        pCell->z = (char *)ctx.pAgg;
        pCell->flags = MEM_AggCtx;
        popN(&pTos, n + 1);
        if (ctx.isError) {
          tarvikSetString(&p->zErrMsg,
                          ctx.zErrMsg ? ctx.zErrMsg : tarvik_error_string(TARVIK_ERROR),
                          (char *)nullptr);
          tarvikFuncContextClear(&ctx);
          rc = TARVIK_ERROR;
          goto abort_due_to_error;
        }
        tarvikFuncContextClear(&ctx);
        if (tarvik_malloc_failed) goto no_mem;
        break;
      }

      case OP_AggFocus: {
        NEED(1);
        memStringify(pTos);
        bool isNew = false;
        AggElem *pElem = aggGroup(&p->agg, pTos->z, pTos->n, &isNew);
        popN(&pTos, 1);
        if (pElem == nullptr) goto no_mem;
        p->agg.pCurrent = pElem;
        if (!isNew) pc = pOp->p2 - 1;
        break;
      }

      case OP_AggSet: {
        NEED(1);
        int i = pOp->p2;
        AggElem *pElem = aggCurrent(&p->agg);
        if (pElem == nullptr) goto no_mem;
        if (i < 0 || i >= p->agg.nMem) goto bad_cell;
        if (!memDeephemeralize(pTos)) goto no_mem;
        Mem *pCell = &pElem->aMem[i];
        if ((pCell->flags & MEM_AggCtx) && pCell->z != pCell->zShort) tarvikFree(pCell->z);
        tarvikMemRelease(pCell);
        memMove(pCell, pTos);
        pTos->flags = MEM_Null; /* ownership moved to the cell */
        pTos--;
        break;
      }

      case OP_AggGet: {
        int i = pOp->p2;
        AggElem *pElem = aggCurrent(&p->agg);
        if (pElem == nullptr) goto no_mem;
        if (i < 0 || i >= p->agg.nMem) goto bad_cell;
        Mem *pCell = &pElem->aMem[i];
        pTos++;
        if (pCell->flags & MEM_AggCtx) {
          pTos->flags = MEM_Null; /* a state block, not a value */
          break;
        }
        memMove(pTos, pCell);
        if (pTos->flags & MEM_Str) {
          pTos->z = pCell->z;
          pTos->flags = (pTos->flags & ~(MEM_Dyn | MEM_Static | MEM_Short)) | MEM_Ephem;
        }
        break;
      }

      case OP_AggNext: {
        if (db->flags & TARVIK_Interrupt) goto abort_due_to_interrupt;
        Agg *pAgg = &p->agg;
        pAgg->pSearch = pAgg->pSearch == nullptr ? hashFirst(&pAgg->hash) : hashNext(pAgg->pSearch);
        if (pAgg->pSearch == nullptr) {
          pc = pOp->p2 - 1;
          break;
        }
        AggElem *pElem = (AggElem *)hashData(pAgg->pSearch);
        pAgg->pCurrent = pElem;
        for (int i = 0; i < pAgg->nMem; i++) {
          FuncDef *pDef = pAgg->apFunc ? pAgg->apFunc[i] : nullptr;
          Mem *pCell = &pElem->aMem[i];
          if (pDef == nullptr || pDef->xFinalize == nullptr) continue;
          tarvik_func ctx{};
          ctx.pFunc = pDef;
          ctx.s.flags = MEM_Null;
          ctx.pAgg = (pCell->flags & MEM_AggCtx) ? pCell->z : nullptr;
          ctx.pAggBuf = pCell->zShort;
          ctx.cnt = (pCell->flags & MEM_AggCtx) ? pCell->i : 0;
          pDef->xFinalize(&ctx);
          if (ctx.pAgg && ctx.pAgg != pCell->zShort) tarvikFree(ctx.pAgg);
          if (!(pCell->flags & MEM_AggCtx)) tarvikMemRelease(pCell);
          memMove(pCell, &ctx.s);
          tarvikFree(ctx.zErrMsg);
        }
        break;
      }

      /* ---------------------------------------------------- sets */
      case OP_SetInsert: {
        int i = pOp->p1;
        if (i < 0) goto bad_cell;
        if (i >= p->nSet) {
          i64 nNew = (i64)i + 1;
          if (nNew * (i64)sizeof(Set) > INT32_MAX) goto bad_cell;
          Set *aNew = (Set *)tarvikRealloc(p->aSet, (int)(nNew * (i64)sizeof(Set)));
          if (aNew == nullptr) goto no_mem;
          for (i64 k = p->nSet; k < nNew; k++) {
            tarvikHashInit(&aNew[k].hash, TARVIK_HASH_BINARY, 1);
            aNew[k].prev = nullptr;
          }
          p->aSet = aNew;
          p->nSet = (int)nNew;
        }
        const char *zKey;
        int nKey;
        bool fromStack = !(pOp->p3 && pOp->p3type != P3_POINTER);
        if (fromStack) {
          NEED(1);
          memStringify(pTos);
          zKey = pTos->z;
          nKey = (int)strlen(zKey) + 1;
        } else {
          zKey = pOp->p3;
          nKey = (int)strlen(zKey) + 1;
        }
        Hash *pH = &p->aSet[i].hash;
        if (tarvikHashFind(pH, zKey, nKey) == nullptr) {
          if (tarvikHashInsert(pH, zKey, nKey, p) != nullptr) goto no_mem;
        }
        if (fromStack) popN(&pTos, 1);
        break;
      }

      case OP_SetFound:
      case OP_SetNotFound: {
        NEED(1);
        memStringify(pTos);
        int i = pOp->p1;
        bool found = i >= 0 && i < p->nSet &&
                     tarvikHashFind(&p->aSet[i].hash, pTos->z, (int)strlen(pTos->z) + 1) != nullptr;
        popN(&pTos, 1);
        if (found == (pOp->opcode == OP_SetFound)) pc = pOp->p2 - 1;
        break;
      }

      case OP_SetFirst:
      case OP_SetNext: {
        if (db->flags & TARVIK_Interrupt) goto abort_due_to_interrupt;
        int i = pOp->p1;
        Set *pSet = i >= 0 && i < p->nSet ? &p->aSet[i] : nullptr;
        if (pOp->opcode == OP_SetFirst) {
          pSet = pSet && hashFirst(&pSet->hash) ? pSet : nullptr;
          if (pSet == nullptr) {
            pc = pOp->p2 - 1;
            break;
          }
          pSet->prev = hashFirst(&pSet->hash);
        } else {
          if (pSet == nullptr || pSet->prev == nullptr) break;
          pSet->prev = hashNext(pSet->prev);
          if (pSet->prev == nullptr) break;
          pc = pOp->p2 - 1;
        }
        pTos++;
        pTos->z = (char *)hashKey(pSet->prev);
        pTos->n = hashKeysize(pSet->prev);
        pTos->flags = MEM_Str | MEM_Ephem;
        break;
      }

      /* ---------------------------------------------------- VACUUM */
      case OP_Vacuum:
        if (tarvikSafetyOff(db)) goto abort_due_to_misuse;
        rc = pendingRunVacuum(&p->zErrMsg, db);
        if (tarvikSafetyOn(db)) goto abort_due_to_misuse;
        if (rc) goto abort_due_to_error;
        break;

      default: {
        char zNum[16];
        snprintf(zNum, sizeof(zNum), "%d", pOp->opcode);
        tarvikSetString(&p->zErrMsg, "unknown opcode ", zNum, (char *)nullptr);
      }
        rc = TARVIK_INTERNAL;
        goto abort_due_to_error;
    }

    if (p->trace) traceStack(p->trace, p->aStack, pTos, rc);
  }

  /* ---------------------------------------------------------------- exits */
vdbe_halt:
  if (rc) {
    p->rc = rc;
    rc = TARVIK_ERROR;
  } else {
    rc = TARVIK_DONE;
  }
  p->magic = VDBE_MAGIC_HALT;
  p->pTos = pTos;
  p->pc = pc;
  return rc;

no_mem:
  tarvikSetString(&p->zErrMsg, "out of memory", (char *)nullptr);
  rc = TARVIK_NOMEM;
  goto vdbe_halt;

too_big:
  tarvikSetString(&p->zErrMsg, "too much data for one table row", (char *)nullptr);
  rc = TARVIK_TOOBIG;
  goto vdbe_halt;

corrupt:
  rc = TARVIK_CORRUPT;
  goto abort_due_to_error;

stack_underflow:
  tarvikSetString(&p->zErrMsg, "stack underflow", (char *)nullptr);
  rc = TARVIK_INTERNAL;
  goto vdbe_halt;

bad_cursor:
  if (pOp->p1 >= 0) goto no_mem; /* the slot could not be made */
  tarvikSetString(&p->zErrMsg, "bad cursor number", (char *)nullptr);
  rc = TARVIK_INTERNAL;
  goto vdbe_halt;

bad_database:
  tarvikSetString(&p->zErrMsg, "no such database", (char *)nullptr);
  rc = TARVIK_INTERNAL;
  goto vdbe_halt;

bad_cell:
  tarvikSetString(&p->zErrMsg, "memory cell out of range", (char *)nullptr);
  rc = TARVIK_INTERNAL;
  goto vdbe_halt;

bad_key:
  tarvikSetString(&p->zErrMsg, "malformed key", (char *)nullptr);
  rc = TARVIK_INTERNAL;
  goto vdbe_halt;

bad_record:
  tarvikSetString(&p->zErrMsg, "malformed record", (char *)nullptr);
  rc = TARVIK_INTERNAL;
  goto vdbe_halt;

abort_due_to_misuse:
  rc = TARVIK_MISUSE;
  goto abort_due_to_error;

abort_due_to_error:
  if (p->zErrMsg == nullptr) {
    if (tarvik_malloc_failed) rc = TARVIK_NOMEM;
    tarvikSetString(&p->zErrMsg, tarvik_error_string(rc), (char *)nullptr);
  }
  goto vdbe_halt;

abort_due_to_interrupt:
  db->flags &= ~TARVIK_Interrupt;
  rc = db->magic == TARVIK_MAGIC_BUSY ? TARVIK_INTERRUPT : TARVIK_MISUSE;
  tarvikSetString(&p->zErrMsg, tarvik_error_string(rc), (char *)nullptr);
  goto vdbe_halt;
}
