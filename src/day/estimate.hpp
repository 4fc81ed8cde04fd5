// What a day's files cost the observation store, counted as the engine's reader files them: for
// every accepted epoch the epoch-time entry, and for every satellite of its list one value per
// merged type (a blank field is filed too, as the missing-value marker). obsquilt-check reports
// this count for its window; obsquilt-day counts it per file and second of day, over the whole
// day, to cut the day into runs that fit the store.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "rinex/obsread.hpp"

namespace obsq::day {

// The store values of one file's epochs, per second of day, in the order of the file.
struct FileLoad {
  std::vector<int32_t> seconds;
  std::vector<int64_t> values;
};

// An observer of the reader that counts what every epoch with a second of day would cost the
// store, accepted by the window or not, and passes every call on to `next` when one is given (so
// that it can stand beside another observer).
class StoreCounter final : public ReadObserver {
 public:
  explicit StoreCounter(ReadObserver* next = nullptr) : next_(next) {}
  void types(int32_t file, const TypeCode* codes, int32_t n) override;
  void epoch(int32_t file, long record, std::string_view rec, bool has_second, int32_t second,
             bool accepted) override;
  void satellites(int32_t file, const SatCode* sats, int32_t n) override;

  // The values of the epochs the window accepted: what the store holds once the read is over.
  int64_t accepted() const { return accepted_; }
  // Per file (index file - 1): every epoch with a second of day.
  const std::vector<FileLoad>& files() const { return files_; }

 private:
  FileLoad& load(int32_t file);
  ReadObserver* next_;
  std::vector<FileLoad> files_;
  std::vector<int32_t> merged_;  // per file: the types the reader files
  int64_t accepted_ = 0;
};

// A stop or an error of the reader met while counting: where, and what the run would say.
struct EstimateError {
  std::string file;  // the file being read; empty for the list
  long line = 0;
  std::string message;
};

// The load of each named file (paths of at most 78 characters, as a list line takes them), read
// by the engine's list loader and observation reader in lists of at most 1000 files with a
// window that files nothing. A file the loader leaves out gets an empty load. The console lines
// of the reader are set aside. Throws EstimateError when the reader stops or fails.
std::vector<FileLoad> estimate_files(const std::vector<std::string>& names);

}  // namespace obsq::day
