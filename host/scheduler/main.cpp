// tolvane-scheduler: runs scheduled file copies with the scheduling component, and edits the
// schedule. `run` keeps a scheduler running; the other commands work on the schedule file, or,
// while a runner runs, are sent to it so that it applies them to its live scheduler and saves.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <thread>

#include <comrt/combase.h>
#include <comrt/strings.h>
#include <comrt/time.h>
#include <comrt/variant.h>

#include "host/scheduler/commands.h"
#include "host/scheduler/component.h"
#include "host/scheduler/monitor.h"
#include "host/scheduler/report.h"
#include "host/scheduler/schedule.h"

namespace tolvane::cli {
namespace {

using comrt::com_ptr;

constexpr char kUsage[] =
    "Usage: tolvane-scheduler COMMAND [OPTIONS]\n"
    "Runs scheduled copies of files and folders: each item copies a file or folder to a folder or a\n"
    "server whenever one of its triggers says so.\n"
    "\n"
    "Commands:\n"
    "  run          run the schedule and show what happens, until stopped (Ctrl+C)\n"
    "  list         show the items, when they run next and how their last run went\n"
    "  next         show the next run times of every item\n"
    "  add          add an item\n"
    "  remove       remove an item\n"
    "  enable       let an item run by its triggers again\n"
    "  disable      keep an item from running by its triggers\n"
    "  run-now      run an item at once\n"
    "  register     register the scheduler component (machine-wide, or --user)\n"
    "  unregister   remove that registration\n"
    "\n"
    "Every command takes --help. The schedule commands take --schedule FILE (default:\n"
    "$XDG_CONFIG_HOME/tolvane/schedule.xml). While `run` runs, the other commands are sent to it, and\n"
    "it saves what they change.\n"
    "\n"
    "Exit status: 0 done, 1 failed, 2 bad command line (unknown option, bad time, missing folder),\n"
    "3 the schedule file cannot be read or written, 4 no such item, 5 the component cannot be loaded.\n";

constexpr option_rule kSchedule{"--schedule", 1, true};

// How a command reaches the schedule.
enum class reach {
  itself,        // run, register, unregister
  runner_or_file,  // sent to a runner if one runs; otherwise over the file, under the lock when it edits
  saved_file,    // the runner (if any) saves first; then over the file here
};

struct command {
  std::string_view name;
  std::string_view usage;
  std::string_view help;
  std::vector<option_rule> options;
  reach how;
  bool edits;
  std::size_t operands;  // how many operands it takes
  void (*work)(context&, const arguments&);
};

void list_items(context& c, const arguments& args) {
  std::vector<item_view> views;
  for (const auto& item : items_of(c.scheduler)) views.push_back(view_of(item.get()));
  write_items(c.out, views, c.schedule, args.has("--json"));
}

void show_next(context& c, const arguments& args) {
  const std::string count_text = args.value("--count", "5");
  int count = 0;
  if (std::sscanf(count_text.c_str(), "%d", &count) != 1 || count < 1 || count > 1000 ||
      std::to_string(count) != count_text) {
    throw failure{exit_usage, "bad count \"" + count_text + "\": give a number from 1 to 1000"};
  }
  const auto items = items_of(c.scheduler);
  if (items.empty()) c.out << "No items in " << c.schedule << ".\n";
  const int64_t now = comrt::now_unix();
  for (const auto& item : items) {
    const item_view view = view_of(item.get());
    c.out << view.name << (view.enabled ? "" : "  (disabled: it does not run)") << "\n";
    if (!view.enabled) continue;
    std::vector<int64_t> times;
    com_ptr<IScheduleTriggers> triggers;
    comrt::check_hresult(item->get_Triggers(triggers.put()));
    LONG n = 0;
    triggers->get_Count(&n);
    for (LONG i = 0; i < n; ++i) {
      com_ptr<IScheduleTrigger> trigger;
      if (FAILED(triggers->get_Item(i, trigger.put()))) continue;
      if (const auto timed = trigger.try_as<IScheduleScheduleTrigger>()) {
        const auto more = upcoming(timed.get(), count);
        times.insert(times.end(), more.begin(), more.end());
      }
    }
    std::sort(times.begin(), times.end());
    times.erase(std::unique(times.begin(), times.end()), times.end());
    if (times.size() > static_cast<std::size_t>(count)) times.resize(static_cast<std::size_t>(count));
    for (const int64_t t : times)
      c.out << "    " << local_time_text(t) << (t > now ? " (in " + duration_text(t - now) + ")" : " (due now)") << "\n";
    for (const trigger_view& t : view.triggers) {
      if (t.kind == "on-change") c.out << "    and whenever " << t.path << " changes\n";
      if (t.kind == "at-start") c.out << "    and each time the scheduler starts\n";
    }
    if (times.empty() && view.triggers.empty()) c.out << "    never: it has no trigger\n";
  }
}

std::string name_of(IScheduleItem* item) {
  comrt::bstr name;
  item->get_Name(name.put());
  return comrt::to_utf8(name.view());
}

void mark_changed(context& c) {
  com_ptr<IScheduleItems> items;
  comrt::check_hresult(c.scheduler->get_Items(items.put()));
  items->put_Dirty(VARIANT_TRUE);
  save_schedule(c.scheduler);
}

void add_item(context& c, const arguments& args) {
  const item_plan plan = parse_item_plan(args);
  for (const auto& item : items_of(c.scheduler)) {
    if (name_of(item.get()) == plan.name) {
      throw failure{exit_usage, "an item named \"" + plan.name + "\" exists already: pick another name or remove it first"};
    }
  }
  const auto item = make_item(plan);
  comrt::check_hresult(c.scheduler->AddItem(item.get()));
  save_schedule(c.scheduler);
  const item_view view = view_of(item.get());
  c.out << "added \"" << plan.name << "\""
        << (!view.enabled ? " (disabled)" : view.next_run ? ", next run " + local_time_text(*view.next_run) : std::string())
        << "\n";
}

void remove_item(context& c, const arguments& args) {
  const auto item = find_item(c.scheduler, args.operands[0]);
  comrt::check_hresult(c.scheduler->RemoveItem(item.get()));
  save_schedule(c.scheduler);
  c.out << "removed \"" << name_of(item.get()) << "\"\n";
}

void set_enabled(context& c, const arguments& args, bool enable) {
  const auto item = find_item(c.scheduler, args.operands[0]);
  comrt::check_hresult(item->put_Enable(enable ? VARIANT_TRUE : VARIANT_FALSE));
  item->Update();
  mark_changed(c);
  c.out << (enable ? "enabled \"" : "disabled \"") << name_of(item.get()) << "\"\n";
}

void run_now(context& c, const arguments& args) {
  const auto item = find_item(c.scheduler, args.operands[0]);
  com_ptr<IScheduleItems> items;
  comrt::check_hresult(c.scheduler->get_Items(items.put()));
  if (c.runner) {
    // The runner's queue takes the copy; the runner shows its progress.
    comrt::check_hresult(c.scheduler->RunItem(item.get()));
    item->Update();  // ends the run as a scheduled run ends
    mark_changed(c);
    c.out << run_monitor::last_outcome() << "\n";
    return;
  }
  // Here: a queue of this program's own, watched until the copy has finished.
  console out(stdout);
  const auto monitor = run_monitor::create(out);
  const auto site = comrt::make<host::CServiceSite>();
  site->offer(SID_TransferQueue, static_cast<ITransferQueue*>(monitor.get()));
  const auto with_site = comrt::query<IObjectWithSite>(c.scheduler);
  comrt::check_hresult(with_site->SetSite(site->identity()));
  monitor->watch(items.get());
  c.scheduler->RunItem(item.get());
  item->Update();
  monitor->queue().idle().wait();
  monitor->unwatch();
  with_site->SetSite(nullptr);
  monitor->stop();
  mark_changed(c);
  HRESULT result = S_OK;
  item->get_LastTaskResult(&result);
  if (FAILED(result)) throw failure{exit_failed, "\"" + name_of(item.get()) + "\": " + status_words(result)};
}

int registration(const arguments& args, bool unregister) {
  const std::string library = scheduler_library_path();
  const bool user = args.has("--user");
  const HRESULT hr = register_library(library, user, unregister);
  const char* scope = user ? "for the current user" : "machine-wide";
  if (FAILED(hr)) {
    const bool access = hr == E_ACCESSDENIED || hr == TYPE_E_REGISTRYACCESS;
    throw failure{exit_failed, std::string(unregister ? "unregistering " : "registering ") + library + " " + scope +
                                   " failed: " + status_words(hr) +
                                   (access && !user ? " (run as root, or use --user)" : "")};
  }
  std::printf("%s %s: %s\n", unregister ? "unregistered" : "registered", scope, library.c_str());
  return exit_ok;
}

const std::vector<command>& commands() {
  static const std::vector<command> table = {
      {"run", "run [--schedule FILE] [--duration DURATION]",
       "Runs the schedule and shows what happens as it happens: items that are due, the copies they\n"
       "queue, their progress and results. Registers the scheduler component for the current user\n"
       "when needed. A missing schedule file is created with a disabled example item. Stops on Ctrl+C\n"
       "or SIGTERM (or after DURATION: 30s, 5m, 2h), saving the schedule.\n",
       {kSchedule, {"--duration", 1}}, reach::itself, false, 0, nullptr},
      {"list", "list [--json] [--schedule FILE]",
       "Shows every item: when it runs (in the words of your language), what it copies, its next run\n"
       "and its last run with how that went. --json writes the same for scripts.\n",
       {kSchedule, {"--json", 0}}, reach::runner_or_file, false, 0, list_items},
      {"next", "next [--count N] [--schedule FILE]",
       "Shows the next N (default 5) run times of every item.\n", {kSchedule, {"--count", 1}}, reach::saved_file, false,
       0, show_next},
      {"add", "add NAME WHEN... --copy SOURCE DESTINATION [OPTIONS]",
       "Adds an item that copies SOURCE (a file or folder) to DESTINATION (a folder, or an sftp://,\n"
       "ftp://, ftps:// or file:// URL of one) whenever one of its triggers says so.\n"
       "\n"
       "When (one or more):\n"
       "  --at TIME            once: HH:MM (the next one), YYYY-MM-DD HH:MM, or +DURATION (+10m)\n"
       "  --every DURATION     again and again: 30s, 5m, 2h, 1d, 1h30m\n"
       "  --daily HH:MM        every day at that time\n"
       "  --weekly DAYS@HH:MM  on those days at that time, for example mon,wed,fri@18:00\n"
       "  --monthly DAY@HH:MM  on that day of each month, for example 1@06:00\n"
       "  --on-change PATH     whenever something changes in that file or folder\n"
       "  --at-start           once each time the scheduler starts\n"
       "Options:\n"
       "  --only-changes       for a folder: copy only what was added or changed since the previous\n"
       "                       run (a run that finds nothing changed copies nothing)\n"
       "  --after-previous     start each copy only once the item's previous copy has succeeded\n"
       "  --head               put the copy first in the transfer queue\n"
       "  --disabled           add the item disabled\n",
       {kSchedule, {"--at", 1}, {"--every", 1}, {"--daily", 1}, {"--weekly", 1}, {"--monthly", 1},
        {"--on-change", 1, true}, {"--at-start", 0}, {"--copy", 2, true}, {"--only-changes", 0},
        {"--after-previous", 0}, {"--head", 0}, {"--disabled", 0}},
       reach::runner_or_file, true, 1, add_item},
      {"remove", "remove NAME|ID [--schedule FILE]", "Removes the item.\n", {kSchedule}, reach::runner_or_file, true, 1,
       remove_item},
      {"enable", "enable NAME|ID [--schedule FILE]", "Lets the item run by its triggers again.\n", {kSchedule},
       reach::runner_or_file, true, 1, [](context& c, const arguments& a) { set_enabled(c, a, true); }},
      {"disable", "disable NAME|ID [--schedule FILE]",
       "Keeps the item from running by its triggers (run-now still runs it).\n", {kSchedule}, reach::runner_or_file,
       true, 1, [](context& c, const arguments& a) { set_enabled(c, a, false); }},
      {"run-now", "run-now NAME|ID [--schedule FILE]",
       "Runs the item at once. A running scheduler queues its copy and shows the progress; otherwise\n"
       "the copy runs here and the command ends when it has finished (exit status 1 if it failed).\n",
       {kSchedule}, reach::runner_or_file, true, 1, run_now},
      {"register", "register [--user]",
       "Registers the scheduler component so that programs can create it: machine-wide (root), or\n"
       "with --user for the current user only. `run` registers it for the user when needed.\n",
       {{"--user", 0}}, reach::itself, false, 0, nullptr},
      {"unregister", "unregister [--user]", "Removes the registration that register made.\n", {{"--user", 0}},
       reach::itself, false, 0, nullptr},
  };
  return table;
}

const command* find_command(std::string_view name) {
  for (const command& c : commands())
    if (c.name == name) return &c;
  return nullptr;
}

arguments parse_for(const command& cmd, std::span<const std::string> words) {
  arguments args = parse_arguments(words, cmd.options);
  if (!args.help && args.operands.size() != cmd.operands) {
    throw failure{exit_usage, std::string(cmd.name) + (cmd.operands ? " takes one NAME (or ID): " : " takes no operand: ") +
                                  "usage: tolvane-scheduler " + std::string(cmd.usage)};
  }
  return args;
}

// The command over the schedule file, with the scheduler's thread held: nothing runs by schedule
// while it reads or changes the items.
int work_on_file(const command& cmd, const arguments& args, const std::string& schedule) {
  component runtime(std::cerr);
  const auto scheduler = runtime.create_scheduler();
  {
    held_ticks hold(scheduler.get());
    load_schedule(scheduler.get(), schedule);
    context here{scheduler.get(), schedule, std::cout};
    struct empty_on_exit {
      IScheduler* scheduler;
      ~empty_on_exit() {
        com_ptr<IScheduleItems> items;
        if (SUCCEEDED(scheduler->get_Items(items.put()))) items->Empty();
      }
    } empty{scheduler.get()};
    cmd.work(here, args);
  }
  return exit_ok;
}

int dispatch(const command& cmd, const arguments& args) {
  if (cmd.name == "run") return run_scheduler(args);
  if (cmd.name == "register" || cmd.name == "unregister") return registration(args, cmd.name == "unregister");
  if (cmd.name == "add") parse_item_plan(args);  // bad input is refused before anything is loaded
  const std::string schedule = schedule_path(args);
  const control_paths paths = control_paths_for(schedule);
  std::vector<std::string> request{std::string(cmd.name)};
  const auto words = args.to_argv();
  request.insert(request.end(), words.begin(), words.end());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    if (cmd.how == reach::runner_or_file) {
      if (const auto answer = ask_runner(paths.socket, request)) {
        std::fputs(answer->out.c_str(), stdout);
        std::fputs(answer->err.c_str(), stderr);
        return answer->status;
      }
    } else {
      ask_runner(paths.socket, {"save"});
    }
    file_lock lock(paths.lock);
    if (!cmd.edits || lock.try_lock()) return work_on_file(cmd, args, schedule);
    // A runner is starting or stopping, or another command is changing the file: ask again.
    if (std::chrono::steady_clock::now() > deadline) {
      throw failure{exit_failed, schedule + " is in use by another tolvane-scheduler that does not answer"};
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

std::string failure_text(const std::exception_ptr& error, int& status) {
  try {
    std::rethrow_exception(error);
  } catch (const failure& f) {
    status = f.status;
    return f.message;
  } catch (const comrt::hresult_error& e) {
    status = exit_failed;
    return status_words(e.code());
  } catch (const std::exception& e) {
    status = exit_failed;
    return e.what();
  }
}

}  // namespace

reply answer_request(const std::vector<std::string>& request, context& where) {
  reply r;
  try {
    if (request.empty()) throw failure{exit_usage, "empty request"};
    if (request[0] == "save") {
      save_schedule(where.scheduler);
      return r;
    }
    const command* cmd = find_command(request[0]);
    if (!cmd || cmd->how != reach::runner_or_file) throw failure{exit_usage, "a running scheduler does not take " + request[0]};
    cmd->work(where, parse_for(*cmd, std::span(request).subspan(1)));
  } catch (...) {
    r.err = "tolvane-scheduler: " + failure_text(std::current_exception(), r.status) + "\n";
  }
  return r;
}

int main(int argc, char** argv) {
  const std::vector<std::string> words(argv + 1, argv + argc);
  if (words.empty() || words[0] == "-h" || words[0] == "--help" || words[0] == "help") {
    std::fputs(kUsage, words.empty() ? stderr : stdout);
    return words.empty() ? exit_usage : exit_ok;
  }
  const command* cmd = find_command(words[0]);
  if (!cmd) {
    std::fprintf(stderr, "tolvane-scheduler: unknown command \"%s\"\nTry 'tolvane-scheduler --help'.\n", words[0].c_str());
    return exit_usage;
  }
  int status = exit_ok;
  try {
    const arguments args = parse_for(*cmd, std::span(words).subspan(1));
    if (args.help) {
      std::printf("Usage: tolvane-scheduler %s\n%s", std::string(cmd->usage).c_str(), std::string(cmd->help).c_str());
      return exit_ok;
    }
    return dispatch(*cmd, args);
  } catch (...) {
    const std::string message = failure_text(std::current_exception(), status);
    std::fprintf(stderr, "tolvane-scheduler: %s\n", message.c_str());
    if (status == exit_usage) std::fprintf(stderr, "Try 'tolvane-scheduler %s --help'.\n", std::string(cmd->name).c_str());
  }
  return status;
}

}  // namespace tolvane::cli

int main(int argc, char** argv) { return tolvane::cli::main(argc, argv); }
