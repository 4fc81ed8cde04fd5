// obsquilt-prep: turns observation files as GNSS archives publish them (plain or compact RINEX,
// wrapped in compress, gzip or bzip2 or not, recognised by content) into the plain RINEX 2
// files of one day under short names, and the list.txt that obsquilt merges.
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive/obsfile.hpp"
#include "cli/cli.hpp"
#include "parallel.hpp"
#include "plain.hpp"
#include "records/limits.hpp"
#include "rinex2.hpp"
#include "rinex3.hpp"

namespace obsq::prep {

namespace {

namespace fs = std::filesystem;
using archive::FormatError;
using archive::ObsFile;

const char* const kUsage =
    "Usage: obsquilt-prep [--dir DIR] [--day YYYY-DDD] [--append] [--force] [--keep-duplicates]\n"
    "                     FILE...\n"
    "       obsquilt-prep --plain [--dir DIR] [--force] FILE...\n"
    "Writes the plain RINEX 2 observation files of one day, and the list.txt that obsquilt\n"
    "merges, from observation files as GNSS archives publish them: plain RINEX 2 or compact\n"
    "RINEX 1.0 (Hatanaka), as they stand or wrapped in compress (.Z), gzip or bzip2, all\n"
    "recognised by their content.\n"
    "RINEX 3.00-3.05 and 4.0x observation files, plain or compact RINEX 3, are converted to\n"
    "RINEX 2.11: one code per satellite and type, values copied as they stand, what 2.11\n"
    "cannot hold left out and counted (see obsquilt-prep(1)); long names give short ones\n"
    "(ACOR00ESP_R_20213550000_01D_30S_MO.crx.gz -> acor3550.21o).\n"
    "\n"
    "  -d, --dir DIR       write into DIR (made when missing; default: the current directory)\n"
    "  -D, --day YYYY-DDD  the day to keep (default: the day most files start on)\n"
    "  -a, --append        add the files to the list.txt of DIR (its names are kept)\n"
    "  -f, --force         replace list.txt and output files that exist already\n"
    "  -k, --keep-duplicates  keep every file of a station met twice (same marker and day)\n"
    "  -p, --plain         write each input's plain RINEX text as it is (unwrapped and\n"
    "                      decoded, any version, nothing converted or cut) under its name\n"
    "                      without wrapper suffix, compact suffix made plain (d -> o,\n"
    "                      .crx -> .rnx); no list.txt\n"
    "      --no-file-limit keep more than 1000 files (for obsquilt-day, which merges them in\n"
    "                      several runs)\n"
    "  -h, --help          show this help and exit\n"
    "  -V, --version       show the version and exit\n"
    "\n"
    "Each output file gets the station-day name (york0440.15o), from the input's name when it\n"
    "has the form ssssdddf.yyt, else from its MARKER NAME and first observation; a name met\n"
    "twice gets a suffix (york0440-2.15o). One line per input on standard output says what\n"
    "became of it. Left out: files that are not RINEX 2 observation files, files starting on\n"
    "another day, and what the merge cannot take (versions above 2.12, more than 50 types,\n"
    "more than 1000 files, names over 78 characters, satellites of systems other than G, R, S,\n"
    "E, C). Epochs of another day inside a kept file, and epochs on a second of the day met\n"
    "before in it, are left out of the written file and counted; a file that ends inside an\n"
    "epoch keeps its complete epochs, with a warning; so does a compressed file cut early. A\n"
    "file that ends (on a whole line) inside the record of its last satellite keeps that epoch,\n"
    "the missing fields blank, with a warning. The same station given twice (same marker and\n"
    "day) is kept once, the first, unless --keep-duplicates. Line numbers of a compressed file\n"
    "are those of its unpacked text.\n"
    "Then run 'echo | obsquilt 0 86400 30' in DIR to merge the day.\n"
    "\n"
    "Exit status: 0 all kept, 1 something left out or a warning, 2 nothing usable or an error.\n";

struct Input {
  std::string arg;       // as given
  std::string left_out;  // why it is left out; empty when kept
  std::optional<Date> start;
  std::string name;  // the short name, once given
  std::string what;  // e.g. "compact RINEX, compress"
  bool wrapped =
      false;  // read through compress, gzip or bzip2: line numbers are of the unpacked text
  std::string marker;   // MARKER NAME, trimmed
  bool rinex3 = false;  // RINEX 3/4, converted to RINEX 2.11 while written
};

// A finding about an input, "FILE:LINE: kind: message". The lines of a wrapped file are those
// of its unpacked text, which no editor opens at FILE:LINE: they are said in words.
void diagnose(const Input& in, long line, std::string_view kind, const std::string& message) {
  if (in.wrapped && line > 0)
    cli::located(in.arg, 0, kind,
                 "line " + std::to_string(line) + " of the unpacked text: " + message);
  else
    cli::located(in.arg, line, kind, message);
}

// Findings about an input made on a worker thread, said on the calling thread in input order.
struct Finding {
  long line = 0;
  std::string kind, message;
};
using Findings = std::vector<Finding>;

void say(const Input& in, const Findings& findings) {
  for (const Finding& f : findings) diagnose(in, f.line, f.kind, f.message);
}

// Why a file is left out after a fault at `line`.
std::string fault(const Input& in, long line, const std::string& message) {
  if (line <= 0) return message;
  return "line " + std::to_string(line) + (in.wrapped ? " of the unpacked text" : "") + ": " +
         message;
}

std::string base_name(const std::string& path) { return fs::path(path).filename().string(); }

// The station-day name from an archive name ssssdddf.yyt (after .Z, .gz, .bz2), else empty.
std::string name_from_file(std::string b) {
  for (const char* ext : {".Z", ".z", ".gz", ".GZ", ".bz2", ".BZ2"}) {
    const size_t n = std::strlen(ext);
    if (b.size() > n && b.compare(b.size() - n, n, ext) == 0) b.resize(b.size() - n);
  }
  if (b.size() != 12 || b[8] != '.') return "";
  for (int i = 0; i < 12; ++i) {
    const unsigned char c = static_cast<unsigned char>(b[static_cast<size_t>(i)]);
    const bool ok = i == 8            ? true
                    : i < 4 || i == 7 ? std::isalnum(c) != 0
                    : i < 11          ? std::isdigit(c) != 0
                                      : std::isalpha(c) != 0;
    if (!ok) return "";
  }
  b[11] = std::isupper(static_cast<unsigned char>(b[11])) ? 'O' : 'o';
  return b;
}

// The station-day name from the header's marker and the first observation's date.
std::string name_from_header(const std::string& marker, const Date& d) {
  if (marker.empty()) return "";
  std::string s;
  for (size_t i = 0; i < 4; ++i) {
    const unsigned char c = i < marker.size() ? static_cast<unsigned char>(marker[i]) : '_';
    s += std::isalnum(c) ? static_cast<char>(std::tolower(c)) : '_';
  }
  char rest[16];
  std::snprintf(rest, sizeof rest, "%03d0.%02do", d.day_of_year() % 1000, d.year % 100);
  return s + rest;
}

// A name not given yet: the name itself, or with -2, -3, ... before its extension.
std::string unique_name(const std::string& name, std::set<std::string>& given) {
  std::string candidate = name;
  const size_t dot = name.rfind('.');
  for (int k = 2; !given.insert(candidate).second; ++k)
    candidate = dot == std::string::npos
                    ? name + "-" + std::to_string(k)
                    : name.substr(0, dot) + "-" + std::to_string(k) + name.substr(dot);
  return candidate;
}

// The day of --day YYYY-DDD; a usage error that says what is wrong with the value.
Date parse_day(const std::string& s) {
  int y = 0, doy = 0;
  char tail = 0;
  if (std::sscanf(s.c_str(), "%4d-%3d%c", &y, &doy, &tail) != 2 || s[4] != '-' ||
      !std::isdigit(static_cast<unsigned char>(s[0])) ||
      !std::isdigit(static_cast<unsigned char>(s[5])))
    throw cli::UsageError{"--day wants YYYY-DDD (year and day of year, 2015-044), not '" + s + "'"};
  // RINEX 2 writes two-digit years: 80-99 are 1980-1999, 00-79 are 2000-2079.
  if (y < 1980 || y > 2079)
    throw cli::UsageError{"--day " + s + ": the year " + std::to_string(y) +
                          " is outside 1980 to 2079, the years RINEX 2 files can name"};
  const int days = 365 + ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0);
  if (doy < 1 || doy > days)
    throw cli::UsageError{"--day " + s + ": there is no day " + std::to_string(doy) + " in " +
                          std::to_string(y) + " (days 001 to " + std::to_string(days) + ")"};
  for (int m = 12;; --m)
    if (const int first = Date{y, m, 1}.day_of_year(); first <= doy)
      return Date{y, m, doy - first + 1};
}

// First look at a RINEX 3/4 file: what it is, its start day and its short name (from a short
// or a long file name, else from its station).
void survey_converted(Input& in) {
  const Rinex3Input r = survey_rinex3(in.arg);
  in.rinex3 = true;
  in.what = r.what;
  in.left_out = r.left_out;
  if (!in.left_out.empty()) return;
  in.start = r.start;
  in.marker = r.marker;
  in.name = name_from_file(base_name(in.arg));
  if (in.name.empty()) in.name = r.name;
  if (in.name.empty()) in.name = name_from_header(r.marker, *in.start);
  if (in.name.empty())
    in.left_out =
        "no short name can be made: the file name is neither ssssdddf.yyt nor a long name and "
        "the header has no MARKER NAME";
}

// First look at a file: what it is, its start day and its short name; left_out when unusable.
void survey(Input& in, Findings& findings) {
  try {
    need_readable_twice(in.arg);
    ObsFile file(in.arg, archive::Use::look);  // the header, and epochs up to a dated one
    const archive::Identity& id = file.identity();
    in.what = id.what;
    in.wrapped = !file.wrappers().empty();
    if (id.rinex3()) {
      survey_converted(in);
      return;
    }
    if (!id.usable()) {
      in.left_out = id.what;
      return;
    }
    Rinex2Reader reader(file);
    const HeaderFacts& h = reader.read_header();
    // What the merge program takes (its limits, records/limits.hpp).
    if (!version_merged(std::strtod(h.version.c_str(), nullptr))) {
      in.left_out = "RINEX " + h.version + " observation file; the merge reads versions up to " +
                    std::string(kMaxVersionText);
      return;
    }
    if (h.types > kMaxTypes) {
      in.left_out = std::to_string(h.types) + " observation types; the merge reads at most " +
                    std::to_string(kMaxTypes);
      return;
    }
    in.start = h.first_obs;
    in.marker = h.marker;
    Epoch e;
    while (!in.start && reader.next(e)) in.start = e.date;
    if (!in.start) {
      in.left_out = "no date: no TIME OF FIRST OBS and no dated epoch";
      return;
    }
    in.name = name_from_file(base_name(in.arg));
    if (in.name.empty()) in.name = name_from_header(h.marker, *in.start);
    if (in.name.empty())
      in.left_out =
          "no short name can be made: the file name is not ssssdddf.yyt and the "
          "header has no MARKER NAME";
  } catch (const FormatError& e) {
    findings.push_back({e.line, "error", e.message});
    in.left_out = fault(in, e.line, e.message);
  }
}

// What writing an input gave, kept until its turn comes: its file, written under a temporary
// name and put in place by commit() (removed unless committed), and what to say about it.
struct Written {
  Written() = default;
  Written(Written&& o) noexcept { *this = std::move(o); }
  Written& operator=(Written&& o) noexcept {
    if (this != &o) {
      drop();
      kept = o.kept;
      out = std::exchange(o.out, cli::OutputFile{});
      pending = std::exchange(o.pending, false);
      findings = std::move(o.findings);
      notices = std::move(o.notices);
      notes = std::move(o.notes);
      other_days = std::move(o.other_days);
      repeats = o.repeats;
      failure = std::move(o.failure);
    }
    return *this;
  }
  ~Written() { drop(); }
  void commit() {
    pending = false;
    cli::commit_output(out);
  }

  bool kept = false;
  cli::OutputFile out;
  bool pending = false;  // out is written and waits for commit()
  Findings findings;
  std::vector<archive::Notice> notices;
  std::vector<std::string> notes;          // what was left out besides epochs, a kind a line
  std::map<std::string, long> other_days;  // the epochs of other days left out, by day
  long repeats = 0;                        // the epochs on a second of the day met before
  std::exception_ptr failure;              // raised in the input's turn

 private:
  void drop() {
    if (pending) cli::abandon_output(out);
    pending = false;
  }
};

// Writes the kept epochs of the file to a temporary name of dir/name, which w.commit() puts in
// place. Returns false (and abandons the output) when the file turns out damaged or holds
// satellites of a system the merge does not know. Counts the epochs left out: those of other
// days, and those on a second of the day met before in the file (the merge would stop on them).
bool write_file(Input& in, const Date& day, const fs::path& dir, bool force, Written& w) {
  std::vector<archive::Notice>& notices = w.notices;
  std::map<std::string, long>& other_days = w.other_days;
  long& repeats = w.repeats;
  cli::OutputFile& out = w.out;
  out = cli::create_output((dir / in.name).string(), force);
  std::string buf;
  auto flush = [&](bool all) {
    if (buf.size() < cli::kWriteBlock && !all) return;  // a block and more: written uncopied
    cli::write_output(out, buf);
    buf.clear();
  };
  try {
    ObsFile file(in.arg);
    Rinex2Reader reader(file);
    reader.read_header();
    buf = reader.header_text();
    Epoch e;
    std::vector<bool> seen(86401);
    while (reader.next(e)) {
      if (e.date && !(*e.date == day)) {
        ++other_days[e.date->text()];
        continue;
      }
      if (!e.unknown_system.empty())
        throw FormatError{in.arg, e.line,
                          "satellite '" + e.unknown_system +
                              "': the merge knows the systems G, R, S, E and C only"};
      if (e.second >= 0 && seen[static_cast<size_t>(e.second)]) {
        ++repeats;
        continue;
      }
      if (e.second >= 0) seen[static_cast<size_t>(e.second)] = true;
      buf += e.text;
      flush(false);
    }
    if (const long n = reader.blank_lines(); n > 0)
      w.notes.push_back(
          std::to_string(n) +
          (n == 1 ? " blank line left out (line " : " blank lines left out (the first is line ") +
          std::to_string(reader.first_blank()) + ")");
    notices = file.notices();
    if (reader.cut()) notices.push_back(*reader.cut());
    if (reader.short_end()) notices.push_back(*reader.short_end());
  } catch (const FormatError& e) {
    cli::abandon_output(out);
    w.findings.push_back({e.line, "error", e.message});
    in.left_out = fault(in, e.line, e.message);
    return false;
  }
  flush(true);
  w.pending = true;
  return true;
}

// Writes the RINEX 2.11 conversion of a RINEX 3/4 file to a temporary name of dir/name, which
// w.commit() puts in place; false (left_out set) when it cannot be converted.
bool write_converted(Input& in, const Date& day, const fs::path& dir, bool force, Written& w) {
  Converted result;
  if (!convert_rinex3(in.arg, day, (dir / in.name).string(), force, result, in.left_out, w.out))
    return false;
  w.pending = true;
  w.notices = std::move(result.warnings);
  w.notes = std::move(result.notes);
  w.other_days = std::move(result.other_days);
  w.repeats = result.repeats;
  return true;
}

// Whether, with --force, an input is a file that an output replaces: a sequential run reads it
// after the outputs of the inputs before it are in place, so it cannot be read ahead.
bool reads_an_output(const std::vector<Input>& inputs, const fs::path& dir, bool force) {
  if (!force) return false;
  std::set<std::pair<dev_t, ino_t>> outputs;
  struct stat st {};
  for (const Input& in : inputs)
    if (in.left_out.empty() && ::stat((dir / in.name).c_str(), &st) == 0)
      outputs.emplace(st.st_dev, st.st_ino);
  for (const Input& in : inputs)
    if (::stat(in.arg.c_str(), &st) == 0 && outputs.contains({st.st_dev, st.st_ino})) return true;
  return false;
}

// A station and day, as the key that finds it met twice: the marker (upper case) and the day of
// its first epoch; empty when the header names no marker.
std::string station_key(const Input& in) {
  if (in.marker.empty() || !in.start) return "";
  std::string key;
  for (char c : in.marker) key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return key + " " + in.start->text();
}

// The list.txt of a prepared directory: its text (ended by a line end), its names, and the
// files of those names surveyed, for their markers and days.
struct Listed {
  std::string text;
  std::vector<std::string> names;
  std::vector<Input> stations;
};

Listed read_list(const fs::path& dir) {
  Listed l;
  std::FILE* f = std::fopen((dir / "list.txt").c_str(), "r");
  if (f == nullptr) {
    if (errno == ENOENT) return l;
    throw cli::Failure{(dir / "list.txt").string() + ": " + std::strerror(errno)};
  }
  char line[4096];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    l.text += line;
    std::string name = line;
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r' || name.back() == ' '))
      name.pop_back();
    if (name.empty() || name[0] == '*') continue;
    l.names.push_back(name);
  }
  std::fclose(f);
  if (!l.text.empty() && l.text.back() != '\n') l.text += '\n';
  for (const std::string& name : l.names) {
    Input in;
    in.arg = (dir / name).string();
    Findings findings;
    survey(in, findings);
    say(in, findings);
    in.name = name;
    if (in.left_out.empty()) l.stations.push_back(in);
  }
  return l;
}

int prep_main(int argc, char** argv) {
  static const option options[] = {
      {"dir", required_argument, nullptr, 'd'},       {"day", required_argument, nullptr, 'D'},
      {"force", no_argument, nullptr, 'f'},           {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},         {"append", no_argument, nullptr, 'a'},
      {"keep-duplicates", no_argument, nullptr, 'k'}, {"plain", no_argument, nullptr, 'p'},
      {"no-file-limit", no_argument, nullptr, 256},   {nullptr, 0, nullptr, 0}};
  fs::path dir = ".";
  bool file_limit = true;
  std::optional<Date> day;
  bool force = false, append = false, keep_duplicates = false, plain = false;
  opterr = 0;  // the messages are ours
  for (int c; (c = getopt_long(argc, argv, ":d:D:fhVakp", options, nullptr)) != -1;) {
    switch (c) {
      case 'd': dir = optarg; break;
      case 'D': day = parse_day(optarg); break;
      case 'f': force = true; break;
      case 'a': append = true; break;
      case 'k': keep_duplicates = true; break;
      case 'p': plain = true; break;
      case 256: file_limit = false; break;
      case 'h': std::fputs(kUsage, stdout); return cli::kOk;
      case 'V': cli::print_version(); return cli::kOk;
      case ':':
        throw cli::UsageError{std::string("option '") + argv[optind - 1] + "' needs an argument"};
      default: throw cli::UsageError{std::string("unknown option '") + argv[optind - 1] + "'"};
    }
  }
  if (optind >= argc) throw cli::UsageError{"no input file"};
  // Error lines and the lines of what became of each input, in the order they happen, also
  // when both streams go to one pipe or file.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (plain && (day || append || keep_duplicates))
    throw cli::UsageError{
        "--plain writes whole files: --day, --append and --keep-duplicates "
        "have no place there"};
  if (plain) {
    std::set<std::string> given;
    return write_plain(std::vector<std::string>(argv + optind, argv + argc), dir, force,
                       [&](const std::string& name) { return unique_name(name, given); });
  }
  std::vector<Input> inputs;
  for (int i = optind; i < argc; ++i) {
    inputs.emplace_back();
    inputs.back().arg = argv[i];
  }

  // With --append, the stations of the list there already: their names stay taken, and their
  // day is the day unless --day says otherwise.
  const Listed listed = append ? read_list(dir) : Listed{};
  if (!day && !listed.stations.empty()) day = listed.stations.front().start;

  // The day: the one most usable files start on (the first such in argument order on a tie).
  struct Surveyed {
    Findings findings;
    std::exception_ptr failure;
  };
  in_input_order<Surveyed>(
      inputs.size(),
      [&](size_t i, Surveyed& s) {
        try {
          survey(inputs[i], s.findings);
        } catch (...) {
          s.failure = std::current_exception();
        }
      },
      [&](size_t i, Surveyed& s) {
        if (s.failure) std::rethrow_exception(s.failure);
        say(inputs[i], s.findings);
      });
  if (!day) {
    std::map<std::string, int> votes;
    int best = 0;
    for (const Input& in : inputs)
      if (in.left_out.empty() && ++votes[in.start->text()] > best) best = votes[in.start->text()];
    for (const Input& in : inputs)
      if (in.left_out.empty() && votes[in.start->text()] == best) {
        day = in.start;
        break;
      }
  }
  // Names in argument order; the merge's limits; a station met before.
  std::set<std::string> given(listed.names.begin(), listed.names.end());
  std::map<std::string, std::string> stations;  // marker and day -> where it was met first
  for (const Input& l : listed.stations)
    if (l.start) stations.emplace(station_key(l), l.name + " in list.txt");
  size_t kept = listed.names.size();
  for (Input& in : inputs) {
    if (!in.left_out.empty()) continue;
    const std::string key = station_key(in);
    if (!(*in.start == *day)) {
      in.left_out = in.start->text() + ", the day is " + day->text();
    } else if (append && given.contains(in.name)) {
      in.left_out = in.name + " is in list.txt already";
    } else if (!keep_duplicates && !key.empty() && stations.contains(key)) {
      std::error_code same_ec;
      in.left_out = (fs::equivalent(in.arg, stations[key], same_ec) ? "the same file as "
                                                                    : "the station of ") +
                    stations[key] + " (marker " + in.marker + ", " + day->text() +
                    "); --keep-duplicates keeps both";
    } else if (kept == static_cast<size_t>(kMaxFiles) && file_limit) {
      in.left_out = "the merge reads at most " + std::to_string(kMaxFiles) + " files";
    } else {
      in.name = unique_name(in.name, given);
      if (in.name.size() > static_cast<size_t>(kNameLength))
        in.left_out = "no short name can be made: " + in.name + " is longer than " +
                      std::to_string(kNameLength) + " characters";
      else
        ++kept;
      if (!key.empty()) stations.emplace(key, in.arg);
    }
  }
  if (kept == listed.names.size()) {
    for (const Input& in : inputs)
      std::printf("left out %s: %s\n", in.arg.c_str(), in.left_out.c_str());
    std::fflush(stdout);
    throw cli::Failure{"no usable observation file of one day; nothing written"};
  }

  // Nothing is replaced without --force: check every name before writing any.
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw cli::Failure{dir.string() + ": " + ec.message()};
  for (const Input& in : inputs)
    if (in.left_out.empty()) cli::refuse_existing((dir / in.name).string(), force);
  if (!append && !force && fs::exists(dir / "list.txt"))
    throw cli::Failure{(dir / "list.txt").string() +
                       ": file exists (--append adds to it, --force replaces it)"};
  if (!listed.names.empty()) {
    std::printf("in list.txt already:");
    for (const std::string& n : listed.names) std::printf(" %s", n.c_str());
    std::printf("\n");
  }

  bool something_left = false, warned = false;
  std::string list = listed.text;
  // The files are read and written on worker threads; each is said, and put in place, in turn.
  auto write_one = [&](size_t i, Written& w) {
    if (!inputs[i].left_out.empty()) return;
    try {
      w.kept = inputs[i].rinex3 ? write_converted(inputs[i], *day, dir, force, w)
                                : write_file(inputs[i], *day, dir, force, w);
    } catch (...) {
      w.failure = std::current_exception();
    }
  };
  auto say_one = [&](size_t i, Written& w) {
    Input& in = inputs[i];
    if (w.failure) std::rethrow_exception(w.failure);
    say(in, w.findings);
    if (w.kept) {
      w.commit();
      const std::vector<archive::Notice>& notices = w.notices;
      const std::map<std::string, long>& other_days = w.other_days;
      const long repeats = w.repeats;
      std::printf("kept %s -> %s (%s)\n", in.arg.c_str(), in.name.c_str(), in.what.c_str());
      for (const std::string& note : w.notes)
        std::printf("%s: %s\n", in.name.c_str(), note.c_str());
      for (const auto& n : notices) diagnose(in, n.line, "warning", n.message);
      warned = warned || !notices.empty();
      for (const auto& [date, n] : other_days)
        std::printf("%s: %ld epoch%s of %s left out\n", in.name.c_str(), n, n == 1 ? "" : "s",
                    date.c_str());
      if (repeats > 0)
        std::printf("%s: %ld epoch%s on a second of the day met before left out\n", in.name.c_str(),
                    repeats, repeats == 1 ? "" : "s");
      something_left = something_left || !other_days.empty() || repeats > 0;
      list += in.name + "\n";
    } else {
      std::printf("left out %s: %s\n", in.arg.c_str(), in.left_out.c_str());
      something_left = true;
    }
  };
  in_input_order<Written>(inputs.size(), write_one, say_one, !reads_an_output(inputs, dir, force));
  std::fflush(stdout);
  if (list.size() == listed.text.size())
    throw cli::Failure{"no usable observation file; list.txt not written"};
  cli::OutputFile out = cli::create_output((dir / "list.txt").string(), force || append);
  if (::write(out.fd, list.data(), list.size()) != static_cast<ssize_t>(list.size())) {
    cli::abandon_output(out);
    throw cli::Failure{out.path + ": " + std::strerror(errno)};
  }
  cli::commit_output(out);
  return something_left || warned ? cli::kWarnings : cli::kOk;
}

}  // namespace

}  // namespace obsq::prep

int main(int argc, char** argv) {
  return obsq::cli::run_main("obsquilt-prep", argc, argv, obsq::prep::prep_main);
}
