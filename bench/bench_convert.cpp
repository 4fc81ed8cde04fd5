// Speed of the RINEX 3 to 2.11 conversion: generates a network day of RINEX 3.04 observation
// text (multi-GNSS: GPS, GLONASS, Galileo, BeiDou and QZSS satellites, 30 s, long names), one
// station at a time in memory, converts each (both passes, into a counting sink) and prints MB/s
// of RINEX 3 text per processor second.
//   bench-convert [STATIONS (100)] [EPOCHS (2880)]
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "rinex3/convert.hpp"

using namespace obsq::rinex3;

namespace {

double cpu_now() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct System {
  char letter;
  int satellites;
  const char* codes;  // the SYS / # / OBS TYPES list
};

const System kSystems[] = {
    {'G', 10, "C1C L1C D1C S1C C1W C2W L2W S2W C2L L2L S2L C5Q L5Q S5Q"},
    {'R', 7, "C1C L1C D1C S1C C1P C2P L2P S2P C2C L2C S2C"},
    {'E', 8, "C1C L1C D1C S1C C5Q L5Q S5Q C7Q L7Q S7Q C8Q L8Q S8Q"},
    {'C', 7, "C2I L2I D2I S2I C6I L6I S6I C7I L7I S7I C7D L7D"},
    {'J', 2, "C1C L1C S1C C2L L2L S2L"},
};

// One station's day of RINEX 3.04 text.
std::string station_day(int station, int epochs, std::mt19937_64& rng) {
  std::string t;
  char line[160];
  auto rec = [&](const std::string& content, const char* label) {
    std::snprintf(line, sizeof line, "%-60s%s\n", content.c_str(), label);
    t += line;
  };
  rec("     3.04           OBSERVATION DATA    M", "RINEX VERSION / TYPE");
  rec("bench-convert", "PGM / RUN BY / DATE");
  char marker[16];
  std::snprintf(marker, sizeof marker, "S%03d", station);
  rec(marker, "MARKER NAME");
  rec("ANT1                TRM59800.00     NONE", "ANT # / TYPE");
  rec("        0.1000        0.0000        0.0000", "ANTENNA: DELTA H/E/N");
  int counts[5];
  for (int s = 0; s < 5; ++s) {
    const std::string codes = kSystems[s].codes;
    counts[s] = static_cast<int>((codes.size() + 1) / 4);
    char head[16];
    std::snprintf(head, sizeof head, "%c  %3d", kSystems[s].letter, counts[s]);
    rec(std::string(head) + " " + codes.substr(0, 51), "SYS / # / OBS TYPES");
    if (codes.size() > 51) rec("      " + codes.substr(51), "SYS / # / OBS TYPES");
  }
  rec("  2024     1     1     0     0    0.0000000     GPS", "TIME OF FIRST OBS");
  rec("    18", "LEAP SECONDS");
  rec("", "END OF HEADER");
  std::uniform_real_distribution<double> range(2.0e7, 2.6e7);
  std::uniform_int_distribution<int> digit(0, 9);
  for (int e = 0; e < epochs; ++e) {
    int n = 0;
    for (const System& s : kSystems) n += s.satellites;
    std::snprintf(line, sizeof line, "> 2024 01 01 %02d %02d %2d.0000000  0 %2d\n", e / 120,
                  e / 2 % 60, e % 2 * 30, n);
    t += line;
    for (int s = 0; s < 5; ++s) {
      for (int k = 0; k < kSystems[s].satellites; ++k) {
        std::snprintf(line, sizeof line, "%c%02d", kSystems[s].letter, 3 * k + 1 + station % 3);
        t += line;
        const double r = range(rng);
        for (int c = 0; c < counts[s]; ++c) {
          const char type = kSystems[s].codes[4 * c];
          if (c == counts[s] - 1 && e % 7 == 0) {
            t.append(16, ' ');  // now and then a blank field
            continue;
          }
          const double v = type == 'C' ? r : type == 'L' ? r * 5.25 : type == 'D' ? r * 1e-4 : 45.0;
          std::snprintf(line, sizeof line, "%14.3f%c%c", v, type == 'L' ? ' ' : ' ',
                        type == 'S' ? ' ' : static_cast<char>('0' + digit(rng) % 3 + 6));
          t += line;
        }
        while (t.back() == ' ') t.pop_back();
        t += '\n';
      }
    }
  }
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  const int stations = argc > 1 ? std::atoi(argv[1]) : 100;
  const int epochs = argc > 2 ? std::atoi(argv[2]) : 2880;
  if (stations < 1 || epochs < 1 || epochs > 2880) {
    std::fprintf(stderr, "usage: bench-convert [STATIONS] [EPOCHS (1-2880)]\n");
    return 2;
  }
  std::mt19937_64 rng(42);
  double in_bytes = 0, out_bytes = 0, seconds = 0;
  try {
    for (int s = 0; s < stations; ++s) {
      const std::string text = station_day(s, epochs, rng);
      char name[64];
      std::snprintf(name, sizeof name, "S%03d00XYZ_R_20240010000_01D_30S_MO.rnx", s);
      const double t0 = cpu_now();
      Converter conv(name, Day{2024, 1, 1}, "bench-convert");
      TextLines first(text);
      conv.survey(first);
      TextLines second(text);
      conv.write(second,
                 [&](std::string_view piece) { out_bytes += static_cast<double>(piece.size()); });
      seconds += cpu_now() - t0;
      in_bytes += static_cast<double>(text.size());
    }
  } catch (const Error& e) {
    std::fprintf(stderr, "bench-convert: line %ld: %s\n", e.line, e.message.c_str());
    return 2;
  }
  std::printf("RINEX 3 text: %d stations x %d epochs, %.1f MB in, %.1f MB of RINEX 2.11 out\n",
              stations, epochs, in_bytes / 1e6, out_bytes / 1e6);
  std::printf("conversion (two passes): %.2f s processor time, %.0f MB/s of RINEX 3 text\n",
              seconds, in_bytes / 1e6 / seconds);
  return 0;
}
