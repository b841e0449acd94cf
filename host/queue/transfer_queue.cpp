#include "host/queue/transfer_queue.h"

#include <cstring>

#include "host/queue/folder_tree.h"

namespace tolvane::host {

using comrt::com_ptr;

com_ptr<CTransferQueue> CTransferQueue::create(transfer_observer* observer) {
  auto queue = comrt::make<CTransferQueue>(observer);
  CTransferQueue* self = queue.get();
  comrt::check_hresult(self->worker_.start([self](comrt::worker_thread& thread) { return self->work(thread); }));
  return queue;
}

HRESULT CTransferQueue::insert(ITransferQueueItem* item, bool at_head) {
  return comrt::boundary([&]() -> HRESULT {
    com_ptr<CTransferQueueItem> transfer(host_object<CTransferQueueItem>(item));
    if (!transfer) return E_INVALIDARG;
    {
      comrt::lock_guard guard(mutex_);
      if (stopping_) return E_ABORT;
      if (!transfer->mark_queued()) return E_UNEXPECTED;
      if (at_head) {
        queued_.push_front(std::move(transfer));
      } else {
        queued_.push_back(std::move(transfer));
      }
      idle_.reset();
    }
    wake_.set();
    return S_OK;
  });
}

std::size_t CTransferQueue::size() const {
  comrt::lock_guard guard(mutex_);
  return queued_.size();
}

com_ptr<CTransferQueueItem> CTransferQueue::take_next(HRESULT& held_failure) {
  comrt::lock_guard guard(mutex_);
  for (auto it = queued_.begin(); it != queued_.end(); ++it) {
    const HRESULT status = (*it)->dependency_status();
    if (status == S_FALSE) continue;  // held: the ones behind it may pass
    held_failure = status;
    com_ptr<CTransferQueueItem> next = std::move(*it);
    queued_.erase(it);
    running_ = true;
    return next;
  }
  if (!running_ && queued_.empty()) idle_.set();
  return nullptr;
}

uint32_t CTransferQueue::work(comrt::worker_thread& thread) {
  thread.signal_started();
  for (;;) {
    {
      comrt::lock_guard guard(mutex_);
      if (stopping_) break;
    }
    HRESULT held_failure = S_OK;
    const com_ptr<CTransferQueueItem> next = take_next(held_failure);
    if (!next) {
      wake_.wait();
      continue;
    }
    if (FAILED(held_failure)) {
      finish(*next, held_failure);
    } else {
      run(*next);
    }
  }
  return 0;
}

void CTransferQueue::run(CTransferQueueItem& transfer) {
  transfer.mark_running();
  if (observer_) observer_->transfer_started(transfer);
  const transfer_definition definition = transfer.definition();
  copy_job job{definition.source, definition.destination, definition.kind == TRANSFER_ITEM_KIND_FOLDER,
               transfer.only_files()};
  const HRESULT result = perform_copy(
      job,
      [&](const transfer_progress& progress) {
        if (observer_) observer_->transfer_progress(transfer, progress);
      },
      cancel_);
  finish(transfer, result);
}

void CTransferQueue::finish(CTransferQueueItem& transfer, HRESULT result) {
  transfer.finish(result);
  if (observer_) observer_->transfer_finished(transfer, result);
  {
    comrt::lock_guard guard(mutex_);
    running_ = false;
  }
  // A transfer that waited for this one may run now.
  wake_.set();
}

void CTransferQueue::stop() {
  std::deque<com_ptr<CTransferQueueItem>> dropped;
  {
    comrt::lock_guard guard(mutex_);
    stopping_ = true;
  }
  cancel_.store(true);
  wake_.set();
  worker_.join();
  {
    comrt::lock_guard guard(mutex_);
    dropped.swap(queued_);
  }
  for (const auto& transfer : dropped) {
    transfer->finish(E_ABORT);
    if (observer_) observer_->transfer_finished(*transfer, E_ABORT);
  }
  idle_.set();
}

void CServiceSite::offer(REFGUID sid, IUnknown* service) {
  com_ptr<IUnknown> previous(service);
  comrt::lock_guard guard(object_mutex());
  if (service) {
    services_[sid].swap(previous);
  } else if (auto it = services_.find(sid); it != services_.end()) {
    previous.swap(it->second);
    services_.erase(it);
  }
}

HRESULT CServiceSite::QueryService(REFGUID guidService, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  com_ptr<IUnknown> service;
  {
    comrt::lock_guard guard(object_mutex());
    if (auto it = services_.find(guidService); it != services_.end()) service = it->second;
  }
  if (!service) return E_NOINTERFACE;
  return service->QueryInterface(riid, ppv);
}

transfer_class_registration::~transfer_class_registration() {
  for (const DWORD cookie : cookies_) CoRevokeClassObject(cookie);
}

namespace {
template <class T>
void register_class(transfer_class_registration& registration) {
  auto factory = comrt::make<comrt::class_factory<T>>();
  DWORD cookie = 0;
  comrt::check_hresult(
      CoRegisterClassObject(T::class_id, factory.get(), CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie));
  registration.add(cookie);
}
}  // namespace

transfer_class_registration register_transfer_classes() {
  transfer_class_registration registration;
  register_class<CTransferQueueItem>(registration);
  register_class<CFolderTree>(registration);
  register_class<CFolderTreeComparer>(registration);
  return registration;
}

}  // namespace tolvane::host
