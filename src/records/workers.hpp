// Ordered work on worker threads: items 0, 1, ... made by workers in any order and taken by the
// calling thread strictly in order, so that everything the calling thread does (filing, writing,
// raising a failure) happens as in a sequential run. Both of the engine's pipelines stand on it:
// the observation reader's read-ahead of files and the writer's formatting of epochs.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace obsq {

// The worker threads a pipeline may use: 0 for record-by-record work. The one place that reads
// the environment and the machine: OBSQUILT_SEQUENTIAL set (to anything but "0") gives 0;
// OBSQUILT_WORKERS=N asks for N workers even on one core (the tests compare the two ways there
// too); otherwise one worker a core up to four, and none on a single core.
int worker_threads();

// Lowers the calling worker thread's priority a few steps below the process's, so that the
// thread taking the items in order, which nothing can share, runs whenever it has work: on two
// cores it then keeps one to itself instead of a third of two. Does nothing where not allowed.
void lower_worker_priority();

struct OrderedShape {
  int32_t count = 0;    // items 0 .. count-1
  int32_t workers = 1;  // threads started (fewer when the system refuses more)
  int32_t window = 3;   // items made ahead of the one taken, at most
  // Weight of the items made and not yet taken beyond which no further item is started,
  // besides the one to be taken next.
  size_t budget = std::numeric_limits<size_t>::max();
};

// Makes every item with make(state, index, item) on worker threads, each worker holding a State
// of its own, and hands them to take(index, item) on the calling thread in index order; weigh(item)
// counts against the budget while an item waits. make must keep its failures in the item (take
// raises them in order); a failure to get an item at all is raised when its turn comes. Items are
// used again once taken (take leaves them ready for that). A failure raised by take stops the
// workers and goes on to the caller. False, with nothing made or taken, when the system gives no
// thread at all.
template <typename Item, typename State, typename Make, typename Take, typename Weigh>
bool run_ordered(const OrderedShape& shape, Make make, Take take, Weigh weigh) {
  const size_t n = static_cast<size_t>(std::max(shape.count, 0));
  std::vector<std::unique_ptr<Item>> made(n);
  std::vector<std::exception_ptr> refused(n);
  std::vector<char> ready(n, 0);
  std::vector<std::unique_ptr<Item>> spare;  // taken items, their room used again
  std::mutex mu;
  std::condition_variable changed;
  int32_t next_to_make = 0;
  int32_t taking = 0;         // the item the calling thread waits for or takes
  size_t waiting_weight = 0;  // of items made and not yet taken
  bool quit = false;

  auto work = [&] {
    lower_worker_priority();
    State state;
    for (;;) {
      int32_t index = 0;
      std::unique_ptr<Item> item;
      {
        std::unique_lock<std::mutex> lock(mu);
        changed.wait(lock, [&] {
          return quit || (next_to_make < shape.count && next_to_make < taking + shape.window &&
                          (next_to_make == taking || waiting_weight < shape.budget));
        });
        if (quit) return;
        index = next_to_make++;
        if (!spare.empty()) {
          item = std::move(spare.back());
          spare.pop_back();
        }
      }
      std::exception_ptr no_item;
      try {
        if (!item) item = std::make_unique<Item>();
      } catch (...) {
        no_item = std::current_exception();
      }
      if (item) make(state, index, *item);
      {
        std::lock_guard<std::mutex> lock(mu);
        const size_t at = static_cast<size_t>(index);
        refused[at] = no_item;
        if (item) waiting_weight += weigh(*item);
        made[at] = std::move(item);
        ready[at] = 1;
      }
      changed.notify_all();
    }
  };

  std::vector<std::thread> threads;
  auto finish = [&] {
    {
      std::lock_guard<std::mutex> lock(mu);
      quit = true;
    }
    changed.notify_all();
    for (std::thread& t : threads) t.join();
    threads.clear();
  };
  for (int32_t w = 0; w < shape.workers; ++w) {
    try {
      threads.emplace_back(work);
    } catch (const std::system_error&) {
      break;
    }
  }
  if (threads.empty()) return false;
  try {
    for (int32_t index = 0; index < shape.count; ++index) {
      std::unique_ptr<Item> item;
      {
        const size_t at = static_cast<size_t>(index);
        std::unique_lock<std::mutex> lock(mu);
        changed.wait(lock, [&] { return ready[at] != 0; });
        item = std::move(made[at]);
        if (!item) std::rethrow_exception(refused[at]);
        waiting_weight -= weigh(*item);
      }
      take(index, *item);
      {
        std::lock_guard<std::mutex> lock(mu);
        taking = index + 1;
        spare.push_back(std::move(item));
      }
      changed.notify_all();
    }
  } catch (...) {
    finish();
    throw;
  }
  finish();
  return true;
}

}  // namespace obsq
