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

/* The token codes TK_*: one numbering shared by the tokenizer, the parser's
** terminals and the node kinds of expression trees.  Generated from the
** grammar (engine/parse.y) into the build tree. */
#include "parse.h"

struct Table;
struct Trigger;
struct TriggerStack;
struct AggExpr;
struct Select;
struct ExprList;

/* Sort directions; the collation class (TARVIK_SO_TEXT/NUM) is added to them. */
enum { TARVIK_SO_UNK = 0, TARVIK_SO_ASC = 0, TARVIK_SO_DESC = 1, TARVIK_SO_TYPEMASK = 6 };

/* An expression node.  Its kind `op` is a token code.  A node owns its
** operands, list and sub-query; `token` and `span` own their text only when
** their dyn bit is set, otherwise they point into the SQL text. */
struct Expr {
  u8 op;
  u8 dataType; /* TARVIK_SO_TEXT or TARVIK_SO_NUM once resolved; 0 before */
  u8 iDb;
  u8 flags;    /* EP_ bits */
  Expr *pLeft, *pRight;
  ExprList *pList; /* arguments, BETWEEN bounds, IN list, CASE pairs */
  Token token;     /* literal, identifier, function name or RAISE message */
  Token span;      /* the whole source text; z null when unknown */
  int iTable;      /* cursor, variable number, or set of an IN */
  int iColumn;     /* column, result column of TK_AS, memory cell, or RAISE action */
  int iAgg;        /* index into Parse.aAgg */
  Select *pSelect; /* sub-query of TK_SELECT and TK_IN */
};
enum { EP_FromJoin = 0x01 };

/* A list of expressions with optional names (result columns, SET items,
** arguments).  Owns its expressions and names. */
struct ExprList {
  int nExpr;
  int nAlloc;
  struct ExprList_item {
    Expr *pExpr;
    char *zName; /* alias or SET column name, dequoted */
    u8 sortOrder;
    u8 isAgg;
    u8 done;
  } *a;
};

/* A FROM clause: header and items in one allocation.  `jointype` of item i
** describes the join between items i and i+1; so do its pOn and pUsing. */
struct SrcList {
  u16 nSrc;
  u16 nAlloc;
  struct SrcList_item {
    char *zDatabase; /* dequoted, owned */
    char *zName;
    char *zAlias;
    Table *pTab;     /* resolved table */
    Select *pSelect; /* sub-query in FROM */
    int jointype;    /* JT_ bits */
    int iCursor;     /* -1 until assigned */
    Expr *pOn;
    struct IdList *pUsing;
  } a[1];
};
enum { JT_INNER = 1, JT_NATURAL = 2, JT_LEFT = 4, JT_RIGHT = 8, JT_OUTER = 16, JT_ERROR = 32 };

/* A list of names (column lists). */
struct IdList {
  int nId;
  int nAlloc;
  struct IdList_item {
    char *zName; /* dequoted, owned */
    int idx;     /* column index, filled in by the user of the list */
  } *a;
};

/* One SELECT; a compound is a chain through pPrior (right to left). */
struct Select {
  ExprList *pEList;
  u8 op; /* TK_SELECT, or TK_UNION/TK_ALL/TK_INTERSECT/TK_EXCEPT */
  u8 isDistinct;
  SrcList *pSrc;
  Expr *pWhere;
  ExprList *pGroupBy;
  Expr *pHaving;
  ExprList *pOrderBy;
  Select *pPrior;
  int nLimit;  /* -1: none */
  int nOffset; /* 0: none */
  int iLimit, iOffset;
};

/* Where the rows of a SELECT go. */
enum {
  SRT_Callback = 1,
  SRT_Mem = 2,
  SRT_Set = 3,
  SRT_Union = 5,
  SRT_Except = 6,
  SRT_Table = 7,
  SRT_TempTable = 8,
  SRT_Discard = 9,
  SRT_Sorter = 10,
  SRT_Subroutine = 11,
};

/* One statement of a trigger body; owns its trees and its target text.
** While the parser builds a body, the head of the list keeps pLast. */
struct TriggerStep {
  int op;     /* TK_SELECT, TK_INSERT, TK_UPDATE or TK_DELETE */
  int orconf; /* OE_Default when none was written */
  Trigger *pTrig;
  Select *pSelect;
  Token target;
  Expr *pWhere;
  ExprList *pExprList;
  IdList *pIdList;
  TriggerStep *pNext;
  TriggerStep *pLast;
};

/* The context of one compilation call (tarvikRunParser).  Zero-filled by
** the caller except for db. */
struct Parse {
  tarvik *db;
  int rc;            /* TARVIK_OK while compiling, TARVIK_DONE after a statement */
  char *zErrMsg;     /* owned; the first syntax error is kept */
  Token sFirstToken; /* first token of the definition being built */
  Token sLastToken;  /* token most recently read */
  const char *zTail; /* the unparsed rest begins here */
  Table *pNewTable;
  Vdbe *pVdbe;
  u8 colNamesSet;
  u8 explain;
  u8 useAgg;
  int nErr;
  int nTab;
  int nMem;
  int nSet;
  int nAgg;
  int nVar;
  AggExpr *aAgg;
  const char *zAuthContext;
  Trigger *pNewTrigger;
  TriggerStack *trigStack;
};

/* Errors of the parse context (util.cpp): counts one error in nErr and
** replaces the held message. */
void tarvikErrorMsg(Parse *pParse, const char *zFormat, ...);

/* Tokenizer and parse loop (tokenize.cpp); the parser driver is in parser.h. */
int tarvikGetToken(const unsigned char *z, int *tokenType);
int tarvikKeywordCode(const char *z, int n);
int tarvikRunParser(Parse *pParse, const char *zSql, char **pzErrMsg);

/* Expression and list constructors (expr.cpp).  Each takes ownership of
** the trees and lists it is given, also when it fails. */
Expr *tarvikExpr(int op, Expr *pLeft, Expr *pRight, const Token *pToken);
Expr *tarvikExprFunction(ExprList *pList, const Token *pToken);
void tarvikExprSpan(Expr *pExpr, const Token *pLeft, const Token *pRight);
ExprList *tarvikExprListAppend(ExprList *pList, Expr *pExpr, const Token *pName);
IdList *tarvikIdListAppend(IdList *pList, const Token *pToken);
SrcList *tarvikSrcListAppend(SrcList *pList, const Token *pTable, const Token *pDatabase);
void tarvikSrcListAddAlias(SrcList *pList, const Token *pToken);
void tarvikExprDelete(Expr *p);
void tarvikExprListDelete(ExprList *p);
void tarvikSrcListDelete(SrcList *p);
void tarvikIdListDelete(IdList *p);

struct FuncDef;

/* One value the aggregator holds for an aggregate query (Parse.aAgg): a
** plain column it carries (isAgg 0) or an aggregate call (isAgg 1). */
struct AggExpr {
  int isAgg;
  Expr *pExpr;    /* the node, owned by its tree */
  FuncDef *pFunc; /* the aggregate's definition when isAgg is 1 */
};

/* The triggers whose bodies are being coded (Parse.trigStack), innermost
** first. */
struct TriggerStack {
  Table *pTab;        /* the table the trigger fires for */
  int newIdx;         /* cursor of the NEW pseudo table; -1 when absent */
  int oldIdx;         /* cursor of the OLD pseudo table; -1 when absent */
  int orconf;         /* conflict action of the step being coded */
  int ignoreJump;     /* where RAISE(IGNORE) jumps */
  Trigger *pTrigger;
  TriggerStack *pNext;
};

/* More list operations (expr.cpp). */
void tarvikSrcListAssignCursors(Parse *pParse, SrcList *pList);
int tarvikIdListIndex(IdList *pList, const char *zName);

/* Copies (expr.cpp): every copy owns all its text, so it outlives the SQL
** it was parsed from.  A copied node has no span, except that a copied
** list keeps an owned copy of each item's span (it names a result column).
** A copied FROM item has no pTab; a copied Select has iLimit = iOffset = -1.
** On allocation failure the copy may be partial (the failure flag is set). */
/* tarvikTokenCopy frees pTo's own (dyn) text first, so pTo must be valid. */
void tarvikTokenCopy(Token *pTo, const Token *pFrom);
Expr *tarvikExprDup(const Expr *p);
ExprList *tarvikExprListDup(const ExprList *p);
SrcList *tarvikSrcListDup(const SrcList *p);
IdList *tarvikIdListDup(const IdList *p);
Select *tarvikSelectDup(const Select *p);

/* Analysis and code generation (expr.cpp).  Resolution and checking change
** trees in place and must precede typing and coding. */
/* Binds names to FROM cursors and columns (or to result-column aliases of
** pEList); fills IN sets and scalar sub-queries.  0, or 1 with the error
** recorded. */
int tarvikExprResolveIds(Parse *pParse, SrcList *pSrcList, ExprList *pEList, Expr *pExpr);
/* Functions exist and take that many arguments; aggregates only where
** allowAgg.  Returns the number of errors; *pIsAgg set to 1 when an
** aggregate call is found (pIsAgg may be null). */
int tarvikExprCheck(Parse *pParse, Expr *pExpr, int allowAgg, int *pIsAgg);
int tarvikExprType(const Expr *pExpr); /* TARVIK_SO_NUM or TARVIK_SO_TEXT */
void tarvikExprCode(Parse *pParse, Expr *pExpr);
/* Pushes every item (each followed by "numeric"/"text" when includeTypes);
** returns the number of values pushed. */
int tarvikExprCodeExprList(Parse *pParse, ExprList *pList, int includeTypes);
/* Jump to dest when the condition is true (false); a NULL condition jumps
** only when jumpIfNull is set.  The stack is left as it was. */
void tarvikExprIfTrue(Parse *pParse, Expr *pExpr, int dest, int jumpIfNull);
void tarvikExprIfFalse(Parse *pParse, Expr *pExpr, int dest, int jumpIfNull);
int tarvikExprCompare(const Expr *pA, const Expr *pB); /* 1 when the same */
/* Fills Parse.aAgg with the columns and aggregate calls of an aggregate
** query and sets each node's iAgg.  0, or 1 when out of memory. */
int tarvikExprAnalyzeAggregates(Parse *pParse, Expr *pExpr);
int tarvikExprIsConstant(const Expr *p);
int tarvikExprIsInteger(const Expr *p, int *pValue);
int tarvikIsRowid(const char *zName);

/* SELECT (select.cpp). */
Select *tarvikSelectNew(ExprList *pEList, SrcList *pSrc, Expr *pWhere, ExprList *pGroupBy,
                        Expr *pHaving, ExprList *pOrderBy, int isDistinct, int nLimit,
                        int nOffset);
void tarvikSelectDelete(Select *p);
int tarvikJoinType(Parse *pParse, const Token *pA, const Token *pB, const Token *pC);
/* Does not take ownership of p: the caller deletes it. */
int tarvikSelect(Parse *pParse, Select *p, int eDest, int iParm, Select *pParent, int parentTab,
                 int *pParentAgg);
Table *tarvikResultSetOfSelect(Parse *pParse, const char *zTabName, Select *pSelect);
void tarvikSelectUnbind(Select *p);
Vdbe *tarvikGetVdbe(Parse *pParse);
void tarvikAggregateInfoReset(Parse *pParse);

/* WHERE loops (where.cpp): one nested loop per FROM item, in FROM order.
** The caller emits its body between tarvikWhereBegin and tarvikWhereEnd,
** using iContinue and iBreak as the body's continue and break targets. */
struct WhereLevel {
  int iMem;        /* end key of an index scan, or the row-id upper bound */
  struct Index *pIdx; /* index used, or null */
  int iCur;        /* cursor of pIdx; -1 when none */
  int score;       /* score of pIdx */
  int brk, cont;   /* labels: leave this loop; next iteration */
  int op, p1, p2;  /* the loop advance (Next, Prev, or Noop for one row) */
  int iLeftJoin;   /* memory cell of the "row matched" flag of a LEFT JOIN; 0 if none */
  int top;         /* body start after the flag is set (LEFT JOIN) */
  int inOp, inP1, inP2; /* advance of an IN list or sub-query driving this loop */
  int bRev;        /* scan the index backwards */
};
struct WhereInfo {
  Parse *pParse;
  SrcList *pTabList;
  int iContinue;
  int iBreak;
  int savedNTab;
  int peakNTab;
  WhereLevel a[1]; /* one per FROM item (at least one allocated) */
};
WhereInfo *tarvikWhereBegin(Parse *pParse, SrcList *pTabList, Expr *pWhere, int pushKey,
                            ExprList **ppOrderBy);
void tarvikWhereEnd(WhereInfo *pWInfo);

/* Schema statements and the statement bracket (build.cpp). */
void tarvikBeginParse(Parse *pParse, int explainFlag);
void tarvikExec(Parse *pParse);
void tarvikBeginTransaction(Parse *pParse, int onError);
void tarvikCommitTransaction(Parse *pParse);
void tarvikRollbackTransaction(Parse *pParse);
void tarvikStartTable(Parse *pParse, const Token *pStart, const Token *pName, int isTemp,
                      int isView);
void tarvikAddColumn(Parse *pParse, const Token *pName);
void tarvikAddColumnType(Parse *pParse, const Token *pFirst, const Token *pLast);
void tarvikAddDefaultValue(Parse *pParse, const Token *pVal, int minusFlag);
void tarvikAddNotNull(Parse *pParse, int onError);
void tarvikAddPrimaryKey(Parse *pParse, IdList *pList, int onError);
void tarvikAddCollateType(Parse *pParse, int collType);
int tarvikCollateType(const char *zType, int nType);
void tarvikCreateIndex(Parse *pParse, const Token *pName, SrcList *pTable, IdList *pList,
                       int onError, const Token *pStart, const Token *pEnd);
void tarvikCreateForeignKey(Parse *pParse, IdList *pFromCol, const Token *pTo, IdList *pToCol,
                            int flags);
void tarvikDeferForeignKey(Parse *pParse, int isDeferred);
/* Does not take ownership of pSelect: the caller deletes it. */
void tarvikEndTable(Parse *pParse, const Token *pEnd, Select *pSelect);
void tarvikCreateView(Parse *pParse, const Token *pBegin, const Token *pName, Select *pSelect,
                      int isTemp);
void tarvikDropTable(Parse *pParse, const Token *pName, int isView);
void tarvikDropIndex(Parse *pParse, SrcList *pName);
void tarvikDeleteTable(tarvik *db, Table *pTable);

/* INSERT, UPDATE, DELETE (insert.cpp, update.cpp, delete.cpp). */
void tarvikInsert(Parse *pParse, SrcList *pTabList, ExprList *pList, Select *pSelect,
                  IdList *pColumn, int onError);
void tarvikUpdate(Parse *pParse, SrcList *pTabList, ExprList *pChanges, Expr *pWhere,
                  int onError);
void tarvikDeleteFrom(Parse *pParse, SrcList *pTabList, Expr *pWhere);

/* P2 flags of PutIntKey and Delete: how the machine counts the row. */
enum {
  OPFLAG_NCHANGE = 1,   /* count it in the connection's nChange */
  OPFLAG_LASTROWID = 2, /* record its number as lastRowid */
  OPFLAG_CSCHANGE = 4,  /* count it in the statement's csChange */
};

/* Shared by INSERT, UPDATE, DELETE, trigger bodies and COPY.  A table is on
** cursor base and its indices, in list order, on base+1, base+2, ...  The
** checks expect on the stack, from the bottom: the old row number (UPDATE
** changing it), the new row number, the values of columns 0..nCol-1 (NULL
** in the INTEGER PRIMARY KEY slot).  aIdxUsed null means every index. */
Table *tarvikSrcListLookup(Parse *pParse, SrcList *pSrc);
int tarvikIsReadOnly(Parse *pParse, Table *pTab, int viewOk);
int tarvikOpenTableAndIndices(Parse *pParse, Table *pTab, int base);
void tarvikGenerateConstraintChecks(Parse *pParse, Table *pTab, int base, const char *aIdxUsed,
                                    int recnoChng, int isUpdate, int overrideError,
                                    int ignoreDest);
void tarvikCompleteInsertion(Parse *pParse, Table *pTab, int base, const char *aIdxUsed,
                             int recnoChng, int isUpdate, int newIdx);
void tarvikGenerateRowDelete(tarvik *db, Vdbe *v, Table *pTab, int iCur, int count);
void tarvikGenerateRowIndexDelete(tarvik *db, Vdbe *v, Table *pTab, int iCur,
                                  const char *aIdxUsed);

/* Triggers (trigger.cpp). */
void tarvikBeginTrigger(Parse *pParse, const Token *pName, int tr_tm, int op, IdList *pColumns,
                        SrcList *pTableName, int foreach, Expr *pWhen, int isTemp);
void tarvikFinishTrigger(Parse *pParse, TriggerStep *pStepList, const Token *pAll);
TriggerStep *tarvikTriggerSelectStep(Select *pSelect);
TriggerStep *tarvikTriggerInsertStep(const Token *pTableName, IdList *pColumn, ExprList *pEList,
                                     Select *pSelect, int orconf);
TriggerStep *tarvikTriggerUpdateStep(const Token *pTableName, ExprList *pEList, Expr *pWhere,
                                     int orconf);
TriggerStep *tarvikTriggerDeleteStep(const Token *pTableName, Expr *pWhere);
void tarvikDeleteTriggerStep(TriggerStep *p);
void tarvikDeleteTrigger(Trigger *p);
void tarvikDropTrigger(Parse *pParse, SrcList *pName);

/* PRAGMA, ATTACH/DETACH, COPY, VACUUM (pragma.cpp, attach.cpp, copy.cpp, vacuum.cpp). */
void tarvikPragma(Parse *pParse, const Token *pLeft, const Token *pRight, int minusFlag);
void tarvikAttach(Parse *pParse, const Token *pFilename, const Token *pDbname, const Token *pKey);
void tarvikDetach(Parse *pParse, const Token *pDbname);
void tarvikCopy(Parse *pParse, SrcList *pTableName, const Token *pFilename,
                const Token *pDelimiter, int onError);
void tarvikVacuum(Parse *pParse, const Token *pTableName);


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

/* ---------------------------------------------------------------- schema objects and DDL (build.cpp) */

/* The in-memory schema.  A database's tables and views live in its tblHash,
** its indices in idxHash (both keyed by the object's own zName, length + 1
** with the NUL, not copied); foreign keys are chained per referenced table
** in aFKey.  Every object is also one row of its database's schema table,
** whose sql column re-creates it when the schema is loaded. */

struct Index;
struct FKey;

/* One column of a table or view. */
struct Column {
  char *zName;   /* dequoted, owned */
  char *zDflt;   /* default value text (dequoted, "-" in front of a negative number); owned */
  char *zType;   /* declared type with white space removed; owned; null if none */
  u8 notNull;    /* conflict action of NOT NULL; 0 = nullable */
  u8 isPrimKey;  /* part of the PRIMARY KEY */
  u8 sortOrder;  /* TARVIK_SO_NUM or TARVIK_SO_TEXT */
  u8 dottedName; /* used by result-set naming */
};

/* A table or a view.  Owned by its database's tblHash, or by the parse
** context (pNewTable) while CREATE TABLE builds it. */
struct Table {
  char *zName;       /* owned */
  int nCol;          /* views: 0 until the columns are computed, -1 while computing */
  Column *aCol;      /* owned; grown 8 entries at a time */
  int iPKey;         /* the INTEGER PRIMARY KEY column (an alias of the row number); -1 if none */
  Index *pIndex;     /* owned; replacing (OE_Replace) indices come last */
  int tnum;          /* root page; 0 for a view */
  Select *pSelect;   /* a view's query (owned; no pointers into SQL text); null for a table */
  u8 readOnly;       /* the schema tables: never dropped, indexed or modified */
  u8 iDb;            /* 0 main, 1 temp, 2+ attached */
  u8 isTransient;    /* describes a sub-query's result */
  u8 hasPrimKey;     /* a PRIMARY KEY clause was seen */
  u8 keyConf;        /* conflict action of the INTEGER PRIMARY KEY */
  Trigger *pTrigger; /* triggers on this table (owned by trigHash) */
  FKey *pFKey;       /* owned; linked through pNextFrom */
};

/* An index: the record, aiColumn and zName are one allocation. */
struct Index {
  char *zName;
  int nColumn;
  int *aiColumn; /* table column of each key column */
  Table *pTable;
  int tnum;      /* root page */
  u8 onError;    /* OE_None for an ordinary index, else the unique constraint's action */
  u8 autoIndex;  /* made by a PRIMARY KEY or UNIQUE clause; its schema row has NULL sql */
  u8 iDb;
  Index *pNext;  /* next index of the same table */
};

/* A foreign key (stored only, never enforced): the record, its column map
** and the copied names are one allocation. */
struct FKey {
  Table *pFrom;     /* the table holding the key */
  FKey *pNextFrom;  /* next key of the same table */
  char *zTo;        /* referenced table, dequoted */
  FKey *pNextTo;    /* next key referring to the same table (aFKey chain) */
  int nCol;
  struct sColMap {
    int iFrom;      /* column of pFrom */
    char *zCol;     /* referenced column; null when none were named */
  } *aCol;
  u8 isDeferred;
  u8 updateConf, deleteConf, insertConf; /* OE_ actions */
};

/* The schema tables (root page 2 of every database) and the statements
** that describe them to the engine. */
inline constexpr char TARVIK_MASTER_NAME[] = "tarvik_master";
inline constexpr char TARVIK_TEMP_MASTER_NAME[] = "tarvik_temp_master";
extern const char master_schema[];
extern const char temp_master_schema[];

/* Lookup.  Names compare without regard to ASCII case; databases are
** searched temp, main, then attached ones; zDb, when given, names the only
** database searched. */
Table *tarvikFindTable(tarvik *db, const char *zName, const char *zDb);
Table *tarvikLocateTable(Parse *pParse, const char *zName, const char *zDb); /* reports "no such table" */
Index *tarvikFindIndex(tarvik *db, const char *zName, const char *zDb);
char *tarvikTableNameFromToken(const Token *pToken); /* dequoted heap copy */
Table *tarvikTableFromToken(Parse *pParse, const Token *pToken);

/* Views: column names computed on first use (returns the number of errors),
** and discarded again for a database whose views may have gone stale. */
int tarvikViewGetColumnNames(Parse *pParse, Table *pTable);
void tarvikViewResetAll(tarvik *db, int iDb);

/* Code shared by every writing statement. */
void tarvikOpenMasterTable(Vdbe *v, int iDb);
void tarvikBeginWriteOperation(Parse *pParse, int setCheckpoint, int iDb);
void tarvikEndWriteOperation(Parse *pParse);
void tarvikCodeVerifySchema(Parse *pParse, int iDb);
void tarvikChangeCookie(tarvik *db, Vdbe *v);
void tarvikAddIdxKeyType(Vdbe *v, Index *pIdx);

/* Schema state.  Changes to the in-memory schema are marked with
** TARVIK_InternChanges until a commit makes them permanent; a rollback
** throws the whole schema away to be reloaded from the file. */
void tarvikResetInternalSchema(tarvik *db, int iDb);
void tarvikCommitInternalChanges(tarvik *db);
void tarvikRollbackInternalChanges(tarvik *db);
void tarvikUnlinkAndDeleteTable(tarvik *db, Table *pTable);
void tarvikDeleteIndex(tarvik *db, Index *pIndex);
void tarvikUnlinkAndDeleteIndex(tarvik *db, Index *pIndex);

/* ---------------------------------------------------------------- built-in and user functions (func.cpp, date.cpp) */

/* The connection's function registry (aFunc: name -> chain of FuncDef per
** argument count, newest first).  With createFlag clear: the definition a
** call with nArg arguments uses (an exact one, else an any-count one; an
** exact placeholder gives null; a negative nArg gives any definition that
** has an implementation).  With createFlag set: the definition for exactly
** nArg, created when missing; null only when out of memory. */
FuncDef *tarvikFindFunction(tarvik *db, const char *zName, int nName, int nArg, int createFlag);

/* Registers the built-in scalar and aggregate functions and the date and
** time functions on a new connection. */
void tarvikRegisterBuiltinFunctions(tarvik *db);
int tarvikRegisterDateTimeFunctions(tarvik *db);

/* Frees every definition and empties the registry (connection close). */
void tarvikFreeFunctions(tarvik *db);

/* ---------------------------------------------------------------- connections, schema loading, backend factory (main.cpp, table.cpp) */

/* Opens the store of one database: ":memory:" in memory; no name (the
** temporary database, private sorting trees) in memory when temp_store is
** 2, else in an anonymous temporary file; any other name as a file B-tree
** with the given journal flag and cache size. */
int tarvikBtreeFactory(tarvik *db, const char *zFilename, int omitJournal, int nCache,
                       Btree **ppBtree);

/* Loads the schema of every database not loaded yet (nothing while a load
** is under way).  Runs with the connection held; the message, if any, is
** stored through pzErrMsg. */
int tarvikInit(tarvik *db, char **pzErrMsg);

/* What the schema loader's callback works with. */
struct InitData {
  tarvik *db;
  char **pzErrMsg; /* where a malformed row is reported */
};

/* The schema loader's row callback (type, name, rootpage, sql, database
** index); pInit is an InitData. */
int tarvikInitCallback(void *pInit, int argc, char **argv, char **azColName);

/* Rolls back the transaction of every database and discards the in-memory
** schema, which is read again before the next statement. */
void tarvikRollbackAll(tarvik *db);

#endif /* TARVIK_INT_H */
