#include "day/estimate.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>

#include "records/fields.hpp"
#include "records/runstate.hpp"
#include "records/units.hpp"
#include "rinex/loadlist.hpp"
#include "tables/tables.hpp"

namespace obsq::day {

FileLoad& StoreCounter::load(int32_t file) {
  const size_t i = static_cast<size_t>(file - 1);
  if (files_.size() <= i) files_.resize(i + 1), merged_.resize(i + 1, 0);
  return files_[i];
}

void StoreCounter::types(int32_t file, const TypeCode* codes, int32_t n) {
  load(file);
  // The reader files the types of the list that are in the type table, each once per satellite.
  int32_t merged = 0;
  for (int32_t k = 0; k < n; ++k) {
    int32_t slot = 0;
    merged += getmob(codes[k], slot) == 1;
  }
  merged_[static_cast<size_t>(file - 1)] = merged;
  if (next_ != nullptr) next_->types(file, codes, n);
}

void StoreCounter::epoch(int32_t file, long record, std::string_view rec, bool has_second,
                         int32_t second, bool accepted) {
  if (has_second) {
    // The satellite count of the epoch record, read as the reader reads it.
    int32_t nsat = 0;
    if (!try_get_i(rec, 30, 3, nsat) || nsat < 0) nsat = 0;
    FileLoad& f = load(file);
    const int64_t values = 1 + int64_t{nsat} * merged_[static_cast<size_t>(file - 1)];
    f.seconds.push_back(second);
    f.values.push_back(values);
    if (accepted) accepted_ += values;
  }
  if (next_ != nullptr) next_->epoch(file, record, rec, has_second, second, accepted);
}

void StoreCounter::satellites(int32_t file, const SatCode* sats, int32_t n) {
  if (next_ != nullptr) next_->satellites(file, sats, n);
}

namespace {

// Sends the console of the engine to a descriptor and back to standard output.
struct ConsoleAside {
  int fd;
  ConsoleAside() : fd(::open("/dev/null", O_WRONLY | O_CLOEXEC)) {
    out_unit(kConsoleUnit).attach(fd, "", true);
  }
  ~ConsoleAside() {
    out_unit(kConsoleUnit).attach(STDOUT_FILENO, "", true);
    ::close(fd);
  }
};

std::string trimmed_name(const char* field) {
  const std::string_view f(field, kNameLength);
  return std::string(f.substr(0, static_cast<size_t>(ntrim(f))));
}

}  // namespace

std::vector<FileLoad> estimate_files(const std::vector<std::string>& names) {
  std::vector<FileLoad> out(names.size());
  std::map<std::string, size_t> index;
  for (size_t i = 0; i < names.size(); ++i) index.emplace(names[i], i);
  const std::string list =
      (std::filesystem::temp_directory_path() / ("obsquilt-estimate-" + std::to_string(::getpid())))
          .string();
  ConsoleAside aside;
  for (size_t first = 0; first < names.size(); first += kMaxFiles) {
    const size_t last = std::min(names.size(), first + kMaxFiles);
    {
      std::FILE* f = std::fopen(list.c_str(), "w");
      if (f == nullptr) throw EstimateError{"", 0, list + ": " + std::strerror(errno)};
      for (size_t i = first; i < last; ++i) std::fprintf(f, "%s\n", names[i].c_str());
      if (std::fclose(f) != 0) throw EstimateError{"", 0, list + ": " + std::strerror(errno)};
    }
    StoreCounter counter;
    reset_run_state();
    InUnit& rinex = in_unit(kRinexUnit);
    std::string failure;
    try {
      in_unit(kListUnit).open(list);
      loadlist(kListUnit, kRinexUnit);
      in_unit(kListUnit).close();
      set_read_observer(&counter);
      // A window of the day's last second only: the reader counts every epoch and files (almost)
      // nothing.
      int32_t tmin = 0, tmax = 0;
      storeobs(kRinexUnit, 86400, 86400, 86400, tmin, tmax);
    } catch (const Stop& s) {
      failure = "the merge stops here with STOP " + std::to_string(s.code);
    } catch (const RecordError& r) {
      failure = "the merge ends here with the error \"" + r.message + "\"";
    }
    set_read_observer(nullptr);
    if (!failure.empty()) {
      EstimateError e{rinex.is_open() ? rinex.name() : "", rinex.record_number(), failure};
      rinex.close();
      in_unit(kListUnit).close();
      std::remove(list.c_str());
      throw e;
    }
    rinex.close();
    for (int32_t i = 1; i <= master.nfiles; ++i) {
      const auto it = index.find(trimmed_name(master.fname[i]));
      if (it != index.end() && static_cast<size_t>(i - 1) < counter.files().size())
        out[it->second] = counter.files()[static_cast<size_t>(i - 1)];
    }
  }
  std::remove(list.c_str());
  return out;
}

}  // namespace obsq::day
