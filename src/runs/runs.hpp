// A network's day from the runs of the merge: each station group merged in one or several time
// windows (joined by Day), the groups side by side. The files of one group have the same
// receivers; files with other receivers are another group. Groups are taken in the order their
// first file is given (the order of the plan), their receivers one after the other, each once.
// The joined day reads as the one run over all files would have written it: its receivers in
// that order, each epoch's blocks in the order of the run's type table and their satellites in
// the order of its satellite table, both rebuilt from where the runs first show them (a
// satellite ranks by the first receiver with a value of it, then by that receiver's first epoch
// with one, then by its column there). Runs in time windows need this too: each window's run
// lists its satellites in the order it met them within its window.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "quiltfile/quiltfile.hpp"
#include "runs/day.hpp"

namespace obsq::runs {

class Runs final : public quilt::Stream {
 public:
  // Opens every file and reads its header. Throws quilt::FormatError when the files do not make
  // one day (as Day, and between groups: another step). A skimming day (see Day) gives the
  // epochs' times, types and satellites only, no values.
  Runs(const std::vector<std::string>& paths, bool allow_gaps, bool skim = false);
  ~Runs() override;

  const quilt::Header& header() const override { return header_; }
  bool has_range() const { return header_.has_range; }
  int32_t tmin() const { return header_.tmin; }
  int32_t tmax() const { return header_.tmax; }
  int32_t step() const { return header_.step; }

  // The next epoch of the day; false at the end. Seconds between the first and the last epoch
  // that no group holds come as epochs without blocks, as one run writes them.
  bool next(quilt::Epoch& ep) override;
  // The file of the last epoch given (of the first group that holds it).
  const std::string& path() const override;
  // The files: groups in order, each in time order.
  std::vector<std::string> paths() const;
  // Ambiguous rows of every file (FILE:LINE: warning: ...), once all are read.
  const std::vector<std::string>& ambiguities() const override;
  uint64_t bytes_read() const override;

 private:
  struct Group {
    std::unique_ptr<Day> day;
    size_t offset = 0;  // its first receiver in the day
    quilt::Epoch pending;
    bool has_pending = false;
  };
  void rank(const std::vector<std::vector<std::string>>& groups, bool allow_gaps);

  std::vector<Group> groups_;
  quilt::Header header_;
  bool ranked_ = false;  // several files: epochs rebuilt in the order of one run
  bool skim_ = false;
  size_t last_ = 0;  // group of the last epoch given
  bool started_ = false;
  int32_t next_second_ = 0;
  int32_t year_ = 0, month_ = 0, day_ = 0;
  std::string date_place_;
  std::map<std::string, size_t> type_rank_, sat_rank_;
  mutable std::vector<std::string> ambiguities_;
};

}  // namespace obsq::runs
