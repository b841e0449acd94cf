// The trigger collection: which member reports first, moving members on, and the item's next run
// time from the members' occurrences.
#include <gtest/gtest.h>

#include <tuple>
#include <utility>
#include <vector>

#include <comrt/time.h>

#include "fakes/schedule_doubles.h"
#include "triggers/schedule_triggers.h"

namespace {

using comrt::com_ptr;
using fakes::FakeTrigger;
using fakes::trigger_script;
using tolvane::CScheduleTriggers;

class TriggersTest : public ::testing::Test {
 protected:
  com_ptr<FakeTrigger> add(trigger_script s = {}) {
    auto t = comrt::make<FakeTrigger>(std::move(s), 0);
    EXPECT_EQ(triggers->Add(t.get()), S_OK);
    return t;
  }
  com_ptr<IScheduleTrigger> is_set(HRESULT expected) {
    com_ptr<IScheduleTrigger> t;
    EXPECT_EQ(triggers->IsSet(t.put()), expected);
    return t;
  }
  void add_occurring_at(ULONGLONG t, HRESULT has_next = S_FALSE) { add({.next_occurrence = t, .has_next_occurrence = has_next}); }

  com_ptr<CScheduleTriggers> triggers = comrt::make<CScheduleTriggers>();
};

TEST_F(TriggersTest, IsSetHandsOutTheFirstMemberThatAnswersSOkAndAsksNoFurther) {
  EXPECT_FALSE(is_set(E_FAIL));
  auto failing = add({.is_set_after = E_UNEXPECTED}), idle = add({});
  auto due = add({.is_set_after = S_OK}), later = add({.is_set_after = S_OK});
  EXPECT_EQ(is_set(S_OK).get(), static_cast<IScheduleTrigger*>(due.get()));
  EXPECT_EQ(failing->is_set_calls + idle->is_set_calls + later->is_set_calls, 2);
  idle->script.is_set_after = E_FAIL;
  due->script.is_set_after = later->script.is_set_after = S_FALSE;
  EXPECT_FALSE(is_set(E_FAIL));
}

TEST_F(TriggersTest, NextMovesMembersInOrderUntilTheFirstFailure) {
  auto quiet = add({.next = S_FALSE}), failing = add({.next = E_ACCESSDENIED}), last = add({});
  EXPECT_EQ(triggers->Next(), E_ACCESSDENIED);
  EXPECT_EQ(std::tuple(quiet->next_calls, failing->next_calls, last->next_calls), std::tuple(1, 1, 0));
}

// Members without an occurrence (folder monitor, instantiation) count for nothing.
TEST_F(TriggersTest, TheRunTimeIsTheSmallestNonZeroOccurrenceComparedUnsigned) {
  EXPECT_EQ(triggers->HasNextRunTime(), S_FALSE);
  add({.occurrence = false, .next_occurrence = 50, .has_next_occurrence = S_OK}), add_occurring_at(0, S_FALSE);
  EXPECT_EQ(triggers->HasNextRunTime(), S_FALSE);
  add_occurring_at(0, S_OK);
  EXPECT_EQ(triggers->HasNextRunTime(), S_OK);
  const std::pair<std::vector<ULONGLONG>, ULONGLONG> cases[] = {
      {{0, 700}, 700}, {{700, 900}, 700}, {{900, 700}, 700}, {{0, 0}, 0}, {{0x8000'0000'0000'0000ull, 5}, 5}};
  ULONGLONG t = 12345;
  for (const auto& [occurrences, expected] : cases) {
    triggers->Empty();
    for (ULONGLONG o : occurrences) add_occurring_at(o);
    EXPECT_EQ(triggers->get_NextRunTimeAsUnixTime(&t), S_OK);
    EXPECT_EQ(t, expected) << occurrences[0] << ", " << occurrences[1];
  }
  add({.next_occurrence_status = E_ACCESSDENIED});
  EXPECT_EQ(triggers->get_NextRunTimeAsUnixTime(&t), E_ACCESSDENIED);
}

TEST_F(TriggersTest, NextRunTimeIsTheLocalCalendarReadingOfTheEarliestOccurrence) {
  add_occurring_at(1'719'835'200);  // 2024-07-01 12:00:00 UTC
  fakes::time_zone zone("CET-1CEST,M3.5.0,M10.5.0/3");
  DATE date = 0.0;
  ASSERT_EQ(triggers->get_NextRunTime(&date), S_OK);
  EXPECT_NEAR(date, 45474.0 + 14.0 / 24, 1e-6);  // 14:00 summer time
  // Beyond what the local-time breakdown covers.
  triggers->Empty();
  add_occurring_at(static_cast<ULONGLONG>(comrt::crt_time_max) + 1);
  EXPECT_EQ(std::pair(triggers->get_NextRunTime(&date), date), std::pair(E_FAIL, 0.0));
}

}  // namespace
