// The reader of obsquilt.txt on one arbitrary file: it either fails with a FormatError or gives
// blocks whose shapes agree, whose rows are receivers in order and whose values are the nearest
// doubles of their text.
#include <charconv>
#include <cmath>
#include <cstring>

#include "fuzz_common.hpp"
#include "quiltfile/quiltfile.hpp"

using namespace obsq;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InScratch scratch;
  fuzz::put_file("obsquilt.txt", std::string_view(reinterpret_cast<const char*>(data), size));
  try {
    quilt::Reader rd("obsquilt.txt");
    const size_t receivers = rd.header().receivers.size();
    quilt::Epoch ep;
    while (rd.next(ep)) {
      for (const quilt::Block& b : ep.blocks) {
        const size_t rows = b.rows.size(), cols = b.columns();
        if (rows == 0 || cols == 0 || b.epoch_seconds.size() != rows ||
            b.values.size() != rows * cols || b.text.size() != rows * cols * 14)
          ::abort();
        for (size_t k = 0; k < rows * cols; ++k) {
          const int32_t row = b.rows[k / cols];
          if (row < 0 || static_cast<size_t>(row) >= receivers ||
              (k >= cols && row <= b.rows[k / cols - 1]))
            ::abort();
          const std::string_view d = b.value_digits(k / cols, k % cols);
          double want = NAN;
          if (d[0] != '*' &&
              std::from_chars(d.data(), d.data() + d.size(), want).ptr != d.data() + d.size())
            ::abort();
          if (std::isnan(want) ? !std::isnan(b.values[k])
                               : std::memcmp(&want, &b.values[k], sizeof want) != 0)
            ::abort();
        }
      }
    }
  } catch (const quilt::FormatError&) {}
  return 0;
}
