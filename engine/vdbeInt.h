/*
** The machine's private structures: values, cursors, the working storage
** of a run (sorter, aggregator, sets, key lists, saved counters) and the
** program object itself.  Only vdbe.cpp and vdbeaux.cpp (and their tests)
** include this.
*/
#ifndef TARVIK_VDBEINT_H
#define TARVIK_VDBEINT_H

#include <cstdio>

#include "tarvikInt.h"
#include "vdbe.h"

/* Defined by the storage layer; a program only holds pointers to them. */
struct BtCursor;

/* Size of the inline text buffer of a value.  Texts of up to NBFS bytes
** including their NUL never allocate. */
constexpr int NBFS = 32;

/* One value: a stack entry, a memory cell or a function result.  A value
** may be valid as integer, real and text at once.  At most one of Dyn,
** Static, Ephem and Short is set, and only with Str; Short means z points
** at this value's own zShort (re-point after copying the value). */
struct Mem {
  int i;             /* integer value (MEM_Int) */
  int n;             /* bytes in z including the NUL (MEM_Str) */
  int flags;         /* MEM_ bits */
  double r;          /* real value (MEM_Real) */
  char *z;           /* text (MEM_Str) or aggregate state (MEM_AggCtx) */
  char zShort[NBFS]; /* inline buffer for short texts */
};

enum {
  MEM_Null = 0x001,
  MEM_Str = 0x002,
  MEM_Int = 0x004,
  MEM_Real = 0x008,
  MEM_Dyn = 0x010,    /* z is owned: freed on release */
  MEM_Static = 0x020, /* z outlives the program */
  MEM_Ephem = 0x040,  /* z points into storage that may change */
  MEM_Short = 0x080,  /* z == zShort */
  MEM_AggCtx = 0x100, /* aggregate group cell: z is a function's state block */
};

/* Releasing a value frees its text when it owns one; the value becomes
** NULL. */
inline void tarvikMemRelease(Mem *pMem) {
  if (pMem->flags & MEM_Dyn) tarvikFree(pMem->z);
  pMem->z = nullptr;
  pMem->flags = MEM_Null;
}

/* One cursor slot of a program (aCsr[P1]).  The slot owns its B-tree
** cursor, its private temporary tree and a pseudo table's row. */
struct Cursor {
  BtCursor *pCursor; /* open B-tree cursor, or null */
  int lastRecno;     /* row number of the current row when recnoIsValid */
  int nextRowid;     /* next candidate row number when nextRowidValid */
  u8 recnoIsValid;
  u8 keyAsData;      /* Column and RowData read the key */
  u8 atFirst;        /* the last Rewind found an entry */
  u8 useRandomRowid; /* the largest row number is taken */
  u8 nullRow;        /* no current row: every column is NULL */
  u8 nextRowidValid;
  u8 pseudoTable;    /* a one-row table held in pData */
  u8 deferredMoveto; /* a seek to movetoTarget is pending */
  int movetoTarget;
  Btree *pBt;  /* private temporary tree (OpenTemp), or null */
  int nData;   /* pseudo table: size of the row */
  char *pData; /* pseudo table: the row (owned) */
  int iKey;    /* pseudo table: the row key */
};

/* One element of the sorter list; key and payload are owned. */
struct Sorter {
  int nKey;
  char *zKey;
  int nData;
  char *pData;
  Sorter *pNext;
};

/* One group of the aggregator.  A single allocation holds the element,
** then its nMem cells, then its key (the hash table does not copy keys). */
struct AggElem {
  char *zKey;
  int nKey;
  Mem *aMem;
};

/* The aggregator: groups by key, each with nMem cells.  A cell whose
** function is registered in apFunc holds that function's state block
** (MEM_AggCtx): either the cell's own zShort or a heap block it owns. */
struct Agg {
  int nMem;
  AggElem *pCurrent;  /* the group in focus */
  HashElem *pSearch;  /* iteration position over the groups */
  Hash hash;          /* binary keys, not copied: key -> AggElem */
  FuncDef **apFunc;   /* per cell: its aggregate function, or null */
};

/* A set of texts: binary keys that are copied; the data is a marker. */
struct Set {
  Hash hash;
  HashElem *prev; /* iteration position */
};

/* One block of a key list; blocks are chained from Vdbe.pList. */
struct Keylist {
  int nKey;      /* capacity of aKey */
  int nUsed;     /* entries written */
  int nRead;     /* entries read */
  Keylist *pNext;
  int *aKey;     /* nKey integers, in the same allocation after the block */
};

/* Connection counters saved around a trigger body. */
struct Context {
  int lastRowid;
  int lsChange;
  int csChange;
};

/* Program states (Vdbe.magic). */
constexpr u32 VDBE_MAGIC_INIT = 0x26BCEAA5; /* being built */
constexpr u32 VDBE_MAGIC_RUN = 0xBDF20DA3;  /* made ready: may run */
constexpr u32 VDBE_MAGIC_HALT = 0x519C2973; /* the run has ended */
constexpr u32 VDBE_MAGIC_DEAD = 0xB606C3C8; /* deleted */

/* Depth of the Gosub return-address stack. */
constexpr int VDBE_RETURN_DEPTH = 100;

/* A program and the state of its run.  Everything reachable from here is
** owned by the program, except db, the texts of P3_STATIC/P3_POINTER
** operands and host parameters bound without copy, and the strings the
** column names point at (instruction operands). */
struct Vdbe {
  tarvik *db;          /* the connection */
  Vdbe *pPrev, *pNext; /* the connection's list of live programs */
  FILE *trace;         /* trace stream, or null */
  int nOp, nOpAlloc;
  VdbeOp *aOp;
  int nLabel, nLabelAlloc;
  int *aLabel;       /* label i's address, -1 while unresolved */
  Mem *aStack;       /* the value stack (start of the stack block) */
  Mem *pTos;         /* top of the stack; aStack - 1 when empty */
  const char **zArgv;      /* one result row handed to the caller */
  const char **azColName;  /* result column names, then declared types */
  int nCursor;
  Cursor *aCsr;
  Sorter *pSort;
  FILE *pFile; /* COPY input, or null */
  int nField;
  char **azField; /* fields of the current COPY line */
  int nVar;       /* host parameters */
  char **azVar;   /* their values (null: unbound or NULL) */
  int *anVar;     /* their lengths, counting the NUL */
  u8 *abVar;      /* the value is a private copy */
  char *zLine;    /* COPY line buffer */
  int nLineAlloc;
  u32 magic;
  int nMem;
  Mem *aMem; /* memory cells */
  Agg agg;
  int nSet;
  Set *aSet;
  int nCallback; /* result rows delivered */
  Keylist *pList;
  int keylistStackDepth;
  Keylist **keylistStack;
  int contextStackDepth;
  Context *contextStack;
  int pc;
  int rc;
  u32 uniqueCnt;
  int errorAction; /* OE_ code applied when the run fails */
  u8 undoTransOnError;
  u8 inTempTrans;
  int returnStack[VDBE_RETURN_DEPTH];
  int returnDepth;
  int nResColumn;
  const char **azResColumn;
  int popStack;
  char *zErrMsg; /* owned */
  u8 explain;
  u8 mallocFailed; /* an allocation failed while building */
};

/* The context of one call of an SQL function.
**
** For a scalar function and for an aggregate's finalize, `s` receives the
** result.  An aggregate's step function sets no result; pAggBuf is the
** group cell's inline buffer that tarvik_aggregate_context hands out for
** state blocks of up to NBFS bytes, and pAgg the group's block (null until
** the first tarvik_aggregate_context of the group).  An error reported by
** a step function is kept in zErrMsg (owned by the context), so that the
** statement fails with that message; the caller moves it out or frees it
** with tarvikFuncContextClear. */
struct tarvik_func {
  FuncDef *pFunc;
  Mem s;
  void *pAgg;
  u8 isError;
  u8 isStep;
  int cnt;
  char *pAggBuf; /* NBFS bytes supplied by the aggregator, or null */
  char *zErrMsg; /* error text recorded during a step, or null */
};

/* Release what a function context owns (its result and recorded error). */
inline void tarvikFuncContextClear(tarvik_func *p) {
  tarvikMemRelease(&p->s);
  tarvikFree(p->zErrMsg);
  p->zErrMsg = nullptr;
}

/* Closes a cursor slot: its B-tree cursor, its private temporary tree and a
** pseudo table's row; the slot is left empty (zeroed). */
void tarvikVdbeCloseCursor(Cursor *pCx);

/* Carries out a pending deferred seek of the cursor, if any. */
int tarvikVdbeCursorMoveto(Cursor *pC);

/* Reset the aggregator: every registered function is finalized on each of
** its state blocks (the result is discarded) so that it can release what
** it holds; cells and groups are freed. */
void tarvikVdbeAggReset(Agg *pAgg);

#endif /* TARVIK_VDBEINT_H */
