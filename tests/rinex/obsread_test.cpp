// A store too small for the values of a run: the insert that finds it full stops the run with
// the stop code of what it was filing (values 65656, an epoch-time entry 65600).
#include "rinex/obsread.hpp"

#include <gtest/gtest.h>

#include "rinex_fixture.hpp"

namespace obsq {
namespace {

TEST(ObsRead, StoreOverflow) {
  // Two epochs of two satellites and two types: five entries each.
  const std::string file =
      test::read_file(std::string(OBSQUILT_TEST_DIR) + "/scenarios/worked-example/pt01.obs");
  struct Case {
    int32_t capacity;
    const char* outcome;
  };
  for (const Case c : {Case{4, "STOP 65656"}, Case{5, "STOP 65600"}, Case{10, "return"}}) {
    use_small_store(c.capacity);
    const test::Pass p = test::run_pass({{"a.obs", file}}, 0, 60, 30);
    use_small_store(0);
    EXPECT_EQ(p.outcome, c.outcome) << c.capacity;
    if (c.capacity < 10) {
      EXPECT_TRUE(p.console.ends_with(" FATAL - long table overflow\r\n")) << p.console;
    }
  }
}

}  // namespace
}  // namespace obsq
