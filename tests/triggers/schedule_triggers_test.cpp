// The trigger collection: which member reports first, moving members on, the item's next run time
// from the members' occurrences, and the collection operations on triggers (shared or cloned).
#include <gtest/gtest.h>

#include <cstdint>
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
  com_ptr<FakeTrigger> add(trigger_script s = {}, int tag = 0) {
    auto t = comrt::make<FakeTrigger>(std::move(s), tag);
    EXPECT_EQ(triggers->Add(t.get()), S_OK);
    return t;
  }
  // The trigger IsSet hands out (null when none), checking its status. The caller's reference is
  // dropped at once: the collection still holds the trigger.
  IScheduleTrigger* is_set(HRESULT expected) {
    auto* const untouched = reinterpret_cast<IScheduleTrigger*>(1);
    IScheduleTrigger* raw = untouched;
    EXPECT_EQ(triggers->IsSet(&raw), expected);
    if (raw == untouched) {
      ADD_FAILURE() << "IsSet left its out value as it was";
      return nullptr;
    }
    comrt::attach(raw);
    return raw;
  }
  ULONGLONG earliest(HRESULT expected = S_OK) {
    ULONGLONG t = 12345;
    EXPECT_EQ(triggers->get_NextRunTimeAsUnixTime(&t), expected);
    return t;
  }
  static std::vector<int> tags(IScheduleTriggers* c) {
    std::vector<int> out;
    LONG n = 0;
    c->get_Count(&n);
    for (LONG i = 0; i < n; ++i) {
      com_ptr<IScheduleTrigger> t;
      c->get_Item(i, t.put());
      out.push_back(static_cast<FakeTrigger*>(t.get())->tag);
    }
    return out;
  }

  com_ptr<CScheduleTriggers> triggers = comrt::make<CScheduleTriggers>();
};

trigger_script occurring_at(ULONGLONG t, HRESULT has_next = S_FALSE) {
  trigger_script s;
  s.next_occurrence = t;
  s.has_next_occurrence = has_next;
  return s;
}

TEST_F(TriggersTest, AnEmptyCollectionIsNeverDueAndHasNoRunTime) {
  EXPECT_EQ(is_set(E_FAIL), nullptr);
  EXPECT_EQ(triggers->IsSet(nullptr), E_POINTER);
  EXPECT_EQ(triggers->Next(), S_OK);
  EXPECT_EQ(triggers->HasNextRunTime(), S_FALSE);
  EXPECT_EQ(earliest(), 0u);
}

TEST_F(TriggersTest, IsSetHandsOutTheFirstMemberThatAnswersSOkAndAsksNoFurther) {
  auto failing = add({.is_set_after = E_UNEXPECTED});
  auto idle = add({});
  auto due = add({.is_set_after = S_OK});
  auto later = add({.is_set_after = S_OK});
  EXPECT_EQ(is_set(S_OK), due.get());
  EXPECT_EQ(failing->is_set_calls, 1);
  EXPECT_EQ(idle->is_set_calls, 1);
  EXPECT_EQ(later->is_set_calls, 0);

  // A member that fires once (as an instantiation trigger) reports first while it is ahead...
  triggers->Empty();
  auto once = add({.is_set = {S_OK}});
  add({.is_set_after = S_OK}, 7);
  EXPECT_EQ(is_set(S_OK), once.get());
  EXPECT_EQ(static_cast<FakeTrigger*>(is_set(S_OK))->tag, 7);

  // ...and is not even asked while a due member stands before it.
  triggers->Empty();
  due = add({.is_set_after = S_OK});
  once = add({.is_set = {S_OK}});
  EXPECT_EQ(is_set(S_OK), due.get());
  EXPECT_EQ(is_set(S_OK), due.get());
  EXPECT_EQ(once->is_set_calls, 0);
}

TEST_F(TriggersTest, NextMovesMembersInOrderUntilTheFirstFailure) {
  auto quiet = add({.next = S_FALSE});
  auto failing = add({.next = E_ACCESSDENIED});
  auto last = add({});
  EXPECT_EQ(triggers->Next(), E_ACCESSDENIED);
  EXPECT_EQ(quiet->next_calls, 1);
  EXPECT_EQ(failing->next_calls, 1);
  EXPECT_EQ(last->next_calls, 0);
  triggers->Remove(failing.get());
  EXPECT_EQ(triggers->Next(), S_OK);
  EXPECT_EQ(last->next_calls, 1);
}

TEST_F(TriggersTest, HasNextRunTimeAsksOnlyMembersWithAnOccurrence) {
  // Members without an occurrence (folder monitor, instantiation) count for nothing.
  add({.occurrence = false, .next_occurrence = 50, .has_next_occurrence = S_OK});
  EXPECT_EQ(triggers->HasNextRunTime(), S_FALSE);
  EXPECT_EQ(earliest(), 0u);

  add(occurring_at(0, S_FALSE));
  add(occurring_at(0, S_OK));
  add(occurring_at(0, E_UNEXPECTED));
  EXPECT_EQ(triggers->HasNextRunTime(), S_OK);

  triggers->Empty();
  add(occurring_at(0, S_FALSE));
  add(occurring_at(0, E_ACCESSDENIED));
  add(occurring_at(0, S_OK));
  EXPECT_EQ(triggers->HasNextRunTime(), E_ACCESSDENIED);
}

TEST_F(TriggersTest, TheRunTimeIsTheSmallestNonZeroOccurrenceComparedUnsigned) {
  const ULONGLONG high = 0x8000'0000'0000'0000ull;
  const struct {
    std::vector<ULONGLONG> occurrences;
    ULONGLONG expected;
  } cases[] = {
      {{0, 700}, 700}, {{700, 900}, 700}, {{900, 700}, 700}, {{700, 0}, 700},
      {{0, 0}, 0},     {{high, 5}, 5},    {{5, high}, 5},
  };
  for (const auto& c : cases) {
    triggers->Empty();
    // Whether an occurrence is still pending plays no part.
    for (ULONGLONG t : c.occurrences) add(occurring_at(t, S_FALSE));
    EXPECT_EQ(earliest(), c.expected) << c.occurrences[0] << ", " << c.occurrences[1];
  }

  trigger_script broken = occurring_at(10);
  broken.next_occurrence_status = E_ACCESSDENIED;
  add(broken);
  earliest(E_ACCESSDENIED);
  DATE date = 1.0;
  EXPECT_EQ(triggers->get_NextRunTime(&date), E_ACCESSDENIED);
  EXPECT_EQ(date, 0.0);
}

TEST_F(TriggersTest, NextRunTimeIsTheLocalCalendarReadingOfTheEarliestOccurrence) {
  auto member = add(occurring_at(1'719'835'200));  // 2024-07-01 12:00:00 UTC
  DATE date = 0.0;
  {
    fakes::time_zone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    ASSERT_EQ(triggers->get_NextRunTime(&date), S_OK);
    EXPECT_NEAR(date, 45474.0 + 14.0 / 24, 1e-6);  // 14:00 summer time
    member->script.next_occurrence = 0;  // 0 is converted like any other value
    ASSERT_EQ(triggers->get_NextRunTime(&date), S_OK);
    EXPECT_NEAR(date, 25569.0 + 1.0 / 24, 1e-6);
  }
  {
    fakes::time_zone zone("EST5");
    ASSERT_EQ(triggers->get_NextRunTime(&date), S_OK);
    EXPECT_NEAR(date, 25568.0 + 19.0 / 24, 1e-6);  // 1969-12-31 19:00
  }
  // Beyond what the local-time breakdown covers.
  member->script.next_occurrence = static_cast<ULONGLONG>(comrt::crt_time_max) + 1;
  date = 1.0;
  EXPECT_EQ(triggers->get_NextRunTime(&date), E_FAIL);
  EXPECT_EQ(date, 0.0);
  member->script.next_occurrence = UINT64_MAX;
  EXPECT_EQ(triggers->get_NextRunTime(&date), E_FAIL);
  EXPECT_NE(triggers->get_NextRunTime(nullptr), S_OK);
  EXPECT_NE(triggers->get_NextRunTimeAsUnixTime(nullptr), S_OK);
}

TEST_F(TriggersTest, CloneCopiesMembersWhileAddItemsSharesThem) {
  auto first = add({}, 1);
  auto second = add({}, 2);
  com_ptr<IScheduleTriggers> clone;
  ASSERT_EQ(triggers->Clone(clone.put()), S_OK);
  EXPECT_EQ(tags(clone.get()), (std::vector<int>{1, 2}));
  com_ptr<IScheduleTrigger> cloned;
  clone->get_Item(0, cloned.put());
  EXPECT_NE(cloned.get(), static_cast<IScheduleTrigger*>(first.get()));

  auto shared = comrt::make<CScheduleTriggers>();
  EXPECT_EQ(shared->AddItems(triggers.get()), S_OK);
  EXPECT_EQ(shared->AddItems(nullptr), E_INVALIDARG);
  com_ptr<IScheduleTrigger> same;
  shared->get_Item(1, same.put());
  EXPECT_EQ(same.get(), static_cast<IScheduleTrigger*>(second.get()));

  // Removal compares the stored pointer only: another interface pointer to the same member is
  // not that pointer.
  auto* other = reinterpret_cast<IScheduleTrigger*>(static_cast<IScheduleTriggerWithOccurrence*>(first.get()));
  EXPECT_EQ(triggers->Remove(other), E_FAIL);
  EXPECT_EQ(tags(triggers.get()), (std::vector<int>{1, 2}));

  // The script enumerator hands out every member as VT_DISPATCH, in order.
  com_ptr<IUnknown> unknown;
  ASSERT_EQ(triggers->get__NewEnum(unknown.put()), S_OK);
  VARIANT v[3];
  for (VARIANT& x : v) VariantInit(&x);
  ULONG fetched = 0;
  EXPECT_EQ(unknown.as<IEnumVARIANT>()->Next(3, v, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(v[0].vt, VT_DISPATCH);
  EXPECT_EQ(v[0].pdispVal, static_cast<IDispatch*>(first.get()));
  EXPECT_EQ(v[1].pdispVal, static_cast<IDispatch*>(second.get()));
  for (VARIANT& x : v) VariantClear(&x);
}

}  // namespace
