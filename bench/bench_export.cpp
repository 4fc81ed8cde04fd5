// bench-export: times the reader of obsquilt.txt and obsquilt-export on a generated network day,
// side by side with the merge that wrote it, and the two common reads of the NetCDF file.
//
//   bench-export [--scratch DIR] [--repeat N] [--stations N] [--baseline PROGRAM]
//
// The day (default 100 stations, 2880 epochs at 30 s, GPS + GLONASS) is written by
// obsquilt-simulate into DIR/dayN (default ./bench-scratch, shared with bench-run) and merged
// by obsquilt with "0 86400 30" once; both are reused. Then, best of N, the runs interleaved so
// that the machine's load falls on all alike: the merge, the NetCDF export and the CSV export
// as child processes (wall time, CPU time, peak resident memory, output size), and with
// --baseline another obsquilt-export (an older build) the same way; the reader alone in-process
// (MB/s); reading one receiver's time series and one epoch's matrix of every type back from
// the NetCDF file (and from the baseline's). Every figure is printed on a line of its own.
#include <netcdf.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "child.hpp"
#include "quiltfile/quiltfile.hpp"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using obsq::bench::Child;

namespace {

void figure(const char* what, double v, const char* unit) {
  std::printf("%-40s %12.3f %s\n", what, v, unit);
}

void child_figures(const std::string& what, const Child& c, const fs::path& out) {
  figure((what + " wall").c_str(), c.seconds, "s");
  figure((what + " CPU").c_str(), c.cpu, "s");
  figure((what + " peak resident memory").c_str(), c.peak_mb, "MB");
  figure((what + " file").c_str(), static_cast<double>(fs::file_size(out)) / 1e6, "MB");
}

struct Reads {
  double series = 1e30, matrix = 1e30;  // seconds, best of the repeats
};

// Reads receiver R/2's time series, then epoch E/2's matrix, of every type variable; the file
// opened anew for each, so that nothing is cached by the library between them.
void read_both(const fs::path& nc_path, Reads& best) {
  for (int which = 0; which < 2; ++which) {
    const auto t0 = Clock::now();
    int nc = -1, nvars = 0, d = -1;
    if (nc_open(nc_path.c_str(), NC_NOWRITE, &nc) != NC_NOERR) std::exit(1);
    size_t E = 0, R = 0, S = 0;
    nc_inq_dimid(nc, "epoch", &d), nc_inq_dimlen(nc, d, &E);
    nc_inq_dimid(nc, "receiver", &d), nc_inq_dimlen(nc, d, &R);
    nc_inq_dimid(nc, "satellite", &d), nc_inq_dimlen(nc, d, &S);
    nc_inq_nvars(nc, &nvars);
    std::vector<double> buf(std::max(E, R) * S);
    for (int v = 0; v < nvars; ++v) {
      if (nc_inq_att(nc, v, "observation_type", nullptr, nullptr) != NC_NOERR) continue;
      const size_t series_start[3] = {0, R / 2, 0}, series_count[3] = {E, 1, S};
      const size_t matrix_start[3] = {E / 2, 0, 0}, matrix_count[3] = {1, R, S};
      const int st = which == 0 ? nc_get_vara_double(nc, v, series_start, series_count, buf.data())
                                : nc_get_vara_double(nc, v, matrix_start, matrix_count, buf.data());
      if (st != NC_NOERR) std::exit(1);
    }
    nc_close(nc);
    double& b = which == 0 ? best.series : best.matrix;
    b = std::min(b, std::chrono::duration<double>(Clock::now() - t0).count());
  }
}

// read_both in a child process: the memory of the reads would count in the peak of every
// program started after them.
void time_reads(const fs::path& nc_path, Reads& best) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) std::exit(1);
  const pid_t pid = ::fork();
  if (pid == 0) {
    Reads r;
    read_both(nc_path, r);
    ::_exit(::write(pipe_fds[1], &r, sizeof r) == sizeof r ? 0 : 1);
  }
  ::close(pipe_fds[1]);
  Reads r;
  const bool got = ::read(pipe_fds[0], &r, sizeof r) == sizeof r;
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!got || status != 0) std::exit(1);
  best.series = std::min(best.series, r.series);
  best.matrix = std::min(best.matrix, r.matrix);
}

}  // namespace

int main(int argc, char** argv) {
  obsq::bench::DayOptions opt;
  if (!obsq::bench::read_day_options(argc, argv, "--baseline",
                                     "usage: bench-export [--scratch DIR] [--repeat N] "
                                     "[--stations N] [--baseline PROGRAM]\n",
                                     opt))
    return 2;
  const fs::path scratch = opt.scratch;
  const std::string baseline = opt.extra;
  const int repeat = opt.repeat, stations = opt.stations;
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
  const double load_before = obsq::bench::load_average();

  const fs::path nc = data / "bench.nc", csv = data / "bench.csv", base_nc = data / "base.nc",
                 base_csv = data / "base.csv";
  Child merge, ncd, csvd, base_ncd, base_csvd;
  Reads reads, base_reads;
  const auto check = [](const Child& c, const char* what) {
    if (c.status != 0) {
      std::fprintf(stderr, "%s failed (exit %d)\n", what, c.status);
      std::exit(1);
    }
    return c;
  };
  // Each export writes a new file, as a user's does: the old one is removed and the dirty pages
  // written out before the clock starts, so that no run pays for freeing an earlier one's
  // hundreds of megabytes.
  const auto fresh = [](const fs::path& p) {
    fs::remove(p);
    ::sync();
  };
  for (int r = 0; r < repeat; ++r) {
    // The merge writes obsquilt.txt anew, the same file each time.
    obsq::bench::keep_best(
        merge, check(obsq::bench::run_child({OBSQUILT_BIN, "0", "86400", "30"}, data.string()),
                     "obsquilt"));
    fresh(nc);
    obsq::bench::keep_best(
        ncd,
        check(obsq::bench::run_child({OBSQUILT_EXPORT, "--force", "-o", nc.string(), txt.string()}),
              "NetCDF"));
    if (!baseline.empty()) fresh(base_nc);
    if (!baseline.empty())
      obsq::bench::keep_best(
          base_ncd,
          check(obsq::bench::run_child({baseline, "--force", "-o", base_nc.string(), txt.string()}),
                "baseline"));
    fresh(csv);
    obsq::bench::keep_best(csvd, check(obsq::bench::run_child({OBSQUILT_EXPORT, "--force", "--csv",
                                                               "-o", csv.string(), txt.string()}),
                                       "CSV"));
    if (!baseline.empty()) fresh(base_csv);
    if (!baseline.empty())
      obsq::bench::keep_best(base_csvd,
                             check(obsq::bench::run_child({baseline, "--force", "--csv", "-o",
                                                           base_csv.string(), txt.string()}),
                                   "baseline CSV"));
    time_reads(nc, reads);
    if (!baseline.empty()) time_reads(base_nc, base_reads);
  }

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

  std::printf("day of %d stations, best of %d, load average %.2f before, %.2f after\n", stations,
              repeat, load_before, obsq::bench::load_average());
  figure("obsquilt.txt", mb, "MB");
  figure("matrix elements read", static_cast<double>(values) / 1e6, "M");
  figure("reader", read_s, "s");
  figure("reader rate", mb / read_s, "MB/s");
  figure("merge (obsquilt) wall", merge.seconds, "s");
  figure("merge CPU", merge.cpu, "s");
  child_figures("NetCDF export", ncd, nc);
  figure("NetCDF export / merge (wall)", ncd.seconds / merge.seconds, "");
  figure("NetCDF read: one receiver, every type", reads.series * 1e3, "ms");
  figure("NetCDF read: one epoch, every type", reads.matrix * 1e3, "ms");
  child_figures("CSV export", csvd, csv);
  if (!baseline.empty()) {
    child_figures("baseline NetCDF export", base_ncd, base_nc);
    figure("baseline NetCDF export / merge (wall)", base_ncd.seconds / merge.seconds, "");
    figure("baseline read: one receiver", base_reads.series * 1e3, "ms");
    figure("baseline read: one epoch", base_reads.matrix * 1e3, "ms");
    child_figures("baseline CSV export", base_csvd, base_csv);
    fs::remove(base_nc), fs::remove(base_csv);
  }
  fs::remove(nc);
  fs::remove(csv);
  return 0;
}
