// The folder watcher on real folders: awaited places, renames, overlapping trees under churn, queue
// overflow, running out of watches, and ending watches under load.
// stats() handles every change made before it, so a test reads the counts right after it.
#include "comrt/folder_watcher.h"

#include <gtest/gtest.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <random>
#include <thread>
#include <vector>

#include "comrt/object.h"
#include "platform/fswatch/temp_tree.h"

namespace {

using comrt::folder_watch;
using comrt::watch_scope;

struct counting_client final : comrt::folder_watch_client {
  // When `hold` is set, the first change holds the watcher's thread until `released`.
  void on_folder_change() noexcept override {
    if (ended.load()) ADD_FAILURE() << "called after its watch ended";
    ++changes;
    if (!hold.exchange(false)) return;
    holding = true;
    released.wait(false);
  }
  void on_watch_fallback(std::string_view, int error) noexcept override {
    ++fallbacks;
    last_error = error;
  }
  int take() { return changes.exchange(0); }
  std::atomic<int> changes{0}, fallbacks{0}, last_error{0};
  std::atomic<bool> ended{false}, hold{false}, holding{false}, released{false};
};

class FolderWatcherTest : public ::testing::Test {
 protected:
  folder_watch watch(const std::string& relative, comrt::folder_watch_client& c, watch_scope scope = watch_scope::tree) {
    return watcher.watch(tree.path(relative), scope, c);
  }
  size_t settle() { return watcher.stats().kernel_watches; }  // handles everything done so far

  fswatch_test::temp_tree tree;
  comrt::folder_watcher watcher;
  counting_client client;
};

TEST_F(FolderWatcherTest, MissingOrRemovedPlacesAreAwaitedAndWatchedWhenTheyAppear) {
  for (const watch_scope scope : {watch_scope::tree, watch_scope::entry}) {
    const bool is_tree = scope == watch_scope::tree;
    const folder_watch w = watch("x/y/f", client, scope);
    for (const std::string change : {"appeared", "changed", "gone", "appeared", "changed", "gone"}) {
      if (change == "appeared") tree.make_folders(is_tree ? "x/y/f" : "x/y");
      if (change == "changed") tree.write(is_tree ? "x/y/f/g" : "x/y/f");
      if (change == "gone") tree.remove("x");
      settle();
      EXPECT_GT(client.take(), 0) << change << (is_tree ? " tree" : " entry");
    }
  }
}

// Folders made, removed and renamed in, within and out of overlapping trees, faster than the
// watcher follows. Whenever it has caught up there is one kernel watch per folder of the outer
// tree; at the end every folder reports to exactly the trees it is in.
TEST_F(FolderWatcherTest, ChurnLeavesEveryTreeWatchedExactly) {
  namespace fs = std::filesystem;
  tree.make_folders("w/d1");
  tree.make_folders("out");
  const std::string tops[] = {"w", "w/d1", "w/d2/d3"};
  counting_client clients[3];
  std::vector<folder_watch> watches;
  for (int i = 0; i < 3; ++i) watches.push_back(watch(tops[i], clients[i]));
  const auto below = [](const std::string& path, const std::string& top) { return (path + "/").starts_with(top + "/"); };
  std::mt19937 random(7);
  const auto any_folder = [&](const char* base) {
    std::string path = base;
    for (auto depth = 1 + random() % 3; depth > 0; --depth) path += "/d" + std::to_string(random() % 4);
    return tree.path(path);
  };
  std::error_code ignored;
  for (int step = 1; step <= 1500; ++step) {
    const std::string from = any_folder(random() % 4 ? "w" : "out"), to = any_folder(random() % 3 ? "w" : "out");
    switch (random() % 3) {
      case 0: fs::create_directories(from, ignored); break;
      case 1: fs::remove_all(from, ignored); break;
      default: ::rename(from.c_str(), to.c_str());
    }
    if (step % 150 != 0) continue;
    settle();
    std::vector<std::string> folders;
    for (const auto& e : fs::recursive_directory_iterator(tree.root()))
      if (e.is_directory()) folders.push_back(e.path().string().substr(tree.root().size() + 1));
    ASSERT_EQ(settle(), static_cast<size_t>(std::ranges::count_if(folders, [&](auto& f) { return below(f, "w"); })))
        << step;
    for (const std::string& folder : step == 1500 ? folders : std::vector<std::string>()) {
      for (auto& c : clients) c.take();
      tree.write(folder + "/probe");
      settle();
      for (int i = 0; i < 3; ++i) ASSERT_EQ(clients[i].take() > 0, below(folder, tops[i])) << folder << " " << i;
    }
  }
}

TEST_F(FolderWatcherTest, QueueOverflowReportsEveryWatchAndRebuildsTheWatches) {
  tree.make_folders("w");
  tree.make_folders("gate");
  counting_client gate;  // holds the watcher's thread so that the kernel queue overflows
  gate.hold = true;
  const folder_watch gate_watch = watch("gate", gate), w = watch("w", client);
  tree.write("gate/f");
  ASSERT_TRUE(fswatch_test::eventually([&] { return gate.holding.load(); }));
  tree.write("w/one");
  tree.write("w/two");
  // Alternating names keep the kernel from merging the events, until its queue is full.
  const std::string files[] = {tree.path("w/one"), tree.path("w/two")};
  for (int i = 0; i < 20000; ++i) ::utimes(files[i % 2].c_str(), nullptr);
  tree.make_folders("w/late");  // its event is lost
  client.take();
  gate.released = true;
  gate.released.notify_all();
  EXPECT_EQ(settle(), 3u) << "the rebuild found the folder made after the overflow";
  EXPECT_GT(client.take(), 0);
  tree.write("w/late/f");
  settle();
  EXPECT_GT(client.take(), 0);
}

TEST_F(FolderWatcherTest, OutOfWatchesFallsBackToSnapshotsOnce) {
  tree.make_folders("a/b");
  watcher.set_watch_limit(3);
  folder_watch w = watch("", client);
  EXPECT_FALSE(w.polling());
  tree.make_folders("a/b/c");
  settle();
  EXPECT_TRUE(w.polling());
  EXPECT_EQ(client.fallbacks, 1);
  EXPECT_EQ(client.last_error, ENOSPC);
  EXPECT_GT(client.take(), 0) << "changes may have been missed meanwhile";
  EXPECT_EQ(settle(), 0u) << "a polling watch holds no kernel watches";
  EXPECT_FALSE(w.poll()) << "the first poll takes the snapshot to compare with";
  tree.write("a/b/c/f");
  EXPECT_TRUE(w.poll());
  EXPECT_FALSE(w.poll());
  watcher.set_watch_limit(0);
  EXPECT_TRUE(watch("a", client).polling());
  EXPECT_EQ(client.take(), 0) << "nothing was missed before the watch began";
}

TEST_F(FolderWatcherTest, EndedWatchesAreNeverCalledAgainWhileChangesFlow) {
  tree.make_folders("busy");
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    while (!stop) tree.write("busy/f");
  });
  std::vector<std::thread> watchers;
  for (int t = 0; t < 4; ++t) {
    watchers.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        counting_client c;
        watch("busy", c).reset();
        c.ended = true;
      }
    });
  }
  for (auto& t : watchers) t.join();
  stop = true;
  writer.join();
  EXPECT_EQ(watcher.stats().watches, 0u);
  EXPECT_EQ(settle(), 0u);
}

// A watch still open when its watcher goes (a host's object alive while the process exits) ends
// quietly later; its client hears nothing once the watcher has gone.
TEST_F(FolderWatcherTest, AWatchOutlivingItsWatcherEndsQuietly) {
  tree.make_folders("a");
  folder_watch w;
  {
    comrt::folder_watcher own;
    w = own.watch(tree.path("a"), watch_scope::tree, client);
  }
  client.ended = true;
  tree.write("a/f");
  w.reset();
  EXPECT_FALSE(w);
}

}  // namespace
