// What the program shows a user: statuses as words, times in local time, and items as text or JSON.
// Every listing of items goes through view_of and write_items.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <comrt/types.h>

#include "Scheduler.h"

namespace tolvane::cli {

// "succeeded", "cancelled", "permission denied (0x80070005)", ...
std::string status_words(HRESULT hr);

// "2026-12-06 14:30:05" in local time; with "T" and the zone's offset for scripts.
std::string local_time_text(int64_t unix_time);
std::string iso_time_text(int64_t unix_time);
// "4 s", "2 min 5 s", "3 h 10 min", "2 d 4 h".
std::string duration_text(int64_t seconds);

// The Unix time of a time trigger's stored time (Unix time, or local wall-clock seconds when the
// trigger keeps local time).
std::optional<int64_t> instant_of(uint64_t stored, bool utc);
// The pending next occurrence of a time trigger as Unix time; none when it will not fire again.
std::optional<int64_t> next_occurrence(IScheduleScheduleTrigger* trigger);

struct trigger_view {
  std::string kind;  // at, every, daily, weekly, monthly, on-change, at-start (as the add options)
  std::string text;  // the component's own description, in the user's language
  std::string path;  // on-change
  std::optional<int64_t> next;
};

struct copy_view {
  std::string source, destination;
  bool only_changes = false, after_previous = false, head = false;
};

struct item_view {
  std::string id, name;
  bool enabled = true;
  std::vector<trigger_view> triggers;
  std::vector<copy_view> copies;
  std::optional<int64_t> next_run;  // none when disabled or nothing is pending
  std::optional<int64_t> last_run;
  HRESULT last_result = S_OK;
};

item_view view_of(IScheduleItem* item);
trigger_view view_of(IScheduleTrigger* trigger);
// "/home/me/photos -> sftp://backup/photos (only changes)".
std::string describe(const copy_view& copy);
// JSON text of a string, quotes included.
std::string json_string(std::string_view text);

void write_items(std::ostream& out, const std::vector<item_view>& items, const std::string& schedule, bool json);

}  // namespace tolvane::cli
