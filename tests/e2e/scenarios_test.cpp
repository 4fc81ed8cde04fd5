// Complete runs of the real binary: the project's own scenarios under tests/scenarios/ and the
// reference runs over real RINEX files beside the project (skipped when they are absent).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include "scenario.hpp"

namespace obsq::test {
namespace {

namespace fs = std::filesystem;

// The scenario folders under root, or one placeholder "absent" that the test reports as skipped.
std::vector<std::string> folders(const fs::path& root) {
  std::vector<std::string> names;
  if (fs::is_directory(root))
    for (const auto& e : fs::directory_iterator(root))
      if (e.is_directory() && fs::exists(e.path() / "expected.status"))
        names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  if (names.empty()) names.push_back("absent");
  return names;
}

std::string test_name(const testing::TestParamInfo<std::string>& info) {
  std::string s = info.param;
  std::replace_if(
      s.begin(), s.end(), [](unsigned char c) { return !std::isalnum(c); }, '_');
  return s;
}

void check(const fs::path& root, const std::string& name) {
  if (name == "absent") GTEST_SKIP() << "no scenarios at " << root.string();
  std::string skip;
  const std::string problems = check_scenario(root / name, shared_dir() / "rinex", &skip);
  if (!skip.empty()) GTEST_SKIP() << skip;
  EXPECT_EQ(problems, "");
}

class OwnScenario : public testing::TestWithParam<std::string> {};
TEST_P(OwnScenario, MatchesExpectedRun) { check(scenario_root(), GetParam()); }
INSTANTIATE_TEST_SUITE_P(Scenarios, OwnScenario, testing::ValuesIn(folders(scenario_root())),
                         test_name);

class ReferenceRun : public testing::TestWithParam<std::string> {};
TEST_P(ReferenceRun, MatchesExpectedRun) { check(shared_dir() / "golden", GetParam()); }
INSTANTIATE_TEST_SUITE_P(Golden, ReferenceRun, testing::ValuesIn(folders(shared_dir() / "golden")),
                         test_name);

}  // namespace
}  // namespace obsq::test
