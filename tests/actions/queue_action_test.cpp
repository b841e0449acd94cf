// The queue action against a host made of mocks: its properties and Copy/Clone, where a run puts
// the copy, the dependency on the previous run, the folder-tree comparison, every way a run can
// fail, and two runs of one action at once.
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
using ::testing::Return;
using comrt::com_ptr;
using fakes::MockTransferQueueItem;
using fakes::transfer_host;
using tolvane::CScheduleQueueAction;

// A failure of the host's own.
constexpr HRESULT kRefused = COMRT_HR(0x80047A01);
const std::u16string kFolder = u"/srv/outgoing";

com_ptr<IUnknown> identity(IUnknown* p) {
  com_ptr<IUnknown> unknown;
  if (p) {
    EXPECT_EQ(p->QueryInterface(IID_IUnknown, unknown.put_void()), S_OK);
  }
  return unknown;
}
template <class T>
com_ptr<IUnknown> identity(const com_ptr<T>& p) {
  return p ? p.template as<IUnknown>() : nullptr;
}

com_ptr<IUnknown> item_of(IScheduleQueueAction* a) {
  com_ptr<IUnknown> item;
  EXPECT_EQ(a->get_Item(item.put()), S_OK);
  return identity(item.get());
}
com_ptr<IUnknown> previous_of(IScheduleQueueAction* a) {
  com_ptr<IUnknown> item;
  EXPECT_EQ(a->get_PreviousItem(item.put()), S_OK);
  return identity(item.get());
}

class QueueActionTest : public ::testing::Test {
 protected:
  QueueActionTest() : QueueActionTest(comrt::make<MockTransferQueueItem>()) {}
  explicit QueueActionTest(com_ptr<MockTransferQueueItem> transfer) : host(std::move(transfer)) {
    EXPECT_EQ(action->put_Item(host.template_item.get()), S_OK);
  }

  HRESULT run(CScheduleQueueAction* a = nullptr) { return (a ? a : action.get())->Run(host.provider.get()); }
  com_ptr<MockTransferQueueItem> last_copy() { return host.template_item->copies().back(); }

  transfer_host host;
  const com_ptr<CScheduleQueueAction> action = comrt::make<CScheduleQueueAction>();
};

// A folder transfer with the folder-tree option set (it is by default).
class FolderRunTest : public QueueActionTest {
 protected:
  FolderRunTest() : QueueActionTest(fakes::folder_transfer(kFolder)) {}
};

// ---------------------------------------------------------------------------------------------
// Properties, Copy and Clone

TEST_F(QueueActionTest, ANewActionHoldsNoTransfersAndQueuesAtTheTailComparingFolders) {
  const auto fresh = comrt::make<CScheduleQueueAction>();
  EXPECT_FALSE(item_of(fresh.get()));
  EXPECT_FALSE(previous_of(fresh.get()));
  VARIANT_BOOL flag = 7;
  EXPECT_EQ(fresh->get_UseFolderTree(&flag), S_OK);
  EXPECT_EQ(flag, VARIANT_TRUE);
  EXPECT_EQ(fresh->get_DependOnPreviousItem(&flag), S_OK);
  EXPECT_EQ(flag, VARIANT_FALSE);
  TransferQueueItemPosition position{};
  EXPECT_EQ(fresh->get_QueueItemPosition(&position), S_OK);
  EXPECT_EQ(position, tvTransferQueueItemPositionTail);
  CLSID clsid{};
  EXPECT_EQ(fresh->GetClassID(&clsid), S_OK);
  EXPECT_TRUE(clsid == CLSID_ScheduleQueueAction);
  for (const IID* iid : {&IID_IScheduleQueueAction, &IID_IDispatch, &IID_IScheduleAction, &IID_IObjectWithSite,
                         &IID_IPersist, &IID_IXMLArchiveSerializable, &IID_IMarshal}) {
    com_ptr<IUnknown> p;
    EXPECT_EQ(fresh->QueryInterface(*iid, p.put_void()), S_OK);
  }
}

TEST_F(QueueActionTest, FlagsAndPositionAreStoredAsGiven) {
  ASSERT_EQ(action->put_UseFolderTree(1), S_OK);
  ASSERT_EQ(action->put_DependOnPreviousItem(7), S_OK);
  ASSERT_EQ(action->put_QueueItemPosition(static_cast<TransferQueueItemPosition>(5)), S_OK);
  VARIANT_BOOL flag = 0;
  EXPECT_EQ(action->get_UseFolderTree(&flag), S_OK);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(action->get_DependOnPreviousItem(&flag), S_OK);
  EXPECT_EQ(flag, 7);
  TransferQueueItemPosition position{};
  EXPECT_EQ(action->get_QueueItemPosition(&position), S_OK);
  EXPECT_EQ(position, 5);
  EXPECT_EQ(action->get_UseFolderTree(nullptr), E_POINTER);
}

TEST_F(QueueActionTest, ItemAndPreviousItemHoldOnlyHostTransfers) {
  struct transfer_property {
    const char* name;
    HRESULT (STDMETHODCALLTYPE IScheduleQueueAction::*get)(IUnknown**);
    HRESULT (STDMETHODCALLTYPE IScheduleQueueAction::*put)(IUnknown*);
  };
  const transfer_property properties[] = {
      {"Item", &IScheduleQueueAction::get_Item, &IScheduleQueueAction::put_Item},
      {"PreviousItem", &IScheduleQueueAction::get_PreviousItem, &IScheduleQueueAction::put_PreviousItem},
  };
  IScheduleQueueAction* const a = action.get();
  const auto transfer = comrt::make<MockTransferQueueItem>();
  const auto value = [&](const transfer_property& p) {
    com_ptr<IUnknown> out;
    EXPECT_EQ((a->*p.get)(out.put()), S_OK);
    return identity(out.get());
  };
  for (const auto& p : properties) {
    SCOPED_TRACE(p.name);
    ASSERT_EQ((a->*p.put)(transfer.get()), S_OK);
    EXPECT_EQ(value(p), identity(transfer));
    // Null is refused and loses nothing.
    EXPECT_EQ((a->*p.put)(nullptr), E_INVALIDARG);
    EXPECT_EQ(value(p), identity(transfer));
    // An object that is no host transfer is refused with the query's failure and leaves the field empty.
    EXPECT_EQ((a->*p.put)(host.queue.get()), E_NOINTERFACE);
    EXPECT_FALSE(value(p));
    EXPECT_EQ((a->*p.get)(nullptr), E_POINTER);
  }
}

TEST_F(QueueActionTest, CopyTakesTheSettingsAndSharesTheTemplate) {
  const auto previous = comrt::make<MockTransferQueueItem>();
  ASSERT_EQ(action->put_PreviousItem(previous.get()), S_OK);
  ASSERT_EQ(action->put_UseFolderTree(VARIANT_FALSE), S_OK);
  ASSERT_EQ(action->put_DependOnPreviousItem(VARIANT_TRUE), S_OK);
  ASSERT_EQ(action->put_QueueItemPosition(tvTransferQueueItemPositionHead), S_OK);

  const auto target = comrt::make<CScheduleQueueAction>();
  ASSERT_EQ(target->put_Item(comrt::make<MockTransferQueueItem>().get()), S_OK);
  ASSERT_EQ(target->Copy(action.get()), S_OK);
  EXPECT_EQ(item_of(target.get()), identity(host.template_item)) << "the template is shared, not duplicated";
  EXPECT_EQ(previous_of(target.get()), identity(previous));
  VARIANT_BOOL flag = 7;
  EXPECT_EQ(target->get_UseFolderTree(&flag), S_OK);
  EXPECT_EQ(flag, VARIANT_FALSE);
  EXPECT_EQ(target->get_DependOnPreviousItem(&flag), S_OK);
  EXPECT_EQ(flag, VARIANT_TRUE);
  TransferQueueItemPosition position{};
  EXPECT_EQ(target->get_QueueItemPosition(&position), S_OK);
  EXPECT_EQ(position, tvTransferQueueItemPositionHead);

  // A source without transfers leaves the target without them.
  ASSERT_EQ(target->Copy(comrt::make<CScheduleQueueAction>().get()), S_OK);
  EXPECT_FALSE(item_of(target.get()));
  EXPECT_FALSE(previous_of(target.get()));

  // Copying an action onto itself keeps what it holds; a null source changes nothing.
  ASSERT_EQ(action->Copy(action.get()), S_OK);
  EXPECT_EQ(action->Copy(nullptr), E_INVALIDARG);
  EXPECT_EQ(item_of(action.get()), identity(host.template_item));
  EXPECT_EQ(previous_of(action.get()), identity(previous));
}

TEST_F(QueueActionTest, CloneIsANewActionWithTheSameSettingsSharingTheTemplate) {
  ASSERT_EQ(action->put_QueueItemPosition(tvTransferQueueItemPositionHead), S_OK);
  com_ptr<IScheduleAction> clone;
  ASSERT_EQ(action->Clone(clone.put()), S_OK);
  const auto as_queue_action = clone.as<IScheduleQueueAction>();
  EXPECT_NE(identity(clone), identity(action));
  EXPECT_EQ(item_of(as_queue_action.get()), identity(host.template_item));
  TransferQueueItemPosition position{};
  EXPECT_EQ(as_queue_action->get_QueueItemPosition(&position), S_OK);
  EXPECT_EQ(position, tvTransferQueueItemPositionHead);
  EXPECT_EQ(action->Clone(nullptr), E_POINTER);
}

// ---------------------------------------------------------------------------------------------
// Runs

TEST_F(QueueActionTest, ARunQueuesAFreshCopyWhereThePositionSays) {
  struct row {
    TransferQueueItemPosition position;
    bool queued;
    bool at_head;
  };
  const row rows[] = {
      {tvTransferQueueItemPositionHead, true, true},
      {tvTransferQueueItemPositionTail, true, false},
      {static_cast<TransferQueueItemPosition>(5), false, false},  // no such place: nothing is queued
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message() << "position " << r.position);
    const auto a = comrt::make<CScheduleQueueAction>();
    ASSERT_EQ(a->put_Item(host.template_item.get()), S_OK);
    ASSERT_EQ(a->put_QueueItemPosition(r.position), S_OK);
    const size_t before = host.queued().size();

    EXPECT_EQ(run(a.get()), S_OK);

    const auto queued = host.queued();
    ASSERT_EQ(queued.size(), before + (r.queued ? 1 : 0));
    if (r.queued) {
      EXPECT_EQ(identity(queued.back().item), identity(last_copy()));
      EXPECT_NE(identity(queued.back().item), identity(host.template_item));
      EXPECT_EQ(queued.back().at_head, r.at_head);
      EXPECT_EQ(previous_of(a.get()), identity(last_copy())) << "the next run depends on this one";
    } else {
      EXPECT_FALSE(previous_of(a.get())) << "nothing queued, nothing to depend on";
    }
  }
}

TEST_F(QueueActionTest, WithDependOnPreviousItemEachCopyDependsOnTheOneQueuedBefore) {
  ASSERT_EQ(action->put_DependOnPreviousItem(VARIANT_TRUE), S_OK);
  ASSERT_EQ(run(), S_OK);
  const auto first = last_copy();
  EXPECT_TRUE(first->dependencies->added().empty()) << "the first run has nothing to depend on";
  ASSERT_EQ(run(), S_OK);
  const auto second = last_copy();
  ASSERT_EQ(second->dependencies->added().size(), 1u);
  EXPECT_EQ(identity(second->dependencies->added()[0]), identity(first));

  // A transfer a client set as PreviousItem counts as well.
  const auto earlier = comrt::make<MockTransferQueueItem>();
  const auto other = comrt::make<CScheduleQueueAction>();
  ASSERT_EQ(other->Copy(action.get()), S_OK);
  ASSERT_EQ(other->put_PreviousItem(earlier.get()), S_OK);
  ASSERT_EQ(run(other.get()), S_OK);
  ASSERT_EQ(last_copy()->dependencies->added().size(), 1u);
  EXPECT_EQ(identity(last_copy()->dependencies->added()[0]), identity(earlier));
}

TEST_F(QueueActionTest, WithoutDependOnPreviousItemNoRunAsksForDependencies) {
  ASSERT_EQ(action->put_PreviousItem(comrt::make<MockTransferQueueItem>().get()), S_OK);
  ASSERT_EQ(run(), S_OK);
  ASSERT_EQ(run(), S_OK);
  for (const auto& copy : host.template_item->copies()) {
    EXPECT_TRUE(copy->dependencies->added().empty());
  }
}

TEST_F(QueueActionTest, TheQueueServiceIsFoundByItsStatusOfSuccessOrNotAtAll) {
  // The status of QueryService is not examined: a queue handed out with a code of the host's own counts.
  EXPECT_CALL(*host.provider, QueryService(_, _, _)).WillOnce([&](REFGUID, REFIID riid, void** ppv) {
    host.queue->QueryInterface(riid, ppv);
    return kRefused;
  });
  EXPECT_EQ(run(), S_OK);
  EXPECT_EQ(host.queued().size(), 1u);
}

// ---------------------------------------------------------------------------------------------
// The folder tree

TEST_F(FolderRunTest, TheFirstRunQueuesTheWholeFolderLaterRunsOnlyWhatChanged) {
  ASSERT_EQ(run(), S_OK);
  ASSERT_EQ(host.queued().size(), 1u);
  EXPECT_TRUE(last_copy()->applied().empty()) << "nothing to compare with on the first run";
  EXPECT_TRUE(host.comparisons().empty());
  ASSERT_EQ(host.snapshots().size(), 1u);
  EXPECT_EQ(static_cast<fakes::MockFolderTree*>(host.snapshots()[0].as<IFolderTree>().get())->loaded(), kFolder);
  const auto first_copy = last_copy();

  host.changes = comrt::make<fakes::MockChangeSet>(VARIANT_TRUE);
  EXPECT_EQ(run(), S_OK);
  EXPECT_EQ(host.queued().size(), 1u) << "no change, nothing queued";
  EXPECT_EQ(previous_of(action.get()), identity(first_copy));

  const auto changed = comrt::make<fakes::MockChangeSet>(VARIANT_FALSE);
  host.changes = changed;
  EXPECT_EQ(run(), S_OK);
  ASSERT_EQ(host.queued().size(), 2u);
  ASSERT_EQ(last_copy()->applied().size(), 1u);
  EXPECT_EQ(identity(last_copy()->applied()[0]), identity(changed));

  // Each comparison takes the snapshot held (first) and the new one (second); the run that queued
  // nothing still replaced the snapshot.
  const auto comparisons = host.comparisons();
  const auto snapshots = host.snapshots();
  ASSERT_EQ(comparisons.size(), 2u);
  ASSERT_EQ(snapshots.size(), 3u);
  for (size_t i = 0; i < comparisons.size(); ++i) {
    EXPECT_EQ(identity(comparisons[i].previous), identity(snapshots[i])) << "comparison " << i;
    EXPECT_EQ(identity(comparisons[i].current), identity(snapshots[i + 1])) << "comparison " << i;
  }
}

TEST_F(FolderRunTest, AComparisonThatHandsOutNoChangeSetQueuesTheCopyAsMade) {
  host.changes = nullptr;
  ASSERT_EQ(run(), S_OK);
  ASSERT_EQ(run(), S_OK);
  EXPECT_EQ(host.comparisons().size(), 1u);
  EXPECT_EQ(host.queued().size(), 2u);
  EXPECT_TRUE(last_copy()->applied().empty());
}

TEST_F(FolderRunTest, ACopyOrCloneStartsWithoutASnapshotAndKeepsItsOwn) {
  ASSERT_EQ(run(), S_OK);
  com_ptr<IScheduleAction> clone;
  ASSERT_EQ(action->Clone(clone.put()), S_OK);
  host.changes = comrt::make<fakes::MockChangeSet>(VARIANT_TRUE);
  EXPECT_EQ(clone->Run(host.provider.get()), S_OK);
  EXPECT_EQ(host.queued().size(), 2u) << "the clone's first run queues the whole folder";
  EXPECT_TRUE(host.comparisons().empty());

  // Copy leaves this action's snapshot in place: the next run compares with it and queues nothing.
  ASSERT_EQ(action->Copy(clone.as<IScheduleQueueAction>().get()), S_OK);
  EXPECT_EQ(run(), S_OK);
  EXPECT_EQ(host.queued().size(), 2u);
  ASSERT_EQ(host.comparisons().size(), 1u);
  EXPECT_EQ(identity(host.comparisons()[0].previous), identity(host.snapshots()[0]));
}

TEST(QueueActionFolderTree, OnlyFolderTransfersWithTheOptionSetAreCompared) {
  struct row {
    const char* what;
    LONG kind;
    LONG mode;
    VARIANT_BOOL use_folder_tree;
    bool compared;
  };
  const row rows[] = {
      {"a folder transfer", TRANSFER_ITEM_KIND_FOLDER, TRANSFER_SOURCE_MODE_FOLDER, VARIANT_TRUE, true},
      {"any non-zero flag counts as set", TRANSFER_ITEM_KIND_FOLDER, TRANSFER_SOURCE_MODE_FOLDER, 1, true},
      {"the option cleared", TRANSFER_ITEM_KIND_FOLDER, TRANSFER_SOURCE_MODE_FOLDER, VARIANT_FALSE, false},
      {"another kind of transfer", 1, TRANSFER_SOURCE_MODE_FOLDER, VARIANT_TRUE, false},
      {"a source that is not a whole folder", TRANSFER_ITEM_KIND_FOLDER, 0, VARIANT_TRUE, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    transfer_host host(fakes::folder_transfer(kFolder, r.kind, r.mode));
    if (r.use_folder_tree == VARIANT_FALSE) EXPECT_CALL(*host.template_item, get_Kind(_)).Times(0);
    if (r.kind != TRANSFER_ITEM_KIND_FOLDER) EXPECT_CALL(*host.template_item, get_Source(_)).Times(0);
    host.changes = comrt::make<fakes::MockChangeSet>(VARIANT_TRUE);
    const auto action = comrt::make<CScheduleQueueAction>();
    ASSERT_EQ(action->put_Item(host.template_item.get()), S_OK);
    ASSERT_EQ(action->put_UseFolderTree(r.use_folder_tree), S_OK);

    EXPECT_EQ(action->Run(host.provider.get()), S_OK);
    EXPECT_EQ(action->Run(host.provider.get()), S_OK);

    EXPECT_EQ(host.snapshots().size(), r.compared ? 2u : 0u);
    EXPECT_EQ(host.queued().size(), r.compared ? 1u : 2u) << "an unchanged folder is queued once";
  }
}

// Runs of one action from two threads at once: the folder-tree step is serialised, so every
// snapshot is compared against exactly once and the comparisons form one chain from the first
// snapshot to the last. (Under ThreadSanitizer a step that is not serialised is also reported as a
// race on the held snapshot.)
TEST_F(FolderRunTest, RunsFromTwoThreadsChainTheirSnapshots) {
  constexpr int kRunsPerThread = 100;
  ASSERT_EQ(run(), S_OK);
  std::latch start(2);
  std::atomic<int> failures{0};
  const auto runs = [&] {
    start.arrive_and_wait();
    for (int i = 0; i < kRunsPerThread; ++i) {
      if (run() != S_OK) ++failures;
    }
  };
  std::thread one(runs);
  std::thread two(runs);
  one.join();
  two.join();

  EXPECT_EQ(failures.load(), 0);
  const auto snapshots = host.snapshots();
  ASSERT_EQ(snapshots.size(), 1u + 2 * kRunsPerThread);
  std::map<IUnknown*, IUnknown*> next;
  std::vector<com_ptr<IUnknown>> keep;  // holds the identities, so no address is reused meanwhile
  for (const auto& c : host.comparisons()) {
    keep.push_back(identity(c.previous));
    keep.push_back(identity(c.current));
    EXPECT_TRUE(next.emplace(keep[keep.size() - 2].get(), keep.back().get()).second)
        << "a snapshot was compared against twice";
  }
  size_t length = 0;
  for (IUnknown* at = identity(snapshots[0]).get(); next.count(at); at = next[at]) ++length;
  EXPECT_EQ(length, 2u * kRunsPerThread);
}

// ---------------------------------------------------------------------------------------------
// Failures

TEST_F(QueueActionTest, ARunThatCannotReachTheQueueFailsBeforeMakingACopy) {
  struct row {
    const char* what;
    HRESULT expected;
    std::function<HRESULT()> run;
  };
  const row rows[] = {
      {"no service provider", E_INVALIDARG, [this] { return action->Run(nullptr); }},
      {"no template", E_FAIL, [this] { return run(comrt::make<CScheduleQueueAction>().get()); }},
      {"an object that is no service provider", E_FAIL, [this] { return action->Run(host.queue.get()); }},
      {"the queue service refused", E_FAIL,
       [this] {
         EXPECT_CALL(*host.provider, QueryService(_, _, _)).WillOnce(Return(E_NOINTERFACE)).RetiresOnSaturation();
         return run();
       }},
      {"success without a queue", E_FAIL,
       [this] {
         EXPECT_CALL(*host.provider, QueryService(_, _, _))
             .WillOnce([](REFGUID, REFIID, void** ppv) {
               *ppv = nullptr;
               return S_OK;
             })
             .RetiresOnSaturation();
         return run();
       }},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    EXPECT_EQ(r.run(), r.expected);
  }
  EXPECT_TRUE(host.template_item->copies().empty());
  EXPECT_TRUE(host.queued().empty());
}

// A host operation that fails ends the run with its status: nothing is queued, PreviousItem stays,
// and the held snapshot is replaced only when the folder-tree step itself had succeeded.
struct host_failure {
  const char* name;
  std::function<void(transfer_host&, CScheduleQueueAction&)> inject;
  HRESULT expected;
  bool snapshot_replaced;
};

// A copy whose `fail` operation fails, handed out by the template's next CreateQueueCopy.
void next_copy_fails(transfer_host& host, const std::function<void(MockTransferQueueItem&)>& fail) {
  const auto copy = comrt::make<MockTransferQueueItem>();
  fail(*copy);
  EXPECT_CALL(*host.template_item, CreateQueueCopy(_)).WillOnce(fakes::hand_out(copy)).RetiresOnSaturation();
}

template <class Mock, class Configure>
void next_object_is(fakes::MockClassFactory& factory, Configure configure) {
  const auto object = comrt::make<Mock>();
  configure(*object);
  EXPECT_CALL(factory, CreateInstance(_, _, _)).WillOnce(fakes::creates(object)).RetiresOnSaturation();
}

void path_is(transfer_host& host, BSTR text) {
  EXPECT_CALL(*host.template_item->source, get_Path(_))
      .WillOnce([text](BSTR* out) {
        *out = text;
        return S_OK;
      })
      .RetiresOnSaturation();
}

const host_failure kHostFailures[] = {
    {"MakingTheCopy",
     [](transfer_host& h, CScheduleQueueAction&) {
       EXPECT_CALL(*h.template_item, CreateQueueCopy(_)).WillOnce(Return(kRefused)).RetiresOnSaturation();
     },
     kRefused, false},
    {"ACopyThatIsNull",
     [](transfer_host& h, CScheduleQueueAction&) {
       EXPECT_CALL(*h.template_item, CreateQueueCopy(_))
           .WillOnce(fakes::hand_out(com_ptr<ITransferQueueItem>()))
           .RetiresOnSaturation();
     },
     E_POINTER, false},
    {"AskingTheKind",
     [](transfer_host& h, CScheduleQueueAction&) {
       EXPECT_CALL(*h.template_item, get_Kind(_)).WillOnce(Return(kRefused)).RetiresOnSaturation();
     },
     kRefused, false},
    {"AskingTheSource",
     [](transfer_host& h, CScheduleQueueAction&) {
       EXPECT_CALL(*h.template_item, get_Source(_)).WillOnce(Return(kRefused)).RetiresOnSaturation();
     },
     kRefused, false},
    {"ASourceThatIsNull",
     [](transfer_host& h, CScheduleQueueAction&) {
       EXPECT_CALL(*h.template_item, get_Source(_))
           .WillOnce(fakes::hand_out(com_ptr<ITransferSourceDescriptor>()))
           .RetiresOnSaturation();
     },
     E_POINTER, false},
    {"AskingTheSourceMode",
     [](transfer_host& h, CScheduleQueueAction&) {
       EXPECT_CALL(*h.template_item->source, get_Mode(_)).WillOnce(Return(kRefused)).RetiresOnSaturation();
     },
     kRefused, false},
    {"AskingTheFolder",
     [](transfer_host& h, CScheduleQueueAction&) {
       EXPECT_CALL(*h.template_item->source, get_Path(_)).WillOnce(Return(kRefused)).RetiresOnSaturation();
     },
     kRefused, false},
    {"AnEmptyFolder", [](transfer_host& h, CScheduleQueueAction&) { path_is(h, comrt::bstr(u"").detach()); }, E_FAIL,
     false},
    {"ANullFolder", [](transfer_host& h, CScheduleQueueAction&) { path_is(h, nullptr); }, E_FAIL, false},
    {"CreatingTheSnapshot",
     [](transfer_host& h, CScheduleQueueAction&) {
       EXPECT_CALL(*h.folder_tree_class, CreateInstance(_, _, _))
           .WillOnce(Return(REGDB_E_CLASSNOTREG))
           .RetiresOnSaturation();
     },
     REGDB_E_CLASSNOTREG, false},
    {"TakingTheSnapshot",
     [](transfer_host& h, CScheduleQueueAction&) {
       next_object_is<fakes::MockFolderTree>(*h.folder_tree_class, [](fakes::MockFolderTree& tree) {
         EXPECT_CALL(tree, Load(_)).WillOnce(Return(kRefused));
       });
     },
     kRefused, false},
    {"CreatingTheComparer",
     [](transfer_host& h, CScheduleQueueAction&) {
       EXPECT_CALL(*h.comparer_class, CreateInstance(_, _, _)).WillOnce(Return(kRefused)).RetiresOnSaturation();
     },
     kRefused, false},
    {"Comparing",
     [](transfer_host& h, CScheduleQueueAction&) {
       next_object_is<fakes::MockFolderTreeComparer>(*h.comparer_class, [](fakes::MockFolderTreeComparer& comparer) {
         EXPECT_CALL(comparer, Compare(_, _, _)).WillOnce(Return(kRefused));
       });
     },
     kRefused, false},
    {"AskingWhetherAnythingChanged",
     [](transfer_host& h, CScheduleQueueAction&) {
       const auto changes = comrt::make<fakes::MockChangeSet>();
       EXPECT_CALL(*changes, get_IsEmpty(_)).WillOnce(Return(kRefused));
       h.changes = changes;
     },
     kRefused, true},
    {"ApplyingTheChanges",
     [](transfer_host& h, CScheduleQueueAction&) {
       next_copy_fails(h, [](MockTransferQueueItem& copy) {
         EXPECT_CALL(copy, ApplyChangeSet(_)).WillOnce(Return(kRefused));
       });
     },
     kRefused, true},
    {"AskingForTheDependencies",
     [](transfer_host& h, CScheduleQueueAction&) {
       next_copy_fails(h, [](MockTransferQueueItem& copy) {
         EXPECT_CALL(copy, get_Dependencies(_)).WillOnce(Return(kRefused));
       });
     },
     kRefused, true},
    {"DependenciesThatAreNull",
     [](transfer_host& h, CScheduleQueueAction&) {
       next_copy_fails(h, [](MockTransferQueueItem& copy) {
         EXPECT_CALL(copy, get_Dependencies(_)).WillOnce(fakes::hand_out(com_ptr<ITransferDependencies>()));
       });
     },
     E_POINTER, true},
    {"AddingTheDependency",
     [](transfer_host& h, CScheduleQueueAction&) {
       next_copy_fails(h, [](MockTransferQueueItem& copy) {
         EXPECT_CALL(*copy.dependencies, Add(_)).WillOnce(Return(kRefused));
       });
     },
     kRefused, true},
    {"InsertingAtTheHead",
     [](transfer_host& h, CScheduleQueueAction& a) {
       EXPECT_EQ(a.put_QueueItemPosition(tvTransferQueueItemPositionHead), S_OK);
       EXPECT_CALL(*h.queue, InsertHead(_)).WillOnce(Return(kRefused)).RetiresOnSaturation();
     },
     kRefused, true},
    {"InsertingAtTheTail",
     [](transfer_host& h, CScheduleQueueAction&) {
       EXPECT_CALL(*h.queue, InsertTail(_)).WillOnce(Return(kRefused)).RetiresOnSaturation();
     },
     kRefused, true},
};

class HostFailureTest : public FolderRunTest, public ::testing::WithParamInterface<host_failure> {};

TEST_P(HostFailureTest, EndsTheRunWithItsStatusAndQueuesNothing) {
  const host_failure& failure = GetParam();
  ASSERT_EQ(action->put_DependOnPreviousItem(VARIANT_TRUE), S_OK);
  ASSERT_EQ(run(), S_OK);  // takes the first snapshot and queues the first copy
  const auto queued_before = host.queued().size();
  const auto previous = previous_of(action.get());
  const auto first_snapshot = host.snapshots()[0];

  failure.inject(host, *action);
  EXPECT_EQ(run(), failure.expected);
  EXPECT_EQ(host.queued().size(), queued_before);
  EXPECT_EQ(previous_of(action.get()), previous);

  // The next run, with nothing failing, shows which snapshot the failed run left behind.
  host.changes = comrt::make<fakes::MockChangeSet>();
  ASSERT_EQ(action->put_QueueItemPosition(tvTransferQueueItemPositionTail), S_OK);
  ASSERT_EQ(run(), S_OK);
  ASSERT_FALSE(host.comparisons().empty());
  const auto held = host.comparisons().back().previous;
  if (failure.snapshot_replaced) {
    ASSERT_GE(host.snapshots().size(), 2u);
    EXPECT_EQ(identity(held), identity(host.snapshots()[1]));
  } else {
    EXPECT_EQ(identity(held), identity(first_snapshot));
  }
}

INSTANTIATE_TEST_SUITE_P(EachHostOperation, HostFailureTest, ::testing::ValuesIn(kHostFailures),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
