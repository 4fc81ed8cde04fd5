// Files read ahead and epochs formatted on worker threads must end a run exactly where, and as,
// the record-by-record reader and writer (OBSQUILT_SEQUENTIAL=1) end it: a generated network
// with one file damaged in the middle is run both ways, by the real binary (console, error
// stream, status, the old output file left as it was) and in-process (the failure raised by
// storeobs and the record the reading unit stands at).
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <sstream>

#include "../child.hpp"
#include "../support.hpp"
#include "records/runstate.hpp"
#include "rinex/loadlist.hpp"
#include "rinex/obsread.hpp"
#include "scenario.hpp"
#include "tables/tables.hpp"

namespace obsq::test {
namespace {

namespace fs = std::filesystem;

struct Damage {
  const char* name;
  // Changes the lines of a file; e is the index of an epoch record in the middle of it.
  std::function<void(std::vector<std::string>&, size_t e)> apply;
};

// Epoch records of a generated file: " yy mm dd hh mm ss.sssssss  0 nn...".
bool is_epoch_record(const std::string& l) {
  return l.size() >= 32 && l[1] != ' ' && l[2] != ' ' && l[3] == ' ' && l[28] == '0';
}

const Damage kDamages[] = {
    {"cut_in_observation_records", [](auto& lines, size_t e) { lines.resize(e + 9); }},
    {"repeated_second",
     [](auto& lines, size_t e) {
       size_t end = e + 1;
       while (!is_epoch_record(lines[end])) ++end;
       lines.insert(lines.begin() + static_cast<long>(end), lines.begin() + static_cast<long>(e),
                    lines.begin() + static_cast<long>(end));
     }},
    {"bad_value", [](auto& lines, size_t e) { lines[e + 7][5] = 'x'; }},
    {"bad_epoch_field", [](auto& lines, size_t e) { lines[e][14] = 'x'; }},
    {"bad_satellite_code", [](auto& lines, size_t e) { lines[e][38] = 'X'; }},
    {"short_satellite_list", [](auto& lines, size_t e) { lines.resize(e + 1); }},
};

class ReadAheadFaults : public ::testing::TestWithParam<Damage> {
 protected:
  void SetUp() override {
    ASSERT_EQ(
        run_child({OBSQUILT_SIMULATE,
                   {dir_.path().string(), "--stations", "5", "--epochs", "60", "--seed", "5"}})
            .status,
        0);
    // The fourth file of the list, damaged at its 30th epoch.
    std::istringstream list(read_file("list.txt"));
    std::string name;
    for (int i = 0; i < 4; ++i) std::getline(list, name);
    std::vector<std::string> lines;
    std::istringstream in(read_file(name));
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    size_t e = 0;
    for (int seen = 0; e < lines.size() && seen < 30; ++e) seen += is_epoch_record(lines[e]);
    ASSERT_LT(e, lines.size());
    GetParam().apply(lines, e - 1);
    std::string text;
    for (const std::string& l : lines) text += l + "\n";
    write_file(name, text);
  }
  void TearDown() override {
    ::unsetenv("OBSQUILT_SEQUENTIAL");
    ::unsetenv("OBSQUILT_WORKERS");
  }

  // Record by record, or on two worker threads even where the machine has one core.
  static void sequential(bool on) {
    if (on) {
      ::setenv("OBSQUILT_SEQUENTIAL", "1", 1);
      ::unsetenv("OBSQUILT_WORKERS");
    } else {
      ::unsetenv("OBSQUILT_SEQUENTIAL");
      ::setenv("OBSQUILT_WORKERS", "2", 1);
    }
  }

  ScratchDir dir_;
};

TEST_P(ReadAheadFaults, BinaryEndsAsRecordByRecord) {
  const std::string old = "an older output\r\n";
  RunResult runs[2];
  for (int parallel = 0; parallel < 2; ++parallel) {
    write_file("obsquilt.txt", old);
    sequential(parallel == 0);
    runs[parallel] = run_binary(dir_.path(), {"0", "86400", "30"});
  }
  const RunResult& seq = runs[0];
  const RunResult& par = runs[1];
  EXPECT_NE(seq.status, 0) << "the damage did not end the run";
  EXPECT_EQ(seq.output_file, old);
  EXPECT_EQ(par.status, seq.status);
  EXPECT_EQ(par.out, seq.out);
  EXPECT_EQ(par.err, seq.err);
  EXPECT_EQ(par.output_file, seq.output_file);
}

TEST_P(ReadAheadFaults, StoreobsFailsAtTheSameRecord) {
  struct Outcome {
    std::string failure, console;
    long record = -1;
    int32_t stored = -1, sats = -1;
  } outcome[2];
  for (int parallel = 0; parallel < 2; ++parallel) {
    sequential(parallel == 0);
    Outcome& o = outcome[parallel];
    reset_run_state();
    ConsoleCapture console;
    in_unit(kListUnit).open("list.txt");
    loadlist(kListUnit, kRinexUnit);
    in_unit(kListUnit).close();
    int32_t tmin = 0, tmax = 0;
    try {
      storeobs(kRinexUnit, 0, 86400, 30, tmin, tmax);
      o.failure = "none";
    } catch (const Stop& s) {
      o.failure = "STOP " + std::to_string(s.code);
    } catch (const RecordError& e) {
      o.failure = e.place + ": " + e.message;
    }
    o.record = in_unit(kRinexUnit).record_number();
    o.console = console.text();
    numlng(o.stored);
    nummst(o.sats);
    in_unit(kRinexUnit).close();
  }
  EXPECT_NE(outcome[0].failure, "none");
  EXPECT_EQ(outcome[1].failure, outcome[0].failure);
  EXPECT_EQ(outcome[1].record, outcome[0].record);
  EXPECT_EQ(outcome[1].console, outcome[0].console);
  EXPECT_EQ(outcome[1].stored, outcome[0].stored);
  EXPECT_EQ(outcome[1].sats, outcome[0].sats);
}

INSTANTIATE_TEST_SUITE_P(Damages, ReadAheadFaults, ::testing::ValuesIn(kDamages),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace obsq::test
