// bench-report: times obsquilt-report on the merged output of a generated 200-station day.
//
//   bench-report [--scratch DIR] [--repeat N] [--stations N]
//
// The day (N stations, default 200, 2880 epochs at 30 s, GPS + GLONASS, 7 types) is written by
// obsquilt-simulate into SCRATCH/dayN (default ./bench-scratch, the folder bench-run uses) and
// merged by obsquilt with the window 0 86400 30, once; both are reused. Then the real
// obsquilt-report runs as a child process (wall time, CPU time, peak resident memory, page size),
// and its two stages run in-process to time them apart: reading obsquilt.txt and writing the page.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "report/page.hpp"
#include "report/summary.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

void figure(const char* what, double v, const char* unit) {
  std::printf("%-34s %12.3f %s\n", what, v, unit);
  std::fflush(stdout);
}

int shell(const std::string& cmd) {
  std::fprintf(stderr, "bench-report: %s\n", cmd.c_str());
  return std::system(cmd.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  fs::path scratch = "bench-scratch";
  int repeat = 3, stations = 200;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--scratch") == 0 && i + 1 < argc)
      scratch = argv[++i];
    else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc)
      repeat = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--stations") == 0 && i + 1 < argc)
      stations = std::atoi(argv[++i]);
    else {
      std::fprintf(stderr, "usage: bench-report [--scratch DIR] [--repeat N] [--stations N]\n");
      return 2;
    }
  }
  const fs::path data = fs::absolute(scratch) / ("day" + std::to_string(stations));
  const fs::path quilt = data / "obsquilt.txt";
  if (!fs::exists(data / "list.txt") &&
      shell(std::string(OBSQUILT_SIMULATE) + " " + data.string() + " --stations " +
            std::to_string(stations) + " --epochs 2880 >/dev/null") != 0)
    return 2;
  if (!fs::exists(quilt) &&
      shell("cd " + data.string() + " && echo | " + OBSQUILT_BIN + " 0 86400 30 >/dev/null") != 0)
    return 2;
  const fs::path html = data / "obsquilt-report.html";
  figure("input size", static_cast<double>(fs::file_size(quilt)) / 1e6, "MB");

  for (int r = 0; r < repeat; ++r) {
    const std::string bin = OBSQUILT_REPORT;
    const auto t0 = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::execl(bin.c_str(), bin.c_str(), "--force", "-o", html.c_str(), quilt.c_str(), nullptr);
      ::_exit(127);
    }
    int status = 0;
    struct rusage ru {};
    ::wait4(pid, &status, 0, &ru);
    const double wall = seconds_since(t0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) > 1) {
      std::fprintf(stderr, "bench-report: obsquilt-report failed\n");
      return 2;
    }
    const double cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
                       static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    figure("obsquilt-report wall time", wall, "s");
    figure("obsquilt-report cpu time", cpu, "s");
    figure("obsquilt-report peak memory", static_cast<double>(ru.ru_maxrss) / 1024.0, "MB");
  }
  figure("page size", static_cast<double>(fs::file_size(html)) / 1e6, "MB");

  auto t = Clock::now();
  obsq::quilt::Reader reader(quilt.string());
  const obsq::report::Day day = obsq::report::read_day(reader);
  figure("stage: read obsquilt.txt", seconds_since(t), "s");
  figure("read speed", static_cast<double>(day.bytes) / 1e6 / seconds_since(t), "MB/s");
  t = Clock::now();
  const std::string page = obsq::report::page(day, {quilt.string(), 10});
  figure("stage: write the page", seconds_since(t), "s");
  return 0;
}
