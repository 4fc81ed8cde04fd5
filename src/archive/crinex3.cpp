// Compact RINEX 3.0: the 1.0 scheme fitted to the RINEX 3 layout. The epoch line carries the
// satellite list from column 42 and starts with '>' when given in full; every satellite has
// one data line with its system's number of fields; flags do not depend on the values.
#include <algorithm>
#include <cstring>

#include "archive/columns.hpp"
#include "archive/crinex.hpp"

namespace obsq::archive {

using detail::column_int;
using detail::label_is;
using detail::put_fixed;
using detail::trimmed;

namespace {

constexpr int kMaxTypes = 999;    // per system; the count field has three digits
constexpr size_t kMaxSats = 999;  // per epoch; the count field has three digits
constexpr size_t kEpochColumns = 41;

}  // namespace

Compact3Decoder::Compact3Decoder(LineSource& in) : CompactText(in, "3.0") {
  n_.fill(-1);
  std::string_view line;
  in_.next(line);
  const char major = line.size() > 5 ? line[5] : ' ';
  if (major != '3' && major != '4')
    fail("compact RINEX 3.0 holds RINEX 3 or 4, not version '" +
         std::string(trimmed(line.substr(0, 9))) + "'");
  in_.unread();
}

// A SYS / # / OBS TYPES record with a system letter in column 1 sets that system's count;
// continuation records (column 1 blank) give only type codes, which decoding does not need.
void Compact3Decoder::look(std::string_view record) {
  if (!label_is(record, "SYS / # / OBS TYPES") || record[0] == ' ') return;
  long count = 0;
  if (!column_int(record, 3, 3, count) || static_cast<unsigned char>(record[0]) >= 128)
    fail("the system and count of SYS / # / OBS TYPES (columns 1-6) are not a letter and a number");
  if (count > kMaxTypes) fail("more than " + std::to_string(kMaxTypes) + " observation types");
  n_[static_cast<unsigned char>(record[0])] = static_cast<int>(count);
}

std::string Compact3Decoder::where(size_t sat, size_t type) const {
  if (3 * sat >= sats_.size()) return " (receiver clock)";
  std::string m = " (satellite ";
  m.append(sats_, 3 * sat, 3).append(", type ").append(std::to_string(type + 1));
  return m.append(")");
}

void Compact3Decoder::bad_epoch_line() const {
  fail("damaged epoch line '" + epoch_line_.substr(0, 60) +
       "': it must start with '>', have blanks in columns 30-31 and the epoch flag in "
       "column 32");
}

// Per satellite its code, 16 columns a field and the LF.
size_t Compact3Decoder::room(size_t nsat) const { return 4 * nsat + 16 * size_t{first_[nsat]}; }

// Decodes one satellite's data line into its observation record.
char* Compact3Decoder::satellite_line(std::string_view line, size_t sat, char* w) {
  const size_t n = first_[sat + 1] - first_[sat];
  Arc* arcs = arcs_.data() + first_[sat];
  char* flags = flags_.data() + 2 * first_[sat];
  const char* p = line.data();
  const char* end = p + line.size();
  // The record, written in place: the satellite, then 16 columns a field, trailing blanks cut.
  char* const start = w;
  std::memcpy(start, sats_.data() + 3 * sat, 3);
  w = start + 3;
  for (size_t t = 0; t < n; ++t, w += 16) {
    if (p >= end || *p == ' ') {
      arcs[t].k = 0;
      std::memset(w, ' ', 14);
    } else {
      const int64_t v = field(arcs[t], p, end, sat, t);
      if (!put_fixed(w + 14, v, 14, 3))
        fail("the value " + std::to_string(v) + " (in 0.001) does not fit F14.3" + where(sat, t));
    }
    p += p < end;  // the blank after the field
  }
  // The flags: a difference against the satellite's flags of the last epoch (blanks for a
  // satellite new to the list, also where a short string leaves positions out).
  for (size_t i = 0; p + i < end && i < 2 * n; ++i) {
    const char c = p[i];
    if (c == '&')
      flags[i] = ' ';
    else if (c != ' ')
      flags[i] = c;
  }
  for (size_t t = 0; t < n; ++t) {
    char* f = start + 3 + 16 * t + 14;
    f[0] = flags[2 * t];
    f[1] = flags[2 * t + 1];
  }
  char* last = w;
  while (last > start && last[-1] == ' ') --last;
  *last++ = '\n';
  return last;
}

bool Compact3Decoder::epoch(std::string& out) {
  std::string_view line;
  do {  // lines starting with '&' are escapes, reserved: passed over
    if (!epoch_start(line)) return false;
  } while (!line.empty() && line[0] == '&');
  const bool full = !line.empty() && line[0] == '>';
  if (!full && after_event_)
    fail("the epoch line after an event must be given in full (starting with '>')");
  if (!full && epoch_line_.empty())
    fail("an epoch line given as a difference, with no epoch before it");
  if (full) {
    epoch_line_.clear();
    prev_sats_.clear();
  }
  apply_difference(epoch_line_, line);
  epoch_line_.resize(trimmed(epoch_line_).size());
  const std::string_view e = epoch_line_;
  if (e.size() < 32 || e[0] != '>' || e[29] != ' ' || e[30] != ' ' ||
      static_cast<unsigned>(e[31] - '0') >= 10)
    bad_epoch_line();
  long count = 0;
  if (!column_int(e, 32, 3, count))
    fail("the satellite count (columns 33-35 of the epoch line) is not a number");
  const size_t start = out.size();
  if (e[31] >= '2') {  // an event: its records are copied as they stand
    out.append(e).push_back('\n');
    after_event_ = true;
    prev_sats_.clear();
    if (!copy_event(out, start, count)) return false;
    lines_ = 1 + static_cast<size_t>(count);
    return true;
  }
  after_event_ = false;
  const size_t nsat = static_cast<size_t>(count);
  if (nsat > kMaxSats) fail("more than " + std::to_string(kMaxSats) + " satellites in an epoch");
  sats_.assign(e.size() > kEpochColumns ? e.substr(kEpochColumns, 3 * nsat) : std::string_view());
  sats_.resize(3 * nsat, ' ');

  // Clock line: empty, or the offset in 1e-12 s as a value of its own arc.
  bool has_clock = false;
  int64_t clock = 0;
  if (!clock_line(has_clock, clock, nsat)) return false;

  // Where each satellite's fields start, by its system's type count.
  first_.resize(nsat + 1);
  first_[0] = 0;
  for (size_t i = 0; i < nsat; ++i) {
    const unsigned char sys = static_cast<unsigned char>(sats_[3 * i]);
    const int n = sys < 128 ? n_[sys] : -1;
    if (n < 0)
      fail("satellite '" + sats_.substr(3 * i, 3) +
           "' of a system without SYS / # / OBS TYPES in the header");
    first_[i + 1] = first_[i] + static_cast<uint32_t>(n);
  }
  // The arcs and flag strings of this epoch's satellites, carried on from the last epoch: in
  // place when the list and its systems' type counts are the last one's, else one by one.
  if (sats_ == prev_sats_ && first_ == prev_first_) {
    std::swap(arcs_, prev_arcs_);
    std::swap(flags_, prev_flags_);
  } else {
    arcs_.assign(first_[nsat], Arc{});
    flags_.assign(2 * size_t{first_[nsat]}, ' ');
    for (size_t i = 0; i < nsat; ++i) {
      const size_t j = previous(i);
      const uint32_t n = first_[i + 1] - first_[i];
      if (j < prev_sats_.size() / 3 && prev_first_[j + 1] - prev_first_[j] == n) {
        std::copy_n(prev_arcs_.data() + prev_first_[j], n, arcs_.data() + first_[i]);
        std::copy_n(prev_flags_.data() + 2 * prev_first_[j], 2 * n,
                    flags_.data() + 2 * first_[i]);
      }
    }
  }

  // The RINEX 3 epoch record: 41 columns, then the clock in F15.12.
  if (has_clock) {
    out.append(e.substr(0, kEpochColumns));
    out.resize(start + kEpochColumns, ' ');
    char c[15];
    if (!put_fixed(c + 15, clock, 15, 12))
      fail("the clock offset " + std::to_string(clock) + " (in 1e-12 s) does not fit F15.12");
    out.append(c, 15);
  } else {
    out.append(trimmed(e.substr(0, kEpochColumns)));
  }
  out.push_back('\n');
  if (!data_lines(out, start, nsat)) return false;
  std::swap(prev_first_, first_);
  lines_ = 1 + nsat;
  return true;
}

}  // namespace obsq::archive
