// Runs the list loader and the observation pass in-process on files written to a scratch
// folder, leaving what they filed in the tables.
#pragma once

#include <utility>
#include <vector>

#include "../support.hpp"
#include "records/runstate.hpp"
#include "rinex/loadlist.hpp"
#include "rinex/obsread.hpp"
#include "tables/tables.hpp"

namespace obsq::test {

struct Pass {
  std::string console;
  std::string outcome;  // "return", "STOP n" or the record-layer error
  int32_t tmin = 0;
  int32_t tmax = 0;
};

inline Pass run_pass(const std::vector<std::pair<std::string, std::string>>& files, int32_t start,
                     int32_t stop, int32_t step) {
  ScratchDir dir;
  std::string list;
  for (const auto& [name, content] : files) {
    write_file(name, content);
    list += name + "\n";
  }
  write_file("list.txt", list);
  reset_run_state();
  ConsoleCapture con;
  Pass p;
  p.outcome = outcome_of([&] {
    in_unit(kListUnit).open("list.txt");
    loadlist(kListUnit, kRinexUnit);
    in_unit(kListUnit).close();
    storeobs(kRinexUnit, start, stop, step, p.tmin, p.tmax);
  });
  in_unit(kListUnit).close();
  in_unit(kRinexUnit).close();
  p.console = con.text();
  return p;
}

}  // namespace obsq::test
