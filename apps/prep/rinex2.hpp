// What obsquilt-prep reads from the plain RINEX 2 text of an observation file: the header's
// facts that name the file and pick its day, and the observation section cut into whole epochs
// (epoch record, satellite continuation records, observation records; an event's special
// records), so that epochs can be left out while the file stays valid RINEX 2.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "archive/obsfile.hpp"

namespace obsq::prep {

struct Date {
  int year = 0, month = 0, day = 0;
  int day_of_year() const;
  std::string text() const;  // 2015-02-13
  bool operator==(const Date&) const = default;
};

struct HeaderFacts {
  std::string version;            // columns 1-9 of RINEX VERSION / TYPE, trimmed
  std::string marker;             // MARKER NAME, trimmed
  std::optional<Date> first_obs;  // TIME OF FIRST OBS
  long types = 0;                 // the count of the last # / TYPES OF OBSERV group
  long header_lines = 0;
};

// One epoch of the observation section: its lines (each ended by LF) and its date, when the
// epoch record has one (an event record may leave it blank).
struct Epoch {
  std::string text;
  std::optional<Date> date;
  long line = 0;               // its epoch record's line in the text
  long second = -1;            // an observation epoch's second of the day, rounded; -1 for none
  std::string unknown_system;  // the first satellite code whose system the merge does not know
};

// Reads the header, then the epochs, of an observation file's plain text.
class Rinex2Reader {
 public:
  explicit Rinex2Reader(archive::ObsFile& file) : file_(file) {}
  // Reads the header through END OF HEADER; header_text() holds it. FormatError when the text
  // ends first.
  const HeaderFacts& read_header();
  const std::string& header_text() const { return header_; }
  // The next whole epoch; false at the end. An epoch the text ends inside is not returned: it
  // becomes the notice cut(); but see short_end().
  bool next(Epoch& epoch);
  const std::optional<archive::Notice>& cut() const { return cut_; }
  // A file that ends cleanly inside the record of its last epoch's last satellite, some of its
  // lines missing: next() gives that epoch with the missing lines blank (missing values), and
  // this notice names the file's last line.
  const std::optional<archive::Notice>& short_end() const { return short_end_; }
  // Blank lines met where an epoch record belongs, which next() leaves out, and the first's line.
  long blank_lines() const { return blank_lines_; }
  long first_blank() const { return first_blank_; }

 private:
  void take_types(std::string_view line);
  void check_systems(std::string_view record, long left, Epoch& epoch);

  archive::ObsFile& file_;
  HeaderFacts facts_;
  std::string header_;
  long line_ = 0;
  std::optional<archive::Notice> cut_;
  std::optional<archive::Notice> short_end_;
  long blank_lines_ = 0, first_blank_ = 0;
};

// The date of columns 1-9 of an epoch record ("yy mm dd", two-digit year), none when blank.
std::optional<Date> epoch_date(std::string_view record);

}  // namespace obsq::prep
