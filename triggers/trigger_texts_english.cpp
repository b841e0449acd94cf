// English texts without a locale: stands in until the texts come from the language resources.
#include <cstdio>
#include <map>

#include "triggers/trigger_texts.h"

namespace tolvane {

namespace {

std::u16string widen(const std::string& s) { return std::u16string(s.begin(), s.end()); }

void replace_all(std::u16string& text, std::u16string_view placeholder, const std::u16string& value) {
  for (size_t at = text.find(placeholder); at != std::u16string::npos;
       at = text.find(placeholder, at + value.size())) {
    text.replace(at, placeholder.size(), value);
  }
}

}  // namespace

std::u16string load_text(unsigned number) {
  static const std::map<unsigned, std::u16string> texts = {
      {164, u"Monthly"},
      {165, u"Daily"},
      {166, u"Weekly"},
      {167, u"Custom"},
      {168, u"Once"},
      {169, u"At {time} on {date}"},
      {170, u"At {time} every day"},
      {171, u"At {time} every {every}, starting {date}"},
      {172, u"At {time} on day {day} of every month"},
      {173, u"Every {every} from {time} on {date}"},
      {174, u"minutes"},
      {175, u"hours"},
      {176, u"days"},
      {177, u"weeks"},
      {178, u"months"},
      {198, u"When the file %s changes"},
      {199, u"When the folder %s changes"},
      {200, u"Folder change"},
      {201, u"Once after start"},
  };
  const auto it = texts.find(number);
  return it == texts.end() ? std::u16string() : it->second;
}

std::u16string format_text(std::u16string_view format, std::u16string_view argument) {
  std::u16string text(format);
  for (std::u16string_view conversion : {u"%ls", u"%ws", u"%s"}) {
    if (const size_t at = text.find(conversion); at != std::u16string::npos) {
      return text.replace(at, conversion.size(), argument);
    }
  }
  return text;
}

std::u16string schedule_trigger_name(LONG recurrence) {
  switch (recurrence) {
    case 0: return load_text(168);
    case 1: return load_text(167);
    case 2: return load_text(165);
    case 3: return load_text(166);
    case 4: return load_text(164);
    default: return {};
  }
}

std::u16string schedule_trigger_description(LONG recurrence, const SYSTEMTIME& start, LONG week_mask,
                                            LONGLONG interval) {
  static const char16_t* const days[] = {u"Sunday",   u"Monday", u"Tuesday", u"Wednesday",
                                         u"Thursday", u"Friday", u"Saturday"};
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02u", start.wYear, start.wMonth, start.wDay);
  const std::u16string date = widen(buffer);
  std::snprintf(buffer, sizeof buffer, "%02u:%02u", start.wHour, start.wMinute);
  const std::u16string time = widen(buffer);
  std::u16string every;
  if (recurrence == 3) {
    for (int day = 0; day < 7; ++day) {
      if (!(week_mask & (1 << day))) continue;
      if (!every.empty()) every += u", ";
      every += days[day];
    }
  } else if (recurrence == 1) {
    static const std::pair<LONGLONG, unsigned> units[] = {
        {2592000, 178}, {604800, 177}, {86400, 176}, {3600, 175}, {60, 174}};
    for (const auto& [seconds, text] : units) {
      if (const LONGLONG q = interval / seconds; q != 0) {
        every = widen(std::to_string(static_cast<unsigned>(q))) + u" " + load_text(text);
        break;
      }
    }
  }
  static const unsigned templates[] = {169, 173, 170, 171, 172};
  if (recurrence < 0 || recurrence > 4) return {};
  std::u16string text = load_text(templates[recurrence]);
  replace_all(text, u"{every}", every);
  replace_all(text, u"{time}", time);
  replace_all(text, u"{date}", date);
  replace_all(text, u"{day}", widen(std::to_string(start.wDay)));
  return text;
}

}  // namespace tolvane
