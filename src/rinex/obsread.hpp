// The observation record reader: the second pass over the accepted files, which files every
// value of every accepted epoch in the observation store.
#pragma once

#include <cstdint>
#include <string_view>

#include "tables/tables.hpp"

namespace obsq {

// The console line of a stop on a full observation store (the same stop codes as a value filed
// twice, which writes "FATAL - duplicate key elements").
inline constexpr std::string_view kStoreFullLine = "FATAL - long table overflow";

// What the observation reader meets, for a program that reports on a run instead of making it
// (obsquilt-check): it sees every file through the reader's own eyes. A run has none.
class ReadObserver {
 public:
  virtual ~ReadObserver() = default;
  // The file's type list, once its header is read.
  virtual void types(int32_t file, const TypeCode* codes, int32_t n) = 0;
  // An epoch record of flag 0 or 1 at record number `record`: its second of day (when the time
  // gives one) and whether the window accepts it; called before anything of it is filed.
  virtual void epoch(int32_t file, long record, std::string_view rec, bool has_second,
                     int32_t second, bool accepted) = 0;
  // The satellite list of an accepted epoch, before its values are filed.
  virtual void satellites(int32_t file, const SatCode* sats, int32_t n) = 0;
};

// Installs an observer for the following reads (nullptr: none).
void set_read_observer(ReadObserver* observer);

// Empties the observation store and the satellite table, reads every file of the file table in
// turn and reports the time range, the reference date and the satellite count on the console.
void storeobs(int unit, int32_t start, int32_t stop, int32_t step, int32_t& tmin, int32_t& tmax);
// Reads the file open on unit, whose file index is file; tmin and tmax are updated in place.
void rinex1(int unit, int32_t start, int32_t stop, int32_t step, int32_t file, int32_t& tmin,
            int32_t& tmax);

}  // namespace obsq
