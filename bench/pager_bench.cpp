// Pager speed: N pages written in one transaction (syncing off and on), N
// pages read from a warm and from a cold cache, next to the machine's raw
// rate of one-page write + fsync measured the same way.
//
//   ./pager_bench --benchmark_counter_tabular=true
//
// Counters: items_per_second is pages (or raw write+fsync pairs) per second;
// syncs/commit is the fsync calls one commit made (journal + database).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "os.h"
#include "pager.h"

namespace {

std::string scratchDir() {
  static std::string dir;
  if (dir.empty()) {
    char tmpl[] = "/tmp/tarvik_bench_XXXXXX";
    dir = mkdtemp(tmpl);
    atexit([] {
      std::string cmd = "rm -rf " + dir;
      if (system(cmd.c_str()) != 0) {
      }
    });
  }
  return dir;
}

// The machine's durable-write rate: one 1024-byte write and one fsync.
void BM_RawWriteFsync(benchmark::State &state) {
  std::string name = scratchDir() + "/raw";
  int fd = open(name.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  char buf[TARVIK_PAGE_SIZE];
  memset(buf, 'x', sizeof(buf));
  for (auto _ : state) {
    if (pwrite(fd, buf, sizeof(buf), 0) != (ssize_t)sizeof(buf)) state.SkipWithError("write");
    if (fsync(fd) != 0) state.SkipWithError("fsync");
  }
  close(fd);
  unlink(name.c_str());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawWriteFsync)->UseRealTime();

Pager *openBenchPager(const std::string &name, int nCache) {
  unlink(name.c_str());
  unlink((name + "-journal").c_str());
  Pager *p = nullptr;
  if (tarvikpager_open(&p, name.c_str(), nCache, 0, 1) != TARVIK_OK) abort();
  return p;
}

// One transaction writing pages 1..N (all existing after the first round).
void BM_WriteTransaction(benchmark::State &state) {
  const int n = (int)state.range(0);
  const int level = (int)state.range(1);  // 1: syncing off, 2: normal
  std::string name = scratchDir() + "/w.db";
  Pager *p = openBenchPager(name, n + 10);
  tarvikpager_set_safety_level(p, level);
  std::string journal = name + "-journal";
  tarvikTestOsReset();
  long commits = 0;
  for (auto _ : state) {
    void *p1 = nullptr;
    if (tarvikpager_get(p, 1, &p1) != TARVIK_OK) abort();
    for (int i = 1; i <= n; i++) {
      void *pg = nullptr;
      if (tarvikpager_get(p, (Pgno)i, &pg) != TARVIK_OK || tarvikpager_write(pg) != TARVIK_OK)
        abort();
      memset(pg, (int)(commits + i), TARVIK_PAGE_SIZE);
      tarvikpager_unref(pg);
    }
    if (tarvikpager_commit(p) != TARVIK_OK) abort();
    tarvikpager_unref(p1);
    commits++;
  }
  int nSync = tarvikTestOsCount(name.c_str()).nSync + tarvikTestOsCount(journal.c_str()).nSync;
  tarvikpager_close(p);
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["syncs/commit"] = commits ? (double)nSync / (double)commits : 0;
}
BENCHMARK(BM_WriteTransaction)
    ->ArgsProduct({{100, 1000}, {1, 2}})
    ->ArgNames({"pages", "safety"})
    ->UseRealTime();

void makeDatabase(const std::string &name, int n) {
  Pager *p = openBenchPager(name, n + 10);
  tarvikpager_set_safety_level(p, 1);
  void *p1 = nullptr;
  if (tarvikpager_get(p, 1, &p1) != TARVIK_OK) abort();
  for (int i = 1; i <= n; i++) {
    void *pg = nullptr;
    if (tarvikpager_get(p, (Pgno)i, &pg) != TARVIK_OK || tarvikpager_write(pg) != TARVIK_OK)
      abort();
    memset(pg, i, TARVIK_PAGE_SIZE);
    tarvikpager_unref(pg);
  }
  if (tarvikpager_commit(p) != TARVIK_OK) abort();
  tarvikpager_unref(p1);
  tarvikpager_close(p);
}

// Reading N pages that are already in the pager's cache.
void BM_ReadWarm(benchmark::State &state) {
  const int n = (int)state.range(0);
  std::string name = scratchDir() + "/r.db";
  makeDatabase(name, n);
  Pager *p = nullptr;
  if (tarvikpager_open(&p, name.c_str(), n + 10, 0, 1) != TARVIK_OK) abort();
  void *p1 = nullptr;
  if (tarvikpager_get(p, 1, &p1) != TARVIK_OK) abort();  // keeps the cache alive
  long sum = 0;
  for (auto _ : state) {
    for (int i = 1; i <= n; i++) {
      void *pg = nullptr;
      if (tarvikpager_get(p, (Pgno)i, &pg) != TARVIK_OK) abort();
      sum += ((unsigned char *)pg)[7];
      tarvikpager_unref(pg);
    }
  }
  benchmark::DoNotOptimize(sum);
  tarvikpager_unref(p1);
  tarvikpager_close(p);
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_ReadWarm)->Arg(100)->Arg(1000)->ArgName("pages");

// Reading N pages into an empty cache: each round is a new read transaction
// (lock, hot-journal check, file size, one read per page).  With drop=1 the
// file's pages are also evicted from the operating system's cache first.
void BM_ReadCold(benchmark::State &state) {
  const int n = (int)state.range(0);
  const bool drop = state.range(1) != 0;
  std::string name = scratchDir() + "/c.db";
  makeDatabase(name, n);
  Pager *p = nullptr;
  if (tarvikpager_open(&p, name.c_str(), n + 10, 0, 1) != TARVIK_OK) abort();
  int dropFd = open(name.c_str(), O_RDONLY);
  long sum = 0;
  for (auto _ : state) {
    if (drop) {
      state.PauseTiming();
      fdatasync(dropFd);
      posix_fadvise(dropFd, 0, 0, POSIX_FADV_DONTNEED);
      state.ResumeTiming();
    }
    void *p1 = nullptr;
    if (tarvikpager_get(p, 1, &p1) != TARVIK_OK) abort();
    for (int i = 2; i <= n; i++) {
      void *pg = nullptr;
      if (tarvikpager_get(p, (Pgno)i, &pg) != TARVIK_OK) abort();
      sum += ((unsigned char *)pg)[7];
      tarvikpager_unref(pg);
    }
    tarvikpager_unref(p1);  // drops the cache and the lock
  }
  benchmark::DoNotOptimize(sum);
  close(dropFd);
  tarvikpager_close(p);
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_ReadCold)
    ->ArgsProduct({{100, 1000}, {0, 1}})
    ->ArgNames({"pages", "drop"})
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
