// The date and time functions: parsing, Julian day arithmetic, every
// modifier and every strftime conversion, called as the machine calls them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "func_support.h"
#include "os.h"

namespace {

using std::nullopt;
using std::optional;
using std::string;

class DateTest : public ::testing::Test {
 protected:
  FuncTestDb t;
  tarvik *db = t.get();

  optional<string> date(std::vector<FArg> a) { return fn(db, "date", a); }
  optional<string> time(std::vector<FArg> a) { return fn(db, "time", a); }
  optional<string> datetime(std::vector<FArg> a) { return fn(db, "datetime", a); }
  optional<string> julianday(std::vector<FArg> a) { return fn(db, "julianday", a); }
  optional<string> strftime(std::vector<FArg> a) { return fn(db, "strftime", a); }
};

// Sets the local zone for one test and restores the previous one.
class LocalZone {
 public:
  explicit LocalZone(const char *zZone) {
    const char *zOld = getenv("TZ");
    hadOld = zOld != nullptr;
    if (hadOld) old = zOld;
    setenv("TZ", zZone, 1);
    tzset();
  }
  ~LocalZone() {
    if (hadOld) {
      setenv("TZ", old.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool hadOld;
  string old;
};

TEST_F(DateTest, KnownJulianDays) {
  EXPECT_EQ(julianday({"2000-01-01"}), "2451544.5");
  EXPECT_EQ(julianday({"2000-01-01 12:00"}), "2451545");
  EXPECT_EQ(julianday({"1970-01-01"}), "2440587.5");
  EXPECT_EQ(julianday({"1582-10-15"}), "2299160.5");
  EXPECT_EQ(julianday({"2000-01-01 06:00:00"}), "2451544.75");
  EXPECT_EQ(julianday({"12:00"}), "2451545");  // a bare time is on 2000-01-01
  EXPECT_EQ(julianday({"2451545.25"}), "2451545.25");
  EXPECT_EQ(date({"2451544.5"}), "2000-01-01");
  EXPECT_EQ(datetime({"2453079.5"}), "2004-03-15 00:00:00");
  EXPECT_EQ(date({"0"}), "-4713-11-24");  // day 0 of the count, proleptic calendar
}

TEST_F(DateTest, FieldsPrintAsParsedUntilTheJulianDayIsNeeded) {
  EXPECT_EQ(date({"2004-02-30"}), "2004-02-30");
  EXPECT_EQ(date({"2004-02-30", "+0 days"}), "2004-03-01");
  EXPECT_EQ(time({"24:00"}), "24:00:00");
  EXPECT_EQ(datetime({"24:00"}), "2000-01-01 24:00:00");
  EXPECT_EQ(datetime({"12:34"}), "2000-01-01 12:34:00");
  EXPECT_EQ(time({"12:34:56.789"}), "12:34:56");
  // A bare date is at midnight.
  EXPECT_EQ(time({"2004-03-14"}), "00:00:00");
  EXPECT_EQ(datetime({"2004-03-14"}), "2004-03-14 00:00:00");
  EXPECT_EQ(datetime({"2004-02-30"}), "2004-02-30 00:00:00");
  EXPECT_EQ(strftime({"%H:%M", "2004-03-14"}), "00:00");
  EXPECT_EQ(datetime({"2004-03-14   13:45"}), "2004-03-14 13:45:00");
  EXPECT_EQ(date({"-0100-01-01"}), "-100-01-01");
  EXPECT_EQ(date({"0000-01-01"}), "0000-01-01");
  // Seconds are truncated by time and datetime, rounded by %S.
  EXPECT_EQ(time({"12:00:59.9"}), "12:00:59");
  EXPECT_EQ(strftime({"%S", "12:00:59.9"}), "60");
}

TEST_F(DateTest, LeapYears) {
  EXPECT_EQ(date({"2000-02-28", "+1 day"}), "2000-02-29");
  EXPECT_EQ(date({"1900-02-28", "+1 day"}), "1900-03-01");
  EXPECT_EQ(date({"2004-02-28", "+1 day"}), "2004-02-29");
  EXPECT_EQ(date({"2100-02-28", "+1 day"}), "2100-03-01");
  EXPECT_EQ(date({"2003-02-28", "+1 day"}), "2003-03-01");
  EXPECT_EQ(date({"2000-02-29", "+1 year"}), "2001-03-01");
  EXPECT_EQ(date({"2004-02-29", "+4 years"}), "2008-02-29");
  EXPECT_EQ(strftime({"%j", "2004-12-31"}), "366");
  EXPECT_EQ(strftime({"%j", "2003-12-31"}), "365");
}

TEST_F(DateTest, TimeZoneSuffix) {
  // The offset is added to the instant.
  EXPECT_EQ(datetime({"2000-01-01 12:00+05:00"}), "2000-01-01 17:00:00");
  EXPECT_EQ(datetime({"2000-01-01 12:00 -05:30 "}), "2000-01-01 06:30:00");
  EXPECT_EQ(datetime({"2000-01-01 22:00:00+14:00"}), "2000-01-02 12:00:00");
  // A bare time keeps its zone until the Julian day is computed.
  EXPECT_EQ(time({"12:00+01:00"}), "12:00:00");
  EXPECT_EQ(julianday({"12:00+01:00"}), julianday({"2000-01-01 13:00"}));
  EXPECT_EQ(datetime({"2000-01-01 12:00+00:00"}), "2000-01-01 12:00:00");
  EXPECT_EQ(datetime({"2000-01-01 12:00+15:00"}), nullopt);
  EXPECT_EQ(datetime({"2000-01-01 12:00+05"}), nullopt);
  EXPECT_EQ(datetime({"2000-01-01 12:00+05:00x"}), nullopt);
  EXPECT_EQ(datetime({"2000-01-01 12:00+05:60"}), nullopt);
}

TEST_F(DateTest, InvalidInputsGiveNull) {
  for (const char *z : {"2004-13-01", "2004-00-10", "2004-01-32", "2004-1-01", "04-01-01",
                        "2004/01/01", "abc", "", " 2004-01-01", "2004-01-01x", "2004-01-01 12",
                        "25:00", "12:60", "12:00:60", "12:5", "1e", "now x", "+"}) {
    EXPECT_EQ(date({z}), nullopt) << z;
    EXPECT_EQ(julianday({z}), nullopt) << z;
  }
  EXPECT_EQ(date({nullptr}), nullopt);
  EXPECT_EQ(date({}), nullopt);
  EXPECT_EQ(date({"2004-01-01", nullptr}), nullopt);
  EXPECT_EQ(date({"2004-01-01", "+1 day", "bogus"}), nullopt);
  EXPECT_EQ(strftime({"%Y"}), nullopt);  // a format without a time string
  EXPECT_EQ(strftime({nullptr, "2004-01-01"}), nullopt);
  EXPECT_EQ(strftime({}), nullopt);
}

TEST_F(DateTest, NowComesFromTheOsClock) {
  tarvikTestOsSetTime(86400 * 10 + 43200);
  EXPECT_EQ(datetime({"now"}), "1970-01-11 12:00:00");
  EXPECT_EQ(julianday({"NOW"}), "2440598");
  EXPECT_EQ(date({"Now", "+1 day"}), "1970-01-12");
  tarvikTestOsSetTime(-1);
  optional<string> real = datetime({"now"});
  ASSERT_TRUE(real.has_value());
  EXPECT_GE(*real, "2024");
}

TEST_F(DateTest, DayHourMinuteSecondOffsets) {
  EXPECT_EQ(datetime({"2004-01-01", "+1 day"}), "2004-01-02 00:00:00");
  EXPECT_EQ(datetime({"2004-01-01", "-1 days"}), "2003-12-31 00:00:00");
  EXPECT_EQ(datetime({"2004-01-01", "+1.5 days"}), "2004-01-02 12:00:00");
  EXPECT_EQ(datetime({"2004-01-01", "+3 hours"}), "2004-01-01 03:00:00");
  EXPECT_EQ(datetime({"2004-01-01", "+90 minutes"}), "2004-01-01 01:30:00");
  EXPECT_EQ(datetime({"2004-01-01", "+30 seconds"}), "2004-01-01 00:00:30");
  EXPECT_EQ(datetime({"2004-01-01", "-1 second"}), "2003-12-31 23:59:59");
  EXPECT_EQ(datetime({"2004-01-01", "+2   HOURS"}), "2004-01-01 02:00:00");
  EXPECT_EQ(datetime({"2004-01-01", "1 day", "+1 hour", "-30 minutes"}), "2004-01-02 00:30:00");
  for (const char *z :
       {"+1 fortnight", "+1 dy", "+1 daysss", "+1", "+1 days x", "+x days", "+1 dayses"}) {
    EXPECT_EQ(date({"2004-01-01", z}), nullopt) << z;
  }
}

TEST_F(DateTest, MonthAndYearOffsets) {
  EXPECT_EQ(date({"2004-01-31", "+1 month"}), "2004-03-02");
  EXPECT_EQ(date({"2004-01-31", "+1.5 months"}), "2004-03-17");
  EXPECT_EQ(date({"2004-03-31", "-1 month"}), "2004-03-02");
  EXPECT_EQ(date({"2004-01-15", "-13 months"}), "2002-12-15");
  EXPECT_EQ(date({"2004-01-15", "+12 months"}), "2005-01-15");
  EXPECT_EQ(date({"2004-01-15", "-1 month"}), "2003-12-15");
  EXPECT_EQ(date({"2004-12-15", "+1 month"}), "2005-01-15");
  EXPECT_EQ(date({"2004-06-15", "+10 years"}), "2014-06-15");
  EXPECT_EQ(date({"2004-06-15", "-2004 years"}), "0000-06-15");
  EXPECT_EQ(datetime({"2004-06-15 10:20:30", "+1 year"}), "2005-06-15 10:20:30");
}

TEST_F(DateTest, TimeOfDayOffsets) {
  EXPECT_EQ(datetime({"2000-01-01 00:00", "+01:30"}), "2000-01-01 01:30:00");
  EXPECT_EQ(datetime({"2000-01-01 00:00", "-00:30"}), "1999-12-31 23:30:00");
  EXPECT_EQ(datetime({"2000-01-01 00:00", "12:00:30"}), "2000-01-01 12:00:30");
  EXPECT_EQ(strftime({"%H:%M:%f", "2000-01-01 00:00", "+00:00:01.5"}), "00:00:01.500");
  EXPECT_EQ(datetime({"2000-01-01 00:00", "+24:00"}), "2000-01-01 00:00:00");
  EXPECT_EQ(datetime({"2000-01-01 00:00", "+1:30"}), nullopt);
  EXPECT_EQ(datetime({"2000-01-01 00:00", "+01:60"}), nullopt);
}

TEST_F(DateTest, StartOfAndWeekday) {
  EXPECT_EQ(datetime({"2004-03-15 12:34:56", "start of month"}), "2004-03-01 00:00:00");
  EXPECT_EQ(datetime({"2004-03-15 12:34:56", "start of year"}), "2004-01-01 00:00:00");
  EXPECT_EQ(datetime({"2004-03-15 12:34:56", "start of day"}), "2004-03-15 00:00:00");
  EXPECT_EQ(datetime({"2453080.25", "Start Of Day"}), "2004-03-15 00:00:00");
  EXPECT_EQ(datetime({"2004-03-15", "start of week"}), nullopt);
  EXPECT_EQ(datetime({"2004-03-15", "start of"}), nullopt);
  EXPECT_EQ(datetime({"2004-03-15 12:00+02:00", "start of day"}), "2004-03-15 00:00:00");

  // 2004-03-14 is a Sunday.
  EXPECT_EQ(date({"2004-03-14", "weekday 0"}), "2004-03-14");
  EXPECT_EQ(date({"2004-03-14", "weekday 1"}), "2004-03-15");
  EXPECT_EQ(date({"2004-03-15", "weekday 0"}), "2004-03-21");
  EXPECT_EQ(date({"2004-03-15", "weekday 6"}), "2004-03-20");
  EXPECT_EQ(datetime({"2004-03-14 10:00", "weekday 3"}), "2004-03-17 10:00:00");
  for (const char *z : {"weekday 7", "weekday -1", "weekday 1.5", "weekday", "weekday x",
                        "weekday 1e300", "weekday 5e9"}) {
    EXPECT_EQ(date({"2004-03-14", z}), nullopt) << z;
  }
}

TEST_F(DateTest, UnixEpochOnlyAfterANumber) {
  EXPECT_EQ(datetime({"0", "unixepoch"}), "1970-01-01 00:00:00");
  EXPECT_EQ(datetime({"1000000000", "UNIXEPOCH"}), "2001-09-09 01:46:40");
  EXPECT_EQ(datetime({"-86400", "unixepoch"}), "1969-12-31 00:00:00");
  EXPECT_EQ(datetime({"2000-01-01", "unixepoch"}), nullopt);
  EXPECT_EQ(datetime({"0", "start of day", "unixepoch"}), nullopt);
  // Counts of seconds far beyond any Julian day are brought into range.
  EXPECT_EQ(datetime({"253402300799", "unixepoch"}), "9999-12-31 23:59:59");
}

TEST_F(DateTest, LocaltimeAndUtcUseTheLocalZoneRules) {
  LocalZone zone("EST5EDT,M3.2.0,M11.1.0");
  EXPECT_EQ(datetime({"2004-06-01 12:00", "localtime"}), "2004-06-01 08:00:00");
  EXPECT_EQ(datetime({"2004-01-15 12:00", "localtime"}), "2004-01-15 07:00:00");
  EXPECT_EQ(datetime({"2004-06-01 08:00", "utc"}), "2004-06-01 12:00:00");
  EXPECT_EQ(datetime({"2004-01-15 07:00", "UTC"}), "2004-01-15 12:00:00");
  EXPECT_EQ(datetime({"2004-06-01 12:00", "localtime", "utc"}), "2004-06-01 12:00:00");
  // Outside 1971-2037 the offset of 2000-01-01 (winter) is used.
  EXPECT_EQ(datetime({"2050-06-01 12:00", "localtime"}), "2050-06-01 07:00:00");
  EXPECT_EQ(datetime({"1900-06-01 12:00", "localtime"}), "1900-06-01 07:00:00");
  EXPECT_EQ(datetime({"2004-06-01", "localtimex"}), nullopt);
  EXPECT_EQ(datetime({"2004-06-01", "utcx"}), nullopt);
}

TEST_F(DateTest, ModifiersAreMatchedOnTheir29FirstCharacters) {
  string mod = "+1" + string(23, ' ') + "days";
  ASSERT_EQ(mod.size(), 29u);
  EXPECT_EQ(date({"2004-01-01", mod.c_str()}), "2004-01-02");
  EXPECT_EQ(date({"2004-01-01", (mod + "XYZ").c_str()}), "2004-01-02");
  EXPECT_EQ(date({"2004-01-01", ("+1" + string(24, ' ') + "days").c_str()}), "2004-01-02");
  EXPECT_EQ(date({"2004-01-01", ("+1" + string(25, ' ') + "days").c_str()}), nullopt);
}

TEST_F(DateTest, StrftimeEveryConversion) {
  const char *zWhen = "2004-03-14 13:45:07.250";
  EXPECT_EQ(strftime({"%d|%H|%m|%M|%S|%Y|%%|%w|%j|%W", zWhen}), "14|13|03|45|07|2004|%|0|074|11");
  EXPECT_EQ(strftime({"%f", zWhen}), "07.250");
  EXPECT_EQ(strftime({"%s", zWhen}), "1079271907");
  optional<string> jd = strftime({"%J", zWhen});
  ASSERT_TRUE(jd.has_value());
  EXPECT_EQ(jd->substr(0, 15), "2453079.0730005");
  EXPECT_EQ(strftime({"%J", "2000-01-01"}), "2451544.5");
  EXPECT_EQ(strftime({"plain text", zWhen}), "plain text");
  EXPECT_EQ(strftime({"", zWhen}), "");
  EXPECT_EQ(strftime({"%W", "2004-01-01"}), "01");
  EXPECT_EQ(strftime({"%W %j", "2004-01-07"}), "01 007");
  EXPECT_EQ(strftime({"%W", "2004-01-08"}), "02");
  EXPECT_EQ(strftime({"%w", "2004-03-20"}), "6");
  EXPECT_EQ(strftime({"%Y-%m-%d", "2004-02-30"}), "2004-03-01");  // via the Julian day
  EXPECT_EQ(strftime({"%s", "1970-01-01"}), "0");
  EXPECT_EQ(strftime({"%s", "1969-12-31 23:59:59"}), "-1");
  EXPECT_EQ(strftime({"%s", "1900-01-01"}), "-2208988800");
  // Unknown conversions and a lone % at the end give NULL.
  EXPECT_EQ(strftime({"%", zWhen}), nullopt);
  EXPECT_EQ(strftime({"abc%", zWhen}), nullopt);
  EXPECT_EQ(strftime({"%q", zWhen}), nullopt);
  EXPECT_EQ(strftime({"%Y %e", zWhen}), nullopt);
  // Long results are built in an allocated buffer.
  string fmt, want;
  for (int i = 0; i < 40; i++) {
    fmt += "%Y.%J;";
    want += "2000.2451544.5;";
  }
  EXPECT_EQ(strftime({fmt.c_str(), "2000-01-01"}), want);
  EXPECT_EQ(strftime({string(150, 'a').c_str(), "2000-01-01"}), string(150, 'a'));
}

// Values whose calendar arithmetic would overflow int or give NaN seconds
// come out sound (or NULL) instead.
TEST_F(DateTest, OutOfRangeValuesAreRejectedNotWrapped) {
  EXPECT_EQ(date({"1e300"}), nullopt);
  EXPECT_EQ(time({"-1e300"}), nullopt);
  EXPECT_EQ(strftime({"%Y", "1e12"}), nullopt);
  EXPECT_EQ(julianday({"1e300"}), "1e+300");  // a bare number needs no conversion
  EXPECT_EQ(julianday({"1e300", "+1 day"}), nullopt);
  EXPECT_EQ(date({"2000-01-01", "+1e300 days"}), nullopt);
  EXPECT_EQ(date({"2000-01-01", "+1e999 days"}), nullopt);
  EXPECT_EQ(date({"2000-01-01", "+1e10 years"}), nullopt);
  EXPECT_EQ(date({"2000-01-01", "+1e12 months"}), nullopt);
  EXPECT_EQ(date({"2000-01-01", "+1e300 months"}), nullopt);
  EXPECT_EQ(datetime({"1e300", "unixepoch"}), nullopt);
  EXPECT_EQ(date({"2000-01-01", "+1000000 years"}), "1002000-01-01");
  // Seconds since 1970 beyond 2038 do not wrap.
  EXPECT_EQ(strftime({"%s", "2100-01-01"}), "4102444800");
  // Before the first day of the count the calendar arithmetic would be
  // wrong, so such values are refused; the first day itself works.
  EXPECT_EQ(date({"-1"}), nullopt);
  EXPECT_EQ(date({"0.5", "-2 days"}), nullopt);
  EXPECT_EQ(julianday({"-6", "weekday 1"}), nullopt);
  EXPECT_EQ(date({"-5000-01-01"}), "-5000-01-01");  // printed as parsed
  EXPECT_EQ(date({"-5000-01-01", "+0 days"}), nullopt);
  EXPECT_EQ(datetime({"-0.5"}), "-4713-11-24 00:00:00");
  EXPECT_EQ(strftime({"%w", "-0.5"}), "1");
  EXPECT_EQ(date({"-0.5", "weekday 0"}), "-4713-11-30");
  EXPECT_EQ(date({"-4700-03-01", "+0 days"}), "-4700-03-01");
  EXPECT_EQ(date({"-4700-02-28", "+1 day"}), "-4700-03-01");  // not a leap year
  EXPECT_EQ(date({"-4400-02-28", "+1 day"}), "-4400-02-29");  // a leap year
  // Hundreds of fraction digits do not turn the seconds into NaN.
  string longFrac = "12:00:00.1234" + string(400, '5');
  EXPECT_EQ(time({longFrac.c_str()}), "12:00:00");
  EXPECT_EQ(strftime({"%f", longFrac.c_str()}), "00.123");
  EXPECT_EQ(strftime({"%f", ("12:00:00.5" + string(400, '0')).c_str()}), "00.500");
}

// Every day from the start of the count to year 9999 (sampled) survives
// the trip Julian day -> date -> Julian day, and its weekday advances by
// one per day.  Century years before 0 once came back a day off.
TEST_F(DateTest, CalendarRoundTrip) {
  int prevWeekday = -1;
  double prevJd = -1;
  for (double jd = 0.5; jd < 5373484.5; jd += 997) {
    string zJd = std::to_string(jd);
    optional<string> d = date({zJd.c_str()});
    ASSERT_TRUE(d.has_value()) << jd;
    if ((*d)[0] == '-' && d->size() < 11) continue;  // "-999-..." prints but does not parse
    optional<string> back = julianday({d->c_str()});
    ASSERT_TRUE(back.has_value()) << *d;
    ASSERT_EQ(std::stod(*back), jd) << *d;
    int w = std::stoi(*strftime({"%w", zJd.c_str()}));
    if (prevWeekday >= 0) {
      ASSERT_EQ(w, (prevWeekday + (int)(jd - prevJd)) % 7) << *d;
    }
    prevWeekday = w;
    prevJd = jd;
  }
}

TEST_F(DateTest, AllocationFailuresGiveTheResultOrNullWithoutLeaks) {
  string fmt, want;
  for (int i = 0; i < 30; i++) {
    fmt += "%Y-%m-%d %H:%M:%S ";
    want += "2004-03-14 13:45:07 ";
  }
  long base = tarvikTestMallocOutstanding();
  for (int n = 1;; n++) {
    tarvikTestMallocFail(n, false);
    optional<string> r = strftime({fmt.c_str(), "2004-03-14 13:45:07"});
    bool injected = tarvikTestMallocFailures() > 0;
    tarvikTestMallocFail(0, false);
    EXPECT_EQ(tarvikTestMallocOutstanding(), base);
    if (!injected) {
      EXPECT_EQ(r, want);
      break;
    }
    EXPECT_EQ(r, nullopt);
  }
}

}  // namespace
