// The conversion of RINEX 3/4 observation text into RINEX 2.11 on arbitrary bytes: both passes,
// the header, epochs, events and satellite records; a fault of the text is an Error. Lines live
// only until the next one is read, as a file reader's do.
#include <algorithm>
#include <cstdint>
#include <memory>

#include "rinex3/convert.hpp"

using namespace obsq::rinex3;

namespace {

// Each line in a heap block of its own, freed at the next call: a line used after its input
// moved on is a use after free that the address sanitizer reports.
class OwnedLines : public LineInput {
 public:
  explicit OwnedLines(std::string_view text) : text_(text) {}
  bool next(std::string_view& line) override {
    std::string_view l;
    if (!text_.next(l)) return false;
    block_ = std::make_unique<char[]>(l.size() + 1);
    std::copy(l.begin(), l.end(), block_.get());
    line = std::string_view(block_.get(), l.size());
    return true;
  }

 private:
  TextLines text_;
  std::unique_ptr<char[]> block_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    Converter conv("ABCD00XYZ_R_20240010000_01D_30S_MO.rnx", std::nullopt, "fuzz");
    OwnedLines first(text);
    conv.survey(first);
    if (!conv.refusal().empty()) return 0;
    OwnedLines second(text);
    size_t written = 0;
    conv.write(second, [&](std::string_view piece) { written += piece.size(); });
  } catch (const Error&) {}
  return 0;
}
