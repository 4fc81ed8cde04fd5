#include "tables/obsstore.hpp"

#include <algorithm>

namespace obsq {

ObsStore::ObsStore(int32_t modulus, int32_t capacity, BucketHash hash)
    : members_mem_(sizeof(uint16_t) * (static_cast<size_t>(capacity) + 1)),
      members_(static_cast<uint16_t*>(members_mem_.data())),
      hash_(1024, 0),
      hash_mask_(1023),
      marks_(static_cast<size_t>(kMembers), Mark{0, 0}),
      bucket_hash_(hash),
      modulus_(modulus),
      capacity_(capacity) {}

void ObsStore::init() {
  if (next_ > 1) {
    runs_.clear();
    wide_.clear();
    std::fill(hash_.begin(), hash_.end(), 0);
    std::fill(marks_.begin(), marks_.end(), Mark{0, 0});
  }
  next_ = 1;
  ++generation_;
}

size_t ObsStore::hash_pos(int64_t group) const {
  const uint64_t h = static_cast<uint64_t>(group) * 0x9E3779B97F4A7C15ULL;
  return static_cast<size_t>(h >> 32) & hash_mask_;
}

int32_t ObsStore::latest_run(int64_t group) const {
  for (size_t p = hash_pos(group);; p = (p + 1) & hash_mask_) {
    const int32_t r = hash_[p];
    if (r == 0) return -1;
    if (runs_[static_cast<size_t>(r - 1)].group == group) return r - 1;
  }
}

void ObsStore::prefetch(int64_t key) const {
  int64_t group = 0;
  int32_t member = 0;
  split(key, group, member);
  __builtin_prefetch(&hash_[hash_pos(group)]);
}

void ObsStore::grow_hash() {
  hash_.assign(hash_.size() * 2, 0);
  hash_mask_ = hash_.size() - 1;
  // Later runs replace earlier ones of their group: the entry ends at the latest.
  for (size_t r = 0; r < runs_.size(); ++r) {
    size_t p = hash_pos(runs_[r].group);
    while (hash_[p] != 0 && runs_[static_cast<size_t>(hash_[p] - 1)].group != runs_[r].group)
      p = (p + 1) & hash_mask_;
    hash_[p] = static_cast<int32_t>(r + 1);
  }
}

void ObsStore::hook_run(int64_t group) {
  if ((runs_.size() + 1) * 2 > hash_.size()) grow_hash();
  const int32_t index = static_cast<int32_t>(runs_.size());
  size_t p = hash_pos(group);
  int32_t prev = -1;
  for (;; p = (p + 1) & hash_mask_) {
    const int32_t r = hash_[p];
    if (r == 0) break;
    if (runs_[static_cast<size_t>(r - 1)].group == group) {
      prev = r - 1;
      break;
    }
  }
  hash_[p] = index + 1;
  runs_.push_back({group, next_, prev});
}

int32_t ObsStore::find(int64_t group, int32_t member) const {
  int32_t r;
  if (!runs_.empty() && runs_.back().group == group) {
    // The run being filled: its members are marked.
    const Mark& m = marks_[static_cast<size_t>(member)];
    if (m.run == static_cast<int32_t>(runs_.size())) return m.slot;
    r = runs_.back().prev;
  } else {
    r = latest_run(group);
  }
  // Earlier runs of the group: searched member by member, by code (a wide code by its member).
  const uint16_t code = code_of(member);
  for (; r >= 0; r = runs_[static_cast<size_t>(r)].prev) {
    const size_t ri = static_cast<size_t>(r);
    const int32_t end = ri + 1 < runs_.size() ? runs_[ri + 1].first : next_;
    if (code != kWideCode) {
      for (int32_t s = runs_[ri].first; s < end; ++s)
        if (members_[s] == code) return s;
    } else {
      for (int32_t s = runs_[ri].first; s < end; ++s)
        if (members_[s] == code && wide_member(s) == member) return s;
    }
  }
  return 0;
}

int32_t ObsStore::wide_member(int32_t slot) const {
  const auto it = std::lower_bound(wide_.begin(), wide_.end(), slot,
                                   [](const Wide& w, int32_t s) { return w.slot < s; });
  return it != wide_.end() && it->slot == slot ? it->member : 0;
}

int32_t ObsStore::put_other(int64_t group, int32_t member, int32_t& slot) {
  const int32_t at = find(group, member);
  if (at != 0) {
    slot = at;
    return 0;
  }
  if (next_ > capacity_) {
    slot = 0;
    return 0;
  }
  if (runs_.empty() || runs_.back().group != group) hook_run(group);
  file_member(member);
  marks_[static_cast<size_t>(member)] = {static_cast<int32_t>(runs_.size()), next_};
  ++next_;
  return 1;
}

int32_t ObsStore::get(int64_t key, int32_t& slot) const {
  int64_t group = 0;
  int32_t member = 0;
  split(key, group, member);
  const int32_t at = find(group, member);
  if (at != 0) {
    slot = at;
    return 1;
  }
  slot = next_;
  return 0;
}

bool ObsStore::locate(int64_t key, int32_t& bucket, int32_t& slot) const {
  int32_t at = 0;
  if (get(key, at) == 1) {
    bucket = 0;
    slot = at;
    return true;
  }
  // A chain lists its keys in insertion order: its last slot is the latest key of the bucket.
  const int32_t b = bucket_hash_(key, modulus_);
  for (int32_t s = next_ - 1; s >= 1; --s) {
    if (bucket_hash_(this->key(s), modulus_) == b) {
      bucket = 0;
      slot = s;
      return false;
    }
  }
  bucket = b;
  slot = 0;
  return false;
}

int32_t ObsStore::run_of(int32_t slot) const {
  // The last run starting at or before slot.
  const auto it = std::upper_bound(runs_.begin(), runs_.end(), slot,
                                   [](int32_t s, const Run& r) { return s < r.first; });
  return static_cast<int32_t>(it - runs_.begin()) - 1;
}

int64_t ObsStore::key(int32_t slot) const {
  const int32_t r = run_of(slot);
  if (r < 0) return 0;  // slot 0: never a key's
  return runs_[static_cast<size_t>(r)].group * kMembers + member(slot);
}

int32_t ObsStore::run_end(int32_t slot) const {
  const size_t r = static_cast<size_t>(run_of(slot));
  return r + 1 < runs_.size() ? runs_[r + 1].first : next_;
}

}  // namespace obsq
