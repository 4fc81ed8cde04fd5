// obsquilt-export: what the NetCDF and CSV writers share: the options, the choice of types
// and seconds, and the warnings that make the exit status 1.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "report/summary.hpp"
#include "runs/runs.hpp"

namespace obsq::exporter {

using runs::Runs;

struct Options {
  std::vector<std::string> inputs;
  std::string output;  // "-": standard output (CSV)
  bool csv = false;
  bool force = false;
  bool allow_gaps = false;
  bool satellites_as_written = false;  // keep "G 6" rather than "G06"
  int deflate = 1;                     // NetCDF compression level, 0 = none
  std::vector<std::string> types;      // asked for, blanks trimmed; empty: all
  int32_t from = 0, to = 86400;
  std::string command_line;  // for the history attribute
  std::string page;          // --page: the day's HTML page as well ("-": standard output)
  std::string page_title;    // its title; default: the first input's name
};

// The types and seconds asked for, and what was met of them.
class Selection {
 public:
  explicit Selection(const Options& o) : o_(o), met_(o.types.size(), false) {}
  bool type(const std::string& code);  // a block of this type is exported
  bool second(int32_t t) const { return t >= o_.from && t <= o_.to; }
  // The epochs of the day within --from/--to: first and count (0 when none).
  void epochs(const Runs& day, int32_t& first, size_t& count) const;
  // Warns about types asked for that no file holds.
  void report_unmet() const;

 private:
  const Options& o_;
  std::vector<bool> met_;
};

// The warnings of a run: each goes to the error stream at once and makes the status 1.
struct Warnings {
  int status = 0;
  long asterisks = 0;  // values written as asterisks: numbers too wide for their field
  void located(const std::string& file, long line, const std::string& message);
  void general(const std::string& message);
  // Ambiguous rows of the day, and the values of asterisks left out.
  void finish(const Runs& day);
};
extern Warnings warnings;

// The type code without blanks ("C1").
std::string trimmed(std::string_view s);

// The satellites of the output: codes in one spelling ("G06"), or as written with
// --satellites-as-written. A block whose row holds values under two codes of one satellite
// is an error naming both (quilt::FormatError).
class Satellites {
 public:
  explicit Satellites(const Options& o) : as_written_(o.satellites_as_written) {}
  // The number of a code as written (names() in the order first met).
  int32_t number(const std::string& written);
  const std::vector<std::string>& names() const { return names_; }
  // Numbers of the block's columns in `columns`; checks the block as above.
  void map(const quilt::Block& b, const std::string& path, std::vector<int32_t>& columns);

 private:
  bool as_written_;
  std::vector<std::string> names_;
  std::unordered_map<std::string, int32_t> by_written_, by_name_;
};

// The writers. With `page` they also gather the day's page from the same read of the files: every
// epoch, whatever --types, --from and --to keep, as obsquilt-report reads them.
void write_netcdf(const Options& o, const std::string& path, report::Day* page);
void write_csv(const Options& o, int fd, report::Day* page);

}  // namespace obsq::exporter
