// obsquilt-simulate: writes a synthetic network day of RINEX 2.11 observation files (GPS and
// GLONASS, several stations of one region) and the list.txt that names them; with --rinex 3,
// RINEX 3.04 files of five systems under long names; with --compact, compact RINEX written by
// the project's encoder; with --gzip, gzipped.
//
//   obsquilt-simulate [--stations N] [--epochs N] [--interval S] [--start SEC] [--seed N]
//                     [--types "C1 P1 P2 L1 L2 S1 S2"] [--no-events] [--force]
//                     [--rinex 2|3] [--compact] [--gzip] DIR
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
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "archive/crinex_encode.hpp"
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
  int rinex = 2;         // 2: RINEX 2.11 (GPS, GLONASS); 3: RINEX 3.04 (G, R, E, C, S)
  bool compact = false;  // compact RINEX (1.0 or 3.0)
  bool gzip = false;
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

// A fixed-point field of `width` columns at f in the spelling compact RINEX gives back: no zero
// before the point below 1 ("  -.123", "   .500") and no sign on zero ("   .000").
void compact_spelling(char* f, int width) {
  char* point = static_cast<char*>(std::memchr(f, '.', static_cast<size_t>(width)));
  if (point == nullptr || point == f || point[-1] != '0') return;
  if (point - 1 != f && point[-2] != ' ' && point[-2] != '-') return;
  std::memmove(f + 1, f, static_cast<size_t>(point - 1 - f));
  f[0] = ' ';
  if (std::strspn(point + 1, "0") == static_cast<size_t>(f + width - point - 1))
    for (char* c = f; c < point; ++c)
      if (*c == '-') *c = ' ';
}

constexpr const char* kUsage =
    "Usage: obsquilt-simulate [OPTION]... DIR\n"
    "Write a synthetic network day of RINEX 2.11 observation files (GPS and GLONASS) and the\n"
    "list.txt naming them into DIR (created when missing).\n"
    "\n"
    "  -n, --stations N     number of stations, 1 to 9999 (default 5): markers S001 to S999,\n"
    "                       then T000 to T999, U000 and so on\n"
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
    "      --rinex V        2: RINEX 2.11 files of GPS and GLONASS (the default); 3: RINEX\n"
    "                       3.04 files of GPS, GLONASS, Galileo, BeiDou and SBAS under long\n"
    "                       names (S00100XXX_R_20261470000_01D_30S_MO.rnx); --types is\n"
    "                       for RINEX 2\n"
    "      --compact        write compact RINEX (1.0 for RINEX 2: .26d, 3.0 for RINEX 3:\n"
    "                       .crx); it decodes to the text the plain files hold\n"
    "      --gzip           gzip each file (.gz)\n"
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
  enum { kSeed = 256, kNoEvents, kSlips, kMultipath, kRinex, kCompact, kGzip };
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
                                    {"rinex", required_argument, nullptr, kRinex},
                                    {"compact", no_argument, nullptr, kCompact},
                                    {"gzip", no_argument, nullptr, kGzip},
                                    {nullptr, 0, nullptr, 0}};
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":n:e:i:s:t:fhV", longopts, nullptr)) != -1) {
    switch (c) {
      case 'n': o.stations = static_cast<int>(number("--stations", optarg, 1, 9999)); break;
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
      case kRinex: o.rinex = static_cast<int>(number("--rinex", optarg, 2, 3)); break;
      case kCompact: o.compact = true; break;
      case kGzip: o.gzip = true; break;
      case 'h': std::fputs(kUsage, stdout); return false;
      case 'V': cli::print_version(); return false;
      case ':':
        throw cli::UsageError{std::string("option '") + argv[optind - 1] + "' needs a value"};
      default: throw cli::UsageError{std::string("unknown option '") + argv[optind - 1] + "'"};
    }
  }
  if (o.rinex == 3 && (o.slips > 0 || o.multipath > 0))
    throw cli::UsageError{"--slips and --multipath are for RINEX 2 files, not --rinex 3"};
  if (optind >= argc) throw cli::UsageError{"missing directory operand"};
  if (optind + 1 < argc)
    throw cli::UsageError{std::string("extra operand '") + argv[optind + 1] + "'"};
  o.dir = argv[optind];
  return true;
}

// The marker's letter: S for the first 999 stations, then T, U ... for each thousand more.
char marker_letter(int station) { return "STUVWXYZQR"[station / 1000]; }

double elevation(const Sat& s, int t, double lon) { return std::sin(s.omega * t + s.phase + lon); }

// The satellites above the station's horizon at second t, in list order.
void visible_at(const std::vector<Sat>& sats, int t, double lon, std::vector<int>& visible) {
  visible.clear();
  for (size_t i = 0; i < sats.size(); ++i)
    if (elevation(sats[i], t, lon) > 0.45) visible.push_back(static_cast<int>(i));
}

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

// The header records that name the station, from the RINEX VERSION / TYPE record to ANTENNA:
// DELTA H/E/N (with MARKER TYPE in RINEX 3).
std::string station_records(int station, const char* version, bool marker_type) {
  char marker[16], line[128];
  std::snprintf(marker, sizeof marker, "%c%03d", marker_letter(station), station % 1000);
  std::string h;
  h += header_record(version, "RINEX VERSION / TYPE");
  h += header_record("obsquilt-simulate   obsquilt            20261206 120000 UTC",
                     "PGM / RUN BY / DATE");
  h += header_record(marker, "MARKER NAME");
  h += header_record(std::string(marker) + " M001", "MARKER NUMBER");
  if (marker_type) h += header_record("GEODETIC", "MARKER TYPE");
  h += header_record("SIMULATED           OBSQUILT", "OBSERVER / AGENCY");
  h += header_record("SIM" + std::to_string(station) + "                SIMRX               1.0",
                     "REC # / TYPE / VERS");
  std::snprintf(line, sizeof line, "%-20s%-20s", ("A" + std::to_string(station)).c_str(),
                station % 2 ? "TRM57971.00     NONE" : "LEIAR25.R3      LEIT");
  h += header_record(line, "ANT # / TYPE");
  std::snprintf(line, sizeof line, "%14.4f%14.4f%14.4f", 4075000.0 + 900.0 * station,
                931000.0 - 700.0 * station, 4801000.0 + 300.0 * station);
  h += header_record(line, "APPROX POSITION XYZ");
  std::snprintf(line, sizeof line, "%14.4f%14.4f%14.4f", 0.1 + 0.001 * station, 0.0, 0.0);
  h += header_record(line, "ANTENNA: DELTA H/E/N");
  return h;
}

// INTERVAL and TIME OF FIRST OBS.
std::string time_records(int interval, int first) {
  char line[128];
  std::snprintf(line, sizeof line, "%10.3f", static_cast<double>(interval));
  std::string h = header_record(line, "INTERVAL");
  std::snprintf(line, sizeof line, "  2026     5    27%6d%6d%13.7f     GPS", first / 3600,
                first % 3600 / 60, static_cast<double>(first % 60));
  return h + header_record(line, "TIME OF FIRST OBS");
}

void write_station(const Options& o, int station, const std::vector<Sat>& sats, FILE* f,
                   FILE* slips) {
  uint64_t rng = o.seed * 1000003ULL + static_cast<uint64_t>(station);
  const double lon = 0.05 * station / std::max(1, o.stations);  // stations of one region
  const double clock_bias = (uniform(rng) - 0.5) * 300.0;       // metres
  const int nt = static_cast<int>(o.types.size());
  char marker[16];
  std::snprintf(marker, sizeof marker, "%c%03d", marker_letter(station), station % 1000);
  std::string h =
      station_records(station, "     2.11           OBSERVATION DATA    M (MIXED)", false);
  char line[128];
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
  h += time_records(o.interval, o.start);
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
    visible_at(sats, t, lon, visible);
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
          compact_spelling(line, 14);
          rec += line;
        }
      }
      while (!rec.empty() && rec.back() == ' ') rec.pop_back();
      rec += '\n';
    }
    std::fputs(rec.c_str(), f);
  }
}

// RINEX 3: the observation types of each system, and their carrier frequencies (Hz).
struct System3 {
  char sys;
  std::vector<std::string> types;
};
const std::vector<System3>& systems3() {
  static const std::vector<System3> s = {
      {'G', {"C1C", "L1C", "D1C", "S1C", "C2W", "L2W", "S2W", "C5Q", "L5Q", "S5Q"}},
      {'R', {"C1C", "L1C", "D1C", "S1C", "C2P", "L2P", "S2P"}},
      {'E', {"C1C", "L1C", "S1C", "C5Q", "L5Q", "S5Q", "C7Q", "L7Q", "S7Q"}},
      {'C', {"C2I", "L2I", "S2I", "C7I", "L7I", "S7I"}},
      {'S', {"C1C", "L1C", "S1C"}}};
  return s;
}

double frequency(const Sat& s, char band) {
  const int k = s.prn % 14 - 7;  // GLONASS channel
  switch (band) {
    case '1': return s.sys == 'R' ? 1602.0e6 + 0.5625e6 * k : 1575.42e6;
    case '2': return s.sys == 'R' ? 1246.0e6 + 0.4375e6 * k : s.sys == 'C' ? 1561.098e6 : 1227.60e6;
    case '5': return 1176.45e6;
    default: return 1207.14e6;
  }
}

// The RINEX 3.04 file of one station: the passes of the RINEX 2 files, for five systems, a
// receiver clock offset in the epochs of odd stations, loss of lock now and then.
void write_station3(const Options& o, int station, const std::vector<Sat>& sats, FILE* f) {
  uint64_t rng = o.seed * 1000003ULL + static_cast<uint64_t>(station);
  const double lon = 0.05 * station / std::max(1, o.stations);
  const double clock_bias = (uniform(rng) - 0.5) * 300.0;  // metres
  const bool clock = station % 2 == 1;
  std::string h = station_records(station, "     3.04           OBSERVATION DATA    M", true);
  char line[160];
  for (const System3& sys : systems3()) {
    std::snprintf(line, sizeof line, "%c  %3zu", sys.sys, sys.types.size());
    std::string r = line;
    for (size_t k = 0; k < sys.types.size(); ++k) {
      if (k > 0 && k % 13 == 0) {
        h += header_record(r, "SYS / # / OBS TYPES");
        r = "      ";
      }
      r += " " + sys.types[k];
    }
    h += header_record(r, "SYS / # / OBS TYPES");
  }
  h += header_record("DBHZ", "SIGNAL STRENGTH UNIT");
  h += time_records(o.interval, o.start % 86400);
  for (const System3& sys : systems3())
    for (const std::string& t : sys.types)
      if (t[0] == 'L')
        h += header_record(std::string(1, sys.sys) + " " + t + "  0.00000", "SYS / PHASE SHIFT");
  std::string slots = " 24";
  for (int p = 1; p <= 24; ++p) {
    if (p > 1 && (p - 1) % 8 == 0) {
      h += header_record(slots, "GLONASS SLOT / FRQ #");
      slots = "   ";
    }
    std::snprintf(line, sizeof line, " R%02d %2d", p, p % 14 - 7);
    slots += line;
  }
  h += header_record(slots, "GLONASS SLOT / FRQ #");
  h += header_record(" C1C    0.000 C1P    0.000 C2C    0.000 C2P    0.000", "GLONASS COD/PHS/BIS");
  h += header_record("    18", "LEAP SECONDS");
  h += header_record("", "END OF HEADER");
  std::fputs(h.c_str(), f);

  std::vector<int> visible;
  std::string rec;
  for (int e = 0; e < o.epochs; ++e) {
    const int t = o.start + e * o.interval;
    if (t > 86400 * 2) break;
    if (uniform(rng) < 0.002) continue;  // an epoch the receiver missed
    const int day_t = t % 86400;
    const double sec = day_t % 60 + (uniform(rng) < 0.01 ? 0.0000001 : 0.0);
    if (o.events && e > 0 && e % 480 == 0) {
      std::snprintf(line, sizeof line, "> 2026 05 27 %02d %02d%11.7f  4  2\n", day_t / 3600,
                    day_t % 3600 / 60, sec);
      std::fputs(line, f);
      std::fputs(header_record("receiver restarted tracking", "COMMENT").c_str(), f);
      std::fputs(header_record("simulated event", "COMMENT").c_str(), f);
    }
    visible_at(sats, t, lon, visible);
    std::snprintf(line, sizeof line, "> 2026 05 27 %02d %02d%11.7f  0%3zu", day_t / 3600,
                  day_t % 3600 / 60, sec, visible.size());
    rec = line;
    if (clock) {
      std::snprintf(line, sizeof line, "      %15.12f", clock_bias / 299792458.0 + 1e-11 * e);
      compact_spelling(line + 6, 15);
      rec += line;
    }
    rec += '\n';
    for (int v : visible) {
      const Sat& s = sats[static_cast<size_t>(v)];
      const double el = std::sin(s.omega * t + s.phase + lon);
      const double range = 20.2e6 + 5.5e6 * (1.0 - el) + 1000.0 * lon + clock_bias;
      std::snprintf(line, sizeof line, "%c%02d", s.sys, s.prn);
      rec += line;
      const auto& types = std::find_if(systems3().begin(), systems3().end(), [&](const System3& x) {
                            return x.sys == s.sys;
                          })->types;
      for (const std::string& ty : types) {
        const double fr = frequency(s, ty[1]);
        const double iono = (2.0 + 8.0 * (1.0 - el)) * (1575.42e6 / fr) * (1575.42e6 / fr);
        double val = 0.0;
        bool blank = false;
        char lli = ' ', ssi = ' ';
        if (ty[0] == 'C') {
          val = range + iono + (uniform(rng) - 0.5) * 0.6;
          blank = ty[1] != '1' && uniform(rng) < 0.02;
        } else if (ty[0] == 'L') {
          val = (range - iono) * fr / 299792458.0 + (ty[1] == '1' ? s.n1 : s.n2);
          blank = ty[1] != '1' && uniform(rng) < 0.02;
          lli = uniform(rng) < 0.005 ? '1' : ' ';
          ssi = static_cast<char>('0' + std::min(9, 4 + static_cast<int>(5 * el)));
        } else if (ty[0] == 'S') {
          val = (ty[1] == '1' ? 33.0 : 28.0) + 18.0 * el + uniform(rng);
        } else {
          val = -3000.0 * std::cos(s.omega * t + s.phase + lon) * fr / 1575.42e6;
        }
        if (blank) {
          rec += "                ";
        } else {
          std::snprintf(line, sizeof line, "%14.3f%c%c", val, lli, ssi);
          compact_spelling(line, 14);
          rec += line;
        }
      }
      while (!rec.empty() && rec.back() == ' ') rec.pop_back();
      rec += '\n';
    }
    std::fputs(rec.c_str(), f);
  }
}

// The name of a station's file: ssss1470.26o, or the long name of RINEX 3
// (S00100XXX_R_20261470000_01D_30S_MO.rnx); d and .crx for compact files, .gz when gzipped.
std::string file_name(const Options& o, int station) {
  char name[96];
  if (o.rinex == 2) {
    std::snprintf(name, sizeof name, "%c%03d1470.26%c", marker_letter(station) - 'A' + 'a',
                  station % 1000, o.compact ? 'd' : 'o');
  } else {
    const long span = static_cast<long>(o.epochs) * o.interval;
    char period[16], rate[16];
    if (span >= 86400)
      std::snprintf(period, sizeof period, "01D");
    else if (span >= 3600)
      std::snprintf(period, sizeof period, "%02ldH", (span + 3599) / 3600);
    else
      std::snprintf(period, sizeof period, "%02ldM", std::max(1L, (span + 59) / 60));
    if (o.interval < 100)
      std::snprintf(rate, sizeof rate, "%02dS", o.interval);
    else if (o.interval < 6000)
      std::snprintf(rate, sizeof rate, "%02dM", o.interval / 60);
    else
      std::snprintf(rate, sizeof rate, "%02dH", std::min(99, o.interval / 3600));
    const int first = o.start % 86400;
    std::snprintf(name, sizeof name, "%c%03d00XXX_R_2026147%02d%02d_%s_%s_MO.%s",
                  marker_letter(station), station % 1000, first / 3600, first % 3600 / 60, period,
                  rate, o.compact ? "crx" : "rnx");
  }
  return std::string(name) + (o.gzip ? ".gz" : "");
}

// One station's file written through memory: encoded to compact RINEX and gzipped as asked.
void write_packed(const Options& o, int station, const std::vector<Sat>& sats,
                  const std::filesystem::path& path, FILE* slips) {
  char* text = nullptr;
  size_t size = 0;
  FILE* mem = open_memstream(&text, &size);
  if (mem == nullptr) throw cli::Failure{path.string() + ": " + std::strerror(errno)};
  if (o.rinex == 3)
    write_station3(o, station, sats, mem);
  else
    write_station(o, station, sats, mem, slips);
  std::fclose(mem);
  std::string plain(text, size), packed;
  std::free(text);
  if (o.compact) {
    obsq::archive::encode_compact(plain, packed, "obsquilt-simulate", "06-Dec-26 12:00",
                                  path.string());
    plain.swap(packed);
  }
  bool ok;
  if (o.gzip) {
    gzFile z = gzopen(path.c_str(), "wb6");
    ok = z != nullptr && gzwrite(z, plain.data(), static_cast<unsigned>(plain.size())) ==
                             static_cast<int>(plain.size());
    ok = z != nullptr && gzclose(z) == Z_OK && ok;
  } else {
    FILE* f = std::fopen(path.c_str(), "w");
    ok = f != nullptr && std::fwrite(plain.data(), 1, plain.size(), f) == plain.size();
    ok = f != nullptr && std::fclose(f) == 0 && ok;
  }
  if (!ok) throw cli::Failure{path.string() + ": " + std::strerror(errno ? errno : EIO)};
}

}  // namespace

// Satellites 1 to n of a system on passes of about `period` seconds (60 to 100 % of it).
static void add_satellites(std::vector<Sat>& sats, char sys, int n, double period, uint64_t& rng) {
  for (int p = 1; p <= n; ++p)
    sats.push_back({sys, p, 2 * M_PI / (period * (0.6 + 0.4 * uniform(rng))),
                    2 * M_PI * uniform(rng), std::floor(uniform(rng) * 2e6) - 1e6,
                    std::floor(uniform(rng) * 2e6) - 1e6});
}

static int simulate(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, o)) return cli::kOk;
  std::error_code ec;
  std::filesystem::create_directories(o.dir, ec);
  if (ec) throw cli::Failure{o.dir + ": " + ec.message()};
  uint64_t rng = o.seed;
  std::vector<Sat> sats;
  add_satellites(sats, 'G', 31, 43082.0, rng);
  add_satellites(sats, 'R', 24, 40544.0, rng);
  if (o.rinex == 3) {  // Galileo, BeiDou, and three geostationary SBAS satellites
    add_satellites(sats, 'E', 30, 50680.0, rng);
    add_satellites(sats, 'C', 35, 46400.0, rng);
    for (int p : {23, 26, 36})
      sats.push_back(
          {'S', p, 1e-9, 0.6 + 1.5 * uniform(rng), std::floor(uniform(rng) * 2e6) - 1e6, 0.0});
  }
  const std::filesystem::path dir(o.dir);
  // Nothing of the user's is replaced without --force: every name is checked before any write.
  cli::refuse_existing((dir / "list.txt").string(), o.force);
  for (int s = 1; s <= o.stations; ++s)
    cli::refuse_existing((dir / file_name(o, s)).string(), o.force);
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
    const std::string name = file_name(o, s);
    if (o.rinex == 3 || o.compact || o.gzip) {
      write_packed(o, s, sats, dir / name, slips);
      std::fprintf(list, "%s\n", name.c_str());
      continue;
    }
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
