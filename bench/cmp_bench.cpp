// Value comparison, number conversion, the sortable encoding and pattern
// matching on typical inputs.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "tarvikInt.h"

namespace {

void BM_CompareIntegers(benchmark::State &state) {
  const char *a = "123456", *b = "123457";
  for (auto _ : state) benchmark::DoNotOptimize(tarvikCompare(a, b));
}
BENCHMARK(BM_CompareIntegers);

void BM_CompareReals(benchmark::State &state) {
  const char *a = "3.14159265358979", *b = "-2.5e-3";
  for (auto _ : state) benchmark::DoNotOptimize(tarvikCompare(a, b));
}
BENCHMARK(BM_CompareReals);

void BM_CompareTexts(benchmark::State &state) {
  const char *a = "Johnson, Mary", *b = "Johnston, Mark";
  for (auto _ : state) benchmark::DoNotOptimize(tarvikCompare(a, b));
}
BENCHMARK(BM_CompareTexts);

void BM_CompareNumberWithText(benchmark::State &state) {
  const char *a = "42", *b = "forty-two";
  for (auto _ : state) benchmark::DoNotOptimize(tarvikCompare(a, b));
}
BENCHMARK(BM_CompareNumberWithText);

void BM_SortCompareTwoFields(benchmark::State &state) {
  std::string a = std::string("+1024") + '\0' + "Asmith" + '\0';
  std::string b = std::string("+1024") + '\0' + "Asmithe" + '\0';
  for (auto _ : state) benchmark::DoNotOptimize(tarvikSortCompare(a.c_str(), b.c_str()));
}
BENCHMARK(BM_SortCompareTwoFields);

void BM_AtoF(benchmark::State &state) {
  const char *z[] = {"42", "-17.25", "6.02214076e23", "0.1"};
  int i = 0;
  for (auto _ : state) benchmark::DoNotOptimize(tarvikAtoF(z[i++ & 3], nullptr));
}
BENCHMARK(BM_AtoF);

void BM_RealToSortable(benchmark::State &state) {
  double v[] = {42.0, -17.25, 6.02214076e23, 0.1};
  char buf[TARVIK_SORTABLE_SIZE];
  int i = 0;
  for (auto _ : state) {
    tarvikRealToSortable(v[i++ & 3], buf);
    benchmark::DoNotOptimize(buf);
  }
}
BENCHMARK(BM_RealToSortable);

// A prefix pattern, a substring search and a one-character wildcard over a
// text of the given length.
void BM_LikePrefix(benchmark::State &state) {
  std::string s = "Customer " + std::string(state.range(0), 'x');
  for (auto _ : state) benchmark::DoNotOptimize(tarvikLikeCompare("cust%", s.c_str()));
}
BENCHMARK(BM_LikePrefix)->Arg(16)->Arg(256);

void BM_LikeContains(benchmark::State &state) {
  std::string s = std::string(state.range(0), 'a') + "needle" + std::string(16, 'b');
  for (auto _ : state) benchmark::DoNotOptimize(tarvikLikeCompare("%NEEDLE%", s.c_str()));
}
BENCHMARK(BM_LikeContains)->Arg(16)->Arg(256);

void BM_LikeUnderscore(benchmark::State &state) {
  const char *s = "A-1234-\xC3\xA9t\xC3\xA9";
  for (auto _ : state) benchmark::DoNotOptimize(tarvikLikeCompare("a-____-%", s));
}
BENCHMARK(BM_LikeUnderscore);

void BM_GlobClassSuffix(benchmark::State &state) {
  std::string s = "report-" + std::string(state.range(0), 'r') + "-2026.txt";
  for (auto _ : state)
    benchmark::DoNotOptimize(tarvikGlobCompare("report-*-[0-9][0-9]*.txt", s.c_str()));
}
BENCHMARK(BM_GlobClassSuffix)->Arg(16)->Arg(256);

// A hostile pattern: many wildcards that each find many candidates.
void BM_LikeManyWildcards(benchmark::State &state) {
  std::string p;
  for (int i = 0; i < 20; i++) p += "%a";
  p += "b";
  std::string s(state.range(0), 'a');
  for (auto _ : state) benchmark::DoNotOptimize(tarvikLikeCompare(p.c_str(), s.c_str()));
}
BENCHMARK(BM_LikeManyWildcards)->Arg(64)->Arg(1024);

}  // namespace

BENCHMARK_MAIN();
