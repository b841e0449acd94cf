#include "host/scheduler/schedule.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <comrt/combase.h>
#include <comrt/event.h>
#include <comrt/guid.h>
#include <comrt/oleauto.h>
#include <comrt/strings.h>
#include <comrt/time.h>
#include <comrt/variant.h>

#include "host/queue/transfer_item.h"
#include "host/scheduler/component.h"
#include "host/scheduler/report.h"

namespace tolvane::cli {

namespace fs = std::filesystem;
using comrt::com_ptr;

std::string config_folder() {
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config) return std::string(config) + "/tolvane";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.config/tolvane";
}

std::string schedule_path(const arguments& args) {
  std::error_code ec;
  if (args.has("--schedule")) {
    const fs::path file = args.value("--schedule");
    if (!fs::is_directory(file.parent_path(), ec)) {
      throw failure{exit_usage, "no such folder: " + file.parent_path().string() + " (the folder of --schedule must exist)"};
    }
    return file.string();
  }
  const fs::path folder = fs::absolute(config_folder()).lexically_normal();
  fs::create_directories(folder, ec);
  if (ec) throw failure{exit_schedule, "cannot create " + folder.string() + ": " + ec.message()};
  return (folder / "schedule.xml").string();
}

// ---------------------------------------------------------------------------------------------

namespace {
// The id of the item that holds a scheduler's thread.
constexpr GUID kHoldItemId{0x6A1C3E0B, 0x42D7, 0x4C55, {0x9B, 0x13, 0x5E, 0x0D, 0x77, 0xA4, 0x2F, 0x81}};
}

class held_ticks::hold_action final : public comrt::implements<hold_action, IScheduleAction, comrt::free_threaded> {
 public:
  HRESULT STDMETHODCALLTYPE Run(IUnknown*) override {
    entered.set();
    released.wait();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IScheduleAction**) override { return E_NOTIMPL; }

  comrt::event entered{comrt::event_reset::manual};
  comrt::event released{comrt::event_reset::manual};
};

held_ticks::held_ticks(IScheduler* scheduler)
    : scheduler_(scheduler), action_(comrt::make<hold_action>()),
      item_(component::create<IScheduleItem>(CLSID_ScheduleItem)) {
  com_ptr<IScheduleActions> actions;
  comrt::check_hresult(item_->put_Id(kHoldItemId));
  comrt::check_hresult(item_->put_Save(VARIANT_FALSE));
  comrt::check_hresult(item_->put_ScheduleRun(VARIANT_TRUE));
  comrt::check_hresult(item_->get_Actions(actions.put()));
  comrt::check_hresult(actions->Add(action_.get()));
  comrt::check_hresult(scheduler_->AddItem(item_.get()));
  if (!action_->entered.wait(std::chrono::minutes(1))) {
    scheduler_->RemoveItem(item_.get());
    action_->released.set();
    throw failure{exit_failed, "the scheduler's thread does not answer"};
  }
}

held_ticks::~held_ticks() {
  scheduler_->RemoveItem(item_.get());  // fails when a Load has replaced the collection meanwhile
  action_->released.set();
}

bool held_ticks::holds(IScheduleItem* item) {
  GUID id{};
  return item && SUCCEEDED(item->get_Id(&id)) && id == kHoldItemId;
}

// ---------------------------------------------------------------------------------------------

namespace {

// The description of the error information the failing call left on this thread.
std::string error_description() {
  com_ptr<IErrorInfo> info;
  comrt::bstr text;
  if (GetErrorInfo(0, info.put()) != S_OK || !info || FAILED(info->GetDescription(text.put()))) return {};
  return comrt::to_utf8(text.view());
}

}  // namespace

void load_schedule(IScheduler* scheduler, const std::string& path) {
  const HRESULT hr = scheduler->Load(comrt::bstr(comrt::to_utf16(path)).get());
  if (FAILED(hr)) {
    std::string reason = error_description();
    if (reason.empty()) reason = "the schedule file " + path + " cannot be read: " + status_words(hr);
    throw failure{exit_schedule, reason + " (fix or move the file; nothing in it has been changed)"};
  }
}

void save_schedule(IScheduler* scheduler) {
  const HRESULT hr = scheduler->Save();
  if (FAILED(hr)) {
    const std::string reason = error_description();
    throw failure{exit_schedule, (reason.empty() ? "the schedule file cannot be written" : reason) + ": " + status_words(hr)};
  }
}

std::vector<com_ptr<IScheduleItem>> items_of(IScheduler* scheduler) {
  std::vector<com_ptr<IScheduleItem>> result;
  com_ptr<IScheduleItems> items;
  com_ptr<IEnumScheduleItem> walk;
  comrt::check_hresult(scheduler->get_Items(items.put()));
  comrt::check_hresult(items->get_NewEnum(walk.put()));
  for (com_ptr<IScheduleItem> item; walk->Next(1, item.put(), nullptr) == S_OK;) {
    if (!held_ticks::holds(item.get())) result.push_back(item);
  }
  return result;
}

com_ptr<IScheduleItem> find_item(IScheduler* scheduler, const std::string& name_or_id) {
  std::vector<com_ptr<IScheduleItem>> named, with_id;
  const auto wanted = comrt::parse_guid(comrt::to_utf16(name_or_id.starts_with('{') ? name_or_id : "{" + name_or_id + "}"));
  for (const auto& item : items_of(scheduler)) {
    comrt::bstr name;
    GUID id{};
    if (SUCCEEDED(item->get_Name(name.put())) && comrt::to_utf8(name.view()) == name_or_id) named.push_back(item);
    if (wanted && SUCCEEDED(item->get_Id(&id)) && id == *wanted) with_id.push_back(item);
  }
  if (named.size() > 1) throw failure{exit_no_item, "several items are named \"" + name_or_id + "\": name one by its id"};
  if (!named.empty()) return named.front();
  if (!with_id.empty()) return with_id.front();
  throw failure{exit_no_item, "no item named \"" + name_or_id + "\" (tolvane-scheduler list shows the items)"};
}

// ---------------------------------------------------------------------------------------------
// Times and durations

int64_t parse_duration(std::string_view text, std::string_view what) {
  const auto bad = [&] {
    return failure{exit_usage, "bad " + std::string(what) + " \"" + std::string(text) +
                                   "\": give seconds or a duration such as 30s, 5m, 2h, 1d or 1h30m"};
  };
  int64_t total = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    int64_t number = 0;
    const std::size_t digits = i;
    while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && number < 1'000'000'000)
      number = number * 10 + (text[i++] - '0');
    if (i == digits) throw bad();
    int64_t unit = 1;
    if (i < text.size()) {
      switch (text[i++]) {
        case 's': unit = 1; break;
        case 'm': unit = 60; break;
        case 'h': unit = 3600; break;
        case 'd': unit = 86400; break;
        case 'w': unit = 7 * 86400; break;
        default: throw bad();
      }
    } else if (digits != 0) {
      throw bad();  // "1h30": a unit for every number after the first
    }
    total += number * unit;
    if (total > 0x7FFFFFFF) throw bad();
  }
  if (total <= 0) throw bad();
  return total;
}

namespace {

failure bad_time(std::string_view text, std::string_view expected) {
  return failure{exit_usage, "bad time \"" + std::string(text) + "\": " + std::string(expected)};
}

// Seconds since midnight of "HH:MM" or "HH:MM:SS".
std::optional<int> time_of_day(std::string_view text) {
  int h = -1, m = -1, s = 0, used = 0;
  const std::string t(text);
  if (std::sscanf(t.c_str(), "%2d:%2d:%2d%n", &h, &m, &s, &used) != 3 &&
      std::sscanf(t.c_str(), "%2d:%2d%n", &h, &m, &used) != 2) {
    return std::nullopt;
  }
  if (static_cast<std::size_t>(used) != t.size() || h < 0 || h > 23 || m < 0 || m > 59 || s < 0 || s > 59) {
    return std::nullopt;
  }
  return h * 3600 + m * 60 + s;
}

// Unix time of a local date and time; none for a date that does not exist (30 February).
std::optional<int64_t> local_instant(int year, int month, int day, int seconds) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(year);
  st.wMonth = static_cast<WORD>(month);
  st.wDay = static_cast<WORD>(day);
  st.wHour = static_cast<WORD>(seconds / 3600);
  st.wMinute = static_cast<WORD>(seconds / 60 % 60);
  st.wSecond = static_cast<WORD>(seconds % 60);
  const auto t = comrt::mktime64(st);
  const auto back = t ? comrt::localtime64(*t) : std::nullopt;
  if (!back || back->wDay != day || back->wMonth != month) return std::nullopt;
  return t;
}

constexpr const char* kAtForms = "give HH:MM, YYYY-MM-DD HH:MM or +DURATION (for example +10m)";

int64_t parse_at(std::string_view text, int64_t now) {
  if (text.starts_with('+')) return now + parse_duration(text.substr(1), "time");
  std::string t(text);
  std::replace(t.begin(), t.end(), 'T', ' ');
  const auto space = t.find(' ');
  const auto seconds = time_of_day(space == std::string::npos ? t : t.substr(space + 1));
  if (!seconds) throw bad_time(text, kAtForms);
  std::optional<int64_t> at;
  if (space == std::string::npos) {  // today, or tomorrow when that time has passed
    const auto today = comrt::localtime64(now);
    at = today ? local_instant(today->wYear, today->wMonth, today->wDay, *seconds) : std::nullopt;
    if (at && *at <= now) at = local_instant(today->wYear, today->wMonth, today->wDay + 1, *seconds);
  } else {
    int y = 0, mo = 0, d = 0, used = 0;
    if (std::sscanf(t.c_str(), "%4d-%2d-%2d%n", &y, &mo, &d, &used) != 3 || static_cast<std::size_t>(used) != space)
      throw bad_time(text, kAtForms);
    at = local_instant(y, mo, d, *seconds);
  }
  if (!at) throw bad_time(text, "no such date");
  if (*at <= now) throw bad_time(text, "that time has passed");
  return *at;
}

// "mon,fri@18:00" -> week mask and the local wall-clock start today.
std::pair<int32_t, int> parse_days_at(std::string_view text, bool monthly) {
  const auto at = text.find('@');
  const auto seconds = at == std::string_view::npos ? std::nullopt : time_of_day(text.substr(at + 1));
  const char* forms = monthly ? "give DAY@HH:MM, for example 1@06:00" : "give DAYS@HH:MM, for example mon,fri@18:00";
  if (!seconds) throw bad_time(text, forms);
  std::string days(text.substr(0, at));
  if (monthly) {
    int day = 0, used = 0;
    if (std::sscanf(days.c_str(), "%2d%n", &day, &used) != 1 || static_cast<std::size_t>(used) != days.size() || day < 1 ||
        day > 31)
      throw bad_time(text, forms);
    return {day, *seconds};
  }
  static constexpr const char* names[] = {"sunday", "monday", "tuesday", "wednesday", "thursday", "friday", "saturday"};
  int32_t mask = 0;
  std::transform(days.begin(), days.end(), days.begin(), [](unsigned char c) { return std::tolower(c); });
  for (std::size_t start = 0; start <= days.size();) {
    const std::size_t comma = std::min(days.find(',', start), days.size());
    const std::string day = days.substr(start, comma - start);
    const auto found = std::find_if(std::begin(names), std::end(names), [&](const char* n) {
      return day.size() >= 3 && std::string_view(n).starts_with(day);
    });
    if (found == std::end(names)) throw bad_time(text, std::string("unknown day \"") + day + "\"; " + forms);
    mask |= 1 << (found - std::begin(names));
    start = comma + 1;
  }
  return {mask, *seconds};
}

trigger_plan parse_trigger(const std::string& option, const std::vector<std::string>& values, int64_t now) {
  trigger_plan t;
  t.kind = option.substr(2);
  const int64_t wall_today = *comrt::local_wallclock_from_unix(now) / 86400 * 86400;
  if (t.kind == "at") {
    t.start = parse_at(values[0], now);
  } else if (t.kind == "every") {
    t.start = now;
    t.interval = parse_duration(values[0], "interval");
  } else if (t.kind == "daily") {
    const auto seconds = time_of_day(values[0]);
    if (!seconds) throw bad_time(values[0], "give HH:MM, for example 18:00");
    t.utc = false;  // the same wall-clock time every day, whatever daylight saving does
    t.start = wall_today + *seconds;
  } else if (t.kind == "weekly") {
    const auto [mask, seconds] = parse_days_at(values[0], false);
    t.utc = false;
    t.start = wall_today + seconds;
    t.week_mask = mask;
  } else if (t.kind == "monthly") {
    const auto [day, seconds] = parse_days_at(values[0], true);
    const auto today = comrt::localtime64(now);
    // The first month from this one that has the day.
    for (int ahead = 0; ahead < 12 && today && t.start == 0; ++ahead) {
      const int month = today->wMonth - 1 + ahead;
      t.start = local_instant(today->wYear + month / 12, month % 12 + 1, day, seconds).value_or(0);
    }
  } else if (t.kind == "on-change") {
    std::error_code ec;
    if (!fs::exists(values[0], ec)) throw failure{exit_usage, "no such file or folder to watch: " + values[0]};
    t.path = values[0];
  }
  return t;
}

}  // namespace

item_plan parse_item_plan(const arguments& args) {
  if (args.operands.size() != 1) throw failure{exit_usage, "add takes one NAME (quote a name with spaces)"};
  item_plan plan;
  plan.name = args.operands[0];
  if (plan.name.empty()) throw failure{exit_usage, "an item needs a name"};
  const int64_t now = comrt::now_unix();
  for (const auto& [option, values] : args.options) {
    if (option == "--copy") {
      plan.source = values[0];
      plan.destination = values[1];
    } else if (option == "--only-changes") {
      plan.only_changes = true;
    } else if (option == "--after-previous") {
      plan.after_previous = true;
    } else if (option == "--head") {
      plan.head = true;
    } else if (option == "--disabled") {
      plan.enabled = false;
    } else if (option != "--schedule") {
      plan.triggers.push_back(parse_trigger(option, values, now));
    }
  }
  if (plan.triggers.empty())
    throw failure{exit_usage, "say when it runs: --at, --every, --daily, --weekly, --monthly, --on-change or --at-start"};
  if (plan.source.empty()) throw failure{exit_usage, "say what it copies: --copy SOURCE DESTINATION"};
  std::error_code ec;
  if (!fs::exists(plan.source, ec)) throw failure{exit_usage, "no such file or folder to copy: " + plan.source};
  plan.folder = fs::is_directory(plan.source, ec);
  if (const auto scheme = plan.destination.find("://"); scheme != std::string::npos) {
    const std::string name = plan.destination.substr(0, scheme);
    if (name != "sftp" && name != "ftp" && name != "ftps" && name != "file")
      throw failure{exit_usage, "cannot copy to " + name + ":// (use a folder, sftp://, ftp://, ftps:// or file://)"};
  } else if (plan.folder && (plan.destination + "/").starts_with(plan.source + "/")) {
    throw failure{exit_usage, "the destination " + plan.destination + " lies inside the folder it copies"};
  }
  return plan;
}

com_ptr<IScheduleItem> make_item(const item_plan& plan) {
  using comrt::check_hresult;
  auto item = component::create<IScheduleItem>(CLSID_ScheduleItem);
  check_hresult(item->put_Name(comrt::bstr(comrt::to_utf16(plan.name)).get()));
  check_hresult(item->put_Enable(plan.enabled ? VARIANT_TRUE : VARIANT_FALSE));
  com_ptr<IScheduleTriggers> triggers;
  check_hresult(item->get_Triggers(triggers.put()));
  for (const trigger_plan& t : plan.triggers) {
    com_ptr<IScheduleTrigger> trigger;
    if (t.kind == "on-change") {
      auto monitor = component::create<IScheduleMonitorTrigger>(CLSID_ScheduleMonitorTrigger);
      check_hresult(monitor->put_Path(comrt::bstr(comrt::to_utf16(t.path)).get()));
      trigger = monitor;
    } else if (t.kind == "at-start") {
      trigger = component::create<IScheduleInstantiationTrigger>(CLSID_ScheduleInstantiationTrigger);
    } else {
      static constexpr std::string_view kinds[] = {"at", "every", "daily", "weekly", "monthly"};
      const auto recurrence = static_cast<ScheduleScheduleTriggerRecurrence>(std::find(kinds, kinds + 5, t.kind) - kinds);
      auto timed = component::create<IScheduleScheduleTrigger>(CLSID_ScheduleScheduleTrigger);
      check_hresult(timed->put_UTC(t.utc ? VARIANT_TRUE : VARIANT_FALSE));
      check_hresult(timed->put_StartTimeAsUnixTime(static_cast<ULONGLONG>(t.start)));
      check_hresult(timed->put_Recurrence(recurrence));
      check_hresult(timed->put_RecurrenceTimeInterval(static_cast<LONG>(t.interval)));
      check_hresult(timed->put_WeekMask(static_cast<ScheduleScheduleTriggerWeekMask>(t.week_mask)));
      check_hresult(timed->UpdateNextOccurrence());
      trigger = timed;
    }
    check_hresult(triggers->Add(trigger.get()));
  }
  const auto transfer = host::CTransferQueueItem::create(
      {plan.source, plan.destination, plan.folder ? TRANSFER_ITEM_KIND_FOLDER : host::TRANSFER_ITEM_KIND_FILE});
  auto action = component::create<IScheduleQueueAction>(CLSID_ScheduleQueueAction);
  check_hresult(action->put_Item(transfer->identity()));
  check_hresult(action->put_UseFolderTree(plan.only_changes ? VARIANT_TRUE : VARIANT_FALSE));
  check_hresult(action->put_DependOnPreviousItem(plan.after_previous ? VARIANT_TRUE : VARIANT_FALSE));
  check_hresult(action->put_QueueItemPosition(plan.head ? tvTransferQueueItemPositionHead : tvTransferQueueItemPositionTail));
  com_ptr<IScheduleActions> actions;
  check_hresult(item->get_Actions(actions.put()));
  check_hresult(actions->Add(action.as<IScheduleAction>().get()));
  return item;
}

item_plan example_item() {
  const char* home = std::getenv("HOME");
  const std::string base = home && *home ? home : "/tmp";
  item_plan plan;
  plan.name = "Example: back up Documents";
  plan.enabled = false;
  plan.triggers.push_back(parse_trigger("--daily", {"18:00"}, comrt::now_unix()));
  plan.source = base + "/Documents";
  plan.destination = base + "/Backups/Documents";
  plan.folder = plan.only_changes = true;
  return plan;
}

std::vector<int64_t> upcoming(IScheduleScheduleTrigger* trigger, int count) {
  std::vector<int64_t> times;
  com_ptr<IScheduleTrigger> clone;
  if (FAILED(trigger->Clone(clone.put())) || !clone) return times;
  const auto timed = clone.try_as<IScheduleScheduleTrigger>();
  struct clock_reset {
    ~clock_reset() { RtResetClock(); }
  } reset;
  while (timed && static_cast<int>(times.size()) < count) {
    const auto next = next_occurrence(timed.get());
    if (!next || (!times.empty() && *next <= times.back())) break;
    times.push_back(*next);
    // The trigger's own rule moves it on once "now" has reached the occurrence.
    RtSetClock(comrt::unix_to_ticks(*next));
    timed->Next();
  }
  return times;
}

}  // namespace tolvane::cli
