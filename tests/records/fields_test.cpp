// The record layer's field readers and writers, the satellite and type codes, case by case from
// fields.txt; and what the cases
// cannot show (a line far longer than a read block, a line left open by "$").
#include "records/fields.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "../support.hpp"
#include "rinex/loadlist.hpp"
#include "tables/obskey.hpp"

namespace obsq {
namespace {

std::string unescape(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    const char c = s[++i];
    if (c == 'x') {
      out += static_cast<char>(std::stoi(std::string(s.substr(i + 1, 2)), nullptr, 16));
      i += 2;
    } else {
      out += c == 'r' ? '\r' : c == 'n' ? '\n' : c == 't' ? '\t' : c == '0' ? '\0' : c;
    }
  }
  return out;
}

// A double as its exact bits in text, so that -0 and 0 differ.
std::string bits(double v) {
  char s[64];
  std::snprintf(s, sizeof s, "%a", v);
  return s;
}

std::string framed(std::string_view s) {
  std::string r = "|";
  r.append(s);
  return r += '|';
}

std::vector<std::string> read_records(const std::string& bytes, int length) {
  test::ScratchDir dir;
  test::write_file("in.txt", bytes);
  InUnit in(1);
  in.open("in.txt");
  std::vector<std::string> out;
  for (std::string_view rec; in.next(rec, length);) out.emplace_back(rec);
  return out;
}

// What one case gives, in the shape its expected result is written in.
std::string outcome(const std::string& op, std::istringstream& args, const std::string& in) {
  int a = 0, b = 0, c = 0;
  args >> a >> b >> c;
  char buf[512];
  if (op == "get_i") return std::to_string(get_i(in, a, b));
  if (op == "get_f") {
    // The usual-shape reader, and its check without the value, take a field only where the
    // field reader gives the same value (where that raises an error, they refuse the field).
    double fast = 0;
    const bool usual = b == 14 && c == 3 && get_f14_3_usual(in, a, fast);
    if (b == 14 && c == 3) {
      EXPECT_EQ(is_f14_3_usual(in, a), usual) << framed(in);
    }
    double v = 0;
    try {
      v = get_f(in, a, b, c);
    } catch (...) {
      EXPECT_FALSE(usual) << framed(in);
      throw;
    }
    if (usual) {
      EXPECT_EQ(bits(fast), bits(v));
    }
    return bits(v);
  }
  if (op == "get_a") {
    get_a(in, a, b, buf, c);
    return framed(std::string_view(buf, static_cast<size_t>(c)));
  }
  if (op == "list") {
    int32_t v = -7;
    return get_list_int(in, v) ? std::to_string(v) : v == -7 ? "no value" : "value changed";
  }
  if (op == "put_i") return framed(std::string_view(buf, put_i(buf, std::stoll(in), a, b)));
  if (op == "put_f") {
    const std::string s(buf, put_f(buf, std::strtod(in.c_str(), nullptr), a, b));
    if (a == 14 && b == 3) {
      EXPECT_EQ(std::string(buf, put_f14_3(buf, std::strtod(in.c_str(), nullptr))), s);
    }
    return framed(s);
  }
  if (op == "records") {
    std::string s = "|";
    for (const auto& r : read_records(in, a)) s += r + "|";
    return s;
  }
  if (op == "keyp") return std::to_string(keyp(sat_code(in)));
  if (op == "keyo") return std::to_string(keyo(type_code(in)));
  if (op == "getaprn") return framed(std::string_view(getaprn(std::stoi(in)).data(), 3));
  if (op == "getaobs") return framed(std::string_view(getaobs(std::stoi(in)).data(), 2));
  if (op == "admitobs") return std::to_string(admitobs(in));
  if (op == "ntrim") return std::to_string(ntrim(in));
  return "unknown operation " + op;
}

TEST(Fields, CasesOfFieldsTxt) {
  std::istringstream cases(test::read_file(std::string(OBSQUILT_TEST_DIR) + "/records/fields.txt"));
  int n = 0;
  for (std::string line; std::getline(cases, line);) {
    const size_t open = line.find('|');
    const size_t close = line.find('|', open + 1);
    if (line.empty() || line[0] == '#' || close == std::string::npos) continue;
    SCOPED_TRACE(line);
    std::istringstream words(line.substr(0, open));
    std::string op;
    words >> op;
    std::string want = unescape(line.substr(close + 2));
    if (char* end = nullptr; op == "get_f" && (std::strtod(want.c_str(), &end), *end == '\0'))
      want = bits(std::strtod(want.c_str(), nullptr));
    const std::string in = unescape(line.substr(open + 1, close - open - 1));
    std::string got;
    try {
      got = outcome(op, words, in);
    } catch (const RecordError& e) {
      got = e.message;
    } catch (const Stop& s) {
      got = "STOP " + std::to_string(s.code);
    }
    EXPECT_EQ(got, want);
    ++n;
  }
  EXPECT_GT(n, 100);
}

TEST(InputRecords, ALineFarLongerThanAReadBlock) {
  const auto r = read_records(std::string(3'000'000, 'q') + "\nend", 78);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0], std::string(78, 'q'));
  EXPECT_EQ(r[1], "end");
}

TEST(OutputFile, OpenLinesAndTheEmptyListWrite) {
  test::ScratchDir dir;
  OutUnit out(3);
  out.open("o.txt");
  out.write("s", true);
  out.write(" G01", true);
  out.write(" R05", true);
  out.end_line();
  out.end_line();  // nothing open: an empty line
  out.write("$", true);
  out.close();  // a line left open stays open
  EXPECT_EQ(test::read_file("o.txt"), "s G01 R05\r\n\r\n$");
}

}  // namespace
}  // namespace obsq
