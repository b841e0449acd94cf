#include "host/scheduler/report.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include <comrt/dispatch.h>
#include <comrt/guid.h>
#include <comrt/strings.h>
#include <comrt/time.h>
#include <comrt/variant.h>

#include "host/queue/transfer_item.h"

namespace tolvane::cli {

using comrt::com_ptr;

std::string status_words(HRESULT hr) {
  if (SUCCEEDED(hr)) return "succeeded";
  std::string words;
  switch (hr) {
    case E_ABORT: words = "cancelled"; break;
    case E_FAIL: words = "failed"; break;
    case E_ACCESSDENIED: words = "permission denied"; break;
    case E_OUTOFMEMORY: words = "out of memory"; break;
    case E_INVALIDARG: words = "not a valid request"; break;
    case HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND): words = "a file or folder does not exist"; break;
    case HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND): words = "a folder on the way does not exist"; break;
    case HRESULT_FROM_WIN32(ERROR_DISK_FULL): words = "the disk is full"; break;
    case HRESULT_FROM_WIN32(ERROR_READ_FAULT): words = "a file could not be read"; break;
    case HRESULT_FROM_WIN32(ERROR_BADDB): words = "the registry file is damaged"; break;
    case host::TRANSFER_E_DEPENDENCY_FAILED: words = "not run because the copy before it failed"; break;
    case REGDB_E_CLASSNOTREG:
    case CO_E_CLASSSTRING: words = "not registered"; break;
    case CO_E_DLLNOTFOUND: words = "the library cannot be loaded"; break;
    case CO_E_ERRORINDLL: words = "not a component library"; break;
    default: {
      // The transfers keep libcurl's own code in the low bits.
      const auto code = static_cast<uint32_t>(hr) & 0xFFFF;
      if (HRESULT_FACILITY(hr) == 4 && code >= 0x300 && code < 0x400) {
        words = std::string("network: ") + curl_easy_strerror(static_cast<CURLcode>(code - 0x300));
      } else {
        words = comrt::to_utf8(comrt::standard_message(hr));
        if (!words.empty() && words.back() == '.') words.pop_back();
        if (!words.empty()) words[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(words[0])));
      }
    }
  }
  char code[16];
  std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
  return words.find(code + 2) == std::string::npos ? words + " (" + code + ")" : words;
}

namespace {

std::string format_time(int64_t unix_time, const char* format) {
  const std::time_t t = static_cast<std::time_t>(unix_time);
  std::tm tm{};
  char text[64] = "?";
  if (localtime_r(&t, &tm)) std::strftime(text, sizeof text, format, &tm);
  return text;
}

template <class E, class I>
std::vector<com_ptr<I>> elements(E* collection) {
  std::vector<com_ptr<I>> result;
  LONG count = 0;
  if (!collection || FAILED(collection->get_Count(&count))) return result;
  for (LONG i = 0; i < count; ++i) {
    com_ptr<I> element;
    if (SUCCEEDED(collection->get_Item(i, element.put())) && element) result.push_back(element);
  }
  return result;
}

std::string text_of(const comrt::bstr& text) { return comrt::to_utf8(text.view()); }

}  // namespace

std::string local_time_text(int64_t unix_time) { return format_time(unix_time, "%Y-%m-%d %H:%M:%S"); }

std::string iso_time_text(int64_t unix_time) {
  std::string text = format_time(unix_time, "%Y-%m-%dT%H:%M:%S%z");
  if (text.size() > 5) text.insert(text.size() - 2, ":");  // +0100 -> +01:00
  return text;
}

std::string duration_text(int64_t seconds) {
  struct unit {
    int64_t size;
    const char* name;
  };
  static constexpr unit units[] = {{86400, "d"}, {3600, "h"}, {60, "min"}, {1, "s"}};
  std::string text;
  int shown = 0;
  for (const unit& u : units) {
    if (seconds >= u.size && shown < 2) {
      text += (text.empty() ? "" : " ") + std::to_string(seconds / u.size) + " " + u.name;
      seconds %= u.size;
      ++shown;
    } else if (shown) {
      ++shown;  // two units next to each other at most: "2 d 4 h", not "2 d 5 s"
    }
  }
  return text.empty() ? "0 s" : text;
}

std::optional<int64_t> instant_of(uint64_t stored, bool utc) {
  const auto value = static_cast<int64_t>(stored);
  return utc ? std::optional<int64_t>(value) : comrt::unix_from_local_wallclock(value);
}

std::optional<int64_t> next_occurrence(IScheduleScheduleTrigger* trigger) {
  const auto occurrence = com_ptr<IScheduleScheduleTrigger>(trigger).try_as<IScheduleTriggerWithOccurrence>();
  VARIANT_BOOL utc = VARIANT_FALSE;
  ULONGLONG next = 0;
  if (!occurrence || occurrence->HasNextOccurrence() != S_OK || FAILED(occurrence->NextOccurrence(&next)) ||
      FAILED(trigger->get_UTC(&utc))) {
    return std::nullopt;
  }
  return instant_of(next, utc != VARIANT_FALSE);
}

trigger_view view_of(IScheduleTrigger* trigger) {
  trigger_view view;
  comrt::bstr text;
  if (SUCCEEDED(trigger->ToString(text.put()))) view.text = text_of(text);
  const com_ptr<IScheduleTrigger> t(trigger);
  if (const auto timed = t.try_as<IScheduleScheduleTrigger>()) {
    ScheduleScheduleTriggerRecurrence recurrence = tvScheduleScheduleTriggerRecurrenceNone;
    timed->get_Recurrence(&recurrence);
    static constexpr const char* kinds[] = {"at", "every", "daily", "weekly", "monthly"};
    view.kind = recurrence >= 0 && recurrence < 5 ? kinds[recurrence] : "time";
    view.next = next_occurrence(timed.get());
    LONG interval = 0;
    ULONGLONG start = 0;
    VARIANT_BOOL utc = VARIANT_FALSE;
    // The component's texts count intervals in whole minutes and longer.
    if (recurrence == tvScheduleScheduleTriggerRecurrenceCustom && SUCCEEDED(timed->get_RecurrenceTimeInterval(&interval)) &&
        interval % 60 != 0 && SUCCEEDED(timed->get_StartTimeAsUnixTime(&start)) && SUCCEEDED(timed->get_UTC(&utc))) {
      view.text = "Every " + duration_text(interval) + " from " + local_time_text(instant_of(start, utc).value_or(0));
    }
  } else if (const auto monitor = t.try_as<IScheduleMonitorTrigger>()) {
    view.kind = "on-change";
    comrt::bstr path;
    if (SUCCEEDED(monitor->get_Path(path.put()))) view.path = text_of(path);
  } else {
    view.kind = t.try_as<IScheduleInstantiationTrigger>() ? "at-start" : "other";
  }
  return view;
}

item_view view_of(IScheduleItem* item) {
  item_view view;
  GUID id{};
  comrt::bstr name;
  VARIANT_BOOL enabled = VARIANT_TRUE;
  FILETIME last_run{};
  item->get_Id(&id);
  item->get_Name(name.put());
  item->get_Enable(&enabled);
  item->get_LastRunTime(&last_run);
  item->get_LastTaskResult(&view.last_result);
  view.id = comrt::to_utf8(comrt::to_u16string(id));
  view.name = text_of(name);
  view.enabled = enabled != VARIANT_FALSE;
  if (comrt::to_ticks(last_run) != 0) view.last_run = comrt::ticks_to_unix(comrt::to_ticks(last_run));

  com_ptr<IScheduleTriggers> triggers;
  item->get_Triggers(triggers.put());
  for (const auto& trigger : elements<IScheduleTriggers, IScheduleTrigger>(triggers.get())) {
    view.triggers.push_back(view_of(trigger.get()));
    const auto& next = view.triggers.back().next;
    if (view.enabled && next && (!view.next_run || *next < *view.next_run)) view.next_run = next;
  }

  com_ptr<IScheduleActions> actions;
  item->get_Actions(actions.put());
  for (const auto& action : elements<IScheduleActions, IScheduleAction>(actions.get())) {
    const auto queue_action = action.try_as<IScheduleQueueAction>();
    if (!queue_action) continue;
    copy_view copy;
    com_ptr<IUnknown> template_item;
    queue_action->get_Item(template_item.put());
    if (auto* transfer = host::host_object<host::CTransferQueueItem>(template_item.get())) {
      const auto definition = transfer->definition();
      copy.source = definition.source;
      copy.destination = definition.destination;
    }
    VARIANT_BOOL flag = VARIANT_FALSE;
    queue_action->get_UseFolderTree(&flag);
    copy.only_changes = flag != VARIANT_FALSE;
    queue_action->get_DependOnPreviousItem(&flag);
    copy.after_previous = flag != VARIANT_FALSE;
    TransferQueueItemPosition position = tvTransferQueueItemPositionTail;
    queue_action->get_QueueItemPosition(&position);
    copy.head = position == tvTransferQueueItemPositionHead;
    view.copies.push_back(std::move(copy));
  }
  return view;
}

std::string describe(const copy_view& copy) {
  std::string options;
  for (const auto& [on, text] : {std::pair{copy.only_changes, "only changes"},
                                 std::pair{copy.after_previous, "after the previous copy"},
                                 std::pair{copy.head, "first in the queue"}}) {
    if (on) options += (options.empty() ? "" : ", ") + std::string(text);
  }
  return copy.source + " -> " + copy.destination + (options.empty() ? "" : " (" + options + ")");
}

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

namespace {

std::string json_time(const std::optional<int64_t>& t) { return t ? json_string(iso_time_text(*t)) : "null"; }
const char* json_bool(bool b) { return b ? "true" : "false"; }

void write_json(std::ostream& out, const std::vector<item_view>& items, const std::string& schedule) {
  out << "{\"schedule\": " << json_string(schedule) << ", \"items\": [";
  for (std::size_t i = 0; i < items.size(); ++i) {
    const item_view& v = items[i];
    char status[16];
    std::snprintf(status, sizeof status, "0x%08X", static_cast<unsigned>(v.last_result));
    out << (i ? ",\n  " : "\n  ") << "{\"id\": " << json_string(v.id) << ", \"name\": " << json_string(v.name)
        << ", \"enabled\": " << json_bool(v.enabled) << ", \"triggers\": [";
    for (std::size_t t = 0; t < v.triggers.size(); ++t) {
      const trigger_view& tv = v.triggers[t];
      out << (t ? ", " : "") << "{\"kind\": " << json_string(tv.kind) << ", \"text\": " << json_string(tv.text);
      if (!tv.path.empty()) out << ", \"path\": " << json_string(tv.path);
      out << "}";
    }
    out << "], \"copies\": [";
    for (std::size_t c = 0; c < v.copies.size(); ++c) {
      const copy_view& cv = v.copies[c];
      out << (c ? ", " : "") << "{\"source\": " << json_string(cv.source)
          << ", \"destination\": " << json_string(cv.destination) << ", \"only_changes\": " << json_bool(cv.only_changes)
          << ", \"after_previous\": " << json_bool(cv.after_previous) << ", \"head\": " << json_bool(cv.head) << "}";
    }
    out << "], \"next_run\": " << json_time(v.next_run) << ", \"last_run\": " << json_time(v.last_run)
        << ", \"last_result\": "
        << (v.last_run ? "{\"status\": \"" + std::string(status) + "\", \"text\": " + json_string(status_words(v.last_result)) + "}"
                       : std::string("null"))
        << "}";
  }
  out << (items.empty() ? "]}\n" : "\n]}\n");
}

void write_text(std::ostream& out, const std::vector<item_view>& items, const std::string& schedule) {
  if (items.empty()) {
    out << "No items in " << schedule << ". Add one with: tolvane-scheduler add NAME --every 1h --copy SRC DEST\n";
    return;
  }
  const int64_t now = comrt::now_unix();
  for (const item_view& v : items) {
    out << v.name << (v.enabled ? "" : "  (disabled)") << "\n";
    for (const trigger_view& t : v.triggers) out << "    when   " << (t.text.empty() ? t.kind : t.text) << "\n";
    for (const copy_view& c : v.copies) out << "    copy   " << describe(c) << "\n";
    out << "    next   ";
    if (!v.enabled) {
      out << "none while disabled\n";
    } else if (v.next_run) {
      out << local_time_text(*v.next_run)
          << (*v.next_run > now ? " (in " + duration_text(*v.next_run - now) + ")" : " (due now)") << "\n";
    } else {
      out << "on its other triggers only\n";
    }
    out << "    last   "
        << (v.last_run ? local_time_text(*v.last_run) + ", " + status_words(v.last_result) : std::string("never run"))
        << "\n    id     " << v.id << "\n";
  }
}

}  // namespace

void write_items(std::ostream& out, const std::vector<item_view>& items, const std::string& schedule, bool json) {
  if (json) {
    write_json(out, items, schedule);
  } else {
    write_text(out, items, schedule);
  }
}

}  // namespace tolvane::cli
