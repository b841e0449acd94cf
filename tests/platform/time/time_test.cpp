// Time conversions: FILETIME and calendar fields, automation dates, local time under TZ rules, the
// C runtime's functions, and the injectable clock under concurrent use.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <thread>
#include <vector>

#include "comrt/time.h"

namespace {

constexpr const char* berlin = "CET-1CEST,M3.5.0,M10.5.0/3";  // rules that need no zone files
constexpr const char* new_york = "EST5EDT,M3.2.0,M11.1.0";
constexpr uint64_t hour = 3600 * comrt::ticks_per_second;

SYSTEMTIME st(WORD y, WORD mo, WORD d, WORD h = 0, WORD mi = 0, WORD s = 0, WORD ms = 0) {
  return SYSTEMTIME{y, mo, 0, d, h, mi, s, ms};
}

// Everything but the day of week, which the tests check where it matters.
void expect_fields(const SYSTEMTIME& want, const SYSTEMTIME& got) {
  EXPECT_EQ(std::vector<int>({want.wYear, want.wMonth, want.wDay, want.wHour, want.wMinute, want.wSecond,
                              want.wMilliseconds}),
            std::vector<int>({got.wYear, got.wMonth, got.wDay, got.wHour, got.wMinute, got.wSecond, got.wMilliseconds}));
}

uint64_t ticks_of(const SYSTEMTIME& s) { return comrt::systemtime_to_ticks(s).value(); }

// Each test starts on the system clock in UTC and leaves it so.
class TimeTest : public ::testing::Test {
 protected:
  void SetUp() override { zone("UTC0"); }
  void TearDown() override {
    RtResetClock();
    zone("UTC0");
  }
  static void zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
};

TEST_F(TimeTest, FileTimesAndCalendarFieldsRoundTripAndInvalidFieldsAreRejected) {
  struct Case { uint64_t ticks; SYSTEMTIME fields; WORD weekday; };
  for (const Case& c : {Case{0, st(1601, 1, 1), 1}, Case{comrt::unix_to_ticks(951782400), st(2000, 2, 29), 2},
                        Case{comrt::unix_to_ticks(253402300799) + 9'990'000, st(9999, 12, 31, 23, 59, 59, 999), 5}}) {
    const SYSTEMTIME got = comrt::ticks_to_systemtime(c.ticks).value();
    expect_fields(c.fields, got);
    EXPECT_EQ(c.weekday, got.wDayOfWeek);
    SYSTEMTIME in = c.fields;
    in.wDayOfWeek = 77;  // ignored on input
    EXPECT_EQ(c.ticks, ticks_of(in));
  }
  expect_fields(st(30828, 9, 14, 2, 48, 5, 477), comrt::ticks_to_systemtime(0x7FFF'FFFF'FFFF'FFFF).value());
  for (SYSTEMTIME s : {st(2024, 0, 1), st(2024, 13, 1), st(2024, 1, 0), st(2023, 2, 29), st(1900, 2, 29),
                       st(2024, 4, 31), st(2024, 1, 1, 24), st(2024, 1, 1, 0, 60), st(2024, 1, 1, 0, 0, 60),
                       st(2024, 1, 1, 0, 0, 0, 1000), st(1600, 12, 31), st(30828, 1, 1)}) {
    FILETIME ft{0xAAAA, 0};
    EXPECT_FALSE(SystemTimeToFileTime(&s, &ft)) << s.wYear << '-' << s.wMonth << '-' << s.wDay;
    EXPECT_EQ(0xAAAAu, ft.dwLowDateTime);
  }
  FILETIME too_big{0, 0x8000'0000};
  SYSTEMTIME fields = st(1, 1, 1);
  EXPECT_FALSE(FileTimeToSystemTime(&too_big, &fields));
  EXPECT_EQ(1, fields.wYear);
}

TEST_F(TimeTest, AutomationDatesCountTimeOfDayAwayFromZeroAndRoundToSeconds) {
  struct Case { DATE date; SYSTEMTIME fields; };
  for (const Case& c : {Case{2.25, st(1900, 1, 1, 6)}, Case{-1.25, st(1899, 12, 29, 6)},
                        Case{-1.75, st(1899, 12, 29, 18)}, Case{-657434.0, st(100, 1, 1)},
                        Case{2958465.0 + 86399.0 / 86400, st(9999, 12, 31, 23, 59, 59)}}) {
    SYSTEMTIME got{}, in = c.fields;
    DATE back = 0;
    ASSERT_TRUE(VariantTimeToSystemTime(c.date, &got));
    expect_fields(c.fields, got);
    ASSERT_TRUE(SystemTimeToVariantTime(&in, &back));
    EXPECT_DOUBLE_EQ(c.date, back);
  }
  for (const Case& c : {Case{-0.5, st(1899, 12, 30, 12)}, Case{2.0 - 0.4 / 86400, st(1900, 1, 1)},
                        Case{-1.0 - 86399.6 / 86400, st(1899, 12, 30)}, Case{-2.0 - 0.4 / 86400, st(1899, 12, 28)}}) {
    SYSTEMTIME got{};
    ASSERT_TRUE(VariantTimeToSystemTime(c.date, &got));
    expect_fields(c.fields, got);
  }
  for (DATE bad : {-657435.0, 2958466.0 - 0.1 / 86400, double(NAN), -1e300}) {
    SYSTEMTIME untouched = st(1, 1, 1);
    EXPECT_FALSE(VariantTimeToSystemTime(bad, &untouched)) << bad;
    EXPECT_EQ(1, untouched.wYear);
  }
  for (SYSTEMTIME bad : {st(99, 12, 31), st(10000, 1, 1), st(2023, 2, 29)}) {
    DATE untouched = 7.0;
    EXPECT_FALSE(SystemTimeToVariantTime(&bad, &untouched)) << bad.wYear;
    EXPECT_EQ(7.0, untouched);
  }
}

TEST_F(TimeTest, LocalFileTimesShiftByTheOffsetInForceNowButZoneConversionByTheDate) {
  zone(berlin);
  const SYSTEMTIME winter = st(2024, 1, 15, 12, 0, 0, 250);
  for (auto [now, offset] : {std::pair{st(2024, 7, 1), 2 * hour}, std::pair{st(2024, 12, 1), hour}}) {
    RtSetClock(ticks_of(now));
    const FILETIME utc = comrt::to_filetime(ticks_of(winter));
    FILETIME local{}, back{};
    ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
    EXPECT_EQ(ticks_of(winter) + offset, comrt::to_ticks(local));
    ASSERT_TRUE(LocalFileTimeToFileTime(&local, &back));
    EXPECT_EQ(ticks_of(winter), comrt::to_ticks(back));
  }
  FILETIME first{0, 0}, out{1, 1};
  EXPECT_FALSE(LocalFileTimeToFileTime(&first, &out));  // would fall before 1601
  EXPECT_EQ(1u, out.dwLowDateTime);
  struct Case { SYSTEMTIME utc, local; };
  for (const Case& c : {Case{winter, st(2024, 1, 15, 13, 0, 0, 250)}, Case{st(2024, 3, 31, 0, 59, 59), st(2024, 3, 31, 1, 59, 59)},
                        Case{st(2024, 3, 31, 1), st(2024, 3, 31, 3)}}) {
    SYSTEMTIME got{};
    ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &c.utc, &got));
    expect_fields(c.local, got);
  }
  zone(new_york);
  SYSTEMTIME new_year = st(2024, 1, 1, 3), got{};
  ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &new_year, &got));
  expect_fields(st(2023, 12, 31, 22), got);
  EXPECT_EQ(0, got.wDayOfWeek);
}

TEST_F(TimeTest, RuntimeLibraryAndWallClockConversionsFollowTheZone) {
  expect_fields(st(3000, 12, 31, 23, 59, 59), comrt::gmtime64(comrt::crt_time_max).value());
  EXPECT_FALSE(comrt::gmtime64(comrt::crt_time_max + 1));
  EXPECT_FALSE(comrt::gmtime64(-1));
  zone(new_york);
  expect_fields(st(1969, 12, 31, 19), comrt::localtime64(0).value());
  EXPECT_FALSE(comrt::mktime64(st(1969, 12, 31, 18)));  // before 1970 UTC
  zone(berlin);
  const int64_t summer = 1720000800;  // 2024-07-03 10:00Z
  expect_fields(st(2024, 7, 3, 12), comrt::localtime64(summer).value());
  EXPECT_EQ(summer, comrt::mktime64(st(2024, 7, 3, 12)));
  EXPECT_EQ(1677834000, comrt::mktime64(st(2023, 2, 31, 10)));  // 2023-03-03 10:00 CET
  EXPECT_EQ(summer + 7200, comrt::local_wallclock_from_unix(summer));
  EXPECT_EQ(summer, comrt::unix_from_local_wallclock(summer + 7200));
  EXPECT_EQ(-1, comrt::unix_from_local_wallclock(3599));  // a real answer, not a failure
}

TEST_F(TimeTest, EveryFunctionReadsTheInjectedClock) {
  zone(new_york);
  const uint64_t start = ticks_of(st(2024, 3, 10, 6, 59, 59, 500));  // half a second before EDT starts
  RtSetClock(start);
  RtAdvanceClock(5'000'000);
  SYSTEMTIME utc{}, local{};
  FILETIME now{};
  GetSystemTime(&utc);
  GetLocalTime(&local);
  GetSystemTimeAsFileTime(&now);
  expect_fields(st(2024, 3, 10, 7), utc);
  expect_fields(st(2024, 3, 10, 3), local);
  EXPECT_EQ(start + 5'000'000, comrt::to_ticks(now));
  EXPECT_EQ(comrt::ticks_to_unix(start) + 1, RtTime64());
  RtSetClock(comrt::unix_epoch_ticks - 1);
  EXPECT_EQ(-1, RtTime64());  // rounded down, not toward zero
  RtSetClock(std::numeric_limits<uint64_t>::max());  // clamped to the last valid FILETIME
  GetSystemTime(&utc);
  EXPECT_EQ(30828, utc.wYear);
  RtAdvanceClock(std::numeric_limits<int64_t>::min());
  EXPECT_EQ(0u, comrt::now_ticks());
  RtResetClock();
  EXPECT_GT(RtTime64(), 1'700'000'000);  // back on the system clock
}

TEST_F(TimeTest, ConcurrentAdvancesAreNeitherLostNorSeenOutOfOrder) {
  const uint64_t start = ticks_of(st(2024, 1, 1));
  constexpr int writers = 3, steps = 200000;
  constexpr int64_t step = 0x1'0000'0001;  // touches both halves of the FILETIME
  RtSetClock(start);
  std::atomic<bool> done{false};
  std::atomic<int> bad_reads{0}, waiting{writers + 1};
  auto start_together = [&] {
    waiting.fetch_sub(1);
    while (waiting.load() > 0) std::this_thread::yield();
  };
  std::thread reader([&] {
    start_together();
    for (uint64_t last = start; !done.load();) {
      const uint64_t now = comrt::now_ticks();
      if (now < last || (now - start) % step != 0) bad_reads.fetch_add(1);
      last = now;
      SYSTEMTIME local{};
      GetLocalTime(&local);  // the zone lookup runs alongside the writers too
    }
  });
  std::vector<std::thread> threads;
  for (int i = 0; i < writers; ++i)
    threads.emplace_back([&] {
      start_together();
      for (int j = 0; j < steps; ++j) RtAdvanceClock(step);
    });
  for (auto& t : threads) t.join();
  done.store(true);
  reader.join();
  EXPECT_EQ(0, bad_reads.load());
  EXPECT_EQ(start + uint64_t{writers} * steps * step, comrt::now_ticks());
}

}  // namespace
