// The time trigger's element: what is written under which condition, the format versions, and the
// next occurrence computed afresh after reading.
#include <gtest/gtest.h>

#include "persistence_doubles.h"
#include "triggers/schedule_trigger.h"

namespace {

using comrt::com_ptr;
using persist_test::read_element;
using persist_test::written_element;
using tolvane::CScheduleScheduleTrigger;

constexpr int64_t kMay1 = 1714550400;  // 2024-05-01T08:00:00Z

std::u16string write(CScheduleScheduleTrigger* t) {
  return written_element(u"Trigger", static_cast<IScheduleTrigger*>(t));
}
com_ptr<CScheduleScheduleTrigger> read(const std::u16string& inner) {
  auto t = comrt::make<CScheduleScheduleTrigger>();
  EXPECT_EQ(read_element(u"<Trigger>" + inner + u"</Trigger>", u"Trigger", static_cast<IScheduleTrigger*>(t.get())),
            S_OK);
  return t;
}
// The children of a written element.
std::u16string inner(const std::u16string& xml) {
  const size_t start = xml.find(u'>') + 1;
  return xml.substr(start, xml.rfind(u"</") - start);
}
VARIANT_BOOL utc_of(CScheduleScheduleTrigger* t) {
  VARIANT_BOOL utc = 7;
  t->get_UTC(&utc);
  return utc;
}

class ScheduleTriggerFile : public ::testing::Test {
 protected:
  ~ScheduleTriggerFile() override { RtResetClock(); }
};

TEST_F(ScheduleTriggerFile, WritesEveryFieldInOrderAndLeavesOutTheZeroOnes) {
  auto t = comrt::make<CScheduleScheduleTrigger>();
  t->put_Recurrence(tvScheduleScheduleTriggerRecurrenceDaily);
  t->put_StartTimeAsUnixTime(kMay1);
  t->put_UTC(VARIANT_TRUE);
  const std::u16string head = u"<Trigger clsid=\"{8428D9B1-0B74-4879-80D1-797848330314}\"><Version>2</Version>";
  EXPECT_EQ(write(t.get()), head + u"<Recurrence>2</Recurrence><StartTime>2024-05-01T08:00:00Z</StartTime>"
                                   u"<Enable>1</Enable><UTC>1</UTC></Trigger>");

  t->put_Recurrence(tvScheduleScheduleTriggerRecurrenceWeekly);
  t->put_WeekMask(static_cast<ScheduleScheduleTriggerWeekMask>(42));
  t->put_ExpireTimeAsUnixTime(kMay1 + 86400);
  t->put_LastOccurrenceAsUnixTime(kMay1);
  t->put_RecurrenceTimeInterval(90061);
  t->put_Enable(VARIANT_FALSE);
  t->put_UTC(VARIANT_FALSE);
  EXPECT_EQ(write(t.get()), head + u"<Recurrence>3</Recurrence><WeekMask>42</WeekMask>"
                                   u"<StartTime>2024-05-01T08:00:00Z</StartTime><ExpireTime>2024-05-02T08:00:00Z"
                                   u"</ExpireTime><LastRunTime>2024-05-01T08:00:00Z</LastRunTime><Enable>0</Enable>"
                                   u"<UTC>0</UTC><RecurrenceTimeInterval>P0000-00-01T01:01:01</RecurrenceTimeInterval>"
                                   u"</Trigger>");

  auto back = read(inner(write(t.get())));
  ULONGLONG value = 0;
  back->get_ExpireTimeAsUnixTime(&value);
  EXPECT_EQ(value, static_cast<ULONGLONG>(kMay1 + 86400));
  LONG interval = 0;
  back->get_RecurrenceTimeInterval(&interval);
  EXPECT_EQ(interval, 90061);
  ScheduleScheduleTriggerWeekMask mask{};
  back->get_WeekMask(&mask);
  EXPECT_EQ(mask, 42);
}

TEST_F(ScheduleTriggerFile, VersionOneCountsInUtcUnlessTheFileSaysOtherwise) {
  EXPECT_EQ(utc_of(read(u"").get()), VARIANT_TRUE);
  EXPECT_EQ(utc_of(read(u"<Version>1</Version>").get()), VARIANT_TRUE);
  EXPECT_EQ(utc_of(read(u"<Version>2</Version>").get()), VARIANT_FALSE);
  EXPECT_EQ(utc_of(read(u"<UTC>0</UTC>").get()), VARIANT_FALSE);
  EXPECT_EQ(utc_of(read(u"<Version>2</Version><UTC>5</UTC>").get()), VARIANT_TRUE);
}

TEST_F(ScheduleTriggerFile, TheNextOccurrenceIsComputedAfreshAndTimesBefore1970AreNotRead) {
  RtSetClock(comrt::unix_to_ticks(kMay1 + 31 * 86400 - 3600));  // 2024-06-01T07:00:00Z
  auto t = read(u"<Version>2</Version><Recurrence>2</Recurrence><StartTime>2024-05-01T08:00:00Z</StartTime>"
                u"<NextRunTime>2000-01-01T00:00:00Z</NextRunTime><UTC>1</UTC>");
  ULONGLONG next = 0;
  t->NextOccurrence(&next);
  EXPECT_EQ(next, static_cast<ULONGLONG>(kMay1 + 31 * 86400));

  auto negative = comrt::make<CScheduleScheduleTrigger>();
  negative->put_StartTimeAsUnixTime(static_cast<ULONGLONG>(-3600));
  const std::u16string xml = write(negative.get());
  EXPECT_NE(xml.find(u"<StartTime>1969-12-31T23:00:00Z</StartTime>"), std::u16string::npos);
  ULONGLONG start = 1, initial = 2;
  read(inner(xml))->get_StartTimeAsUnixTime(&start);
  comrt::make<CScheduleScheduleTrigger>()->get_StartTimeAsUnixTime(&initial);
  EXPECT_EQ(start, initial) << "a new trigger's start time";
}

}  // namespace
