// Runs the real obsquilt binary on a scenario folder and compares what it did with what the
// folder expects.
//
// A scenario folder holds: list.txt; args (the arguments on one line, split at blanks) or argv
// (one argument per line, taken as they stand); optionally stdin (the keyboard input, a newline
// when absent) and existing.obsquilt.txt (an output file present before the run); the input
// files it names; and the expected results: expected.status (exit status modulo 256),
// expected.stdout (byte for byte), expected.stderr (the text the last line of the error stream
// ends with, empty when nothing may be written there) and expected.obsquilt.txt (byte for byte).
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
};

// Runs the binary in dir with the arguments and the keyboard input given; with a user id, as
// that user (the caller must be root).
RunResult run_binary(const std::filesystem::path& dir, const std::vector<std::string>& args,
                     const std::string& input = "\n", int uid = -1);

// Prepares a scratch folder for the scenario (inputs found in the scenario folder or, failing
// that, in rinex_dir), runs it, and returns a description of every difference (empty when none).
std::string check_scenario(const std::filesystem::path& scenario,
                           const std::filesystem::path& rinex_dir);

std::filesystem::path binary_path();
std::filesystem::path shared_dir();
std::filesystem::path scenario_root();

}  // namespace obsq::test
