// The stop codes by name: the manual page lists exactly the codes the engine can stop with, each
// with its exit status as a shell sees it (the code modulo 256, worked out here independently).
#include "records/stopcodes.hpp"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <set>
#include <string>

#include "../support.hpp"

namespace obsq {
namespace {

// Every "CODE (STATUS)" pair of the STOP CODES section of the page.
std::map<int, int> codes_on_page(const std::string& page) {
  const size_t from = page.find(".SH \"STOP CODES\"");
  const size_t to = page.find(".SH ", from + 1);
  EXPECT_NE(from, std::string::npos) << "no STOP CODES section";
  const std::string section = page.substr(from, to - from);
  std::map<int, int> found;
  const std::regex pair(R"((\d{5}) " \((\d+)\))");
  for (auto it = std::sregex_iterator(section.begin(), section.end(), pair);
       it != std::sregex_iterator(); ++it) {
    const int code = std::stoi((*it)[1]);
    EXPECT_TRUE(found.emplace(code, std::stoi((*it)[2])).second) << code << " listed twice";
  }
  return found;
}

TEST(StopCodes, ManualPageListsExactlyTheEnginesCodes) {
  const std::map<int, int> page =
      codes_on_page(test::read_file(std::string(OBSQUILT_TEST_DIR) + "/../man/obsquilt.1"));
  std::set<int> engine;
  for (const stops::StopCode& s : stops::kAll) {
    EXPECT_TRUE(engine.insert(s.code).second) << s.code << " twice in the table";
    const auto it = page.find(s.code);
    if (it == page.end()) {
      ADD_FAILURE() << s.code << " (" << s.name << ") is missing from man/obsquilt.1";
      continue;
    }
    int status = s.code;
    while (status >= 256) status -= 256;
    EXPECT_EQ(it->second, status) << s.code << ": the status a shell sees";
  }
  for (const auto& [code, status] : page)
    EXPECT_TRUE(engine.count(code)) << code << " is on the page but no stop code of the engine";
}

TEST(StopCodes, EveryCodeHasANameAndAMeaning) {
  for (const stops::StopCode& s : stops::kAll) {
    EXPECT_FALSE(s.name.empty()) << s.code;
    EXPECT_FALSE(s.meaning.empty()) << s.code;
    EXPECT_EQ(stops::find(s.code), &s);
  }
  EXPECT_EQ(stops::find(0), nullptr);
  EXPECT_TRUE(stops::meaning(12345).empty());
}

}  // namespace
}  // namespace obsq
