// bench-path: the whole path of a network day as a user runs it, from archive files to the
// NetCDF file and the report page, each step timed.
//
//   bench-path [--scratch DIR] [--repeat N] [--stations N] [--bin DIR]
//
// Once (reused after): obsquilt-simulate writes the day (default 100 stations, 2880 epochs at
// 30 s, seed 7) into DIR/pathN/compact-gz (default ./bench-scratch) as gzipped compact RINEX,
// as archives publish them (with a simulator without --compact: plain RINEX, gzipped, in
// DIR/pathN/plain-gz). Then N times: obsquilt-prep unwraps the archive into a fresh work
// folder, obsquilt-check checks it, obsquilt merges it (0 86400 30), obsquilt-export writes the
// NetCDF file and obsquilt-report the page. Prints each step's best wall and CPU time, the best
// total, and the total against the merge alone; then the export and the report once more side by
// side, and the total that way; then the export writing the page as well from its one read
// (--page), as obsquilt-day's finish runs it, and the total that way, also as the median of the
// rounds' own ratios (each round's total against its own merge). Last, obsquilt-day takes
// the same archive files through its own steps (prep; a plan, whose count of the day replaces
// the full check; the merge; the finish), the path its workflow runs: its best total against the
// merge. --bin takes the programs from another folder (an older build, for
// comparison).
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "child.hpp"

namespace fs = std::filesystem;
using obsq::bench::Child;

namespace {

void figure(const std::string& what, double v, const char* unit) {
  std::printf("%-32s %12.3f %s\n", what.c_str(), v, unit);
}

bool offers(const std::string& program, const char* option) {
  std::string help;
  if (FILE* p = ::popen((program + " --help 2>&1").c_str(), "r")) {
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) help.append(buf, n);
    ::pclose(p);
  }
  return help.find(option) != std::string::npos;
}

}  // namespace

int main(int argc, char** argv) {
  obsq::bench::DayOptions opt;
  if (!obsq::bench::read_day_options(
          argc, argv, "--bin",
          "usage: bench-path [--scratch DIR] [--repeat N] [--stations N] [--bin DIR]\n", opt))
    return 2;
  const fs::path scratch = opt.scratch;
  const std::string bin = opt.extra;
  const int repeat = opt.repeat, stations = opt.stations;
  const auto program = [&](const char* built, const char* name) {
    return bin.empty() ? std::string(built) : (fs::path(bin) / name).string();
  };
  const std::string simulate = program(OBSQUILT_SIMULATE, "obsquilt-simulate"),
                    prep = program(OBSQUILT_PREP, "obsquilt-prep"),
                    check = program(OBSQUILT_CHECK, "obsquilt-check"),
                    merge = program(OBSQUILT_BIN, "obsquilt"),
                    exporter = program(OBSQUILT_EXPORT, "obsquilt-export"),
                    report = program(OBSQUILT_REPORT, "obsquilt-report");

  const fs::path top = fs::absolute(scratch) / ("path" + std::to_string(stations));
  const bool compact = offers(simulate, "--compact") && offers(simulate, "--gzip");
  const fs::path archive = top / (compact ? "compact-gz" : "plain-gz"), work = top / "work";
  if (!fs::exists(archive / "done")) {
    fs::remove_all(archive);
    const std::string cmd = simulate + " " + archive.string() + " --stations " +
                            std::to_string(stations) + " --epochs 2880 --seed 7" +
                            (compact ? " --compact --gzip" : "") + " > /dev/null && cd " +
                            archive.string() + " && rm -f list.txt" +
                            (compact ? "" : " && gzip -f *") + " && touch done";
    if (std::system(cmd.c_str()) != 0) return 1;
  }
  std::vector<std::string> files;
  uint64_t bytes = 0;
  for (const auto& f : fs::directory_iterator(archive))
    if (f.path().extension() == ".gz") files.push_back(f.path().string()), bytes += f.file_size();
  std::sort(files.begin(), files.end());

  const double load_before = obsq::bench::load_average();
  const char* names[] = {"prep", "check", "merge", "export", "report"};
  Child best[5], finish, paged, day_run;
  double best_total = 1e30, best_cpu = 1e30, best_day = 1e30, best_paged = 1e30;
  std::vector<double> paged_ratios;  // per round: the total with --page against its own merge
  const bool pages = offers(exporter, "--page");
#ifdef OBSQUILT_DAY
  const std::string day = program(OBSQUILT_DAY, "obsquilt-day");
  const fs::path day_out = top / "day";
#endif
  for (int r = 0; r < repeat; ++r) {
    // Each round starts clean: the last round's files removed and dirty pages written out before
    // the clock starts; within the round the steps follow each other as a user's do.
    fs::remove_all(work);
    ::sync();
    std::vector<std::string> prep_args = {prep, "--dir", work.string()};
    prep_args.insert(prep_args.end(), files.begin(), files.end());
    const std::string txt = (work / "obsquilt.txt").string();
    const std::vector<std::string> steps[5] = {
        prep_args,
        {check, "-q", "-C", work.string(), "0", "86400", "30"},
        {merge, "0", "86400", "30"},
        {exporter, "-o", (work / "obsquilt.nc").string(), txt},
        {report, "-o", (work / "obsquilt.html").string(), txt}};
    double total = 0, cpu = 0, this_run[5] = {};
    for (int s = 0; s < 5; ++s) {
      const Child c = obsq::bench::run_child(steps[s], s == 2 ? work.string() : "");
      if (c.status != 0) {
        std::fprintf(stderr, "bench-path: %s exited with %d\n", names[s], c.status);
        return 1;
      }
      obsq::bench::keep_best(best[s], c);
      this_run[s] = c.seconds;
      total += c.seconds, cpu += c.cpu;
    }
    best_total = std::min(best_total, total);
    best_cpu = std::min(best_cpu, cpu);
    // The export and the report again, side by side, into new files.
    fs::remove(work / "obsquilt.nc");
    fs::remove(work / "obsquilt.html");
    ::sync();
    const Child both = obsq::bench::run_side_by_side({steps[3], steps[4]});
    if (both.status != 0) {
      std::fprintf(stderr, "bench-path: export and report side by side exited with %d\n",
                   both.status);
      return 1;
    }
    obsq::bench::keep_best(finish, both);
    best_day = std::min(best_day, total - this_run[3] - this_run[4] + both.seconds);
    // The export writing the page as well, from its one read of the file.
    if (pages) {
      fs::remove(work / "obsquilt.nc");
      fs::remove(work / "obsquilt.html");
      ::sync();
      const Child one = obsq::bench::run_child({exporter, "-o", (work / "obsquilt.nc").string(),
                                                "--page", (work / "obsquilt.html").string(), txt});
      if (one.status != 0) {
        std::fprintf(stderr, "bench-path: export --page exited with %d\n", one.status);
        return 1;
      }
      obsq::bench::keep_best(paged, one);
      best_paged = std::min(best_paged, total - this_run[3] - this_run[4] + one.seconds);
      paged_ratios.push_back((total - this_run[3] - this_run[4] + one.seconds) / this_run[2]);
    }
#ifdef OBSQUILT_DAY
    fs::remove_all(day_out);
    ::sync();
    std::vector<std::string> day_args = {day, "-o", day_out.string()};
    day_args.insert(day_args.end(), files.begin(), files.end());
    const Child d = obsq::bench::run_child(day_args);
    if (d.status != 0) {
      std::fprintf(stderr, "bench-path: obsquilt-day exited with %d\n", d.status);
      return 1;
    }
    obsq::bench::keep_best(day_run, d);
#endif
  }
  std::printf(
      "day of %d stations from %zu %s files (%.1f MB), best of %d, load average %.2f "
      "before, %.2f after\n",
      stations, files.size(), compact ? "compact RINEX gzip" : "plain RINEX gzip",
      static_cast<double>(bytes) / 1e6, repeat, load_before, obsq::bench::load_average());
  for (int s = 0; s < 5; ++s) {
    figure(std::string(names[s]) + " wall", best[s].seconds, "s");
    figure(std::string(names[s]) + " CPU", best[s].cpu, "s");
  }
  figure("total wall (best run)", best_total, "s");
  figure("total CPU (best run)", best_cpu, "s");
  figure("total / merge (wall)", best_total / best[2].seconds, "");
  figure("export + report side by side wall", finish.seconds, "s");
  figure("export + report side by side CPU", finish.cpu, "s");
  figure("total so (best run)", best_day, "s");
  figure("total so / merge (wall)", best_day / best[2].seconds, "");
  if (pages) {
    figure("export --page wall", paged.seconds, "s");
    figure("export --page CPU", paged.cpu, "s");
    figure("total with --page (best run)", best_paged, "s");
    figure("total with --page / merge (wall)", best_paged / best[2].seconds, "");
    // The same, round by round: a step that met a slow moment of the machine counts in its
    // own round only, against that round's merge.
    std::sort(paged_ratios.begin(), paged_ratios.end());
    figure("  the same per round, median", paged_ratios[paged_ratios.size() / 2], "");
  }
#ifdef OBSQUILT_DAY
  figure("obsquilt-day wall", day_run.seconds, "s");
  figure("obsquilt-day CPU", day_run.cpu, "s");
  figure("obsquilt-day / merge (wall)", day_run.seconds / best[2].seconds, "");
  fs::remove_all(day_out);
#endif
  fs::remove_all(work);
  return 0;
}
