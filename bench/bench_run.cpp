// bench-run: times complete runs of obsquilt on generated network days.
//
//   bench-run [--scratch DIR] [--bin DIR] [--repeat N] [SCENARIO ...]
//
// The programs are taken from the build tree that built bench-run, or from the folder --bin
// names.
// Scenarios: small (3 stations, 1 hour), day50, day100, day200 (stations x one day at 30 s,
// GPS + GLONASS, C1 P1 P2 L1 L2 S1 S2, window 0 86400 30) and decimate (day100's data read with
// step 300). The data are written by obsquilt-simulate into the scratch folder (default
// ./bench-scratch) once and reused. For each scenario the real binary runs as a child process
// (whole-run wall time, peak resident memory, output checksum), then the stages run in-process
// once more to time the header scan, the observation pass and the output writer apart. The
// whole run is reported as the best and the median of the repeats; day200 against day100 from
// pairs of runs.
// Every figure is printed on a line of its own.
#include <getopt.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cli/cli.hpp"
#include "output/writer.hpp"
#include "records/fields.hpp"
#include "records/runstate.hpp"
#include "records/units.hpp"
#include "rinex/loadlist.hpp"
#include "rinex/obsread.hpp"
#include "tables/tables.hpp"

namespace fs = std::filesystem;
namespace cli = obsq::cli;
using Clock = std::chrono::steady_clock;

namespace {

struct Scenario {
  const char* name;
  const char* data;  // folder of generated data
  int stations;
  int epochs;
  int start, stop, step;
};

const Scenario kScenarios[] = {
    {"small", "small", 3, 120, 0, 86400, 30},         {"day50", "day50", 50, 2880, 0, 86400, 30},
    {"day100", "day100", 100, 2880, 0, 86400, 30},    {"day200", "day200", 200, 2880, 0, 86400, 30},
    {"decimate", "day100", 100, 2880, 0, 86400, 300},
};

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

uint64_t fnv1a(const fs::path& p, uint64_t& values) {
  std::ifstream in(p, std::ios::binary);
  std::vector<char> buf(1 << 20);
  uint64_t h = 1469598103934665603ULL;
  values = 0;
  bool line_start = true;
  size_t line_len = 0;
  bool o_line = false;
  while (in) {
    in.read(buf.data(), static_cast<std::streamsize>(buf.size()));
    const std::streamsize n = in.gcount();
    for (std::streamsize i = 0; i < n; ++i) {
      const char c = buf[static_cast<size_t>(i)];
      h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
      if (line_start) o_line = c == 'o';
      line_start = false;
      ++line_len;
      if (c == '\n') {
        if (o_line) values += (line_len - 3) / 15;  // "o" + n x 15 + CR LF
        line_start = true;
        line_len = 0;
      }
    }
  }
  return h;
}

uint64_t folder_bytes(const fs::path& dir) {
  uint64_t n = 0;
  for (const auto& e : fs::directory_iterator(dir))
    if (e.is_regular_file() && e.path().filename() != "list.txt" &&
        e.path().filename() != "obsquilt.txt")
      n += e.file_size();
  return n;
}

// The middle of the figures (of the two middle ones when their number is even); sorts them.
double median(std::vector<double>& v) {
  std::sort(v.begin(), v.end());
  const size_t mid = v.size() / 2;
  return v.size() % 2 ? v[mid] : (v[mid - 1] + v[mid]) / 2;
}

void figure(const char* scenario, const char* what, double v, const char* unit) {
  std::printf("%-9s %-28s %12.3f %s\n", scenario, what, v, unit);
  std::fflush(stdout);
}

struct Whole {
  double seconds;
  double peak_mb;
  int status;
};

// The real binary, as a user runs it, with ENTER waiting on its input.
Whole run_binary(const fs::path& data, const fs::path& program, const Scenario& sc) {
  const auto t0 = Clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(data.c_str()) != 0) ::_exit(126);
    int keys[2];
    if (::pipe(keys) != 0 || ::write(keys[1], "\n", 1) != 1) ::_exit(126);
    ::close(keys[1]);
    ::dup2(keys[0], STDIN_FILENO);
    FILE* out = std::freopen("/dev/null", "w", stdout);
    (void)out;
    const std::string bin = program.string();
    ::execl(bin.c_str(), bin.c_str(), std::to_string(sc.start).c_str(),
            std::to_string(sc.stop).c_str(), std::to_string(sc.step).c_str(), nullptr);
    ::_exit(127);
  }
  int status = 0;
  struct rusage ru {};
  ::wait4(pid, &status, 0, &ru);
  return {seconds_since(t0), static_cast<double>(ru.ru_maxrss) / 1024.0,
          WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

struct Stages {
  double scan, pass, write;
  int32_t stored;
  uint64_t sum;
};

// The stages in-process, timed apart, in a child of their own so that this process stays small
// (a child's peak memory counts what it was forked with).
bool run_stages(const fs::path& data, const Scenario& sc, Stages& st) {
  int fds[2];
  if (::pipe(fds) != 0) return false;
  if (::fork() == 0) {
    ::close(fds[0]);
    fs::current_path(data);
    obsq::reset_run_state();
    FILE* devnull = std::fopen("/dev/null", "w");
    obsq::out_unit(obsq::kConsoleUnit).attach(::fileno(devnull), "", true);
    obsq::out_unit(obsq::kOutputUnit).open("obsquilt.txt");
    obsq::in_unit(obsq::kListUnit).open("list.txt");
    auto t = Clock::now();
    obsq::loadlist(obsq::kListUnit, obsq::kRinexUnit);
    st.scan = seconds_since(t);
    int32_t tmin = 0, tmax = 0;
    t = Clock::now();
    obsq::storeobs(obsq::kRinexUnit, sc.start, sc.stop, sc.step, tmin, tmax);
    st.pass = seconds_since(t);
    obsq::numlng(st.stored);
    t = Clock::now();
    obsq::dump1(obsq::kOutputUnit, tmin, tmax, sc.step);
    obsq::dump2(obsq::kOutputUnit, tmin, tmax, sc.step);
    obsq::out_unit(obsq::kOutputUnit).close();
    st.write = seconds_since(t);
    uint64_t v = 0;
    st.sum = fnv1a(data / "obsquilt.txt", v);
    if (::write(fds[1], &st, sizeof st) != static_cast<ssize_t>(sizeof st)) ::_exit(1);
    ::_exit(0);
  }
  ::close(fds[1]);
  const bool got = ::read(fds[0], &st, sizeof st) == static_cast<ssize_t>(sizeof st);
  ::close(fds[0]);
  ::wait(nullptr);
  return got;
}

constexpr const char* kUsage =
    "Usage: bench-run [OPTION]... [SCENARIO]...\n"
    "Time complete runs of obsquilt on generated network days and print one figure a line.\n"
    "Scenarios: small, day50, day100, decimate, day200 (all of them when none is named).\n"
    "\n"
    "      --scratch DIR   folder of the generated data (default ./bench-scratch)\n"
    "      --bin DIR       take obsquilt and obsquilt-simulate from DIR (default: this\n"
    "                      build tree's)\n"
    "      --repeat N      runs per scenario, the best one reported (default 1)\n"
    "  -h, --help          show this help and exit\n"
    "  -V, --version       show the version and exit\n";

int bench(int argc, char** argv) {
  fs::path scratch = "bench-scratch";
  fs::path obsquilt = OBSQUILT_BIN;
  fs::path simulate = OBSQUILT_SIMULATE;
  int repeat = 1;
  enum { kScratch = 256, kBin, kRepeat };
  static const option longopts[] = {{"scratch", required_argument, nullptr, kScratch},
                                    {"bin", required_argument, nullptr, kBin},
                                    {"repeat", required_argument, nullptr, kRepeat},
                                    {"help", no_argument, nullptr, 'h'},
                                    {"version", no_argument, nullptr, 'V'},
                                    {nullptr, 0, nullptr, 0}};
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":hV", longopts, nullptr)) != -1) {
    switch (c) {
      case kScratch: scratch = optarg; break;
      case kBin:
        obsquilt = fs::path(optarg) / "obsquilt";
        simulate = fs::path(optarg) / "obsquilt-simulate";
        break;
      case kRepeat: {
        char* end = nullptr;
        errno = 0;
        const long n = std::strtol(optarg, &end, 10);
        if (end == optarg || *end != '\0' || errno != 0 || n < 1 || n > 1000)
          throw cli::UsageError{std::string("invalid value '") + optarg +
                                "' for --repeat (1 to 1000)"};
        repeat = static_cast<int>(n);
        break;
      }
      case 'h': std::fputs(kUsage, stdout); return cli::kOk;
      case 'V': cli::print_version(); return cli::kOk;
      case ':':
        throw cli::UsageError{std::string("option '") + argv[optind - 1] + "' needs a value"};
      default: throw cli::UsageError{std::string("unknown option '") + argv[optind - 1] + "'"};
    }
  }
  std::vector<const Scenario*> wanted;
  for (int i = optind; i < argc; ++i) {
    const Scenario* sc = nullptr;
    for (const Scenario& s : kScenarios)
      if (std::strcmp(argv[i], s.name) == 0) sc = &s;
    if (sc == nullptr) throw cli::UsageError{std::string("unknown scenario '") + argv[i] + "'"};
    wanted.push_back(sc);
  }
  if (wanted.empty())
    for (const char* name : {"small", "day50", "day100", "decimate", "day200"})
      for (const Scenario& s : kScenarios)
        if (std::strcmp(name, s.name) == 0) wanted.push_back(&s);
  for (const fs::path& p : {obsquilt, simulate})
    if (::access(p.c_str(), X_OK) != 0)
      throw cli::Failure{p.string() + ": " + std::strerror(errno)};
  scratch = fs::absolute(scratch);
  obsquilt = fs::absolute(obsquilt);
  simulate = fs::absolute(simulate);
  fs::create_directories(scratch);

  const Scenario* small_day = nullptr;  // day100 and day200, when both are asked for
  const Scenario* big_day = nullptr;
  for (const Scenario* sc : wanted) {
    const fs::path data = scratch / sc->data;
    if (!fs::exists(data / "list.txt")) {
      const std::string cmd = simulate.string() + " " + data.string() + " --stations " +
                              std::to_string(sc->stations) + " --epochs " +
                              std::to_string(sc->epochs) + " --seed 7";
      if (std::system(cmd.c_str()) != 0) throw cli::Failure{"could not generate " + data.string()};
    }
    const double input_mb = static_cast<double>(folder_bytes(data)) / 1e6;

    // The best of the repeats: on a shared machine the minimum is the least disturbed figure.
    Whole whole{1e30, 0, 0};
    Stages st{1e30, 1e30, 1e30, 0, 0};
    std::vector<double> walls;
    for (int r = 0; r < std::max(1, repeat); ++r) {
      const Whole w = run_binary(data, obsquilt, *sc);
      walls.push_back(w.seconds);
      whole.seconds = std::min(whole.seconds, w.seconds);
      whole.peak_mb = std::max(whole.peak_mb, w.peak_mb);
      whole.status = w.status;
      Stages s{};
      if (!run_stages(data, *sc, s))
        throw cli::Failure{"the in-process run of " + std::string(sc->name) + " failed"};
      st.scan = std::min(st.scan, s.scan);
      st.pass = std::min(st.pass, s.pass);
      st.write = std::min(st.write, s.write);
      st.stored = s.stored;
      st.sum = s.sum;
    }
    uint64_t values = 0;
    const uint64_t sum = fnv1a(data / "obsquilt.txt", values);
    const double output_mb = static_cast<double>(fs::file_size(data / "obsquilt.txt")) / 1e6;

    const char* n = sc->name;
    std::printf("%-9s %-28s %d %d %d (exit %d, best of %d)\n", n, "window", sc->start, sc->stop,
                sc->step, whole.status, std::max(1, repeat));
    figure(n, "input", input_mb, "MB");
    figure(n, "output", output_mb, "MB");
    figure(n, "values stored", st.stored / 1e6, "M");
    figure(n, "values written", static_cast<double>(values) / 1e6, "M");
    figure(n, "header scan", st.scan, "s");
    figure(n, "observation pass", st.pass, "s");
    figure(n, "output writer", st.write, "s");
    figure(n, "whole run", whole.seconds, "s");
    // The median says what a user sees on an ordinary run; the best says what the code can do.
    figure(n, "whole run, median", median(walls), "s");
    figure(n, "input rate (obs pass)", input_mb / st.pass, "MB/s");
    figure(n, "values written per second", static_cast<double>(values) / st.write / 1e6, "M/s");
    figure(n, "peak resident memory", whole.peak_mb, "MB");
    std::printf("%-9s %-28s %016llx%s\n", n, "output checksum",
                static_cast<unsigned long long>(sum),
                sum == st.sum ? "" : " (in-process run differs!)");
    std::fflush(stdout);
    if (std::strcmp(n, "day100") == 0) small_day = sc;
    if (std::strcmp(n, "day200") == 0) big_day = sc;
  }
  // How far from linear the merge grows: twice the stations should cost twice the time. The
  // two days run in turn, one pair after the other, so that both meet the machine in the same
  // state; the median of the pairs' ratios is the figure, the spread says how far to trust it.
  if (small_day != nullptr && big_day != nullptr) {
    std::vector<double> ratios;
    for (int r = 0; r < std::max(1, repeat); ++r) {
      const double t100 = run_binary(scratch / small_day->data, obsquilt, *small_day).seconds;
      const double t200 = run_binary(scratch / big_day->data, obsquilt, *big_day).seconds;
      ratios.push_back(t200 / t100);
    }
    figure("day200", "/ day100, paired, median", median(ratios), "");
    figure("day200", "/ day100, paired, lowest", ratios.front(), "");
    figure("day200", "/ day100, paired, highest", ratios.back(), "");
  }
  return cli::kOk;
}

}  // namespace

int main(int argc, char** argv) { return cli::run_main("bench-run", argc, argv, bench); }
