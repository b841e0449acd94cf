// The elements of the stored classes: what each writes under which condition, and what it gives
// back when read. (The host's transfer inside an action is read back by the host suite.)
#include <functional>

#include "actions/queue_action.h"
#include "persistence_doubles.h"
#include "triggers/schedule_trigger.h"

namespace {

using comrt::com_ptr;
using tolvane::CScheduleQueueAction;
using tolvane::CScheduleScheduleTrigger;

constexpr int64_t kMay1 = 1714550400;  // 2024-05-01T08:00:00Z

// An object's element as the archive writes it.
std::u16string written_element(const char16_t* name, IUnknown* object) {
  auto archive = comrt::make<tolvane::CXMLArchive>();
  archive->SetMode(XMLARCHIVE_MODE_STORE);
  com_ptr<IXMLDOMNode> root, element;
  archive->CreateDocument(nullptr, root.put());
  EXPECT_EQ(archive->ExchangeObject(root.get(), name, object), S_OK);
  root->selectSingleNode(comrt::bstr(name).get(), element.put());
  comrt::bstr xml;
  element->get_xml(xml.put());
  return xml.str();
}
// Lets an object read the element `name` of the document `xml`.
HRESULT read_element(const std::u16string& xml, const char16_t* name, IUnknown* object) {
  auto archive = comrt::make<tolvane::CXMLArchive>();
  com_ptr<IXMLDOMDocument> doc;
  archive->GetDocument(doc.put());
  VARIANT_BOOL ok = VARIANT_FALSE;
  EXPECT_EQ(doc.as<IXMLDOMDocument2>()->loadXML(comrt::bstr(xml).get(), &ok), S_OK);
  archive->SetMode(XMLARCHIVE_MODE_LOAD);
  return archive->ExchangeObject(doc.as<IXMLDOMNode>().get(), name, object);
}
template <class T, class O, class R>
T value(O* object, R (O::*get)(T*)) {
  T v{};
  (object->*get)(&v);
  return v;
}

using action_ptr = com_ptr<CScheduleQueueAction>;
using trigger_ptr = com_ptr<CScheduleScheduleTrigger>;

action_ptr action(VARIANT_BOOL use_folder_tree, VARIANT_BOOL depend) {
  auto a = comrt::make<CScheduleQueueAction>();
  a->put_UseFolderTree(use_folder_tree);
  a->put_DependOnPreviousItem(depend);
  return a;
}
// The flags an action read back has; and that no transfer came with it.
std::function<void(const action_ptr&)> flags(VARIANT_BOOL use_folder_tree, VARIANT_BOOL depend) {
  return [=](const action_ptr& a) {
    EXPECT_EQ(value(a.get(), &CScheduleQueueAction::get_UseFolderTree), use_folder_tree);
    EXPECT_EQ(value(a.get(), &CScheduleQueueAction::get_DependOnPreviousItem), depend);
    EXPECT_FALSE(value(a.get(), &CScheduleQueueAction::get_Item));
  };
}

TEST(ElementFile, EveryClassWritesItsFieldsUnderTheirConditionsAndReadsThemBack) {
  persist_test::registered_class<ITransferQueueItem> host(CLSID_TransferQueueItem);
  struct action_row { action_ptr written; const char16_t* content; std::function<void(const action_ptr&)> check; };
  const action_row actions[] = {
      {action(VARIANT_TRUE, VARIANT_FALSE), u"", flags(VARIANT_TRUE, VARIANT_FALSE)},
      {action(VARIANT_FALSE, VARIANT_FALSE), u"<UseFolderFree>0</UseFolderFree>", flags(VARIANT_FALSE, VARIANT_FALSE)},
      {action(5, VARIANT_TRUE), u"<UseFolderFree>0</UseFolderFree><DependOnPreviousItem>1</DependOnPreviousItem>",
       flags(VARIANT_FALSE, VARIANT_TRUE)},
      {action(VARIANT_TRUE, 1), u"<DependOnPreviousItem>0</DependOnPreviousItem>", flags(VARIANT_TRUE, VARIANT_FALSE)},
  };
  for (const auto& r : actions) {
    const auto xml = written_element(u"Action", static_cast<IScheduleAction*>(r.written.get()));
    const std::u16string start = u"<Action clsid=\"{EBB2D70B-3677-421E-AE8F-2F181F233E58}\"";
    EXPECT_EQ(xml, *r.content ? start + u">" + r.content + u"</Action>" : start + u"/>");
    auto loaded = comrt::make<CScheduleQueueAction>();
    ASSERT_EQ(read_element(xml, u"Action", static_cast<IScheduleAction*>(loaded.get())), S_OK);
    r.check(loaded);
  }

  auto daily = comrt::make<CScheduleScheduleTrigger>();
  daily->put_Recurrence(tvScheduleScheduleTriggerRecurrenceDaily);
  daily->put_StartTimeAsUnixTime(kMay1);
  daily->put_UTC(VARIANT_TRUE);
  auto weekly = comrt::make<CScheduleScheduleTrigger>();
  weekly->put_Recurrence(tvScheduleScheduleTriggerRecurrenceWeekly);
  weekly->put_WeekMask(static_cast<ScheduleScheduleTriggerWeekMask>(42));
  weekly->put_StartTimeAsUnixTime(kMay1);
  weekly->put_ExpireTimeAsUnixTime(kMay1 + 86400);
  weekly->put_LastOccurrenceAsUnixTime(kMay1);
  weekly->put_RecurrenceTimeInterval(90061);
  weekly->put_Enable(VARIANT_FALSE);
  auto before_1970 = comrt::make<CScheduleScheduleTrigger>();
  before_1970->put_StartTimeAsUnixTime(static_cast<ULONGLONG>(-3600));
  const ULONGLONG initial_start = value(comrt::make<CScheduleScheduleTrigger>().get(),
                                        &CScheduleScheduleTrigger::get_StartTimeAsUnixTime);
  using T = CScheduleScheduleTrigger;
  struct trigger_row { trigger_ptr written; const char16_t* content; std::function<void(const trigger_ptr&)> check; };
  const trigger_row triggers[] = {
      {daily, u"<Recurrence>2</Recurrence><StartTime>2024-05-01T08:00:00Z</StartTime><Enable>1</Enable><UTC>1</UTC>",
       [](const trigger_ptr& t) { EXPECT_EQ(value(t.get(), &T::get_UTC), VARIANT_TRUE); }},
      {weekly,
       u"<Recurrence>3</Recurrence><WeekMask>42</WeekMask><StartTime>2024-05-01T08:00:00Z</StartTime>"
       u"<ExpireTime>2024-05-02T08:00:00Z</ExpireTime><LastRunTime>2024-05-01T08:00:00Z</LastRunTime>"
       u"<Enable>0</Enable><UTC>0</UTC><RecurrenceTimeInterval>P0000-00-01T01:01:01</RecurrenceTimeInterval>",
       [](const trigger_ptr& t) {
         EXPECT_EQ(value(t.get(), &T::get_ExpireTimeAsUnixTime), static_cast<ULONGLONG>(kMay1 + 86400));
         EXPECT_EQ(value(t.get(), &T::get_RecurrenceTimeInterval), 90061);
         EXPECT_EQ(value(t.get(), &T::get_WeekMask), 42);
         EXPECT_EQ(value(t.get(), &T::get_UTC), VARIANT_FALSE);
       }},
      // Times before 1970 are written but not read: the trigger keeps a new one's start.
      {before_1970, u"<Recurrence>0</Recurrence><StartTime>1969-12-31T23:00:00Z</StartTime><Enable>1</Enable><UTC>0</UTC>",
       [&](const trigger_ptr& t) { EXPECT_EQ(value(t.get(), &T::get_StartTimeAsUnixTime), initial_start); }},
  };
  for (const auto& r : triggers) {
    const auto xml = written_element(u"Trigger", static_cast<IScheduleTrigger*>(r.written.get()));
    EXPECT_EQ(xml, u"<Trigger clsid=\"{8428D9B1-0B74-4879-80D1-797848330314}\"><Version>2</Version>" +
                       std::u16string(r.content) + u"</Trigger>");
    auto loaded = comrt::make<CScheduleScheduleTrigger>();
    ASSERT_EQ(read_element(xml, u"Trigger", static_cast<IScheduleTrigger*>(loaded.get())), S_OK);
    r.check(loaded);
  }
}

trigger_ptr read_trigger(const std::u16string& inner) {
  auto t = comrt::make<CScheduleScheduleTrigger>();
  EXPECT_EQ(read_element(u"<Trigger>" + inner + u"</Trigger>", u"Trigger", static_cast<IScheduleTrigger*>(t.get())),
            S_OK);
  return t;
}

TEST(ElementFile, OldTriggersCountInUtcAndTheNextOccurrenceIsComputedAfresh) {
  struct row { const char16_t* inner; VARIANT_BOOL utc; } rows[] = {
      {u"", VARIANT_TRUE}, {u"<Version>1</Version>", VARIANT_TRUE}, {u"<Version>2</Version>", VARIANT_FALSE},
      {u"<UTC>0</UTC>", VARIANT_FALSE}, {u"<Version>2</Version><UTC>5</UTC>", VARIANT_TRUE}};
  for (const row& r : rows) EXPECT_EQ(value(read_trigger(r.inner).get(), &CScheduleScheduleTrigger::get_UTC), r.utc);

  RtSetClock(comrt::unix_to_ticks(kMay1 + 31 * 86400 - 3600));  // 2024-06-01T07:00:00Z
  auto t = read_trigger(u"<Version>2</Version><Recurrence>2</Recurrence><StartTime>2024-05-01T08:00:00Z</StartTime>"
                        u"<NextRunTime>2000-01-01T00:00:00Z</NextRunTime><UTC>1</UTC>");
  RtResetClock();
  EXPECT_EQ(value(t.get(), &CScheduleScheduleTrigger::NextOccurrence), static_cast<ULONGLONG>(kMay1 + 31 * 86400));

  // Without the host's transfer class an action cannot be read.
  auto loaded = comrt::make<CScheduleQueueAction>();
  EXPECT_EQ(read_element(u"<Action><UseFolderFree>0</UseFolderFree></Action>", u"Action",
                         static_cast<IScheduleAction*>(loaded.get())),
            REGDB_E_CLASSNOTREG);
}

}  // namespace
