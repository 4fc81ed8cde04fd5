// obsquilt-day: one network day of any size in one command. The day's archive files are
// prepared by obsquilt-prep, planned into runs of the merge that each stay within its limits
// (station groups of at most --max-files files, time windows whose store stays under
// --max-values values), merged by the unchanged obsquilt, one run per folder, several at once,
// and joined by obsquilt-export into the day's NetCDF file and, from the same read, its page.
// The steps are subcommands too, so that a workflow engine can put each run on another machine.
#include <fcntl.h>
#include <getopt.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cli/cli.hpp"
#include "day/estimate.hpp"
#include "day/plan.hpp"

namespace {

namespace fs = std::filesystem;
using namespace obsq;

const char kUsage[] =
    "Usage: obsquilt-day [OPTION]... -o OUTDIR FILE...\n"
    "  or:  obsquilt-day prep|plan [OPTION]... -o OUTDIR FILE...\n"
    "  or:  obsquilt-day plan [OPTION]... -o OUTDIR\n"
    "  or:  obsquilt-day run [N] [-j N] -o OUTDIR\n"
    "  or:  obsquilt-day finish [--force] -o OUTDIR\n"
    "Merge one network day of any size: prepare the archive files (obsquilt-prep, into\n"
    "OUTDIR/prep), plan runs of obsquilt that each fit its limits (OUTDIR/plan.json), merge\n"
    "each in a folder of its own (OUTDIR/runs/NNN), several at once, and join them into the\n"
    "day's NetCDF file and page (OUTDIR/YYYY-DDD.nc, OUTDIR/YYYY-DDD.html) as one run over all\n"
    "the files would have given them. The steps are also subcommands: prep; plan (after prep\n"
    "when files are given); run N (one run of the plan) or run (every run not complete);\n"
    "finish.\n"
    "\n"
    "  -o, --output=DIR      the day's folder (made when missing)\n"
    "  -j, --jobs=N          runs at once (default: the number of cores)\n"
    "      --step=S          seconds between epochs (default 30)\n"
    "      --from=A          first second of day (default 0)\n"
    "      --to=B            last second of day (default 86400)\n"
    "      --day=YYYY-DDD    the day to keep (default: the day most files start on)\n"
    "      --max-files=N     files of one run, at most (default and most 1000)\n"
    "      --max-values=N    values of one run's store, at most (default 72000000, 90 % of\n"
    "                        the store's 80000000)\n"
    "  -f, --force           plan again over an earlier plan, replace the day's files\n"
    "  -h, --help            show this help and exit\n"
    "  -V, --version         show the version and exit\n"
    "\n"
    "The plan's summary goes to standard output; on a terminal, one progress line per step.\n"
    "A run that fails is reported with its folder, what obsquilt-check finds there and the\n"
    "end of its console; its output is not taken as complete (a complete run's output is\n"
    "runs/NNN/run.txt).\n"
    "Exit status: 0 done; 1 done with warnings (files left out by prep, warnings of the\n"
    "export or the page); 2 error (bad usage, a failed run, nothing usable).\n";

struct Options {
  std::string command;  // "", "prep", "plan", "run", "finish"
  int run = 0;          // run N; 0: every run
  std::string outdir;
  unsigned jobs = 0;
  day::Limits limits;
  std::string day;
  bool force = false;
  std::vector<std::string> files;
};

int g_status = cli::kOk;
bool g_terminal = false;

void end_line();

void warn(const std::string& message) {
  end_line();
  cli::warning(message);
  g_status = std::max(g_status, cli::kWarnings);
}

// The progress line of a step, on a terminal only: rewritten in place while the step goes on,
// ended when it is done.
bool g_line_open = false;
void progress(const std::string& line, bool done) {
  if (!g_terminal) return;
  std::fprintf(stderr, "\r\033[K%s: %s%s", cli::program(), line.c_str(), done ? "\n" : "");
  g_line_open = !done;
}

// Ends an open progress line before a message of its own.
void end_line() {
  if (g_line_open) std::fputc('\n', stderr);
  g_line_open = false;
}

std::string seconds_since(std::chrono::steady_clock::time_point t0) {
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f s", s);
  return buf;
}

int64_t number(const char* option, const char* text, int64_t lo, int64_t hi) {
  int64_t v = 0;
  const char* end = text + std::strlen(text);
  const auto r = std::from_chars(text, end, v);
  if (r.ec != std::errc() || r.ptr != end || v < lo || v > hi)
    throw cli::UsageError{std::string(option) + ": not a number from " + std::to_string(lo) +
                          " to " + std::to_string(hi) + ": '" + text + "'"};
  return v;
}

// The programs of the toolkit: beside this one when they are there, else on the PATH.
std::string tool(const std::string& name) {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec && fs::exists(self.parent_path() / name)) return (self.parent_path() / name).string();
  return name;
}

// Starts a program in `dir` with its standard output and error into `log` (appended) and one
// empty line on its standard input (the merge waits for a key before it ends); returns its
// process id.
pid_t start(const std::vector<std::string>& argv, const std::string& dir, const std::string& log) {
  const pid_t pid = ::fork();
  if (pid < 0) throw cli::Failure{std::string("cannot start a process: ") + std::strerror(errno)};
  if (pid == 0) {
    int in[2];
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    if (::pipe(in) != 0 || ::write(in[1], "\n", 1) != 1 || out < 0) ::_exit(127);
    if (!dir.empty() && ::chdir(dir.c_str()) != 0) ::_exit(127);
    ::close(in[1]);
    ::dup2(in[0], 0), ::dup2(out, 1), ::dup2(out, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    const std::string m = argv[0] + ": cannot run: " + std::strerror(errno) + "\n";
    (void)!::write(2, m.data(), m.size());
    ::_exit(127);
  }
  return pid;
}

int wait_for(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) throw cli::Failure{std::string("waitpid: ") + std::strerror(errno)};
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Writes a file whole or not at all: into a temporary name, then renamed.
void write_text(const std::string& path, const std::string& text) {
  const std::string temp = path + ".part";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw cli::Failure{temp + ": cannot be written"};
  }
  if (::rename(temp.c_str(), path.c_str()) != 0)
    throw cli::Failure{path + ": " + std::strerror(errno)};
}

// The last `n` lines of a text, each indented.
std::string tail(const std::string& text, size_t n) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  std::string out;
  for (size_t i = lines.size() > n ? lines.size() - n : 0; i < lines.size(); ++i)
    out += "    " + lines[i] + "\n";
  return out;
}

// ---- prep ----------------------------------------------------------------------------------

void prep(const Options& o) {
  const auto t0 = std::chrono::steady_clock::now();
  progress("prep: " + std::to_string(o.files.size()) + " files ...", false);
  std::error_code ec;
  fs::remove_all("prep", ec);
  std::vector<std::string> argv = {tool("obsquilt-prep"), "--no-file-limit", "--dir", "prep"};
  if (!o.day.empty()) argv.insert(argv.end(), {"--day", o.day});
  argv.insert(argv.end(), o.files.begin(), o.files.end());
  fs::remove("prep.log", ec);
  const int status = wait_for(start(argv, "", "prep.log"));
  if (status >= 2 || !fs::exists("prep/list.txt")) {
    end_line();
    std::fputs(read_text("prep.log").c_str(), stderr);
    throw cli::Failure{"obsquilt-prep failed (status " + std::to_string(status) + "): see " +
                       o.outdir + "/prep.log"};
  }
  if (status == 1) warn("obsquilt-prep left something out: see " + o.outdir + "/prep.log");
  progress("prep: " + std::to_string(o.files.size()) + " files in " + seconds_since(t0), true);
}

// The prepared files, as list.txt of prep names them, relative to the day's folder.
std::vector<std::string> prepared_files() {
  std::ifstream in("prep/list.txt");
  if (!in) throw cli::Failure{"prep/list.txt: cannot be read (run the prep step first)"};
  std::vector<std::string> files;
  for (std::string line; std::getline(in, line);) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty() && line[0] != '*') files.push_back("prep/" + line);
  }
  return files;
}

// YYYY-DDD of the first prepared file, from its "TIME OF FIRST OBS".
std::string day_of(const std::vector<std::string>& files) {
  for (const std::string& f : files) {
    std::ifstream in(f);
    for (std::string line; std::getline(in, line);) {
      if (line.find("END OF HEADER") != std::string::npos) break;
      if (line.size() < 77 || line.compare(60, 17, "TIME OF FIRST OBS") != 0) continue;
      int y = 0, m = 0, d = 0;
      if (std::sscanf(line.c_str(), "%d %d %d", &y, &m, &d) != 3 || m < 1 || m > 12) break;
      static const int before[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
      const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
      char buf[16];
      std::snprintf(buf, sizeof buf, "%04d-%03d", y, before[m - 1] + d + (leap && m > 2));
      return buf;
    }
  }
  return "";
}

// ---- plan ----------------------------------------------------------------------------------

day::Plan plan(const Options& o) {
  const auto t0 = std::chrono::steady_clock::now();
  const std::vector<std::string> files = prepared_files();
  if (files.empty()) throw cli::Failure{"prep/list.txt names no file: nothing to merge"};
  progress("plan: counting the values of " + std::to_string(files.size()) + " files ...", false);
  std::vector<day::FileLoad> loads;
  try {
    loads = day::estimate_files(files);
  } catch (const day::EstimateError& e) {
    end_line();
    cli::located(e.file.empty() ? "prep/list.txt" : e.file, e.line, "error", e.message);
    throw cli::Failure{"the day cannot be planned: obsquilt-check in " + o.outdir +
                       "/prep says more"};
  }
  day::Plan p;
  try {
    p = day::make_plan(files, loads, o.limits);
  } catch (const day::PlanError& e) {
    throw cli::Failure{e.message};
  }
  p.day = o.day.empty() ? day_of(files) : o.day;
  std::error_code ec;
  fs::remove_all("runs", ec);
  write_text("plan.json", day::plan_json(p));
  progress("plan: " + std::to_string(p.runs.size()) + " runs in " + seconds_since(t0), true);
  std::fputs(day::summary(p).c_str(), stdout);
  std::fflush(stdout);
  return p;
}

day::Plan read_plan() {
  if (!fs::exists("plan.json")) throw cli::Failure{"plan.json: no plan here (run the plan step)"};
  try {
    return day::read_plan(read_text("plan.json"));
  } catch (const day::PlanError& e) {
    throw cli::Failure{"plan.json: " + e.message};
  }
}

// ---- runs ----------------------------------------------------------------------------------

std::string args_of(const day::Plan& p, const day::Run& r) {
  return std::to_string(r.from) + " " + std::to_string(r.to) + " " + std::to_string(p.limits.step);
}

// Lays out the run's folder and starts obsquilt there.
pid_t start_run(const day::Plan& p, const day::Run& r) {
  const std::string dir = r.folder();
  fs::create_directories(dir);
  for (const char* f : {"run.txt", "obsquilt.txt", "console.txt", "list.txt"}) {
    std::error_code ec;
    fs::remove(dir + "/" + f, ec);
  }
  std::string list;
  for (const std::string& f : r.files) list += "../../" + f + "\n";
  write_text(dir + "/list.txt", list);
  return start({tool("obsquilt"), std::to_string(r.from), std::to_string(r.to),
                std::to_string(p.limits.step)},
               dir, dir + "/console.txt");
}

// What follows a run's end: its output becomes run.txt, or the failure is reported.
bool end_run(const day::Plan& p, const day::Run& r, int status) {
  const std::string dir = r.folder();
  if (status == 0 && fs::exists(dir + "/obsquilt.txt")) {
    if (::rename((dir + "/obsquilt.txt").c_str(), (dir + "/run.txt").c_str()) != 0)
      throw cli::Failure{dir + "/run.txt: " + std::strerror(errno)};
    return true;
  }
  // What the check finds in the run's folder, errors only.
  const std::string check_log = dir + "/check.txt";
  std::error_code ec;
  fs::remove(check_log, ec);
  wait_for(start({tool("obsquilt-check"), "-q", std::to_string(r.from), std::to_string(r.to),
                  std::to_string(p.limits.step)},
                 dir, check_log));
  std::string m = "run " + std::to_string(r.number) + " failed (" + dir + ", obsquilt " +
                  args_of(p, r) + ", exit status " + std::to_string(status) + ")\n";
  m += "  obsquilt-check in " + dir + " says:\n" + tail(read_text(check_log), 8);
  m += "  the end of its console (" + dir + "/console.txt):\n" +
       tail(read_text(dir + "/console.txt"), 6);
  m.pop_back();
  end_line();
  cli::error(m);
  return false;
}

bool complete(const day::Run& r) { return fs::exists(r.folder() + "/run.txt"); }

// Runs the given runs of the plan, up to `jobs` at once; false when one failed.
bool runs(const day::Plan& p, const std::vector<const day::Run*>& todo, unsigned jobs) {
  const auto t0 = std::chrono::steady_clock::now();
  std::map<pid_t, const day::Run*> running;
  size_t next = 0, done = 0;
  bool ok = true;
  progress("runs: 0 of " + std::to_string(todo.size()) + " done", false);
  while (next < todo.size() || !running.empty()) {
    while (ok && next < todo.size() && running.size() < jobs) {
      const day::Run* r = todo[next++];
      running.emplace(start_run(p, *r), r);
    }
    if (running.empty()) break;
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, 0);
    if (pid < 0) {
      if (errno == EINTR) continue;
      throw cli::Failure{std::string("waitpid: ") + std::strerror(errno)};
    }
    const auto it = running.find(pid);
    if (it == running.end()) continue;
    const day::Run* r = it->second;
    running.erase(it);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    ok = end_run(p, *r, code) && ok;
    ++done;
    progress("runs: " + std::to_string(done) + " of " + std::to_string(todo.size()) + " done",
             false);
  }
  progress("runs: " + std::to_string(done) + " of " + std::to_string(todo.size()) + " in " +
               seconds_since(t0),
           true);
  return ok;
}

// ---- finish --------------------------------------------------------------------------------

void finish(const Options& o, const day::Plan& p) {
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<std::string> inputs, missing;
  for (const day::Run& r : p.runs) {
    inputs.push_back(r.folder() + "/run.txt");
    if (!complete(r)) missing.push_back(std::to_string(r.number));
  }
  if (!missing.empty()) {
    std::string list;
    for (const std::string& m : missing) list += (list.empty() ? "" : ", ") + m;
    throw cli::Failure{"runs not complete: " + list + " (obsquilt-day run N makes one)"};
  }
  const std::string name = p.day.empty() ? "day" : p.day;
  progress("finish: " + name + ".nc and " + name + ".html ...", false);
  // The NetCDF file and the page from one read of the runs' files.
  std::vector<std::string> argv = {
      tool("obsquilt-export"), "--allow-gaps", "-o", name + ".nc", "--page",
      name + ".html",          "--page-title", name};
  if (o.force) argv.push_back("--force");
  argv.insert(argv.end(), inputs.begin(), inputs.end());
  const std::string log = "obsquilt-export.log";
  std::error_code ec;
  fs::remove(log, ec);
  const int status = wait_for(start(argv, "", log));
  if (!read_text(log).empty()) end_line();
  std::fputs(read_text(log).c_str(), stderr);
  if (status >= 2)
    throw cli::Failure{"finish failed: obsquilt-export (status " + std::to_string(status) + ")"};
  if (status == 1) g_status = std::max(g_status, cli::kWarnings);
  progress("finish: " + name + ".nc and " + name + ".html in " + seconds_since(t0), true);
}

// ---- command line --------------------------------------------------------------------------

Options parse(int argc, char** argv) {
  Options o;
  int first = 1;
  if (argc > 1) {
    const std::string c = argv[1];
    if (c == "prep" || c == "plan" || c == "run" || c == "finish") o.command = c, first = 2;
  }
  if (o.command == "run" && first < argc && argv[first][0] >= '0' && argv[first][0] <= '9')
    o.run = static_cast<int>(number("run", argv[first++], 1, 1'000'000));
  enum { kStep = 256, kFrom, kTo, kDay, kMaxFiles, kMaxValues };
  static const option longs[] = {{"output", required_argument, nullptr, 'o'},
                                 {"jobs", required_argument, nullptr, 'j'},
                                 {"step", required_argument, nullptr, kStep},
                                 {"from", required_argument, nullptr, kFrom},
                                 {"to", required_argument, nullptr, kTo},
                                 {"day", required_argument, nullptr, kDay},
                                 {"max-files", required_argument, nullptr, kMaxFiles},
                                 {"max-values", required_argument, nullptr, kMaxValues},
                                 {"force", no_argument, nullptr, 'f'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {nullptr, 0, nullptr, 0}};
  optind = first;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":o:j:fhV", longs, nullptr)) != -1;) {
    switch (c) {
      case 'o': o.outdir = optarg; break;
      case 'j': o.jobs = static_cast<unsigned>(number("--jobs", optarg, 1, 1024)); break;
      case kStep: o.limits.step = static_cast<int32_t>(number("--step", optarg, 1, 86400)); break;
      case kFrom: o.limits.from = static_cast<int32_t>(number("--from", optarg, 0, 86400)); break;
      case kTo: o.limits.to = static_cast<int32_t>(number("--to", optarg, 0, 86400)); break;
      case kDay: {
        int y = 0, d = 0;
        char extra = 0;
        if (std::strlen(optarg) != 8 || std::sscanf(optarg, "%4d-%3d%c", &y, &d, &extra) != 2 ||
            d < 1 || d > 366)
          throw cli::UsageError{std::string("--day wants YYYY-DDD, not '") + optarg + "'"};
        o.day = optarg;
        break;
      }
      case kMaxFiles:
        o.limits.max_files = static_cast<int>(number("--max-files", optarg, 1, 1000));
        break;
      case kMaxValues: o.limits.max_values = number("--max-values", optarg, 1, 80'000'000); break;
      case 'f': o.force = true; break;
      case 'h':
        std::fputs(kUsage, stdout);
        o.command = "help";
        return o;
      case 'V':
        cli::print_version();
        o.command = "version";
        return o;
      case ':':
        throw cli::UsageError{std::string("option '") + argv[optind - 1] + "' needs a value"};
      default: throw cli::UsageError{std::string("unknown option '") + argv[optind - 1] + "'"};
    }
  }
  o.files.assign(argv + optind, argv + argc);
  if (o.outdir.empty()) throw cli::UsageError{"no day folder: -o OUTDIR"};
  if (o.limits.from > o.limits.to) throw cli::UsageError{"--from is after --to"};
  if ((o.command == "" || o.command == "prep") && o.files.empty())
    throw cli::UsageError{"no input file"};
  if ((o.command == "run" || o.command == "finish") && !o.files.empty())
    throw cli::UsageError{"'" + o.command + "' takes no files: '" + o.files.front() + "'"};
  if (o.jobs == 0) o.jobs = std::max(1u, std::thread::hardware_concurrency());
  return o;
}

int steps(int argc, char** argv);

// The steps, with an open progress line ended before any failure is reported.
int body(int argc, char** argv) {
  try {
    return steps(argc, argv);
  } catch (...) {
    end_line();
    throw;
  }
}

int steps(int argc, char** argv) {
  Options o = parse(argc, argv);
  if (o.command == "help" || o.command == "version") return cli::kOk;
  g_terminal = ::isatty(STDERR_FILENO) == 1;
  // Input names are taken from where the command was given; the rest happens in the folder.
  for (std::string& f : o.files) f = fs::absolute(f).string();
  std::error_code ec;
  fs::create_directories(o.outdir, ec);
  if (ec) throw cli::Failure{o.outdir + ": " + ec.message()};
  if (::chdir(o.outdir.c_str()) != 0)
    throw cli::Failure{o.outdir + ": cannot enter this folder: " + std::strerror(errno)};

  const bool preps =
      o.command == "" || o.command == "prep" || (o.command == "plan" && !o.files.empty());
  const bool plans = o.command == "" || o.command == "plan";
  if ((preps || plans) && !o.force && fs::exists("plan.json"))
    throw cli::Failure{o.outdir + "/plan.json: a day planned before (use --force to plan again)"};
  if ((preps || plans) && !o.force && o.command == "prep" && fs::exists("prep/list.txt"))
    throw cli::Failure{o.outdir + "/prep: prepared before (use --force to prepare again)"};
  if (preps) prep(o);
  if (o.command == "prep") return g_status;
  const day::Plan p = plans ? plan(o) : read_plan();
  if (o.command == "plan") return g_status;

  if (o.command == "" || o.command == "run") {
    std::vector<const day::Run*> todo;
    if (o.run > 0) {
      if (static_cast<size_t>(o.run) > p.runs.size())
        throw cli::UsageError{"run " + std::to_string(o.run) + ": the plan has " +
                              std::to_string(p.runs.size()) + " runs"};
      todo.push_back(&p.runs[static_cast<size_t>(o.run - 1)]);
    } else {
      for (const day::Run& r : p.runs)
        if (o.command == "" || !complete(r)) todo.push_back(&r);
    }
    if (!runs(p, todo, o.jobs)) return cli::kFailure;
    if (o.command == "run") return g_status;
  }
  if (o.command == "" && !o.force) {
    const std::string name = p.day.empty() ? "day" : p.day;
    for (const std::string& f : {name + ".nc", name + ".html"})
      if (fs::exists(f)) throw cli::Failure{o.outdir + "/" + f + ": file exists (use --force)"};
  }
  finish(o, p);
  return g_status;
}

}  // namespace

int main(int argc, char** argv) { return cli::run_main("obsquilt-day", argc, argv, body); }
