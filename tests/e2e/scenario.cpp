#include "scenario.hpp"

#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "../support.hpp"

namespace obsq::test {

namespace fs = std::filesystem;

fs::path binary_path() { return OBSQUILT_BIN; }
fs::path shared_dir() { return OBSQUILT_SHARED_DIR; }
fs::path scenario_root() { return OBSQUILT_SCENARIO_DIR; }

RunResult run_binary(const fs::path& dir, const std::vector<std::string>& args,
                     const std::string& input, int uid) {
  RunResult r;
  const fs::path in = dir / ".stdin";
  const fs::path out = dir / ".stdout";
  const fs::path err = dir / ".stderr";
  write_file(in, input);
  const std::string bin = binary_path().string();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(bin.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(dir.c_str()) != 0) ::_exit(126);
    const int fi = ::open(in.c_str(), O_RDONLY);
    const int fo = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int fe = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fi, 0);
    ::dup2(fo, 1);
    ::dup2(fe, 2);
    if (uid >= 0 && (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(uid)) != 0 ||
                     ::setuid(static_cast<uid_t>(uid)) != 0))
      ::_exit(125);
    ::execv(bin.c_str(), argv.data());
    ::_exit(127);
  }
  int ws = 0;
  ::waitpid(pid, &ws, 0);
  r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
  r.out = read_file(out);
  r.err = read_file(err);
  fs::remove(in);
  fs::remove(out);
  fs::remove(err);
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
  } else {
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
  s << "at byte " << i << " (sizes " << got.size() << " and " << want.size() << ")\n  got:  "
    << got.substr(from, 120) << "\n  want: " << want.substr(from, 120);
  return s.str();
}

}  // namespace

std::string check_scenario(const fs::path& sc, const fs::path& rinex_dir) {
  ScratchDir work;
  const fs::path dir = work.path();
  fs::copy_file(sc / "list.txt", dir / "list.txt");
  std::istringstream list(read_file(sc / "list.txt"));
  for (std::string line; std::getline(list, line);) {
    std::string name = line.substr(0, 78);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\r')) name.pop_back();
    if (name.empty() || name.find('/') != std::string::npos || fs::exists(dir / name)) continue;
    if (fs::exists(sc / name))
      fs::create_symlink(fs::absolute(sc / name), dir / name);
    else if (!rinex_dir.empty() && fs::exists(rinex_dir / name))
      fs::create_symlink(fs::absolute(rinex_dir / name), dir / name);
  }
  if (fs::exists(sc / "existing.obsquilt.txt"))
    fs::copy_file(sc / "existing.obsquilt.txt", dir / "obsquilt.txt");
  const std::string input = fs::exists(sc / "stdin") ? read_file(sc / "stdin") : "\n";
  const RunResult r = run_binary(dir, scenario_args(sc), input);

  std::ostringstream problems;
  const int want_status = std::stoi(read_file(sc / "expected.status"));
  if (r.status != want_status)
    problems << "exit status " << r.status << ", expected " << want_status << "\n";
  const std::string want_out = read_file(sc / "expected.stdout");
  if (r.out != want_out) problems << "console differs " << first_difference(r.out, want_out) << "\n";
  const std::string want_err = trim(read_file(sc / "expected.stderr"));
  const std::string got_err = trim(r.err);
  if (want_err.empty()) {
    if (!got_err.empty()) problems << "unexpected error stream: " << r.err << "\n";
  } else {
    const std::string last = got_err.substr(got_err.rfind('\n') + 1);
    if (last.size() < want_err.size() ||
        last.compare(last.size() - want_err.size(), want_err.size(), want_err) != 0)
      problems << "error stream ends with \"" << last << "\", expected \"" << want_err << "\"\n";
  }
  if (fs::exists(sc / "expected.obsquilt.txt")) {
    const std::string want = read_file(sc / "expected.obsquilt.txt");
    if (!r.output_exists)
      problems << "no obsquilt.txt written\n";
    else if (r.output_file != want)
      problems << "obsquilt.txt differs " << first_difference(r.output_file, want) << "\n";
  }
  return problems.str();
}

}  // namespace obsq::test
