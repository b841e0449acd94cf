#include "host_objects.h"

#include <cstdio>
#include <mutex>

#include <comrt/guid.h>
#include <comrt/strings.h>
#include <comrt/time.h>
#include <comrt/variant.h>

namespace demo {

void say(const std::string& line) {
  static std::mutex m;
  std::lock_guard guard(m);
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::string status_text(HRESULT hr) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(hr));
  const char* name = hr == S_OK           ? "S_OK"
                     : hr == S_FALSE      ? "S_FALSE"
                     : hr == E_FAIL       ? "E_FAIL"
                     : hr == E_ACCESSDENIED ? "E_ACCESSDENIED"
                     : hr == E_NOTIMPL    ? "E_NOTIMPL"
                                          : nullptr;
  return name ? std::string(hex) + " (" + name + ")" : std::string(hex);
}

std::string time_text(const FILETIME& ft) {
  const uint64_t ticks = comrt::to_ticks(ft);
  if (ticks == 0) return "never";
  const auto st = comrt::ticks_to_systemtime(ticks);
  if (!st) return "?";
  char text[40];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u UTC", st->wYear, st->wMonth, st->wDay, st->wHour,
                st->wMinute, st->wSecond);
  return text;
}

std::string describe(IScheduleItem* item) {
  comrt::bstr name;
  HRESULT result = S_OK;
  FILETIME last_run{};
  if (FAILED(item->get_Name(name.put())) || FAILED(item->get_LastTaskResult(&result)) ||
      FAILED(item->get_LastRunTime(&last_run))) {
    return "(an item that cannot be read)";
  }
  return "\"" + comrt::to_utf8(name.view()) + "\": LastTaskResult " + status_text(result) + ", LastRunTime " +
         time_text(last_run);
}

// ---------------------------------------------------------------------------------------------

HRESULT HostSite::QueryService(REFGUID guidService, REFIID riid, void** ppv) {
  return comrt::boundary([&]() -> HRESULT {
    comrt::init_out(ppv);
    comrt::com_ptr<IServiceProvider> provider;
    {
      comrt::lock_guard guard(mutex_);
      for (const auto& [cookie, p] : proffers_) {
        if (p.service == guidService) provider = p.provider;
      }
    }
    if (!provider) return E_NOINTERFACE;
    return provider->QueryService(guidService, riid, ppv);
  });
}

HRESULT HostSite::ProfferService(REFGUID guidService, IServiceProvider* psp, DWORD* pdwCookie) {
  return comrt::boundary([&] {
    comrt::init_out(pdwCookie);
    comrt::check_pointer(psp);
    DWORD cookie = 0;
    {
      comrt::lock_guard guard(mutex_);
      cookie = next_cookie_++;
      proffers_[cookie] = proffer{guidService, comrt::com_ptr<IServiceProvider>(psp)};
    }
    *pdwCookie = cookie;
    say("site: service " + comrt::to_utf8(comrt::to_u16string(guidService)) + " proffered, cookie " +
        std::to_string(cookie));
  });
}

HRESULT HostSite::RevokeService(DWORD dwCookie) {
  return comrt::boundary([&]() -> HRESULT {
    comrt::com_ptr<IServiceProvider> released;  // let go after the lock
    {
      comrt::lock_guard guard(mutex_);
      auto it = proffers_.find(dwCookie);
      if (it == proffers_.end()) return E_INVALIDARG;
      released = std::move(it->second.provider);
      proffers_.erase(it);
    }
    say("site: service with cookie " + std::to_string(dwCookie) + " revoked");
    return S_OK;
  });
}

// ---------------------------------------------------------------------------------------------

HRESULT TransferAction::Run(IUnknown* pServiceProvider) {
  say("action: transfer " + source_ + " -> " + destination_ +
      (pServiceProvider ? " (with the host's service provider)" : " (without a service provider)") +
      (refuse_ ? ": refused" : ": queued"));
  return refuse_ ? E_ACCESSDENIED : S_OK;
}

HRESULT TransferAction::Clone(IScheduleAction** ppClone) {
  return comrt::boundary([&] {
    comrt::init_out(ppClone);
    comrt::make<TransferAction>(source_, destination_, refuse_).copy_to(ppClone);
  });
}

// ---------------------------------------------------------------------------------------------

HRESULT ItemsEventsPrinter::OnAddItem(IScheduleItem* pItem) {
  say("event: OnAddItem " + describe(pItem));
  return S_OK;
}

HRESULT ItemsEventsPrinter::OnRemoveItem(IScheduleItem* pItem) {
  say("event: OnRemoveItem " + describe(pItem));
  return S_OK;
}

HRESULT ItemsEventsPrinter::OnUpdateItem(IScheduleItem* pItem) {
  say("event: OnUpdateItem " + describe(pItem));
  if (remaining_.fetch_sub(1) == 1) finished_.set();
  return S_OK;
}

HRESULT ItemsEventsPrinter::OnRemoveAllItems() {
  say("event: OnRemoveAllItems");
  return S_OK;
}

}  // namespace demo
