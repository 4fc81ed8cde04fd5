#include "scenario.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "../child.hpp"
#include "../support.hpp"

namespace obsq::test {

namespace fs = std::filesystem;

fs::path binary_path() { return OBSQUILT_BIN; }
fs::path shared_dir() { return OBSQUILT_SHARED_DIR; }
fs::path scenario_root() { return OBSQUILT_SCENARIO_DIR; }

RunResult run_binary(const fs::path& dir, const std::vector<std::string>& args,
                     const std::string& input, int uid, long memory_kb) {
  Child c(binary_path().string(), args, dir, input);
  c.uid = uid;
  c.memory_kb = memory_kb;
  c.prompt = "Press ENTER key to stop program: ";
  const ChildResult child = run_child(c);
  RunResult r;
  r.status = child.status;
  r.out = child.out;
  r.err = child.err;
  r.hang = child.hang;
  r.output_exists = fs::is_regular_file(dir / "obsquilt.txt");  // not a device it points to
  if (r.output_exists) r.output_file = read_file(dir / "obsquilt.txt");
  return r;
}

namespace {

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
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

}  // namespace

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

ScenarioSetup::~ScenarioSetup() {
  for (const auto& p : immutable) (void)run_child({"/usr/bin/chattr", {"-i", p}});
}

void prepare_scenario(const fs::path& sc, const fs::path& rinex_dir, const fs::path& dir,
                      ScenarioSetup& setup) {
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
  std::istringstream steps(fs::exists(sc / "setup") ? read_file(sc / "setup") : "");
  for (std::string line; std::getline(steps, line);) {
    std::istringstream words(line);
    std::string op, name, value;
    words >> op >> name >> value;
    if (op == "dir") {
      fs::create_directory(dir / name);
    } else if (op == "link") {
      fs::create_symlink(value, dir / name);
    } else if (op == "mode") {
      fs::permissions(dir / name, static_cast<fs::perms>(std::stoi(value, nullptr, 8)));
    } else if (op == "immutable") {
      if (run_child({"/usr/bin/chattr", {"+i", (dir / name).string()}}).status != 0) {
        setup.skip = "chattr +i is refused here, so the file stays writable";
        return;
      }
      setup.immutable.push_back((dir / name).string());
    } else if (op == "user") {
      if (::geteuid() != 0) {
        setup.skip = "running the program as another user needs root";
        return;
      }
      setup.uid = 65534;
      fs::permissions(dir, fs::perms::all);
    } else if (op == "memory") {
#if defined(__SANITIZE_ADDRESS__)
      setup.skip = "an address-space limit stops the address sanitizer itself";
      return;
#endif
      setup.memory_kb = std::stol(name);
    } else if (!op.empty()) {
      setup.problem = "unknown setup step: " + line + "\n";
      return;
    }
  }
}

std::string check_scenario(const fs::path& sc, const fs::path& rinex_dir, std::string* skip) {
  ScratchDir work;
  const fs::path dir = work.path();
  ScenarioSetup setup;
  prepare_scenario(sc, rinex_dir, dir, setup);
  *skip = setup.skip;
  if (!setup.skip.empty() || !setup.problem.empty()) return setup.problem;
  const int uid = setup.uid;
  const long memory_kb = setup.memory_kb;
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
