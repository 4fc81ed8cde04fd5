#include "output/writer.hpp"

#include <gtest/gtest.h>

#include <random>

#include "../support.hpp"
#include "driver/records/runstate.hpp"
#include "tables/obskey.hpp"

namespace obsq {
namespace {

// The matrix of (t, type) element by element, one store look-up per file and satellite.
EpochMatrix reference_matrix(int32_t t, const TypeCode& type, int32_t nfiles, int32_t nsat) {
  EpochMatrix m;
  m.obuf.assign(static_cast<size_t>(nfiles) * static_cast<size_t>(nsat), kMissing);
  m.fileflags.assign(static_cast<size_t>(nfiles) + 1, 0);
  m.satflags.assign(static_cast<size_t>(nsat) + 1, 0);
  for (int32_t i = 1; i <= nfiles; ++i)
    for (int32_t j = 1; j <= nsat; ++j) {
      int32_t slot = 0;
      if (getlng(lkey(i, t, mst().key(j), type), slot) == 1)
        m.obuf[static_cast<size_t>(j - 1) * static_cast<size_t>(nfiles) + static_cast<size_t>(i - 1)] =
            dbase()[slot];
    }
  auto present_at = [&](int32_t i, int32_t j) {
    return present(m.obuf[static_cast<size_t>(j - 1) * static_cast<size_t>(nfiles) +
                          static_cast<size_t>(i - 1)]);
  };
  // A row, and a column, is used when any of its elements is present.
  for (int32_t i = 1; i <= nfiles; ++i)
    for (int32_t j = 1; j <= nsat; ++j) m.fileflags[static_cast<size_t>(i)] |= present_at(i, j);
  for (int32_t j = 1; j <= nsat; ++j)
    for (int32_t i = 1; i <= nfiles; ++i) m.satflags[static_cast<size_t>(j)] |= present_at(i, j);
  for (int32_t i = 1; i <= nfiles; ++i) m.nused_files += m.fileflags[static_cast<size_t>(i)];
  for (int32_t j = 1; j <= nsat; ++j) m.nused_sats += m.satflags[static_cast<size_t>(j)];
  return m;
}

// A store filled in the reader's order: per file and accepted epoch the epoch-time entry, then
// the values of its satellites, in random shapes (codes sharing a number, "ZZZ", lower-case
// types, missing and odd values, files without some epochs).
TEST(Writer, MatricesEqualElementByElementLookUps) {
  std::mt19937 rng(12345);
  newlng();
  newmst();
  newmob();
  const char* type_codes[] = {"L1", "C1", "l1", "P2", "CA"};
  int32_t slot = 0;
  for (const char* c : type_codes) putmob(type_code(c), slot);
  const char* sat_codes[] = {"G05", "G 5", "R12", "ZZZ", "E11", " 07", "G07", "S20", "C01", "g05"};
  for (const char* c : sat_codes) putmst(sat_code(c), slot);
  const int32_t nfiles = 7;
  for (int32_t f = 1; f <= nfiles; ++f)
    for (int32_t t = 0; t <= 300; t += 30) {
      if (rng() % 5 == 0) continue;
      ASSERT_EQ(putlng(key_of(f, t, 999, 99), slot), 1);
      dbase()[lng().next() - 1] = t % 60 + 0.25;
      for (const char* c : sat_codes) {
        if (rng() % 3 == 0) continue;
        for (const char* ty : {"L1", "C1", "P2", "CA"}) {
          if (rng() % 4 == 0) continue;
          if (putlng(lkey(f, t, sat_code(c), type_code(ty)), slot) != 1) continue;  // G05/g05
          const double pick[] = {kMissing, 9999999999.99, -12.5, 0.0, 2e7 + rng() % 1000,
                                 12345678901.0, -0.0};
          dbase()[lng().next() - 1] = pick[rng() % 7];
        }
      }
    }
  const int32_t nsat = mst().count();
  EpochMatrix fast;
  for (int32_t t = 0; t <= 330; t += 30)
    for (int32_t k = 1; k <= mob().count(); ++k) {
      const TypeCode type = mob().key(k);
      makearray(t, type, fast, nfiles, nsat);
      const EpochMatrix want = reference_matrix(t, type, nfiles, nsat);
      ASSERT_EQ(fast.nused_files, want.nused_files) << t << " " << k;
      ASSERT_EQ(fast.nused_sats, want.nused_sats) << t << " " << k;
      ASSERT_EQ(fast.fileflags, want.fileflags) << t << " " << k;
      ASSERT_EQ(fast.satflags, want.satflags) << t << " " << k;
      for (size_t e = 0; e < want.obuf.size(); ++e)
        ASSERT_EQ(std::memcmp(&fast.obuf[e], &want.obuf[e], sizeof(double)), 0) << t << " " << k << " " << e;
    }
}

TEST(Writer, TypeBlockBytes) {
  test::ScratchDir dir;
  reset_run_state();
  newlng();
  newmst();
  int32_t slot = 0;
  putmst(sat_code("G12"), slot);
  putmst(sat_code("G05"), slot);
  master.nfiles = 2;
  std::memcpy(master.marker[1], "AAAA", 4);  // file 2 keeps zero bytes
  putlng(key_of(1, 30, 999, 99), slot);
  dbase()[lng().next() - 1] = 30.0;
  putlng(lkey(1, 30, sat_code("G05"), type_code("L1")), slot);
  dbase()[lng().next() - 1] = -0.0004;
  putlng(key_of(2, 30, 999, 99), slot);
  dbase()[lng().next() - 1] = 29.99999995;
  putlng(lkey(2, 30, sat_code("G12"), type_code("L1")), slot);
  dbase()[lng().next() - 1] = -1e9;
  OutUnit& out = out_unit(kOutputUnit);
  out.open("o.txt");
  EpochMatrix m;
  makearray(30, type_code("L1"), m, 2, 2);
  dumparray(kOutputUnit, 30, m, type_code("L1"), 2, 2);
  makearray(60, type_code("L1"), m, 2, 2);  // nothing at 60: no block at all
  dumparray(kOutputUnit, 60, m, type_code("L1"), 2, 2);
  out.close();
  // 29.99999995 is held as a double a little below the half: it rounds down.
  static const char want[] =
      "f L1    2    2\r\n"
      "t AAAA 30.0000000\r\n"
      "t \0\0\0\0 29.9999999\r\n"
      "s G12 G05\r\n"
      "o 9999999999.999         -0.000\r\n"
      "o ************** 9999999999.999\r\n";
  EXPECT_EQ(test::read_file("o.txt"), std::string(want, sizeof want - 1));
}

TEST(Writer, MoreThanAHundredSatellitesAndAThousandFiles) {
  test::ScratchDir dir;
  reset_run_state();
  newlng();
  newmst();
  int32_t slot = 0;
  for (int n = 0; n < 150; ++n) putmst(getaprn(n < 100 ? n : 100 + n - 100), slot);
  const int32_t nfiles = 1000;
  master.nfiles = nfiles;
  for (int32_t f : {1, 1000}) {
    putlng(key_of(f, 0, 999, 99), slot);
    dbase()[lng().next() - 1] = 0.0;
    for (int n = 0; n < 150; ++n) {
      putlng(lkey(f, 0, mst().key(n + 1), type_code("C1")), slot);
      dbase()[lng().next() - 1] = 1000.0 * f + n;
    }
  }
  EpochMatrix m;
  makearray(0, type_code("C1"), m, nfiles, 150);  // 150,000 elements
  EXPECT_EQ(m.nused_files, 2);
  EXPECT_EQ(m.nused_sats, 150);
  out_unit(kOutputUnit).open("o.txt");
  dumparray(kOutputUnit, 0, m, type_code("C1"), nfiles, 150);
  out_unit(kOutputUnit).close();
  const std::string out = test::read_file("o.txt");
  EXPECT_EQ(out.substr(0, 16), "f C1    2  150\r\n");
  const size_t s_line = out.find("\ns ") + 1;
  EXPECT_EQ(out.find("\r\n", s_line) - s_line, 1u + 4u * 150u);
  EXPECT_NE(out.find(" R49\r\n"), std::string::npos);
  EXPECT_NE(out.find("    1000149.000\r\n"), std::string::npos);  // last value of file 1000
}

}  // namespace
}  // namespace obsq
