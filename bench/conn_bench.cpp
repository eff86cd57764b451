// Connection overheads: opening and closing a connection (memory and file,
// with a schema of 20 tables to load), and one statement through
// tarvik_exec (compile, run, finalize) that changes the schema and back.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <unistd.h>

#include "tarvik.h"

namespace {

std::string schemaFile() {
  std::string path = "/tmp/tarvik_conn_bench_" + std::to_string(getpid()) + ".db";
  remove(path.c_str());
  tarvik *db = tarvik_open(path.c_str(), 0, nullptr);
  std::string sql = "BEGIN;";
  for (int i = 0; i < 20; i++) {
    sql += "CREATE TABLE t" + std::to_string(i) + "(a INTEGER PRIMARY KEY, b TEXT UNIQUE, c);";
  }
  sql += "COMMIT;";
  tarvik_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
  tarvik_close(db);
  return path;
}

void BM_OpenCloseMemory(benchmark::State &state) {
  for (auto _ : state) {
    tarvik *db = tarvik_open(":memory:", 0, nullptr);
    benchmark::DoNotOptimize(db);
    tarvik_close(db);
  }
}
BENCHMARK(BM_OpenCloseMemory);

void BM_OpenCloseFileWith20Tables(benchmark::State &state) {
  std::string path = schemaFile();
  for (auto _ : state) {
    tarvik *db = tarvik_open(path.c_str(), 0, nullptr);
    benchmark::DoNotOptimize(db);
    tarvik_close(db);
  }
  remove(path.c_str());
}
BENCHMARK(BM_OpenCloseFileWith20Tables);

void BM_ExecCreateDropMemory(benchmark::State &state) {
  tarvik *db = tarvik_open(":memory:", 0, nullptr);
  for (auto _ : state) {
    tarvik_exec(db, "CREATE TABLE x(a, b); DROP TABLE x;", nullptr, nullptr, nullptr);
  }
  state.SetItemsProcessed(state.iterations() * 2);
  tarvik_close(db);
}
BENCHMARK(BM_ExecCreateDropMemory);

}  // namespace

BENCHMARK_MAIN();
