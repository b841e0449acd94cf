// The folder monitor trigger on real folders: the path rules, when IsSet answers S_OK for folders
// and files, its stored path and clones, the fall-back to snapshots. Long paths, many trees
// and places that appear, vanish or move are the watcher's own tests.
#include "triggers/monitor_trigger.h"

#include <comrt/folder_watcher.h>
#include <comrt/strings.h>
#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "diagnostics/log_file.h"
#include "persistence/persistence_doubles.h"
#include "platform/fswatch/temp_tree.h"

namespace {

using comrt::com_ptr;
using tolvane::CScheduleMonitorTrigger;

class MonitorTriggerTest : public ::testing::Test {
 protected:
  static HRESULT set_path(IScheduleMonitorTrigger* t, const std::string& path) {
    return t->put_Path(comrt::bstr(comrt::to_utf16(path)).get());
  }
  static std::u16string path_of(IScheduleMonitorTrigger* t) { comrt::bstr out; return t->get_Path(out.put()), out.str(); }
  com_ptr<CScheduleMonitorTrigger> watching(const std::string& path) {
    auto t = comrt::make<CScheduleMonitorTrigger>();
    EXPECT_EQ(set_path(t.get(), path), S_OK);
    return t;
  }
  // IsSet once every change made so far has reached the trigger.
  static HRESULT settled(IScheduleTrigger* t) { return comrt::folder_watcher::process().stats(), t->IsSet(); }
  static bool fires(IScheduleTrigger* t) { return fswatch_test::eventually([&] { return settled(t) == S_OK; }); }

  fswatch_test::temp_tree tree;
};

TEST_F(MonitorTriggerTest, PathMustBeAbsoluteAndTheSamePathRestartsNothing) {
  auto t = comrt::make<CScheduleMonitorTrigger>();
  for (const std::u16string_view bad : {std::u16string_view(u""), std::u16string_view(u"relative/dir"), std::u16string_view(u"/a\0b", 4)})
    EXPECT_EQ(t->put_Path(comrt::bstr(bad).get()), E_INVALIDARG);
  EXPECT_EQ(path_of(t.get()), u"");
  EXPECT_EQ(t->IsSet(), S_FALSE);
  tree.write("f");
  ASSERT_EQ(set_path(t.get(), tree.path("f")), S_OK);
  tree.write("f");
  comrt::folder_watcher::process().stats();
  EXPECT_EQ(set_path(t.get(), tree.path("f")), S_OK);
  EXPECT_TRUE(fires(t.get())) << "a restart would have taken the new size as the known one";
}

TEST_F(MonitorTriggerTest, FileFiresOnlyWhenItsSizeOrTimeChanges) {
  tree.write("f");
  auto t = watching(tree.path("f")), not_yet = watching(tree.path("new"));
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

// The stored path is watched once read back, and a clone watches on its own.
TEST_F(MonitorTriggerTest, ReadBackAndClonedTriggersWatchTheirFolder) {
  const std::u16string folder = comrt::to_utf16(tree.path(""));
  const std::u16string stored = persist_test::written_element(u"Trigger", watching(tree.path(""))->identity());
  EXPECT_NE(stored.find(u"<Path>" + folder + u"</Path>"), stored.npos);
  auto read = comrt::make<CScheduleMonitorTrigger>();
  ASSERT_EQ(persist_test::read_element(stored, u"Trigger", read->identity()), S_OK);
  com_ptr<IScheduleTrigger> clone;
  ASSERT_EQ(watching(tree.path(""))->Clone(clone.put()), S_OK);
  EXPECT_EQ(path_of(clone.as<IScheduleMonitorTrigger>().get()), folder);
  tree.write("new");
  EXPECT_TRUE(fires(read.get()));
  EXPECT_TRUE(fires(clone.get()));
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
  EXPECT_EQ(std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'), 1) << "one line";
}

}  // namespace
