#include "rinex3/mapping.hpp"

namespace obsq::rinex3 {

namespace {

constexpr std::string_view kTypeNames = "C1P1L1D1S1C2P2L2D2S2C5L5D5S5C6L6D6S6C7L7D7S7C8L8D8S8";

// One row of the table: the codes `letters` x `band` x `attributes` of a system feed the type of
// the same letter (or `as`, when set) on `out_band`; the attributes are listed best first, and
// `rank0` is the rank of the first of them.
struct Row {
  char system;
  std::string_view letters;
  char band;
  std::string_view attributes;
  char out_band;
  char as = 0;
  int rank0 = 0;
  int only_version = 0;  // the row holds for this version only (0: for every version)
  int not_version = 0;   // the row does not hold for this version
};

constexpr Row kRows[] = {
    // GPS
    {'G', "C", '1', "C", '1'},
    {'G', "C", '1', "PYW", '1', 'P'},
    {'G', "C", '2', "LSX", '2'},
    {'G', "C", '2', "PYWD", '2', 'P'},
    {'G', "C", '5', "IQX", '5'},
    {'G', "LDS", '1', "CPYWMNSLX", '1'},
    {'G', "LDS", '2', "PYWCMNDLSX", '2'},
    {'G', "LDS", '5', "IQX", '5'},
    // GLONASS
    {'R', "C", '1', "C", '1'},
    {'R', "C", '1', "P", '1', 'P'},
    {'R', "C", '2', "C", '2'},
    {'R', "C", '2', "P", '2', 'P'},
    {'R', "LDS", '1', "CP", '1'},
    {'R', "LDS", '2', "PC", '2'},
    // Galileo
    {'E', "CLDS", '1', "CABXZ", '1'},
    {'E', "CLDS", '5', "IQX", '5'},
    {'E', "CLDS", '7', "IQX", '7'},
    {'E', "CLDS", '8', "IQX", '8'},
    {'E', "CLDS", '6', "ABCXZ", '6'},
    // SBAS
    {'S', "CLDS", '1', "C", '1'},
    {'S', "CLDS", '5', "IQX", '5'},
    // BeiDou: B1I on band 2, written on band 1 by 3.02 files (and as 1I/1Q in any version)
    {'C', "CLDS", '2', "IQX", '2'},
    {'C', "CLDS", '1', "IQ", '2', 0, 3},
    {'C', "CLDS", '1', "X", '2', 0, 5, 302},
    {'C', "CLDS", '1', "PXDA", '1', 0, 0, 0, 302},
    {'C', "CLDS", '5', "PXD", '5'},
    {'C', "CLDS", '7', "IQXDPZ", '7'},
    {'C', "CLDS", '6', "IQXA", '6'},
    {'C', "CLDS", '8', "PXD", '8'},
};

int type_index(char letter, char band) {
  for (size_t i = 0; i < kTypeNames.size(); i += 2)
    if (kTypeNames[i] == letter && kTypeNames[i + 1] == band) return static_cast<int>(i / 2);
  return -1;
}

}  // namespace

std::string_view type_name(int t) { return kTypeNames.substr(static_cast<size_t>(t) * 2, 2); }

Target map_code(char system, std::string_view code, int version) {
  if (code.size() != 3) return {};
  for (const Row& row : kRows) {
    if (row.system != system || row.band != code[1] ||
        row.letters.find(code[0]) == std::string_view::npos)
      continue;
    if ((row.only_version != 0 && version != row.only_version) ||
        (row.not_version != 0 && version == row.not_version))
      continue;
    const size_t at = row.attributes.find(code[2]);
    if (at == std::string_view::npos) continue;
    return {type_index(row.as != 0 ? row.as : code[0], row.out_band),
            row.rank0 + static_cast<int>(at)};
  }
  return {};
}

}  // namespace obsq::rinex3
