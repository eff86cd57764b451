// Schema statements: the programs CREATE/DROP TABLE, VIEW and INDEX and the
// transaction statements compile to, the in-memory schema they maintain (also
// when the schema is rebuilt from stored SQL), their error messages, and
// allocation failures.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "btree.h"
#include "opcodes.h"
#include "tarvikInt.h"
#include "vdbe.h"

namespace {

// A connection as the open routine leaves it: main and temp, their hashes,
// an in-memory tree for each (so BEGIN and temporary tables need no file),
// and a loaded (empty) schema.
struct Conn {
  tarvik db;
  explicit Conn(bool withTrees = true) {
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
      if (withTrees) {
        EXPECT_EQ(tarvikRbtreeOpen(nullptr, 0, 0, &db.aDb[i].pBt), TARVIK_OK);
      }
    }
    db.file_format = 4;
    db.onError = OE_Default;
    db.flags = TARVIK_Initialized;
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
  }
  Table *table(const char *z, const char *zDb = nullptr) { return tarvikFindTable(&db, z, zDb); }
  Index *index(const char *z) { return tarvikFindIndex(&db, z, nullptr); }
};

struct Compiled {
  int nErr = 0;
  int parseErrs = 0;
  std::string err;
  std::vector<std::string> ops;  // "Name p1 p2[ p3]"; pointers shown as "ptr"
  std::string listing() const {
    std::string s;
    for (const auto &op : ops) s += op + "\n";
    return s;
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

// Compiles the first statement of zSql and lists the program it built.
Compiled compile(Conn &c, const char *zSql) {
  Compiled r;
  Parse parse;
  memset(&parse, 0, sizeof(parse));
  parse.db = &c.db;
  char *zErr = nullptr;
  r.nErr = tarvikRunParser(&parse, zSql, &zErr);
  r.parseErrs = parse.nErr;
  if (zErr) r.err = zErr;
  tarvikFree(zErr);
  if (parse.pVdbe) {
    for (int i = 0; i < tarvikVdbeCurrentAddr(parse.pVdbe); i++) {
      r.ops.push_back(opText(tarvikVdbeGetOp(parse.pVdbe, i)));
    }
    tarvikVdbeDelete(parse.pVdbe);
  }
  return r;
}

// Replays one stored statement as the schema loader does.
Compiled load(Conn &c, int iDb, int tnum, const char *zSql) {
  c.db.init.busy = 1;
  c.db.init.iDb = iDb;
  c.db.init.newTnum = tnum;
  Compiled r = compile(c, zSql);
  c.db.init.busy = 0;
  c.db.init.iDb = 0;
  return r;
}

// Describes the two schema tables as the loader does.
void loadSchemaTables(Conn &c) {
  ASSERT_EQ(load(c, 0, 2, master_schema).nErr, 0);
  ASSERT_EQ(load(c, 1, 2, temp_master_schema).nErr, 0);
  c.table(TARVIK_MASTER_NAME, "main")->readOnly = 1;
  c.table(TARVIK_TEMP_MASTER_NAME, "temp")->readOnly = 1;
  tarvikCommitInternalChanges(&c.db);
}

std::string error(Conn &c, const char *zSql) {
  Compiled r = compile(c, zSql);
  EXPECT_GE(r.nErr, 1) << zSql;
  EXPECT_TRUE(r.ops.empty()) << "a failed statement keeps no program: " << zSql;
  return r.err;
}

TEST(Build, CreateTableProgramReservesTheRowThenWritesIt) {
  Conn c;
  c.db.aDb[0].schema_cookie = c.db.next_cookie = 1000;
  Compiled r = compile(c, "CREATE TABLE t1(a, b INTEGER)");
  ASSERT_EQ(r.nErr, 0) << r.err;
  ASSERT_EQ(r.ops.size(), 25u) << r.listing();
  std::string cookie = std::to_string(c.db.next_cookie);
  EXPECT_GE(c.db.next_cookie, 1001);
  EXPECT_LE(c.db.next_cookie, 1256);
  EXPECT_EQ(r.listing(),
            "Transaction 0 0\nVerifyCookie 0 1000\nTransaction 1 0\nInteger 4 0\nSetCookie 0 1\n"
            "Integer 0 0\nOpenWrite 0 2\nNewRecno 0 0\nDup 0 0\nString 0 0\nPutIntKey 0 0\n"
            "CreateTable 0 0 ptr\nPull 1 0\nString 0 0 table\nString 0 0 t1\nString 0 0 t1\n"
            "Dup 4 0\nString 0 0 CREATE TABLE t1(a, b INTEGER)\nMakeRecord 5 0\nPutIntKey 0 0\n"
            "Integer " +
                cookie + " 0\nSetCookie 0 0\nClose 0 0\nCommit 0 0\nHalt 0 0\n");

  Table *p = c.table("T1");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p, c.table("t1", "MAIN"));
  EXPECT_EQ(c.table("t1", "temp"), nullptr);
  EXPECT_EQ(p->nCol, 2);
  EXPECT_EQ(p->iPKey, -1);
  EXPECT_EQ(p->iDb, 0);
  EXPECT_STREQ(p->aCol[1].zType, "INTEGER");
  EXPECT_EQ(c.db.nTable, 1);
  EXPECT_TRUE(c.db.flags & TARVIK_InternChanges);

  // A temporary table goes to database 1, without the format number or the cookie.
  r = compile(c, "CREATE TEMP TABLE t2(x)");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(r.ops[0], "Transaction 1 0");
  EXPECT_EQ(r.ops[1], "Integer 1 0");
  EXPECT_EQ(r.ops[2], "OpenWrite 0 2");
  EXPECT_EQ(r.ops[7], "CreateTable 0 1 ptr");
  EXPECT_EQ(r.ops[13], "String 0 0 CREATE TEMP TABLE t2(x)");
  EXPECT_EQ(r.ops[16], "Close 0 0");
  EXPECT_EQ(c.table("t2")->iDb, 1);
}

TEST(Build, ColumnsTypesDefaultsAndKeys) {
  Conn c;
  Compiled r = compile(c,
                       "CREATE TABLE t(a INTEGER PRIMARY KEY ON CONFLICT IGNORE, "
                       "b VARCHAR ( 10 ) NOT NULL ON CONFLICT FAIL DEFAULT 'it''s', "
                       "c CLOB DEFAULT -1.5, d INT, e, f BLOB COLLATE numeric, \"G g\" text)");
  ASSERT_EQ(r.nErr, 0) << r.err;
  Table *p = c.table("t");
  ASSERT_EQ(p->nCol, 7);
  EXPECT_EQ(p->iPKey, 0) << "INTEGER PRIMARY KEY is the row number";
  EXPECT_EQ(p->keyConf, OE_Ignore);
  EXPECT_EQ(p->pIndex, nullptr);
  EXPECT_TRUE(p->aCol[0].isPrimKey);
  EXPECT_STREQ(p->aCol[1].zType, "VARCHAR(10)");
  EXPECT_EQ(p->aCol[1].notNull, OE_Fail);
  EXPECT_STREQ(p->aCol[1].zDflt, "it's");
  EXPECT_STREQ(p->aCol[2].zDflt, "-1.5");
  EXPECT_EQ(p->aCol[1].sortOrder, TARVIK_SO_TEXT);
  EXPECT_EQ(p->aCol[2].sortOrder, TARVIK_SO_TEXT);
  EXPECT_EQ(p->aCol[3].sortOrder, TARVIK_SO_NUM);
  EXPECT_EQ(p->aCol[4].sortOrder, TARVIK_SO_NUM);
  EXPECT_EQ(p->aCol[4].zType, nullptr);
  EXPECT_EQ(p->aCol[5].sortOrder, TARVIK_SO_NUM) << "COLLATE overrides the type";
  EXPECT_STREQ(p->aCol[6].zName, "G g");
  EXPECT_EQ(p->aCol[6].sortOrder, TARVIK_SO_TEXT);

  // Files of format 3 or older sort every column as a number.
  c.db.file_format = 3;
  ASSERT_EQ(compile(c, "CREATE TABLE old(a TEXT)").nErr, 0);
  EXPECT_EQ(c.table("old")->aCol[0].sortOrder, TARVIK_SO_NUM);
  c.db.file_format = 4;

  // INT is not INTEGER: the key becomes an automatic unique index whose
  // schema row has no SQL, written before the table's own row.
  r = compile(c, "CREATE TABLE u(a INT PRIMARY KEY, b UNIQUE ON CONFLICT REPLACE, c UNIQUE)");
  ASSERT_EQ(r.nErr, 0) << r.err;
  Table *u = c.table("u");
  EXPECT_EQ(u->iPKey, -1);
  Index *i1 = c.index("(u autoindex 1)");
  Index *i2 = c.index("(u autoindex 2)");
  Index *i3 = c.index("(u autoindex 3)");
  ASSERT_TRUE(i1 && i2 && i3);
  EXPECT_EQ(i1->onError, OE_Default);
  EXPECT_TRUE(i1->autoIndex);
  EXPECT_EQ(i1->aiColumn[0], 0);
  EXPECT_EQ(i2->onError, OE_Replace);
  // The replacing index goes after the others.
  EXPECT_EQ(u->pIndex, i3);
  EXPECT_EQ(i3->pNext, i1);
  EXPECT_EQ(i1->pNext, i2);
  EXPECT_EQ(i2->pNext, nullptr);
  std::string l = r.listing();
  const std::string indexRow =
      "NewRecno 0 0\nString 0 0 index\nString 0 0 (u autoindex 1)\nString 0 0 u\n"
      "CreateIndex 0 0 ptr\nString 0 0\nMakeRecord 5 0\nPutIntKey 0 0\n";
  EXPECT_NE(l.find(indexRow), std::string::npos) << l;
  EXPECT_LT(l.find(indexRow), l.find("CreateTable")) << l;

  // A table-level key over one INTEGER column is the row number too.
  ASSERT_EQ(compile(c, "CREATE TABLE w(x, a integer, PRIMARY KEY(A) ON CONFLICT REPLACE)").nErr, 0);
  EXPECT_EQ(c.table("w")->iPKey, 1);
  EXPECT_EQ(c.table("w")->keyConf, OE_Replace);
  EXPECT_EQ(c.table("w")->pIndex, nullptr);

  // A table-level key over two columns is an index even with INTEGER.
  ASSERT_EQ(compile(c, "CREATE TABLE v(a INTEGER, b, PRIMARY KEY(B, a))").nErr, 0);
  Index *pk = c.index("(v autoindex 1)");
  ASSERT_NE(pk, nullptr);
  EXPECT_EQ(pk->nColumn, 2);
  EXPECT_EQ(pk->aiColumn[0], 1);
  EXPECT_EQ(pk->aiColumn[1], 0);
  EXPECT_EQ(c.table("v")->iPKey, -1);
  EXPECT_TRUE(c.table("v")->aCol[0].isPrimKey && c.table("v")->aCol[1].isPrimKey);
}

TEST(Build, ForeignKeysAreStoredAndChainedByTarget) {
  Conn c;
  Compiled r = compile(c,
                       "CREATE TABLE f(a REFERENCES \"P\"(x) ON DELETE CASCADE ON UPDATE SET NULL "
                       "DEFERRABLE INITIALLY DEFERRED, b, c, FOREIGN KEY(b, c) REFERENCES p)");
  ASSERT_EQ(r.nErr, 0) << r.err;
  ASSERT_EQ(compile(c, "CREATE TABLE g(z REFERENCES p)").nErr, 0);
  Table *f = c.table("f");
  FKey *k2 = f->pFKey;  // newest first
  ASSERT_TRUE(k2 && k2->pNextFrom);
  FKey *k1 = k2->pNextFrom;
  EXPECT_STREQ(k1->zTo, "P") << "the referenced name is dequoted";
  EXPECT_EQ(k1->nCol, 1);
  EXPECT_EQ(k1->aCol[0].iFrom, 0);
  EXPECT_STREQ(k1->aCol[0].zCol, "x");
  EXPECT_EQ(k1->deleteConf, OE_Cascade);
  EXPECT_EQ(k1->updateConf, OE_SetNull);
  EXPECT_EQ(k1->insertConf, OE_Restrict);
  EXPECT_TRUE(k1->isDeferred);
  EXPECT_EQ(k2->nCol, 2);
  EXPECT_EQ(k2->aCol[1].iFrom, 2);
  EXPECT_EQ(k2->aCol[0].zCol, nullptr);
  EXPECT_FALSE(k2->isDeferred);
  // The chain for "p" (case-insensitive) holds all three keys.
  int n = 0;
  for (FKey *k = (FKey *)tarvikHashFind(&c.db.aDb[0].aFKey, "p", 2); k; k = k->pNextTo) n++;
  EXPECT_EQ(n, 3);
  // Dropping a table takes its keys off the chain.
  ASSERT_EQ(compile(c, "DROP TABLE f").nErr, 0);
  FKey *k = (FKey *)tarvikHashFind(&c.db.aDb[0].aFKey, "p", 2);
  ASSERT_NE(k, nullptr);
  EXPECT_EQ(k->pFrom, c.table("g"));
  EXPECT_EQ(k->pNextTo, nullptr);
  ASSERT_EQ(compile(c, "DROP TABLE g").nErr, 0);
  EXPECT_EQ(hashCount(&c.db.aDb[0].aFKey), 0);
}

TEST(Build, CreateTableErrors) {
  Conn c;
  loadSchemaTables(c);
  ASSERT_EQ(compile(c, "CREATE TABLE t(a)").nErr, 0);
  ASSERT_EQ(compile(c, "CREATE INDEX i ON t(a)").nErr, 0);
  EXPECT_EQ(error(c, "CREATE TABLE x(a, b, A)"), "duplicate column name: A");
  EXPECT_EQ(error(c, "CREATE TABLE T(a)"), "table T already exists");
  EXPECT_EQ(error(c, "CREATE TEMP TABLE t(a)"), "table t already exists");
  EXPECT_EQ(error(c, "CREATE TABLE tarvik_master(a)"), "table tarvik_master already exists");
  EXPECT_EQ(error(c, "CREATE TABLE [i](a)"), "there is already an index named i");
  EXPECT_EQ(error(c, "CREATE TABLE x(a PRIMARY KEY, b, PRIMARY KEY(b))"),
            "table \"x\" has more than one primary key");
  EXPECT_EQ(error(c, "CREATE TABLE x(a, UNIQUE(a, q))"), "table x has no column named q");
  EXPECT_EQ(error(c, "CREATE TABLE x(a REFERENCES p(b, c))"),
            "foreign key on a should reference only one column of table p");
  EXPECT_EQ(error(c, "CREATE TABLE x(a, FOREIGN KEY(a) REFERENCES p(b, c))"),
            "number of columns in foreign key does not match the number of columns in the "
            "referenced table");
  EXPECT_EQ(error(c, "CREATE TABLE x(a, FOREIGN KEY(a, zz) REFERENCES p)"),
            "unknown column \"zz\" in foreign key definition");
  EXPECT_EQ(c.table("x"), nullptr);
  EXPECT_EQ(c.index("(x autoindex 1)"), nullptr) << "the failed table's index is gone too";
  EXPECT_EQ(hashCount(&c.db.aDb[0].idxHash), 1);
}

TEST(Build, CreateIndexFillsTheNewTreeFromTheTable) {
  Conn c;
  c.db.aDb[0].schema_cookie = c.db.next_cookie = 7;
  ASSERT_EQ(compile(c, "CREATE TABLE t(a INTEGER PRIMARY KEY, b TEXT, c)").nErr, 0);
  c.table("t")->tnum = 5;
  tarvikCommitInternalChanges(&c.db);
  EXPECT_EQ(c.db.aDb[0].schema_cookie, c.db.next_cookie);
  int cookie = c.db.next_cookie;
  Compiled r = compile(c, "CREATE UNIQUE INDEX i1 ON t(c, a, b) ON CONFLICT FAIL;");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_NE(cookie, c.db.next_cookie) << "committed, so the next change picks a new cookie";
  EXPECT_EQ(r.listing(),
            "Transaction 0 0\nVerifyCookie 0 " + std::to_string(cookie) +
                "\nTransaction 1 0\nInteger 0 0\nOpenWrite 0 2\n"
                "NewRecno 0 0\nString 0 0 index\nString 0 0 i1\nString 0 0 t\n"
                "CreateIndex 0 0 ptr\nDup 0 0\nInteger 0 0\nOpenWrite 1 0\n"
                "String 0 0 CREATE UNIQUE INDEX i1 ON t(c, a, b) ON CONFLICT FAIL\n"
                "MakeRecord 5 0\nPutIntKey 0 0\n"
                "Integer 0 0\nOpenRead 2 5\nRewind 2 26\nRecno 2 0\nColumn 2 2\nDup 1 0\n"
                "Column 2 1\nMakeIdxKey 3 0 nnt\nIdxPut 1 1 indexed columns are not unique\n"
                "Next 2 19\nClose 2 0\nClose 1 0\nInteger " +
                std::to_string(c.db.next_cookie) +
                " 0\nSetCookie 0 0\nClose 0 0\nCommit 0 0\nHalt 0 0\n");
  Index *p = c.index("i1");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->onError, OE_Fail);
  EXPECT_FALSE(p->autoIndex);

  // An ordinary index is not unique; older files get no key types.
  c.db.file_format = 3;
  r = compile(c, "CREATE INDEX i2 ON main.t(b)");
  ASSERT_EQ(r.nErr, 0) << r.err;
  std::string l = r.listing();
  EXPECT_NE(l.find("MakeIdxKey 1 0\nIdxPut 1 0 indexed"), std::string::npos) << l;
  EXPECT_EQ(l.find("SetCookie 0 0"), std::string::npos)
      << "the cookie changes once per transaction";

  EXPECT_EQ(error(c, "CREATE INDEX i1 ON t(b)"), "index i1 already exists");
  EXPECT_EQ(error(c, "CREATE INDEX t ON t(b)"), "there is already a table named t");
  EXPECT_EQ(error(c, "CREATE INDEX i3 ON nosuch(b)"), "no such table: nosuch");
  EXPECT_EQ(error(c, "CREATE INDEX i3 ON temp.t(b)"), "no such table: temp.t");
  EXPECT_EQ(error(c, "CREATE INDEX i3 ON t(b, nosuch)"), "table t has no column named nosuch");
  ASSERT_EQ(compile(c, "CREATE VIEW v AS SELECT 1 AS x").nErr, 0);
  EXPECT_EQ(error(c, "CREATE INDEX i3 ON v(x)"), "views may not be indexed");
  loadSchemaTables(c);
  EXPECT_EQ(error(c, "CREATE INDEX i3 ON tarvik_master(name)"),
            "table tarvik_master may not be indexed");
}

TEST(Build, DropTableAndIndexRemoveRowsTreesAndObjects) {
  Conn c;
  ASSERT_EQ(compile(c, "CREATE TABLE t(a UNIQUE, b)").nErr, 0);
  ASSERT_EQ(compile(c, "CREATE INDEX ib ON t(b)").nErr, 0);
  c.table("t")->tnum = 3;
  c.index("(t autoindex 1)")->tnum = 4;
  c.index("ib")->tnum = 6;
  tarvikCommitInternalChanges(&c.db);
  int cookie = c.db.aDb[0].schema_cookie;

  Compiled r = compile(c, "DROP INDEX ib");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(r.listing(),
            "Transaction 0 0\nVerifyCookie 0 " + std::to_string(cookie) +
                "\nTransaction 1 0\nInteger 0 0\nOpenWrite 0 2\n"
                "Rewind 0 14\nString 0 0 ib\nMemStore 1 1\nMemLoad 1 0\nColumn 0 1\nEq 0 13\n"
                "Next 0 8\nGoto 0 14\nDelete 0 0\nInteger " +
                std::to_string(c.db.next_cookie) +
                " 0\nSetCookie 0 0\nClose 0 0\nDestroy 6 0\nCommit 0 0\nHalt 0 0\n");
  EXPECT_EQ(c.index("ib"), nullptr);
  EXPECT_EQ(c.table("t")->pIndex, c.index("(t autoindex 1)"));
  EXPECT_EQ(c.table("t")->pIndex->pNext, nullptr);

  EXPECT_EQ(error(c, "DROP INDEX ib"), "no such index: ib");
  EXPECT_EQ(error(c, "DROP INDEX main.ib"), "no such index: main.ib");
  EXPECT_EQ(error(c, "DROP INDEX '(t autoindex 1)'"),
            "index associated with UNIQUE or PRIMARY KEY constraint cannot be dropped");

  tarvikCommitInternalChanges(&c.db);
  cookie = c.db.aDb[0].schema_cookie;
  r = compile(c, "DROP TABLE T");
  ASSERT_EQ(r.nErr, 0) << r.err;
  const std::string loop = "String 0 0 t\nMemStore 1 1\nMemLoad 1 0\nColumn 0 2\n";
  EXPECT_EQ(r.listing(),
            "Transaction 0 0\nVerifyCookie 0 " + std::to_string(cookie) +
                "\nTransaction 1 0\nInteger 0 0\nOpenWrite 0 2\nRewind 0 13\n" + loop +
                "Ne 0 12\nDelete 0 0\nNext 0 8\nInteger 1 0\nOpenWrite 0 2\nRewind 0 23\n" + loop +
                "Ne 0 22\nDelete 0 0\nNext 0 18\nInteger " + std::to_string(c.db.next_cookie) +
                " 0\nSetCookie 0 0\nClose 0 0\nDestroy 3 0\nDestroy 4 0\nCommit 0 0\nHalt 0 0\n");
  EXPECT_EQ(c.table("t"), nullptr);
  EXPECT_EQ(hashCount(&c.db.aDb[0].idxHash), 0);
  EXPECT_EQ(error(c, "DROP TABLE t"), "no such table: t");

  // A temporary table: only temp's schema table, no cookie.
  ASSERT_EQ(compile(c, "CREATE TEMP TABLE tt(a)").nErr, 0);
  r = compile(c, "DROP TABLE tt");
  ASSERT_EQ(r.nErr, 0) << r.err;
  std::string l = r.listing();
  EXPECT_EQ(l.find("SetCookie"), std::string::npos) << l;
  EXPECT_EQ(l.find("Integer 0 0\nOpenWrite 0 2"), std::string::npos) << l;
  EXPECT_NE(l.find("Destroy 0 1"), std::string::npos) << l;
}

TEST(Build, DropErrors) {
  Conn c;
  loadSchemaTables(c);
  ASSERT_EQ(compile(c, "CREATE TABLE t(a)").nErr, 0);
  ASSERT_EQ(compile(c, "CREATE VIEW v AS SELECT a FROM t").nErr, 0);
  Compiled r = compile(c, "DROP TABLE tarvik_master");
  EXPECT_EQ(r.err, "table tarvik_master may not be dropped");
  EXPECT_EQ(r.parseErrs, 2);
  EXPECT_EQ(error(c, "DROP TABLE tarvik_temp_master"),
            "table tarvik_temp_master may not be dropped");
  EXPECT_EQ(error(c, "DROP VIEW t"), "use DROP TABLE to delete table t");
  EXPECT_EQ(error(c, "DROP TABLE v"), "use DROP VIEW to delete view v");
  EXPECT_EQ(error(c, "DROP VIEW \"no such\""), "no such table: \"no such\"");
  r = compile(c, "DROP VIEW v");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(r.listing().find("Destroy"), std::string::npos) << "a view has no tree";
  EXPECT_EQ(c.table("v"), nullptr);
}

TEST(Build, Transactions) {
  Conn c;
  Compiled r = compile(c, "BEGIN ON CONFLICT REPLACE");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(r.listing(), "Transaction 0 0\nVerifyCookie 0 0\nTransaction 1 0\nHalt 0 0\n");
  EXPECT_TRUE(c.db.flags & TARVIK_InTrans);
  EXPECT_EQ(c.db.onError, OE_Replace);
  EXPECT_EQ(error(c, "BEGIN"), "cannot start a transaction within a transaction");

  // The transaction is open (as running BEGIN leaves it): statements neither
  // start nor commit one, and two schema changes change the cookie once.
  c.db.aDb[0].inTrans = c.db.aDb[1].inTrans = 1;
  r = compile(c, "CREATE TABLE t(a)");
  ASSERT_EQ(r.nErr, 0) << r.err;
  std::string l = r.listing();
  EXPECT_EQ(l.find("Transaction"), std::string::npos) << l;
  EXPECT_EQ(l.find("Commit"), std::string::npos) << l;
  EXPECT_NE(l.find("SetCookie 0 0"), std::string::npos) << l;
  r = compile(c, "CREATE TABLE u(a)");
  EXPECT_EQ(r.listing().find("SetCookie 0 0"), std::string::npos) << r.listing();

  // EXPLAIN COMMIT shows the Commit and leaves the transaction open.
  r = compile(c, "EXPLAIN COMMIT");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(r.listing(), "Commit 0 0\nHalt 0 0\n");
  EXPECT_TRUE(c.db.flags & TARVIK_InTrans);

  r = compile(c, "END");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(r.listing(), "Commit 0 0\nHalt 0 0\n");
  EXPECT_FALSE(c.db.flags & TARVIK_InTrans);
  EXPECT_EQ(c.db.onError, OE_Default);
  EXPECT_EQ(error(c, "COMMIT"), "cannot commit - no transaction is active");
  EXPECT_EQ(error(c, "ROLLBACK"), "cannot rollback - no transaction is active");

  c.db.aDb[0].inTrans = c.db.aDb[1].inTrans = 0;
  ASSERT_EQ(compile(c, "BEGIN").nErr, 0);
  r = compile(c, "ROLLBACK TRANSACTION");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(r.listing(), "Rollback 0 0\nHalt 0 0\n");
  EXPECT_FALSE(c.db.flags & TARVIK_InTrans);

  // Without a main database the transaction statements compile to nothing.
  Conn closed(false);
  r = compile(closed, "BEGIN");
  EXPECT_EQ(r.nErr, 0);
  EXPECT_EQ(r.listing(), "Halt 0 0\n");
  EXPECT_FALSE(closed.db.flags & TARVIK_InTrans);
}

TEST(Build, ViewsAndCreateTableAsSelect) {
  Conn c;
  ASSERT_EQ(compile(c, "CREATE TABLE a(b)").nErr, 0);
  ASSERT_EQ(compile(c, "CREATE TABLE c(b)").nErr, 0);
  Compiled r = compile(c, "CREATE VIEW v1 AS SELECT 1 AS x, a.b, c.b, 2+3 FROM a, c ;  ");
  ASSERT_EQ(r.nErr, 0) << r.err;
  std::string l = r.listing();
  EXPECT_NE(
      l.find("Integer 0 0\nPull 1 0\nString 0 0 view\nString 0 0 v1\nString 0 0 v1\n"
             "Dup 4 0\nString 0 0 CREATE VIEW v1 AS SELECT 1 AS x, a.b, c.b, 2+3 FROM a, c\n"),
      std::string::npos)
      << l;
  EXPECT_EQ(l.find("CreateTable"), std::string::npos);
  Table *v = c.table("v1");
  ASSERT_TRUE(v && v->pSelect);
  EXPECT_EQ(v->tnum, 0);
  ASSERT_EQ(v->nCol, 4);
  EXPECT_STREQ(v->aCol[0].zName, "x");
  EXPECT_STREQ(v->aCol[1].zName, "b");
  EXPECT_STREQ(v->aCol[2].zName, "b_1");
  EXPECT_STREQ(v->aCol[3].zName, "2+3");
  EXPECT_TRUE(c.db.aDb[0].flags & DB_UnresetViews);

  // Computed column names are dropped by a later DROP and recomputed on use.
  ASSERT_EQ(compile(c, "CREATE TABLE z(q)").nErr, 0);
  ASSERT_EQ(compile(c, "DROP TABLE z").nErr, 0);
  EXPECT_EQ(v->nCol, 0);
  EXPECT_FALSE(c.db.aDb[0].flags & DB_UnresetViews);
  Parse parse;
  memset(&parse, 0, sizeof(parse));
  parse.db = &c.db;
  EXPECT_EQ(tarvikViewGetColumnNames(&parse, v), 0);
  EXPECT_EQ(v->nCol, 4);
  v->nCol = -1;  // as while its own columns are being computed
  EXPECT_EQ(tarvikViewGetColumnNames(&parse, v), 1);
  EXPECT_STREQ(parse.zErrMsg, "view v1 is circularly defined");
  tarvikFree(parse.zErrMsg);
  v->nCol = 4;

  // The view's query owns its text: it outlives the statement.
  std::string sql = "CREATE TEMP VIEW v2 AS SELECT 'lit' AS y, f(1) WHERE 1";
  ASSERT_EQ(compile(c, sql.c_str()).nErr, 0);
  std::fill(sql.begin(), sql.end(), '#');
  Table *v2 = c.table("v2");
  EXPECT_EQ(v2->iDb, 1);
  EXPECT_EQ(std::string(v2->pSelect->pEList->a[0].pExpr->token.z,
                        v2->pSelect->pEList->a[0].pExpr->token.n),
            "'lit'");
  EXPECT_STREQ(v2->aCol[1].zName, "f(1)");

  // CREATE TABLE ... AS SELECT stores generated text and fills the table.
  r = compile(c, "CREATE TABLE t AS SELECT 1 AS x, 'a' AS [my col]");
  ASSERT_EQ(r.nErr, 0) << r.err;
  l = r.listing();
  EXPECT_NE(l.find("String 0 0 CREATE TABLE t(x,'my col')\n"), std::string::npos) << l;
  EXPECT_NE(l.find("Close 0 0\nInteger 0 0\nOpenWrite 1 0\n"), std::string::npos) << l;
  EXPECT_EQ(c.table("t")->nCol, 2);
  r = compile(c,
              "CREATE TEMP TABLE \"a long table name\" AS SELECT 1 AS [select], 2 AS \"9lives\", "
              "3 AS \"it's\", 4 AS \"\", 5 AS plain_name");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_NE(r.listing().find("String 0 0 CREATE TEMP TABLE 'a long table name'(\n  'select',\n  "
                             "'9lives',\n  'it''s',\n  '',\n  plain_name\n)\n"),
            std::string::npos)
      << r.listing();
  // The generated text compiles back to the same columns.
  ASSERT_EQ(compile(c, "CREATE TABLE cp('select', '9lives', 'it''s', '', plain_name)").nErr, 0);
  EXPECT_STREQ(c.table("cp")->aCol[2].zName, "it's");
  EXPECT_STREQ(c.table("cp")->aCol[3].zName, "");
}

TEST(Build, LoadingRebuildsTheSchemaWithoutCode) {
  Conn c;
  loadSchemaTables(c);
  EXPECT_EQ(c.table("tarvik_master")->tnum, 2);
  EXPECT_EQ(c.table("tarvik_master")->iDb, 0);
  EXPECT_EQ(c.table("TARVIK_TEMP_MASTER")->iDb, 1);
  EXPECT_EQ(c.table("tarvik_master")->nCol, 5);

  Compiled r = load(c, 0, 3, "CREATE TABLE t(a INT PRIMARY KEY, b UNIQUE, c)");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_EQ(r.listing(), "Halt 0 0\n");
  EXPECT_EQ(c.table("t")->tnum, 3);
  Index *pk = c.index("(t autoindex 1)");
  ASSERT_NE(pk, nullptr);
  EXPECT_EQ(pk->tnum, 0) << "given by its own schema row later";
  ASSERT_EQ(load(c, 0, 6, "CREATE UNIQUE INDEX ic ON t(c)").nErr, 0);
  EXPECT_EQ(c.index("ic")->tnum, 6);
  ASSERT_EQ(load(c, 0, 0, "CREATE VIEW v AS SELECT a FROM t").nErr, 0);
  EXPECT_EQ(c.table("v")->nCol, 0) << "view columns are computed on first use";
  // A temporary table of the same name hides the main one.
  ASSERT_EQ(load(c, 1, 3, "CREATE TABLE t(x)").nErr, 0);
  EXPECT_EQ(c.table("t")->iDb, 1);
  EXPECT_EQ(c.table("t", "main")->nCol, 3);
  // A damaged schema with two indices of one name is refused, not corrupted.
  r = load(c, 0, 9, "CREATE INDEX ic ON t(a)");
  EXPECT_EQ(r.err, "index ic already exists");
  EXPECT_EQ(c.index("ic")->tnum, 6);
  // The same stored row, loaded again for the main database, is a duplicate.
  EXPECT_EQ(load(c, 0, 3, "CREATE TABLE t(a)").err, "table t already exists");

  // Rolling back the changes throws the whole schema away.
  tarvikCommitInternalChanges(&c.db);
  tarvikRollbackInternalChanges(&c.db);
  EXPECT_NE(c.table("t"), nullptr) << "nothing to roll back";
  ASSERT_EQ(compile(c, "CREATE TABLE n(a)").nErr, 0);
  tarvikRollbackInternalChanges(&c.db);
  EXPECT_EQ(c.table("t"), nullptr);
  EXPECT_EQ(c.table("tarvik_master"), nullptr);
  EXPECT_EQ(hashCount(&c.db.aDb[0].idxHash), 0);
  EXPECT_EQ(c.db.flags & (TARVIK_Initialized | TARVIK_InternChanges), 0);
}

TEST(Build, ResetForgetsDetachedDatabasesAndKeepsOrder) {
  Conn c;
  Db *a = (Db *)tarvikMalloc(5 * sizeof(Db));
  memcpy(a, c.db.aDb, 2 * sizeof(Db));
  c.db.aDb = a;
  c.db.nDb = 5;
  static int freed = 0;
  for (int i = 2; i < 5; i++) {
    a[i].zName = tarvikMPrintf("aux%d", i);
    tarvikHashInit(&a[i].tblHash, TARVIK_HASH_STRING, 0);
    tarvikHashInit(&a[i].idxHash, TARVIK_HASH_STRING, 0);
    tarvikHashInit(&a[i].trigHash, TARVIK_HASH_STRING, 0);
    tarvikHashInit(&a[i].aFKey, TARVIK_HASH_STRING, 1);
    a[i].pAux = &freed;
    a[i].xFreeAux = [](void *p) { ++*(int *)p; };
  }
  a[4].pBt = c.db.aDb[1].pBt;  // stands in for an open file
  load(c, 4, 2, "CREATE TABLE x(a)");
  EXPECT_EQ(c.table("x", "aux4")->iDb, 4);
  EXPECT_EQ(error(c, "CREATE INDEX ix ON x(a)"), "table x may not have indices added");

  // Resetting one database keeps the others' schemas.
  tarvikResetInternalSchema(&c.db, 4);
  EXPECT_EQ(c.table("x"), nullptr);
  EXPECT_EQ(c.db.nDb, 5);

  tarvikResetInternalSchema(&c.db, 0);
  EXPECT_EQ(c.db.nDb, 3);
  EXPECT_STREQ(c.db.aDb[2].zName, "aux4");
  EXPECT_EQ(freed, 2);
  EXPECT_EQ(c.db.aDb[2].pAux, &freed) << "an open database keeps its data";
  a[4].pBt = nullptr;
  c.db.aDb[2].pBt = nullptr;
  tarvikResetInternalSchema(&c.db, 0);
  EXPECT_EQ(c.db.nDb, 2);
  EXPECT_EQ(c.db.aDb, c.db.aDbStatic) << "two entries move back inline";
  EXPECT_EQ(freed, 3);
}

// Faults the schema code must not have.
TEST(Build, MendedFaults) {
  Conn c;
  // EXPLAIN CREATE INDEX leaves no index behind on the table.
  ASSERT_EQ(compile(c, "CREATE TABLE t(a)").nErr, 0);
  Compiled r = compile(c, "EXPLAIN CREATE INDEX i ON t(a)");
  ASSERT_EQ(r.nErr, 0) << r.err;
  EXPECT_NE(r.listing().find("CreateIndex 0 0 ptr"), std::string::npos);
  EXPECT_EQ(c.table("t")->pIndex, nullptr);
  EXPECT_EQ(c.index("i"), nullptr);
  ASSERT_EQ(compile(c, "EXPLAIN CREATE TABLE e(a UNIQUE)").nErr, 0);
  EXPECT_EQ(c.table("e"), nullptr);
  EXPECT_EQ(c.index("(e autoindex 1)"), nullptr);

  // A user's index named like the automatic index of a later table.
  ASSERT_EQ(compile(c, "CREATE INDEX \"(u autoindex 1)\" ON t(a)").nErr, 0);
  EXPECT_EQ(error(c, "CREATE TABLE u(b UNIQUE)"), "index (u autoindex 1) already exists");
  EXPECT_EQ(c.index("(u autoindex 1)")->pTable, c.table("t"));

  // The key of a column constraint is the column itself, whatever its name.
  ASSERT_EQ(compile(c, "CREATE TABLE q(x, \"'a'\" UNIQUE)").nErr, 0);
  Index *qi = c.index("(q autoindex 1)");
  ASSERT_NE(qi, nullptr);
  EXPECT_EQ(qi->aiColumn[0], 1);

  // The cookie step wraps instead of overflowing.
  c.db.aDb[0].schema_cookie = c.db.next_cookie = INT_MAX;
  tarvikCommitInternalChanges(&c.db);
  ASSERT_EQ(compile(c, "CREATE TABLE w(a)").nErr, 0);
  EXPECT_LT(c.db.next_cookie, INT_MIN + 257);
}

TEST(Build, AllocationFailuresNeverCrashOrLeak) {
  const char *const statements[] = {
      "CREATE TABLE t(a INTEGER PRIMARY KEY, b VARCHAR(10) DEFAULT 'x' UNIQUE, c NOT NULL, "
      "FOREIGN KEY(b) REFERENCES u(c), UNIQUE(b, c) ON CONFLICT REPLACE)",
      "CREATE TABLE s AS SELECT 1 AS x, y.z, 3",
      "CREATE VIEW v AS SELECT a, (SELECT 1 FROM t AS q WHERE q.a IN (1, 2)) FROM t, "
      "(SELECT 2 UNION SELECT 3) AS w LEFT JOIN u USING (a) ORDER BY 1",
      "CREATE UNIQUE INDEX i ON base(a, b)",
      "DROP TABLE base",
      "DROP INDEX bi",
      "BEGIN",
  };
  int injected = 0;
  for (const char *zSql : statements) {
    for (int mode = 0; mode < 3; mode++) {  // one failure, all from then on, while loading
      bool persist = mode == 1, loading = mode == 2;
      if (loading && strncmp(zSql, "CREATE", 6) != 0) continue;
      for (int n = 1; n < 10000; n++) {
        long before = tarvikTestMallocOutstanding();
        int failures;
        {
          Conn c;
          ASSERT_EQ(compile(c, "CREATE TABLE base(a, b REFERENCES u)").nErr, 0);
          ASSERT_EQ(compile(c, "CREATE INDEX bi ON base(b)").nErr, 0);
          tarvikTestMallocFail(n, persist);
          if (loading) {
            load(c, 0, 5, zSql);
          } else {
            compile(c, zSql);
          }
          failures = tarvikTestMallocFailures();
          tarvikTestMallocFail(0, false);
          tarvik_malloc_failed = 0;
        }
        ASSERT_EQ(tarvikTestMallocOutstanding(), before)
            << zSql << " failing allocation " << n << " mode " << mode;
        injected += failures;
        if (failures == 0) break;
      }
    }
  }
  EXPECT_GT(injected, 300) << "the statements allocate; failures must have been injected";
}

}  // namespace
