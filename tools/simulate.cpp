// obsquilt-simulate: writes a synthetic network day of RINEX 2.11 observation files (GPS and
// GLONASS, several stations of one region) and the list.txt that names them.
//
//   obsquilt-simulate [--stations N] [--epochs N] [--interval S] [--start SEC] [--seed N]
//                     [--types "C1 P1 P2 L1 L2 S1 S2"] [--no-events] [--force] DIR
//
// Satellites rise and set on simple periodic passes, so a station sees about 8 to 12 of the 31
// GPS and 5 to 9 of the 24 GLONASS satellites at a time; stations of the region see nearly the
// same ones. Values have realistic magnitudes: pseudoranges of 20,000 to 26,000 km, phases in
// cycles, signal strengths in dB-Hz. Some fields are blank (P1 of GLONASS, L2 now and then, a
// whole missing epoch here and there), and every few hundred epochs an event record (flag 4)
// carries two comment records. On request the data carry faults of known size for the report's
// quality checks: cycle slips of GPS phases (--slips, listed in DIR/slips.txt) and code multipath
// (--multipath): without them the output is the same as before they existed.
#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/cli.hpp"

namespace cli = obsq::cli;

namespace {

struct Options {
  std::string dir;
  int stations = 5;
  int epochs = 120;
  int interval = 30;
  int start = 0;
  uint64_t seed = 1;
  std::vector<std::string> types = {"C1", "P1", "P2", "L1", "L2", "S1", "S2"};
  bool events = true;
  int slips = 0;         // cycle slips per station
  double multipath = 0;  // amplitude of the code multipath, m
  bool force = false;
};

// The cycle slips put into the GPS phases, in turn: cycles of L1 and L2. The geometry-free
// combination sees n1 w1 - n2 w2; (1,1), (5,4), (4,3) and (9,7) change it by less than 6 cm.
constexpr int kSlipCycles[][2] = {{1, 0}, {0, 1}, {1, 1},  {-2, 0}, {5, 4},  {0, -3},
                                  {2, 1}, {9, 7}, {1, -1}, {4, 3},  {-1, 0}, {0, 2}};
constexpr double kMultipathPeriod = 600.0;  // s

uint64_t splitmix(uint64_t& s) {
  uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

double uniform(uint64_t& s) { return static_cast<double>(splitmix(s) >> 11) * 0x1.0p-53; }

struct Sat {
  char sys;
  int prn;
  double omega;  // pass frequency, rad/s
  double phase;
  double n1, n2;  // phase ambiguities
};

std::string header_record(const std::string& content, const char* label) {
  std::string r = content.substr(0, 60);
  r.resize(60, ' ');
  r += label;
  r += '\n';
  return r;
}

constexpr const char* kUsage =
    "Usage: obsquilt-simulate [OPTION]... DIR\n"
    "Write a synthetic network day of RINEX 2.11 observation files (GPS and GLONASS) and the\n"
    "list.txt naming them into DIR (created when missing).\n"
    "\n"
    "  -n, --stations N     number of stations, 1 to 999 (default 5)\n"
    "  -e, --epochs N       epochs per station, 0 to 10000000 (default 120)\n"
    "  -i, --interval S     seconds between epochs, 1 to 86400 (default 30)\n"
    "  -s, --start SEC      second of day of the first epoch, 0 to 86400 (default 0)\n"
    "      --seed N         seed of the generator, 0 to 9223372036854775807 (default 1)\n"
    "  -t, --types LIST     observation types, e.g. \"C1 P1 P2 L1 L2 S1 S2\" (the default);\n"
    "                       blanks or commas between the two-character codes, at most 50\n"
    "      --no-events      no event records (flag 4) in the observation section\n"
    "      --slips N        cycle slips per station, 0 to 10000, in the phases of GPS\n"
    "                       satellites (L1, L2 or both, 1 to 9 cycles), listed in DIR/slips.txt\n"
    "      --multipath CM   code multipath of amplitude CM centimetres, 0 to 10000 (a sine of\n"
    "                       600 s period, its phase per station, satellite and frequency) on\n"
    "                       every code\n"
    "  -f, --force          replace list.txt, station files and slips.txt found in DIR\n"
    "  -h, --help           show this help and exit\n"
    "  -V, --version        show the version and exit\n"
    "\n"
    "Exit status: 0 files written, 2 bad usage or a file that could not be written.\n";

// A whole decimal number in [lo, hi], or a usage error naming the option.
long long number(const char* option, const char* text, long long lo, long long hi) {
  errno = 0;
  char* end = nullptr;
  const long long v = std::strtoll(text, &end, 10);
  if (end == text || *end != '\0' || errno == ERANGE || v < lo || v > hi)
    throw cli::UsageError{std::string("invalid value '") + text + "' for " + option + " (" +
                          std::to_string(lo) + " to " + std::to_string(hi) + ")"};
  return v;
}

std::vector<std::string> type_list(const char* text) {
  std::vector<std::string> types;
  std::string t = text;
  for (char& c : t)
    if (c == ',') c = ' ';
  for (size_t p = 0; p < t.size();) {
    while (p < t.size() && t[p] == ' ') ++p;
    if (p >= t.size()) break;
    const size_t e = std::min(t.find(' ', p), t.size());
    if (e - p != 2)
      throw cli::UsageError{"observation type '" + t.substr(p, e - p) +
                            "' is not a two-character code"};
    types.push_back(t.substr(p, 2));
    p = e;
  }
  if (types.size() > 50) throw cli::UsageError{"more than 50 observation types"};
  return types;
}

// Reads the command line into o; false when --help or --version answered it.
bool parse(int argc, char** argv, Options& o) {
  enum { kSeed = 256, kNoEvents, kSlips, kMultipath };
  static const option longopts[] = {{"stations", required_argument, nullptr, 'n'},
                                    {"epochs", required_argument, nullptr, 'e'},
                                    {"interval", required_argument, nullptr, 'i'},
                                    {"start", required_argument, nullptr, 's'},
                                    {"seed", required_argument, nullptr, kSeed},
                                    {"types", required_argument, nullptr, 't'},
                                    {"no-events", no_argument, nullptr, kNoEvents},
                                    {"slips", required_argument, nullptr, kSlips},
                                    {"multipath", required_argument, nullptr, kMultipath},
                                    {"help", no_argument, nullptr, 'h'},
                                    {"version", no_argument, nullptr, 'V'},
                                    {"force", no_argument, nullptr, 'f'},
                                    {nullptr, 0, nullptr, 0}};
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":n:e:i:s:t:fhV", longopts, nullptr)) != -1) {
    switch (c) {
      case 'n': o.stations = static_cast<int>(number("--stations", optarg, 1, 999)); break;
      case 'e': o.epochs = static_cast<int>(number("--epochs", optarg, 0, 10'000'000)); break;
      case 'i': o.interval = static_cast<int>(number("--interval", optarg, 1, 86400)); break;
      case 's': o.start = static_cast<int>(number("--start", optarg, 0, 86400)); break;
      case kSeed: o.seed = static_cast<uint64_t>(number("--seed", optarg, 0, INT64_MAX)); break;
      case 't': o.types = type_list(optarg); break;
      case kNoEvents: o.events = false; break;
      case kSlips: o.slips = static_cast<int>(number("--slips", optarg, 0, 10000)); break;
      case kMultipath:
        o.multipath = static_cast<double>(number("--multipath", optarg, 0, 10000)) / 100.0;
        break;
      case 'f': o.force = true; break;
      case 'h': std::fputs(kUsage, stdout); return false;
      case 'V': cli::print_version(); return false;
      case ':':
        throw cli::UsageError{std::string("option '") + argv[optind - 1] + "' needs a value"};
      default: throw cli::UsageError{std::string("unknown option '") + argv[optind - 1] + "'"};
    }
  }
  if (optind >= argc) throw cli::UsageError{"missing directory operand"};
  if (optind + 1 < argc)
    throw cli::UsageError{std::string("extra operand '") + argv[optind + 1] + "'"};
  o.dir = argv[optind];
  return true;
}

double elevation(const Sat& s, int t, double lon) { return std::sin(s.omega * t + s.phase + lon); }

// The epochs (indices) of a station's cycle slips, each on a GPS satellite in view at the epoch
// and the one before it; the cycles are added to the phases from that epoch on. The choices use
// a generator of their own, so that the rest of the data stays as without slips.
struct SlipPlan {
  int epoch, sat, n1, n2;
};
std::vector<SlipPlan> plan_slips(const Options& o, int station, const std::vector<Sat>& sats,
                                 double lon) {
  std::vector<SlipPlan> plan;
  uint64_t rng = o.seed * 7919ULL + static_cast<uint64_t>(station) * 104729ULL + 17;
  for (int j = 0; j < o.slips; ++j) {
    const int e = static_cast<int>((static_cast<int64_t>(j) + 1) * o.epochs / (o.slips + 1));
    if (e < 1) continue;
    const int t = o.start + e * o.interval, before = t - o.interval;
    std::vector<int> both;
    for (size_t i = 0; i < sats.size(); ++i)
      if (sats[i].sys == 'G' && elevation(sats[i], t, lon) > 0.45 &&
          elevation(sats[i], before, lon) > 0.45)
        both.push_back(static_cast<int>(i));
    if (both.empty()) continue;
    const int sat = both[static_cast<size_t>(splitmix(rng) % both.size())];
    const auto& c = kSlipCycles[static_cast<size_t>(j + station) % std::size(kSlipCycles)];
    plan.push_back({e, sat, c[0], c[1]});
  }
  return plan;
}

void write_station(const Options& o, int station, const std::vector<Sat>& sats, FILE* f,
                   FILE* slips) {
  uint64_t rng = o.seed * 1000003ULL + static_cast<uint64_t>(station);
  const double lon = 0.05 * station / std::max(1, o.stations);  // stations of one region
  const double clock_bias = (uniform(rng) - 0.5) * 300.0;       // metres
  const int nt = static_cast<int>(o.types.size());
  char marker[16];
  std::snprintf(marker, sizeof marker, "S%03d", station % 1000);
  std::string h;
  h += header_record("     2.11           OBSERVATION DATA    M (MIXED)", "RINEX VERSION / TYPE");
  h += header_record("obsquilt-simulate   obsquilt            20261206 120000 UTC",
                     "PGM / RUN BY / DATE");
  h += header_record(marker, "MARKER NAME");
  h += header_record(std::string(marker) + " M001", "MARKER NUMBER");
  h += header_record("SIMULATED           OBSQUILT", "OBSERVER / AGENCY");
  h += header_record("SIM" + std::to_string(station) + "                SIMRX               1.0",
                     "REC # / TYPE / VERS");
  char line[128];
  std::snprintf(line, sizeof line, "%-20s%-20s", ("A" + std::to_string(station)).c_str(),
                station % 2 ? "TRM57971.00     NONE" : "LEIAR25.R3      LEIT");
  h += header_record(line, "ANT # / TYPE");
  std::snprintf(line, sizeof line, "%14.4f%14.4f%14.4f", 4075000.0 + 900.0 * station,
                931000.0 - 700.0 * station, 4801000.0 + 300.0 * station);
  h += header_record(line, "APPROX POSITION XYZ");
  std::snprintf(line, sizeof line, "%14.4f%14.4f%14.4f", 0.1 + 0.001 * station, 0.0, 0.0);
  h += header_record(line, "ANTENNA: DELTA H/E/N");
  h += header_record("     1     1", "WAVELENGTH FACT L1/2");
  std::string types;
  std::snprintf(line, sizeof line, "%6d", nt);
  types = line;
  for (int k = 0; k < nt; ++k) {
    if (k > 0 && k % 9 == 0) {
      h += header_record(types, "# / TYPES OF OBSERV");
      types = "      ";
    }
    types += "    " + o.types[static_cast<size_t>(k)];
  }
  h += header_record(types, "# / TYPES OF OBSERV");
  std::snprintf(line, sizeof line, "%10.3f", static_cast<double>(o.interval));
  h += header_record(line, "INTERVAL");
  const int first = o.start;
  std::snprintf(line, sizeof line, "  2026     5    27%6d%6d%13.7f     GPS", first / 3600,
                first % 3600 / 60, static_cast<double>(first % 60));
  h += header_record(line, "TIME OF FIRST OBS");
  h += header_record("    18", "LEAP SECONDS");
  h += header_record("", "END OF HEADER");
  std::fputs(h.c_str(), f);

  const std::vector<SlipPlan> plan = plan_slips(o, station, sats, lon);
  std::vector<double> slipped1(sats.size(), 0.0), slipped2(sats.size(), 0.0);  // cycles so far
  size_t next_slip = 0;
  std::vector<int> visible;
  std::string rec;
  for (int e = 0; e < o.epochs; ++e) {
    const int t = o.start + e * o.interval;
    if (t > 86400 * 2) break;
    for (; next_slip < plan.size() && plan[next_slip].epoch == e; ++next_slip) {
      const SlipPlan& p = plan[next_slip];
      slipped1[static_cast<size_t>(p.sat)] += p.n1;
      slipped2[static_cast<size_t>(p.sat)] += p.n2;
      std::fprintf(slips, "%s %d %c%02d %d %d\n", marker, t % 86400,
                   sats[static_cast<size_t>(p.sat)].sys, sats[static_cast<size_t>(p.sat)].prn, p.n1,
                   p.n2);
    }
    if (uniform(rng) < 0.002) continue;  // an epoch the receiver missed
    if (o.events && e > 0 && e % 480 == 0) {
      std::snprintf(line, sizeof line, "                            4  2\n");
      std::fputs(line, f);
      std::fputs(header_record("receiver restarted tracking", "COMMENT").c_str(), f);
      std::fputs(header_record("simulated event", "COMMENT").c_str(), f);
    }
    visible.clear();
    for (size_t i = 0; i < sats.size(); ++i) {
      const double el = std::sin(sats[i].omega * t + sats[i].phase + lon);
      if (el > 0.45) visible.push_back(static_cast<int>(i));
    }
    const int day_t = t % 86400;
    const double sec = day_t % 60 + (uniform(rng) < 0.01 ? 0.0000001 : 0.0);
    std::snprintf(line, sizeof line, " 26  5 27 %2d %2d%11.7f  0%3zu", day_t / 3600,
                  day_t % 3600 / 60, sec, visible.size());
    rec = line;
    for (size_t k = 0; k < visible.size(); ++k) {
      if (k > 0 && k % 12 == 0) rec += "\n" + std::string(32, ' ');
      const Sat& s = sats[static_cast<size_t>(visible[k])];
      std::snprintf(line, sizeof line, "%c%02d", s.sys, s.prn);
      rec += line;
    }
    rec += '\n';
    for (int v : visible) {
      const Sat& s = sats[static_cast<size_t>(v)];
      const double el = std::sin(s.omega * t + s.phase + lon);
      const double range = 20.2e6 + 5.5e6 * (1.0 - el) + 1000.0 * lon + clock_bias;
      const double iono = 2.0 + 8.0 * (1.0 - el);
      const double f1 = s.sys == 'G' ? 1575.42e6 : (1602.0e6 + 0.5625e6 * (s.prn % 14 - 7));
      const double f2 = s.sys == 'G' ? 1227.60e6 : (1246.0e6 + 0.4375e6 * (s.prn % 14 - 7));
      const double l1 = 299792458.0 / f1;
      const double l2 = 299792458.0 / f2;
      for (int k = 0; k < nt; ++k) {
        if (k > 0 && k % 5 == 0) rec += '\n';
        const std::string& ty = o.types[static_cast<size_t>(k)];
        double val = 0.0;
        bool blank = false;
        char ssi = ' ';
        if (ty[0] == 'C' || ty[0] == 'P') {
          const bool second = ty[1] == '2';
          val = range + (second ? iono * 1.65 : iono) + (uniform(rng) - 0.5) * 0.6;
          if (o.multipath > 0)
            val += o.multipath * std::sin(2 * M_PI * t / kMultipathPeriod + 0.7 * s.prn +
                                          1.3 * station + (second ? 2.0 : 0.0));
          blank = (ty == "P1" && s.sys == 'R') || (second && uniform(rng) < 0.02);
        } else if (ty[0] == 'L') {
          const bool second = ty[1] == '2';
          val = second ? (range - iono * 1.65) / l2 + s.n2 : (range - iono) / l1 + s.n1;
          if (o.slips > 0)
            val += second ? slipped2[static_cast<size_t>(v)] : slipped1[static_cast<size_t>(v)];
          blank = second && uniform(rng) < 0.02;
          ssi = static_cast<char>('0' + std::min(9, 4 + static_cast<int>(5 * el)));
        } else if (ty[0] == 'S') {
          val = (ty[1] == '2' ? 28.0 : 33.0) + 18.0 * el + uniform(rng);
        } else if (ty[0] == 'D') {
          val = -3000.0 * std::cos(s.omega * t + s.phase + lon);
        } else {
          blank = true;
        }
        if (blank) {
          rec += "                ";
        } else {
          std::snprintf(line, sizeof line, "%14.3f %c", val, ssi);
          rec += line;
        }
      }
      while (!rec.empty() && rec.back() == ' ') rec.pop_back();
      rec += '\n';
    }
    std::fputs(rec.c_str(), f);
  }
}

}  // namespace

// The file name of station s (1 to 999).
static std::string station_name(int s) {
  char name[32];
  std::snprintf(name, sizeof name, "s%03d1470.26o", s);
  return name;
}

static int simulate(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) return cli::kOk;
  std::error_code ec;
  std::filesystem::create_directories(o.dir, ec);
  if (ec) throw cli::Failure{o.dir + ": " + ec.message()};
  uint64_t rng = o.seed;
  std::vector<Sat> sats;
  for (int p = 1; p <= 31; ++p)
    sats.push_back({'G', p, 2 * M_PI / (43082.0 * (0.6 + 0.4 * uniform(rng))),
                    2 * M_PI * uniform(rng), std::floor(uniform(rng) * 2e6) - 1e6,
                    std::floor(uniform(rng) * 2e6) - 1e6});
  for (int p = 1; p <= 24; ++p)
    sats.push_back({'R', p, 2 * M_PI / (40544.0 * (0.6 + 0.4 * uniform(rng))),
                    2 * M_PI * uniform(rng), std::floor(uniform(rng) * 2e6) - 1e6,
                    std::floor(uniform(rng) * 2e6) - 1e6});
  const std::filesystem::path dir(o.dir);
  // Nothing of the user's is replaced without --force: every name is checked before any write.
  cli::refuse_existing((dir / "list.txt").string(), o.force);
  for (int s = 1; s <= o.stations; ++s)
    cli::refuse_existing((dir / station_name(s)).string(), o.force);
  if (o.slips > 0) cli::refuse_existing((dir / "slips.txt").string(), o.force);
  FILE* slips = nullptr;
  if (o.slips > 0) {
    slips = std::fopen((dir / "slips.txt").c_str(), "w");
    if (slips == nullptr)
      throw cli::Failure{(dir / "slips.txt").string() + ": " + std::strerror(errno)};
    std::fputs("# marker second satellite L1-cycles L2-cycles\n", slips);
  }
  FILE* list = std::fopen((dir / "list.txt").c_str(), "w");
  if (list == nullptr)
    throw cli::Failure{(dir / "list.txt").string() + ": " + std::strerror(errno)};
  for (int s = 1; s <= o.stations; ++s) {
    const std::string name = station_name(s);
    FILE* f = std::fopen((dir / name).c_str(), "w");
    if (f == nullptr) throw cli::Failure{(dir / name).string() + ": " + std::strerror(errno)};
    static char buf[1 << 20];
    std::setvbuf(f, buf, _IOFBF, sizeof buf);
    write_station(o, s, sats, f, slips);
    const bool written = !std::ferror(f);
    if (std::fclose(f) != 0 || !written)
      throw cli::Failure{(dir / name).string() + ": " + std::strerror(errno)};
    std::fprintf(list, "%s\n", name.c_str());
  }
  if (slips != nullptr && std::fclose(slips) != 0)
    throw cli::Failure{(dir / "slips.txt").string() + ": " + std::strerror(errno)};
  if (std::fclose(list) != 0)
    throw cli::Failure{(dir / "list.txt").string() + ": " + std::strerror(errno)};
  return cli::kOk;
}

int main(int argc, char** argv) { return cli::run_main("obsquilt-simulate", argc, argv, simulate); }
