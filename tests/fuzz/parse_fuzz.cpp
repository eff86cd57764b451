// Fuzz target for the tokenizer and the parser: any text, compiled one
// statement after another as the library would, must not crash, hang or
// leak.  Built by the "fuzz" preset as a libFuzzer program; the normal test
// run replays the corpus in tests/fuzz/corpus/parse through the same entry.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "btree.h"
#include "tarvikInt.h"
#include "vdbe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string sql((const char *)data, size);  // text ends at the first NUL
  long before = tarvikTestMallocOutstanding();
  tarvik_complete(sql.c_str());
  // Compiled (not run) on a real in-memory connection, now that the code
  // generators work on its schema.
  tarvik *db = tarvik_open(":memory:", 0, nullptr);
  if (db == nullptr) abort();
  const char *zSql = sql.c_str();
  // Statement after statement, as long as each one compiles.
  for (int guard = 0; *zSql && guard < 100000; guard++) {
    tarvik_vm *pVm = nullptr;
    const char *zTail = nullptr;
    char *zErr = nullptr;
    int rc = tarvik_compile(db, zSql, &zTail, &pVm, &zErr);
    tarvikFree(zErr);
    if (pVm) tarvik_finalize(pVm, nullptr);
    if (rc != TARVIK_OK || zTail == nullptr || zTail == zSql) break;
    zSql = zTail;
  }
  if (db->magic != TARVIK_MAGIC_OPEN) abort();
  tarvik_close(db);
  tarvik_malloc_failed = 0;
  if (tarvikTestMallocOutstanding() != before) {
    fprintf(stderr, "parse_fuzz: %ld allocations leaked\n", tarvikTestMallocOutstanding() - before);
    abort();
  }
  return 0;
}

#ifndef TARVIK_FUZZ_MAIN_FROM_LIBFUZZER
// Replays the files named on the command line.
int main(int argc, char **argv) {
  for (int i = 1; i < argc; i++) {
    FILE *f = fopen(argv[i], "rb");
    if (f == nullptr) {
      fprintf(stderr, "cannot open %s\n", argv[i]);
      return 1;
    }
    std::string data;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, n);
    fclose(f);
    LLVMFuzzerTestOneInput((const uint8_t *)data.data(), data.size());
  }
  printf("replayed %d inputs\n", argc - 1);
  return 0;
}
#endif
