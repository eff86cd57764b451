// A connection with a schema built from real CREATE statements, and the
// listing of the program a statement compiles to, for tests of the code
// generators.
#ifndef TARVIK_TEST_CODEGEN_SUPPORT_H
#define TARVIK_TEST_CODEGEN_SUPPORT_H

#include <string>
#include <vector>

#include "tarvikInt.h"

namespace tarviktest {

// main and temp with their hashes and in-memory trees; schema loaded (empty).
struct SchemaConn {
  tarvik db;
  SchemaConn();
  ~SchemaConn();
  SchemaConn(const SchemaConn &) = delete;
  SchemaConn &operator=(const SchemaConn &) = delete;
  // Replays a stored CREATE statement as the schema loader does (no code);
  // the object gets root page tnum.  Returns the error text, "" on success.
  std::string load(const char *zSql, int tnum, int iDb = 0);
  Table *table(const char *z) { return tarvikFindTable(&db, z, nullptr); }
};

struct Program {
  int nErr = 0;
  std::string err;
  // One line per instruction: "Name p1 p2[ p3]".  Code that other modules
  // emitted into the program through the row-changing statements
  // (expressions, WHERE loops, SELECTs) is shown as one line "<Kind>";
  // jump targets are line numbers of this listing.
  std::vector<std::string> ops;
  std::string listing() const;
};

// Compiles the first statement of zSql.
Program compileSql(SchemaConn &c, const char *zSql);

}  // namespace tarviktest

#endif
