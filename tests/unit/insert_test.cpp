#include <gtest/gtest.h>

#include "codegen_support.h"
#include "tarvikInt.h"

using tarviktest::compileSql;
using tarviktest::Program;
using tarviktest::SchemaConn;

namespace {

TEST(Insert, Probe) {
  const char *az[] = {
      "INSERT INTO t2 VALUES(NULL, 'x', 'y')",
      "INSERT INTO t2(b, a) VALUES('x', 5)",
      "INSERT OR IGNORE INTO t2 VALUES(1, 2, 3)",
      "INSERT OR REPLACE INTO t2 VALUES(1, 2, 3)",
      "INSERT INTO t3 SELECT * FROM t1",
      "INSERT INTO t3(x) SELECT a FROM t1",
  };
  for (const char *z : az) {
    SchemaConn c;
    ASSERT_EQ(c.load("CREATE TABLE t1(a, b NOT NULL, c UNIQUE)", 3), "");
    ASSERT_EQ(c.load("CREATE TABLE t2(a INTEGER PRIMARY KEY, b NOT NULL ON CONFLICT REPLACE DEFAULT 7, c)", 4), "");
    ASSERT_EQ(c.load("CREATE UNIQUE INDEX i2 ON t2(c, a)", 5), "");
    ASSERT_EQ(c.load("CREATE TABLE t3(x, y, z)", 6), "");
    c.db.flags |= TARVIK_CountRows;
    Program r = compileSql(c, z);
    printf("== %s\n%s%s\n", z, r.err.c_str(), r.listing().c_str());
  }
}

}  // namespace
