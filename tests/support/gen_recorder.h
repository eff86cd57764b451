// Records the calls the parser makes to the code generators (through the
// test hook of the generator placeholders) as text, and runs SQL through
// tarvikRunParser with a fresh parse context.
#ifndef TARVIK_TEST_GEN_RECORDER_H
#define TARVIK_TEST_GEN_RECORDER_H

#include <functional>
#include <string>
#include <vector>

#include "tarvikInt.h"

namespace tarviktest {

// Text forms of parse values: expressions as (KIND token operands...),
// lists in brackets.  Null is "null".
std::string exprText(const Expr *p);
std::string exprListText(const ExprList *p);
std::string srcListText(const SrcList *p);
std::string idListText(const IdList *p);
std::string selectText(const Select *p);
std::string stepText(const TriggerStep *p);
std::string tokenText(const Token *p);

struct ParseRun {
  std::vector<std::string> calls;  // "Name(arg, arg, ...)" in call order
  int nErr = 0;                    // tarvikRunParser's result
  int rc = 0;                      // the context's rc afterwards
  int parseErrs = 0;               // the context's nErr afterwards
  std::string errMsg;              // message handed back, "" if none
  bool hadErrMsg = false;
  long tailOffset = -1;                  // zTail - zSql
  std::vector<std::string> resultSpans;  // span texts of the first SELECT's result columns
  bool programKept = false;              // the context still held a program (now deleted)
};

// Parses zSql; records every generator call; `onCall`, when given, runs
// after each call is recorded (tests use it to set flags mid-parse).
ParseRun runParser(const char *zSql,
                   const std::function<void(Parse *, const std::string &)> &onCall = {});

// The calls of runParser joined with "\n".
std::string joined(const std::vector<std::string> &calls);

}  // namespace tarviktest

#endif
