// obsquilt-export --page: the day's page gathered from the export's own read of the files. The
// export reads its epochs through a PageTee; each epoch it is done with (it asks for the next) is
// handed to the page's gatherer, on a thread of its own when the read is threaded, by swapping
// it for an epoch the gatherer is done with: nothing is copied and nothing is read twice.
#pragma once

#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "quiltfile/quiltfile.hpp"
#include "report/summary.hpp"

namespace obsq::exporter {

class PageTee final : public quilt::Stream {
 public:
  // Reads `inner` (its header read); gathers the page when `page` is not null, on a thread of
  // its own when `threaded`.
  PageTee(quilt::Stream& inner, report::Day* page, bool threaded);
  ~PageTee() override;
  PageTee(const PageTee&) = delete;
  PageTee& operator=(const PageTee&) = delete;

  const quilt::Header& header() const override { return inner_.header(); }
  // Hands the epoch given last to the page, then reads the next into `epoch`. A failure of the
  // page's gathering (quilt::FormatError) is raised here, as soon as it is known.
  bool next(quilt::Epoch& epoch) override;
  const std::vector<std::string>& ambiguities() const override { return inner_.ambiguities(); }
  uint64_t bytes_read() const override { return inner_.bytes_read(); }
  const std::string& path() const override { return inner_.path(); }

  // Once next gave false: waits for the page's last epochs and fills the page's day.
  void finish();

 private:
  static constexpr size_t kSlots = 8;  // epochs waiting for the gatherer at most
  static constexpr size_t kBatch = 4;  // a waiting side is woken once this many are there

  void hand_over(quilt::Epoch& epoch);
  void gather();  // the gatherer's thread
  void stop();
  void raise_failure();

  quilt::Stream& inner_;
  report::Day* page_;
  std::unique_ptr<report::DayGatherer> gatherer_;
  bool given_ = false;  // an epoch was given by next: the caller holds it
  std::vector<quilt::Epoch> slots_;
  size_t head_ = 0, filled_ = 0;  // the ring of epochs handed over and not gathered yet
  bool ended_ = false, stopping_ = false;
  std::exception_ptr failure_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::thread thread_;
};

}  // namespace obsq::exporter
