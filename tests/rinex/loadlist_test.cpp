#include "rinex/loadlist.hpp"

#include <gtest/gtest.h>

#include <cstring>

#include "driver/records/runstate.hpp"
#include "rinex_fixture.hpp"

namespace obsq {
namespace {

using test::Files;
using test::hdr;
using test::header;
using test::run_pass;

std::string header_only(Files f) { return run_pass(f, 0, 86400, 30, false).console; }

TEST(LoadList, EmptyBlankAndCommentLines) {
  const auto p = run_pass({"\n   \n*x.obs\n", {}}, 0, 86400, 30, false);
  EXPECT_EQ(p.console, " all obs types:            0\r\n");
  EXPECT_EQ(master.nfiles, 0);
  EXPECT_EQ(master2.year, 0);
}

TEST(LoadList, VersionAndFirstRecordTests) {
  Files f;
  f.list = "v200\nv210\nmissing.obs\nv212\nv213\nv220\nv300\nvblank\nv211nopoint\ncol62\n x.obs\n";
  for (auto [name, ver] : {std::pair{"v200", "2.00"}, {"v210", "2.10"}, {"v212", "2.12"},
                           {"v213", "2.13"}, {"v220", "2.20"}, {"v300", "3.00"},
                           {"vblank", ""}, {"v211nopoint", "211"}})
    f.files.push_back({name, header({"L1"}, {}, 'G', ver)});
  f.files.push_back({"col62", " " + test::version_record() + test::types_records({"C1"}) +
                                  hdr("", "END OF HEADER")});
  f.files.push_back({" x.obs", "not rinex\n"});  // leading blanks belong to the name
  const auto p = run_pass(f, 0, 86400, 30, false);
  EXPECT_EQ(p.console,
            " version number:\r\n      2.13\r\n exceeds programming.\r\n file name:\r\n v213\r\n"
            " version number:\r\n      2.20\r\n exceeds programming.\r\n file name:\r\n v220\r\n"
            " version number:\r\n      3.00\r\n exceeds programming.\r\n file name:\r\n v300\r\n"
            " first record not version type:\r\n col62\r\n"
            " first record not version type:\r\n  x.obs\r\n"
            " all obs types:            1\r\n");
  ASSERT_EQ(master.nfiles, 5);  // the missing file took no index
  const char* accepted[] = {"v200", "v210", "v212", "vblank", "v211nopoint"};
  for (int i = 1; i <= 5; ++i) {
    std::string name(master.fname[i], kNameLength);
    EXPECT_EQ(name.substr(0, static_cast<size_t>(ntrim(name))), accepted[i - 1]);
    EXPECT_EQ(name.size(), 78u);
  }
}

TEST(LoadList, SystemLettersAndTimeSystems) {
  auto first_obs = [](const char* system) {
    char c[64];
    std::snprintf(c, sizeof c, "  2012     7    18     0     0    0.0000000     %s", system);
    return hdr(c, "TIME OF FIRST OBS");
  };
  Files f;
  f.list = "a\nb\nc\nd\ne\n";
  f.files = {{"a", header({"L1"}, {}, ' ')},
             {"b", header({"L1"}, first_obs("GLO"), 'M')},
             {"c", header({"L1"}, first_obs("   "), 'R')},
             {"d", header({"L1"}, first_obs("GAL"), 'M')},
             {"e", header({"L1"}, first_obs("GPS"), 'R')}};
  header_only(f);
  EXPECT_EQ(std::string(master.sys + 1, 5), "GRREG");  // "GPS" makes an R file G
}

TEST(LoadList, ObservationTypes) {
  Files f;
  f.list = "a\nb\nc\n";
  f.files = {{"a", header({"C1", "L2", "P5", "CA", "LD", "D1", "S1", "C3", "L9"})},
             {"b", header({"l1", "L2", "C1", "L1", "D2", "S2", "P1", "P2", "C2", "L5"})},
             {"c", header({"L1", "C1", "P1", "P2", "L2", "C2", "L5", "C5", "S5", "D5", "L7", "C7",
                           "S7", "D7", "L8", "C8", "S8", "D8"})}};
  const std::string con = header_only(f);
  EXPECT_EQ(con, " all obs types:           16\r\n");
  const char* order[] = {"C1", "L2", "P5", "CA", "LD", "l1", "L1", "P1",
                         "P2", "C2", "L5", "C5", "L7", "C7", "L8", "C8"};
  int32_t n = 0;
  nummob(n);
  ASSERT_EQ(n, 16);
  for (int k = 1; k <= n; ++k) EXPECT_EQ(mob().key(k), type_code(order[k - 1])) << k;
}

TEST(LoadList, TypeContinuationMustCarryItsLabel) {
  std::string types = test::types_records({"L1", "L2", "C1", "P1", "P2", "S1", "S2", "D1", "D2", "C2"});
  const size_t cut = types.find('\n') + 1;
  std::string bad = test::version_record() + types.substr(0, cut) +
                    hdr("      C2", "COMMENT") + hdr("", "END OF HEADER");
  const auto p = run_pass({"a\n", {{"a", bad}}}, 0, 86400, 30, false);
  EXPECT_EQ(p.stop, 93723);
  EXPECT_EQ(p.console, " FATAL -- need # / TYPES OF OBSERV record\r\n");
}

TEST(LoadList, HeaderFieldsLeapSecondsAndReferenceDate) {
  auto first_obs = [](int y, int d, int h, int mi, double s) {
    char c[64];
    std::snprintf(c, sizeof c, "%6d%6d%6d%6d%6d%13.7f     GPS", y, 7, d, h, mi, s);
    return hdr(c, "TIME OF FIRST OBS");
  };
  Files f;
  f.list = "a\nb\nc\n";
  f.files = {
      {"a", header({"L1"}, hdr("ABCDEFG", "MARKER NAME") + hdr("    17", "LEAP SECONDS") +
                               hdr("12345678901234567890TRM57971.00     NONE", "ANT # / TYPE") +
                               hdr("        1.2345       -0.0010        0.5000",
                                   "ANTENNA: DELTA H/E/N") +
                               first_obs(2012, 18, 12, 0, 0.0) + first_obs(2012, 18, 6, 0, 0.0))},
      {"b", header({"L1"}, first_obs(2012, 17, 23, 0, 0.0) + hdr("    18", "LEAP SECONDS"))},
      {"c", header({"L1"})}};
  header_only(f);
  EXPECT_EQ(std::string(master.marker[1], 4), "ABCD");
  EXPECT_EQ(std::string(master.antenna[1], 20), "TRM57971.00     NONE");
  EXPECT_EQ(master.dH[1], 1.2345);
  EXPECT_EQ(master.dE[1], -0.001);
  EXPECT_EQ(master.dN[1], 0.5);
  EXPECT_EQ(master.leapsec, 18);  // the last record read wins
  // A header without those records keeps zero bytes, not blanks.
  EXPECT_EQ(std::string(master.marker[2], 4), std::string(4, '\0'));
  EXPECT_EQ(std::string(master.antenna[3], 20), std::string(20, '\0'));
  // The last accepted file decides; it has no time of first observation, so frac and mjd are
  // unset while the date is the one of the file before it (the earlier starting one).
  EXPECT_EQ(master2.frac, -1.0);
  EXPECT_EQ(master2.mjd, -1);
  EXPECT_EQ(master2.day, 17);
  f.list = "a\nb\n";
  header_only(f);
  EXPECT_EQ(master2.day, 17);
  EXPECT_EQ(master2.mjd, 56125);
  EXPECT_NEAR(master2.frac, 23.0 / 24.0, 1e-15);
  f.list = "a\n";
  header_only(f);
  EXPECT_EQ(master2.frac, 0.5);  // the later of the two records of one header
}

TEST(LoadList, HeaderFailures) {
  // Empty file, end of file inside the header, a year before 1900, a bad number.
  EXPECT_EQ(run_pass({"a\n", {{"a", ""}}}, 0, 1, 1, false).error, "End of file");
  EXPECT_EQ(run_pass({"a\n", {{"a", test::version_record()}}}, 0, 1, 1, false).error,
            "End of file");
  const std::string y1899 = hdr("  1899    12    31     0     0    0.0000000     GPS", "TIME OF FIRST OBS");
  EXPECT_EQ(run_pass({"a\n", {{"a", header({"L1"}, y1899)}}}, 0, 1, 1, false).stop, 34588);
  const std::string blank_year = hdr("", "TIME OF FIRST OBS");
  EXPECT_EQ(run_pass({"a\n", {{"a", header({"L1"}, blank_year)}}}, 0, 1, 1, false).stop, 34588);
  const std::string bad_leap = hdr("   1x", "LEAP SECONDS");
  EXPECT_EQ(run_pass({"a\n", {{"a", header({"L1"}, bad_leap)}}}, 0, 1, 1, false).error,
            "Bad value during integer read");
  EXPECT_EQ(run_pass({"a\n", {{"a", test::version_record("2.x1")}}}, 0, 1, 1, false).error,
            "Bad value during floating point read");
  // A directory passes the read-access test and then cannot be opened.
  test::ScratchDir dir;
  std::filesystem::create_directory(dir.path() / "adir");
  const std::string list = "adir\n";
  test::write_file("list.txt", list);
  reset_run_state();
  test::ConsoleCapture con;
  in_unit(kListUnit).open("list.txt");
  EXPECT_NE(test::record_error_of([] { loadlist(kListUnit, kRinexUnit); }).find("adir"),
            std::string::npos);
  in_unit(kListUnit).close();
}

TEST(LoadList, AThousandFilesAtMost) {
  Files f;
  const std::string content = header({"L1"});
  for (int i = 0; i < 1000; ++i) {
    std::string name = std::to_string(i);
    name.insert(0, 1, 'f');
    f.files.push_back({name, content});
    f.list += name;
    f.list += '\n';
  }
  f.files.push_back({"bad", "not a RINEX file\n"});
  const auto ok = run_pass({"bad\n" + f.list, f.files}, 0, 1, 1, false);
  EXPECT_EQ(ok.stop, 0);
  EXPECT_EQ(master.nfiles, 1000);  // a dropped file does not count
  const auto over = run_pass({f.list + "bad\n", f.files}, 0, 1, 1, false);
  EXPECT_EQ(over.stop, 98347);  // counted before the first-record test
  std::string want = " file name:\r\n bad";
  want.append(75, ' ');
  want.append("\r\n exceeds maximum number of input files:         1000\r\n FATAL\r\n");
  EXPECT_EQ(over.console, want);
}

TEST(LoadList, AdmitAndTrim) {
  for (const char* c : {"C1", "L2", "P5", "CA", "LD", "l1", "pb", "c8"}) EXPECT_EQ(admitobs(c), 1) << c;
  for (const char* c : {"D1", "S1", "C3", "L9", "  ", "L ", "X1", "CE"}) EXPECT_EQ(admitobs(c), 0) << c;
  EXPECT_EQ(ntrim("abc   "), 3);
  EXPECT_EQ(ntrim("      "), 0);
  EXPECT_EQ(ntrim(""), 0);
  EXPECT_EQ(ntrim(" a "), 2);
  EXPECT_EQ(ntrim(std::string_view("ab\0 ", 4)), 3);  // only the blank is trimmed
}

}  // namespace
}  // namespace obsq
