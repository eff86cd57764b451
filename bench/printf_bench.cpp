// Formatting speed: the typical uses (building SQL with %Q, numbers) and a
// long escaped text, with the C library's snprintf as a reference point.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "tarvikInt.h"

static void BM_MprintfSqlStatement(benchmark::State &state) {
  for (auto _ : state) {
    char *z = tarvik_mprintf("INSERT INTO %Q VALUES(%d, %Q, %.3f);", "accounts", 12345,
                             "O'Brien", 2.5);
    benchmark::DoNotOptimize(z);
    tarvik_freemem(z);
  }
}
BENCHMARK(BM_MprintfSqlStatement);

static void BM_LibcSnprintfSimilar(benchmark::State &state) {
  char buf[200];
  for (auto _ : state) {
    int n = snprintf(buf, sizeof buf, "INSERT INTO '%s' VALUES(%d, '%s', %.3f);", "accounts",
                     12345, "O''Brien", 2.5);
    benchmark::DoNotOptimize(n);
  }
}
BENCHMARK(BM_LibcSnprintfSimilar);

static void BM_MprintfInteger(benchmark::State &state) {
  for (auto _ : state) {
    char *z = tarvikMPrintf("%d", 1234567);
    benchmark::DoNotOptimize(z);
    tarvikFree(z);
  }
}
BENCHMARK(BM_MprintfInteger);

static void BM_MprintfDouble(benchmark::State &state) {
  for (auto _ : state) {
    char *z = tarvikMPrintf("%.15g", 3.14159265358979);
    benchmark::DoNotOptimize(z);
    tarvikFree(z);
  }
}
BENCHMARK(BM_MprintfDouble);

static void BM_MprintfLongQuoted(benchmark::State &state) {
  std::string text((size_t)state.range(0), 'a');
  for (size_t i = 0; i < text.size(); i += 10) text[i] = '\'';
  for (auto _ : state) {
    char *z = tarvik_mprintf("%Q", text.c_str());
    benchmark::DoNotOptimize(z);
    tarvik_freemem(z);
  }
  state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}
BENCHMARK(BM_MprintfLongQuoted)->Arg(100)->Arg(100000);

BENCHMARK_MAIN();
