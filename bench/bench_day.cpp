// bench-day: a network day beyond one run's limits, end to end through obsquilt-day.
//
//   bench-day [--scratch DIR] [--stations N] [--epochs N] [--jobs N] [--keep]
//
// The day (default 1,200 stations, 2880 epochs at 30 s, GPS and GLONASS, 7 types) is written
// by obsquilt-simulate into DIR/daybench-N (default ./bench-scratch) and reused. Then the steps
// of obsquilt-day, each as a child process: prep, plan (its summary printed from plan.json), the
// runs
// (--jobs at once, default 2) and finish (NetCDF and page). Per step: wall time and the peak
// resident memory of its largest process; then the total and the sizes written. The day's
// folder is removed at the end unless --keep.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "child.hpp"
#include "day/plan.hpp"

namespace fs = std::filesystem;

namespace {

using Step = obsq::bench::Child;

Step run(const std::vector<std::string>& args) { return obsq::bench::run_child(args); }

uint64_t bytes_under(const fs::path& p) {
  uint64_t n = 0;
  for (const auto& e : fs::recursive_directory_iterator(p))
    if (e.is_regular_file()) n += e.file_size();
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  fs::path scratch = "bench-scratch";
  int stations = 1200, epochs = 2880, jobs = 2;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    const bool value = i + 1 < argc;
    if (std::strcmp(argv[i], "--scratch") == 0 && value)
      scratch = argv[++i];
    else if (std::strcmp(argv[i], "--stations") == 0 && value)
      stations = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--epochs") == 0 && value)
      epochs = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--jobs") == 0 && value)
      jobs = std::atoi(argv[++i]);
    else if (std::strcmp(argv[i], "--keep") == 0)
      keep = true;
    else
      stations = -1;
    if (stations < 1 || stations > 9999 || epochs < 1 || jobs < 1) {
      std::fprintf(stderr,
                   "usage: bench-day [--scratch DIR] [--stations N] [--epochs N] [--jobs N] "
                   "[--keep]\n");
      return 2;
    }
  }
  const fs::path base = fs::absolute(scratch);
  const fs::path sim =
      base / ("daybench-" + std::to_string(stations) + "x" + std::to_string(epochs));
  const fs::path out = base / "daybench-out";
  if (!fs::exists(sim / "list.txt")) {
    const Step s = run({OBSQUILT_SIMULATE, "--stations", std::to_string(stations), "--epochs",
                        std::to_string(epochs), "--seed", "11", sim.string()});
    if (s.status != 0) return 1;
    std::printf("generated %d stations x %d epochs in %.1f s: %.0f MB\n", stations, epochs,
                s.seconds, static_cast<double>(bytes_under(sim)) / 1e6);
  }
  std::vector<std::string> files;
  for (const auto& e : fs::directory_iterator(sim))
    if (e.path().extension() == ".26o") files.push_back(e.path().string());
  std::sort(files.begin(), files.end());
  fs::remove_all(out);

  const std::string j = std::to_string(jobs), o = out.string();
  std::vector<std::string> prep = {OBSQUILT_DAY, "prep", "-o", o};
  prep.insert(prep.end(), files.begin(), files.end());
  struct Named {
    const char* name;
    std::vector<std::string> args;
  };
  const std::vector<Named> steps = {{"prep", prep},
                                    {"plan", {OBSQUILT_DAY, "plan", "-o", o}},
                                    {"runs", {OBSQUILT_DAY, "run", "-j", j, "-o", o}},
                                    {"finish", {OBSQUILT_DAY, "finish", "-o", o}}};
  double total = 0, peak = 0;
  std::vector<std::pair<const char*, Step>> done;
  for (const Named& s : steps) {
    const Step r = run(s.args);
    if (r.status > 1) {
      std::fprintf(stderr, "bench-day: obsquilt-day %s failed (exit %d)\n", s.name, r.status);
      return 1;
    }
    done.emplace_back(s.name, r);
    total += r.seconds;
    peak = std::max(peak, r.peak_mb);
  }
  std::ifstream plan(out / "plan.json");
  const std::string text((std::istreambuf_iterator<char>(plan)), std::istreambuf_iterator<char>());
  std::fputs(obsq::day::summary(obsq::day::read_plan(text)).c_str(), stdout);
  std::printf("day of %d stations x %d epochs, %d runs at once\n", stations, epochs, jobs);
  for (const auto& [name, r] : done)
    std::printf("%-8s %10.1f s   peak %8.0f MB\n", name, r.seconds, r.peak_mb);
  std::printf("%-8s %10.1f s   peak %8.0f MB\n", "total", total, peak);
  uint64_t runs = 0, nc = 0, html = 0;
  runs = bytes_under(out / "runs");
  for (const auto& e : fs::directory_iterator(out)) {
    if (e.path().extension() == ".nc") nc = e.file_size();
    if (e.path().extension() == ".html") html = e.file_size();
  }
  std::printf("runs' output %.0f MB, NetCDF %.0f MB, page %.1f MB\n",
              static_cast<double>(runs) / 1e6, static_cast<double>(nc) / 1e6,
              static_cast<double>(html) / 1e6);
  if (!keep) fs::remove_all(out);
  return 0;
}
