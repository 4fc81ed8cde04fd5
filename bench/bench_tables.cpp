// bench-tables: the observation store alone. Inserts N keys of the shape the reader makes
// (files x seconds of the day at 30 s x satellites x types, with one epoch-time entry per file and
// second, in the reader's order), then looks every one of them up, and reports the rates and the
// resident memory the store took.
//
//   bench-tables [N]        (default 10,000,000)
#include <getopt.h>
#include <sys/resource.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "cli/cli.hpp"
#include "tables/obskey.hpp"
#include "tables/tables.hpp"

namespace {

namespace cli = obsq::cli;
using Clock = std::chrono::steady_clock;

double resident_mb() {
  std::ifstream s("/proc/self/statm");
  long pages = 0, resident = 0;
  s >> pages >> resident;
  return static_cast<double>(resident) * 4096.0 / 1e6;
}

double peak_mb() {
  struct rusage ru {};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_maxrss) / 1024.0;
}

// Calls f(key) for n keys in the reader's order.
template <typename F>
long for_keys(long n, F&& f) {
  static const int sats[] = {2, 5, 6, 9, 12, 15, 17, 21, 24, 29, 103, 104, 111, 117, 120};
  const int nsat = 11;                     // about 11 satellites an epoch
  const int types[] = {10, 0, 1, 20, 21};  // C1 P1 P2 L1 L2 (S1, S2 are not kept)
  long done = 0;
  for (int file = 1; done < n; ++file)
    for (int s = 0; s < 86400 && done < n; s += 30) {
      f(obsq::key_of(file, s, 999, 99));
      ++done;
      for (int k = 0; k < nsat && done < n; ++k)
        for (int t : types) {
          if (done >= n) break;
          f(obsq::key_of(file, s, sats[(k + s / 3600) % 15], t));
          ++done;
        }
    }
  return done;
}

constexpr const char* kUsage =
    "Usage: bench-tables [OPTION]... [N]\n"
    "Insert N keys of the shape a run makes into the observation store (1 to 80000000,\n"
    "default 10000000), look every one up, and print the rates and the memory taken.\n"
    "\n"
    "  -h, --help      show this help and exit\n"
    "  -V, --version   show the version and exit\n";

int bench(int argc, char** argv) {
  static const option longopts[] = {{"help", no_argument, nullptr, 'h'},
                                    {"version", no_argument, nullptr, 'V'},
                                    {nullptr, 0, nullptr, 0}};
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, "hV", longopts, nullptr)) != -1) {
    switch (c) {
      case 'h': std::fputs(kUsage, stdout); return cli::kOk;
      case 'V': cli::print_version(); return cli::kOk;
      default: throw cli::UsageError{std::string("unknown option '") + argv[optind - 1] + "'"};
    }
  }
  long n = 10'000'000L;
  if (optind < argc) {
    const char* text = argv[optind];
    char* end = nullptr;
    errno = 0;
    n = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || n < 1 || n > 80'000'000L)
      throw cli::UsageError{std::string("invalid key count '") + text + "' (1 to 80000000)"};
    if (optind + 1 < argc)
      throw cli::UsageError{std::string("extra operand '") + argv[optind + 1] + "'"};
  }
  const double before = resident_mb();
  obsq::newlng();
  auto t0 = Clock::now();
  long failed = 0;
  for_keys(n, [&](int64_t k) {
    int32_t slot = 0;
    if (obsq::putlng(k, slot) != 1)
      ++failed;
    else
      obsq::dbase()[obsq::lng().next() - 1] = 1.0;
  });
  const double ins = std::chrono::duration<double>(Clock::now() - t0).count();
  const double after_insert = resident_mb();
  t0 = Clock::now();
  long missing = 0;
  for_keys(n, [&](int64_t k) {
    int32_t slot = 0;
    if (obsq::getlng(k, slot) != 1) ++missing;
  });
  const double look = std::chrono::duration<double>(Clock::now() - t0).count();
  int32_t count = 0;
  obsq::numlng(count);
  std::printf("keys                        %ld\n", n);
  std::printf("stored                      %d (%ld refused, %ld not found)\n", count, failed,
              missing);
  std::printf("inserts per second          %.2f M\n", n / ins / 1e6);
  std::printf("look-ups per second         %.2f M\n", n / look / 1e6);
  std::printf("resident memory of store    %.1f MB\n", after_insert - before);
  std::printf("bytes per stored value      %.1f\n", (after_insert - before) * 1e6 / count);
  std::printf("peak resident memory        %.1f MB\n", peak_mb());
  return failed + missing == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) { return cli::run_main("bench-tables", argc, argv, bench); }
