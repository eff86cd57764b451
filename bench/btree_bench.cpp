// The storage workload, the same for every backend: sequential and random
// inserts of N keys with small data, point lookups, full scans, deletes and
// the rollback of a transaction of N inserts.  Backends are listed in
// kBackends; each workload is registered once per backend and size.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "btree.h"
#include "tarvikInt.h"

namespace {

struct BenchBackend {
  const char *zName;
  int (*xOpen)(Btree **ppBt);
  void (*xClose)(Btree *pBt);
};

int openRbtree(Btree **ppBt) { return tarvikRbtreeOpen(nullptr, 0, 0, ppBt); }
void closeAny(Btree *pBt) { tarvikBtreeClose(pBt); }

// The file store on a temporary file (never synced), its cache large
// enough to keep every page: the figures compare the trees, not the disk.
int openFileBtree(Btree **ppBt) { return tarvikBtreeOpen(nullptr, 0, 50000, ppBt); }

// Add a backend with one more line here.
const BenchBackend kBackends[] = {
    {"rbtree", openRbtree, closeAny},
    {"file", openFileBtree, closeAny},
};

constexpr int kDataSize = 16;

// Keys are 8-byte big-endian numbers, so byte order is numeric order (like
// row keys).
void makeKey(unsigned v, char *z) {
  for (int i = 7; i >= 0; i--) {
    z[i] = (char)(v & 0xff);
    v >>= 8;
  }
}

std::vector<unsigned> order(int n, bool shuffled) {
  std::vector<unsigned> v((size_t)n);
  for (int i = 0; i < n; i++) v[(size_t)i] = (unsigned)i * 7u + 1u;
  if (shuffled) std::shuffle(v.begin(), v.end(), std::mt19937(42));
  return v;
}

// A store whose table 2 holds the given keys (committed).
Btree *buildStore(const BenchBackend &be, const std::vector<unsigned> &keys) {
  Btree *pBt = nullptr;
  if (be.xOpen(&pBt) != TARVIK_OK) return nullptr;
  tarvikBtreeBeginTrans(pBt);
  BtCursor *pCur = nullptr;
  tarvikBtreeCursor(pBt, 2, 1, &pCur);
  char zKey[8], zData[kDataSize];
  memset(zData, 'd', sizeof(zData));
  for (unsigned k : keys) {
    makeKey(k, zKey);
    tarvikBtreeInsert(pCur, zKey, 8, zData, kDataSize);
  }
  tarvikBtreeCloseCursor(pCur);
  tarvikBtreeCommit(pBt);
  return pBt;
}

void benchInsert(benchmark::State &state, const BenchBackend *be, bool shuffled) {
  int n = (int)state.range(0);
  std::vector<unsigned> keys = order(n, shuffled);
  for (auto _ : state) {
    Btree *pBt = buildStore(*be, keys);
    state.PauseTiming();
    be->xClose(pBt);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void benchLookup(benchmark::State &state, const BenchBackend *be) {
  int n = (int)state.range(0);
  Btree *pBt = buildStore(*be, order(n, true));
  std::vector<unsigned> probes = order(n, true);
  BtCursor *pCur = nullptr;
  tarvikBtreeCursor(pBt, 2, 0, &pCur);
  size_t i = 0;
  char zKey[8], zData[kDataSize];
  for (auto _ : state) {
    makeKey(probes[i++ % probes.size()], zKey);
    int res;
    tarvikBtreeMoveto(pCur, zKey, 8, &res);
    benchmark::DoNotOptimize(tarvikBtreeData(pCur, 0, kDataSize, zData));
  }
  state.SetItemsProcessed(state.iterations());
  tarvikBtreeCloseCursor(pCur);
  be->xClose(pBt);
}

void benchScan(benchmark::State &state, const BenchBackend *be) {
  int n = (int)state.range(0);
  Btree *pBt = buildStore(*be, order(n, true));
  BtCursor *pCur = nullptr;
  tarvikBtreeCursor(pBt, 2, 0, &pCur);
  char zKey[8], zData[kDataSize];
  for (auto _ : state) {
    int res;
    long nSeen = 0;
    for (tarvikBtreeFirst(pCur, &res); res == 0; tarvikBtreeNext(pCur, &res)) {
      tarvikBtreeKey(pCur, 0, 8, zKey);
      tarvikBtreeData(pCur, 0, kDataSize, zData);
      nSeen++;
    }
    benchmark::DoNotOptimize(nSeen);
  }
  state.SetItemsProcessed(state.iterations() * n);
  tarvikBtreeCloseCursor(pCur);
  be->xClose(pBt);
}

void benchDelete(benchmark::State &state, const BenchBackend *be) {
  int n = (int)state.range(0);
  std::vector<unsigned> keys = order(n, false);
  std::vector<unsigned> victims = order(n, true);
  for (auto _ : state) {
    state.PauseTiming();
    Btree *pBt = buildStore(*be, keys);
    state.ResumeTiming();
    tarvikBtreeBeginTrans(pBt);
    BtCursor *pCur = nullptr;
    tarvikBtreeCursor(pBt, 2, 1, &pCur);
    char zKey[8];
    for (unsigned k : victims) {
      makeKey(k, zKey);
      int res;
      tarvikBtreeMoveto(pCur, zKey, 8, &res);
      tarvikBtreeDelete(pCur);
    }
    tarvikBtreeCloseCursor(pCur);
    tarvikBtreeCommit(pBt);
    state.PauseTiming();
    be->xClose(pBt);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * n);
}

void benchRollback(benchmark::State &state, const BenchBackend *be) {
  int n = (int)state.range(0);
  std::vector<unsigned> keys = order(n, true);
  Btree *pBt = nullptr;
  be->xOpen(&pBt);
  char zKey[8], zData[kDataSize];
  memset(zData, 'd', sizeof(zData));
  for (auto _ : state) {
    tarvikBtreeBeginTrans(pBt);
    BtCursor *pCur = nullptr;
    tarvikBtreeCursor(pBt, 2, 1, &pCur);
    for (unsigned k : keys) {
      makeKey(k, zKey);
      tarvikBtreeInsert(pCur, zKey, 8, zData, kDataSize);
    }
    tarvikBtreeCloseCursor(pCur);
    tarvikBtreeRollback(pBt);
  }
  state.SetItemsProcessed(state.iterations() * n);
  be->xClose(pBt);
}

void registerAll() {
  for (const BenchBackend &be : kBackends) {
    std::string b = be.zName;
    auto sizes = [](benchmark::internal::Benchmark *p) {
      p->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
    };
    sizes(benchmark::RegisterBenchmark((b + "/InsertSequential").c_str(), benchInsert, &be, false));
    sizes(benchmark::RegisterBenchmark((b + "/InsertRandom").c_str(), benchInsert, &be, true));
    benchmark::RegisterBenchmark((b + "/Lookup").c_str(), benchLookup, &be)->Arg(1000)->Arg(100000);
    sizes(benchmark::RegisterBenchmark((b + "/Scan").c_str(), benchScan, &be));
    sizes(benchmark::RegisterBenchmark((b + "/DeleteRandom").c_str(), benchDelete, &be));
    sizes(benchmark::RegisterBenchmark((b + "/InsertThenRollback").c_str(), benchRollback, &be));
  }
}

}  // namespace

int main(int argc, char **argv) {
  registerAll();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
