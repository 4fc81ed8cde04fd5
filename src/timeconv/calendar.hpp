// Calendar conversions between civil date and time and Modified Julian Date, in the truncating
// arithmetic of the program: int() is truncation toward zero of a 64-bit real to 32 bits.
#pragma once

#include <cstdint>

namespace obsq {

// Truncation of a real to a 32-bit integer; a value outside the 32-bit range (or not a number)
// gives the integer-indefinite value -2147483648, as the processor's conversion does.
int32_t fint(double x);

void civmjd(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, double seconds,
            int32_t& mjd, double& frac);
void mjdciv(int32_t mjd, double frac, int32_t& year, int32_t& month, int32_t& day, int32_t& hour,
            int32_t& minute, double& seconds);
void setjd0(int32_t year, int32_t month, int32_t day);
void civjts(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, double seconds,
            double& tsec);
void jtsciv(double tsec, int32_t& year, int32_t& month, int32_t& day, int32_t& hour,
            int32_t& minute, double& seconds);

}  // namespace obsq
