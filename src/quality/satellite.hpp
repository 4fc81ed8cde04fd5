// Satellite codes of obsquilt.txt in one spelling. RINEX 2 files write the number with or without
// a leading zero ("G 6", "G06") and may leave the system letter of a GPS satellite blank (" 07");
// the merge keeps every code as written, so one satellite can stand under two codes.
#pragma once

#include <string>
#include <string_view>

namespace obsq::quality {

// The code in one spelling: the system letter ('G' for a blank one) and two digits ("G06").
// A code that is not a letter or blank and a number of one or two digits comes back as written.
std::string satellite_code(std::string_view written);

// The system letter of a code: 'G' for a blank one.
inline char satellite_system(std::string_view written) {
  return written.empty() || written[0] == ' ' ? 'G' : written[0];
}

}  // namespace obsq::quality
