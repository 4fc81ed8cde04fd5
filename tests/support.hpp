// Helpers shared by the tests: a scratch working directory, console capture for routines run
// in-process, and builders for RINEX 2 records.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "driver/records/records.hpp"
#include "driver/records/runstate.hpp"
#include "driver/records/units.hpp"

namespace obsq::test {

// A fresh directory that is the working directory while the object lives.
class ScratchDir {
 public:
  ScratchDir() {
    char tmpl[] = "/tmp/obsquilt-test-XXXXXX";
    path_ = ::mkdtemp(tmpl);
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(path_);
  }
  ~ScratchDir() {
    std::filesystem::current_path(old_);
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::filesystem::path old_;
};

// The code of the stop a call ends in, 0 when it returns.
inline int stop_code_of(auto&& f) {
  try {
    f();
  } catch (const Stop& s) {
    return s.code;
  }
  return 0;
}

// The message of the record-layer error a call ends in, "no error" when it returns.
inline std::string record_error_of(auto&& f) {
  try {
    f();
  } catch (const RecordError& e) {
    return e.message;
  }
  return "no error";
}

inline void write_file(const std::filesystem::path& p, std::string_view bytes) {
  std::ofstream f(p, std::ios::binary);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string read_file(const std::filesystem::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

// Sends the console (unit 6) to a temporary file while the object lives.
class ConsoleCapture {
 public:
  ConsoleCapture() {
    file_ = std::tmpfile();
    out_unit(kConsoleUnit).attach(::fileno(file_), "", true);
  }
  ~ConsoleCapture() {
    out_unit(kConsoleUnit).attach(STDOUT_FILENO, "", true);
    std::fclose(file_);
  }
  std::string text() {
    out_unit(kConsoleUnit).flush();
    std::string s;
    const off_t size = ::lseek(::fileno(file_), 0, SEEK_END);
    s.resize(static_cast<size_t>(size));
    if (size > 0 && ::pread(::fileno(file_), s.data(), s.size(), 0) != size) s.clear();
    return s;
  }

 private:
  FILE* file_;
};

// A header record: content in columns 1-60, label from column 61.
inline std::string hdr(std::string_view content, std::string_view label) {
  std::string r(content.substr(0, 60));
  r.resize(60, ' ');
  r += label;
  return r + "\n";
}

// The first record of a RINEX 2 observation file.
inline std::string version_record(std::string_view version = "2.11", char sys = 'G') {
  std::string c = std::string(9 - std::min<size_t>(9, version.size()), ' ') + std::string(version);
  c += "           OBSERVATION DATA    ";
  c += sys;
  return hdr(c, "RINEX VERSION / TYPE");
}

// "# / TYPES OF OBSERV" records for the codes given (9 per record).
inline std::string types_records(std::initializer_list<std::string_view> codes) {
  std::string out;
  char head[8];
  std::snprintf(head, sizeof head, "%6zu", codes.size());
  std::string c = head;
  int n = 0;
  for (std::string_view code : codes) {
    if (n > 0 && n % 9 == 0) {
      out += hdr(c, "# / TYPES OF OBSERV");
      c = "      ";
    }
    c += "    ";
    c += code;
    ++n;
  }
  out += hdr(c, "# / TYPES OF OBSERV");
  return out;
}

// An epoch record with flag and satellite list (continuation records for more than 12).
inline std::string epoch_record(int hour, int minute, double seconds, int flag,
                                std::initializer_list<std::string_view> sats, int count = -1) {
  char head[40];
  std::snprintf(head, sizeof head, " 12  7 18 %2d %2d%11.7f  %d%3d", hour, minute, seconds, flag,
                count >= 0 ? count : static_cast<int>(sats.size()));
  std::string out = head;
  int n = 0;
  for (std::string_view s : sats) {
    if (n > 0 && n % 12 == 0) out += "\n" + std::string(32, ' ');
    out += s;
    ++n;
  }
  return out + "\n";
}

// An observation record: values under f14.3 with two blank columns after each; a value of
// "blank" leaves its 14 columns blank.
inline std::string obs_record(std::initializer_list<std::string_view> fields) {
  std::string out;
  for (std::string_view f : fields) {
    std::string v(f);
    if (v == "blank") v.clear();
    out += std::string(14 - std::min<size_t>(14, v.size()), ' ') + v + "  ";
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out + "\n";
}

}  // namespace obsq::test
