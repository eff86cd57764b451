// The formatter: numeric conversions against the C library, the places where
// it deliberately differs, SQL quoting, the accumulator and its failures.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "printf.h"
#include "tarvikInt.h"

namespace {

// Takes ownership of a formatted result.
std::string take(char *z) {
  EXPECT_NE(z, nullptr);
  std::string s = z ? z : "<null>";
  tarvikFree(z);
  return s;
}

template <class... A>
std::string ours(const char *zFormat, A... args) {
  return take(tarvik_mprintf(zFormat, args...));
}

template <class... A>
std::string internal(const char *zFormat, A... args) {
  return take(tarvikMPrintf(zFormat, args...));
}

template <class... A>
std::string libc(const char *zFormat, A... args) {
  char buf[4096];
  int n = snprintf(buf, sizeof buf, zFormat, args...);
  EXPECT_LT(n, (int)sizeof buf);
  return buf;
}

// vxprintf into a string through a consumer that also records lost output.
struct Collect {
  std::string text;
  int nLost = 0;
};
void collectOut(void *arg, const char *z, int n) {
  auto *c = (Collect *)arg;
  if (z == nullptr) {
    c->nLost++;
  } else {
    c->text.append(z, (size_t)n);
  }
}
int vx(Collect *c, int useExtended, const char *zFormat, ...) {
  va_list ap;
  va_start(ap, zFormat);
  int rc = vxprintf(collectOut, c, useExtended, zFormat, ap);
  va_end(ap);
  return rc;
}

const char *kIntFlags[] = {"", "-", "+", " ", "#", "0", "+0", " 0", "-+", "#0", "-#", "+ ", "-0"};

// Builds "%<flags><width>.<prec>[l]<conv>"; width or precision -1 means none.
std::string spec(const char *flags, int width, int prec, const char *len, char conv) {
  std::string f = "%";
  f += flags;
  if (width >= 0) f += std::to_string(width);
  if (prec >= 0) f += "." + std::to_string(prec);
  f += len;
  f += conv;
  return f;
}

// Where our integer rules deliberately differ from the C library (tested
// against our own rules below): zero padding also applies with a precision
// or with left-justify, %.0d of 0 still prints a digit, and the 0x prefix
// goes in front of the zero padding rather than into it.
bool intDiffers(const char *flags, int prec, bool zero, char conv) {
  bool zeroFlag = strchr(flags, '0') != nullptr;
  if (zeroFlag && (prec >= 0 || strchr(flags, '-'))) return true;
  if (prec == 0 && zero) return true;
  if (zeroFlag && strchr(flags, '#') && (conv == 'x' || conv == 'X')) return true;
  return false;
}

TEST(Printf, IntegerConversionsMatchTheCLibrary) {
  std::vector<int> ints = {0, 1, -1, 7, -42, 255, 4096, 65535, 99999, -100000, INT_MAX, INT_MIN};
  std::vector<long> longs = {0, -1, 1L << 40, -(1L << 40), 1234567890123L, LONG_MAX, LONG_MIN};
  std::mt19937_64 rng(20260601);
  for (int i = 0; i < 12; i++) {
    ints.push_back((int)(u32)rng());
    longs.push_back((long)rng());
  }
  const int widths[] = {-1, 1, 6, 25};
  const int precs[] = {-1, 0, 1, 5, 22};
  int nCompared = 0;
  for (char conv : std::string("diuoxX")) {
    bool isSigned = conv == 'd' || conv == 'i';
    for (const char *flags : kIntFlags) {
      for (int w : widths) {
        for (int p : precs) {
          for (int v : ints) {
            if (intDiffers(flags, p, v == 0, conv)) continue;
            std::string f = spec(flags, w, p, "", conv);
            if (isSigned) {
              ASSERT_EQ(ours(f.c_str(), v), libc(f.c_str(), v)) << f << " of " << v;
            } else {
              ASSERT_EQ(ours(f.c_str(), (unsigned)v), libc(f.c_str(), (unsigned)v))
                  << f << " of " << (unsigned)v;
            }
            nCompared++;
          }
          for (long v : longs) {
            if (intDiffers(flags, p, v == 0, conv)) continue;
            std::string f = spec(flags, w, p, "l", conv);
            if (isSigned) {
              ASSERT_EQ(ours(f.c_str(), v), libc(f.c_str(), v)) << f << " of " << v;
            } else {
              ASSERT_EQ(ours(f.c_str(), (unsigned long)v), libc(f.c_str(), (unsigned long)v))
                  << f << " of " << (unsigned long)v;
            }
            nCompared++;
          }
        }
      }
    }
  }
  EXPECT_GT(nCompared, 20000);

  // Width from the argument list; a negative one means left-justify.
  for (int w : {-12, -1, 0, 3, 12}) {
    EXPECT_EQ(ours("[%*d]", w, -42), libc("[%*d]", w, -42)) << w;
    EXPECT_EQ(ours("[%*x]", w, 255u), libc("[%*x]", w, 255u)) << w;
  }
}

TEST(Printf, IntegerRulesWhereWeDifferFromTheCLibrary) {
  EXPECT_EQ(ours("%#x", 0), "0");
  EXPECT_EQ(ours("%#x", 255), "0xff");
  EXPECT_EQ(ours("%#X", 255), "0XFF");
  EXPECT_EQ(ours("%#o", 8), "010");
  EXPECT_EQ(ours("%#o", 0), "0");
  EXPECT_EQ(ours("%05d", -42), "-0042");
  EXPECT_EQ(ours("%-5d|", 7), "7    |");
  EXPECT_EQ(ours("%.0d", 0), "0") << "at least one digit";
  EXPECT_EQ(ours("%08.3d", 42), "00000042") << "zero padding applies with a precision";
  EXPECT_EQ(ours("%-05d|", 42), "00042|") << "zero padding applies when left-justified";
  EXPECT_EQ(ours("%#08x", 255), "0x000000ff") << "prefix goes before the padded digits";
  EXPECT_EQ(ours("%.*d", -3, 7), "007") << "a negative precision argument counts as positive";
  EXPECT_EQ(ours("%+u", 5u), "5") << "no sign on unsigned conversions";
}

TEST(Printf, LongArgumentsPointersAndTheMostNegativeValues) {
  // 'l' reads a long (64 bits here), not half of one.
  EXPECT_EQ(ours("%ld", LONG_MIN), "-9223372036854775808");
  EXPECT_EQ(ours("%ld|%d", 1L << 40, 5), "1099511627776|5");
  EXPECT_EQ(ours("%lu", ULONG_MAX), "18446744073709551615");
  EXPECT_EQ(ours("%lx", 0xfedcba9876543210UL), "fedcba9876543210");
  EXPECT_EQ(ours("%lo", 1UL << 63), "1000000000000000000000");
  EXPECT_EQ(ours("%d", INT_MIN), "-2147483648");
  EXPECT_EQ(ours("%i", INT_MIN), "-2147483648");
  // %p: the whole pointer, printed as an unsigned decimal number.
  void *p = (void *)(uintptr_t)0xfffffffffffffff0ULL;
  EXPECT_EQ(ours("%p|%d", p, 3), "18446744073709551600|3");
  int local;
  EXPECT_EQ(ours("%p", (void *)&local), libc("%lu", (unsigned long)(uintptr_t)&local));
  EXPECT_EQ(ours("%p", (void *)nullptr), "0");
  // A width or precision of INT_MIN is cut to the limits, not negated.
  EXPECT_EQ(ours("%*d|", INT_MIN, 1).size(), 991u);
  EXPECT_EQ(ours("%.*d", INT_MIN, 1).size(), 960u);
}

// True when the correctly rounded result of printing |v| with this
// conversion is not settled by 15 significant digits: the digits we are
// sure of, or a value too close to a rounding tie (our rounding adds a half
// and truncates, the C library rounds the exact binary value).
bool floatUnsettled(double v, char conv, int prec) {
  if (v == 0) return false;
  char exact[80];
  snprintf(exact, sizeof exact, "%.40e", fabs(v));
  std::string digits = std::string(1, exact[0]) + std::string(exact + 2, 40);
  int exp10 = atoi(strchr(exact, 'e') + 1);
  if (prec < 0) prec = 6;
  int k; /* significant digits kept */
  switch (conv) {
    case 'f': k = exp10 + 1 + prec; break;
    case 'e': case 'E': k = 1 + prec; break;
    default: k = prec == 0 ? 1 : prec; break;
  }
  if (k > 15) return true;
  if (k < 0) return false;
  double frac = atof(("0." + digits.substr((size_t)k, 8)).c_str());
  return fabs(frac - 0.5) < 0.01;
}

TEST(Printf, FloatingConversionsMatchTheCLibrary) {
  std::vector<double> values = {0.0, 1.0, 0.1, 1.5, 2.0 / 3, 3.14159, 123.456, 99999.95,
                                9.9999999, 100000.0, 1e6, 1e15, 1e22, 1e100, 1.5e300,
                                1e-4, 1e-5, 1.25e-7, 1e-100, DBL_MAX, DBL_MIN, 5e-324,
                                -0.5e-3, -271.828};
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> mant(1.0, 10.0);
  for (int i = 0; i < 24; i++) {
    values.push_back(mant(rng) * pow(10.0, (int)(rng() % 40) - 20) * (i % 2 ? -1 : 1));
  }
  for (int i = 0; i < 12; i++) {
    values.push_back(mant(rng) * pow(10.0, (int)(rng() % 600) - 300));
  }
  const char *flags[] = {"", "-", "+", " ", "#", "0", "+0", " 0", "-+", "#0", "-#", "+#0"};
  const int widths[] = {-1, 1, 12, 30};
  const int precs[] = {-1, 0, 1, 2, 6, 10, 14};
  int nCompared = 0;
  for (char conv : std::string("feEgG")) {
    for (double v : values) {
      for (int p : precs) {
        if (floatUnsettled(v, conv, p)) continue;
        for (const char *fl : flags) {
          for (int w : widths) {
            std::string f = spec(fl, w, p, "", conv);
            ASSERT_EQ(ours(f.c_str(), v), libc(f.c_str(), v)) << f << " of " << v;
            nCompared++;
          }
        }
      }
    }
  }
  EXPECT_GT(nCompared, 20000);
}

TEST(Printf, FloatingRulesWhereWeDifferFromTheCLibrary) {
  EXPECT_EQ(ours("%5.1f", 3.14159), "  3.1");
  EXPECT_EQ(ours("%e", 0.0), "0.000000e+00");
  EXPECT_EQ(ours("%g|%g", 100000.0, 1000000.0), "100000|1e+06");
  EXPECT_EQ(ours("%g|%g", 0.0001, 0.00001), "0.0001|1e-05");
  // Sixteen significant digits, then zeros.
  EXPECT_EQ(ours("%.20f", 0.1), "0.10000000000000000000");
  EXPECT_EQ(ours("%.0f", 123456789012345678.0), "123456789012345600");
  EXPECT_EQ(ours("%.19e", 1.0 / 3), "3.3333333333333330000e-01");
  // Halves round away from zero.
  EXPECT_EQ(ours("%.0f|%.0f|%.1f", 0.5, 2.5, 0.25), "1|3|0.3");
  // No decimal form: NaN without sign or zero padding.
  EXPECT_EQ(ours("%f|%e|%g", INFINITY, -INFINITY, NAN), "NaN|NaN|NaN");
  EXPECT_EQ(ours("%06f|%-5g|", INFINITY, NAN), "   NaN|NaN  |");
  EXPECT_EQ(ours("%f", -0.0), "0.000000") << "only values below zero get a minus sign";
  // Fixed form that would pass 970 characters switches to exponent form.
  std::string s = ours("%.960f", 1e300);
  EXPECT_EQ(s.substr(0, 5), "1.000");
  EXPECT_EQ(s.substr(s.size() - 5), "e+300");
  EXPECT_EQ(ours("%.960f", 1.5).size(), 962u);
  EXPECT_EQ(ours("%f", 1e300).size(), 308u);
}

TEST(Printf, StringsAndCharactersMatchTheCLibrary) {
  const char *texts[] = {"", "a", "hello", "a longer text with spaces"};
  for (const char *t : texts) {
    for (const char *fl : {"", "-"}) {
      for (int w : {-1, 0, 3, 30}) {
        for (int p : {-1, 0, 2, 5, 100}) {
          std::string f = spec(fl, w, p, "", 's');
          EXPECT_EQ(ours(f.c_str(), t), libc(f.c_str(), t)) << f << " of " << t;
        }
      }
    }
  }
  for (int w : {-1, 1, 4}) {
    std::string f = spec("", w, -1, "", 'c');
    EXPECT_EQ(ours(f.c_str(), 'x'), libc(f.c_str(), 'x'));
    f = spec("-", w, -1, "", 'c');
    EXPECT_EQ(ours((f + "|").c_str(), 'x'), libc((f + "|").c_str(), 'x'));
  }
  EXPECT_EQ(ours("[%s]", (char *)nullptr), "[]");
  EXPECT_EQ(ours("%.3s", "abcdef"), "abc");
  char unterminated[3] = {'x', 'y', 'z'};
  EXPECT_EQ(ours("%.3s", unterminated), "xyz") << "reads no further than the precision";
  EXPECT_EQ(ours("%.4c|%.0c|%3.2c", 'a', 'b', 'c'), "aaaa|| cc") << "precision repeats";
  EXPECT_EQ(ours("%5%|%%"), "    %|%");
}

TEST(Printf, SqlQuoting) {
  EXPECT_EQ(ours("%q", "It's"), "It''s");
  EXPECT_EQ(ours("%Q", "It's"), "'It''s'");
  EXPECT_EQ(ours("%Q", (char *)nullptr), "NULL");
  EXPECT_EQ(ours("%q", (char *)nullptr), "(NULL)");
  EXPECT_EQ(ours("%.2Q", (char *)nullptr), "NULL") << "the keyword is never cut";
  EXPECT_EQ(ours("%Q", ""), "''");
  EXPECT_EQ(ours("%8q|%-8Q|", "a'b", "a'b"), "    a''b|'a''b'  |");
  // The precision limits the escaped text, and a doubled quote is never split.
  EXPECT_EQ(ours("%.3q", "ab'cd"), "ab");
  EXPECT_EQ(ours("%.4q", "ab'cd"), "ab''");
  EXPECT_EQ(ours("%.5Q", "abcdefgh"), "'abcde'") << "both quotes, the precision counts the inside";
  EXPECT_EQ(ours("%.0Q", "abc"), "''");
  EXPECT_EQ(ours("%.2Q", "a'b"), "'a'");
  EXPECT_EQ(ours("UPDATE t SET a=%.5Q WHERE id=1", "x'''''y"),
            "UPDATE t SET a='x''''' WHERE id=1");
  // Escaped text longer than the work buffer.
  std::string big;
  for (int i = 0; i < 3000; i++) big += (i % 7 == 0) ? '\'' : 'a' + i % 26;
  std::string want = "'";
  for (char ch : big) want += ch == '\'' ? std::string("''") : std::string(1, ch);
  want += "'";
  EXPECT_EQ(ours("%Q", big.c_str()), want);
  EXPECT_EQ(ours("%q", big.c_str()), want.substr(1, want.size() - 2));
}

// Unquotes one SQL literal; false when the text is not exactly one literal.
bool unquoteLiteral(const std::string &s, std::string *out) {
  if (s.size() < 2 || s.front() != '\'' || s.back() != '\'') return false;
  out->clear();
  for (size_t i = 1; i + 1 < s.size(); i++) {
    if (s[i] == '\'') {
      if (i + 2 >= s.size() || s[i + 1] != '\'') return false;
      i++;
    }
    out->push_back(s[i]);
  }
  return true;
}

TEST(Printf, QuotedTextIsAlwaysOneWholeLiteral) {
  std::mt19937 rng(7);
  for (int round = 0; round < 300; round++) {
    std::string text;
    for (int n = (int)(rng() % 12); n > 0; n--) text += "'ab"[rng() % 3];
    for (int p = -1; p <= (int)text.size() * 2 + 1; p++) {
      std::string f = spec("", -1, p, "", 'Q');
      std::string got = ours(f.c_str(), text.c_str()), inner;
      ASSERT_TRUE(unquoteLiteral(got, &inner)) << f << " of " << text << " gave " << got;
      EXPECT_EQ(text.compare(0, inner.size(), inner), 0) << "not a prefix: " << got;
      if (p >= 0) {
        EXPECT_LE(got.size(), (size_t)p + 2);
      }
      f = spec("", -1, p, "", 'q');
      ASSERT_TRUE(unquoteLiteral("'" + ours(f.c_str(), text.c_str()) + "'", &inner)) << f;
    }
  }
}

TEST(Printf, InternalConversions) {
  // Off in the public form: printed as written, argument not consumed.
  EXPECT_EQ(ours("%z|%T|%S|%s", "x"), "%z|%T|%S|x");
  // %z prints and frees (the sanitizer build catches a leak or a double free).
  EXPECT_EQ(internal("<%z|%z>", tarvikStrDup("owned"), (char *)nullptr), "<owned|>");
  long before = tarvikTestMallocOutstanding();
  EXPECT_EQ(internal("%.2z", tarvikStrDup("abcdef")), "ab");
  EXPECT_EQ(tarvikTestMallocOutstanding(), before);
  // %T prints the token's n bytes; width is ignored.
  Token t{"tablename rest", 0, 9};
  EXPECT_EQ(internal("[%T][%20T]", &t, &t), "[tablename][tablename]");
  // %S: "db.name" when the item has a database name, else the name.
  auto *pSrc = (SrcList *)calloc(1, sizeof(SrcList) + 2 * sizeof(SrcList::SrcList_item));
  pSrc->nSrc = 3;
  pSrc->nAlloc = 3;
  char db[] = "aux", empty[] = "", t1[] = "t1", t2[] = "t2", t3[] = "t3";
  pSrc->a[0] = SrcList::SrcList_item{db, t1, nullptr, nullptr, nullptr, 0, -1, nullptr, nullptr};
  pSrc->a[1] = SrcList::SrcList_item{nullptr, t2, nullptr, nullptr, nullptr, 0, -1, nullptr, nullptr};
  pSrc->a[2] = SrcList::SrcList_item{empty, t3, nullptr, nullptr, nullptr, 0, -1, nullptr, nullptr};
  EXPECT_EQ(internal("%S %S %10S|", pSrc, 0, pSrc, 1, pSrc, 2), "aux.t1 t2 t3|");
  free(pSrc);
}

TEST(Printf, FormatScanning) {
  Collect c;
  EXPECT_EQ(vx(&c, 0, "abc%"), -1) << "a lone % at the end is reported";
  EXPECT_EQ(c.text, "abc%");
  EXPECT_EQ(ours("abc%"), "abc%") << "and the text is still returned";
  EXPECT_EQ(ours("ab%5"), "ab%");
  EXPECT_EQ(ours("%y|%5y"), "%y|%y");
  EXPECT_EQ(internal("%y"), "%y");
  EXPECT_EQ(ours("%lld", 5L), "%ld") << "one l only; the second is an unknown conversion";
  int n1 = -1, n2 = -1;
  EXPECT_EQ(ours("ab%n%5d%n", &n1, 7, &n2), "ab    7");
  EXPECT_EQ(n1, 2);
  EXPECT_EQ(n2, 7);
  // With 'l' the count goes into a long, all of it.
  long l1 = -1;
  EXPECT_EQ(ours("abc%ln|", &l1), "abc|");
  EXPECT_EQ(l1, 3);
  c = Collect{};
  EXPECT_EQ(vx(&c, 0, "%-8s|%3d", "ab", 5), 12) << "the count includes padding";
  EXPECT_EQ(c.text, "ab      |  5");
  EXPECT_EQ(ours("%-+ #0d", 5), "+5");
}

TEST(Printf, LongOutputsStayInsideTheirBuffers) {
  EXPECT_EQ(ours("%5000d", 1).size(), 990u) << "widths stop at 990";
  EXPECT_EQ(ours("%99999999999999999999d", 1).size(), 990u);
  EXPECT_EQ(ours("%.5000d", 1).size(), 960u) << "precisions stop at 960";
  EXPECT_EQ(ours("%-+#0990.960lo", LONG_MIN).size(), 990u);
  EXPECT_EQ(ours("%+0990.960e", -DBL_MAX).size(), 990u);
  EXPECT_EQ(ours("%+0990.960f", -DBL_MAX).size(), 990u);
  EXPECT_EQ(ours("%#.960g", DBL_MIN).size(), 966u);
  EXPECT_EQ(ours("%.960c", 'x'), std::string(960, 'x'));
  std::string big(100000, 'b');
  std::string s = ours("%s|%990s|%-990.10s|", big.c_str(), "x", big.c_str());
  EXPECT_EQ(s.size(), 100000u + 990 + 990 + 3);
  // Many long fields, each past the work buffer's size once padded.
  std::string many;
  for (int i = 0; i < 50; i++) many = internal("%s%-980.960f%z", many.c_str(), 0.5, tarvikStrDup("|"));
  EXPECT_EQ(many.size(), 50u * 981);
}

TEST(Printf, SnprintfStaysInsideTheCallersBuffer) {
  char buf[16];
  memset(buf, 'x', sizeof buf);
  EXPECT_EQ(tarvik_snprintf(5, buf, "%s", "abcdefgh"), buf);
  EXPECT_STREQ(buf, "abcd");
  EXPECT_EQ(buf[5], 'x');
  memset(buf, 'x', sizeof buf);
  tarvik_snprintf(9, buf, "%s", "abcdefgh");
  EXPECT_STREQ(buf, "abcdefgh") << "exact fit";
  // Nothing at all is written for n <= 0.
  for (int n : {0, -1, INT_MIN}) {
    memset(buf, 'x', sizeof buf);
    tarvik_snprintf(n, buf, "%s", "abc");
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, 'x')) << n;
  }
  // n >= 1 always terminates, also when the output is empty.
  memset(buf, 'x', sizeof buf);
  tarvik_snprintf(1, buf, "%s", "abc");
  EXPECT_EQ(buf[0], 0);
  EXPECT_EQ(buf[1], 'x');
  memset(buf, 'x', sizeof buf);
  tarvik_snprintf(10, buf, "%s", "");
  EXPECT_EQ(buf[0], 0);
  // Long conversions and many pieces are cut, never written past n.
  memset(buf, 'x', sizeof buf);
  tarvik_snprintf(8, buf, "%990d%.960f%Q", 1, 0.5, std::string(5000, '\'').c_str());
  EXPECT_STREQ(buf, "       ");
  EXPECT_EQ(buf[8], 'x');
}

// A grow function that records requests and never hands out memory.
std::vector<int> gRequests;
void *recordingRealloc(void *, int n) {
  gRequests.push_back(n);
  return nullptr;
}

TEST(Printf, AccumulatorSizesNeverWrapAround) {
  char base[4];
  sgMprintf s{base, base, INT_MAX - 5, 0, INT_MAX - 4, recordingRealloc};
  int failedBefore = tarvik_malloc_failed;
  gRequests.clear();
  mout(&s, "0123456789", 10);
  EXPECT_EQ(s.zText, nullptr) << "a text longer than an int can count is a failure";
  EXPECT_TRUE(gRequests.empty()) << "no request with a wrapped size";
  EXPECT_EQ(tarvik_malloc_failed, failedBefore + 1);
  EXPECT_EQ(s.nTotal, 10);

  // Growth that would ask for more than INT_MAX asks for INT_MAX.
  s = sgMprintf{base, base, INT_MAX - 100, 0, INT_MAX - 100, recordingRealloc};
  mout(&s, std::string(50, 'a').c_str(), 50);
  ASSERT_EQ(gRequests.size(), 1u);
  EXPECT_EQ(gRequests[0], INT_MAX);
  EXPECT_EQ(s.zText, nullptr);

  // A fixed buffer keeps what fits and stays terminated.
  char fixed[6];
  s = sgMprintf{fixed, fixed, 0, 0, 6, nullptr};
  mout(&s, "abc", 3);
  mout(&s, "defgh", 5);
  mout(&s, nullptr, 0);
  EXPECT_STREQ(fixed, "abcde");
  EXPECT_EQ(s.nTotal, 8);
}

// Formats one case; the %z argument, when present, is made before failures
// are armed so that only the formatter's own allocations fail.
struct FailCase {
  bool internalForm;
  const char *zFormat;
  std::string text;
};

char *runCase(const FailCase &fc, char *zOwned) {
  const char *t = fc.text.c_str();
  if (fc.internalForm) return tarvikMPrintf(fc.zFormat, t, 42, 2.5, zOwned, t);
  return tarvik_mprintf(fc.zFormat, t, 42, 2.5);
}

TEST(Printf, EveryAllocationFailureGivesNullWithoutLeaks) {
  std::string quotes;
  for (int i = 0; i < 1500; i++) quotes += (i % 3 ? 'q' : '\'');
  const FailCase cases[] = {
      {false, "%s %d %f", "short"},
      {false, "%s %d %f", std::string(5000, 's')},
      {false, "%Q %d %.3f", quotes},
      {true, "%s %d %f %z", "short"},
      {true, "%s %d %f %z %Q", std::string(3000, 'i')},
      {true, "%q %d %f %z", quotes},  // %q fails first; %z must still be freed
  };
  for (const FailCase &fc : cases) {
    SCOPED_TRACE(fc.zFormat);
    char *zWant = runCase(fc, fc.internalForm ? tarvikStrDup("owned") : nullptr);
    ASSERT_NE(zWant, nullptr);
    std::string want = zWant;
    tarvikFree(zWant);
    for (bool persist : {false, true}) {
      int n = 1;
      for (; n < 100; n++) {
        char *zOwned = tarvikStrDup("owned");
        long outstanding = tarvikTestMallocOutstanding();
        tarvikTestMallocFail(n, persist);
        char *z = runCase(fc, zOwned);
        int failures = tarvikTestMallocFailures();
        tarvikTestMallocFail(0, false);
        if (z) {
          EXPECT_EQ(want, z) << "allocation " << n;
        }
        tarvikFree(z);
        // zOwned was freed by %z in the internal form.
        if (!fc.internalForm) tarvikFree(zOwned);
        EXPECT_EQ(tarvikTestMallocOutstanding(), outstanding - 1)
            << "leak after failing allocation " << n;
        if (failures == 0) {
          EXPECT_NE(z, nullptr);
          break;
        }
        if (n == 1) {
          EXPECT_EQ(z, nullptr) << "the first allocation is never optional";
        }
      }
      EXPECT_LT(n, 100);
    }
  }
}

TEST(Printf, HostFormattingFailuresDoNotMarkTheLibraryOutOfMemory) {
  // The flag never goes back to zero and makes every later open and
  // compile fail; a host's failed format is reported by its null result
  // alone.  The engine's own formatting does count.
  std::string quotes(3000, '\'');
  for (int n = 1; n <= 2; n++) {
    int before = tarvik_malloc_failed;
    tarvikTestMallocFail(n, true);
    char *z = tarvik_mprintf("%s|%Q", std::string(500, 'a').c_str(), quotes.c_str());
    tarvikTestMallocFail(0, false);
    EXPECT_EQ(z, nullptr) << n;
    EXPECT_EQ(tarvik_malloc_failed, before) << n;
  }
  char buf[10];
  int before = tarvik_malloc_failed;
  tarvikTestMallocFail(1, false);
  tarvik_snprintf((int)sizeof buf, buf, "%q", quotes.c_str());
  tarvikTestMallocFail(0, false);
  EXPECT_EQ(tarvik_malloc_failed, before);
  tarvikTestMallocFail(1, false);
  EXPECT_EQ(tarvikMPrintf("%s", std::string(5000, 'i').c_str()), nullptr);
  tarvikTestMallocFail(0, false);
  EXPECT_EQ(tarvik_malloc_failed, before + 1);
}

TEST(Printf, LostEscapeBufferIsReported) {
  Collect c;
  std::string big(2000, '\'');
  tarvikTestMallocFail(1, false);
  int rc = vx(&c, 0, "a%qb", big.c_str());
  tarvikTestMallocFail(0, false);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(c.nLost, 1);
  EXPECT_EQ(c.text, "ab") << "scanning goes on after the loss";

  // A fixed buffer ends where the output was lost: what follows the lost
  // piece must not be joined to what came before it, or the text says
  // something else than what was asked for (here: a statement without its
  // value, still well-formed).
  std::vector<char> out(8000, 'x');
  tarvikTestMallocFail(1, false);
  tarvik_snprintf((int)out.size(), out.data(), "UPDATE t SET a='%q' WHERE id=%d", big.c_str(), 1);
  tarvikTestMallocFail(0, false);
  EXPECT_STREQ(out.data(), "UPDATE t SET a='");
}

}  // namespace
