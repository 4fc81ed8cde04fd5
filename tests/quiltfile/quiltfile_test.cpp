// The reader of obsquilt.txt on the reference runs' output files (without ../shared, on those of
// the project's own scenarios): what it reads must write the
// file back byte for byte, values must be the nearest doubles of their text, and cut or altered
// copies must fail at the line that breaks. Read ahead on a thread of its own (quilt::ReadAhead),
// every file gives the same epochs and fails at the same line. A skim, which seeks over the
// o-lines, gives the same epochs, blocks and satellites, and fails wherever the lines it reads
// break or a block's o-lines take another length.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>

#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "../support.hpp"
#include "quiltfile/ahead.hpp"
#include "quiltfile/quiltfile.hpp"

namespace obsq::test {
namespace {

namespace fs = std::filesystem;
using quilt::FormatError;
using quilt::Reader;

// The reference runs' output files, or, without ../shared, those of the project's own scenarios
// that complete.
std::vector<fs::path> reference_outputs() {
  std::vector<fs::path> files;
  fs::path dir = fs::path(OBSQUILT_SHARED_DIR) / "golden";
  const bool own = !fs::is_directory(dir);
  if (own) dir = OBSQUILT_SCENARIO_DIR;
  for (const auto& e : fs::directory_iterator(dir))
    if (fs::exists(e.path() / "expected.obsquilt.txt") &&
        (!own || read_file(e.path() / "expected.status").starts_with("0")))
      files.push_back(e.path() / "expected.obsquilt.txt");
  std::sort(files.begin(), files.end());
  return files;
}

// The folders named in ambiguous-rows.txt.
std::set<std::string> ambiguous_rows() {
  std::set<std::string> names;
  std::istringstream in(read_file(OBSQUILT_AMBIGUOUS_ROWS));
  for (std::string line; std::getline(in, line);)
    if (!line.empty() && line[0] != '#') names.insert(line);
  return names;
}

#define REFERENCE_OUTPUTS(files)                           \
  const std::vector<fs::path> files = reference_outputs(); \
  ASSERT_GE(files.size(), 10u) << "too few output files to read"

// The file as the reader saw it, written back line by line; fails where a value is not the
// nearest double of its text or a row's receiver does not carry the t-line's marker. `ahead`:
// the epochs read on a thread of their own.
std::string rewrite(const std::string& path, std::vector<std::string>* ambiguities = nullptr,
                    bool ahead = false) {
  Reader file(path);
  quilt::ReadAhead rd(file, ahead);
  const quilt::Header& h = rd.header();
  char buf[128];
  std::string out = h.has_range ? (std::snprintf(buf, sizeof buf, "a %6d%6d", h.tmin, h.tmax), buf)
                                : std::string("a ************");
  out += (std::snprintf(buf, sizeof buf, "%6d%6zu\r\n", h.step, h.receivers.size()), buf);
  for (const auto& r : h.receivers) {
    std::snprintf(buf, sizeof buf, "%14.4f %14.4f %14.4f  %c\r\n", r.dh, r.de, r.dn, r.system);
    out += "b " + r.marker + "  " + r.antenna + " " + buf;
  }
  quilt::Epoch ep;
  while (rd.next(ep)) {
    EXPECT_EQ(rd.path(), path);
    out += (std::snprintf(buf, sizeof buf, "e %4d%3d%3d%3d%3d%3d\r\n", ep.year, ep.month, ep.day,
                          ep.second / 3600, ep.second % 3600 / 60, ep.second % 60),
            buf);
    for (const auto& b : ep.blocks) {
      out += (std::snprintf(buf, sizeof buf, "f %s%5zu%5zu\r\n", b.type.c_str(), b.rows.size(),
                            b.columns()),
              buf);
      for (size_t r = 0; r < b.rows.size(); ++r) {
        out += "t " + h.receivers[static_cast<size_t>(b.rows[r])].marker;
        out += std::isnan(b.epoch_seconds[r])
                   ? "  no time available\r\n"
                   : (std::snprintf(buf, sizeof buf, "%11.7f\r\n", b.epoch_seconds[r]), buf);
        // The text written back is the file's (the whole file is compared): its nearest double
        // is the one read.
        if (double want = NAN; !std::isnan(b.epoch_seconds[r])) {
          const char* from = buf + std::strspn(buf, " ");
          std::from_chars(from, buf + 11, want);
          EXPECT_TRUE(std::memcmp(&want, &b.epoch_seconds[r], 8) == 0)
              << path << ": seconds " << buf << " read as " << b.epoch_seconds[r];
        }
      }
      out += "s";
      for (const auto& s : b.satellites) out += " " + s;
      out += "\r\n";
      for (size_t r = 0; r < b.rows.size(); ++r) {
        out += "o";
        for (size_t c = 0; c < b.columns(); ++c) {
          const std::string_view d = b.value_digits(r, c);
          double want = NAN;
          if (d[0] != '*') std::from_chars(d.data(), d.data() + d.size(), want);
          EXPECT_TRUE(std::memcmp(&want, &b.values[r * b.columns() + c], 8) == 0 ||
                      (std::isnan(want) && std::isnan(b.value(r, c))))
              << path << ": value " << d << " read as " << b.value(r, c);
          out.append(" ").append(b.value_text(r, c));
        }
        out += "\r\n";
      }
    }
  }
  if (ambiguities) *ambiguities = rd.ambiguities();
  return out;
}

// The line a skim of `path` fails at (0 when it passes); its epochs to `epochs`.
long skim_error_line(const std::string& path, std::vector<quilt::Epoch>* epochs = nullptr) {
  try {
    Reader file(path, true);
    quilt::Epoch ep;
    while (file.next(ep))
      if (epochs) epochs->push_back(ep);
  } catch (const FormatError& e) {
    return e.line == 0 ? -1 : e.line;
  }
  return 0;
}

TEST(QuiltReader, ReadsEveryReferenceOutputBackToItsBytes) {
  REFERENCE_OUTPUTS(files);
  for (const fs::path& f : files) {
    const std::string text = read_file(f);
    if (text.empty()) {  // a run that failed: an empty file is no output file
      EXPECT_THROW(Reader{f.string()}, FormatError) << f;
      continue;
    }
    std::vector<std::string> amb, amb_ahead;
    EXPECT_TRUE(rewrite(f.string(), &amb) == text) << f << " is not read back to its bytes";
    EXPECT_TRUE(rewrite(f.string(), &amb_ahead, true) == text) << f << " read ahead";
    EXPECT_EQ(amb_ahead, amb) << f;
    // Only the outputs listed in ambiguous-rows.txt have rows that cannot be told apart.
    const fs::path folder = f.parent_path();
    const bool twice = ambiguous_rows().count(folder.parent_path().filename().string() + "/" +
                                              folder.filename().string()) > 0;
    EXPECT_EQ(!amb.empty(), twice) << f;
    for (const auto& a : amb) EXPECT_EQ(a.rfind(f.string() + ":", 0), 0u) << a;
    // A skim gives the same epochs and blocks, without the values.
    std::vector<quilt::Epoch> skimmed;
    ASSERT_EQ(skim_error_line(f.string(), &skimmed), 0) << f << " skimmed";
    Reader whole(f.string());
    size_t k = 0;
    for (quilt::Epoch ep; whole.next(ep); ++k) {
      ASSERT_LT(k, skimmed.size()) << f << " skimmed";
      const quilt::Epoch& s = skimmed[k];
      EXPECT_TRUE(s.second == ep.second && s.line == ep.line && s.year == ep.year &&
                  s.blocks.size() == ep.blocks.size())
          << f << ": skimmed epoch at line " << ep.line;
      for (size_t b = 0; b < std::min(s.blocks.size(), ep.blocks.size()); ++b) {
        const quilt::Block &x = s.blocks[b], &y = ep.blocks[b];
        EXPECT_TRUE(x.type == y.type && x.line == y.line && x.rows == y.rows &&
                    x.satellites == y.satellites &&
                    std::memcmp(x.epoch_seconds.data(), y.epoch_seconds.data(),
                                8 * y.epoch_seconds.size()) == 0)
            << f << ": skimmed block at line " << y.line;
      }
    }
    EXPECT_EQ(skimmed.size(), k) << f << " skimmed";
  }
}

// Through a pipe a skim cannot seek: it reads the o-lines through, by their length, and gives
// what a skim of the file gives; a pipe that ends inside the o-lines fails.
TEST(QuiltReader, ASkimThroughAPipeReadsTheOLinesThrough) {
  REFERENCE_OUTPUTS(files);
  ScratchDir dir;
  std::signal(SIGPIPE, SIG_IGN);  // a skim that fails stops reading the pipe
  const auto through_pipe = [](const std::string& text, std::vector<quilt::Epoch>* epochs) {
    fs::remove("pipe");
    EXPECT_EQ(::mkfifo("pipe", 0600), 0);
    std::thread writer([&text] {
      if (std::FILE* f = std::fopen("pipe", "wb")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
      }
    });
    const long line = skim_error_line("pipe", epochs);
    writer.join();
    return line;
  };
  for (const fs::path& f : files) {
    const std::string text = read_file(f);
    if (text.empty()) continue;
    std::vector<quilt::Epoch> from_file, from_pipe;
    ASSERT_EQ(skim_error_line(f.string(), &from_file), 0) << f;
    ASSERT_EQ(through_pipe(text, &from_pipe), 0) << f << " through a pipe";
    ASSERT_EQ(from_pipe.size(), from_file.size()) << f;
    for (size_t k = 0; k < from_file.size(); ++k) {
      const quilt::Epoch &x = from_pipe[k], &y = from_file[k];
      EXPECT_TRUE(x.second == y.second && x.line == y.line && x.blocks.size() == y.blocks.size())
          << f << ": epoch at line " << y.line;
      for (size_t b = 0; b < std::min(x.blocks.size(), y.blocks.size()); ++b)
        EXPECT_TRUE(x.blocks[b].line == y.blocks[b].line && x.blocks[b].rows == y.blocks[b].rows &&
                    x.blocks[b].satellites == y.blocks[b].satellites)
            << f << ": block at line " << y.blocks[b].line;
    }
    // Cut after the first o-line of the last block, when more follow: nothing after it tells.
    const size_t s_line = text.rfind("\ns");
    if (s_line == std::string::npos) continue;
    const size_t first_o_end = text.find('\n', text.find('\n', s_line + 1) + 1);
    if (first_o_end + 1 >= text.size()) continue;
    EXPECT_NE(through_pipe(text.substr(0, first_o_end + 1), nullptr), 0)
        << f << " ending inside the o-lines";
  }
}

// The line a read of `text` fails at, 0 when it succeeds; read ahead, the same line and message
// after the same epochs.
long error_line(const std::string& text) {
  write_file("cut.txt", text);
  long line[2] = {0, 0}, epochs[2] = {0, 0};
  std::string message[2];
  for (int ahead = 0; ahead < 2; ++ahead) {
    try {
      Reader file("cut.txt");
      quilt::ReadAhead rd(file, ahead == 1);
      quilt::Epoch ep;
      while (rd.next(ep)) ++epochs[ahead];
    } catch (const FormatError& e) {
      line[ahead] = e.line;
      message[ahead] = e.message;
    }
  }
  EXPECT_EQ(line[1], line[0]) << "read ahead";
  EXPECT_EQ(message[1], message[0]);
  EXPECT_EQ(epochs[1], epochs[0]);
  return line[0];
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  for (size_t p = 0; p < text.size();) {
    const size_t e = text.find('\n', p);
    lines.push_back(text.substr(p, e + 1 - p));
    p = e + 1;
  }
  return lines;
}

TEST(QuiltReader, CutFilesFailAtTheLineWhereTheyEnd) {
  REFERENCE_OUTPUTS(files);
  ScratchDir dir;
  for (const fs::path& f : files) {
    const std::string text = read_file(f);
    if (text.empty()) continue;
    const std::vector<std::string> lines = split_lines(text);
    size_t last_e = 0;
    for (size_t i = 0; i < lines.size(); ++i)
      if (lines[i][0] == 'e') last_e = i;
    const size_t stride = lines.size() / 16 + 1;  // a spread of places, and the ends
    size_t start = 0;
    for (size_t k = 0; k < lines.size(); ++k, start += lines[k - 1].size()) {
      if (k % stride != 1 && k > 3 && k + 3 < lines.size()) continue;
      // Within line k+1 (1-based), at the line end, and after the CR of it.
      // A skim fails there too; inside the o-lines it sought over, at the block's end.
      const auto skim_fails_at = [&](size_t size, long line) {
        write_file("cut.txt", text.substr(0, size));
        const long got = skim_error_line("cut.txt");
        if (lines[k][0] == 'o' && line != 0)
          EXPECT_NE(got, 0) << f << " skimmed, cut at byte " << size;
        else
          EXPECT_EQ(got, line) << f << " skimmed, cut at byte " << size;
      };
      for (size_t into : {size_t{5}, lines[k].size() - 1}) {
        EXPECT_EQ(error_line(text.substr(0, start + into)), static_cast<long>(k + 1))
            << f << " cut in line " << k + 1;
        skim_fails_at(start + into, static_cast<long>(k + 1));
      }
      // Before line k+1: a cut between the blocks of the last epoch cannot be seen.
      const bool unseen = k > last_e && lines[k][0] == 'f';
      const long before = unseen ? 0 : static_cast<long>(k + 1);
      EXPECT_EQ(error_line(text.substr(0, start)), before) << f << " cut before line " << k + 1;
      skim_fails_at(start, before);
    }
  }
}

// An alteration of the first line of a kind (false: it does not apply to that line), which must
// make the read fail at that line. A skim fails at the same line, except in o-lines, which it
// passes over by their length: it fails only where that changes (`length`), anywhere.
struct Alteration {
  const char* what;
  char kind;
  std::function<bool(std::string&)> alter;
  bool length = false;
};

TEST(QuiltReader, AlteredLinesFailWhereTheyBreak) {
  REFERENCE_OUTPUTS(files);
  ScratchDir dir;
  const std::vector<Alteration> alterations = {
      {"LF line end", 'o',
       [](std::string& l) {
         l.erase(l.size() - 2, 1);
         return true;
       },
       true},
      {"value of 2 decimals", 'o',
       [](std::string& l) {
         l[12] = '0', l[13] = '.';
         return true;
       }},
      {"letter in a value", 'o',
       [](std::string& l) {
         l[14] = 'x';
         return true;
       }},
      {"value field dropped", 'o',
       [](std::string& l) {
         l.erase(1, 15);
         return true;
       },
       true},
      {"empty row", 'o',
       [](std::string& l) {
         for (size_t p = 1; p + 2 < l.size(); p += 15) l.replace(p, 15, " 9999999999.999");
         return true;
       }},
      {"second off the step", 'e',
       [](std::string& l) {
         l[20] = l[20] == '9' ? '8' : l[20] + 1;
         return true;
       }},
      {"unknown marker", 't',
       [](std::string& l) {
         l.replace(2, 4, "\x01\x02\x03\x04");
         return true;
       }},
      {"seconds of 6 decimals", 't',
       [](std::string& l) {
         return l.size() == 19 && (l.replace(6, 11, " " + l.substr(6, 10)), true);
       }},
      {"satellite twice", 's',
       [](std::string& l) {
         if (l.size() < 11) return false;
         l.replace(5, 4, l.substr(1, 4));
         return true;
       }},
      {"satellite without its blank", 's',
       [](std::string& l) {
         l[1] = 'G';
         return true;
       }},
      {"one row more", 'f', [](std::string& l) { return l[8] < '9' && ++l[8]; }},
      {"eccentricity of 5 decimals", 'b',
       [](std::string& l) {
         l.erase(29, 1), l.insert(42, "0");
         return true;
       }},
      {"b-line a column short", 'b',
       [](std::string& l) {
         l.erase(75, 1);
         return true;
       }},
      {"step of zero", 'a',
       [](std::string& l) {
         l.replace(14, 6, "     0");
         return true;
       }},
  };
  for (const fs::path& f : files) {
    const std::vector<std::string> lines = split_lines(read_file(f));
    for (const Alteration& a : alterations) {
      size_t at = 0;
      while (at < lines.size() && lines[at][0] != a.kind) ++at;
      std::vector<std::string> altered = lines;
      if (at == lines.size() || !a.alter(altered[at])) continue;
      long want = static_cast<long>(at + 1);
      const long rows = a.kind == 'f' ? std::stol(lines[at].substr(4, 5)) : 0;
      if (a.kind == 'f' && rows < std::stol(lines[0].substr(20, 6)))
        want += rows + 1;  // the s-line is read where the extra t-line should be
      std::string text;
      for (const auto& l : altered) text += l;
      EXPECT_EQ(error_line(text), want) << f << ": " << a.what;
      if (a.kind != 'o') {
        EXPECT_EQ(skim_error_line("cut.txt"), want) << f << ": " << a.what << ", skimmed";
      } else if (a.length) {
        EXPECT_NE(skim_error_line("cut.txt"), 0) << f << ": " << a.what << ", skimmed";
      }
    }
  }
}

// The missing-value marker: a value is present below 9999999999.99; a row of values at or above
// it is empty, one just below it or negative is a row with values.
TEST(QuiltReader, ARowIsEmptyFromTheMissingValueMarkerOn) {
  REFERENCE_OUTPUTS(files);
  for (const fs::path& f : files) {
    const std::vector<std::string> lines = split_lines(read_file(f));
    size_t at = 0;
    while (at < lines.size() && lines[at][0] != 'o') ++at;
    if (at == lines.size()) continue;
    for (const auto& [field, empty] :
         std::vector<std::pair<std::string, bool>>{{" 9999999999.990", true},
                                                   {" 9999999999.999", true},
                                                   {" 9999999999.989", false},
                                                   {" -999999999.990", false},
                                                   {"         -0.000", false}}) {
      std::vector<std::string> altered = lines;
      for (size_t p = 1; p + 2 < altered[at].size(); p += 15) altered[at].replace(p, 15, field);
      std::string text;
      for (const auto& l : altered) text += l;
      EXPECT_EQ(error_line(text), empty ? static_cast<long>(at + 1) : 0) << f << ": " << field;
    }
    return;  // one file tells
  }
}

// Value fields of every shape, in the first value of the first o-line and in the last (whose
// CR LF follows it): read as the nearest double of their text where they are a number of three
// decimals with the point in column 11 (blanks, then a minus or none, then digits), as NaN where
// they are all asterisks, and a failure at their line otherwise. The reference is a reading of
// the field's rule written out here, and std::from_chars.
TEST(QuiltReader, EveryShapeOfValueIsReadByItsRule) {
  REFERENCE_OUTPUTS(files);
  const std::vector<std::string> fields = {
      "  20199997.312", " 106087588.876", "1234567890.123", "-123456789.123", " -12345678.123",
      "         0.000", "        -0.000", "         5.000", "        -5.001", "0000000001.500",
      "-000000000.010", "9999999999.999", "9999999999.989", "**************", "  2019 997.312",
      " -2019-997.312", "  --199997.312", "- 20199997.312", "  20199997,312", "  20199997.31 ",
      "  20199997.3a2", "          .123", "         -.123", "  +0199997.312", "  ************",
      "              ", "  2019999x.312", "x 20199997.312", " 20199997.3120", std::string("  201999\0" "97.312", 14),
      "  20199997.\xff" "12", "\xb0" " 20199997.312", "          1.00", "        1.0000",
      "         -1.23", "  19:99997.312", "  /0199997.312"};
  // The field's rule, spelled out: its value, NaN for asterisks, nothing when malformed.
  const auto rule = [](const std::string& f) -> std::optional<double> {
    if (f.find_first_not_of('*') == std::string::npos) return NAN;
    size_t i = f.find_first_not_of(' ');
    if (i < 10 && f[i] == '-') ++i;
    if (i >= 10 || f[10] != '.') return std::nullopt;
    for (size_t k = i; k < 14; ++k)
      if (k != 10 && (f[k] < '0' || f[k] > '9')) return std::nullopt;
    const size_t from = f.find_first_not_of(' ');
    double v = NAN;
    std::from_chars(f.data() + from, f.data() + 14, v);
    return v;
  };
  const std::vector<std::string> lines = split_lines(read_file(files.front()));
  size_t at = 0;
  while (at < lines.size() && lines[at][0] != 'o') ++at;
  ASSERT_LT(at, lines.size());
  ScratchDir dir;
  for (const bool last : {false, true}) {
    const size_t where = last ? lines[at].size() - 2 - 14 : 2;  // the field after its blank
    for (const std::string& f : fields) {
      ASSERT_EQ(f.size(), 14u);
      std::vector<std::string> altered = lines;
      altered[at].replace(where, 14, f);
      std::string text;
      for (const auto& l : altered) text += l;
      const std::optional<double> want = rule(f);
      const long line = error_line(text);
      if (!want) {
        EXPECT_EQ(line, static_cast<long>(at + 1)) << "\"" << f << "\"" << (last ? " last" : "");
        continue;
      }
      // The missing-value marker may leave its column without a value in the block, which
      // fails too (the merge leaves such columns out): only a number's own reading is asked for.
      if (line != 0 && !quilt::present(*want)) continue;
      EXPECT_EQ(line, 0) << "\"" << f << "\"" << (last ? " last" : "");
      Reader file("cut.txt");
      quilt::Epoch ep;
      ASSERT_TRUE(file.next(ep));
      const quilt::Block& b = ep.blocks.front();
      const double got = b.values[last ? b.columns() - 1 : 0];
      EXPECT_TRUE(std::memcmp(&got, &*want, 8) == 0 || (std::isnan(*want) && std::isnan(got)))
          << "\"" << f << "\"" << (last ? " last" : "") << " read as " << got;
    }
  }
}

// A reader that stops taking epochs (its user failed on one) is left while the thread reads
// ahead or waits for room: it must end without hanging or touching the file after.
TEST(QuiltReadAhead, IsLeftAtAnyEpoch) {
  REFERENCE_OUTPUTS(files);
  for (const fs::path& f : files) {
    if (read_file(f).empty()) continue;
    std::vector<long> lines;  // of the e-lines, read in place
    {
      Reader file(f.string());
      for (quilt::Epoch ep; file.next(ep);) lines.push_back(ep.line);
    }
    for (size_t taken = 0; taken < 12; ++taken) {
      Reader file(f.string());
      quilt::ReadAhead rd(file, true);
      quilt::Epoch ep;
      for (size_t k = 0; k < taken && rd.next(ep); ++k)
        EXPECT_EQ(ep.line, lines.at(k)) << f << ": epoch " << k;
    }
  }
}

}  // namespace
}  // namespace obsq::test
