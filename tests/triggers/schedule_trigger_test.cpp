// The time trigger driven by the runtime clock and TZ: due and not due, the recurrences across
// daylight-saving changes in both clocks, month ends, expiry and disabling, clock changes, the
// date-typed properties, copies; the instantiation trigger's one firing; and a host thread editing
// a trigger while another evaluates it.
#include <gtest/gtest.h>

#include <latch>
#include <thread>

#include <comrt/time.h>

#include "fakes/schedule_doubles.h"
#include "triggers/instantiation_trigger.h"
#include "triggers/schedule_trigger.h"

namespace {

using comrt::com_ptr;
using tolvane::CScheduleScheduleTrigger;
using tolvane::schedule::from_calendar_fields;

constexpr int64_t kDay = 86400;

// Unix time of a local date in the current zone.
int64_t local(int y, int mo, int d, int h, int mi = 0) {
  int64_t t = 0;
  EXPECT_EQ(from_calendar_fields({WORD(y), WORD(mo), 0, WORD(d), WORD(h), WORD(mi), 0, 0}, true, &t), S_OK);
  return t;
}
// Local wall-clock seconds of a date.
int64_t wall(int y, int mo, int d, int h, int mi = 0) {
  int64_t t = 0;
  EXPECT_EQ(from_calendar_fields({WORD(y), WORD(mo), 0, WORD(d), WORD(h), WORD(mi), 0, 0}, false, &t), S_OK);
  return t;
}

class TimeTriggerTest : public ::testing::Test {
 protected:
  void at(int64_t unix_now) { RtSetClock(comrt::unix_to_ticks(unix_now)); }
  ~TimeTriggerTest() override { RtResetClock(); }

  // A trigger in the given clock with the recurrence and start set and its occurrence computed.
  com_ptr<CScheduleScheduleTrigger> make(int recurrence, int64_t start, bool utc, int mask = 0, LONG interval = 0,
                                         HRESULT update = S_OK) {
    auto t = comrt::make<CScheduleScheduleTrigger>();
    t->put_UTC(utc ? VARIANT_TRUE : VARIANT_FALSE);
    t->put_Recurrence(static_cast<ScheduleScheduleTriggerRecurrence>(recurrence));
    t->put_WeekMask(static_cast<ScheduleScheduleTriggerWeekMask>(mask));
    t->put_RecurrenceTimeInterval(interval);
    t->put_StartTimeAsUnixTime(static_cast<ULONGLONG>(start));
    EXPECT_EQ(t->UpdateNextOccurrence(), update);
    return t;
  }
  static int64_t next(IScheduleTriggerWithOccurrence* t) {
    ULONGLONG v = 0;
    EXPECT_EQ(t->NextOccurrence(&v), S_OK);
    return static_cast<int64_t>(v);
  }
  static int64_t last(IScheduleScheduleTrigger* t) {
    ULONGLONG v = 0;
    EXPECT_EQ(t->get_LastOccurrenceAsUnixTime(&v), S_OK);
    return static_cast<int64_t>(v);
  }
  // The occurrences one after another: each time the clock reaches the next one, it fires.
  std::vector<int64_t> occurrences(CScheduleScheduleTrigger* t, int count, bool utc) {
    std::vector<int64_t> out;
    for (int i = 0; i < count; ++i) {
      const int64_t n = next(t);
      out.push_back(n);
      if (utc) {
        at(n);
      } else {  // the instant at which the local clock reads n
        int64_t u = tolvane::schedule::local_to_utc(n);
        at(u);
        u += n - tolvane::schedule::now(false);
        at(u);
      }
      EXPECT_EQ(t->IsSet(), S_OK);
      EXPECT_EQ(t->Next(), S_OK);
    }
    return out;
  }

  fakes::time_zone zone{"Europe/Berlin"};
};

TEST_F(TimeTriggerTest, ANewTriggerStartsNowOnTheLocalClockAndIsNotDueUntilComputed) {
  at(local(2024, 7, 1, 12));
  auto t = comrt::make<CScheduleScheduleTrigger>();
  ULONGLONG start = 0;
  t->get_StartTimeAsUnixTime(&start);
  EXPECT_EQ(static_cast<int64_t>(start), wall(2024, 7, 1, 12));
  EXPECT_EQ(next(t.get()), 0);
  EXPECT_EQ(t->IsSet(), S_FALSE);
  VARIANT_BOOL b = 0;
  EXPECT_EQ(t->get_Enable(&b), S_OK);
  EXPECT_EQ(b, VARIANT_TRUE);
  EXPECT_EQ(t->get_UTC(nullptr), E_POINTER);
  EXPECT_EQ(t->NextOccurrence(nullptr), E_POINTER);
  EXPECT_EQ(t->Copy(nullptr), E_INVALIDARG);
  // Flags become -1 or 0; the interval keeps its sign; putting the clock converts nothing.
  t->put_Enable(5);
  t->put_RecurrenceTimeInterval(-1);
  t->put_UTC(2);
  LONG interval = 0;
  t->get_RecurrenceTimeInterval(&interval);
  t->get_Enable(&b);
  EXPECT_EQ(b, VARIANT_TRUE);
  EXPECT_EQ(interval, -1);
  t->get_StartTimeAsUnixTime(&start);
  EXPECT_EQ(static_cast<int64_t>(start), wall(2024, 7, 1, 12));
}

TEST_F(TimeTriggerTest, OnceFiresAtItsStartAndThenNeverAgain) {
  const int64_t now = local(2024, 7, 1, 12);
  at(now);
  auto t = make(0, now - 10, true);
  EXPECT_EQ(next(t.get()), now - 10);
  EXPECT_EQ(t->IsSet(), S_OK);
  EXPECT_EQ(t->Next(), S_OK);
  EXPECT_EQ(last(t.get()), now - 10);
  EXPECT_EQ(t->IsSet(), S_FALSE);
  EXPECT_EQ(t->HasNextOccurrence(), S_FALSE);
}

TEST_F(TimeTriggerTest, CustomAndDailyTakeTheFirstGridPointNotBeforeNow) {
  const int64_t base = local(2024, 7, 1, 12);
  struct row {
    int recurrence;
    LONG interval;
    int64_t now;
    HRESULT status;
    int64_t next;
  } rows[] = {
      {1, 3600, base, S_OK, base + 3600},
      {1, 3600, base + 5400, S_OK, base + 7200},
      {1, 3600, base + 7200, S_OK, base + 7200},
      {1, 3600, base - 1, S_OK, base},
      {1, 0, base + 5, E_FAIL, base},
      {2, 3600, base + 3 * kDay + 1, S_OK, base + 4 * kDay},
  };
  for (const row& r : rows) {
    at(r.now);
    auto t = make(r.recurrence, base, true, 0, r.interval, r.status);
    EXPECT_EQ(next(t.get()), r.next) << r.recurrence << " " << r.interval << " " << r.now - base;
  }
}

TEST_F(TimeTriggerTest, WeeklyFindsTheNextChosenDayAndRefusesAMaskWithoutDays) {
  const int64_t monday = local(2024, 7, 1, 10);  // a Monday
  at(monday + 3600);
  EXPECT_EQ(next(make(3, monday, true, 34).get()), local(2024, 7, 5, 10));  // Friday
  at(monday - 3600);
  EXPECT_EQ(next(make(3, monday, true, 34).get()), monday);
  for (const int mask : {0, 128}) {
    auto t = make(0, monday, true);
    t->put_Recurrence(tvScheduleScheduleTriggerRecurrenceWeekly);
    t->put_WeekMask(static_cast<ScheduleScheduleTriggerWeekMask>(mask));
    EXPECT_EQ(t->UpdateNextOccurrence(), E_FAIL);
    EXPECT_EQ(next(t.get()), monday);
  }
}

TEST_F(TimeTriggerTest, MonthlyMovesAMissingDayIntoTheNextMonthAndGoesOnFromThere) {
  at(local(2023, 2, 10, 0));
  auto t = make(4, local(2023, 1, 31, 10), true);
  EXPECT_EQ(occurrences(t.get(), 2, true), (std::vector<int64_t>{local(2023, 3, 3, 10), local(2023, 4, 3, 10)}));
  at(local(2023, 12, 16, 0));
  EXPECT_EQ(next(make(4, local(2023, 12, 15, 8), true).get()), local(2024, 1, 15, 8));
}

// Across the change to summer time (31 March 2024) and back (27 October 2024) in Berlin.
TEST_F(TimeTriggerTest, TheLocalClockKeepsTheWallClockTimeAndTheUtcClockKeepsTwentyFourHourSteps) {
  at(local(2024, 3, 30, 11));
  EXPECT_EQ(occurrences(make(2, wall(2024, 3, 30, 10), false).get(), 2, false),
            (std::vector<int64_t>{wall(2024, 3, 31, 10), wall(2024, 4, 1, 10)}));
  at(local(2024, 3, 30, 11));
  EXPECT_EQ(occurrences(make(2, local(2024, 3, 30, 10), true).get(), 2, true),
            (std::vector<int64_t>{local(2024, 3, 31, 11), local(2024, 4, 1, 11)}));
  at(local(2024, 10, 26, 11));  // Saturday; Sundays only
  EXPECT_EQ(occurrences(make(3, local(2024, 10, 19, 10), true, 1).get(), 2, true),
            (std::vector<int64_t>{local(2024, 10, 27, 9), local(2024, 11, 3, 9)}));
  at(local(2024, 10, 26, 11));
  EXPECT_EQ(occurrences(make(3, wall(2024, 10, 19, 10), false, 1).get(), 2, false),
            (std::vector<int64_t>{wall(2024, 10, 27, 10), wall(2024, 11, 3, 10)}));
  // Monthly keeps the local time of day in both clocks; a reading in the spring gap (02:30 on
  // 28 March 2021) moves to 03:30 and stays there.
  at(local(2024, 3, 20, 0));
  EXPECT_EQ(occurrences(make(4, local(2024, 2, 25, 10), true).get(), 2, true),
            (std::vector<int64_t>{local(2024, 3, 25, 10), local(2024, 4, 25, 10)}));
  at(local(2024, 3, 20, 0));
  EXPECT_EQ(occurrences(make(4, wall(2024, 2, 25, 10), false).get(), 2, false),
            (std::vector<int64_t>{wall(2024, 3, 25, 10), wall(2024, 4, 25, 10)}));
  at(local(2021, 3, 1, 0));
  EXPECT_EQ(occurrences(make(4, local(2021, 2, 28, 2, 30), true).get(), 2, true),
            (std::vector<int64_t>{local(2021, 3, 28, 3, 30), local(2021, 4, 28, 3, 30)}));
}

TEST_F(TimeTriggerTest, ExpiredOrDisabledTriggersAreNotDueAndKeepTheirPendingOccurrence) {
  const int64_t now = local(2024, 7, 1, 12);
  at(now - kDay);
  auto t = make(2, now - kDay - 60, true);
  at(now);
  ASSERT_EQ(next(t.get()), now - 60);
  t->put_ExpireTimeAsUnixTime(static_cast<ULONGLONG>(now - 1));
  EXPECT_EQ(t->IsSet(), S_FALSE);
  EXPECT_EQ(t->HasNextOccurrence(), S_FALSE);
  EXPECT_EQ(t->Next(), S_OK);
  EXPECT_EQ(next(t.get()), now - 60);
  EXPECT_EQ(last(t.get()), 0);
  t->put_ExpireTimeAsUnixTime(0);
  t->put_Enable(VARIANT_FALSE);
  EXPECT_EQ(t->IsSet(), S_FALSE);
  EXPECT_EQ(t->Next(), S_OK);
  EXPECT_EQ(last(t.get()), 0);
  t->put_Enable(VARIANT_TRUE);
  EXPECT_EQ(t->IsSet(), S_OK);
}

TEST_F(TimeTriggerTest, ChangeUtcConvertsTheSetTimesOnceAndBack) {
  at(local(2024, 7, 1, 12));  // summer: two hours east of UTC
  auto t = make(2, wall(2024, 7, 1, 10), false);
  const int64_t start = wall(2024, 7, 1, 10);
  const int64_t n = next(t.get());
  EXPECT_EQ(t->ChangeUTC(VARIANT_TRUE), S_OK);
  EXPECT_EQ(t->ChangeUTC(-5), S_OK);
  ULONGLONG v = 0;
  t->get_StartTimeAsUnixTime(&v);
  EXPECT_EQ(static_cast<int64_t>(v), start - 7200);
  EXPECT_EQ(next(t.get()), n - 7200);
  EXPECT_EQ(last(t.get()), 0);
  t->get_ExpireTimeAsUnixTime(&v);
  EXPECT_EQ(v, 0u);
  EXPECT_EQ(t->ChangeUTC(VARIANT_FALSE), S_OK);
  t->get_StartTimeAsUnixTime(&v);
  EXPECT_EQ(static_cast<int64_t>(v), start);
}

TEST_F(TimeTriggerTest, DatePropertiesShowLocalDatesAndRefuseWhatTheyCannotStore) {
  fakes::time_zone utc("UTC");
  auto t = comrt::make<CScheduleScheduleTrigger>();
  DATE d = -1;
  t->put_StartTimeAsUnixTime(0);
  EXPECT_EQ(t->get_StartTime(&d), S_OK);
  EXPECT_EQ(d, 25569.0);  // 1970-01-01
  EXPECT_EQ(t->put_StartTime(25569.5), S_OK);
  ULONGLONG v = 0;
  t->get_StartTimeAsUnixTime(&v);
  EXPECT_EQ(v, 43200u);
  t->put_LastOccurrenceAsUnixTime(5);
  EXPECT_EQ(t->put_LastOccurrence(-36500.0), S_OK);  // 1800: stored as 0
  EXPECT_EQ(last(t.get()), 0);
  constexpr DATE kYear3001 = 402134.5;
  EXPECT_EQ(t->put_StartTime(kYear3001), E_INVALIDARG);
  EXPECT_EQ(t->put_StartTime(1e12), E_INVALIDARG);
  EXPECT_EQ(t->put_LastOccurrence(kYear3001), S_OK);
  t->get_StartTimeAsUnixTime(&v);
  EXPECT_EQ(v, 43200u);
  t->put_ExpireTimeAsUnixTime(static_cast<ULONGLONG>(-1));
  EXPECT_EQ(t->get_ExpireTime(&d), S_OK);
  EXPECT_EQ(d, 0.0);
  // A start without calendar fields has no description.
  BSTR text = nullptr;
  t->put_StartTimeAsUnixTime(static_cast<ULONGLONG>(-1));
  EXPECT_EQ(t->ToString(&text), E_FAIL);
  EXPECT_EQ(text, nullptr);
}

TEST_F(TimeTriggerTest, CloneCarriesEveryFieldUnconverted) {
  at(local(2024, 7, 1, 12));
  auto t = make(3, local(2024, 6, 3, 10), true, 0x7f | 0x100, 77);
  t->put_ExpireTimeAsUnixTime(123);
  t->put_LastOccurrenceAsUnixTime(local(2024, 6, 30, 10));
  t->put_Enable(VARIANT_FALSE);
  com_ptr<IScheduleTrigger> clone;
  ASSERT_EQ(t->Clone(clone.put()), S_OK);
  auto c = clone.as<IScheduleScheduleTrigger>();
  for (auto get : {&IScheduleScheduleTrigger::get_StartTimeAsUnixTime, &IScheduleScheduleTrigger::get_ExpireTimeAsUnixTime,
                   &IScheduleScheduleTrigger::get_LastOccurrenceAsUnixTime}) {
    ULONGLONG a = 0, b = 1;
    (t.get()->*get)(&a);
    (c.get()->*get)(&b);
    EXPECT_EQ(a, b);
  }
  EXPECT_EQ(next(clone.as<IScheduleTriggerWithOccurrence>().get()), next(t.get()));
  ScheduleScheduleTriggerWeekMask mask{};
  LONG interval = 0;
  VARIANT_BOOL enable = 1, utc = 0;
  c->get_WeekMask(&mask);
  c->get_RecurrenceTimeInterval(&interval);
  c->get_Enable(&enable);
  c->get_UTC(&utc);
  EXPECT_EQ(mask, 0x17f);
  EXPECT_EQ(interval, 77);
  EXPECT_EQ(enable, VARIANT_FALSE);
  EXPECT_EQ(utc, VARIANT_TRUE);
}

TEST(InstantiationTrigger, FiresOnceAndItsClonesFireOnceAgain) {
  auto t = comrt::make<tolvane::CScheduleInstantiationTrigger>();
  EXPECT_EQ(t->IsSet(), S_OK);
  EXPECT_EQ(t->Next(), S_OK);
  EXPECT_EQ(t->IsSet(), S_FALSE);
  com_ptr<IScheduleTrigger> clone;
  ASSERT_EQ(t->Clone(clone.put()), S_OK);
  EXPECT_EQ(clone->IsSet(), S_OK);
  EXPECT_EQ(clone->IsSet(), S_FALSE);
  EXPECT_FALSE(clone.try_as<IScheduleTriggerWithOccurrence>());
  BSTR name = nullptr;
  EXPECT_EQ(t->get_Name(&name), S_OK);
  EXPECT_NE(name, nullptr);
  SysFreeString(name);
  com_ptr<IUnknown> site;
  EXPECT_EQ(t->GetSite(IID_IUnknown, site.put_void()), E_FAIL);
  EXPECT_EQ(t->SetSite(clone.get()), S_OK);
  EXPECT_EQ(t->GetSite(IID_IUnknown, site.put_void()), S_OK);
  EXPECT_EQ(t->SetSite(nullptr), S_OK);
}

// One thread evaluates as the scheduler thread does while another edits as a host does.
TEST_F(TimeTriggerTest, AHostMayEditWhileTheSchedulerEvaluates) {
  at(local(2024, 7, 1, 12));
  auto t = make(2, local(2024, 6, 1, 10), true);
  std::latch go(2);
  std::thread host([&] {
    go.arrive_and_wait();
    for (int i = 0; i < 2000; ++i) {
      t->put_Recurrence(static_cast<ScheduleScheduleTriggerRecurrence>(i % 5));
      t->put_WeekMask(static_cast<ScheduleScheduleTriggerWeekMask>(i % 128));
      t->put_StartTimeAsUnixTime(static_cast<ULONGLONG>(local(2024, 6, 1, 10) + i * 3600));
      t->ChangeUTC(i % 3 ? VARIANT_TRUE : VARIANT_FALSE);
      t->put_LastOccurrenceAsUnixTime(0);
    }
  });
  go.arrive_and_wait();
  for (int i = 0; i < 2000; ++i) {
    t->UpdateNextOccurrence();
    t->IsSet();
    t->Next();
    t->HasNextOccurrence();
    next(t.get());
  }
  host.join();
}

}  // namespace
