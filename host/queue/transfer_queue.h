// The host's transfer queue (ITransferQueue) and what a host needs to offer it.
//
//   auto classes = tolvane::host::register_transfer_classes();  // creatable through the runtime
//   auto queue = tolvane::host::CTransferQueue::create(&my_observer);
//   auto site = comrt::make<tolvane::host::CServiceSite>();
//   site->offer(SID_TransferQueue, queue.get());
//   scheduler->SetSite(site.get());          // the queue actions of its items now reach the queue
//   ...
//   queue->stop();                           // before the observer goes
//
// Transfers run one at a time, in queue order, on the queue's own worker thread. A transfer whose
// dependencies have not finished stays in the queue and lets the ones behind it pass; one whose
// dependency failed fails with TRANSFER_E_DEPENDENCY_FAILED without running.
#pragma once

#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <vector>

#include <comrt/event.h>
#include <comrt/object.h>
#include <comrt/ocidl.h>
#include <comrt/worker_thread.h>

#include "TransferQueue.h"
#include "host/queue/file_copy.h"
#include "host/queue/transfer_item.h"

namespace tolvane::host {

// What the queue tells its host: called on the queue's worker thread (by stop() for transfers it
// drops), never under a queue lock. A callback must not call stop() or release the queue's last reference.
class transfer_observer {
 public:
  virtual void transfer_started(CTransferQueueItem& /*transfer*/) {}
  virtual void transfer_progress(CTransferQueueItem& /*transfer*/, const host::transfer_progress& /*progress*/) {}
  // Once per queued transfer, also for one failed without running or dropped by stop().
  virtual void transfer_finished(CTransferQueueItem& /*transfer*/, HRESULT /*result*/) {}

 protected:
  ~transfer_observer() = default;
};

class CTransferQueue final : public comrt::implements<CTransferQueue, ITransferQueue, comrt::free_threaded> {
 public:
  // A running queue. The observer (optional) must outlive the queue's worker: call stop() first.
  static comrt::com_ptr<CTransferQueue> create(transfer_observer* observer = nullptr);

  // E_INVALIDARG for null or a transfer that is not this host's, E_UNEXPECTED for a transfer
  // that was queued before, E_ABORT once the queue has stopped.
  HRESULT STDMETHODCALLTYPE InsertHead(ITransferQueueItem* pItem) override { return insert(pItem, true); }
  HRESULT STDMETHODCALLTYPE InsertTail(ITransferQueueItem* pItem) override { return insert(pItem, false); }

  // Ends the worker: the transfer running is cancelled, and it and every one still queued finish
  // with E_ABORT. Idempotent; also done on the last release.
  void stop();
  // Set while no transfer is queued or running.
  comrt::event& idle() noexcept { return idle_; }
  std::size_t size() const;

  explicit CTransferQueue(transfer_observer* observer) : observer_(observer) {}
  void FinalRelease() noexcept { stop(); }

 private:
  HRESULT insert(ITransferQueueItem* item, bool at_head);
  uint32_t work(comrt::worker_thread& thread);
  // The first transfer that may run now, or one whose dependency failed (with that status); null
  // when none is ready.
  comrt::com_ptr<CTransferQueueItem> take_next(HRESULT& held_failure);
  void run(CTransferQueueItem& transfer);
  void finish(CTransferQueueItem& transfer, HRESULT result);

  transfer_observer* const observer_;
  mutable comrt::mutex mutex_;
  std::deque<comrt::com_ptr<CTransferQueueItem>> queued_ COMRT_GUARDED_BY(mutex_);
  bool running_ COMRT_GUARDED_BY(mutex_) = false;
  bool stopping_ COMRT_GUARDED_BY(mutex_) = false;
  std::atomic<bool> cancel_{false};
  comrt::event wake_{comrt::event_reset::automatic};
  comrt::event idle_{comrt::event_reset::manual, true};
  comrt::worker_thread worker_;  // last: joined before the members it uses go
};

// A host's service provider: answers QueryService for the services offered to it.
class CServiceSite final : public comrt::implements<CServiceSite, IServiceProvider, comrt::free_threaded> {
 public:
  // Offers `service` (null withdraws it).
  void offer(REFGUID sid, IUnknown* service);
  // E_POINTER for null ppv; E_NOINTERFACE for a service not offered; else the service's answer.
  HRESULT STDMETHODCALLTYPE QueryService(REFGUID guidService, REFIID riid, void** ppv) override;

 private:
  struct guid_less {
    bool operator()(const GUID& a, const GUID& b) const noexcept { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
  };
  std::map<GUID, comrt::com_ptr<IUnknown>, guid_less> services_ COMRT_GUARDED_BY(object_mutex());
};

// The host classes registered in the process (CoRegisterClassObject) for as long as it lives.
class transfer_class_registration {
 public:
  transfer_class_registration() = default;
  transfer_class_registration(transfer_class_registration&& other) noexcept : cookies_(std::move(other.cookies_)) {
    other.cookies_.clear();
  }
  transfer_class_registration& operator=(transfer_class_registration&&) = delete;
  ~transfer_class_registration();
  void add(DWORD cookie) { cookies_.push_back(cookie); }

 private:
  std::vector<DWORD> cookies_;
};

// Registers CLSID_TransferQueueItem, CLSID_FolderTree and CLSID_FolderTreeComparer; throws the
// runtime's failure (nothing stays registered then).
[[nodiscard]] transfer_class_registration register_transfer_classes();

}  // namespace tolvane::host
