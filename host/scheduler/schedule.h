// The schedule file and its items as the commands see them: where the file is, loading and saving
// it with reasons a user can act on, finding items, building an item from `add`'s options, and
// the next run times of a time trigger.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <comrt/object.h>

#include "Scheduler.h"
#include "host/scheduler/args.h"

namespace tolvane::cli {

// $XDG_CONFIG_HOME/tolvane, or ~/.config/tolvane.
std::string config_folder();
// --schedule, or schedule.xml in config_folder(). Creates the default folder; an explicit file
// must be in an existing folder (failure{exit_usage} otherwise).
std::string schedule_path(const arguments& args);

// Holds the scheduler's thread inside one tick while the object lives, so that no item runs by
// schedule meanwhile: the thread runs an item of its own (kept out of the schedule file) whose
// action waits. A command can then load, read, change and save the items without the thread
// running one of them in between, and a runner can subscribe before the first tick.
class held_ticks {
 public:
  // Returns once the thread is held; failure{exit_failed} when it does not come within a minute.
  explicit held_ticks(IScheduler* scheduler);
  ~held_ticks();
  held_ticks(const held_ticks&) = delete;
  held_ticks& operator=(const held_ticks&) = delete;

  // Whether `item` is the item that holds a thread.
  static bool holds(IScheduleItem* item);

 private:
  class hold_action;
  comrt::com_ptr<IScheduler> scheduler_;
  comrt::com_ptr<hold_action> action_;
  comrt::com_ptr<IScheduleItem> item_;
};

// Throw failure{exit_schedule} with the scheduler's own reason (for a file that does not parse,
// the line and column).
void load_schedule(IScheduler* scheduler, const std::string& path);
void save_schedule(IScheduler* scheduler);

// The items in the collection's order (without a holding item).
std::vector<comrt::com_ptr<IScheduleItem>> items_of(IScheduler* scheduler);
// By name, else by id; failure{exit_no_item} when there is none.
comrt::com_ptr<IScheduleItem> find_item(IScheduler* scheduler, const std::string& name_or_id);

// What `add` asks for, checked before any object is made.
struct trigger_plan {
  std::string kind;     // at, every, daily, weekly, monthly, on-change, at-start
  int64_t start = 0;    // the start time as the trigger stores it
  bool utc = true;      // false: start is local wall-clock seconds
  int64_t interval = 0;
  int32_t week_mask = 0;
  std::string path;
};
struct item_plan {
  std::string name;
  bool enabled = true;
  std::vector<trigger_plan> triggers;
  std::string source, destination;
  bool folder = false, only_changes = false, after_previous = false, head = false;
};

// Throws failure{exit_usage} for a bad time or duration, a missing folder, a missing trigger or copy.
item_plan parse_item_plan(const arguments& args);
comrt::com_ptr<IScheduleItem> make_item(const item_plan& plan);
// The item a new schedule file starts with: disabled, so that nothing happens until a user says so.
item_plan example_item();

// Seconds of "90", "90s", "5m", "2h", "1d", "1h30m"; throws failure{exit_usage} naming `what`.
int64_t parse_duration(std::string_view text, std::string_view what);

// The next `count` run times of a time trigger (Unix time), computed on a clone of it. Moves the
// runtime's clock while it works: only for a process whose scheduler is held.
std::vector<int64_t> upcoming(IScheduleScheduleTrigger* trigger, int count);

}  // namespace tolvane::cli
