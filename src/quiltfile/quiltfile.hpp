// Reader of "obsquilt.txt", the merge program's output file: the contract between the merge and
// the programs that take its matrices further (export, report). It streams: the header first,
// then one epoch at a time, so memory is bounded by one epoch block whatever the file's size.
//
// The file (fixed-width text, CR LF line ends):
//   a TMIN TMAX STEP NFILES                 "(a1,1x,4i6)"; TMIN/TMAX asterisks: no epoch
//   b MARK  ANTENNA(20) DH DE DN  S        one per receiver, "(a1,1x,a4,2x,a20,3(1x,f14.4),2x,a1)"
//   e YYYY MM DD hh mm ss                   one per epoch, "(a,i4,5i3)"
//   f TY NROWS NSATS                        one per type block, "(a,a2,2i5)"
//   t MARK SECONDS                          one per row, "(a,a,f11.7)" or "  no time available"
//   s SAT SAT ...                           the block's satellites, 4 columns each
//   o VALUE VALUE ...                       one per row, 15 columns each (f14.3 after a blank)
// Rows are receivers in file order; a t-line names its receiver only by marker, so the reader
// matches rows to receivers in order (the first receiver after the previous row whose marker
// matches) and tells when that match is ambiguous.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace obsq::quilt {

// A line of the file that breaks the format: thrown by the reader.
struct FormatError {
  std::string file;
  long line = 0;  // 1-based; 0 when the error is about the file as a whole
  std::string message;
};

inline constexpr double kMissing = 9999999999.999;
// Present as the merge program counts it: strictly below 9999999999.99 (NaN is not present).
inline bool present(double v) { return v < 9999999999.99; }

struct Receiver {
  std::string marker;   // 4 bytes as written (may hold zero bytes)
  std::string antenna;  // 20 bytes as written
  double dh = 0, de = 0, dn = 0;  // metres; NaN when the field holds asterisks
  char system = ' ';    // system letter
};

struct Header {
  bool has_range = false;   // false when TMIN and TMAX are asterisks (the run kept no epoch)
  int32_t tmin = 0, tmax = 0, step = 0;
  std::vector<Receiver> receivers;
  long line_count = 0;      // lines read for the header (1 + receivers)
};

// One type block of an epoch.
struct Block {
  std::string type;                      // 2 characters as written
  std::vector<int32_t> rows;             // receiver index (0-based) of each row, increasing
  std::vector<double> epoch_seconds;     // per row: the t-line's seconds, NaN for "no time available"
  std::vector<std::string> satellites;   // per column: the 3-character code as written ("G 6")
  std::vector<double> values;            // rows x columns, row-major: the nearest double of the
                                         // 14 characters; kMissing where missing, NaN for asterisks
  std::vector<char> text;                // rows x columns x 14: the value fields as written
  long line = 0;                         // line of the f-line

  size_t columns() const { return satellites.size(); }
  double value(size_t row, size_t col) const { return values[row * columns() + col]; }
  std::string_view value_text(size_t row, size_t col) const {
    return {text.data() + (row * columns() + col) * 14, 14};
  }
};

struct Epoch {
  int32_t second = 0;                  // second of day: hour * 3600 + minute * 60 + second
  int32_t year = 0, month = 0, day = 0;
  long line = 0;                       // line of the e-line
  std::vector<Block> blocks;           // in file order (the run's type order)
};

class Reader {
 public:
  // Opens the file and reads its header; FormatError when it cannot be opened or read.
  explicit Reader(const std::string& path);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  const Header& header() const { return header_; }
  // Reads the next epoch into `epoch` (its vectors are reused); false at the end of the file.
  bool next(Epoch& epoch);
  // Rows whose receiver could not be told apart from another with the same marker, so far:
  // one message per (marker, first line) met.
  const std::vector<std::string>& ambiguities() const { return ambiguities_; }
  // Bytes read so far.
  uint64_t bytes_read() const { return bytes_; }
  const std::string& path() const { return path_; }

 private:
  bool line(std::string_view& text);   // the next line without its CR LF; false at the end
  [[noreturn]] void fail(const std::string& message) const;

  std::string path_;
  std::FILE* file_ = nullptr;
  std::vector<char> buf_;
  size_t pos_ = 0, end_ = 0;
  bool eof_ = false;
  long lineno_ = 0;
  uint64_t bytes_ = 0;
  Header header_;
  std::vector<std::string> ambiguities_;
  std::string pending_;                 // an e-line read ahead of its epoch
  bool has_pending_ = false;
};

}  // namespace obsq::quilt
