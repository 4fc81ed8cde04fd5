// obsquilt-check: what a run of obsquilt in a working directory will do, and why.
//
// The check reads the directory the way the run reads it: it calls the run's own command-line
// check, list loader, header scan and observation reader in-process, with the console sent
// aside and an observer on the reader, and turns what they meet into findings. A stop or an
// error of the run is caught where it happens; the file that caused it is then left out and the
// run is made again, so that one check reports every file that would stop the run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace obsq::check {

enum class Severity { note, warning, error };

struct Finding {
  std::string file;  // as the user names it: "list.txt", a file of the list, "obsquilt.txt"
  long line = 0;     // 1-based; 0 for a finding about the file as a whole
  Severity severity = Severity::note;
  std::string message;
};

struct Outcome {
  std::vector<Finding> findings;
  std::string summary;  // one line: what the run would do
  bool run_fails = false;
};

// Checks the current directory for a run with these command-line arguments.
Outcome check_directory(const std::vector<std::string>& args);

}  // namespace obsq::check
