// Text helpers of RINEX header and epoch fields: blanks trimmed on both sides, and unsigned
// integer fields read strictly (prep's RINEX 2 reading uses them too).
#pragma once

#include <string_view>

namespace obsq::rinex3 {

inline std::string_view trim(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// A non-negative integer token of at most 9 digits, -1 otherwise.
inline long number(std::string_view t) {
  if (t.empty() || t.size() > 9) return -1;
  long v = 0;
  for (char c : t) {
    if (c < '0' || c > '9') return -1;
    v = v * 10 + (c - '0');
  }
  return v;
}

}  // namespace obsq::rinex3
