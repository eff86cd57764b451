// Connections and statements from the outside: open and close, compiling
// and stepping, tarvik_exec with callbacks, result tables, the settings, and
// the safety protocol that turns re-entry and out-of-sequence calls into
// misuse.  EXPLAIN listings give result rows without the execution loop.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "btree.h"
#include "os_support.h"
#include "tarvikInt.h"
#include "vdbe.h"

namespace {

struct Rows {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> names;
  int calls = 0;
  int stopAt = -1;  // return non-zero on this call
  int nullRowCalls = 0;
};

int collect(void *pArg, int argc, char **argv, char **azCol) {
  Rows *p = static_cast<Rows *>(pArg);
  p->calls++;
  if (argv == nullptr) {
    p->nullRowCalls++;
  } else {
    std::vector<std::string> row;
    for (int i = 0; i < argc; i++) row.push_back(argv[i] ? argv[i] : "NULL");
    p->rows.push_back(row);
  }
  p->names.assign(azCol, azCol + argc);
  return p->calls == p->stopAt;
}

// A program built by hand and made ready for listing: its one instruction
// is one result row, without the parser or the execution loop.
tarvik_vm *handListing(tarvik *db) {
  Vdbe *p = tarvikVdbeCreate(db);
  tarvikVdbeAddOp(p, OP_Halt, 0, 0);
  EXPECT_EQ(tarvikVdbeMakeReady(p, 0, 1), TARVIK_OK);
  return p;
}

// Statements compile into programs only once the statement bracket builds
// them; until then the tests that need compiled programs are skipped.
bool compilesPrograms(tarvik *db) {
  tarvik_vm *pVm = nullptr;
  tarvik_compile(db, "EXPLAIN BEGIN", nullptr, &pVm, nullptr);
  if (pVm == nullptr) return false;
  tarvik_finalize(pVm, nullptr);
  return true;
}
#define NEED_PROGRAMS(db)                                          \
  if (!compilesPrograms(db)) {                                     \
    tarvik_close(db);                                              \
    GTEST_SKIP() << "statements do not compile into programs yet"; \
  }

class Conn : public ::testing::Test {
 protected:
  void SetUp() override {
    tarvik_malloc_failed = 0;
    baseline_ = tarvikTestMallocOutstanding();
  }
  void TearDown() override {
    tarvik_malloc_failed = 0;
    EXPECT_EQ(tarvikTestMallocOutstanding(), baseline_) << "leaked allocations";
  }
  tarvik *open(const std::string &name) {
    char *zErr = nullptr;
    tarvik *db = tarvik_open(name.c_str(), 0, &zErr);
    EXPECT_NE(db, nullptr) << (zErr ? zErr : "");
    EXPECT_EQ(zErr, nullptr);
    tarvik_freemem(zErr);
    return db;
  }
  // Runs SQL and returns "rc message".
  std::string exec(tarvik *db, const char *zSql, Rows *pRows = nullptr) {
    char *zErr = nullptr;
    int rc = tarvik_exec(db, zSql, pRows ? collect : nullptr, pRows, &zErr);
    std::string r = std::to_string(rc) + (zErr ? std::string(" ") + zErr : "");
    tarvik_freemem(zErr);
    return r;
  }
  ScratchDir dir_;
  long baseline_ = 0;
};

TEST_F(Conn, OpenCloseFileAndMemory) {
  tarvik *db = open(dir_.file("a.db"));
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->magic, TARVIK_MAGIC_OPEN);
  EXPECT_TRUE(db->flags & TARVIK_Initialized);
  EXPECT_EQ(db->file_format, 4);  // an empty file counts as current
  EXPECT_EQ(db->temp_store, 0);
  EXPECT_EQ(db->onError, OE_Default);
  EXPECT_STREQ(db->aDb[0].zName, "main");
  EXPECT_STREQ(db->aDb[1].zName, "temp");
  tarvik_close(db);

  db = open(":memory:");
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->temp_store, 2);  // the temporary database stays in memory too
  EXPECT_EQ(db->aDb[0].pBt->pOps, &tarvikRbtreeOps);
  tarvik_close(db);
  tarvik_close(nullptr);  // ignored
}

TEST_F(Conn, OpenFailuresReportTheName) {
  char *zErr = nullptr;
  std::string bad = dir_.file("no/such/dir/x.db");
  EXPECT_EQ(tarvik_open(bad.c_str(), 0, &zErr), nullptr);
  ASSERT_NE(zErr, nullptr);
  EXPECT_EQ(std::string(zErr), "unable to open database: " + bad);
  tarvik_freemem(zErr);
  zErr = nullptr;
  EXPECT_EQ(tarvik_open(nullptr, 0, &zErr), nullptr);
  EXPECT_STREQ(zErr, "unable to open database file");
  tarvik_freemem(zErr);
  EXPECT_EQ(tarvik_open(bad.c_str(), 0, nullptr), nullptr);

  // A file from a later format is refused with the loader's message.
  std::string notDb = dir_.file("junk.db");
  writeFileBytes(notDb, std::string(3000, 'x'));
  zErr = nullptr;
  EXPECT_EQ(tarvik_open(notDb.c_str(), 0, &zErr), nullptr);
  EXPECT_NE(zErr, nullptr);
  tarvik_freemem(zErr);
}

TEST_F(Conn, ExecOfNothingAndSyntaxErrors) {
  tarvik *db = open(":memory:");
  Rows rows;
  EXPECT_EQ(exec(db, "", &rows), "0");
  EXPECT_EQ(exec(db, "  \n\t -- just a comment\n", &rows), "0");
  EXPECT_EQ(tarvik_exec(db, nullptr, collect, &rows, nullptr), TARVIK_OK);
  EXPECT_EQ(rows.calls, 0);

  EXPECT_EQ(exec(db, "SELEKT 1"), "1 near \"SELEKT\": syntax error");
  EXPECT_EQ(exec(db, "CREATE TABLE"), "1 near \"TABLE\": syntax error");
  EXPECT_EQ(exec(db, "SELECT 'abc"), "1 unrecognized token: \"'abc\"");
  EXPECT_EQ(db->magic, TARVIK_MAGIC_OPEN);
  tarvik_close(db);
}

std::vector<std::string> gTrace;
void traceInto(void *, const char *z) { gTrace.push_back(z); }

TEST_F(Conn, ExecRunsStatementsInOrderAndStopsAtTheFirstFailure) {
  tarvik *db = open(":memory:");
  NEED_PROGRAMS(db);
  gTrace.clear();
  EXPECT_EQ(tarvik_trace(db, traceInto, nullptr), nullptr);
  EXPECT_EQ(exec(db, "EXPLAIN BEGIN; bogus; EXPLAIN CREATE TABLE t(a);"),
            "1 near \"bogus\": syntax error");
  ASSERT_EQ(gTrace.size(), 2u);
  EXPECT_EQ(gTrace[0], "EXPLAIN BEGIN;");
  EXPECT_EQ(gTrace[1], "bogus; EXPLAIN CREATE TABLE t(a);");  // read on to the next statement end

  gTrace.clear();
  EXPECT_EQ(exec(db, "EXPLAIN BEGIN;\n EXPLAIN CREATE TABLE t(a)"), "0");
  ASSERT_EQ(gTrace.size(), 2u);
  EXPECT_EQ(gTrace[0], "EXPLAIN BEGIN;");
  EXPECT_EQ(gTrace[1], "EXPLAIN CREATE TABLE t(a)");  // the last statement: the text itself
  int marker = 0;
  EXPECT_EQ(tarvik_trace(db, nullptr, &marker), nullptr);
  EXPECT_EQ(tarvik_trace(db, nullptr, nullptr), &marker);
  tarvik_close(db);
}

TEST_F(Conn, CallbacksSeeRowsAndCanAbort) {
  tarvik *db = open(":memory:");
  NEED_PROGRAMS(db);
  Rows rows;
  EXPECT_EQ(exec(db, "EXPLAIN BEGIN", &rows), "0");
  ASSERT_GE(rows.rows.size(), 2u);
  EXPECT_EQ(rows.names, (std::vector<std::string>{"addr", "opcode", "p1", "p2", "p3"}));
  EXPECT_EQ(rows.rows[0][0], "0");
  EXPECT_EQ(rows.rows.back()[1], "Halt");

  // A non-zero return stops at once: no further rows, no further statements.
  Rows first;
  first.stopAt = 1;
  gTrace.clear();
  tarvik_trace(db, traceInto, nullptr);
  EXPECT_EQ(exec(db, "EXPLAIN BEGIN; EXPLAIN CREATE TABLE t(a)", &first), "4");
  EXPECT_EQ(first.calls, 1);
  EXPECT_EQ(gTrace.size(), 1u);
  tarvik_trace(db, nullptr, nullptr);

  // Statements without rows call the callback only with empty-result
  // callbacks on, once, with no values.
  Rows none;
  EXPECT_EQ(exec(db, "BEGIN", &none), "0");
  EXPECT_EQ(none.calls, 0);
  db->flags |= TARVIK_NullCallback;
  EXPECT_EQ(exec(db, "COMMIT", &none), "0");
  EXPECT_EQ(none.calls, 1);
  EXPECT_EQ(none.nullRowCalls, 1);
  tarvik_close(db);
}

TEST_F(Conn, CompileStepFinalizeAndTails) {
  tarvik *db = open(":memory:");
  NEED_PROGRAMS(db);
  const char *zSql = "EXPLAIN BEGIN;  EXPLAIN CREATE TABLE t(a);";
  const char *zTail = nullptr;
  tarvik_vm *pVm = nullptr;
  char *zErr = nullptr;
  ASSERT_EQ(tarvik_compile(db, zSql, &zTail, &pVm, &zErr), TARVIK_OK);
  ASSERT_NE(pVm, nullptr);
  EXPECT_STREQ(zTail, "  EXPLAIN CREATE TABLE t(a);");
  int n = 0;
  const char **azVal = nullptr, **azCol = nullptr;
  int nRow = 0;
  int rc;
  while ((rc = tarvik_step(pVm, &n, &azVal, &azCol)) == TARVIK_ROW) {
    EXPECT_EQ(n, 5);
    EXPECT_STREQ(azCol[1], "opcode");
    nRow++;
  }
  EXPECT_EQ(rc, TARVIK_DONE);
  EXPECT_EQ(azVal, nullptr);
  EXPECT_GT(nRow, 0);
  // Reset makes it ready again: the same rows once more.
  EXPECT_EQ(tarvik_reset(pVm, &zErr), TARVIK_OK);
  int nAgain = 0;
  while (tarvik_step(pVm, &n, &azVal, &azCol) == TARVIK_ROW) nAgain++;
  EXPECT_EQ(nAgain, nRow);
  EXPECT_EQ(tarvik_finalize(pVm, &zErr), TARVIK_OK);
  EXPECT_EQ(zErr, nullptr);

  // Only white space: no program, OK.
  ASSERT_EQ(tarvik_compile(db, "   ", &zTail, &pVm, &zErr), TARVIK_OK);
  EXPECT_EQ(pVm, nullptr);
  // A syntax error hands out no program.
  EXPECT_EQ(tarvik_compile(db, "CREATE nonsense", &zTail, &pVm, &zErr), TARVIK_ERROR);
  EXPECT_EQ(pVm, nullptr);
  EXPECT_STREQ(zErr, "near \"nonsense\": syntax error");
  tarvik_freemem(zErr);
  EXPECT_EQ(db->pVdbe, nullptr);

  EXPECT_EQ(tarvik_step(nullptr, &n, &azVal, &azCol), TARVIK_MISUSE);
  zErr = nullptr;
  EXPECT_EQ(tarvik_finalize(nullptr, &zErr), TARVIK_MISUSE);
  EXPECT_STREQ(zErr, "library routine called out of sequence");
  tarvik_freemem(zErr);
  tarvik_close(db);
}

TEST_F(Conn, CloseWithALiveStatementIsDeferredUntilItsFinalize) {
  tarvik *db = open(":memory:");
  tarvik_vm *pVm = handListing(db);
  int n = 0;
  const char **azVal = nullptr, **azCol = nullptr;
  EXPECT_EQ(tarvik_step(pVm, &n, &azVal, &azCol), TARVIK_ROW);
  EXPECT_EQ(n, 5);
  EXPECT_STREQ(azVal[1], "Halt");
  EXPECT_STREQ(azCol[0], "addr");
  tarvik_close(db);  // refused: a statement is live
  EXPECT_EQ(db->magic, TARVIK_MAGIC_ERROR);
  char *zErr = nullptr;
  EXPECT_EQ(tarvik_exec(db, "EXPLAIN BEGIN", nullptr, nullptr, &zErr), TARVIK_MISUSE);
  EXPECT_STREQ(zErr, "library routine called out of sequence");
  tarvik_freemem(zErr);
  tarvik_vm *pOther = nullptr;
  EXPECT_EQ(tarvik_compile(db, "EXPLAIN BEGIN", nullptr, &pOther, nullptr), TARVIK_MISUSE);
  EXPECT_EQ(pOther, nullptr);
  EXPECT_EQ(tarvik_step(pVm, nullptr, nullptr, nullptr), TARVIK_MISUSE);
  // The last finalize closes the connection; the fixture's leak check
  // proves the handle was freed.
  EXPECT_EQ(tarvik_finalize(pVm, nullptr), TARVIK_MISUSE);
}

TEST_F(Conn, SecondCloseAfterTheLastFinalizeDoesNotDoubleFree) {
  tarvik *db = open(":memory:");
  tarvik_vm *a = handListing(db);
  tarvik_vm *b = handListing(db);
  tarvik_close(db);
  tarvik_finalize(a, nullptr);  // one statement still live: stays open
  tarvik_close(db);             // still refused
  tarvik_finalize(b, nullptr);  // now it closes
}

int reenterExec(void *pArg, int, char **, char **) {
  tarvik *db = static_cast<tarvik *>(pArg);
  EXPECT_EQ(tarvik_exec(db, "EXPLAIN BEGIN", nullptr, nullptr, nullptr), TARVIK_MISUSE);
  return 0;
}
void reenterFromTrace(void *pArg, const char *) {
  tarvik *db = static_cast<tarvik *>(pArg);
  tarvik_vm *pVm = nullptr;
  EXPECT_EQ(tarvik_compile(db, "EXPLAIN BEGIN", nullptr, &pVm, nullptr), TARVIK_MISUSE);
  EXPECT_EQ(pVm, nullptr);
}

TEST_F(Conn, ReentryFromTheTraceCallbackIsMisuseAndFinal) {
  tarvik *db = open(":memory:");
  tarvik_trace(db, reenterFromTrace, db);
  EXPECT_EQ(exec(db, "EXPLAIN BEGIN"), "21 library routine called out of sequence");
  EXPECT_EQ(db->magic, TARVIK_MAGIC_ERROR);
  EXPECT_EQ(db->pVdbe, nullptr);
  tarvik_trace(db, nullptr, nullptr);
  EXPECT_EQ(exec(db, "EXPLAIN BEGIN"), "21 library routine called out of sequence");
  // A misused handle cannot be closed (a call might still hold it); it is
  // given up.  Free it here so the leak check stays meaningful.
  tarvik_close(db);
  EXPECT_EQ(db->want_to_close, 2);
  db->magic = TARVIK_MAGIC_OPEN;
  db->want_to_close = 0;
  tarvik_close(db);
}

TEST_F(Conn, ReentryFromTheRowCallbackIsMisuse) {
  tarvik *db = open(":memory:");
  NEED_PROGRAMS(db);
  char *zErr = nullptr;
  EXPECT_EQ(tarvik_exec(db, "EXPLAIN BEGIN", reenterExec, db, &zErr), TARVIK_MISUSE);
  EXPECT_STREQ(zErr, "library routine called out of sequence");
  tarvik_freemem(zErr);
  EXPECT_EQ(db->magic, TARVIK_MAGIC_ERROR);
  EXPECT_EQ(db->pVdbe, nullptr);
  db->magic = TARVIK_MAGIC_OPEN;
  tarvik_close(db);
}

int interruptOnFirst(void *pArg, int, char **, char **) {
  tarvik_interrupt(static_cast<tarvik *>(pArg));
  return 0;
}

TEST_F(Conn, InterruptFromACallbackStopsTheStatement) {
  tarvik *db = open(":memory:");
  NEED_PROGRAMS(db);
  EXPECT_EQ(tarvik_exec(db, "EXPLAIN BEGIN", interruptOnFirst, db, nullptr), TARVIK_INTERRUPT);
  char *zErr = nullptr;
  EXPECT_EQ(tarvik_exec(db, "EXPLAIN BEGIN", interruptOnFirst, db, &zErr), TARVIK_INTERRUPT);
  EXPECT_STREQ(zErr, "interrupted");
  tarvik_freemem(zErr);
  // The flag is cleared by the next compile: the connection works on.
  EXPECT_EQ(exec(db, "EXPLAIN BEGIN"), "0");
  tarvik_close(db);
}

TEST_F(Conn, SettingsAndCounters) {
  tarvik *db = open(":memory:");
  EXPECT_EQ(tarvik_last_insert_rowid(db), 0);
  EXPECT_EQ(tarvik_changes(db), 0);
  EXPECT_EQ(tarvik_last_statement_changes(db), 0);

  int hookArg = 0;
  int (*hook)(void *) = [](void *) { return 0; };
  EXPECT_EQ(tarvik_commit_hook(db, hook, &hookArg), nullptr);
  EXPECT_EQ(tarvik_commit_hook(db, nullptr, nullptr), &hookArg);

  tarvik_progress_handler(db, 10, hook, &hookArg);
  EXPECT_EQ(db->nProgressOps, 10);
  EXPECT_EQ(db->pProgressArg, &hookArg);
  tarvik_progress_handler(db, 0, hook, &hookArg);
  EXPECT_EQ(db->xProgress, nullptr);
  EXPECT_EQ(db->pProgressArg, nullptr);

  // The default handler waits whole seconds while (count + 1) seconds fit:
  // 1500 ms gives up at the first refusal, 2500 ms at the second.
  tarvik_busy_timeout(db, 1500);
  ASSERT_NE(db->xBusyCallback, nullptr);
  EXPECT_EQ(db->xBusyCallback(db->pBusyArg, "", 1), 0);
  tarvik_busy_timeout(db, 2500);
  EXPECT_EQ(db->xBusyCallback(db->pBusyArg, "", 2), 0);
  EXPECT_EQ(db->xBusyCallback(db->pBusyArg, "", 1 << 30), 0);  // no overflow
  tarvik_busy_timeout(db, 0);
  EXPECT_EQ(db->xBusyCallback, nullptr);
  tarvik_close(db);
}

struct BusyLog {
  std::vector<int> counts;
  int giveUpAfter;
};
int countBusy(void *pArg, const char *z, int n) {
  BusyLog *p = static_cast<BusyLog *>(pArg);
  EXPECT_STREQ(z, "");
  p->counts.push_back(n);
  return n < p->giveUpAfter;
}

TEST_F(Conn, ALockedFileDefersTheSchemaLoadToTheFirstStatement) {
  std::string path = dir_.file("locked.db");
  {
    tarvik *db = open(path);  // creates the file
    tarvik_close(db);
  }
  LockChild other(path);
  ASSERT_TRUE(other.ok());
  ASSERT_EQ(other.writeLock(), TARVIK_OK);

  // Opening a busy file is not an error; the schema waits.
  tarvik *db = open(path);
  ASSERT_NE(db, nullptr);
  EXPECT_FALSE(db->flags & TARVIK_Initialized);

  BusyLog log{{}, 3};
  tarvik_busy_handler(db, countBusy, &log);
  EXPECT_EQ(exec(db, "EXPLAIN BEGIN"), "5 database is locked");
  EXPECT_EQ(log.counts, (std::vector<int>{1, 2, 3}));

  ASSERT_EQ(other.unlock(), TARVIK_OK);
  EXPECT_EQ(exec(db, "EXPLAIN BEGIN"), "0");
  EXPECT_TRUE(db->flags & TARVIK_Initialized);
  tarvik_close(db);
}

TEST_F(Conn, GetTableCollectsNamesAndRows) {
  tarvik *db = open(":memory:");
  NEED_PROGRAMS(db);
  char **az = nullptr;
  int nRow = -1, nCol = -1;
  char *zErr = nullptr;
  ASSERT_EQ(
      tarvik_get_table(db, "EXPLAIN BEGIN; EXPLAIN CREATE TABLE t(a)", &az, &nRow, &nCol, &zErr),
      TARVIK_OK);
  ASSERT_EQ(nCol, 5);
  ASSERT_GT(nRow, 2);
  EXPECT_STREQ(az[0], "addr");
  EXPECT_STREQ(az[4], "p3");
  EXPECT_STREQ(az[5], "0");  // first row, first column
  bool sawNull = false;
  for (int i = 0; i < nRow; i++) sawNull |= az[(i + 1) * 5 + 4] == nullptr;
  EXPECT_TRUE(sawNull);  // NULL values are null pointers
  tarvik_free_table(az);
  tarvik_free_table(nullptr);

  // Statements without results give an empty table.
  ASSERT_EQ(tarvik_get_table(db, "BEGIN; COMMIT", &az, &nRow, &nCol, nullptr), TARVIK_OK);
  EXPECT_EQ(nRow, 0);
  EXPECT_EQ(nCol, 0);
  tarvik_free_table(az);
  EXPECT_EQ(tarvik_get_table(db, "BEGIN", nullptr, &nRow, &nCol, nullptr), TARVIK_ERROR);

  // With empty-result callbacks an empty result's names are replaced by
  // those of a later result with rows, not stored twice.
  db->flags |= TARVIK_NullCallback;
  ASSERT_EQ(tarvik_get_table(db, "BEGIN; EXPLAIN COMMIT", &az, &nRow, &nCol, &zErr), TARVIK_OK);
  EXPECT_EQ(nCol, 5);
  EXPECT_STREQ(az[0], "addr");
  EXPECT_STREQ(az[5], "0");
  tarvik_free_table(az);

  tarvik_close(db);
}

TEST_F(Conn, PrintfVariantsQuoteTheirArguments) {
  tarvik *db = open(":memory:");
  NEED_PROGRAMS(db);
  gTrace.clear();
  tarvik_trace(db, traceInto, nullptr);
  char *zErr = nullptr;
  EXPECT_EQ(tarvik_exec_printf(db, "EXPLAIN CREATE TABLE '%q'(a)", nullptr, nullptr, &zErr, "it's"),
            TARVIK_OK);
  ASSERT_EQ(gTrace.size(), 1u);
  EXPECT_EQ(gTrace[0], "EXPLAIN CREATE TABLE 'it''s'(a)");
  char **az = nullptr;
  int nRow = 0, nCol = 0;
  EXPECT_EQ(tarvik_get_table_printf(db, "EXPLAIN %s", &az, &nRow, &nCol, &zErr, "BEGIN"),
            TARVIK_OK);
  EXPECT_EQ(nCol, 5);
  tarvik_free_table(az);
  tarvik_close(db);
}

// Every allocation of open, a statement, a result table and close can fail;
// each failure is reported as such and leaves nothing allocated.
TEST_F(Conn, AllocationFailuresLeakNothing) {
  std::string path = dir_.file("oom.db");
  for (int n = 1;; n++) {
    tarvik_malloc_failed = 0;
    tarvikTestMallocFail(n, false);
    char *zErr = nullptr;
    tarvik *db = tarvik_open(path.c_str(), 0, &zErr);
    int rc = TARVIK_NOMEM;
    if (db) {
      char **az = nullptr;
      rc = tarvik_get_table(db, "EXPLAIN BEGIN; EXPLAIN CREATE TABLE t(a)", &az, nullptr, nullptr,
                            &zErr);
      tarvik_free_table(az);
      db->magic = TARVIK_MAGIC_OPEN;  // the out-of-memory state is not misuse
      tarvik_close(db);
    }
    bool failed = tarvikTestMallocFailures() > 0;
    tarvikTestMallocFail(0, false);
    if (failed) {
      EXPECT_NE(rc, TARVIK_OK) << n;
      if (db == nullptr) {
        EXPECT_STREQ(zErr, "out of memory") << n;
      }
    }
    tarvik_freemem(zErr);
    EXPECT_EQ(tarvikTestMallocOutstanding(), baseline_) << n;
    if (!failed) {
      EXPECT_EQ(rc, TARVIK_OK);
      break;
    }
  }
}

// ---------------------------------------------------------------- end to end

TEST_F(Conn, SchemaMadeBySqlSurvivesReopen) {
  std::string path = dir_.file("schema.db");
  tarvik *db = open(path);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(exec(db,
                 "CREATE TABLE t1(a INTEGER PRIMARY KEY, b TEXT UNIQUE);\n"
                 "CREATE INDEX i1 ON t1(b);\n"
                 "CREATE TABLE t2(x);\n"
                 "DROP TABLE t2;"),
            "0");
  Index *pIdx = tarvikFindIndex(db, "i1", nullptr);
  ASSERT_NE(pIdx, nullptr);
  int iRoot = pIdx->tnum;
  Index *pAuto = tarvikFindIndex(db, "(t1 autoindex 1)", nullptr);
  ASSERT_NE(pAuto, nullptr);
  int iAutoRoot = pAuto->tnum;
  EXPECT_GT(iRoot, 2);
  EXPECT_GT(iAutoRoot, 2);
  EXPECT_NE(iRoot, iAutoRoot);

  // Errors come back with their exact messages and change nothing.
  EXPECT_EQ(exec(db, "CREATE TABLE t1(z)"), "1 table t1 already exists");
  EXPECT_EQ(exec(db, "DROP TABLE nope"), "1 no such table: nope");
  EXPECT_EQ(exec(db, "DROP TABLE tarvik_master"), "1 table tarvik_master may not be dropped");
  EXPECT_EQ(exec(db, "CREATE INDEX i1 ON t1(a)"), "1 index i1 already exists");
  tarvik_close(db);

  db = open(path);
  ASSERT_NE(db, nullptr);
  Table *pTab = tarvikFindTable(db, "t1", nullptr);
  ASSERT_NE(pTab, nullptr);
  EXPECT_EQ(pTab->readOnly, 0);
  EXPECT_EQ(tarvikFindTable(db, "t2", nullptr), nullptr);  // dropped before the close
  pIdx = tarvikFindIndex(db, "i1", nullptr);
  ASSERT_NE(pIdx, nullptr);
  EXPECT_EQ(pIdx->tnum, iRoot);
  pAuto = tarvikFindIndex(db, "(t1 autoindex 1)", nullptr);
  ASSERT_NE(pAuto, nullptr);
  EXPECT_EQ(pAuto->tnum, iAutoRoot);  // from its own row with empty sql
  Table *pMaster = tarvikFindTable(db, "tarvik_master", "main");
  ASSERT_NE(pMaster, nullptr);
  EXPECT_EQ(pMaster->readOnly, 1);
  EXPECT_EQ(exec(db, "CREATE TABLE t1(z)"), "1 table t1 already exists");
  EXPECT_EQ(exec(db, "DROP INDEX i1; CREATE TABLE t2(y)"), "0");
  tarvik_close(db);

  db = open(path);
  EXPECT_EQ(tarvikFindIndex(db, "i1", nullptr), nullptr);
  EXPECT_NE(tarvikFindTable(db, "t2", nullptr), nullptr);
  tarvik_close(db);
}

TEST_F(Conn, RolledBackSchemaChangesAreForgotten) {
  for (const char *zName : {":memory:", "rollback.db"}) {
    std::string path = zName[0] == ':' ? zName : dir_.file(zName);
    tarvik *db = open(path);
    EXPECT_EQ(
        exec(db, "CREATE TABLE keep(a); BEGIN; CREATE TABLE gone(b); CREATE INDEX gi ON keep(a)"),
        "0");
    EXPECT_NE(tarvikFindTable(db, "gone", nullptr), nullptr);  // visible inside the transaction
    EXPECT_EQ(exec(db, "ROLLBACK"), "0");
    EXPECT_EQ(tarvikFindTable(db, "gone", nullptr), nullptr) << path;
    EXPECT_EQ(tarvikFindIndex(db, "gi", nullptr), nullptr) << path;
    EXPECT_EQ(exec(db, "CREATE TABLE gone(c)"), "0");
    EXPECT_NE(tarvikFindTable(db, "keep", nullptr), nullptr) << path;
    tarvik_close(db);
  }
}

TEST_F(Conn, MemoryDatabaseSchemaAndTemporaryTables) {
  tarvik *db = open(":memory:");
  EXPECT_EQ(exec(db, "CREATE TABLE m(a); CREATE TEMP TABLE tt(b); CREATE INDEX mi ON m(a)"), "0");
  EXPECT_NE(tarvikFindTable(db, "m", "main"), nullptr);
  EXPECT_NE(tarvikFindTable(db, "tt", "temp"), nullptr);
  ASSERT_NE(db->aDb[1].pBt, nullptr);
  EXPECT_EQ(db->aDb[1].pBt->pOps, &tarvikRbtreeOps);  // temp in memory as well
  EXPECT_EQ(exec(db, "DROP TABLE tt"), "0");
  EXPECT_EQ(tarvikFindTable(db, "tt", nullptr), nullptr);
  tarvik_close(db);
}

TEST_F(Conn, SchemaChangedByAnotherConnectionIsRecompiled) {
  std::string path = dir_.file("shared.db");
  tarvik *a = open(path);
  tarvik *b = open(path);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(exec(a, "CREATE TABLE ta(x)"), "0");

  // b's schema is stale: its statement meets the new cookie, is compiled
  // again against the reloaded schema and succeeds.
  gTrace.clear();
  tarvik_trace(b, traceInto, nullptr);
  EXPECT_EQ(exec(b, "CREATE TABLE tb(y)"), "0");
  int nCompiled = 0;
  for (const std::string &z : gTrace) nCompiled += z == "CREATE TABLE tb(y)";
  EXPECT_EQ(nCompiled, 2);
  EXPECT_NE(tarvikFindTable(b, "ta", nullptr), nullptr);
  EXPECT_NE(tarvikFindTable(b, "tb", nullptr), nullptr);
  tarvik_trace(b, nullptr, nullptr);

  // A statement that fails to compile against the stale schema runs no
  // program, so it does not notice; the next one that runs does.
  EXPECT_EQ(exec(a, "DROP TABLE tb"), "1 no such table: tb");
  EXPECT_EQ(exec(a, "CREATE TABLE tc(z)"), "0");
  EXPECT_NE(tarvikFindTable(a, "tb", nullptr), nullptr);
  tarvik_close(a);
  tarvik_close(b);
}

TEST_F(Conn, WriterBlocksASecondConnectionThroughTheBusyHandler) {
  std::string path = dir_.file("busy.db");
  tarvik *a = open(path);
  tarvik *b = open(path);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(exec(a, "BEGIN; CREATE TABLE ta(x)"), "0");  // a holds the write lock

  BusyLog log{{}, 2};
  tarvik_busy_handler(b, countBusy, &log);
  EXPECT_EQ(exec(b, "CREATE TABLE tb(y)"), "5 database is locked");
  EXPECT_EQ(log.counts, (std::vector<int>{1, 2}));
  EXPECT_EQ(tarvikFindTable(b, "tb", nullptr), nullptr);

  EXPECT_EQ(exec(a, "COMMIT"), "0");
  EXPECT_EQ(exec(b, "CREATE TABLE tb(y)"), "0");
  EXPECT_NE(tarvikFindTable(b, "ta", nullptr), nullptr);
  tarvik_close(a);
  tarvik_close(b);
}

int refuseCommit(void *pArg) {
  ++*static_cast<int *>(pArg);
  return 1;
}
int stopProgress(void *pArg) {
  ++*static_cast<int *>(pArg);
  return 1;
}
int progressReenters(void *pArg) {
  tarvik *db = static_cast<tarvik *>(pArg);
  EXPECT_EQ(tarvik_exec(db, "BEGIN", nullptr, nullptr, nullptr), TARVIK_MISUSE);
  return 0;
}

TEST_F(Conn, HooksCanRefuseACommitOrStopAStatement) {
  tarvik *db = open(":memory:");
  int nCommit = 0;
  tarvik_commit_hook(db, refuseCommit, &nCommit);
  EXPECT_EQ(exec(db, "CREATE TABLE t(a)"), "19 constraint failed");
  EXPECT_EQ(nCommit, 1);
  EXPECT_EQ(tarvikFindTable(db, "t", nullptr), nullptr);  // rolled back
  tarvik_commit_hook(db, nullptr, nullptr);
  EXPECT_EQ(exec(db, "CREATE TABLE t(a)"), "0");

  int nProgress = 0;
  tarvik_progress_handler(db, 1, stopProgress, &nProgress);
  EXPECT_EQ(exec(db, "CREATE TABLE u(a)"), "4 callback requested query abort");
  EXPECT_EQ(nProgress, 1);
  tarvik_progress_handler(db, 0, nullptr, nullptr);
  EXPECT_EQ(exec(db, "CREATE TABLE u(a)"), "0");

  tarvik_progress_handler(db, 1, progressReenters, db);
  EXPECT_EQ(exec(db, "CREATE TABLE v(a)").substr(0, 2), "21");
  EXPECT_EQ(db->magic, TARVIK_MAGIC_ERROR);
  db->magic = TARVIK_MAGIC_OPEN;
  tarvik_close(db);
}

TEST_F(Conn, FilesOfALaterFormatAreRefused) {
  std::string path = dir_.file("future.db");
  tarvik *db = open(path);
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(exec(db, "CREATE TABLE t(a)"), "0");  // writes the format number
  Btree *pBt = db->aDb[0].pBt;
  int meta[TARVIK_N_BTREE_META] = {};
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeGetMeta(pBt, meta), TARVIK_OK);
  EXPECT_EQ(meta[2], 4);
  meta[2] = 5;
  ASSERT_EQ(tarvikBtreeUpdateMeta(pBt, meta), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
  tarvik_close(db);

  char *zErr = nullptr;
  EXPECT_EQ(tarvik_open(path.c_str(), 0, &zErr), nullptr);
  EXPECT_STREQ(zErr, "unsupported file format");
  tarvik_freemem(zErr);
}

// Writes meta value 2 (the file format) of the file's main database.
void setFileFormat(tarvik *db, int format) {
  Btree *pBt = db->aDb[0].pBt;
  int meta[TARVIK_N_BTREE_META] = {};
  ASSERT_EQ(tarvikBtreeBeginTrans(pBt), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeGetMeta(pBt, meta), TARVIK_OK);
  meta[2] = format;
  ASSERT_EQ(tarvikBtreeUpdateMeta(pBt, meta), TARVIK_OK);
  ASSERT_EQ(tarvikBtreeCommit(pBt), TARVIK_OK);
}

TEST_F(Conn, OldFormatFilesAreUpgradedAtOpen) {
  for (int format : {1, 2}) {
    std::string path = dir_.file("old" + std::to_string(format) + ".db");
    tarvik *db = open(path);
    EXPECT_EQ(exec(db, "CREATE TABLE t(a, b); CREATE INDEX ti ON t(b)"), "0");
    setFileFormat(db, format);
    tarvik_close(db);

    db = open(path);
    ASSERT_NE(db, nullptr) << format;
    EXPECT_EQ(db->file_format, 3);  // upgraded in this connection's view
    EXPECT_NE(tarvikFindTable(db, "t", nullptr), nullptr);
    EXPECT_NE(tarvikFindIndex(db, "ti", nullptr), nullptr);
    int meta[TARVIK_N_BTREE_META] = {};
    ASSERT_EQ(tarvikBtreeGetMeta(db->aDb[0].pBt, meta), TARVIK_OK);
    EXPECT_EQ(meta[2], 4);  // and in the file
    EXPECT_EQ(exec(db, "CREATE TABLE u(c)"), "0");
    tarvik_close(db);
  }
}

TEST_F(Conn, MalformedSchemaRowsStopTheLoad) {
  tarvik *db = open(":memory:");
  char *zErr = nullptr;
  InitData data{db, &zErr};
  db->magic = TARVIK_MAGIC_BUSY;  // the loader runs with the connection held
  db->init.busy = 1;
  char *noType[5] = {nullptr, (char *)"x", (char *)"3", (char *)"", (char *)"0"};
  EXPECT_EQ(tarvikInitCallback(&data, 5, noType, nullptr), 1);
  EXPECT_STREQ(zErr, "malformed database schema");
  char *badDb[5] = {(char *)"table", (char *)"x", (char *)"3", (char *)"", (char *)"7"};
  EXPECT_EQ(tarvikInitCallback(&data, 5, badDb, nullptr), 1);  // no database 7
  char *noRoot[5] = {(char *)"index", (char *)"x", nullptr, (char *)"", (char *)"0"};
  EXPECT_EQ(tarvikInitCallback(&data, 5, noRoot, nullptr), 1);
  char *unknown[5] = {(char *)"zebra", (char *)"x", (char *)"3", (char *)"", (char *)"0"};
  EXPECT_EQ(tarvikInitCallback(&data, 5, unknown, nullptr), 1);
  EXPECT_EQ(tarvikInitCallback(&data, 5, nullptr, nullptr), 0);
  // A row whose SQL does not compile is reported and the load goes on.
  char *badSql[5] = {(char *)"table", (char *)"x", (char *)"3", (char *)"CREATE TABLE (",
                     (char *)"0"};
  EXPECT_EQ(tarvikInitCallback(&data, 5, badSql, nullptr), 0);
  EXPECT_STREQ(zErr, "malformed database schema - near \"(\": syntax error");
  tarvik_freemem(zErr);
  db->init.busy = 0;
  db->magic = TARVIK_MAGIC_OPEN;
  tarvik_close(db);
}

// A schema change that runs out of memory at any allocation reports it,
// leaks nothing, and leaves the file with the change either complete or
// absent: a reopened connection sees the table with its index, or neither.
TEST_F(Conn, SchemaChangesOutOfMemoryAreAllOrNothing) {
  std::string path = dir_.file("oomddl.db");
  for (int n = 1;; n++) {
    remove(path.c_str());
    tarvik *db = open(path);
    ASSERT_NE(db, nullptr);
    tarvik_malloc_failed = 0;
    tarvikTestMallocFail(n, false);
    char *zErr = nullptr;
    int rc = tarvik_exec(db, "CREATE TABLE t(a PRIMARY KEY, b); CREATE INDEX i ON t(b);", nullptr,
                         nullptr, &zErr);
    bool failed = tarvikTestMallocFailures() > 0;
    tarvikTestMallocFail(0, false);
    if (failed) {
      EXPECT_NE(rc, TARVIK_OK) << n;
    } else {
      EXPECT_EQ(rc, TARVIK_OK) << (zErr ? zErr : "");
    }
    tarvik_freemem(zErr);
    tarvik_malloc_failed = 0;
    db->magic = TARVIK_MAGIC_OPEN;  // out of memory is not misuse
    tarvik_close(db);
    EXPECT_EQ(tarvikTestMallocOutstanding(), baseline_) << n;

    db = open(path);
    ASSERT_NE(db, nullptr) << n;
    Table *pTab = tarvikFindTable(db, "t", nullptr);
    Index *pIdx = tarvikFindIndex(db, "i", nullptr);
    if (!failed) {
      EXPECT_NE(pTab, nullptr);
      EXPECT_NE(pIdx, nullptr);
    }
    if (pIdx) {
      EXPECT_NE(pTab, nullptr) << n;
    }
    if (pTab) {
      EXPECT_NE(tarvikFindIndex(db, "(t autoindex 1)", nullptr), nullptr) << n;
    }
    tarvik_close(db);
    if (!failed) break;
  }
}

}  // namespace
