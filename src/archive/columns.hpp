// Column helpers of the compact RINEX decoders: labels, trimmed text, integer columns, and the
// writer of fixed-point fields in the reference decoder's spelling.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
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
  if (decimals == 3) {
    // The observation fields: blanked first, the digits written over the blanks. Of a width
    // known where the call is inlined, that is two stores; a padding loop after the digits
    // became a call of memset for every field.
    std::memset(end - width, ' ', static_cast<size_t>(width));
    // The fraction and each four digits of the whole part come from their own division, so
    // the divisions overlap instead of waiting on each other.
    uint64_t whole = a / 1000;
    const auto frac = static_cast<uint32_t>(a - whole * 1000);
    end[-3] = static_cast<char>('0' + frac / 100);
    std::memcpy(end - 2, kPairs + 2 * (frac % 100), 2);
    end[-4] = '.';
    char* p = end - 4;
    char* const limit = end - width + neg;
    while (whole >= 10000) {
      if (p - 4 < limit) return false;
      const auto four = static_cast<uint32_t>(whole % 10000);
      whole /= 10000;
      p -= 4;
      std::memcpy(p, kPairs + 2 * (four / 100), 2);
      std::memcpy(p + 2, kPairs + 2 * (four % 100), 2);
    }
    // At most four digits left, none when the magnitude is below 1: two at a time.
    const int digits = whole >= 1000 ? 4 : whole >= 100 ? 3 : whole >= 10 ? 2 : whole != 0;
    if (p - digits < limit) return false;
    const auto left = static_cast<uint32_t>(whole);
    if (digits >= 3) {
      p -= 2;
      std::memcpy(p, kPairs + 2 * (left % 100), 2);
    }
    const uint32_t high = digits >= 3 ? left / 100 : left;
    if (digits == 4 || digits == 2) {
      p -= 2;
      std::memcpy(p, kPairs + 2 * high, 2);
    } else if (digits != 0) {
      *--p = static_cast<char>('0' + high);
    }
    if (neg) *--p = '-';
    return true;
  }
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

// Reads the run of decimal digits at s (up to end or the first other character) into v; s ends
// after it. Eight characters are tested and converted at once while eight remain before end;
// v wraps modulo 2^64 on a run too long for it, which the caller rejects by the run's length.
inline uint64_t read_digits(const char*& s, const char* end) {
  uint64_t v = 0;
  if constexpr (std::endian::native == std::endian::little) {
    while (end - s >= 8) {
      uint64_t x;
      std::memcpy(&x, s, 8);
      // A byte is a digit when its high half is 3 and adding 6 keeps it so; a carry out of a
      // byte that is no digit only reaches the bytes after it, which are not looked at.
      const uint64_t other =
          ((x & 0xF0F0F0F0F0F0F0F0) ^ 0x3030303030303030) |
          (((x + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) ^ 0x3030303030303030);
      const int n = other == 0 ? 8 : std::countr_zero(other) / 8;
      if (n == 0) return v;
      // The digits' values, the first in the lowest byte, moved up so zeros lead.
      uint64_t d = (x - 0x3030303030303030) << (8 * (8 - n));
      d = d * 10 + (d >> 8);
      d = (((d & 0x000000FF000000FF) * (100 + (1000000ULL << 32))) +
           (((d >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32)))) >>
          32;
      static constexpr uint64_t kPow10[9] = {1,      10,      100,      1000,     10000,
                                             100000, 1000000, 10000000, 100000000};
      v = v * kPow10[n] + d;
      s += n;
      if (n < 8) return v;
    }
  }
  while (s < end && static_cast<unsigned>(*s - '0') < 10)
    v = v * 10 + static_cast<uint64_t>(*s++ - '0');
  return v;
}

}  // namespace obsq::archive::detail
