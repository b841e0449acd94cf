// The queue action against a host made of mocks: its properties, Copy and Clone, where a run puts
// its copy, the dependency on the previous run, the folder-tree comparison, the ways a run fails,
// and runs of one action from two threads at once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <latch>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "actions/queue_action.h"
#include "fakes/transfer_queue_mocks.h"

namespace {

using ::testing::_;
using ::testing::DoDefault;
using ::testing::Return;
using comrt::com_ptr;
using fakes::identity;
using fakes::make_mock;
using fakes::MockTransferQueueItem;
using fakes::transfer_host;
using tolvane::CScheduleQueueAction;

constexpr HRESULT kRefused = COMRT_HR(0x80047A01);  // a failure of the host's own
const std::u16string kFolder = u"/srv/outgoing";

com_ptr<IUnknown> read(IScheduleQueueAction* a, HRESULT (STDMETHODCALLTYPE IScheduleQueueAction::*get)(IUnknown**)) {
  com_ptr<IUnknown> value;
  EXPECT_EQ((a->*get)(value.put()), S_OK);
  return identity(value);
}
com_ptr<IUnknown> item_of(IScheduleQueueAction* a) { return read(a, &IScheduleQueueAction::get_Item); }
com_ptr<IUnknown> previous_of(IScheduleQueueAction* a) { return read(a, &IScheduleQueueAction::get_PreviousItem); }

class QueueActionTest : public ::testing::Test {
 protected:
  QueueActionTest() : QueueActionTest(make_mock<MockTransferQueueItem>()) {}
  explicit QueueActionTest(fakes::mock_ptr<MockTransferQueueItem> transfer) : host(std::move(transfer)) {
    EXPECT_EQ(action->put_Item(host.template_item.get()), S_OK);
  }
  HRESULT run(IScheduleAction* a = nullptr) { return (a ? a : action.get())->Run(host.provider.get()); }
  com_ptr<IUnknown> last_copy() { return identity(host.template_item->copies.get().back()); }

  transfer_host host;
  const com_ptr<CScheduleQueueAction> action = comrt::make<CScheduleQueueAction>();
};

// A folder transfer; the folder-tree option is set by default.
class FolderRunTest : public QueueActionTest {
 protected:
  FolderRunTest() : QueueActionTest(fakes::folder_transfer(kFolder)) {}
};

TEST_F(QueueActionTest, ItemAndPreviousItemHoldOnlyHostTransfers) {
  using A = IScheduleQueueAction;
  const std::pair<HRESULT (STDMETHODCALLTYPE A::*)(IUnknown**), HRESULT (STDMETHODCALLTYPE A::*)(IUnknown*)>
      properties[] = {{&A::get_Item, &A::put_Item}, {&A::get_PreviousItem, &A::put_PreviousItem}};
  A* const a = action.get();
  const auto transfer = make_mock<MockTransferQueueItem>();
  for (const auto& [get, put] : properties) {
    ASSERT_EQ((a->*put)(transfer.get()), S_OK);
    EXPECT_EQ((a->*put)(nullptr), E_INVALIDARG);
    EXPECT_EQ(read(a, get), identity(transfer)) << "a refused null loses nothing";
    EXPECT_EQ((a->*put)(a), E_NOINTERFACE) << "no host transfer";
    EXPECT_FALSE(read(a, get));
    EXPECT_EQ((a->*get)(nullptr), E_POINTER);
  }
}

TEST_F(QueueActionTest, CopyAndCloneTakeTheSettingsUnchangedAndShareTheTemplate) {
  const auto previous = make_mock<MockTransferQueueItem>();
  ASSERT_EQ(action->put_PreviousItem(previous.get()), S_OK);
  ASSERT_EQ(action->put_UseFolderTree(0), S_OK);
  ASSERT_EQ(action->put_DependOnPreviousItem(7), S_OK);
  ASSERT_EQ(action->put_QueueItemPosition(static_cast<TransferQueueItemPosition>(5)), S_OK);
  com_ptr<IScheduleAction> clone;
  ASSERT_EQ(action->Clone(clone.put()), S_OK);
  const auto target = comrt::make<CScheduleQueueAction>();
  ASSERT_EQ(target->Copy(clone.as<IScheduleQueueAction>().get()), S_OK);
  EXPECT_NE(identity(clone), identity(action));

  EXPECT_EQ(item_of(target.get()), identity(host.template_item)) << "the template is shared, not duplicated";
  EXPECT_EQ(previous_of(target.get()), identity(previous));
  VARIANT_BOOL use_folder_tree = -1, depend = 0;
  TransferQueueItemPosition position{};
  EXPECT_EQ(target->get_UseFolderTree(&use_folder_tree), S_OK);
  EXPECT_EQ(target->get_DependOnPreviousItem(&depend), S_OK);
  EXPECT_EQ(target->get_QueueItemPosition(&position), S_OK);
  EXPECT_EQ(use_folder_tree, 0);
  EXPECT_EQ(depend, 7);
  EXPECT_EQ(position, 5);

  // Onto itself a copy keeps everything; a null source changes nothing; an empty one empties.
  ASSERT_EQ(action->Copy(action.get()), S_OK);
  EXPECT_EQ(action->Copy(nullptr), E_INVALIDARG);
  EXPECT_EQ(previous_of(action.get()), identity(previous));
  ASSERT_EQ(target->Copy(comrt::make<CScheduleQueueAction>().get()), S_OK);
  EXPECT_FALSE(item_of(target.get()));
  EXPECT_FALSE(previous_of(target.get()));
  EXPECT_EQ(action->Clone(nullptr), E_POINTER);
}

TEST_F(QueueActionTest, ARunQueuesAFreshCopyWhereThePositionSays) {
  const std::pair<LONG, size_t> rows[] = {{tvTransferQueueItemPositionHead, 1}, {tvTransferQueueItemPositionTail, 1},
                                          {5, 0}};  // no such place: nothing queued
  for (const auto& [position, queued] : rows) {
    SCOPED_TRACE(position);
    const auto a = comrt::make<CScheduleQueueAction>();
    ASSERT_EQ(a->Copy(action.get()), S_OK);
    ASSERT_EQ(a->put_QueueItemPosition(static_cast<TransferQueueItemPosition>(position)), S_OK);
    const size_t before = host.queued().size();
    EXPECT_EQ(run(a.get()), S_OK);
    ASSERT_EQ(host.queued().size(), before + queued);
    if (queued) {
      EXPECT_EQ(identity(host.queued().back().item), last_copy());
      EXPECT_EQ(host.queued().back().at_head, position == tvTransferQueueItemPositionHead);
    }
    EXPECT_EQ(previous_of(a.get()), queued ? last_copy() : nullptr) << "the next run depends on what was queued";
  }
}

TEST_F(QueueActionTest, OnlyWithTheOptionSetDoesACopyDependOnThePreviousItem) {
  const auto earlier = make_mock<MockTransferQueueItem>();
  ASSERT_EQ(action->put_PreviousItem(earlier.get()), S_OK);
  ASSERT_EQ(run(), S_OK);
  EXPECT_TRUE(host.template_item->copies.get().back()->dependencies->added.get().empty());

  ASSERT_EQ(action->put_DependOnPreviousItem(VARIANT_TRUE), S_OK);
  const auto first = last_copy();
  ASSERT_EQ(run(), S_OK);
  const auto added = host.template_item->copies.get().back()->dependencies->added.get();
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(identity(added[0]), first);
}

TEST_F(FolderRunTest, TheFirstRunQueuesTheWholeFolderLaterRunsOnlyWhatChanged) {
  ASSERT_EQ(run(), S_OK);
  EXPECT_TRUE(host.template_item->copies.get().back()->applied.get().empty());
  const auto first = last_copy();
  host.changes = make_mock<fakes::MockChangeSet>(VARIANT_TRUE);
  EXPECT_EQ(run(), S_OK);
  EXPECT_EQ(host.queued().size(), 1u) << "no change, nothing queued";
  EXPECT_EQ(previous_of(action.get()), first);
  host.changes = make_mock<fakes::MockChangeSet>(VARIANT_FALSE);
  EXPECT_EQ(run(), S_OK);
  EXPECT_EQ(host.template_item->copies.get().back()->applied.get(), std::vector{host.changes});
  host.changes = nullptr;  // a comparison that hands out nothing queues the copy as made
  EXPECT_EQ(run(), S_OK);
  EXPECT_TRUE(host.template_item->copies.get().back()->applied.get().empty());
  EXPECT_EQ(host.queued().size(), 3u);

  // Each comparison takes the snapshot held (first) and the new one (second): the run that queued
  // nothing replaced the snapshot too.
  const auto comparisons = host.comparisons.get();
  const auto snapshots = host.snapshots();
  ASSERT_EQ(comparisons.size(), 3u);
  for (size_t i = 0; i < comparisons.size(); ++i) {
    EXPECT_EQ(identity(comparisons[i].previous), identity(snapshots[i])) << i;
    EXPECT_EQ(identity(comparisons[i].current), identity(snapshots[i + 1])) << i;
  }
  EXPECT_EQ(static_cast<fakes::MockFolderTree*>(snapshots[0].as<IFolderTree>().get())->loaded.get()[0], kFolder);
}

TEST_F(FolderRunTest, ACopyOrCloneStartsWithoutASnapshotAndKeepsItsOwn) {
  ASSERT_EQ(run(), S_OK);
  com_ptr<IScheduleAction> clone;
  ASSERT_EQ(action->Clone(clone.put()), S_OK);
  host.changes = make_mock<fakes::MockChangeSet>(VARIANT_TRUE);
  EXPECT_EQ(run(clone.get()), S_OK);
  EXPECT_EQ(host.queued().size(), 2u) << "the clone's first run queues the whole folder";
  ASSERT_EQ(action->Copy(clone.as<IScheduleQueueAction>().get()), S_OK);
  EXPECT_EQ(run(), S_OK);
  EXPECT_EQ(host.queued().size(), 2u) << "compared with the snapshot the action kept";
}

TEST(QueueActionFolderTree, OnlyFolderTransfersWithTheOptionSetAreCompared) {
  struct row {
    LONG kind, mode;
    VARIANT_BOOL use_folder_tree;
    bool compared;
  };
  const row rows[] = {
      {TRANSFER_ITEM_KIND_FOLDER, TRANSFER_SOURCE_MODE_FOLDER, 1, true},  // any non-zero value sets the option
      {TRANSFER_ITEM_KIND_FOLDER, TRANSFER_SOURCE_MODE_FOLDER, VARIANT_FALSE, false},
      {1, TRANSFER_SOURCE_MODE_FOLDER, VARIANT_TRUE, false},
      {TRANSFER_ITEM_KIND_FOLDER, 0, VARIANT_TRUE, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.kind << " " << r.mode << " " << r.use_folder_tree);
    transfer_host host(fakes::folder_transfer(kFolder, r.kind, r.mode));
    if (!r.use_folder_tree) EXPECT_CALL(*host.template_item, get_Kind(_)).Times(0);
    host.changes = make_mock<fakes::MockChangeSet>(VARIANT_TRUE);
    const auto action = comrt::make<CScheduleQueueAction>();
    ASSERT_EQ(action->put_Item(host.template_item.get()), S_OK);
    ASSERT_EQ(action->put_UseFolderTree(r.use_folder_tree), S_OK);
    EXPECT_EQ(action->Run(host.provider.get()), S_OK);
    EXPECT_EQ(action->Run(host.provider.get()), S_OK);
    EXPECT_EQ(host.snapshots().size(), r.compared ? 2u : 0u);
    EXPECT_EQ(host.queued().size(), r.compared ? 1u : 2u);
  }
}

// Runs of one action from two threads at once: the folder-tree step is serialised, so every
// snapshot is compared against exactly once and the comparisons form one chain from the first
// snapshot to the last. (ThreadSanitizer also reports a step that is not serialised.)
TEST_F(FolderRunTest, RunsFromTwoThreadsChainTheirSnapshots) {
  constexpr int kRunsPerThread = 100;
  ASSERT_EQ(run(), S_OK);
  std::latch start(2);
  std::atomic<int> failures{0};
  const auto runs = [&] {
    start.arrive_and_wait();
    for (int i = 0; i < kRunsPerThread; ++i) failures += run() != S_OK;
  };
  std::thread one(runs), two(runs);
  one.join();
  two.join();
  EXPECT_EQ(failures.load(), 0);

  const auto comparisons = host.comparisons.get();  // keeps the snapshots, and so their addresses
  std::map<IUnknown*, IUnknown*> next;
  for (const auto& c : comparisons) {
    EXPECT_TRUE(next.emplace(identity(c.previous).get(), identity(c.current).get()).second) << "compared twice";
  }
  size_t length = 0;
  for (IUnknown* at = identity(host.snapshots()[0]).get(); next.count(at); at = next[at]) ++length;
  EXPECT_EQ(length, 2u * kRunsPerThread);
}

TEST_F(QueueActionTest, ARunThatCannotReachTheQueueFailsBeforeMakingACopy) {
  const std::pair<HRESULT, std::function<HRESULT()>> rows[] = {
      {E_INVALIDARG, [&] { return action->Run(nullptr); }},
      {E_FAIL, [&] { return run(comrt::make<CScheduleQueueAction>().get()); }},  // no template
      {E_FAIL, [&] { return action->Run(action->identity()); }},                 // no service provider
      {E_FAIL,
       [&] {
         EXPECT_CALL(*host.provider, QueryService(_, _, _)).WillOnce(Return(E_NOINTERFACE)).WillRepeatedly(DoDefault());
         return run();
       }},
      {E_FAIL,
       [&] {
         EXPECT_CALL(*host.provider, QueryService(_, _, _)).WillOnce(Return(S_OK)).WillRepeatedly(DoDefault());
         return run();  // success, but no queue came back
       }},
  };
  for (const auto& [expected, attempt] : rows) EXPECT_EQ(attempt(), expected);
  EXPECT_TRUE(host.template_item->copies.get().empty());
}

// A host operation that fails ends the run with its status: nothing is queued, PreviousItem stays,
// and the held snapshot is replaced only if the folder-tree step itself succeeded.
struct host_failure {
  const char* name;
  std::function<void(transfer_host&)> inject;
  HRESULT expected;
  bool snapshot_replaced;
};

// The call fails once with `code`, then answers as before.
#define FAILS_ONCE(mock, call, code) EXPECT_CALL(mock, call).WillOnce(code).WillRepeatedly(DoDefault())

const host_failure kHostFailures[] = {
    {"MakingTheCopy", [](transfer_host& h) { FAILS_ONCE(*h.template_item, CreateQueueCopy(_), Return(kRefused)); },
     kRefused, false},
    {"ACopyThatIsNull", [](transfer_host& h) { FAILS_ONCE(*h.template_item, CreateQueueCopy(_), Return(S_OK)); },
     E_POINTER, false},
    {"AskingTheKind", [](transfer_host& h) { FAILS_ONCE(*h.template_item, get_Kind(_), Return(kRefused)); }, kRefused,
     false},
    {"AnEmptyFolder",
     [](transfer_host& h) { FAILS_ONCE(*h.template_item->source, get_Path(_), fakes::hand_out_text(u"")); }, E_FAIL,
     false},
    {"CreatingTheSnapshot",
     [](transfer_host& h) { FAILS_ONCE(*h.folder_tree_class, CreateInstance(_, _, _), Return(REGDB_E_CLASSNOTREG)); },
     REGDB_E_CLASSNOTREG, false},
    {"TakingTheSnapshot",
     [](transfer_host& h) {
       const auto tree = make_mock<fakes::MockFolderTree>();
       EXPECT_CALL(*tree, Load(_)).WillOnce(Return(kRefused));
       FAILS_ONCE(*h.folder_tree_class, CreateInstance(_, _, _), fakes::creates(tree));
     },
     kRefused, false},
    {"Comparing",
     [](transfer_host& h) {
       const auto comparer = make_mock<fakes::MockFolderTreeComparer>();
       EXPECT_CALL(*comparer, Compare(_, _, _)).WillOnce(Return(kRefused));
       FAILS_ONCE(*h.comparer_class, CreateInstance(_, _, _), fakes::creates(comparer));
     },
     kRefused, false},
    {"AskingWhetherAnythingChanged",
     [](transfer_host& h) {
       const auto changes = make_mock<fakes::MockChangeSet>();
       EXPECT_CALL(*changes, get_IsEmpty(_)).WillOnce(Return(kRefused));
       h.changes = changes;
     },
     kRefused, true},
    {"AddingTheDependency",
     [](transfer_host& h) {
       const auto copy = make_mock<MockTransferQueueItem>();
       EXPECT_CALL(*copy->dependencies, Add(_)).WillOnce(Return(kRefused));
       FAILS_ONCE(*h.template_item, CreateQueueCopy(_), fakes::hand_out(copy));
     },
     kRefused, true},
    {"Queuing", [](transfer_host& h) { FAILS_ONCE(*h.queue, InsertTail(_), Return(kRefused)); }, kRefused, true},
};

class HostFailureTest : public FolderRunTest, public ::testing::WithParamInterface<host_failure> {};

TEST_P(HostFailureTest, EndsTheRunWithItsStatusAndQueuesNothing) {
  ASSERT_EQ(action->put_DependOnPreviousItem(VARIANT_TRUE), S_OK);
  ASSERT_EQ(run(), S_OK);  // takes the first snapshot and queues the first copy
  const auto previous = previous_of(action.get());

  GetParam().inject(host);
  EXPECT_EQ(run(), GetParam().expected);
  EXPECT_EQ(host.queued().size(), 1u);
  EXPECT_EQ(previous_of(action.get()), previous);

  // The next run shows which snapshot the failed run left: the first, or the one it took.
  host.changes = make_mock<fakes::MockChangeSet>();
  ASSERT_EQ(run(), S_OK);
  ASSERT_FALSE(host.comparisons.get().empty());
  EXPECT_EQ(identity(host.comparisons.get().back().previous),
            identity(host.snapshots()[GetParam().snapshot_replaced ? 1 : 0]));
}

INSTANTIATE_TEST_SUITE_P(EachKindOfStep, HostFailureTest, ::testing::ValuesIn(kHostFailures),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
