// Helpers shared by the tests: a scratch working directory, file contents, the outcome of a
// call that may stop, and console capture for routines run in-process.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>

#include "records/fields.hpp"
#include "records/units.hpp"

namespace obsq::test {

// Raises with the system's reason when a system call failed: a test never goes on blindly.
inline void check(bool ok, const std::string& what) {
  if (!ok) throw std::runtime_error(what + ": " + std::strerror(errno));
}

// A fresh directory under the system's temporary folder, the working directory while it lives.
class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "obsquilt-test-XXXXXX").string();
    check(::mkdtemp(tmpl.data()) != nullptr, "mkdtemp " + tmpl);
    path_ = tmpl;
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::current_path(old_, ec);
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::filesystem::path old_;
};

inline void write_file(const std::filesystem::path& p, std::string_view bytes) {
  std::ofstream f(p, std::ios::binary);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!f.flush()) throw std::runtime_error("cannot write " + p.string());
}

inline std::string read_file(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + p.string());
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// How a call ended: "return", "STOP n" or the record-layer error's message.
inline std::string outcome_of(auto&& f) {
  try {
    f();
  } catch (const Stop& s) {
    return "STOP " + std::to_string(s.code);
  } catch (const RecordError& e) {
    return e.message;
  }
  return "return";
}

// The code of the stop a call ends in (0 when it returns); the message of the record-layer
// error it ends in ("no error" when it returns).
inline int stop_code_of(auto&& f) {
  const std::string o = outcome_of(f);
  return o.starts_with("STOP ") ? std::stoi(o.substr(5)) : 0;
}
inline std::string record_error_of(auto&& f) {
  const std::string o = outcome_of(f);
  return o == "return" || o.starts_with("STOP ") ? "no error" : o;
}

// Sends the console (unit 6) to a temporary file while the object lives. text() reads the file
// as it stands, without flushing the unit: the console must have passed every statement on.
class ConsoleCapture {
 public:
  ConsoleCapture() : file_(std::tmpfile()) {
    check(file_ != nullptr, "tmpfile");
    out_unit(kConsoleUnit).attach(::fileno(file_), "", true);
  }
  ~ConsoleCapture() {
    out_unit(kConsoleUnit).attach(STDOUT_FILENO, "", true);
    std::fclose(file_);
  }
  ConsoleCapture(const ConsoleCapture&) = delete;
  ConsoleCapture& operator=(const ConsoleCapture&) = delete;
  std::string text() {
    const off_t size = ::lseek(::fileno(file_), 0, SEEK_END);
    check(size >= 0, "lseek console");
    std::string s(static_cast<size_t>(size), '\0');
    check(::pread(::fileno(file_), s.data(), s.size(), 0) == static_cast<ssize_t>(s.size()),
          "pread console");
    return s;
  }

 private:
  FILE* file_;
};

}  // namespace obsq::test
