// The compact RINEX decoders on arbitrary bytes: first byte odd, the whole opening of a file by
// content (unwrapping, identification, reading the plain text line by line); even, a decoder
// on the bytes as they stand, version 3.0 when bit 1 is set, else 1.0.
#include "archive/obsfile.hpp"
#include "fuzz_common.hpp"

using namespace obsq::archive;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  try {
    if ((data[0] & 1) != 0) {
      obsq::fuzz::InScratch scratch;
      obsq::fuzz::put_file("in", bytes);
      ObsFile file("in");
      std::string_view line;
      if (file.identity().readable())
        while (file.next_line(line)) {}
    } else {
      MemoryStream in(bytes);
      LineSource lines(in, "in");
      std::unique_ptr<CompactText> decoder;
      if ((data[0] & 2) != 0)
        decoder = std::make_unique<Compact3Decoder>(lines);
      else
        decoder = std::make_unique<CompactDecoder>(lines);
      std::string out;
      while (decoder->next(out)) out.clear();
    }
  } catch (const FormatError&) {}
  return 0;
}
