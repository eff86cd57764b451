// Built-in SQL functions on typical arguments: one call through the
// function context as the machine makes it, result released each time.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "vdbeInt.h"

namespace {

// A bare connection holding only the function registry.
struct Registry {
  tarvik db{};
  Registry() {
    tarvikHashInit(&db.aFunc, TARVIK_HASH_STRING, 1);
    db.magic = TARVIK_MAGIC_OPEN;
    tarvikRegisterBuiltinFunctions(&db);
  }
  ~Registry() { tarvikFreeFunctions(&db); }
};

Registry &registry() {
  static Registry r;
  return r;
}

void runScalar(benchmark::State &state, const char *zName, std::vector<const char *> argv) {
  FuncDef *p = tarvikFindFunction(&registry().db, zName, (int)strlen(zName), (int)argv.size(), 0);
  if (p == nullptr || p->xFunc == nullptr) {
    state.SkipWithError("no such function");
    return;
  }
  for (auto _ : state) {
    tarvik_func ctx{};
    ctx.pFunc = p;
    ctx.s.flags = MEM_Null;
    p->xFunc(&ctx, (int)argv.size(), argv.data());
    benchmark::DoNotOptimize(ctx.s.z);
    tarvikMemRelease(&ctx.s);
  }
}

void BM_LengthAscii(benchmark::State &state) {
  std::string s(64, 'a');
  runScalar(state, "length", {s.c_str()});
}
BENCHMARK(BM_LengthAscii);

void BM_LengthUtf8(benchmark::State &state) {
  std::string s;
  for (int i = 0; i < 32; i++) s += "\xC3\xA9";  // 32 two-byte characters
  runScalar(state, "length", {s.c_str()});
}
BENCHMARK(BM_LengthUtf8);

void BM_SubstrShort(benchmark::State &state) {
  runScalar(state, "substr", {"The quick brown fox jumps over the lazy dog", "5", "11"});
}
BENCHMARK(BM_SubstrShort);

void BM_SubstrLongUtf8(benchmark::State &state) {
  std::string s;
  for (int i = 0; i < 500; i++) s += "h\xC3\xA9llo ";
  runScalar(state, "substr", {s.c_str(), "1000", "200"});  // a 200-character (allocated) result
}
BENCHMARK(BM_SubstrLongUtf8);

void BM_Upper(benchmark::State &state) { runScalar(state, "upper", {"Mixed Case Text 123"}); }
BENCHMARK(BM_Upper);

void BM_Round(benchmark::State &state) { runScalar(state, "round", {"3.14159265", "2"}); }
BENCHMARK(BM_Round);

void BM_Like(benchmark::State &state) {
  runScalar(state, "like", {"%brown%dog", "The quick brown fox jumps over the lazy dog"});
}
BENCHMARK(BM_Like);

void BM_DatetimeParse(benchmark::State &state) {
  runScalar(state, "datetime", {"2004-03-14 13:45:07.250"});
}
BENCHMARK(BM_DatetimeParse);

void BM_DateWithModifiers(benchmark::State &state) {
  runScalar(state, "date", {"2004-01-31", "+1 month", "start of month", "weekday 1"});
}
BENCHMARK(BM_DateWithModifiers);

void BM_JuliandayNumber(benchmark::State &state) { runScalar(state, "julianday", {"2453079.5"}); }
BENCHMARK(BM_JuliandayNumber);

void BM_Strftime(benchmark::State &state) {
  runScalar(state, "strftime", {"%Y-%m-%d %H:%M:%f %j %w", "2004-03-14 13:45:07.250"});
}
BENCHMARK(BM_Strftime);

// One group of 1000 rows through sum's step, then finalize.
void BM_SumGroup(benchmark::State &state) {
  FuncDef *p = tarvikFindFunction(&registry().db, "sum", 3, 1, 0);
  const char *aVal[] = {"12.5", "7", "-3.25", "1000"};
  for (auto _ : state) {
    Mem cell{};
    void *pAgg = nullptr;
    for (int i = 0; i < 1000; i++) {
      tarvik_func ctx{};
      ctx.pFunc = p;
      ctx.isStep = 1;
      ctx.pAgg = pAgg;
      ctx.pAggBuf = cell.zShort;
      ctx.cnt = i + 1;
      p->xStep(&ctx, 1, &aVal[i & 3]);
      pAgg = ctx.pAgg;
    }
    tarvik_func ctx{};
    ctx.pFunc = p;
    ctx.pAgg = pAgg;
    ctx.pAggBuf = cell.zShort;
    ctx.s.flags = MEM_Null;
    p->xFinalize(&ctx);
    benchmark::DoNotOptimize(ctx.s.r);
  }
  state.SetItemsProcessed(state.iterations() * 1000);
}
BENCHMARK(BM_SumGroup);

}  // namespace

BENCHMARK_MAIN();
