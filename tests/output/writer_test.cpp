// The matrix writer: its shortcut over the store's filing order against one look-up per element,
// and the exact bytes of a type block.
#include "output/writer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "../support.hpp"
#include "records/runstate.hpp"
#include "tables/obskey.hpp"

namespace obsq {
namespace {

void file_value(int64_t key, double v) {
  int32_t slot = 0;
  if (putlng(key, slot) == 1) dbase()[lng().next() - 1] = v;
}

// A store filled in the reader's order (per file and epoch the epoch-time entry, then its
// values) in random shapes: codes sharing a number, "ZZZ", lower-case types, missing and odd
// values, files without some epochs.
TEST(Writer, MatricesEqualOneLookUpPerElement) {
  std::mt19937 rng(12345);
  newlng();
  newmst();
  newmob();
  int32_t slot = 0;
  for (const char* c : {"L1", "C1", "l1", "P2", "CA"}) putmob(type_code(c), slot);
  const char* sats[] = {"G05", "G 5", "R12", "ZZZ", "E11", " 07", "G07", "S20", "C01", "g05"};
  for (const char* c : sats) putmst(sat_code(c), slot);
  const double picks[] = {kMissing, 9999999999.99, -12.5, 0.0, 2e7, 12345678901.0, -0.0};
  const int32_t nfiles = 7;
  for (int32_t f = 1; f <= nfiles; ++f)
    for (int32_t t = 0; t <= 300; t += 30) {
      if (rng() % 5 == 0) continue;
      file_value(epoch_key(f, t), t % 60 + 0.25);
      for (const char* c : sats)
        for (const char* ty : {"L1", "C1", "P2", "CA"})
          if (rng() % 3 != 0) file_value(lkey(f, t, sat_code(c), type_code(ty)), picks[rng() % 7]);
    }
  const int32_t nsat = mst().count();
  EpochMatrix m;
  for (int32_t t = 0; t <= 330; t += 30)
    for (int32_t k = 1; k <= mob().count(); ++k) {
      makearray(t, mob().key(k), m, nfiles, nsat);
      std::vector<int32_t> fileflags(nfiles + 1), satflags(nsat + 1);
      for (int32_t j = 1; j <= nsat; ++j)
        for (int32_t i = 1; i <= nfiles; ++i) {
          double want = kMissing;
          if (getlng(lkey(i, t, mst().key(j), mob().key(k)), slot) == 1) want = dbase()[slot];
          const double got = m.obuf[static_cast<size_t>((j - 1) * nfiles + i - 1)];
          ASSERT_EQ(std::memcmp(&got, &want, sizeof got), 0)
              << t << " " << k << " " << i << " " << j;
          fileflags[i] |= present(want);
          satflags[j] |= present(want);
        }
      ASSERT_EQ(m.fileflags, fileflags);
      ASSERT_EQ(m.satflags, satflags);
      ASSERT_EQ(m.nused_files, std::count(fileflags.begin(), fileflags.end(), 1));
      ASSERT_EQ(m.nused_sats, std::count(satflags.begin(), satflags.end(), 1));
    }
}

// Values of two files, one of them stored for a satellite listed after the other; then a row
// whose file has no epoch-time entry at t (never so in a run: the reader files the entry first).
TEST(Writer, TypeBlockBytes) {
  test::ScratchDir dir;
  reset_run_state();
  newlng();
  newmst();
  int32_t slot = 0;
  putmst(sat_code("G12"), slot);
  putmst(sat_code("G05"), slot);
  master.nfiles = 3;
  std::memcpy(master.marker[1], "AAAA", 4);  // file 2 keeps zero bytes
  std::memcpy(master.marker[3], "CCCC", 4);
  file_value(epoch_key(1, 30), 30.0);
  file_value(lkey(1, 30, sat_code("G05"), type_code("L1")), -0.0004);
  file_value(epoch_key(2, 30), 29.99999995);  // a little below the half as a double: rounds down
  file_value(lkey(2, 30, sat_code("G12"), type_code("L1")), -1e9);
  out_unit(kOutputUnit).open("o.txt");
  EpochMatrix m;
  makearray(60, type_code("L1"), m, 3, 2);  // nothing at 60: no block at all
  dumparray(kOutputUnit, 60, m, type_code("L1"), 3, 2);
  makearray(30, type_code("L1"), m, 3, 2);
  dumparray(kOutputUnit, 30, m, type_code("L1"), 3, 2);
  m.fileflags[3] = 1;
  m.nused_files = 3;
  m.obuf[2] = 5.0;  // file 3, first column
  dumparray(kOutputUnit, 30, m, type_code("L1"), 3, 2);
  out_unit(kOutputUnit).close();
  static const char want[] =
      "f L1    2    2\r\n"
      "t AAAA 30.0000000\r\n"
      "t \0\0\0\0 29.9999999\r\n"
      "s G12 G05\r\n"
      "o 9999999999.999         -0.000\r\n"
      "o ************** 9999999999.999\r\n"
      "f L1    3    2\r\n"
      "t AAAA 30.0000000\r\n"
      "t \0\0\0\0 29.9999999\r\n"
      "t CCCC  no time available\r\n"
      "s G12 G05\r\n"
      "o 9999999999.999         -0.000\r\n"
      "o ************** 9999999999.999\r\n"
      "o          5.000 9999999999.999\r\n";
  EXPECT_EQ(test::read_file("o.txt"), std::string(want, sizeof want - 1));
}

}  // namespace
}  // namespace obsq
