// Shared set-up of the fuzz targets: a scratch working directory (on a memory file system where
// there is one), the console sent nowhere, and a run of the program's stages that treats stops
// and record-layer errors as the normal outcomes they are. A failed system call aborts: the
// fuzzer then reports it instead of going on with a broken set-up.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

#include "records/fields.hpp"
#include "records/runstate.hpp"
#include "records/units.hpp"

namespace obsq::fuzz {

// The working directory of one input: a private scratch folder (made once per process) while
// the object lives, then back to where the fuzzer works (it keeps relative corpus paths).
class InScratch {
 public:
  InScratch() {
    static const std::string dir = make_dir();
    back_ = ::open(".", O_RDONLY | O_DIRECTORY);
    if (back_ < 0 || ::chdir(dir.c_str()) != 0) ::abort();
  }
  ~InScratch() {
    if (::fchdir(back_) != 0) ::abort();
    ::close(back_);
  }
  InScratch(const InScratch&) = delete;
  InScratch& operator=(const InScratch&) = delete;

 private:
  static std::string make_dir() {
    const int null = ::open("/dev/null", O_WRONLY);  // the console goes nowhere
    if (null < 0) ::abort();
    out_unit(kConsoleUnit).attach(null, "", true);
    for (std::string tmpl :
         {std::string("/dev/shm"), std::filesystem::temp_directory_path().string()}) {
      tmpl += "/obsquilt-fuzz-XXXXXX";
      if (::mkdtemp(tmpl.data()) != nullptr) return tmpl;
    }
    ::abort();
  }
  int back_;
};

inline void put_file(const char* name, std::string_view bytes) {
  FILE* f = std::fopen(name, "wb");
  if (f == nullptr) ::abort();
  const bool written =
      bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (std::fclose(f) != 0 || !written) ::abort();
}

// Runs f; a stop or a record-layer error is an ordinary end of a run.
template <typename F>
void run_guarded(F&& f) {
  try {
    f();
  } catch (const Stop&) {
  } catch (const RecordError&) {}
  try {
    in_unit(kListUnit).close();
    in_unit(kRinexUnit).close();
    out_unit(kOutputUnit).close();
  } catch (const RecordError&) {}
}

}  // namespace obsq::fuzz
