#include "pagetee.hpp"

#include <memory>
#include <utility>

namespace obsq::exporter {

PageTee::PageTee(quilt::Stream& inner, report::Day* page, bool threaded)
    : inner_(inner), page_(page) {
  if (page_ == nullptr) return;
  gatherer_ = std::make_unique<report::DayGatherer>(inner_, report::Window{});
  if (!threaded) return;
  slots_.resize(kSlots);
  thread_ = std::thread([this] { gather(); });
}

PageTee::~PageTee() { stop(); }

void PageTee::stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
}

void PageTee::raise_failure() {
  if (failure_) std::rethrow_exception(failure_);
}

bool PageTee::next(quilt::Epoch& epoch) {
  if (given_ && gatherer_) hand_over(epoch);
  given_ = inner_.next(epoch);
  return given_;
}

void PageTee::hand_over(quilt::Epoch& epoch) {
  if (!thread_.joinable()) {
    gatherer_->epoch(epoch);
    return;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  if (filled_ == kSlots)
    changed_.wait(lock, [this] { return filled_ + kBatch <= kSlots || failure_; });
  raise_failure();
  std::swap(epoch, slots_[(head_ + filled_) % kSlots]);
  if (++filled_ == kBatch) changed_.notify_all();
}

void PageTee::gather() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (filled_ == 0)
      changed_.wait(lock, [this] { return filled_ >= kBatch || ended_ || stopping_; });
    if (stopping_ || filled_ == 0) return;  // stopped, or ended with every epoch gathered
    quilt::Epoch& e = slots_[head_];
    lock.unlock();
    std::exception_ptr failed;
    try {
      gatherer_->epoch(e);
    } catch (...) {
      failed = std::current_exception();
    }
    lock.lock();
    head_ = (head_ + 1) % kSlots;
    --filled_;
    if (failed) {
      failure_ = failed;
      changed_.notify_all();
      return;
    }
    if (filled_ + kBatch == kSlots) changed_.notify_all();
  }
}

void PageTee::finish() {
  if (!gatherer_) return;  // next gave false: every epoch it gave is handed over
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ended_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  raise_failure();
  *page_ = gatherer_->finish(inner_);
}

}  // namespace obsq::exporter
