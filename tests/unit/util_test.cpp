// Memory helpers, message builders, dequoting and case-insensitive text.
#include <gtest/gtest.h>

#include <string>

#include "tarvikInt.h"

namespace {

TEST(Util, ReallocFollowsTheNullAndZeroRules) {
  auto *p = (unsigned char *)tarvikRealloc(nullptr, 10);
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 10; i++) EXPECT_EQ(p[i], 0) << "byte " << i << " not zeroed";
  EXPECT_EQ(tarvikRealloc(p, 0), nullptr);  // frees p: the sanitizer build catches a leak
  int before = tarvik_malloc_failed;
  EXPECT_EQ(tarvikMalloc(0), nullptr);
  EXPECT_EQ(tarvik_malloc_failed, before) << "a zero-byte request is not a failure";
  EXPECT_EQ(tarvikMalloc(-5), nullptr);
  EXPECT_EQ(tarvik_malloc_failed, before + 1) << "an impossible size is a failure";
}

TEST(Util, StrDupCopiesAndTerminates) {
  EXPECT_EQ(tarvikStrDup(nullptr), nullptr);
  char *z = tarvikStrNDup("abcdef", 3);
  EXPECT_STREQ(z, "abc");
  tarvikFree(z);
  z = tarvikStrDup("xyz");
  EXPECT_STREQ(z, "xyz");
  tarvikFree(z);
}

TEST(Util, MallocFailureHookFailsTheNthAllocationOnly) {
  long outstanding = tarvikTestMallocOutstanding();
  int before = tarvik_malloc_failed;
  tarvikTestMallocFail(2, false);
  void *a = tarvikMalloc(8);
  void *b = tarvikMalloc(8);
  void *c = tarvikMalloc(8);
  tarvikTestMallocFail(0, false);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_NE(c, nullptr);
  EXPECT_EQ(tarvik_malloc_failed, before + 1);
  tarvikFree(a);
  tarvikFree(c);
  EXPECT_EQ(tarvikTestMallocOutstanding(), outstanding);

  tarvikTestMallocFail(1, true);
  EXPECT_EQ(tarvikMalloc(1), nullptr);
  EXPECT_EQ(tarvikStrDup("x"), nullptr);
  EXPECT_EQ(tarvikTestMallocFailures(), 2);
  tarvikTestMallocFail(0, false);
}

TEST(Util, SetStringConcatenatesAndMayReuseTheOldText) {
  char *z = nullptr;
  tarvikSetString(&z, "abc", "", "def", (char *)nullptr);
  EXPECT_STREQ(z, "abcdef");
  // The old message may be one of the pieces: it is read before it is freed.
  tarvikSetString(&z, "<", z, ">", (char *)nullptr);
  EXPECT_STREQ(z, "<abcdef>");
  tarvikSetNString(&z, "abc", 2, "def", -1, (char *)nullptr);
  EXPECT_STREQ(z, "abdef");
  tarvikSetNString(&z, z, 2, "!", 0, (char *)nullptr);
  EXPECT_STREQ(z, "ab!");
  tarvikSetString(nullptr, "ignored", (char *)nullptr);

  // An allocation failure leaves the pointer null and frees the old text.
  tarvikTestMallocFail(1, false);
  tarvikSetString(&z, "x", (char *)nullptr);
  tarvikTestMallocFail(0, false);
  EXPECT_EQ(z, nullptr);
}

TEST(Util, DequoteHandlesEveryQuoteKind) {
  struct {
    const char *in, *out;
  } cases[] = {
      {"'it''s'", "it's"}, {"[a]]b]", "a]b"}, {"\"x\"\"y\"", "x\"y"}, {"abc", "abc"},
      {"'open", "'open"},   {"''", ""},        {"'a'b", "a"},         {"[a]b]", "a"},
  };
  for (auto &c : cases) {
    std::string s = c.in;
    tarvikDequote(s.data());
    EXPECT_STREQ(s.c_str(), c.out) << "input " << c.in;
  }
}

TEST(Util, CaseInsensitiveCompareAndHash) {
  EXPECT_EQ(tarvikStrICmp("ABC", "abc"), 0);
  EXPECT_LT(tarvikStrICmp("abc", "abd"), 0);
  EXPECT_GT(tarvikStrICmp("abcd", "abc"), 0);
  EXPECT_LT(tarvikStrICmp("ab", "abc"), 0);
  EXPECT_EQ(tarvikStrNICmp("abcX", "ABCY", 3), 0);
  EXPECT_NE(tarvikStrNICmp("abcX", "ABCY", 4), 0);
  EXPECT_EQ(tarvikStrNICmp("ab", "AB", 5), 0);
  // Only ASCII letters fold.
  EXPECT_NE(tarvikStrICmp("\xc4", "\xe4"), 0);
  EXPECT_EQ(UpperToLower['Z'], 'z');
  EXPECT_EQ(UpperToLower['@'], '@');
  EXPECT_EQ(UpperToLower['['], '[');
  EXPECT_EQ(UpperToLower[0xC4], 0xC4);

  EXPECT_EQ(tarvikHashNoCase("Main", 0), tarvikHashNoCase("MAIN", 4));
  EXPECT_GE(tarvikHashNoCase("\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff", 0), 0);
  // h = (h<<3) ^ h ^ c, so "ab" is ((0<<3)^0^97)<<3 ^ 97 ^ 98.
  EXPECT_EQ(tarvikHashNoCase("AB", 2), ((97 << 3) ^ 97 ^ 98));
}

}  // namespace
