// What a running scheduler shows its user as it happens: the items that become due, the transfers
// they queue, the progress of each transfer and its result.
#pragma once

#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include <comrt/object.h>

#include "Scheduler.h"
#include "TransferQueue.h"
#include "host/queue/transfer_queue.h"

namespace tolvane::cli {

// Lines for the person watching, each after the local time. On a terminal the progress of a
// transfer is one bar redrawn in place; otherwise each file gets a line of its own.
class console {
 public:
  explicit console(std::FILE* out);
  void line(const std::string& text);
  void progress(const host::transfer_progress& progress);
  void end_progress();

 private:
  void clear_bar() COMRT_REQUIRES(mutex_);

  std::FILE* const out_;
  const bool terminal_;
  comrt::mutex mutex_;
  bool bar_shown_ COMRT_GUARDED_BY(mutex_) = false;
  std::string last_bar_ COMRT_GUARDED_BY(mutex_);
};

// The collection's event sink, the transfer queue the host's site offers (it announces each
// transfer and hands it to the real queue) and that queue's observer. It writes the result of a
// transfer back to the item that queued it, so that an item's last result is the copy's own.
class run_monitor final
    : public comrt::implements<run_monitor, IScheduleItemsEvents, ITransferQueue, comrt::free_threaded>,
      private host::transfer_observer {
 public:
  static comrt::com_ptr<run_monitor> create(console& out);
  explicit run_monitor(console& out) : out_(out) {}
  void FinalRelease() noexcept { stop(); }

  // Follows the runs of the items; call it while the scheduler's thread is held, so that no run
  // is missed. unwatch() ends that.
  void watch(IScheduleItems* items);
  void unwatch();
  // Ends the queue: the running transfer is cancelled, and it and every queued one end cancelled.
  void stop();
  host::CTransferQueue& queue() { return *queue_; }
  // What the last run on this thread came to, in words.
  static std::string last_outcome();

  HRESULT STDMETHODCALLTYPE OnAddItem(IScheduleItem* pItem) override;
  HRESULT STDMETHODCALLTYPE OnRemoveItem(IScheduleItem*) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnUpdateItem(IScheduleItem* pItem) override;
  HRESULT STDMETHODCALLTYPE OnRemoveAllItems() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE InsertHead(ITransferQueueItem* pItem) override { return insert(pItem, true); }
  HRESULT STDMETHODCALLTYPE InsertTail(ITransferQueueItem* pItem) override { return insert(pItem, false); }

 private:
  struct item_state {
    uint64_t last_run = 0;     // LastRunTime when last seen: a new one starts a run
    bool running = false;
    std::thread::id runner;    // the thread the run started on, which also ends it
    HRESULT pending = S_OK;    // a transfer's failure that came while its item still ran
  };
  struct transfer_owner {
    comrt::com_ptr<IScheduleItem> item;
    std::string name;
  };

  HRESULT insert(ITransferQueueItem* item, bool at_head);
  void transfer_started(host::CTransferQueueItem& transfer) override;
  void transfer_progress(host::CTransferQueueItem& transfer, const host::transfer_progress& progress) override;
  void transfer_finished(host::CTransferQueueItem& transfer, HRESULT result) override;
  std::string owner_name(host::CTransferQueueItem& transfer);
  comrt::com_ptr<IScheduleItems> watched();

  console& out_;
  comrt::com_ptr<host::CTransferQueue> queue_;
  comrt::mutex mutex_;
  comrt::com_ptr<IScheduleItems> items_ COMRT_GUARDED_BY(mutex_);
  DWORD cookie_ COMRT_GUARDED_BY(mutex_) = 0;
  std::map<std::string, item_state> states_ COMRT_GUARDED_BY(mutex_);  // by item id
  std::map<host::CTransferQueueItem*, transfer_owner> owners_ COMRT_GUARDED_BY(mutex_);
  // Used on the queue's worker only.
  host::transfer_progress last_progress_;
  std::chrono::steady_clock::time_point started_;
};

}  // namespace tolvane::cli
