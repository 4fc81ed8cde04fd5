#include "timeconv/calendar.hpp"

#include <cmath>

#include "records/fields.hpp"
#include "records/runstate.hpp"
#include "records/stopcodes.hpp"

namespace obsq {

int32_t fint(double x) {
  if (!(x > -2147483649.0 && x < 2147483648.0)) return INT32_MIN;
  return static_cast<int32_t>(x);
}

namespace {

// 32-bit integer sums and products wrap around, as the processor's do.
int32_t wrap(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }

// Steps 2 and 3 of civmjd: the day number of a civil date.
int32_t day_number(int32_t year, int32_t month, int32_t day) {
  int32_t y = year;
  int32_t m = month;
  if (m <= 2) {
    y = wrap(int64_t{y} - 1);
    m = wrap(int64_t{m} + 12);
  }
  return wrap(int64_t{fint(y * 365.25)} + fint((m + 1.0) * 30.6001) + day - 679019);
}

}  // namespace

void civmjd(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, double seconds,
            int32_t& mjd, double& frac) {
  if (year <= 1899) stop(stops::kFirstObsYear);
  mjd = day_number(year, month, day);
  const int32_t whole = wrap(int64_t{hour} * 3600 + int64_t{minute} * 60);
  frac = (whole + seconds) / 86400.0;
}

void mjdciv(int32_t mjd, double frac, int32_t& year, int32_t& month, int32_t& day, int32_t& hour,
            int32_t& minute, double& seconds) {
  const int32_t a = wrap(int64_t{fint(mjd + frac + 2400000.5 + 0.5)} + 1537);
  const int32_t b = fint((a - 122.1) / 365.25);
  const int32_t c = wrap(int64_t{a} - fint(b * 365.25));
  const int32_t e = fint(c / 30.6001);
  day = fint((c - fint(e * 30.6001)) + frac);
  month = wrap(int64_t{e} - 1 - 12 * int64_t{e / 14});
  year = wrap(int64_t{b} - 4715 - (int64_t{month} + 7) / 10);
  double x = 24.0 * frac;
  hour = fint(x);
  x = (x - hour) * 60.0;
  minute = fint(x);
  seconds = (x - minute) * 60.0;
}

void setjd0(int32_t year, int32_t month, int32_t day) {
  if (year < 1900) stop(stops::kDayOffsetYear);
  mjdoff = day_number(year, month, day);
}

void civjts(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, double seconds,
            double& tsec) {
  if (year <= 1899) stop(stops::kTimeYear);
  const int32_t mjd = day_number(year, month, day);
  tsec = 86400.0 * (static_cast<double>(mjd) - mjdoff) + hour * 3600.0 + minute * 60.0 + seconds;
}

void jtsciv(double tsec, int32_t& year, int32_t& month, int32_t& day, int32_t& hour,
            int32_t& minute, double& seconds) {
  const double frac = std::fmod(tsec, 86400.0) / 86400.0;
  const int32_t mjd = fint(tsec / 86400.0 + mjdoff);
  mjdciv(mjd, frac, year, month, day, hour, minute, seconds);
}

}  // namespace obsq
