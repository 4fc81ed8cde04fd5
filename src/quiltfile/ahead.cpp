#include "quiltfile/ahead.hpp"

#include <system_error>
#include <utility>

namespace obsq::quilt {

ReadAhead::ReadAhead(Stream& inner, bool threaded)
    : inner_(inner), threaded_(threaded), path_(inner.path()), bytes_(inner.bytes_read()) {
  if (!threaded_) return;
  slots_.resize(kSlots);
  try {
    thread_ = std::thread([this] { produce(); });
  } catch (const std::system_error&) {
    threaded_ = false;  // no thread to be had: read as the epochs are asked for
  }
}

ReadAhead::~ReadAhead() { stop(); }

void ReadAhead::stop() {
  {
    std::lock_guard lock(m_);
    stopping_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void ReadAhead::produce() {
  for (;;) {
    size_t at = 0;
    {
      std::unique_lock lock(m_);
      if (count_ == slots_.size())
        cv_.wait(lock, [&] { return stopping_ || count_ + kBatch <= slots_.size(); });
      if (stopping_) return;
      at = (head_ + count_) % slots_.size();  // the consumer takes only counted slots
    }
    Slot& slot = slots_[at];
    bool more = false;
    std::exception_ptr failure;
    try {
      more = inner_.next(slot.epoch);
      if (more) {
        slot.path = inner_.path();
        slot.bytes = inner_.bytes_read();
      }
    } catch (...) {
      failure = std::current_exception();
    }
    std::lock_guard lock(m_);
    if (!more) {
      finished_ = true;
      failure_ = failure;
      cv_.notify_all();
      return;
    }
    if (++count_ == kBatch) cv_.notify_all();
  }
}

bool ReadAhead::next(Epoch& epoch) {
  if (!threaded_) {
    try {
      if (inner_.next(epoch)) {
        path_ = inner_.path();
        bytes_ = inner_.bytes_read();
        return true;
      }
    } catch (...) {
      ended_ = true;
      throw;
    }
    ended_ = true;
    return false;
  }
  std::unique_lock lock(m_);
  if (count_ == 0) cv_.wait(lock, [&] { return count_ >= kBatch || finished_; });
  if (count_ == 0) {
    lock.unlock();
    stop();
    ended_ = true;
    if (failure_) std::rethrow_exception(failure_);
    return false;
  }
  Slot& slot = slots_[head_];
  std::swap(epoch, slot.epoch);
  path_.swap(slot.path);
  bytes_ = slot.bytes;
  head_ = (head_ + 1) % slots_.size();
  if (--count_ + kBatch == slots_.size()) cv_.notify_all();
  return true;
}

const std::vector<std::string>& ReadAhead::ambiguities() const {
  return ended_ ? inner_.ambiguities() : none_;
}

uint64_t ReadAhead::bytes_read() const { return bytes_; }

const std::string& ReadAhead::path() const { return path_; }

}  // namespace obsq::quilt
