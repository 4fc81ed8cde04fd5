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
// matches) and tells when that match is ambiguous: when the block's markers also fit another
// choice of receivers, which happens only when several receivers share a marker.
//
// The reader is strict: every line is checked for its kind, length, fixed blanks and number
// fields; the counts of the f-line against the t-, s- and o-lines; the e-lines against the
// a-line (from TMIN to TMAX by STEP, every one present, all on the same date); each row and
// column of a block holds a value (the merge program leaves empty ones out). A file that breaks
// any of this, or ends early, raises FormatError naming the line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
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
constexpr bool present(double v) { return v < 9999999999.99; }

struct Receiver {
  std::string marker;             // 4 bytes as written (may hold zero bytes)
  std::string antenna;            // 20 bytes as written
  double dh = 0, de = 0, dn = 0;  // metres; NaN when the field holds asterisks
  char system = ' ';              // system letter
};

struct Header {
  bool has_range = false;  // false when TMIN and TMAX are asterisks (the run kept no epoch)
  int32_t tmin = 0, tmax = 0, step = 0;
  std::vector<Receiver> receivers;
  long line_count = 0;  // lines read for the header (1 + receivers)
};

// One type block of an epoch.
struct Block {
  std::string type;                   // 2 characters as written
  std::vector<int32_t> rows;          // receiver index (0-based) of each row, increasing
  std::vector<double> epoch_seconds;  // per row: the t-line's seconds, NaN for "no time available"
  std::vector<std::string> satellites;  // per column: the 3-character code as written ("G 6")
  std::vector<double> values;           // rows x columns, row-major: the nearest double of the
                                        // 14 characters; kMissing where missing, NaN for asterisks
  std::vector<char> text;               // rows x columns x 14: the value fields as written
  long line = 0;                        // line of the f-line

  size_t columns() const { return satellites.size(); }
  double value(size_t row, size_t col) const { return values[row * columns() + col]; }
  std::string_view value_text(size_t row, size_t col) const {
    return {text.data() + (row * columns() + col) * 14, 14};
  }
  // The value's characters without the leading blanks ("-0.125", "9999999999.999").
  std::string_view value_digits(size_t row, size_t col) const {
    std::string_view t = value_text(row, col);
    t.remove_prefix(t.find_first_not_of(' ') == std::string_view::npos ? 14
                                                                       : t.find_first_not_of(' '));
    return t;
  }
};

struct Epoch {
  int32_t second = 0;  // second of day: hour * 3600 + minute * 60 + second
  int32_t year = 0, month = 0, day = 0;
  long line = 0;              // line of the e-line
  std::vector<Block> blocks;  // in file order (the run's type order)
};

// Text for messages: printable ASCII kept, other bytes (zero bytes of an unfilled marker, quotes,
// backslashes) as \xHH.
std::string printable(std::string_view text);

// What the programs after the merge read: one obsquilt.txt (Reader), or the runs of one day
// joined (obsquilt-export's Runs): the header, then one epoch at a time.
class Stream {
 public:
  virtual ~Stream() = default;
  virtual const Header& header() const = 0;
  virtual bool next(Epoch& epoch) = 0;
  virtual const std::vector<std::string>& ambiguities() const = 0;
  virtual uint64_t bytes_read() const = 0;
  virtual const std::string& path() const = 0;  // of the last epoch read
};

class Reader final : public Stream {
 public:
  // Opens the file and reads its header; FormatError when it cannot be opened or read.
  // Skimming, the blocks' values and text are left as they are, and o-lines are passed over by
  // the length their f- and s-lines give them, the lines read checked for their kind and line
  // end only; a regular file is read a little at a time and the o-lines not read yet are sought
  // over (the block's end checked for its line end), a pipe is read through. For a quick look
  // at a day's epochs, types and satellites; a file that passes a skim may still break the
  // format in an o-line.
  explicit Reader(const std::string& path, bool skim = false);
  ~Reader() override;
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  const Header& header() const override { return header_; }
  // Reads the next epoch into `epoch` (its vectors are reused); false at the end of the file.
  bool next(Epoch& epoch) override;
  // Rows whose receiver could not be told apart from another with the same marker, so far:
  // one message per marker, at the first line where it happened, in the located form
  // "FILE:LINE: warning: message" (ready for the error stream).
  const std::vector<std::string>& ambiguities() const override { return ambiguities_; }
  // Bytes read so far.
  uint64_t bytes_read() const override { return bytes_; }
  const std::string& path() const override { return path_; }
  // Number of the last line read.
  long line_number() const { return lineno_; }

 private:
  bool line(std::string_view& text);  // the next line without its CR LF; false at the end
  bool fill();                        // reads more after what is left; false at the end
  void pass_olines(const Block& b, size_t rows, size_t cols);
  [[noreturn]] void fail(const std::string& message) const;
  [[noreturn]] void first_line_without_cr(std::string_view line) const;
  [[noreturn]] void fail_oline(const Block& b, size_t rows, size_t cols) const;

  std::string path_;
  std::FILE* file_ = nullptr;
  std::vector<char> buf_;
  size_t pos_ = 0, end_ = 0;
  bool eof_ = false;
  long lineno_ = 0;
  uint64_t bytes_ = 0;
  Header header_;
  std::vector<std::string> ambiguities_;
  std::string pending_;  // an e-line read ahead of its epoch
  bool has_pending_ = false;
  bool skim_ = false;
  bool seekable_ = false;  // a regular file, whose o-lines a skim seeks over

  // Row matching: each receiver's marker as a 32-bit key, and the receivers of every marker.
  std::vector<uint32_t> marker_keys_;
  std::vector<std::pair<uint32_t, std::vector<int32_t>>> marker_rows_;  // sorted by key
  bool shared_markers_ = false;
  std::vector<uint32_t> reported_;  // markers already named in an ambiguity message
  // Epoch sequence and date.
  int32_t next_second_ = 0;
  bool any_epoch_ = false;
  int32_t year_ = 0, month_ = 0, day_ = 0;
  // Scratch of one block.
  std::vector<uint32_t> row_keys_;
  std::vector<char> column_used_;
  std::vector<uint32_t> codes_;
  std::vector<Block> spare_;  // blocks kept for reuse when an epoch has fewer

  void read_header();
  void read_block(Block& b, std::string_view fline, const Epoch& ep, size_t index);
  void match_rows(Block& b, long first_tline);
  const std::vector<int32_t>& receivers_of(uint32_t key) const;
};

}  // namespace obsq::quilt
