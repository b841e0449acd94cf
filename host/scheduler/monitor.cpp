#include "host/scheduler/monitor.h"

#include <unistd.h>

#include <ctime>

#include <comrt/guid.h>
#include <comrt/ocidl.h>
#include <comrt/strings.h>
#include <comrt/time.h>
#include <comrt/variant.h>

#include "host/scheduler/report.h"
#include "host/scheduler/schedule.h"

namespace tolvane::cli {

using comrt::com_ptr;

namespace {

std::string bytes_text(uint64_t bytes) {
  static constexpr const char* units[] = {"bytes", "KB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit ? "%.1f %s" : "%.0f %s", value, units[unit]);
  return text;
}

std::string clock_prefix() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  char text[16] = "";
  if (localtime_r(&now, &tm)) std::strftime(text, sizeof text, "%H:%M:%S ", &tm);
  return text;
}

std::string id_of(IScheduleItem* item) {
  GUID id{};
  item->get_Id(&id);
  return comrt::to_utf8(comrt::to_u16string(id));
}

std::string quoted_name(IScheduleItem* item) {
  comrt::bstr name;
  item->get_Name(name.put());
  return "\"" + comrt::to_utf8(name.view()) + "\"";
}

uint64_t last_run_of(IScheduleItem* item) {
  FILETIME t{};
  item->get_LastRunTime(&t);
  return comrt::to_ticks(t);
}

// The run in progress on this thread: an item runs its actions on the thread that runs it.
struct run_on_thread {
  GUID item{};
  std::string name;
  int queued = 0;
  std::string outcome;
};
thread_local run_on_thread t_run;

}  // namespace

// ---------------------------------------------------------------------------------------------

console::console(std::FILE* out) : out_(out), terminal_(::isatty(::fileno(out)) == 1) {}

void console::clear_bar() {
  if (bar_shown_) std::fputs("\r\033[K", out_);
  bar_shown_ = false;
  last_bar_.clear();
}

void console::line(const std::string& text) {
  comrt::lock_guard guard(mutex_);
  clear_bar();
  std::fprintf(out_, "%s%s\n", clock_prefix().c_str(), text.c_str());
  std::fflush(out_);
}

void console::progress(const host::transfer_progress& p) {
  comrt::lock_guard guard(mutex_);
  if (!terminal_) {
    // A line per file, when the file starts.
    const bool starts = !p.file.empty() && p.file != last_bar_;
    last_bar_ = p.file;
    if (starts) {
      std::fprintf(out_, "%s  [%zu/%zu] %s\n", clock_prefix().c_str(), p.files_done + 1, p.files_total, p.file.c_str());
      std::fflush(out_);
    }
    return;
  }
  constexpr int width = 30;
  const int filled = p.bytes_total ? static_cast<int>(width * p.bytes_done / p.bytes_total) : width;
  const std::string bar = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "] " +
                          std::to_string(p.bytes_total ? 100 * p.bytes_done / p.bytes_total : 100) + "%  " +
                          std::to_string(p.files_done) + "/" + std::to_string(p.files_total) + " files  " + p.file;
  if (bar == last_bar_) return;
  std::fprintf(out_, "\r\033[K%s%s", clock_prefix().c_str(), bar.c_str());
  std::fflush(out_);
  bar_shown_ = true;
  last_bar_ = bar;
}

void console::end_progress() {
  comrt::lock_guard guard(mutex_);
  clear_bar();
  std::fflush(out_);
}

// ---------------------------------------------------------------------------------------------

com_ptr<run_monitor> run_monitor::create(console& out) {
  auto monitor = comrt::make<run_monitor>(out);
  monitor->queue_ = host::CTransferQueue::create(monitor.get());
  return monitor;
}

void run_monitor::watch(IScheduleItems* items) {
  com_ptr<IConnectionPoint> point;
  comrt::check_hresult(comrt::query<IConnectionPointContainer>(items)->FindConnectionPoint(IID_IScheduleItemsEvents,
                                                                                          point.put()));
  DWORD cookie = 0;
  comrt::check_hresult(point->Advise(static_cast<IScheduleItemsEvents*>(this), &cookie));
  com_ptr<IEnumScheduleItem> walk;
  comrt::check_hresult(items->get_NewEnum(walk.put()));
  comrt::lock_guard guard(mutex_);
  items_ = items;
  cookie_ = cookie;
  for (com_ptr<IScheduleItem> item; walk->Next(1, item.put(), nullptr) == S_OK;)
    states_[id_of(item.get())].last_run = last_run_of(item.get());
}

void run_monitor::unwatch() {
  com_ptr<IScheduleItems> items;
  DWORD cookie = 0;
  {
    comrt::lock_guard guard(mutex_);
    items.swap(items_);
    cookie = std::exchange(cookie_, 0);
  }
  com_ptr<IConnectionPoint> point;
  if (items && SUCCEEDED(comrt::query<IConnectionPointContainer>(items.get())
                             ->FindConnectionPoint(IID_IScheduleItemsEvents, point.put()))) {
    point->Unadvise(cookie);
  }
}

void run_monitor::stop() {
  if (queue_) queue_->stop();
}

std::string run_monitor::last_outcome() { return t_run.outcome; }

HRESULT run_monitor::OnAddItem(IScheduleItem* pItem) {
  return comrt::boundary([&] {
    comrt::lock_guard guard(mutex_);
    states_[id_of(pItem)].last_run = last_run_of(pItem);
  });
}

HRESULT run_monitor::OnUpdateItem(IScheduleItem* pItem) {
  return comrt::boundary([&] {
    if (held_ticks::holds(pItem)) return;
    const uint64_t last_run = last_run_of(pItem);
    HRESULT result = S_OK;
    pItem->get_LastTaskResult(&result);
    bool starts = false, ends = false;
    {
      comrt::lock_guard guard(mutex_);
      item_state& state = states_[id_of(pItem)];
      starts = last_run != state.last_run;
      ends = !starts && state.running && state.runner == std::this_thread::get_id();
      state.last_run = last_run;
      if (starts || ends) state.running = starts;
      if (starts) state.runner = std::this_thread::get_id();
      if (ends && FAILED(state.pending)) result = std::exchange(state.pending, S_OK);
    }
    const std::string name = quoted_name(pItem);
    if (starts) {
      // Sent before the item's actions run (its run has just been stamped), on the running thread.
      t_run = {};
      pItem->get_Id(&t_run.item);
      t_run.name = name;
      out_.line(name + " is due");
    } else if (ends) {
      // Sent after the actions and the triggers' step.
      if (FAILED(result)) {
        pItem->put_LastTaskResult(result);  // a transfer that failed while the item still ran
        t_run.outcome = name + ": " + status_words(result);
      } else {
        t_run.outcome = t_run.queued ? name + ": copy queued" : name + ": nothing changed since the last copy";
      }
      if (FAILED(result) || !t_run.queued) out_.line(t_run.outcome);
    }
  });
}

HRESULT run_monitor::insert(ITransferQueueItem* item, bool at_head) {
  return comrt::boundary([&]() -> HRESULT {
    com_ptr<host::CTransferQueueItem> transfer(host::host_object<host::CTransferQueueItem>(item));
    if (!transfer) return E_INVALIDARG;
    // The item whose run queues this transfer: the one that started last on this thread.
    com_ptr<IScheduleItem> owner;
    std::string name = t_run.name.empty() ? std::string("a transfer") : t_run.name;
    if (const auto items = watched(); items && !t_run.name.empty()) items->FindItemById(&t_run.item, owner.put());
    const auto definition = transfer->definition();
    const auto only = transfer->only_files();
    std::string what = only ? std::to_string(only->size()) + (only->size() == 1 ? " changed file" : " changed files")
                            : std::string("everything");
    out_.line(name + ": copy " + what + " of " + definition.source + " to " + definition.destination);
    {
      comrt::lock_guard guard(mutex_);
      owners_[transfer.get()] = {owner, name};
    }
    const HRESULT hr = at_head ? queue_->InsertHead(item) : queue_->InsertTail(item);
    if (FAILED(hr)) {
      comrt::lock_guard guard(mutex_);
      owners_.erase(transfer.get());
    } else {
      ++t_run.queued;
    }
    return hr;
  });
}

com_ptr<IScheduleItems> run_monitor::watched() {
  comrt::lock_guard guard(mutex_);
  return items_;
}

std::string run_monitor::owner_name(host::CTransferQueueItem& transfer) {
  comrt::lock_guard guard(mutex_);
  auto it = owners_.find(&transfer);
  return it == owners_.end() ? std::string("a transfer") : it->second.name;
}

void run_monitor::transfer_started(host::CTransferQueueItem&) {
  last_progress_ = {};
  started_ = std::chrono::steady_clock::now();
}

void run_monitor::transfer_progress(host::CTransferQueueItem& transfer, const host::transfer_progress& progress) {
  if (last_progress_.files_total == 0 && last_progress_.file.empty()) {
    out_.line(owner_name(transfer) + ": copying " + std::to_string(progress.files_total) +
              (progress.files_total == 1 ? " file (" : " files (") + bytes_text(progress.bytes_total) + ")");
  }
  last_progress_ = progress;
  out_.progress(progress);
}

void run_monitor::transfer_finished(host::CTransferQueueItem& transfer, HRESULT result) {
  transfer_owner owner;
  {
    comrt::lock_guard guard(mutex_);
    if (auto it = owners_.find(&transfer); it != owners_.end()) {
      owner = std::move(it->second);
      owners_.erase(it);
    }
    // The item's last result becomes the copy's own; an item still running takes it at its end.
    if (owner.item && FAILED(result)) {
      item_state& state = states_[id_of(owner.item.get())];
      if (state.running) {
        state.pending = result;
        owner.item = nullptr;
      }
    }
  }
  if (owner.item && FAILED(result)) {
    owner.item->put_LastTaskResult(result);
    if (const auto items = watched()) items->put_Dirty(VARIANT_TRUE);
  }
  out_.end_progress();
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, "%.2f s", seconds);
  const std::string name = owner.name.empty() ? std::string("a transfer") : owner.name;
  if (SUCCEEDED(result)) {
    out_.line(name + ": copied " + std::to_string(last_progress_.files_done) +
              (last_progress_.files_done == 1 ? " file (" : " files (") + bytes_text(last_progress_.bytes_done) + ") in " +
              elapsed);
  } else {
    out_.line(name + ": copy " + (result == E_ABORT ? std::string("cancelled") : "failed: " + status_words(result)));
  }
}

}  // namespace tolvane::cli
