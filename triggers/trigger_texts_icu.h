// What the triggers' texts take from ICU: the user's locale, the component's numbered texts in it,
// and the locale's calendar formats. Independent of the C library's installed locales.
#pragma once

#include <unicode/udat.h>

#include <comrt/types.h>

#include <string>
#include <string_view>

namespace tolvane::texts {

// The ICU locale the user chose for a category ("LC_MESSAGES" for texts, "LC_TIME" for dates): the
// first of LC_ALL, the category's variable and LANG that is set and not empty. A POSIX name
// (language_TERRITORY.codeset@modifier) becomes ICU's form; C, POSIX or nothing set is en_US_POSIX.
std::string user_locale(const char* category);

// The ICU form of one POSIX locale name.
std::string icu_locale(std::string_view posix_name);

// The folder of the compiled texts, with a trailing slash: scheduler-texts beside the binary that
// holds the component. Empty when that binary cannot be found.
const std::string& bundle_directory();

// Text `number` in `locale` or the nearest language of its fallback chain, which ends in English;
// empty when no language of the chain has it.
std::u16string lookup_text(const char* locale, unsigned number);

// Short date, short time and weekday names of one locale. Calendar fields are formatted as they
// stand: they are already local, so no zone shift applies.
class calendar_formats {
 public:
  explicit calendar_formats(const char* locale);

  // A text that needs more room than a 50-unit buffer with its terminator gives is empty, as is
  // the text of fields that form no date or time.
  std::u16string short_date(const SYSTEMTIME& fields) const;
  std::u16string short_time(const SYSTEMTIME& fields) const;
  // The full name of a day of the week, 0 = Sunday; empty when it cannot be read.
  std::u16string weekday(int day) const;

 private:
  icu::LocalUDateFormatPointer date_;
  icu::LocalUDateFormatPointer time_;
};

}  // namespace tolvane::texts
