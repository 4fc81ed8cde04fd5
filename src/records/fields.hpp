// Formatted text records: the field rules every record of the program is read and written by.
//
// A record is a line held in memory (a std::string_view); columns are counted from 1 and columns
// beyond the end of the record read as blanks. Readers take one field under the rules of the
// descriptors iw, fw.d and aw; writers append one field under iw, iw.m, fw.d, aw to a character
// buffer and return the new end. Failures are raised where they are met: a stop as Stop, an error
// of the record layer as RecordError; the process exit is made from them in one place (main).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace obsq {

// A fatal stop of the run: "STOP n" on the error stream, exit status n.
struct Stop {
  int code;
};

// An error of the record layer: two lines on the error stream (place, then message), exit status 2.
struct RecordError {
  std::string message;
  std::string place;  // the failing statement; left empty by field readers, filled by the caller
};

[[noreturn]] void stop(int code);
[[noreturn]] void record_error(std::string message, std::string place = {});

// Message texts of the record layer.
namespace msg {
inline constexpr std::string_view end_of_file = "End of file";
inline constexpr std::string_view bad_integer = "Bad value during integer read";
inline constexpr std::string_view integer_overflow = "Value overflowed during integer read";
inline constexpr std::string_view bad_real = "Bad value during floating point read";
inline constexpr std::string_view bad_list_integer = "Bad integer for item 1 in list input";
inline constexpr std::string_view list_integer_overflow = "Integer overflow while reading item 1";
inline constexpr std::string_view write_to_read_only = "Cannot write to file opened for READ";
std::string does_not_exist(std::string_view name);
std::string permission_denied(std::string_view name);
std::string cannot_open(std::string_view name);  // followed by ": " and the reason
// Whether a message is one of an open refused for a file that exists (permission, or another
// reason than its absence).
bool is_refused_open(std::string_view message);
}  // namespace msg

// The missing-value marker, stored for a blank observation field and written for an absent value.
inline constexpr double kMissing = 9999999999.999;
// A value counts as present when it is strictly below this bound (a NaN is never present).
inline bool present(double v) { return v < 9999999999.99; }

// ---- input fields --------------------------------------------------------------------------

// iw: integer in w columns starting at column col.
int32_t get_i(std::string_view rec, int col, int w);
// The same, without raising: false where get_i raises an error.
bool try_get_i(std::string_view rec, int col, int w, int32_t& value);
// fw.d: real in w columns starting at column col, d implied decimals.
double get_f(std::string_view rec, int col, int w, int d);
// f14.3 in its usual shape, all 14 columns present with the point in the 11th and three
// decimals ([blanks][sign]digits.ddd): the value get_f gives, faster. False for any other shape.
bool get_f14_3_usual(std::string_view rec, int col, double& v);
// True exactly where get_f14_3_usual gives a value, without computing it (inline: a read that
// keeps no values checks every field with it).
inline bool is_f14_3_usual(std::string_view rec, int col);
// aw into a target of n characters (blank-padded on the right, or the rightmost n kept).
void get_a(std::string_view rec, int col, int w, char* target, int n);
// Position of the last character that is not a blank (code 32, and only that: a tab or a zero
// byte ends the trimming), counting from 1; 0 for an empty or all-blank text.
int32_t ntrim(std::string_view text);
// True when columns col..col+w-1 are all blank (or beyond the end of the record).
bool blank_field(std::string_view rec, int col, int w);
// True when columns col..col+text.size()-1 hold exactly text.
bool has_label(std::string_view rec, int col, std::string_view text);

// Free-form (list-directed) reading of one integer from a text. Returns false when the text
// gives no value (a leading comma, semicolon or slash, or a count and star with nothing after).
bool get_list_int(std::string_view text, int32_t& value);

// ---- output fields -------------------------------------------------------------------------

// iw and iw.m: right-aligned in w columns, at least m digits; w asterisks when it does not fit.
char* put_i(char* p, int64_t v, int w, int m = 1);
// fw.d: fixed point, rounded to nearest (exact ties to even); w asterisks when it does not fit.
char* put_f(char* p, double v, int w, int d);
// f14.3, the element of the output matrices; same bytes as put_f(p, v, 14, 3), faster.
char* put_f14_3(char* p, double v);
// aw: the text in w columns, blanks before a shorter one, its first w characters of a longer one.
char* put_a(char* p, std::string_view s, int w);
// a: the text as it stands.
char* put_a(char* p, std::string_view s);
// nx: n blanks.
char* put_x(char* p, int n);

// A list-style line: one blank before the first item, one blank between items except between
// two text items in a row, integers right-aligned in 11 columns.
class ListLine {
 public:
  ListLine& operator<<(std::string_view text);
  ListLine& operator<<(const char* text) { return *this << std::string_view(text); }
  ListLine& operator<<(int32_t v);
  const std::string& str() const { return line_; }

 private:
  enum class Last { none, text, number };
  void separate(bool text);
  std::string line_;
  Last last_ = Last::none;
};

// ---- the usual shape of an observation field, shared by get_f14_3_usual and is_f14_3_usual ----

namespace detail {

// The parts of an observation field in its usual shape, all 14 columns present with the point
// in the 11th and three decimals: [blanks][-]digits.ddd. Columns 1-8 come as one little-endian
// word of digits (the blanks and sign before the first digit as zeros), the rest apart.
struct UsualField {
  uint64_t digits;  // columns 1-8, each byte a digit character
  unsigned d9, d10, d1, d2, d3;
  bool neg;
};

inline bool usual_field(std::string_view rec, int col, UsualField& f) {
  const size_t b = static_cast<size_t>(col - 1);
  if (rec.size() < b + 14) return false;
  const char* p = rec.data() + b;
  f.d1 = static_cast<unsigned char>(p[11]) - '0';
  f.d2 = static_cast<unsigned char>(p[12]) - '0';
  f.d3 = static_cast<unsigned char>(p[13]) - '0';
  if (p[10] != '.' || f.d1 > 9 || f.d2 > 9 || f.d3 > 9) return false;
  // Columns 1-8 as one little-endian word (byte k = column k + 1), 9 and 10 apart.
  uint64_t w;
  std::memcpy(&w, p, 8);
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  // Leading blanks: the first byte that differs from a blank.
  const uint64_t y = w ^ (kOnes * ' ');
  const uint64_t nonblank = (((y & ~kHigh) + ~kHigh) | y) & kHigh;
  int i =
      nonblank != 0 ? __builtin_ctzll(nonblank) >> 3 : 8 + (p[8] == ' ' ? 1 + (p[9] == ' ') : 0);
  f.neg = false;
  if (i < 10 && (p[i] == '-' || p[i] == '+')) f.neg = p[i++] == '-';
  if (i == 10) return false;
  // The digits from column i + 1 on, the columns before them taken as zeros.
  const uint64_t keep = i >= 8 ? 0 : ~uint64_t{0} << (8 * i);
  f.digits = (w & keep) | (kOnes * '0' & ~keep);
  constexpr uint64_t kNibbles = 0xF0F0F0F0F0F0F0F0ULL;
  if ((f.digits & kNibbles) != kOnes * 0x30 || ((f.digits + kOnes * 6) & kNibbles) != kOnes * 0x30)
    return false;
  f.d9 = i > 8 ? 0 : static_cast<unsigned char>(p[8]) - '0';
  f.d10 = static_cast<unsigned char>(p[9]) - '0';
  return f.d9 <= 9 && f.d10 <= 9;
}

}  // namespace detail

inline bool is_f14_3_usual(std::string_view rec, int col) {
  detail::UsualField f;
  return detail::usual_field(rec, col, f);
}

}  // namespace obsq
