// Conversion of a RINEX 3.00-3.05 or 4.0x observation file (its plain text) into a RINEX 2.11
// observation file the merge program reads.
//
// The conversion reads the text twice and holds one epoch at a time. The first pass (survey)
// reads the header and finds, for each satellite and RINEX 2.11 type, the best code of the
// mapping table (mapping.hpp) that has a value for that satellite in the epochs kept; that code
// feeds the type for the whole file. The second pass (write) writes the RINEX 2.11 header and
// epochs: each written observation is the source's 16 characters (value, loss-of-lock and
// signal-strength characters) as they stand. What RINEX 2.11 cannot hold is left out and
// counted in the Tally. A fault of the text is an Error with its line.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rinex3/mapping.hpp"

namespace obsq::rinex3 {

// A fault of the text: its line (0 for none) and what is wrong.
struct Error {
  long line = 0;
  std::string message;
};

// Where the text comes from, line by line (without the line end); a line handed out is valid
// until the next call.
class LineInput {
 public:
  virtual ~LineInput() = default;
  virtual bool next(std::string_view& line) = 0;
};

// Text held in memory, line by line (LF or CR LF; the last line may lack its line end).
class TextLines : public LineInput {
 public:
  explicit TextLines(std::string_view text) : text_(text) {}
  bool next(std::string_view& line) override;

 private:
  std::string_view text_;
};

struct Day {
  int year = 0, month = 0, day = 0;
  bool operator==(const Day&) const = default;
};

// What the header says, as far as the naming of the file and its day need it.
struct Facts {
  std::string version;       // "3.04"
  std::string marker;        // MARKER NAME, trimmed (empty when missing or blank)
  std::optional<Day> start;  // the date of the first dated epoch, else TIME OF FIRST OBS
  std::string refusal;       // why the merge cannot take the file; empty when it can
};

// Reads the header and the epochs up to the first dated one (the start is its day; TIME OF
// FIRST OBS stands in when no epoch has a date). A fault of the header is an Error.
Facts read_facts(LineInput& in);

// What the conversion left out or changed, counted.
struct Tally {
  std::map<char, long> satellites_left_out;      // satellite records, by system letter
  std::map<std::string, long> unnamed_values;    // values of codes that feed no type ("R C3Q")
  std::map<std::string, long> left_behind;       // values of codes not chosen for the satellite
  std::map<std::string, long> records_left_out;  // header or event records, by label
  std::map<int, long> events_left_out;           // event blocks, by flag (6, or 7-9 unknown)
  std::map<std::string, long> other_days;        // epochs, by date (2015-02-13)
  long repeats = 0;                              // epochs on a second of the day met before
  long clocks_rounded = 0;                       // clock offsets with more than 9 decimals
  long clocks_too_wide = 0;                      // clock offsets F12.9 cannot hold, left out
  long picoseconds = 0;                          // non-zero picosecond fields left out
  std::vector<Error> warnings;                   // unknown epoch flags read past
};

class Converter {
 public:
  // `file_name` is the input's name (its long-name station id may stand in for a missing
  // MARKER NAME); `day` keeps the epochs of that day only (all when none).
  Converter(std::string file_name, std::optional<Day> day, std::string program);

  // First pass over the whole text.
  void survey(LineInput& in);
  // Why the file cannot be converted (scale factor, time system, nothing maps), empty when it
  // can; valid after survey().
  const std::string& refusal() const { return refusal_; }
  // Second pass over the same text: the RINEX 2.11 text to sink, piece by piece.
  void write(LineInput& in, const std::function<void(std::string_view)>& sink);

  const Tally& tally() const { return tally_; }
  const std::string& version() const { return version_; }

 private:
  struct Layout {
    std::vector<std::array<char, 3>> codes;
    std::vector<int> ids;  // per code: the file-wide id of (system, code)
  };
  struct CodeInfo {
    char system;
    std::array<char, 3> code;
    int type, rank;
  };
  struct Satellite {
    std::vector<uint8_t> present;        // per code id: a value seen
    std::array<int16_t, kTypes> chosen;  // per type: the code id feeding it, -1 none
    std::vector<int16_t> source;         // per written type: field index, -1 none
    uint32_t source_generation = 0;
  };

  bool read_header(LineInput& in, std::string* out);
  void header_record(std::string_view line, std::string* out, bool in_event);
  void take_types(std::string_view line);
  bool next_epoch(LineInput& in, bool writing, std::string* out);
  void satellite_line(std::string_view line, bool writing, std::string* out);
  void finish_survey();
  std::string header_additions() const;
  int code_id(char system, std::array<char, 3> code);
  void cut(long at);
  [[noreturn]] void fail(std::string message) const;
  friend Facts read_facts(LineInput& in);

  std::string file_name_;
  std::optional<Day> day_;
  std::string program_;
  long line_ = 0;
  std::string version_;
  int version_number_ = 0;
  char file_system_ = ' ';
  std::map<char, Layout> layouts_;
  char types_system_ = 0;  // the system of the SYS / # / OBS TYPES group being read
  long types_left_ = 0;
  uint32_t generation_ = 0;  // advanced when a layout changes
  std::vector<CodeInfo> codes_;
  std::vector<Satellite> satellites_;  // 5 systems x 100 numbers
  std::string refusal_;
  std::string time_system_;
  std::string marker_;
  std::optional<Day> first_day_;
  std::string written_system_;          // the systems with a written type, in satellite order
  std::vector<long> unnamed_, behind_;  // per code id: values not written (see Tally)
  bool has_marker_ = false, has_antenna_ = false, has_delta_ = false, has_first_ = false;
  std::string first_epoch_;  // TIME OF FIRST OBS made from the first epoch kept
  std::array<bool, kTypes> written_{};
  std::vector<int> out_types_;  // the written types in order
  std::array<int, kTypes> out_index_{};
  std::vector<bool> seen_;  // seconds of the day met in this pass
  std::string record_;      // the epoch record being read
  std::string epoch_;       // the epoch being written
  std::string sats_;        // its satellites, three characters each
  long kept_ = 0;           // its satellites kept
  Tally tally_;
  bool writing_ = false;
};

}  // namespace obsq::rinex3
