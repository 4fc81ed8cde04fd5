// obsquilt-check against the run it predicts. Its own scenarios (tests/check/scenarios/NAME:
// the working directory's files, args, expected.check = its output, expected.status) show each
// kind of finding; on every scenario of the project and of the reference runs, and on each real
// file alone, "the check says 2" must hold exactly when the run ends with a stop or an error.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "../child.hpp"
#include "../e2e/scenario.hpp"
#include "../support.hpp"

namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> folders(const fs::path& root) {
  std::vector<std::string> out;
  if (fs::is_directory(root))
    for (const auto& e : fs::directory_iterator(root))
      if (fs::exists(e.path() / "list.txt")) out.push_back(e.path().filename());
  std::sort(out.begin(), out.end());
  return out;
}

// A scratch working directory holding links to a scenario's files: those of its folder and the
// named ones found among the real files.
class Workdir {
 public:
  explicit Workdir(const fs::path& scenario) {
    path_ = fs::temp_directory_path() / ("obsquilt-check-test-" + scenario.filename().string() +
                                         "-" + std::to_string(::getpid()));
    fs::remove_all(path_);
    fs::create_directories(path_);
    for (const auto& e : fs::directory_iterator(scenario)) {
      const std::string n = e.path().filename();
      if (n != "args" && n != "argv" && n.rfind("expected.", 0) != 0 && n != "note")
        fs::create_symlink(e.path(), path_ / n);
    }
    std::istringstream list(slurp(scenario / "list.txt"));
    for (std::string line; std::getline(list, line);) {
      std::string name = line.substr(0, 78);
      name.erase(name.find_last_not_of(" \r") + 1);
      const fs::path real = fs::path(OBSQUILT_SHARED_DIR) / "rinex" / name;
      if (!name.empty() && name.find('/') == std::string::npos && !fs::exists(path_ / name) &&
          fs::exists(real))
        fs::create_symlink(real, path_ / name);
    }
  }
  ~Workdir() { fs::remove_all(path_); }
  // Runs a program with the arguments as written in args (or argv, one a line) and a newline on
  // its input; returns the exit status, the output in `out`.
  int run(const std::string& program, const fs::path& scenario, std::string* out = nullptr) const {
    obsq::test::Child c{program, {}, path_, "\n", {}};
    if (fs::exists(scenario / "argv")) {
      std::istringstream in(slurp(scenario / "argv"));
      for (std::string a; std::getline(in, a);) c.args.push_back(a);
    } else {
      c.args = obsq::test::words(slurp(scenario / "args"));
    }
    const obsq::test::ChildResult r = obsq::test::run_child(c);
    if (out != nullptr) *out = r.out;
    return r.status;
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

class CheckScenario : public testing::TestWithParam<std::string> {};

TEST_P(CheckScenario, FindingsAndStatus) {
  const fs::path sc = fs::path(OBSQUILT_CHECK_SCENARIOS) / GetParam();
  Workdir dir(sc);
  std::string out;
  const int status = dir.run(OBSQUILT_CHECK_BIN, sc, &out);
  EXPECT_EQ(out, slurp(sc / "expected.check"));
  EXPECT_EQ(status, std::stoi(slurp(sc / "expected.status")));
  EXPECT_EQ(status == 2, dir.run(OBSQUILT_BIN, sc) != 0) << "the check and the run disagree";
}

INSTANTIATE_TEST_SUITE_P(Check, CheckScenario, testing::ValuesIn(folders(OBSQUILT_CHECK_SCENARIOS)),
                         [](const auto& info) {
                           std::string n = info.param;
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

// Agreement on every scenario folder of the project and of the reference runs, each set up as
// its run is (directories, links, modes, another user, a memory limit); the check runs first, in
// the state the scenario was written for. A scenario whose failure comes from the surroundings
// while the run writes holds a file "unforeseeable" that says so, and is not compared. The check
// reads the files ahead on worker threads; record by record (OBSQUILT_SEQUENTIAL=1) it must say
// the same, byte for byte, on these scenarios and on its own.
TEST(CheckPredicts, EveryScenario) {
  std::vector<fs::path> all;
  for (const fs::path& root : {fs::path(OBSQUILT_SCENARIO_DIR), fs::path(OBSQUILT_CHECK_SCENARIOS),
                               fs::path(OBSQUILT_SHARED_DIR) / "golden"})
    for (const auto& n : folders(root)) all.push_back(root / n);
  const bool shared = fs::exists(fs::path(OBSQUILT_SHARED_DIR) / "golden");
  int checked = 0;
  for (const fs::path& sc : all) {
    obsq::test::ScratchDir dir;
    obsq::test::ScenarioSetup setup;
    obsq::test::prepare_scenario(sc, shared ? fs::path(OBSQUILT_SHARED_DIR) / "rinex" : fs::path(),
                                 dir.path(), setup);
    ASSERT_EQ(setup.problem, "") << sc;
    if (!setup.skip.empty()) {
      std::printf("skipped %s: %s\n", sc.filename().c_str(), setup.skip.c_str());
      continue;
    }
    if (fs::exists(sc / "unforeseeable")) {  // says why no check before the run can see it
      std::printf("not compared %s: %s", sc.filename().c_str(),
                  obsq::test::read_file(sc / "unforeseeable").c_str());
      continue;
    }
    obsq::test::Child c(OBSQUILT_CHECK_BIN, obsq::test::scenario_args(sc), dir.path(), "\n");
    c.uid = setup.uid;
    c.memory_kb = setup.memory_kb;
    c.env = {{"OBSQUILT_SEQUENTIAL", "1"}};
    const obsq::test::ChildResult sequential = obsq::test::run_child(c);
    c.env = {{"OBSQUILT_SEQUENTIAL", ""}, {"OBSQUILT_WORKERS", "2"}};
    const obsq::test::ChildResult ahead = obsq::test::run_child(c);
    EXPECT_EQ(ahead.out, sequential.out) << sc << ": read ahead against record by record";
    EXPECT_EQ(ahead.err, sequential.err) << sc;
    EXPECT_EQ(ahead.status, sequential.status) << sc;
    const int check = ahead.status;
    // The check predicts a run that gets its newline at the prompt.
    const int run = obsq::test::run_binary(dir.path(), obsq::test::scenario_args(sc), "\n",
                                           setup.uid, setup.memory_kb)
                        .status;
    EXPECT_EQ(check == 2, run != 0) << sc << ": check " << check << ", run " << run;
    ++checked;
  }
  EXPECT_GE(checked, 60);
  if (!shared) std::printf("the reference runs of %s are absent\n", OBSQUILT_SHARED_DIR);
}

// Agreement on each real file read alone, over the whole day at every second.
TEST(CheckPredicts, EachRealFileAlone) {
  const fs::path rinex = fs::path(OBSQUILT_SHARED_DIR) / "rinex";
  if (!fs::exists(rinex)) GTEST_SKIP() << "no real files at " << rinex;
  const fs::path sc =
      fs::temp_directory_path() / ("obsquilt-check-one-" + std::to_string(::getpid()));
  int files = 0;
  for (const auto& e : fs::directory_iterator(rinex)) {
    if (e.path().extension() == ".md") continue;
    fs::create_directories(sc);
    std::ofstream(sc / "list.txt") << e.path().filename().string() << "\n";
    std::ofstream(sc / "args") << "0 86400 1\n";
    Workdir dir(sc);
    const int check = dir.run(OBSQUILT_CHECK_BIN, sc);
    const int run = dir.run(OBSQUILT_BIN, sc);
    EXPECT_EQ(check == 2, run != 0)
        << e.path().filename() << ": check " << check << ", run " << run;
    ++files;
  }
  fs::remove_all(sc);
  EXPECT_GE(files, 40);
}

// A check that cannot make its scratch files says so and keeps the companions' exit statuses.
TEST(CheckProgram, MissingTemporaryFolderIsAnErrorOfStatus2) {
  const fs::path sc = fs::path(OBSQUILT_CHECK_SCENARIOS) / "list-problems";
  Workdir dir(sc);
  const obsq::test::ChildResult r = obsq::test::run_child(
      {OBSQUILT_CHECK_BIN, {"0", "86400", "30"}, dir.path(), "", {{"TMPDIR", "/nonexistent/tmp"}}});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "obsquilt-check: cannot make a scratch file: no temporary folder /nonexistent/tmp (No "
            "such file or directory); set TMPDIR to a folder that exists\n");
}

}  // namespace
