// The host's transfer queue with real folders: snapshots and change sets, copies of trees and of
// only their changes, dependencies, failures, and what a failed copy leaves behind.
#include <comrt/variant.h>

#include "fakes/transfer_queue_mocks.h"
#include "host/queue/folder_tree.h"
#include "host/transfer_fixture.h"

namespace {

using namespace host_test;
using ::testing::_;
using tolvane::host::CFolderTreeChangeSet;
using tolvane::host::TRANSFER_E_DEPENDENCY_FAILED;

template <class I>
com_ptr<I> create(REFCLSID clsid) {
  com_ptr<I> object;
  EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, comrt::uuidof<I>(), object.put_void()), S_OK);
  return object;
}

com_ptr<IFolderTree> snapshot_of(const fs::path& folder) {
  auto tree = create<IFolderTree>(CLSID_FolderTree);
  EXPECT_EQ(tree->Load(comrt::bstr(comrt::to_utf16(folder.string())).get()), S_OK);
  return tree;
}

com_ptr<IFolderTreeChangeSet> compare(IFolderTree* previous, IFolderTree* current) {
  com_ptr<IFolderTreeChangeSet> changes;
  EXPECT_EQ(create<IFolderTreeComparer>(CLSID_FolderTreeComparer)->Compare(previous, current, changes.put()), S_OK);
  return changes;
}

std::vector<std::string> files_of(IFolderTreeChangeSet* changes) {
  return tolvane::host::host_object<CFolderTreeChangeSet>(changes)->files();
}

using FolderTreeTest = TransferTest;

TEST_F(FolderTreeTest, TheComparerListsAddedAndChangedFilesButNotRemovedOnes) {
  write("src/same", "1");
  write("src/touched", "2");
  write("src/sub/grown", "3");
  write("src/removed", "4");
  const auto before = snapshot_of(path("src"));

  fs::last_write_time(path("src/touched"), fs::last_write_time(path("src/touched")) + std::chrono::seconds(5));
  write("src/sub/grown", "333");
  write("src/sub/deeper/added", "5");
  fs::remove(path("src/removed"));
  const auto after = snapshot_of(path("src"));

  auto changes = compare(before.get(), after.get());
  EXPECT_THAT(files_of(changes.get()), ::testing::ElementsAre("sub/deeper/added", "sub/grown", "touched"));
  VARIANT_BOOL none = VARIANT_FALSE;
  compare(after.get(), snapshot_of(path("src")).get())->get_IsEmpty(&none);
  EXPECT_EQ(none, VARIANT_TRUE);
  // Bad input gets a status and keeps the snapshot.
  EXPECT_EQ(after->Load(nullptr), E_INVALIDARG);
  EXPECT_EQ(after->Load(comrt::bstr(u"/nonexistent/folder").get()), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(tolvane::host::host_object<tolvane::host::CFolderTree>(after.get())->snapshot()->size(), 4u);
  EXPECT_EQ(create<IFolderTreeComparer>(CLSID_FolderTreeComparer)
                ->Compare(after.get(), fakes::make_mock<fakes::MockFolderTree>().get(), changes.put()),
            E_INVALIDARG);
}

// A held transfer (one queued ahead of its dependency) lets the others pass, runs after its
// dependency, and fails without running when its dependency failed.
TEST_F(TransferTest, TransfersWaitForTheirDependenciesAndFailWithThem) {
  write("src/a", "1");
  const auto to = [&](const char* source, const char* destination) {
    return folder_transfer(path(source).string(), path(destination).string());
  };
  const auto earlier = to("src", "one"), later = to("src", "two"), failing = to("missing", "three"),
             waiting = to("src", "four");
  ASSERT_EQ(later->Add(earlier.get()), S_OK);
  ASSERT_EQ(waiting->Add(failing.get()), S_OK);
  {
    ::testing::InSequence order;
    EXPECT_CALL(observer, transfer_started(::testing::Ref(*earlier)));
    EXPECT_CALL(observer, transfer_started(::testing::Ref(*later)));
  }
  EXPECT_CALL(observer, transfer_started(::testing::Ref(*waiting))).Times(0);
  EXPECT_CALL(observer, transfer_finished(::testing::Ref(*waiting), TRANSFER_E_DEPENDENCY_FAILED));
  ASSERT_EQ(queue->InsertHead(later.get()), S_OK);
  ASSERT_EQ(queue->InsertTail(waiting.get()), S_OK);
  ASSERT_EQ(queue->InsertTail(failing.get()), S_OK);
  ASSERT_EQ(transfer(earlier.get()), S_OK);
  ASSERT_TRUE(later->finished().wait(kHangGuard) && waiting->finished().wait(kHangGuard));
  EXPECT_EQ(later->result(), S_OK);
  EXPECT_EQ(failing->result(), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(waiting->result(), TRANSFER_E_DEPENDENCY_FAILED);
  EXPECT_FALSE(fs::exists(path("four")));
}

TEST_F(TransferTest, ATransferQueuedAtTheHeadRunsBeforeThoseWaiting) {
  write("src/a", "1");
  const auto first = folder_transfer(path("src").string(), path("one").string());
  const auto tail = folder_transfer(path("src").string(), path("two").string());
  const auto head = folder_transfer(path("src").string(), path("three").string());
  ::testing::InSequence order;
  EXPECT_CALL(observer, transfer_started(::testing::Ref(*first))).WillOnce([&](auto&) {
    EXPECT_EQ(queue->InsertTail(tail.get()), S_OK);
    EXPECT_EQ(queue->InsertHead(head.get()), S_OK);
  });
  EXPECT_CALL(observer, transfer_started(::testing::Ref(*head)));
  EXPECT_CALL(observer, transfer_started(::testing::Ref(*tail)));
  EXPECT_EQ(transfer(first.get()), S_OK);
  ASSERT_TRUE(tail->finished().wait(kHangGuard));
}

TEST_F(TransferTest, DependenciesAndQueueingRefuseWhatCannotWork) {
  const auto a = folder_transfer(path("src").string(), path("dst").string());
  const auto b = folder_transfer(path("src").string(), path("dst").string());
  ASSERT_EQ(b->Add(a.get()), S_OK);
  EXPECT_EQ(a->Add(b.get()), E_INVALIDARG) << "a cycle";
  EXPECT_EQ(a->Add(fakes::make_mock<fakes::MockTransferQueueItem>().get()), E_INVALIDARG);
  EXPECT_EQ(queue->InsertTail(fakes::make_mock<fakes::MockTransferQueueItem>().get()), E_INVALIDARG);

  ASSERT_EQ(queue->InsertTail(b.get()), S_OK);  // held: `a` is never queued
  EXPECT_EQ(queue->InsertTail(b.get()), E_UNEXPECTED);
  EXPECT_EQ(b->Add(a.get()), E_UNEXPECTED);
  queue->stop();
  EXPECT_TRUE(b->finished().is_set());
  EXPECT_EQ(b->result(), E_ABORT);
  EXPECT_EQ(queue->InsertTail(a.get()), E_ABORT);
}

// Each case in a folder of its own; the second file of "in the way" cannot take the place of a
// folder: its rename fails after the whole file was written under the temporary name.
TEST_F(TransferTest, FailuresGiveAStatusAndLeaveNoHalfWrittenFile) {
  write("ok/src/a", "complete"), write("ok/src/b", "in the way");
  write("file", "x"), write("folder/b/kept", "kept");
  const struct { const char* source; std::string destination; HRESULT expected; } rows[] = {
      {"missing", path("dst").string(), HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)},
      {"ok/src", path("file/dst").string(), HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)},
      {"ok/src", path("folder").string(), E_ACCESSDENIED},
      {"ok/src", "http://127.0.0.1/dst", E_INVALIDARG}};
  // All expectations before the first transfer: the queue's thread reports a transfer's end after
  // its waiter has woken, so setting one later would race with that report.
  for (const auto& r : rows) EXPECT_CALL(observer, transfer_finished(_, r.expected));
  for (const auto& r : rows) {
    EXPECT_EQ(transfer(folder_transfer(path(r.source).string(), r.destination).get()), r.expected) << r.destination;
  }
  for (const auto& file : files_below("")) EXPECT_EQ(file.find(".part"), std::string::npos) << file;
}

}  // namespace
