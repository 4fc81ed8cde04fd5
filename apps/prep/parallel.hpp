// obsquilt-prep's inputs on the machine's cores: each input is read (unwrapped, decoded, its
// epochs sorted out and written) on a worker thread of the engine's ordered pool, a few inputs
// ahead, while the calling thread says what became of them, and commits their files, strictly in
// argument order. The messages, list.txt and every file are those of a sequential run, which
// OBSQUILT_SEQUENTIAL=1 (or a single core) gives.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "records/workers.hpp"

namespace obsq::prep {

// Calls make(i, item) for i = 0 .. n-1, on worker threads when there are any, and take(i, item)
// on the calling thread in index order. make must keep its failures in the item (take raises
// them) and do nothing another input's work or the user can see; whatever is seen (messages,
// files put in place) belongs in take. An item is made afresh (Item{}) for every input; the
// items of inputs made ahead of a failure raised by take are destroyed unseen. Without `ahead`,
// each input is made and taken in turn on the calling thread.
template <typename Item, typename Make, typename Take>
void in_input_order(size_t n, Make make, Take take, bool ahead = true) {
  struct NoState {};
  const int workers = ahead ? worker_threads() : 0;
  if (workers > 0 && n > 1) {
    OrderedShape shape;
    shape.count = static_cast<int32_t>(n);
    shape.workers = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(workers), n));
    shape.window = 2 * shape.workers;
    auto make_one = [&](NoState&, int32_t i, Item& item) {
      item = Item{};
      make(static_cast<size_t>(i), item);
    };
    auto take_one = [&](int32_t i, Item& item) {
      take(static_cast<size_t>(i), item);
      item = Item{};
    };
    if (run_ordered<Item, NoState>(shape, make_one, take_one,
                                   [](const Item&) { return size_t{1}; }))
      return;
  }
  for (size_t i = 0; i < n; ++i) {
    Item item;
    make(i, item);
    take(i, item);
  }
}

}  // namespace obsq::prep
