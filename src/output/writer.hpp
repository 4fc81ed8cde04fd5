// The output file writer: the header of "obsquilt.txt" (a-line, b-lines) and, for every epoch
// from tmin to tmax, the epoch line and one matrix block per observation type.
#pragma once

#include <cstdint>
#include <vector>

#include "tables/tables.hpp"

namespace obsq {

// One epoch matrix: element (file i, satellite slot j) at obuf[(j - 1) * nfiles + i - 1],
// with its row and column flags (1 = holds a present value) and their counts. Sized from the
// run's file and satellite counts.
struct EpochMatrix {
  std::vector<double> obuf;
  std::vector<int32_t> fileflags;  // [1..nfiles]
  std::vector<int32_t> satflags;   // [1..nsat]
  int32_t nused_files = 0;
  int32_t nused_sats = 0;
  std::vector<size_t> filled;  // elements holding a stored value, set back to the marker next time
};

void dump1(int unit, int32_t tmin, int32_t tmax, int32_t step);
void dump2(int unit, int32_t tmin, int32_t tmax, int32_t step);
// Fills the matrix of (t, type) with the stored values and the missing-value marker, and sets
// its flags and counts.
void makearray(int32_t t, const TypeCode& type, EpochMatrix& m, int32_t nfiles, int32_t nsat);
// Writes the type block of (t, type): f-line, t-lines, s-line, o-lines; nothing when empty.
void dumparray(int unit, int32_t t, const EpochMatrix& m, const TypeCode& type, int32_t nfiles,
               int32_t nsat);

}  // namespace obsq
