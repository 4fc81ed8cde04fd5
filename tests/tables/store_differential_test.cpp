// The observation store against the textbook chained table of the same hash, modulus and
// capacity: random sequences of newlng, putlng, getlng, loklng and numlng, in the reader's
// filing order and in arbitrary ones, must give the same results and slots, full store included.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tables/obskey.hpp"
#include "tables/tables.hpp"

namespace obsq {
namespace {

// How the next key is drawn.
enum class Keys {
  reader,     // file-epochs in turn: epoch-time key, then satellites x types, some repeated
  revisits,   // members of a few groups, the groups interleaved and revisited
  arbitrary,  // any key a run can form, from a small pool so that keys repeat
};

class KeySource {
 public:
  KeySource(Keys kind, uint32_t seed) : kind_(kind), rng_(seed) {}

  int64_t next() {
    switch (kind_) {
      case Keys::reader: {
        if (left_ == 0) {
          file_ = 1 + pick(4);
          second_ = static_cast<int32_t>(pick(3)) * 30 + static_cast<int32_t>(epoch_++) * 90;
          left_ = 1 + pick(40);
          return epoch_key(file_, second_);
        }
        --left_;
        const int64_t sat = pick(8) == 0 ? 999 : pick(12) + 100 * pick(2);  // rarely "ZZZ"
        return key_of(file_, second_, static_cast<int32_t>(sat), static_cast<int32_t>(pick(7)));
      }
      case Keys::revisits:
        return key_of(1 + static_cast<int32_t>(pick(3)), static_cast<int32_t>(pick(4)),
                      static_cast<int32_t>(pick(20)), pick(10) == 0 ? 99 : static_cast<int32_t>(pick(40)));
      case Keys::arbitrary:
      default:
        if (pool_.empty() || pick(3) == 0) {
          // Up to file 1000 at second 86400 with member 99999, and small keys too.
          const int64_t k = pick(2) == 0 ? static_cast<int64_t>(pick(400000))
                                         : static_cast<int64_t>(rng_() % 10000086499999ULL);
          pool_.push_back(k);
          return k;
        }
        return pool_[pick(pool_.size())];
    }
  }

 private:
  uint64_t pick(uint64_t n) { return rng_() % n; }
  Keys kind_;
  std::mt19937_64 rng_;
  int32_t file_ = 1, second_ = 0, left_ = 0;
  uint64_t epoch_ = 0;
  std::vector<int64_t> pool_;
};

struct Case {
  Keys kind;
  int32_t capacity;
  int ops;
};

class StoreDifferential : public ::testing::TestWithParam<Case> {
 protected:
  void TearDown() override { use_small_store(0); }
};

TEST_P(StoreDifferential, SameResultsAsChainedTable) {
  const Case c = GetParam();
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE(seed);
    use_small_store(c.capacity);
    ChainedStoreTable ref(c.capacity, c.capacity);
    KeySource keys(c.kind, seed);
    std::mt19937 rng(seed * 7919);
    newlng();
    ref.init();
    bool full = false;
    for (int op = 0; op < c.ops; ++op) {
      const int64_t key = keys.next();
      const uint32_t what = op == c.ops / 2 ? 100 : rng() % 100;  // emptied once, midway
      int32_t slot = -7, ref_slot = -7;  // an insert leaves the slot as it was
      if (what < 70) {
        ASSERT_EQ(putlng(key, slot), ref.put(key, ref_slot)) << "putlng " << key;
      } else if (what < 85) {
        ASSERT_EQ(getlng(key, slot), ref.get(key, ref_slot)) << "getlng " << key;
      } else if (what < 95) {
        int32_t bucket = -7, ref_bucket = -7;
        ASSERT_EQ(loklng(key, bucket, slot), ref.locate(key, ref_bucket, ref_slot)) << "loklng " << key;
        ASSERT_EQ(bucket, ref_bucket) << "loklng " << key;
      } else if (what < 100) {
        const int32_t s = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(std::max(1, ref.count())));
        if (s <= ref.count()) {
          ASSERT_EQ(lng().key(s), ref.key(s)) << "key of slot " << s;
        }
        continue;
      } else {
        newlng();
        ref.init();
        continue;
      }
      ASSERT_EQ(slot, ref_slot) << "key " << key;
      int32_t n = 0;
      numlng(n);
      ASSERT_EQ(n, ref.count());
      full = full || n == c.capacity;
    }
    // Every key in the store, slot by slot.
    for (int32_t s = 1; s <= ref.count(); ++s) ASSERT_EQ(lng().key(s), ref.key(s)) << "slot " << s;
    if (c.capacity < c.ops / 4) {
      EXPECT_TRUE(full) << "the store never filled up";
    }
  }
}

std::string case_name(const ::testing::TestParamInfo<Case>& info) {
  static const char* const names[] = {"reader", "revisits", "arbitrary"};
  return std::string(names[static_cast<int>(info.param.kind)]) +
         (info.param.capacity < info.param.ops / 4 ? "_full" : "_roomy");
}

INSTANTIATE_TEST_SUITE_P(
    Orders, StoreDifferential,
    ::testing::Values(Case{Keys::reader, 5000, 20000}, Case{Keys::reader, 300, 3000},
                      Case{Keys::revisits, 400, 4000}, Case{Keys::revisits, 100000, 8000},
                      Case{Keys::arbitrary, 300, 6000}, Case{Keys::arbitrary, 100000, 8000}),
    case_name);

}  // namespace
}  // namespace obsq
