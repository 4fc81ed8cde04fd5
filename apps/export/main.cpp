// obsquilt-export: the matrices of obsquilt.txt as a NetCDF-4 file (for xarray and the like)
// or as CSV rows.
#include <getopt.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>

#include "cli/cli.hpp"
#include "export.hpp"
#include "quality/satellite.hpp"
#include "report/page.hpp"

namespace obsq::exporter {

Warnings warnings;

std::string trimmed(std::string_view s) {
  const size_t b = s.find_first_not_of(' ');
  if (b == std::string_view::npos) return {};
  return std::string(s.substr(b, s.find_last_not_of(' ') - b + 1));
}

int32_t Satellites::number(const std::string& written) {
  if (auto it = by_written_.find(written); it != by_written_.end()) return it->second;
  std::string name = as_written_ ? written : quality::satellite_code(written);
  auto [it, fresh] = by_name_.try_emplace(name, static_cast<int32_t>(names_.size()));
  if (fresh) names_.push_back(std::move(name));
  by_written_.emplace(written, it->second);
  return it->second;
}

void Satellites::map(const quilt::Block& b, const std::string& path,
                     std::vector<int32_t>& columns) {
  columns.resize(b.columns());
  for (size_t c = 0; c < b.columns(); ++c) columns[c] = number(b.satellites[c]);
  if (as_written_) return;
  if (auto x = quality::collision(b, columns))
    throw quilt::FormatError{path, x->line,
                             "satellites '" + quilt::printable(b.satellites[x->first]) + "' and '" +
                                 quilt::printable(b.satellites[x->second]) +
                                 "' (one satellite, written two ways) both " + "have a value of " +
                                 trimmed(b.type) + " for receiver " +
                                 std::to_string(b.rows[x->row]) +
                                 " (--satellites-as-written keeps them apart)"};
}

bool Selection::type(const std::string& code) {
  if (o_.types.empty()) return true;
  const std::string t = trimmed(code);
  for (size_t k = 0; k < o_.types.size(); ++k)
    if (o_.types[k] == t) return met_[k] = true;
  return false;
}

void Selection::epochs(const Runs& day, int32_t& first, size_t& count) const {
  count = 0;
  if (!day.has_range()) return;
  const int32_t s = day.step();
  first = std::max(day.tmin(), (o_.from + s - 1) / s * s);
  const int32_t last = std::min(day.tmax(), o_.to / s * s);
  if (first <= last) count = static_cast<size_t>((last - first) / s + 1);
}

void Selection::report_unmet() const {
  for (size_t k = 0; k < o_.types.size(); ++k)
    if (!met_[k])
      warnings.general("type " + o_.types[k] + " has no value in the seconds asked for");
}

void Warnings::located(const std::string& file, long line, const std::string& message) {
  cli::located(file, line, "warning", message);
  status = cli::kWarnings;
}

void Warnings::general(const std::string& message) {
  cli::warning(message);
  status = cli::kWarnings;
}

void Warnings::finish(const Runs& day) {
  for (const std::string& a : day.ambiguities()) {
    (void)!::write(STDERR_FILENO, (a + "\n").data(), a.size() + 1);
    status = cli::kWarnings;
  }
  if (asterisks > 1) general(std::to_string(asterisks) + " values of asterisks left out in all");
}

namespace {

const char kUsage[] =
    "Usage: obsquilt-export [OPTION]... OBSQUILT.TXT...\n"
    "Export the epoch matrices of obsquilt.txt files as NetCDF-4 (default) or CSV.\n"
    "Several files are one day merged in time windows: the same receivers, step and date,\n"
    "windows that follow each other or overlap (where they overlap the epochs must be\n"
    "identical); they are taken in the order of their first epoch and written as one.\n"
    "Files with other receivers are another station group of the same day (same step and\n"
    "date): the groups are written side by side, in the order their first file is given,\n"
    "as one run over all their files would have written them.\n"
    "\n"
    "  -o, --output FILE  the output file; '-' is standard output (CSV only). Default: the\n"
    "                     first input's name with '.txt' replaced by '.nc' ('.csv' with --csv)\n"
    "      --csv          CSV rows instead of NetCDF\n"
    "  -t, --types LIST   only these observation types, comma-separated (e.g. C1,L1)\n"
    "      --from SEC     only epochs from this second of day on (0-86400)\n"
    "      --to SEC       only epochs up to this second of day (0-86400)\n"
    "      --deflate N    NetCDF compression level 0-9 (default 1; 0: none)\n"
    "      --allow-gaps   accept files with epochs missing between their windows\n"
    "      --satellites-as-written\n"
    "                     keep satellite codes as the files write them (\"G 6\"); default:\n"
    "                     a system letter and two digits (\"G06\", a blank letter as G)\n"
    "      --page FILE    also write the day's HTML page to FILE ('-' for standard output), as\n"
    "                     obsquilt-report writes it, from the same read of the files: of\n"
    "                     every epoch, whatever --types, --from and --to export\n"
    "      --page-title TEXT\n"
    "                     the page's title (default: the first input's name)\n"
    "  -f, --force        replace an existing output file (and page)\n"
    "  -h, --help         show this help and exit\n"
    "  -V, --version      show the version and exit\n"
    "\n"
    "NetCDF: dimensions epoch (seconds of day, 'seconds since' the date of the file), receiver\n"
    "(the b-lines in order, numbered from 0) and satellite (every satellite met, in the order\n"
    "first met, as G06: see --satellites-as-written); one float64 variable per observation\n"
    "type (named by its code) over\n"
    "(epoch, receiver, satellite), NaN where there is no value; per receiver marker, antenna,\n"
    "dh, de, dn (m) and system; recorded_seconds (epoch, receiver): the seconds of the epoch\n"
    "time the receiver recorded, NaN when absent. Markers and antennas are kept as written,\n"
    "up to a zero byte: a marker never filled is empty. Values of one satellite under two\n"
    "codes (\"G 6\" and \"G06\") in one row and epoch are an error.\n"
    "CSV: header second_of_day,receiver,marker,satellite,type,value; one row per present\n"
    "value; receiver numbered from 0 as in NetCDF; the value's digits as in the file; marker\n"
    "and satellite in double quotes when they hold a comma, quote or blank.\n"
    "Values of asterisks (too wide for their field) are left out with a warning.\n"
    "\n"
    "Exit status: 0 ok; 1 done with warnings (rows that may belong to several receivers\n"
    "sharing a marker, values left out, types not found); 2 error.\n";

int32_t second_of_day(const char* opt, const char* arg) {
  int32_t v = -1;
  const char* end = arg + std::char_traits<char>::length(arg);
  auto r = std::from_chars(arg, end, v);
  if (r.ec != std::errc() || r.ptr != end || v < 0 || v > 86400)
    throw cli::UsageError{std::string(opt) + ": not a second of day (0-86400): '" + arg + "'"};
  return v;
}

std::string default_output(const std::string& input, bool csv) {
  std::string base = input;
  if (base.size() > 4 && base.compare(base.size() - 4, 4, ".txt") == 0)
    base.resize(base.size() - 4);
  return base + (csv ? ".csv" : ".nc");
}

// --page beside the export: neither the output nor an input.
void check_page_name(const Options& o) {
  if (o.page == "-") {
    if (o.output == "-") throw cli::UsageError{"--page -: standard output is the CSV output's"};
    return;
  }
  std::error_code ec;
  if (o.page == o.output || std::filesystem::equivalent(o.page, o.output, ec))
    throw cli::UsageError{"--page: " + o.page + " is the output file"};
  for (const std::string& in : o.inputs)
    if (o.page == in || std::filesystem::equivalent(o.page, in, ec))
      throw cli::UsageError{"--page: " + o.page + " is an input file"};
}

// The page file: begun before the export, filled once the export is complete and put in place
// after it; abandoned when the export fails.
class Pending {
 public:
  explicit Pending(const Options& o) : o_(o) {
    if (!o.page.empty() && o.page != "-") file_ = cli::create_output(o.page, o.force);
  }
  ~Pending() {
    if (!file_.temp.empty()) cli::abandon_output(file_);
  }
  Pending(const Pending&) = delete;
  Pending& operator=(const Pending&) = delete;

  // The page of the day, written to the unfinished file (or to standard output).
  void fill(const report::Day& day) {
    if (o_.page.empty()) return;
    report::PageOptions options;
    options.title = o_.page_title.empty() ? o_.inputs.front() : o_.page_title;
    const std::string html = report::page(day, options);
    if (o_.page == "-")
      cli::write_all(STDOUT_FILENO, html, "standard output");
    else
      cli::write_output(file_, html);
  }
  void commit() {
    if (file_.temp.empty()) return;
    cli::commit_output(file_);
    file_.temp.clear();
  }

 private:
  const Options& o_;
  cli::OutputFile file_;
};

int body(int argc, char** argv) {
  enum { kCsv = 256, kFrom, kTo, kDeflate, kGaps, kAsWritten, kPage, kPageTitle };
  static const option longs[] = {{"output", required_argument, nullptr, 'o'},
                                 {"csv", no_argument, nullptr, kCsv},
                                 {"types", required_argument, nullptr, 't'},
                                 {"from", required_argument, nullptr, kFrom},
                                 {"to", required_argument, nullptr, kTo},
                                 {"deflate", required_argument, nullptr, kDeflate},
                                 {"allow-gaps", no_argument, nullptr, kGaps},
                                 {"satellites-as-written", no_argument, nullptr, kAsWritten},
                                 {"page", required_argument, nullptr, kPage},
                                 {"page-title", required_argument, nullptr, kPageTitle},
                                 {"force", no_argument, nullptr, 'f'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {nullptr, 0, nullptr, 0}};
  Options o;
  for (int i = 0; i < argc; ++i) o.command_line.append(i ? " " : "").append(argv[i]);
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":o:t:fhV", longs, nullptr)) != -1;) {
    switch (c) {
      case 'o': o.output = optarg; break;
      case kCsv: o.csv = true; break;
      case 't':
        for (std::string_view s = optarg; !s.empty();) {
          const size_t comma = s.find(',');
          const std::string t = trimmed(s.substr(0, comma));
          if (t.empty())
            throw cli::UsageError{"--types: an empty type in '" + std::string(optarg) + "'"};
          o.types.push_back(t);
          s = comma == std::string_view::npos ? std::string_view() : s.substr(comma + 1);
        }
        break;
      case kFrom: o.from = second_of_day("--from", optarg); break;
      case kTo: o.to = second_of_day("--to", optarg); break;
      case kDeflate:
        if (optarg[0] < '0' || optarg[0] > '9' || optarg[1] != '\0')
          throw cli::UsageError{"--deflate: a level from 0 to 9, not '" + std::string(optarg) +
                                "'"};
        o.deflate = optarg[0] - '0';
        break;
      case kGaps: o.allow_gaps = true; break;
      case kAsWritten: o.satellites_as_written = true; break;
      case kPage:
        if (*optarg == '\0') throw cli::UsageError{"--page: an empty file name"};
        o.page = optarg;
        break;
      case kPageTitle: o.page_title = optarg; break;
      case 'f': o.force = true; break;
      case 'h': std::fputs(kUsage, stdout); return cli::kOk;
      case 'V': cli::print_version(); return cli::kOk;
      case ':':
        throw cli::UsageError{std::string("option '") + argv[optind - 1] + "' needs a value"};
      default: throw cli::UsageError{std::string("unknown option '") + argv[optind - 1] + "'"};
    }
  }
  o.inputs.assign(argv + optind, argv + argc);
  if (o.inputs.empty()) throw cli::UsageError{"no input file"};
  if (o.from > o.to) throw cli::UsageError{"--from is after --to"};
  if (o.output.empty()) o.output = default_output(o.inputs.front(), o.csv);
  if (o.output == "-" && !o.csv)
    throw cli::UsageError{"NetCDF needs an output file: '-o -' is for --csv"};
  if (!o.page.empty()) check_page_name(o);

  // A file that breaks the format or does not fit the others: "FILE:LINE: error: message".
  try {
    // Both names are checked before either file is begun.
    if (o.output != "-") cli::refuse_existing(o.output, o.force);
    if (!o.page.empty() && o.page != "-") cli::refuse_existing(o.page, o.force);
    report::Day day;
    report::Day* const page = o.page.empty() ? nullptr : &day;
    if (o.output == "-") {
      Pending page_out(o);
      write_csv(o, STDOUT_FILENO, page);
      page_out.fill(day);
      page_out.commit();
      return warnings.status;
    }
    Pending page_out(o);
    cli::OutputFile out = cli::create_output(o.output, o.force);
    try {
      if (o.csv)
        write_csv(o, out.fd, page);
      else
        write_netcdf(o, out.temp, page);
      page_out.fill(day);
      cli::commit_output(out);
    } catch (cli::Failure& f) {
      cli::abandon_output(out);
      f.message = cli::naming_output(f.message, out);
      throw;
    } catch (...) {
      cli::abandon_output(out);
      throw;
    }
    page_out.commit();
  } catch (const quilt::FormatError& e) {
    cli::located(e.file, e.line, "error", e.message);
    return cli::kFailure;
  }
  return warnings.status;
}

}  // namespace
}  // namespace obsq::exporter

int main(int argc, char** argv) {
  return obsq::cli::run_main("obsquilt-export", argc, argv, obsq::exporter::body);
}
