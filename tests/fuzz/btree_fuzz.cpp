// libFuzzer target: a mutated database file is opened, walked, checked and
// changed (tvbtfile::fuzzDatabaseImage).  Built only by the fuzz preset; the
// normal test run replays tests/fuzz/corpus/btree through the same function.
#include <cstddef>
#include <cstdint>

#include "btree_file_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *aData, size_t nData) {
  return tvbtfile::fuzzDatabaseImage(aData, nData);
}
