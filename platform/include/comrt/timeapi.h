// Time functions. All of them read one process-wide clock, which is the system clock unless a test
// has set it; the local time zone comes from TZ.
#pragma once

#include "comrt/types.h"

COMRT_API void GetSystemTime(SYSTEMTIME* lpSystemTime);
COMRT_API void GetLocalTime(SYSTEMTIME* lpSystemTime);
COMRT_API void GetSystemTimeAsFileTime(FILETIME* lpSystemTimeAsFileTime);
COMRT_API BOOL FileTimeToSystemTime(const FILETIME* lpFileTime, SYSTEMTIME* lpSystemTime);
COMRT_API BOOL SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, FILETIME* lpFileTime);
COMRT_API BOOL FileTimeToLocalFileTime(const FILETIME* lpFileTime, FILETIME* lpLocalFileTime);
COMRT_API BOOL LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, FILETIME* lpFileTime);
struct TIME_ZONE_INFORMATION;
// A null zone means the current zone (TZ); other zones are not supported and return FALSE.
COMRT_API BOOL SystemTimeToTzSpecificLocalTime(const TIME_ZONE_INFORMATION* lpTimeZoneInformation,
                                               const SYSTEMTIME* lpUniversalTime, SYSTEMTIME* lpLocalTime);
COMRT_API INT SystemTimeToVariantTime(SYSTEMTIME* lpSystemTime, DATE* pvtime);
COMRT_API INT VariantTimeToSystemTime(DATE vtime, SYSTEMTIME* lpSystemTime);
// Seconds since 1970-01-01 00:00:00 UTC, from the same clock.
COMRT_API int64_t RtTime64();

// The injectable clock. RtSetClock fixes "now" at a FILETIME value (100 ns units since 1601) until
// RtSetClock is called again or RtResetClock returns to the system clock. Thread-safe.
COMRT_API void RtSetClock(uint64_t fileTime);
COMRT_API void RtAdvanceClock(int64_t delta100ns);
COMRT_API void RtResetClock();
