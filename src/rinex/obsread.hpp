// The observation record reader: the second pass over the accepted files, which files every
// value of every accepted epoch in the observation store.
#pragma once

#include <cstdint>

namespace obsq {

// Empties the observation store and the satellite table, reads every file of the file table in
// turn and reports the time range, the reference date and the satellite count on the console.
void storeobs(int unit, int32_t start, int32_t stop, int32_t step, int32_t& tmin, int32_t& tmax);
// Reads the file open on unit, whose file index is file; tmin and tmax are updated in place.
void rinex1(int unit, int32_t start, int32_t stop, int32_t step, int32_t file, int32_t& tmin,
            int32_t& tmax);

}  // namespace obsq
