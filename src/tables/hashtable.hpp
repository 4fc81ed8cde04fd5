// The chained hash table: a fixed array of key slots filled strictly in order 1, 2, 3, ...,
// a bucket-head array and a chain-link array. Slots are never removed, so a key's slot is
// stable for the whole run and the slot order is the order of first insertion; new keys are
// appended at the end of their chain, so a chain lists its keys in insertion order.
//
// The arrays are allocated once, as zero pages the system hands out lazily: a run only pays
// (in resident memory) for the slots and buckets it touches.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace obsq {

// An array of n zero-filled elements mapped once; clear() gives the pages back, zeroed.
class ZeroPages {
 public:
  explicit ZeroPages(size_t bytes);
  ~ZeroPages();
  ZeroPages(const ZeroPages&) = delete;
  ZeroPages& operator=(const ZeroPages&) = delete;
  void* data() const { return data_; }
  void clear();

 private:
  void* data_;
  size_t bytes_;
};

// Hash: a functor giving the bucket (1..modulus) of a key; Equal: key equality.
template <typename Key, typename Hash>
class ChainedTable {
 public:
  ChainedTable(int32_t modulus, int32_t capacity)
      : keys_mem_(sizeof(Key) * (static_cast<size_t>(capacity) + 1)),
        heads_mem_(sizeof(int32_t) * (static_cast<size_t>(modulus) + 1)),
        links_mem_(sizeof(int32_t) * (static_cast<size_t>(capacity) + 1)),
        keys_(static_cast<Key*>(keys_mem_.data())),
        heads_(static_cast<int32_t*>(heads_mem_.data())),
        links_(static_cast<int32_t*>(links_mem_.data())),
        modulus_(modulus),
        capacity_(capacity) {}

  // newXXX: empty the table. Only the heads need clearing: slots at or above next are never read.
  void init() {
    if (next_ > 1) heads_mem_.clear();
    next_ = 1;
    ++generation_;
  }

  // lokXXX: on a miss, bucket != 0 names the empty bucket to hook a new key into; otherwise
  // slot is the last slot of the chain.
  bool locate(const Key& key, int32_t& bucket, int32_t& slot) const {
    const int32_t b = Hash{}(key, modulus_);
    int32_t s = heads_[b];
    if (s == 0) {
      bucket = b;
      slot = 0;
      return false;
    }
    bucket = 0;
    for (;;) {
      if (keys_[s] == key) {
        slot = s;
        return true;
      }
      if (links_[s] == 0) {
        slot = s;
        return false;
      }
      s = links_[s];
    }
  }

  // putXXX: 1 = inserted (slot not written); 0 = present (slot = its slot) or full (slot = 0).
  int32_t put(const Key& key, int32_t& slot) {
    int32_t bucket = 0;
    int32_t at = 0;
    if (locate(key, bucket, at)) {
      slot = at;
      return 0;
    }
    if (next_ > capacity_) {
      slot = 0;
      return 0;
    }
    if (bucket != 0)
      heads_[bucket] = next_;
    else
      links_[at] = next_;
    keys_[next_] = key;
    links_[next_] = 0;
    ++next_;
    return 1;
  }

  // getXXX: 1 = found with its slot; 0 = absent, slot = the slot the key would take.
  int32_t get(const Key& key, int32_t& slot) const {
    int32_t bucket = 0;
    int32_t at = 0;
    if (locate(key, bucket, at)) {
      slot = at;
      return 1;
    }
    slot = next_;
    return 0;
  }

  // numXXX
  int32_t count() const { return next_ - 1; }

  const Key& key(int32_t slot) const { return keys_[slot]; }
  int32_t next() const { return next_; }
  // Changes whenever the table is emptied: with count(), it tells whether anything changed.
  uint64_t generation() const { return generation_; }
  int32_t modulus() const { return modulus_; }
  int32_t capacity() const { return capacity_; }
  // Hints the memory system that the bucket of a key will be searched soon.
  void prefetch(const Key& key) const { __builtin_prefetch(&heads_[Hash{}(key, modulus_)]); }
  // The same for the first slot of the bucket's chain, its key and its link (best after
  // prefetch() had time to land): a new key is compared with it and then follows its link.
  void prefetch_chain(const Key& key) const {
    const int32_t s = heads_[Hash{}(key, modulus_)];
    if (s != 0) {
      __builtin_prefetch(&keys_[s]);
      __builtin_prefetch(&links_[s]);
    }
  }

 private:
  ZeroPages keys_mem_;
  ZeroPages heads_mem_;
  ZeroPages links_mem_;
  Key* keys_;
  int32_t* heads_;
  int32_t* links_;
  int32_t modulus_;
  int32_t capacity_;
  int32_t next_ = 1;
  uint64_t generation_ = 0;
};

}  // namespace obsq
