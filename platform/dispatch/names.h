// Comparison of member and parameter names as automation clients expect it.
#pragma once

#include <string_view>

namespace comrt::dispatch_detail {

// Names match without regard to case. Automation names are identifiers, so folding the ASCII
// letters is enough; other characters must match exactly.
inline bool same_name(std::u16string_view a, std::u16string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i];
    char16_t y = b[i];
    if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x - u'A' + u'a');
    if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y - u'A' + u'a');
    if (x != y) return false;
  }
  return true;
}

}  // namespace comrt::dispatch_detail
