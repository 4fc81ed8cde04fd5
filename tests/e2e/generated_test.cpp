// A small network written by the project's generator, merged by the real binary: the output
// and the console must stay byte for byte as checked in (made before any speed work on the
// reader and the writer), whatever is done to make them faster.
#include <gtest/gtest.h>

#include "../support.hpp"
#include "scenario.hpp"

namespace obsq::test {
namespace {

namespace fs = std::filesystem;

TEST(GeneratedNetwork, OutputUnchanged) {
  ScratchDir dir;
  const std::string cmd = std::string(OBSQUILT_SIMULATE) + " " + dir.path().string() +
                          " --stations 3 --epochs 20 --seed 11";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  const RunResult r = run_binary(dir.path(), {"0", "86400", "30"});
  const fs::path expected = fs::path(OBSQUILT_TEST_DIR) / "e2e" / "generated";
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out, read_file(expected / "expected.stdout"));
  EXPECT_TRUE(r.output_file == read_file(expected / "expected.obsquilt.txt"))
      << "obsquilt.txt differs from " << (expected / "expected.obsquilt.txt").string();
}

}  // namespace
}  // namespace obsq::test
