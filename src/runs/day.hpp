// One day from one or several obsquilt.txt files: the same receivers merged in time windows
// (consecutive or overlapping, the same step and date), read as one stream of epochs as if a
// single run had written them. Where windows overlap, the files must hold the same epochs; each
// second of day comes out once.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "quiltfile/quiltfile.hpp"

namespace obsq::runs {

class Day {
 public:
  // Opens every file and reads its header; the files are taken in the order of their first
  // epoch. Throws quilt::FormatError, like the reader, naming the first difference when they
  // do not make one day: other receivers, another step, a gap between windows (unless
  // allow_gaps), a window inside the previous one. A skimming day reads only the epochs' lines
  // of times, types and satellites (see quilt::Reader, skimming) and leaves overlapping epochs
  // uncompared.
  Day(const std::vector<std::string>& paths, bool allow_gaps, bool skim = false);
  ~Day();

  // Receivers and step (of the first file).
  const quilt::Header& header() const { return files_.front()->header(); }
  // The epochs of all files together: has_range false when no file holds one.
  bool has_range() const { return has_range_; }
  int32_t tmin() const { return tmin_; }
  int32_t tmax() const { return tmax_; }
  int32_t step() const { return header().step; }

  // The next epoch of the day; false at the end. Epochs where windows overlap are compared
  // (FormatError at the first difference) and given once.
  bool next(quilt::Epoch& ep);
  // The file and line of the last epoch given.
  const std::string& path() const { return files_[cur_]->path(); }
  // The files, in time order.
  std::vector<std::string> paths() const;
  // Ambiguous rows of every file (FILE:LINE: warning: ...), once all are read.
  std::vector<std::string> ambiguities() const;
  uint64_t bytes_read() const;

 private:
  std::vector<std::unique_ptr<quilt::Reader>> files_;
  size_t cur_ = 0;
  bool has_range_ = false;
  int32_t tmin_ = 0, tmax_ = 0;
  quilt::Epoch other_;  // an overlapping file's copy of the epoch
  bool dated_ = false;
  int32_t year_ = 0, month_ = 0, day_ = 0;
  std::string date_place_;
  bool skim_ = false;
};

}  // namespace obsq::runs
