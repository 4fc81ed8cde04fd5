// Runs a program as a child process, the one way the tests do it: in a given directory, with
// its arguments as a list (no shell), a given standard input, changes to the environment, and
// its standard output and error stream kept apart.
#pragma once

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
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
  std::string program;
  std::vector<std::string> args;
  std::filesystem::path dir;  // the working directory of the child
  std::string input;          // its standard input, whole
  Env env;                    // set in the child (an empty value: unset)
};

struct ChildResult {
  int status = -1;  // the exit status; 128 + the signal for a child a signal ended
  std::string out, err;
};

namespace child_detail {
inline int memory_file(const char* name, const std::string& bytes) {
  const int fd = ::memfd_create(name, 0);
  if (fd < 0 || ::write(fd, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()) ||
      ::lseek(fd, 0, SEEK_SET) != 0)
    throw std::runtime_error("cannot make an in-memory file for a child process");
  return fd;
}
inline std::string contents(int fd) {
  std::string s;
  char buf[65536];
  ::lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<size_t>(n));
  ::close(fd);
  return s;
}
}  // namespace child_detail

inline ChildResult run_child(const Child& c) {
  const int in = child_detail::memory_file("stdin", c.input);
  const int out = child_detail::memory_file("stdout", "");
  const int err = child_detail::memory_file("stderr", "");
  std::vector<char*> argv{const_cast<char*>(c.program.c_str())};
  for (const std::string& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("cannot start " + c.program);
  if (pid == 0) {  // a set-up step that fails ends the child with status 126
    for (const auto& [name, value] : c.env)
      if (value.empty() ? ::unsetenv(name.c_str()) != 0
                        : ::setenv(name.c_str(), value.c_str(), 1) != 0)
        ::_exit(126);
    if (::chdir(c.dir.c_str()) != 0 || ::dup2(in, 0) < 0 || ::dup2(out, 1) < 0 ||
        ::dup2(err, 2) < 0)
      ::_exit(126);
    ::execv(c.program.c_str(), argv.data());
    ::_exit(127);
  }
  int ws = 0;
  while (::waitpid(pid, &ws, 0) < 0) {}
  ::close(in);
  ChildResult r;
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  r.out = child_detail::contents(out);
  r.err = child_detail::contents(err);
  return r;
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
