/*
** Programs outside the execution loop: building and patching instructions,
** labels, making a program ready, the EXPLAIN listing and trace lines,
** host parameters, and the end of a run (reset, finalize, delete).
**
** Ownership.  A program owns its instruction array and every P3_DYNAMIC
** operand, its label array, one block holding the value stack, the row and
** column-name arrays and the host-parameter slots, the copies of host
** parameters bound with copy set, and all run-time storage (cursors,
** memory cells, sorter, aggregator, sets, key lists, saved counters, COPY
** input, error message).  Each is released exactly once: P3 operands when
** replaced or at delete, run-time storage at reset (clean-up), the rest at
** delete.
**
** Allocation failures while building leave the program as it was and set
** its mallocFailed flag (besides the process-wide tarvik_malloc_failed).
** Make-ready refuses such a program, so code generated after a failure (a
** 0 address, a 0 label) can never run.
*/
#include <cctype>
#include <cinttypes>
#include <cstdarg>

#include "btree.h"
#include "vdbeInt.h"

int tarvik_vdbe_addop_trace = 0;

/* Calls into modules that are not part of the build yet; see the end of
** this file. */
static void pendingRollbackAll(tarvik *db);
static void pendingRollbackInternalChanges(tarvik *db);
static void pendingResetInternalSchema(tarvik *db);
static void pendingRetryClose(tarvik *db);

/* Building operations are for programs in INIT.  Anything else is a bug in
** the caller: asserted, and refused in builds without assertions so that a
** ready program's stack (sized by its length) stays big enough. */
static bool building(Vdbe *p) {
  tvAssert(p != nullptr && p->magic == VDBE_MAGIC_INIT);
  return p != nullptr && p->magic == VDBE_MAGIC_INIT;
}

/* ---------------------------------------------------------------- building */

Vdbe *tarvikVdbeCreate(tarvik *db) {
  tvAssert(db != nullptr);
  Vdbe *p = (Vdbe *)tarvikMalloc((int)sizeof(Vdbe));
  if (p == nullptr) return nullptr;
  p->db = db;
  p->pNext = db->pVdbe;
  if (db->pVdbe) db->pVdbe->pPrev = p;
  db->pVdbe = p;
  p->magic = VDBE_MAGIC_INIT;
  return p;
}

void tarvikVdbeTrace(Vdbe *p, FILE *trace) {
  if (building(p)) p->trace = trace;
}

/* Grows the instruction array to nNew slots, zeroing the new ones.  On
** failure the program keeps its array, count and capacity. */
static bool resizeOps(Vdbe *p, i64 nNew) {
  i64 nByte = nNew * (i64)sizeof(VdbeOp);
  VdbeOp *aNew = nByte > INT32_MAX ? nullptr : (VdbeOp *)tarvikRealloc(p->aOp, (int)nByte);
  if (aNew == nullptr) {
    if (nByte > INT32_MAX) tarvik_malloc_failed++;
    p->mallocFailed = 1;
    return false;
  }
  memset(&aNew[p->nOpAlloc], 0, (size_t)(nNew - p->nOpAlloc) * sizeof(VdbeOp));
  p->aOp = aNew;
  p->nOpAlloc = (int)nNew;
  return true;
}

/* The address of label x if it is resolved, else x itself. */
static int labelTarget(const Vdbe *p, int x) {
  if (x >= 0) return x;
  i64 j = -1 - (i64)x;
  if (j < p->nLabel && p->aLabel[j] >= 0) return p->aLabel[j];
  return x;
}

int tarvikVdbeAddOp(Vdbe *p, int op, int p1, int p2) {
  if (!building(p)) return 0;
  int i = p->nOp;
  if (i >= p->nOpAlloc && !resizeOps(p, (i64)p->nOpAlloc * 2 + 100)) return 0;
  p->nOp++;
  VdbeOp *pOp = &p->aOp[i];
  pOp->opcode = (u8)op;
  pOp->p1 = p1;
  pOp->p2 = labelTarget(p, p2);
  pOp->p3 = nullptr;
  pOp->p3type = P3_NOTUSED;
  if (tarvik_vdbe_addop_trace) tarvikVdbePrintOp(nullptr, i, pOp);
  return i;
}

int tarvikVdbeOp3(Vdbe *p, int op, int p1, int p2, const char *zP3, int p3type) {
  int nBefore = p ? p->nOp : 0;
  int addr = tarvikVdbeAddOp(p, op, p1, p2);
  if (p == nullptr || p->nOp == nBefore) {
    /* Nothing was appended: a text handed over must still be freed, and
    ** must not land on some other instruction. */
    if (p3type == P3_DYNAMIC) tarvikFree((void *)zP3);
    return addr;
  }
  tarvikVdbeChangeP3(p, addr, zP3, p3type);
  return addr;
}

int tarvikVdbeCode(Vdbe *p, ...) {
  int addr = p->nOp;
  va_list ap;
  va_start(ap, p);
  for (int op; (op = va_arg(ap, int)) != 0;) {
    int p1 = va_arg(ap, int);
    int p2 = va_arg(ap, int);
    tarvikVdbeAddOp(p, op, p1, p2);
  }
  va_end(ap);
  return addr;
}

int tarvikVdbeAddOpList(Vdbe *p, int nOp, const VdbeOpList *aOp) {
  if (!building(p) || nOp <= 0) return 0;
  if (p->nOp + nOp >= p->nOpAlloc && !resizeOps(p, (i64)p->nOpAlloc * 2 + nOp + 10)) return 0;
  int addr = p->nOp;
  for (int i = 0; i < nOp; i++) {
    VdbeOp *pOut = &p->aOp[addr + i];
    pOut->opcode = aOp[i].opcode;
    pOut->p1 = aOp[i].p1;
    int p2 = aOp[i].p2;
    pOut->p2 = p2 < 0 ? addr + (-1 - p2) : p2;
    pOut->p3 = (char *)aOp[i].p3;
    pOut->p3type = aOp[i].p3 ? P3_STATIC : P3_NOTUSED;
    if (tarvik_vdbe_addop_trace) tarvikVdbePrintOp(nullptr, addr + i, pOut);
  }
  p->nOp += nOp;
  return addr;
}

int tarvikVdbeMakeLabel(Vdbe *p) {
  if (!building(p)) return 0;
  int i = p->nLabel;
  if (i >= p->nLabelAlloc) {
    i64 nNew = (i64)p->nLabelAlloc * 2 + 10;
    i64 nByte = nNew * (i64)sizeof(int);
    int *aNew = nByte > INT32_MAX ? nullptr : (int *)tarvikRealloc(p->aLabel, (int)nByte);
    if (aNew == nullptr) {
      /* Earlier labels become unknown too; the program cannot run anyway. */
      if (nByte > INT32_MAX) tarvik_malloc_failed++;
      tarvikFree(p->aLabel);
      p->aLabel = nullptr;
      p->nLabel = p->nLabelAlloc = 0;
      p->mallocFailed = 1;
      return 0;
    }
    p->aLabel = aNew;
    p->nLabelAlloc = (int)nNew;
  }
  p->nLabel++;
  p->aLabel[i] = -1;
  return -1 - i;
}

void tarvikVdbeResolveLabel(Vdbe *p, int x) {
  if (!building(p)) return;
  i64 j = -1 - (i64)x;
  if (j < 0 || j >= p->nLabel) return; /* 0 from a failed MakeLabel, or labels lost */
  if (p->aLabel[j] == p->nOp) return;
  tvAssert(p->aLabel[j] == -1); /* resolved twice at different addresses */
  if (p->aLabel[j] != -1) return;
  p->aLabel[j] = p->nOp;
  for (int i = 0; i < p->nOp; i++) {
    if (p->aOp[i].p2 == x) p->aOp[i].p2 = p->nOp;
  }
}

int tarvikVdbeCurrentAddr(Vdbe *p) { return p->nOp; }

void tarvikVdbeChangeP1(Vdbe *p, int addr, int val) {
  if (building(p) && addr >= 0 && addr < p->nOp) p->aOp[addr].p1 = val;
}

void tarvikVdbeChangeP2(Vdbe *p, int addr, int val) {
  tvAssert(val >= 0);
  if (building(p) && addr >= 0 && addr < p->nOp) p->aOp[addr].p2 = val;
}

int tarvikVdbeChangeP3(Vdbe *p, int addr, const char *zP3, int n) {
  if (!building(p) || p->nOp == 0) {
    if (n == P3_DYNAMIC) tarvikFree((void *)zP3);
    return TARVIK_OK;
  }
  if (addr < 0 || addr >= p->nOp) addr = p->nOp - 1;
  VdbeOp *pOp = &p->aOp[addr];
  if (pOp->p3type == P3_DYNAMIC && pOp->p3 == zP3 && n == P3_DYNAMIC) return TARVIK_OK;

  /* The new operand is made before the old one is freed: zP3 may point
  ** into it. */
  char *zNew = nullptr;
  int kind = P3_NOTUSED;
  int rc = TARVIK_OK;
  if (zP3 == nullptr) {
    /* P3 becomes unused */
  } else if (n < 0) {
    tvAssert(n == P3_DYNAMIC || n == P3_STATIC || n == P3_POINTER);
    zNew = (char *)zP3;
    kind = n >= P3_POINTER ? n : P3_STATIC;
  } else {
    zNew = n == 0 ? tarvikStrDup(zP3) : tarvikStrNDup(zP3, n);
    if (zNew == nullptr) {
      p->mallocFailed = 1;
      rc = TARVIK_NOMEM;
    } else {
      kind = P3_DYNAMIC;
    }
  }
  if (pOp->p3type == P3_DYNAMIC) tarvikFree(pOp->p3);
  pOp->p3 = zNew;
  pOp->p3type = kind;
  return rc;
}

/* Replaces a borrowed P3 text by a private copy so it can be edited. */
static bool makeP3Private(Vdbe *p, VdbeOp *pOp) {
  if (pOp->p3type == P3_DYNAMIC) return true;
  char *z = tarvikStrDup(pOp->p3);
  if (z == nullptr) {
    p->mallocFailed = 1;
    return false;
  }
  pOp->p3 = z;
  pOp->p3type = P3_DYNAMIC;
  return true;
}

void tarvikVdbeDequoteP3(Vdbe *p, int addr) {
  if (!building(p) || p->nOp == 0) return;
  if (addr < 0 || addr >= p->nOp) addr = p->nOp - 1;
  VdbeOp *pOp = &p->aOp[addr];
  if (pOp->p3 == nullptr || pOp->p3[0] == 0 || pOp->p3type == P3_POINTER) return;
  if (makeP3Private(p, pOp)) tarvikDequote(pOp->p3);
}

void tarvikVdbeCompressSpace(Vdbe *p, int addr) {
  if (!building(p) || addr < 0 || addr >= p->nOp) return;
  VdbeOp *pOp = &p->aOp[addr];
  if (pOp->p3 == nullptr || pOp->p3type == P3_POINTER) return;
  if (!makeP3Private(p, pOp)) return;
  unsigned char *z = (unsigned char *)pOp->p3;
  int i = 0, j = 0;
  while (isspace(z[i])) i++;
  while (z[i]) {
    if (isspace(z[i])) {
      z[j++] = ' ';
      while (isspace(z[i])) i++;
    } else {
      z[j++] = z[i++];
    }
  }
  if (j > 0 && z[j - 1] == ' ') j--;
  z[j] = 0;
}

int tarvikVdbeFindOp(Vdbe *p, int op, int p1) {
  for (int i = 0; i < p->nOp; i++) {
    if (p->aOp[i].opcode == op && p->aOp[i].p1 == p1) return i + 1;
  }
  return 0;
}

VdbeOp *tarvikVdbeGetOp(Vdbe *p, int addr) {
  tvAssert(addr >= 0 && addr < p->nOp);
  return &p->aOp[addr];
}

/* ---------------------------------------------------------------- make ready */

/* Leaves the program halted with an error that reset or finalize reports.
** It has not run, so nothing of an earlier run may make reset roll back:
** the error action is that of a program never made ready. */
static int failReady(Vdbe *p, int rc, const char *zMsg) {
  p->rc = rc;
  p->errorAction = OE_None;
  p->undoTransOnError = 0;
  tarvikSetString(&p->zErrMsg, zMsg, (char *)nullptr);
  p->magic = VDBE_MAGIC_HALT;
  return rc;
}

/* Entries of the value stack when listing: five columns and their texts. */
constexpr int EXPLAIN_STACK = 10;

int tarvikVdbeMakeReady(Vdbe *p, int nVar, int isExplain) {
  if (!building(p)) return TARVIK_MISUSE;
  if (p->nOp == 0 || p->aOp[p->nOp - 1].opcode != OP_Halt) tarvikVdbeAddOp(p, OP_Halt, 0, 0);
  if (p->mallocFailed) return failReady(p, TARVIK_NOMEM, tarvik_error_string(TARVIK_NOMEM));

  /* Every jump must land inside the program; an unresolved label or a
  ** bad patch is caught here rather than by reading past the end. */
  for (int i = 0; i < p->nOp; i++) {
    const VdbeOp *pOp = &p->aOp[i];
    if ((tarvikOpcodeFlags(pOp->opcode) & OPFLG_JUMP) && (pOp->p2 < 0 || pOp->p2 >= p->nOp)) {
      return failReady(p, TARVIK_INTERNAL, "jump destination out of range");
    }
  }

  /* One block: n stack entries, the row array (n + 1 pointers, room for
  ** the terminating null), n column-name pointers, then the nVar value
  ** pointers, lengths and copy flags.  Each instruction pushes at most one
  ** entry, so n = nOp bounds the stack; a listing needs only ten.  A
  ** program made ready again keeps its block (and its parameters) unless
  ** it has outgrown it: built on after a reset, or now listed. */
  i64 n = (p->explain || isExplain) ? EXPLAIN_STACK : p->nOp;
  i64 nOld = p->aStack ? (Mem *)(void *)p->zArgv - p->aStack : 0;
  if (p->aStack == nullptr || nOld < n) {
    if (p->aStack) {
      nVar = p->nVar;
    } else if (nVar < 0) {
      nVar = 0;
    }
    i64 nByte = n * (i64)sizeof(Mem) + (2 * n + 1) * (i64)sizeof(char *) +
                nVar * (i64)(sizeof(char *) + sizeof(int) + sizeof(u8));
    char *pBlock = nByte > INT32_MAX ? nullptr : (char *)tarvikMalloc((int)nByte);
    if (pBlock == nullptr) {
      if (nByte > INT32_MAX) tarvik_malloc_failed++;
      p->mallocFailed = 1;
      return failReady(p, TARVIK_NOMEM, tarvik_error_string(TARVIK_NOMEM));
    }
    Mem *aStack = (Mem *)pBlock;
    const char **zArgv = (const char **)&aStack[n];
    const char **azColName = &zArgv[n + 1];
    char **azVar = (char **)&azColName[n];
    int *anVar = (int *)&azVar[nVar];
    u8 *abVar = (u8 *)&anVar[nVar];
    if (p->aStack) {
      /* The stack is empty between runs; names and parameters move over. */
      memcpy(azColName, p->azColName, (size_t)nOld * sizeof(char *));
      memcpy(azVar, p->azVar, (size_t)nVar * sizeof(char *));
      memcpy(anVar, p->anVar, (size_t)nVar * sizeof(int));
      memcpy(abVar, p->abVar, (size_t)nVar);
      tarvikFree(p->aStack);
    }
    p->aStack = aStack;
    p->zArgv = zArgv;
    p->azColName = azColName;
    p->azVar = azVar;
    p->anVar = anVar;
    p->abVar = abVar;
    p->nVar = nVar;
  }

  tarvikHashInit(&p->agg.hash, TARVIK_HASH_BINARY, 0);
  p->agg.pSearch = nullptr;
  p->pTos = p->aStack - 1;
  p->pc = 0;
  p->rc = TARVIK_OK;
  p->uniqueCnt = 0;
  p->returnDepth = 0;
  p->errorAction = OE_Abort;
  p->undoTransOnError = 0;
  p->popStack = 0;
  if (isExplain) p->explain = 1;
  p->magic = VDBE_MAGIC_RUN;
  return TARVIK_OK;
}

/* ---------------------------------------------------------------- listing */

/* The text shown for a P3 operand: the text itself, "ptr(0x...)" for an
** object pointer (written into zBuf), or null. */
static const char *p3Text(const VdbeOp *pOp, char *zBuf, int nBuf) {
  if (pOp->p3 == nullptr) return nullptr;
  if (pOp->p3type != P3_POINTER) return pOp->p3;
  snprintf(zBuf, (size_t)nBuf, "ptr(%#" PRIxPTR ")", (uintptr_t)pOp->p3);
  return zBuf;
}

int tarvikVdbeList(Vdbe *p) {
  static const char *const azExplainCol[] = {"addr", "opcode", "p1", "p2", "p3"};
  if (p == nullptr || p->magic != VDBE_MAGIC_RUN) return TARVIK_MISUSE;
  tvAssert(p->explain && p->popStack == 0);
  for (int i = 0; i < 5; i++) {
    p->azColName[i] = azExplainCol[i];
    p->zArgv[i] = p->aStack[i].zShort;
  }
  p->zArgv[5] = nullptr;
  if (p->pc >= p->nOp) {
    p->rc = TARVIK_OK;
    return TARVIK_DONE;
  }
  tarvik *db = p->db;
  if (db->flags & TARVIK_Interrupt) {
    db->flags &= ~TARVIK_Interrupt;
    p->rc = db->magic == TARVIK_MAGIC_BUSY ? TARVIK_INTERRUPT : TARVIK_MISUSE;
    tarvikSetString(&p->zErrMsg, tarvik_error_string(p->rc), (char *)nullptr);
    return TARVIK_ERROR;
  }
  int i = p->pc++;
  const VdbeOp *pOp = &p->aOp[i];
  snprintf(p->aStack[0].zShort, NBFS, "%d", i);
  p->zArgv[1] = tarvikOpcodeName(pOp->opcode);
  snprintf(p->aStack[2].zShort, NBFS, "%d", pOp->p1);
  snprintf(p->aStack[3].zShort, NBFS, "%d", pOp->p2);
  p->zArgv[4] = p3Text(pOp, p->aStack[4].zShort, NBFS);
  p->nResColumn = 5;
  p->azResColumn = p->zArgv;
  p->rc = TARVIK_OK;
  return TARVIK_ROW;
}

void tarvikVdbePrintOp(FILE *stream, int pc, const VdbeOp *pOp) {
  char zPtr[NBFS];
  const char *zP3 = p3Text(pOp, zPtr, NBFS);
  if (stream == nullptr) stream = stdout;
  fprintf(stream, "%4d %-12s %4d %4d %s\n", pc, tarvikOpcodeName(pOp->opcode), pOp->p1, pOp->p2,
          zP3 ? zP3 : "");
  fflush(stream);
}

/* ---------------------------------------------------------------- host parameters */

extern "C" int tarvik_bind(tarvik_vm *p, int i, const char *zVal, int len, int copy) {
  if (p == nullptr || p->magic != VDBE_MAGIC_RUN || p->pc != 0) return TARVIK_MISUSE;
  if (i < 1 || i > p->nVar) return TARVIK_RANGE;
  i--;
  char *zNew = nullptr;
  i64 nNew = 0;
  if (zVal == nullptr) {
    copy = 0;
  } else {
    i64 n = len < 0 ? (i64)strlen(zVal) + 1 : len;
    if (copy) {
      /* A private copy always ends in a NUL, added when the caller's bytes
      ** do not include one; its length counts that NUL. */
      nNew = n > 0 && zVal[n - 1] == 0 ? n : n + 1;
      zNew = nNew > INT32_MAX ? nullptr : (char *)tarvikMallocRaw((int)nNew);
      if (zNew == nullptr) {
        if (nNew > INT32_MAX) tarvik_malloc_failed++;
        return TARVIK_NOMEM; /* the previous binding stays */
      }
      memcpy(zNew, zVal, (size_t)n);
      zNew[nNew - 1] = 0;
    } else {
      zNew = (char *)zVal;
      nNew = n;
    }
    if (nNew > INT32_MAX) nNew = INT32_MAX;
  }
  if (p->abVar[i]) tarvikFree(p->azVar[i]);
  p->azVar[i] = zNew;
  p->anVar[i] = (int)nNew;
  p->abVar[i] = copy != 0;
  return TARVIK_OK;
}

/* ---------------------------------------------------------------- clean-up */

void tarvikVdbeCloseCursor(Cursor *pCx) {
  /* The cursor goes before the private tree it may be open on. */
  if (pCx->pCursor) tarvikBtreeCloseCursor(pCx->pCursor);
  if (pCx->pBt) tarvikBtreeClose(pCx->pBt);
  tarvikFree(pCx->pData);
  memset(pCx, 0, sizeof(*pCx));
}

static void keylistFree(Keylist *p) {
  while (p) {
    Keylist *pNext = p->pNext;
    tarvikFree(p);
    p = pNext;
  }
}

void tarvikVdbeAggReset(Agg *pAgg) {
  for (HashElem *e = hashFirst(&pAgg->hash); e; e = hashNext(e)) {
    AggElem *pElem = (AggElem *)hashData(e);
    for (int i = 0; i < pAgg->nMem; i++) {
      Mem *pMem = &pElem->aMem[i];
      FuncDef *pFunc = pAgg->apFunc ? pAgg->apFunc[i] : nullptr;
      if (pFunc == nullptr || !(pMem->flags & MEM_AggCtx)) {
        /* A state block whose function was never registered for the cell
        ** is still the group's to free. */
        if ((pMem->flags & MEM_AggCtx) && pMem->z != pMem->zShort) tarvikFree(pMem->z);
        tarvikMemRelease(pMem);
        continue;
      }
      /* The function finalizes its state so that it can release what the
      ** state holds; its result is not wanted.  A group whose step never
      ** asked for state gets its block only now, so the block to free is
      ** the context's, not the cell's. */
      void *pBlock = pMem->z;
      if (pFunc->xFinalize) {
        tarvik_func ctx{};
        ctx.pFunc = pFunc;
        ctx.s.flags = MEM_Null;
        ctx.pAgg = pMem->z;
        ctx.pAggBuf = pMem->zShort;
        ctx.cnt = pMem->i;
        pFunc->xFinalize(&ctx);
        pBlock = ctx.pAgg;
        tarvikFuncContextClear(&ctx);
      }
      if (pBlock != pMem->zShort) tarvikFree(pBlock);
      pMem->z = nullptr;
      pMem->flags = MEM_Null;
    }
    tarvikFree(pElem);
  }
  tarvikHashClear(&pAgg->hash);
  tarvikFree(pAgg->apFunc);
  pAgg->apFunc = nullptr;
  pAgg->pCurrent = nullptr;
  pAgg->pSearch = nullptr;
  pAgg->nMem = 0;
}

/* Releases everything a run accumulated; shared by reset and delete. */
static void cleanup(Vdbe *p) {
  if (p->aStack) {
    for (; p->pTos >= p->aStack; p->pTos--) tarvikMemRelease(p->pTos);
  }
  for (int i = 0; i < p->nCursor; i++) tarvikVdbeCloseCursor(&p->aCsr[i]);
  tarvikFree(p->aCsr);
  p->aCsr = nullptr;
  p->nCursor = 0;
  for (int i = 0; i < p->nMem; i++) tarvikMemRelease(&p->aMem[i]);
  tarvikFree(p->aMem);
  p->aMem = nullptr;
  p->nMem = 0;
  keylistFree(p->pList);
  p->pList = nullptr;
  while (p->pSort) {
    Sorter *pNext = p->pSort->pNext;
    tarvikFree(p->pSort->zKey);
    tarvikFree(p->pSort->pData);
    tarvikFree(p->pSort);
    p->pSort = pNext;
  }
  if (p->pFile && p->pFile != stdin) fclose(p->pFile);
  p->pFile = nullptr;
  tarvikFree(p->azField);
  p->azField = nullptr;
  p->nField = 0;
  tarvikFree(p->zLine);
  p->zLine = nullptr;
  p->nLineAlloc = 0;
  tarvikVdbeAggReset(&p->agg);
  for (int i = 0; i < p->nSet; i++) tarvikHashClear(&p->aSet[i].hash);
  tarvikFree(p->aSet);
  p->aSet = nullptr;
  p->nSet = 0;
  for (int i = 0; i < p->keylistStackDepth; i++) keylistFree(p->keylistStack[i]);
  tarvikFree(p->keylistStack);
  p->keylistStack = nullptr;
  p->keylistStackDepth = 0;
  tarvikFree(p->contextStack);
  p->contextStack = nullptr;
  p->contextStackDepth = 0;
  tarvikFree(p->zErrMsg);
  p->zErrMsg = nullptr;
}

/* ---------------------------------------------------------------- reset, finalize, delete */

/* Undo what a failed run did, as its error action asks. */
static void applyErrorAction(Vdbe *p) {
  tarvik *db = p->db;
  bool rollbackAll = p->undoTransOnError != 0;
  if (p->errorAction == OE_Abort && !p->undoTransOnError) {
    for (int i = 0; i < db->nDb; i++) {
      if (db->aDb[i].pBt) tarvikBtreeRollbackCkpt(db->aDb[i].pBt);
    }
  } else if (p->errorAction == OE_Rollback) {
    rollbackAll = true;
  }
  if (rollbackAll) {
    pendingRollbackAll(db);
    db->flags &= ~TARVIK_InTrans;
    db->onError = OE_Default;
  }
  pendingRollbackInternalChanges(db);
}

int tarvikVdbeReset(Vdbe *p, char **pzErrMsg) {
  if (p == nullptr || (p->magic != VDBE_MAGIC_RUN && p->magic != VDBE_MAGIC_HALT)) {
    tarvikSetString(pzErrMsg, tarvik_error_string(TARVIK_MISUSE), (char *)nullptr);
    return TARVIK_MISUSE;
  }
  if (p->zErrMsg) {
    if (pzErrMsg && *pzErrMsg == nullptr) {
      *pzErrMsg = p->zErrMsg;
    } else {
      tarvikFree(p->zErrMsg);
    }
    p->zErrMsg = nullptr;
  } else if (p->rc) {
    tarvikSetString(pzErrMsg, tarvik_error_string(p->rc), (char *)nullptr);
  }
  cleanup(p);
  if (p->rc != TARVIK_OK) applyErrorAction(p);
  tarvik *db = p->db;
  for (int i = 0; i < db->nDb; i++) {
    if (db->aDb[i].inTrans == 2) {
      if (db->aDb[i].pBt) tarvikBtreeCommitCkpt(db->aDb[i].pBt);
      db->aDb[i].inTrans = 1;
    }
  }
  p->magic = VDBE_MAGIC_INIT;
  return p->rc;
}

int tarvikVdbeFinalize(Vdbe *p, char **pzErrMsg) {
  if (p == nullptr || (p->magic != VDBE_MAGIC_RUN && p->magic != VDBE_MAGIC_HALT)) {
    tarvikSetString(pzErrMsg, tarvik_error_string(TARVIK_MISUSE), (char *)nullptr);
    return TARVIK_MISUSE;
  }
  tarvik *db = p->db;
  int rc = tarvikVdbeReset(p, pzErrMsg);
  tarvikVdbeDelete(p);
  if (db->want_to_close && db->pVdbe == nullptr) pendingRetryClose(db);
  if (rc == TARVIK_SCHEMA) pendingResetInternalSchema(db);
  return rc;
}

void tarvikVdbeDelete(Vdbe *p) {
  if (p == nullptr) return;
  cleanup(p);
  tarvik *db = p->db;
  if (p->pPrev) {
    p->pPrev->pNext = p->pNext;
  } else {
    tvAssert(db->pVdbe == p);
    db->pVdbe = p->pNext;
  }
  if (p->pNext) p->pNext->pPrev = p->pPrev;
  for (int i = 0; i < p->nOp; i++) {
    if (p->aOp[i].p3type == P3_DYNAMIC) tarvikFree(p->aOp[i].p3);
  }
  for (int i = 0; i < p->nVar; i++) {
    if (p->abVar[i]) tarvikFree(p->azVar[i]);
  }
  tarvikFree(p->aOp);
  tarvikFree(p->aLabel);
  tarvikFree(p->aStack);
  p->magic = VDBE_MAGIC_DEAD;
  tarvikFree(p);
}

/* ---------------------------------------------------------------- connection and schema calls
** The connection and schema routines a reset or finalize calls. */

static void pendingRollbackAll(tarvik *db) { tarvikRollbackAll(db); }
static void pendingRollbackInternalChanges(tarvik *db) { tarvikRollbackInternalChanges(db); }
static void pendingResetInternalSchema(tarvik *db) { tarvikResetInternalSchema(db, 0); }
static void pendingRetryClose(tarvik *db) { tarvik_close(db); }
