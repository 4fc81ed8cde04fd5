// Output files written piece by piece: whatever the pieces, the file holds their bytes in order
// once committed, and no disk set aside ahead of the writes is left beyond its end.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cli/cli.hpp"

namespace {

namespace fs = std::filesystem;
using obsq::cli::kWriteBlock;

struct Pieces {
  const char* name;
  std::vector<size_t> sizes;
};
void PrintTo(const Pieces& p, std::ostream* os) { *os << p.name; }

std::string read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Bytes that differ from piece to piece and place to place, so a piece written twice, left
// out or out of order shows.
std::string bytes_of(size_t piece, size_t n) {
  std::string b(n, '\0');
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<char>('A' + (piece * 7 + i * 13 + i / 4093) % 61);
  return b;
}

class OutputPieces : public ::testing::TestWithParam<Pieces> {};

TEST_P(OutputPieces, CommittedFileHoldsThemInOrderAndNoMore) {
  const fs::path dir = fs::temp_directory_path() /
                       ("obsquilt-output-" + std::to_string(::getpid()) + "-" + GetParam().name);
  fs::remove_all(dir);
  fs::create_directories(dir);
  const fs::path path = dir / "out.txt";
  obsq::cli::OutputFile out = obsq::cli::create_output(path.string(), false);
  std::string expected;
  for (size_t k = 0; k < GetParam().sizes.size(); ++k) {
    const std::string piece = bytes_of(k, GetParam().sizes[k]);
    obsq::cli::write_output(out, piece);
    expected += piece;
  }
  EXPECT_FALSE(fs::exists(path)) << "in place before the commit";
  obsq::cli::commit_output(out);
  ASSERT_TRUE(fs::exists(path));
  EXPECT_EQ(fs::file_size(path), expected.size());
  EXPECT_TRUE(read_all(path) == expected) << "the bytes differ from the pieces'";
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  // The disk the file takes: its bytes in whole file-system blocks, not the steps set aside.
  EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, expected.size() + (64u << 10));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1)
      << "a temporary file left behind";
  fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OutputPieces,
    ::testing::Values(
        Pieces{"nothing", {}}, Pieces{"empty_piece", {0}}, Pieces{"one_byte", {1}},
        Pieces{"block_less_one_then_two", {kWriteBlock - 1, 1, 1}},
        Pieces{"two_blocks", {kWriteBlock, kWriteBlock}},
        Pieces{"blocks_and_a_tail", {3 * kWriteBlock + 17}},
        Pieces{"small_large_small", {100, 2 * kWriteBlock, 5, 0, kWriteBlock - 105}},
        Pieces{"many_small", std::vector<size_t>(3000, 4099)},
        // Past two steps of what is set aside, in pieces of a block and some.
        Pieces{"past_the_reserve", std::vector<size_t>(70, kWriteBlock + 4093)}),
    [](const ::testing::TestParamInfo<Pieces>& i) { return std::string(i.param.name); });

TEST(OutputPieces, AnAbandonedFileLeavesNothing) {
  const fs::path dir =
      fs::temp_directory_path() / ("obsquilt-output-" + std::to_string(::getpid()) + "-abandon");
  fs::remove_all(dir);
  fs::create_directories(dir);
  obsq::cli::OutputFile out = obsq::cli::create_output((dir / "out.txt").string(), false);
  obsq::cli::write_output(out, bytes_of(0, 3 * kWriteBlock + 5));
  obsq::cli::abandon_output(out);
  EXPECT_TRUE(out.pending.empty());
  EXPECT_TRUE(fs::is_empty(dir));
  fs::remove_all(dir);
}

// A file larger than the process may write (RLIMIT_FSIZE, as a full disk would refuse it): the
// failure is raised where the bytes are written, a whole block in write_output or the held-back
// rest in commit_output, and neither the file nor its temporary is left. Run in a child of its
// own, whose limit goes with it.
void refused_at(size_t limit, const std::vector<size_t>& sizes, bool at_commit) {
  const fs::path dir = fs::temp_directory_path() /
                       ("obsquilt-output-" + std::to_string(::getpid()) + "-refused");
  fs::remove_all(dir);
  fs::create_directories(dir);
  std::signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead of ending the process
  const rlimit r{limit, limit};
  if (::setrlimit(RLIMIT_FSIZE, &r) != 0) std::exit(3);
  obsq::cli::OutputFile out = obsq::cli::create_output((dir / "out.txt").string(), false);
  try {
    for (size_t k = 0; k < sizes.size(); ++k) obsq::cli::write_output(out, bytes_of(k, sizes[k]));
    if (!at_commit) std::exit(4);  // not refused while written
    obsq::cli::commit_output(out);
    std::exit(5);  // committed
  } catch (const obsq::cli::Failure& f) {
    if (f.message.find((dir / "out.txt").string()) != 0) std::exit(6);
  }
  std::exit(fs::is_empty(dir) ? 0 : 7);
}

TEST(OutputPiecesDeathTest, AWriteRefusedIsAFailureAndLeavesNothing) {
  // A block past the limit: refused in write_output.
  EXPECT_EXIT(refused_at(100000, {kWriteBlock + 10}, false), ::testing::ExitedWithCode(0), "");
  // The blocks within the limit, the rest held back past it: refused in commit_output.
  EXPECT_EXIT(refused_at(kWriteBlock + 1000, {kWriteBlock + 5000}, true),
              ::testing::ExitedWithCode(0), "");
}

}  // namespace
