#include "check/check.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "archive/obsfile.hpp"
#include "archive/stream.hpp"
#include "day/estimate.hpp"
#include "driver/driver.hpp"
#include "records/fields.hpp"
#include "records/limits.hpp"
#include "records/runstate.hpp"
#include "records/stopcodes.hpp"
#include "records/units.hpp"
#include "rinex/loadlist.hpp"
#include "rinex/obsread.hpp"
#include "rinex/rinexrec.hpp"
#include "tables/obskey.hpp"
#include "tables/tables.hpp"

namespace obsq::check {

namespace {

namespace fs = std::filesystem;

constexpr const char* kList = "list.txt";
constexpr const char* kOutput = "obsquilt.txt";
constexpr int kMaxRounds = 100;  // files left out one by one after a stop, at most

// A scratch file outside the working directory, which the check leaves as it found it.
class ScratchFile {
 public:
  ScratchFile() {
    std::error_code ec;
    const fs::path dir = fs::temp_directory_path(ec);
    if (ec) {
      const char* named = std::getenv("TMPDIR");
      throw std::runtime_error(std::string("cannot make a scratch file: no temporary folder ") +
                               (named != nullptr ? named : "/tmp") + " (" + ec.message() +
                               "); set TMPDIR to a folder that exists");
    }
    path_ = (dir / "obsquilt-check-XXXXXX").string();
    fd_ = ::mkstemp(path_.data());
    if (fd_ < 0)
      throw std::runtime_error("cannot make a scratch file in " + dir.string() + ": " +
                               std::strerror(errno));
  }
  ~ScratchFile() {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  int fd_;
};

// One record of list.txt as the run reads it: the name is its first 78 characters, trimmed.
struct ListEntry {
  long line = 0;      // record number, counted as the run counts them
  std::string raw;    // the record: at most 78 characters, as the run takes them
  std::string whole;  // the whole line it was cut from, for names that are too long
  std::string name;   // what the run looks for; empty for blank and comment lines
};

// Splits list.txt into records by the input units' record rule, as the run reads it.
std::vector<ListEntry> read_list(const std::string& bytes) {
  std::vector<ListEntry> out;
  const size_t n = static_cast<size_t>(kNameLength);
  size_t at = 0;
  while (at < bytes.size()) {
    ListEntry e;
    e.line = static_cast<long>(out.size()) + 1;
    const std::string_view rest = std::string_view(bytes).substr(at);
    std::string_view rec;
    size_t used = 0;
    cut_record(rest, n, true, rec, used);
    e.raw = rec;
    e.whole = rec.size() < n ? rec : rest.substr(0, rest.find('\n'));
    at += used;
    const std::string_view head = e.raw;
    if (!head.empty() && head[0] != '*')
      e.name = std::string(head.substr(0, static_cast<size_t>(ntrim(head))));
    out.push_back(std::move(e));
  }
  return out;
}

// What an unreadable-looking file really is, as the archive reader that obsquilt-prep uses
// identifies it: the cause of a refusal. Called only for files whose first record is not
// "RINEX VERSION / TYPE".
std::string likely_cause(const std::string& name) {
  try {
    const std::string wrappers = archive::ArchiveStream(name).wrappers();
    const std::string outer = wrappers.substr(0, wrappers.find(','));
    if (outer == "gzip") return "a gzip-compressed file";
    if (outer == "compress") return "a file compressed by compress (.Z)";
    if (outer == "bzip2") return "a bzip2-compressed file";
    if (!outer.empty()) return "a file compressed by " + outer;
    const archive::Identity id = archive::ObsFile(name).identity();
    switch (id.kind) {
      case archive::Kind::compact2_obs: return "compact RINEX (Hatanaka)";
      case archive::Kind::compact3_obs: return "compact RINEX 3 (Hatanaka)";
      default: break;
    }
    // Compact RINEX of a version its format does not carry (1.0 of RINEX 3) is compact all the
    // same.
    return id.what.rfind("compact RINEX ", 0) == 0 ? "compact RINEX (Hatanaka)" : "";
  } catch (const archive::FormatError&) {
    return "";
  }
}

// 80000000 as "80,000,000".
std::string grouped(long n) {
  const std::string digits = std::to_string(n);
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && digits[i - 1] != '-' && (digits.size() - i) % 3 == 0) out.push_back(',');
    out.push_back(digits[i]);
  }
  return out;
}

// What obsquilt-prep sees in the file (it unwraps and decodes by content); none when it
// cannot open it.
std::optional<archive::Identity> prep_sees(const std::string& name) {
  try {
    return archive::ObsFile(name).identity();
  } catch (const archive::FormatError&) {
    return std::nullopt;
  }
}

std::string hms(int32_t s) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", s / 3600, s / 60 % 60, s % 60);
  return buf;
}

struct Date {
  int32_t year = 0, month = 0, day = 0;
  bool operator==(const Date&) const = default;
  auto operator<=>(const Date&) const = default;
  std::string text() const {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", year, month, day);
    return buf;
  }
};

// The date of an epoch record (two-digit year, 80-99 for the 1900s), when it reads as one.
bool epoch_date(std::string_view rec, Date& d) {
  if (!try_get_i(rec, 1, 3, d.year) || !try_get_i(rec, 4, 3, d.month) ||
      !try_get_i(rec, 7, 3, d.day))
    return false;
  if (d.month < 1 || d.month > 12 || d.day < 1 || d.day > 31) return false;  // a blank record
  if (d.year < 100) d.year += d.year < 80 ? 2000 : 1900;
  return true;
}

// What the reader showed of one accepted file in the last round.
struct FileView {
  long list_line = 0;
  std::string name;
  std::vector<TypeCode> types;
  bool has_date = false;
  Date first_date;  // of the first epoch record
  long first_line = 0;
  long other_day_line = 0;  // first epoch record of another date, 0 if none
  Date other_day;
  // (second of day, line of its epoch record) of every accepted epoch, in the order read; the
  // first of a second is the one a repeat is compared with (looked up on a stop only).
  std::vector<std::pair<int32_t, long>> accepted;
  long epoch_line = 0;  // the epoch record read last
  int32_t epoch_second = 0;
  bool epoch_blank = false;  // that record is a blank line
  long first_blank = 0;      // the first blank epoch record, 0 if none
  std::string refused_code;  // a satellite code of that epoch the key codec refuses
};

struct SatSeen {
  std::string code;
  size_t file = 0;  // index into the views
  long line = 0;
};

class Observer final : public ReadObserver {
 public:
  explicit Observer(std::vector<FileView>& views) : views_(views) {}
  void types(int32_t file, const TypeCode* codes, int32_t n) override {
    view(file).types.assign(codes, codes + std::max(n, 0));
  }
  void epoch(int32_t file, long record, std::string_view rec, bool has_second, int32_t second,
             bool accepted) override {
    FileView& v = view(file);
    Date d;
    if (epoch_date(rec, d)) {
      if (!v.has_date) {
        v.has_date = true;
        v.first_date = d;
        v.first_line = record;
      } else if (d != v.first_date && v.other_day_line == 0) {
        v.other_day_line = record;
        v.other_day = d;
      }
    }
    v.epoch_line = record;
    v.epoch_second = has_second ? second : -1;
    v.epoch_blank = archive::blank_line(rec);
    if (v.epoch_blank && v.first_blank == 0) v.first_blank = record;
    v.refused_code.clear();
    if (accepted) v.accepted.emplace_back(second, record);
  }
  void satellites(int32_t file, const SatCode* sats, int32_t n) override {
    // A file's satellites mostly repeat the list of its last epoch, whose codes are all known
    // by now: only the refused code it named is named again.
    if (last_.size() < static_cast<size_t>(file)) last_.resize(static_cast<size_t>(file));
    Last& last = last_[static_cast<size_t>(file - 1)];
    static_assert(sizeof(SatCode) == 3, "satellite codes lie end to end");
    const std::string_view list =
        n > 0 ? std::string_view(sats[0].data(), static_cast<size_t>(n) * 3) : "";
    if (n > 0 && list == last.list) {
      if (view(file).refused_code.empty()) view(file).refused_code = last.refused;
      return;
    }
    last.list.assign(list);
    last.refused.clear();
    for (int32_t k = 0; k < n; ++k) {
      const int32_t number = satno_or_none(sats[k]);
      auto& codes = by_number_[number];
      const std::string code(sats[k].data(), 3);
      if (number < 0 && last.refused.empty()) last.refused = code;
      if (number < 0 && view(file).refused_code.empty()) view(file).refused_code = code;
      if (std::none_of(codes.begin(), codes.end(),
                       [&](const SatSeen& s) { return s.code == code; }))
        codes.push_back({code, static_cast<size_t>(file - 1), view(file).epoch_line});
    }
  }
  const std::map<int32_t, std::vector<SatSeen>>& satellites_by_number() const { return by_number_; }

 private:
  FileView& view(int32_t file) { return views_.at(static_cast<size_t>(file - 1)); }
  std::vector<FileView>& views_;
  std::map<int32_t, std::vector<SatSeen>> by_number_;
  struct Last {
    std::string list;     // the satellite codes of the file's last list, 3 characters each
    std::string refused;  // the first code of it the key codec refuses, empty when none
  };
  std::vector<Last> last_;
};

// What one round of the run came to.
struct Round {
  bool completed = false;
  int stop = 0;         // stop code, 0 when none
  std::string error;    // message of a record-layer error, empty when none
  std::string console;  // what the run wrote on the console
  std::string file;     // the input file being read when it ended, empty for the list
  long record = 0;
  int32_t tmin = 0, tmax = 0;
};

std::string read_fd(int fd) {
  std::string s;
  const off_t size = ::lseek(fd, 0, SEEK_END);
  if (size <= 0) return s;
  s.resize(static_cast<size_t>(size));
  if (::pread(fd, s.data(), s.size(), 0) != size) s.clear();
  return s;
}

class Checker {
 public:
  explicit Checker(const std::vector<std::string>& args) : args_(args) {}
  Outcome run();

 private:
  void add(std::string file, long line, Severity s, std::string message) {
    out_.findings.push_back({std::move(file), line, s, std::move(message)});
  }
  bool command_line();
  void output_file();
  bool list_file();
  Round round(const std::set<long>& left_out, std::vector<FileView>& views, ReadObserver& observer);
  void explain(const Round& r, const std::vector<FileView>& views);
  void refused_files();
  void after_run(const Round& r, const std::vector<FileView>& views, const Observer& obs,
                 int64_t stored);

  std::vector<std::string> args_;
  int32_t start_ = 0, stop_ = 86400, step_ = 1;
  std::vector<ListEntry> list_;
  Outcome out_;
  std::string fatal_;  // how the run ends, for the summary
};

bool Checker::command_line() {
  ScratchFile con;
  out_unit(kConsoleUnit).attach(con.fd(), "", true);
  std::vector<std::string_view> views(args_.begin(), args_.end());
  std::string problem;
  try {
    readargs(views, start_, stop_, step_);
  } catch (const Stop& s) {
    std::string said = read_fd(con.fd());
    while (!said.empty() && (said.back() == '\n' || said.back() == '\r')) said.pop_back();
    problem = said.substr(said.find_first_not_of(' ')) + ", STOP " + std::to_string(s.code);
  } catch (const RecordError& e) {
    problem = e.message;
  }
  out_unit(kConsoleUnit).attach(STDOUT_FILENO, "", true);
  if (problem.empty()) return true;
  add("command line", 0, Severity::error,
      "obsquilt START STOP STEP would end here: " + problem +
          "; the rest is checked for the window 0 86400 1");
  fatal_ = problem;
  start_ = 0;
  stop_ = 86400;
  step_ = 1;
  return false;
}

void Checker::output_file() {
  struct stat st;
  if (::stat(kOutput, &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      add(kOutput, 0, Severity::error,
          "is a directory: the run stops before its banner with \"" +
              msg::permission_denied(kOutput) + "\"");
    } else if (::access(kOutput, W_OK) != 0) {
      add(kOutput, 0, Severity::error,
          "cannot be written: the run reads all input and then fails with \"" +
              std::string(msg::write_to_read_only) + "\"");
    } else {
      add(kOutput, 0, Severity::note, "exists: the run replaces it when it writes its first line");
    }
  } else if (::access(".", W_OK) != 0) {
    add(kOutput, 0, Severity::error,
        "cannot be created in this directory: the run stops with \"" +
            msg::permission_denied(kOutput) + "\"");
  }
}

bool Checker::list_file() {
  struct stat st;
  if (::stat(kList, &st) != 0) {
    add(kList, 0, Severity::error,
        "does not exist: the run stops with \"File 'list.txt' does not "
        "exist\"; write one file name per line, or let obsquilt-prep write it");
    return false;
  }
  if (S_ISDIR(st.st_mode) || ::access(kList, R_OK) != 0) {
    add(kList, 0, Severity::error,
        S_ISDIR(st.st_mode) ? "is a directory: the run cannot open it"
                            : "cannot be read: the run cannot open it");
    return false;
  }
  std::ifstream in(kList, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  list_ = read_list(bytes.str());
  for (const ListEntry& e : list_) {
    if (e.line == 1 && e.raw.compare(0, 3, "\xEF\xBB\xBF") == 0)
      add(kList, 1, Severity::warning,
          "starts with a byte-order mark, which the run takes as part of "
          "the first name; save the list as plain text");
    if (e.name.empty()) continue;
    const std::string whole = e.whole.substr(0, static_cast<size_t>(ntrim(e.whole)));
    if (whole.size() > static_cast<size_t>(kNameLength))
      add(kList, e.line, Severity::warning,
          "a name of " + std::to_string(whole.size()) +
              " characters: the run reads only the first " + std::to_string(kNameLength) + " ('" +
              e.name + "'); use a shorter name or path");
    if (e.name.find('\0') != std::string::npos || ::access(e.name.c_str(), F_OK) != 0)
      add(kList, e.line, Severity::warning,
          "'" + e.name + "' does not exist: the run skips this line without a word");
    else if (::access(e.name.c_str(), R_OK) != 0)
      add(kList, e.line, Severity::warning,
          "'" + e.name + "' cannot be read: the run skips this line without a word");
  }
  return true;
}

// One run of the list loader and the observation reader, as the driver makes it, over the list
// with the lines in left_out turned into comments. Console and tables are the run's own.
Round Checker::round(const std::set<long>& left_out, std::vector<FileView>& views,
                     ReadObserver& observer) {
  ScratchFile list;
  std::string text;
  for (const ListEntry& e : list_) text += (left_out.count(e.line) ? "*" : e.raw) + "\n";
  if (::write(list.fd(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    throw std::runtime_error("cannot write a scratch file");
  ScratchFile con;
  out_unit(kConsoleUnit).attach(con.fd(), "", true);
  reset_run_state();
  views.clear();
  Round r;
  InUnit& rinex = in_unit(kRinexUnit);
  try {
    in_unit(kListUnit).open(list.path());
    loadlist(kListUnit, kRinexUnit);
    in_unit(kListUnit).close();
    // The accepted files, matched with their list lines (they come in list order).
    size_t at = 0;
    for (int32_t i = 1; i <= master.nfiles; ++i) {
      const std::string_view fname(master.fname[i], kNameLength);
      const std::string name(fname.substr(0, static_cast<size_t>(ntrim(fname))));
      while (at < list_.size() && (left_out.count(list_[at].line) || list_[at].name != name)) ++at;
      FileView v;
      v.name = name;
      v.list_line = at < list_.size() ? list_[at++].line : 0;
      views.push_back(std::move(v));
    }
    set_read_observer(&observer);
    storeobs(kRinexUnit, start_, stop_, step_, r.tmin, r.tmax);
    r.completed = true;
  } catch (const Stop& s) {
    r.stop = s.code;
  } catch (const RecordError& e) {
    r.error = e.message;
  }
  set_read_observer(nullptr);
  if (!r.completed && rinex.is_open()) {
    r.file = rinex.name();
    r.record = rinex.record_number();
  }
  rinex.close();
  in_unit(kListUnit).close();
  out_unit(kConsoleUnit).flush();
  r.console = read_fd(con.fd());
  out_unit(kConsoleUnit).attach(STDOUT_FILENO, "", true);
  return r;
}

// The view of the file a round ended in, if the reader had reached it.
const FileView* view_of(const std::vector<FileView>& views, const std::string& name) {
  const FileView* found = nullptr;
  for (const FileView& v : views)
    if (v.name == name && (v.epoch_line > 0 || !v.types.empty())) found = &v;
  return found;
}

void Checker::explain(const Round& r, const std::vector<FileView>& views) {
  const std::string where = r.file.empty() ? kList : r.file;
  const bool overflow = r.console.find(kStoreFullLine) != std::string::npos;
  const FileView* v = view_of(views, r.file);
  std::string m;
  switch (r.stop) {
    case stops::kEpochNotFiled:
      if (overflow) {
        m = "the observation store is full (" + grouped(kStoreCapacity) +
            " values); merge the day in time windows (several runs with different START and STOP)";
      } else if (v != nullptr) {
        const auto first = std::find_if(v->accepted.begin(), v->accepted.end(),
                                        [&](const auto& a) { return a.first == v->epoch_second; });
        const std::string line = std::to_string(first == v->accepted.end() ? 0 : first->second);
        if (v->epoch_blank)
          m = "a blank line where an epoch record belongs, which the run reads as an epoch of no "
              "date at 00:00:00, repeats the epoch of line " +
              line + "; obsquilt-prep leaves blank lines out";
        else
          m = "second of day " + std::to_string(v->epoch_second) + " (" + hms(v->epoch_second) +
              ") repeats the epoch of line " + line +
              " (only the time of day is used); a daily file often ends with the next day's "
              "00:00:00 epoch: obsquilt-prep leaves such epochs out";
      }
      break;
    case stops::kValueNotFiled:
      m = overflow ? "the observation store is full (" + grouped(kStoreCapacity) +
                         " values); merge the day in time windows"
                   : std::string(stops::meaning(r.stop));
      break;
    case stops::kSatSystem:
    case stops::kSatNumber:
      m = "satellite code '" + (v != nullptr ? v->refused_code : std::string("?")) +
          "' cannot be encoded (system letters G, R, S, E, C or blank, numbers 0 to 99)";
      break;
    default: m = stops::meaning(r.stop); break;
  }
  std::string what = r.stop != 0 ? "the run stops here with STOP " + std::to_string(r.stop)
                                 : "the run ends here with the error \"" + r.error + "\"";
  if (r.error == msg::end_of_file)
    m = "the file ends inside a record group (a cut or damaged file)";
  else if (r.error == msg::bad_integer || r.error == msg::bad_real)
    m = "a numeric field holds something that is not a number";
  else if (msg::is_refused_open(r.error))
    m = "the name passes the read test but cannot be opened as a file";
  if (r.stop == stops::kTooManyFiles) {
    // The first readable line beyond the thousandth accepted file.
    long line = 0;
    for (const ListEntry& e : list_)
      if (e.name == r.file) line = e.line;
    add(kList, line, Severity::error, what + ": " + m);
  } else {
    // Stops among an epoch's values point at its epoch record.
    const bool in_epoch =
        v != nullptr && (r.stop == stops::kValueNotFiled || r.stop == stops::kSatSystem ||
                         r.stop == stops::kSatNumber);
    add(where, in_epoch ? v->epoch_line : r.record, Severity::error,
        m.empty() ? what : what + ": " + m);
  }
  if (fatal_.empty()) fatal_ = r.stop != 0 ? "STOP " + std::to_string(r.stop) : r.error;
}

void Checker::refused_files() {
  // The loader's two tests on a file's first record; the run only says "left out", the check
  // says why and what to do.
  for (const ListEntry& e : list_) {
    struct stat st;
    if (e.name.empty() || ::access(e.name.c_str(), R_OK) != 0 || ::stat(e.name.c_str(), &st) != 0 ||
        S_ISDIR(st.st_mode))
      continue;
    InUnit in(kRinexUnit);
    std::string_view first;
    in.open(e.name);
    if (!in.next(first, kRinexRecord)) continue;  // an empty file stops the run: reported there
    std::string m;
    if (!has_label(first, 61, "RINEX VERSION / TYPE")) {
      const std::string cause = likely_cause(e.name);
      const std::optional<archive::Identity> id = cause.empty() ? std::nullopt : prep_sees(e.name);
      const bool rinex3 = id && id->rinex3();
      m = cause.empty()
              ? "not a RINEX file (its first record is not 'RINEX VERSION / TYPE'): the run "
                "leaves it out"
              : cause + (rinex3 ? " of RINEX " + id->version + " observations" : "") +
                    ": the run leaves it out (\"" + std::string(kNotVersionTypeLine) + "\"); " +
                    (rinex3               ? "obsquilt-prep converts it to RINEX 2.11"
                     : id && id->usable() ? "obsquilt-prep unwraps and decodes it"
                                          : "obsquilt-prep leaves it out too (" +
                                                (id ? id->what : "unreadable") + ")");
    } else {
      double version = 0;
      try {
        version = get_f(first, 1, 9, 2);
      } catch (const RecordError&) {
        continue;  // the run stops on it: reported there
      }
      if (version_merged(version)) {
        char type = ' ';
        get_a(first, 21, 1, &type, 1);
        if (type != 'O' && type != 'o' && type != ' ')
          add(e.name, 1, Severity::warning,
              std::string("a RINEX file of type '") + type +
                  "', not observations: the run reads it as one");
        continue;
      }
      m = "RINEX " +
          std::string(first.substr(0, 9).substr(first.substr(0, 9).find_first_not_of(' '))) +
          " file: the run leaves it out (\"" + std::string(kTooNewLine) +
          "\"); it merges RINEX 2 up to " + std::string(kMaxVersionText) +
          (prep_sees(e.name) && prep_sees(e.name)->rinex3()
               ? "; obsquilt-prep converts it to RINEX 2.11"
               : "");
    }
    add(e.name, 1, Severity::warning, m);
  }
}

void Checker::after_run(const Round& r, const std::vector<FileView>& views, const Observer& obs,
                        int64_t stored) {
  // Files of another type, other days, shared markers, GLONASS without leap seconds.
  std::map<Date, int> days;
  for (const FileView& v : views)
    if (v.has_date) ++days[v.first_date];
  Date day;
  int most = 0;
  for (const auto& [d, n] : days)
    if (n > most) most = n, day = d;
  std::map<std::string, std::string> markers;
  for (size_t i = 0; i < views.size(); ++i) {
    const FileView& v = views[i];
    const int32_t f = static_cast<int32_t>(i + 1);
    if (v.has_date && v.first_date != day)
      add(v.name, v.first_line, Severity::warning,
          "a file of " + v.first_date.text() + ", the other files are of " + day.text() +
              ": only the time of day is used, so its epochs merge into that day's matrices");
    if (v.other_day_line > 0 && !(r.stop != 0 && r.file == v.name))
      add(v.name, v.other_day_line, Severity::warning,
          "an epoch of " + v.other_day.text() + " in a file of " + v.first_date.text() +
              ": it merges as a time of the same day; obsquilt-prep leaves such epochs out");
    if (v.first_blank > 0 && !(r.stop != 0 && r.file == v.name && v.epoch_blank))
      add(v.name, v.first_blank, Severity::warning,
          "a blank line where an epoch record belongs: the run reads it as an epoch of no date "
          "at 00:00:00; obsquilt-prep leaves blank lines out");
    const std::string marker(master.marker[f], 4);
    if (auto [it, fresh] = markers.emplace(marker, v.name); !fresh)
      add(v.name, 0, Severity::warning,
          "marker '" + marker + "' also names " + it->second +
              ": their rows cannot be told apart in obsquilt.txt");
    if (master.sys[f] == 'R' && master.leapsec <= 0)
      add(v.name, 0, Severity::warning,
          "a GLONASS file and no 'LEAP SECONDS' record in any file: "
          "its epochs are not shifted to GPS time");
    std::string dropped;
    for (const TypeCode& t : v.types)
      if (admitobs(std::string_view(t.data(), 2)) == 0) dropped += " " + std::string(t.data(), 2);
    if (!dropped.empty())
      add(v.name, 0, Severity::note,
          "types not merged (only pseudoranges and phases are):" + dropped);
  }
  int32_t types = 0;
  nummob(types);
  // The writer encodes every satellite of the table with every type at every epoch: a code the
  // key codec refuses stops it, when it writes any matrix at all.
  const bool writes_matrices =
      r.completed && r.tmax >= r.tmin && types > 0 && master.nfiles > 0 && mst().count() > 0;
  for (const auto& [number, seen] : obs.satellites_by_number()) {
    if (number < 0) {
      for (const SatSeen& s : seen)
        add(views[s.file].name, s.line, writes_matrices ? Severity::error : Severity::warning,
            "satellite code '" + s.code + "' cannot be encoded" +
                (writes_matrices
                     ? ": the run stops with " + std::to_string(stops::kSatSystem) + " or " +
                           std::to_string(stops::kSatNumber) + " when it writes the matrices"
                     : ""));
      if (writes_matrices && fatal_.empty()) fatal_ = "a stop while writing the matrices";
      continue;
    }
    for (size_t k = 1; k < seen.size(); ++k)
      add(views[seen[k].file].name, seen[k].line, Severity::warning,
          "satellite '" + seen[k].code + "' is also written '" + seen[0].code + "' (" +
              views[seen[0].file].name + ":" + std::to_string(seen[0].line) +
              "): two columns for one satellite");
  }
  if (r.completed) {
    // The values the reader filed, counted as obsquilt-day counts them to plan its runs.
    char pct[32];
    std::snprintf(pct, sizeof pct, "%.5f", static_cast<double>(stored) * 100.0 / kStoreCapacity);
    add(kList, 0, Severity::note,
        std::to_string(master.nfiles) + " file(s), " + std::to_string(types) + " type(s), " +
            std::to_string(mst().count()) + " satellite(s); the store will hold " +
            std::to_string(stored) + " values (" + pct + " % of " + grouped(kStoreCapacity) + ")");
  }
}

Outcome Checker::run() {
  command_line();
  output_file();
  if (!list_file()) {
    out_.run_fails = true;
    out_.summary = "the run would stop: list.txt cannot be read";
    return out_;
  }
  std::set<long> left_out;
  std::vector<FileView> views;
  Round last;
  std::unique_ptr<Observer> obs;
  std::unique_ptr<day::StoreCounter> counter;
  for (int n = 0; n < kMaxRounds; ++n) {
    obs = std::make_unique<Observer>(views);
    counter = std::make_unique<day::StoreCounter>(obs.get());
    last = round(left_out, views, *counter);
    if (last.completed) break;
    explain(last, views);
    // Leave the file out and look at the rest, unless the list itself is what stops the run.
    const FileView* v = nullptr;
    for (const FileView& f : views)
      if (f.name == last.file && !left_out.count(f.list_line)) v = &f;
    long line = v != nullptr ? v->list_line : 0;
    if (line == 0)
      for (const ListEntry& e : list_)
        if (e.name == last.file && !left_out.count(e.line)) {
          line = e.line;
          break;
        }
    if (last.stop == stops::kTooManyFiles || line == 0) break;
    left_out.insert(line);
  }
  refused_files();
  after_run(last, views, *obs, counter->accepted());
  out_.run_fails = std::any_of(out_.findings.begin(), out_.findings.end(),
                               [](const Finding& f) { return f.severity == Severity::error; });
  if (out_.run_fails)
    out_.summary = "the run would fail" + (fatal_.empty() ? std::string() : " (" + fatal_ + ")");
  else
    out_.summary = "the run would complete: time range " + std::to_string(last.tmin) + " to " +
                   std::to_string(last.tmax);
  return out_;
}

}  // namespace

Outcome check_directory(const std::vector<std::string>& args) { return Checker(args).run(); }

}  // namespace obsq::check
