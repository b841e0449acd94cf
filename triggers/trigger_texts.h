// The triggers' display texts: numbered texts of the component in the user's language, and the
// time trigger's name and description built from them.
//
// Texts follow LC_ALL, LC_MESSAGES and LANG at the time of the call; dates, times and weekday names
// follow LC_ALL, LC_TIME and LANG. Both go through ICU, not the C library's installed locales.
#pragma once

#include <comrt/timeapi.h>

#include <string>
#include <string_view>

namespace tolvane {

// The numbered text in the user's language at the time of the call; empty when there is none.
std::u16string load_text(unsigned number);

// A printf-style format with one string conversion, the conversion replaced by `argument`.
std::u16string format_text(std::u16string_view format, std::u16string_view argument);

// The time trigger's kind name for a recurrence value; empty for a value that names no recurrence.
std::u16string schedule_trigger_name(LONG recurrence);

// The time trigger's description: its recurrence, the local calendar fields of its start time, its
// week mask and its custom interval in seconds; empty for a value that names no recurrence.
std::u16string schedule_trigger_description(LONG recurrence, const SYSTEMTIME& start, LONG week_mask,
                                            LONGLONG interval);

// What schedule_trigger_description does with the recurrence's template: the placeholders that the
// recurrence uses replaced, in its order, every other text left as it stands.
std::u16string fill_schedule_template(LONG recurrence, std::u16string text, const SYSTEMTIME& start,
                                      LONG week_mask, LONGLONG interval);

}  // namespace tolvane
