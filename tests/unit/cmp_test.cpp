// Number recognition, value and sort-key comparison, the sortable number
// encoding stored in index keys, UTF-8 decoding and GLOB/LIKE matching.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tarvikInt.h"

namespace {

// A heap copy of exactly the text and its NUL, so that the sanitizer build
// reports any read beyond the terminator.
struct ExactText {
  std::unique_ptr<char[]> buf;
  explicit ExactText(const std::string &s) : buf(new char[s.size() + 1]) {
    memcpy(buf.get(), s.c_str(), s.size() + 1);
  }
  const char *get() const { return buf.get(); }
};

std::string sortable(double r) {
  char buf[TARVIK_SORTABLE_SIZE + 8];
  memset(buf, 'X', sizeof(buf));
  tarvikRealToSortable(r, buf);
  EXPECT_LT(strlen(buf), (size_t)TARVIK_SORTABLE_SIZE) << "encoding of " << r << " too long";
  return buf;
}

int sign(int v) { return (v > 0) - (v < 0); }

// ---------------------------------------------------------------- numbers

TEST(Numbers, IsNumberAcceptsExactlyTheGrammar) {
  for (const char *z : {"12", "-3.5e+10", "+7", "0", "007", "1.0", "1e5", "1E-5", "-0.000"}) {
    EXPECT_EQ(tarvikIsNumber(z), 1) << z;
  }
  for (const char *z : {"12.", ".5", "1e", "1e+", "1E-", " 1", "1 ", "", "-", "+", "0x10", "inf",
                        "nan", "1.5.2", "1e5e5", "1..2", "--1", "1-", "١٢"}) {
    EXPECT_EQ(tarvikIsNumber(z), 0) << "'" << z << "'";
  }
  // Comparisons classify values in the same pass that converts them; the
  // classification must be exactly this grammar.  "\x01" is the smallest
  // non-empty text, so a value sorts below it only if it is a number.
  std::mt19937 rng(77);
  for (int i = 0; i < 50000; i++) {
    std::string z;
    for (int n = (int)(rng() % 7); n > 0; n--) z += "0123456789.eE+- x"[rng() % 17];
    if (z.empty()) continue;
    int want = tarvikIsNumber(z.c_str()) ? -1 : 1;
    ASSERT_EQ(sign(tarvikCompare(z.c_str(), "\x01")), want) << "'" << z << "'";
  }
}

TEST(Numbers, AtoFStopsWhereTheNumberStops) {
  struct Case {
    const char *z;
    double want;
    int end;
  } cases[] = {
      {"12abc", 12.0, 2},  {"abc", 0.0, 0}, {"-abc", 0.0, 1}, {"+x", 0.0, 1},   {"12.", 12.0, 3},
      {".5", 0.5, 2},      {"1e", 1.0, 2},  {"1e+", 1.0, 3},  {"1e-x", 1.0, 3}, {"2.5E2z", 250, 5},
      {"-7.25", -7.25, 5}, {"1 2", 1.0, 1}, {"3e0", 3.0, 3},  {"0.1", 0.1, 3},
  };
  for (const Case &c : cases) {
    const char *zEnd = nullptr;
    double r = tarvikAtoF(c.z, &zEnd);
    EXPECT_EQ(r, c.want) << c.z;
    EXPECT_EQ(zEnd - c.z, c.end) << c.z;
  }
  EXPECT_EQ(tarvikAtoF("12", nullptr), 12.0) << "the end pointer is optional";
}

// Overflow, underflow and hostile lengths: never NaN, never a wrapped
// exponent, the sign kept.
TEST(Numbers, AtoFSaturatesInsteadOfOverflowing) {
  EXPECT_EQ(tarvikAtoF("1e400", nullptr), HUGE_VAL);
  EXPECT_EQ(tarvikAtoF("-1e400", nullptr), -HUGE_VAL);
  EXPECT_EQ(tarvikAtoF("1e-400", nullptr), 0.0);
  EXPECT_EQ(tarvikAtoF("1e99999999999999999999999", nullptr), HUGE_VAL);
  EXPECT_EQ(tarvikAtoF("1e-99999999999999999999999", nullptr), 0.0);
  EXPECT_EQ(tarvikAtoF("1e4294967297", nullptr), HUGE_VAL) << "exponent wrapped to 1";
  EXPECT_EQ(tarvikAtoF("0e99999", nullptr), 0.0) << "0 x huge scale is NaN in float arithmetic";
  EXPECT_EQ(tarvikAtoF("0.00001e400", nullptr), HUGE_VAL);
  EXPECT_EQ(tarvikAtoF("100000e-330", nullptr), 0.0);
  EXPECT_TRUE(std::signbit(tarvikAtoF("-1e-400", nullptr)));

  std::string longFrac = "0." + std::string(5000, '3');
  double r = tarvikAtoF(longFrac.c_str(), nullptr);
  EXPECT_FALSE(std::isnan(r)) << "a long fraction became inf/inf";
  EXPECT_EQ(r, 1.0 / 3.0);
  std::string longInt = "1" + std::string(400, '0');
  EXPECT_EQ(tarvikAtoF(longInt.c_str(), nullptr), HUGE_VAL);
  std::string tiny = "0." + std::string(400, '0') + "1";
  EXPECT_EQ(tarvikAtoF(tiny.c_str(), nullptr), 0.0);
  std::string bigTimesSmall = "1" + std::string(400, '0') + "e-400";
  EXPECT_EQ(tarvikAtoF(bigTimesSmall.c_str(), nullptr), 1.0);
  EXPECT_TRUE(std::signbit(tarvikAtoF("-0", nullptr)));
}

// Index keys hold the sortable encoding of these values, so the conversion
// must be the correctly rounded one on every machine.  The C library's
// strtod (C locale) is correctly rounded and serves as the reference.
TEST(Numbers, AtoFIsCorrectlyRounded) {
  std::mt19937_64 rng(20261206);
  auto digits = [&](int n) {
    std::string s;
    for (int i = 0; i < n; i++) s += (char)('0' + rng() % 10);
    return s;
  };
  const char *known[] = {"0.1",
                         "0.2",
                         "0.3",
                         "2.2250738585072011e-308",
                         "4.9e-324",
                         "1.7976931348623157e308",
                         "9007199254740993",
                         "123456789012345678901",
                         "0.30000000000000004",
                         "2.5e-324",
                         "8.98846567431158e307"};
  std::vector<std::string> texts(std::begin(known), std::end(known));
  for (int i = 0; i < 20000; i++) {
    std::string z;
    if (rng() % 4 == 0) z += '-';
    z += digits(1 + rng() % 25);
    if (rng() % 2) z += "." + digits(1 + rng() % 25);
    if (rng() % 2) z += "e" + std::to_string((int)(rng() % 700) - 350);
    texts.push_back(z);
  }
  for (const std::string &z : texts) {
    ASSERT_EQ(tarvikIsNumber(z.c_str()), 1) << z;
    double want = strtod(z.c_str(), nullptr);
    double got = tarvikAtoF(z.c_str(), nullptr);
    ASSERT_EQ(got, want) << z;
    ASSERT_EQ(std::signbit(got), std::signbit(want)) << z;
  }
  // Prefixes outside the grammar (bare point, point before the exponent, no
  // integer digits, a dangling exponent mark) convert like the same prefix.
  const char *parts[] = {"",     "0", "7",  "123456789", "98765432109876543210",
                         ".",    "e", "E-", "e+3",       "e-330",
                         "e400", "x"};
  for (int i = 0; i < 20000; i++) {
    std::string z = rng() % 3 ? "" : "-";
    for (int n = 1 + (int)(rng() % 4); n > 0; n--) z += parts[rng() % std::size(parts)];
    const char *zEnd = nullptr;
    double got = tarvikAtoF(z.c_str(), &zEnd);
    std::string prefix(z.c_str(), zEnd);
    ASSERT_EQ(got, strtod(prefix.c_str(), nullptr)) << z;
  }
}

TEST(Numbers, FitsIn32Bits) {
  EXPECT_EQ(tarvikFitsIn32Bits("2147483647"), 1);
  EXPECT_EQ(tarvikFitsIn32Bits("2147483648"), 0);
  EXPECT_EQ(tarvikFitsIn32Bits("-2147483648"), 0);
  EXPECT_EQ(tarvikFitsIn32Bits("-2147483647"), 1);
  EXPECT_EQ(tarvikFitsIn32Bits("+999999999"), 1);
  EXPECT_EQ(tarvikFitsIn32Bits("999999999"), 1);
  EXPECT_EQ(tarvikFitsIn32Bits("9999999999"), 0);
  EXPECT_EQ(tarvikFitsIn32Bits("0000000000001"), 0);
  EXPECT_EQ(tarvikFitsIn32Bits("1000000000"), 1);
  EXPECT_EQ(tarvikFitsIn32Bits("2147483647x"), 1) << "bytes after the digits are ignored";
  EXPECT_EQ(tarvikFitsIn32Bits(std::string(100000, '9').c_str()), 0);
}

// ---------------------------------------------------------------- comparison

TEST(Compare, NumbersBeforeTextNullFirst) {
  EXPECT_EQ(tarvikCompare(nullptr, nullptr), -1) << "a NULL first operand is always smaller";
  EXPECT_LT(tarvikCompare(nullptr, "1"), 0);
  EXPECT_GT(tarvikCompare("", nullptr), 0);
  EXPECT_GT(tarvikCompare("10", "9"), 0) << "both numbers: numeric order";
  EXPECT_GT(tarvikCompare("abc", "10"), 0) << "a number sorts before any text";
  EXPECT_LT(tarvikCompare("10", "abc"), 0);
  EXPECT_EQ(tarvikCompare("1.0", "1"), 0);
  EXPECT_EQ(tarvikCompare("-0", "0"), 0);
  EXPECT_EQ(tarvikCompare("1e2", "100"), 0);
  EXPECT_LT(tarvikCompare("abc", "abd"), 0);
  EXPECT_GT(tarvikCompare("10 ", "9"), 0) << "'10 ' is text";
  EXPECT_LT(tarvikCompare("-1e400", "-1e300"), 0);
  EXPECT_GT(tarvikCompare("\xC3\xA9", "z"), 0) << "bytes compare unsigned";
}

// Values of every kind: NULLs, integers, reals, numbers written in several
// ways, texts that look almost like numbers, UTF-8 text.
std::vector<std::optional<std::string>> mixedValues(unsigned seed, int n) {
  std::mt19937 rng(seed);
  const char *fixed[] = {"0",        "-0",   "0.0",        "1",     "1.0",    "1e0",    "10",
                         "9",        "-1",   "-1.5",       "1e400", "-1e400", "1e-400", "abc",
                         "ABC",      "",     " 1",         "1.",    ".5",     "1e",     "x",
                         "\xC3\xA9", "0x10", "2147483648", "0.1",   "0.10"};
  std::vector<std::optional<std::string>> v;
  v.push_back(std::nullopt);
  v.push_back(std::nullopt);
  for (const char *z : fixed) v.push_back(std::string(z));
  while ((int)v.size() < n) {
    switch (rng() % 5) {
      case 0:
        v.push_back(std::to_string((int)(rng() % 200) - 100));
        break;
      case 1: {
        char buf[40];
        snprintf(buf, sizeof(buf), "%.*g", (int)(1 + rng() % 17),
                 std::ldexp((double)rng() / 4294967296.0 - 0.5, (int)(rng() % 80) - 40));
        v.push_back(std::string(buf));
        break;
      }
      case 2: {
        std::string s;
        int len = (int)(rng() % 4);
        for (int i = 0; i < len; i++) s += "ab1.-e "[rng() % 7];
        v.push_back(s);
        break;
      }
      case 3:
        v.push_back(std::nullopt);
        break;
      default:
        v.push_back(std::to_string((int)(rng() % 20)) + ".0");
        break;
    }
  }
  return v;
}

const char *ptr(const std::optional<std::string> &v) { return v ? v->c_str() : nullptr; }

// Checks that cmp(i, j) (-1, 0, 1) over n items is a total preorder:
// reflexive, antisymmetric, transitive, equality an equivalence.
template <class Cmp>
void expectTotalOrder(size_t n, Cmp cmp, const std::string &what) {
  std::vector<int> c(n * n);
  for (size_t i = 0; i < n; i++)
    for (size_t j = 0; j < n; j++) c[i * n + j] = cmp(i, j);
  for (size_t i = 0; i < n; i++) {
    ASSERT_EQ(c[i * n + i], 0) << what << ": not reflexive at " << i;
    for (size_t j = 0; j < n; j++) {
      ASSERT_EQ(c[i * n + j], -c[j * n + i]) << what << ": not antisymmetric " << i << " " << j;
      for (size_t k = 0; k < n; k++) {
        int ij = c[i * n + j], jk = c[j * n + k], ik = c[i * n + k];
        if (ij <= 0 && jk <= 0) {
          ASSERT_EQ(ik, ij + jk < 0 ? -1 : 0)
              << what << ": not transitive " << i << " " << j << " " << k;
        }
      }
    }
  }
}

// Sorting and the comparison opcodes rely on a total order over values
// (two NULLs are the one exception: the first is always the smaller).
TEST(Compare, IsATotalOrderOverMixedValues) {
  auto v = mixedValues(7, 140);
  expectTotalOrder(
      v.size(),
      [&](size_t i, size_t j) {
        if (!v[i] && !v[j]) return 0;
        return sign(tarvikCompare(ptr(v[i]), ptr(v[j])));
      },
      "tarvikCompare");
}

// Builds a sort key the way SortMakeKey lays it out.
std::string sortKey(std::initializer_list<std::pair<char, const char *>> fields) {
  std::string k;
  for (auto [type, value] : fields) {
    if (value == nullptr) {
      k += 'N';
    } else {
      k += type;
      k += value;
    }
    k += '\0';
  }
  return k;  // c_str() adds the NUL that ends the key
}

int sortCmp(const std::string &a, const std::string &b) {
  return sign(tarvikSortCompare(a.c_str(), b.c_str()));
}

TEST(SortKeys, DirectionTypeAndNulls) {
  EXPECT_EQ(sortCmp(sortKey({{'+', nullptr}}), sortKey({{'+', "5"}})), -1)
      << "NULL first ascending";
  EXPECT_EQ(sortCmp(sortKey({{'+', "5"}}), sortKey({{'+', nullptr}})), 1);
  EXPECT_EQ(sortCmp(sortKey({{'-', nullptr}}), sortKey({{'-', "5"}})), 1) << "NULL last descending";
  EXPECT_EQ(sortCmp(sortKey({{'D', "5"}}), sortKey({{'D', nullptr}})), -1);
  EXPECT_EQ(sortCmp(sortKey({{'+', "10"}}), sortKey({{'+', "9"}})), 1) << "numeric field";
  EXPECT_EQ(sortCmp(sortKey({{'A', "10"}}), sortKey({{'A', "9"}})), -1) << "text field";
  EXPECT_EQ(sortCmp(sortKey({{'-', "10"}}), sortKey({{'-', "9"}})), -1);
  EXPECT_EQ(sortCmp(sortKey({{'D', "10"}}), sortKey({{'D', "9"}})), 1);
  EXPECT_EQ(sortCmp(sortKey({{'+', "1.0"}, {'A', "b"}}), sortKey({{'+', "1"}, {'A', "a"}})), 1)
      << "equal numbers fall through to the next field";
  EXPECT_EQ(sortCmp(sortKey({{'+', "x"}}), sortKey({{'+', "100"}})), 1) << "numbers before text";
  EXPECT_EQ(sortCmp(sortKey({{'+', "1"}}), sortKey({{'+', "1"}, {'A', "z"}})), 0)
      << "common fields equal: keys compare equal";
  EXPECT_EQ(sortCmp(sortKey({{'A', nullptr}, {'D', "a"}}), sortKey({{'A', nullptr}, {'D', "b"}})),
            1)
      << "two NULLs are skipped, then the descending field decides";
  EXPECT_EQ(sortCmp(sortKey({{'A', "a"}, {'-', nullptr}}), sortKey({{'A', "a"}, {'-', "3"}})), 1);
}

// The sorter's merge needs a consistent order over keys of one shape.
TEST(SortKeys, IsATotalOrderOverMixedKeys) {
  auto v = mixedValues(11, 60);
  const char types[] = {'A', 'D', '+', '-'};
  for (char t1 : types) {
    for (char t2 : types) {
      std::vector<std::string> keys;
      for (size_t i = 0; i < v.size(); i++) {
        keys.push_back(sortKey({{t1, ptr(v[i])}, {t2, ptr(v[(i * 7 + 3) % v.size()])}}));
        keys.push_back(sortKey({{t1, ptr(v[i])}, {t2, ptr(v[(i * 5 + 1) % v.size()])}}));
      }
      expectTotalOrder(
          keys.size(), [&](size_t i, size_t j) { return sortCmp(keys[i], keys[j]); },
          std::string("fields ") + t1 + t2);
    }
  }
}

// Descending fields reverse ascending ones exactly, NULL placement included.
TEST(SortKeys, DescendingMirrorsAscending) {
  auto v = mixedValues(3, 50);
  for (auto &a : v) {
    for (auto &b : v) {
      EXPECT_EQ(sortCmp(sortKey({{'+', ptr(a)}}), sortKey({{'+', ptr(b)}})),
                a || b ? sign(tarvikCompare(ptr(a), ptr(b))) : 0);
      EXPECT_EQ(sortCmp(sortKey({{'-', ptr(a)}}), sortKey({{'-', ptr(b)}})),
                -sortCmp(sortKey({{'+', ptr(a)}}), sortKey({{'+', ptr(b)}})));
      EXPECT_EQ(sortCmp(sortKey({{'D', ptr(a)}}), sortKey({{'D', ptr(b)}})),
                -sortCmp(sortKey({{'A', ptr(a)}}), sortKey({{'A', ptr(b)}})));
    }
  }
}

// ---------------------------------------------------------------- sortable encoding

TEST(Sortable, ExactStoredTexts) {
  EXPECT_EQ(sortable(0.0), "000W");
  EXPECT_EQ(sortable(-0.0), "000W");
  EXPECT_EQ(sortable(1.0), "0G1X");
  EXPECT_EQ(sortable(2.0), "0G1Y");
  EXPECT_EQ(sortable(0.5), "0G1WW");
  EXPECT_EQ(sortable(10.0), "0G1g");
  EXPECT_EQ(sortable(100.0), "0G2Xa");
  EXPECT_EQ(sortable(-1.0), "-F~V");
  EXPECT_EQ(sortable(-100.0), "-F|US");
  EXPECT_EQ(sortable(0.1), "0G0cPcPcPcPc");
  EXPECT_EQ(sortable(HUGE_VAL), "0~~~~~~~~~~~~");
  EXPECT_EQ(sortable(-HUGE_VAL), "-01");
  EXPECT_EQ(sortable(std::nan("")), "0G0");
  EXPECT_EQ(sortable(DBL_MAX), "0Ihm")
      << "(1 - 2^-53) x 2^1024: the 0.5 offset rounds off the low bits";
  EXPECT_EQ(sortable(std::numeric_limits<double>::denorm_min()), "0DEX")
      << "2^-1074 = 2^-6 x 64^-178";
}

// The largest double below 0.5 x 64^k gets a mantissa of 1 - 2^-54, which
// rounds to 1.0 when added in double arithmetic; it must not be encoded as
// an overflow (above the boundary, equal to infinity).
TEST(Sortable, JustBelowAPowerOf64BoundaryStaysBelowIt) {
  for (int k = -170; k <= 170; k++) {
    double boundary = std::ldexp(0.5, 6 * k);
    if (boundary == 0 || std::isinf(boundary)) continue;
    double below = std::nextafter(boundary, 0.0);
    double below2 = std::nextafter(below, 0.0);
    std::string eB = sortable(boundary), e1 = sortable(below), e2 = sortable(below2);
    EXPECT_LT(e1, eB) << "k=" << k;
    EXPECT_LE(e2, e1) << "k=" << k;
    EXPECT_LT(e1, sortable(HUGE_VAL)) << "k=" << k;
    EXPECT_GT(sortable(-below), sortable(-boundary)) << "k=" << k;
    EXPECT_LE(sortable(-below), sortable(-below2)) << "k=" << k;
  }
  EXPECT_EQ(sortable(std::nextafter(0.5, 0.0)), "0G0~~~~~~~~~");
}

// Reads the encoding back; the test's own check that the digits carry the
// value (about 53 bits of it), not just some monotone pattern.
long double unsortable(const std::string &z) {
  auto digit = [](char c) {
    const char *alpha = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz|~";
    return (int)(strchr(alpha, c) - alpha);
  };
  bool neg = z[0] == '-';
  int e = digit(z[1]) * 64 + digit(z[2]) - 1024;
  long double m = 0, scale = 1.0L / 64;
  for (size_t i = 3; i < z.size(); i++, scale /= 64) m += digit(z[i]) * scale;
  m -= 0.5;
  if (neg) {
    e = -e;
    m = -m;
  }
  if (!neg && e == -1024) return 0.0;
  long double r = std::ldexp(m, 6 * e);
  return neg ? -r : r;
}

std::vector<double> interestingDoubles(unsigned seed, int nRandom) {
  std::mt19937_64 rng(seed);
  const double dmin = std::numeric_limits<double>::denorm_min();
  std::vector<double> v = {0.0,
                           -0.0,
                           1.0,
                           -1.0,
                           0.5,
                           1e300,
                           -1e300,
                           1e-300,
                           -1e-300,
                           DBL_MAX,
                           -DBL_MAX,
                           DBL_MIN,
                           -DBL_MIN,
                           dmin,
                           -dmin,
                           0.1,
                           0.2,
                           0.3,
                           2147483647.0,
                           -2147483648.0,
                           9007199254740992.0,
                           9007199254740993.0};
  for (int k = -1074; k <= 1023; k += 1) {
    double p = std::ldexp(1.0, k);
    for (double x : {p, std::nextafter(p, 0.0), std::nextafter(p, HUGE_VAL)}) {
      v.push_back(x);
      v.push_back(-x);
    }
  }
  for (int i = -1000; i <= 1000; i++) {
    v.push_back(i);
    v.push_back(i + 0.25);
    v.push_back(i / 7.0);
  }
  for (int i = 0; i < nRandom; i++) {
    switch (i % 3) {
      case 0: {  // any bit pattern that is a finite double
        u64 bits = rng();
        double d;
        memcpy(&d, &bits, 8);
        if (std::isfinite(d)) v.push_back(d);
        break;
      }
      case 1:  // moderate magnitudes
        v.push_back(std::ldexp((double)(rng() >> 11) / 9007199254740992.0, (int)(rng() % 80) - 40) *
                    (rng() % 2 ? 1 : -1));
        break;
      default:  // close neighbours
        double d = (double)(int64_t)(rng() % 2000001) - 1000000.0;
        v.push_back(d);
        v.push_back(std::nextafter(d, HUGE_VAL));
        v.push_back(std::nextafter(d, -HUGE_VAL));
        break;
    }
  }
  return v;
}

// For every pair x < y the encodings compare x <= y under memcmp (equal only
// when x and y agree in their leading ~53 bits); equal numbers encode equally.
TEST(Sortable, ByteOrderIsNumericOrder) {
  auto v = interestingDoubles(42, 60000);
  std::sort(v.begin(), v.end());
  std::vector<std::string> enc;
  enc.reserve(v.size());
  for (double d : v) enc.push_back(sortable(d));
  for (size_t i = 1; i < v.size(); i++) {
    int c =
        memcmp(enc[i - 1].c_str(), enc[i].c_str(), std::min(enc[i - 1].size(), enc[i].size()) + 1);
    if (v[i - 1] == v[i]) {
      ASSERT_EQ(c, 0) << v[i - 1] << " (-0 and 0 are one value)";
    } else {
      ASSERT_LE(c, 0) << std::hexfloat << v[i - 1] << " encodes above " << v[i] << ": "
                      << enc[i - 1] << " " << enc[i];
      double rel = (v[i] - v[i - 1]) / std::max(std::fabs(v[i]), std::fabs(v[i - 1]));
      if (rel > 0x1p-45) {
        ASSERT_LT(c, 0) << std::hexfloat << v[i - 1] << " and " << v[i];
      }
    }
  }
  for (size_t i = 0; i < v.size(); i++) {
    long double back = unsortable(enc[i]);
    ASSERT_LE(std::fabs(back - v[i]), std::fabs((long double)v[i]) * 0x1p-46L)
        << std::hexfloat << v[i] << " " << enc[i];
  }
  // Infinities bracket every finite number; the listed order holds.
  const double ordered[] = {-HUGE_VAL, -1e300, -1, -1e-300, 0, 1e-300, 1, 1e300, HUGE_VAL};
  for (size_t i = 1; i < std::size(ordered); i++) {
    EXPECT_LT(sortable(ordered[i - 1]), sortable(ordered[i])) << ordered[i];
  }
  EXPECT_LT(sortable(-HUGE_VAL), sortable(-DBL_MAX));
  EXPECT_GT(sortable(HUGE_VAL), sortable(DBL_MAX));
}

// ---------------------------------------------------------------- UTF-8

TEST(Utf8, DecodesAndNeverReadsPastTheEnd) {
  EXPECT_EQ(tarvik_utf8_to_int("\xC3\xA9"), 233);
  EXPECT_EQ(tarvik_utf8_to_int("\xE2\x82\xAC"), 8364);
  EXPECT_EQ(tarvik_utf8_to_int("\xF0\x9F\x98\x80"), 0x1F600);
  EXPECT_EQ(tarvik_utf8_to_int("a\x80"), 'a' * 64) << "no validation: a stray byte joins in";
  EXPECT_EQ(tarvik_utf8_to_int("\x80"), 0x80);
  EXPECT_EQ(tarvik_utf8_to_int("\xFF"), 255);
  EXPECT_EQ(tarvik_utf8_to_int("\xC3"), 3) << "truncated sequence stops at the NUL";
  EXPECT_EQ(tarvik_utf8_to_int("\xFD\xBF\xBF\xBF\xBF\xBF"), 0x7FFFFFFF);
  ExactText empty("");
  EXPECT_EQ(tarvik_utf8_to_int(empty.get()), 0);
  ExactText lead("\xE2");
  EXPECT_EQ(tarvik_utf8_to_int(lead.get()), 2);
  ExactText run("\xFF" + std::string(40, '\xBF'));  // wraps, must not overflow
  (void)tarvik_utf8_to_int(run.get());
  EXPECT_EQ(tarvikNextChar(empty.get()), empty.get());
  ExactText s(
      "\xE2\x82\xAC"
      "a");
  EXPECT_EQ(tarvikNextChar(s.get()), s.get() + 3);
  for (int b = 0; b < 256; b++) {
    int want = b < 0xC0   ? b
               : b < 0xE0 ? b & 0x1F
               : b < 0xF0 ? b & 0x0F
               : b < 0xF8 ? b & 7
               : b < 0xFC ? b & 3
               : b < 0xFE ? b & 1
                          : b;
    EXPECT_EQ(tarvikUtf8LeadValue[b], want) << b;
  }
}

// ---------------------------------------------------------------- GLOB and LIKE

bool glob(const char *p, const char *s) {
  ExactText ep(p), es(s);
  return tarvikGlobCompare(ep.get(), es.get()) != 0;
}
bool like(const char *p, const char *s) {
  ExactText ep(p), es(s);
  return tarvikLikeCompare(ep.get(), es.get()) != 0;
}

TEST(Glob, WildcardsAndClasses) {
  EXPECT_TRUE(glob("a*c", "abc"));
  EXPECT_TRUE(glob("a*c", "ac"));
  EXPECT_TRUE(glob("a*c", "abcbc"));
  EXPECT_FALSE(glob("a*c", "abcb"));
  EXPECT_FALSE(glob("a?c", "ac"));
  EXPECT_TRUE(glob("a?c", "abc"));
  EXPECT_TRUE(glob("[a-c]x", "bx"));
  EXPECT_FALSE(glob("[^a-c]x", "bx"));
  EXPECT_TRUE(glob("[^a-c]x", "dx"));
  EXPECT_TRUE(glob("[]]", "]"));
  EXPECT_FALSE(glob("[]]", "a"));
  EXPECT_TRUE(glob("[^]]", "a"));
  for (const char *s : {"a", "b", "c", "-", "e"}) EXPECT_TRUE(glob("[a-c-e]", s)) << s;
  EXPECT_FALSE(glob("[a-c-e]", "d"));
  EXPECT_TRUE(glob("[a-]", "-"));
  EXPECT_TRUE(glob("[-a]", "-"));
  EXPECT_TRUE(glob("[]-a]", "-")) << "a leading ] is not a range start";
  EXPECT_FALSE(glob("[]-a]", "^"));
  EXPECT_FALSE(glob("a*[x]", "a")) << "a class after * needs a character";
  EXPECT_TRUE(glob("a*[x]", "abx"));
  EXPECT_FALSE(glob("A*", "abc")) << "GLOB is case-sensitive";
  EXPECT_TRUE(glob("?", "\xC3\xA9")) << "? takes a whole character";
  EXPECT_FALSE(glob("??", "\xC3\xA9"));
  EXPECT_FALSE(glob("[abc", "a")) << "unclosed class matches nothing";
  EXPECT_FALSE(glob("[", "a"));
  EXPECT_FALSE(glob("[^", "a"));
  EXPECT_FALSE(glob("[a-", "a"));
  EXPECT_TRUE(glob("[\xC3\xA0-\xC3\xBF]", "\xC3\xA9")) << "ranges of multibyte characters";
  EXPECT_FALSE(glob("[\xC3\xA0-\xC3\xA8]", "\xC3\xA9"));
  EXPECT_TRUE(glob("*\xE2\x82\xAC*", "price: 5\xE2\x82\xAC net"));
  EXPECT_TRUE(glob("*?", "x"));
  EXPECT_FALSE(glob("*?", ""));
  EXPECT_FALSE(glob("*??", "x"));
  EXPECT_TRUE(glob("**", ""));
  EXPECT_TRUE(glob("", ""));
  EXPECT_FALSE(glob("", "a"));
  EXPECT_FALSE(glob("a", ""));
  EXPECT_TRUE(glob("*a*b*c*", "xxaxxbxxcxx"));
  EXPECT_FALSE(glob("*a*b*c*", "xxaxxcxxbxx"));
  EXPECT_TRUE(glob("*[0-9]", "abc7"));
  EXPECT_FALSE(glob("*[0-9]", "abc"));
}

TEST(Like, FoldsAsciiOnly) {
  EXPECT_TRUE(like("A%", "abc"));
  EXPECT_TRUE(like("a%", "ABC"));
  EXPECT_TRUE(like("a_c", "aXc"));
  EXPECT_TRUE(like("%", ""));
  EXPECT_FALSE(like("_", ""));
  EXPECT_TRUE(like("_", "\xC3\xA9")) << "_ takes a whole character";
  EXPECT_TRUE(like("\xC3\xA9", "\xC3\xA9"));
  EXPECT_FALSE(like("\xC3\xA9", "\xC3\x89")) << "no folding beyond ASCII";
  EXPECT_FALSE(like("\xC9", "\xE9"));
  EXPECT_TRUE(like("%B%", "aaabaaa"));
  EXPECT_FALSE(like("%b%", "aaaa"));
  EXPECT_TRUE(like("%_%_%", "ab"));
  EXPECT_FALSE(like("%_%_%", "a"));
  EXPECT_TRUE(like("a[b]", "A[B]")) << "no classes in LIKE";
  EXPECT_TRUE(like("%z", "\xE2\x82\xACz"));
  EXPECT_FALSE(like("abc", "ab"));
  EXPECT_FALSE(like("ab", "abc"));
}

// The matchers' meaning, written down as a recursive walk (one level per
// wildcard) for short inputs; the engine's matchers are loops and must
// agree with it.
int refGlob(const unsigned char *p, const unsigned char *s);

const unsigned char *refNext(const unsigned char *z) {
  z++;
  while ((*z & 0xC0) == 0x80) z++;
  return z;
}

int refGlob(const unsigned char *p, const unsigned char *s) {
  for (;;) {
    int c = *p;
    if (c == 0) return *s == 0;
    if (c == '*') {
      p++;
      while (*p == '*' || *p == '?') {
        if (*p == '?') {
          if (*s == 0) return 0;
          s = refNext(s);
        }
        p++;
      }
      c = *p;
      if (c == 0) return 1;
      if (c == '[') {
        while (*s && !refGlob(p, s)) s = refNext(s);
        return *s != 0;
      }
      for (;;) {
        while (*s && *s != c) s++;
        if (*s == 0) return 0;
        if (refGlob(p, s)) return 1;
        s = refNext(s);
      }
    }
    if (c == '?') {
      if (*s == 0) return 0;
      s = refNext(s);
      p++;
      continue;
    }
    if (c == '[') {
      int sc = tarvik_utf8_to_int((const char *)s);
      if (sc == 0) return 0;
      p++;
      int invert = 0, seen = 0, prior = 0;
      if (*p == '^') {
        invert = 1;
        p++;
      }
      if (*p == ']') {
        if (sc == ']') seen = 1;
        p++;
      }
      for (;;) {
        int c2 = tarvik_utf8_to_int((const char *)p);
        if (c2 == 0 || c2 == ']') break;
        if (c2 == '-' && p[1] != ']' && p[1] != 0 && prior > 0) {
          p++;
          int hi = tarvik_utf8_to_int((const char *)p);
          if (sc >= prior && sc <= hi) seen = 1;
          prior = 0;
        } else {
          if (sc == c2) seen = 1;
          prior = c2;
        }
        p = refNext(p);
      }
      if (*p != ']') return 0;
      if (seen == invert) return 0;
      p++;
      s = refNext(s);
      continue;
    }
    if (c != *s) return 0;
    p++;
    s++;
  }
}

int refLike(const unsigned char *p, const unsigned char *s) {
  for (;;) {
    int c = UpperToLower[*p];
    if (c == 0) return *s == 0;
    if (c == '%') {
      p++;
      while (*p == '%' || *p == '_') {
        if (*p == '_') {
          if (*s == 0) return 0;
          s = refNext(s);
        }
        p++;
      }
      if (*p == 0) return 1;
      c = UpperToLower[*p];
      for (;;) {
        while (*s && UpperToLower[*s] != c) s++;
        if (*s == 0) return 0;
        if (refLike(p, s)) return 1;
        s = refNext(s);
      }
    }
    if (c == '_') {
      if (*s == 0) return 0;
      s = refNext(s);
      p++;
      continue;
    }
    if (c != UpperToLower[*s]) return 0;
    p++;
    s++;
  }
}

std::string randomText(std::mt19937 &rng, const std::vector<std::string> &alphabet, int maxLen) {
  std::string s;
  int n = (int)(rng() % (maxLen + 1));
  for (int i = 0; i < n; i++) s += alphabet[rng() % alphabet.size()];
  return s;
}

// Same results as the recursive definition on valid UTF-8 (mixed one-, two-
// and three-byte characters, folding, classes, ranges, inversion).
TEST(Patterns, LoopsAgreeWithTheRecursiveDefinition) {
  std::mt19937 rng(1234);
  std::vector<std::string> strAlpha = {"a", "b", "A", "-", "]", "\xC3\xA9", "\xE2\x82\xAC", "c"};
  std::vector<std::string> globAlpha = {"a",     "b",   "A", "*", "*",        "?",
                                        "[",     "]",   "^", "-", "\xC3\xA9", "\xE2\x82\xAC",
                                        "[a-c]", "[^b]"};
  std::vector<std::string> likeAlpha = {
      "a", "b", "A", "B", "%", "%", "_", "\xC3\xA9", "\xE2\x82\xAC", "-"};
  int globMatches = 0, likeMatches = 0;
  for (int t = 0; t < 200000; t++) {
    std::string s = randomText(rng, strAlpha, 8);
    std::string pg = randomText(rng, globAlpha, 7);
    std::string pl = randomText(rng, likeAlpha, 7);
    int want = refGlob((const unsigned char *)pg.c_str(), (const unsigned char *)s.c_str());
    ASSERT_EQ(glob(pg.c_str(), s.c_str()), want != 0) << "GLOB '" << pg << "' '" << s << "'";
    globMatches += want;
    want = refLike((const unsigned char *)pl.c_str(), (const unsigned char *)s.c_str());
    ASSERT_EQ(like(pl.c_str(), s.c_str()), want != 0) << "LIKE '" << pl << "' '" << s << "'";
    likeMatches += want;
  }
  EXPECT_GT(globMatches, 5000) << "the generator should produce matches too";
  EXPECT_GT(likeMatches, 5000);
}

// Arbitrary bytes (stray continuation bytes, truncated sequences, overlong
// forms): no read beyond either text's NUL, which the sanitizer build checks
// through the exact-size copies.  Results follow the recursive definition
// except where a literal byte splits a character so that a later wildcard
// starts inside one; the test counts those cases to keep them rare.
TEST(Patterns, MalformedUtf8IsSafe) {
  std::mt19937 rng(99);
  std::vector<std::string> bytes = {"a",    "\x80",     "\xBF", "\xC3", "\xE2",
                                    "\xFF", "\xC0\x80", "\xA9", "b",    "-"};
  std::vector<std::string> globAlpha = bytes;
  for (const char *w : {"*", "?", "[", "]", "^", "-", "*"}) globAlpha.push_back(w);
  std::vector<std::string> likeAlpha = bytes;
  for (const char *w : {"%", "_", "%"}) likeAlpha.push_back(w);
  int differ = 0, n = 100000;
  for (int t = 0; t < n; t++) {
    std::string s = randomText(rng, bytes, 8);
    std::string pg = randomText(rng, globAlpha, 7);
    std::string pl = randomText(rng, likeAlpha, 7);
    bool g = glob(pg.c_str(), s.c_str());
    bool l = like(pl.c_str(), s.c_str());
    differ +=
        g != (refGlob((const unsigned char *)pg.c_str(), (const unsigned char *)s.c_str()) != 0);
    differ +=
        l != (refLike((const unsigned char *)pl.c_str(), (const unsigned char *)s.c_str()) != 0);
  }
  EXPECT_LT(differ, n / 1000);
}

// A recursive matcher nests once per wildcard (stack exhaustion) and takes
// exponential time on these; the loops finish in O(pattern x string).
TEST(Patterns, ManyWildcardsNeitherRecurseNorExplode) {
  std::string pg, pl;
  for (int i = 0; i < 20000; i++) {
    pg += "*a";
    pl += "%a";
  }
  std::string s(30000, 'a');
  EXPECT_FALSE(glob((pg + "b").c_str(), s.c_str()));
  EXPECT_FALSE(like((pl + "b").c_str(), s.c_str()));
  EXPECT_TRUE(glob(pg.c_str(), s.c_str()));
  EXPECT_TRUE(like(pl.c_str(), s.c_str()));
  std::string cls;
  for (int i = 0; i < 5000; i++) cls += "*[a]";
  EXPECT_FALSE(glob((cls + "b").c_str(), s.c_str()));
  EXPECT_TRUE(glob(cls.c_str(), s.c_str()));
}

}  // namespace
