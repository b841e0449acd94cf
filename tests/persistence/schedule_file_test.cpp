// The schedule file through IScheduler::Load and Save: what is written, what is read back, what is
// forgiven, and what a bad file does (nothing to the items).
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <thread>

#include <comrt/guid.h>

#include "persistence/schedule_file.h"
#include "persistence_doubles.h"

namespace {

using comrt::bstr;
using comrt::com_ptr;
using namespace persist_test;
using sched_test::items_of;

constexpr GUID kExampleId{0x6B1E2C3A, 0x0D4F, 0x4A5B, {0x9C, 0x8D, 0x7E, 0x6F, 0x5A, 0x4B, 0x3C, 0x2D}};

// The example document, as it is written: no whitespace between elements.
const std::string kExample =
    R"(<?xml version="1.0"?><Scheduler clsid="{0946E232-81EA-4DF2-B7DB-CAF900E0D209}">)"
    R"(<Items clsid="{9E01C548-1E53-4EC5-9AB9-80BA97266EA5}"><Item clsid="{1661ECCB-8B40-4BC5-B486-51B287896B1B}">)"
    R"(<Id>{6B1E2C3A-0D4F-4A5B-9C8D-7E6F5A4B3C2D}</Id><Name>Nightly upload</Name><ScheduleRun>0</ScheduleRun>)"
    R"(<LastRunTime>133590240000000000</LastRunTime><LastRunResult>0</LastRunResult><Created>133580781000000000)"
    R"(</Created><Actions clsid="{D83B4DD2-1763-4BBB-8931-8EC781BAB25E}"><Action clsid="{EBB2D70B-3677-421E-AE8F-)"
    R"(2F181F233E58}"><DependOnPreviousItem>1</DependOnPreviousItem></Action></Actions><Triggers><Trigger clsid=")"
    R"({8428D9B1-0B74-4879-80D1-797848330314}"><Version>2</Version><Recurrence>2</Recurrence><StartTime>2024-05-01)"
    R"(T08:00:00Z</StartTime><NextRunTime>2024-05-02T08:00:00Z</NextRunTime><LastRunTime>2024-05-01T08:00:00Z)"
    R"(</LastRunTime><Enable>1</Enable><UTC>1</UTC></Trigger></Triggers></Item></Items></Scheduler>)";

const fields kExampleTrigger = {{u"Version", u"2"}, {u"Recurrence", u"2"}, {u"StartTime", u"2024-05-01T08:00:00Z"},
                                {u"NextRunTime", u"2024-05-02T08:00:00Z"}, {u"LastRunTime", u"2024-05-01T08:00:00Z"},
                                {u"Enable", u"1"}, {u"UTC", u"1"}};
const fields kExampleAction = {{u"DependOnPreviousItem", u"1"}};

com_ptr<IScheduleItem> new_item(const char16_t* name = nullptr) {
  auto item = comrt::make<tolvane::CScheduleItem>().as<IScheduleItem>();
  if (name) item->put_Name(bstr(name).get());
  return item;
}
// The numbers of triggers and actions of an item.
std::pair<LONG, LONG> counts(IScheduleItem* item) {
  return {fakes::count_of(fakes::triggers_of(item).get()), fakes::count_of(fakes::actions_of(item).get())};
}
VARIANT_BOOL enabled(IScheduleItem* item) { return fakes::read<VARIANT_BOOL>([&](VARIANT_BOOL* f) { return item->get_Enable(f); }); }
// The description a script host would show for the thread's last failure.
std::u16string error_description() {
  comrt::com_ptr<IErrorInfo> info;
  comrt::bstr text;
  if (GetErrorInfo(0, info.put()) == S_OK) info->GetDescription(text.put());
  return text.str();
}

class ScheduleFileTest : public sched_test::SchedulerFixture {
 protected:
  // A scheduler whose file is `path` (nothing there yet unless a test wrote one).
  com_ptr<tolvane::CScheduler> scheduler_at(const std::filesystem::path& path) {
    auto s = new_scheduler();
    EXPECT_EQ(s->Load(text_of(path).get()), S_OK);
    return s;
  }
  std::vector<com_ptr<IScheduleItem>> load_items(std::string_view document) {
    write_file(file, document);
    return items_in(scheduler_at(file).get());
  }

  const std::filesystem::path file = dir / "schedule.xml";
  stored_trigger_class time_trigger{CLSID_ScheduleScheduleTrigger};
  stored_action_class queue_action{CLSID_ScheduleQueueAction};
};

// The example document is written as it stands. With items of every other kind beside it, read back
// (the stored doubles keep what they read) and written again, the file is the same but for what is
// never stored.
TEST_F(ScheduleFileTest, TheExampleDocumentIsWrittenAsItStandsAndARoundTripWritesTheSameFileAgain) {
  auto s = scheduler_at(file);
  auto item = new_item(u"Nightly upload");
  item->put_Id(kExampleId);
  item->put_LastRunTime(comrt::to_filetime(133590240000000000));
  item->put_LastTaskResult(S_OK);
  item->put_Created(comrt::to_filetime(133580781000000000));
  fakes::actions_of(item.get())->Add(stored<IScheduleAction>(CLSID_ScheduleQueueAction, kExampleAction).get());
  fakes::triggers_of(item.get())->Add(stored<IScheduleTrigger>(CLSID_ScheduleScheduleTrigger, kExampleTrigger).get());
  s->AddItem(item.get());
  sched_test::set_dirty(s.get(), VARIANT_TRUE);
  ASSERT_EQ(s->Save(), S_OK);
  EXPECT_EQ(read_file(file), kExample);
  EXPECT_EQ(sched_test::dirty(s.get()), VARIANT_FALSE);

  auto full = new_item(u"  <spaced> & \"quoted\"  ");
  full->put_Description(bstr(u"line one\nline two").get());
  full->put_Enable(VARIANT_FALSE);
  full->put_ScheduleRun(VARIANT_TRUE);  // a pending run is not stored
  full->put_LastRunTime(comrt::to_filetime(sched_test::kT0));
  full->put_LastTaskResult(HRESULT_FROM_WIN32(ERROR_DISK_FULL));
  auto plain = new_item();
  plain->put_LastTaskResult(S_OK);  // not stored without a last run time
  auto unsaved = new_item(u"kept in memory only");
  unsaved->put_Save(VARIANT_FALSE);
  auto odd_flag = new_item(u"odd");
  odd_flag->put_Enable(1);  // neither VARIANT_TRUE nor false: written as "0"
  for (auto& other : {full, unsaved, plain, odd_flag}) s->AddItem(other.get());
  ASSERT_EQ(s->Save(), S_OK);
  const std::string first = read_file(file);

  auto loaded = scheduler_at(file);
  const auto items = items_in(loaded.get());
  ASSERT_EQ(items.size(), 4u) << "the unsaved item is left out";
  EXPECT_EQ(enabled(items[3].get()), VARIANT_FALSE) << "a flag that is not VARIANT_TRUE is stored as false";
  EXPECT_EQ(sched_test::last_result(items[2].get()), E_FAIL);
  ASSERT_EQ(loaded->Save(), S_OK);
  std::string expected = first;
  expected.insert(expected.find("<Enable>0</Enable>") + 18, "<ScheduleRun>0</ScheduleRun>");
  EXPECT_EQ(read_file(file), expected);
}

TEST_F(ScheduleFileTest, HandEditedFilesReadAndMissingOrUnreadableValuesKeepANewItemsValues) {
  const std::string edited =
      "<?xml version=\"1.0\"?>\r\n<!-- edited by hand -->\r\n<Scheduler>\r\n  <Items>\r\n    <!-- one -->\r\n"
      "    <Item>\r\n      <Name>  spaced  </Name>\r\n      <Enable>0</Enable>\r\n    </Item>\r\n  <Item/>"
      "<Item><Name>first</Name><Name>second</Name><Enable>yes</Enable><LastRunTime>soon</LastRunTime><Id>not an id</Id>"
      "</Item><Version>3</Version></Items>\r\n</Scheduler>\r\n<!-- end -->\r\n";
  std::string utf16 = "\xFF\xFE";
  for (char c : edited) utf16 += std::string{c, '\0'};
  for (const std::string& document : {"\xEF\xBB\xBF" + edited, utf16}) {
    const auto items = load_items(document);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(name_of(items[0].get()), u"  spaced  ");
    EXPECT_EQ(enabled(items[0].get()), VARIANT_FALSE);
    EXPECT_EQ(name_of(items[2].get()), u"first");
    for (const auto& item : {items[1], items[2]}) {
      GUID id{};
      item->get_Id(&id);
      EXPECT_NE(id, GUID{});
      EXPECT_EQ(enabled(item.get()), VARIANT_TRUE);
      EXPECT_EQ(sched_test::last_run(item.get()), 0u);
      EXPECT_EQ(counts(item.get()), (std::pair<LONG, LONG>{0, 0}));
    }
  }
}

// What each collection forgives in one of its elements: the count of members the item ends up with
// when the middle one of three elements is of the kind in the first column (no "clsid" at all, a
// malformed one, one not registered, then the three stored classes).
TEST_F(ScheduleFileTest, TriggerAndActionCollectionsForgiveDifferentFailures) {
  // Classes whose objects offer no storage, read with another success code, or fail to read.
  auto id = [](uint32_t n) { return CLSID{n, 0, 0, {1, 1, 1, 1, 1, 1, 1, 1}}; };
  stored_trigger_class t1(id(0xA1), {false, S_OK, {}}), t2(id(0xA2), {true, S_FALSE, {}}), t3(id(0xA3), {true, E_FAIL, {}});
  stored_action_class a1(id(0xB1), {false, S_OK, {}}), a2(id(0xB2), {true, S_FALSE, {}}), a3(id(0xB3), {true, E_FAIL, {}});
  auto attribute = [](const CLSID& clsid) { return "clsid=\"" + comrt::to_utf8(comrt::to_u16string(clsid)) + "\""; };
  struct row { std::string trigger, action; LONG triggers, actions; } rows[] = {
      {"", "", 2, 2}, {"clsid=\"nonsense\"", "clsid=\"nonsense\"", 0, 0}, {attribute(id(0x99)), attribute(id(0x99)), 2, 0},
      {attribute(id(0xA1)), attribute(id(0xB1)), 0, 2}, {attribute(id(0xA2)), attribute(id(0xB2)), 2, 3},
      {attribute(id(0xA3)), attribute(id(0xB3)), 2, 0}};
  const std::string trigger = "<Trigger clsid=\"{8428D9B1-0B74-4879-80D1-797848330314}\"/>";
  const std::string action = "<Action clsid=\"{EBB2D70B-3677-421E-AE8F-2F181F233E58}\"/>";
  for (const row& r : rows) {
    const auto items = load_items("<Scheduler><Items><Item><Name>n</Name><Triggers>" + trigger + "<Trigger " +
                                  r.trigger + "/>" + trigger + "</Triggers><Actions>" + action + "<Action " +
                                  r.action + "/>" + action + "</Actions></Item></Items></Scheduler>");
    ASSERT_EQ(items.size(), 1u) << r.trigger;
    EXPECT_EQ(counts(items[0].get()), (std::pair{r.triggers, r.actions})) << r.trigger;
    EXPECT_EQ(name_of(items[0].get()), u"n") << "the rest of the item is read: " << r.trigger;
  }
}

// Every one of these files is refused with E_FAIL and a description, and the items stay. (What the
// XML reader refuses by itself is the XML document's concern: one row of it is enough here.)
TEST_F(ScheduleFileTest, BadFilesLoseNothing) {
  auto times = [](int n, const std::string& s) { std::string r; while (n--) r += s; return r; };
  const std::string deep = "<Scheduler><Items>" + times(100000, "<a>") + times(100000, "</a>") + "</Items></Scheduler>";
  const std::string complete = "<Scheduler><Items><Item><Name>whole</Name></Item></Items></Scheduler>";
  const std::string rows[] = {complete.substr(0, complete.size() / 2), "<Other><Item/></Other>",
                              "<Wrapper><Scheduler><Items><Item/></Items></Scheduler></Wrapper>", deep};
  auto s = scheduler_at(file);
  s->AddItem(new_item(u"mine").get());
  const auto before = items_of(s.get());
  for (const std::string& content : rows) {
    write_file(file, content);
    EXPECT_EQ(s->Load(text_of(file).get()), E_FAIL) << content.substr(0, 60);
    EXPECT_EQ(items_of(s.get()), before);
    EXPECT_NE(error_description().find(u"could not be read: "), std::u16string::npos) << content.substr(0, 60);
  }
  std::filesystem::resize_file(file, 1ll << 30);  // too big: refused by its size before anything is read
  EXPECT_EQ(s->Load(text_of(file).get()), E_FAIL);
  EXPECT_NE(error_description().find(u"more than the limit"), std::u16string::npos);
  EXPECT_EQ(s->Load(text_of(dir).get()), E_FAIL) << "a folder";
  EXPECT_EQ(items_of(s.get()), before);
  EXPECT_EQ(name_of(items_in(s.get()).at(0).get()), u"mine");

  // A scheduler element without items keeps the collection; one with items replaces it.
  write_file(file, "<ROOT><Scheduler/></ROOT>");
  EXPECT_EQ(s->Load(text_of(file).get()), S_OK);
  EXPECT_EQ(items_of(s.get()), before);
  write_file(file, "<Scheduler><Items/></Scheduler>");
  EXPECT_EQ(s->Load(text_of(file).get()), S_OK);
  EXPECT_NE(items_of(s.get()), before);
}

TEST_F(ScheduleFileTest, SavingReplacesOnlyRegularFilesWholeAndKeepsTheirMode) {
  auto s = scheduler_at(file);
  s->AddItem(new_item(u"old").get());
  ASSERT_EQ(s->Save(), S_OK);
  const auto mode = [&] { return std::filesystem::status(file).permissions(); };
  EXPECT_EQ(mode(), std::filesystem::perms(0600)) << "a new file is private";
  std::filesystem::permissions(file, std::filesystem::perms(0640));
  ASSERT_EQ(s->Save(), S_OK);
  EXPECT_EQ(mode(), std::filesystem::perms(0640));
  const std::string old = read_file(file);

  // The disk "fills up" after a few hundred bytes: the old file and no temporary file are left.
  for (int i = 0; i < 200; ++i) s->AddItem(new_item(u"a longer schedule than the file size limit allows").get());
  std::signal(SIGXFSZ, SIG_IGN);
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  rlimit small = saved;
  small.rlim_cur = 512;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const HRESULT hr = s->Save();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(read_file(file), old);
  EXPECT_EQ(files_in(dir), std::set<std::string>{"schedule.xml"});

  auto pipe = scheduler_at(dir / "pipe");
  ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0600), 0);
  EXPECT_EQ(pipe->Save(), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
  EXPECT_TRUE(std::filesystem::is_fifo(dir / "pipe"));
}

TEST_F(ScheduleFileTest, SchedulersSavingOneFileAtOnceNeverMixTheirFiles) {
  auto a = scheduler_at(file), b = scheduler_at(file);
  for (int i = 0; i < 50; ++i) a->AddItem(new_item(u"a").get()), b->AddItem(new_item(u"b").get());
  ASSERT_EQ(a->Save(), S_OK);
  std::atomic<bool> done{false};
  auto saver = [&](tolvane::CScheduler* s) {
    for (int i = 0; i < 40; ++i) EXPECT_EQ(s->Save(), S_OK);
  };
  std::thread ta(saver, a.get()), tb(saver, b.get()), reader([&] {
    for (auto r = new_scheduler(); !done.load();) {
      ASSERT_EQ(r->Load(text_of(file).get()), S_OK);
      const auto items = items_in(r.get());
      ASSERT_EQ(items.size(), 50u);
      for (const auto& item : items) ASSERT_EQ(name_of(item.get()), name_of(items[0].get()));
    }
  });
  ta.join();
  tb.join();
  done = true;
  reader.join();
  EXPECT_EQ(files_in(dir), std::set<std::string>{"schedule.xml"});
}

}  // namespace
