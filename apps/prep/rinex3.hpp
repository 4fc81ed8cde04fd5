// obsquilt-prep's way in for RINEX 3 and 4 observation files: each is converted to RINEX 2.11
// (src/rinex3/) while it is written, and what the conversion left out becomes notes.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "archive/stream.hpp"
#include "cli/cli.hpp"
#include "rinex2.hpp"

namespace obsq::prep {

struct Rinex3Input {
  std::string what;      // "compact RINEX 3, gzip; RINEX 3.04 converted to 2.11"
  std::string left_out;  // why it is left out; empty when it converts
  std::optional<Date> start;
  std::string marker;
  std::string name;  // the station-day name of a long file name, else empty
};

// The header's facts and the start day; left_out when the merge cannot take the file.
Rinex3Input survey_rinex3(const std::string& path);

struct Converted {
  std::vector<std::string> notes;          // what was left out, one kind a line
  std::vector<archive::Notice> warnings;   // damage carried on past
  std::map<std::string, long> other_days;  // epochs of other days, by date
  long repeats = 0;                        // epochs on a second met before
};

// Converts the file into `out_path` (made as cli::create_output makes it), written under the
// temporary name of `written`, which the caller puts in place (cli::commit_output). Returns
// false with `left_out` set, and nothing written, when the file cannot be converted (FormatError
// messages included).
bool convert_rinex3(const std::string& path, const Date& day, const std::string& out_path,
                    bool force, Converted& result, std::string& left_out, cli::OutputFile& written);

}  // namespace obsq::prep
