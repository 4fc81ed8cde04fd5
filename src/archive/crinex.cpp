#include "archive/crinex.hpp"

#include <algorithm>
#include <cstring>

#include "archive/columns.hpp"

namespace obsq::archive {

using detail::column_int;
using detail::label_is;
using detail::put_fixed;
using detail::read_digits;
using detail::trimmed;

namespace {

constexpr size_t kMaxTypes = 999;  // the count field allows more; no RINEX 2 file comes near

}  // namespace

void apply_difference(std::string& ref, std::string_view diff) {
  const size_t common = std::min(ref.size(), diff.size());
  for (size_t i = 0; i < common; ++i) {
    const char c = diff[i];
    if (c == '&')
      ref[i] = ' ';
    else if (c != ' ')
      ref[i] = c;
  }
  for (size_t i = common; i < diff.size(); ++i) ref += diff[i] == '&' ? ' ' : diff[i];
}

// ---- what both versions share ----

CompactText::CompactText(LineSource& in, std::string_view version) : in_(in) {
  std::string_view line;
  if (!in_.next(line)) fail("empty file, not compact RINEX");
  if (line.substr(0, 3) != version || !label_is(line, "CRINEX VERS   / TYPE"))
    fail("not compact RINEX " + std::string(version) + ": the first line must hold " +
         std::string(version) + " and CRINEX VERS   / TYPE");
  if (!in_.next(line)) fail("the file ends inside the header");
  if (!label_is(line, "CRINEX PROG / DATE"))
    fail("the second line of compact RINEX must be CRINEX PROG / DATE");
  if (!in_.next(line)) fail("the file ends inside the header");
  if (!label_is(line, "RINEX VERSION / TYPE"))
    fail("the RINEX header must start with RINEX VERSION / TYPE");
  in_.unread();
}

bool CompactText::next(std::string& out) {
  lines_ = 0;
  if (ended_) return false;
  return in_header_ ? header_line(out) : epoch(out);
}

bool CompactText::header_line(std::string& out) {
  std::string_view line;
  if (!in_.next(line) || (line.size() == 1 && line[0] == '\x1a'))
    fail("the file ends inside the header");
  look(line);
  if (label_is(line, "END OF HEADER")) in_header_ = false;
  out.append(trimmed(line)).push_back('\n');
  lines_ = 1;
  return true;
}

bool CompactText::epoch_start(std::string_view& line) {
  bool more = in_.next(line) && !(line.size() == 1 && line[0] == '\x1a');
  // Blank lines that end the file (newlines a writer added at the end) hold no epoch.
  if (more && blank_line(line)) {
    blank_line_.assign(line);
    more = !in_.only_blank_left();
    line = blank_line_;
  }
  if (more) {
    // A last line without its line end is cut inside, as a rule: it is not decoded.
    if (!in_.unterminated()) return true;
    cut("an epoch (its epoch line has no line end)");
    return false;
  }
  ended_ = true;
  if (!in_.damage().empty())
    notices_.push_back({in_.line_number(), "the data end early (" + in_.damage() +
                                               "); the complete epochs before are kept"});
  return false;
}

void CompactText::cut(std::string_view where) {
  std::string m = "the file ends inside " + std::string(where) + ", after line " +
                  std::to_string(in_.line_number());
  if (!in_.damage().empty()) m += " (" + in_.damage() + ")";
  m += "; the complete epochs before it are kept";
  notices_.push_back({in_.line_number(), std::move(m)});
  ended_ = true;
}

bool CompactText::copy_event(std::string& out, size_t start, long count) {
  std::string_view line;
  for (long i = 0; i < count; ++i) {
    if (!in_.next(line)) {
      out.resize(start);
      cut("the special records of an event");
      return false;
    }
    look(line);
    out.append(trimmed(line)).push_back('\n');
  }
  if (count > 0 && in_.unterminated()) {
    out.resize(start);
    cut("the special records of an event (the last has no line end)");
    return false;
  }
  return true;
}

bool CompactText::clock_line(bool& has_clock, int64_t& clock, size_t nsat) {
  std::string_view line;
  if (!in_.next(line) || in_.unterminated()) {
    cut(in_.unterminated() ? "an epoch (its clock line has no line end)" : "an epoch");
    return false;
  }
  has_clock = !line.empty();
  if (has_clock) {
    const char* p = line.data();
    const char* end = p + line.size();
    if (line.find(' ') != std::string_view::npos) fail("a clock line holds one value");
    if (line.find('&') == std::string_view::npos && clock_.k == 0)
      fail("a clock offset difference without an initialised arc");
    clock = field(clock_, p, end, nsat, 0);  // a satellite index past the list: the clock
  }
  return true;
}

size_t CompactText::previous(size_t i) const {
  const char* code = sats_.data() + 3 * i;
  const size_t nprev = prev_sats_.size() / 3;
  if (i < nprev && std::memcmp(prev_sats_.data() + 3 * i, code, 3) == 0) return i;
  size_t j = 0;
  while (j < nprev && std::memcmp(prev_sats_.data() + 3 * j, code, 3) != 0) ++j;
  return j;
}

bool CompactText::data_lines(std::string& out, size_t start, size_t nsat) {
  // The room for all records at once, cut to what they took after them.
  const size_t at = out.size();
  out.resize(at + room(nsat));
  char* w = out.data() + at;
  std::string_view line;
  for (size_t i = 0; i < nsat; ++i) {
    // A line without its line end ends the file: it may be cut inside, and is not decoded.
    if (!in_.next(line) || in_.unterminated()) {
      out.resize(start);
      cut(in_.unterminated() ? "an epoch (its last line has no line end)" : "an epoch");
      return false;
    }
    w = satellite_line(line, i, w);
  }
  out.resize(static_cast<size_t>(w - out.data()));
  std::swap(prev_sats_, sats_);
  std::swap(prev_arcs_, arcs_);
  std::swap(prev_flags_, flags_);
  return true;
}

void CompactText::bad_value(const char* p, const char* end, size_t sat, size_t type) const {
  const char* e = static_cast<const char*>(std::memchr(p, ' ', static_cast<size_t>(end - p)));
  std::string m(1, '\'');
  m.append(p, e ? e : end).append("' is not a value of compact RINEX");
  fail(m.append(where(sat, type)));
}

int64_t CompactText::field_rest(Arc& arc, const char*& p, const char* end, size_t sat,
                                size_t type) {
  const char* s = p;
  bool neg = *s == '-';
  s += neg;
  const char* d = s;
  uint64_t v = read_digits(s, end);
  if (s - d > kMaxDigits) bad_value(p, end, sat, type);
  if (s < end && *s == '&') {
    if (s == d || neg) bad_value(p, end, sat, type);
    if (v < 1 || v > 5)
      fail("arc of order " + std::to_string(v) + ", above 5 or below 1" + where(sat, type));
    arc.k = static_cast<int8_t>(v);
    const char* vstart = ++s;
    neg = s < end && *s == '-';
    s += neg;
    d = s;
    v = read_digits(s, end);
    if (s == d || s - d > kMaxDigits || (s < end && *s != ' ')) bad_value(vstart, end, sat, type);
    arc.m = 0;
    arc.y[0] = neg ? 0 - v : v;
  } else {
    if (s == d || (s < end && *s != ' ')) bad_value(p, end, sat, type);
    if (arc.k == 0) fail("a difference without an initialised arc" + where(sat, type));
    uint64_t* y = arc.y;
    const uint64_t diff = neg ? 0 - v : v;
    if (arc.m < arc.k) {
      ++arc.m;
      uint64_t old = y[0];
      y[0] = diff;
      for (int i = 0; i < arc.m; ++i) {
        const uint64_t next_old = y[i + 1];
        y[i + 1] = y[i] + old;
        old = next_old;
      }
    } else {
      y[0] = diff;
      for (int i = 0; i < arc.m; ++i) y[i + 1] += y[i];
    }
  }
  p = s;
  return static_cast<int64_t>(arc.y[arc.m]);
}

// ---- compact RINEX 1.0 ----

CompactDecoder::CompactDecoder(LineSource& in) : CompactText(in, "1.0") {}

void CompactDecoder::set_types(std::string_view line) {
  long count = 0;
  const bool first = line.find_first_not_of(' ') < 6;
  if (first) {
    if (!column_int(line, 0, 6, count)) fail("the number of observation types is not a number");
    if (count > static_cast<long>(kMaxTypes))
      fail("more than " + std::to_string(kMaxTypes) + " observation types");
    n_ = static_cast<size_t>(count);
    types_.clear();
  } else if (!types_pending_) {
    return;
  }
  for (size_t col = 10; col < 60 && types_.size() < n_; col += 6)
    types_.emplace_back(col < line.size() ? line.substr(col, 2) : std::string_view("  "));
  types_pending_ = types_.size() < n_;
}

void CompactDecoder::look(std::string_view record) {
  if (label_is(record, "# / TYPES OF OBSERV")) set_types(record);
}

std::string CompactDecoder::where(size_t sat, size_t type) const {
  if (3 * sat >= sats_.size()) return " (receiver clock)";
  std::string m = " (satellite ";
  m.append(sats_, 3 * sat, 3).append(", type ").append(std::to_string(type + 1));
  if (type < types_.size()) m.append(" ").append(types_[type]);
  return m.append(")");
}

// 5 fields of 16 columns a line and its LF.
size_t CompactDecoder::room(size_t nsat) const { return nsat * (n_ / 5 + 1) * 81; }

// Decodes one satellite's data line into its observation records.
char* CompactDecoder::satellite_line(std::string_view line, size_t sat, char* w) {
  Arc* arcs = arcs_.data() + sat * n_;
  char* flags = flags_.data() + sat * 2 * n_;
  const char* p = line.data();
  const char* end = p + line.size();
  int64_t values[kMaxTypes];
  bool has[kMaxTypes];
  for (size_t t = 0; t < n_; ++t) {
    if (p >= end || *p == ' ') {
      has[t] = false;
      arcs[t].k = 0;
    } else {
      values[t] = field(arcs[t], p, end, sat, t);
      has[t] = true;
    }
    p += p < end;  // the blank after the field
  }
  const size_t width = 2 * n_;
  for (size_t i = 0; p + i < end && i < width; ++i) {
    const char c = p[i];
    if (c == '&')
      flags[i] = ' ';
    else if (c != ' ')
      flags[i] = c;
  }
  // A blank observation has blank flags, and the next epoch's flags differ from blanks.
  for (size_t t = 0; t < n_; ++t)
    if (!has[t]) flags[2 * t] = flags[2 * t + 1] = ' ';
  // The records, written in place: 5 fields of 16 columns a line, trailing blanks cut.
  size_t t = 0;
  do {
    char* const line_start = w;
    char* last = w;  // just after the last field that holds a value
    for (size_t j = 0; j < 5 && t < n_; ++j, ++t) {
      if (!has[t]) {
        std::memset(w, ' ', 16);
        w += 16;
        continue;
      }
      if (!put_fixed(w + 14, values[t], 14, 3))
        fail("the value " + std::to_string(values[t]) + " (in 0.001) does not fit F14.3" +
             where(sat, t));
      w[14] = flags[2 * t];
      w[15] = flags[2 * t + 1];
      w += 16;
      last = w;
    }
    while (last > line_start && last[-1] == ' ') --last;
    *last++ = '\n';
    w = last;
  } while (t < n_);
  return w;
}

bool CompactDecoder::epoch(std::string& out) {
  std::string_view line;
  if (!epoch_start(line)) return false;
  if (!line.empty() && line[0] == '&') {
    epoch_line_.clear();
    prev_sats_.clear();
  }
  apply_difference(epoch_line_, line);
  epoch_line_.resize(trimmed(epoch_line_).size());
  const char flag = epoch_line_.size() > 28 ? epoch_line_[28] : ' ';
  long count = 0;
  if (!column_int(epoch_line_, 29, 3, count))
    fail("the satellite count (columns 30-32 of the epoch line) is not a number");
  if (flag >= '2' && flag <= '9') {
    const size_t start = out.size();
    out.append(epoch_line_).push_back('\n');
    const size_t old_n = n_;
    if (!copy_event(out, start, count)) return false;
    if (n_ != old_n) prev_sats_.clear();  // the arcs of the old types end here
    lines_ = 1 + static_cast<size_t>(count);
    return true;
  }
  if (flag != ' ' && flag != '0' && flag != '1') fail(std::string("epoch flag '") + flag + "'");

  const size_t nsat = static_cast<size_t>(count);
  sats_.assign(epoch_line_.size() > 32 ? std::string_view(epoch_line_).substr(32, 3 * nsat)
                                       : std::string_view());
  sats_.resize(3 * nsat, ' ');

  // Clock line: empty, or the offset in 1e-9 s as a value of its own arc.
  bool has_clock = false;
  int64_t clock = 0;
  if (!clock_line(has_clock, clock, nsat)) return false;

  // The arcs and flag strings of this epoch's satellites, carried on from the last epoch: in
  // place when the list is the last one's (most epochs), else satellite by satellite.
  const bool same_types = prev_n_ == n_;
  if (same_types && sats_ == prev_sats_) {
    std::swap(arcs_, prev_arcs_);
    std::swap(flags_, prev_flags_);
  } else {
    arcs_.assign(nsat * n_, Arc{});
    flags_.assign(nsat * 2 * n_, ' ');
    for (size_t i = 0; i < nsat && same_types; ++i) {
      if (const size_t j = previous(i); j < prev_sats_.size() / 3) {
        std::copy_n(prev_arcs_.data() + j * n_, n_, arcs_.data() + i * n_);
        std::copy_n(prev_flags_.data() + j * 2 * n_, 2 * n_, flags_.data() + i * 2 * n_);
      }
    }
  }

  const size_t start = out.size();
  // The RINEX epoch record: 68 columns, the clock in F12.9, then 12 more codes a line.
  out.append(std::string_view(epoch_line_).substr(0, 68));
  if (has_clock) {
    out.resize(start + 68, ' ');
    char c[12];
    if (!put_fixed(c + 12, clock, 12, 9))
      fail("the clock offset " + std::to_string(clock) + " (in 1e-9 s) does not fit F12.9");
    out.append(c, 12);
  }
  out.push_back('\n');
  size_t lines = 1;
  for (size_t pos = 68; pos < 32 + 3 * nsat; pos += 36, ++lines) {
    const std::string_view more =
        pos < epoch_line_.size() ? std::string_view(epoch_line_).substr(pos, 36) : "";
    out.append(trimmed(more).empty() ? "" : std::string(32, ' ')).append(trimmed(more));
    out.push_back('\n');
  }
  if (!data_lines(out, start, nsat)) return false;
  prev_n_ = n_;
  lines_ = lines + nsat * (n_ / 5 + 1);  // the records' lines, as satellite_line writes them
  return true;
}

}  // namespace obsq::archive
