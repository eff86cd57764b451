/*
** The virtual machine as code generators see it: building a program of
** instructions, patching it, and handing it over to run.  The program's
** run-time state is private to the machine (vdbeInt.h).
**
** Lifecycle of a program:
**
**   tarvikVdbeCreate ──> INIT ──(add, label, patch)──> tarvikVdbeMakeReady ──> RUN
**   RUN ──(execute or list, one or more steps)──> HALT
**   RUN/HALT ──tarvikVdbeReset──> INIT     RUN/HALT ──tarvikVdbeFinalize──> freed
**
** Building operations require INIT: on a program in any other state they
** are an internal error (asserted) and do nothing.
*/
#ifndef TARVIK_VDBE_H
#define TARVIK_VDBE_H

#include <cstdio>

#include "opcodes.h"
#include "tarvikInt.h"

struct Vdbe;

/* One instruction.  P3 ownership follows p3type (one of the P3_ kinds). */
struct VdbeOp {
  u8 opcode;  /* 1..TARVIK_MAX_OPCODE */
  int p1;     /* first operand */
  int p2;     /* second operand; a jump target for OPFLG_JUMP opcodes;
              ** negative while building: an unresolved label */
  char *p3;   /* text or object pointer, or null */
  int p3type; /* P3_NOTUSED, P3_DYNAMIC, P3_STATIC or P3_POINTER */
};

/* Ownership kinds of an instruction's P3 operand.  They are passed as the
** length argument of tarvikVdbeChangeP3/tarvikVdbeOp3, hence negative. */
enum {
  P3_NOTUSED = 0,  /* p3 is null */
  P3_DYNAMIC = -1, /* text from tarvikMalloc owned by the instruction */
  P3_STATIC = -2,  /* text that outlives the program; never freed */
  P3_POINTER = -3, /* an object (FuncDef, Table, ...); never freed, never text */
};

/* A compact instruction template for fixed sequences.  A negative p2 is a
** jump relative to the template's first instruction: -1 is that
** instruction, -2 the next, and so on.  p3 is stored as P3_STATIC. */
struct VdbeOpList {
  u8 opcode;
  signed char p1;
  short p2;
  const char *p3;
};

/* When set, every appended instruction is printed to standard output. */
extern int tarvik_vdbe_addop_trace;

/* ---- building (program in INIT) */

/* A new empty program linked at the head of db's list; null when out of
** memory. */
Vdbe *tarvikVdbeCreate(tarvik *db);
void tarvikVdbeTrace(Vdbe *p, FILE *trace);

/* Append instructions; each returns the address of the (first) new
** instruction.  When memory runs out nothing is appended, 0 is returned,
** and the program remembers the failure: make-ready then refuses it. */
int tarvikVdbeAddOp(Vdbe *p, int op, int p1, int p2);
int tarvikVdbeOp3(Vdbe *p, int op, int p1, int p2, const char *zP3, int p3type);
int tarvikVdbeCode(Vdbe *p, ...); /* (op, p1, p2) triples ended by op 0 */
int tarvikVdbeAddOpList(Vdbe *p, int nOp, const VdbeOpList *aOp);

/* Labels: tarvikVdbeMakeLabel returns a negative number usable as P2
** before its address is known; tarvikVdbeResolveLabel fixes it at the
** current address and patches every earlier use. */
int tarvikVdbeMakeLabel(Vdbe *p);
void tarvikVdbeResolveLabel(Vdbe *p, int x);
int tarvikVdbeCurrentAddr(Vdbe *p);

/* Patching.  ChangeP1/P2 ignore an invalid address.  ChangeP3, DequoteP3
** (and Op3) treat a negative or too large address as the last instruction.
** ChangeP3's n: negative = store the pointer itself with that P3 kind
** (P3_DYNAMIC hands ownership of a tarvikMalloc'd text over, and the text
** is freed at once if it cannot be stored); n >= 0 = store a private,
** NUL-terminated copy of the first n bytes (0: the whole text).  It
** returns TARVIK_NOMEM when the copy cannot be made (P3 is then null). */
void tarvikVdbeChangeP1(Vdbe *p, int addr, int val);
void tarvikVdbeChangeP2(Vdbe *p, int addr, int val);
int tarvikVdbeChangeP3(Vdbe *p, int addr, const char *zP3, int n);
void tarvikVdbeDequoteP3(Vdbe *p, int addr);
void tarvikVdbeCompressSpace(Vdbe *p, int addr);
int tarvikVdbeFindOp(Vdbe *p, int op, int p1); /* address + 1, or 0 */
VdbeOp *tarvikVdbeGetOp(Vdbe *p, int addr);

/* ---- running and ending */

/* Prepare to run (or, with isExplain, to be listed): append a final Halt
** if needed, check every jump target, allocate the stack and the nVar
** host-parameter slots on the first call (later calls keep the slots and
** only grow the stack when the program outgrew it).  Returns TARVIK_OK with the
** program in RUN; otherwise the program is left halted with the error
** (TARVIK_NOMEM when building ran out of memory, TARVIK_INTERNAL for a
** jump outside the program), which reset or finalize then report. */
int tarvikVdbeMakeReady(Vdbe *p, int nVar, int isExplain);

/* Run the program until it delivers a row (TARVIK_ROW; resume with another
** call), halts (TARVIK_DONE), cannot get a lock (TARVIK_BUSY; the same
** instruction runs again on the next call) or fails (TARVIK_ERROR; the
** code and message are reported by reset or finalize).  TARVIK_MISUSE when
** the program is not ready. */
int tarvikVdbeExec(Vdbe *p);

/* Seeks performed by the machine (row lookups, index probes, steps), for
** tests that check which access path a statement used. */
extern int tarvik_search_count;

/* End a run: hand the run's error to *pzErrMsg, release the run's
** resources, settle the statement's transaction; the program is back in
** INIT.  Returns the run's result code (TARVIK_MISUSE in INIT). */
int tarvikVdbeReset(Vdbe *p, char **pzErrMsg);
/* Reset, then delete.  Returns the run's result code. */
int tarvikVdbeFinalize(Vdbe *p, char **pzErrMsg);
/* Release everything the program owns and the program itself. */
void tarvikVdbeDelete(Vdbe *p);

/* One EXPLAIN row per call: TARVIK_ROW, TARVIK_DONE or TARVIK_ERROR. */
int tarvikVdbeList(Vdbe *p);

/* Print one instruction as a trace line (to standard output when stream
** is null). */
void tarvikVdbePrintOp(FILE *stream, int pc, const VdbeOp *pOp);

#endif /* TARVIK_VDBE_H */
