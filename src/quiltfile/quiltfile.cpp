#include "quiltfile/quiltfile.hpp"

#include <sys/stat.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>

namespace obsq::quilt {

namespace {

constexpr size_t kBufferSize = size_t{1} << 20;  // a line is at most 1 + 15 x 500 bytes
// A skim reads this much at a time: an epoch's f-, t- and s-lines of a block, not its o-lines,
// which it seeks over.
constexpr size_t kSkimRead = size_t{2} << 10;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool stars(std::string_view s) {
  return !s.empty() && s.find_first_not_of('*') == std::string_view::npos;
}

// An integer field "(iN)": blanks, an optional minus, digits.
bool parse_int(std::string_view f, int32_t& out) {
  size_t i = f.find_first_not_of(' ');
  if (i == std::string_view::npos) return false;
  const char* b = f.data() + i;
  const char* e = f.data() + f.size();
  auto r = std::from_chars(b, e, out);
  return r.ec == std::errc() && r.ptr == e && (*b == '-' || (*b >= '0' && *b <= '9'));
}

// A real field "(fW.D)": blanks, an optional minus, at least one digit, the point, D digits.
// The value is the nearest double of the text.
bool parse_real(std::string_view f, int decimals, double& out) {
  size_t i = f.find_first_not_of(' ');
  if (i == std::string_view::npos) return false;
  const size_t start = i;
  if (f[i] == '-') ++i;
  const size_t digits = i;
  while (i < f.size() && f[i] >= '0' && f[i] <= '9') ++i;
  if (i == digits || i >= f.size() || f[i] != '.') return false;
  if (f.size() - i - 1 != static_cast<size_t>(decimals)) return false;
  for (size_t k = i + 1; k < f.size(); ++k)
    if (f[k] < '0' || f[k] > '9') return false;
  // Up to 15 digits make an exact integer n, and n / 10^decimals (one correctly rounded
  // division of two exact doubles) is the nearest double of the text, as from_chars gives it.
  static constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10};
  if (f.size() - digits - 1 <= 15 && static_cast<size_t>(decimals) < std::size(kPow10)) {
    int64_t n = 0;
    for (size_t k = digits; k < f.size(); ++k)
      if (k != i) n = n * 10 + (f[k] - '0');
    const double v = static_cast<double>(n) / kPow10[decimals];
    out = f[start] == '-' ? -v : v;
    return true;
  }
  auto r = std::from_chars(f.data() + start, f.data() + f.size(), out);
  return r.ec == std::errc() && r.ptr == f.data() + f.size();
}

// The seconds of a t-line, "(f11.7)". Its usual shape, up to two blanks, digits to column 3,
// the point in column 4 and seven digits, is read in place; any other goes to parse_real. Both
// make the same integer n and divide it once by 10^7, so they give the same double.
bool parse_seconds(std::string_view f, double& out) {
  const auto digit = [](char c) { return static_cast<unsigned char>(c - '0') < 10; };
  const char* p = f.data();
  if (f.size() == 11 && p[3] == '.' && digit(p[2]) &&
      (p[1] == ' ' ? p[0] == ' ' : digit(p[1]) && (p[0] == ' ' || digit(p[0])))) {
    uint64_t n = 0;
    for (int k = p[0] == ' ' ? (p[1] == ' ' ? 2 : 1) : 0; k < 3; ++k)
      n = n * 10 + static_cast<uint64_t>(p[k] - '0');
    for (int k = 4; k < 11; ++k) {
      if (!digit(p[k])) return false;
      n = n * 10 + static_cast<uint64_t>(p[k] - '0');
    }
    out = static_cast<double>(n) / 1e7;
    return true;
  }
  return parse_real(f, 7, out);
}

// A value field "(f14.3)": its digits make an integer n below 10^13, so n / 1000 (one correctly
// rounded division of two exact doubles) is the nearest double of the text, the same as
// std::from_chars gives. Returns 1 for a present number, 2 for a number that is not present (at
// least 9999999999.99, the missing-value marker: told from n, without waiting for the
// division), 0 for asterisks, -1 when the field is malformed. Reads the two bytes after the
// field as well: an o-line's last field is followed by its CR LF.
int parse_value(const char* f, double& out) {
#if defined(__SSE2__)
  // The usual shape, told from the sixteen bytes at once: blanks, a minus or none, digits up to
  // column 10, the point and three digits. Any other field is read below, byte by byte.
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(f));
  const __m128i d = _mm_sub_epi8(x, _mm_set1_epi8('0'));
  const __m128i is_digit = _mm_cmpeq_epi8(_mm_min_epu8(d, _mm_set1_epi8(9)), d);
  const auto mask = [](__m128i m) { return static_cast<unsigned>(_mm_movemask_epi8(m)); };
  const unsigned digits = mask(is_digit);
  const unsigned whole = digits & 0x3FF;  // columns 1-10
  if (f[10] == '.' && (digits >> 11 & 7) == 7 && whole != 0) {
    const int first = std::countr_zero(whole);
    const unsigned before = (1u << first) - 1;
    const unsigned blanks = mask(_mm_cmpeq_epi8(x, _mm_set1_epi8(' '))) & 0x3FF;
    const bool neg = first > 0 && f[first - 1] == '-';
    if (whole == (0x3FFu & ~before) && blanks == (neg ? before >> 1 : before)) {
      // The digits' values, zero in every other byte; the first eight columns at once, the
      // first in the lowest byte, two by two, then four by four.
      alignas(16) unsigned char b[16];
      _mm_store_si128(reinterpret_cast<__m128i*>(b), _mm_and_si128(d, is_digit));
      uint64_t v;
      std::memcpy(&v, b, 8);
      v = v * 10 + (v >> 8);
      v = (((v & 0x000000FF000000FF) * (100 + (1000000ULL << 32))) +
           (((v >> 16) & 0x000000FF000000FF) * (1 + (10000ULL << 32)))) >>
          32;
      for (const int k : {8, 9, 11, 12, 13}) v = v * 10 + b[k];
      const double value = static_cast<double>(v) / 1000.0;
      out = neg ? -value : value;
      return neg || v < 9999999999990 ? 1 : 2;
    }
  }
#endif
  int i = 0;
  while (i < 14 && f[i] == ' ') ++i;
  if (i == 14) return -1;
  if (f[i] == '*') {
    for (int k = i; k < 14; ++k)
      if (f[k] != '*') return -1;
    out = kNaN;
    return i == 0 ? 0 : -1;
  }
  const bool neg = f[i] == '-';
  if (neg) ++i;
  if (i > 9 || f[10] != '.') return -1;  // at least one digit before the point in column 10
  int64_t n = 0;
  for (; i < 10; ++i) {
    const unsigned d = static_cast<unsigned char>(f[i]) - '0';
    if (d > 9) return -1;
    n = n * 10 + d;
  }
  for (i = 11; i < 14; ++i) {
    const unsigned d = static_cast<unsigned char>(f[i]) - '0';
    if (d > 9) return -1;
    n = n * 10 + d;
  }
  const double v = static_cast<double>(n) / 1000.0;
  out = neg ? -v : v;
  // present(v) is v < 9999999999.99: n / 1000 rounds below that double exactly when
  // n < 9999999999990 (the doubles there are 2^-19 apart); a negative number is present.
  static_assert(present(9999999999989 / 1000.0) && !present(9999999999990 / 1000.0));
  return neg || n < 9999999999990 ? 1 : 2;
}

uint32_t key4(const char* p) {
  uint32_t k;
  std::memcpy(&k, p, 4);
  return k;
}

}  // namespace

std::string printable(std::string_view text) {
  std::string s;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 32 && u < 127 && c != '\\' && c != '"') {
      s += c;
    } else {
      static const char hex[] = "0123456789abcdef";
      s += "\\x";
      s += hex[u >> 4];
      s += hex[u & 15];
    }
  }
  return s;
}

Reader::Reader(const std::string& path, bool skim) : path_(path), skim_(skim) {
  file_ = std::fopen(path.c_str(), "rb");
  if (file_ == nullptr) throw FormatError{path, 0, std::strerror(errno)};
  std::setvbuf(file_, nullptr, _IONBF, 0);
  // Large blocks, but no larger than a small file needs.
  struct stat st;
  const bool sized = ::fstat(::fileno(file_), &st) == 0 && st.st_size > 0;
  buf_.resize(sized ? std::clamp<size_t>(static_cast<size_t>(st.st_size) + 1, 4096, kBufferSize)
                    : kBufferSize);
  seekable_ = sized && S_ISREG(st.st_mode);
  try {
    read_header();
  } catch (...) {
    std::fclose(file_);
    file_ = nullptr;
    throw;
  }
}

Reader::~Reader() {
  if (file_ != nullptr) std::fclose(file_);
}

namespace {
constexpr const char* kNotQuilt = "not an obsquilt.txt (the first line is not an a-line)";
}  // namespace

void Reader::fail(const std::string& message) const { throw FormatError{path_, lineno_, message}; }

bool Reader::line(std::string_view& text) {
  for (;;) {
    const char* begin = buf_.data() + pos_;
    if (const void* lf = std::memchr(begin, '\n', end_ - pos_)) {
      const size_t len = static_cast<size_t>(static_cast<const char*>(lf) - begin);
      ++lineno_;
      if (len == 0 || begin[len - 1] != '\r') {
        if (lineno_ == 1) first_line_without_cr(std::string_view(begin, len));
        fail("line ends without CR LF");
      }
      text = std::string_view(begin, len - 1);
      pos_ += len + 1;
      bytes_ += len + 1;
      return true;
    }
    if (eof_) {
      if (pos_ == end_) return false;
      ++lineno_;
      fail("the file ends inside this line (no line end): a cut file");
    }
    fill();
  }
}

bool Reader::fill() {
  if (pos_ > 0) {
    std::memmove(buf_.data(), buf_.data() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
  }
  if (end_ == buf_.size()) {
    if (buf_.size() >= kBufferSize) {
      ++lineno_;
      fail("line too long");
    }
    buf_.resize(std::min(2 * buf_.size(), kBufferSize));
  }
  const size_t room = buf_.size() - end_;
  const bool seeking = skim_ && seekable_;  // what a skim seeks over is not read at all
  const size_t n =
      std::fread(buf_.data() + end_, 1, seeking ? std::min(room, kSkimRead) : room, file_);
  if (n == 0) {
    if (std::ferror(file_)) throw FormatError{path_, lineno_ + 1, std::strerror(errno)};
    eof_ = true;
  }
  end_ += n;
  return n > 0;
}

// The o-lines of a skimmed block, `rows` lines of `length` bytes with their CR LF, passed over
// by that length: each line read is checked for its kind and its line end. In a regular file
// what is not read yet is sought over, and the line end where the block must end is checked;
// from a pipe the lines are read through.
void Reader::pass_olines(const Block& b, size_t rows, size_t cols) {
  const size_t length = 1 + 15 * cols + 2;
  const auto ends_right = [&](const char* line) {
    return line[0] == 'o' && line[length - 2] == '\r' && line[length - 1] == '\n';
  };
  const auto cut = [&] {
    throw FormatError{path_, lineno_ + 1,
                      "the file ends where an o-line of the block at line " +
                          std::to_string(b.line) + " should be: a cut file"};
  };
  for (size_t r = 0;;) {
    for (; r < rows && end_ - pos_ >= length; ++r) {
      ++lineno_;
      if (!ends_right(buf_.data() + pos_)) fail_oline(b, rows, cols);
      pos_ += length;
      bytes_ += length;
    }
    if (r == rows) return;
    if (!seekable_) {
      if (!fill()) cut();
      continue;
    }
    // The rest lies (partly) past what is read: on from the last two bytes of the block.
    const size_t rest = (rows - r) * length;
    const auto beyond = static_cast<off_t>(rest - (end_ - pos_)) - 2;
    if (::fseeko(file_, beyond, SEEK_CUR) != 0)
      throw FormatError{path_, lineno_ + 1, std::strerror(errno)};
    pos_ = end_ = 0;
    eof_ = false;
    while (end_ < 2 && fill()) {}
    lineno_ += static_cast<long>(rows - r) - 1;
    if (end_ < 2) cut();
    ++lineno_;
    if (buf_[0] != '\r' || buf_[1] != '\n') fail_oline(b, rows, cols);
    pos_ = 2;
    bytes_ += rest;
    return;
  }
}

// A first line that ends in LF alone: a file of another kind, or an obsquilt.txt whose CR were
// stripped on the way (a copy in text mode, a version-control checkout); the reader keeps to
// the bytes the merge writes and says which.
void Reader::first_line_without_cr(std::string_view l) const {
  if (l.size() == 26 && l.substr(0, 2) == "a ")
    fail(
        "an obsquilt.txt whose CR were stripped: its lines end in LF alone, and the format's "
        "line end is CR LF (restore them, e.g. with sed 's/$/\\r/')");
  fail(kNotQuilt);
}

void Reader::read_header() {
  std::string_view l;
  if (!line(l)) throw FormatError{path_, 1, "the file is empty: an a-line was expected"};
  if (l.substr(0, std::min<size_t>(2, l.size())) != "a ") fail(kNotQuilt);
  if (l.size() != 26) fail("expected the a-line (\"a\" and four 6-column integers, 26 columns)");
  const std::string_view tmin = l.substr(2, 6), tmax = l.substr(8, 6);
  int32_t nfiles = 0;
  if (!parse_int(l.substr(14, 6), header_.step) || header_.step < 1 || header_.step > 86400)
    fail("a-line: the step (columns 15-20) is not a number of seconds from 1 to 86400");
  if (!parse_int(l.substr(20, 6), nfiles) || nfiles < 0)
    fail("a-line: the number of files (columns 21-26) is not a count");
  if (stars(tmin) && stars(tmax)) {
    header_.has_range = false;
  } else {
    header_.has_range = true;
    if (!parse_int(tmin, header_.tmin) || !parse_int(tmax, header_.tmax))
      fail("a-line: the first and last second (columns 3-14) are not numbers");
    const int32_t s = header_.step;
    if (header_.tmin < 0 || header_.tmax > 86400 || header_.tmin > header_.tmax ||
        header_.tmin % s != 0 || header_.tmax % s != 0)
      fail(
          "a-line: first and last second must lie in 0..86400, in order, on multiples of the step");
  }
  header_.receivers.resize(static_cast<size_t>(nfiles));
  for (Receiver& r : header_.receivers) {
    if (!line(l))
      throw FormatError{path_, lineno_ + 1, "the file ends where a b-line should be: a cut file"};
    if (l.size() != 76 || l.substr(0, 2) != "b " || l.substr(6, 2) != "  " || l[28] != ' ' ||
        l[43] != ' ' || l[58] != ' ' || l.substr(73, 2) != "  ")
      fail(
          "expected a b-line (76 columns: \"b\", marker, antenna, three eccentricities, system "
          "letter)");
    r.marker.assign(l.substr(2, 4));
    r.antenna.assign(l.substr(8, 20));
    double* ecc[3] = {&r.dh, &r.de, &r.dn};
    for (int k = 0; k < 3; ++k) {
      const std::string_view f = l.substr(29 + 15 * k, 14);
      if (stars(f))
        *ecc[k] = kNaN;
      else if (!parse_real(f, 4, *ecc[k]))
        fail("b-line: eccentricity in columns " + std::to_string(30 + 15 * k) + "-" +
             std::to_string(43 + 15 * k) + " is not a number with 4 decimals");
    }
    r.system = l[75];
  }
  header_.line_count = lineno_;
  // Receivers by marker, for matching the t-lines.
  marker_keys_.reserve(header_.receivers.size());
  for (const Receiver& r : header_.receivers) marker_keys_.push_back(key4(r.marker.data()));
  for (size_t i = 0; i < marker_keys_.size(); ++i) {
    auto it = std::lower_bound(marker_rows_.begin(), marker_rows_.end(), marker_keys_[i],
                               [](const auto& e, uint32_t k) { return e.first < k; });
    if (it != marker_rows_.end() && it->first == marker_keys_[i]) {
      it->second.push_back(static_cast<int32_t>(i));
      shared_markers_ = true;
    } else {
      marker_rows_.insert(it, {marker_keys_[i], {static_cast<int32_t>(i)}});
    }
  }
  next_second_ = header_.tmin;
}

const std::vector<int32_t>& Reader::receivers_of(uint32_t key) const {
  static const std::vector<int32_t> none;
  auto it = std::lower_bound(marker_rows_.begin(), marker_rows_.end(), key,
                             [](const auto& e, uint32_t k) { return e.first < k; });
  return it != marker_rows_.end() && it->first == key ? it->second : none;
}

bool Reader::next(Epoch& ep) {
  std::string_view l;
  if (has_pending_) {
    l = pending_;
    has_pending_ = false;
  } else if (!line(l)) {
    if (header_.has_range && next_second_ <= header_.tmax)
      throw FormatError{path_, lineno_ + 1,
                        "the file ends where the e-line of second " + std::to_string(next_second_) +
                            " should be (the a-line runs to " + std::to_string(header_.tmax) +
                            "): a cut file"};
    return false;
  }
  if (l.size() != 21 || l.substr(0, 2) != "e ")
    fail("expected an e-line (\"e\", date and time, 21 columns)");
  int32_t f[6];
  for (int k = 0; k < 6; ++k)
    if (!parse_int(k == 0 ? l.substr(2, 4) : l.substr(3 + 3 * k, 3), f[k]))
      fail("e-line: the date and time are not six numbers in columns 3-6, 7-9, ... 19-21");
  if (f[3] < 0 || f[4] < 0 || f[4] > 59 || f[5] < 0 || f[5] > 59) fail("e-line: not a time of day");
  const int32_t t = f[3] * 3600 + f[4] * 60 + f[5];
  if (!header_.has_range) fail("e-line in a file whose a-line holds no time range");
  if (t != next_second_)
    fail(next_second_ > header_.tmax
             ? "e-line after the last second of the a-line (" + std::to_string(header_.tmax) + ")"
             : "e-line of second " + std::to_string(t) + " where second " +
                   std::to_string(next_second_) + " is due (the a-line's step is " +
                   std::to_string(header_.step) + ")");
  if (!any_epoch_) {
    year_ = f[0], month_ = f[1], day_ = f[2];
    any_epoch_ = true;
  } else if (f[0] != year_ || f[1] != month_ || f[2] != day_) {
    fail("e-line: the date differs from the first e-line's");
  }
  next_second_ = t + header_.step;
  ep.second = t;
  ep.year = year_, ep.month = month_, ep.day = day_;
  ep.line = lineno_;

  size_t used = 0;
  while (line(l)) {
    if (!l.empty() && l[0] == 'e') {
      pending_.assign(l);
      has_pending_ = true;
      break;
    }
    if (used == ep.blocks.size()) {
      if (!spare_.empty()) {
        ep.blocks.push_back(std::move(spare_.back()));
        spare_.pop_back();
      } else {
        ep.blocks.emplace_back();
      }
    }
    read_block(ep.blocks[used], l, ep, used);
    ++used;
  }
  while (ep.blocks.size() > used) {
    spare_.push_back(std::move(ep.blocks.back()));
    ep.blocks.pop_back();
  }
  return true;
}

void Reader::read_block(Block& b, std::string_view l, const Epoch& ep, size_t index) {
  if (l.size() != 14 || l.substr(0, 2) != "f ")
    fail("expected an f-line (\"f\", type, two 5-column counts, 14 columns) or an e-line");
  int32_t nrows = 0, ncols = 0;
  if (!parse_int(l.substr(4, 5), nrows) || !parse_int(l.substr(9, 5), ncols))
    fail("f-line: the counts in columns 5-9 and 10-14 are not numbers");
  if (nrows < 1 || static_cast<size_t>(nrows) > header_.receivers.size())
    fail("f-line: " + std::to_string(nrows) + " rows, but a block has 1 to " +
         std::to_string(header_.receivers.size()) + " (the receivers of the b-lines)");
  if (ncols < 1) fail("f-line: a block has at least one satellite");
  b.type.assign(l.substr(2, 2));
  for (size_t k = 0; k < index; ++k)
    if (ep.blocks[k].type == b.type)
      fail("f-line: type " + printable(b.type) + " has a block already in this epoch");
  b.line = lineno_;
  const size_t rows = static_cast<size_t>(nrows), cols = static_cast<size_t>(ncols);
  const auto cut = [&](const char* what) {
    throw FormatError{path_, lineno_ + 1,
                      std::string("the file ends where ") + what + " of the block at line " +
                          std::to_string(b.line) + " should be: a cut file"};
  };

  b.rows.resize(rows);
  b.epoch_seconds.resize(rows);
  row_keys_.resize(rows);
  const long first_tline = lineno_ + 1;
  for (size_t r = 0; r < rows; ++r) {
    if (!line(l)) cut("a t-line");
    if (l.size() < 2 || l.substr(0, 2) != "t ")
      fail("expected a t-line (the f-line at line " + std::to_string(b.line) + " counts " +
           std::to_string(rows) + ")");
    if (l.size() == 17) {
      const std::string_view f = l.substr(6, 11);
      if (stars(f))
        b.epoch_seconds[r] = kNaN;
      else if (!parse_seconds(f, b.epoch_seconds[r]))
        fail("t-line: the seconds in columns 7-17 are not a number with 7 decimals");
    } else if (l.size() == 25 && l.substr(6) == "  no time available") {
      b.epoch_seconds[r] = kNaN;
    } else {
      fail("t-line: expected 17 columns (marker, seconds) or 25 (marker, \"  no time available\")");
    }
    row_keys_[r] = key4(l.data() + 2);
  }
  match_rows(b, first_tline);

  if (!line(l)) cut("the s-line");
  if (l.size() != 1 + 4 * cols || l[0] != 's')
    fail("expected the s-line with " + std::to_string(cols) + " satellites (" +
         std::to_string(1 + 4 * cols) + " columns)");
  b.satellites.resize(cols);
  codes_.resize(cols);
  for (size_t c = 0; c < cols; ++c) {
    const char* p = l.data() + 1 + 4 * c;
    if (p[0] != ' ') fail("s-line: column " + std::to_string(2 + 4 * c) + " must be blank");
    b.satellites[c].assign(p + 1, 3);
    codes_[c] = key4(p) >> 8;
  }
  std::sort(codes_.begin(), codes_.end());
  if (std::adjacent_find(codes_.begin(), codes_.end()) != codes_.end())
    fail("s-line: a satellite appears twice");

  if (skim_) return pass_olines(b, rows, cols);
  b.values.resize(rows * cols);
  b.text.resize(rows * cols * 14);
  column_used_.assign(cols, 0);
  for (size_t r = 0; r < rows; ++r) {
    if (!line(l)) cut("an o-line");
    if (l.size() != 1 + 15 * cols || l[0] != 'o') fail_oline(b, rows, cols);
    double* v = b.values.data() + r * cols;
    char* text = b.text.data() + r * cols * 14;
    bool row_used = false;
    for (size_t c = 0; c < cols; ++c) {
      const char* p = l.data() + 1 + 15 * c;
      const int kind = p[0] == ' ' ? parse_value(p + 1, v[c]) : -1;
      if (kind < 0)
        fail("o-line: value " + std::to_string(c + 1) + " (columns " + std::to_string(3 + 15 * c) +
             "-" + std::to_string(16 + 15 * c) + ") is not a blank and a number with 3 decimals");
      // A value of asterisks did not fit its field: it may be a present one.
      if (kind <= 1) {
        row_used = true;
        column_used_[c] = 1;
      }
      std::memcpy(text + 14 * c, p + 1, 14);
    }
    if (!row_used) fail("o-line without any value: the merge program leaves such rows out");
  }
  for (size_t c = 0; c < cols; ++c)
    if (!column_used_[c])
      fail("the block at line " + std::to_string(b.line) + " has no value for satellite " +
           printable(b.satellites[c]) + ": the merge program leaves such columns out");
}

void Reader::fail_oline(const Block& b, size_t rows, size_t cols) const {
  fail("expected an o-line with " + std::to_string(cols) + " values (" +
       std::to_string(1 + 15 * cols) + " columns; the f-line at line " + std::to_string(b.line) +
       " counts " + std::to_string(rows) + " rows)");
}

// Rows follow the receivers' order, so each t-line takes the first receiver after the previous
// row's with its marker. When receivers share a marker another choice may fit as well: the rows
// matched the same way from the end (each the last receiver before the next row's) tell, since
// a row is certain exactly when both ways give it the same receiver.
void Reader::match_rows(Block& b, long first_tline) {
  const size_t rows = b.rows.size();
  const auto nrec = static_cast<int32_t>(marker_keys_.size());
  int32_t prev = -1;
  for (size_t r = 0; r < rows; ++r) {
    // Most rows are the receiver after the previous row's: the first that fits, when it does.
    if (prev + 1 < nrec && marker_keys_[static_cast<size_t>(prev + 1)] == row_keys_[r]) {
      b.rows[r] = ++prev;
      continue;
    }
    const std::vector<int32_t>& cand = receivers_of(row_keys_[r]);
    auto it = std::upper_bound(cand.begin(), cand.end(), prev);
    if (it == cand.end()) {
      lineno_ = first_tline + static_cast<long>(r);  // name the t-line itself
      fail("t-line: no receiver with marker \"" +
           printable(std::string_view(reinterpret_cast<const char*>(&row_keys_[r]), 4)) +
           "\" follows the previous row's among the b-lines");
    }
    b.rows[r] = prev = *it;
  }
  if (!shared_markers_) return;
  int32_t next = static_cast<int32_t>(header_.receivers.size());
  for (size_t r = rows; r-- > 0;) {
    const std::vector<int32_t>& cand = receivers_of(row_keys_[r]);
    next = *(std::lower_bound(cand.begin(), cand.end(), next) - 1);
    if (next == b.rows[r]) continue;
    const uint32_t key = row_keys_[r];
    if (std::find(reported_.begin(), reported_.end(), key) != reported_.end()) continue;
    reported_.push_back(key);
    std::string lines;
    for (int32_t i : cand) lines += (lines.empty() ? "" : ", ") + std::to_string(i + 2);
    ambiguities_.push_back(path_ + ":" + std::to_string(first_tline + static_cast<long>(r)) +
                           ": warning: receivers of b-lines " + lines + " share the marker \"" +
                           printable(header_.receivers[static_cast<size_t>(b.rows[r])].marker) +
                           "\", so this row may be any of them; rows of that marker are taken as "
                           "the first receivers that fit, in file order");
  }
}

}  // namespace obsq::quilt
