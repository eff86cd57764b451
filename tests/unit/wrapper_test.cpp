// The object wrapper: field values, record sets over real queries, editing
// through queued SQL, search, transactions and error reporting.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "tarvikdataset.h"

using namespace mornet;

namespace {

// ------------------------------------------------------------ field_value

TEST(FieldValue, DefaultIsEmptyNonNullText) {
  field_value v;
  EXPECT_EQ(v.get_fType(), ft_String);
  EXPECT_FALSE(v.get_isNull());
  EXPECT_EQ(v.get_asString(), "");
  EXPECT_EQ(v.get_asLong(), 0);
  EXPECT_EQ(v.get_asChar(), 0);
  EXPECT_EQ(v.gft(), "string");
}

TEST(FieldValue, TypeNames) {
  EXPECT_EQ(field_value(true).gft(), "bool");
  EXPECT_EQ(field_value('x').gft(), "char");
  EXPECT_EQ(field_value(short(1)).gft(), "short");
  EXPECT_EQ(field_value((unsigned short)1).gft(), "");
  EXPECT_EQ(field_value(1).gft(), "long");
  EXPECT_EQ(field_value(1L).get_fType(), ft_Long);
  EXPECT_EQ(field_value(1UL).gft(), "");
  EXPECT_EQ(field_value(1UL).get_field_type(), ft_ULong);
  EXPECT_EQ(field_value(1.0f).gft(), "float");
  EXPECT_EQ(field_value(1.0).gft(), "double");
}

TEST(FieldValue, BooleanTexts) {
  EXPECT_TRUE(field_value("True").get_asBool());
  EXPECT_FALSE(field_value("true").get_asBool());
  field_value t(true), f(false);
  EXPECT_EQ(t.get_asString(), "True");
  EXPECT_EQ(f.get_asString(), "False");
  EXPECT_EQ(t.get_asChar(), 'T');
  EXPECT_EQ(f.get_asChar(), 'F');
  EXPECT_EQ(t.get_asLong(), 1);
  EXPECT_DOUBLE_EQ(t.get_asDouble(), 1.0);
  EXPECT_TRUE(field_value('T').get_asBool());
  EXPECT_FALSE(field_value('t').get_asBool());
}

TEST(FieldValue, NumericConversions) {
  field_value d(2.5);
  EXPECT_EQ(d.get_asString(), "2.500000");
  EXPECT_EQ(d.get_asLong(), 2);
  EXPECT_EQ(d.get_asChar(), '2');
  EXPECT_TRUE(d.get_asBool());
  EXPECT_EQ(field_value(-2.7).get_asInteger(), -2);
  EXPECT_EQ(field_value(3000000000.0).get_asULong(), 3000000000UL);
  EXPECT_EQ(field_value(65537.9).get_asShort(), 1);
  EXPECT_EQ(field_value(1.5f).get_asString(), "1.500000");

  EXPECT_EQ(field_value(short(-7)).get_asString(), "-7");
  EXPECT_EQ(field_value(short(-7)).get_asChar(), '-');
  EXPECT_EQ(field_value(short(-1)).get_asUShort(), 65535);
  EXPECT_EQ(field_value(70000).get_asShort(), 4464);
  EXPECT_EQ(field_value(70000).get_asUShort(), 4464);
  EXPECT_EQ(field_value(-5).get_asDouble(), -5.0);
  EXPECT_FALSE(field_value(0).get_asBool());

  EXPECT_EQ(field_value("42abc").get_asLong(), 42);
  EXPECT_EQ(field_value("70000").get_asShort(), 4464);
  EXPECT_DOUBLE_EQ(field_value("2.25x").get_asDouble(), 2.25);
  EXPECT_EQ(field_value("xyz").get_asChar(), 'x');

  // Characters are signed when widened.
  field_value c('\xff');
  EXPECT_EQ(c.get_asLong(), -1);
  EXPECT_DOUBLE_EQ(c.get_asDouble(), -1.0);
  EXPECT_EQ(c.get_asUShort(), 65535);
  EXPECT_EQ(field_value('A').get_asString(), "A");

  // An unsigned value prints as unsigned.
  EXPECT_EQ(field_value(3000000000UL).get_asString(), "3000000000");
  EXPECT_DOUBLE_EQ(field_value(3000000000UL).get_asDouble(), 3000000000.0);
}

TEST(FieldValue, SettersKeepNullMark) {
  field_value v;
  v.set_isNull();
  v.set_asString("x");
  EXPECT_TRUE(v.get_isNull());
  EXPECT_EQ(v.get_asString(), "x");
  v = "y";
  EXPECT_EQ(v.get_asString(), "y");
  EXPECT_TRUE(v.get_isNull());
  v.set_asDouble(1.0);
  EXPECT_EQ(v.get_fType(), ft_Double);
  v.set_asInteger(3);
  EXPECT_EQ(v.get_fType(), ft_Long);
  v.set_asUShort(3);
  EXPECT_EQ(v.get_fType(), ft_UShort);
}

TEST(FieldValue, CopiesCarryTypeValueAndNull) {
  field_value n("");
  n.set_isNull();
  field_value copy(n);
  EXPECT_TRUE(copy.get_isNull());
  field_value target("abc");
  target = n;
  EXPECT_TRUE(target.get_isNull());
  EXPECT_EQ(target.get_asString(), "");

  field_value d(2.5);
  field_value e("x");
  e = d;
  EXPECT_EQ(e.get_fType(), ft_Double);
  EXPECT_EQ(e.get_asDouble(), 2.5);
  EXPECT_FALSE(e.get_isNull());
  e = e;
  EXPECT_EQ(e.get_asDouble(), 2.5);
}

TEST(DbErrors, Messages) {
  EXPECT_STREQ(DbErrors().getMsg(), "Unknown Database Error");
  EXPECT_STREQ(DbErrors("code %d", 7).getMsg(), "Database Error: code 7");
}

// ---------------------------------------------------------------- database

class WrapperDb : public ::testing::Test {
 protected:
  std::string dir, path;
  TarvikDatabase db;

  void SetUp() override {
    char tmpl[] = "/tmp/tvwrapXXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir = tmpl;
    path = dir + "/test.db";
    db.setDatabase(path.c_str());
    ASSERT_EQ(db.connect(), 1);
    TarvikDataset ds(&db);
    ASSERT_EQ(ds.exec("CREATE TABLE t(id INTEGER, name TEXT)"), 1);
    ASSERT_EQ(ds.exec("INSERT INTO t VALUES(1,'a'); INSERT INTO t VALUES(2,'b');"
                      "INSERT INTO t VALUES(3,'b'); INSERT INTO t VALUES(4,NULL);"),
              1);
  }
  void TearDown() override {
    db.disconnect();
    unlink(path.c_str());
    unlink((path + "-journal").c_str());
    rmdir(dir.c_str());
  }
  int count(const char *where = "") {
    TarvikDataset ds(&db);
    EXPECT_TRUE(ds.query(std::string("SELECT count(*) FROM t ") + where));
    return ds.fv("count(*)").get_asInteger();
  }
};

TEST(Database, Defaults) {
  TarvikDatabase db;
  EXPECT_FALSE(db.isActive());
  EXPECT_EQ(db.status(), 0);
  EXPECT_STREQ(db.getErrorMsg(), "Unknown database error");
  EXPECT_STREQ(db.getHostName(), "localhost");
  EXPECT_STREQ(db.getPort(), "");
  EXPECT_STREQ(db.getDatabase(), "tarvik.db");
  EXPECT_STREQ(db.getLogin(), "root");
  EXPECT_STREQ(db.getPasswd(), "");
  EXPECT_STREQ(db.getSequenceTable(), "db_sequence");
  EXPECT_EQ(db.nextid("x"), -1);
  EXPECT_EQ(db.getHandle(), nullptr);
}

TEST(Database, ErrorTexts) {
  TarvikDatabase db;
  EXPECT_EQ(db.setErr(19, "q"), 19);
  EXPECT_STREQ(db.getErrorMsg(), "Abort due to contraint violation\nQuery: q\n");
  db.setErr(0, "x");
  EXPECT_STREQ(db.getErrorMsg(), "Successful result\nQuery: x\n");
  db.setErr(2, "x");
  EXPECT_STREQ(db.getErrorMsg(), "An internal logic error in Tarvik\nQuery: x\n");
  db.setErr(20, "");
  EXPECT_STREQ(db.getErrorMsg(), "Data type mismatch\nQuery: \n");
  db.setErr(21, "x");
  EXPECT_STREQ(db.getErrorMsg(), "Undefined Tarvik error\nQuery: x\n");
  db.setErr(-1, nullptr);
  EXPECT_STREQ(db.getErrorMsg(), "Undefined Tarvik error\nQuery: \n");
}

TEST(Database, ConnectFailureIsReported) {
  TarvikDatabase db;
  EXPECT_EQ(db.connectFull("h", "1", "/nonexistent-dir/x/y.db", "u", "p"), 0);
  EXPECT_STREQ(db.getHostName(), "h");
  EXPECT_STREQ(db.getPort(), "1");
  EXPECT_STREQ(db.getLogin(), "u");
  EXPECT_STREQ(db.getPasswd(), "p");
  EXPECT_FALSE(db.isActive());
  EXPECT_EQ(std::string(db.getErrorMsg()).rfind("Unable to open the database file", 0), 0u);
  // An inactive database drops nothing.
  EXPECT_EQ(db.drop(), 0);
}

TEST_F(WrapperDb, ConnectDisconnectDrop) {
  EXPECT_TRUE(db.isActive());
  EXPECT_EQ(db.status(), 1);
  EXPECT_NE(db.getHandle(), nullptr);
  db.disconnect();
  EXPECT_FALSE(db.isActive());
  EXPECT_EQ(db.getHandle(), nullptr);
  EXPECT_EQ(db.drop(), 0);
  EXPECT_EQ(access(path.c_str(), F_OK), 0);  // inactive: file kept
  EXPECT_EQ(db.create(), 1);
  EXPECT_EQ(db.drop(), 0);
  EXPECT_NE(access(path.c_str(), F_OK), 0);
  EXPECT_EQ(db.connect(), 1);  // for TearDown's symmetry
}

TEST_F(WrapperDb, ExecAndErrors) {
  std::unique_ptr<Dataset> ds(db.CreateDataset());
  EXPECT_EQ(ds->getDatabase(), &db);
  EXPECT_EQ(ds->exec("SELECT id FROM t WHERE id=2"), 1);
  const result_set &r = ds->getExecRes();
  ASSERT_EQ(r.records.size(), 1u);
  EXPECT_EQ(r.record_header.at(0).name, "id");
  EXPECT_EQ(r.records.at(0).at(0).get_asString(), "2");

  EXPECT_EQ(ds->exec("INSERT INTO nosuch VALUES(1)"), 5);
  EXPECT_STREQ(db.getErrorMsg(),
               "SQL error or missing database\nQuery: INSERT INTO nosuch VALUES(1)\n");
  EXPECT_NE(static_cast<TarvikDataset *>(ds.get())->engine_error(), nullptr);

  ds->setSqlParams("DELETE FROM t WHERE id=%d", sqlExec, 4);
  EXPECT_STREQ(ds->getExecSql(), "DELETE FROM t WHERE id=4");
  EXPECT_EQ(ds->exec(), 1);
  EXPECT_EQ(count(), 3);

  TarvikDataset orphan;
  EXPECT_EQ(orphan.exec("SELECT 1"), 5);
  EXPECT_FALSE(orphan.query("SELECT 1"));
  EXPECT_EQ(orphan.nextid("s"), -1);
  EXPECT_EQ(orphan.handle(), nullptr);
}

// ------------------------------------------------------ record-set reading

TEST_F(WrapperDb, QueryFieldsAndNavigation) {
  TarvikDataset ds(&db);
  EXPECT_EQ(ds.get_state(), dsInactive);
  EXPECT_TRUE(ds.query("SELECT id, name FROM t ORDER BY id"));
  EXPECT_TRUE(ds.isActive());
  EXPECT_EQ(ds.get_state(), dsSelect);
  EXPECT_EQ(ds.num_rows(), 4);
  EXPECT_EQ(ds.field_count(), 2);
  EXPECT_EQ(ds.fieldCount(), 2);
  EXPECT_STREQ(ds.fieldName(1), "name");
  EXPECT_EQ(ds.fieldName(2), nullptr);
  EXPECT_EQ(ds.fieldSize(7), 0);
  EXPECT_EQ(ds.fieldIndex("name"), 1);
  EXPECT_EQ(ds.fieldIndex("NAME"), -1);
  EXPECT_EQ(ds.fv("NAME").get_asString(), "a");
  EXPECT_EQ(ds.get_field_value("nosuch").get_asString(), "");
  EXPECT_FALSE(ds.bof());
  EXPECT_FALSE(ds.eof());

  ds.prev();
  EXPECT_TRUE(ds.bof());
  EXPECT_EQ(ds.fv("id").get_asInteger(), 1);
  ds.next();
  EXPECT_FALSE(ds.bof());
  EXPECT_EQ(ds.fv("id").get_asInteger(), 2);
  ds.last();
  EXPECT_EQ(ds.fv("id").get_asInteger(), 4);
  EXPECT_TRUE(ds.fv("name").get_isNull());  // NULL reads as a marked empty text
  EXPECT_EQ(ds.fv("name").get_asString(), "");
  ds.next();
  EXPECT_TRUE(ds.eof());
  EXPECT_EQ(ds.fv("id").get_asInteger(), 4);
  ds.first();
  EXPECT_EQ(ds.fv("id").get_asInteger(), 1);

  EXPECT_TRUE(ds.seek(100));
  EXPECT_EQ(ds.fv("id").get_asInteger(), 4);
  EXPECT_FALSE(ds.seek(0));
  EXPECT_EQ(ds.fv("id").get_asInteger(), 1);
  EXPECT_TRUE(ds.goto_rec(3));
  EXPECT_EQ(ds.fv("id").get_asInteger(), 3);
  EXPECT_FALSE(ds.goto_rec(1));
  EXPECT_EQ(ds.fv("id").get_asInteger(), 1);

  // Walking the whole set.
  std::string seen;
  for (ds.first(); !ds.eof(); ds.next()) seen += ds.fv("id").get_asString();
  EXPECT_EQ(seen, "1234");

  ds.close();
  EXPECT_EQ(ds.get_state(), dsInactive);
  EXPECT_EQ(ds.field_count(), 0);
  EXPECT_TRUE(ds.eof());
  EXPECT_EQ(ds.fv("id").get_asString(), "");
  EXPECT_FALSE(ds.seek(1));
}

TEST_F(WrapperDb, QueryAcceptsOnlySelects) {
  TarvikDataset ds(&db);
  EXPECT_FALSE(ds.query("UPDATE t SET name='x'"));
  EXPECT_FALSE(ds.query("UPDATE t SET name='select'"));  // mentions it, is not one
  EXPECT_FALSE(ds.query("selector"));
  EXPECT_EQ(count("WHERE name='x' OR name='select'"), 0);
  EXPECT_TRUE(ds.query("  Select id FROM t"));
  EXPECT_EQ(ds.num_rows(), 4);
  EXPECT_FALSE(ds.query("SELECT * FROM nosuch"));
  EXPECT_EQ(std::string(db.getErrorMsg()).rfind("SQL error or missing database", 0), 0u);
  EXPECT_FALSE(ds.isActive());
}

TEST_F(WrapperDb, EmptyResultKeepsColumns) {
  TarvikDataset ds(&db);
  ASSERT_TRUE(ds.open("SELECT id, name FROM t WHERE id > 100"));
  EXPECT_EQ(ds.num_rows(), 0);
  EXPECT_TRUE(ds.eof());
  EXPECT_TRUE(ds.bof());
  ASSERT_EQ(ds.field_count(), 2);
  EXPECT_STREQ(ds.fieldName(0), "id");
  EXPECT_EQ(ds.fv("id").get_asString(), "");
  EXPECT_FALSE(ds.fv("id").get_isNull());
  ds.next();
  EXPECT_TRUE(ds.eof());
  EXPECT_FALSE(ds.seek(3));

  TarvikDataset none(&db);
  EXPECT_FALSE(none.open());
  EXPECT_EQ(none.get_state(), dsInactive);
}

TEST_F(WrapperDb, LocateAndFindNext) {
  TarvikDataset ds(&db);
  ASSERT_TRUE(ds.query("SELECT id, name FROM t ORDER BY id"));
  ds.next();
  EXPECT_FALSE(ds.locate());  // empty list: no move
  EXPECT_EQ(ds.fv("id").get_asInteger(), 2);

  ParamList p;
  p["NAME"] = field_value("b");
  EXPECT_TRUE(ds.locate(p));
  EXPECT_EQ(ds.fv("id").get_asInteger(), 2);
  EXPECT_TRUE(ds.findNext());
  EXPECT_EQ(ds.fv("id").get_asInteger(), 3);
  EXPECT_FALSE(ds.findNext());
  EXPECT_TRUE(ds.eof());

  p["id"] = field_value(3);
  ds.setParamList(p);
  EXPECT_TRUE(ds.locate());
  EXPECT_EQ(ds.fv("id").get_asInteger(), 3);
  p["id"] = field_value(1);
  EXPECT_FALSE(ds.locate(p));
}

TEST_F(WrapperDb, RefreshKeepsPosition) {
  TarvikDataset ds(&db);
  ASSERT_TRUE(ds.open("SELECT id FROM t ORDER BY id"));
  ds.seek(2);
  ASSERT_EQ(ds.exec("INSERT INTO t VALUES(5,'e')"), 1);
  ds.refresh();
  EXPECT_EQ(ds.num_rows(), 5);
  EXPECT_EQ(ds.fv("id").get_asInteger(), 3);
}

// ---------------------------------------------------------------- editing

// Reaches the placeholder substitution directly.
class ParseDataset : public TarvikDataset {
 public:
  using TarvikDataset::f_old;
  using TarvikDataset::TarvikDataset;
  std::string parse(std::string s) {
    parse_sql(s);
    return s;
  }
};

TEST_F(WrapperDb, PlaceholdersMatchWholeNamesAndQuote) {
  ParseDataset ds(&db);
  ASSERT_TRUE(ds.query("SELECT id AS ID, name AS IDX FROM t WHERE id=4"));
  EXPECT_EQ(ds.parse("a :OLD_ID b :OLD_IDX c :OLD_ID_Z :OLD_ID"), "a '4' b NULL c :OLD_ID_Z '4'");
  ds.edit();
  ASSERT_TRUE(ds.sf("idx", field_value("it's")));
  EXPECT_EQ(ds.parse(":NEW_IDX/:OLD_IDX"), "'it''s'/NULL");
  // An inserted value is never scanned for further tokens.
  ASSERT_TRUE(ds.sf("IDX", field_value(":NEW_ID")));
  EXPECT_EQ(ds.parse(":NEW_IDX"), "':NEW_ID'");
}

TEST_F(WrapperDb, EditWritesThroughUpdateQueue) {
  ParseDataset ds(&db);
  ASSERT_TRUE(ds.open("SELECT id, name FROM t ORDER BY id"));
  ds.add_update_sql("UPDATE t SET name=:NEW_name WHERE id=:OLD_id");
  EXPECT_FALSE(ds.sf("name", field_value("z")));  // not editing yet
  ds.next();
  ds.edit();
  EXPECT_EQ(ds.get_state(), dsEdit);
  // A value that would end the literal early stays one value.
  const char *evil = "x' WHERE 1=1 --";
  EXPECT_TRUE(ds.sf("NAME", field_value(evil)));
  EXPECT_EQ(ds.fv("name").get_asString(), evil);
  EXPECT_EQ(ds.f_old("name").get_asString(), "b");
  EXPECT_TRUE(ds.post());
  EXPECT_EQ(ds.get_state(), dsSelect);
  EXPECT_EQ(count((std::string("WHERE name='x'' WHERE 1=1 --'")).c_str()), 1);
  EXPECT_EQ(count("WHERE name='a'"), 1);
  EXPECT_FALSE(db.in_transaction());

  // Editing the NULL row keeps NULL in the untouched column.
  ds.clear_update_sql();
  ds.add_update_sql("UPDATE t SET id=:NEW_id, name=:NEW_name WHERE id=:OLD_id");
  ds.last();
  ds.edit();
  ds.sf("id", field_value(40));
  EXPECT_TRUE(ds.post());
  EXPECT_EQ(count("WHERE id=40 AND name IS NULL"), 1);
}

TEST_F(WrapperDb, InsertAndDeleteThroughQueues) {
  TarvikDataset ds(&db);
  ASSERT_TRUE(ds.open("SELECT id, name FROM t ORDER BY id"));
  ds.set_autorefresh(true);
  ds.add_insert_sql("INSERT INTO t VALUES(:NEW_id, :NEW_name)");
  ds.last();
  ds.append();
  EXPECT_EQ(ds.get_state(), dsInsert);
  EXPECT_FALSE(ds.fv("name").get_isNull());  // the blank record is not the NULL row
  ds.sf("id", field_value(5));
  ds.sf("name", field_value("e"));
  EXPECT_TRUE(ds.post());
  EXPECT_EQ(ds.num_rows(), 5);  // refreshed
  EXPECT_EQ(ds.fv("id").get_asInteger(), 5);

  ds.add_delete_sql("DELETE FROM t WHERE id=:OLD_id");
  ParamList p;
  p["id"] = field_value("2");
  ASSERT_TRUE(ds.locate(p));
  EXPECT_TRUE(ds.deletion());
  EXPECT_EQ(ds.num_rows(), 4);
  EXPECT_EQ(count("WHERE id=2"), 0);

  ds.edit();
  EXPECT_FALSE(ds.deletion());  // only from the select state
  ds.cancel();
  EXPECT_EQ(ds.get_state(), dsSelect);
}

TEST_F(WrapperDb, CancelRestoresCurrentRecord) {
  TarvikDataset ds(&db);
  ASSERT_TRUE(ds.open("SELECT id, name FROM t ORDER BY id"));
  ds.insert();
  EXPECT_EQ(ds.fv("id").get_asString(), "");
  ds.cancel();
  EXPECT_EQ(ds.get_state(), dsSelect);
  EXPECT_EQ(ds.fv("id").get_asInteger(), 1);
  EXPECT_FALSE(ds.post());  // nothing to post
}

TEST_F(WrapperDb, FailingQueueRollsBackAndReports) {
  TarvikDataset ds(&db);
  ASSERT_TRUE(ds.open("SELECT id, name FROM t ORDER BY id"));
  ds.add_update_sql("UPDATE t SET name=:NEW_name WHERE id=:OLD_id");
  ds.add_update_sql("UPDATE nosuch SET x=1");
  ds.edit();
  ds.sf("name", field_value("changed"));
  EXPECT_FALSE(ds.post());
  EXPECT_EQ(ds.get_state(), dsEdit);  // the edit can be fixed or cancelled
  EXPECT_STREQ(db.getErrorMsg(), "SQL error or missing database\nQuery: UPDATE nosuch SET x=1\n");
  EXPECT_FALSE(db.in_transaction());
  EXPECT_EQ(count("WHERE name='changed'"), 0);
  ds.cancel();
  EXPECT_EQ(ds.get_state(), dsSelect);
}

TEST_F(WrapperDb, CallerTransactionIsLeftToTheCaller) {
  TarvikDataset ds(&db);
  ASSERT_TRUE(ds.open("SELECT id, name FROM t ORDER BY id"));
  ds.add_update_sql("UPDATE t SET name=:NEW_name WHERE id=:OLD_id");

  db.start_transaction();
  EXPECT_TRUE(db.in_transaction());
  db.start_transaction();  // refused by the engine; still one transaction
  EXPECT_TRUE(db.in_transaction());
  ds.edit();
  ds.sf("name", field_value("t1"));
  EXPECT_TRUE(ds.post());
  EXPECT_TRUE(db.in_transaction());  // not committed behind the caller's back
  db.rollback_transaction();
  EXPECT_FALSE(db.in_transaction());
  EXPECT_EQ(count("WHERE name='t1'"), 0);

  // Without autocommit each statement commits on its own.
  ds.set_autocommit(false);
  EXPECT_FALSE(ds.get_autocommit());
  ds.edit();
  ds.sf("name", field_value("t2"));
  EXPECT_TRUE(ds.post());
  EXPECT_FALSE(db.in_transaction());
  EXPECT_EQ(count("WHERE name='t2'"), 1);

  db.start_transaction();
  ASSERT_EQ(ds.exec("DELETE FROM t"), 1);
  db.commit_transaction();
  EXPECT_FALSE(db.in_transaction());
  EXPECT_EQ(count(), 0);
}

TEST_F(WrapperDb, NextIdFromSequenceTable) {
  TarvikDataset ds(&db);
  EXPECT_EQ(ds.nextid("s"), -1);  // no sequence table yet
  ASSERT_EQ(ds.exec("CREATE TABLE db_sequence(nextid INTEGER, seq_name TEXT)"), 1);
  EXPECT_EQ(ds.nextid("s"), 1);
  EXPECT_EQ(ds.nextid("s"), 2);
  EXPECT_EQ(db.nextid("o'x"), 1);  // the name is quoted, not spliced
  EXPECT_EQ(db.nextid("o'x"), 2);
  EXPECT_EQ(ds.nextid("s"), 3);
  ASSERT_EQ(ds.exec("SELECT count(*) FROM db_sequence"), 1);
  EXPECT_EQ(ds.getExecRes().records.at(0).at(0).get_asInteger(), 2);
}

}  // namespace
