// printf-style formatting of UTF-16 text for the log.
//
// The format is UTF-16 and follows the conventions of wide-character printf on the platform the
// component's messages were written for:
//   %s %ls %ws   a UTF-16 string (const char16_t*)      %hs %S   a UTF-8 string (const char*)
//   %c %lc %wc   a UTF-16 code unit (passed as int)      %hc %C   a narrow character (passed as int)
//   %d %i %u %o %x %X   integers; the length modifier h is 16 bits, hh 8 bits, none and l 32 bits
//                       (LONG, ULONG, DWORD), ll, I64 and j 64 bits, z, t and I pointer-sized
//   %f %F %e %E %g %G %a %A   double (L: long double)    %p   a pointer          %%   a percent sign
// Flags (- + space # 0), a width and a precision (numbers or *) are accepted as in printf.
// A null string prints as "(null)".
//
// A malformed or unknown conversion (a lone % at the end, %q, ...) is copied to the output as it
// stands and consumes no argument; %n is never honoured. Widths and numeric precisions are capped
// at kMaxFieldWidth so that a stray large number cannot exhaust memory. What cannot be checked is
// that the arguments match the format: as with printf, the caller must pass what the format names.
#pragma once

#include <cstdarg>
#include <string>

namespace tolvane::diagnostics {

inline constexpr int kMaxFieldWidth = 4096;

std::u16string FormatV(const char16_t* format, va_list args);
std::u16string Format(const char16_t* format, ...);

}  // namespace tolvane::diagnostics
