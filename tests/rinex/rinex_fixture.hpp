// Runs the list loader and the observation reader in-process on files written to a scratch
// folder, and gives access to what they left in the tables.
#pragma once

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "../support.hpp"
#include "rinex/loadlist.hpp"
#include "rinex/obsread.hpp"
#include "tables/obskey.hpp"
#include "tables/tables.hpp"

namespace obsq::test {

struct Pass {
  std::string console;
  int stop = 0;
  std::string error;
  int32_t tmin = 0;
  int32_t tmax = 0;
};

// Files of one run: list.txt and the named contents.
struct Files {
  std::string list;
  std::vector<std::pair<std::string, std::string>> files;
};

// A minimal header: version record, optional extra records, types, END OF HEADER.
inline std::string header(std::initializer_list<std::string_view> types, std::string extra = {},
                          char sys = 'G', std::string_view version = "2.11") {
  return version_record(version, sys) + extra + types_records(types) + hdr("", "END OF HEADER");
}

inline Pass run_pass(const Files& f, int32_t start, int32_t stop, int32_t step,
                     bool observations = true) {
  ScratchDir dir;
  write_file("list.txt", f.list);
  for (const auto& [name, content] : f.files) write_file(name, content);
  reset_run_state();
  ConsoleCapture con;
  Pass p;
  try {
    in_unit(kListUnit).open("list.txt");
    loadlist(kListUnit, kRinexUnit);
    in_unit(kListUnit).close();
    if (observations) storeobs(kRinexUnit, start, stop, step, p.tmin, p.tmax);
  } catch (const Stop& s) {
    p.stop = s.code;
  } catch (const RecordError& e) {
    p.error = e.message;
  }
  in_unit(kListUnit).close();
  in_unit(kRinexUnit).close();
  p.console = con.text();
  return p;
}

// The stored value of (file, second, satellite, type), or nullopt-like NaN flag when absent.
inline bool stored(int32_t file, int32_t second, std::string_view sat, std::string_view type,
                   double* value = nullptr) {
  int32_t slot = 0;
  const int64_t key = lkey(file, second, sat_code(sat), type_code(type));
  if (getlng(key, slot) != 1) return false;
  if (value != nullptr) *value = dbase()[slot];
  return true;
}

inline double epoch_value(int32_t file, int32_t second) {
  double v = -1;
  EXPECT_TRUE(stored(file, second, "ZZZ", "ZZ", &v)) << "no epoch-time entry at " << second;
  return v;
}

inline int32_t store_count() {
  int32_t n = 0;
  numlng(n);
  return n;
}

inline int32_t sat_count() {
  int32_t n = 0;
  nummst(n);
  return n;
}

}  // namespace obsq::test
