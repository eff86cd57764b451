// The execution loop on hand-built programs: a tight arithmetic loop
// (1,000,000 iterations of 8 instructions), and inserting / scanning
// 100,000 rows through NewRecno/MakeRecord/PutIntKey and Rewind/Column/Next
// on both backends.  Items per second are loop iterations or rows.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <string>

#include "btree.h"
#include "vdbeInt.h"

namespace {

struct Conn {
  tarvik db{};
  std::string zPath;
  explicit Conn(bool file) {
    db.nDb = 2;
    db.aDb = db.aDbStatic;
    db.magic = TARVIK_MAGIC_BUSY;
    db.temp_store = 2;
    if (file) {
      char zTmpl[] = "/tmp/tarvik_vdbe_bench_XXXXXX";
      int fd = mkstemp(zTmpl);
      close(fd);
      unlink(zTmpl);
      zPath = zTmpl;
    }
    tarvikBtreeFactory(&db, file ? zPath.c_str() : ":memory:", 0, 2000, &db.aDb[0].pBt);
  }
  ~Conn() {
    while (db.pVdbe) tarvikVdbeDelete(db.pVdbe);
    if (db.aDb[0].pBt) tarvikBtreeClose(db.aDb[0].pBt);
    if (!zPath.empty()) {
      unlink(zPath.c_str());
      unlink((zPath + "-journal").c_str());
    }
  }
};

// Runs a program to its end; the number of rows it delivered.
long runAll(Vdbe *v) {
  long nRow = 0;
  int rc;
  while ((rc = tarvikVdbeExec(v)) == TARVIK_ROW) nRow++;
  char *z = nullptr;
  if (tarvikVdbeReset(v, &z) != TARVIK_OK || rc != TARVIK_DONE) nRow = -1;
  tarvikFree(z);
  return nRow;
}

void BM_ArithmeticLoop(benchmark::State &state) {
  const int n = (int)state.range(0);
  Conn c(false);
  Vdbe *v = tarvikVdbeCreate(&c.db);
  tarvikVdbeAddOp(v, OP_Integer, 1 - n, 0);
  tarvikVdbeAddOp(v, OP_MemStore, 0, 1);
  int top = tarvikVdbeAddOp(v, OP_Integer, 7, 0);
  tarvikVdbeAddOp(v, OP_Integer, 3, 0);
  tarvikVdbeAddOp(v, OP_Add, 0, 0);
  tarvikVdbeAddOp(v, OP_Integer, 2, 0);
  tarvikVdbeAddOp(v, OP_Multiply, 0, 0);
  tarvikVdbeAddOp(v, OP_Pop, 1, 0);
  tarvikVdbeAddOp(v, OP_MemIncr, 0, top + 8);
  tarvikVdbeAddOp(v, OP_Goto, 0, top);
  tarvikVdbeAddOp(v, OP_Halt, 0, 0);
  for (auto _ : state) {
    tarvikVdbeMakeReady(v, 0, 0);
    if (runAll(v) != 0) state.SkipWithError("run failed");
  }
  state.SetItemsProcessed(state.iterations() * (int64_t)n);
  state.counters["instr/s"] =
      benchmark::Counter((double)state.iterations() * n * 8, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ArithmeticLoop)->Arg(1000000)->Unit(benchmark::kMillisecond);

// A program that inserts n rows (row number, a number and a 20-byte text)
// into a new table of database 0, inside one transaction; the root page
// goes to *piRoot.
Vdbe *insertProgram(tarvik *db, int n, int *piRoot) {
  Vdbe *v = tarvikVdbeCreate(db);
  tarvikVdbeAddOp(v, OP_Transaction, 0, 0);
  tarvikVdbeOp3(v, OP_CreateTable, 0, 0, (const char *)piRoot, P3_POINTER);
  tarvikVdbeAddOp(v, OP_Integer, 0, 0);    // the database, above the root page
  tarvikVdbeAddOp(v, OP_OpenWrite, 0, 0);  // root page from the stack
  tarvikVdbeAddOp(v, OP_Integer, 1 - n, 0);
  tarvikVdbeAddOp(v, OP_MemStore, 0, 1);
  int top = tarvikVdbeAddOp(v, OP_NewRecno, 0, 0);
  tarvikVdbeAddOp(v, OP_MemLoad, 0, 0);
  tarvikVdbeOp3(v, OP_String, 0, 0, "twenty bytes of text", P3_STATIC);
  tarvikVdbeAddOp(v, OP_MakeRecord, 2, 0);
  tarvikVdbeAddOp(v, OP_PutIntKey, 0, 0);
  tarvikVdbeAddOp(v, OP_MemIncr, 0, top + 7);
  tarvikVdbeAddOp(v, OP_Goto, 0, top);
  tarvikVdbeAddOp(v, OP_Close, 0, 0);
  tarvikVdbeAddOp(v, OP_Commit, 0, 0);
  return v;
}

Vdbe *scanProgram(tarvik *db, int iRoot) {
  Vdbe *v = tarvikVdbeCreate(db);
  tarvikVdbeAddOp(v, OP_Integer, 0, 0);
  tarvikVdbeAddOp(v, OP_OpenRead, 0, iRoot);
  int rw = tarvikVdbeAddOp(v, OP_Rewind, 0, 0);
  int top = tarvikVdbeAddOp(v, OP_Recno, 0, 0);
  tarvikVdbeAddOp(v, OP_Column, 0, 0);
  tarvikVdbeAddOp(v, OP_Column, 0, 1);
  tarvikVdbeAddOp(v, OP_Pop, 3, 0);
  tarvikVdbeAddOp(v, OP_Next, 0, top);
  tarvikVdbeChangeP2(v, rw, tarvikVdbeCurrentAddr(v));
  tarvikVdbeAddOp(v, OP_Close, 0, 0);
  return v;
}

void BM_InsertRows(benchmark::State &state) {
  const int n = (int)state.range(0);
  for (auto _ : state) {
    state.PauseTiming();
    Conn c(state.range(1) != 0);
    int iRoot = 0;
    Vdbe *v = insertProgram(&c.db, n, &iRoot);
    tarvikVdbeMakeReady(v, 0, 0);
    state.ResumeTiming();
    if (runAll(v) != 0) state.SkipWithError("run failed");
    state.PauseTiming();
    tarvikVdbeDelete(v);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * (int64_t)n);
  state.SetLabel(state.range(1) ? "file" : "memory");
}
BENCHMARK(BM_InsertRows)->Args({100000, 0})->Args({100000, 1})->Unit(benchmark::kMillisecond);

void BM_ScanRows(benchmark::State &state) {
  const int n = (int)state.range(0);
  Conn c(state.range(1) != 0);
  int iRoot = 0;
  Vdbe *v = insertProgram(&c.db, n, &iRoot);
  tarvikVdbeMakeReady(v, 0, 0);
  if (runAll(v) != 0) state.SkipWithError("insert failed");
  tarvikVdbeDelete(v);
  v = scanProgram(&c.db, iRoot);
  for (auto _ : state) {
    tarvikVdbeMakeReady(v, 0, 0);
    if (runAll(v) != 0) state.SkipWithError("scan failed");
  }
  state.SetItemsProcessed(state.iterations() * (int64_t)n);
  state.SetLabel(state.range(1) ? "file" : "memory");
}
BENCHMARK(BM_ScanRows)->Args({100000, 0})->Args({100000, 1})->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
