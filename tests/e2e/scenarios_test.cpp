// Complete runs of the real binary: the project's own scenarios under tests/scenarios/ and the
// reference runs over real RINEX files beside the project (skipped when they are absent).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "scenario.hpp"

namespace obsq::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> folders(const fs::path& root) {
  std::vector<std::string> names;
  if (!fs::is_directory(root)) return names;
  for (const auto& e : fs::directory_iterator(root))
    if (e.is_directory() && fs::exists(e.path() / "expected.status")) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::string test_name(const testing::TestParamInfo<std::string>& info) {
  std::string s = info.param;
  for (char& c : s)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return s;
}

class OwnScenario : public testing::TestWithParam<std::string> {};

TEST_P(OwnScenario, MatchesExpectedRun) {
  std::string skip;
  const std::string problems =
      check_scenario(scenario_root() / GetParam(), shared_dir() / "rinex", &skip);
  if (!skip.empty()) GTEST_SKIP() << skip;
  EXPECT_EQ(problems, "");
}

INSTANTIATE_TEST_SUITE_P(Scenarios, OwnScenario, testing::ValuesIn(folders(scenario_root())),
                         test_name);

class ReferenceRun : public testing::TestWithParam<std::string> {};

TEST_P(ReferenceRun, MatchesExpectedRun) {
  if (GetParam() == "absent")
    GTEST_SKIP() << "no reference runs at " << (shared_dir() / "golden").string();
  std::string skip;
  const std::string problems =
      check_scenario(shared_dir() / "golden" / GetParam(), shared_dir() / "rinex", &skip);
  EXPECT_EQ(problems, "");
}

std::vector<std::string> reference_runs() {
  auto names = folders(shared_dir() / "golden");
  if (names.empty()) names.push_back("absent");  // reported as skipped below
  return names;
}

INSTANTIATE_TEST_SUITE_P(Golden, ReferenceRun, testing::ValuesIn(reference_runs()), test_name);

}  // namespace
}  // namespace obsq::test
