// Parser: the calls every statement form makes, expression trees
// (precedence), syntax errors, recovery, stack overflow, allocation failure
// and random input.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "gen_recorder.h"
#include "parser.h"
#include "tarvikInt.h"

using tarviktest::joined;
using tarviktest::runParser;

const char *tarvikTestKeywordName(int i);

namespace {

struct Case {
  const char *sql;
  const char *calls;
};

// Every statement form, with the generator calls it makes (arguments shown
// as text: tokens in backquotes, trees as (KIND token operands), lists in
// brackets, FROM lists in <>, selects in braces).
const Case kStatements[] = {
    {R"~(BEGIN TRANSACTION t ON CONFLICT ROLLBACK)~",
     R"~(BeginParse(0)
BeginTransaction(1)
Exec())~"},
    {R"~(END TRANSACTION x)~",
     R"~(BeginParse(0)
CommitTransaction()
Exec())~"},
    {R"~(ROLLBACK)~",
     R"~(BeginParse(0)
RollbackTransaction()
Exec())~"},
    {R"~(COMMIT)~",
     R"~(BeginParse(0)
CommitTransaction()
Exec())~"},
    {R"~(CREATE TEMP TABLE t(a INTEGER PRIMARY KEY DESC ON CONFLICT ABORT, b VARCHAR(10) NOT NULL ON CONFLICT FAIL DEFAULT 'x', c DECIMAL(10,2) DEFAULT -1 UNIQUE ON CONFLICT IGNORE, d CHAR DEFAULT +1 NULL, e DEFAULT 1.5 CHECK(e > 0)))~",
     R"~(BeginParse(0)
StartTable(`CREATE`, `t`, 1, 0)
AddColumn(`a`)
AddColumnType(`INTEGER`)
AddPrimaryKey(null, 2)
AddColumn(`b`)
AddColumnType(`VARCHAR(10)`)
AddNotNull(3)
AddDefaultValue(`'x'`, 0)
AddColumn(`c`)
AddColumnType(`DECIMAL(10,2)`)
AddDefaultValue(`1`, 1)
CreateIndex(-, null, null, 4, -, -)
AddColumn(`d`)
AddColumnType(`CHAR`)
AddDefaultValue(`1`, 0)
AddColumn(`e`)
AddDefaultValue(`1.5`, 0)
EndTable(`)`, null)
Exec())~"},
    {R"~(CREATE TABLE t(f DEFAULT -1.5 DEFAULT +2.5 DEFAULT NULL DEFAULT cur REFERENCES u(x, y) ON DELETE CASCADE ON UPDATE SET NULL ON INSERT SET DEFAULT MATCH full, g REFERENCES u ON DELETE RESTRICT NOT DEFERRABLE INITIALLY DEFERRED, h DEFERRABLE INITIALLY IMMEDIATE, i DEFERRABLE))~",
     R"~(BeginParse(0)
StartTable(`CREATE`, `t`, 0, 0)
AddColumn(`f`)
AddDefaultValue(`1.5`, 1)
AddDefaultValue(`2.5`, 0)
AddDefaultValue(`cur`, 0)
CreateForeignKey(null, `u`, (x, y), 526089)
AddColumn(`g`)
CreateForeignKey(null, `u`, null, 394758)
DeferForeignKey(1)
AddColumn(`h`)
DeferForeignKey(0)
AddColumn(`i`)
DeferForeignKey(0)
EndTable(`)`, null)
Exec())~"},
    {R"~(CREATE TABLE t(j CONSTRAINT c1 NOT NULL COLLATE text, k UNSIGNED BIG INT(+8), l DOUBLE PRECISION(-3), CONSTRAINT pk PRIMARY KEY(a ASC, b DESC) ON CONFLICT REPLACE, UNIQUE(c), CHECK a > 0 ON CONFLICT ROLLBACK FOREIGN KEY(d) REFERENCES u(x) DEFERRABLE, FOREIGN KEY(e) REFERENCES u))~",
     R"~(BeginParse(0)
StartTable(`CREATE`, `t`, 0, 0)
AddColumn(`j`)
AddNotNull(99)
AddCollateType(2)
AddColumn(`k`)
AddColumnType(`UNSIGNED BIG INT(+8)`)
AddColumn(`l`)
AddColumnType(`DOUBLE PRECISION(-3)`)
AddPrimaryKey((a, b), 5)
CreateIndex(-, null, (c), 99, -, -)
CreateForeignKey((d), `u`, (x), 394758)
DeferForeignKey(0)
CreateForeignKey((e), `u`, null, 394758)
DeferForeignKey(0)
EndTable(`)`, null)
Exec())~"},
    {R"~(CREATE TABLE t AS SELECT a FROM u)~",
     R"~(BeginParse(0)
StartTable(`CREATE`, `t`, 0, 0)
EndTable(-, {SELECT [(ID a)] FROM <u>})
Exec())~"},
    {R"~(CREATE TEMPORARY VIEW v AS SELECT a FROM u)~",
     R"~(BeginParse(0)
CreateView(`CREATE`, `v`, {SELECT [(ID a)] FROM <u>}, 1)
Exec())~"},
    {R"~(DROP VIEW v)~",
     R"~(BeginParse(0)
DropTable(`v`, 1)
Exec())~"},
    {R"~(DROP TABLE [t 1])~",
     R"~(BeginParse(0)
DropTable(`[t 1]`, 0)
Exec())~"},
    {R"~(SELECT DISTINCT a, b AS x, c y, d 'z', t.*, * FROM main.t1 AS p, t2 q JOIN t3 NATURAL LEFT OUTER JOIN t4 USING (a, b) LEFT JOIN t5 ON 1 CROSS JOIN (SELECT 1) AS s, (t6, t7) WHERE a GROUP BY a, b HAVING c ORDER BY a COLLATE text DESC, b ASC, c COLLATE numeric LIMIT 5 OFFSET 2)~",
     R"~(BeginParse(0)
Select({SELECT DISTINCT [(ID a), (ID b) AS x, (ID c) AS y, (ID d) AS z, (DOT (ID t) (ALL)), (ALL)] FROM <main.t1 AS p jt=1, t2 AS q jt=1, t3 jt=22 USING (a, b), t4 jt=20 ON (INTEGER 1), t5 jt=1, {SELECT [(INTEGER 1)] FROM <>} AS s jt=1, {SELECT [(ALL)] FROM <t6 jt=1, t7>}> WHERE (ID a) GROUP [(ID a), (ID b)] HAVING (ID c) ORDER [(ID a) so=3, (ID b), (ID c) so=4] LIMIT 5 OFFSET 2}, 1, 0)
Exec())~"},
    {R"~(SELECT 1 UNION SELECT 2 UNION ALL SELECT 3 INTERSECT SELECT 4 EXCEPT SELECT 5 ORDER BY 1)~",
     R"~(BeginParse(0)
Select({SELECT [(INTEGER 1)] FROM <> UNION SELECT [(INTEGER 2)] FROM <> UNION ALL SELECT [(INTEGER 3)] FROM <> INTERSECT SELECT [(INTEGER 4)] FROM <> EXCEPT SELECT [(INTEGER 5)] FROM <> ORDER [(INTEGER 1)]}, 1, 0)
Exec())~"},
    {R"~(SELECT ALL a FROM t LIMIT -1)~",
     R"~(BeginParse(0)
Select({SELECT [(ID a)] FROM <t>}, 1, 0)
Exec())~"},
    {R"~(DELETE FROM main.t WHERE x)~",
     R"~(BeginParse(0)
DeleteFrom(<main.t>, (ID x))
Exec())~"},
    {R"~(UPDATE OR REPLACE t SET a=1, b=2 WHERE c)~",
     R"~(BeginParse(0)
Update(<t>, [(INTEGER 1) AS a, (INTEGER 2) AS b], (ID c), 5)
Exec())~"},
    {R"~(INSERT INTO t VALUES(1, 'a'))~",
     R"~(BeginParse(0)
Insert(<t>, [(INTEGER 1), (STRING 'a')], null, null, 99)
Exec())~"},
    {R"~(INSERT OR IGNORE INTO main.t(a, "b") SELECT 1, 2)~",
     R"~(BeginParse(0)
Insert(<main.t>, null, {SELECT [(INTEGER 1), (INTEGER 2)] FROM <>}, (a, b), 4)
Exec())~"},
    {R"~(REPLACE INTO t VALUES(NULL))~",
     R"~(BeginParse(0)
Insert(<t>, [(NULL NULL)], null, null, 5)
Exec())~"},
    {R"~(CREATE UNIQUE INDEX i ON t(a ASC, b) ON CONFLICT FAIL)~",
     R"~(BeginParse(0)
CreateIndex(`i`, <t>, (a, b), 3, `CREATE`, `)`)
Exec())~"},
    {R"~(CREATE UNIQUE INDEX i ON t(a))~",
     R"~(BeginParse(0)
CreateIndex(`i`, <t>, (a), 2, `CREATE`, `)`)
Exec())~"},
    {R"~(CREATE INDEX i ON main.t(a) ON CONFLICT FAIL)~",
     R"~(BeginParse(0)
CreateIndex(`i`, <main.t>, (a), 0, `CREATE`, `)`)
Exec())~"},
    {R"~(DROP INDEX main.i)~",
     R"~(BeginParse(0)
DropIndex(<main.i>)
Exec())~"},
    {R"~(COPY OR FAIL t FROM 'f' USING DELIMITERS '|')~",
     R"~(BeginParse(0)
Copy(<t>, `'f'`, `'|'`, 3)
Exec())~"},
    {R"~(COPY main.t FROM f)~",
     R"~(BeginParse(0)
Copy(<main.t>, `f`, -, 99)
Exec())~"},
    {R"~(VACUUM)~",
     R"~(BeginParse(0)
Vacuum(-)
Exec())~"},
    {R"~(VACUUM t)~",
     R"~(BeginParse(0)
Vacuum(`t`)
Exec())~"},
    {R"~(PRAGMA a=b)~",
     R"~(BeginParse(0)
Pragma(`a`, `b`, 0)
Exec())~"},
    {R"~(PRAGMA a=ON)~",
     R"~(BeginParse(0)
Pragma(`a`, `ON`, 0)
Exec())~"},
    {R"~(PRAGMA a=+5)~",
     R"~(BeginParse(0)
Pragma(`a`, `5`, 0)
Exec())~"},
    {R"~(PRAGMA a=-1.5)~",
     R"~(BeginParse(0)
Pragma(`a`, `1.5`, 1)
Exec())~"},
    {R"~(PRAGMA a=5)~",
     R"~(BeginParse(0)
Pragma(`a`, `5`, 0)
Exec())~"},
    {R"~(PRAGMA a(b))~",
     R"~(BeginParse(0)
Pragma(`a`, `b`, 0)
Exec())~"},
    {R"~(PRAGMA 'a')~",
     R"~(BeginParse(0)
Pragma(`'a'`, `'a'`, 0)
Exec())~"},
    {R"~(CREATE TEMP TRIGGER r BEFORE UPDATE OF a, b ON main.t FOR EACH ROW WHEN new.a > 1 BEGIN INSERT OR REPLACE INTO u(a) SELECT 1; REPLACE INTO u VALUES(2); END)~",
     R"~(BeginParse(0)
BeginTrigger(`r`, 28, 101, (a, b), <main.t>, 55, (GT (DOT (ID new) (ID a)) (INTEGER 1)), 1)
TriggerInsertStep(`u`, (a), null, {SELECT [(INTEGER 1)] FROM <>}, 5)
TriggerInsertStep(`u`, null, [(INTEGER 2)], null, 5)
FinishTrigger([INSERT u or=5 (a) {SELECT [(INTEGER 1)] FROM <>}; INSERT u or=5 [(INTEGER 2)]], `CREATE TEMP TRIGGER r BEFORE UPDATE OF a, b ON main.t FOR EACH ROW WHEN new.a > 1 BEGIN INSERT OR REPLACE INTO u(a) SELECT 1; REPLACE INTO u VALUES(2); END`)
Exec())~"},
    {R"~(CREATE TRIGGER r INSTEAD OF DELETE ON v FOR EACH STATEMENT BEGIN END)~",
     R"~(BeginParse(0)
BeginTrigger(`r`, 45, 100, null, <v>, 56, null, 0)
FinishTrigger([null], `CREATE TRIGGER r INSTEAD OF DELETE ON v FOR EACH STATEMENT BEGIN END`)
Exec())~"},
    {R"~(CREATE TRIGGER r UPDATE ON v BEGIN SELECT RAISE(IGNORE), RAISE(ROLLBACK, 'm'), RAISE(ABORT, m), RAISE(FAIL, "m"); END)~",
     R"~(BeginParse(0)
BeginTrigger(`r`, 28, 101, null, <v>, 55, null, 0)
TriggerSelectStep({SELECT [(RAISE action=4), (RAISE 'm' action=1), (RAISE m action=2), (RAISE "m" action=3)] FROM <>})
FinishTrigger([SELECT {SELECT [(RAISE action=4), (RAISE 'm' action=1), (RAISE m action=2), (RAISE "m" action=3)] FROM <>}], `CREATE TRIGGER r UPDATE ON v BEGIN SELECT RAISE(IGNORE), RAISE(ROLLBACK, 'm'), RAISE(ABORT, m), RAISE(FAIL, "m"); END`)
Exec())~"},
    {R"~(DROP TRIGGER main.r)~",
     R"~(BeginParse(0)
DropTrigger(<main.r>)
Exec())~"},
    {R"~(ATTACH DATABASE 'f' AS a USING 'k')~",
     R"~(BeginParse(0)
Attach(`'f'`, `a`, `'k'`)
Exec())~"},
    {R"~(ATTACH 'f' AS a)~",
     R"~(BeginParse(0)
Attach(`'f'`, `a`, -)
Exec())~"},
    {R"~(DETACH DATABASE a)~",
     R"~(BeginParse(0)
Detach(`a`)
Exec())~"},
    {R"~(DETACH a)~",
     R"~(BeginParse(0)
Detach(`a`)
Exec())~"},
    {R"~(SELECT (a), NULL, left, a.b, a.b.c, 1.5, 'x', f(1, 2), f(*), a & b | c << d >> e, a LIKE b, a GLOB b, a NOT LIKE b, a NOT GLOB b)~",
     R"~(BeginParse(0)
Select({SELECT [(ID a), (NULL NULL), (ID left), (DOT (ID a) (ID b)), (DOT (ID a) (DOT (ID b) (ID c))), (FLOAT 1.5), (STRING 'x'), (FUNCTION f [(INTEGER 1), (INTEGER 2)]), (FUNCTION f), (RSHIFT (LSHIFT (BITOR (BITAND (ID a) (ID b)) (ID c)) (ID d)) (ID e)), (LIKE [(ID b), (ID a)]), (GLOB [(ID b), (ID a)]), (NOT (LIKE [(ID b), (ID a)])), (NOT (GLOB [(ID b), (ID a)]))] FROM <>}, 1, 0)
Exec())~"},
    {R"~(SELECT a ISNULL, a IS NULL, a NOTNULL, a NOT NULL, a IS NOT NULL, NOT a, ~a, -a, +a, (SELECT 1), a NOT BETWEEN b AND c)~",
     R"~(BeginParse(0)
Select({SELECT [(ISNULL (ID a)), (ISNULL (ID a)), (NOTNULL (ID a)), (NOTNULL (ID a)), (NOTNULL (ID a)), (NOT (ID a)), (BITNOT (ID a)), (UMINUS (ID a)), (UPLUS (ID a)), (SELECT {SELECT [(INTEGER 1)] FROM <>}), (NOT (BETWEEN (ID a) [(ID b), (ID c)]))] FROM <>}, 1, 0)
Exec())~"},
    {R"~(SELECT a IN (1, 2), a IN (SELECT 1), a NOT IN (1), a NOT IN (SELECT 1), a IN t, a NOT IN main.t)~",
     R"~(BeginParse(0)
Select({SELECT [(IN (ID a) [(INTEGER 1), (INTEGER 2)]), (IN (ID a) {SELECT [(INTEGER 1)] FROM <>}), (NOT (IN (ID a) [(INTEGER 1)])), (NOT (IN (ID a) {SELECT [(INTEGER 1)] FROM <>})), (IN (ID a) {SELECT [(ALL)] FROM <t>}), (NOT (IN (ID a) {SELECT [(ALL)] FROM <main.t>}))] FROM <>}, 1, 0)
Exec())~"},
    {R"~(SELECT CASE a WHEN 1 THEN 'x' WHEN 2 THEN 'y' ELSE 'z' END, CASE WHEN a THEN b END)~",
     R"~(BeginParse(0)
Select({SELECT [(CASE (ID a) (STRING 'z') [(INTEGER 1), (STRING 'x'), (INTEGER 2), (STRING 'y')]), (CASE [(ID a), (ID b)])] FROM <>}, 1, 0)
Exec())~"},
    {R"~(SELECT a + b - c * d / e % f || g, a < b, a > b, a <= b, a >= b, a <> b, a != b, a == b, a OR b)~",
     R"~(BeginParse(0)
Select({SELECT [(MINUS (PLUS (ID a) (ID b)) (REM (SLASH (STAR (ID c) (ID d)) (ID e)) (CONCAT (ID f) (ID g)))), (LT (ID a) (ID b)), (GT (ID a) (ID b)), (LE (ID a) (ID b)), (GE (ID a) (ID b)), (NE (ID a) (ID b)), (NE (ID a) (ID b)), (EQ (ID a) (ID b)), (OR (ID a) (ID b))] FROM <>}, 1, 0)
Exec())~"},
};

// Checks that the parse leaves no allocation behind.
struct LeakCheck {
  long before = tarvikTestMallocOutstanding();
  ~LeakCheck() { EXPECT_EQ(tarvikTestMallocOutstanding(), before) << "allocations leaked"; }
};

TEST(Parse, EveryStatementFormMakesTheExpectedCalls) {
  for (const Case &c : kStatements) {
    LeakCheck leaks;
    auto r = runParser(c.sql);
    EXPECT_EQ(r.nErr, 0) << c.sql << "\n" << r.errMsg;
    EXPECT_EQ(r.rc, TARVIK_DONE) << c.sql;
    EXPECT_EQ(joined(r.calls), c.calls) << c.sql;
  }
}

TEST(Parse, EdgeCasesOfTheLanguage) {
  const Case cases[] = {
      {"SELECT * FROM t LIMIT 5, 10", "Select({SELECT [(ALL)] FROM <t> LIMIT 10 OFFSET 5}, 1, 0)"},
      {"SELECT * FROM t LIMIT 10 OFFSET 5",
       "Select({SELECT [(ALL)] FROM <t> LIMIT 10 OFFSET 5}, 1, 0)"},
      // ON belongs to the item before the join; on the first item it is dropped.
      {"SELECT a FROM t1 LEFT JOIN t2 ON t1.x = t2.x",
       "Select({SELECT [(ID a)] FROM <t1 jt=20 ON (EQ (DOT (ID t1) (ID x)) (DOT (ID t2) (ID x))), "
       "t2>}, 1, 0)"},
      {"SELECT a FROM t1 ON 1 USING (b)", "Select({SELECT [(ID a)] FROM <t1>}, 1, 0)"},
      {"SELECT a FROM t1, t2 ON x", "Select({SELECT [(ID a)] FROM <t1 jt=1 ON (ID x), t2>}, 1, 0)"},
      {"CREATE TABLE t(key, replace, temp)", "AddColumn(`temp`)"},
      {"CREATE TABLE t(\"select\")", "AddColumn(`\"select\"`)"},
      {"SELECT x FROM t WHERE a NOT BETWEEN 1 AND 2",
       "Select({SELECT [(ID x)] FROM <t> WHERE (NOT (BETWEEN (ID a) [(INTEGER 1), (INTEGER 2)]))}, "
       "1, 0)"},
      {"SELECT x FROM t WHERE a NOT IN t2",
       "Select({SELECT [(ID x)] FROM <t> WHERE (NOT (IN (ID a) {SELECT [(ALL)] FROM <t2>}))}, 1, 0)"},
      {"SELECT count(*) FROM t", "Select({SELECT [(FUNCTION count)] FROM <t>}, 1, 0)"},
      {"SELECT f()", "Select({SELECT [(FUNCTION f [])] FROM <>}, 1, 0)"},
      {"SELECT x LIKE 'a%'", "Select({SELECT [(LIKE [(STRING 'a%'), (ID x)])] FROM <>}, 1, 0)"},
      {"BEGIN TRANSACTION foo ON CONFLICT REPLACE", "BeginTransaction(5)"},
      {"EXPLAIN SELECT 1", "BeginParse(1)"},
      {"CREATE TABLE t(a VARCHAR BINARY, b VARCHAR(10))", "AddColumnType(`VARCHAR(10)`)"},
      {"CREATE TABLE t(a VARCHAR BINARY, b VARCHAR(10))", "AddColumnType(`VARCHAR`)"},
      {"CREATE TABLE t(a UNSIGNED CHARACTER, b DOUBLE PRECISION)", "AddColumnType(`UNSIGNED`)"},
      {"CREATE TABLE t(a UNSIGNED CHARACTER, b DOUBLE PRECISION)", "AddColumnType(`DOUBLE`)"},
      {"CREATE TABLE t(a UNSIGNED BIG INT(8))", "AddColumnType(`UNSIGNED BIG INT(8)`)"},
  };
  for (const Case &c : cases) {
    auto r = runParser(c.sql);
    EXPECT_EQ(r.nErr, 0) << c.sql;
    bool found = false;
    for (const auto &call : r.calls) found |= call == c.calls;
    EXPECT_TRUE(found) << c.sql << "\nwanted: " << c.calls << "\ngot:\n" << joined(r.calls);
  }
}

// Statements that complete the coverage of the grammar's rules.
const char *const kMoreStatements[] = {
    ";",
    "BEGIN",
    "BEGIN TRANSACTION",
    "COMMIT TRANSACTION",
    "END",
    "ROLLBACK TRANSACTION",
    "SELECT 1 LIMIT 1, 2",
    "SELECT 1 LIMIT 1",
    "SELECT 1 INTERSECT SELECT 2",
    "SELECT a FROM t1 JOIN t2 LEFT JOIN t3 LEFT OUTER JOIN t4",
    "SELECT * FROM (t1) JOIN t2 ON 1 USING(a)",
    "EXPLAIN SELECT ?",
    "CREATE TABLE t(a DEFAULT 5)",
    "SELECT a AND b, a BETWEEN 1 AND 2",
    "CREATE TABLE t(a, b, PRIMARY KEY(a) CONSTRAINT x UNIQUE(b))",
    "CREATE VIEW v AS SELECT 1",
    "DELETE FROM t",
    "UPDATE t SET a = 1",
    "INSERT INTO t(a) VALUES(1)",
    "CREATE TRIGGER r BEFORE INSERT ON t BEGIN UPDATE OR FAIL u SET a = 1; DELETE FROM u WHERE 1; "
    "END",
    "CREATE TRIGGER r AFTER UPDATE ON t WHEN 1 BEGIN INSERT INTO u SELECT 1; END",
    "CREATE TRIGGER r AFTER INSERT ON t FOR EACH ROW BEGIN SELECT 1; END",
    "DROP TRIGGER r",
    "DROP INDEX i",
    "PRAGMA a = 'x'",
    "SELECT f()",
    "SELECT x FROM t ORDER BY x",
};

TEST(Parse, TheTestStatementsReduceEveryRule) {
  std::vector<unsigned> before(tarvikParserRuleCounts(),
                               tarvikParserRuleCounts() + tarvikParserRuleCount());
  for (const Case &c : kStatements) EXPECT_EQ(runParser(c.sql).nErr, 0) << c.sql;
  for (const char *z : kMoreStatements) EXPECT_EQ(runParser(z).nErr, 0) << z;
  // The end of input reduces the statement list and is accepted only when
  // the parser sees it, which runParser's one-statement runs never do.
  EXPECT_EQ(runParser("SELECT 1; SELECT 2").nErr, 0);
  {
    tarvik db;
    memset(&db, 0, sizeof(db));
    Parse parse;
    memset(&parse, 0, sizeof(parse));
    parse.db = &db;
    void *p = tarvikParserAlloc(tarvikMalloc);
    Token semi = {";", 0, 1};
    tarvikParser(p, TK_SEMI, semi, &parse);
    tarvikParser(p, TK_SEMI, semi, &parse);
    tarvikParser(p, 0, semi, &parse);
    tarvikParserFree(p, tarvikFree);
  }
  std::string never;
  for (int i = 0; i < tarvikParserRuleCount(); i++) {
    if (tarvikParserRuleCounts()[i] == before[i]) {
      never += std::string("\n  ") + tarvikParserRuleText(i);
    }
  }
  EXPECT_EQ(never, "") << "rules never reduced by the test statements";
}

// The tree of one expression, as the SELECT carrying it shows it.
std::string tree(const std::string &expr) {
  auto r = runParser(("SELECT " + expr).c_str());
  if (r.nErr) return "error: " + r.errMsg;
  const std::string &s = r.calls.at(1);
  const std::string head = "Select({SELECT [", tailText = "] FROM <>}, 1, 0)";
  if (s.compare(0, head.size(), head) != 0) return s;
  return s.substr(head.size(), s.size() - head.size() - tailText.size());
}

TEST(Parse, OperatorPrecedenceAndAssociativity) {
  const Case cases[] = {
      {"NOT a = b", "(NOT (EQ (ID a) (ID b)))"},
      {"NOT a AND b", "(AND (NOT (ID a)) (ID b))"},
      {"a = b ISNULL", "(ISNULL (EQ (ID a) (ID b)))"},
      {"a AND b ISNULL", "(AND (ID a) (ISNULL (ID b)))"},
      {"a = b NOT NULL", "(NOTNULL (EQ (ID a) (ID b)))"},
      {"a AND b NOT NULL", "(AND (ID a) (NOTNULL (ID b)))"},
      {"a < b = c", "(EQ (LT (ID a) (ID b)) (ID c))"},
      {"a BETWEEN b AND c = d", "(EQ (BETWEEN (ID a) [(ID b), (ID c)]) (ID d))"},
      {"a BETWEEN b AND c < d", "(BETWEEN (ID a) [(ID b), (LT (ID c) (ID d))])"},
      {"a BETWEEN b AND c AND d", "(AND (BETWEEN (ID a) [(ID b), (ID c)]) (ID d))"},
      {"NOT a BETWEEN b AND c", "(NOT (BETWEEN (ID a) [(ID b), (ID c)]))"},
      {"a LIKE b < c", "(LIKE [(LT (ID b) (ID c)), (ID a)])"},
      {"a NOT LIKE b = c", "(EQ (NOT (LIKE [(ID b), (ID a)])) (ID c))"},
      {"a IN (1) = b", "(EQ (IN (ID a) [(INTEGER 1)]) (ID b))"},
      {"-a || b", "(CONCAT (UMINUS (ID a)) (ID b))"},
      {"a = b = c", "(EQ (EQ (ID a) (ID b)) (ID c))"},
      {"a OR b AND c", "(OR (ID a) (AND (ID b) (ID c)))"},
      {"a AND b OR c", "(OR (AND (ID a) (ID b)) (ID c))"},
      {"a - b - c", "(MINUS (MINUS (ID a) (ID b)) (ID c))"},
      {"a / b * c", "(STAR (SLASH (ID a) (ID b)) (ID c))"},
      {"a + b * c", "(PLUS (ID a) (STAR (ID b) (ID c)))"},
      {"a || b * c", "(STAR (CONCAT (ID a) (ID b)) (ID c))"},
      {"a & b | c", "(BITOR (BITAND (ID a) (ID b)) (ID c))"},
      {"a | b & c", "(BITAND (BITOR (ID a) (ID b)) (ID c))"},
      {"a << b + c", "(LSHIFT (ID a) (PLUS (ID b) (ID c)))"},
      {"a > b << c", "(GT (ID a) (LSHIFT (ID b) (ID c)))"},
      {"a < b + c", "(LT (ID a) (PLUS (ID b) (ID c)))"},
      {"- - a", "(UMINUS (UMINUS (ID a)))"},
      {"NOT NOT a", "(NOT (NOT (ID a)))"},
      {"~a + b", "(PLUS (BITNOT (ID a)) (ID b))"},
      {"-a * b", "(STAR (UMINUS (ID a)) (ID b))"},
      {"(a + b) * c", "(STAR (PLUS (ID a) (ID b)) (ID c))"},
      {"x BETWEEN a OR b AND c", "error: near \"c\": syntax error"},
      {"a IS b", "error: near \"b\": syntax error"},
  };
  for (const Case &c : cases) EXPECT_EQ(tree(c.sql), c.calls) << c.sql;
}

TEST(Parse, SpansCoverTheWrittenText) {
  auto r = runParser(
      "SELECT (a + b) * c, f(x, y), x NOT LIKE 'a%', - a, CASE WHEN 1 THEN 2 END, a ISNULL, t.c, "
      "a IS NOT NULL, x IN (1, 2), x NOT IN t, b BETWEEN 1 AND 2, (SELECT 1), RAISE(IGNORE), ? , "
      "count(*)");
  const std::vector<std::string> want = {
      "(a + b) * c",       "f(x, y)",    "x NOT LIKE 'a%'", "- a",         "CASE WHEN 1 THEN 2 END",
      "a ISNULL",          "t.c",        "a IS NOT NULL",   "x IN (1, 2)", "x NOT IN t",
      "b BETWEEN 1 AND 2", "(SELECT 1)", "RAISE(IGNORE)",   "?",           "count(*)"};
  EXPECT_EQ(r.resultSpans, want);
}

TEST(Parse, SyntaxErrorMessages) {
  const Case cases[] = {
      {"SELECT 1 + FROM t", "near \"FROM\": syntax error"},
      {"SELECT 1 +", "near \"+\": syntax error"},
      {"CREATE TABLE t(select)", "near \"select\": syntax error"},
      {"CREATE TABLE t(b VARCHAR(10) BINARY)", "near \"BINARY\": syntax error"},
      {"SELECT * FROM", "near \"FROM\": syntax error"},
      {"SELECT a FROM t WHERE", "near \"WHERE\": syntax error"},
      {"FOO", "near \"FOO\": syntax error"},
      {"SELECT (1", "near \"1\": syntax error"},
      {"CREATE TRIGGER r AFTER INSERT ON t BEGIN SELECT 1 END", "near \"END\": syntax error"},
      {"INSERT INTO t VALUES()", "near \")\": syntax error"},
      {"SELECT 'abc", "unrecognized token: \"'abc\""},
      {"SELECT 'it''s", "unrecognized token: \"'it''s\""},
      {"SELECT a!b", "unrecognized token: \"!b\""},
      {"SELECT #", "unrecognized token: \"#\""},
      {"SELECT 1 + 1 FROM t WHERE a = 'x", "unrecognized token: \"'x\""},
  };
  for (const Case &c : cases) {
    LeakCheck leaks;
    auto r = runParser(c.sql);
    EXPECT_EQ(r.nErr, 1) << c.sql;
    EXPECT_EQ(r.rc, TARVIK_ERROR) << c.sql;
    EXPECT_EQ(r.errMsg, c.calls) << c.sql;
  }
}

TEST(Parse, AnEndOfInputWithNoTextIsAnIncompleteStatement) {
  tarvik db;
  memset(&db, 0, sizeof(db));
  db.flags = TARVIK_Initialized; /* no schema to load */
  Parse parse;
  memset(&parse, 0, sizeof(parse));
  parse.db = &db;
  void *p = tarvikParserAlloc(tarvikMalloc);
  ASSERT_NE(p, nullptr);
  const char *zSql = "SELECT";
  tarvikParser(p, TK_SELECT, Token{zSql, 0, 6}, &parse);
  tarvikParser(p, TK_SEMI, Token{zSql + 6, 0, 0}, &parse);
  tarvikParser(p, 0, Token{zSql + 6, 0, 0}, &parse);
  tarvikParserFree(p, tarvikFree);
  ASSERT_NE(parse.zErrMsg, nullptr);
  EXPECT_STREQ(parse.zErrMsg, "incomplete SQL statement");
  EXPECT_EQ(parse.nErr, 1);
  tarvikFree(parse.zErrMsg);
}

TEST(Parse, RecoveryKeepsTheFirstMessageAndStopsAtTheNextStatement) {
  LeakCheck leaks;
  auto r = runParser("SELECT 1 + FROM t; SELECT 2; SELECT 3");
  EXPECT_EQ(r.errMsg, "near \"FROM\": syntax error");
  EXPECT_EQ(r.nErr, 1);
  EXPECT_EQ(r.rc, TARVIK_ERROR);
  // The broken statement is dropped; the next one ends the call with the
  // error (its generators see nErr and do nothing); the third is not read.
  EXPECT_EQ(joined(r.calls),
            "BeginParse(0)\nBeginParse(0)\nBeginParse(0)\n"
            "Select({SELECT [(INTEGER 2)] FROM <>}, 1, 0)\nExec()");
  EXPECT_EQ(r.tailOffset, 28);

  auto r2 = runParser("SELECT a IS b; SELECT * FROM; SELECT 1");
  EXPECT_EQ(r2.errMsg, "near \"b\": syntax error") << "a later error does not replace the first";
  EXPECT_EQ(r2.parseErrs, 1);
}

TEST(Parse, RunParserFeedsOneStatementAndReportsTheTail) {
  auto empty = runParser("");
  EXPECT_EQ(empty.nErr, 0);
  EXPECT_EQ(empty.rc, TARVIK_OK);
  EXPECT_TRUE(empty.calls.empty());
  EXPECT_FALSE(empty.hadErrMsg);

  auto blank = runParser("  -- comment\n /* more */ ;; ");
  EXPECT_EQ(blank.nErr, 0);
  EXPECT_TRUE(blank.calls.empty());

  auto one = runParser("SELECT 1");
  EXPECT_EQ(one.tailOffset, 8) << "the supplied semicolon leaves the tail at the end";
  auto two = runParser("SELECT 1; SELECT 2");
  EXPECT_EQ(two.tailOffset, 9);
  EXPECT_EQ(two.calls.size(), 3u);
  auto expl = runParser("EXPLAIN SELECT 1");
  EXPECT_EQ(expl.calls.at(0), "BeginParse(1)");
}

TEST(Parse, InterruptIsNoticedAtTheNextSpace) {
  auto r = runParser("SELECT 1 FROM t", [](Parse *pParse, const std::string &call) {
    if (call == "BeginParse(0)") pParse->db->flags |= TARVIK_Interrupt;
  });
  EXPECT_EQ(r.rc, TARVIK_INTERRUPT);
  EXPECT_EQ(r.errMsg, "interrupt");
  EXPECT_EQ(r.nErr, 1);
  EXPECT_EQ(joined(r.calls), "BeginParse(0)");
}

TEST(Parse, VariablesAreNumberedInOrderAndEmptyArgumentsDropped) {
  EXPECT_EQ(tree("f(a,,b), ?, ?, f(), count(*)"),
            "(FUNCTION f [(ID a), (ID b)]), (VARIABLE ? #1), (VARIABLE ? #2), (FUNCTION f []), "
            "(FUNCTION count)");
}

TEST(Parse, IntegerTextSaturates) {
  EXPECT_EQ(runParser("SELECT 1 LIMIT 4294967296").calls.at(1),
            "Select({SELECT [(INTEGER 1)] FROM <> LIMIT 2147483647 OFFSET 0}, 1, 0)");
  EXPECT_EQ(runParser("SELECT 1 LIMIT -4294967296 OFFSET 99999999999999999999999").calls.at(1),
            "Select({SELECT [(INTEGER 1)] FROM <> LIMIT -2147483648 OFFSET 2147483647}, 1, 0)");
  EXPECT_EQ(runParser("SELECT 1 LIMIT 2147483647, -2147483648").calls.at(1),
            "Select({SELECT [(INTEGER 1)] FROM <> LIMIT -2147483648 OFFSET 2147483647}, 1, 0)");
}

std::string nested(int depth) { return std::string(depth, '(') + "1" + std::string(depth, ')'); }

TEST(Parse, DeepNestingOverflowsTheStackIntoASyntaxError) {
  LeakCheck leaks;
  auto ok = runParser(("SELECT " + nested(80)).c_str());
  EXPECT_EQ(ok.nErr, 0);
  auto r = runParser(("SELECT " + nested(150)).c_str());
  EXPECT_EQ(r.errMsg, "near \"(\": syntax error");
  EXPECT_EQ(r.rc, TARVIK_ERROR);
  EXPECT_GE(r.parseErrs, 1);
  for (const auto &c : r.calls) EXPECT_EQ(c.find("Select("), std::string::npos) << c;

  // An overflow while a message is held still counts as an error.
  auto r2 = runParser(("SELECT a IS b; SELECT " + nested(150)).c_str());
  EXPECT_EQ(r2.errMsg, "near \"b\": syntax error");
  EXPECT_GE(r2.parseErrs, 2) << "the overflow was not counted";

  // Overflow in a value being reduced (deep prefix operators) frees it.
  std::string minuses;
  for (int i = 0; i < 300; i++) minuses += "- ";
  auto r3 = runParser(("SELECT " + minuses + "1").c_str());
  EXPECT_EQ(r3.errMsg, "near \"-\": syntax error");

  // From 87 to 94 levels the overflow happens on the push after reducing an
  // empty rule (limit_opt, orderby_opt, ..., distinct); beyond, on a token.
  for (int depth = 87; depth < 105; depth++) {
    std::string sql = "SELECT " + std::string(depth, '(') + "SELECT 1" + std::string(depth, ')');
    auto rd = runParser(sql.c_str());
    EXPECT_EQ(rd.nErr, 1) << depth;
    EXPECT_EQ(rd.errMsg.find("syntax error") != std::string::npos, true) << depth;
  }
}

// The rest of a statement after an overflow must not run as statements of
// its own: the overflow counts as an error for everything after it.
TEST(Parse, AfterAnOverflowNothingElseInTheCallCompilesCleanly) {
  LeakCheck leaks;
  std::string sql = "CREATE TRIGGER r AFTER INSERT ON t BEGIN SELECT " + nested(150) +
                    "; DELETE FROM t; END; DELETE FROM u;";
  int cleanCalls = 0;
  auto r = runParser(sql.c_str(), [&](Parse *pParse, const std::string &call) {
    if (call.rfind("DeleteFrom", 0) == 0 && pParse->nErr == 0) cleanCalls++;
  });
  EXPECT_EQ(cleanCalls, 0) << "a DELETE meant for the trigger compiled as a statement";
  EXPECT_EQ(r.rc, TARVIK_ERROR);
  EXPECT_EQ(r.errMsg, "near \"(\": syntax error");
}

TEST(Parse, LongTriggerBodiesDoNotDeepenTheStack) {
  LeakCheck leaks;
  std::string sql = "CREATE TRIGGER r AFTER INSERT ON t BEGIN ";
  for (int i = 0; i < 300; i++)
    sql += "DELETE FROM t" + std::to_string(i) + " WHERE a = " + std::to_string(i) + ";\n";
  sql += "END;";
  auto r = runParser(sql.c_str());
  ASSERT_EQ(r.nErr, 0) << r.errMsg;
  ASSERT_EQ(r.calls.size(), 1u + 1 + 300 + 1 + 1);
  EXPECT_EQ(r.calls[2], "TriggerDeleteStep(`t0`, (EQ (ID a) (INTEGER 0)))");
  EXPECT_EQ(r.calls[301], "TriggerDeleteStep(`t299`, (EQ (ID a) (INTEGER 299)))");
  const std::string &finish = r.calls[302];
  ASSERT_EQ(finish.rfind("FinishTrigger([DELETE t0 WHERE", 0), 0u) << finish;
  // The steps stay in the order written.
  EXPECT_LT(finish.find("DELETE t1 WHERE"), finish.find("DELETE t2 WHERE"));
  EXPECT_NE(finish.find("; DELETE t299 WHERE (EQ (ID a) (INTEGER 299))]"), std::string::npos);
}

TEST(Parse, JoinTypeWords) {
  auto r = runParser("SELECT a FROM t1 RIGHT JOIN t2");
  EXPECT_EQ(r.errMsg, "RIGHT and FULL OUTER JOINs are not currently supported");
  r = runParser("SELECT a FROM t1 INNER OUTER JOIN t2");
  EXPECT_EQ(r.errMsg, "unknown or unsupported join type: INNER OUTER");
  r = runParser("SELECT a FROM t1 NATURAL bogus JOIN t2");
  EXPECT_EQ(r.errMsg, "unknown or unsupported join type: NATURAL bogus");
  r = runParser("SELECT a FROM t1 left outer bogus JOIN t2");
  EXPECT_EQ(r.errMsg, "unknown or unsupported join type: left outer bogus");
  r = runParser("SELECT a FROM t1 FULL JOIN t2");
  EXPECT_EQ(r.errMsg, "RIGHT and FULL OUTER JOINs are not currently supported");
  EXPECT_EQ(runParser("SELECT a FROM t1 natural cross join t2").calls.at(1),
            "Select({SELECT [(ID a)] FROM <t1 jt=3, t2>}, 1, 0)");
}

TEST(Parse, FallbackKeywordsServeAsNames) {
  EXPECT_EQ(tree("replace(x, y, z), glob(p, s), key, temp.key"),
            "(FUNCTION replace [(ID x), (ID y), (ID z)]), (FUNCTION glob [(ID p), (ID s)]), "
            "(ID key), (DOT (ID temp) (ID key))");
  EXPECT_EQ(joined(runParser("CREATE TABLE view(trigger, vacuum, pragma, end)").calls),
            "BeginParse(0)\nStartTable(`CREATE`, `view`, 0, 0)\nAddColumn(`trigger`)\n"
            "AddColumn(`vacuum`)\nAddColumn(`pragma`)\nAddColumn(`end`)\nEndTable(`)`, null)\n"
            "Exec()");
  EXPECT_EQ(runParser("SELECT from").errMsg, "near \"from\": syntax error");
}

TEST(Parse, TraceFollowsThePatterns) {
  FILE *f = tmpfile();
  ASSERT_NE(f, nullptr);
  tarvikParserTrace(f, "T: ");
  runParser("SELECT replace(1) FROM t; FOO");
  tarvikParserTrace(nullptr, nullptr);
  rewind(f);
  std::string text;
  char buf[512];
  while (fgets(buf, sizeof buf, f)) text += buf;
  fclose(f);
  for (const char *want : {"T: Input SELECT\n", "T: Reduce [explain ::=].\n", "T: Shift ",
                           "T: FALLBACK REPLACE => ID\n", "T: Popping "}) {
    EXPECT_NE(text.find(want), std::string::npos) << want;
  }
}

TEST(Parse, AllocationFailuresNeverCrashOrLeak) {
  const char *const statements[] = {
      "CREATE TABLE t(a INTEGER PRIMARY KEY, b VARCHAR(10) DEFAULT 'x' UNIQUE, FOREIGN KEY(b) "
      "REFERENCES u(c))",
      "SELECT DISTINCT a AS x, t.*, count(*) FROM main.t AS p LEFT JOIN u ON p.a = u.b, (SELECT 1) "
      "s "
      "WHERE a IN (1, 2) AND b NOT IN (SELECT c FROM v) AND c BETWEEN 1 AND 2 GROUP BY a "
      "HAVING count(*) > 1 ORDER BY 1 DESC LIMIT 3 OFFSET 1",
      "SELECT 1 UNION SELECT CASE a WHEN 1 THEN 'x' ELSE 'y' END FROM t",
      "CREATE TRIGGER r AFTER UPDATE OF a, b ON t WHEN new.a > 1 BEGIN "
      "INSERT INTO u(a) VALUES(new.a); UPDATE u SET a = old.a WHERE b; DELETE FROM u; SELECT 1; "
      "END",
      "INSERT INTO t(a, b) SELECT x, y FROM u",
      "SELECT 1 + FROM t; SELECT f(a,,b) FROM (t1, t2)",
  };
  for (const char *zSql : statements) {
    bool persist = false;
    for (int pass = 0; pass < 2; pass++, persist = true) {
      for (int n = 1; n < 10000; n++) {
        long before = tarvikTestMallocOutstanding();
        tarvikTestMallocFail(n, persist);
        auto r = runParser(zSql);
        int failures = tarvikTestMallocFailures();
        tarvikTestMallocFail(0, false);
        tarvik_malloc_failed = 0;
        ASSERT_EQ(tarvikTestMallocOutstanding(), before) << zSql << " failing allocation " << n;
        if (failures == 0) break;
      }
    }
  }
}

// Tokens the random sequences are drawn from.
std::vector<std::string> vocabulary() {
  std::vector<std::string> v;
  for (int i = 0; const char *z = tarvikTestKeywordName(i); i++) v.push_back(z);
  for (const char *z :
       {"(",  ")",  ",", ";",  ".",   "*",     "+",   "-",  "/",   "%",   "=",  "==",
        "<>", "!=", "<", "<=", ">",   ">=",    "<<",  ">>", "&",   "|",   "||", "~",
        "?",  "a",  "b", "t",  "'s'", "\"q\"", "[b]", "1",  "2.5", "1e3", "x",  "count"}) {
    v.push_back(z);
  }
  return v;
}

TEST(Parse, RandomTokenSequencesAndBytesNeverCrashOrLeak) {
  std::mt19937 rng(20261206);
  auto vocab = vocabulary();
  long before = tarvikTestMallocOutstanding();
  for (int iter = 0; iter < 4000; iter++) {
    std::string sql;
    int n = 1 + (int)(rng() % 40);
    // Bias towards statement starts so deeper states are reached.
    static const char *starts[] = {"SELECT",
                                   "CREATE TABLE t(",
                                   "INSERT INTO t",
                                   "UPDATE t SET",
                                   "CREATE TRIGGER r AFTER INSERT ON t BEGIN",
                                   "DELETE FROM t WHERE"};
    if (rng() % 2) sql = starts[rng() % 6];
    for (int i = 0; i < n; i++) sql += " " + vocab[rng() % vocab.size()];
    auto r = runParser(sql.c_str());
    ASSERT_TRUE(r.nErr == 0 || r.hadErrMsg) << sql;
    tarvik_complete(sql.c_str());
  }
  for (int iter = 0; iter < 4000; iter++) {
    std::string sql;
    int n = (int)(rng() % 60);
    for (int i = 0; i < n; i++) {
      char c = (char)(rng() % 255 + 1);
      sql += c;
    }
    runParser(sql.c_str());
    tarvik_complete(sql.c_str());
  }
  EXPECT_EQ(tarvikTestMallocOutstanding(), before);
}

}  // namespace
