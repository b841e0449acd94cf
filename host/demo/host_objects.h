// The host's side of the demonstration: the site it gives the scheduler, the action its items run,
// and the sink that prints what the item collection announces. Each prints what happens to it.
#pragma once

#include <atomic>
#include <map>
#include <string>

#include <comrt/event.h>
#include <comrt/object.h>
#include <comrt/ocidl.h>

#include "Scheduler.h"

namespace demo {

// Prints one line; lines from different threads never mix.
void say(const std::string& line);
// "0x80070005 (E_ACCESSDENIED)" and the like.
std::string status_text(HRESULT hr);
// "2024-05-01 08:00:00 UTC", or "never" for 0.
std::string time_text(const FILETIME& ft);
// "\"name\": LastTaskResult ..., LastRunTime ..." of an item.
std::string describe(IScheduleItem* item);

// The site: answers IServiceProvider with the services proffered to it, and takes proffers through
// IProfferService (the scheduler proffers itself there while the site is set).
class HostSite final : public comrt::implements<HostSite, IServiceProvider, IProfferService, comrt::free_threaded> {
 public:
  HRESULT STDMETHODCALLTYPE QueryService(REFGUID guidService, REFIID riid, void** ppv) override;
  HRESULT STDMETHODCALLTYPE ProfferService(REFGUID guidService, IServiceProvider* psp, DWORD* pdwCookie) override;
  HRESULT STDMETHODCALLTYPE RevokeService(DWORD dwCookie) override;

 private:
  struct proffer {
    GUID service;
    comrt::com_ptr<IServiceProvider> provider;
  };
  comrt::mutex mutex_;
  std::map<DWORD, proffer> proffers_ COMRT_GUARDED_BY(mutex_);
  DWORD next_cookie_ COMRT_GUARDED_BY(mutex_) = 1;
};

// An action that "transfers" by printing what it would hand to a transfer queue. One that is told
// to refuse returns E_ACCESSDENIED, as a queue that rejects the destination would.
class TransferAction final : public comrt::implements<TransferAction, IScheduleAction, comrt::free_threaded> {
 public:
  TransferAction(std::string source, std::string destination, bool refuse = false)
      : source_(std::move(source)), destination_(std::move(destination)), refuse_(refuse) {}

  HRESULT STDMETHODCALLTYPE Run(IUnknown* pServiceProvider) override;
  HRESULT STDMETHODCALLTYPE Clone(IScheduleAction** ppClone) override;

 private:
  const std::string source_;
  const std::string destination_;
  const bool refuse_;
};

// Prints every event of the item collection and signals `finished` once `expected_updates`
// OnUpdateItem events have arrived (a scheduled run announces its item twice).
class ItemsEventsPrinter final
    : public comrt::implements<ItemsEventsPrinter, IScheduleItemsEvents, comrt::free_threaded> {
 public:
  explicit ItemsEventsPrinter(int expected_updates) : remaining_(expected_updates) {}

  HRESULT STDMETHODCALLTYPE OnAddItem(IScheduleItem* pItem) override;
  HRESULT STDMETHODCALLTYPE OnRemoveItem(IScheduleItem* pItem) override;
  HRESULT STDMETHODCALLTYPE OnUpdateItem(IScheduleItem* pItem) override;
  HRESULT STDMETHODCALLTYPE OnRemoveAllItems() override;

  comrt::event& finished() noexcept { return finished_; }

 private:
  std::atomic<int> remaining_;
  comrt::event finished_{comrt::event_reset::manual};
};

}  // namespace demo
