// Satellite codes of obsquilt.txt in one spelling. RINEX 2 files write the number with or without
// a leading zero ("G 6", "G06") and may leave the system letter of a GPS satellite blank (" 07");
// the merge keeps every code as written, so one satellite can stand under two codes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quiltfile/quiltfile.hpp"

namespace obsq::quality {

// The code in one spelling: the system letter ('G' for a blank one) and two digits ("G06").
// A code that is not a letter or blank and a number of one or two digits comes back as written.
std::string satellite_code(std::string_view written);

// The system letter of a code: 'G' for a blank one.
inline char satellite_system(std::string_view written) {
  return written.empty() || written[0] == ' ' ? 'G' : written[0];
}

// Two columns of a block, written two ways for one satellite, that hold different values in a
// row. (The merge program files both codes under one key, so its columns of one satellite hold
// the same values: those are one observation.)
struct Collision {
  size_t row = 0, first = 0, second = 0;  // the row; the columns, first < second
  long line = 0;                          // the row's o-line
};
// The first such pair, when the columns are mapped to satellites by `satellite` (equal numbers
// are one satellite); none when every row has at most one value per satellite.
std::optional<Collision> collision(const quilt::Block& b, const std::vector<int32_t>& satellite);

}  // namespace obsq::quality
