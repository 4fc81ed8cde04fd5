// Speed of the compact RINEX decoders: decodes a compact file (wrapped or not) many times from
// memory, then through the file opener (reading from disk, unwrapping when wrapped), and prints
// MB/s of RINEX text. Without a file, two files of the shared data: york0440.15d (compact RINEX
// 1.0, a day of 11 types at 30 s) and GRAS00FRA_R_20223151700_15M_01S_MO.crx.gz (compact RINEX
// 3.0 in gzip, 15 minutes of five systems at 1 s).
//   bench-crinex [FILE] [REPEAT]
#include <time.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "archive/crinex.hpp"
#include "archive/obsfile.hpp"

using namespace obsq::archive;

namespace {

// Wall-clock and processor time; on a shared machine the processor time is the figure to read.
struct Timer {
  std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
  double cpu = cpu_now();
  static double cpu_now() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
  }
  double wall_s() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count();
  }
  double cpu_s() const { return cpu_now() - cpu; }
};

}  // namespace

int bench(const std::string& path, int repeat) {
  std::string input;  // the compact text, unwrapped when the file is wrapped
  try {
    ArchiveStream in(path);
    char buf[1 << 16];
    for (size_t n; (n = in.read(buf, sizeof buf)) > 0;) input.append(buf, n);
  } catch (const FormatError& e) {
    std::fprintf(stderr, "bench-crinex: %s\n", e.text().c_str());
    return 2;
  }
  try {
    // From memory: the decoder alone.
    size_t out_bytes = 0;
    unsigned long sum = 0;
    std::string out;
    const Timer t0;
    for (int r = 0; r < repeat; ++r) {
      MemoryStream in(input);
      LineSource lines(in, path);
      std::unique_ptr<CompactText> decoder;
      if (input.starts_with("3.0"))
        decoder = std::make_unique<Compact3Decoder>(lines);
      else
        decoder = std::make_unique<CompactDecoder>(lines);
      out.clear();
      while (decoder->next(out)) {
        if (out.size() >= (1 << 16)) {
          out_bytes += out.size();
          sum += static_cast<unsigned char>(out[out.size() / 2]);
          out.clear();
        }
      }
      out_bytes += out.size();
    }
    const double t = t0.cpu_s(), w = t0.wall_s();
    std::printf(
        "%s\ndecoder, from memory: %d x %.2f MB compact -> %.2f MB RINEX each; cpu %.3f s: "
        "%.0f MB/s of RINEX (%.0f MB/s of input); wall %.3f s: %.0f MB/s [%lu]\n",
        path.c_str(), repeat, input.size() / 1e6, out_bytes / 1e6 / repeat, t, out_bytes / 1e6 / t,
        input.size() * double(repeat) / 1e6 / t, w, out_bytes / 1e6 / w, sum);

    // Through the file opener: read from disk (unwrapped by content), lines handed out one by one.
    size_t lines_out = 0, text_bytes = 0;
    const Timer t1;
    for (int r = 0; r < repeat; ++r) {
      ObsFile file(path);
      std::string_view line;
      while (file.next_line(line)) {
        ++lines_out;
        text_bytes += line.size() + 1;
      }
    }
    const double t2 = t1.cpu_s(), w2 = t1.wall_s();
    std::printf(
        "file opener, line by line: %d x; cpu %.3f s: %.0f MB/s of RINEX, %.1f M "
        "lines/s; wall %.3f s: %.0f MB/s\n",
        repeat, t2, text_bytes / 1e6 / t2, lines_out / 1e6 / t2, w2, text_bytes / 1e6 / w2);
  } catch (const FormatError& e) {
    std::fprintf(stderr, "bench-crinex: %s\n", e.text().c_str());
    return 2;
  }
  return 0;
}

int main(int argc, char** argv) {
  const int repeat = argc > 2 ? std::atoi(argv[2]) : 20;
  if (argc > 1) return bench(argv[1], repeat);
  for (const char* file :
       {"/crinex/york0440.15d", "/rinex3/GRAS00FRA_R_20223151700_15M_01S_MO.crx.gz"})
    if (const int status = bench(OBSQUILT_SHARED_DIR + std::string(file), repeat); status != 0)
      return status;
  return 0;
}
