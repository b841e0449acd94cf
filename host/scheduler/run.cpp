// `tolvane-scheduler run`: a scheduler over the schedule file with the host's transfer queue,
// showing what happens until a signal (or --duration) stops it; other commands reach it through
// the control socket.
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>

#include <comrt/ocidl.h>

#include "host/scheduler/commands.h"
#include "host/scheduler/component.h"
#include "host/scheduler/monitor.h"
#include "host/scheduler/report.h"
#include "host/scheduler/schedule.h"

namespace tolvane::cli {

using comrt::com_ptr;

namespace {

// Waits for SIGINT or SIGTERM (blocked in every thread, so they wait here), at most `seconds`
// when that is not 0. The signal, or 0 when the time is up.
int wait_for_stop(const sigset_t& signals, int64_t seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  for (;;) {
    int signal = 0;
    if (seconds == 0) {
      if (sigwait(&signals, &signal) == 0) return signal;
      continue;
    }
    const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return 0;
    const timespec wait{static_cast<time_t>(left.count() / 1'000'000'000), static_cast<long>(left.count() % 1'000'000'000)};
    signal = sigtimedwait(&signals, nullptr, &wait);
    if (signal > 0) return signal;
    if (errno == EAGAIN) return 0;
  }
}

}  // namespace

int run_scheduler(const arguments& args) {
  const int64_t duration = args.has("--duration") ? parse_duration(args.value("--duration"), "duration") : 0;
  const std::string schedule = schedule_path(args);
  const control_paths paths = control_paths_for(schedule);
  console out(stdout);

  // One runner per schedule file; a command changing the file finishes first.
  file_lock lock(paths.lock);
  if (!lock.try_lock()) {
    if (ask_runner(paths.socket, {"save"})) throw failure{exit_failed, "a tolvane-scheduler run is running for " + schedule};
    out.line("waiting for another tolvane-scheduler command to finish with " + schedule);
    lock.lock();
  }
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);  // before any thread starts: they all inherit it

  component runtime(std::cerr);
  const auto monitor = run_monitor::create(out);
  const auto scheduler = runtime.create_scheduler();
  const auto site = comrt::make<host::CServiceSite>();
  site->offer(SID_TransferQueue, static_cast<ITransferQueue*>(monitor.get()));
  const auto with_site = comrt::query<IObjectWithSite>(scheduler.get());
  com_ptr<IScheduleItems> items;
  {
    // Held until the site is set and the monitor follows the loaded items: no run goes unseen.
    held_ticks hold(scheduler.get());
    std::error_code ec;
    const bool create = !std::filesystem::exists(schedule, ec);
    load_schedule(scheduler.get(), schedule);
    if (create) {
      comrt::check_hresult(scheduler->AddItem(make_item(example_item()).get()));
      save_schedule(scheduler.get());
      out.line("created " + schedule + " with a disabled example item (see tolvane-scheduler list)");
    }
    comrt::check_hresult(with_site->SetSite(site->identity()));
    comrt::check_hresult(scheduler->get_Items(items.put()));
    monitor->watch(items.get());
  }

  std::optional<control_server> server;
  server.emplace(paths.socket, [&](const std::vector<std::string>& request) {
    std::ostringstream text;
    context live{scheduler.get(), schedule, text, monitor.get()};
    reply r = answer_request(request, live);
    r.out = text.str() + r.out;
    if (request.front() != "list" && request.front() != "save") {
      std::istringstream said(r.out + r.err);
      for (std::string line; std::getline(said, line);) out.line("request: " + line);
    }
    return r;
  });

  const auto present = items_of(scheduler.get());
  out.line("running " + schedule + " with " + std::to_string(present.size()) + (present.size() == 1 ? " item" : " items") +
           (duration ? " for " + duration_text(duration) : std::string()) + "; stop with Ctrl+C");
  for (const auto& item : present) {
    const item_view view = view_of(item.get());
    out.line("  \"" + view.name + "\": " +
             (!view.enabled      ? std::string("disabled")
              : view.next_run ? "next run " + local_time_text(*view.next_run)
                              : std::string("runs on its other triggers")));
  }

  const int signal = wait_for_stop(stop_signals, duration);
  out.line(signal ? std::string("stopping: ") + strsignal(signal) : "stopping: " + duration_text(duration) + " have passed");
  server.reset();  // no more requests; a command sent from now on waits for the lock and edits the file
  int status = exit_ok;
  {
    held_ticks hold(scheduler.get());
    monitor->stop();  // the copy in progress is cancelled; its item records that
    try {
      save_schedule(scheduler.get());
      out.line("saved " + schedule);
    } catch (const failure& f) {
      out.line("tolvane-scheduler: " + f.message);
      status = f.status;
    }
    monitor->unwatch();
    with_site->SetSite(nullptr);
    items->Empty();  // whatever the thread looks at before it ends, nothing runs any more
  }
  return status;
}

}  // namespace tolvane::cli
