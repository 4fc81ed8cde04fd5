// Runs a program as a child process, the one way the tests do it: in a given directory, with
// its arguments as a list (no shell), a given standard input, changes to the environment, as
// another user or in a limited address space when asked, and its standard output and error
// stream kept apart.
//
// The input is there from the start, unless a prompt is given: then it is handed over only when
// the program waits at the keyboard, and by then the prompt must be the end of its output, the
// way a user at a terminal sees it (what went wrong there is said in `hang`).
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace obsq::test {

struct Child {
  using Env = std::vector<std::pair<std::string, std::string>>;
  Child(std::string program, std::vector<std::string> args, std::filesystem::path dir = ".",
        std::string input = "", Env env = {})
      : program(std::move(program)),
        args(std::move(args)),
        dir(std::move(dir)),
        input(std::move(input)),
        env(std::move(env)) {}
  std::string program;  // a path, or a name looked up on the PATH
  std::vector<std::string> args;
  std::filesystem::path dir;  // the working directory of the child
  std::string input;          // its standard input, whole
  Env env;                    // set in the child (an empty value: unset)
  int uid = -1;               // run as this user (the caller must be root)
  long memory_kb = 0;         // limit of its address space
  std::string prompt;         // hand the input over at this prompt only
};

struct ChildResult {
  int status = -1;  // the exit status; 128 + the signal for a child a signal ended
  std::string out, err;
  std::string hang;  // what went wrong at the keyboard, empty when nothing did
};

namespace child_detail {

inline void check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Whether the process is blocked reading its standard input: 1 yes, 0 no, -1 cannot tell here.
inline int reads_keyboard(pid_t pid) {
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

}  // namespace child_detail

inline ChildResult run_child(const Child& c) {
  using child_detail::check;
  std::signal(SIGPIPE, SIG_IGN);  // a program that ended before its input is reported, not fatal
  int in[2], out[2], err[2];
  check(::pipe2(in, O_CLOEXEC) == 0 && ::pipe2(out, O_CLOEXEC) == 0 && ::pipe2(err, O_CLOEXEC) == 0,
        "pipe2");
  std::vector<char*> argv{const_cast<char*>(c.program.c_str())};
  for (const std::string& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const rlim_t bytes = static_cast<rlim_t>(c.memory_kb) * 1024;
  const rlimit limit{bytes, bytes};
  const pid_t pid = ::fork();
  check(pid >= 0, "fork");
  if (pid == 0) {  // a set-up step that fails ends the child with status 126
    for (const auto& [name, value] : c.env)
      if (value.empty() ? ::unsetenv(name.c_str()) != 0
                        : ::setenv(name.c_str(), value.c_str(), 1) != 0)
        ::_exit(126);
    if (::chdir(c.dir.c_str()) != 0 || ::dup2(in[0], 0) < 0 || ::dup2(out[1], 1) < 0 ||
        ::dup2(err[1], 2) < 0 || (c.memory_kb > 0 && ::setrlimit(RLIMIT_AS, &limit) != 0) ||
        (c.uid >= 0 && (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(c.uid)) != 0 ||
                        ::setuid(static_cast<uid_t>(c.uid)) != 0)))
      ::_exit(126);
    ::execvp(c.program.c_str(), argv.data());  // a name without a slash: found on the PATH
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  ChildResult r;
  int keyboard = in[1];
  // Without a prompt the input goes at once, as far as the pipe takes it while the streams are
  // read; the rest follows as they drain.
  size_t sent = 0;
  if (c.prompt.empty()) ::fcntl(keyboard, F_SETFL, O_NONBLOCK);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open_streams = 2;
  bool seen_waiting = false;  // waiting once more after a quiet round: all it wrote is read
  while (open_streams > 0) {
    if (c.prompt.empty() && keyboard >= 0) {
      const ssize_t n = sent < c.input.size()
                            ? ::write(keyboard, c.input.data() + sent, c.input.size() - sent)
                            : 0;
      if (n > 0) sent += static_cast<size_t>(n);
      if (sent == c.input.size() || (n < 0 && errno != EAGAIN)) {
        ::close(keyboard);
        keyboard = -1;
      }
    }
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
    if (n > 0 || keyboard < 0 || c.prompt.empty()) {
      seen_waiting = false;
      continue;
    }
    // Where the wait cannot be seen, the input goes as soon as the prompt shows.
    const int waiting = child_detail::reads_keyboard(pid);
    const bool prompt = r.out.ends_with(c.prompt);
    if (waiting == 1 && !seen_waiting) {
      seen_waiting = true;
      continue;
    }
    if (waiting == 1 || (waiting < 0 && prompt)) {
      if (!prompt) {
        r.hang = "the program waits for the keyboard and its prompt is not on the console";
        check(::kill(pid, SIGKILL) == 0, "kill");
      } else if (!c.input.empty()) {
        const ssize_t n_in = ::write(keyboard, c.input.data(), c.input.size());
        check(n_in == static_cast<ssize_t>(c.input.size()) || errno == EPIPE,
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
  return r;
}

// What a filter program (gzip -c, bzip2 -dc, ...) makes of the bytes; status 127 when the
// program is not there.
inline ChildResult filter(const std::string& program, std::vector<std::string> args,
                          const std::string& bytes) {
  return run_child({program, std::move(args), ".", bytes});
}

// Splits a command line of the tests' data files (args) at blanks.
inline std::vector<std::string> words(const std::string& text) {
  std::vector<std::string> w;
  size_t at = 0;
  while ((at = text.find_first_not_of(" \t\r\n", at)) != std::string::npos) {
    const size_t end = text.find_first_of(" \t\r\n", at);
    w.push_back(text.substr(at, end - at));
    at = end;
  }
  return w;
}

}  // namespace obsq::test
