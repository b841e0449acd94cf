// The user's locale, the numbered texts and the calendar formats, all through ICU.
#include "triggers/trigger_texts_icu.h"

#include <dlfcn.h>
#include <link.h>
#include <unicode/ucal.h>
#include <unicode/uloc.h>
#include <unicode/ures.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace tolvane::texts {

namespace {

// The buffer that holds a date or a time text, terminator included.
constexpr int32_t field_capacity = 50;

constexpr const char* c_locale = "en_US_POSIX";

// Whether ICU's own data has the locale or one of its parents other than the root. For any other
// locale ICU would take its process default locale, which is not the user's choice of this call.
bool known_to_icu(const char* locale) {
  UErrorCode status = U_ZERO_ERROR;
  const icu::LocalUResourceBundlePointer bundle(ures_open(nullptr, locale, &status));
  return U_SUCCESS(status) && status != U_USING_DEFAULT_WARNING;
}

bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

bool valid_date(const SYSTEMTIME& f) {
  static constexpr int days_in_month[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (f.wYear < 1601 || f.wYear > 30827 || f.wMonth < 1 || f.wMonth > 12 || f.wDay < 1) return false;
  return f.wDay <= days_in_month[f.wMonth - 1] + (f.wMonth == 2 && is_leap(f.wYear) ? 1 : 0);
}

bool valid_time(const SYSTEMTIME& f) {
  return f.wHour < 24 && f.wMinute < 60 && f.wSecond < 60 && f.wMilliseconds < 1000;
}

// Days from 1970-01-01 to a date of the Gregorian calendar.
int64_t days_from_civil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const unsigned year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<int64_t>(day_of_era) - 719468;
}

// The fields as a UTC instant, so that a formatter in the UTC zone shows them unchanged.
UDate instant_of(const SYSTEMTIME& f) {
  const int64_t days = valid_date(f) ? days_from_civil(f.wYear, f.wMonth, f.wDay) : 0;
  const int64_t seconds = days * 86400 + (f.wHour * 60 + f.wMinute) * 60 + f.wSecond;
  return static_cast<UDate>(seconds) * U_MILLIS_PER_SECOND;
}

std::u16string format_field(const icu::LocalUDateFormatPointer& format, UDate when) {
  if (format.isNull()) return {};
  UChar buffer[field_capacity];
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = udat_format(format.getAlias(), when, buffer, field_capacity, nullptr, &status);
  // A text that fills the whole buffer leaves no room for its terminator.
  if (U_FAILURE(status) || length >= field_capacity) return {};
  return {buffer, static_cast<size_t>(length)};
}

icu::LocalUDateFormatPointer open_format(UDateFormatStyle time_style, UDateFormatStyle date_style,
                                         const char* locale) {
  UErrorCode status = U_ZERO_ERROR;
  icu::LocalUDateFormatPointer format(udat_open(time_style, date_style, locale, u"UTC", -1, nullptr, 0, &status));
  if (U_FAILURE(status)) format.adoptInstead(nullptr);
  return format;
}

}  // namespace

std::string icu_locale(std::string_view posix_name) {
  const size_t at = posix_name.find('@');
  const std::string_view modifier = at == std::string_view::npos ? std::string_view() : posix_name.substr(at + 1);
  const std::string name(posix_name.substr(0, std::min(at, posix_name.find('.'))));
  if (name.empty() || name == "C" || name == "POSIX") return c_locale;
  char canonical[ULOC_FULLNAME_CAPACITY];
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = uloc_canonicalize(name.c_str(), canonical, ULOC_FULLNAME_CAPACITY, &status);
  if (U_FAILURE(status) || length >= ULOC_FULLNAME_CAPACITY) return c_locale;
  std::string id(canonical, static_cast<size_t>(length));
  // A script modifier names the script (sr_RS@latin is sr_Latn_RS); other modifiers (euro, ...)
  // say nothing about the language.
  if (modifier == "latin" || modifier == "cyrillic") {
    id.insert(std::min(id.find('_'), id.size()), modifier == "latin" ? "_Latn" : "_Cyrl");
  }
  return id;
}

std::string user_locale(const char* category) {
  for (const char* variable : {"LC_ALL", category, "LANG"}) {
    if (const char* value = std::getenv(variable); value != nullptr && *value != '\0') return icu_locale(value);
  }
  return c_locale;
}

const std::string& bundle_directory() {
  static const std::string directory = [] {
    Dl_info info{};
    link_map* map = nullptr;
    if (dladdr1(reinterpret_cast<void*>(&bundle_directory), &info, reinterpret_cast<void**>(&map),
                RTLD_DL_LINKMAP) == 0 || map == nullptr) {
      return std::string();
    }
    // The main program's entry has an empty name; the kernel knows its file.
    std::error_code error;
    const std::filesystem::path binary =
        std::filesystem::canonical(*map->l_name != '\0' ? map->l_name : "/proc/self/exe", error);
    return error ? std::string() : (binary.parent_path() / "scheduler-texts/").string();
  }();
  return directory;
}

std::u16string lookup_text(const char* locale, unsigned number) {
  const std::string& directory = bundle_directory();
  if (directory.empty()) return {};
  UErrorCode status = U_ZERO_ERROR;
  icu::LocalUResourceBundlePointer bundle(ures_open(directory.c_str(), locale, &status));
  // When no language of the locale's chain has a file, ICU tries its process default locale before
  // the root; the user's fallback is English, which is the root.
  if (status == U_USING_DEFAULT_WARNING) {
    status = U_ZERO_ERROR;
    bundle.adoptInstead(ures_open(directory.c_str(), "root", &status));
  }
  if (U_FAILURE(status)) return {};
  const std::string key = std::to_string(number);
  int32_t length = 0;
  const UChar* text = ures_getStringByKey(bundle.getAlias(), key.c_str(), &length, &status);
  if (U_FAILURE(status) || text == nullptr) return {};
  return {text, static_cast<size_t>(length)};
}

calendar_formats::calendar_formats(const char* locale) {
  // Like the texts, a locale that ICU does not know gets English formats.
  if (!known_to_icu(locale)) locale = "en";
  date_ = open_format(UDAT_NONE, UDAT_SHORT, locale);
  time_ = open_format(UDAT_SHORT, UDAT_NONE, locale);
}

std::u16string calendar_formats::short_date(const SYSTEMTIME& fields) const {
  return valid_date(fields) ? format_field(date_, instant_of(fields)) : std::u16string();
}

std::u16string calendar_formats::short_time(const SYSTEMTIME& fields) const {
  return valid_time(fields) ? format_field(time_, instant_of(fields)) : std::u16string();
}

std::u16string calendar_formats::weekday(int day) const {
  if (date_.isNull() || day < 0 || day > 6) return {};
  const int32_t index = UCAL_SUNDAY + day;
  UErrorCode status = U_ZERO_ERROR;
  const int32_t length = udat_getSymbols(date_.getAlias(), UDAT_STANDALONE_WEEKDAYS, index, nullptr, 0, &status);
  if (U_FAILURE(status) && status != U_BUFFER_OVERFLOW_ERROR) return {};
  std::u16string name(static_cast<size_t>(length), u'\0');
  status = U_ZERO_ERROR;
  udat_getSymbols(date_.getAlias(), UDAT_STANDALONE_WEEKDAYS, index, name.data(), length, &status);
  return U_FAILURE(status) ? std::u16string() : name;
}

}  // namespace tolvane::texts
