// The RINEX 3 to 2.11 conversion on hand-made files (cases/NAME.rnx), each made to hold what
// the real files hold rarely or never: clock offsets rounded with carries, too wide for F12.9,
// a picosecond field; events with and without a time, a type list changed by an event, cycle
// slips, an unknown flag, repeated seconds, another day, a cut epoch; the choice of one code per
// satellite, values left behind, a blank value with flags, CR LF and no final line end. The
// written file must be NAME.expected byte for byte and the counts NAME.tally.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "rinex3/convert.hpp"
#include "support.hpp"

namespace obsq {
namespace {

namespace fs = std::filesystem;
const fs::path kCases = fs::path(OBSQUILT_TEST_DIR) / "rinex3" / "cases";

std::string tally_text(const rinex3::Tally& t) {
  std::string s;
  auto add = [&](const std::string& what, const std::string& key, long n) {
    s += what + " " + key + " " + std::to_string(n) + "\n";
  };
  for (const auto& [k, n] : t.satellites_left_out) add("satellites left out", std::string(1, k), n);
  for (const auto& [k, n] : t.unnamed_values) add("values unnamed", k, n);
  for (const auto& [k, n] : t.left_behind) add("values left behind", k, n);
  for (const auto& [k, n] : t.records_left_out) add("records left out", k, n);
  for (const auto& [k, n] : t.events_left_out) add("events left out flag", std::to_string(k), n);
  for (const auto& [k, n] : t.other_days) add("epochs of", k, n);
  if (t.repeats) add("repeats", "", t.repeats);
  if (t.clocks_rounded) add("clocks rounded", "", t.clocks_rounded);
  if (t.clocks_too_wide) add("clocks too wide", "", t.clocks_too_wide);
  if (t.picoseconds) add("picoseconds", "", t.picoseconds);
  for (const auto& w : t.warnings)
    s += "warning line " + std::to_string(w.line) + ": " + w.message + "\n";
  return s;
}

// Lines as a file reader hands them out: each one in the same buffer, so a line is valid only
// until the next call (as the archive reader's are).
class StrictLines : public rinex3::LineInput {
 public:
  explicit StrictLines(std::string_view text) : text_(text) {}
  bool next(std::string_view& line) override {
    std::string_view l;
    if (!text_.next(l)) return false;
    buf_.assign(l);
    buf_.resize(std::max<size_t>(buf_.size(), 200), '#');  // what lay beyond is gone too
    line = std::string_view(buf_).substr(0, l.size());
    return true;
  }

 private:
  rinex3::TextLines text_;
  std::string buf_ = std::string(4096, '#');
};

class Rinex3Case : public testing::TestWithParam<std::string> {};

TEST_P(Rinex3Case, WritesAndCounts) {
  ::setenv("SOURCE_DATE_EPOCH", "0", 1);
  const std::string text = test::read_file(kCases / (GetParam() + ".rnx"));
  rinex3::Converter conv("TEST00XYZ_R_20240020000_01D_30S_MO.rnx", rinex3::Day{2024, 1, 2}, "test");
  StrictLines first(text);
  conv.survey(first);
  ASSERT_EQ(conv.refusal(), "");
  std::string out;
  StrictLines second(text);
  conv.write(second, [&](std::string_view piece) { out += piece; });
  EXPECT_EQ(out, test::read_file(kCases / (GetParam() + ".expected")));
  EXPECT_EQ(tally_text(conv.tally()), test::read_file(kCases / (GetParam() + ".tally")));
}

INSTANTIATE_TEST_SUITE_P(Cases, Rinex3Case, testing::Values("clocks", "events", "choice"));

// Faults of the text are errors with their line.
TEST(Rinex3Faults, NameTheLine) {
  const std::string head =
      std::string("     3.04           OBSERVATION DATA    M").append(19, ' ') +
      "RINEX VERSION / TYPE\n" + "G    1 C1C" + std::string(50, ' ') + "SYS / # / OBS TYPES\n" +
      std::string(60, ' ') + "END OF HEADER\n";
  const struct {
    std::string body;
    long line;
    std::string message;
  } cases[] = {
      {"G01  20000000.000\n", 4, "not an epoch record ('>' in column 1)"},
      {"> 2024 01 02 00 00  0.0000000  0\n", 4,
       "not an epoch record (time, flag, satellite count, clock offset)"},
      {"> 2024 13 02 00 00  0.0000000  0  1\n", 4,
       "not an epoch time: '2024 13 02 00 00  0.0000000'"},
      {"> 2024 01 02 00 00  0.0000000  0  1\nGXY  20000000.000\n", 5,
       "not a satellite record: 'GXY' is no satellite"},
      {"> 2024 01 02 00 00  0.0000000  0  1\n\n", 5, "not a satellite record: '' is no satellite"},
      {"> 2024 01 02 00 00  0.0000000  0  1\nR01  20000000.000\n", 5,
       "satellite of system R without SYS / # / OBS TYPES"},
      {"> 2024 01 02 00 00  0.0000000  6  1\nG01\n>                                 0  0\n", 6,
       "an epoch of flag 0 without its time"},
  };
  for (const auto& c : cases) {
    const std::string text = head + c.body;
    rinex3::Converter conv("x.rnx", std::nullopt, "test");
    rinex3::TextLines in(text);
    try {
      conv.survey(in);
      ADD_FAILURE() << "no error for " << c.body;
    } catch (const rinex3::Error& e) {
      EXPECT_EQ(e.line, c.line) << c.body;
      EXPECT_EQ(e.message, c.message) << c.body;
    }
  }
}

}  // namespace
}  // namespace obsq
