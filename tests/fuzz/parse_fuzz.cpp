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
  // A connection with main and temp and an empty schema, so the schema
  // statements build and drop real objects; no files are opened.
  tarvik db;
  memset(&db, 0, sizeof(db));
  db.nDb = 2;
  db.aDb = db.aDbStatic;
  db.aDb[0].zName = (char *)"main";
  db.aDb[1].zName = (char *)"temp";
  for (int i = 0; i < 2; i++) {
    tarvikHashInit(&db.aDb[i].tblHash, TARVIK_HASH_STRING, 0);
    tarvikHashInit(&db.aDb[i].idxHash, TARVIK_HASH_STRING, 0);
    tarvikHashInit(&db.aDb[i].trigHash, TARVIK_HASH_STRING, 0);
    tarvikHashInit(&db.aDb[i].aFKey, TARVIK_HASH_STRING, 1);
  }
  db.file_format = 4;
  db.onError = OE_Default;
  const char *zSql = sql.c_str();
  // Statement after statement, as long as each one compiles.
  for (int guard = 0; *zSql && guard < 100000; guard++) {
    db.flags |= TARVIK_Initialized;
    Parse parse;
    memset(&parse, 0, sizeof(parse));
    parse.db = &db;
    char *zErr = nullptr;
    int nErr = tarvikRunParser(&parse, zSql, &zErr);
    tarvikFree(zErr);
    tarvikVdbeDelete(parse.pVdbe);
    if (nErr || parse.zTail == nullptr || parse.zTail == zSql) break;
    zSql = parse.zTail;
  }
  tarvikResetInternalSchema(&db, 0);
  for (int i = 0; i < 2; i++) {
    tarvikHashClear(&db.aDb[i].tblHash);
    tarvikHashClear(&db.aDb[i].idxHash);
    tarvikHashClear(&db.aDb[i].trigHash);
    tarvikHashClear(&db.aDb[i].aFKey);
    if (db.aDb[i].pBt) tarvikBtreeClose(db.aDb[i].pBt);
  }
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
