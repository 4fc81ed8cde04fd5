// The conversion of RINEX 3/4 observation text into RINEX 2.11 on arbitrary bytes: both passes,
// the header, epochs, events and satellite records; a fault of the text is an Error.
#include <cstdint>

#include "rinex3/convert.hpp"

using namespace obsq::rinex3;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    Converter conv("ABCD00XYZ_R_20240010000_01D_30S_MO.rnx", std::nullopt, "fuzz");
    TextLines first(text);
    conv.survey(first);
    if (!conv.refusal().empty()) return 0;
    TextLines second(text);
    size_t written = 0;
    conv.write(second, [&](std::string_view piece) { written += piece.size(); });
  } catch (const Error&) {}
  return 0;
}
