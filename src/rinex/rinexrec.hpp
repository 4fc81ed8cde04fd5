// The records of a RINEX 2 observation file as the reader sees them: their geometry, and the
// "# / TYPES OF OBSERV" group that both the header scan and the observation reader take apart.
#pragma once

#include <cstdint>
#include <string_view>

#include "records/fields.hpp"
#include "records/limits.hpp"
#include "records/units.hpp"
#include "tables/tables.hpp"

namespace obsq {

inline constexpr int kRinexRecord = 80;     // columns of a record as the reader keeps it
inline constexpr int kTypesPerRecord = 9;   // type codes of one "# / TYPES OF OBSERV" record
inline constexpr int kSatsPerRecord = 12;   // satellite codes of an epoch record or continuation
inline constexpr int kValuesPerRecord = 5;  // values of one observation record
inline constexpr int kValueColumns = 16;    // f14.3 and the two indicator columns of a value

inline constexpr std::string_view kTypesLabel = "# / TYPES OF OBSERV";

// Type code k (0-based, k < 9) of a "# / TYPES OF OBSERV" record: format "(6x,9(4x,A2))".
inline TypeCode type_code_at(std::string_view rec, int k) {
  TypeCode c;
  get_a(rec, 11 + 6 * k, 2, c.data(), 2);
  return c;
}

// Hands the `count` codes of a "# / TYPES OF OBSERV" group whose first record is `rec` to
// take(code), in column order, 9 a record; each continuation record is read from `in` (a read
// without an end branch) and shown to continued(record) before its codes are taken.
template <typename Take, typename Continued>
void read_type_codes(InUnit& in, std::string_view rec, int32_t count, Take take,
                     Continued continued) {
  while (count > kTypesPerRecord) {
    for (int k = 0; k < kTypesPerRecord; ++k) take(type_code_at(rec, k));
    count -= kTypesPerRecord;
    rec = in.need(kRinexRecord);
    continued(rec);
  }
  for (int k = 0; k < count; ++k) take(type_code_at(rec, k));
}

}  // namespace obsq
