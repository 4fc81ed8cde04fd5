#include "timeconv/calendar.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "driver/records/records.hpp"
#include "driver/records/runstate.hpp"
#include "../support.hpp"

namespace obsq {
namespace {

struct Civil {
  int32_t year, month, day, hour, minute;
  double seconds;
};

Civil to_civil(int32_t mjd, double frac) {
  Civil c{};
  mjdciv(mjd, frac, c.year, c.month, c.day, c.hour, c.minute, c.seconds);
  return c;
}

TEST(Calendar, CivilToMjd) {
  int32_t mjd = 0;
  double frac = -1;
  civmjd(2012, 7, 18, 0, 0, 0.0, mjd, frac);
  EXPECT_EQ(mjd, 56126);
  EXPECT_EQ(frac, 0.0);
  civmjd(2000, 1, 1, 12, 0, 0.0, mjd, frac);  // January counts as month 13 of 1999
  EXPECT_EQ(mjd, 51544);
  EXPECT_EQ(frac, 0.5);
  civmjd(2000, 3, 1, 0, 0, 0.0, mjd, frac);
  EXPECT_EQ(mjd, 51604);
  civmjd(1900, 3, 1, 6, 30, 30.0, mjd, frac);
  EXPECT_EQ(mjd, 15079);
  EXPECT_EQ(frac, (6 * 3600 + 30 * 60 + 30.0) / 86400.0);
}

TEST(Calendar, MjdToCivil) {
  Civil c = to_civil(56126, 0.0);
  EXPECT_EQ(c.year, 2012);
  EXPECT_EQ(c.month, 7);
  EXPECT_EQ(c.day, 18);
  EXPECT_EQ(c.hour, 0);
  EXPECT_EQ(c.minute, 0);
  EXPECT_EQ(c.seconds, 0.0);
  c = to_civil(56126, 0.99999);  // the same day, just before midnight
  EXPECT_EQ(c.day, 18);
  EXPECT_EQ(c.hour, 23);
  EXPECT_EQ(c.minute, 59);
  EXPECT_NEAR(c.seconds, 59.136, 1e-6);
  c = to_civil(56293, 0.0);  // day after 2012-12-31
  EXPECT_EQ(c.year, 2013);
  EXPECT_EQ(c.month, 1);
  EXPECT_EQ(c.day, 1);
  c = to_civil(51604 - 1, 0.0);  // 2000 is a leap year
  EXPECT_EQ(c.month, 2);
  EXPECT_EQ(c.day, 29);
  for (int32_t mjd = 15079; mjd < 80000; mjd += 37) {
    const Civil k = to_civil(mjd, 0.25);
    int32_t back = 0;
    double frac = 0;
    civmjd(k.year, k.month, k.day, k.hour, k.minute, k.seconds, back, frac);
    ASSERT_EQ(back, mjd);
    ASSERT_NEAR(frac, 0.25, 1e-12);
  }
}

TEST(Calendar, SecondsScaleAndStops) {
  setjd0(2012, 7, 18);
  EXPECT_EQ(mjdoff, 56126);
  double t = 0;
  civjts(2012, 7, 19, 1, 0, 30.0, t);
  EXPECT_EQ(t, 86400.0 + 3630.0);
  Civil c{};
  jtsciv(t, c.year, c.month, c.day, c.hour, c.minute, c.seconds);
  EXPECT_EQ(c.day, 19);
  EXPECT_EQ(c.hour, 1);
  EXPECT_EQ(c.minute, 0);
  EXPECT_NEAR(c.seconds, 30.0, 1e-6);
  auto code = [](auto&& f) { return test::stop_code_of(f); };
  int32_t mjd = 0;
  double frac = 0;
  EXPECT_EQ(code([&] { civmjd(1899, 12, 31, 0, 0, 0.0, mjd, frac); }), 34588);
  EXPECT_EQ(code([&] { civmjd(0, 0, 0, 0, 0, 0.0, mjd, frac); }), 34588);
  EXPECT_EQ(code([] { setjd0(1899, 1, 1); }), 34587);
  EXPECT_EQ(code([&] { civjts(1899, 1, 1, 0, 0, 0.0, t); }), 34589);
}

TEST(Calendar, TruncationToThirtyTwoBits) {
  EXPECT_EQ(fint(2.9), 2);
  EXPECT_EQ(fint(-2.9), -2);
  EXPECT_EQ(fint(1e10), INT32_MIN);
  EXPECT_EQ(fint(std::nan("")), INT32_MIN);
  int32_t mjd = 0;
  double frac = 0;
  // Hours beyond any day still convert without trapping (the integer sum wraps).
  civmjd(2012, 7, 18, 999999, 0, 0.0, mjd, frac);
  EXPECT_EQ(mjd, 56126);
  EXPECT_TRUE(std::isfinite(frac));
}

}  // namespace
}  // namespace obsq
