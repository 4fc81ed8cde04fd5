// Timing a program as a user runs it: a child process, its wall time, CPU time and peak
// resident memory; and the options of the benchmarks that time whole programs on a generated
// day. Shared by those benchmarks.
#pragma once

#include <fcntl.h>
#include <spawn.h>
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

namespace obsq::bench {

struct Child {
  double seconds = 0;  // wall time
  double cpu = 0;      // user and system time
  double peak_mb = 0;  // peak resident memory
  int status = -1;     // exit status, -1 when killed
};

// Starts args[0] with the arguments that follow, in `dir` when not empty, with ENTER on its
// standard input and its standard output thrown away; -1 when it cannot be started. Spawned
// without a copy of this process, so that its peak memory is its own.
inline pid_t start_child(const std::vector<std::string>& args, const std::string& dir = "") {
  int keys[2];
  if (::pipe(keys) != 0) return -1;
  if (::write(keys[1], "\n", 1) != 1) {
    ::close(keys[0]);
    ::close(keys[1]);
    return -1;
  }
  ::close(keys[1]);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, keys[0], STDIN_FILENO);
  posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  if (!dir.empty()) posix_spawn_file_actions_addchdir_np(&fa, dir.c_str());
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  ::close(keys[0]);
  return spawned == 0 ? pid : -1;
}

// Waits for a started child: its CPU time, peak memory and status (wall time left to the caller).
inline Child wait_child(pid_t pid) {
  Child c;
  if (pid < 0) return c;
  int status = 0;
  struct rusage ru {};
  ::wait4(pid, &status, 0, &ru);
  c.cpu = static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
          static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  c.peak_mb = static_cast<double>(ru.ru_maxrss) / 1024.0;
  c.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return c;
}

// Runs one child to its end.
inline Child run_child(const std::vector<std::string>& args, const std::string& dir = "") {
  const auto t0 = std::chrono::steady_clock::now();
  Child c = wait_child(start_child(args, dir));
  c.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return c;
}

// Runs several children side by side: the wall time until the last ends, their CPU times added,
// the highest peak memory, and the worst status.
inline Child run_side_by_side(const std::vector<std::vector<std::string>>& all,
                              const std::string& dir = "") {
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<pid_t> pids;
  for (const auto& args : all) pids.push_back(start_child(args, dir));
  Child sum;
  sum.status = 0;
  for (const pid_t pid : pids) {
    const Child c = wait_child(pid);
    sum.cpu += c.cpu;
    sum.peak_mb = std::max(sum.peak_mb, c.peak_mb);
    sum.status = c.status < 0 || sum.status < 0 ? -1 : std::max(sum.status, c.status);
  }
  sum.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  return sum;
}

// The best (least wall time) of several runs, the highest peak memory of them.
inline void keep_best(Child& best, const Child& c) {
  if (best.status < 0 || c.seconds < best.seconds) {
    const double peak = best.peak_mb;
    best = c;
    best.peak_mb = std::max(peak, c.peak_mb);
  } else {
    best.peak_mb = std::max(best.peak_mb, c.peak_mb);
  }
}

// The machine's load average over the last minute, as /proc/loadavg tells it (-1 if unknown).
inline double load_average() {
  double v = -1;
  if (FILE* f = std::fopen("/proc/loadavg", "r")) {
    if (std::fscanf(f, "%lf", &v) != 1) v = -1;
    std::fclose(f);
  }
  return v;
}

// --scratch DIR (the generated data), --repeat N (runs, the best kept), --stations N (the day).
struct DayOptions {
  std::filesystem::path scratch = "bench-scratch";
  int repeat = 1, stations = 100;
  std::string extra;  // the value of the benchmark's own option, absolute, if given
};

// Reads the options above and `extra_option` with its value; false (after the usage line on
// the error stream) for anything else.
inline bool read_day_options(int argc, char** argv, const char* extra_option, const char* usage,
                             DayOptions& o) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--scratch") == 0 && i + 1 < argc) {
      o.scratch = argv[++i];
    } else if (std::strcmp(argv[i], "--repeat") == 0 && i + 1 < argc) {
      o.repeat = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--stations") == 0 && i + 1 < argc) {
      o.stations = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], extra_option) == 0 && i + 1 < argc) {
      o.extra = std::filesystem::absolute(argv[++i]).string();
    } else {
      std::fprintf(stderr, "%s", usage);
      return false;
    }
  }
  return true;
}

}  // namespace obsq::bench
