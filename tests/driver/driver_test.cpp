#include "driver/driver.hpp"

#include <gtest/gtest.h>

#include "../support.hpp"

namespace obsq {
namespace {

struct Outcome {
  int stop = 0;
  std::string error;
  std::string console;
  int32_t start = -1, stop_ = -1, step = -1;
};

Outcome args(std::vector<std::string_view> a) {
  test::ConsoleCapture con;
  Outcome o;
  try {
    readargs(a, o.start, o.stop_, o.step);
  } catch (const Stop& s) {
    o.stop = s.code;
  } catch (const RecordError& e) {
    o.error = e.message;
  }
  o.console = con.text();
  return o;
}

TEST(ReadArgs, ValidWindows) {
  Outcome o = args({"0", "86400", "30"});
  EXPECT_EQ(o.stop, 0);
  EXPECT_EQ(o.console, "start, stop, step:     0 86400    30\r\n");
  o = args({"86400", "86400", "86400"});
  EXPECT_EQ(o.stop, 0);
  EXPECT_EQ(o.step, 86400);
  o = args({"30 60", "  60", "\t1"});  // free form: the first value of each argument
  EXPECT_EQ(o.start, 30);
  EXPECT_EQ(o.stop_, 60);
  EXPECT_EQ(o.step, 1);
  o = args({"2*5", "0000000000000000000123", "1,2"});  // cut to 20 characters: 00...01
  EXPECT_EQ(o.start, 5);
  EXPECT_EQ(o.stop_, 1);
  EXPECT_EQ(o.stop, 87683);
}

TEST(ReadArgs, MessagesAndStopCodesInOrder) {
  struct Case {
    std::vector<std::string_view> a;
    int code;
    const char* line;
  };
  const Case cases[] = {
      {{}, 87690, " FATAL -- missing command line parm 1\r\n"},
      {{"   "}, 87690, " FATAL -- missing command line parm 1\r\n"},
      {{"-1"}, 87691, " FATAL -- illegal command line parm 1\r\n"},
      {{"86401", "x"}, 87691, " FATAL -- illegal command line parm 1\r\n"},
      {{",5"}, 87691, " FATAL -- illegal command line parm 1\r\n"},
      {{"0"}, 87680, " FATAL -- missing command line parm 2\r\n"},
      {{"0", "86401"}, 87681, " FATAL -- illegal command line parm 2\r\n"},
      {{"0", "/"}, 87681, " FATAL -- illegal command line parm 2\r\n"},
      {{"60", "30", "x"}, 87683, " FATAL -- stop time less than start time\r\n"},
      {{"0", "60"}, 87620, " FATAL -- missing command line parm 3\r\n"},
      {{"0", "60", "0"}, 87621, " FATAL -- illegal command line parm 3\r\n"},
      {{"0", "60", "86401"}, 87621, " FATAL -- illegal command line parm 3\r\n"},
      {{"0", "60", "-30"}, 87621, " FATAL -- illegal command line parm 3\r\n"},
      {{"0", "60", "3*"}, 87621, " FATAL -- illegal command line parm 3\r\n"},
  };
  for (const Case& c : cases) {
    const Outcome o = args(c.a);
    EXPECT_EQ(o.stop, c.code) << c.line;
    EXPECT_EQ(o.console, c.line);
  }
}

TEST(ReadArgs, RecordLayerErrors) {
  EXPECT_EQ(args({"5."}).error, "Bad integer for item 1 in list input");
  EXPECT_EQ(args({"0", "abc"}).error, "Bad integer for item 1 in list input");
  EXPECT_EQ(args({"99999999999"}).error, "Integer overflow while reading item 1");
  EXPECT_EQ(args({"\t"}).error, "End of file");  // not blank, but nothing to read
}

}  // namespace
}  // namespace obsq
