// Runs the real obsquilt binary on a scenario folder and compares what it did with what the
// folder expects.
//
// A scenario folder holds expected.status (exit status modulo 256) and the run's set-up:
// list.txt (no list file when absent); args (the arguments on one line, split at blanks) or argv
// (one argument per line, taken as they stand); optionally stdin (the keyboard input, a newline
// when absent) and existing.obsquilt.txt (an output file present before the run); the input
// files it names; and setup, one line per step, done in order in the working directory:
//   dir NAME           make a directory NAME
//   link NAME TARGET   make NAME a symbolic link to TARGET
//   mode NAME OCTAL    set the permissions of NAME ("." is the working directory)
//   immutable NAME     chattr +i NAME for the run (the test is skipped where that is refused)
//   user               run as the unprivileged user 65534 (skipped unless the tests run as root)
//   memory KB          limit the run's address space (skipped under the address sanitizer)
// The expected results besides the status: expected.stdout (byte for byte), expected.stderr
// (one line: the text the last line of the error stream ends with; more lines: the whole error
// stream; empty when nothing may be written there) and expected.obsquilt.txt (byte for byte).
// A file "unforeseeable" says why obsquilt-check cannot see this run's failure beforehand (the
// test of the check's predictions then leaves the scenario out).
//
// The keyboard input is handed over only when the program waits for it; by then its prompt
// must be on the console, the way a user at a terminal sees it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace obsq::test {

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
  std::string output_file;  // obsquilt.txt after the run
  bool output_exists = false;
  std::string hang;  // what went wrong at the keyboard, empty when nothing did
};

// Runs the binary in dir with the arguments and the keyboard input given; with a user id, as
// that user (the caller must be root); with a memory limit, in that much address space.
RunResult run_binary(const std::filesystem::path& dir, const std::vector<std::string>& args,
                     const std::string& input = "\n", int uid = -1, long memory_kb = 0);

// Prepares a scratch folder for the scenario (inputs found in the scenario folder or, failing
// that, in rinex_dir), runs it, and returns a description of every difference (empty when none).
// When the scenario cannot run here, returns nothing and says why in *skip.
std::string check_scenario(const std::filesystem::path& scenario,
                           const std::filesystem::path& rinex_dir, std::string* skip);

// A scenario's working directory made ready: its files copied in (inputs found in the scenario
// folder or, failing that, in rinex_dir) and its setup steps done; what the run then needs.
struct ScenarioSetup {
  int uid = -1;
  long memory_kb = 0;
  std::string skip;                    // why the scenario cannot run here; empty when it can
  std::string problem;                 // a setup step this runner does not know
  std::vector<std::string> immutable;  // files made immutable, made writable again at the end
  ScenarioSetup() = default;
  ScenarioSetup(const ScenarioSetup&) = delete;
  ScenarioSetup& operator=(const ScenarioSetup&) = delete;
  ~ScenarioSetup();
};
void prepare_scenario(const std::filesystem::path& scenario, const std::filesystem::path& rinex_dir,
                      const std::filesystem::path& dir, ScenarioSetup& setup);
// The arguments of a scenario, from argv (one a line) or args (split at blanks).
std::vector<std::string> scenario_args(const std::filesystem::path& scenario);

std::filesystem::path binary_path();
std::filesystem::path shared_dir();
std::filesystem::path scenario_root();

}  // namespace obsq::test
