// Time functions. All of them read one process-wide clock, which is the system clock unless a test
// has set it; the local time zone comes from TZ (re-read on every call). Functions that return
// BOOL or INT return nonzero on success; on failure they return 0 and leave their output as it was.
#pragma once

#include "comrt/types.h"

// Current UTC time (GetSystemTime, GetSystemTimeAsFileTime) and local time under the zone's rule
// in force now (GetLocalTime), with milliseconds.
COMRT_API void GetSystemTime(SYSTEMTIME* lpSystemTime);
COMRT_API void GetLocalTime(SYSTEMTIME* lpSystemTime);
COMRT_API void GetSystemTimeAsFileTime(FILETIME* lpSystemTimeAsFileTime);

// FILETIME <-> UTC calendar fields. A FILETIME must be below 2^63. Fields must form a real date and
// time in the years 1601 to 30827 (milliseconds below 1000); wDayOfWeek is ignored on input and
// computed on output.
COMRT_API BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, SYSTEMTIME* lpSystemTime);
COMRT_API BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, FILETIME* lpFileTime);

// Shift by the zone's offset from UTC in force NOW (daylight saving included), whatever the date of
// the value converted.
COMRT_API BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, FILETIME* lpLocalFileTime);
COMRT_API BOOL LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, FILETIME* lpFileTime);

// Local time of a UTC time under the rule the zone applies on that date. A null zone means the
// current zone (TZ); other zones are not supported and return FALSE.
struct TIME_ZONE_INFORMATION;
COMRT_API BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* lpTimeZoneInformation,
                                               const SYSTEMTIME* lpUniversalTime, SYSTEMTIME* lpLocalTime);

// Automation dates (days since 1899-12-30, time of day as the fraction, counted away from zero for
// negative dates) for the years 100 to 9999. Milliseconds are ignored on the way in; on the way
// out the time is rounded to whole seconds.
COMRT_API INT SystemTimeToVariantTime(SYSTEMTIME* lpSystemTime, DATE* pvtime);
COMRT_API INT VariantTimeToSystemTime(DATE vtime, SYSTEMTIME* lpSystemTime);

// Seconds since 1970-01-01 00:00:00 UTC, from the same clock, rounded down.
COMRT_API int64_t RtTime64();

// The injectable clock, thread-safe. RtSetClock fixes "now" at a FILETIME value (100 ns units since
// 1601; values from 2^63 on are clamped below it) until it is set again or RtResetClock returns to
// the system clock. RtAdvanceClock moves the fixed "now" by delta (clamped to the FILETIME range);
// while the system clock is in use, it fixes "now" at the system time plus delta.
COMRT_API void RtSetClock(uint64_t fileTime);
COMRT_API void RtAdvanceClock(int64_t delta100ns);
COMRT_API void RtResetClock();
