// The time trigger driven by the runtime clock and TZ: the recurrences across daylight-saving
// changes in both clocks, month ends, expiry and disabling, clock changes, the date-typed
// properties; the instantiation trigger's one firing; and a host thread editing a trigger while
// another evaluates it.
#include <gtest/gtest.h>

#include <latch>
#include <thread>
#include <utility>
#include <vector>

#include <comrt/time.h>

#include "fakes/schedule_doubles.h"
#include "triggers/instantiation_trigger.h"
#include "triggers/schedule_trigger.h"

namespace {

using comrt::com_ptr;
using tolvane::CScheduleScheduleTrigger;
namespace schedule = tolvane::schedule;

constexpr int64_t kDay = 86400;

// A stored time of local fields: Unix time (utc) or wall-clock seconds.
int64_t at_local(int y, int mo, int d, int h, int mi = 0, bool utc = true) {
  int64_t t = 0;
  EXPECT_EQ(schedule::from_calendar_fields({WORD(y), WORD(mo), 0, WORD(d), WORD(h), WORD(mi), 0, 0}, utc, &t), S_OK);
  return t;
}

class TimeTriggerTest : public ::testing::Test {
 protected:
  ~TimeTriggerTest() override { RtResetClock(); }
  static void at(int64_t unix_now) { RtSetClock(comrt::unix_to_ticks(unix_now)); }
  // Moves the runtime clock to the instant at which the trigger's clock reads t.
  static void reach(int64_t t, bool utc) {
    const int64_t u = utc ? t : schedule::local_to_utc(t);
    at(u);
    if (!utc) at(u + t - schedule::now(false));
  }
  static com_ptr<CScheduleScheduleTrigger> make(int recurrence, int64_t start, bool utc, int mask = 0,
                                                LONG interval = 0, HRESULT update = S_OK) {
    auto t = comrt::make<CScheduleScheduleTrigger>();
    t->put_UTC(utc), t->put_Recurrence(ScheduleScheduleTriggerRecurrence(recurrence));
    t->put_WeekMask(ScheduleScheduleTriggerWeekMask(mask)), t->put_RecurrenceTimeInterval(interval);
    t->put_StartTimeAsUnixTime(ULONGLONG(start));
    EXPECT_EQ(t->UpdateNextOccurrence(), update);
    return t;
  }
  template <class T = IScheduleScheduleTrigger>
  static int64_t get(CScheduleScheduleTrigger* t, HRESULT (STDMETHODCALLTYPE T::*g)(ULONGLONG*)) {
    ULONGLONG v = 0;
    EXPECT_EQ((t->*g)(&v), S_OK);
    return static_cast<int64_t>(v);
  }
  static int64_t next(CScheduleScheduleTrigger* t) { return get(t, &CScheduleScheduleTrigger::NextOccurrence); }
  static int64_t last(CScheduleScheduleTrigger* t) { return get(t, &IScheduleScheduleTrigger::get_LastOccurrenceAsUnixTime); }
  static int64_t start(CScheduleScheduleTrigger* t) { return get(t, &IScheduleScheduleTrigger::get_StartTimeAsUnixTime); }
  // The next `count` occurrences, each fired when the clock reaches it.
  static std::vector<int64_t> fire(CScheduleScheduleTrigger* t, bool utc, int count = 2) {
    std::vector<int64_t> out;
    for (int i = 0; i < count; ++i) {
      reach(out.emplace_back(next(t)), utc);
      EXPECT_EQ(t->IsSet(), S_OK);
      EXPECT_EQ(t->Next(), S_OK);
    }
    return out;
  }

  fakes::time_zone zone{"Europe/Berlin"};
};

// A new trigger starts now on the local clock and is not due until computed.
TEST_F(TimeTriggerTest, OnceCustomAndDailyFireOnTheirGrid) {
  const int64_t base = at_local(2024, 7, 1, 12);
  at(base);
  EXPECT_EQ(start(comrt::make<CScheduleScheduleTrigger>().get()), at_local(2024, 7, 1, 12, 0, false));
  EXPECT_EQ(comrt::make<CScheduleScheduleTrigger>()->IsSet(), S_FALSE);
  const struct { int recurrence; LONG interval; int64_t now, next; HRESULT status; } rows[] = {
      {0, 0, base + 10, base, S_OK}, {1, 3600, base, base + 3600, S_OK}, {1, 3600, base + 5400, base + 7200, S_OK},
      {1, 3600, base + 7200, base + 7200, S_OK}, {1, 0, base + 5, base, E_FAIL}, {2, 5, base + 3 * kDay + 1, base + 4 * kDay, S_OK}};
  for (const auto& r : rows) {
    at(r.now);
    EXPECT_EQ(next(make(r.recurrence, base, true, 0, r.interval, r.status).get()), r.next) << r.now - base;
  }
  auto once = make(0, base, true);
  EXPECT_EQ(fire(once.get(), true, 1), std::vector<int64_t>{base});
  EXPECT_EQ(once->IsSet() + once->HasNextOccurrence(), 2 * S_FALSE);
}

TEST_F(TimeTriggerTest, WeeklyAndMonthlyFollowTheCalendar) {
  const int64_t monday = at_local(2024, 7, 1, 10);
  at(monday + 3600);
  EXPECT_EQ(next(make(3, monday, true, 34).get()), at_local(2024, 7, 5, 10));  // Friday
  at(monday - 3600);
  EXPECT_EQ(next(make(3, monday, true, 34).get()), monday);
  for (const int mask : {0, 128}) EXPECT_EQ(next(make(3, monday, true, mask, 0, E_FAIL).get()), 0);
  at(at_local(2023, 2, 10, 0));
  EXPECT_EQ(fire(make(4, at_local(2023, 1, 31, 10), true).get(), true),
            (std::vector<int64_t>{at_local(2023, 3, 3, 10), at_local(2023, 4, 3, 10)}));
  at(at_local(2023, 12, 16, 0));
  EXPECT_EQ(next(make(4, at_local(2023, 12, 15, 8), true).get()), at_local(2024, 1, 15, 8));
}

// Across summer time starting (31 March 2024, 28 March 2021) and ending (27 October 2024) in Berlin.
TEST_F(TimeTriggerTest, DaylightSavingChangesMoveOnlyTheUtcClocksDailyAndWeeklySteps) {
  const auto w = [](int y, int mo, int d, int h) { return at_local(y, mo, d, h, 0, false); };  // wall clock
  const struct { int recurrence, mask; bool utc; int64_t now, start; std::vector<int64_t> expected; } rows[] = {
      {2, 0, false, at_local(2024, 3, 30, 11), w(2024, 3, 30, 10), {w(2024, 3, 31, 10), w(2024, 4, 1, 10)}},
      {2, 0, true, at_local(2024, 3, 30, 11), at_local(2024, 3, 30, 10), {at_local(2024, 3, 31, 11), at_local(2024, 4, 1, 11)}},
      {3, 1, true, at_local(2024, 10, 26, 11), at_local(2024, 10, 19, 10), {at_local(2024, 10, 27, 9), at_local(2024, 11, 3, 9)}},
      {3, 1, false, at_local(2024, 10, 26, 11), w(2024, 10, 19, 10), {w(2024, 10, 27, 10), w(2024, 11, 3, 10)}},
      {4, 0, true, at_local(2024, 3, 20, 0), at_local(2024, 2, 25, 10), {at_local(2024, 3, 25, 10), at_local(2024, 4, 25, 10)}},
      {4, 0, false, at_local(2024, 3, 20, 0), w(2024, 2, 25, 10), {w(2024, 3, 25, 10), w(2024, 4, 25, 10)}},
      // 02:30 on 28 March 2021 does not exist: it becomes 03:30 and stays there.
      {4, 0, true, at_local(2021, 6, 1, 0), at_local(2020, 1, 28, 2, 30), {at_local(2021, 6, 28, 3, 30), at_local(2021, 7, 28, 3, 30)}}};
  for (const auto& r : rows) {
    at(r.now);
    EXPECT_EQ(fire(make(r.recurrence, r.start, r.utc, r.mask).get(), r.utc), r.expected) << r.recurrence << r.utc;
  }
}

TEST_F(TimeTriggerTest, ExpiredOrDisabledTriggersAreNotDueAndKeepTheirPendingOccurrence) {
  const int64_t now = at_local(2024, 7, 1, 12);
  auto t = (at(now - kDay), make(2, now - kDay - 60, true));
  at(now);
  t->put_ExpireTimeAsUnixTime(static_cast<ULONGLONG>(now));
  for (const VARIANT_BOOL enable : {VARIANT_TRUE, VARIANT_FALSE}) {
    t->put_Enable(enable);
    EXPECT_EQ(t->IsSet() + t->HasNextOccurrence(), 2 * S_FALSE);
    EXPECT_EQ(t->Next(), S_OK);
    EXPECT_EQ(std::pair(next(t.get()), last(t.get())), std::pair(now - 60, int64_t{0}));
    t->put_ExpireTimeAsUnixTime(0);
  }
  t->put_Enable(7);
  EXPECT_EQ(t->IsSet(), S_OK);
}

TEST_F(TimeTriggerTest, ChangeUtcConvertsTheSetTimesOnceAndBack) {
  at(at_local(2024, 7, 1, 12));  // summer: two hours east of UTC
  const int64_t begin = at_local(2024, 7, 1, 10, 0, false);
  auto t = make(2, begin, false);
  const int64_t n = next(t.get());
  EXPECT_EQ(t->ChangeUTC(VARIANT_TRUE), S_OK);
  EXPECT_EQ(t->ChangeUTC(-5), S_OK);
  EXPECT_EQ(std::pair(start(t.get()), next(t.get())), std::pair(begin - 7200, n - 7200));
  EXPECT_EQ(last(t.get()) + get(t.get(), &IScheduleScheduleTrigger::get_ExpireTimeAsUnixTime), 0);
  t->ChangeUTC(VARIANT_FALSE);
  EXPECT_EQ(start(t.get()), begin);
  auto copy = comrt::make<CScheduleScheduleTrigger>();
  EXPECT_EQ(copy->Copy(t.get()), S_OK);
  EXPECT_EQ(std::pair(start(copy.get()), next(copy.get())), std::pair(begin, n));
}

TEST_F(TimeTriggerTest, DatePropertiesShowLocalDatesAndRefuseWhatTheyCannotStore) {
  fakes::time_zone utc("UTC");
  auto t = comrt::make<CScheduleScheduleTrigger>();
  EXPECT_EQ(t->put_StartTime(25569.5), S_OK);  // 1970-01-01 12:00
  EXPECT_EQ(t->put_StartTime(402134.5), E_INVALIDARG);  // 3001
  EXPECT_EQ(start(t.get()), 43200);
  t->put_LastOccurrenceAsUnixTime(5);
  EXPECT_EQ(t->put_LastOccurrence(-36500.0), S_OK);  // 1800: stored as 0
  EXPECT_EQ(last(t.get()), 0);
  t->put_StartTimeAsUnixTime(static_cast<ULONGLONG>(-1));
  DATE d = -1;
  EXPECT_EQ(t->get_StartTime(&d), S_OK);
  EXPECT_EQ(d, 0.0);
  EXPECT_EQ(t->ToString(comrt::bstr().put()), E_FAIL);  // no calendar fields for the start
}

TEST(InstantiationTrigger, FiresOnceAndItsClonesFireOnceAgain) {
  auto t = comrt::make<tolvane::CScheduleInstantiationTrigger>();
  com_ptr<IScheduleTrigger> clone;
  EXPECT_EQ(t->IsSet(), S_OK);
  EXPECT_EQ(t->Next(), S_OK);
  EXPECT_EQ(t->IsSet(), S_FALSE);
  ASSERT_EQ(t->Clone(clone.put()), S_OK);
  EXPECT_EQ(clone->IsSet(), S_OK);
  EXPECT_EQ(clone->IsSet(), S_FALSE);
}

TEST_F(TimeTriggerTest, AHostMayEditWhileTheSchedulerEvaluates) {
  at(at_local(2024, 7, 1, 12));
  auto t = make(2, at_local(2024, 6, 1, 10), true);
  std::latch go(2);
  std::thread host([&] {
    go.arrive_and_wait();
    for (int i = 0; i < 2000; ++i) {
      t->put_Recurrence(ScheduleScheduleTriggerRecurrence(i % 5)), t->put_WeekMask(ScheduleScheduleTriggerWeekMask(i % 128));
      t->put_StartTimeAsUnixTime(ULONGLONG(1'717'228'800 + i * 3600)), t->ChangeUTC(i % 3 ? VARIANT_TRUE : VARIANT_FALSE);
    }
  });
  go.arrive_and_wait();
  for (int i = 0; i < 2000; ++i) t->UpdateNextOccurrence(), t->IsSet(), t->Next(), t->HasNextOccurrence();
  host.join();
}

}  // namespace
