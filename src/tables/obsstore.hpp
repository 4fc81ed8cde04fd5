// The observation store's table: the same contract as the chained table (hashtable.hpp) with the
// store's hash, slot for slot, for every sequence of operations; laid out for the way the
// observation reader fills it.
//
// A key k is split into a group, k div 100000 (a file and a second), and a member, k mod 100000
// (a satellite and a type). The reader files a file-epoch's entries in consecutive slots, so the
// store keeps the slots as runs: maximal stretches of consecutive slots whose keys share one
// group. Per slot only the member is kept, in 2 bytes written in slot order (the members a run
// files, satellite numbers below 500 and the epoch-time entry's 99999, all have a code of their
// own; any other member above 65533 is kept beside, by slot); per run its group and first slot. A
// hash of the groups finds the latest run of a group, and each run names the previous run of the
// same group, so any key is found whatever the order of insertion. The run being filled has a
// direct table by member, so a key of the current file-epoch, new or repeated, is settled without
// searching it.
#pragma once

#include <cstdint>
#include <vector>

#include "tables/hashtable.hpp"

namespace obsq {

class ObsStore {
 public:
  using BucketHash = int32_t (*)(int64_t key, int32_t modulus);

  // modulus: the chained table's modulus, for the bucket numbers loklng reports.
  ObsStore(int32_t modulus, int32_t capacity, BucketHash hash);

  // newlng: empty the store.
  void init();
  // loklng: as the chained table's locate. A miss names the empty bucket the key would be hooked
  // into, or the last slot of that bucket's chain (a search of the whole store: look-ups go
  // through get()).
  bool locate(int64_t key, int32_t& bucket, int32_t& slot) const;
  // putlng: 1 = inserted (slot not written); 0 = present (slot = its slot) or full (slot = 0).
  int32_t put(int64_t key, int32_t& slot) {
    int64_t group = 0;
    int32_t member = 0;
    split(key, group, member);
    // The usual case, a key of the run being filled whose group has no earlier run: settled
    // by the run's marks alone.
    if (!runs_.empty() && runs_.back().group == group && runs_.back().prev < 0) {
      const Mark m = marks_[static_cast<size_t>(member)];
      if (m.run == static_cast<int32_t>(runs_.size())) {
        slot = m.slot;
        return 0;
      }
      if (next_ > capacity_) {
        slot = 0;
        return 0;
      }
      file_member(member);
      marks_[static_cast<size_t>(member)] = {static_cast<int32_t>(runs_.size()), next_};
      ++next_;
      return 1;
    }
    return put_other(group, member, slot);
  }
  // getlng: 1 = found with its slot; 0 = absent, slot = the slot the key would take.
  int32_t get(int64_t key, int32_t& slot) const;
  // numlng
  int32_t count() const { return next_ - 1; }

  int64_t key(int32_t slot) const;
  int32_t next() const { return next_; }
  uint64_t generation() const { return generation_; }
  int32_t modulus() const { return modulus_; }
  int32_t capacity() const { return capacity_; }

  // Member of the key of a slot: key mod 100000.
  int32_t member(int32_t slot) const {
    const uint16_t code = members_[slot];
    return code < kEpochCode ? code : code == kEpochCode ? kEpochMember : wide_member(slot);
  }
  // The end (exclusive) of the run holding slot: the slots from slot up to it share its group,
  // the slot at the end (if any) belongs to another.
  int32_t run_end(int32_t slot) const;
  // Hints the memory system that the group of a key will be looked up soon.
  void prefetch(int64_t key) const;

  static constexpr int64_t kMembers = 100000;

 private:
  struct Run {
    int64_t group;
    int32_t first;  // first slot
    int32_t prev;   // previous run of the same group, -1 if none
  };
  struct Mark {
    int32_t run;  // run index + 1 of the run being filled when the member was filed there
    int32_t slot;
  };

  // Codes of a member: itself below kEpochCode; the epoch-time entry's member; any other, kept in
  // wide_.
  static constexpr uint16_t kEpochCode = 0xFFFE, kWideCode = 0xFFFF;
  static constexpr int32_t kEpochMember = static_cast<int32_t>(kMembers) - 1;
  static uint16_t code_of(int32_t member) {
    return member < kEpochCode      ? static_cast<uint16_t>(member)
           : member == kEpochMember ? kEpochCode
                                    : kWideCode;
  }
  // Writes the member of slot next_.
  void file_member(int32_t member) {
    const uint16_t code = code_of(member);
    members_[next_] = code;
    if (code == kWideCode) wide_.push_back({next_, member});
  }
  int32_t wide_member(int32_t slot) const;

  static void split(int64_t key, int64_t& group, int32_t& member) {
    group = key / kMembers;
    int64_t m = key % kMembers;
    if (m < 0) {
      m += kMembers;
      --group;
    }
    member = static_cast<int32_t>(m);
  }
  int32_t find(int64_t group, int32_t member) const;
  int32_t put_other(int64_t group, int32_t member, int32_t& slot);
  int32_t latest_run(int64_t group) const;  // -1 if none
  void hook_run(int64_t group);             // opens a new run for group at slot next_
  void grow_hash();
  size_t hash_pos(int64_t group) const;
  int32_t run_of(int32_t slot) const;

  ZeroPages members_mem_;
  uint16_t* members_;
  struct Wide {
    int32_t slot;
    int32_t member;
  };
  std::vector<Wide> wide_;  // the members of code kWideCode, in slot order
  std::vector<Run> runs_;
  std::vector<int32_t> hash_;  // run index + 1 of the latest run of a group, 0 = empty
  size_t hash_mask_ = 0;
  std::vector<Mark> marks_;  // by member
  BucketHash bucket_hash_;
  int32_t modulus_;
  int32_t capacity_;
  int32_t next_ = 1;
  uint64_t generation_ = 0;
};

}  // namespace obsq
