// bench-run: times complete runs of obsquilt on generated network days.
//
//   bench-run [--scratch DIR] [--bin DIR] [SCENARIO ...]
//
// Scenarios: small (3 stations, 1 hour), day50, day100, day200 (stations x one day at 30 s,
// GPS + GLONASS, C1 P1 P2 L1 L2 S1 S2, window 0 86400 30) and decimate (day100's data read with
// step 300). The data are written by obsquilt-simulate into the scratch folder (default
// ./bench-scratch) once and reused. For each scenario the real binary runs as a child process
// (whole-run wall time, peak resident memory, output checksum), then the stages run in-process
// once more to time the header scan, the observation pass and the output writer apart.
// Every figure is printed on a line of its own.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "driver/records.hpp"
#include "driver/runstate.hpp"
#include "driver/units.hpp"
#include "output/writer.hpp"
#include "rinex/loadlist.hpp"
#include "rinex/obsread.hpp"
#include "tables/tables.hpp"

namespace fs = std::filesystem;
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
    {"small", "small", 3, 120, 0, 86400, 30},
    {"day50", "day50", 50, 2880, 0, 86400, 30},
    {"day100", "day100", 100, 2880, 0, 86400, 30},
    {"day200", "day200", 200, 2880, 0, 86400, 30},
    {"decimate", "day100", 100, 2880, 0, 86400, 300},
};

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

int run(const std::string& cmd) { return std::system(cmd.c_str()); }

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

void figure(const char* scenario, const char* what, double v, const char* unit) {
  std::printf("%-9s %-28s %12.3f %s\n", scenario, what, v, unit);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  fs::path scratch = "bench-scratch";
  fs::path bindir = fs::path(argv[0]).parent_path();
  std::vector<std::string> wanted;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--scratch") == 0 && i + 1 < argc) scratch = argv[++i];
    else if (std::strcmp(argv[i], "--bin") == 0 && i + 1 < argc) bindir = argv[++i];
    else wanted.emplace_back(argv[i]);
  }
  if (wanted.empty()) wanted = {"small", "day50", "day100", "decimate", "day200"};
  scratch = fs::absolute(scratch);
  bindir = fs::absolute(bindir);
  fs::create_directories(scratch);

  for (const std::string& name : wanted) {
    const Scenario* sc = nullptr;
    for (const Scenario& s : kScenarios)
      if (name == s.name) sc = &s;
    if (sc == nullptr) {
      std::fprintf(stderr, "unknown scenario %s\n", name.c_str());
      return 2;
    }
    const fs::path data = scratch / sc->data;
    if (!fs::exists(data / "list.txt")) {
      const std::string cmd = (bindir / "obsquilt-simulate").string() + " " + data.string() +
                              " --stations " + std::to_string(sc->stations) + " --epochs " +
                              std::to_string(sc->epochs) + " --seed 7";
      if (run(cmd) != 0) return 1;
    }
    const std::string args = std::to_string(sc->start) + " " + std::to_string(sc->stop) + " " +
                             std::to_string(sc->step);
    const double input_mb = static_cast<double>(folder_bytes(data)) / 1e6;

    // The real binary, as a user runs it.
    const auto t0 = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
      if (::chdir(data.c_str()) != 0) ::_exit(126);
      // The ENTER the program waits for at the end, then its console thrown away.
      int keys[2];
      if (::pipe(keys) != 0 || ::write(keys[1], "\n", 1) != 1) ::_exit(126);
      ::close(keys[1]);
      ::dup2(keys[0], STDIN_FILENO);
      FILE* out = std::freopen("/dev/null", "w", stdout);
      (void)out;
      const std::string bin = (bindir / "obsquilt").string();
      ::execl(bin.c_str(), bin.c_str(), std::to_string(sc->start).c_str(),
              std::to_string(sc->stop).c_str(), std::to_string(sc->step).c_str(), nullptr);
      ::_exit(127);
    }
    int status = 0;
    struct rusage ru {};
    ::wait4(pid, &status, 0, &ru);
    const double whole = seconds_since(t0);
    uint64_t values = 0;
    const uint64_t sum = fnv1a(data / "obsquilt.txt", values);
    const double output_mb = static_cast<double>(fs::file_size(data / "obsquilt.txt")) / 1e6;

    // The stages in-process, timed apart.
    fs::current_path(data);
    obsq::reset_run_state();
    const FILE* devnull = std::fopen("/dev/null", "w");
    obsq::out_unit(obsq::kConsoleUnit).attach(::fileno(const_cast<FILE*>(devnull)), "", true);
    obsq::out_unit(obsq::kOutputUnit).open("obsquilt.txt");
    obsq::in_unit(obsq::kListUnit).open("list.txt");
    auto t = Clock::now();
    obsq::loadlist(obsq::kListUnit, obsq::kRinexUnit);
    const double scan = seconds_since(t);
    int32_t tmin = 0, tmax = 0;
    t = Clock::now();
    obsq::storeobs(obsq::kRinexUnit, sc->start, sc->stop, sc->step, tmin, tmax);
    const double pass = seconds_since(t);
    int32_t stored = 0;
    obsq::numlng(stored);
    t = Clock::now();
    obsq::dump1(obsq::kOutputUnit, tmin, tmax, sc->step);
    obsq::dump2(obsq::kOutputUnit, tmin, tmax, sc->step);
    obsq::out_unit(obsq::kOutputUnit).close();
    const double write = seconds_since(t);
    obsq::in_unit(obsq::kListUnit).close();
    uint64_t values2 = 0;
    const uint64_t sum2 = fnv1a(data / "obsquilt.txt", values2);
    fs::current_path(scratch);

    const char* n = sc->name;
    std::printf("%-9s %-28s %s (exit %d)\n", n, "window", args.c_str(),
                WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    figure(n, "input", input_mb, "MB");
    figure(n, "output", output_mb, "MB");
    figure(n, "values stored", stored / 1e6, "M");
    figure(n, "values written", static_cast<double>(values) / 1e6, "M");
    figure(n, "header scan", scan, "s");
    figure(n, "observation pass", pass, "s");
    figure(n, "output writer", write, "s");
    figure(n, "whole run", whole, "s");
    figure(n, "input rate (obs pass)", input_mb / pass, "MB/s");
    figure(n, "values written per second", static_cast<double>(values) / write / 1e6, "M/s");
    figure(n, "peak resident memory", static_cast<double>(ru.ru_maxrss) / 1024.0, "MB");
    std::printf("%-9s %-28s %016llx%s\n", n, "output checksum", static_cast<unsigned long long>(sum),
                sum == sum2 ? "" : " (in-process run differs!)");
    std::fflush(stdout);
  }
  return 0;
}
