/*
** Opcode numbers, names and properties, all expanded from opcodes.def.
*/
#ifndef TARVIK_OPCODES_H
#define TARVIK_OPCODES_H

#include "tarvikInt.h"

/* Per-opcode property bits (the flags column of opcodes.def). */
enum : u8 {
  OPFLG_JUMP = 0x01, /* P2 is an instruction address */
};

/* OP_Goto = 1, OP_Gosub = 2, ... */
enum {
#define OPCODE(name, number, flags) OP_##name = number,
#include "opcodes.def"
#undef OPCODE
};

/* The largest opcode number; 0 is never emitted. */
constexpr int TARVIK_MAX_OPCODE = 0
#define OPCODE(name, number, flags) +1
#include "opcodes.def"
#undef OPCODE
    ;

/* The name of an opcode as listed by EXPLAIN and tracing ("Goto"), or
** "???" for a number outside 1..TARVIK_MAX_OPCODE. */
const char *tarvikOpcodeName(int op);

/* The OPFLG_ bits of an opcode; 0 for a number outside the set. */
u8 tarvikOpcodeFlags(int op);

#endif /* TARVIK_OPCODES_H */
