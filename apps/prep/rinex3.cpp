#include "rinex3.hpp"

#include <optional>

#include "archive/obsfile.hpp"
#include "cli/cli.hpp"
#include "rinex3/convert.hpp"
#include "rinex3/names.hpp"

namespace obsq::prep {

namespace {

// The RINEX 3/4 text of a file, unwrapped and decoded, line by line.
class Text : public rinex3::LineInput {
 public:
  explicit Text(const std::string& path, archive::Use use = archive::Use::all)
      : file_(path, use) {}
  bool next(std::string_view& line) override { return file_.next_line(line); }
  bool compact() const { return file_.identity().kind == archive::Kind::compact3_obs; }
  const std::string& wrappers() const { return file_.wrappers(); }
  std::vector<archive::Notice> notices() const { return file_.notices(); }

 private:
  archive::ObsFile file_;
};

// Where a fault or a warning is: lines of the text the conversion reads are lines of the file
// only for a plain file as it stands; for a compact file they are those of its decoded text,
// for a wrapped one those of its unpacked text, which no editor opens at FILE:LINE: they are
// said in words (line 0 then).
struct Place {
  bool compact = false, wrapped = false;
  archive::Notice at(long line, const std::string& message) const {
    if (line <= 0 || (!compact && !wrapped)) return {line, message};
    return {0, "line " + std::to_string(line) +
                   (compact ? " of the decoded text: " : " of the unpacked text: ") + message};
  }
};

// A fault: "FILE:LINE: error: message" on the error stream; the reason the file is left out.
std::string fault(const std::string& path, const archive::Notice& n) {
  cli::located(path, n.line, "error", n.message);
  return n.line > 0 ? "line " + std::to_string(n.line) + ": " + n.message : n.message;
}

std::string plural(long n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

// "(G C1L 25, R C3Q 40)"
template <class Map>
std::string by_kind(const Map& m) {
  std::string s;
  for (const auto& [k, n] : m)
    s += (s.empty() ? " (" : ", ") + std::string(k) + " " + std::to_string(n);
  return s.empty() ? s : s + ")";
}

template <class Map>
long total(const Map& m) {
  long n = 0;
  for (const auto& kv : m) n += kv.second;
  return n;
}

std::vector<std::string> notes_of(const rinex3::Tally& t) {
  std::vector<std::string> notes;
  if (!t.satellites_left_out.empty()) {
    std::map<std::string, long> by;
    for (const auto& [sys, n] : t.satellites_left_out) by[std::string(1, sys)] = n;
    notes.push_back(plural(total(by), "satellite record", "satellite records") +
                    " of systems RINEX 2.11 leaves out" + by_kind(by));
  }
  if (!t.unnamed_values.empty())
    notes.push_back(plural(total(t.unnamed_values), "value", "values") +
                    " of codes RINEX 2.11 cannot name left out" + by_kind(t.unnamed_values));
  if (!t.left_behind.empty())
    notes.push_back(plural(total(t.left_behind), "value", "values") +
                    " of codes not chosen for their satellite left behind" +
                    by_kind(t.left_behind));
  if (!t.events_left_out.empty()) {
    std::map<std::string, long> by;
    for (const auto& [flag, n] : t.events_left_out) by["flag " + std::to_string(flag)] = n;
    notes.push_back(plural(total(by), "event block", "event blocks") + " left out" + by_kind(by));
  }
  if (!t.records_left_out.empty())
    notes.push_back(plural(total(t.records_left_out), "header record", "header records") +
                    " without a RINEX 2.11 counterpart left out" + by_kind(t.records_left_out));
  if (t.clocks_rounded > 0)
    notes.push_back(plural(t.clocks_rounded, "clock offset", "clock offsets") +
                    " rounded to 9 decimals");
  if (t.clocks_too_wide > 0)
    notes.push_back(plural(t.clocks_too_wide, "clock offset", "clock offsets") +
                    " wider than F12.9 left out");
  if (t.picoseconds > 0)
    notes.push_back(plural(t.picoseconds, "picosecond field", "picosecond fields") + " left out");
  return notes;
}

rinex3::Day day_of(const Date& d) { return {d.year, d.month, d.day}; }

}  // namespace

Rinex3Input survey_rinex3(const std::string& path) {
  Rinex3Input r;
  Text text(path, archive::Use::look);  // the header and the first epoch
  const Place place{text.compact(), !text.wrappers().empty()};
  // "compact RINEX 3, gzip; RINEX 3.04 converted to 2.11", "RINEX 4; RINEX 4.00 ..."
  auto what = [&](const std::string& version) {
    const std::string major = version.empty() || version[0] != '4' ? "3" : "4";
    return (text.compact() ? "compact RINEX 3" : "RINEX " + major) +
           (text.wrappers().empty() ? "" : ", " + text.wrappers()) +
           (version.empty() ? "" : "; RINEX " + version + " converted to 2.11");
  };
  rinex3::Facts f;
  try {
    f = rinex3::read_facts(text);
  } catch (const rinex3::Error& e) {
    r.what = what("");
    r.left_out = fault(path, place.at(e.line, e.message));
    return r;
  }
  r.what = what(f.version);
  r.left_out = f.refusal;
  r.marker = f.marker.empty() ? rinex3::station_of(path) : f.marker;
  r.name = rinex3::short_from_long(path);
  if (f.start) r.start = Date{f.start->year, f.start->month, f.start->day};
  if (r.left_out.empty() && !r.start)
    r.left_out = "no date: no TIME OF FIRST OBS and no dated epoch";
  return r;
}

bool convert_rinex3(const std::string& path, const Date& day, const std::string& out_path,
                    bool force, Converted& result, std::string& left_out,
                    cli::OutputFile& written) {
  const std::string program = "obsquilt-prep " + std::string(cli::version());
  rinex3::Converter conv(path, day_of(day), program);
  std::optional<cli::OutputFile> out;
  Place place;
  try {
    {
      Text text(path);
      place = Place{text.compact(), !text.wrappers().empty()};
      conv.survey(text);
    }
    if (!conv.refusal().empty()) {
      left_out = conv.refusal();
      return false;
    }
    out = cli::create_output(out_path, force);
    Text text(path);
    conv.write(text, [&](std::string_view bytes) { cli::write_output(*out, bytes); });
    result.warnings = text.notices();
  } catch (const rinex3::Error& e) {
    if (out) cli::abandon_output(*out);
    left_out = fault(path, place.at(e.line, e.message));
    return false;
  } catch (const archive::FormatError& e) {
    if (out) cli::abandon_output(*out);
    // The decoder's lines are those of the compact file, unpacked when it is wrapped.
    left_out = fault(path, Place{false, place.wrapped}.at(e.line, e.message));
    return false;
  }
  written = std::move(*out);
  const rinex3::Tally& t = conv.tally();
  for (const rinex3::Error& w : t.warnings) result.warnings.push_back(place.at(w.line, w.message));
  result.notes = notes_of(t);
  result.other_days = t.other_days;
  result.repeats = t.repeats;
  return true;
}

}  // namespace obsq::prep
