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
        if (rows == 0 || cols == 0 || b.epoch_seconds.size() != rows || b.values.size() != rows * cols ||
            b.text.size() != rows * cols * 14)
          ::abort();
        for (size_t r = 0; r < rows; ++r)
          if (b.rows[r] < 0 || static_cast<size_t>(b.rows[r]) >= receivers || (r > 0 && b.rows[r] <= b.rows[r - 1]))
            ::abort();
        for (size_t r = 0; r < rows; ++r)
          for (size_t c = 0; c < cols; ++c) {
            const std::string_view d = b.value_digits(r, c);
            double want = NAN;
            if (d[0] != '*' && std::from_chars(d.data(), d.data() + d.size(), want).ptr != d.data() + d.size()) ::abort();
            const double got = b.value(r, c);
            if (std::isnan(want) ? !std::isnan(got) : std::memcmp(&want, &got, sizeof got) != 0) ::abort();
          }
      }
    }
  } catch (const quilt::FormatError&) {
  }
  return 0;
}
