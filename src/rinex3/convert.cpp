#include "rinex3/convert.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "rinex3/mapping.hpp"
#include "rinex3/names.hpp"
#include "rinex3/tokens.hpp"

namespace obsq::rinex3 {

namespace {

constexpr std::string_view kSystems = "GRESC";  // the systems the merge knows, in satellite order
constexpr size_t kField = 16;                   // an observation: F14.3, LLI, signal strength
constexpr size_t kValue = 14;
// The text goes to the sink in pieces of this and more, which a file writer takes in whole
// blocks without copying.
constexpr size_t kPieceBytes = size_t{256} << 10;

std::string_view label_of(std::string_view line) {
  if (line.size() <= 60) return {};
  std::string_view l = line.substr(60);
  while (!l.empty() && l.back() == ' ') l.remove_suffix(1);
  return l;
}

// Up to `max` blank-separated tokens of s; the number found (more than max: max + 1).
size_t tokens(std::string_view s, std::string_view* out, size_t max) {
  size_t n = 0;
  for (size_t i = 0; i < s.size();) {
    if (s[i] == ' ') {
      ++i;
      continue;
    }
    const size_t j = std::min(s.find(' ', i), s.size());
    if (n == max) return max + 1;
    out[n++] = s.substr(i, j - i);
    i = j;
  }
  return n;
}

bool valid_date(long y, long m, long d) {
  static const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return y >= 1980 && y <= 2079 && m >= 1 && m <= 12 && d >= 1 && d <= days[m - 1] &&
         !(m == 2 && d == 29 && (y % 4 != 0 || (y % 100 == 0 && y % 400 != 0)));
}

// Digits with at most one point, nothing else (a seconds field).
bool decimal_text(std::string_view t) {
  if (t.empty()) return false;
  int points = 0, digits = 0;
  for (char c : t) {
    if (c == '.')
      ++points;
    else if (c >= '0' && c <= '9')
      ++digits;
    else
      return false;
  }
  return points <= 1 && digits > 0;
}

bool blank(std::string_view s) { return s.find_first_not_of(' ') == std::string_view::npos; }

// The source field i of a satellite record (what the line holds of its 16 columns).
std::string_view field(std::string_view line, size_t i) {
  const size_t at = 3 + kField * i;
  return at < line.size() ? line.substr(at, kField) : std::string_view();
}

bool has_value(std::string_view f) { return !blank(f.substr(0, std::min(f.size(), kValue))); }

void record(std::string& out, std::string_view content, std::string_view label) {
  const size_t start = out.size();
  out.append(content.substr(0, std::min<size_t>(60, content.size())));
  out.append(start + 60 - out.size(), ' ').append(label).push_back('\n');
}

void comment(std::string& out, std::string_view text) {
  do {
    record(out, text.substr(0, std::min<size_t>(60, text.size())), "COMMENT");
    text.remove_prefix(std::min<size_t>(60, text.size()));
  } while (!text.empty());
}

// The clock offset of an epoch record (F15.12 text) as F12.9, rounded half away from zero on
// its digits; `rounded` when a dropped decimal was not zero. Empty when F12.9 cannot hold it.
std::string clock_f12_9(std::string_view t, bool& rounded) {
  rounded = false;
  std::string sign;
  if (!t.empty() && (t[0] == '-' || t[0] == '+')) {
    if (t[0] == '-') sign = "-";
    t.remove_prefix(1);
  }
  const size_t point = t.find('.');
  std::string whole(t.substr(0, point));
  std::string frac(point == std::string_view::npos ? "" : t.substr(point + 1));
  if (whole.empty()) whole = "0";
  if (!decimal_text(whole) || (!frac.empty() && !decimal_text(frac)) ||
      frac.find('.') != std::string::npos || whole.find('.') != std::string::npos)
    return "";
  frac.resize(std::max<size_t>(frac.size(), 9), '0');
  bool up = frac.size() > 9 && frac[9] >= '5';
  rounded = frac.find_first_not_of('0', 9) != std::string::npos;
  std::string digits = whole + frac.substr(0, 9);
  for (size_t i = digits.size(); up && i-- > 0;) {
    if (digits[i] == '9') {
      digits[i] = '0';
    } else {
      ++digits[i];
      up = false;
    }
  }
  if (up) digits.insert(digits.begin(), '1');
  std::string w = digits.substr(0, digits.size() - 9);
  while (w.size() > 1 && w[0] == '0') w.erase(0, 1);
  std::string s = sign + w + "." + digits.substr(digits.size() - 9);
  if (s.size() > 12) return "";
  return std::string(12 - s.size(), ' ') + s;
}

int system_index(char s) {
  const size_t i = kSystems.find(s);
  return i == std::string_view::npos ? -1 : static_cast<int>(i);
}

std::string day_text(long y, long m, long d) {
  char s[16];
  std::snprintf(s, sizeof s, "%04ld-%02ld-%02ld", y % 10000, m % 100, d % 100);
  return s;
}

}  // namespace

bool TextLines::next(std::string_view& line) {
  if (text_.empty()) return false;
  const size_t nl = text_.find('\n');
  line = text_.substr(0, nl);
  text_.remove_prefix(nl == std::string_view::npos ? text_.size() : nl + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return true;
}

Converter::Converter(std::string file_name, std::optional<Day> day, std::string program)
    : file_name_(std::move(file_name)), day_(day), program_(std::move(program)) {
  satellites_.resize(kSystems.size() * 100);
  for (Satellite& s : satellites_) s.chosen.fill(-1);
}

void Converter::fail(std::string message) const { throw Error{line_, std::move(message)}; }

int Converter::code_id(char system, std::array<char, 3> code) {
  for (size_t i = 0; i < codes_.size(); ++i)
    if (codes_[i].system == system && codes_[i].code == code) return static_cast<int>(i);
  const Target t = map_code(system, std::string_view(code.data(), 3), version_number_);
  codes_.push_back({system, code, t.type, t.rank});
  return static_cast<int>(codes_.size() - 1);
}

// A record of SYS / # / OBS TYPES: the first of a system's group replaces its layout.
void Converter::take_types(std::string_view line) {
  const char sys = line.empty() ? ' ' : line[0];
  if (sys != ' ') {
    const long n = line.size() > 3 ? number(trim(line.substr(3, 3))) : -1;
    if (n < 0) fail("SYS / # / OBS TYPES without a count of types in columns 4-6");
    types_system_ = sys;
    types_left_ = n;
    layouts_[sys] = Layout{};
    ++generation_;
  } else if (types_system_ == 0 || types_left_ == 0) {
    fail("a continuation of SYS / # / OBS TYPES that no group needs");
  }
  Layout& layout = layouts_[types_system_];
  for (size_t k = 0; k < 13 && types_left_ > 0; ++k, --types_left_) {
    const size_t at = 7 + 4 * k;
    std::array<char, 3> code{' ', ' ', ' '};
    for (size_t c = 0; c < 3; ++c)
      if (at + c < line.size() && at + c < 60) code[c] = line[at + c];
    if (code[0] == ' ') fail("SYS / # / OBS TYPES lists fewer codes than its count");
    layout.codes.push_back(code);
    layout.ids.push_back(system_index(types_system_) >= 0 ? code_id(types_system_, code) : -1);
  }
}

// A header record, or a record of an event block, as RINEX 2.11 to out (when given); what has
// no counterpart is counted.
void Converter::header_record(std::string_view line, std::string* out, bool in_event) {
  const std::string_view label = label_of(line);
  const std::string_view content = line.substr(0, std::min<size_t>(60, line.size()));
  auto left_out = [&] {
    const bool named = !label.empty() && ((label[0] >= 'A' && label[0] <= 'Z') || label[0] == '#');
    if (writing_) ++tally_.records_left_out[named ? std::string(label) : "(no header label)"];
  };
  if (label == "SYS / # / OBS TYPES") {
    take_types(line);
  } else if (label == "COMMENT" || label == "MARKER NUMBER" || label == "OBSERVER / AGENCY" ||
             label == "REC # / TYPE / VERS" || label == "APPROX POSITION XYZ" ||
             label == "INTERVAL" || label == "RCV CLOCK OFFS APPL") {
    if (out) out->append(line).push_back('\n');
  } else if (label == "MARKER NAME") {
    if (!blank(content)) {
      if (!in_event) {
        has_marker_ = true;
        marker_ = trim(content);
      }
      if (out) out->append(line).push_back('\n');
    }
  } else if (label == "ANT # / TYPE" || label == "ANTENNA: DELTA H/E/N") {
    if (!in_event) (label == "ANT # / TYPE" ? has_antenna_ : has_delta_) = true;
    if (out) out->append(line).push_back('\n');
  } else if (label == "PGM / RUN BY / DATE" || label == "DOI" || label == "LICENSE OF USE" ||
             label == "STATION INFORMATION") {
    if (out) comment(*out, trim(content));
  } else if (!in_event && (label == "TIME OF FIRST OBS" || label == "TIME OF LAST OBS")) {
    std::string_view t[8];
    const size_t n = tokens(content, t, 7);
    if (n < 6 || n > 7 || !valid_date(number(t[0]), number(t[1]), number(t[2])) ||
        number(t[3]) < 0 || number(t[4]) < 0 || !decimal_text(t[5]) || t[5].size() > 13)
      fail(std::string(label) + " without a time (year, month, day, hour, minute, seconds)");
    if (label == "TIME OF FIRST OBS") {
      has_first_ = true;
      if (n == 7 && !writing_) time_system_ = t[6];
      first_day_ = Day{static_cast<int>(number(t[0])), static_cast<int>(number(t[1])),
                       static_cast<int>(number(t[2]))};
    }
    if (out) {
      char s[160];
      std::snprintf(s, sizeof s, "%6ld%6ld%6ld%6ld%6ld%13.*s     %.3s", number(t[0]), number(t[1]),
                    number(t[2]), number(t[3]), number(t[4]), static_cast<int>(t[5].size()),
                    t[5].data(), time_system_.c_str());
      record(*out, s, label);
    }
  } else if (!in_event && label == "LEAP SECONDS") {
    const std::string_view id = line.size() > 24 ? trim(line.substr(24, 3)) : std::string_view();
    const long leap = std::strtol(
        std::string(line.substr(0, std::min<size_t>(6, line.size()))).c_str(), nullptr, 10);
    if (id.empty() || id == "GPS") {
      if (out) {
        char s[16];
        std::snprintf(s, sizeof s, "%6ld", leap);
        record(*out, s, "LEAP SECONDS");
      }
    } else {
      left_out();
    }
  } else if (!in_event && label == "SYS / SCALE FACTOR") {
    const std::string_view f = line.size() > 2 ? trim(line.substr(2, 4)) : std::string_view();
    if (!f.empty() && number(f) != 1 && refusal_.empty())
      refusal_ = "values scaled by " + std::to_string(number(f)) + " (SYS / SCALE FACTOR)";
  } else if (label == "# OF SATELLITES" || label == "PRN / # OF OBS" || label == "END OF HEADER") {
  } else {
    left_out();
  }
}

bool Converter::read_header(LineInput& in, std::string* out) {
  std::string_view line;
  std::string body;
  for (;;) {
    if (!in.next(line)) fail("the file ends inside the header");
    ++line_;
    if (line_ == 1) {
      if (label_of(line) != "RINEX VERSION / TYPE")
        fail("not RINEX: the first record is not RINEX VERSION / TYPE");
      version_ = trim(line.substr(0, std::min<size_t>(9, line.size())));
      const double v = std::strtod(version_.c_str(), nullptr);
      version_number_ = static_cast<int>(std::lround(v * 100));
      if ((line.size() > 20 ? line[20] : ' ') != 'O') fail("not an observation file");
      file_system_ = line.size() > 40 ? line[40] : ' ';
      if (file_system_ == ' ') file_system_ = 'G';
      if (version_number_ < 300 || version_number_ >= 500)
        refusal_ = "RINEX " + version_ + ": the conversion reads RINEX 3 and 4";
      continue;
    }
    if (label_of(line) == "END OF HEADER") break;
    header_record(line, out ? &body : nullptr, false);
  }
  if (time_system_.empty()) {
    const char s = file_system_;
    time_system_ = s == 'R'   ? "GLO"
                   : s == 'E' ? "GAL"
                   : s == 'C' ? "BDT"
                   : s == 'J' ? "QZS"
                   : s == 'I' ? "IRN"
                              : "GPS";
  }
  if (refusal_.empty() &&
      std::none_of(codes_.begin(), codes_.end(), [](const CodeInfo& c) { return c.type >= 0; }))
    refusal_ =
        "no observation maps to a RINEX 2.11 type (no code of SYS / # / OBS TYPES feeds one)";
  if (refusal_.empty() && time_system_ != "GPS" && time_system_ != "GLO" && time_system_ != "GAL")
    refusal_ = "time system " + time_system_ + ": the merge reads GPS, GLO and GAL time only";
  if (out) {
    const bool beidou = written_system_.find('C') != std::string::npos;
    const char letter = written_system_.size() == 1 && !beidou ? written_system_[0] : 'M';
    const char* name = letter == 'G'   ? "G (GPS)"
                       : letter == 'R' ? "R (GLONASS)"
                       : letter == 'E' ? "E (GALILEO)"
                       : letter == 'S' ? "S (GEO)"
                                       : "M (MIXED)";
    char first[96];
    std::snprintf(first, sizeof first, "     2.11           OBSERVATION DATA    %-20s", name);
    record(*out, first, "RINEX VERSION / TYPE");
    std::string pgm = program_;
    pgm.resize(40, ' ');
    char date[32] = "";
    time_t now = std::time(nullptr);
    if (const char* e = std::getenv("SOURCE_DATE_EPOCH")) now = std::strtol(e, nullptr, 10);
    std::tm tm{};
    gmtime_r(&now, &tm);
    std::strftime(date, sizeof date, "%Y%m%d %H%M%S UTC", &tm);
    record(*out, pgm + date, "PGM / RUN BY / DATE");
    comment(*out, "CONVERTED FROM RINEX " + version_ + " OBSERVATION DATA");
    out->append(body);
    out->append(header_additions());
  }
  return true;
}

std::string Converter::header_additions() const {
  std::string h;
  if (!has_marker_) {
    const std::string station = station_of(file_name_);
    if (!station.empty()) record(h, station, "MARKER NAME");
  }
  if (!has_antenna_) record(h, "", "ANT # / TYPE");
  if (!has_delta_) record(h, "        0.0000        0.0000        0.0000", "ANTENNA: DELTA H/E/N");
  record(h, "     1     1", "WAVELENGTH FACT L1/2");
  for (size_t k = 0; k < out_types_.size() || k == 0; k += 9) {
    char s[32];
    std::snprintf(s, sizeof s, "%6zu", out_types_.size());
    std::string c = k == 0 ? s : "      ";
    for (size_t j = k; j < std::min(k + 9, out_types_.size()); ++j)
      c.append("    ").append(type_name(out_types_[j]));
    record(h, c, "# / TYPES OF OBSERV");
  }
  if (!has_first_) h.append(first_epoch_);
  if (written_system_.find('C') != std::string::npos)
    comment(h, "BEIDOU (C) KEPT: RINEX 2.12 NAMES IT, THE FILE SAYS 2.11");
  comment(h, "LLI AS IN RINEX 3 (BIT 2 MAY MARK GALILEO BOC TRACKING)");
  // The code feeding each type, e.g. "G L2 <- L2W (31 sat), L2X (1 sat)".
  for (char sys : kSystems) {
    for (int t : out_types_) {
      std::map<std::pair<int, int>, int> users;  // (rank, code id) -> satellites
      for (int p = 0; p < 100; ++p) {
        const Satellite& s = satellites_[static_cast<size_t>(system_index(sys) * 100 + p)];
        const int id = s.chosen[static_cast<size_t>(t)];
        if (id >= 0) ++users[{codes_[static_cast<size_t>(id)].rank, id}];
      }
      if (users.empty()) continue;
      std::string line = std::string(1, sys) + " " + std::string(type_name(t)) + " <-";
      for (const auto& [key, n] : users) {
        const CodeInfo& c = codes_[static_cast<size_t>(key.second)];
        line += (line.back() == '-' ? " " : ", ") + std::string(c.code.data(), 3) + " (" +
                std::to_string(n) + " sat)";
      }
      comment(h, line);
    }
  }
  record(h, "", "END OF HEADER");
  return h;
}

// One satellite record of an observation epoch.
void Converter::satellite_line(std::string_view line, bool writing, std::string* out) {
  const char sys = line.empty() ? ' ' : line[0];
  const int si = system_index(sys);
  if (si < 0 && sys >= 'A' && sys <= 'Z') {
    if (writing) ++tally_.satellites_left_out[sys];
    return;
  }
  const char tens = line.size() > 1 ? line[1] : ' ', ones = line.size() > 2 ? line[2] : ' ';
  if (si < 0 || !((tens == ' ' || (tens >= '0' && tens <= '9')) && ones >= '0' && ones <= '9'))
    fail("not a satellite record: '" +
         std::string(line.substr(0, std::min<size_t>(3, line.size()))) + "' is no satellite");
  const int prn = (tens == ' ' ? 0 : tens - '0') * 10 + (ones - '0');
  const auto it = layouts_.find(sys);
  if (it == layouts_.end())
    fail(std::string("satellite of system ") + sys + " without SYS / # / OBS TYPES");
  const Layout& layout = it->second;
  Satellite& sat = satellites_[static_cast<size_t>(si * 100 + prn)];
  const size_t n = layout.codes.size();
  if (!writing) {
    if (sat.present.size() < codes_.size()) sat.present.resize(codes_.size());
    for (size_t i = 0; i < n; ++i) {
      const int id = layout.ids[i];
      if (codes_[static_cast<size_t>(id)].type >= 0 && has_value(field(line, i)))
        sat.present[static_cast<size_t>(id)] = 1;
    }
    return;
  }
  if (sat.source_generation != generation_ || sat.source.size() != out_types_.size()) {
    sat.source.assign(out_types_.size(), -1);
    for (size_t k = 0; k < out_types_.size(); ++k) {
      const int id = sat.chosen[static_cast<size_t>(out_types_[k])];
      for (size_t i = 0; i < n && id >= 0; ++i)
        if (layout.ids[i] == id) {
          sat.source[k] = static_cast<int16_t>(i);
          break;
        }
    }
    sat.source_generation = generation_;
  }
  // The counts of what is not written: values of codes feeding no type, and values of other
  // codes where the chosen code of their type has none.
  for (size_t i = 0; i < n; ++i) {
    const std::string_view f = field(line, i);
    if (f.empty()) break;
    const int id = layout.ids[i];
    const CodeInfo& c = codes_[static_cast<size_t>(id)];
    if (c.type >= 0 && sat.chosen[static_cast<size_t>(c.type)] == id) continue;
    if (!has_value(f)) continue;
    if (static_cast<size_t>(id) >= unnamed_.size()) {
      unnamed_.resize(codes_.size());
      behind_.resize(codes_.size());
    }
    if (c.type < 0) {
      ++unnamed_[static_cast<size_t>(id)];
    } else if (!written_[static_cast<size_t>(c.type)]) {
      ++behind_[static_cast<size_t>(id)];
    } else {
      const int src = sat.source[static_cast<size_t>(out_index_[static_cast<size_t>(c.type)])];
      if (src < 0 || !has_value(field(line, static_cast<size_t>(src))))
        ++behind_[static_cast<size_t>(id)];
    }
  }
  sats_.push_back(sys);
  sats_.push_back(static_cast<char>('0' + prn / 10));
  sats_.push_back(static_cast<char>('0' + prn % 10));
  ++kept_;
  // The RINEX 2 record: the chosen fields, five to a line, trailing blanks left off.
  const size_t m = out_types_.size();
  for (size_t k0 = 0; k0 < m || k0 == 0; k0 += 5) {
    const size_t start = out->size();
    for (size_t k = k0; k < std::min(k0 + 5, m); ++k) {
      const size_t at = start + (k - k0) * kField;
      if (sat.source[k] < 0) continue;
      const std::string_view f = field(line, static_cast<size_t>(sat.source[k]));
      out->resize(at, ' ');
      out->append(f);
    }
    while (out->size() > start && out->back() == ' ') out->pop_back();
    out->push_back('\n');
  }
}

bool Converter::next_epoch(LineInput& in, bool writing, std::string* out) {
  std::string_view line;
  do {
    if (!in.next(line)) return false;
    ++line_;
  } while (blank(line));
  const long at = line_;
  if (line[0] != '>') fail("not an epoch record ('>' in column 1)");
  // The fields are used after the epoch's records are read: they point into a copy of the
  // record, as the input's line is valid only until its next line.
  record_.assign(line);
  std::string_view t[10];
  const size_t n = tokens(std::string_view(record_).substr(1), t, 10);
  const bool timed = n >= 8;
  if (!(n == 2 || (n >= 8 && n <= 10)))
    fail("not an epoch record (time, flag, satellite count, clock offset)");
  const std::string_view flag_t = timed ? t[6] : t[0];
  const long count = number(timed ? t[7] : t[1]);
  if (flag_t.size() != 1 || flag_t[0] < '0' || flag_t[0] > '9' || count < 0 || count > 999)
    fail("not an epoch record: flag '" + std::string(flag_t) + "', count '" +
         std::string(timed ? t[7] : t[1]) + "'");
  const int flag = flag_t[0] - '0';
  long y = 0, mo = 0, d = 0, h = 0, mi = 0;
  long second = -1;
  if (timed) {
    y = number(t[0]), mo = number(t[1]), d = number(t[2]), h = number(t[3]), mi = number(t[4]);
    if (!valid_date(y, mo, d) || h < 0 || h > 24 || mi < 0 || mi > 59 || !decimal_text(t[5]) ||
        t[5].size() > 11)
      fail("not an epoch time: '" + std::string(trim(std::string_view(record_).substr(1, 28))) +
           "'");
    const double s = std::strtod(std::string(t[5]).c_str(), nullptr);
    second = std::lround(static_cast<double>(h * 3600) + (s + static_cast<double>(mi * 60)));
  } else if (flag < 2 || flag == 6) {
    fail("an epoch of flag " + std::to_string(flag) + " without its time");
  }
  // What the epoch's records are: satellites (flags 0, 1), header records (2-5), cycle
  // slips (6), or not RINEX (7-9).
  auto skip = [&](long k) {
    for (long i = 0; i < k; ++i) {
      if (!in.next(line)) {
        cut(at);
        return false;
      }
      ++line_;
    }
    return true;
  };
  const bool other_day = timed && day_ && !(Day{int(y), int(mo), int(d)} == *day_);
  if (other_day) {
    if (writing) ++tally_.other_days[day_text(y, mo, d)];
    return skip(count);
  }
  if (flag >= 6) {
    if (writing) {
      ++tally_.events_left_out[flag];
      if (flag > 6)
        tally_.warnings.push_back({at, "epoch flag " + std::to_string(flag) +
                                           " is not RINEX; its " + std::to_string(count) +
                                           " records read past"});
    }
    return skip(count);
  }
  // A second of the day met before (the merge would stop on it); a time past the day's end
  // (hour 24 past midnight, seconds of 60 and more) is the merge's to judge.
  if (flag < 2 && second >= 0 && second <= 86400) {
    if (seen_[static_cast<size_t>(second)]) {
      if (writing) ++tally_.repeats;
      return skip(count);
    }
    seen_[static_cast<size_t>(second)] = true;
  }
  char head[160];
  if (timed) {
    std::snprintf(head, sizeof head, " %02ld %2ld %2ld %2ld %2ld%11.*s  %d", y % 100, mo, d, h, mi,
                  static_cast<int>(t[5].size()), t[5].data(), flag);
  } else {
    std::snprintf(head, sizeof head, "%28s%d", "", flag);
  }
  if (timed && !has_first_ && first_epoch_.empty() && flag < 2) {
    char s[160];
    std::snprintf(s, sizeof s, "%6ld%6ld%6ld%6ld%6ld%13.*s     %.3s", y, mo, d, h, mi,
                  static_cast<int>(t[5].size()), t[5].data(), time_system_.c_str());
    record(first_epoch_, s, "TIME OF FIRST OBS");
  }
  epoch_.clear();
  sats_.clear();
  kept_ = 0;
  if (flag >= 2) {
    for (long i = 0; i < count; ++i) {
      if (!in.next(line)) return cut(at), false;
      ++line_;
      header_record(line, writing ? &epoch_ : nullptr, true);
    }
    if (writing) {
      const long written = static_cast<long>(std::count(epoch_.begin(), epoch_.end(), '\n'));
      char c[32];
      std::snprintf(c, sizeof c, "%3ld\n", written);
      out->append(head).append(c).append(epoch_);
    }
    return true;
  }
  for (long i = 0; i < count; ++i) {
    if (!in.next(line)) return cut(at), false;
    ++line_;
    satellite_line(line, writing, &epoch_);
  }
  if (!writing) return true;
  // The clock offset (and a 4.02 picosecond field, which F11.7 seconds cannot hold).
  std::string clock;
  for (size_t k = 8; k < n; ++k) {
    if (t[k].find('.') == std::string_view::npos) {
      if (number(t[k]) != 0) ++tally_.picoseconds;
      continue;
    }
    bool rounded = false;
    clock = clock_f12_9(t[k], rounded);
    if (clock.empty())
      ++tally_.clocks_too_wide;
    else if (rounded)
      ++tally_.clocks_rounded;
  }
  char c[32];
  std::snprintf(c, sizeof c, "%3ld", kept_);
  const size_t start = out->size();
  out->append(head).append(c);
  for (long k = 0; k < kept_ || k == 0; k += 12) {
    if (k > 0) out->append("\n").append(32, ' ');
    out->append(sats_, static_cast<size_t>(k) * 3, 36);
    if (k == 0 && !clock.empty()) out->resize(start + 68, ' '), out->append(clock);
  }
  out->push_back('\n');
  out->append(epoch_);
  return true;
}

void Converter::cut(long at) {
  if (writing_)
    tally_.warnings.push_back({at, "the file ends inside the epoch of this line, after line " +
                                       std::to_string(line_) +
                                       "; the complete epochs before it are kept"});
}

void Converter::survey(LineInput& in) {
  writing_ = false;
  line_ = 0;
  read_header(in, nullptr);
  if (!refusal_.empty()) return;
  seen_.assign(86401, false);
  while (next_epoch(in, false, nullptr)) {}
  // Per satellite and type, the best code with a value.
  for (size_t si = 0; si < satellites_.size(); ++si) {
    Satellite& s = satellites_[si];
    s.present.resize(codes_.size());
    for (size_t id = 0; id < codes_.size(); ++id) {
      const CodeInfo& c = codes_[id];
      if (!s.present[id] || c.system != kSystems[si / 100] || c.type < 0) continue;
      int16_t& best = s.chosen[static_cast<size_t>(c.type)];
      if (best < 0 || codes_[static_cast<size_t>(best)].rank > c.rank)
        best = static_cast<int16_t>(id);
    }
    for (int type = 0; type < kTypes; ++type)
      if (s.chosen[static_cast<size_t>(type)] >= 0) {
        written_[static_cast<size_t>(type)] = true;
        if (written_system_.find(kSystems[si / 100]) == std::string::npos)
          written_system_.push_back(kSystems[si / 100]);
      }
  }
  for (int type = 0; type < kTypes; ++type)
    if (written_[static_cast<size_t>(type)]) {
      out_index_[static_cast<size_t>(type)] = static_cast<int>(out_types_.size());
      out_types_.push_back(type);
    }
  if (out_types_.empty())
    refusal_ = "no observation maps to a RINEX 2.11 type (no code that feeds one has a value)";
}

void Converter::write(LineInput& in, const std::function<void(std::string_view)>& sink) {
  writing_ = true;
  line_ = 0;
  layouts_.clear();
  ++generation_;
  unnamed_.assign(codes_.size(), 0);
  behind_.assign(codes_.size(), 0);
  std::string out;
  const bool had_first = has_first_;
  has_marker_ = has_antenna_ = has_delta_ = false;
  read_header(in, &out);
  has_first_ = had_first;
  seen_.assign(86401, false);
  while (next_epoch(in, true, &out)) {
    if (out.size() >= kPieceBytes) {
      sink(out);
      out.clear();
    }
  }
  if (!out.empty()) sink(out);
  for (size_t id = 0; id < codes_.size() && id < unnamed_.size(); ++id) {
    const std::string name = std::string(1, codes_[id].system) + " " +
                             std::string(trim(std::string_view(codes_[id].code.data(), 3)));
    if (unnamed_[id] > 0) tally_.unnamed_values[name] += unnamed_[id];
    if (behind_[id] > 0) tally_.left_behind[name] += behind_[id];
  }
}

Facts read_facts(LineInput& in) {
  Converter c("", std::nullopt, "");
  Facts f;
  c.read_header(in, nullptr);
  f.version = c.version_;
  f.marker = c.marker_;
  f.refusal = c.refusal_;
  // The day of the data: the first dated epoch's, else that of TIME OF FIRST OBS.
  std::string_view line;
  while (!f.start && in.next(line)) {
    std::string_view t[10];
    if (line.empty() || line[0] != '>' || tokens(line.substr(1), t, 10) < 8) continue;
    if (valid_date(number(t[0]), number(t[1]), number(t[2])))
      f.start = Day{static_cast<int>(number(t[0])), static_cast<int>(number(t[1])),
                    static_cast<int>(number(t[2]))};
  }
  if (!f.start) f.start = c.first_day_;
  return f;
}

}  // namespace obsq::rinex3
