// The queue action against a host made of mocks: Copy, where a run puts its copy, the dependency on
// the previous run, the folder-tree comparison, the ways a run fails, and runs of one action from
// two threads at once.
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
using fakes::MockChangeSet;
using fakes::MockTransferQueueItem;
using fakes::transfer_host;
using tolvane::CScheduleQueueAction;

constexpr HRESULT kRefused = COMRT_HR(0x80047A01);  // a failure of the host's own
const std::u16string kFolder = u"/srv/outgoing";

com_ptr<IUnknown> previous_of(IScheduleQueueAction* a) {
  com_ptr<IUnknown> value;
  EXPECT_EQ(a->get_PreviousItem(value.put()), S_OK);
  return identity(value);
}

class QueueActionTest : public ::testing::Test {
 protected:
  explicit QueueActionTest(fakes::mock_ptr<MockTransferQueueItem> transfer = make_mock<MockTransferQueueItem>())
      : host(std::move(transfer)) {
    EXPECT_EQ(action->put_Item(host.template_item.get()), S_OK);
  }
  HRESULT run(IScheduleAction* a = nullptr) { return (a ? a : action.get())->Run(host.provider.get()); }
  fakes::mock_ptr<MockTransferQueueItem> last_copy_mock() { return host.template_item->copies.get().back(); }
  com_ptr<IUnknown> last_copy() { return identity(last_copy_mock()); }

  transfer_host host;
  const com_ptr<CScheduleQueueAction> action = comrt::make<CScheduleQueueAction>();
};

// A folder transfer; the folder-tree option is set by default.
struct FolderRunTest : QueueActionTest {
  FolderRunTest() : QueueActionTest(fakes::folder_transfer(kFolder)) {}
};

TEST_F(QueueActionTest, CopyTakesTheSettingsAndSharesTheTemplateAndOnlyHostTransfersAreHeld) {
  const auto previous = make_mock<MockTransferQueueItem>();
  ASSERT_EQ(action->put_PreviousItem(previous.get()), S_OK);
  EXPECT_EQ(action->put_PreviousItem(nullptr), E_INVALIDARG);
  ASSERT_EQ(action->put_DependOnPreviousItem(7), S_OK);
  ASSERT_EQ(action->put_QueueItemPosition(tvTransferQueueItemPositionHead), S_OK);
  com_ptr<IScheduleAction> clone;
  ASSERT_EQ(action->Clone(clone.put()), S_OK);
  const auto target = comrt::make<CScheduleQueueAction>();
  ASSERT_EQ(target->Copy(clone.as<IScheduleQueueAction>().get()), S_OK);
  com_ptr<IUnknown> item;
  VARIANT_BOOL depend = 0;
  auto position = tvTransferQueueItemPositionTail;
  EXPECT_EQ(target->get_Item(item.put()), S_OK);
  EXPECT_EQ(target->get_DependOnPreviousItem(&depend), S_OK);
  EXPECT_EQ(target->get_QueueItemPosition(&position), S_OK);
  EXPECT_EQ(identity(item), identity(host.template_item)) << "the template is shared, not duplicated";
  EXPECT_EQ(previous_of(target.get()), identity(previous));
  EXPECT_EQ(depend, 7);
  EXPECT_EQ(position, tvTransferQueueItemPositionHead);

  ASSERT_EQ(action->Copy(action.get()), S_OK);  // onto itself a copy keeps everything
  EXPECT_EQ(action->Copy(nullptr), E_INVALIDARG);
  EXPECT_EQ(previous_of(action.get()), identity(previous));
  EXPECT_EQ(action->put_PreviousItem(action->identity()), E_NOINTERFACE) << "no host transfer";
  EXPECT_FALSE(previous_of(action.get()));
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
  ASSERT_EQ(action->put_PreviousItem(make_mock<MockTransferQueueItem>().get()), S_OK);
  ASSERT_EQ(run(), S_OK);
  EXPECT_TRUE(last_copy_mock()->dependencies->added.get().empty());
  ASSERT_EQ(action->put_DependOnPreviousItem(VARIANT_TRUE), S_OK);
  const auto first = last_copy();
  ASSERT_EQ(run(), S_OK);
  const auto added = last_copy_mock()->dependencies->added.get();
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(identity(added[0]), first);
}

TEST_F(FolderRunTest, TheFirstRunQueuesTheWholeFolderLaterRunsOnlyWhatChanged) {
  ASSERT_EQ(run(), S_OK);
  EXPECT_TRUE(last_copy_mock()->applied.get().empty());
  const auto first = last_copy();
  host.changes = make_mock<MockChangeSet>(VARIANT_TRUE);
  EXPECT_EQ(run(), S_OK);
  EXPECT_EQ(host.queued().size(), 1u) << "no change, nothing queued";
  EXPECT_EQ(previous_of(action.get()), first);
  host.changes = make_mock<MockChangeSet>(VARIANT_FALSE);
  EXPECT_EQ(run(), S_OK);
  EXPECT_EQ(last_copy_mock()->applied.get(), std::vector{host.changes});
  EXPECT_EQ(host.queued().size(), 2u);

  // Each comparison takes the snapshot held (first) and the new one (second): the run that queued
  // nothing replaced the snapshot too.
  const auto comparisons = host.comparisons.get();
  const auto snapshots = host.snapshots();
  ASSERT_EQ(comparisons.size(), 2u);
  for (size_t i = 0; i < comparisons.size(); ++i) {
    EXPECT_EQ(identity(comparisons[i].previous), identity(snapshots[i])) << i;
    EXPECT_EQ(identity(comparisons[i].current), identity(snapshots[i + 1])) << i;
  }
  EXPECT_EQ(static_cast<fakes::MockFolderTree*>(snapshots[0].as<IFolderTree>().get())->loaded.get()[0], kFolder);
}

TEST(QueueActionFolderTree, OnlyFolderTransfersWithTheOptionSetAreCompared) {
  const struct { LONG kind, mode; VARIANT_BOOL use_folder_tree; bool compared; } rows[] = {
      {TRANSFER_ITEM_KIND_FOLDER, TRANSFER_SOURCE_MODE_FOLDER, 1, true},  // any non-zero value sets the option
      {TRANSFER_ITEM_KIND_FOLDER, TRANSFER_SOURCE_MODE_FOLDER, VARIANT_FALSE, false},
      {1, TRANSFER_SOURCE_MODE_FOLDER, VARIANT_TRUE, false}, {TRANSFER_ITEM_KIND_FOLDER, 0, VARIANT_TRUE, false}};
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << r.kind << " " << r.mode << " " << r.use_folder_tree);
    transfer_host host(fakes::folder_transfer(kFolder, r.kind, r.mode));
    host.changes = make_mock<MockChangeSet>(VARIANT_TRUE);
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
  for (const auto& c : comparisons)
    EXPECT_TRUE(next.emplace(identity(c.previous).get(), identity(c.current).get()).second) << "compared twice";
  size_t length = 0;
  for (IUnknown* at = identity(host.snapshots()[0]).get(); next.count(at); at = next[at]) ++length;
  EXPECT_EQ(length, 2u * kRunsPerThread);
}

// The call fails once with `code`, then answers as before.
#define FAILS_ONCE(mock, call, code) EXPECT_CALL(mock, call).WillOnce(code).WillRepeatedly(DoDefault())

TEST_F(FolderRunTest, ARunThatCannotReachTheQueueFailsBeforeMakingACopy) {
  const std::pair<HRESULT, std::function<HRESULT()>> rows[] = {
      {E_INVALIDARG, [&] { return action->Run(nullptr); }},
      {E_FAIL, [&] { return run(comrt::make<CScheduleQueueAction>().get()); }},  // no template
      {E_FAIL, [&] { return action->Run(action->identity()); }},                 // no service provider
      {E_FAIL, [&] { return FAILS_ONCE(*host.provider, QueryService(_, _, _), Return(E_NOINTERFACE)), run(); }},
      {E_FAIL, [&] { return FAILS_ONCE(*host.provider, QueryService(_, _, _), Return(S_OK)), run(); }}};  // no queue
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
const host_failure kHostFailures[] = {
    {"MakingTheCopy", [](transfer_host& h) { FAILS_ONCE(*h.template_item, CreateQueueCopy(_), Return(kRefused)); }, kRefused, false},
    {"ACopyThatIsNull", [](transfer_host& h) { FAILS_ONCE(*h.template_item, CreateQueueCopy(_), Return(S_OK)); }, E_POINTER, false},
    {"AnEmptyFolder", [](transfer_host& h) { FAILS_ONCE(*h.template_item->source, get_Path(_), fakes::hand_out_text(u"")); },
     E_FAIL, false},
    {"CreatingTheSnapshot",
     [](transfer_host& h) { FAILS_ONCE(*h.folder_tree_class, CreateInstance(_, _, _), Return(REGDB_E_CLASSNOTREG)); },
     REGDB_E_CLASSNOTREG, false},
    {"AskingWhetherAnythingChanged", [](transfer_host& h) {
       const auto changes = make_mock<MockChangeSet>();
       EXPECT_CALL(*changes, get_IsEmpty(_)).WillOnce(Return(kRefused));
       h.changes = changes;
     }, kRefused, true},
    {"Queuing", [](transfer_host& h) { FAILS_ONCE(*h.queue, InsertTail(_), Return(kRefused)); }, kRefused, true},
};

struct HostFailureTest : FolderRunTest, ::testing::WithParamInterface<host_failure> {};

TEST_P(HostFailureTest, EndsTheRunWithItsStatusAndQueuesNothing) {
  ASSERT_EQ(action->put_DependOnPreviousItem(VARIANT_TRUE), S_OK);
  ASSERT_EQ(run(), S_OK);  // takes the first snapshot and queues the first copy
  const auto previous = previous_of(action.get());
  GetParam().inject(host);
  EXPECT_EQ(run(), GetParam().expected);
  EXPECT_EQ(host.queued().size(), 1u);
  EXPECT_EQ(previous_of(action.get()), previous);

  // The next run shows which snapshot the failed run left: the first, or the one it took.
  host.changes = make_mock<MockChangeSet>();
  ASSERT_EQ(run(), S_OK);
  ASSERT_FALSE(host.comparisons.get().empty());
  EXPECT_EQ(identity(host.comparisons.get().back().previous),
            identity(host.snapshots()[GetParam().snapshot_replaced ? 1 : 0]));
}

INSTANTIATE_TEST_SUITE_P(EachKindOfStep, HostFailureTest, ::testing::ValuesIn(kHostFailures),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
