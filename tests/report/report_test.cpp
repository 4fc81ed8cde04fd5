// obsquilt-report on a small hand-made network (data/gaps.obsquilt.txt): what it gathers from the
// file (against data/gaps.expected), what the page carries, and how the program treats its files
// and exit statuses.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <sstream>

#include "child.hpp"
#include "report/page.hpp"
#include "report/summary.hpp"
#include "support.hpp"

namespace {

using namespace obsq;
namespace fs = std::filesystem;
const std::string kData = OBSQUILT_REPORT_DATA;

std::string runs_text(const std::vector<report::Run>& runs) {
  std::string s;
  for (const report::Run& r : runs)
    s += ' ' + std::to_string(r.first) + '-' + std::to_string(r.last);
  return s;
}

// The gathered day in the form of gaps.expected.
std::string describe(const report::Day& d) {
  std::ostringstream s;
  s << "window " << d.window << "\ntypes";
  for (const std::string& t : d.types) s << ' ' << t;
  s << '\n';
  for (size_t r = 0; r < d.receivers.size(); ++r) {
    const report::ReceiverDay& rd = d.receivers[r];
    s << "receiver " << d.header.receivers[r].marker << "\n  any" << runs_text(rd.runs[0]) << '\n';
    for (size_t t = 0; t < d.types.size(); ++t)
      s << "  " << d.types[t] << runs_text(rd.runs[t + 1]) << '\n';
    s << "  satellites " << rd.satellite_sum << ' ' << rd.satellite_max << "\n  gaps"
      << runs_text(report::gaps(d, r, 5)) << '\n';
  }
  for (size_t k = 0; k < d.systems.size(); ++k) {
    s << "system " << d.systems[k];
    const std::vector<uint16_t>& n = d.satellites[k];
    for (size_t i = 0, j = 0; i < n.size(); i = j) {
      while (j < n.size() && n[j] == n[i]) ++j;
      s << ' ' << n[i] << 'x' << (j - i);
    }
    s << '\n';
  }
  return s.str();
}

report::Day gaps_day() {
  quilt::Reader reader(kData + "/gaps.obsquilt.txt");
  return report::read_day(reader);
}

TEST(ReportDay, GathersRunsSatellitesAndGapsOfEachReceiver) {
  std::string expected;
  std::istringstream lines(test::read_file(kData + "/gaps.expected"));
  for (std::string line; std::getline(lines, line);)
    if (line[0] != '#') expected += line + '\n';
  EXPECT_EQ(describe(gaps_day()), expected);
}

TEST(ReportPage, HasOneLanePerReceiverEscapedTextAndNoOutsideResource) {
  const std::string html = report::page(gaps_day(), {"gaps <net>", 10});
  size_t lanes = 0;
  for (size_t p = 0; (p = html.find("<g class=\"bars", p)) != std::string::npos; ++p) ++lanes;
  EXPECT_EQ(lanes, 4u);
  EXPECT_NE(html.find(">B&amp;&lt;1<"), std::string::npos);
  EXPECT_EQ(html.find("B&<1"), std::string::npos);
  EXPECT_EQ(html.find("gaps <net>"), std::string::npos);
  EXPECT_EQ(html.find("src="), std::string::npos);
  EXPECT_EQ(html.find("href="), std::string::npos);
  EXPECT_EQ(html.find("@import"), std::string::npos);
}

// Runs obsquilt-report in the current directory with the arguments (separated by blanks).
test::ChildResult run(const std::string& args) {
  return test::run_child({OBSQUILT_REPORT, test::words(args)});
}

class ReportProgram : public testing::Test {
 protected:
  void SetUp() override {
    text_ = test::read_file(kData + "/gaps.obsquilt.txt");
    test::write_file("net.obsquilt.txt", text_);
  }
  test::ScratchDir dir_;
  std::string text_;
};

TEST_F(ReportProgram, WritesThePageAndKeepsItUnlessForced) {
  EXPECT_EQ(run("net.obsquilt.txt").status, 0);
  const std::string page = test::read_file("net.obsquilt.html");
  EXPECT_NE(page.find("</html>"), std::string::npos);
  test::ChildResult r = run("--gap 3 net.obsquilt.txt");
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.err,
            "obsquilt-report: net.obsquilt.html: file exists (use --force to overwrite it)\n");
  EXPECT_EQ(test::read_file("net.obsquilt.html"), page);
  r = run("--force -o - net.obsquilt.txt");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, page);
  EXPECT_EQ(r.err, "");
}

TEST_F(ReportProgram, ACutFileIsALocatedErrorAndNoPage) {
  test::write_file("cut.txt", text_.substr(0, text_.find("\r\no ", text_.size() / 2) + 6));
  const test::ChildResult r = run("cut.txt");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(std::regex_search(r.err, std::regex("^cut\\.txt:[0-9]+: error: "))) << r.err;
  EXPECT_FALSE(fs::exists("cut.html"));
}

TEST_F(ReportProgram, TwoReceiversOfOneMarkerAreAWarning) {
  test::write_file("shared.txt", std::regex_replace(text_, std::regex("CCCC"), "AAAA"));
  const test::ChildResult r = run("shared.txt");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("warning"), std::string::npos);
  const std::string shared = test::read_file("shared.html");
  EXPECT_NE(shared.find("Receivers 1 and 3 share the marker 'AAAA': their rows cannot be told "
                        "apart in obsquilt.txt."),
            std::string::npos);
  size_t flags = 0;
  for (size_t p = 0; (p = shared.find("class=\"flag\"", p)) != std::string::npos; ++p) ++flags;
  EXPECT_EQ(flags, 2u);
}

// The run's window: shares of its 120 epochs, and epochs outside it refused.
TEST_F(ReportProgram, TheWindowGivesTheSharesAndRefusesEpochsOutsideIt) {
  test::ChildResult r = run("-o window.html --window 0 3570 net.obsquilt.txt");
  EXPECT_EQ(r.status, 0) << r.err;
  const std::string window = test::read_file("window.html");
  EXPECT_NE(window.find("<dt>window (requested)</dt><dd>00:00:00 – 00:59:30</dd>"),
            std::string::npos);
  EXPECT_NE(window.find("<dt>epochs</dt><dd>120</dd>"), std::string::npos);
  EXPECT_EQ(window.find("id=\"span-note\""), std::string::npos);
  EXPECT_NE(run("-o - net.obsquilt.txt").out.find("id=\"span-note\""), std::string::npos);
  r = run("--force -o window.html --window 60 3570 net.obsquilt.txt");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(std::regex_search(
      r.err, std::regex("^net\\.obsquilt\\.txt:[0-9]+: error: epoch outside the window 60 3570")))
      << r.err;
  for (const char* bad :
       {"--window 10", "--window 20 10 net.obsquilt.txt", "--window 0 86401 net.obsquilt.txt"})
    EXPECT_EQ(run(bad).status, 2) << bad;
}

TEST_F(ReportProgram, BadUsageIsStatus2WithAHint) {
  const test::ChildResult r = run("--gap=-1 net.obsquilt.txt");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("Try 'obsquilt-report --help'"), std::string::npos);
  EXPECT_EQ(run("").status, 2);
}

}  // namespace
