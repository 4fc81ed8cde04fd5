// The observation key: one 64-bit integer packing file index, second of day, satellite and
// observation type of a value, key = file x 10^10 + second x 10^5 + satellite x 100 + type.
// The epoch-time entry of (file, second) uses the reserved codes "ZZZ" and "ZZ" (999 and 99).
#pragma once

#include <cstdint>
#include <string_view>

#include "tables/tables.hpp"

namespace obsq {

// Type code of each type number 0..39.
extern const TypeCode aobss[40];

inline constexpr SatCode kEpochSat = {'Z', 'Z', 'Z'};
inline constexpr TypeCode kEpochType = {'Z', 'Z'};
inline constexpr int32_t kEpochSatNo = 999;  // keyp of "ZZZ"
inline constexpr int32_t kEpochTypeNo = 99;  // keyo of "ZZ"
// Type numbers of real observation types are 0..kTypeNumbers-1.
inline constexpr int32_t kTypeNumbers = 40;

int64_t lkey(int32_t file, int32_t second, const SatCode& sat, const TypeCode& type);
int32_t keyp(const SatCode& sat);
// The base of a satellite system letter (G, g or blank 0, R 100, S 200, E 300, C 400), -1 for
// any other character.
int32_t sat_base(char letter);
// The satellite number keyp gives, or -1 where keyp would stop the run (or the record layer
// refuse the number); for callers that only look ahead and must not stop.
int32_t satno_or_none(const SatCode& sat);
int32_t keyo(const TypeCode& type);
void invkey(int64_t key, int32_t& file, int32_t& second, SatCode& sat, TypeCode& type);
SatCode getaprn(int32_t n);
TypeCode getaobs(int32_t n);

// The key of (file, second) with satellite and type numbers already encoded.
inline int64_t key_of(int32_t file, int32_t second, int32_t satno, int32_t typeno) {
  return static_cast<int64_t>(
      static_cast<uint64_t>(file) * 10000000000ULL + static_cast<uint64_t>(second) * 100000ULL +
      static_cast<uint64_t>(satno) * 100ULL + static_cast<uint64_t>(typeno));
}

// The key of the epoch-time entry of (file, second): lkey(file, second, "ZZZ", "ZZ").
inline int64_t epoch_key(int32_t file, int32_t second) {
  return key_of(file, second, kEpochSatNo, kEpochTypeNo);
}

// Satellite and type code from text (blank-padded to their width).
SatCode sat_code(std::string_view s);
TypeCode type_code(std::string_view s);

}  // namespace obsq
