// The function registry, the user-function interface and the built-in
// scalar and aggregate functions, called as the machine calls them.
#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <string>

#include "func_support.h"
#include "os.h"
#include "vdbeInt.h"

namespace {

using std::nullopt;
using std::optional;
using std::string;

int nStepCalls;

void userScalar(tarvik_func *ctx, int argc, const char **argv) {
  const char *zUser = (const char *)tarvik_user_data(ctx);
  string s = zUser;
  for (int i = 0; i < argc; i++) s += string("|") + (argv[i] ? argv[i] : "NULL");
  tarvik_set_result_string(ctx, s.c_str(), -1);
}

void userFails(tarvik_func *ctx, int, const char **argv) {
  tarvik_set_result_error(ctx, argv[0], -1);  // NULL argument: an error without text
}

void userStep(tarvik_func *ctx, int, const char **) {
  int *p = (int *)tarvik_aggregate_context(ctx, (int)sizeof(int));
  if (p) *p += 10;
  nStepCalls++;
}

void userFinal(tarvik_func *ctx) {
  int *p = (int *)tarvik_aggregate_context(ctx, (int)sizeof(int));
  tarvik_set_result_int(ctx, (p ? *p : 0) + tarvik_aggregate_count(ctx));
}

// ------------------------------------------------------------------ registry

TEST(FuncRegistry, LookUpPrefersExactCountThenAnyCountAndPlaceholdersReject) {
  FuncTestDb t(false);
  tarvik *db = t.get();
  ASSERT_EQ(tarvik_create_function(db, "f", -1, userScalar, (void *)"any"), 0);
  ASSERT_EQ(tarvik_create_function(db, "f", 2, userScalar, (void *)"two"), 0);
  ASSERT_EQ(tarvik_create_function(db, "f", 3, nullptr, nullptr), 0);  // placeholder

  EXPECT_EQ(fn(db, "f", {"a", "b"}), "two|a|b");
  EXPECT_EQ(fn(db, "F", {"a"}), "any|a");  // names ignore case
  EXPECT_EQ(fn(db, "f", {}), "any");
  EXPECT_EQ(callScalar(db, "f", {"a", "b", "c"}).error,
            "wrong number of arguments to function f()");
  EXPECT_EQ(callScalar(db, "g", {}).error, "no such function: g");
  EXPECT_EQ(tarvikFindFunction(db, "f", 1, 3, 0), nullptr);

  // A negative count finds the first definition that has an implementation.
  FuncDef *p = tarvikFindFunction(db, "f", 1, -1, 0);
  ASSERT_NE(p, nullptr);
  EXPECT_TRUE(p->xFunc != nullptr);
  EXPECT_EQ(tarvikFindFunction(db, "nosuch", 6, -1, 0), nullptr);

  // Creating finds the existing definition; a new one copies the type of
  // the chain's head and goes in front of it.
  EXPECT_EQ(tarvikFindFunction(db, "f", 1, 2, 1), tarvikFindFunction(db, "f", 1, 2, 0));
  tarvik_function_type(db, "f", TARVIK_TEXT);
  FuncDef *pNew = tarvikFindFunction(db, "f", 1, 5, 1);
  ASSERT_NE(pNew, nullptr);
  EXPECT_EQ(pNew->dataType, TARVIK_TEXT);
  EXPECT_EQ(tarvikHashFind(&db->aFunc, "f", 1), pNew);
  FuncDef *pFresh = tarvikFindFunction(db, "h", 1, 0, 1);
  ASSERT_NE(pFresh, nullptr);
  EXPECT_EQ(pFresh->dataType, TARVIK_NUMERIC);
  EXPECT_EQ(tarvikFindFunction(db, "h", 1, 0, 0), nullptr);  // created empty: a placeholder
}

TEST(FuncRegistry, RegistrationRefusals) {
  FuncTestDb t(false);
  tarvik *db = t.get();
  EXPECT_EQ(tarvik_create_function(nullptr, "f", 1, userScalar, nullptr), 1);
  EXPECT_EQ(tarvik_create_function(db, nullptr, 1, userScalar, nullptr), 1);
  EXPECT_EQ(tarvik_create_function(db, "f", -2, userScalar, nullptr), 1);
  EXPECT_EQ(tarvik_create_function(db, "f", 128, userScalar, nullptr), 1);
  EXPECT_EQ(tarvik_create_aggregate(db, "f", 128, userStep, userFinal, nullptr), 1);
  EXPECT_EQ(tarvik_create_function(db, "f", 127, userScalar, nullptr), 0);
  EXPECT_EQ(tarvik_create_function(db, string(256, 'n').c_str(), 1, userScalar, nullptr), 1);
  EXPECT_EQ(tarvik_create_function(db, string(255, 'n').c_str(), 1, userScalar, nullptr), 0);
  EXPECT_EQ(tarvik_function_type(nullptr, "f", 0), 0);
  EXPECT_EQ(db->magic, TARVIK_MAGIC_OPEN);

  // While a statement exists the registry may not change, and trying is misuse.
  db->pVdbe = (Vdbe *)db;  // any non-null program
  EXPECT_EQ(tarvik_create_function(db, "g", 1, userScalar, nullptr), 1);
  EXPECT_EQ(db->magic, TARVIK_MAGIC_ERROR);
  EXPECT_EQ(tarvik_create_aggregate(db, "g", 1, userStep, userFinal, nullptr), 1);
  db->pVdbe = nullptr;
  EXPECT_EQ(tarvikFindFunction(db, "g", 1, 1, 0), nullptr);
}

TEST(FuncRegistry, ReRegistrationReplacesInPlaceAndTypesCoverEveryCount) {
  FuncTestDb t(false);
  tarvik *db = t.get();
  ASSERT_EQ(tarvik_create_function(db, "f", 1, userScalar, (void *)"s"), 0);
  FuncDef *p = tarvikFindFunction(db, "f", 1, 1, 0);
  ASSERT_EQ(tarvik_create_aggregate(db, "F", 1, userStep, userFinal, nullptr), 0);
  EXPECT_EQ(tarvikFindFunction(db, "f", 1, 1, 0), p);
  EXPECT_EQ(p->xFunc, nullptr);
  EXPECT_EQ(callScalar(db, "f", {"x"}).error, "misuse of aggregate function f()");
  ASSERT_EQ(tarvik_create_function(db, "f", 1, userScalar, (void *)"s"), 0);
  EXPECT_EQ(p->xStep, nullptr);
  EXPECT_EQ(p->xFinalize, nullptr);
  EXPECT_EQ(fn(db, "f", {"x"}), "s|x");

  ASSERT_EQ(tarvik_create_function(db, "f", 2, userScalar, nullptr), 0);
  EXPECT_EQ(tarvik_function_type(db, "F", 1), 0);
  for (FuncDef *q = (FuncDef *)tarvikHashFind(&db->aFunc, "f", 1); q; q = q->pNext) {
    EXPECT_EQ(q->dataType, 1);
  }
}

TEST(FuncRegistry, UserFunctionsGetUserDataErrorsAndAggregateState) {
  FuncTestDb t(false);
  tarvik *db = t.get();
  ASSERT_EQ(tarvik_create_function(db, "fails", 1, userFails, nullptr), 0);
  FuncOutcome r = callScalar(db, "fails", {"bad input"});
  EXPECT_EQ(r.error, "bad input");
  EXPECT_EQ(r.value, nullopt);
  EXPECT_EQ(callScalar(db, "fails", {nullptr}).error, "user function error");

  // A function that sets no result gives NULL.
  ASSERT_EQ(tarvik_create_function(
                db, "nothing", 0, [](tarvik_func *, int, const char **) {}, nullptr),
            0);
  EXPECT_EQ(fn(db, "nothing", {}), nullopt);

  nStepCalls = 0;
  ASSERT_EQ(tarvik_create_aggregate(db, "tally", 1, userStep, userFinal, nullptr), 0);
  EXPECT_EQ(agg(db, "tally", 1, {{"a"}, {nullptr}, {"c"}}), "33");  // 3 x 10 + 3 calls
  EXPECT_EQ(nStepCalls, 3);
  EXPECT_EQ(agg(db, "tally", 1, {}), "0");
}

TEST(FuncRegistry, BuiltinsAreRegisteredWithTheirTypesAndCounts) {
  FuncTestDb t;
  tarvik *db = t.get();
  for (const char *zName : {"min", "max"}) {
    int nDef = 0;
    for (FuncDef *p = (FuncDef *)tarvikHashFind(&db->aFunc, zName, 3); p; p = p->pNext) {
      EXPECT_EQ(p->dataType, 0) << zName;
      EXPECT_EQ(p->includeTypes, 1) << zName;
      nDef++;
    }
    EXPECT_EQ(nDef, 3) << zName;  // any count, the 0 placeholder, the aggregate
  }
  FuncDef *pTypeof = tarvikFindFunction(db, "typeof", 6, 1, 0);
  ASSERT_NE(pTypeof, nullptr);
  EXPECT_EQ(pTypeof->includeTypes, 1);
  EXPECT_EQ(pTypeof->dataType, TARVIK_TEXT);
  EXPECT_EQ(tarvikFindFunction(db, "length", 6, 1, 0)->dataType, TARVIK_NUMERIC);
  EXPECT_EQ(tarvikFindFunction(db, "length", 6, 1, 0)->includeTypes, 0);
  EXPECT_EQ(tarvikFindFunction(db, "quote", 5, 1, 0)->dataType, TARVIK_ARGS);
  EXPECT_EQ(tarvikFindFunction(db, "substr", 6, 3, 0)->dataType, TARVIK_TEXT);
  EXPECT_EQ(tarvikFindFunction(db, "datetime", 8, 4, 0)->dataType, TARVIK_TEXT);
  EXPECT_EQ(tarvikFindFunction(db, "julianday", 9, 2, 0)->dataType, TARVIK_NUMERIC);
  EXPECT_NE(tarvikFindFunction(db, "count", 5, 0, 0)->xStep, nullptr);
  EXPECT_EQ(tarvikFindFunction(db, "min", 3, 1, 0)->xFunc, nullptr);  // min(x) is the aggregate
  EXPECT_EQ(tarvikFindFunction(db, "max", 3, 1, 0)->pUserData, (void *)(intptr_t)-1);
  EXPECT_EQ(tarvikFindFunction(db, "min", 3, 1, 0)->pUserData, db);
  EXPECT_EQ(tarvikFindFunction(db, "last_insert_rowid", 17, 0, 0)->pUserData, db);

  const char *wrongCount = "wrong number of arguments to function ";
  EXPECT_EQ(callScalar(db, "min", {}).error, string(wrongCount) + "min()");
  EXPECT_EQ(callScalar(db, "max", {}).error, string(wrongCount) + "max()");
  EXPECT_EQ(callScalar(db, "coalesce", {}).error, string(wrongCount) + "coalesce()");
  EXPECT_EQ(callScalar(db, "coalesce", {"1"}).error, string(wrongCount) + "coalesce()");
  EXPECT_EQ(callScalar(db, "ifnull", {"1"}).error, string(wrongCount) + "ifnull()");
  EXPECT_EQ(callScalar(db, "substr", {"abc", "1"}).error, string(wrongCount) + "substr()");
  EXPECT_EQ(callScalar(db, "length", {"a", "b"}).error, string(wrongCount) + "length()");
  EXPECT_EQ(callScalar(db, "round", {"1", "2", "3"}).error, string(wrongCount) + "round()");
  EXPECT_EQ(callScalar(db, "sum", {"1"}).error, "misuse of aggregate function sum()");
  EXPECT_EQ(callScalar(db, "no_such", {}).error, "no such function: no_such");
  EXPECT_EQ(callAggregate(db, "sum", 2, {}).error, string(wrongCount) + "sum()");
}

// ------------------------------------------------------------------ scalars

TEST(FuncScalar, MinAndMaxCompareByTheFirstArgumentsType) {
  FuncTestDb t;
  tarvik *db = t.get();
  EXPECT_EQ(fn(db, "min", {"3", "10"}), "3");
  EXPECT_EQ(fn(db, "min", {FArg::text("3"), FArg::text("10")}), "10");
  EXPECT_EQ(fn(db, "max", {"3", "10"}), "10");
  EXPECT_EQ(fn(db, "max", {FArg::text("3"), FArg::text("10")}), "3");
  EXPECT_EQ(fn(db, "min", {"b", "a", "c"}), "a");
  // Numbers sort before texts; among equal values max keeps the last.
  EXPECT_EQ(fn(db, "max", {"2", "abc", "1"}), "abc");
  EXPECT_EQ(fn(db, "max", {"1", "1.0"}), "1.0");
  EXPECT_EQ(fn(db, "min", {"1", "1.0"}), "1");
  // Any NULL makes the result NULL.
  EXPECT_EQ(fn(db, "max", {"1", nullptr}), nullopt);
  EXPECT_EQ(fn(db, "min", {nullptr, "1"}), nullopt);
  EXPECT_EQ(fn(db, "min", {"1", "2", nullptr, "0"}), nullopt);
}

TEST(FuncScalar, TypeofLengthUpperLowerAbs) {
  FuncTestDb t;
  tarvik *db = t.get();
  EXPECT_EQ(fn(db, "typeof", {"1.5"}), "numeric");
  EXPECT_EQ(fn(db, "typeof", {"x"}), "text");
  EXPECT_EQ(fn(db, "typeof", {FArg::text("12")}), "text");

  EXPECT_EQ(fn(db, "length", {"h\xC3\xA9llo"}), "5");       // six bytes, five characters
  EXPECT_EQ(fn(db, "length", {"\xF0\x9F\x98\x80!"}), "2");  // a four-byte character
  EXPECT_EQ(fn(db, "length", {""}), "0");
  EXPECT_EQ(fn(db, "length", {nullptr}), nullopt);

  // Only ASCII letters change; the result is a copy of any length.
  EXPECT_EQ(fn(db, "upper", {"abc\xC3\xA9xyz-1"}), "ABC\xC3\xA9XYZ-1");
  EXPECT_EQ(fn(db, "lower", {"ABC\xC3\x89XYZ"}), "abc\xC3\x89xyz");
  string longText(100, 'q');
  EXPECT_EQ(fn(db, "upper", {longText.c_str()}), string(100, 'Q'));
  EXPECT_EQ(fn(db, "upper", {nullptr}), nullopt);
  EXPECT_EQ(fn(db, "lower", {nullptr}), nullopt);

  EXPECT_EQ(fn(db, "abs", {"-5"}), "5");
  EXPECT_EQ(fn(db, "abs", {"-1.5e3"}), "1.5e3");
  EXPECT_EQ(fn(db, "abs", {"-x"}), "-x");
  EXPECT_EQ(fn(db, "abs", {"-"}), "-");
  EXPECT_EQ(fn(db, "abs", {"7"}), "7");
  EXPECT_EQ(fn(db, "abs", {nullptr}), nullopt);
}

TEST(FuncScalar, SubstrCountsCharactersAndNeverSplitsOne) {
  FuncTestDb t;
  tarvik *db = t.get();
  auto sub = [&](const char *z, const char *p, const char *n) {
    return fn(db, "substr", {z, p, n});
  };
  EXPECT_EQ(sub("hello", "2", "3"), "ell");
  EXPECT_EQ(sub("hello", "-3", "2"), "ll");
  EXPECT_EQ(sub("hello", "0", "2"), "he");
  EXPECT_EQ(sub("hello", "1", "100"), "hello");
  EXPECT_EQ(sub("hello", "-7", "4"), "he");  // a start before the beginning shortens
  EXPECT_EQ(sub("hello", "-10", "3"), "");
  EXPECT_EQ(sub("hello", "6", "2"), "");
  EXPECT_EQ(sub("hello", "9", "2"), "");
  EXPECT_EQ(sub("hello", "2", "-1"), "");
  EXPECT_EQ(sub("hello", "2", "0"), "");
  EXPECT_EQ(sub("hello", "2.9", "2x"), "el");  // read as integers, as atoi reads
  // Multi-byte characters are counted and copied whole.
  EXPECT_EQ(sub("h\xC3\xA9llo", "2", "2"), "\xC3\xA9l");
  EXPECT_EQ(sub("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "2", "1"), "\xE6\x9C\xAC");
  EXPECT_EQ(sub("\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", "-1", "5"), "\xE8\xAA\x9E");
  EXPECT_EQ(sub("a\xF0\x9F\x98\x80z", "2", "1"), "\xF0\x9F\x98\x80");
  // Stray continuation bytes belong to the character before them.
  EXPECT_EQ(sub("\x80"
                "ab",
                "1", "1"),
            "a");
  EXPECT_EQ(sub(nullptr, "1", "1"), nullopt);
  // A NULL start or length reads as 0.
  EXPECT_EQ(sub("hello", nullptr, "2"), "he");
  EXPECT_EQ(sub("hello", "1", nullptr), "");
  // Positions and lengths beyond the int range saturate instead of
  // overflowing.
  EXPECT_EQ(sub("hello", "1", "99999999999999999999"), "hello");
  EXPECT_EQ(sub("hello", "99999999999999", "99999999999999"), "");
  EXPECT_EQ(sub("hello", "2147483647", "2147483647"), "");
  EXPECT_EQ(sub("hello", "-2147483648", "2147483647"), "hell");
  EXPECT_EQ(sub("hello", "-99999999999999", "99999999999999"), "hell");
}

TEST(FuncScalar, RoundFormatsWithClampedDecimals) {
  FuncTestDb t;
  tarvik *db = t.get();
  EXPECT_EQ(fn(db, "round", {"1.23456", "2"}), "1.23");
  EXPECT_EQ(fn(db, "round", {"1.23456"}), "1");
  EXPECT_EQ(fn(db, "round", {"2.5"}), "3");
  EXPECT_EQ(fn(db, "round", {"-2.5"}), "-3");
  EXPECT_EQ(fn(db, "round", {"1.5", "-1"}), "2");
  EXPECT_EQ(fn(db, "round", {"0.126", "2"}), "0.13");
  optional<string> r40 = fn(db, "round", {"1", "40"});
  EXPECT_EQ(r40, "1." + string(30, '0'));
  EXPECT_EQ(fn(db, "round", {"abc", "1"}), "0.0");
  EXPECT_EQ(fn(db, "round", {nullptr}), nullopt);
  EXPECT_EQ(fn(db, "round", {"1", nullptr}), nullopt);
  EXPECT_EQ(fn(db, "round", {nullptr, "1"}), nullopt);
  // A huge value with many decimals does not overrun the work buffer.
  optional<string> rHuge = fn(db, "round", {"1e300", "30"});
  ASSERT_TRUE(rHuge.has_value());
  EXPECT_EQ(rHuge->size(), 301u + 1 + 30);
  EXPECT_EQ(rHuge->substr(0, 2), "10");
  EXPECT_EQ(fn(db, "round", {"-1e308", "30"})->size(), 1u + 309 + 1 + 30);
}

TEST(FuncScalar, CoalesceIfnullNullifLikeGlob) {
  FuncTestDb t;
  tarvik *db = t.get();
  EXPECT_EQ(fn(db, "coalesce", {nullptr, "2", "3"}), "2");
  EXPECT_EQ(fn(db, "coalesce", {nullptr, nullptr}), nullopt);
  EXPECT_EQ(fn(db, "coalesce", {"", "x"}), "");
  EXPECT_EQ(fn(db, "ifnull", {nullptr, "b"}), "b");
  EXPECT_EQ(fn(db, "ifnull", {"a", "b"}), "a");
  EXPECT_EQ(fn(db, "ifnull", {nullptr, nullptr}), nullopt);

  EXPECT_EQ(fn(db, "nullif", {"1", "1.0"}), nullopt);  // numeric equality
  EXPECT_EQ(fn(db, "nullif", {"1", nullptr}), "1");
  EXPECT_EQ(fn(db, "nullif", {nullptr, "1"}), nullopt);
  EXPECT_EQ(fn(db, "nullif", {"a", "b"}), "a");
  EXPECT_EQ(fn(db, "nullif", {"a", "a"}), nullopt);

  // The pattern is the first argument.
  EXPECT_EQ(fn(db, "like", {"a%", "ABC"}), "1");
  EXPECT_EQ(fn(db, "like", {"ABC", "a%"}), "0");
  EXPECT_EQ(fn(db, "like", {"a_c", "abd"}), "0");
  EXPECT_EQ(fn(db, "like", {nullptr, "a"}), nullopt);
  EXPECT_EQ(fn(db, "like", {"a", nullptr}), nullopt);
  EXPECT_EQ(fn(db, "glob", {"a*", "abc"}), "1");
  EXPECT_EQ(fn(db, "glob", {"A*", "abc"}), "0");
  EXPECT_EQ(fn(db, "glob", {"[a-c]?", "bz"}), "1");
  EXPECT_EQ(fn(db, "glob", {nullptr, "a"}), nullopt);
}

TEST(FuncScalar, QuoteVersionAndConnectionCounters) {
  FuncTestDb t;
  tarvik *db = t.get();
  EXPECT_EQ(fn(db, "quote", {"it's"}), "'it''s'");
  EXPECT_EQ(fn(db, "quote", {nullptr}), "NULL");
  EXPECT_EQ(fn(db, "quote", {"12"}), "12");
  EXPECT_EQ(fn(db, "quote", {"-1.5e10"}), "-1.5e10");
  EXPECT_EQ(fn(db, "quote", {"12 "}), "'12 '");
  EXPECT_EQ(fn(db, "quote", {""}), "''");
  EXPECT_EQ(fn(db, "quote", {"''"}), "''''''");
  string longQuotes(300, '\'');
  EXPECT_EQ(fn(db, "quote", {longQuotes.c_str()}), "'" + string(600, '\'') + "'");

  EXPECT_EQ(fn(db, "tarvik_version", {}), "2.8.13");

  db->lastRowid = 42;
  db->nChange = 7;
  db->lsChange = 3;
  EXPECT_EQ(fn(db, "last_insert_rowid", {}), "42");
  EXPECT_EQ(fn(db, "change_count", {}), "7");
  EXPECT_EQ(fn(db, "last_statement_change_count", {}), "3");
}

TEST(FuncScalar, RandomGivesVariedSigned32BitIntegers) {
  FuncTestDb t;
  tarvik *db = t.get();
  std::set<string> seen;
  int nNeg = 0, nPos = 0;
  long long bitsOr = 0;
  for (int i = 0; i < 2000; i++) {
    optional<string> r = fn(db, "random", {});
    ASSERT_TRUE(r.has_value());
    long long v = std::stoll(*r);
    ASSERT_GE(v, INT_MIN);
    ASSERT_LE(v, INT_MAX);
    (v < 0 ? nNeg : nPos)++;
    bitsOr |= v & 0x7fffffff;
    seen.insert(*r);
  }
  // Any count of arguments is accepted.
  EXPECT_TRUE(fn(db, "random", {"1", "2"}).has_value());
  EXPECT_GT(seen.size(), 1990u);
  EXPECT_GT(nNeg, 800);
  EXPECT_GT(nPos, 800);
  EXPECT_EQ(bitsOr, 0x7fffffff);
}

// ------------------------------------------------------------------ aggregates

TEST(FuncAggregate, MinMaxSkipNullsAndKeepLongValues) {
  FuncTestDb t;
  tarvik *db = t.get();
  EXPECT_EQ(agg(db, "max", 1, {{"1"}, {nullptr}, {"2"}}), "2");
  EXPECT_EQ(agg(db, "min", 1, {{"1"}, {nullptr}, {"2"}}), "1");
  EXPECT_EQ(agg(db, "max", 1, {}), nullopt);
  EXPECT_EQ(agg(db, "min", 1, {{nullptr}, {nullptr}}), nullopt);
  EXPECT_EQ(agg(db, "min", 1, {{"10"}, {"9"}}), "9");
  EXPECT_EQ(agg(db, "min", 1, {{FArg::text("10")}, {FArg::text("9")}}), "10");
  // max keeps the last of equal values, min the first.
  EXPECT_EQ(agg(db, "max", 1, {{"1"}, {"1.0"}}), "1.0");
  EXPECT_EQ(agg(db, "min", 1, {{"1"}, {"1.0"}}), "1");
  // Values move between the inline buffer and the heap without leaking.
  string a30(30, 'a'), b5(5, 'b'), c40(40, 'c'), c22(22, 'c'), c23(23, 'c');
  EXPECT_EQ(agg(db, "max", 1, {{a30.c_str()}, {b5.c_str()}, {c40.c_str()}}), c40);
  EXPECT_EQ(agg(db, "min", 1, {{c40.c_str()}, {b5.c_str()}, {a30.c_str()}}), a30);
  EXPECT_EQ(agg(db, "max", 1, {{c22.c_str()}}), c22);
  EXPECT_EQ(agg(db, "max", 1, {{c23.c_str()}, {c22.c_str()}}), c23);
}

TEST(FuncAggregate, MinMaxFinalizeTwiceIsSafe) {
  // A group that the aggregator discards is finalized again to release its
  // state; the second call must neither free twice nor return stale text.
  FuncTestDb t;
  tarvik *db = t.get();
  FuncDef *p = tarvikFindFunction(db, "max", 3, 1, 0);
  ASSERT_NE(p, nullptr);
  Mem cell{};
  string big(50, 'z');
  const char *argv[] = {big.c_str(), "text"};
  tarvik_func ctx{};
  ctx.pFunc = p;
  ctx.isStep = 1;
  ctx.pAggBuf = cell.zShort;
  ctx.s.flags = MEM_Null;
  p->xStep(&ctx, 2, argv);
  void *pAgg = ctx.pAgg;
  for (int i = 0; i < 2; i++) {
    tarvik_func fin{};
    fin.pFunc = p;
    fin.pAgg = pAgg;
    fin.pAggBuf = cell.zShort;
    fin.s.flags = MEM_Null;
    p->xFinalize(&fin);
    if (i == 0) {
      EXPECT_STREQ(fin.s.z, big.c_str());
    } else {
      EXPECT_EQ(fin.s.flags, MEM_Null);
    }
    tarvikFuncContextClear(&fin);
  }
}

TEST(FuncAggregate, SumAvgCount) {
  FuncTestDb t;
  tarvik *db = t.get();
  EXPECT_EQ(agg(db, "sum", 1, {}), "0");
  EXPECT_EQ(agg(db, "sum", 1, {{"1"}, {"2.5"}, {nullptr}}), "3.5");
  EXPECT_EQ(agg(db, "sum", 1, {{"abc"}, {"4x"}}), "4");
  EXPECT_EQ(agg(db, "sum", 1, {{nullptr}}), "0");
  EXPECT_EQ(agg(db, "avg", 1, {}), nullopt);
  EXPECT_EQ(agg(db, "avg", 1, {{nullptr}}), nullopt);
  EXPECT_EQ(agg(db, "avg", 1, {{"1"}, {"2"}, {nullptr}}), "1.5");
  EXPECT_EQ(agg(db, "count", 0, {{}, {}, {}}), "3");
  EXPECT_EQ(agg(db, "count", 0, {}), "0");
  EXPECT_EQ(agg(db, "count", 1, {{"a"}, {nullptr}, {""}}), "2");
  EXPECT_EQ(agg(db, "count", 1, {}), "0");
}

TEST(FuncAggregate, CountBeyondTheIntRangeDoesNotWrap) {
  FuncTestDb t;
  tarvik *db = t.get();
  FuncDef *p = tarvikFindFunction(db, "count", 5, 0, 0);
  Mem cell{};
  tarvik_func ctx{};
  ctx.pFunc = p;
  ctx.pAggBuf = cell.zShort;
  ctx.s.flags = MEM_Null;
  i64 *pN = (i64 *)tarvik_aggregate_context(&ctx, 8);
  *pN = (i64)INT_MAX + 5;  // as if that many rows had been stepped
  p->xFinalize(&ctx);
  ASSERT_EQ(ctx.s.flags, MEM_Real);
  EXPECT_EQ(ctx.s.r, 2147483652.0);
  tarvikFuncContextClear(&ctx);
}

// ------------------------------------------------------------------ allocation failures

// Runs op with the n-th allocation failing, for n = 1, 2, ... until it runs
// without a failure; check() judges each outcome.  Nothing may leak.
template <typename Op, typename Check>
void failureLoop(Op op, Check check) {
  long base = tarvikTestMallocOutstanding();
  for (int n = 1;; n++) {
    tarvikTestMallocFail(n, false);
    auto result = op();
    bool injected = tarvikTestMallocFailures() > 0;
    tarvikTestMallocFail(0, false);
    check(result, injected);
    EXPECT_EQ(tarvikTestMallocOutstanding(), base) << "leak with failure " << n;
    if (!injected) break;
    ASSERT_LT(n, 10000);
  }
}

TEST(FuncFailure, RegistrationLeavesCompleteDefinitionsAndNoLeaks) {
  failureLoop(
      [] {
        FuncTestDb t(false);
        tarvikRegisterBuiltinFunctions(t.get());
        int n = 0;
        for (HashElem *e = hashFirst(&t.db.aFunc); e; e = hashNext(e)) n++;
        // Every name registered is findable and its definitions all have a
        // valid count.
        for (HashElem *e = hashFirst(&t.db.aFunc); e; e = hashNext(e)) {
          for (FuncDef *p = (FuncDef *)hashData(e); p; p = p->pNext) {
            EXPECT_GE(p->nArg, -1);
          }
        }
        return n;
      },
      [](int n, bool injected) {
        // 23 names of scalars and aggregates, 5 of dates
        if (!injected) {
          EXPECT_EQ(n, 28);
        }
      });

  // One registration that fails leaves the registry as it was.
  FuncTestDb t(false);
  tarvik *db = t.get();
  tarvikTestMallocFail(1, true);
  EXPECT_EQ(tarvik_create_function(db, "f", 1, userScalar, nullptr), 1);
  tarvikTestMallocFail(0, false);
  EXPECT_EQ(tarvikHashFind(&db->aFunc, "f", 1), nullptr);
  EXPECT_EQ(hashCount(&db->aFunc), 0);
}

TEST(FuncFailure, FunctionsGiveTheirResultOrNullWithoutLeaks) {
  FuncTestDb t;
  tarvik *db = t.get();
  string text(300, 'x');
  text[7] = '\'';
  string expected = "'" + text.substr(0, 8) + "'" + text.substr(8) + "'";
  auto checkText = [](const string &want) {
    return [want](const optional<string> &r, bool injected) {
      if (injected) {
        EXPECT_TRUE(!r.has_value() || *r == want);
      } else {
        EXPECT_EQ(r, want);
      }
    };
  };
  failureLoop([&] { return fn(db, "quote", {text.c_str()}); }, checkText(expected));
  failureLoop([&] { return fn(db, "upper", {text.c_str()}); },
              checkText(string(7, 'X') + "'" + string(292, 'X')));
  failureLoop(
      [&] {
        return fn(db, "substr", {text.c_str(), "2", "100"});
      },
      checkText(text.substr(1, 100)));
  string a30(30, 'a'), c40(40, 'c');
  // A copy that cannot be made keeps the previous best; the statement fails
  // for lack of memory anyway.
  failureLoop(
      [&] {
        return agg(db, "max", 1, {{a30.c_str()}, {"b"}, {c40.c_str()}});
      },
      [&](const optional<string> &r, bool injected) {
        if (!injected) {
          EXPECT_EQ(r, c40);
        }
      });
}

}  // namespace
