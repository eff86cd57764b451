// Calls SQL functions the way the machine does, without the machine: a bare
// connection with the function registry, look-up as the expression compiler
// does it, type names for functions that ask for them, the aggregate state
// buffer a group cell provides, and results stringified as the machine
// stringifies them (integers "%d", reals "%.15g").
#ifndef TARVIK_FUNC_SUPPORT_H
#define TARVIK_FUNC_SUPPORT_H

#include <optional>
#include <string>
#include <vector>

#include "tarvikInt.h"

// A connection with just what functions need: the registry (with the
// built-ins unless told otherwise) and the counters.  Frees its functions.
struct FuncTestDb {
  tarvik db{};
  explicit FuncTestDb(bool builtins = true);
  ~FuncTestDb();
  FuncTestDb(const FuncTestDb &) = delete;
  FuncTestDb &operator=(const FuncTestDb &) = delete;
  tarvik *get() { return &db; }
};

// One argument: a text or NULL.  Its type name (for functions with
// includeTypes) is "numeric" when the text is a number, else "text";
// FArg::text() forces "text".
struct FArg {
  const char *z;
  bool forceText = false;
  FArg(const char *s) : z(s) {}
  FArg(std::nullptr_t) : z(nullptr) {}
  static FArg text(const char *s) {
    FArg a(s);
    a.forceText = true;
    return a;
  }
};

// The outcome of a call.  error is empty unless the call failed: a look-up
// failure ("no such function: x", "wrong number of arguments to function
// x()", "misuse of aggregate function x()") or an error the function
// reported (its text, or "user function error").
struct FuncOutcome {
  std::optional<std::string> value;  // nullopt: NULL
  std::string error;
};

FuncOutcome callScalar(tarvik *db, const char *zName, const std::vector<FArg> &args);
// Runs one group: every row through the step function, then finalize.  The
// argument count is nArg (rows may be empty).
FuncOutcome callAggregate(tarvik *db, const char *zName, int nArg,
                          const std::vector<std::vector<FArg>> &rows);

// Shorthands that fail the current test on an error.
std::optional<std::string> fn(tarvik *db, const char *zName, const std::vector<FArg> &args);
std::optional<std::string> agg(tarvik *db, const char *zName, int nArg,
                               const std::vector<std::vector<FArg>> &rows);

#endif  // TARVIK_FUNC_SUPPORT_H
