// Leap-day correction: calendar helpers, clock offset, hot-timestamp files.
#include "leapday.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "sys/clock.h"
#include "temp_dir.h"
#include "util.h"

namespace {

using testsupport::ScopedChdir;
using testsupport::TempDir;

time_t utc(int y, int mo, int d, int h = 12, int mi = 0, int s = 0) {
  struct tm t {};
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  t.tm_sec = s;
  return sys::from_utc_tm(t);
}

struct tm md(int d, int mo) {
  struct tm t {};
  t.tm_mday = d;
  t.tm_mon = mo - 1;
  return t;
}

// Standard output is fully buffered in a test run; the daemon makes it
// line-buffered at start-up.
std::string captured() {
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

std::string line(time_t t) { return std::to_string(static_cast<unsigned>(t)) + "\n"; }

class LeapdayFiles : public testing::Test {
 protected:
  void SetUp() override {
    device_init();
    for (auto& c : counter_list) copy_str(c.pvars[CN1_VER]->value.s, "06041C");
  }
  bool patched(int counter, time_t t) {
    sample_t s{static_cast<std::int32_t>(t), 1, 2, 3, 4};
    patchTimestamp(counter, &s);
    EXPECT_EQ(s.etot + s.ptot + s.alm + s.dbm, 10) << "only the time may change";
    if (s.time != t) {
      EXPECT_EQ(s.time, t + 86400);
    }
    return s.time != t;
  }
  void send(int counter, std::initializer_list<time_t> times) {
    sampleset_t set{};
    for (time_t t : times) set.el[set.num++].time = static_cast<std::int32_t>(t);
    set.cnt = counter;
    saveHotSample(counter, set);
  }
  TempDir dir_;
  ScopedChdir cd_{dir_.path()};
};

}  // namespace

TEST(LeapdayCalendar, LeapYearsAndInclusiveDayRanges) {
  const std::pair<int, boolean_t> years[] = {{1900, 0}, {1996, 1}, {2000, 1}, {2023, 0},
                                             {2024, 1}, {2100, 0}, {2400, 1}};
  for (auto [year, leap] : years) EXPECT_EQ(isLeap(year), leap) << year;

  struct Case {
    struct tm from, to, date;
    boolean_t in;
  };
  const Case cases[] = {
      {md(1, 3), md(30, 12), md(29, 2), 0},  {md(1, 3), md(30, 12), md(1, 3), 1},
      {md(1, 3), md(30, 12), md(30, 12), 1}, {md(1, 3), md(30, 12), md(31, 12), 0},
      {md(1, 3), md(30, 12), md(31, 7), 1},  {md(5, 6), md(10, 6), md(4, 6), 0},
      {md(5, 6), md(10, 6), md(10, 6), 1},   {md(5, 6), md(10, 6), md(5, 7), 0},
      {md(1, 12), md(31, 1), md(15, 12), 0},  // over the year's end: never
  };
  for (const Case& c : cases)
    EXPECT_EQ(isInRangeOfDays(&c.from, &c.to, &c.date), c.in)
        << c.date.tm_mday << "/" << c.date.tm_mon + 1;
}

TEST(LeapdayClockOffset, FollowsTheStepsOfTheYearAfterALeapYear) {
  const std::pair<time_t, int> cases[] = {
      {utc(2024, 2, 29, 23, 49, 59), 0},
      {utc(2024, 2, 29, 23, 55), 86400},
      {utc(2024, 12, 30), 86400},
      {utc(2024, 12, 30, 23, 50), 0},
      {utc(2025, 1, 31), 0},
      {utc(2025, 1, 31, 23, 55), -86400},
      {utc(2025, 12, 31), -950400},
      {utc(2025, 12, 31, 23, 55), 0},
      {utc(2026, 6, 1), 0},
      {utc(2027, 12, 11), 0},
      {utc(2001, 6, 5), -432000},
      {utc(2037, 6, 5), -432000},
  };
  for (auto [t, offset] : cases) EXPECT_EQ(loadClockOffset(t), offset) << t;

  // Range k runs from day k of month k+1 to day k of month k+2.
  for (int k = 1; k <= 10; ++k) {
    EXPECT_EQ(loadClockOffset(utc(2029, k + 1, k)), -k * 86400) << k;
    EXPECT_EQ(loadClockOffset(utc(2029, k + 2, k)), -k * 86400) << k;
    EXPECT_EQ(loadClockOffset(utc(2029, k + 2, k + 1)), -(k + 1) * 86400) << k;
  }
}

TEST(LeapdayClockOffset, CenturyYearsFollowTheGregorianRule) {
  if (sizeof(time_t) < 8) GTEST_SKIP() << "dates past 2038 need a 64-bit time_t";
  EXPECT_EQ(loadClockOffset(utc(2100, 6, 1)), 0);
  EXPECT_EQ(loadClockOffset(utc(2101, 6, 5)), 0);
  EXPECT_EQ(loadClockOffset(utc(2401, 6, 5)), -432000);
}

TEST_F(LeapdayFiles, OnlyTheLastDayOfEachStepIsRecorded) {
  const std::pair<time_t, bool> cases[] = {
      {utc(2024, 12, 30, 0, 0, 0), true},
      {utc(2024, 12, 30, 23, 59, 59), true},
      {utc(2024, 12, 29, 23, 59, 59), false},
      {utc(2024, 12, 31, 0, 0, 0), false},
      {utc(2025, 1, 31), true},
      {utc(2025, 2, 1), false},
      {utc(2025, 2, 28), false},
      {utc(2025, 3, 1), true},
      {utc(2025, 4, 1), false},
      {utc(2025, 4, 2), true},
      {utc(2025, 12, 10), true},
      {utc(2025, 12, 11), false},
      {utc(2025, 12, 31), false},
      {utc(2029, 1, 31), true},
  };
  for (auto [t, recorded] : cases) {
    deleteTimestampFile(0);
    send(0, {t});
    EXPECT_EQ(dir_.exists("data/hotTimestamp0.dat"), recorded) << t;
  }
}

TEST_F(LeapdayFiles, FirmwareGate) {
  const std::pair<const char*, bool> cases[] = {
      {"06041C", true},  {"06041c", true},  {"060400", true}, {"06041D", false},
      {"06051C", false}, {"07041C", false}, {"", false},      {"zz041C", false},
  };
  const time_t t = utc(2025, 4, 2);
  dir_.write("data/hotTimestamp1.dat", line(t));
  for (auto [ver, corrected] : cases) {
    copy_str(counter_list[1].pvars[CN1_VER]->value.s, ver);
    EXPECT_EQ(patched(1, t), corrected) << ver;
  }
  EXPECT_FALSE(patched(-1, t));
  EXPECT_FALSE(patched(MAX_COUNTERS, t));
}

TEST_F(LeapdayFiles, SentTwiceRecordedOnceAndOnlyThatTimestampMoves) {
  const time_t t = utc(2025, 4, 2, 10, 15);
  testing::internal::CaptureStdout();
  send(2, {t, utc(2025, 4, 1)});
  EXPECT_EQ(captured(),
            "saveHotSample(): dato sensibile " + std::to_string(t) +
                "\nsampleAlreadySent(): file ./data/hotTimestamp2.dat non trovato\n"
                "sampleAlreadySent(): timastamp " +
                std::to_string(t) +
                " NON trovato nel file\n"
                "addTimeStampToFile(): directory ./data mancante, creazione in corso..\n"
                "addTimeStampToFile(): salvataggio del dato sensibile " +
                std::to_string(t) + " nel file ./data/hotTimestamp2.dat del contatore 2\n");
  send(2, {t});
  EXPECT_EQ(dir_.read("data/hotTimestamp2.dat"), line(t));

  testing::internal::CaptureStdout();
  EXPECT_TRUE(patched(2, t));
  const std::string out = captured();
  const std::string ts = std::to_string(t), next = std::to_string(t + 86400);
  EXPECT_NE(out.find("patchTimestamp(): il dato con timestamp " + ts +
                     " e' gia' stato trasmesso -> aggiunta di un giorno al timestamp\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("patchTimestamp(): nuovo timestamp trasmesso " + next + "\n"),
            std::string::npos)
      << out;

  EXPECT_FALSE(patched(2, t + 1));      // same day, another timestamp
  EXPECT_FALSE(patched(3, t));          // another counter's file
  EXPECT_FALSE(patched(2, t + 86400));  // the moved time is no longer sensitive
}

TEST_F(LeapdayFiles, LaterYearsForgetTheRecordsButBogusTimesDoNot) {
  const std::pair<time_t, bool> cases[] = {
      {utc(2026, 1, 31), true},
      {utc(2027, 7, 7), true},
      {utc(2028, 6, 1), false},
      {0, false},  // a counter whose clock was never set
  };
  for (auto [t, deleted] : cases) {
    dir_.write("data/hotTimestamp0.dat", line(utc(2025, 4, 2)));
    testing::internal::CaptureStdout();
    send(0, {t});
    const std::string out = captured();
    EXPECT_EQ(!dir_.exists("data/hotTimestamp0.dat"), deleted) << t;
    const std::string year = std::to_string(sys::utc_tm(t).tm_year + 1900);
    EXPECT_EQ(out.find("saveHotSample(): anno non sensibile " + year + "\n") != std::string::npos,
              deleted)
        << out;
  }
}

TEST_F(LeapdayFiles, LookupSurvivesMissingAndDamagedFiles) {
  const time_t t = utc(2025, 4, 2, 0, 0, 0);
  const std::string ts = std::to_string(t);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(sampleAlreadySent(0, static_cast<std::uint32_t>(t)));
  EXPECT_EQ(captured(),
            "sampleAlreadySent(): file ./data/hotTimestamp0.dat non trovato\n"
            "sampleAlreadySent(): timastamp " +
                ts + " NON trovato nel file\n");

  const std::pair<std::string, bool> cases[] = {
      {"", false},
      {"x\n" + ts + "\n", true},
      {ts, true},  // last line cut before its line end
      {ts + "\r\n", true},
      {ts + "junk\n", false},
      {"1" + ts + "\n", false},                   // beyond 32 bits
      {std::string(31, 'x') + ts + "\n", false},  // the tail of an overlong line
  };
  for (const auto& [content, found] : cases) {
    dir_.write("data/hotTimestamp0.dat", content);
    EXPECT_EQ(sampleAlreadySent(0, static_cast<std::uint32_t>(t)), found) << content;
  }
}

TEST_F(LeapdayFiles, AppendKeepsLinesApartAndFailuresAreReported) {
  EXPECT_EQ(addTimeStampToFile(3, 1000), 0);
  // A power cut left the last line without its line end.
  dir_.write("data/hotTimestamp3.dat", dir_.read("data/hotTimestamp3.dat") + "12");
  EXPECT_EQ(addTimeStampToFile(3, 4294967295u), 0);
  EXPECT_EQ(dir_.read("data/hotTimestamp3.dat"), "1000\n12\n4294967295\n");

  testing::internal::CaptureStdout();
  deleteTimestampFile(3);
  deleteTimestampFile(3);  // already gone: silent
  EXPECT_EQ(captured(),
            "deleteTimestampFile(): cancellazione del file ./data/hotTimestamp3.dat in corso\n");

  dir_.write("blocked/data", "not a directory");
  ScopedChdir cd(dir_.file("blocked"));
  testing::internal::CaptureStdout();
  EXPECT_EQ(addTimeStampToFile(0, 1000), -1);
  EXPECT_EQ(captured(),
            "addTimeStampToFile(): problemi nell'aprire il file ./data/hotTimestamp0.dat\n");
}
