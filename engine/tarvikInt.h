/*
** Types and helpers shared by the engine's modules.  Module-specific
** declarations live in the module's own header (os.h, pager.h, btree.h,
** vdbe.h, ...); this header holds only what several modules share.
*/
#ifndef TARVIK_INT_H
#define TARVIK_INT_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "hash.h"
#include "tarvik.h"

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef int64_t i64;
typedef uint64_t u64;

/* A page number: unsigned 32-bit, 0 meaning none.  Pages are 1024 bytes. */
typedef u32 Pgno;
constexpr int TARVIK_PAGE_SIZE = 1024;

/* Internal functions are hidden in the shared library; the public ones are
** marked TARVIK_API in tarvik.h. */

/* ---------------------------------------------------------------- assertions
** A failed invariant prints "file:line: failed assertion `cond'" to standard
** error and aborts.  Compiled in when TARVIK_DEBUG is set (debug and
** sanitizer builds); release builds leave them out. */
[[noreturn]] void tarvikAssertFail(const char *zFile, unsigned line, const char *zCond);
#ifdef TARVIK_DEBUG
#define tvAssert(X) ((X) ? (void)0 : tarvikAssertFail(__FILE__, __LINE__, #X))
#else
#define tvAssert(X) ((void)0)
#endif

/* ---------------------------------------------------------------- memory
** tarvikMalloc zero-fills; every failed request of more than zero bytes
** increments tarvik_malloc_failed.  Texts handed to callers are freed with
** tarvik_freemem, which is tarvikFree. */
void *tarvikMalloc(int n);
void *tarvikMallocRaw(int n);
void tarvikFree(void *p);
void *tarvikRealloc(void *p, int n);
char *tarvikStrDup(const char *z);
char *tarvikStrNDup(const char *z, int n);

#ifdef TARVIK_TEST
/* Allocation-failure seam for tests.  After tarvikTestMallocFail(n, persist)
** the n-th allocation from now (n >= 1) fails, and with persist every one
** after it too; n = 0 switches failures off.  tarvikTestMallocOutstanding()
** counts blocks allocated and not yet freed, for leak checks. */
void tarvikTestMallocFail(int n, bool persist);
int tarvikTestMallocFailures();  /* failures injected since the last arm */
long tarvikTestMallocOutstanding();
#endif

/* Frees with tarvikFree at scope exit (temporary buffers, messages). */
struct TarvikFreeGuard {
  void *p;
  explicit TarvikFreeGuard(void *ptr) : p(ptr) {}
  ~TarvikFreeGuard() { tarvikFree(p); }
  TarvikFreeGuard(const TarvikFreeGuard &) = delete;
  TarvikFreeGuard &operator=(const TarvikFreeGuard &) = delete;
};

/* ---------------------------------------------------------------- text */
extern const unsigned char UpperToLower[256];
void tarvikSetString(char **pz, ...);  /* texts, ending with a null pointer */
void tarvikSetNString(char **pz, ...); /* (text, length) pairs, ending with a null text */
void tarvikDequote(char *z);
int tarvikStrICmp(const char *a, const char *b);
int tarvikStrNICmp(const char *a, const char *b, int n);
int tarvikHashNoCase(const char *z, int n);

/* Formatted printing into memory from tarvikMalloc (printf.cpp). */
char *tarvikMPrintf(const char *zFormat, ...);
char *tarvikVMPrintf(const char *zFormat, va_list ap);

/* ---------------------------------------------------------------- shared types */
struct Btree;
struct Vdbe;
struct Parse;

/* A span of SQL text.  Parsed values point into the statement text, which
** outlives them; `dyn` marks an owned copy that must be freed. */
struct Token {
  const char *z;
  unsigned dyn : 1;
  unsigned n : 31;
};

/* Conflict resolution and foreign-key actions. */
enum {
  OE_None = 0,
  OE_Rollback = 1,
  OE_Abort = 2,
  OE_Fail = 3,
  OE_Ignore = 4,
  OE_Replace = 5,
  OE_Restrict = 6,
  OE_SetNull = 7,
  OE_SetDflt = 8,
  OE_Cascade = 9,
  OE_Default = 99,
};

/* Value types in expressions and sort keys; bit 1 means descending. */
enum { TARVIK_SO_TEXT = 2, TARVIK_SO_NUM = 4 };

/* ---------------------------------------------------------------- connection */

/* One database of a connection: main (0), temp (1), then attached ones. */
struct Db {
  char *zName;       /* "main", "temp", or the attach name (owned when attached) */
  Btree *pBt;        /* the open tree; 0 when closed or detached */
  int schema_cookie; /* meta value 1 as read at schema load */
  Hash tblHash;      /* tables and views by name (keys not copied) */
  Hash idxHash;      /* indices by name (keys not copied) */
  Hash trigHash;     /* triggers by name (keys not copied) */
  Hash aFKey;        /* foreign keys by the name of the table referred to (keys copied) */
  u8 inTrans;        /* a transaction is open on this database */
  u16 flags;         /* DB_ bits */
  void *pAux;        /* auxiliary data */
  void (*xFreeAux)(void *);
};

enum {
  DB_Locked = 0x0001,       /* this statement already opens a transaction here */
  DB_Cookie = 0x0002,       /* this transaction already verifies the cookie */
  DB_SchemaLoaded = 0x0004, /* the schema is loaded */
  DB_UnresetViews = 0x0008, /* some view's computed column names must be discarded */
};

struct tarvikInitInfo {
  int iDb;     /* database whose schema is being read */
  int newTnum; /* root page of the object being re-created */
  u8 busy;     /* 1 while the schema is being loaded */
};

/* The connection handle.  Allocated zero-filled by tarvik_open. */
struct tarvik {
  int nDb;
  Db *aDb;
  Db aDbStatic[2];
  int flags;
  u8 file_format;
  u8 safety_level;
  u8 want_to_close;
  u8 temp_store;
  u8 onError;
  int next_cookie;
  int cache_size;
  int nTable;
  void *pBusyArg;
  int (*xBusyCallback)(void *, const char *, int);
  void *pCommitArg;
  int (*xCommitCallback)(void *);
  Hash aFunc;
  int lastRowid;
  int priorNewRowid;
  int magic;
  int nChange;
  int lsChange;
  int csChange;
  tarvikInitInfo init;
  Vdbe *pVdbe;
  void (*xTrace)(void *, const char *);
  void *pTraceArg;
  int (*xAuth)(void *, int, const char *, const char *, const char *, const char *);
  void *pAuthArg;
  int (*xProgress)(void *);
  void *pProgressArg;
  int nProgressOps;
};

enum {
  TARVIK_VdbeTrace = 0x001,
  TARVIK_Initialized = 0x002,
  TARVIK_Interrupt = 0x004,
  TARVIK_InTrans = 0x008,
  TARVIK_InternChanges = 0x010,
  TARVIK_FullColNames = 0x020,
  TARVIK_ShortColNames = 0x040,
  TARVIK_CountRows = 0x080,
  TARVIK_NullCallback = 0x100,
  TARVIK_ReportTypes = 0x200,
};

constexpr int TARVIK_MAGIC_OPEN = (int)0xa029a697u;
constexpr int TARVIK_MAGIC_BUSY = (int)0xf03b7906u;
constexpr int TARVIK_MAGIC_CLOSED = (int)0x9f3c2d33u;
constexpr int TARVIK_MAGIC_ERROR = (int)0xb5357930u;

int tarvikSafetyOn(tarvik *db);
int tarvikSafetyOff(tarvik *db);
int tarvikSafetyCheck(tarvik *db);

/* ---------------------------------------------------------------- numbers, comparison, patterns (util.cpp) */

/* Every routine here is a pure function of its arguments: no allocation, no
** failure result.  Texts are NUL-terminated UTF-8; a null text is SQL NULL. */

/* 1 if the whole text is [+-]digits[.digits][(e|E)[+-]digits], else 0.  No
** white space, hexadecimal or words for infinity are accepted. */
int tarvikIsNumber(const char *z);

/* The double value of the longest numeric prefix of z (sign, digits, point,
** digits, exponent mark, sign, digits; an exponent mark is consumed even
** without digits).  *pzEnd, if given, receives the first unconsumed byte.
** Correctly rounded and independent of the platform's long double. */
double tarvikAtoF(const char *z, const char **pzEnd);

/* 1 if the integer text z certainly fits a signed 32-bit integer. */
int tarvikFitsIn32Bits(const char *z);

/* Numbers-or-text order: NULL first, then numbers by value, then texts by
** strcmp.  Returns negative, zero or positive. */
int tarvikCompare(const char *zA, const char *zB);

/* Compares two sort keys built by SortMakeKey (fields 'N', 'A', 'D', '+',
** '-'; see util.cpp for the layout). */
int tarvikSortCompare(const char *zA, const char *zB);

/* Writes the order-preserving text form of r (at most 14 bytes with the
** NUL) to z.  It is part of every stored index key. */
constexpr int TARVIK_SORTABLE_SIZE = 14;
void tarvikRealToSortable(double r, char *z);

/* UTF-8: the value of a character from its first byte, and decoding one
** character (no validation; a NUL first byte gives 0). */
extern const int tarvikUtf8LeadValue[256];
int tarvik_utf8_to_int(const char *z);

/* Steps past one character: one byte, then any continuation bytes
** (10xxxxxx).  Never steps past the terminating NUL. */
inline const char *tarvikNextChar(const char *z) {
  if (*z == 0) return z;
  do {
    z++;
  } while ((*(const unsigned char *)z & 0xC0) == 0x80);
  return z;
}

/* Pattern matching; 1 on a match.  GLOB is case-sensitive with *, ?, and
** [...] classes; LIKE folds ASCII letters and knows % and _ only. */
int tarvikGlobCompare(const char *zPattern, const char *zString);
int tarvikLikeCompare(const char *zPattern, const char *zString);

/* ---------------------------------------------------------------- parse context, expressions, lists (parse, expr, build, select) */

struct Table;
struct Select;
struct Expr;
struct IdList;

/* One item of a FROM clause.  The names are owned, dequoted copies. */
struct SrcListItem {
  char *zDatabase;  /* database name, or null when none was given */
  char *zName;      /* table name */
  char *zAlias;     /* alias, or null */
  Table *pTab;      /* the resolved table */
  Select *pSelect;  /* sub-query in FROM, or null */
  int jointype;     /* JT_ bits describing the join with the next item */
  int iCursor;      /* cursor number, -1 until assigned */
  Expr *pOn;        /* ON clause, or null */
  IdList *pUsing;   /* USING clause, or null */
};

/* A FROM clause.  The items follow the header in the same allocation, so
** the list grows by reallocating the whole of it; the expression module
** owns appending, copying and deleting.  (The formatter's %S reads
** zDatabase and zName of one item.) */
struct SrcList {
  u16 nSrc;         /* items in use */
  u16 nAlloc;       /* items allocated */
  SrcListItem a[1]; /* nSrc items, more beyond the declared one */
};

/* ---------------------------------------------------------------- virtual machine interface used by code generators */

/* One definition of an SQL function for one argument count, kept in the
** connection's aFunc registry (chains of definitions per name, newest
** first).  Code generators put a pointer to it in the P3 of the Function,
** AggInit and AggFunc instructions; the machine calls its entry points
** with a function context (tarvik_func) and the arguments as texts. */
struct FuncDef {
  void (*xFunc)(tarvik_func *, int, const char **); /* scalar, or null */
  void (*xStep)(tarvik_func *, int, const char **); /* aggregate step, or null */
  void (*xFinalize)(tarvik_func *);                 /* aggregate finalize, or null */
  signed char nArg;     /* argument count; -1 for any */
  signed char dataType; /* result type for the expression compiler */
  u8 includeTypes;      /* every argument is followed by its type name */
  void *pUserData;      /* handed back by tarvik_user_data */
  FuncDef *pNext;       /* next definition of the same name */
};


#endif /* TARVIK_INT_H */
