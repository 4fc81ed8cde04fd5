// Every real observation file beside the project, read on its own: accepted with all its epochs,
// refused, or ending in the error its content leads to. Skipped when the files are absent.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "records/runstate.hpp"
#include "rinex_fixture.hpp"

namespace obsq {
namespace {

namespace fs = std::filesystem;

const fs::path kRinex = fs::path(OBSQUILT_SHARED_DIR) / "rinex";

// File name -> number of epoch records with flag 0 or 1, from the catalog's table.
std::map<std::string, int> catalog_epochs() {
  std::map<std::string, int> m;
  std::ifstream in(kRinex / "CATALOG.md");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("| ", 0) != 0) continue;
    std::vector<std::string> cells;
    std::stringstream s(line);
    for (std::string c; std::getline(s, c, '|');) cells.push_back(c);
    if (cells.size() < 9) continue;
    std::string name = cells[1].substr(1, cells[1].size() - 2);
    if (!fs::exists(kRinex / name) || m.count(name) != 0) continue;
    try {
      m[name] = std::stoi(cells[7]);
    } catch (...) {}
  }
  return m;
}

int epoch_entries() {
  int n = 0;
  for (int32_t s = 1; s < lng().next(); ++s) n += lng().key(s) % 100000 == 99999;
  return n;
}

TEST(RealFiles, EachFileReadAlone) {
  if (!fs::exists(kRinex / "CATALOG.md")) GTEST_SKIP() << "no real files at " << kRinex;
  const auto expected = catalog_epochs();
  ASSERT_GE(expected.size(), 40u);
  for (const auto& [name, epochs] : expected) {
    SCOPED_TRACE(name);
    const test::Pass p = test::run_pass({{name, test::read_file(kRinex / name)}}, 0, 86400, 1);
    if (name == "cccc0000.07o") {  // version 2.20
      EXPECT_EQ(master.nfiles, 0);
      EXPECT_NE(p.console.find(" exceeds programming.\r\n"), std::string::npos);
    } else if (name == "rovn0010.21o") {  // truncated inside an epoch
      EXPECT_EQ(p.outcome, "End of file");
    } else if (name == "test_input_rinex2_obs_SystemGlonass.06o") {
      // Its empty last line is a second epoch at 00:00:00.
      EXPECT_EQ(p.outcome, "STOP 65600");
      EXPECT_NE(p.console.find(" FATAL - duplicate key elements\r\n"), std::string::npos);
    } else {
      EXPECT_EQ(p.outcome, "return");
      EXPECT_EQ(master.nfiles, 1);
      // blank.10o: its one blank record is an epoch at second 0.
      EXPECT_EQ(epoch_entries(), name == "blank.10o" ? 1 : epochs);
      EXPECT_LE(p.tmin, p.tmax);
    }
  }
}

}  // namespace
}  // namespace obsq
