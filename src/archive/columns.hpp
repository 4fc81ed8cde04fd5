// Column helpers of the compact RINEX decoders: labels, trimmed text, integer columns, and the
// writer of fixed-point fields in the reference decoder's spelling.
#pragma once

#include <cstdint>
#include <string_view>

namespace obsq::archive::detail {

inline bool label_is(std::string_view line, std::string_view label) {
  return line.size() >= 60 + label.size() && line.substr(60, label.size()) == label;
}

inline std::string_view trimmed(std::string_view s) {
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

// The integer of columns [from, from+w) of a line, blanks around it allowed; false when the
// columns hold anything else. Blank columns give 0.
inline bool column_int(std::string_view line, size_t from, size_t w, long& v) {
  v = 0;
  bool digits = false, after = false;
  for (size_t i = from; i < from + w && i < line.size(); ++i) {
    const char c = line[i];
    if (c == ' ') {
      after = digits;
    } else if (c >= '0' && c <= '9' && !after) {
      v = v * 10 + (c - '0');
      digits = true;
    } else {
      return false;
    }
  }
  return true;
}

// Writes |v| / 10^decimals as "[-][int].frac" right-aligned in width columns ending at end,
// with no zero before the point when the magnitude is below 1. False when it does not fit.
inline bool put_fixed(char* end, int64_t v, int width, int decimals) {
  static constexpr char kPairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  const bool neg = v < 0;
  uint64_t a = neg ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  char* p = end;
  for (int i = 0; i < decimals; ++i) {
    *--p = static_cast<char>('0' + a % 10);
    a /= 10;
  }
  *--p = '.';
  char* const limit = end - width + neg;
  while (a >= 10) {
    if (p - 2 < limit) return false;
    const char* pair = kPairs + 2 * (a % 100);
    p -= 2;
    p[0] = pair[0];
    p[1] = pair[1];
    a /= 100;
  }
  if (a != 0) {
    if (p == limit) return false;
    *--p = static_cast<char>('0' + a);
  }
  if (neg) *--p = '-';
  while (p > end - width) *--p = ' ';
  return true;
}

}  // namespace obsq::archive::detail
