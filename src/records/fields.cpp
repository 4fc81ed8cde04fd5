#include "records/fields.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace obsq {

void stop(int code) { throw Stop{code}; }

void record_error(std::string message, std::string place) {
  throw RecordError{std::move(message), std::move(place)};
}

std::string msg::does_not_exist(std::string_view name) {
  return "File '" + std::string(name) + "' does not exist";
}

std::string msg::cannot_open(std::string_view name) {
  return "Cannot open file '" + std::string(name) + "'";
}

bool msg::is_refused_open(std::string_view message) {
  // The texts up to the quote before the file name, as the builders above make them.
  const std::string open = cannot_open(""), denied = permission_denied("");
  auto head = [](const std::string& t) { return std::string_view(t).substr(0, t.find('\'') + 1); };
  return message.starts_with(head(open)) || message.starts_with(head(denied));
}

std::string msg::permission_denied(std::string_view name) {
  return "Permission denied trying to open file '" + std::string(name) + "'";
}

namespace {

// The bytes of a field that lie inside the record: [b, e) of the record, e - b <= w.
struct Field {
  const char* p;
  int n;  // characters inside the record
  int w;  // width of the field; columns n..w-1 are blanks
};

inline Field field(std::string_view rec, int col, int w) {
  const auto size = static_cast<long>(rec.size());
  const long b = col - 1;
  if (b >= size) return {rec.data(), 0, w};
  return {rec.data() + b, static_cast<int>(std::min<long>(w, size - b)), w};
}

inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The double nearest to the decimal number digits x 10^exp10 (digits without leading zeros).
double nearest(const char* digits, int nd, long exp10) {
  if (nd == 0) return 0.0;
  if (nd <= 15 && exp10 >= -22 && exp10 <= 22) {
    // Both the integer (< 2^53) and the power of ten are exact doubles, so one correctly
    // rounded operation gives the nearest double.
    uint64_t m = 0;
    for (int i = 0; i < nd; ++i) m = m * 10 + static_cast<uint64_t>(digits[i] - '0');
    const double dm = static_cast<double>(m);
    return exp10 < 0 ? dm / kPow10[-exp10] : dm * kPow10[exp10];
  }
  if (exp10 > 400) return HUGE_VAL;
  if (exp10 + nd < -400) return 0.0;
  char buf[96];
  int n = std::min(nd, 60);
  std::memcpy(buf, digits, static_cast<size_t>(n));
  // Digits beyond the 60th cannot change the nearest double of a field this narrow in practice,
  // but keep them correct anyway by folding them into the exponent only when they are zeros.
  long e = exp10 + (nd - n);
  buf[n++] = 'e';
  auto r = std::to_chars(buf + n, buf + sizeof buf, e);
  double v = 0.0;
  auto res = std::from_chars(buf, r.ptr, v);
  if (res.ec == std::errc::result_out_of_range) return e > 0 ? HUGE_VAL : 0.0;
  return v;
}

}  // namespace

namespace {

enum class IntRead { ok, bad, overflow };

IntRead read_i(std::string_view rec, int col, int w, int32_t& value) {
  const Field f = field(rec, col, w);
  int i = 0;
  while (i < f.n && f.p[i] == ' ') ++i;
  value = 0;
  if (i == f.n) return IntRead::ok;
  bool neg = false;
  if (f.p[i] == '+' || f.p[i] == '-') {
    neg = f.p[i] == '-';
    ++i;
    if (i == f.w) return IntRead::bad;
  }
  int64_t v = 0;
  for (; i < f.n; ++i) {
    const char c = f.p[i];
    if (c == ' ') continue;
    if (!is_digit(c)) return IntRead::bad;
    v = v * 10 + (c - '0');
    if (v > 2147483647) return IntRead::overflow;
  }
  value = static_cast<int32_t>(neg ? -v : v);
  return IntRead::ok;
}

}  // namespace

int32_t get_i(std::string_view rec, int col, int w) {
  int32_t v = 0;
  switch (read_i(rec, col, w, v)) {
    case IntRead::ok: return v;
    case IntRead::bad: record_error(std::string(msg::bad_integer));
    case IntRead::overflow: record_error(std::string(msg::integer_overflow));
  }
  return v;
}

bool try_get_i(std::string_view rec, int col, int w, int32_t& value) {
  return read_i(rec, col, w, value) == IntRead::ok;
}

namespace {

// The common shape of a real field, [blanks][sign]digits[.digits] running to the end of the field
// or of the record, converted in one pass. Returns false for anything else (inner blanks, an
// exponent, more than 18 digits, a bad character), which the general reader then handles.
inline bool fast_real(const Field& f, int i, int d, double& v) {
  bool neg = false;
  if (f.p[i] == '-' || f.p[i] == '+') neg = f.p[i++] == '-';
  uint64_t m = 0;
  int nd = 0;
  int point = -1;
  for (; i < f.n; ++i) {
    const unsigned c = static_cast<unsigned char>(f.p[i]) - '0';
    if (c < 10) {
      m = m * 10 + c;
      ++nd;
    } else if (f.p[i] == '.' && point < 0) {
      point = nd;
    } else {
      return false;
    }
  }
  if (nd == 0 || nd > 18 || m >= (uint64_t{1} << 53)) return false;
  const int decimals = point >= 0 ? nd - point : d;
  if (decimals > 22) return false;
  const double dm = static_cast<double>(m);
  v = decimals >= 0 ? dm / kPow10[decimals] : dm * kPow10[-decimals];
  if (neg) v = -v;
  return true;
}

}  // namespace

double get_f(std::string_view rec, int col, int w, int d) {
  const Field f = field(rec, col, w);
  int i = 0;
  while (i < f.n && f.p[i] == ' ') ++i;
  if (i == f.n) return 0.0;
  if (double v; d <= 22 && fast_real(f, i, d, v)) return v;
  bool neg = false;
  if (f.p[i] == '+' || f.p[i] == '-') {
    neg = f.p[i] == '-';
    ++i;
  }
  char digits[64];
  int nd = 0;        // significant digits kept (leading zeros dropped)
  int lost = 0;      // integer digits beyond what digits[] holds
  bool any = false;  // any mantissa digit at all
  bool point = false;
  int frac = 0;  // digits after the point
  for (; i < f.n; ++i) {
    const char c = f.p[i];
    if (c == ' ') continue;
    if (is_digit(c)) {
      any = true;
      if (point) ++frac;
      if (nd == 0 && c == '0') continue;
      if (nd < static_cast<int>(sizeof digits)) {
        digits[nd++] = c;
      } else if (point) {
        --frac;  // a digit too many after the point adds nothing we can keep
      } else {
        ++lost;
      }
      continue;
    }
    if (c == '.' && !point) {
      point = true;
      continue;
    }
    break;
  }
  long exp = 0;
  if (i < f.n) {
    char c = f.p[i];
    bool eneg = false;
    if (c == 'E' || c == 'e' || c == 'D' || c == 'd') {
      ++i;
      while (i < f.n && f.p[i] == ' ') ++i;
      if (i < f.n && (f.p[i] == '+' || f.p[i] == '-')) eneg = f.p[i++] == '-';
    } else if (c == '+' || c == '-') {
      eneg = c == '-';
      ++i;
    } else {
      record_error(std::string(msg::bad_real));
    }
    bool edigit = false;
    for (; i < f.n; ++i) {
      c = f.p[i];
      if (c == ' ') continue;
      if (!is_digit(c)) record_error(std::string(msg::bad_real));
      edigit = true;
      if (exp < 100000) exp = exp * 10 + (c - '0');
    }
    if (!edigit) record_error(std::string(msg::bad_real));
    if (eneg) exp = -exp;
  }
  if (!any) return 0.0;
  const long exp10 = exp + lost - (point ? frac : d);
  const double v = nearest(digits, nd, exp10);
  return neg ? -v : v;
}

// Gives the same double as the field reader: the scaled integer divided by 1000, one correctly
// rounded operation.
bool get_f14_3_usual(std::string_view rec, int col, double& v) {
  detail::UsualField f;
  if (!detail::usual_field(rec, col, f)) return false;
  // Eight digits to their value, most significant first: pairs, fours, eights.
  constexpr uint64_t kOnes = 0x0101010101010101ULL;
  uint64_t x = f.digits - kOnes * '0';
  x = (x * 10 + (x >> 8)) & 0x00FF00FF00FF00FFULL;
  x = (x * 100 + (x >> 16)) & 0x0000FFFF0000FFFFULL;
  x = (x * 10000 + (x >> 32)) & 0xFFFFFFFFULL;
  const uint64_t m = ((x * 10 + f.d9) * 10 + f.d10) * 1000 + f.d1 * 100 + f.d2 * 10 + f.d3;
  v = static_cast<double>(m) / 1000.0;
  if (f.neg) v = -v;
  return true;
}

void get_a(std::string_view rec, int col, int w, char* target, int n) {
  const Field f = field(rec, col, w);
  if (n >= w) {
    std::memcpy(target, f.p, static_cast<size_t>(f.n));
    std::memset(target + f.n, ' ', static_cast<size_t>(n - f.n));
    return;
  }
  // A field wider than the target keeps its rightmost n characters.
  for (int k = 0; k < n; ++k) {
    const int src = w - n + k;
    target[k] = src < f.n ? f.p[src] : ' ';
  }
}

int32_t ntrim(std::string_view text) {
  for (size_t k = text.size(); k > 0; --k)
    if (text[k - 1] != ' ') return static_cast<int32_t>(k);
  return 0;
}

bool blank_field(std::string_view rec, int col, int w) {
  const Field f = field(rec, col, w);
  for (int i = 0; i < f.n; ++i)
    if (f.p[i] != ' ') return false;
  return true;
}

bool has_label(std::string_view rec, int col, std::string_view text) {
  const size_t b = static_cast<size_t>(col - 1);
  if (rec.size() >= b + text.size()) return rec.compare(b, text.size(), text) == 0;
  // The part beyond the record reads as blanks.
  for (size_t k = 0; k < text.size(); ++k) {
    const char c = b + k < rec.size() ? rec[b + k] : ' ';
    if (c != text[k]) return false;
  }
  return true;
}

bool get_list_int(std::string_view text, int32_t& value) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (i == text.size()) record_error(std::string(msg::end_of_file));
  auto separator = [](char c) { return c == ' ' || c == '\t' || c == ',' || c == '/' || c == ';'; };
  if (text[i] == ',' || text[i] == ';' || text[i] == '/') return false;
  size_t e = i;
  while (e < text.size() && !separator(text[e])) ++e;
  std::string_view item = text.substr(i, e - i);
  // count*value: the value follows the star; count and star alone give no value. The count is
  // any digit string, zeros and leading zeros included.
  if (const size_t star = item.find('*'); star != std::string_view::npos) {
    std::string_view count = item.substr(0, star);
    bool ok = !count.empty();
    for (char c : count) ok = ok && is_digit(c);
    if (!ok) record_error(std::string(msg::bad_list_integer));
    item = item.substr(star + 1);
    if (item.empty()) return false;
  }
  size_t k = 0;
  bool neg = false;
  if (item[k] == '+' || item[k] == '-') neg = item[k++] == '-';
  if (k == item.size()) record_error(std::string(msg::bad_list_integer));
  int64_t v = 0;
  for (; k < item.size(); ++k) {
    if (!is_digit(item[k])) record_error(std::string(msg::bad_list_integer));
    v = v * 10 + (item[k] - '0');
    if (v > 2147483647) record_error(std::string(msg::list_integer_overflow));
  }
  value = static_cast<int32_t>(neg ? -v : v);
  return true;
}

// ---- output --------------------------------------------------------------------------------

char* put_i(char* p, int64_t v, int w, int m) {
  char digits[24];
  uint64_t u = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u != 0);
  if (m == 0 && v == 0) n = 0;  // i w.0 of zero prints blanks only
  const int nd = std::max(n, m);
  const int need = nd + (v < 0 ? 1 : 0);
  if (need > w) return static_cast<char*>(std::memset(p, '*', static_cast<size_t>(w))) + w;
  std::memset(p, ' ', static_cast<size_t>(w - need));
  p += w - need;
  if (v < 0) *p++ = '-';
  for (int k = n; k < nd; ++k) *p++ = '0';
  while (n > 0) *p++ = digits[--n];
  return p;
}

char* put_f(char* p, double v, int w, int d) {
  auto stars = [&] { return static_cast<char*>(std::memset(p, '*', static_cast<size_t>(w))) + w; };
  if (!std::isfinite(v)) return stars();
  // Exact decimal expansion of |v| rounded to d places; ties go to the even digit.
  char buf[400];
  auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(v), std::chars_format::fixed, d);
  if (r.ec != std::errc()) return stars();
  int len = static_cast<int>(r.ptr - buf);
  const char* s = buf;
  if (d == 0) buf[len++] = '.';
  const bool neg = std::signbit(v);
  const bool zero_int = s[0] == '0';
  int need = len + (neg ? 1 : 0);
  if (need > w && zero_int) {  // drop the zero before the point when there is no room for it
    ++s;
    --len;
    --need;
  }
  if (need > w) return stars();
  std::memset(p, ' ', static_cast<size_t>(w - need));
  p += w - need;
  if (neg) *p++ = '-';
  std::memcpy(p, s, static_cast<size_t>(len));
  return p + len;
}

namespace {
constexpr char kPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";
}  // namespace

namespace {
// The decimal digits of u < 10^8 as eight bytes of values 0-9, most significant first in memory.
inline uint64_t eight_digits(uint32_t u) {
  uint64_t x = (u / 10000) | (static_cast<uint64_t>(u % 10000) << 32);    // 4 + 4 digits
  const uint64_t hundreds = ((x * 10486) >> 20) & 0x0000007F0000007FULL;  // v / 100, v < 10^4
  x = hundreds | ((x - hundreds * 100) << 16);                            // 2-digit lanes
  const uint64_t tens = ((x * 103) >> 10) & 0x000F000F000F000FULL;        // w / 10, w < 100
  return tens | ((x - tens * 10) << 8);
}
}  // namespace

char* put_f14_3(char* p, double v) {
  // Values read from a field with three decimals are the nearest doubles of n / 1000; for them
  // the rounded digits are those of n itself (checked: n / 1000 gives v back). Anything else
  // takes the exact general path.
  const double scaled = v * 1000.0;
  if (scaled > -1e14 && scaled < 1e14) {
    const int64_t n = static_cast<int64_t>(scaled < 0 ? scaled - 0.5 : scaled + 0.5);
    if (static_cast<double>(n) / 1000.0 == v) {
      uint64_t u = n < 0 ? 0 - static_cast<uint64_t>(n) : static_cast<uint64_t>(n);
      char tmp[24];
      std::memset(tmp, ' ', sizeof tmp);  // the field is the last 14 bytes, blanks before
      char* q = tmp + sizeof tmp;
      const unsigned frac = static_cast<unsigned>(u % 1000);
      u /= 1000;
      if (u < 100000000) {
        // Up to 8 integer digits, all at once: the field is blanks, sign, digits, ".ddd".
        tmp[sizeof tmp - 1] = kPairs[2 * (frac % 100) + 1];
        tmp[sizeof tmp - 2] = kPairs[2 * (frac % 100)];
        tmp[sizeof tmp - 3] = static_cast<char>('0' + frac / 100);
        tmp[sizeof tmp - 4] = '.';
        const uint64_t digits = eight_digits(static_cast<uint32_t>(u));
        // Leading zero digits become blanks; "0" keeps its one digit.
        const int lead = digits == 0 ? 7 : std::min(7, __builtin_ctzll(digits) >> 3);
        const uint64_t keep = ~uint64_t{0} << (8 * lead);
        const uint64_t text =
            ((digits + 0x3030303030303030ULL) & keep) | (0x2020202020202020ULL & ~keep);
        std::memcpy(tmp + sizeof tmp - 12, &text, 8);
        if (std::signbit(v)) tmp[sizeof tmp - 13 + lead] = '-';
        std::memcpy(p, tmp + sizeof tmp - 14, 14);
        return p + 14;
      }
      q -= 2;
      std::memcpy(q, kPairs + 2 * (frac % 100), 2);
      *--q = static_cast<char>('0' + frac / 100);
      *--q = '.';
      while (u >= 100) {
        q -= 2;
        std::memcpy(q, kPairs + 2 * (u % 100), 2);
        u /= 100;
      }
      if (u >= 10) {
        q -= 2;
        std::memcpy(q, kPairs + 2 * u, 2);
      } else {
        *--q = static_cast<char>('0' + u);
      }
      if (std::signbit(v)) *--q = '-';
      const long len = tmp + sizeof tmp - q;
      if (len <= 14) {
        std::memcpy(p, tmp + sizeof tmp - 14, 14);
        return p + 14;
      }
    }
  }
  return put_f(p, v, 14, 3);
}

char* put_a(char* p, std::string_view s, int w) {
  const int n = static_cast<int>(s.size());
  if (n >= w) {
    std::memcpy(p, s.data(), static_cast<size_t>(w));
    return p + w;
  }
  std::memset(p, ' ', static_cast<size_t>(w - n));
  std::memcpy(p + (w - n), s.data(), static_cast<size_t>(n));
  return p + w;
}

char* put_a(char* p, std::string_view s) {
  std::memcpy(p, s.data(), s.size());
  return p + s.size();
}

char* put_x(char* p, int n) {
  std::memset(p, ' ', static_cast<size_t>(n));
  return p + n;
}

void ListLine::separate(bool text) {
  if (last_ == Last::none || !(text && last_ == Last::text)) line_ += ' ';
}

ListLine& ListLine::operator<<(std::string_view text) {
  separate(true);
  line_.append(text);
  last_ = Last::text;
  return *this;
}

ListLine& ListLine::operator<<(int32_t v) {
  separate(false);
  char buf[16];
  line_.append(buf, put_i(buf, v, 11));
  last_ = Last::number;
  return *this;
}

}  // namespace obsq
