// The folder watcher on real folders: what each kind of watch reports, awaited places, renames,
// shared kernel watches, queue overflow, running out of watches, and ending watches under load.
// stats() handles every change made before it, so a test reads the counts right after it.
#include "comrt/folder_watcher.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <atomic>
#include <thread>
#include <vector>

#include "comrt/object.h"
#include "platform/fswatch/temp_tree.h"

namespace {

using comrt::folder_watch;
using comrt::watch_scope;
using fswatch_test::temp_tree;

struct counting_client final : comrt::folder_watch_client {
  void on_folder_change() noexcept override {
    if (ended.load()) ADD_FAILURE() << "called after its watch ended";
    ++changes;
  }
  void on_watch_fallback(std::string_view, int error) noexcept override {
    ++fallbacks;
    last_error = error;
  }
  int take() { return changes.exchange(0); }

  std::atomic<int> changes{0};
  std::atomic<int> fallbacks{0};
  std::atomic<int> last_error{0};
  std::atomic<bool> ended{false};
};

class FolderWatcherTest : public ::testing::Test {
 protected:
  folder_watch watch(const std::string& relative, watch_scope scope, comrt::folder_watch_client& c) {
    return watcher.watch(tree.path(relative), scope, c);
  }
  // Handles everything done so far and returns the number of kernel watches.
  size_t settle() { return watcher.stats().kernel_watches; }

  temp_tree tree;
  comrt::folder_watcher watcher;
  counting_client client;
};

TEST_F(FolderWatcherTest, EntryWatchReportsOnlyItsNameWhichMayNotExistYet) {
  const folder_watch w = watch("f", watch_scope::entry, client);
  tree.write("g");
  tree.make_folders("d");
  settle();
  EXPECT_EQ(client.take(), 0);
  tree.write("f");
  settle();
  EXPECT_GT(client.take(), 0);
}

TEST_F(FolderWatcherTest, MissingOrRemovedPlacesAreAwaitedAndWatchedWhenTheyAppear) {
  for (const watch_scope scope : {watch_scope::tree, watch_scope::entry}) {
    SCOPED_TRACE(scope == watch_scope::tree ? "tree" : "entry");
    const folder_watch w = watch("x/y/f", scope, client);
    for (int round = 0; round < 2; ++round) {
      tree.make_folders(scope == watch_scope::tree ? "x/y/f" : "x/y");
      settle();
      EXPECT_GT(client.take(), 0) << "the place appeared";
      tree.write(scope == watch_scope::tree ? "x/y/f/g" : "x/y/f");
      settle();
      EXPECT_GT(client.take(), 0) << "a change at the new place";
      tree.remove("x");
      settle();
      EXPECT_GT(client.take(), 0) << "the place went away";
    }
  }
}

TEST_F(FolderWatcherTest, FoldersRenamedInWithinAndOutKeepTheWatchesRight) {
  tree.make_folders("w");
  tree.make_folders("out/m/n");
  const folder_watch w = watch("w", watch_scope::tree, client);
  const size_t alone = settle();
  tree.rename("out/m", "w/m");
  EXPECT_EQ(settle(), alone + 2);
  tree.rename("w/m", "w/k");
  EXPECT_EQ(settle(), alone + 2);
  client.take();
  tree.write("w/k/n/f");
  settle();
  EXPECT_GT(client.take(), 0);
  tree.rename("w/k", "out/k");
  EXPECT_EQ(settle(), alone);
  EXPECT_GT(client.take(), 0);
  tree.write("out/k/n/f");
  settle();
  EXPECT_EQ(client.take(), 0);
}

TEST_F(FolderWatcherTest, OverlappingWatchesShareKernelWatches) {
  tree.make_folders("a/b");
  counting_client inner;
  folder_watch outer_watch = watch("", watch_scope::tree, client);
  const folder_watch inner_watch = watch("a", watch_scope::tree, inner);
  const folder_watch entry_watch = watch("a/b/f", watch_scope::entry, inner);
  EXPECT_EQ(settle(), 3u);
  outer_watch.reset();
  client.ended = true;
  EXPECT_EQ(settle(), 2u);
  tree.write("a/b/f");
  settle();
  EXPECT_GT(inner.take(), 0);
}

// A client that holds the watcher's thread until released, so that the kernel queue overflows.
struct blocking_client final : comrt::folder_watch_client {
  void on_folder_change() noexcept override {
    if (!block.exchange(false)) return;
    holding = true;
    released.wait(false);
  }
  void on_watch_fallback(std::string_view, int) noexcept override {}
  std::atomic<bool> block{true}, holding{false}, released{false};
};

TEST_F(FolderWatcherTest, QueueOverflowReportsEveryWatchAndRebuildsTheWatches) {
  tree.make_folders("w");
  tree.make_folders("gate");
  blocking_client gate;
  const folder_watch gate_watch = watch("gate", watch_scope::tree, gate);
  const folder_watch w = watch("w", watch_scope::tree, client);
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
  folder_watch w = watch("", watch_scope::tree, client);
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
  const folder_watch from_start = watch("a", watch_scope::tree, client);
  EXPECT_TRUE(from_start.polling());
  EXPECT_EQ(client.take(), 0) << "nothing was missed before the watch began";
  EXPECT_EQ(client.fallbacks, 2);
}

TEST_F(FolderWatcherTest, RejectsPathsTheKernelCannotTake) {
  for (const std::string_view bad :
       {std::string_view(""), std::string_view("relative/x"), std::string_view("/a\0b", 4)}) {
    EXPECT_THROW(watcher.watch(bad, watch_scope::tree, client), comrt::hresult_error);
  }
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
        folder_watch w = watch("busy", watch_scope::tree, c);
        w.reset();
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

}  // namespace
