#include "rinex3.hpp"

#include <memory>

#include "cli/cli.hpp"
#include "rinex3/convert.hpp"
#include "rinex3/names.hpp"

namespace obsq::prep {

namespace {

bool label_is(std::string_view line, std::string_view label) {
  return line.size() >= 60 + label.size() && line.substr(60, label.size()) == label;
}

// The RINEX 3/4 text of a file, unwrapped, line by line.
class Text : public rinex3::LineInput {
 public:
  explicit Text(const std::string& path) : stream_(path), lines_(stream_, path) {
    std::string_view first;
    if (lines_.next(first)) {
      compact_ = label_is(first, "CRINEX VERS   / TYPE");
      lines_.unread();
    }
  }
  bool next(std::string_view& line) override { return lines_.next(line); }
  bool compact() const { return compact_; }
  const std::string& wrappers() const { return stream_.wrappers(); }
  std::vector<archive::Notice> notices() const {
    if (lines_.damage().empty()) return {};
    return {{lines_.line_number(), "the data end early (" + lines_.damage() + ")"}};
  }

 private:
  archive::ArchiveStream stream_;
  archive::LineSource lines_;
  bool compact_ = false;
};

std::string located_message(const rinex3::Error& e) {
  return e.line > 0 ? "line " + std::to_string(e.line) + ": " + e.message : e.message;
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
  Text text(path);
  const std::string wrapped = text.wrappers().empty() ? "" : ", " + text.wrappers();
  if (text.compact()) {
    r.what = "compact RINEX 3" + wrapped;
    r.left_out = "compact RINEX 3 file; its decoding is not built in yet";
    return r;
  }
  rinex3::Facts f;
  try {
    f = rinex3::read_facts(text);
  } catch (const rinex3::Error& e) {
    cli::located(path, e.line, "error", e.message);
    r.what = "RINEX 3" + wrapped;
    r.left_out = located_message(e);
    return r;
  }
  const std::string major = f.version.empty() ? "3" : f.version.substr(0, 1);
  r.what = "RINEX " + major + wrapped + "; RINEX " + f.version + " converted to 2.11";
  r.left_out = f.refusal;
  r.marker = f.marker.empty() ? rinex3::station_of(path) : f.marker;
  r.name = rinex3::short_from_long(path);
  if (f.start) r.start = Date{f.start->year, f.start->month, f.start->day};
  if (r.left_out.empty() && !r.start)
    r.left_out = "no date: no TIME OF FIRST OBS and no dated epoch";
  return r;
}

bool convert_rinex3(const std::string& path, const Date& day, const std::string& out_path,
                    bool force, Converted& result, std::string& left_out) {
  const std::string program = "obsquilt-prep " + std::string(cli::version());
  rinex3::Converter conv(path, day_of(day), program);
  try {
    {
      Text text(path);
      conv.survey(text);
    }
    if (!conv.refusal().empty()) {
      left_out = conv.refusal();
      return false;
    }
  } catch (const rinex3::Error& e) {
    cli::located(path, e.line, "error", e.message);
    left_out = located_message(e);
    return false;
  } catch (const archive::FormatError& e) {
    cli::located(e.file, e.line, "error", e.message);
    left_out = e.line > 0 ? "line " + std::to_string(e.line) + ": " + e.message : e.message;
    return false;
  }
  cli::OutputFile out = cli::create_output(out_path, force);
  auto put = [&](std::string_view bytes) { cli::write_output(out, bytes); };
  try {
    Text text(path);
    conv.write(text, put);
    result.warnings = text.notices();
  } catch (const rinex3::Error& e) {
    cli::abandon_output(out);
    cli::located(path, e.line, "error", e.message);
    left_out = located_message(e);
    return false;
  } catch (const archive::FormatError& e) {
    cli::abandon_output(out);
    cli::located(e.file, e.line, "error", e.message);
    left_out = e.line > 0 ? "line " + std::to_string(e.line) + ": " + e.message : e.message;
    return false;
  }
  cli::commit_output(out);
  const rinex3::Tally& t = conv.tally();
  for (const rinex3::Error& w : t.warnings) result.warnings.push_back({w.line, w.message});
  result.notes = notes_of(t);
  result.other_days = t.other_days;
  result.repeats = t.repeats;
  return true;
}

}  // namespace obsq::prep
