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

enum class Keys {
  reader,     // file-epochs in turn: epoch-time key, then satellites x types, some repeated
  revisits,   // members of a few groups, the groups interleaved and revisited
  arbitrary,  // any key a run can form, from a pool so that keys repeat
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
    std::mt19937_64 rng(seed);
    auto pick = [&](uint64_t n) { return static_cast<int32_t>(rng() % n); };
    int32_t file = 1, second = 0, left = 0;
    std::vector<int64_t> pool;
    auto next_key = [&]() -> int64_t {
      switch (c.kind) {
        case Keys::reader:
          if (left-- == 0) {
            file = 1 + pick(4);
            second += 30 * (1 + pick(3));
            left = pick(40);
            return epoch_key(file, second);
          }
          return key_of(file, second, pick(8) == 0 ? 999 : pick(12) + 100 * pick(2), pick(7));
        case Keys::revisits:
          return key_of(1 + pick(3), pick(4), pick(20), pick(10) == 0 ? 99 : pick(40));
        default:
          if (pool.empty() || pick(3) == 0)  // up to file 1000, second 86400, member 99999
            pool.push_back(pick(2) == 0 ? pick(400000)
                                        : static_cast<int64_t>(rng() % 10000086499999ULL));
          return pool[static_cast<size_t>(pick(pool.size()))];
      }
    };
    use_small_store(c.capacity);
    ChainedStoreTable ref(c.capacity, c.capacity);
    bool full = false;
    for (int op = 0; op < c.ops; ++op) {
      const int64_t key = next_key();
      const int what = op == c.ops / 2 ? 100 : pick(100);  // emptied once, midway
      int32_t slot = -7, ref_slot = -7;                    // an insert leaves the slot as it was
      if (what < 70) {
        ASSERT_EQ(putlng(key, slot), ref.put(key, ref_slot)) << "putlng " << key;
      } else if (what < 85) {
        ASSERT_EQ(getlng(key, slot), ref.get(key, ref_slot)) << "getlng " << key;
      } else if (what < 95) {
        int32_t bucket = -7, ref_bucket = -7;
        ASSERT_EQ(loklng(key, bucket, slot), ref.locate(key, ref_bucket, ref_slot))
            << "loklng " << key;
        ASSERT_EQ(bucket, ref_bucket) << "loklng " << key;
      } else if (what < 100) {
        const int32_t s = 1 + pick(static_cast<uint64_t>(std::max(1, ref.count())));
        ASSERT_EQ(lng().key(s), s <= ref.count() ? ref.key(s) : lng().key(s)) << "slot " << s;
      } else {
        newlng();
        ref.init();
      }
      ASSERT_EQ(slot, ref_slot) << "key " << key;
      int32_t n = 0;
      numlng(n);
      ASSERT_EQ(n, ref.count());
      full = full || n == c.capacity;
    }
    for (int32_t s = 1; s <= ref.count(); ++s) ASSERT_EQ(lng().key(s), ref.key(s)) << "slot " << s;
    EXPECT_TRUE(full || c.capacity >= c.ops / 4) << "the store never filled up";
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
