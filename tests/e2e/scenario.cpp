#include "scenario.hpp"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>

#include "../support.hpp"

namespace obsq::test {

namespace fs = std::filesystem;

fs::path binary_path() { return OBSQUILT_BIN; }
fs::path shared_dir() { return OBSQUILT_SHARED_DIR; }
fs::path scenario_root() { return OBSQUILT_SCENARIO_DIR; }

namespace {

constexpr std::string_view kPrompt = "Press ENTER key to stop program: ";

// Whether the process is blocked reading its standard input: 1 yes, 0 no, -1 cannot tell here.
int reads_keyboard(pid_t pid) {
#if defined(__x86_64__)
  const std::string read_fd0 = "0 0x0 ";
#elif defined(__aarch64__)
  const std::string read_fd0 = "63 0x0 ";
#else
  return -1;
#endif
  std::ifstream f("/proc/" + std::to_string(pid) + "/syscall");
  std::string line;
  if (!std::getline(f, line)) return -1;
  return line.rfind(read_fd0, 0) == 0 ? 1 : 0;
}

}  // namespace

RunResult run_binary(const fs::path& dir, const std::vector<std::string>& args,
                     const std::string& input, int uid, long memory_kb) {
  std::signal(SIGPIPE, SIG_IGN);  // a program that ended before its input is reported, not fatal
  int in[2], out[2], err[2];
  check(::pipe2(in, O_CLOEXEC) == 0 && ::pipe2(out, O_CLOEXEC) == 0 && ::pipe2(err, O_CLOEXEC) == 0,
        "pipe2");
  const std::string bin = binary_path().string();
  std::vector<char*> argv{const_cast<char*>(bin.c_str())};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const rlimit limit{static_cast<rlim_t>(memory_kb) * 1024, static_cast<rlim_t>(memory_kb) * 1024};
  const pid_t pid = ::fork();
  check(pid >= 0, "fork");
  if (pid == 0) {  // a set-up step that fails ends the child with status 126
    if (::chdir(dir.c_str()) != 0 || ::dup2(in[0], 0) < 0 || ::dup2(out[1], 1) < 0 ||
        ::dup2(err[1], 2) < 0 || (memory_kb > 0 && ::setrlimit(RLIMIT_AS, &limit) != 0) ||
        (uid >= 0 && (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(uid)) != 0 ||
                      ::setuid(static_cast<uid_t>(uid)) != 0)))
      ::_exit(126);
    ::execv(bin.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  RunResult r;
  int keyboard = in[1];
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open_streams = 2;
  bool seen_waiting = false;  // waiting once more after a quiet round: all it wrote is read
  while (open_streams > 0) {
    const int n = ::poll(fds, 2, 20);
    if (n < 0 && errno == EINTR) continue;
    check(n >= 0, "poll");
    for (int k = 0; k < 2; ++k) {
      if (fds[k].revents == 0) continue;
      char buf[65536];
      const ssize_t got = ::read(fds[k].fd, buf, sizeof buf);
      check(got >= 0, "read from the program");
      if (got > 0) {
        (k == 0 ? r.out : r.err).append(buf, static_cast<size_t>(got));
        continue;
      }
      ::close(fds[k].fd);
      fds[k].fd = -1;
      --open_streams;
    }
    if (n > 0 || keyboard < 0) {
      seen_waiting = false;
      continue;
    }
    // Where the wait cannot be seen, the input goes as soon as the prompt shows.
    const int waiting = reads_keyboard(pid);
    const bool prompt = r.out.ends_with(kPrompt);
    if (waiting == 1 && !seen_waiting) {
      seen_waiting = true;
      continue;
    }
    if (waiting == 1 || (waiting < 0 && prompt)) {
      if (!prompt) {
        r.hang = "the program waits for the keyboard and its prompt is not on the console";
        check(::kill(pid, SIGKILL) == 0, "kill");
      } else if (!input.empty()) {
        const ssize_t n_in = ::write(keyboard, input.data(), input.size());
        check(n_in == static_cast<ssize_t>(input.size()) || errno == EPIPE,
              "write the keyboard input");
      }
      ::close(keyboard);
      keyboard = -1;
    }
  }
  if (keyboard >= 0) ::close(keyboard);
  int ws = 0;
  check(::waitpid(pid, &ws, 0) == pid, "waitpid");
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  r.output_exists = fs::is_regular_file(dir / "obsquilt.txt");  // not a device it points to
  if (r.output_exists) r.output_file = read_file(dir / "obsquilt.txt");
  return r;
}

namespace {

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

std::vector<std::string> scenario_args(const fs::path& sc) {
  std::vector<std::string> args;
  if (fs::exists(sc / "argv")) {
    std::istringstream in(read_file(sc / "argv"));
    for (std::string line; std::getline(in, line);) args.push_back(line);
  } else if (fs::exists(sc / "args")) {
    std::istringstream in(read_file(sc / "args"));
    for (std::string a; in >> a;) args.push_back(a);
  }
  return args;
}

// The first difference of two byte strings, for a readable failure message.
std::string first_difference(const std::string& got, const std::string& want) {
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  const size_t from = i > 60 ? i - 60 : 0;
  std::ostringstream s;
  s << "at byte " << i << " (sizes " << got.size() << " and " << want.size()
    << ")\n  got:  " << got.substr(from, 120) << "\n  want: " << want.substr(from, 120);
  return s.str();
}

// Undoes chattr +i when the scenario ends, whatever happened.
struct Immutable {
  std::vector<std::string> paths;
  ~Immutable() {
    for (const auto& p : paths) (void)!std::system(("chattr -i '" + p + "'").c_str());
  }
};

}  // namespace

std::string check_scenario(const fs::path& sc, const fs::path& rinex_dir, std::string* skip) {
  ScratchDir work;
  const fs::path dir = work.path();
  if (fs::exists(sc / "list.txt")) {
    fs::copy_file(sc / "list.txt", dir / "list.txt");
    std::string names = read_file(sc / "list.txt");
    std::replace(names.begin(), names.end(), '\r', '\n');  // a carriage return ends a line too
    std::istringstream list(names);
    for (std::string line; std::getline(list, line);) {
      std::string name = line.substr(0, 78);
      while (!name.empty() && name.back() == ' ') name.pop_back();
      if (name.empty() || name.find('/') != std::string::npos || fs::exists(dir / name)) continue;
      if (fs::is_regular_file(sc / name))
        fs::copy_file(sc / name, dir / name);
      else if (!rinex_dir.empty() && fs::is_regular_file(rinex_dir / name))
        fs::copy_file(rinex_dir / name, dir / name);
    }
  }
  if (fs::exists(sc / "existing.obsquilt.txt"))
    fs::copy_file(sc / "existing.obsquilt.txt", dir / "obsquilt.txt");
  int uid = -1;
  long memory_kb = 0;
  Immutable immutable;
  std::istringstream setup(fs::exists(sc / "setup") ? read_file(sc / "setup") : "");
  for (std::string line; std::getline(setup, line);) {
    std::istringstream words(line);
    std::string op, name, value;
    words >> op >> name >> value;
    if (op == "dir")
      fs::create_directory(dir / name);
    else if (op == "link")
      fs::create_symlink(value, dir / name);
    else if (op == "mode")
      fs::permissions(dir / name, static_cast<fs::perms>(std::stoi(value, nullptr, 8)));
    else if (op == "immutable") {
      if (std::system(("chattr +i '" + (dir / name).string() + "' 2>/dev/null").c_str()) != 0) {
        *skip = "chattr +i is refused here, so the file stays writable";
        return "";
      }
      immutable.paths.push_back((dir / name).string());
    } else if (op == "user") {
      if (::geteuid() != 0) {
        *skip = "running the program as another user needs root";
        return "";
      }
      uid = 65534;
      fs::permissions(dir, fs::perms::all);
    } else if (op == "memory") {
#if defined(__SANITIZE_ADDRESS__)
      *skip = "an address-space limit stops the address sanitizer itself";
      return "";
#endif
      memory_kb = std::stol(name);
    } else if (!op.empty()) {
      return "unknown setup step: " + line + "\n";
    }
  }
  const std::string input = fs::exists(sc / "stdin") ? read_file(sc / "stdin") : "\n";
  const RunResult r = run_binary(dir, scenario_args(sc), input, uid, memory_kb);

  std::ostringstream problems;
  if (!r.hang.empty()) problems << r.hang << "\n";
  const int want_status = std::stoi(read_file(sc / "expected.status"));
  if (r.status != want_status)
    problems << "exit status " << r.status << ", expected " << want_status << "\n";
  const std::string want_out = read_file(sc / "expected.stdout");
  if (r.out != want_out)
    problems << "console differs " << first_difference(r.out, want_out) << "\n";
  const std::string want_err = trim(read_file(sc / "expected.stderr"));
  const std::string got_err = trim(r.err);
  const std::string last = got_err.substr(got_err.rfind('\n') + 1);
  if (want_err.find('\n') != std::string::npos || want_err.empty()) {
    if (got_err != want_err)
      problems << "error stream differs " << first_difference(r.err, want_err) << "\n";
  } else if (!last.ends_with(want_err)) {
    problems << "error stream ends with \"" << last << "\", expected \"" << want_err << "\"\n";
  }
  if (fs::exists(sc / "expected.obsquilt.txt")) {
    const std::string want = read_file(sc / "expected.obsquilt.txt");
    if (!r.output_exists)
      problems << "no obsquilt.txt written\n";
    else if (r.output_file != want)
      problems << "obsquilt.txt differs " << first_difference(r.output_file, want) << "\n";
  } else if (r.output_exists) {
    problems << "obsquilt.txt written where none is expected\n";
  }
  return problems.str();
}

}  // namespace obsq::test
