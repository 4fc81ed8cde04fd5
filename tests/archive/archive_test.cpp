// Decoding and opening of archive files: the reference results beside the project reproduced
// byte for byte (as published, wrapped at test time, cut), and the hand-made damaged and
// foreign files of this folder.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>
#include <map>
#include <sstream>

#include "../child.hpp"

#include "../support.hpp"
#include "archive/columns.hpp"
#include "archive/crinex_encode.hpp"
#include "archive/obsfile.hpp"

namespace obsq::archive {
namespace {

namespace fs = std::filesystem;
const fs::path kCrinex = fs::path(OBSQUILT_SHARED_DIR) / "crinex";
const fs::path kHere = ARCHIVE_TEST_DIR;

std::string gunzip(const fs::path& p) {
  return test::filter("gzip", {"-dc"}, test::read_file(p)).out;
}

// The bytes of a file, unwrapped by content.
std::string unwrapped(const fs::path& p) {
  std::string all;
  ArchiveStream z(p.string());
  char buf[1 << 16];
  for (size_t n; (n = z.read(buf, sizeof buf)) > 0;) all.append(buf, n);
  return all;
}

struct Decoded {
  std::string what, text;
  std::vector<Notice> notices;
};
Decoded decode(const fs::path& p) {
  ObsFile f(p.string());
  Decoded d{f.identity().what, "", {}};
  f.copy_to([&](std::string_view s) { d.text.append(s); });
  d.notices = f.notices();
  return d;
}

// The text of a compact file read as prep reads it: a line at a time, then lines in pieces of
// 1 to 7 (a piece short of its count only where the text ends).
std::string decode_in_pieces(const fs::path& p) {
  ObsFile f(p.string());
  std::string text;
  for (size_t k = 1;; k = k % 7 + 1) {
    std::string_view line;
    if (!f.next_line(line)) break;
    text.append(line).push_back('\n');
    const size_t got = f.append_decoded_lines(k, text);
    if (got < k) {
      EXPECT_FALSE(f.next_line(line)) << "a piece short of its count before the end";
      break;
    }
  }
  return text;
}

::testing::AssertionResult same_text(const std::string& got, const std::string& want) {
  if (got == want) return ::testing::AssertionSuccess();
  size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  return ::testing::AssertionFailure()
         << "first difference at byte " << i << " of " << got.size() << "/" << want.size()
         << ": got \"" << got.substr(i, 60) << "\", want \"" << want.substr(i, 60) << "\"";
}

// Lines of a table file "a|b|c", comments and blank lines left out.
std::vector<std::vector<std::string>> table(const fs::path& p) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream in(test::read_file(p));
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    rows.emplace_back();
    for (size_t from = 0, bar;
         (bar = line.find('|', from)) != std::string::npos || from <= line.size(); from = bar + 1) {
      rows.back().push_back(line.substr(from, bar - from));
      if (bar == std::string::npos) break;
    }
  }
  return rows;
}

class SharedFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::exists(kCrinex)) GTEST_SKIP() << kCrinex << " is absent";
  }
};

// The first line where two texts differ, for a message: "line 12: got '...', want '...'".
std::string first_difference(const std::string& got, const std::string& want) {
  std::istringstream g(got), w(want);
  std::string a, b;
  for (long n = 1;; ++n) {
    const bool more_g = static_cast<bool>(std::getline(g, a));
    const bool more_w = static_cast<bool>(std::getline(w, b));
    if (!more_g && !more_w) return "the same lines, other line ends";
    if (!more_g) a = "(end)";
    if (!more_w) b = "(end)";
    if (a != b || !more_g || !more_w)
      return "line " + std::to_string(n) + ": got '" + a + "', want '" + b + "'";
  }
}

// Every reference decoding beside the project (the real files, the hand-made RINEX 3 files
// and the round-trip corpus of both versions), byte for byte; each file that differs is named
// with its first differing line.
TEST_F(SharedFiles, EveryReferenceDecodingIsReproduced) {
  std::map<std::string, int> per_folder;
  for (const fs::path& dir : {kCrinex, kCrinex / "roundtrip", kCrinex / "../rinex3"}) {
    if (!fs::exists(dir)) continue;
    for (const auto& e : fs::directory_iterator(dir)) {
      const std::string name = e.path().filename().string();
      if (!name.ends_with(".expected.gz")) continue;
      const std::string source = name.substr(0, name.size() - 12);
      const std::string want = unwrapped(e.path());
      try {
        const Decoded d = decode(dir / source);
        EXPECT_TRUE(d.what.starts_with("compact RINEX")) << source << ": " << d.what;
        if (d.text != want) {
          ADD_FAILURE() << source << ": " << first_difference(d.text, want);
        }
        if (!d.notices.empty()) {
          ADD_FAILURE() << source << ": " << d.notices[0].message;
        }
      } catch (const FormatError& f) {
        ADD_FAILURE() << f.text();
      }
      ++per_folder[dir.filename().string()];
    }
  }
  EXPECT_GE(per_folder["crinex"], 28);
  EXPECT_EQ(per_folder["roundtrip"], 240);
  EXPECT_GE(per_folder["rinex3"], 7);
}

// The encoder is the decoders' inverse: every reference decoding of the round-trip corpus and
// of the RINEX 3 folder, encoded and decoded again, comes back byte for byte.
TEST_F(SharedFiles, EncodedReferenceDecodingsDecodeToThemselves) {
  int n = 0;
  for (const fs::path& dir : {kCrinex / "roundtrip", kCrinex / "../rinex3"}) {
    for (const auto& e : fs::directory_iterator(dir)) {
      const std::string name = e.path().filename().string();
      if (!name.ends_with(".expected.gz")) continue;
      const std::string text = unwrapped(e.path());
      std::string compact;
      try {
        encode_compact(text, compact, "test", "07-Dec-26 00:00", name);
        MemoryStream in(compact);
        LineSource lines(in, name);
        std::unique_ptr<CompactText> d;
        if (compact.starts_with("3.0"))
          d = std::make_unique<Compact3Decoder>(lines);
        else
          d = std::make_unique<CompactDecoder>(lines);
        std::string back;
        while (d->next(back)) {}
        if (back != text) {
          ADD_FAILURE() << name << ": " << first_difference(back, text);
        }
        // Arcs go on as differences: about the size of the reference compressor's output.
        const std::string reference = unwrapped(dir / name.substr(0, name.size() - 12));
        EXPECT_LT(compact.size(), reference.size() * 11 / 10) << name;
      } catch (const FormatError& f) {
        ADD_FAILURE() << f.text();
      }
      ++n;
    }
  }
  EXPECT_GE(n, 247);
}

TEST_F(SharedFiles, WrappedAndRestartedFilesGiveTheSameText) {
  const std::vector<std::vector<std::string>> cases = {
      {"irkm0440-e20.16d", "irkm0440.16d", "compact RINEX"},
      {"bahr1620.04d.Z", "bahr1620.04d", "compact RINEX, compress"},
      {"delf0010.21d.gz", "delf0010.21d", "compact RINEX, gzip"},
      {"kerg1700.16d.bz2", "kerg1700.16d", "compact RINEX, bzip2"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c[0]);
    const Decoded d = decode(kCrinex / c[0]);
    EXPECT_EQ(d.what, c[2]);
    EXPECT_TRUE(same_text(d.text, gunzip(kCrinex / (c[1] + ".expected.gz"))));
  }
  // Plain RINEX behind compress expands to the original bytes.
  ArchiveStream z((kCrinex / "ac660270.18o.Z").string());
  std::string bytes(1 << 16, '\0'), all;
  for (size_t n; (n = z.read(bytes.data(), bytes.size())) > 0;) all.append(bytes, 0, n);
  EXPECT_EQ(z.wrappers(), "compress");
  EXPECT_TRUE(same_text(all, test::read_file(kCrinex / "../rinex/ac660270.18o")));
  EXPECT_EQ(ObsFile((kCrinex / "ac660270.18o.Z").string()).identity().what, "RINEX, compress");
}

// Wrapped here by the tools at hand, under a name that says nothing: found by content.
TEST_F(SharedFiles, WrappersAreRecognisedByContent) {
  test::ScratchDir dir;
  const std::string want = gunzip(kCrinex / "kerg1700.16d.expected.gz");
  const std::string src = (kCrinex / "kerg1700.16d").string();
  int tried = 0;
  const std::string compact = test::read_file(src);
  for (const std::string tool : {"gzip", "bzip2", "compress"}) {
    const test::ChildResult wrapped = test::filter(tool, {"-c"}, compact);
    if (wrapped.status == 127) continue;  // not installed here
    test::write_file("wrapped." + tool, wrapped.out);
    SCOPED_TRACE(tool);
    const Decoded d = decode("wrapped." + tool);
    EXPECT_EQ(d.what, "compact RINEX, " + tool);
    EXPECT_TRUE(same_text(d.text, want));
    ++tried;
  }
  test::write_file("twice",
                   test::filter("bzip2", {"-c"}, test::filter("gzip", {"-c"}, compact).out).out);
  EXPECT_EQ(decode("twice").what, "compact RINEX, bzip2, gzip");
  EXPECT_TRUE(same_text(decode("twice").text, want));
  // gzip in gzip, and a gzip file of two members (as `cat a.gz b.gz` makes): an intact gzip file
  // is inflated at once, and these must still come out whole.
  const std::string gz = test::filter("gzip", {"-c"}, compact).out;
  test::write_file("gzip-twice", test::filter("gzip", {"-c"}, gz).out);
  EXPECT_EQ(decode("gzip-twice").what, "compact RINEX, gzip, gzip");
  EXPECT_TRUE(same_text(decode("gzip-twice").text, want));
  const size_t half = compact.size() / 2;
  test::write_file("members", test::filter("gzip", {"-c"}, compact.substr(0, half)).out +
                                  test::filter("gzip", {"-c"}, compact.substr(half)).out);
  EXPECT_EQ(decode("members").what, "compact RINEX, gzip");
  EXPECT_TRUE(same_text(decode("members").text, want));
  EXPECT_TRUE(same_text(unwrapped("members"), compact));
  EXPECT_GE(tried, 2);
}

// gzip data that fail the check values of their member (CRC-32 and length): corrupt somewhere,
// nothing tells where, so the file is refused whole when it is read, whether it is inflated at
// once or streamed (bytes after the member make it streamed); a look at its opening still
// tells what it is. A bit flipped in the deflate data that still inflates is caught the same
// way as the flipped check values here.
TEST_F(SharedFiles, GzipDataFailingTheirChecksAreRefused) {
  test::ScratchDir dir;
  const std::string compact = test::read_file(kCrinex / "kerg1700.16d");
  const std::string half1 = compact.substr(0, compact.size() / 2),
                    half2 = compact.substr(compact.size() / 2);
  const std::string gz = test::filter("gzip", {"-c"}, compact).out;
  const std::string gz2 = test::filter("gzip", {"-c"}, half2).out;
  const auto flipped = [](std::string s, size_t from_end) {
    s[s.size() - from_end] ^= 0x10;
    return s;
  };
  std::string many;  // text that unpacks to many times the checking pass's buffer
  for (int i = 0; i < 64; ++i) many += compact;
  const auto wrap = [](const char* program, const std::string& bytes) {
    return test::filter(program, {"-c"}, bytes).out;
  };
  const std::string bad = flipped(gz, 6),
                    bad_second = wrap("gzip", half1) + flipped(gz2, 7);  // member 2 fails
  struct Case {
    std::string name, bytes, wrappers, where;  // where: the fault's place in its message
  };
  const std::vector<Case> files = {
      {"crc", bad, "gzip", ""},                          // the CRC-32 of the data
      {"length", flipped(gz, 2), "gzip", ""},            // their length
      {"streamed", bad + "trailing bytes", "gzip", ""},  // not inflated at once
      {"streamed-long", flipped(wrap("gzip", many), 6) + "trailing bytes", "gzip", ""},
      {"member-2", bad_second, "gzip", " of member 2"},
      // gzip data wrapped once more: the wrapper outside is intact.
      {"in-gzip", wrap("gzip", bad), "gzip, gzip", " of the gzip wrapper inside the gzip wrapper"},
      {"in-bzip2", wrap("bzip2", bad), "bzip2, gzip",
       " of the gzip wrapper inside the bzip2 wrapper"},
      {"member-2-in-gzip", wrap("gzip", bad_second), "gzip, gzip",
       " of member 2 of the gzip wrapper inside the gzip wrapper"}};
  for (const Case& c : files) {
    SCOPED_TRACE(c.name);
    test::write_file(c.name, c.bytes);
    EXPECT_EQ(ObsFile(c.name, Use::look).identity().what, "compact RINEX, " + c.wrappers);
    try {
      decode(c.name);
      ADD_FAILURE() << "no error";
    } catch (const FormatError& e) {
      EXPECT_EQ(e.line, 0);
      EXPECT_NE(e.message.find("do not match the gzip check values" + c.where +
                               " (CRC-32 and length)"),
                std::string::npos)
          << e.message;
    }
  }
  // The same members intact come out whole, streamed too; and inflated at once when the last
  // member is much shorter than the first, so that the room its length suggests grows on the way.
  test::write_file("intact", test::filter("gzip", {"-c"}, half1).out + gz2 + "trailing bytes");
  EXPECT_TRUE(same_text(unwrapped("intact"), compact));
  const size_t tail = compact.size() - 200;
  test::write_file("short-last", test::filter("gzip", {"-c"}, compact.substr(0, tail)).out +
                                     test::filter("gzip", {"-c"}, compact.substr(tail)).out);
  EXPECT_TRUE(same_text(unwrapped("short-last"), compact));
  // Intact gzip data inside another wrapper come out whole.
  test::write_file("intact-in-gzip", wrap("gzip", wrap("gzip", half1) + gz2));
  test::write_file("intact-in-bzip2", wrap("bzip2", gz));
  EXPECT_TRUE(same_text(unwrapped("intact-in-gzip"), compact));
  EXPECT_TRUE(same_text(unwrapped("intact-in-bzip2"), compact));
}

// A file cut inside an epoch, in a line or at a line end: the complete epochs before the cut
// come out, the cut is a notice with its line; so for cut gzip data.
TEST_F(SharedFiles, CutFilesKeepTheirCompleteEpochs) {
  test::ScratchDir dir;
  // Compact RINEX 1.0 and 3.0, each cut inside a line and at a line end.
  const std::vector<std::vector<std::string>> files = {
      {"wsra0010.21d", "9000", " 21 "},
      {"../rinex3/ACOR00ESP_R_20213550000_01D_30S_MO.crx", "30000", "> 20"}};
  for (const auto& f : files) {
    const std::string full = test::read_file(kCrinex / f[0]);
    const std::string want = unwrapped(kCrinex / (f[0] + ".expected.gz"));
    const size_t at = std::stoul(f[1]);
    test::write_file("in-line", full.substr(0, at));
    test::write_file("at-line-end", full.substr(0, full.rfind('\n', at) + 1));
    for (const char* file : {"in-line", "at-line-end"}) {
      SCOPED_TRACE(f[0] + " " + file);
      const Decoded d = decode(file);
      EXPECT_TRUE(same_text(decode_in_pieces(file), d.text));
      ASSERT_EQ(d.notices.size(), 1u);
      EXPECT_GT(d.notices[0].line, 100);
      EXPECT_NE(d.notices[0].message.find("the complete epochs before"), std::string::npos);
      ASSERT_GT(d.text.size(), 5000u);
      EXPECT_TRUE(same_text(d.text, want.substr(0, d.text.size())));
      EXPECT_EQ(want.substr(d.text.size(), 4), f[2]);  // the next epoch record starts there
    }
  }
  // Cut gzip data: what zlib can unpack before the cut, down to the last complete epoch.
  test::write_file("gz-cut", test::read_file(kCrinex / "delf0010.21d.gz").substr(0, 12000));
  const Decoded d = decode("gz-cut");
  const std::string delf = gunzip(kCrinex / "delf0010.21d.expected.gz");
  ASSERT_EQ(d.notices.size(), 1u);
  EXPECT_NE(d.notices[0].message.find("(truncated gzip input)"), std::string::npos);
  ASSERT_GT(d.text.size(), 20000u);
  EXPECT_TRUE(same_text(d.text, delf.substr(0, d.text.size())));
  EXPECT_EQ(delf.substr(d.text.size(), 4), " 21 ");
}

// Blank lines after the last epoch (newlines a writer added, a DOS end-of-file character, one
// without its line end, more than the reader holds at once) end the file as its last epoch
// does: the same text, no cut; so inside gzip.
TEST_F(SharedFiles, TrailingBlankLinesAreNoCut) {
  test::ScratchDir dir;
  for (const std::string f :
       {"wsra0010.21d", "../rinex3/ACOR00ESP_R_20213550000_01D_30S_MO.crx"}) {
    const std::string full = test::read_file(kCrinex / f);
    const std::string want = unwrapped(kCrinex / (f + ".expected.gz"));
    for (const std::string tail : {"\n", "\n\n  \n", "\r\n\t\n\x1a\n", "\n  "}) {
      SCOPED_TRACE(f + " + " + std::to_string(tail.size()) + " blank bytes");
      test::write_file("blank-tail", full + tail);
      test::write_file("blank-tail.gz", test::filter("gzip", {"-c"}, full + tail).out);
      test::write_file("long-blank-tail",
                       full + std::string(LineSource::kMaxLine * 3, '\n') + tail);
      for (const char* file : {"blank-tail", "blank-tail.gz", "long-blank-tail"}) {
        const Decoded d = decode(file);
        EXPECT_TRUE(d.notices.empty()) << file << ": " << d.notices[0].message;
        EXPECT_TRUE(same_text(d.text, want)) << file;
        EXPECT_TRUE(same_text(decode_in_pieces(file), want)) << file;
      }
    }
  }
}

// Hand-made files with what the shared ones lack (clock offsets, values at the edge of F14.3),
// beside their text worked out by hand.
TEST(HandMadeFiles, DecodeAsWorkedOut) {
  int n = 0;
  for (const auto& e : fs::directory_iterator(kHere / "decoded")) {
    if (e.path().extension() != ".expected") continue;
    const fs::path input = fs::path(e.path()).replace_extension();
    EXPECT_TRUE(same_text(decode(input).text, test::read_file(e.path()))) << input;
    EXPECT_TRUE(same_text(decode_in_pieces(input), test::read_file(e.path()))) << input;
    ++n;
  }
  EXPECT_GE(n, 1);
}

TEST(DamagedFiles, AreErrorsNamingFileAndLine) {
  for (const auto& row : table(kHere / "damaged/expected.txt")) {
    SCOPED_TRACE(row[0]);
    const std::string path = (kHere / "damaged" / row[0]).string();
    try {
      decode(path);
      ADD_FAILURE() << "no error";
    } catch (const FormatError& e) {
      EXPECT_EQ(e.file, path);
      EXPECT_EQ(e.line, std::stol(row[1]));
      EXPECT_NE(e.message.find(row[2]), std::string::npos) << e.message;
    }
  }
}

TEST(ForeignFiles, AreNamedAndNotRead) {
  for (const auto& row : table(kHere / "identify/expected.txt")) {
    ObsFile f((kHere / "identify" / row[0]).string());
    EXPECT_EQ(f.identity().what, row[1]) << row[0];
    EXPECT_FALSE(f.identity().usable()) << row[0];
    EXPECT_EQ(f.identity().readable(), row.size() > 2 && row[2] == "readable") << row[0];
  }
}

// The field writers of the decoders against printf, over every magnitude the 64 bits allow:
// F14.3 as the decoders write observations (no zero before the point, false past 14 columns),
// and a digit run read eight characters at a time against one read character by character.
TEST(Fields, AgreeWithPlainArithmetic) {
  std::mt19937_64 g(11);
  std::vector<int64_t> values = {0, 1, -1, 999, -999, 1000, -1000, INT64_MIN, INT64_MAX};
  for (int64_t p = 10; p < INT64_MAX / 10; p *= 10)
    for (int64_t d : {-1, 0, 1}) values.insert(values.end(), {p + d, -(p + d)});
  for (int i = 0; i < 300000; ++i) {
    const auto v = static_cast<int64_t>(g() >> (g() % 63));
    values.push_back(g() & 1 ? v : -v);
  }
  for (const int64_t v : values) {
    const uint64_t a = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    char frac[8];
    std::snprintf(frac, sizeof frac, ".%03u", static_cast<unsigned>(a % 1000));
    std::string want = (v < 0 ? "-" : "") + (a < 1000 ? "" : std::to_string(a / 1000)) + frac;
    const bool fits = want.size() <= 14;
    want.insert(0, 14 - std::min<size_t>(14, want.size()), ' ');
    char out[18];
    std::memset(out, 'x', sizeof out);
    ASSERT_EQ(detail::put_fixed(out + 16, v, 14, 3), fits) << v;
    if (fits) {
      EXPECT_EQ(std::string(out + 2, 14), want) << v;
    }
    EXPECT_EQ(out[1], 'x') << v;  // nothing written before the field
    EXPECT_EQ(out[16], 'x') << v;  // or after it
  }
  for (int i = 0; i < 200000; ++i) {
    std::string s;
    for (size_t n = g() % 22; n > 0; --n) s.push_back(static_cast<char>('0' + g() % 10));
    for (size_t n = g() % 10; n > 0; --n) s.push_back(static_cast<char>(g() % 256));
    const char* end = s.data() + (s.empty() || g() % 4 ? s.size() : g() % s.size());
    uint64_t want = 0;
    const char* q = s.data();
    while (q < end && *q >= '0' && *q <= '9') want = want * 10 + static_cast<uint64_t>(*q++ - '0');
    const char* p = s.data();
    ASSERT_EQ(detail::read_digits(p, end), want) << s;
    ASSERT_EQ(p, q) << s;
  }
}

}  // namespace
}  // namespace obsq::archive
