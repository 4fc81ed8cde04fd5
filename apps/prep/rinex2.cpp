#include "rinex2.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "rinex3/tokens.hpp"

namespace obsq::prep {

namespace {

bool label_is(std::string_view line, std::string_view label) {
  return line.size() >= 60 + label.size() && line.substr(60, label.size()) == label;
}

using rinex3::number;
using rinex3::trim;

// The integer of columns [from, from+w) (blanks around it), -1 when blank or not a number.
long column_int(std::string_view line, size_t from, size_t w) {
  return from < line.size() ? number(trim(line.substr(from, w))) : -1;
}

bool valid(int y, int m, int d) {
  static const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return y >= 1980 && m >= 1 && m <= 12 && d >= 1 && d <= days[m - 1] &&
         !(m == 2 && d == 29 && (y % 4 != 0 || (y % 100 == 0 && y % 400 != 0)));
}

}  // namespace

int Date::day_of_year() const {
  static const int before[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return before[month - 1] + day + (leap && month > 2 ? 1 : 0);
}

std::string Date::text() const {
  char s[16];
  std::snprintf(s, sizeof s, "%04d-%02d-%02d", year % 10000, month % 100, day % 100);
  return s;
}

std::optional<Date> epoch_date(std::string_view record) {
  const long yy = column_int(record, 0, 3), m = column_int(record, 3, 3),
             d = column_int(record, 6, 3);
  if (yy < 0 || yy > 99 || m < 0 || d < 0) return std::nullopt;
  const Date date{static_cast<int>(yy < 80 ? 2000 + yy : 1900 + yy), static_cast<int>(m),
                  static_cast<int>(d)};
  if (!valid(date.year, date.month, date.day)) return std::nullopt;
  return date;
}

// The satellite codes of one record of the list (columns 33-68, `left` codes still to come):
// the merge knows the systems G, R, S, E, C (either case) and a blank letter for GPS.
void Rinex2Reader::check_systems(std::string_view record, long left, Epoch& epoch) {
  for (long k = 0; k < std::min(left, 12L) && epoch.unknown_system.empty(); ++k) {
    const size_t col = 32 + 3 * static_cast<size_t>(k);
    const char c = col < record.size() ? record[col] : ' ';
    if (std::string_view(" GgRrSsEeCc").find(c) == std::string_view::npos)
      epoch.unknown_system = record.substr(col, 3);
  }
}

void Rinex2Reader::take_types(std::string_view line) {
  const long count = column_int(line, 0, 6);
  if (count >= 0) facts_.types = count;
}

const HeaderFacts& Rinex2Reader::read_header() {
  std::string_view line;
  for (;;) {
    if (!file_.next_line(line))
      throw archive::FormatError{file_.path(), line_, "the file ends inside the header"};
    ++line_;
    header_.append(line).push_back('\n');
    if (line_ == 1) facts_.version = trim(line.substr(0, std::min<size_t>(9, line.size())));
    if (label_is(line, "END OF HEADER")) break;
    if (label_is(line, "MARKER NAME")) facts_.marker = trim(line.substr(0, 60));
    if (label_is(line, "# / TYPES OF OBSERV")) take_types(line);
    if (label_is(line, "TIME OF FIRST OBS")) {
      const long y = column_int(line, 0, 6), m = column_int(line, 6, 6),
                 d = column_int(line, 12, 6);
      if (y > 0 && valid(static_cast<int>(y), static_cast<int>(m), static_cast<int>(d)))
        facts_.first_obs = Date{static_cast<int>(y), static_cast<int>(m), static_cast<int>(d)};
    }
  }
  facts_.header_lines = line_;
  return facts_;
}

bool Rinex2Reader::next(Epoch& epoch) {
  std::string_view line;
  // Blank lines where an epoch record belongs (newlines a writer added at the end, a DOS end-of-
  // file character) hold nothing; the merge would take each for an epoch of no date at 00:00:00.
  // They are left out and counted.
  for (;;) {
    if (cut_ || !file_.next_line(line)) return false;
    ++line_;
    if (!archive::blank_line(line)) break;
    if (blank_lines_++ == 0) first_blank_ = line_;
  }
  epoch.text.assign(line).push_back('\n');
  epoch.line = line_;
  if (file_.unterminated()) {
    cut_ = archive::Notice{line_,
                           "the file ends inside this epoch record (no line end); the "
                           "complete epochs before it are kept"};
    return false;
  }
  epoch.date = epoch_date(line);
  const char flag = line.size() > 28 ? line[28] : ' ';
  const long count = line.substr(std::min<size_t>(29, line.size())).find_first_not_of(' ') < 3
                         ? column_int(line, 29, 3)
                         : 0;
  if (count < 0 || (flag != ' ' && (flag < '0' || flag > '9')))
    throw archive::FormatError{file_.path(), line_,
                               "not an epoch record (flag in column 29, count in columns 30-32)"};
  epoch.second = -1;
  epoch.unknown_system.clear();
  long more, list_lines = 0;
  if (flag >= '2') {
    more = count;  // special records
  } else {
    // The time of day as the merge keys it: hour, minute and seconds, rounded to the second.
    const long h = column_int(line, 9, 3), mi = column_int(line, 12, 3);
    const std::string sec(line.substr(std::min<size_t>(15, line.size()), 11));
    char* end = nullptr;
    const double s = std::strtod(sec.c_str(), &end);
    const double t = std::round(static_cast<double>(h * 3600) + (s + static_cast<double>(mi * 60)));
    if (h >= 0 && mi >= 0 && end != sec.c_str() && t >= 0 && t <= 86400)
      epoch.second = static_cast<long>(t);
    list_lines = count > 12 ? (count - 1) / 12 : 0;
    check_systems(line, count, epoch);
    const long records = facts_.types > 0 ? (facts_.types + 4) / 5 : 1;
    more = (count > 12 ? (count - 1) / 12 : 0) + count * records;
  }
  // The first line of the last satellite's observation record.
  const long last_record = flag >= '2' || count == 0 ? more : more - (more - list_lines) / count;
  for (long i = 0; i < more; ++i) {
    // The observation records of a decoded file are taken in one piece: its lines all end, and
    // none of them is looked at. Where its text ends first, the next read below tells.
    if (i == list_lines && flag < '2' && file_.decoded()) {
      const long got =
          static_cast<long>(file_.append_decoded_lines(static_cast<size_t>(more - i), epoch.text));
      line_ += got;
      i += got;
      if (i == more) break;
    }
    if (!file_.next_line(line) || file_.unterminated()) {
      if (file_.unterminated()) ++line_;  // cut inside this line (no line end)
      // Some writers drop the trailing lines of a record whose fields are all blank: at a clean
      // end inside the last satellite's record, those lines are blank ones.
      if (i > last_record && !file_.unterminated() && file_.ended_cleanly()) {
        const long missing = more - i;
        epoch.text.append(static_cast<size_t>(missing), '\n');
        short_end_ = archive::Notice{
            line_,
            "the file ends here, " + std::to_string(missing) + " line" + (missing == 1 ? "" : "s") +
                " short of the last satellite's record in the epoch of line " +
                std::to_string(epoch.line) + "; the epoch is kept, the missing fields blank"};
        return true;
      }
      cut_ = archive::Notice{
          epoch.line, std::string("the file ends inside the epoch of this line, ") +
                          (file_.unterminated() ? "in line " : "after line ") +
                          std::to_string(line_) + "; the complete epochs before it are kept"};
      return false;
    }
    ++line_;
    if (flag >= '2' && label_is(line, "# / TYPES OF OBSERV")) take_types(line);
    if (i < list_lines) check_systems(line, count - 12 * (i + 1), epoch);
    epoch.text.append(line).push_back('\n');
  }
  return true;
}

}  // namespace obsq::prep
