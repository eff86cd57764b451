// The acceptance workload of the file B-tree, beside the in-memory backend:
// 100,000 entries with 4-byte keys inserted in one transaction (sequential
// and random order), 100,000 random point look-ups and a full cursor scan,
// with the cache warm.  Items per second are entries per second.  (The
// broader per-backend workload is btree_bench.)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include "btree.h"
#include "tarvikInt.h"

namespace {

constexpr int kEntries = 100000;

enum Backend { kRbtree = 0, kFile = 1 };

Btree *openStore(Backend be) {
  Btree *pBt = nullptr;
  if (be == kRbtree) {
    tarvikRbtreeOpen(nullptr, 0, 0, &pBt);
  } else {
    // A temporary file (never synced) with a cache that holds every page.
    tarvikBtreeOpen(nullptr, 0, 20000, &pBt);
  }
  return pBt;
}

void keyFor(unsigned v, unsigned char *aKey) {
  aKey[0] = (unsigned char)(v >> 24);
  aKey[1] = (unsigned char)(v >> 16);
  aKey[2] = (unsigned char)(v >> 8);
  aKey[3] = (unsigned char)v;
}

std::vector<unsigned> keys(bool random) {
  std::vector<unsigned> v(kEntries);
  for (int i = 0; i < kEntries; i++) v[(size_t)i] = (unsigned)i * 2654435761u;
  if (!random) std::sort(v.begin(), v.end());
  return v;
}

bool insertAll(Btree *pBt, const std::vector<unsigned> &aKey) {
  if (tarvikBtreeBeginTrans(pBt) != TARVIK_OK) return false;
  BtCursor *pCur = nullptr;
  if (tarvikBtreeCursor(pBt, 2, 1, &pCur) != TARVIK_OK) return false;
  unsigned char k[4];
  const char zData[] = "12345678";
  for (unsigned v : aKey) {
    keyFor(v, k);
    if (tarvikBtreeInsert(pCur, k, 4, zData, 8) != TARVIK_OK) return false;
  }
  tarvikBtreeCloseCursor(pCur);
  return tarvikBtreeCommit(pBt) == TARVIK_OK;
}

void BM_Insert(benchmark::State &state, Backend be, bool random) {
  std::vector<unsigned> aKey = keys(random);
  for (auto _ : state) {
    state.PauseTiming();
    Btree *pBt = openStore(be);
    state.ResumeTiming();
    if (!insertAll(pBt, aKey)) state.SkipWithError("insert failed");
    state.PauseTiming();
    tarvikBtreeClose(pBt);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
}

void BM_Lookup(benchmark::State &state, Backend be) {
  std::vector<unsigned> aKey = keys(true);
  Btree *pBt = openStore(be);
  if (!insertAll(pBt, aKey)) state.SkipWithError("fill failed");
  // Keep a read cursor open so that the file store keeps its cache.
  BtCursor *pCur = nullptr;
  tarvikBtreeCursor(pBt, 2, 0, &pCur);
  std::mt19937 rng(42);
  std::vector<unsigned> aProbe(kEntries);
  for (auto &v : aProbe) v = aKey[rng() % aKey.size()];
  unsigned char k[4];
  for (auto _ : state) {
    for (unsigned v : aProbe) {
      keyFor(v, k);
      int res = 0;
      tarvikBtreeMoveto(pCur, k, 4, &res);
      if (res != 0) state.SkipWithError("key missing");
    }
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
  tarvikBtreeCloseCursor(pCur);
  tarvikBtreeClose(pBt);
}

void BM_Scan(benchmark::State &state, Backend be) {
  Btree *pBt = openStore(be);
  if (!insertAll(pBt, keys(true))) state.SkipWithError("fill failed");
  BtCursor *pCur = nullptr;
  tarvikBtreeCursor(pBt, 2, 0, &pCur);
  for (auto _ : state) {
    int res = 0, n = 0;
    char buf[8];
    tarvikBtreeFirst(pCur, &res);
    while (res == 0) {
      tarvikBtreeKey(pCur, 0, 4, buf);
      n++;
      tarvikBtreeNext(pCur, &res);
    }
    if (n != kEntries) state.SkipWithError("scan count");
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
  tarvikBtreeCloseCursor(pCur);
  tarvikBtreeClose(pBt);
}

BENCHMARK_CAPTURE(BM_Insert, rbtree_sequential, kRbtree, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Insert, file_sequential, kFile, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Insert, rbtree_random, kRbtree, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Insert, file_random, kFile, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Lookup, rbtree, kRbtree)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Lookup, file, kFile)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Scan, rbtree, kRbtree)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Scan, file, kFile)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
