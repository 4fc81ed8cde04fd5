#include "timeconv/calendar.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "../support.hpp"
#include "records/fields.hpp"
#include "records/runstate.hpp"

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

// Known days both ways, a round trip over two centuries, and the stops of the time scale.
TEST(Calendar, KnownDaysBothWays) {
  struct Day {
    int32_t year, month, day, hour, minute;
    double seconds;
    int32_t mjd;
    double frac;
  };
  const Day days[] = {{2012, 7, 18, 0, 0, 0.0, 56126, 0.0}, {2000, 1, 1, 12, 0, 0.0, 51544, 0.5},
                      {2000, 2, 29, 0, 0, 0.0, 51603, 0.0}, {2000, 3, 1, 0, 0, 0.0, 51604, 0.0},
                      {2013, 1, 1, 0, 0, 0.0, 56293, 0.0},  {1900, 3, 1, 6, 0, 0.0, 15079, 0.25}};
  for (const Day& d : days) {
    int32_t mjd = 0;
    double frac = -1;
    civmjd(d.year, d.month, d.day, d.hour, d.minute, d.seconds, mjd, frac);
    EXPECT_EQ(mjd, d.mjd) << d.year << "-" << d.month << "-" << d.day;
    EXPECT_EQ(frac, d.frac);
    const Civil c = to_civil(d.mjd, d.frac);
    EXPECT_EQ(c.year * 10000 + c.month * 100 + c.day, d.year * 10000 + d.month * 100 + d.day);
    EXPECT_EQ(c.hour * 60 + c.minute, d.hour * 60 + d.minute);
  }
  const Civil late = to_civil(56126, 0.99999);  // the same day, just before midnight
  EXPECT_EQ(late.day * 10000 + late.hour * 100 + late.minute, 182359);
  EXPECT_NEAR(late.seconds, 59.136, 1e-6);
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
  EXPECT_EQ(c.day * 10000 + c.hour * 100 + c.minute, 190100);
  EXPECT_NEAR(c.seconds, 30.0, 1e-6);
  int32_t mjd = 0;
  double frac = 0;
  using test::outcome_of;
  EXPECT_EQ(outcome_of([&] { civmjd(1899, 12, 31, 0, 0, 0.0, mjd, frac); }), "STOP 34588");
  EXPECT_EQ(outcome_of([&] { civmjd(0, 0, 0, 0, 0, 0.0, mjd, frac); }), "STOP 34588");
  EXPECT_EQ(outcome_of([] { setjd0(1899, 1, 1); }), "STOP 34587");
  EXPECT_EQ(outcome_of([&] { civjts(1899, 1, 1, 0, 0, 0.0, t); }), "STOP 34589");
  // Truncation to 32 bits, and hours beyond any day converted without trapping.
  EXPECT_EQ(fint(-2.9), -2);
  EXPECT_EQ(fint(1e10), INT32_MIN);
  EXPECT_EQ(fint(std::nan("")), INT32_MIN);
  civmjd(2012, 7, 18, 999999, 0, 0.0, mjd, frac);
  EXPECT_EQ(mjd, 56126);
  EXPECT_TRUE(std::isfinite(frac));
}

}  // namespace
}  // namespace obsq
