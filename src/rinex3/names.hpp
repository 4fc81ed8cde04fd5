// Names of observation files: the long names of RINEX 3 (SSSSMRCCC_S_YYYYDDDHHMM_...) and the
// short station-day names of RINEX 2 (ssssdddf.yyt).
#pragma once

#include <string>
#include <string_view>

namespace obsq::rinex3 {

// The station-day name of a long name, "acor3550.21o" for
// "ACOR00ESP_R_20213550000_01D_30S_MO.crx.gz" (folders in front are ignored); empty when the
// name is not a long name.
std::string short_from_long(std::string_view path);

// The station of a file name: the 9-character id of a long name ("ACOR00ESP"), else the
// 4 characters of a short name ssssdddf.yyt; empty for any other name.
std::string station_of(std::string_view path);

}  // namespace obsq::rinex3
