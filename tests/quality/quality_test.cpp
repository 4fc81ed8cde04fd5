// The quality computations on a day made here: one receiver with a GPS, a Galileo and a GLONASS
// satellite whose codes carry multipath of known size (+-a, so each even arc's RMS is a), whose
// phases slip once, and whose epoch stamps jump twice.
#include <gtest/gtest.h>

#include <cmath>

#include "quality/quality.hpp"
#include "quality/satellite.hpp"

namespace {

using namespace obsq;

TEST(Quality, SatelliteCodesInOneSpelling) {
  const char* cases[][2] = {{"G 6", "G06"}, {" 07", "G07"}, {"G12", "G12"},
                            {"R 1", "R01"}, {"E11", "E11"}, {"  3", "G03"},
                            {"G1", "G1"},   {"G6 ", "G6 "}, {"#12", "#12"}};
  for (const auto& c : cases) EXPECT_EQ(quality::satellite_code(c[0]), c[1]) << c[0];
  EXPECT_EQ(quality::satellite_system(" 07"), 'G');
}

// A block of one type with one row (receiver 0) and the given satellites' values.
quilt::Block block(const char* type, const std::vector<std::string>& sats,
                   const std::vector<double>& values, double stamp) {
  quilt::Block b;
  b.type = type;
  b.rows = {0};
  b.epoch_seconds = {stamp};
  b.satellites = sats;
  b.values = values;
  return b;
}

TEST(Quality, MultipathSlipsAndClockOfAKnownDay) {
  constexpr double c = quality::kSpeedOfLight, f1 = 1575.42e6, f2 = 1227.60e6, f5 = 1176.45e6;
  constexpr int32_t kEpochs = 30, kStep = 30;
  quality::Analysis a(1, 0, kStep, kEpochs, 3);
  const std::vector<std::string> sats = {"G 6", "E11", "R01"};
  for (int32_t k = 0; k < kEpochs; ++k) {
    const double rho = 2.2e7 + 150.0 * k + 0.01 * k * k, sign = k % 2 ? 1 : -1;
    const double n1 = 1234567 + (k >= 20 ? 1 : 0);  // a slip of one L1 cycle at epoch 20
    const double p1 = rho + 0.5 * sign, p2 = rho - 0.5 * sign;
    const double l1 = rho / (c / f1) + n1, l2 = rho / (c / f2) - 7654321;
    const double e1 = rho + 0.3 * sign, e5 = rho + 0.3 * sign;
    const double el1 = rho / (c / f1) + 111, el5 = rho / (c / f5) + 222;
    // Stamps: on the second, then 1 ms late from epoch 10 (a reset), 3.5 ms from 25 (a step).
    const double stamp = (k * kStep) % 60 + (k >= 25 ? 0.0035 : k >= 10 ? 0.001 : 0.0);
    quilt::Epoch e;
    e.second = k * kStep;
    const double none = quilt::kMissing;
    e.blocks.push_back(block("P1", sats, {p1, none, 20000000}, stamp));
    e.blocks.push_back(block("C1", sats, {p1 + 1, e1, 20000000}, stamp));
    e.blocks.push_back(block("P2", sats, {p2, none, 20000000}, stamp));
    e.blocks.push_back(block("C5", sats, {none, e5, none}, stamp));
    e.blocks.push_back(block("L1", sats, {l1, el1, 1e8}, stamp));
    e.blocks.push_back(block("L2", sats, {l2, none, 1e8}, stamp));
    e.blocks.push_back(block("L5", sats, {none, el5, none}, stamp));
    a.epoch(e, k);
  }
  a.finish();
  const quality::ReceiverQuality& q = a.receivers()[0];
  ASSERT_EQ(a.satellites(), (std::vector<std::string>{"G06", "E11", "R01"}));
  // G06: arcs 0-19 and 20-29, MP1 = +-0.5 about the mean, MP2 too. E11: +-0.3 and +-0.3 (its
  // MP2 is C5's). R01: left out.
  EXPECT_EQ(q.observations, 60);
  ASSERT_EQ(q.slips.size(), 1u);
  EXPECT_EQ(q.slips[0].epoch, 20);
  EXPECT_EQ(q.slips[0].satellite, 0);
  EXPECT_NEAR(q.slips[0].jump, c / f1, 1e-6);
  EXPECT_NEAR(q.satellites[0].mp.rms1(), 0.5, 1e-6);
  EXPECT_NEAR(q.satellites[0].mp.rms2(), 0.5, 1e-6);
  EXPECT_EQ(q.satellites[0].slips, 1);
  EXPECT_NEAR(q.satellites[1].mp.rms1(), 0.3, 1e-6);
  EXPECT_NEAR(q.satellites[1].mp.rms2(), 0.3, 1e-6);
  EXPECT_EQ(q.satellites[2].observations, 0);
  EXPECT_NEAR(q.mp.rms1(), std::sqrt((30 * 0.25 + 30 * 0.09) / 60), 1e-6);
  EXPECT_EQ(q.mp.n, 60);
  // Bins of 10 epochs: each holds 10 deviations of either satellite.
  for (const quality::MpSums& b : q.bins) EXPECT_EQ(b.n, 20);
  ASSERT_EQ(q.jumps.size(), 2u);
  EXPECT_EQ(q.jumps[0].epoch, 10);
  EXPECT_TRUE(q.jumps[0].millisecond);
  EXPECT_NEAR(q.jumps[0].change, 0.001, 1e-9);
  EXPECT_EQ(q.jumps[1].epoch, 25);
  EXPECT_FALSE(q.jumps[1].millisecond);
  EXPECT_NEAR(q.jumps[1].change, 0.0025, 1e-9);
  EXPECT_FALSE(q.clock_nominal);
  EXPECT_NEAR(q.clock_max[2], 0.0035, 1e-9);
  EXPECT_NEAR(q.clock_min[2], 0.001, 1e-9);
}

// A slip the geometry-free combination cannot see (one cycle on each frequency: 5.4 cm) and a
// missing epoch: the arc ends at the gap, not at the slip.
TEST(Quality, SlipsBelowTheThresholdAndGapsEndNoArcAsSlips) {
  constexpr double c = quality::kSpeedOfLight, f1 = 1575.42e6, f2 = 1227.60e6;
  quality::Analysis a(1, 0, 30, 40, 1);
  for (int32_t k = 0; k < 40; ++k) {
    if (k == 30) continue;  // a missing epoch, with a slip of 3 L1 cycles behind it
    const double rho = 2.1e7 + 100.0 * k, slip = k >= 12 ? 1 : 0, big = k > 30 ? 3 : 0;
    quilt::Epoch e;
    e.second = k * 30;
    const double stamp = e.second % 60;
    e.blocks.push_back(block("C1", {"G01"}, {rho}, stamp));
    e.blocks.push_back(block("P2", {"G01"}, {rho}, stamp));
    e.blocks.push_back(block("L1", {"G01"}, {rho / (c / f1) + slip + big}, stamp));
    e.blocks.push_back(block("L2", {"G01"}, {rho / (c / f2) + slip}, stamp));
    a.epoch(e, k);
  }
  a.finish();
  const quality::ReceiverQuality& q = a.receivers()[0];
  EXPECT_TRUE(q.slips.empty());
  EXPECT_EQ(q.observations, 39);
  EXPECT_TRUE(q.clock_nominal);
  EXPECT_TRUE(q.jumps.empty());
}

}  // namespace
