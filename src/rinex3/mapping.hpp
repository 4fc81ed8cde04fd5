// Which RINEX 2.11 observation type a RINEX 3/4 observation code feeds, and how good a source
// of it the code is: per system, the codes of each type best first.
//
// The 26 types of RINEX 2.11 are numbered in the order a converted file lists them: C P L D S
// within the bands 1 2 5 6 7 8 (P on bands 1 and 2 only).
#pragma once

#include <string_view>

namespace obsq::rinex3 {

inline constexpr int kTypes = 26;

// The two characters of type t (0 <= t < kTypes), e.g. "C1", "L2".
std::string_view type_name(int t);

struct Target {
  int type = -1;  // the RINEX 2.11 type fed, -1 when the code feeds none
  int rank = 0;   // 0 for the best code of that type, then 1, 2, ...
};

// The target of the three-character code (e.g. "L2W") of a satellite of `system` (G, R, E, S,
// C) in a file of format version `version` (e.g. 302 for 3.02): band 1 of BeiDou is B1I in a
// 3.02 file and for the attributes I and Q in any version.
Target map_code(char system, std::string_view code, int version);

}  // namespace obsq::rinex3
