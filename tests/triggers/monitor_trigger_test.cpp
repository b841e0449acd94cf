// The folder monitor trigger on real folders: the path rules, when IsSet answers S_OK for folders
// and files, long paths, many changes and many triggers, the fall-back to snapshots and copies.
// Places that appear, vanish or move are the watcher's own tests.
#include "triggers/monitor_trigger.h"

#include <comrt/folder_watcher.h>
#include <comrt/strings.h>
#include <comrt/variant.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "diagnostics/log_file.h"
#include "persistence/persistence_doubles.h"
#include "platform/fswatch/temp_tree.h"
#include "triggers/trigger_texts.h"

namespace {

using comrt::com_ptr;
using tolvane::CScheduleMonitorTrigger;

class MonitorTriggerTest : public ::testing::Test {
 protected:
  static HRESULT set_path(IScheduleMonitorTrigger* t, const std::string& path) {
    return t->put_Path(comrt::bstr(comrt::to_utf16(path)).get());
  }
  static std::u16string path_of(IScheduleMonitorTrigger* t) {
    comrt::bstr out;
    EXPECT_EQ(t->get_Path(out.put()), S_OK);
    return out.str();
  }
  com_ptr<CScheduleMonitorTrigger> watching(const std::string& path) {
    auto t = comrt::make<CScheduleMonitorTrigger>();
    EXPECT_EQ(set_path(t.get(), path), S_OK);
    return t;
  }
  // IsSet once every change made so far has reached the trigger.
  static HRESULT settled(IScheduleTrigger* t) {
    comrt::folder_watcher::process().stats();
    return t->IsSet();
  }
  static bool fires(IScheduleTrigger* t) {
    return fswatch_test::eventually([&] { return settled(t) == S_OK; });
  }

  fswatch_test::temp_tree tree;
};

TEST_F(MonitorTriggerTest, PathMustBeAbsoluteAndTheSamePathRestartsNothing) {
  auto t = comrt::make<CScheduleMonitorTrigger>();
  for (const std::u16string_view bad : {std::u16string_view(u""), std::u16string_view(u"relative/dir"),
                                        std::u16string_view(u"/a\0b", 4)}) {
    EXPECT_EQ(t->put_Path(comrt::bstr(bad).get()), E_INVALIDARG);
  }
  EXPECT_EQ(t->put_Path(nullptr), E_INVALIDARG);
  EXPECT_EQ(path_of(t.get()), u"");
  EXPECT_EQ(t->IsSet(), S_FALSE);

  tree.write("f");
  ASSERT_EQ(set_path(t.get(), tree.path("f")), S_OK);
  tree.write("f");
  comrt::folder_watcher::process().stats();
  EXPECT_EQ(set_path(t.get(), tree.path("f")), S_OK);
  EXPECT_TRUE(fires(t.get())) << "a restart would have taken the new size as the known one";
}

TEST_F(MonitorTriggerTest, StoresItsPathAndWatchesThePathItReads) {
  const auto unknown = [](CScheduleMonitorTrigger* t) { return static_cast<IScheduleTrigger*>(t); };
  const std::u16string head = u"<Trigger clsid=\"{6FF942C2-11BD-4019-86B2-16B0CC95D499}\"";
  auto blank = comrt::make<CScheduleMonitorTrigger>();
  EXPECT_EQ(persist_test::written_element(u"Trigger", unknown(blank.get())), head + u"/>");

  const std::u16string folder = comrt::to_utf16(tree.path(""));
  auto read = comrt::make<CScheduleMonitorTrigger>();
  const std::u16string stored = persist_test::written_element(u"Trigger", unknown(watching(tree.path("")).get()));
  EXPECT_EQ(stored, head + u"><Path>" + folder + u"</Path></Trigger>");
  ASSERT_EQ(persist_test::read_element(stored, u"Trigger", unknown(read.get())), S_OK);
  EXPECT_EQ(path_of(read.get()), folder);
  tree.write("new");
  EXPECT_TRUE(fires(read.get())) << "the trigger read from the file does not watch its path";
}

TEST_F(MonitorTriggerTest, FileFiresOnlyWhenItsSizeOrTimeChanges) {
  tree.write("f");
  auto t = watching(tree.path("f"));
  auto not_yet = watching(tree.path("new"));
  tree.write("g");
  EXPECT_EQ(settled(t.get()), S_FALSE);
  tree.write("f");
  EXPECT_TRUE(fires(t.get()));
  EXPECT_EQ(settled(t.get()), S_FALSE);
  std::ofstream(tree.path("f"), std::ios::app).close();  // opened for writing, nothing written
  std::filesystem::permissions(tree.path("f"), std::filesystem::perms::owner_all);
  EXPECT_EQ(settled(t.get()), S_FALSE) << "touched, but neither its size nor its time changed";
  tree.write("new");
  EXPECT_TRUE(fires(not_yet.get())) << "a file that did not exist yet fires once created and written";
}

TEST_F(MonitorTriggerTest, TextsNameTheLastComponentOfFolderOrFile) {
  using tolvane::format_text;
  using tolvane::load_text;
  tree.make_folders("dir");
  tree.write("file.txt");
  const auto t = comrt::make<CScheduleMonitorTrigger>();
  comrt::bstr text;
  EXPECT_EQ(t->ToString(text.put()), E_FAIL);
  EXPECT_EQ(t->get_Name(text.put()), S_OK);
  EXPECT_EQ(text.str(), load_text(200));
  for (const auto& [path, id, name] : {std::tuple{"dir/", 199, u"dir"}, std::tuple{"file.txt", 198, u"file.txt"}}) {
    ASSERT_EQ(set_path(t.get(), tree.path(path)), S_OK);
    EXPECT_EQ(t->ToString(text.put()), S_OK);
    EXPECT_EQ(text.str(), format_text(load_text(id), name));
  }
}

TEST_F(MonitorTriggerTest, WatchesPathsLongerThanPathMax) {
  std::string path = tree.root();
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int level = 0; level < 24; ++level) {
    const std::string name(200, static_cast<char>('a' + level));
    ASSERT_EQ(::mkdirat(fd, name.c_str(), 0755), 0);
    const int next = ::openat(fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    fd = next;
    path += "/" + name;
  }
  ASSERT_GT(path.size(), size_t{PATH_MAX});
  auto t = watching(path);
  const int file = ::openat(fd, "f", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_EQ(::write(file, "x", 1), 1);
  ::close(file);
  ::close(fd);
  EXPECT_TRUE(fires(t.get()));
  EXPECT_EQ(comrt::folder_watcher::process().stats().polling, 0u);
}

TEST_F(MonitorTriggerTest, EveryOneOfAThousandNewTreesIsSeen) {
  auto t = watching(tree.root());
  const size_t before = comrt::folder_watcher::process().stats().kernel_watches;
  const auto folder = [](int i) { return "a" + std::to_string(i) + "/b/c"; };
  for (int i = 0; i < 1000; ++i) {
    tree.make_folders(folder(i));
    tree.write(folder(i) + "/f");
    ASSERT_TRUE(fires(t.get())) << i;
  }
  EXPECT_EQ(t->Next(), S_OK);
  EXPECT_EQ(settled(t.get()), S_FALSE) << "each change is reported once";
  // Every folder made, however fast, has its own kernel watch, and changes in it are seen.
  EXPECT_EQ(comrt::folder_watcher::process().stats().kernel_watches, before + 3000);
  for (int i = 0; i < 1000; i += 111) {
    tree.write(folder(i) + "/f");
    ASSERT_TRUE(fires(t.get())) << i;
  }
}

TEST_F(MonitorTriggerTest, FiveHundredTriggersEachFireForTheirOwnFolderOnly) {
  std::vector<com_ptr<CScheduleMonitorTrigger>> triggers;
  for (int i = 0; i < 500; ++i) {
    tree.make_folders("d" + std::to_string(i));
    triggers.push_back(watching(tree.path("d" + std::to_string(i))));
  }
  // Round b changes the folders whose number has bit b set: a trigger that also fired for some
  // other folder fires in a round in which its own folder did not change.
  for (int bit = 0; (1 << bit) < 500; ++bit) {
    for (int i = 0; i < 500; ++i) {
      if (i & (1 << bit)) tree.write("d" + std::to_string(i) + "/f");
    }
    comrt::folder_watcher::process().stats();
    for (int j = 0; j < 500; ++j) ASSERT_EQ(triggers[j]->IsSet(), j & (1 << bit) ? S_OK : S_FALSE) << bit << " " << j;
  }
}

TEST_F(MonitorTriggerTest, OutOfWatchesTheTriggerComparesSnapshotsAndLogsOnce) {
  tree.make_folders("w/a");
  auto& log = tolvane::CLogFile::GetInstance();
  log.Attach(comrt::to_utf16(tree.path("log")));
  comrt::folder_watcher::process().set_watch_limit(0);
  auto t = watching(tree.path("w"));
  comrt::folder_watcher::process().set_watch_limit(SIZE_MAX);
  EXPECT_EQ(t->IsSet(), S_FALSE);
  tree.write("w/a/f");
  EXPECT_EQ(t->IsSet(), S_OK);
  EXPECT_EQ(t->IsSet(), S_FALSE);
  log.Detach();
  std::ifstream in(tree.path("log"), std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\n'), 1) << "one line";
}

TEST_F(MonitorTriggerTest, ClonesWatchOnTheirOwn) {
  tree.make_folders("w");
  com_ptr<IScheduleTrigger> clone;
  {
    auto original = watching(tree.path("w"));
    ASSERT_EQ(original->Clone(clone.put()), S_OK);
  }
  const auto monitor = clone.as<IScheduleMonitorTrigger>();
  EXPECT_EQ(path_of(monitor.get()), comrt::to_utf16(tree.path("w")));
  tree.write("w/f");
  EXPECT_TRUE(fires(clone.get()));
  EXPECT_EQ(monitor->Copy(nullptr), E_POINTER);
}

}  // namespace
