// The chained tables (slots in insertion order, misses, a full table) and the observation key
// (the satellite and type codes are cases in driver/fields.txt).
#include "tables/tables.hpp"

#include <gtest/gtest.h>

#include "../support.hpp"
#include "tables/obskey.hpp"

namespace obsq {
namespace {

TEST(ChainedTable, SlotsInInsertionOrderAndMisses) {
  newmst();
  int32_t slot = -1;
  EXPECT_EQ(putmst(sat_code("G21"), slot), 1);
  EXPECT_EQ(slot, -1);                          // an insert does not write the slot
  EXPECT_EQ(putmst(sat_code("G12"), slot), 1);  // same bytes, so the same bucket as G21
  EXPECT_EQ(putmst(sat_code("g12"), slot), 1);  // a different key
  EXPECT_EQ(putmst(sat_code("G12"), slot), 0);
  EXPECT_EQ(slot, 2);
  EXPECT_EQ(getmst(sat_code("G21"), slot), 1);
  EXPECT_EQ(slot, 1);
  int32_t bucket = -1;
  EXPECT_FALSE(lokmst(sat_code("1G2"), bucket, slot));  // a miss in a used bucket: its last slot
  EXPECT_EQ(bucket, 0);
  EXPECT_EQ(slot, 2);
  EXPECT_FALSE(lokmst(sat_code("R01"), bucket, slot));  // a miss in an empty bucket names it
  EXPECT_GT(bucket, 0);
  EXPECT_EQ(slot, 0);
  int32_t n = 0;
  nummst(n);
  EXPECT_EQ(n, 3);
  EXPECT_EQ(mst().key(3), sat_code("g12"));
}

TEST(ChainedTable, FullTableAndNewTable) {
  newmob();
  int32_t slot = 0;
  int32_t n = 0;
  for (int k = 0; n < kTypeCapacity; ++k) {
    EXPECT_EQ(
        putmob(TypeCode{static_cast<char>('a' + k / 26), static_cast<char>('a' + k % 26)}, slot),
        1);
    nummob(n);
  }
  EXPECT_EQ(putmob(TypeCode{'Z', 'Z'}, slot), 0);
  EXPECT_EQ(slot, 0);
  EXPECT_EQ(getmob(TypeCode{'Z', 'Z'}, slot), 0);
  EXPECT_EQ(slot, kTypeCapacity + 1);
  EXPECT_EQ(getmob(TypeCode{'a', 'b'}, slot), 1);
  EXPECT_EQ(slot, 2);
  newmob();
  EXPECT_EQ(getmob(TypeCode{'a', 'b'}, slot), 0);
  EXPECT_EQ(slot, 1);
}

TEST(ObservationKey, EncodeAndDecode) {
  EXPECT_EQ(lkey(3, 3600, sat_code("G05"), type_code("L1")), 30360000520);
  EXPECT_EQ(lkey(1, 0, kEpochSat, kEpochType), 10000099999);
  EXPECT_EQ(lkey(1, 0, sat_code("zzz"), type_code("zz")), 10000099999);
  for (int32_t n = 0; n < 40; ++n) EXPECT_EQ(keyo(getaobs(n)), n);
  int32_t file = 0, second = 0;
  SatCode sat{};
  TypeCode type{};
  invkey(30360000520, file, second, sat, type);
  EXPECT_EQ(file, 3);
  EXPECT_EQ(second, 3600);
  EXPECT_EQ(sat, sat_code("G05"));
  EXPECT_EQ(type, type_code("L1"));
}

TEST(ObservationKey, StopCodes) {
  using test::outcome_of;
  int32_t f = 0, s = 0;
  SatCode sat{};
  TypeCode type{};
  EXPECT_EQ(outcome_of([] { lkey(-1, 0, sat_code("G01"), type_code("L1")); }), "STOP 84591");
  EXPECT_EQ(outcome_of([] { lkey(1, 86401, sat_code("G01"), type_code("L1")); }), "STOP 84592");
  EXPECT_EQ(outcome_of([] { lkey(1, -1, sat_code("G01"), type_code("L1")); }), "STOP 84592");
  EXPECT_EQ(outcome_of([&] { invkey(-10000000000, f, s, sat, type); }), "STOP 84593");
  EXPECT_EQ(outcome_of([&] { invkey(8640100000, f, s, sat, type); }), "STOP 84594");
  EXPECT_EQ(outcome_of([&] { invkey(10000099999, f, s, sat, type); }), "STOP 84595");
  EXPECT_EQ(outcome_of([&] { invkey(10000000040, f, s, sat, type); }), "STOP 84596");
}

}  // namespace
}  // namespace obsq
