// The queue action with the host's real transfers: a schedule item whose action hands copies of a
// folder transfer to the real queue (the first run sends the whole folder, later runs only what
// changed), and an action stored in a file and read back with its transfer.
#include "actions/queue_action.h"
#include "host/transfer_fixture.h"
#include "items/schedule_item.h"
#include "persistence/persistence_doubles.h"

namespace {

using namespace host_test;

TEST_F(TransferTest, AQueueActionOfAScheduleItemHasTheQueueCopyTheFolderThenOnlyItsChanges) {
  write("src/a", "alpha");
  write("src/sub/b", "beta");
  const auto site = comrt::make<tolvane::host::CServiceSite>();
  site->offer(SID_TransferQueue, queue.get());
  const auto action = comrt::make<tolvane::CScheduleQueueAction>();
  ASSERT_EQ(action->put_Item(folder_transfer(path("src").string(), "file://" + path("dst").string())->identity()), S_OK);
  ASSERT_EQ(action->put_DependOnPreviousItem(VARIANT_TRUE), S_OK);
  const auto item = comrt::make<tolvane::CScheduleItem>();
  ASSERT_EQ(fakes::actions_of(item.get())->Add(action.get()), S_OK);
  tolvane::host::transfer_progress progress;
  EXPECT_CALL(observer, transfer_progress(::testing::_, ::testing::_)).WillRepeatedly([&](auto&, const auto& p) {
    progress = p;
  });

  // Runs the item; the transfer it queued, once finished (null when it queued none).
  com_ptr<CTransferQueueItem> last;
  const auto run = [&]() -> com_ptr<CTransferQueueItem> {
    EXPECT_EQ(item->Run(site.get()), S_OK);
    com_ptr<IUnknown> queued;
    EXPECT_EQ(action->get_PreviousItem(queued.put()), S_OK);
    com_ptr<CTransferQueueItem> transfer(tolvane::host::host_object<CTransferQueueItem>(queued.get()));
    if (transfer == last) return nullptr;
    EXPECT_TRUE(transfer->finished().wait(kHangGuard));
    EXPECT_EQ(transfer->result(), S_OK);
    return last = transfer;
  };

  ASSERT_NE(run(), nullptr);
  EXPECT_EQ(files_below("dst"), (std::set<std::string>{"a", "sub/b"}));
  EXPECT_EQ((std::tuple{progress.files_done, progress.bytes_done, progress.bytes_total}), std::tuple(2u, 9u, 9u)) << "progress";

  EXPECT_EQ(run(), nullptr) << "nothing changed, nothing queued";

  write("src/sub/b", "beta 2");
  fs::remove_all(path("dst"));
  EXPECT_CALL(observer, transfer_finished(::testing::_, S_OK));
  ASSERT_NE(run(), nullptr);
  EXPECT_EQ(files_below("dst"), (std::set<std::string>{"sub/b"}));
  EXPECT_EQ(read("dst/sub/b"), "beta 2");
}

TEST_F(TransferTest, AQueueActionReadBackFromItsFileGetsItsTransferBackThroughTheRuntime) {
  const auto action = comrt::make<tolvane::CScheduleQueueAction>();
  ASSERT_EQ(action->put_Item(CTransferQueueItem::create({"/srv/out", "sftp://backup/in", TRANSFER_ITEM_KIND_FOLDER})
                                 ->identity()),
            S_OK);
  const auto loaded = comrt::make<tolvane::CScheduleQueueAction>();
  ASSERT_EQ(persist_test::read_element(persist_test::written_element(u"Action", action->identity()), u"Action",
                                       loaded->identity()),
            S_OK);
  com_ptr<IUnknown> item;
  ASSERT_EQ(loaded->get_Item(item.put()), S_OK);
  const auto* transfer = tolvane::host::host_object<CTransferQueueItem>(item.get());
  ASSERT_NE(transfer, nullptr);
  const auto d = transfer->definition();
  EXPECT_EQ(std::tuple(d.source, d.destination, d.kind, d.mode),
            std::tuple("/srv/out", "sftp://backup/in", TRANSFER_ITEM_KIND_FOLDER, TRANSFER_SOURCE_MODE_FOLDER));
}

}  // namespace
