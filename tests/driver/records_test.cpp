#include "driver/records/records.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "../support.hpp"

namespace obsq {
namespace {

using test::record_error_of;

std::string f_out(double v, int w, int d) {
  char buf[512];
  return std::string(buf, put_f(buf, v, w, d));
}

std::string i_out(int64_t v, int w, int m = 1) {
  char buf[64];
  return std::string(buf, put_i(buf, v, w, m));
}

TEST(IntegerField, BlanksAreIgnoredAndABlankFieldIsZero) {
  EXPECT_EQ(get_i("  12", 1, 4), 12);
  EXPECT_EQ(get_i("1 2 ", 1, 4), 12);
  EXPECT_EQ(get_i("    ", 1, 4), 0);
  EXPECT_EQ(get_i(" -  ", 1, 4), 0);
  EXPECT_EQ(get_i("", 1, 4), 0);                // beyond the record: blanks
  EXPECT_EQ(get_i("abc  7", 4, 3), 7);          // a field in the middle of a record
  EXPECT_EQ(get_i("  -", 1, 4), 0);             // padded: the sign is not the field's last column
  EXPECT_EQ(get_i(" -12", 1, 4), -12);
  EXPECT_EQ(get_i("+7", 1, 2), 7);
}

TEST(IntegerField, BadCharactersAndOverflow) {
  EXPECT_EQ(record_error_of([] { get_i("  -", 1, 3); }), "Bad value during integer read");
  EXPECT_EQ(record_error_of([] { get_i(" 1.", 1, 3); }), "Bad value during integer read");
  EXPECT_EQ(record_error_of([] { get_i("1\t2", 1, 3); }), "Bad value during integer read");
  EXPECT_EQ(record_error_of([] { get_i("--1", 1, 3); }), "Bad value during integer read");
  EXPECT_EQ(record_error_of([] { get_i(" x", 1, 2); }), "Bad value during integer read");
  EXPECT_EQ(get_i("2147483647", 1, 10), 2147483647);
  EXPECT_EQ(get_i("-2147483647", 1, 11), -2147483647);
  EXPECT_EQ(record_error_of([] { get_i("2147483648", 1, 10); }),
            "Value overflowed during integer read");
  EXPECT_EQ(record_error_of([] { get_i("-2147483648", 1, 11); }),
            "Value overflowed during integer read");
}

TEST(RealField, DecimalsFromThePointOrImplied) {
  EXPECT_EQ(get_f("  -1234.567", 1, 11, 3), -1234.567);
  EXPECT_EQ(get_f("1234567", 1, 7, 3), 1234.567);
  EXPECT_EQ(get_f("              ", 1, 14, 3), 0.0);
  EXPECT_EQ(get_f(" -   ", 1, 5, 2), 0.0);
  EXPECT_EQ(get_f("     2", 1, 9, 2), 0.02);   // a version written "2"
  EXPECT_EQ(get_f("     2.11", 1, 9, 2), 2.11);
  EXPECT_EQ(get_f("      2.11", 1, 9, 2), 2.1);  // the tenth column is not part of the field
  EXPECT_EQ(get_f("      211", 1, 9, 2), 2.11);
  EXPECT_EQ(get_f("1 2 3.4 5", 1, 9, 0), 123.45);
  EXPECT_EQ(get_f("  20000000.123", 1, 14, 3), 20000000.123);
  EXPECT_TRUE(std::signbit(get_f("        -0.000", 1, 14, 3)));
  // The nearest double to the decimal written, also beyond the fast path.
  EXPECT_EQ(get_f("0.1000000000000000055511151231257827", 1, 40, 0), 0.1);
  EXPECT_EQ(get_f("123456789012345678", 1, 18, 0), 123456789012345678.0);
}

TEST(RealField, Exponents) {
  EXPECT_EQ(get_f("12345E2", 1, 7, 3), 1234.5);
  EXPECT_EQ(get_f("1.5E2", 1, 5, 0), 150.0);
  EXPECT_EQ(get_f("1.5d-2", 1, 6, 0), 0.015);
  EXPECT_EQ(get_f("1.5D+2", 1, 6, 0), 150.0);
  EXPECT_EQ(get_f("1.5+2", 1, 5, 0), 150.0);   // a sign alone starts the exponent
  EXPECT_EQ(get_f("1.5-2", 1, 5, 0), 0.015);
  EXPECT_EQ(get_f("1.5e 2", 1, 6, 0), 150.0);
  EXPECT_EQ(get_f("E5", 1, 2, 0), 0.0);        // no digits before the exponent
  EXPECT_EQ(get_f("1E999", 1, 5, 0), HUGE_VAL);
  EXPECT_EQ(get_f("-1E999", 1, 6, 0), -HUGE_VAL);
  EXPECT_EQ(get_f("1E-999", 1, 6, 0), 0.0);
  EXPECT_EQ(record_error_of([] { get_f("1.5E", 1, 4, 0); }), "Bad value during floating point read");
  EXPECT_EQ(record_error_of([] { get_f("1.2.3", 1, 5, 0); }), "Bad value during floating point read");
  EXPECT_EQ(record_error_of([] { get_f("12a", 1, 3, 0); }), "Bad value during floating point read");
  EXPECT_EQ(record_error_of([] { get_f("1E5x", 1, 4, 0); }), "Bad value during floating point read");
}

TEST(TextField, PaddingAndRightmostCharacters) {
  char t[6];
  get_a("ab", 1, 2, t, 4);
  EXPECT_EQ(std::string(t, 4), "ab  ");
  get_a("abcdef", 1, 6, t, 3);
  EXPECT_EQ(std::string(t, 3), "def");
  get_a("xy", 2, 3, t, 3);
  EXPECT_EQ(std::string(t, 3), "y  ");
  EXPECT_TRUE(blank_field("abc", 4, 14));
  EXPECT_FALSE(blank_field("   x", 1, 14));
  EXPECT_TRUE(has_label(std::string(60, ' ') + "END OF HEADER", 61, "END OF HEADER"));
  EXPECT_FALSE(has_label(std::string(59, ' ') + "END OF HEADER", 61, "END OF HEADER"));
}

TEST(FreeForm, ValuesSeparatorsAndErrors) {
  int32_t v = -7;
  EXPECT_TRUE(get_list_int("30 60", v));
  EXPECT_EQ(v, 30);
  EXPECT_TRUE(get_list_int(" \t 45,", v));
  EXPECT_EQ(v, 45);
  EXPECT_TRUE(get_list_int("2*30", v));
  EXPECT_EQ(v, 30);
  EXPECT_TRUE(get_list_int("-5/", v));
  EXPECT_EQ(v, -5);
  v = 99;
  EXPECT_FALSE(get_list_int(",5", v));
  EXPECT_FALSE(get_list_int("  ;5", v));
  EXPECT_FALSE(get_list_int("/", v));
  EXPECT_FALSE(get_list_int("2*", v));
  EXPECT_FALSE(get_list_int("2* 30", v));
  EXPECT_EQ(v, 99);  // no value: the target keeps what it held
  EXPECT_EQ(record_error_of([&] { get_list_int("5.", v); }), "Bad integer for item 1 in list input");
  EXPECT_EQ(record_error_of([&] { get_list_int("x", v); }), "Bad integer for item 1 in list input");
  EXPECT_EQ(record_error_of([&] { get_list_int("-", v); }), "Bad integer for item 1 in list input");
  EXPECT_EQ(record_error_of([&] { get_list_int("    ", v); }), "End of file");
  EXPECT_EQ(record_error_of([&] { get_list_int("2147483648", v); }),
            "Integer overflow while reading item 1");
  EXPECT_EQ(record_error_of([&] { get_list_int("-2147483648", v); }),
            "Integer overflow while reading item 1");
}

TEST(OutputFields, Integers) {
  EXPECT_EQ(i_out(12345, 3), "***");
  EXPECT_EQ(i_out(7, 2, 2), "07");
  EXPECT_EQ(i_out(-7, 4, 2), " -07");
  EXPECT_EQ(i_out(-7, 2, 2), "**");
  EXPECT_EQ(i_out(86400, 6), " 86400");
  EXPECT_EQ(i_out(-1000000, 6), "******");
  EXPECT_EQ(i_out(-99999, 6), "-99999");
  EXPECT_EQ(i_out(0, 3), "  0");
}

TEST(OutputFields, RealsRoundToNearestTiesToEven) {
  EXPECT_EQ(f_out(0.125, 5, 2), " 0.12");   // an exact half goes to the even digit
  EXPECT_EQ(f_out(0.375, 5, 2), " 0.38");
  EXPECT_EQ(f_out(2.5, 3, 0), " 2.");
  EXPECT_EQ(f_out(0.0005, 6, 3), " 0.001");  // the double is a little above the half
  EXPECT_EQ(f_out(1.0005, 6, 3), " 1.000");  // and this one a little below
  EXPECT_EQ(f_out(-0.0001, 14, 3), "        -0.000");
  EXPECT_EQ(f_out(-0.0, 14, 3), "        -0.000");
  EXPECT_EQ(f_out(0.0, 11, 7), "  0.0000000");
  EXPECT_EQ(f_out(0.5, 4, 3), ".500");       // no room for the leading zero
  EXPECT_EQ(f_out(-0.5, 5, 3), "-.500");
  EXPECT_EQ(f_out(0.5, 5, 3), "0.500");
  EXPECT_EQ(f_out(9999999999.999, 14, 3), "9999999999.999");
  EXPECT_EQ(f_out(-999999999.999, 14, 3), "-999999999.999");
  EXPECT_EQ(f_out(-1000000000.0, 14, 3), "**************");
  EXPECT_EQ(f_out(10000000000.0, 14, 3), "**************");
  EXPECT_EQ(f_out(100.0, 8, 5), "********");
  EXPECT_EQ(f_out(0.01373, 8, 5), " 0.01373");
  EXPECT_EQ(f_out(HUGE_VAL, 14, 3), "**************");
  EXPECT_EQ(f_out(std::nan(""), 14, 3), "**************");
  EXPECT_EQ(f_out(-0.0012, 14, 4), "       -0.0012");
  EXPECT_EQ(f_out(29.9999998, 11, 7), " 29.9999998");
}

TEST(OutputFields, MatrixElementMatchesTheGeneralRule) {
  const double cases[] = {0.0, -0.0, 20000000.123, -1234.5, 9999999999.999, 0.0005, -0.0004,
                          1e-300, 123456.7891, 9999999999.9995, -999999999.9995, 1e15, 0.1,
                          105000000.125, 2.0000000000000004, 1.0005, 651.31, -0.0};
  for (double v : cases) {
    char a[64];
    char b[64];
    EXPECT_EQ(std::string(a, put_f14_3(a, v)), std::string(b, put_f(b, v, 14, 3))) << v;
  }
  // Every value read from a 3-decimal field formats back to its own digits.
  for (int64_t n = -2000000; n <= 2000000; n += 997) {
    const double v = static_cast<double>(n * 1009 + 7) / 1000.0;
    char a[64];
    char b[64];
    ASSERT_EQ(std::string(a, put_f14_3(a, v)), std::string(b, put_f(b, v, 14, 3))) << v;
  }
}

TEST(ListStyle, BlanksBetweenItems) {
  EXPECT_EQ((ListLine() << "opened files: " << 5).str(), " opened files:            5");
  EXPECT_EQ((ListLine() << "time range: " << 0 << 86370).str(),
            " time range:            0       86370");
  EXPECT_EQ((ListLine() << "a" << "b").str(), " ab");
  EXPECT_EQ((ListLine() << 1 << "x").str(), "           1 x");
}

// ---- units ---------------------------------------------------------------------------------

std::vector<std::string> read_records(const std::string& bytes, int length) {
  test::ScratchDir dir;
  test::write_file("in.txt", bytes);
  InUnit in(1);
  in.open("in.txt");
  std::vector<std::string> out;
  std::string_view rec;
  while (in.next(rec, length)) out.emplace_back(rec);
  return out;
}

TEST(InputRecords, LineEnds) {
  using V = std::vector<std::string>;
  EXPECT_EQ(read_records("ab\ncd\n", 80), (V{"ab", "cd"}));
  EXPECT_EQ(read_records("ab\r\ncd\r\n", 80), (V{"ab", "cd"}));
  EXPECT_EQ(read_records("ab\rcd\r", 80), (V{"ab", "cd"}));  // a carriage return alone ends it
  EXPECT_EQ(read_records("ab\ncd", 80), (V{"ab", "cd"}));    // a last line without line feed
  EXPECT_EQ(read_records("\n\n", 80), (V{"", ""}));
  EXPECT_EQ(read_records("", 80), V{});
  EXPECT_EQ(read_records("a\r\r\nb\n", 80), (V{"a", "", "b"}));
}

TEST(InputRecords, LongLinesKeepTheirFirstCharacters) {
  const std::string line100(100, 'x');
  auto r = read_records(line100 + "\nnext\n", 80);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0], std::string(80, 'x'));
  EXPECT_EQ(r[1], "next");
  // A carriage return beyond the target length is skipped like any other character.
  r = read_records(std::string(80, 'y') + "\rzz\nnext\n", 80);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[1], "next");
  // A line far longer than the read block.
  r = read_records(std::string(3'000'000, 'q') + "\nend", 78);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0], std::string(78, 'q'));
  EXPECT_EQ(r[1], "end");
}

TEST(InputRecords, ManyRecordsAcrossBlocks) {
  std::string bytes;
  for (int i = 0; i < 50000; ++i) bytes += std::to_string(i) + std::string(i % 97, '.') + "\r\n";
  const auto r = read_records(bytes, 80);
  ASSERT_EQ(r.size(), 50000u);
  for (int i = 0; i < 50000; i += 4999) {
    const std::string want = (std::to_string(i) + std::string(i % 97, '.')).substr(0, 80);
    EXPECT_EQ(r[static_cast<size_t>(i)], want);
  }
}

TEST(InputRecords, EndOfFileWithoutEndBranch) {
  test::ScratchDir dir;
  test::write_file("in.txt", "one\n");
  InUnit in(1);
  in.open("in.txt");
  EXPECT_EQ(in.need(80), "one");
  EXPECT_EQ(record_error_of([&] { in.need(80); }), "End of file");
  EXPECT_EQ(record_error_of([&] { in.open("missing.txt"); }), "File 'missing.txt' does not exist");
}

TEST(OutputFile, CreatedWhenMissingAndCutByTheFirstWrite) {
  test::ScratchDir dir;
  {
    OutUnit out(3);
    out.open("new.txt");
    out.close();
  }
  EXPECT_TRUE(std::filesystem::exists("new.txt"));
  EXPECT_EQ(test::read_file("new.txt"), "");

  std::string hundred;
  for (int i = 0; i < 100; ++i) hundred += "old line " + std::to_string(i) + "\r\n";
  test::write_file("old.txt", hundred);
  {
    OutUnit out(3);
    out.open("old.txt");
    out.close();  // nothing written: the file is as it was
  }
  EXPECT_EQ(test::read_file("old.txt"), hundred);
  {
    OutUnit out(3);
    out.open("old.txt");
    for (int i = 0; i < 10; ++i) out.write("new " + std::to_string(i));
    out.close();
  }
  std::string ten;
  for (int i = 0; i < 10; ++i) ten += "new " + std::to_string(i) + "\r\n";
  EXPECT_EQ(test::read_file("old.txt"), ten);
}

TEST(OutputFile, OpenLinesAndTheEmptyListWrite) {
  test::ScratchDir dir;
  {
    OutUnit out(3);
    out.open("o.txt");
    out.write("s", true);
    out.write(" G01", true);
    out.write(" R05", true);
    out.end_line();
    out.end_line();  // nothing open: an empty line
    out.close();
  }
  EXPECT_EQ(test::read_file("o.txt"), "s G01 R05\r\n\r\n");
}

TEST(OutputFile, ReadOnlyFileFailsAtTheFirstWrite) {
  test::ScratchDir dir;
  test::write_file("ro.txt", "keep\n");
  if (std::system("chattr +i ro.txt 2>/dev/null") != 0)
    GTEST_SKIP() << "chattr +i is not available on this file system";
  std::string err;
  {
    OutUnit out(3);
    out.open("ro.txt");  // opened for reading without complaint
    err = record_error_of([&] { out.write("x"); });
  }
  (void)!std::system("chattr -i ro.txt");
  EXPECT_EQ(err, "Cannot write to file opened for READ");
  EXPECT_EQ(test::read_file("ro.txt"), "keep\n");
}

TEST(OutputFile, AFullDeviceIsAnError) {
  test::ScratchDir dir;
  std::filesystem::create_symlink("/dev/full", "full.txt");
  OutUnit out(3);
  out.open("full.txt");
  out.write("x");
  EXPECT_NE(record_error_of([&] { out.close(); }), "no error");
}

}  // namespace
}  // namespace obsq
