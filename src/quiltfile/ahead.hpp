// A stream of epochs read ahead on a thread of its own: the programs after the merge spend about
// half their time parsing obsquilt.txt, and a second core can do that while the first uses the
// epochs. The epochs, and a failure of the read, come in the order and at the point the stream
// itself gives them.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quiltfile/quiltfile.hpp"

namespace obsq::quilt {

class ReadAhead final : public Stream {
 public:
  // Reads `inner` (its header already read) ahead when `threaded`, otherwise passes its epochs
  // through as they are read. `inner` must not be used elsewhere while this reads it.
  ReadAhead(Stream& inner, bool threaded);
  ~ReadAhead() override;
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  const Header& header() const override { return inner_.header(); }
  // The next epoch (swapped into `epoch`, whose vectors are reused); false at the end; a failure
  // of the read is raised once every epoch before it is given.
  bool next(Epoch& epoch) override;
  // The ambiguous rows once the stream has ended (next gave false or raised); none before.
  const std::vector<std::string>& ambiguities() const override;
  // Bytes read and the file, as of the last epoch given.
  uint64_t bytes_read() const override;
  const std::string& path() const override;

 private:
  struct Slot {
    Epoch epoch;
    std::string path;
    uint64_t bytes = 0;
  };
  static constexpr size_t kSlots = 8;  // epochs read ahead at most
  // A side that has to wait (for an epoch, or for room) is woken once this many are there: the
  // two threads hand over in batches instead of waking each other for every epoch.
  static constexpr size_t kBatch = 4;

  void produce();
  void stop();

  Stream& inner_;
  bool threaded_;
  std::string path_;
  uint64_t bytes_ = 0;
  bool ended_ = false;
  std::vector<std::string> none_;

  std::mutex m_;
  std::condition_variable cv_;
  std::vector<Slot> slots_;
  size_t head_ = 0, count_ = 0;  // the epochs read and not yet given
  bool finished_ = false;        // the reading thread is done: at the end or failed
  bool stopping_ = false;
  std::exception_ptr failure_;
  std::thread thread_;
};

}  // namespace obsq::quilt
