// The plan of a network day too large for one run of the merge: station groups of at most
// max_files files (the files in list order, cut into groups of nearly equal size), and per group
// time windows small enough that each run's store stays under max_values values, from the load
// the reader counts per file and second (estimate.hpp). The plan is kept as plan.json, which
// obsquilt-day and a workflow engine read back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "day/estimate.hpp"

namespace obsq::day {

struct Limits {
  int max_files = 1000;
  int64_t max_values = 72'000'000;  // 90 % of the store's 80,000,000
  int32_t from = 0, to = 86400, step = 30;
};

struct Run {
  int number = 0;  // 1-based, the runs of group 1 first, each group's in time order
  int group = 0;   // 1-based
  int32_t from = 0, to = 0;
  int64_t values = 0;              // the store values the run will hold
  std::vector<std::string> files;  // as the list of the run names them, relative to the day
  std::string folder() const;      // "runs/NNN"
  int memory_mb() const;           // the peak memory a run of that many values takes, about
  int cores() const;               // the cores it keeps busy (reading ahead, formatting)
};

struct Plan {
  std::string day;  // YYYY-DDD, or empty when not known
  Limits limits;
  int files = 0;  // files planned
  int groups = 0;
  int64_t values = 0;  // in all runs
  std::vector<Run> runs;
};

// What cannot be planned, or a plan.json that cannot be read.
struct PlanError {
  std::string message;
};

// Plans the files (in list order) from their loads (the same order). PlanError when one epoch
// of one file alone holds more than max_values values.
Plan make_plan(const std::vector<std::string>& files, const std::vector<FileLoad>& loads,
               const Limits& limits);

// plan.json and back; read_plan throws PlanError naming what is wrong.
std::string plan_json(const Plan& plan);
Plan read_plan(const std::string& text);

// Lines for the terminal: the totals, then one line per run.
std::string summary(const Plan& plan);

}  // namespace obsq::day
