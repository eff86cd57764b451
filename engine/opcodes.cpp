/*
** The tables of opcode names and properties, indexed by opcode number and
** expanded from opcodes.def.
*/
#include "opcodes.h"

namespace {

struct OpcodeInfo {
  const char *zName;
  int number;
  u8 flags;
};

/* Entry 0 stands for the never-emitted opcode 0. */
constexpr OpcodeInfo aOpcode[] = {
    {"???", 0, 0},
#define OPCODE(name, number, flags) {#name, number, flags},
#include "opcodes.def"
#undef OPCODE
};

/* The list must be in ascending order without gaps, so that an opcode's
** number is also its index here. */
constexpr bool numberedInOrder() {
  for (int i = 0; i < (int)(sizeof(aOpcode) / sizeof(aOpcode[0])); i++) {
    if (aOpcode[i].number != i) return false;
  }
  return true;
}
static_assert(numberedInOrder(), "opcodes.def must list opcodes 1, 2, 3, ... in order");
static_assert(sizeof(aOpcode) / sizeof(aOpcode[0]) == TARVIK_MAX_OPCODE + 1);

/* The text comparisons sit exactly six above their numeric twins; the
** execution loop derives one from the other. */
static_assert(OP_StrEq == OP_Eq + 6 && OP_StrGe == OP_Ge + 6);

}  // namespace

const char *tarvikOpcodeName(int op) {
  if (op <= 0 || op > TARVIK_MAX_OPCODE) return aOpcode[0].zName;
  return aOpcode[op].zName;
}

u8 tarvikOpcodeFlags(int op) {
  if (op <= 0 || op > TARVIK_MAX_OPCODE) return 0;
  return aOpcode[op].flags;
}
