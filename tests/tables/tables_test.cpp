#include "tables/tables.hpp"

#include <gtest/gtest.h>

#include "../support.hpp"
#include "tables/obskey.hpp"

namespace obsq {
namespace {

using test::stop_code_of;

TEST(ChainedTable, SlotsInInsertionOrderAndSharedBuckets) {
  newmst();
  const SatCode g12{'G', '1', '2'};
  const SatCode g21{'G', '2', '1'};
  // Equal byte products: one bucket, chained in insertion order.
  ASSERT_EQ(SatHash{}(g12, kSatModulus), SatHash{}(g21, kSatModulus));
  EXPECT_EQ(SatHash{}(g12, kSatModulus), ('G' * '1' * '2') % 499 + 1);
  int32_t slot = -1;
  EXPECT_EQ(putmst(g21, slot), 1);
  EXPECT_EQ(slot, -1);  // an insert does not write the slot
  EXPECT_EQ(putmst(g12, slot), 1);
  EXPECT_EQ(getmst(g21, slot), 1);
  EXPECT_EQ(slot, 1);
  EXPECT_EQ(getmst(g12, slot), 1);
  EXPECT_EQ(slot, 2);
  int32_t bucket = -1;
  EXPECT_TRUE(lokmst(g12, bucket, slot));
  // A miss in that bucket ends at the chain's last slot with bucket 0.
  SatCode other{'G', '2', '1'};
  other = {'1', 'G', '2'};
  EXPECT_FALSE(lokmst(other, bucket, slot));
  EXPECT_EQ(bucket, 0);
  EXPECT_EQ(slot, 2);
  // A miss in an empty bucket names the bucket.
  EXPECT_FALSE(lokmst(SatCode{'R', '0', '1'}, bucket, slot));
  EXPECT_EQ(bucket, ('R' * '0' * '1') % 499 + 1);
  EXPECT_EQ(slot, 0);
  // g01 and G01 are different keys.
  EXPECT_EQ(putmst(SatCode{'G', '0', '1'}, slot), 1);
  EXPECT_EQ(putmst(SatCode{'g', '0', '1'}, slot), 1);
  int32_t n = 0;
  nummst(n);
  EXPECT_EQ(n, 4);
  EXPECT_EQ(mst().key(4), (SatCode{'g', '0', '1'}));
}

TEST(ChainedTable, DuplicateInsertAndFullTable) {
  newmob();
  int32_t slot = 0;
  EXPECT_EQ(putmob(TypeCode{'L', '1'}, slot), 1);
  EXPECT_EQ(putmob(TypeCode{'C', '1'}, slot), 1);
  EXPECT_EQ(putmob(TypeCode{'L', '1'}, slot), 0);
  EXPECT_EQ(slot, 1);
  int32_t n = 0;
  nummob(n);
  EXPECT_EQ(n, 2);
  for (int k = 0; n < kTypeCapacity; ++k) {
    putmob(TypeCode{static_cast<char>('a' + k / 26), static_cast<char>('a' + k % 26)}, slot);
    nummob(n);
  }
  EXPECT_EQ(putmob(TypeCode{'Z', 'Z'}, slot), 0);
  EXPECT_EQ(slot, 0);
  EXPECT_EQ(getmob(TypeCode{'Z', 'Z'}, slot), 0);
  EXPECT_EQ(slot, kTypeCapacity + 1);
  // Still found after the table filled up; emptied by newmob.
  EXPECT_EQ(getmob(TypeCode{'C', '1'}, slot), 1);
  EXPECT_EQ(slot, 2);
  newmob();
  EXPECT_EQ(getmob(TypeCode{'C', '1'}, slot), 0);
  EXPECT_EQ(slot, 1);
}

TEST(ChainedTable, StoreBucketFunction) {
  // ((k div 2^30) + (k mod 2^30)) mod 79999987 + 1
  const int64_t k = 30360000520;
  EXPECT_EQ(KeyHash{}(k, kStoreModulus), ((k >> 30) + (k % (1LL << 30))) % 79999987 + 1);
  EXPECT_EQ(KeyHash{}(0, kStoreModulus), 1);
  EXPECT_EQ(KeyHash{}(79999986, kStoreModulus), 79999987);
  EXPECT_EQ(KeyHash{}(79999987, kStoreModulus), 1);
  EXPECT_EQ(TypeHash{}(TypeCode{'L', '1'}, kTypeModulus), ('L' * '1') % 47 + 1);
  // Byte values count unsigned.
  EXPECT_EQ(SatHash{}(SatCode{'\xff', '\xff', '\xff'}, kSatModulus), (255 * 255 * 255) % 499 + 1);
}

TEST(ChainedTable, StoreFillsSlotsInOrderAndEmptiesOnInit) {
  newlng();
  int32_t slot = 0;
  for (int64_t k = 0; k < 1000; ++k) ASSERT_EQ(putlng(k * 79999987 + 5, slot), 1);  // one bucket
  for (int64_t k = 0; k < 1000; k += 111) {
    ASSERT_EQ(getlng(k * 79999987 + 5, slot), 1);
    EXPECT_EQ(slot, k + 1);
  }
  int32_t n = 0;
  numlng(n);
  EXPECT_EQ(n, 1000);
  newlng();
  numlng(n);
  EXPECT_EQ(n, 0);
  EXPECT_EQ(getlng(5, slot), 0);
  EXPECT_EQ(slot, 1);
}

TEST(ObservationKey, EncodeAndDecode) {
  EXPECT_EQ(lkey(3, 3600, SatCode{'G', '0', '5'}, TypeCode{'L', '1'}), 30360000520);
  EXPECT_EQ(lkey(1, 0, kEpochSat, kEpochType), 10000099999);
  EXPECT_EQ(lkey(1, 0, SatCode{'z', 'z', 'z'}, TypeCode{'z', 'z'}), 10000099999);
  EXPECT_EQ(keyp(SatCode{' ', '5', ' '}), 5);
  EXPECT_EQ(keyp(SatCode{'G', ' ', '5'}), 5);
  EXPECT_EQ(keyp(SatCode{'E', '1', '1'}), 311);
  EXPECT_EQ(keyp(SatCode{'s', '2', '0'}), 220);
  EXPECT_EQ(keyp(SatCode{'C', '9', '9'}), 499);
  EXPECT_EQ(keyo(TypeCode{'l', '2'}), 21);
  EXPECT_EQ(keyo(TypeCode{'P', '1'}), 0);
  EXPECT_EQ(keyo(TypeCode{'D', 'd'}), 39);
  for (int32_t n = 0; n < 40; ++n) EXPECT_EQ(keyo(getaobs(n)), n);
  int32_t file = 0;
  int32_t second = 0;
  SatCode sat{};
  TypeCode type{};
  invkey(30360000520, file, second, sat, type);
  EXPECT_EQ(file, 3);
  EXPECT_EQ(second, 3600);
  EXPECT_EQ(sat, (SatCode{'G', '0', '5'}));
  EXPECT_EQ(type, (TypeCode{'L', '1'}));
  EXPECT_EQ(getaprn(417), (SatCode{'C', '1', '7'}));
  EXPECT_EQ(getaprn(105), (SatCode{'R', '0', '5'}));
  EXPECT_EQ(getaprn(999), kEpochSat);
  EXPECT_EQ(getaobs(39), (TypeCode{'D', 'D'}));
  EXPECT_EQ(getaobs(99), kEpochType);
}

TEST(ObservationKey, StopCodes) {
  EXPECT_EQ(stop_code_of([] { lkey(-1, 0, SatCode{'G', '0', '1'}, TypeCode{'L', '1'}); }), 84591);
  EXPECT_EQ(stop_code_of([] { lkey(1, 86401, SatCode{'G', '0', '1'}, TypeCode{'L', '1'}); }), 84592);
  EXPECT_EQ(stop_code_of([] { lkey(1, -1, SatCode{'G', '0', '1'}, TypeCode{'L', '1'}); }), 84592);
  EXPECT_EQ(stop_code_of([] { keyp(SatCode{'J', '0', '1'}); }), 84571);
  EXPECT_EQ(stop_code_of([] { keyp(SatCode{'G', '-', '1'}); }), 84572);
  EXPECT_EQ(stop_code_of([] { keyo(TypeCode{'S', '1'}); }), 84581);
  EXPECT_EQ(stop_code_of([] { keyo(TypeCode{'L', '3'}); }), 84582);
  EXPECT_EQ(stop_code_of([] { getaprn(517); }), 84573);
  EXPECT_EQ(stop_code_of([] { getaobs(40); }), 84583);
  int32_t f = 0, s = 0;
  SatCode sat{};
  TypeCode type{};
  EXPECT_EQ(stop_code_of([&] { invkey(-10000000000, f, s, sat, type); }), 84593);
  EXPECT_EQ(stop_code_of([&] { invkey(8640100000, f, s, sat, type); }), 84594);
  EXPECT_EQ(stop_code_of([&] { invkey(10000099999, f, s, sat, type); }), 84595);
  EXPECT_EQ(stop_code_of([&] { invkey(10000000040, f, s, sat, type); }), 84596);
  // A number that is no integer at all is the record layer's error.
  EXPECT_THROW(keyp(SatCode{'G', 'x', '1'}), RecordError);
}

}  // namespace
}  // namespace obsq
