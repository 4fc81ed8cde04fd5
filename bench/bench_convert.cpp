// Speed of the RINEX 3 to 2.11 conversion on a network day written by `obsquilt-simulate
// --rinex 3` (RINEX 3.04 of GPS, GLONASS, Galileo, BeiDou and SBAS under long names, 30 s):
// each station's file is read into memory and converted (both passes, into a counting sink);
// prints MB/s of RINEX 3 text per processor second of the conversion.
//   bench-convert [--scratch DIR] [STATIONS (100)]
// The day is written once into DIR/rinex3-STATIONS (default ./bench-scratch) and reused.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "rinex3/convert.hpp"

using namespace obsq::rinex3;
namespace fs = std::filesystem;

namespace {

double cpu_now() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

std::string read_all(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

int main(int argc, char** argv) {
  fs::path scratch = "bench-scratch";
  int stations = 100;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--scratch" && i + 1 < argc) {
      scratch = argv[++i];
    } else if (a == "--help") {
      std::puts("Usage: bench-convert [--scratch DIR] [STATIONS (100)]");
      return 0;
    } else if (std::atoi(a.c_str()) >= 1 && std::atoi(a.c_str()) <= 999) {
      stations = std::atoi(a.c_str());
    } else {
      std::fprintf(stderr, "bench-convert: bad argument '%s' (try --help)\n", a.c_str());
      return 2;
    }
  }
  const fs::path day = fs::absolute(scratch) / ("rinex3-" + std::to_string(stations));
  if (!fs::exists(day / "list.txt")) {
    const std::string cmd = std::string("'") + OBSQUILT_SIMULATE + "' --rinex 3 --stations " +
                            std::to_string(stations) + " --epochs 2880 '" + day.string() +
                            "' > /dev/null";
    if (std::system(cmd.c_str()) != 0) {
      std::fprintf(stderr, "bench-convert: %s failed\n", cmd.c_str());
      return 2;
    }
  }
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(day))
    if (e.path().extension() == ".rnx") files.push_back(e.path());
  double in_bytes = 0, out_bytes = 0, seconds = 0;
  for (const fs::path& f : files) {
    const std::string text = read_all(f);
    const double t0 = cpu_now();
    try {
      Converter conv(f.filename().string(), std::nullopt, "bench-convert");
      TextLines first(text);
      conv.survey(first);
      TextLines second(text);
      conv.write(second,
                 [&](std::string_view piece) { out_bytes += static_cast<double>(piece.size()); });
    } catch (const Error& e) {
      std::fprintf(stderr, "bench-convert: %s:%ld: %s\n", f.c_str(), e.line, e.message.c_str());
      return 2;
    }
    seconds += cpu_now() - t0;
    in_bytes += static_cast<double>(text.size());
  }
  std::printf(
      "RINEX 3 day of obsquilt-simulate: %zu stations x 2880 epochs, %.1f MB in, %.1f MB "
      "of RINEX 2.11 out\n",
      files.size(), in_bytes / 1e6, out_bytes / 1e6);
  std::printf("conversion (two passes): %.2f s processor time, %.0f MB/s of RINEX 3 text\n",
              seconds, in_bytes / 1e6 / seconds);
  return 0;
}
