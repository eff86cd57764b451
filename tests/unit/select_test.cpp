// SELECT and WHERE code generation: the plan each WHERE clause gets (row-id
// look-ups and ranges, index equality and range scans, IN lists, ORDER BY
// by index, outer joins), the programs of SELECTs over real schemas, result
// column names, error messages, and allocation failures.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "btree.h"
#include "genstub.h"
#include "opcodes.h"
#include "tarvikInt.h"
#include "vdbe.h"

namespace {

struct Conn {
  tarvik db;
  Conn() {
    memset(&db, 0, sizeof(db));
    db.nDb = 2;
    db.aDb = db.aDbStatic;
    db.aDb[0].zName = (char *)"main";
    db.aDb[1].zName = (char *)"temp";
    for (int i = 0; i < 2; i++) {
      tarvikHashInit(&db.aDb[i].tblHash, TARVIK_HASH_STRING, 0);
      tarvikHashInit(&db.aDb[i].idxHash, TARVIK_HASH_STRING, 0);
      tarvikHashInit(&db.aDb[i].trigHash, TARVIK_HASH_STRING, 0);
      tarvikHashInit(&db.aDb[i].aFKey, TARVIK_HASH_STRING, 1);
      EXPECT_EQ(tarvikRbtreeOpen(nullptr, 0, 0, &db.aDb[i].pBt), TARVIK_OK);
    }
    db.file_format = 4;
    db.onError = OE_Default;
    db.flags = TARVIK_Initialized;
    tarvikHashInit(&db.aFunc, TARVIK_HASH_STRING, 1);
    tarvikRegisterBuiltinFunctions(&db);
  }
  ~Conn() {
    tarvikResetInternalSchema(&db, 0);
    for (int i = 0; i < db.nDb; i++) {
      tarvikHashClear(&db.aDb[i].tblHash);
      tarvikHashClear(&db.aDb[i].idxHash);
      tarvikHashClear(&db.aDb[i].trigHash);
      tarvikHashClear(&db.aDb[i].aFKey);
      if (db.aDb[i].pBt) tarvikBtreeClose(db.aDb[i].pBt);
    }
    tarvikFreeFunctions(&db);
  }
};

std::string opText(const VdbeOp *pOp) {
  std::string s = std::string(tarvikOpcodeName(pOp->opcode)) + " " + std::to_string(pOp->p1) + " " +
                  std::to_string(pOp->p2);
  if (pOp->p3type == P3_POINTER) {
    s += " ptr";
  } else if (pOp->p3) {
    s += std::string(" ") + pOp->p3;
  }
  return s;
}

struct Compiled {
  int nErr = 0;
  std::string err;
  std::vector<std::string> ops;
  std::string listing() const {
    std::string s;
    for (const auto &op : ops) s += op + "\n";
    return s;
  }
  // Only the instructions that reach rows (never those of expressions).
  std::string plan() const {
    static const std::set<std::string> kPlanOps = {
        "OpenRead", "Rewind",   "Last",    "MoveTo",  "MoveLt",    "NotExists", "MustBeInt",
        "ForceInt", "IdxGT",    "IdxGE",   "IdxLT",   "IdxIsNull", "IdxRecno",  "Next",
        "Prev",     "SetFirst", "SetNext", "NullRow", "IncrKey",   "Close",     "OpenTemp"};
    std::string s;
    // Jump targets move with the code of expressions; only OpenRead's P2
    // (the root page) is kept.
    for (const auto &op : ops) {
      std::string name = op.substr(0, op.find(' '));
      if (!kPlanOps.count(name)) continue;
      if (name == "OpenRead") {
        s += op + "\n";
        continue;
      }
      size_t p1End = op.find(' ', name.size() + 1);
      size_t p2End = op.find(' ', p1End + 1);
      s += op.substr(0, p1End) + (p2End == std::string::npos ? "" : op.substr(p2End)) + "\n";
    }
    return s;
  }
  bool has(const std::string &op) const { return listing().find(op) != std::string::npos; }
};

void collect(Compiled &r, Parse &parse) {
  if (parse.pVdbe) {
    for (int i = 0; i < tarvikVdbeCurrentAddr(parse.pVdbe); i++) {
      r.ops.push_back(opText(tarvikVdbeGetOp(parse.pVdbe, i)));
    }
    tarvikVdbeDelete(parse.pVdbe);
  }
}

Compiled compile(Conn &c, const char *zSql) {
  Compiled r;
  Parse parse;
  memset(&parse, 0, sizeof(parse));
  parse.db = &c.db;
  char *zErr = nullptr;
  r.nErr = tarvikRunParser(&parse, zSql, &zErr);
  if (zErr) r.err = zErr;
  tarvikFree(zErr);
  collect(r, parse);
  return r;
}

std::string error(Conn &c, const char *zSql) {
  Compiled r = compile(c, zSql);
  EXPECT_GE(r.nErr, 1) << zSql;
  return r.err;
}

// Binds names of a WHERE tree to the FROM items the way name resolution
// does (columns, row-id names, IN sets), so the planner can be driven
// directly.  Nodes already resolved are left alone.
void bindNames(Parse *pParse, SrcList *pSrc, Expr *p) {
  if (p == nullptr) return;
  if (p->op == TK_ID || (p->op == TK_DOT && p->pLeft && p->pRight)) {
    std::string zTab, zCol;
    if (p->op == TK_DOT) {
      zTab.assign(p->pLeft->token.z, p->pLeft->token.n);
      zCol.assign(p->pRight->token.z, p->pRight->token.n);
    } else {
      zCol.assign(p->token.z, p->token.n);
    }
    for (int i = 0; i < pSrc->nSrc; i++) {
      const auto &item = pSrc->a[i];
      const char *zName = item.zAlias ? item.zAlias : item.pTab->zName;
      if (!zTab.empty() && tarvikStrICmp(zTab.c_str(), zName) != 0) continue;
      int iCol = -2;
      for (int j = 0; j < item.pTab->nCol; j++) {
        if (tarvikStrICmp(item.pTab->aCol[j].zName, zCol.c_str()) == 0) iCol = j;
      }
      if (iCol == item.pTab->iPKey && iCol >= 0) iCol = -1;
      if (iCol == -2 && tarvikStrICmp(zCol.c_str(), "rowid") == 0) iCol = -1;
      if (iCol == -2) continue;
      tarvikExprDelete(p->pLeft);
      tarvikExprDelete(p->pRight);
      p->pLeft = p->pRight = nullptr;
      p->op = TK_COLUMN;
      p->iTable = item.iCursor;
      p->iColumn = iCol;
      return;
    }
    return;
  }
  bindNames(pParse, pSrc, p->pLeft);
  bindNames(pParse, pSrc, p->pRight);
  if (p->op == TK_IN && p->pList && p->iTable == 0) p->iTable = pParse->nSet++;
}

// Plans "SELECT * FROM <from> WHERE <where> [ORDER BY ...]" straight
// through tarvikWhereBegin/End, with the table cursors numbered from 0.
struct Planned : Compiled {
  bool orderByUsed = false;
};
Planned plan(Conn &c, const std::string &zSql, int pushKey = 0) {
  Planned r;
  static Planned *pOut;
  static Conn *pConn;
  static int sPushKey;
  pOut = &r;
  pConn = &c;
  sPushKey = pushKey;
  tarvikTestGenHook = [](const char *zName, const TarvikGenArg *aArg, int) {
    if (strcmp(zName, "Select") != 0) return;
    Select *p = (Select *)aArg[0].p;
    Parse parse;
    memset(&parse, 0, sizeof(parse));
    parse.db = &pConn->db;
    tarvikSrcListAssignCursors(&parse, p->pSrc);
    for (int i = 0; i < p->pSrc->nSrc; i++) {
      p->pSrc->a[i].pTab = tarvikFindTable(&pConn->db, p->pSrc->a[i].zName, nullptr);
      ASSERT_NE(p->pSrc->a[i].pTab, nullptr);
    }
    // Joins become WHERE terms as the SELECT compiler makes them.
    for (int i = 0; i < p->pSrc->nSrc; i++) {
      if (p->pSrc->a[i].pOn) {
        Expr *pOn = p->pSrc->a[i].pOn;
        std::vector<Expr *> stack = {pOn};
        while (!stack.empty()) {
          Expr *e = stack.back();
          stack.pop_back();
          if (!e) continue;
          e->flags |= EP_FromJoin;
          stack.push_back(e->pLeft);
          stack.push_back(e->pRight);
        }
        p->pWhere = p->pWhere ? tarvikExpr(TK_AND, p->pWhere, pOn, nullptr) : pOn;
        p->pSrc->a[i].pOn = nullptr;
      }
    }
    bindNames(&parse, p->pSrc, p->pWhere);
    for (int i = 0; p->pOrderBy && i < p->pOrderBy->nExpr; i++) {
      bindNames(&parse, p->pSrc, p->pOrderBy->a[i].pExpr);
    }
    ExprList *pOrderBy = p->pOrderBy;
    WhereInfo *pW = tarvikWhereBegin(&parse, p->pSrc, p->pWhere, sPushKey, &pOrderBy);
    if (pW) {
      tarvikVdbeAddOp(parse.pVdbe, OP_Noop, 0, 0);  // the body
      tarvikWhereEnd(pW);
    }
    pOut->orderByUsed = p->pOrderBy && pOrderBy == nullptr;
    pOut->nErr = parse.nErr;
    if (parse.zErrMsg) pOut->err = parse.zErrMsg;
    tarvikFree(parse.zErrMsg);
    collect(*pOut, parse);
    for (int i = 0; i < p->pSrc->nSrc; i++) p->pSrc->a[i].pTab = nullptr;
  };
  Parse parse;
  memset(&parse, 0, sizeof(parse));
  parse.db = &c.db;
  char *zErr = nullptr;
  tarvikRunParser(&parse, zSql.c_str(), &zErr);
  tarvikTestGenHook = nullptr;
  tarvikFree(zErr);
  if (parse.pVdbe) tarvikVdbeDelete(parse.pVdbe);
  return r;
}

void schema(Conn &c, std::initializer_list<const char *> statements) {
  for (const char *z : statements) ASSERT_EQ(compile(c, z).nErr, 0) << z;
}

TEST(Where, RowIdLookupsAndRanges) {
  Conn c;
  schema(c, {"CREATE TABLE t(a, b, c)", "CREATE INDEX ta ON t(a)"});

  // rowid = x: one row, no index, no loop advance.
  Planned r = plan(c, "SELECT * FROM t WHERE rowid = 5");
  EXPECT_EQ(r.plan(), "OpenRead 0 0 t\nMustBeInt 1\nNotExists 0\nClose 0\n") << r.listing();
  // The other operand may be on the left, and the key can be the
  // INTEGER PRIMARY KEY column.
  schema(c, {"CREATE TABLE k(id INTEGER PRIMARY KEY, v)"});
  r = plan(c, "SELECT * FROM k WHERE 7 = id");
  EXPECT_NE(r.plan().find("NotExists 0"), std::string::npos) << r.listing();
  EXPECT_EQ(r.plan().find("Next"), std::string::npos);

  // rowid IN (...) walks the set.
  r = plan(c, "SELECT * FROM t WHERE rowid IN (1, 3)");
  EXPECT_NE(r.plan().find("SetFirst 0"), std::string::npos) << r.listing();
  EXPECT_NE(r.plan().find("SetNext 0"), std::string::npos) << r.listing();

  // Ranges: a strict lower bound rounds up past the value; the upper bound
  // is tested each row.
  r = plan(c, "SELECT * FROM t WHERE rowid > 2 AND rowid <= 9");
  EXPECT_NE(r.plan().find("ForceInt 1"), std::string::npos) << r.listing();
  EXPECT_TRUE(r.has("Recno 0 0\nMemLoad 0 0\nGt 0 ")) << r.listing();
  r = plan(c, "SELECT * FROM t WHERE 2 <= rowid AND 9 > rowid");
  EXPECT_NE(r.plan().find("ForceInt 0"), std::string::npos) << r.listing();
  EXPECT_TRUE(r.has("MemLoad 0 0\nGe 0 ")) << r.listing();
  r = plan(c, "SELECT * FROM t WHERE rowid < 9");
  EXPECT_NE(r.plan().find("Rewind 0"), std::string::npos) << r.listing();
}

TEST(Where, IndexScoresAndScans) {
  Conn c;
  schema(c, {"CREATE TABLE t(a, b, c)", "CREATE INDEX tab ON t(a, b)", "CREATE INDEX tc ON t(c)"});

  // a = 1 AND b = 2 covers the whole index: stop when the key is greater.
  Planned r = plan(c, "SELECT * FROM t WHERE a = 1 AND b = 2");
  EXPECT_NE(r.plan().find("OpenRead 1 0 tab"), std::string::npos) << r.listing();
  EXPECT_TRUE(r.has("MakeKey 2 0 nn\nMemStore 0 0\nMoveTo 1 ")) << r.listing();
  EXPECT_NE(r.plan().find("IdxGT 1"), std::string::npos) << r.listing();
  EXPECT_NE(r.plan().find("IdxIsNull 2"), std::string::npos) << r.listing();

  // a = 1 alone: a prefix of the index, so the end key is incremented.
  r = plan(c, "SELECT * FROM t WHERE a = 1");
  EXPECT_TRUE(r.has("MakeKey 1 0 nn\nDup 0 0\nIncrKey 0 0\nMemStore 0 1\nMoveTo 1 "))
      << r.listing();
  EXPECT_NE(r.plan().find("IdxGE 1"), std::string::npos) << r.listing();

  // a = 1 AND b > 2: equality then a lower bound (score 10).
  r = plan(c, "SELECT * FROM t WHERE a = 1 AND b > 2");
  EXPECT_NE(r.plan().find("OpenRead 1 0 tab"), std::string::npos) << r.listing();
  EXPECT_TRUE(r.has("Dup 0 0\n")) << "the equality value serves both keys\n" << r.listing();
  EXPECT_NE(r.plan().find("IdxGE 1"), std::string::npos) << r.listing();
  EXPECT_NE(r.plan().find("IdxIsNull 1"), std::string::npos) << r.listing();

  // a > 1 alone: a range from the start key, no stop key.
  r = plan(c, "SELECT * FROM t WHERE a > 1");
  EXPECT_TRUE(r.has("MakeKey 1 0 nn\nIncrKey 0 0\nMoveTo 1 ")) << r.listing();
  EXPECT_EQ(r.plan().find("IdxGE"), std::string::npos) << r.listing();
  // x > a mirrors into an upper bound; inclusive bounds increment the end key.
  r = plan(c, "SELECT * FROM t WHERE 5 >= a");
  EXPECT_TRUE(r.has("MakeKey 1 0 nn\nIncrKey 0 0\nMemStore 0 1\nRewind 1 ")) << r.listing();

  // b = 2 alone uses no index (b is not a leading column).
  r = plan(c, "SELECT * FROM t WHERE b = 2");
  EXPECT_EQ(r.plan().find("OpenRead 1"), std::string::npos) << r.listing();
  EXPECT_NE(r.plan().find("Rewind 0"), std::string::npos);

  // c = 1 beats a > 1 (8 against 2); an IN drives an index with score 4.
  r = plan(c, "SELECT * FROM t WHERE a > 1 AND c = 1");
  EXPECT_NE(r.plan().find("OpenRead 1 0 tc"), std::string::npos) << r.listing();
  r = plan(c, "SELECT * FROM t WHERE a IN (1, 2)");
  EXPECT_NE(r.plan().find("OpenRead 1 0 tab"), std::string::npos) << r.listing();
  EXPECT_NE(r.plan().find("SetFirst 0"), std::string::npos) << r.listing();
  EXPECT_NE(r.plan().find("SetNext 0"), std::string::npos) << r.listing();

  // Equal scores: the index met first in the table's list wins.
  schema(c, {"CREATE TABLE u(x, y)", "CREATE INDEX ux1 ON u(x)", "CREATE INDEX ux2 ON u(x, y)"});
  r = plan(c, "SELECT * FROM u WHERE x = 3");
  Table *pU = tarvikFindTable(&c.db, "u", nullptr);
  std::string first =
      std::string("OpenRead 1 ") + std::to_string(pU->pIndex->tnum) + " " + pU->pIndex->zName;
  EXPECT_NE(r.plan().find(first), std::string::npos) << r.listing();
}

TEST(Where, OrderByFromAnIndex) {
  Conn c;
  schema(c, {"CREATE TABLE t(a, b)", "CREATE INDEX ta ON t(a)"});
  Planned r = plan(c, "SELECT * FROM t ORDER BY a DESC");
  EXPECT_TRUE(r.orderByUsed);
  EXPECT_NE(r.plan().find("Last 1"), std::string::npos) << r.listing();
  EXPECT_NE(r.plan().find("Prev 1"), std::string::npos) << r.listing();

  r = plan(c, "SELECT * FROM t ORDER BY a");
  EXPECT_TRUE(r.orderByUsed);
  EXPECT_NE(r.plan().find("Rewind 1"), std::string::npos) << r.listing();

  // Mixed directions, or a column no index starts with, need the sorter.
  EXPECT_FALSE(plan(c, "SELECT * FROM t ORDER BY a, b DESC").orderByUsed);
  EXPECT_FALSE(plan(c, "SELECT * FROM t ORDER BY b").orderByUsed);
  // A row-id constraint on the first table rules the index out.
  EXPECT_FALSE(plan(c, "SELECT * FROM t WHERE rowid > 3 ORDER BY a").orderByUsed);

  // Equality on a leading column: ORDER BY the next one comes free, and a
  // descending scan starts past the equal keys.
  schema(c, {"CREATE TABLE u(x, y)", "CREATE INDEX uxy ON u(x, y)"});
  r = plan(c, "SELECT * FROM u WHERE x = 1 ORDER BY y DESC");
  EXPECT_TRUE(r.orderByUsed);
  EXPECT_TRUE(r.has("IncrKey 0 0\nMoveLt 1 ")) << r.listing();
  EXPECT_NE(r.plan().find("IdxLT 1"), std::string::npos) << r.listing();
}

TEST(Where, JoinsAndOuterJoins) {
  Conn c;
  schema(c, {"CREATE TABLE t1(x, y)", "CREATE TABLE t2(x, y)", "CREATE INDEX t2x ON t2(x)"});

  // The inner table is reached through its index from the outer row.
  Planned r = plan(c, "SELECT * FROM t1, t2 WHERE t1.x = t2.x");
  EXPECT_NE(r.plan().find("OpenRead 2 0 t2x"), std::string::npos) << r.listing();
  EXPECT_NE(r.plan().find("MoveTo 2"), std::string::npos) << r.listing();

  // LEFT JOIN: a flag cell, and a row of NULLs when nothing matched.
  r = plan(c, "SELECT * FROM t1 LEFT JOIN t2 ON t1.x = t2.x WHERE t2.y IS NULL");
  EXPECT_TRUE(r.has("String 0 0\nMemStore 1 1\n")) << "cell 0 is never the flag\n" << r.listing();
  EXPECT_TRUE(r.has("Integer 1 0\nMemStore 1 1\n")) << r.listing();
  EXPECT_TRUE(r.has("MemLoad 1 0\nNotNull 1 ")) << r.listing();
  EXPECT_NE(r.plan().find("NullRow 1\nNullRow 2\n"), std::string::npos) << r.listing();
  // The body returns to the loop top after the flag is set.
  int top = -1;
  for (size_t i = 0; i + 1 < r.ops.size(); i++) {
    if (r.ops[i] == "Integer 1 0" && r.ops[i + 1] == "MemStore 1 1") top = (int)i;
  }
  ASSERT_GE(top, 0);
  EXPECT_TRUE(r.has("Goto 0 " + std::to_string(top) + "\n")) << r.listing();

  // pushKey leaves the row id on the stack instead of moving the cursor.
  r = plan(c, "SELECT * FROM t2 WHERE x = 4", 1);
  EXPECT_EQ(r.plan().find("MoveTo 0"), std::string::npos) << r.listing();
  EXPECT_NE(r.plan().find("IdxRecno 1"), std::string::npos);
  r = plan(c, "SELECT * FROM t1", 1);
  EXPECT_TRUE(r.has("Recno 0 0\nNoop")) << r.listing();
}

TEST(Where, TermLimitAndConstantConditions) {
  Conn c;
  schema(c, {"CREATE TABLE t(a)"});
  std::string w100 = "SELECT * FROM t WHERE a=1";
  for (int i = 1; i < 100; i++) w100 += " AND a=1";
  EXPECT_EQ(plan(c, w100).nErr, 0);
  Planned r = plan(c, w100 + " AND a=1");
  EXPECT_EQ(r.err, "WHERE clause too complex - no more than 100 terms allowed");
  EXPECT_TRUE(r.ops.empty());

  // A WHERE without FROM items is tested once, before any loop.
  r = plan(c, "SELECT * FROM t WHERE 0");
  EXPECT_EQ(r.plan(), "OpenRead 0 0 t\nRewind 0\nNext 0\nClose 0\n") << r.listing();
}

// Only 32 cursors have mask bits; a term on a later table must still wait
// until that table's loop has a row.
TEST(Where, TermsOnTablesBeyondTheMasks) {
  Conn c;
  std::string from, where;
  for (int i = 0; i < 34; i++) {
    std::string t = "t" + std::to_string(i);
    schema(c, {("CREATE TABLE " + t + "(a)").c_str()});
    from += (i ? ", " : "") + t;
    where += (i ? " AND " : "") + t + ".a = 1";
  }
  Compiled r = compile(c, ("SELECT count(*) FROM " + from + " WHERE " + where).c_str());
  ASSERT_EQ(r.nErr, 0) << r.err;
  auto pos = [&](const std::string &op) {
    for (size_t i = 0; i < r.ops.size(); i++) {
      if (r.ops[i].rfind(op, 0) == 0) return (int)i;
    }
    return -1;
  };
  ASSERT_GE(pos("Rewind 33 "), 0);
  EXPECT_GT(pos("Column 32 0"), pos("Rewind 33 ")) << r.listing();
  EXPECT_GT(pos("Column 31 0"), pos("Rewind 31 "));
  EXPECT_LT(pos("Column 31 0"), pos("Rewind 32 "));
}

TEST(Select, JoinAndStarErrors) {
  Conn c;
  schema(c, {"CREATE TABLE t1(a, b)", "CREATE TABLE t2(a, c)"});
  EXPECT_EQ(error(c, "SELECT * FROM nope"), "no such table: nope");
  EXPECT_EQ(error(c, "SELECT *"), "no tables specified");
  EXPECT_EQ(error(c, "SELECT q.* FROM t1"), "no such table: q");
  EXPECT_EQ(error(c, "SELECT a FROM t1 RIGHT JOIN t2"),
            "RIGHT and FULL OUTER JOINs are not currently supported");
  EXPECT_EQ(error(c, "SELECT a FROM t1 INNER OUTER JOIN t2"),
            "unknown or unsupported join type: INNER OUTER");
  EXPECT_EQ(error(c, "SELECT * FROM t1 NATURAL JOIN t2 ON t1.a = t2.a"),
            "a NATURAL join may not have an ON or USING clause");
  EXPECT_EQ(error(c, "SELECT * FROM t1 JOIN t2 ON 1 USING (a)"),
            "cannot have both ON and USING clauses in the same join");
  EXPECT_EQ(error(c, "SELECT * FROM t1 JOIN t2 USING (b)"),
            "cannot join using column b - column not present in both tables");
  EXPECT_EQ(error(c, "SELECT a FROM t1 HAVING a"), "a GROUP BY clause is required before HAVING");
  EXPECT_EQ(error(c, "SELECT a FROM t1 ORDER BY a UNION SELECT a FROM t2"),
            "ORDER BY clause should come after UNION not before");
  EXPECT_EQ(error(c, "SELECT a FROM t1 LIMIT 1 EXCEPT SELECT a FROM t2"),
            "LIMIT clause should come after EXCEPT not before");
  EXPECT_EQ(error(c, "SELECT a FROM t1 UNION SELECT a, c FROM t2"),
            "SELECTs to the left and right of UNION do not have the same number of result "
            "columns");
  EXPECT_EQ(error(c, "SELECT a FROM t1 INTERSECT SELECT a, c FROM t2"),
            "SELECTs to the left and right of INTERSECT do not have the same number of result "
            "columns");
}

// The column names of "SELECT *" come from the expanded list.
TEST(Select, StarExpansionAndJoinColumns) {
  Conn c;
  schema(c, {"CREATE TABLE t1(a, b)", "CREATE TABLE t2(a, c)"});
  auto names = [&](const char *zSql) {
    Compiled r = compile(c, zSql);
    EXPECT_EQ(r.nErr, 0) << r.err;
    // The names come first, then as many type entries.
    std::vector<std::string> all;
    for (const auto &op : r.ops) {
      if (op.rfind("ColumnName ", 0) == 0) all.push_back(op.substr(op.find(' ', 11) + 1));
    }
    std::string s;
    for (size_t i = 0; i < all.size() / 2; i++) s += all[i].substr(all[i].find(' ') + 1) + "|";
    return s;
  };
  // Names, then types (none declared here, so the type entries are bare).
  EXPECT_EQ(names("SELECT * FROM t1"), "a|b|");
  EXPECT_EQ(names("SELECT * FROM t1 NATURAL JOIN t2"), "t1.a|t1.b|t2.c|");
  EXPECT_EQ(names("SELECT * FROM t1 JOIN t2 USING (a)"), "t1.a|t1.b|t2.c|");
  EXPECT_EQ(names("SELECT t2.*, x.* FROM t1 AS x, t2"), "t2.a|t2.c|x.a|x.b|");
  EXPECT_EQ(names("SELECT a AS first, 1+2 FROM t1"), "first|1+2|");
}

TEST(Select, ProgramShapes) {
  Conn c;
  schema(c, {"CREATE TABLE t(a, b)", "CREATE INDEX ta ON t(a)"});
  // LIMIT and OFFSET: counters that start negative.
  Compiled r = compile(c, "SELECT * FROM t LIMIT 2 OFFSET 3");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_TRUE(r.has("Integer -2 0\nMemStore 0 1\nInteger -3 0\nMemStore 1 1\n")) << r.listing();
  EXPECT_TRUE(r.has("MemIncr 1 ")) << r.listing();
  EXPECT_TRUE(r.has("MemIncr 0 ")) << r.listing();
  r = compile(c, "SELECT * FROM t LIMIT -1");
  EXPECT_FALSE(r.has("MemIncr")) << r.listing();

  // DISTINCT keeps a key table; the callback gets two columns.
  r = compile(c, "SELECT DISTINCT a, b FROM t");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_TRUE(r.has("OpenTemp 1 1\n")) << r.listing();
  EXPECT_TRUE(r.has("MakeKey 2 1 ")) << r.listing();
  EXPECT_TRUE(r.has("Distinct 1 ")) << r.listing();
  EXPECT_TRUE(r.has("PutStrKey 1 0\nCallback 2 0\n")) << r.listing();

  // UNION through a key table read back in order; UNION ALL straight through.
  r = compile(c, "SELECT a FROM t UNION SELECT b FROM t");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_TRUE(r.has("OpenTemp 0 1\nKeyAsData 0 1\n")) << r.listing();
  EXPECT_TRUE(r.has("Column 0 0\nCallback 1 0\n")) << r.listing();
  r = compile(c, "SELECT a FROM t UNION ALL SELECT b FROM t");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_FALSE(r.has("OpenTemp")) << r.listing();
  EXPECT_EQ(r.plan().find("OpenRead 0"), r.plan().rfind("OpenRead 0")) << r.listing();

  // A FROM sub-query that cannot be merged fills a temporary table on its
  // item's cursor.
  r = compile(c, "SELECT * FROM (SELECT count(*) FROM t), t AS u");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_TRUE(r.has("OpenTemp 0 0\n")) << r.listing();
  EXPECT_TRUE(r.has("NewRecno 0 0\nPull 1 0\nPutIntKey 0 0\n")) << r.listing();
  EXPECT_TRUE(r.has("Rewind 0 ")) << r.listing();

  // A view is compiled from a copy of its query each time.
  schema(c, {"CREATE VIEW v AS SELECT a FROM t"});
  Select *pCopy = tarvikSelectDup(tarvikFindTable(&c.db, "v", nullptr)->pSelect);
  if (pCopy == nullptr) GTEST_SKIP() << "needs query copies";
  tarvikSelectDelete(pCopy);
  for (int i = 0; i < 2; i++) {
    r = compile(c, "SELECT * FROM v");
    ASSERT_EQ(r.nErr, 0) << r.err;
    EXPECT_TRUE(r.has("OpenRead 1 0 t\n")) << r.listing();
  }
}

TEST(Select, FlatteningFromSubqueries) {
  Conn c;
  schema(c, {"CREATE TABLE t(a, b)", "CREATE INDEX ta ON t(a)"});
  auto flattened = [&](const char *zSql) {
    Compiled r = compile(c, zSql);
    EXPECT_EQ(r.nErr, 0) << r.err;
    return !r.has("OpenTemp 0 0\n");
  };
  EXPECT_TRUE(flattened("SELECT * FROM (SELECT a FROM t) ORDER BY a"));
  // The parent's WHERE reads the sub-query's columns, and the merged
  // terms still choose the index.
  Compiled r = compile(c, "SELECT x FROM (SELECT a AS x, b FROM t WHERE b > 1) WHERE x = 5");
  EXPECT_NE(r.plan().find("OpenRead 2 0 ta"), std::string::npos) << r.listing();
  EXPECT_TRUE(r.has("ColumnName 0 1 x\n")) << r.listing();
  // An aggregate sub-query alone in FROM: the parent's WHERE becomes HAVING.
  r = compile(c, "SELECT n FROM (SELECT count(*) AS n FROM t) WHERE n > 1");
  EXPECT_FALSE(r.has("OpenTemp")) << r.listing();
  EXPECT_TRUE(r.has("AggNext")) << r.listing();
  // Limits combine: rows 3..5 of the sub-query's first five.
  r = compile(c, "SELECT * FROM (SELECT a FROM t LIMIT 5) LIMIT 10 OFFSET 2");
  EXPECT_FALSE(r.has("OpenTemp")) << r.listing();
  EXPECT_TRUE(r.has("Integer -3 0\nMemStore 0 1\nInteger -2 0\nMemStore 1 1\n")) << r.listing();

  // Refused: an aggregate in a join, both aggregate, both ordered ...
  EXPECT_FALSE(flattened("SELECT * FROM (SELECT count(*) FROM t), t AS u"));
  EXPECT_FALSE(flattened("SELECT count(*) FROM (SELECT count(*) FROM t)"));
  EXPECT_FALSE(flattened("SELECT * FROM (SELECT a FROM t ORDER BY a) ORDER BY 1"));
  // ... DISTINCT over other columns, and a LIMIT that must cut rows before
  // the parent filters them.
  EXPECT_FALSE(flattened("SELECT a FROM (SELECT DISTINCT a, b FROM t)"));
  EXPECT_FALSE(flattened("SELECT * FROM (SELECT a FROM t LIMIT 2) WHERE a > 5"));
}

TEST(Select, AllocationFailuresNeverCrashOrLeak) {
  const char *const statements[] = {
      "SELECT a, b FROM t WHERE a = 1 AND b > 2 ORDER BY a",
      "SELECT * FROM t AS x LEFT JOIN u USING (a) WHERE x.b IN (1, 2) LIMIT 3",
      "SELECT a FROM t UNION SELECT c FROM u ORDER BY 1",
      "SELECT * FROM (SELECT a FROM t) AS s, v WHERE s.a = v.a",
      "SELECT DISTINCT * FROM t NATURAL JOIN u",
      "SELECT n FROM (SELECT count(*) AS n, max(b) FROM t GROUP BY a) WHERE n > 1",
      "SELECT a FROM t INTERSECT SELECT a FROM u ORDER BY a DESC LIMIT 2",
      "SELECT max(a), (SELECT min(c) FROM u) FROM t",
  };
  int injected = 0;
  for (const char *zSql : statements) {
    for (int persist = 0; persist < 2; persist++) {
      for (int n = 1; n < 10000; n++) {
        long before = tarvikTestMallocOutstanding();
        int failures;
        {
          Conn c;
          schema(c, {"CREATE TABLE t(a, b)", "CREATE INDEX ta ON t(a, b)", "CREATE TABLE u(a, c)",
                     "CREATE VIEW v AS SELECT a FROM u"});
          tarvikTestMallocFail(n, persist != 0);
          compile(c, zSql);
          failures = tarvikTestMallocFailures();
          tarvikTestMallocFail(0, false);
          tarvik_malloc_failed = 0;
        }
        ASSERT_EQ(tarvikTestMallocOutstanding(), before) << zSql << " failing allocation " << n;
        injected += failures;
        if (failures == 0) break;
      }
    }
  }
  EXPECT_GT(injected, 50);
}

// Names of result columns under the two naming flags.
TEST(Select, ColumnNamesUnderTheNamingFlags) {
  Conn c;
  schema(c, {"CREATE TABLE t(a INTEGER PRIMARY KEY, b  TEXT, c)", "CREATE TABLE u(d)"});
  auto names = [&](const char *zSql) {
    Compiled r = compile(c, zSql);
    EXPECT_EQ(r.nErr, 0) << r.err;
    std::string s;
    for (const auto &op : r.ops) {
      if (op.rfind("ColumnName ", 0) == 0) s += op.substr(11) + "|";
    }
    return s;
  };
  // Neither flag: the text as written (white space compressed), types after.
  EXPECT_EQ(names("SELECT t.b, a+1, c  AS  x, rowid FROM t"),
            "0 0 t.b|1 0 a+1|2 0 x|3 1 rowid|4 0 TEXT|5 0 NUMERIC|6 0|7 0 INTEGER|");
  EXPECT_EQ(names("SELECT b ,  a  +  1 FROM t"), "0 0 b|1 1 a + 1|2 0 TEXT|3 0 NUMERIC|");
  c.db.flags |= TARVIK_ShortColNames;
  EXPECT_EQ(names("SELECT t.b, _rowid_ FROM t"), "0 0 b|1 1 a|2 0 TEXT|3 0 INTEGER|");
  c.db.flags = (c.db.flags & ~TARVIK_ShortColNames) | TARVIK_FullColNames;
  EXPECT_EQ(names("SELECT x.b, d FROM t AS x, u"), "0 0 t.b|1 1 u.d|2 0 TEXT|3 0|");
  c.db.flags &= ~TARVIK_FullColNames;
  // Expanded columns of a join carry the item's name.
  EXPECT_EQ(names("SELECT * FROM t AS x, u"),
            "0 0 x.a|1 0 x.b|2 0 x.c|3 1 u.d|4 0 INTEGER|5 0 TEXT|6 0|7 0|");
  // A compound is named by its leftmost select.
  EXPECT_EQ(names("SELECT b FROM t UNION SELECT d FROM u"), "0 1 b|1 0 TEXT|");
}

TEST(Select, ResolutionErrors) {
  Conn c;
  schema(c, {"CREATE TABLE t(a, b)"});
  EXPECT_EQ(error(c, "SELECT a FROM t ORDER BY 2"),
            "ORDER BY column number 2 out of range - should be between 1 and 1");
  EXPECT_EQ(error(c, "SELECT a FROM t ORDER BY 'x'"),
            "ORDER BY terms must not be non-integer constants");
  EXPECT_EQ(error(c, "SELECT a FROM t GROUP BY 0"),
            "GROUP BY column number 0 out of range - should be between 1 and 1");
  EXPECT_EQ(error(c, "SELECT a FROM t GROUP BY 1.5"),
            "GROUP BY terms must not be non-integer constants");
  EXPECT_EQ(error(c, "SELECT a FROM t WHERE a = (SELECT a, b FROM t)"),
            "only a single result allowed for a SELECT that is part of an expression");
  EXPECT_EQ(error(c, "SELECT a FROM t WHERE count(*) > 1"), "misuse of aggregate function count()");
  EXPECT_EQ(error(c, "SELECT a FROM t UNION SELECT b FROM t ORDER BY 3"),
            "ORDER BY position 3 should be between 1 and 1");
  EXPECT_EQ(error(c, "SELECT a FROM t UNION SELECT b FROM t ORDER BY c"),
            "ORDER BY term number 1 does not match any result column");
  // A copied result column may be a constant: that is no error.
  EXPECT_EQ(compile(c, "SELECT 'x', a FROM t ORDER BY 1").nErr, 0);
  // Aliases are visible in WHERE and ORDER BY.
  EXPECT_EQ(compile(c, "SELECT a AS k FROM t WHERE k > 1 ORDER BY k").nErr, 0);
}

TEST(Select, AggregatesAndMinMax) {
  Conn c;
  schema(c, {"CREATE TABLE t(a INTEGER PRIMARY KEY, b, c)", "CREATE INDEX tb ON t(b)"});
  // count(*) over an empty WHERE still gives its one row.
  Compiled r = compile(c, "SELECT count(*) FROM t WHERE 0");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_TRUE(r.has("AggReset 0 1\nAggInit 0 0 ptr\nString 0 0\nAggFocus 0 0\n")) << r.listing();
  EXPECT_TRUE(r.has("Integer 0 0\nAggFunc 0 0 ptr\n")) << r.listing();
  EXPECT_TRUE(r.has("AggNext 0 ")) << r.listing();

  // GROUP BY: the group key, plain columns from each group's first row.
  r = compile(c, "SELECT b, sum(c) FROM t GROUP BY b HAVING sum(c) > 1");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_TRUE(r.has("Column 0 1\nMakeKey 1 0 n\nAggFocus 0 ")) << r.listing();
  EXPECT_TRUE(r.has("Column 0 1\nAggSet 0 0\n")) << r.listing();
  EXPECT_TRUE(r.has("Column 0 2\nInteger 1 0\nAggFunc 0 1 ptr\n")) << r.listing();

  // min/max of an indexed column or the row id read one end.
  r = compile(c, "SELECT max(b) FROM t");
  EXPECT_TRUE(r.has("OpenRead 1 0 tb\nLast 1 0\nIdxRecno 1 0\nClose 1 0\nMoveTo 0 0\n"))
      << r.listing();
  r = compile(c, "SELECT min(a) FROM t");
  EXPECT_TRUE(r.has("OpenRead 0 0 t\nRewind 0 0\nRecno 0 0\nCallback 1 0\n")) << r.listing();
  // Without an index on the column, or with a WHERE, the full loop runs.
  EXPECT_TRUE(compile(c, "SELECT max(c) FROM t").has("AggFunc"));
  EXPECT_TRUE(compile(c, "SELECT max(b) FROM t WHERE c = 1").has("AggFunc"));
  schema(c, {"CREATE VIEW v AS SELECT a FROM t"});
  EXPECT_TRUE(compile(c, "SELECT min(rowid) FROM v").has("AggFunc"))
      << "a view has no tree to read an end of";
}

TEST(Select, JoinsThroughTheCompiler) {
  Conn c;
  schema(c, {"CREATE TABLE t(a, b)", "CREATE TABLE u(a, d)", "CREATE INDEX ua ON u(a)"});
  // ON terms choose u's index and test inside the join; WHERE terms after
  // the row of NULLs.
  Compiled r = compile(c, "SELECT t.a, u.d FROM t LEFT JOIN u ON t.a = u.a WHERE u.d IS NULL");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_NE(r.plan().find("OpenRead 2 0 ua"), std::string::npos) << r.listing();
  EXPECT_NE(r.plan().find("NullRow 1\nNullRow 2\n"), std::string::npos) << r.listing();
  // USING and NATURAL joins compare through the items' aliases.
  EXPECT_EQ(compile(c, "SELECT * FROM t AS x JOIN t AS y USING (a)").nErr, 0);
  EXPECT_EQ(compile(c, "SELECT * FROM t AS x NATURAL JOIN u AS y").nErr, 0);
  r = compile(c, "SELECT * FROM t AS x NATURAL JOIN u AS y");
  EXPECT_NE(r.plan().find("OpenRead 2 0 ua"), std::string::npos) << r.listing();
}

}  // namespace
