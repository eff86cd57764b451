/*
** The date and time functions: julianday, date, time, datetime, strftime.
**
** Each call parses a time string into a DateTime, applies its modifiers in
** order and renders the result.  All arithmetic is on the Julian day number
** rJD (a double); calendar fields are derived from it on demand, and fields
** that were parsed are printed as parsed until something forces the Julian
** day.  Any argument that is NULL or does not parse makes the result NULL.
**
** Range.  The calendar conversions work in int and truncate toward zero.
** Beyond kMaxJD days (about 1.4 million years) they would overflow, and
** before the first day of the count (-4713-11-24, Julian day -0.5)
** truncation is not flooring, so the dates and weekdays they gave would be
** wrong.  A Julian day outside that range makes every calendar rendering
** and every modifier fail (NULL); julianday() of a bare number or of a
** parsed date still returns the number.  Year and month offsets are
** bounded likewise before they are converted.
*/
#include <cctype>
#include <climits>
#include <cmath>
#include <ctime>

#include "os.h"
#include "tarvikInt.h"

/* strftime's %s prints a long: it must hold seconds beyond 2038. */
static_assert(sizeof(long) >= 8);

namespace {

struct DateTime {
  double rJD;  /* Julian day number; 2000-01-01 00:00 is 2451544.5 */
  int Y, M, D; /* year, month 1-12, day 1-31 */
  int h, m;    /* hour, minute */
  int tz;      /* time-zone offset in minutes */
  double s;    /* seconds with fraction */
  char validYMD;
  char validHMS;
  char validJD;
  char validTZ; /* tz is set and not yet folded into rJD */
};

constexpr double kMinJD = -0.5;
constexpr double kMaxJD = 5.0e8;
/* Largest year or month offset: keeps |Y| below the int range of the
** Julian day formula's 365.25 * (Y + 4716). */
constexpr double kMaxYearOffset = 4.0e6;

bool isSpace(char c) { return isspace((unsigned char)c) != 0; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

/* One fixed-width group of digits for getDigits. */
struct DigitGroup {
  int nDigit;
  int min, max;
  char sep; /* the character that must follow, or 0 for the last group */
  int *pVal;
};

/* Reads the groups in order: exactly nDigit digits within [min, max], then
** the separator.  Returns the number of groups stored before the first that
** fails.  Never reads past the terminating NUL. */
template <size_t N>
int getDigits(const char *z, const DigitGroup (&aGroup)[N]) {
  int cnt = 0;
  for (const DigitGroup &g : aGroup) {
    int val = 0;
    for (int i = 0; i < g.nDigit; i++, z++) {
      if (!isDigit(*z)) return cnt;
      val = val * 10 + (*z - '0');
    }
    if (val < g.min || val > g.max || (g.sep != 0 && *z != g.sep)) return cnt;
    *g.pVal = val;
    cnt++;
    if (g.sep == 0) break;
    z++;
  }
  return cnt;
}

/* Reads a number; returns the characters consumed (0 when there is none). */
int getValue(const char *z, double *pR) {
  const char *zEnd;
  *pR = tarvikAtoF(z, &zEnd);
  return (int)(zEnd - z);
}

/* [+-]HH:MM after optional white space, then only white space.  0 on
** success (tz set, or 0 when there is no suffix). */
int parseTimezone(const char *z, DateTime *p) {
  while (isSpace(*z)) z++;
  p->tz = 0;
  int sgn;
  if (*z == '-') {
    sgn = -1;
  } else if (*z == '+') {
    sgn = 1;
  } else {
    return *z != 0;
  }
  z++;
  int nHr, nMn;
  if (getDigits(z, {{2, 0, 14, ':', &nHr}, {2, 0, 59, 0, &nMn}}) != 2) return 1;
  z += 5;
  p->tz = sgn * (nMn + nHr * 60);
  while (isSpace(*z)) z++;
  return *z != 0;
}

/* HH:MM[:SS[.FFF...]] with an optional zone.  The hour may be 24.  Digits
** of the fraction beyond the eighteenth cannot change a result that is
** shown to the millisecond, so they are read but not added: accumulating
** hundreds of them would overflow the scale and give NaN seconds. */
int parseHhMmSs(const char *z, DateTime *p) {
  int h, m, s;
  double ms = 0.0;
  if (getDigits(z, {{2, 0, 24, ':', &h}, {2, 0, 59, 0, &m}}) != 2) return 1;
  z += 5;
  if (*z == ':') {
    z++;
    if (getDigits(z, {{2, 0, 59, 0, &s}}) != 1) return 1;
    z += 2;
    if (*z == '.' && isDigit(z[1])) {
      double rScale = 1.0;
      int nDigit = 0;
      for (z++; isDigit(*z); z++) {
        if (nDigit++ < 18) {
          ms = ms * 10.0 + (*z - '0');
          rScale *= 10.0;
        }
      }
      ms /= rScale;
    }
  } else {
    s = 0;
  }
  p->validJD = 0;
  p->validHMS = 1;
  p->h = h;
  p->m = m;
  p->s = s + ms;
  if (parseTimezone(z, p)) return 1;
  p->validTZ = p->tz != 0;
  return 0;
}

/* Integer division rounding toward minus infinity.  The century
** correction of the Julian day needs it for years before 0: truncating
** made the day of every date in year -4700, -4600, ... (all but every
** fourth century) one more than the conversion back gives. */
int floorDiv(int a, int b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

/* The Julian day from the fields (2000-01-01 when there is no date). */
void computeJD(DateTime *p) {
  if (p->validJD) return;
  int Y, M, D;
  if (p->validYMD) {
    Y = p->Y;
    M = p->M;
    D = p->D;
  } else {
    Y = 2000;
    M = 1;
    D = 1;
  }
  if (M <= 2) {
    Y--;
    M += 12;
  }
  int A = floorDiv(Y, 100);
  int B = 2 - A + floorDiv(A, 4);
  int X1 = (int)(365.25 * (Y + 4716));
  int X2 = (int)(30.6001 * (M + 1));
  p->rJD = X1 + X2 + D + B - 1524.5;
  p->validJD = 1;
  p->validYMD = 0;
  if (p->validHMS) {
    p->rJD += (p->h * 3600.0 + p->m * 60.0 + p->s) / 86400.0;
    if (p->validTZ) {
      p->rJD += p->tz * 60 / 86400.0;
      p->validHMS = 0;
      p->validTZ = 0;
    }
  }
}

/* YYYY-MM-DD (year optionally negative), then optionally a time. */
int parseYyyyMmDd(const char *z, DateTime *p) {
  bool neg = false;
  if (z[0] == '-') {
    z++;
    neg = true;
  }
  int Y, M, D;
  if (getDigits(z, {{4, 0, 9999, '-', &Y}, {2, 1, 12, '-', &M}, {2, 1, 31, 0, &D}}) != 3) {
    return 1;
  }
  z += 10;
  while (isSpace(*z)) z++;
  if (parseHhMmSs(z, p) == 0) {
    /* date and time */
  } else if (*z == 0) {
    p->validHMS = 0;
  } else {
    return 1;
  }
  p->validJD = 0;
  p->validYMD = 1;
  p->Y = neg ? -Y : Y;
  p->M = M;
  p->D = D;
  if (p->validTZ) computeJD(p);
  return 0;
}

/* 0 when z is a date, a time, "now" or a number (a Julian day). */
int parseDateOrTime(const char *z, DateTime *p) {
  *p = DateTime{};
  if (parseYyyyMmDd(z, p) == 0) return 0;
  *p = DateTime{};
  if (parseHhMmSs(z, p) == 0) return 0;
  *p = DateTime{};
  if (tarvikStrICmp(z, "now") == 0) {
    double r;
    if (tarvikOsCurrentTime(&r) != 0) return 1;
    p->rJD = r;
    p->validJD = 1;
    return 0;
  }
  if (tarvikIsNumber(z)) {
    p->rJD = tarvikAtoF(z, nullptr);
    p->validJD = 1;
    return 0;
  }
  return 1;
}

/* The calendar date from the Julian day (2000-01-01 when there is none). */
void computeYMD(DateTime *p) {
  if (p->validYMD) return;
  if (!p->validJD) {
    p->Y = 2000;
    p->M = 1;
    p->D = 1;
  } else {
    int Z = (int)(p->rJD + 0.5);
    int A = (int)((Z - 1867216.25) / 36524.25);
    A = Z + 1 + A - (A / 4);
    int B = A + 1524;
    int C = (int)((B - 122.1) / 365.25);
    int D = (int)(365.25 * C);
    int E = (int)((B - D) / 30.6001);
    int X1 = (int)(30.6001 * E);
    p->D = B - D - X1;
    p->M = E < 14 ? E - 1 : E - 13;
    p->Y = p->M > 2 ? C - 4716 : C - 4715;
  }
  p->validYMD = 1;
}

/* The time of day from the Julian day, to the millisecond.  A value with
** no Julian day yet (a bare date) gets one first: reading the unset rJD
** would put every bare date at noon. */
void computeHMS(DateTime *p) {
  if (p->validHMS) return;
  if (!p->validJD) {
    /* The date fields stay current: computing the day changes none. */
    char validYMD = p->validYMD;
    computeJD(p);
    p->validYMD = validYMD;
  }
  int Z = (int)(p->rJD + 0.5);
  int ms = (int)((p->rJD + 0.5 - Z) * 86400000.0 + 0.5);
  p->s = 0.001 * ms;
  int s = (int)p->s;
  p->s -= s;
  p->h = s / 3600;
  s -= p->h * 3600;
  p->m = s / 60;
  p->s += s - p->m * 60;
  p->validHMS = 1;
}

void computeYMD_HMS(DateTime *p) {
  computeYMD(p);
  computeHMS(p);
}

void clearYMD_HMS_TZ(DateTime *p) {
  p->validYMD = 0;
  p->validHMS = 0;
  p->validTZ = 0;
}

/* The calendar conversions are safe and exact for this value. */
bool inRange(const DateTime *p) { return !p->validJD || (p->rJD >= kMinJD && p->rJD <= kMaxJD); }

/* Day of the week of a Julian day in range, 0 = Sunday. */
int weekday(double rJD) { return ((int)(rJD + 1.5)) % 7; }

/* Local time minus UTC, in days, at the instant in p.  Outside the years
** the platform's time_t conversion is trusted for (1971-2037) the offset of
** 2000-01-01 is used. */
double localtimeOffset(const DateTime *p) {
  DateTime x = *p;
  computeYMD_HMS(&x);
  if (x.Y < 1971 || x.Y > 2037) {
    x.Y = 2000;
    x.M = 1;
    x.D = 1;
    x.h = 0;
    x.m = 0;
    x.s = 0.0;
  } else {
    int s = (int)(x.s + 0.5);
    x.s = s;
  }
  x.tz = 0;
  x.validJD = 0;
  computeJD(&x);
  time_t t = (time_t)(i64)((x.rJD - 2440587.5) * 86400.0 + 0.5);
  struct tm tmLocal;
  tarvikOsEnterMutex();
  struct tm *pTm = localtime(&t);
  if (pTm) tmLocal = *pTm;
  tarvikOsLeaveMutex();
  if (pTm == nullptr) return 0.0;
  DateTime y{};
  y.Y = tmLocal.tm_year + 1900;
  y.M = tmLocal.tm_mon + 1;
  y.D = tmLocal.tm_mday;
  y.h = tmLocal.tm_hour;
  y.m = tmLocal.tm_min;
  y.s = tmLocal.tm_sec;
  y.validYMD = 1;
  y.validHMS = 1;
  computeJD(&y);
  return y.rJD - x.rJD;
}

/* Applies one modifier (matched on its first 29 characters, ignoring
** case).  0 on success, 1 when it is not a modifier or the result would be
** out of range. */
int applyModifier(const char *zMod, DateTime *p) {
  char zBuf[30];
  int n;
  for (n = 0; n < (int)sizeof(zBuf) - 1 && zMod[n]; n++) {
    zBuf[n] = (char)UpperToLower[(unsigned char)zMod[n]];
  }
  zBuf[n] = 0;
  char *z = zBuf;
  double r;
  switch (z[0]) {
    case 'l':
      if (strcmp(z, "localtime") != 0) return 1;
      computeJD(p);
      p->rJD += localtimeOffset(p);
      clearYMD_HMS_TZ(p);
      return 0;
    case 'u':
      /* "unixepoch" only right after a number; otherwise it is not "utc"
      ** either and fails. */
      if (strcmp(z, "unixepoch") == 0 && p->validJD) {
        p->rJD = p->rJD / 86400.0 + 2440587.5;
        clearYMD_HMS_TZ(p);
        return 0;
      }
      if (strcmp(z, "utc") != 0) return 1;
      {
        computeJD(p);
        double c1 = localtimeOffset(p);
        p->rJD -= c1;
        clearYMD_HMS_TZ(p);
        p->rJD += c1 - localtimeOffset(p);
      }
      return 0;
    case 'w': {
      /* weekday N: forward to the next day that is weekday N (0 = Sunday),
      ** or stay when it already is one.  N is range-checked before it is
      ** converted. */
      if (strncmp(z, "weekday ", 8) != 0) return 1;
      if (getValue(&z[8], &r) <= 0 || !(r >= 0.0 && r < 7.0) || (int)r != r) return 1;
      int nDay = (int)r;
      computeYMD_HMS(p);
      p->validTZ = 0;
      p->validJD = 0;
      computeJD(p);
      int Z = weekday(p->rJD);
      if (Z > nDay) Z -= 7;
      p->rJD += nDay - Z;
      clearYMD_HMS_TZ(p);
      return 0;
    }
    case 's':
      if (strncmp(z, "start of ", 9) != 0) return 1;
      z += 9;
      computeYMD(p);
      p->validHMS = 1;
      p->h = p->m = 0;
      p->s = 0.0;
      p->validTZ = 0;
      p->validJD = 0;
      if (strcmp(z, "month") == 0) {
        p->D = 1;
      } else if (strcmp(z, "year") == 0) {
        p->M = 1;
        p->D = 1;
      } else if (strcmp(z, "day") != 0) {
        return 1;
      }
      return 0;
    case '+':
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9': {
      n = getValue(z, &r);
      if (n <= 0) return 1;
      if (z[n] == ':') {
        /* A time offset [+-]HH:MM[:SS[.FFF]]: the time of day it names, as a
        ** fraction of a day, added or subtracted. */
        const char *z2 = z;
        if (!isDigit(*z2)) z2++;
        DateTime tx{};
        if (parseHhMmSs(z2, &tx)) return 1;
        computeJD(&tx);
        tx.rJD -= 0.5;
        int day = (int)tx.rJD;
        tx.rJD -= day;
        if (z[0] == '-') tx.rJD = -tx.rJD;
        computeJD(p);
        clearYMD_HMS_TZ(p);
        p->rJD += tx.rJD;
        return 0;
      }
      z += n;
      while (isSpace(*z)) z++;
      n = (int)strlen(z);
      if (n > 10 || n < 3) return 1;
      if (z[n - 1] == 's') z[--n] = 0;
      computeJD(p);
      int rc = 0;
      if (strcmp(z, "day") == 0) {
        p->rJD += r;
      } else if (strcmp(z, "hour") == 0) {
        p->rJD += r / 24.0;
      } else if (strcmp(z, "minute") == 0) {
        p->rJD += r / 1440.0;
      } else if (strcmp(z, "second") == 0) {
        p->rJD += r / 86400.0;
      } else if (strcmp(z, "month") == 0) {
        if (!(std::fabs(r) <= kMaxYearOffset * 12)) return 1;
        computeYMD_HMS(p);
        p->M = (int)(p->M + r);
        int x = p->M > 0 ? (p->M - 1) / 12 : (p->M - 12) / 12;
        p->Y += x;
        p->M -= x * 12;
        p->validJD = 0;
        computeJD(p);
        int y = (int)r;
        if (y != r) p->rJD += (r - y) * 30.0;
      } else if (strcmp(z, "year") == 0) {
        if (!(std::fabs(r) <= kMaxYearOffset)) return 1;
        computeYMD_HMS(p);
        p->Y = (int)(p->Y + r);
        p->validJD = 0;
        computeJD(p);
      } else {
        rc = 1;
      }
      clearYMD_HMS_TZ(p);
      return rc;
    }
    default:
      return 1;
  }
}

/* Every modifier starts from, and must leave, a value within range. */
int parseModifier(const char *zMod, DateTime *p) {
  /* "unixepoch" is what brings a count of seconds into range. */
  if (!inRange(p) && tarvikStrICmp(zMod, "unixepoch") != 0) return 1;
  if (applyModifier(zMod, p)) return 1;
  return inRange(p) ? 0 : 1;
}

/* 0 when the time string and every modifier parse; 1 otherwise (also for
** no arguments or any NULL argument). */
int isDate(int argc, const char **argv, DateTime *p) {
  if (argc == 0) return 1;
  if (argv[0] == nullptr || parseDateOrTime(argv[0], p)) return 1;
  for (int i = 1; i < argc; i++) {
    if (argv[i] == nullptr || parseModifier(argv[i], p)) return 1;
  }
  return 0;
}

/* ---------------------------------------------------------------- the SQL functions */

void juliandayFunc(tarvik_func *context, int argc, const char **argv) {
  DateTime x;
  if (isDate(argc, argv, &x) == 0) {
    computeJD(&x);
    tarvik_set_result_double(context, x.rJD);
  }
}

void datetimeFunc(tarvik_func *context, int argc, const char **argv) {
  DateTime x;
  if (isDate(argc, argv, &x) == 0 && inRange(&x)) {
    computeYMD_HMS(&x);
    char zBuf[100];
    tarvik_snprintf((int)sizeof(zBuf), zBuf, "%04d-%02d-%02d %02d:%02d:%02d", x.Y, x.M, x.D, x.h,
                    x.m, (int)x.s);
    tarvik_set_result_string(context, zBuf, -1);
  }
}

void timeFunc(tarvik_func *context, int argc, const char **argv) {
  DateTime x;
  if (isDate(argc, argv, &x) == 0 && inRange(&x)) {
    computeHMS(&x);
    char zBuf[100];
    tarvik_snprintf((int)sizeof(zBuf), zBuf, "%02d:%02d:%02d", x.h, x.m, (int)x.s);
    tarvik_set_result_string(context, zBuf, -1);
  }
}

void dateFunc(tarvik_func *context, int argc, const char **argv) {
  DateTime x;
  if (isDate(argc, argv, &x) == 0 && inRange(&x)) {
    computeYMD(&x);
    char zBuf[100];
    tarvik_snprintf((int)sizeof(zBuf), zBuf, "%04d-%02d-%02d", x.Y, x.M, x.D);
    tarvik_set_result_string(context, zBuf, -1);
  }
}

/* strftime(FORMAT, TIMESTRING, MODIFIER, ...).  A first pass sizes the
** output (and rejects unknown conversions); short results are built on the
** stack.  Every conversion is written with its real length, bounded by the
** space the first pass reserved. */
void strftimeFunc(tarvik_func *context, int argc, const char **argv) {
  if (argc < 1) return;
  const char *zFmt = argv[0];
  DateTime x;
  if (zFmt == nullptr || isDate(argc - 1, argv + 1, &x) || !inRange(&x)) return;
  size_t n = 1;
  for (size_t i = 0; zFmt[i]; i++, n++) {
    if (zFmt[i] != '%') continue;
    switch (zFmt[i + 1]) {
      case 'd':
      case 'H':
      case 'm':
      case 'M':
      case 'S':
      case 'W':
        n++;
        break;
      case 'w':
      case '%':
        break;
      case 'f':
      case 'Y':
        n += 8;
        break;
      case 'j':
        n += 3;
        break;
      case 's':
      case 'J':
        n += 50;
        break;
      default:
        return;
    }
    i++;
  }
  char zBuf[100];
  char *z = zBuf;
  size_t nAlloc = sizeof(zBuf);
  if (n > sizeof(zBuf) - 1) {
    if (n >= (size_t)INT_MAX) {
      tarvik_malloc_failed++;
      return;
    }
    z = (char *)tarvikMalloc((int)n);
    if (z == nullptr) return;
    nAlloc = n;
  }
  computeJD(&x);
  computeYMD_HMS(&x);
  /* The size pass reserves room for every conversion; the writes are
  ** bounded by the buffer all the same. */
  size_t j = 0;
  auto putc = [&](char c) {
    if (j + 1 < nAlloc) z[j++] = c;
  };
  auto put = [&](const char *zFormat, auto... args) {
    tarvik_snprintf((int)(nAlloc - j), &z[j], zFormat, args...);
    j += strlen(&z[j]);
  };
  for (size_t i = 0; zFmt[i]; i++) {
    if (zFmt[i] != '%') {
      putc(zFmt[i]);
      continue;
    }
    i++;
    switch (zFmt[i]) {
      case 'd':
        put("%02d", x.D);
        break;
      case 'f': {
        int s = (int)x.s;
        int ms = (int)((x.s - s) * 1000.0);
        put("%02d.%03d", s, ms);
        break;
      }
      case 'H':
        put("%02d", x.h);
        break;
      case 'W':
      case 'j': {
        DateTime y = x;
        y.validJD = 0;
        y.M = 1;
        y.D = 1;
        computeJD(&y);
        int nDay = (int)(x.rJD - y.rJD + 1.0);
        if (zFmt[i] == 'W') {
          put("%02d", (nDay + 6) / 7);
        } else {
          put("%03d", nDay);
        }
        break;
      }
      case 'J':
        put("%.16g", x.rJD);
        break;
      case 'm':
        put("%02d", x.M);
        break;
      case 'M':
        put("%02d", x.m);
        break;
      case 's':
        /* Rounded to the nearest second also before 1970 (truncating would
        ** move every earlier instant one second up), and a long (64-bit
        ** here) because seconds since 1970 leave the int range in 2038. */
        put("%ld", (long)std::floor((x.rJD - 2440587.5) * 86400.0 + 0.5));
        break;
      case 'S':
        put("%02d", (int)(x.s + 0.5));
        break;
      case 'w':
        putc((char)('0' + weekday(x.rJD)));
        break;
      case 'Y':
        put("%04d", x.Y);
        break;
      case '%':
        putc('%');
        break;
    }
  }
  z[j] = 0;
  tarvik_set_result_string(context, z, -1);
  if (z != zBuf) tarvikFree(z);
}

}  // namespace

int tarvikRegisterDateTimeFunctions(tarvik *db) {
  static const struct {
    const char *zName;
    int nArg;
    int dataType;
    void (*xFunc)(tarvik_func *, int, const char **);
  } aFuncs[] = {
      {"julianday", -1, TARVIK_NUMERIC, juliandayFunc},
      {"date", -1, TARVIK_TEXT, dateFunc},
      {"time", -1, TARVIK_TEXT, timeFunc},
      {"datetime", -1, TARVIK_TEXT, datetimeFunc},
      {"strftime", -1, TARVIK_TEXT, strftimeFunc},
  };
  int rc = 0;
  for (const auto &f : aFuncs) {
    rc = tarvik_create_function(db, f.zName, f.nArg, f.xFunc, nullptr);
    if (f.xFunc) rc = tarvik_function_type(db, f.zName, f.dataType);
  }
  return rc;
}
