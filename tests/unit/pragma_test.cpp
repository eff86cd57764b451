// PRAGMA through the public interface: query and set forms, the column
// names and values of every answer, defaults kept in the file across a
// reopen, the effects of the connection flags on other statements, the
// schema listings, the integrity check, and allocation failures.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "btree.h"
#include "os_support.h"
#include "pager.h"
#include "tarvikInt.h"

namespace {

using Table = std::vector<std::vector<std::string>>;

struct Result {
  Table rows;
  std::vector<std::string> names;  // of the last callback
  int nullRowCalls = 0;
};

int collect(void *pArg, int argc, char **argv, char **azCol) {
  Result *p = static_cast<Result *>(pArg);
  if (argv == nullptr) {
    p->nullRowCalls++;
  } else {
    std::vector<std::string> row;
    for (int i = 0; i < argc; i++) row.push_back(argv[i] ? argv[i] : "NULL");
    p->rows.push_back(row);
  }
  p->names.assign(azCol, azCol + argc);
  return 0;
}

class Pragma : public ::testing::Test {
 protected:
  void SetUp() override {
    tarvik_malloc_failed = 0;
    baseline_ = tarvikTestMallocOutstanding();
  }
  void TearDown() override {
    if (db_) tarvik_close(db_);
    tarvik_malloc_failed = 0;
    EXPECT_EQ(tarvikTestMallocOutstanding(), baseline_) << "leaked allocations";
  }
  void open(const std::string &name) {
    if (db_) tarvik_close(db_);
    char *zErr = nullptr;
    db_ = tarvik_open(name.c_str(), 0, &zErr);
    ASSERT_NE(db_, nullptr) << (zErr ? zErr : "");
    tarvik_freemem(zErr);
  }
  void reopen() { open(path_); }
  void openFile() {
    path_ = dir_.file("p.db");
    open(path_);
  }
  // Runs sql, expecting success; returns the rows and names.
  Result run(const std::string &sql) {
    Result r;
    char *zErr = nullptr;
    int rc = tarvik_exec(db_, sql.c_str(), collect, &r, &zErr);
    EXPECT_EQ(rc, TARVIK_OK) << sql << ": " << (zErr ? zErr : "");
    tarvik_freemem(zErr);
    return r;
  }
  std::string one(const std::string &sql) {
    Result r = run(sql);
    EXPECT_EQ(r.rows.size(), 1u) << sql;
    return r.rows.empty() || r.rows[0].empty() ? "" : r.rows[0][0];
  }
  std::string error(const std::string &sql) {
    char *zErr = nullptr;
    int rc = tarvik_exec(db_, sql.c_str(), nullptr, nullptr, &zErr);
    EXPECT_NE(rc, TARVIK_OK) << sql;
    std::string s = zErr ? zErr : "";
    tarvik_freemem(zErr);
    return s;
  }
  int pagerCacheLimit() {
    return tarvikpager_stats(tarvikBtreePager(db_->aDb[0].pBt))[TARVIK_PAGERSTAT_MXPAGE];
  }

  ScratchDir dir_;
  std::string path_;
  tarvik *db_ = nullptr;
  int baseline_ = 0;
};

TEST_F(Pragma, CacheSizeFollowsSynchronousSign) {
  openFile();
  Result r = run("PRAGMA cache_size");
  EXPECT_EQ(r.names, std::vector<std::string>{"cache_size"});
  ASSERT_EQ(r.rows.size(), 1u);
  EXPECT_EQ(r.rows[0][0], std::to_string(db_->cache_size < 0 ? -db_->cache_size : db_->cache_size));

  run("PRAGMA cache_size = -100");
  EXPECT_EQ(db_->cache_size, 100);
  EXPECT_EQ(one("PRAGMA cache_size"), "100");
  EXPECT_EQ(pagerCacheLimit(), 100);

  run("PRAGMA synchronous = OFF");
  EXPECT_EQ(db_->safety_level, 1);
  EXPECT_EQ(db_->cache_size, -100);
  EXPECT_EQ(one("PRAGMA synchronous"), "0");
  EXPECT_EQ(one("PRAGMA cache_size"), "100");
  run("PRAGMA cache_size = 250");
  EXPECT_EQ(db_->cache_size, -250);
  EXPECT_EQ(pagerCacheLimit(), 250);

  run("PRAGMA synchronous = FULL");
  EXPECT_EQ(db_->safety_level, 3);
  EXPECT_EQ(db_->cache_size, 250);
  Result s = run("PRAGMA synchronous");
  EXPECT_EQ(s.names, std::vector<std::string>{"synchronous"});
  EXPECT_EQ(s.rows, (Table{{"2"}}));
  run("PRAGMA synchronous = normal");  // an unknown word means normal
  EXPECT_EQ(one("PRAGMA synchronous"), "1");
  run("PRAGMA synchronous = 0");
  EXPECT_EQ(one("PRAGMA synchronous"), "0");
  run("PRAGMA synchronous = 7");  // clamped to full
  EXPECT_EQ(db_->safety_level, 3);
}

TEST_F(Pragma, DefaultsPersistAcrossReopen) {
  openFile();
  run("CREATE TABLE t(a)");
  EXPECT_EQ(one("PRAGMA default_cache_size"), "2000");
  EXPECT_EQ(one("PRAGMA default_synchronous"), "1");
  Result r = run("PRAGMA default_temp_store");
  EXPECT_EQ(r.names, std::vector<std::string>{"temp_store"});
  EXPECT_EQ(r.rows, (Table{{"0"}}));

  run("PRAGMA default_cache_size = 345");
  EXPECT_EQ(db_->cache_size, 345);
  EXPECT_EQ(one("PRAGMA default_cache_size"), "345");
  run("PRAGMA default_synchronous = off");
  EXPECT_EQ(db_->safety_level, 1);
  EXPECT_EQ(db_->cache_size, -345);
  run("PRAGMA default_temp_store = memory");
  EXPECT_EQ(db_->temp_store, 2);

  reopen();
  EXPECT_EQ(one("PRAGMA default_cache_size"), "345");
  EXPECT_EQ(one("PRAGMA default_synchronous"), "0");
  EXPECT_EQ(one("PRAGMA default_temp_store"), "2");
  EXPECT_EQ(db_->cache_size, -345);  // the loader takes meta 3 with its sign
  EXPECT_EQ(db_->safety_level, 1);
  EXPECT_EQ(one("PRAGMA cache_size"), "345");

  // A new size keeps the stored "off" sign.
  run("PRAGMA default_cache_size = 500");
  run("PRAGMA default_synchronous = full");
  reopen();
  EXPECT_EQ(one("PRAGMA default_cache_size"), "500");
  EXPECT_EQ(one("PRAGMA default_synchronous"), "2");
  EXPECT_EQ(db_->cache_size, 500);
  EXPECT_EQ(db_->safety_level, 3);
}

TEST_F(Pragma, DefaultSynchronousFromCacheSignWhenLevelUnset) {
  openFile();
  run("CREATE TABLE t(a)");
  // A file whose meta 4 is 0 but whose meta 3 is negative: off.
  ASSERT_EQ(tarvikBtreeBeginTrans(db_->aDb[0].pBt), TARVIK_OK);
  int aMeta[TARVIK_N_BTREE_META];
  ASSERT_EQ(tarvikBtreeGetMeta(db_->aDb[0].pBt, aMeta), TARVIK_OK);
  aMeta[3] = -800;
  aMeta[4] = 0;
  ASSERT_EQ(tarvikBtreeUpdateMeta(db_->aDb[0].pBt, aMeta), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeCommit(db_->aDb[0].pBt), TARVIK_OK);
  EXPECT_EQ(one("PRAGMA default_synchronous"), "0");
  EXPECT_EQ(one("PRAGMA default_cache_size"), "800");
  aMeta[3] = 800;
  ASSERT_EQ(tarvikBtreeBeginTrans(db_->aDb[0].pBt), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeUpdateMeta(db_->aDb[0].pBt, aMeta), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeCommit(db_->aDb[0].pBt), TARVIK_OK);
  EXPECT_EQ(one("PRAGMA default_synchronous"), "1");
}

TEST_F(Pragma, FlagPragmasAndTheirEffects) {
  open(":memory:");
  for (const char *name : {"vdbe_trace", "full_column_names", "short_column_names",
                           "show_datatypes", "count_changes", "empty_result_callbacks"}) {
    Result r = run(std::string("PRAGMA ") + name);
    EXPECT_EQ(r.names, std::vector<std::string>{name});
    EXPECT_EQ(r.rows, (Table{{"0"}})) << name;
  }
  run("PRAGMA count_changes = yes");
  EXPECT_EQ(one("PRAGMA count_changes"), "1");
  EXPECT_TRUE(db_->flags & TARVIK_CountRows);
  run("CREATE TABLE t(a INTEGER, b)");
  Result ins = run("INSERT INTO t VALUES(1, 2)");
  EXPECT_EQ(ins.names, std::vector<std::string>{"rows inserted"});
  EXPECT_EQ(ins.rows, (Table{{"1"}}));
  run("PRAGMA count_changes = 0");
  EXPECT_TRUE(run("INSERT INTO t VALUES(3, 4)").rows.empty());
  run("PRAGMA count_changes = ON");
  EXPECT_EQ(run("DELETE FROM t").rows, (Table{{"2"}}));
  run("PRAGMA count_changes = false");
  EXPECT_EQ(one("PRAGMA count_changes"), "0");
  run("INSERT INTO t VALUES(1, 2)");

  Result plain = run("SELECT a FROM t");
  EXPECT_EQ(plain.names, std::vector<std::string>{"a"});
  run("PRAGMA full_column_names = 1");
  EXPECT_EQ(run("SELECT a FROM t").names, std::vector<std::string>{"t.a"});
  run("PRAGMA full_column_names = 0");
  run("PRAGMA short_column_names = true");
  EXPECT_EQ(run("SELECT t.a FROM t AS t").names, std::vector<std::string>{"a"});
  run("PRAGMA short_column_names = no");

  EXPECT_EQ(run("SELECT a FROM t WHERE a > 5").nullRowCalls, 0);
  run("PRAGMA empty_result_callbacks = 1");
  EXPECT_EQ(run("SELECT a FROM t WHERE a > 5").nullRowCalls, 1);
  run("PRAGMA empty_result_callbacks = 0");

  run("PRAGMA show_datatypes = on");
  EXPECT_TRUE(db_->flags & TARVIK_ReportTypes);
  run("PRAGMA show_datatypes = off");
  EXPECT_FALSE(db_->flags & TARVIK_ReportTypes);
  // A negative number is a number, not a false word.
  run("PRAGMA show_datatypes = -1");
  EXPECT_TRUE(db_->flags & TARVIK_ReportTypes);
  run("PRAGMA show_datatypes = 0");
  EXPECT_FALSE(db_->flags & TARVIK_ReportTypes);
}

std::string tempFileName(tarvik *db) {
  const char *z = tarvikBtreeGetFilename(db->aDb[1].pBt);
  return z ? z : "";
}

TEST_F(Pragma, TempStoreOnlyBeforeTheTemporaryDatabase) {
  open(":memory:");
  Result r = run("PRAGMA temp_store");
  EXPECT_EQ(r.names, std::vector<std::string>{"temp_store"});
  EXPECT_EQ(r.rows, (Table{{"2"}}));  // an in-memory main database keeps temp in memory
  run("PRAGMA temp_store = file");
  EXPECT_EQ(one("PRAGMA temp_store"), "1");
  run("PRAGMA temp_store = 2");
  EXPECT_EQ(one("PRAGMA temp_store"), "2");
  run("PRAGMA temp_store = bogus");
  EXPECT_EQ(one("PRAGMA temp_store"), "0");

  openFile();
  EXPECT_EQ(one("PRAGMA temp_store"), "0");
  run("PRAGMA temp_store = file");
  ASSERT_NE(db_->aDb[1].pBt, nullptr);
  EXPECT_NE(tempFileName(db_), "");
  run("PRAGMA temp_store = MEMORY");
  EXPECT_EQ(tempFileName(db_), "");  // the temporary tree now lives in memory
  run("CREATE TEMP TABLE x(a)");
  run("INSERT INTO x VALUES(5)");
  EXPECT_EQ(one("SELECT a FROM x"), "5");
  const char *msg = "The temporary database already exists - its location cannot now be changed";
  EXPECT_EQ(error("PRAGMA temp_store = file"), msg);
  EXPECT_EQ(error("PRAGMA default_temp_store = file"), msg);
  EXPECT_EQ(one("PRAGMA temp_store"), "2");
  EXPECT_EQ(one("PRAGMA default_temp_store"), "0");  // refused, so nothing stored
  EXPECT_EQ(one("SELECT a FROM x"), "5");
}

TEST_F(Pragma, SchemaListings) {
  openFile();
  run("CREATE TABLE p(id INTEGER PRIMARY KEY, name VARCHAR(10) NOT NULL DEFAULT 'x', "
      "score DEFAULT -5, u UNIQUE)");
  run("CREATE INDEX pn ON p(name, score)");
  run("CREATE TABLE c(pid, pname, FOREIGN KEY(pid, pname) REFERENCES p(id, name), "
      "FOREIGN KEY(pid) REFERENCES q)");

  Result ti = run("PRAGMA table_info(p)");
  EXPECT_EQ(ti.names,
            (std::vector<std::string>{"cid", "name", "type", "notnull", "dflt_value", "pk"}));
  EXPECT_EQ(ti.rows, (Table{{"0", "id", "INTEGER", "0", "NULL", "1"},
                            {"1", "name", "VARCHAR(10)", "99", "x", "0"},
                            {"2", "score", "numeric", "0", "-5", "0"},
                            {"3", "u", "numeric", "0", "NULL", "0"}}));
  EXPECT_EQ(run("PRAGMA TABLE_INFO('P')").rows.size(), 4u);

  Result il = run("PRAGMA index_list(p)");
  EXPECT_EQ(il.names, (std::vector<std::string>{"seq", "name", "unique"}));
  ASSERT_EQ(il.rows.size(), 2u);
  // Both indices, each with its uniqueness.
  for (const auto &row : il.rows) EXPECT_EQ(row[2], row[1] == "pn" ? "0" : "1") << row[1];
  EXPECT_EQ(il.rows[0][0], "0");
  EXPECT_EQ(il.rows[1][0], "1");

  Result ii = run("PRAGMA index_info(pn)");
  EXPECT_EQ(ii.names, (std::vector<std::string>{"seqno", "cid", "name"}));
  EXPECT_EQ(ii.rows, (Table{{"0", "1", "name"}, {"1", "2", "score"}}));

  Result fk = run("PRAGMA foreign_key_list(c)");
  EXPECT_EQ(fk.names, (std::vector<std::string>{"id", "seq", "table", "from", "to"}));
  // Keys in the table's list order: the last declared comes first.
  EXPECT_EQ(fk.rows, (Table{{"0", "0", "q", "pid", "NULL"},
                            {"1", "0", "p", "pid", "id"},
                            {"1", "1", "p", "pname", "name"}}));

  // Unknown names, tables without indices or keys: no rows, no error.
  EXPECT_TRUE(run("PRAGMA table_info(nosuch)").rows.empty());
  EXPECT_TRUE(run("PRAGMA index_info(nosuch)").rows.empty());
  EXPECT_TRUE(run("PRAGMA index_list(c)").rows.empty());
  EXPECT_TRUE(run("PRAGMA foreign_key_list(p)").rows.empty());

  run("CREATE VIEW v AS SELECT id, name AS nm FROM p");
  Result tv = run("PRAGMA table_info(v)");
  ASSERT_EQ(tv.rows.size(), 2u);
  EXPECT_EQ(tv.rows[0][1], "id");
  EXPECT_EQ(tv.rows[1][1], "nm");

  run("CREATE TEMP TABLE tt(z)");
  EXPECT_EQ(run("PRAGMA table_info(tt)").rows, (Table{{"0", "z", "numeric", "0", "NULL", "0"}}));

  Result dl = run("PRAGMA database_list");
  EXPECT_EQ(dl.names, (std::vector<std::string>{"seq", "name", "file"}));
  ASSERT_EQ(dl.rows.size(), 2u);
  EXPECT_EQ(dl.rows[0][0], "0");
  EXPECT_EQ(dl.rows[0][1], "main");
  EXPECT_NE(dl.rows[0][2].find("p.db"), std::string::npos);
  EXPECT_EQ(dl.rows[1][0], "1");
  EXPECT_EQ(dl.rows[1][1], "temp");
}

TEST_F(Pragma, IntegrityCheck) {
  openFile();
  Result r = run("PRAGMA integrity_check");
  EXPECT_EQ(r.names, std::vector<std::string>{"integrity_check"});
  EXPECT_EQ(r.rows, (Table{{"ok"}}));
  run("CREATE TABLE t(a INTEGER PRIMARY KEY, b, c UNIQUE)");
  run("CREATE INDEX tb ON t(b, a)");
  run("BEGIN");
  for (int i = 0; i < 300; i++) {
    run("INSERT INTO t VALUES(" + std::to_string(i) + ", 'row " + std::to_string(i % 17) +
        "', " + std::to_string(i * 7) + ")");
  }
  run("COMMIT");
  run("DELETE FROM t WHERE a % 3 = 0");
  run("CREATE TEMP TABLE x(y UNIQUE)");
  run("INSERT INTO x VALUES(1)");
  EXPECT_EQ(run("PRAGMA integrity_check").rows, (Table{{"ok"}}));

  // An index entry removed behind the engine's back is reported.
  run("PRAGMA integrity_check");
  Index *pIdx = tarvikFindIndex(db_, "tb", nullptr);
  ASSERT_NE(pIdx, nullptr);
  ASSERT_EQ(tarvikBtreeBeginTrans(db_->aDb[0].pBt), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeClearTable(db_->aDb[0].pBt, pIdx->tnum), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeCommit(db_->aDb[0].pBt), TARVIK_OK);
  Result bad = run("PRAGMA integrity_check");
  ASSERT_GE(bad.rows.size(), 2u);
  EXPECT_EQ(bad.rows[0][0], "rowid 1 missing from index tb");
  EXPECT_EQ(bad.rows.back()[0], "wrong # of entries in index tb");
}

TEST_F(Pragma, UnknownAndMiscellaneous) {
  open(":memory:");
  Result r = run("PRAGMA no_such_pragma = 1");
  EXPECT_TRUE(r.rows.empty());
  EXPECT_TRUE(run("PRAGMA no_such_pragma").rows.empty());
  EXPECT_TRUE(run("PRAGMA table_info").rows.empty());  // no table named
  run("PRAGMA trigger_overhead_test = 1");
  run("PRAGMA trigger_overhead_test = 0");
  run("PRAGMA parser_trace = 0");
  // Quoted names and values.
  run("PRAGMA 'cache_size' = '321'");
  EXPECT_EQ(one("PRAGMA CACHE_SIZE"), "321");
}

TEST_F(Pragma, AllocationFailuresLeakNothing) {
  std::string path = dir_.file("oom.db");
  {
    tarvik *db = tarvik_open(path.c_str(), 0, nullptr);
    ASSERT_NE(db, nullptr);
    ASSERT_EQ(tarvik_exec(db, "CREATE TABLE t(a, b UNIQUE); CREATE INDEX ta ON t(a);"
                              "INSERT INTO t VALUES(1,2)",
                          nullptr, nullptr, nullptr),
              TARVIK_OK);
    tarvik_close(db);
  }
  const char *sql =
      "PRAGMA cache_size = 50; PRAGMA default_cache_size = 60; PRAGMA table_info(t);"
      "PRAGMA index_list(t); PRAGMA integrity_check; PRAGMA default_synchronous";
  bool done = false;
  for (int n = 1; !done && n < 5000; n++) {
    tarvik *db = tarvik_open(path.c_str(), 0, nullptr);
    ASSERT_NE(db, nullptr);
    tarvik_malloc_failed = 0;
    tarvikTestMallocFail(n, false);
    Result r;
    char *zErr = nullptr;
    int rc = tarvik_exec(db, sql, collect, &r, &zErr);
    bool failed = tarvikTestMallocFailures() > 0;
    tarvikTestMallocFail(0, false);
    tarvik_freemem(zErr);
    if (failed) {
      EXPECT_NE(rc, TARVIK_OK) << n;
    } else {
      EXPECT_EQ(rc, TARVIK_OK) << n;
      done = true;
    }
    tarvik_malloc_failed = 0;
    db->magic = TARVIK_MAGIC_OPEN;  // the out-of-memory state is not misuse
    tarvik_close(db);
    EXPECT_EQ(tarvikTestMallocOutstanding(), baseline_) << n;
  }
  EXPECT_TRUE(done);
}

}  // namespace
