// Run state records: the file table, the reference date and the day offset of the seconds scale.
// They exist zero-filled for the whole run; entries are numbered from 1 (index 0 is unused).
#pragma once

#include <cstdint>

#include "records/limits.hpp"

namespace obsq {

// File table: one entry per accepted input file, in list order.
struct Master {
  double dH[kMaxFiles + 1];                // antenna height, first value of "ANTENNA: DELTA H/E/N"
  double dE[kMaxFiles + 1];                // eccentricity east
  double dN[kMaxFiles + 1];                // eccentricity north
  int32_t nfiles;                          // number of accepted files
  char fname[kMaxFiles + 1][kNameLength];  // the list line, blank-padded
  char sys[kMaxFiles + 1];                 // system letter of the file
  char marker[kMaxFiles + 1][4];           // first 4 characters of "MARKER NAME"
  char antenna[kMaxFiles + 1][20];         // columns 21-40 of "ANT # / TYPE"
  int32_t leapsec;                         // last "LEAP SECONDS" value read in any file
};

// Reference date: the time of first observation that sets the date of the output.
struct Master2 {
  double frac;  // fraction of day; -1.0 = not set
  int32_t mjd;  // Modified Julian Date; -1 = not set
  int32_t year;
  int32_t month;
  int32_t day;
};

extern Master master;
extern Master2 master2;
extern int32_t mjdoff;  // MJD of day zero of the seconds-since-reference scale

// The number of accepted files.
void getnfiles(int32_t& n);

// Back to the zero start state (a new run in the same process).
void reset_run_state();

}  // namespace obsq
