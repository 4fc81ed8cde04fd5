// bench-export: times the reader of obsquilt.txt and obsquilt-export on a generated network day.
//
//   bench-export [--scratch DIR] [--repeat N] [--stations N]
//
// The day (default 100 stations, 2880 epochs at 30 s, GPS + GLONASS, 7 types) is written by
// obsquilt-simulate into DIR/dayN (default ./bench-scratch, shared with bench-run) and merged
// by obsquilt with "0 86400 30" once; both are reused. Then, best of N: the reader alone
// in-process (MB/s), the NetCDF export and the CSV export as child processes (wall time, peak
// resident memory, output size). Every figure is printed on a line of its own.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "quiltfile/quiltfile.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Child {
  double seconds;
  double peak_mb;
  int status;
};

Child run(const std::vector<std::string>& args) {
  const auto t0 = Clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  struct rusage ru {};
  ::wait4(pid, &status, 0, &ru);
  return {std::chrono::duration<double>(Clock::now() - t0).count(),
          static_cast<double>(ru.ru_maxrss) / 1024.0, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

void figure(const char* what, double v, const char* unit) {
  std::printf("%-30s %12.2f %s\n", what, v, unit);
}

}  // namespace

int main(int argc, char** argv) {
  fs::path scratch = "bench-scratch";
  int repeat = 1, stations = 100;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--scratch") == 0 && i + 1 < argc)
      scratch = argv[++i];
    else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc)
      repeat = std::max(1, std::atoi(argv[++i]));
    else if (std::strcmp(argv[i], "--stations") == 0 && i + 1 < argc)
      stations = std::atoi(argv[++i]);
    else {
      std::fprintf(stderr, "usage: bench-export [--scratch DIR] [--repeat N] [--stations N]\n");
      return 2;
    }
  }
  const fs::path data = fs::absolute(scratch) / ("day" + std::to_string(stations));
  const fs::path txt = data / "obsquilt.txt";
  if (!fs::exists(data / "list.txt")) {
    const std::string cmd = std::string(OBSQUILT_SIMULATE) + " " + data.string() + " --stations " +
                            std::to_string(stations) + " --epochs 2880 --seed 7 > /dev/null";
    if (std::system(cmd.c_str()) != 0) return 1;
  }
  if (!fs::exists(txt)) {
    const std::string cmd =
        "cd " + data.string() + " && echo | " OBSQUILT_BIN " 0 86400 30 > /dev/null";
    if (std::system(cmd.c_str()) != 0) return 1;
  }
  const double mb = static_cast<double>(fs::file_size(txt)) / 1e6;

  double read_s = 1e30;
  uint64_t values = 0;
  for (int r = 0; r < repeat; ++r) {
    const auto t0 = Clock::now();
    obsq::quilt::Reader rd(txt.string());
    obsq::quilt::Epoch ep;
    values = 0;
    while (rd.next(ep))
      for (const auto& b : ep.blocks) values += b.values.size();
    read_s = std::min(read_s, std::chrono::duration<double>(Clock::now() - t0).count());
  }

  const fs::path nc = data / "bench.nc", csv = data / "bench.csv";
  Child ncd{1e30, 0, 0}, csvd{1e30, 0, 0};
  for (int r = 0; r < repeat; ++r) {
    const Child a = run({OBSQUILT_EXPORT, "--force", "-o", nc.string(), txt.string()});
    const Child b = run({OBSQUILT_EXPORT, "--force", "--csv", "-o", csv.string(), txt.string()});
    if (a.status != 0 || b.status != 0) {
      std::fprintf(stderr, "obsquilt-export failed (exit %d, %d)\n", a.status, b.status);
      return 1;
    }
    ncd = {std::min(ncd.seconds, a.seconds), std::max(ncd.peak_mb, a.peak_mb), 0};
    csvd = {std::min(csvd.seconds, b.seconds), std::max(csvd.peak_mb, b.peak_mb), 0};
  }
  std::printf("day of %d stations, best of %d\n", stations, repeat);
  figure("obsquilt.txt", mb, "MB");
  figure("matrix elements read", static_cast<double>(values) / 1e6, "M");
  figure("reader", read_s, "s");
  figure("reader rate", mb / read_s, "MB/s");
  figure("NetCDF export (2 passes)", ncd.seconds, "s");
  figure("NetCDF export rate", mb / ncd.seconds, "MB/s");
  figure("NetCDF peak resident memory", ncd.peak_mb, "MB");
  figure("NetCDF file", static_cast<double>(fs::file_size(nc)) / 1e6, "MB");
  figure("CSV export", csvd.seconds, "s");
  figure("CSV export rate", mb / csvd.seconds, "MB/s");
  figure("CSV peak resident memory", csvd.peak_mb, "MB");
  figure("CSV file", static_cast<double>(fs::file_size(csv)) / 1e6, "MB");
  fs::remove(nc);
  fs::remove(csv);
  return 0;
}
