// The run driver: command line, files, the stages of the run in their order, the closing prompt.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace obsq {

// Reads and validates start, stop and step; a missing, blank or illegal argument ends the run.
void readargs(const std::vector<std::string_view>& args, int32_t& start, int32_t& stop,
              int32_t& step);

// The main sequence of a run. Fatal conditions leave it as Stop or RecordError.
void run(const std::vector<std::string_view>& args);

// Runs the program and turns a stop or a record-layer error into its report on the error
// stream and the exit status (0 after a normal run, the stop code, or 2).
int main_entry(int argc, char** argv);

}  // namespace obsq
