// The triggers' display texts from the numbered texts and the user's calendar formats.
#include "triggers/trigger_texts.h"

#include <optional>

#include "Scheduler.h"
#include "triggers/trigger_texts_icu.h"

namespace tolvane {

namespace {

// The widest padding a format may ask for; wider requests are capped there.
constexpr size_t max_field_width = 1024;

std::optional<unsigned> template_text(LONG recurrence) {
  switch (recurrence) {
    case tvScheduleScheduleTriggerRecurrenceNone: return 169;
    case tvScheduleScheduleTriggerRecurrenceDaily: return 170;
    case tvScheduleScheduleTriggerRecurrenceWeekly: return 171;
    case tvScheduleScheduleTriggerRecurrenceMonthly: return 172;
    case tvScheduleScheduleTriggerRecurrenceCustom: return 173;
    default: return std::nullopt;
  }
}

std::u16string decimal(uint32_t value) {
  const std::string digits = std::to_string(value);
  return std::u16string(digits.begin(), digits.end());
}

// Replaces every occurrence; the search goes on behind each substitute, never inside it.
void replace_placeholder(std::u16string& text, std::u16string_view placeholder, std::u16string_view value) {
  for (size_t at = text.find(placeholder); at != std::u16string::npos;
       at = text.find(placeholder, at + value.size())) {
    text.replace(at, placeholder.size(), value);
  }
}

// The names of the days set in bits 0 (Sunday) to 6 (Saturday), separated by ", ". A name that
// cannot be read adds nothing, but a separator before it still stands.
std::u16string day_list(LONG week_mask, const texts::calendar_formats& formats) {
  std::u16string list;
  for (int day = 0; day < 7; ++day) {
    if ((week_mask & (1 << day)) == 0) continue;
    if (!list.empty()) list += u", ";
    list += formats.weekday(day);
  }
  return list;
}

// The interval in its largest unit that gives a whole number, "2 hours"; the rest is dropped.
// Empty below one minute (either sign).
std::u16string interval_text(LONGLONG interval, const char* locale) {
  struct unit {
    LONGLONG seconds;
    unsigned text;
  };
  static constexpr unit units[] = {{2592000, 178}, {604800, 177}, {86400, 176}, {3600, 175}, {60, 174}};
  for (const unit& u : units) {
    if (const LONGLONG count = interval / u.seconds; count != 0) {
      return decimal(static_cast<uint32_t>(count)) + u" " + texts::lookup_text(locale, u.text);
    }
  }
  return {};
}

}  // namespace

std::u16string load_text(unsigned number) {
  return texts::lookup_text(texts::user_locale("LC_MESSAGES").c_str(), number);
}

std::u16string format_text(std::u16string_view format, std::u16string_view argument) {
  std::u16string text;
  bool argument_used = false;
  size_t at = 0;
  while (at < format.size()) {
    const size_t percent = format.find(u'%', at);
    text.append(format.substr(at, percent - at));
    if (percent == std::u16string_view::npos) break;
    size_t end = percent + 1;
    if (end < format.size() && format[end] == u'%') {
      text += u'%';
      at = end + 1;
      continue;
    }
    // %[flags][width][.precision][length]s
    bool left = false;
    for (; end < format.size() && std::u16string_view(u"-+ #0").find(format[end]) != std::u16string_view::npos; ++end) {
      left = left || format[end] == u'-';
    }
    auto number = [&] {
      size_t value = 0;
      for (; end < format.size() && format[end] >= u'0' && format[end] <= u'9'; ++end) {
        value = std::min(value * 10 + (format[end] - u'0'), max_field_width);
      }
      return value;
    };
    const size_t width = number();
    size_t precision = std::u16string_view::npos;
    if (end < format.size() && format[end] == u'.') {
      ++end;
      precision = number();
    }
    while (end < format.size() && std::u16string_view(u"hlwL").find(format[end]) != std::u16string_view::npos) ++end;
    if (end < format.size() && (format[end] == u's' || format[end] == u'S') && !argument_used) {
      const std::u16string_view value = argument.substr(0, precision);
      const size_t padding = width > value.size() ? width - value.size() : 0;
      if (!left) text.append(padding, u' ');
      text.append(value);
      if (left) text.append(padding, u' ');
      argument_used = true;
      at = end + 1;
      continue;
    }
    // A second conversion, or one that takes no string, has no argument: it stays as written.
    at = std::min(end + 1, format.size());
    text.append(format.substr(percent, at - percent));
  }
  return text;
}

std::u16string schedule_trigger_name(LONG recurrence) {
  switch (recurrence) {
    case tvScheduleScheduleTriggerRecurrenceNone: return load_text(168);
    case tvScheduleScheduleTriggerRecurrenceCustom: return load_text(167);
    case tvScheduleScheduleTriggerRecurrenceDaily: return load_text(165);
    case tvScheduleScheduleTriggerRecurrenceWeekly: return load_text(166);
    case tvScheduleScheduleTriggerRecurrenceMonthly: return load_text(164);
    default: return {};
  }
}

std::u16string schedule_trigger_description(LONG recurrence, const SYSTEMTIME& start, LONG week_mask,
                                            LONGLONG interval) {
  const std::optional<unsigned> number = template_text(recurrence);
  if (!number) return {};
  return fill_schedule_template(recurrence, load_text(*number), start, week_mask, interval);
}

std::u16string fill_schedule_template(LONG recurrence, std::u16string text, const SYSTEMTIME& start,
                                      LONG week_mask, LONGLONG interval) {
  if (!template_text(recurrence)) return {};
  const std::string messages = texts::user_locale("LC_MESSAGES");
  const texts::calendar_formats formats(texts::user_locale("LC_TIME").c_str());
  const std::u16string date = formats.short_date(start);
  const std::u16string time = formats.short_time(start);
  switch (recurrence) {
    case tvScheduleScheduleTriggerRecurrenceNone:
      replace_placeholder(text, u"{date}", date);
      replace_placeholder(text, u"{time}", time);
      break;
    case tvScheduleScheduleTriggerRecurrenceDaily:
      replace_placeholder(text, u"{time}", time);
      break;
    case tvScheduleScheduleTriggerRecurrenceWeekly:
      replace_placeholder(text, u"{every}", day_list(week_mask, formats));
      replace_placeholder(text, u"{time}", time);
      replace_placeholder(text, u"{date}", date);
      break;
    case tvScheduleScheduleTriggerRecurrenceMonthly:
      replace_placeholder(text, u"{time}", time);
      replace_placeholder(text, u"{day}", decimal(start.wDay));
      break;
    case tvScheduleScheduleTriggerRecurrenceCustom:
      replace_placeholder(text, u"{every}", interval_text(interval, messages.c_str()));
      replace_placeholder(text, u"{time}", time);
      replace_placeholder(text, u"{date}", date);
      break;
  }
  return text;
}

}  // namespace tolvane
