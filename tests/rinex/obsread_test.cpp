#include "rinex/obsread.hpp"

#include <gtest/gtest.h>

#include "driver/records/runstate.hpp"
#include "rinex_fixture.hpp"

namespace obsq {
namespace {

using test::epoch_record;
using test::epoch_value;
using test::Files;
using test::hdr;
using test::header;
using test::obs_record;
using test::run_pass;
using test::stored;

Files one(const std::string& content) { return {"a\n", {{"a", content}}}; }

TEST(ObsRead, AcceptanceWindowAndEpochTimeEntry) {
  const std::string file = header({"C1", "L1"}) +
                           epoch_record(12, 0, 30.0, 0, {"G05"}) + obs_record({"20000000.123", "blank"}) +
                           epoch_record(12, 1, 0.0, 0, {"G05"}) + obs_record({"1.000", "2.000"});
  auto p = run_pass(one(file), 0, 86400, 30);
  EXPECT_EQ(p.tmin, 43230);
  EXPECT_EQ(p.tmax, 43260);
  EXPECT_EQ(epoch_value(1, 43230), 30.0);
  double v = 0;
  EXPECT_TRUE(stored(1, 43230, "G05", "C1", &v));
  EXPECT_EQ(v, 20000000.123);
  EXPECT_TRUE(stored(1, 43230, "G05", "L1", &v));
  EXPECT_EQ(v, kMissing);  // a blank field files the marker
  EXPECT_EQ(test::store_count(), 6);
  p = run_pass(one(file), 0, 86400, 60);  // 43230 is no multiple of 60: nothing of it is filed
  EXPECT_EQ(p.tmin, 43260);
  EXPECT_FALSE(stored(1, 43230, "ZZZ", "ZZ"));
  EXPECT_EQ(test::store_count(), 3);
  p = run_pass(one(file), 43230, 43230, 1);  // start = stop, on the epoch
  EXPECT_EQ(p.tmin, 43230);
  EXPECT_EQ(p.tmax, 43230);
  p = run_pass(one(file), 43231, 43259, 1);  // no epoch accepted
  EXPECT_EQ(p.console, " all obs types:            2\r\nprocessing files ...\r\n"
                       " time range:      1000000    -1000000\r\n"
                       " ref. date :            0           0           0\r\n"
                       " total sats:            0\r\n");
}

TEST(ObsRead, RoundingHalvesAwayFromZero) {
  const std::string file = header({"L1"}) + epoch_record(0, 0, 29.5, 0, {}) +
                           epoch_record(0, 1, 29.4999999, 0, {}) + epoch_record(0, 2, 0.4999999, 0, {});
  run_pass(one(file), 0, 86400, 1);
  EXPECT_EQ(epoch_value(1, 30), 29.5);
  EXPECT_EQ(epoch_value(1, 89), 29.4999999);
  EXPECT_EQ(epoch_value(1, 120), 0.4999999);
}

TEST(ObsRead, GlonassShiftByTheFilesSystemLetter) {
  const std::string extra = hdr("    16", "LEAP SECONDS");
  const std::string body = epoch_record(0, 0, 14.0, 0, {"R01"}) + obs_record({"5.000"}) +
                           epoch_record(23, 59, 50.0, 0, {"R01"}) + obs_record({"6.000"});
  Files f{"r\ng\n", {{"r", header({"C1"}, extra, 'R') + body}, {"g", header({"C1"}, {}, 'M') + body}}};
  const auto p = run_pass(f, 0, 86400, 1);
  EXPECT_EQ(epoch_value(1, 30), 30.0);       // shifted by 16 s
  EXPECT_FALSE(stored(1, 14, "ZZZ", "ZZ"));
  EXPECT_FALSE(stored(1, 86406 - 86400, "ZZZ", "ZZ"));  // 86406 is outside every window
  EXPECT_EQ(epoch_value(2, 14), 14.0);       // GLONASS satellites of a G file are not shifted
  EXPECT_EQ(epoch_value(2, 86390), 50.0);
  EXPECT_EQ(p.tmax, 86390);
}

TEST(ObsRead, RecordsPerSatelliteAndContinuationLists) {
  // 11 types: three observation records per satellite; 13 satellites: one continuation record.
  std::initializer_list<std::string_view> types = {"C1", "L1", "L2", "P1", "P2", "C2", "S1",
                                                   "S2", "D1", "C5", "L5"};
  std::string body = epoch_record(0, 0, 0.0, 0, {"G01", "G02", "G03", "G04", "G05", "G06", "G07",
                                                  "G08", "G09", "G10", "G11", "G12", "R13"});
  for (int k = 1; k <= 13; ++k) {
    const std::string v = std::to_string(k) + ".000";
    body += obs_record({v, "2.000", "3.000", "4.000", "5.000"}) +
            obs_record({"6.000", "7.000", "8.000", "9.000", "10.000"}) + obs_record({"11.000"});
  }
  body += epoch_record(0, 0, 30.0, 0, {}) ;
  const auto p = run_pass(one(header(types) + body), 0, 86400, 30);
  EXPECT_EQ(p.stop, 0);
  EXPECT_EQ(p.error, "");
  double v = 0;
  ASSERT_TRUE(stored(1, 0, "R13", "C1", &v));
  EXPECT_EQ(v, 13.0);
  ASSERT_TRUE(stored(1, 0, "G07", "L5", &v));
  EXPECT_EQ(v, 11.0);
  ASSERT_TRUE(stored(1, 0, "G07", "C2", &v));
  EXPECT_EQ(v, 6.0);
  EXPECT_FALSE(stored(1, 0, "G07", "D1"));  // not admitted, never filed
  EXPECT_EQ(test::sat_count(), 13);
  EXPECT_EQ(epoch_value(1, 30), 30.0);
  // 8 wanted types x 13 satellites + 2 epoch-time entries.
  EXPECT_EQ(test::store_count(), 8 * 13 + 2);
}

TEST(ObsRead, RejectedEpochsAreReadPastByCounting) {
  // 15 satellites and 7 types: 1 + 1 + 15 x 2 = 32 records, whatever they hold.
  std::string body = epoch_record(0, 0, 10.0, 0, {"G01", "G02", "G03", "G04", "G05", "G06", "G07",
                                                   "G08", "G09", "G10", "G11", "G12", "G13", "G14",
                                                   "G15"});
  for (int k = 0; k < 30; ++k) body += "garbage that is never parsed 1.2.3\n";
  body += epoch_record(0, 0, 30.0, 0, {"R01"}) + obs_record({"1.000", "2.000", "3.000", "4.000", "5.000"}) +
          obs_record({"6.000", "7.000"});
  const auto p = run_pass(one(header({"C1", "L1", "L2", "P1", "P2", "S1", "S2"}) + body), 0, 86400, 30);
  EXPECT_EQ(p.error, "");
  EXPECT_EQ(test::sat_count(), 1);  // the rejected epoch left the satellite table unchanged
  double v = 0;
  ASSERT_TRUE(stored(1, 30, "R01", "P2", &v));
  EXPECT_EQ(v, 5.0);
}

TEST(ObsRead, TypeCountsZeroAndNoTypesRecord) {
  // Without types every satellite still has one observation record; only the epoch is filed.
  const std::string no_types = test::version_record() + hdr("", "END OF HEADER") +
                               epoch_record(0, 0, 0.0, 0, {"G01", "G02"}) + "x\ny\n" +
                               epoch_record(0, 0, 30.0, 0, {});
  const auto p = run_pass(one(no_types), 0, 86400, 30);
  EXPECT_EQ(p.error, "");
  EXPECT_EQ(test::store_count(), 2);
  EXPECT_EQ(test::sat_count(), 2);
}

TEST(ObsRead, EventFlagsAndSpecialRecords) {
  const std::string body =
      epoch_record(0, 0, 0.0, 4, {}, 2) + "  1.x.2 anything\n" + epoch_record(9, 9, 9.0, 0, {"G01"}) +
      epoch_record(0, 0, 0.0, 1, {"G02"}) + obs_record({"7.000"}) +
      epoch_record(0, 0, 0.0, 5, {}, 0) + epoch_record(0, 0, 30.0, 3, {}, -1);
  const auto p = run_pass(one(header({"C1"}) + body), 0, 86400, 30);
  EXPECT_EQ(p.error, "");
  EXPECT_EQ(test::store_count(), 2);  // the flag 1 epoch only
  double v = 0;
  EXPECT_TRUE(stored(1, 0, "G02", "C1", &v));
  EXPECT_EQ(v, 7.0);
}

TEST(ObsRead, BlankRecordsAndDuplicateSeconds) {
  // A blank record reads as an epoch at 00:00:00 without satellites; a second one repeats it.
  auto p = run_pass(one(header({"C1"}) + "\n"), 0, 86400, 30);
  EXPECT_EQ(p.error, "");
  EXPECT_EQ(epoch_value(1, 0), 0.0);
  p = run_pass(one(header({"C1"}) + " \r\n\n"), 0, 86400, 30);
  EXPECT_EQ(p.stop, 65600);
  EXPECT_NE(p.console.find(" FATAL - duplicate key elements\r\n"), std::string::npos);
  // A file running past midnight repeats the seconds of the day.
  p = run_pass(one(header({"C1"}) + epoch_record(23, 59, 30.0, 0, {}) + epoch_record(0, 0, 0.0, 0, {}) +
                   epoch_record(23, 59, 30.0, 0, {})),
               0, 86400, 30);
  EXPECT_EQ(p.stop, 65600);
  // The same satellite twice in one epoch, or two codes with one type number.
  p = run_pass(one(header({"C1"}) + epoch_record(0, 0, 0.0, 0, {"G01", "G01"}) + "1.0\n2.0\n"), 0, 60, 30);
  EXPECT_EQ(p.stop, 65656);
  EXPECT_NE(p.console.find(" FATAL - duplicate key elements\r\n"), std::string::npos);
  p = run_pass({"a\nb\n", {{"a", header({"L1"})}, {"b", header({"L1", "l1"}) +
                                                   epoch_record(0, 0, 0.0, 0, {"G01"}) + "1.0\n"}}},
               0, 60, 30);
  EXPECT_EQ(p.stop, 65656);
}

TEST(ObsRead, ReferenceDateRollsOver) {
  auto run_with_first = [](const char* date) {
    std::string rec = date;
    return run_pass(one(header({"C1"}, hdr(rec, "TIME OF FIRST OBS"))), 0, 60, 30);
  };
  auto p = run_with_first("  2012     7    18    23    59   52.0000000     GPS");
  EXPECT_NE(p.console.find(" ref. date :         2012           7          19\r\n"), std::string::npos);
  EXPECT_EQ(master2.frac, 0.0);
  EXPECT_EQ(master2.mjd, 56127);
  p = run_with_first("  2012     7    18    23    59   51.0000000     GPS");
  EXPECT_NE(p.console.find(" ref. date :         2012           7          18\r\n"), std::string::npos);
  p = run_with_first("  2012    12    31    23    59   55.0000000     GPS");
  EXPECT_NE(p.console.find(" ref. date :         2013           1           1\r\n"), std::string::npos);
}

TEST(ObsRead, Failures) {
  // More than 50 types: stop when the file's turn comes.
  std::string many = test::version_record() + hdr("    51", "# / TYPES OF OBSERV");
  for (int k = 0; k < 5; ++k) many += hdr("", "# / TYPES OF OBSERV");
  many += hdr("", "END OF HEADER");
  auto p = run_pass(one(many), 0, 60, 30);
  EXPECT_EQ(p.stop, 45787);
  EXPECT_NE(p.console.find(" FATAL -- too many obs in each epoch\r\n"), std::string::npos);
  // End of file inside a satellite list, inside observation records, among special records.
  const std::string h = header({"C1", "L1", "L2", "P1", "P2", "S1"});
  EXPECT_EQ(run_pass(one(h + epoch_record(0, 0, 0.0, 0, {}, 13)), 0, 60, 30).error, "End of file");
  EXPECT_EQ(run_pass(one(h + epoch_record(0, 0, 0.0, 0, {"G01"}) + "1.0\n"), 0, 60, 30).error,
            "End of file");
  EXPECT_EQ(run_pass(one(h + epoch_record(0, 0, 1.0, 0, {"G01"}) + "1.0\n"), 0, 60, 30).error,
            "End of file");  // rejected epochs are counted through too
  EXPECT_EQ(run_pass(one(h + epoch_record(0, 0, 0.0, 2, {}, 3) + "x\n"), 0, 60, 30).error,
            "End of file");
  // Numbers: a bad epoch field, and a bad value of an accepted epoch only.
  EXPECT_EQ(run_pass(one(h + " 12  7 18  0  x  0.0000000  0  0\n"), 0, 60, 30).error,
            "Bad value during integer read");
  const std::string bad_value = epoch_record(0, 0, 0.0, 0, {"G01"}) + "   12x.000\n2\n";
  EXPECT_EQ(run_pass(one(h + bad_value), 0, 60, 30).error, "Bad value during floating point read");
  EXPECT_EQ(run_pass(one(h + bad_value), 30, 60, 30).error, "");
  // Satellite codes that cannot be encoded.
  EXPECT_EQ(run_pass(one(h + epoch_record(0, 0, 0.0, 0, {"J01"}) + "1\n2\n"), 0, 60, 30).stop, 84571);
  EXPECT_EQ(run_pass(one(h + epoch_record(0, 0, 0.0, 0, {"G-1"}) + "1\n2\n"), 0, 60, 30).stop, 84572);
  // An epoch time beyond any integer is never accepted.
  const std::string huge = " 12  7 18  0  0    1.0E+99  0  1G01\n1\n2\n";
  auto q = run_pass(one(h + huge), 0, 86400, 1);
  EXPECT_EQ(q.error, "");
  EXPECT_EQ(q.tmax, -1000000);
}

TEST(ObsRead, StoreOverflow) {
  use_small_store(4);
  const std::string h = header({"C1", "L1"});
  auto p = run_pass(one(h + epoch_record(0, 0, 0.0, 0, {"G01", "G02"}) + "1 \n2\n"), 0, 60, 30);
  EXPECT_EQ(p.stop, 65656);
  EXPECT_NE(p.console.find(" FATAL - long table overflow\r\n"), std::string::npos);
  use_small_store(5);
  p = run_pass(one(h + epoch_record(0, 0, 0.0, 0, {"G01", "G02"}) + "1\n2\n" +
                   epoch_record(0, 0, 30.0, 0, {})),
               0, 60, 30);
  EXPECT_EQ(p.stop, 65600);
  EXPECT_NE(p.console.find(" FATAL - long table overflow\r\n"), std::string::npos);
  use_small_store(0);
}

}  // namespace
}  // namespace obsq
