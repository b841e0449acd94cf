// The elements of the stored classes: what each writes under which condition, and that what is read
// back is written the same again. (The host's transfer inside an action is read by the host suite.)
#include "actions/queue_action.h"
#include "persistence_doubles.h"
#include "triggers/schedule_trigger.h"

namespace {

using comrt::com_ptr;
using tolvane::CScheduleQueueAction;
using tolvane::CScheduleScheduleTrigger;
using trigger_ptr = com_ptr<CScheduleScheduleTrigger>;
using persist_test::read_element;
using persist_test::written_element;

constexpr int64_t kMay1 = 1714550400;  // 2024-05-01T08:00:00Z

com_ptr<IUnknown> action(VARIANT_BOOL use_folder_tree, VARIANT_BOOL depend) {
  auto a = comrt::make<CScheduleQueueAction>();
  a->put_UseFolderTree(use_folder_tree);
  a->put_DependOnPreviousItem(depend);
  return a.as<IScheduleAction>().as<IUnknown>();
}
com_ptr<IUnknown> trigger(ScheduleScheduleTriggerRecurrence recurrence, VARIANT_BOOL utc, bool all = false) {
  auto t = comrt::make<CScheduleScheduleTrigger>();
  t->put_Recurrence(recurrence);
  t->put_StartTimeAsUnixTime(kMay1);
  t->put_UTC(utc);
  if (all) t->put_WeekMask(static_cast<ScheduleScheduleTriggerWeekMask>(42)), t->put_ExpireTimeAsUnixTime(kMay1 + 86400),
      t->put_LastOccurrenceAsUnixTime(kMay1), t->put_RecurrenceTimeInterval(90061), t->put_Enable(VARIANT_FALSE);
  return t.as<IScheduleTrigger>().as<IUnknown>();
}

TEST(ElementFile, EveryClassWritesItsFieldsUnderTheirConditionsAndReadsThemBack) {
  auto transfers = fakes::make_mock<fakes::MockClassFactory>(
      [] { return fakes::make_mock<fakes::MockTransferQueueItem>().as<IUnknown>(); });
  fakes::registered_class host(CLSID_TransferQueueItem, transfers.get());
  const std::u16string action_start = u"<Action clsid=\"{EBB2D70B-3677-421E-AE8F-2F181F233E58}\"";
  const std::u16string trigger_start = u"<Trigger clsid=\"{8428D9B1-0B74-4879-80D1-797848330314}\"><Version>2</Version>";
  // The element an object writes; a new object that reads it writes it the same again (or `again`).
  struct row { com_ptr<IUnknown> written; std::u16string xml, again = {}; } rows[] = {
      {action(VARIANT_TRUE, VARIANT_FALSE), action_start + u"/>"},
      {action(VARIANT_FALSE, VARIANT_FALSE), action_start + u"><UseFolderFree>0</UseFolderFree></Action>"},
      {action(5, VARIANT_TRUE),
       action_start + u"><UseFolderFree>0</UseFolderFree><DependOnPreviousItem>1</DependOnPreviousItem></Action>"},
      {action(VARIANT_TRUE, 1), action_start + u"><DependOnPreviousItem>0</DependOnPreviousItem></Action>",
       action_start + u"/>"},  // neither true nor false: read back as false
      {trigger(tvScheduleScheduleTriggerRecurrenceDaily, VARIANT_TRUE),
       trigger_start + u"<Recurrence>2</Recurrence><StartTime>2024-05-01T08:00:00Z</StartTime><Enable>1</Enable>"
                       u"<UTC>1</UTC></Trigger>"},
      {trigger(tvScheduleScheduleTriggerRecurrenceWeekly, VARIANT_FALSE, true),
       trigger_start + u"<Recurrence>3</Recurrence><WeekMask>42</WeekMask><StartTime>2024-05-01T08:00:00Z</StartTime>"
                       u"<ExpireTime>2024-05-02T08:00:00Z</ExpireTime><LastRunTime>2024-05-01T08:00:00Z</LastRunTime>"
                       u"<Enable>0</Enable><UTC>0</UTC><RecurrenceTimeInterval>P0000-00-01T01:01:01"
                       u"</RecurrenceTimeInterval></Trigger>"},
  };
  for (const row& r : rows) {
    const char16_t* name = r.xml.starts_with(u"<Action") ? u"Action" : u"Trigger";
    EXPECT_EQ(written_element(name, r.written.get()), r.xml);
    const auto loaded = *name == u'A' ? action(VARIANT_TRUE, VARIANT_FALSE)
                                      : comrt::make<CScheduleScheduleTrigger>().as<IScheduleTrigger>().as<IUnknown>();
    ASSERT_EQ(read_element(r.xml, name, loaded.get()), S_OK) << comrt::to_utf8(r.xml);
    // A trigger read computes its next occurrence afresh (see below), and writes it.
    std::u16string again = written_element(name, loaded.get());
    if (const size_t at = again.find(u"<NextRunTime>"); at != again.npos)
      again.erase(at, again.find(u"</NextRunTime>") + 14 - at);
    EXPECT_EQ(again, r.again.empty() ? r.xml : r.again);
  }
}

trigger_ptr read_trigger(const std::u16string& inner) {
  auto t = comrt::make<CScheduleScheduleTrigger>();
  EXPECT_EQ(read_element(u"<Trigger>" + inner + u"</Trigger>", u"Trigger", t->identity()), S_OK);
  return t;
}

TEST(ElementFile, OldTriggersCountInUtcAndTheNextOccurrenceIsComputedAfresh) {
  struct row { const char16_t* inner; VARIANT_BOOL utc; } rows[] = {
      {u"", VARIANT_TRUE}, {u"<Version>1</Version>", VARIANT_TRUE}, {u"<Version>2</Version>", VARIANT_FALSE},
      {u"<UTC>0</UTC>", VARIANT_FALSE}, {u"<Version>2</Version><UTC>5</UTC>", VARIANT_TRUE}};
  for (const row& r : rows) {
    VARIANT_BOOL utc = 7;
    read_trigger(r.inner)->get_UTC(&utc);
    EXPECT_EQ(utc, r.utc) << comrt::to_utf8(r.inner);
  }
  RtSetClock(comrt::unix_to_ticks(kMay1 + 31 * 86400 - 3600));  // 2024-06-01T07:00:00Z
  auto t = read_trigger(u"<Version>2</Version><Recurrence>2</Recurrence><StartTime>2024-05-01T08:00:00Z</StartTime>"
                        u"<NextRunTime>2000-01-01T00:00:00Z</NextRunTime><UTC>1</UTC>");
  RtResetClock();
  ULONGLONG next = 0;
  EXPECT_EQ((t->NextOccurrence(&next), next), static_cast<ULONGLONG>(kMay1 + 31 * 86400));

  // Without the host's transfer class an action cannot be read.
  EXPECT_EQ(read_element(u"<Action><UseFolderFree>0</UseFolderFree></Action>", u"Action", action(0, 0).get()),
            REGDB_E_CLASSNOTREG);
}

}  // namespace
