// The merge engine's limits: what one run takes at most. The engine sizes its tables by them,
// and the companion programs that prepare or check a run (obsquilt-prep, obsquilt-check) ask
// these names rather than repeating the numbers.
#pragma once

#include <cstdint>
#include <string_view>

namespace obsq {

// Input files of one run (readable lines of list.txt, counted before their first line is read).
inline constexpr int kMaxFiles = 1000;
// Characters of a list.txt record the run takes as a file name; the rest of a line is skipped.
inline constexpr int kNameLength = 78;
// Observation types of one header ("# / TYPES OF OBSERV" count).
inline constexpr int kMaxTypes = 50;
// Satellites of one epoch record group the reader holds.
inline constexpr int kMaxSats = 1000;
// Distinct satellite codes and kept observation types of a run (the two small tables).
inline constexpr int32_t kSatCapacity = 500;
inline constexpr int32_t kTypeCapacity = 50;
// Values of the observation store (one per file, kept epoch, satellite and kept type, plus one
// per file and kept epoch).
inline constexpr int32_t kStoreCapacity = 80000000;

// The newest RINEX format version the run merges; a file of a later version is left out.
inline constexpr std::string_view kMaxVersionText = "2.12";
inline constexpr bool version_merged(double version) { return version <= 2.1200000001; }

}  // namespace obsq
