// Input/output units: the channels the program reads and writes records on.
//
// Unit numbers are fixed for the whole run: 1 the RINEX file being read, 2 "list.txt",
// 3 "obsquilt.txt", 5 the keyboard, 6 the console. Input units read whole records in large
// blocks and hand them out as views; output units buffer lines and end them with CR LF.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "records/fields.hpp"

namespace obsq {

inline constexpr int kRinexUnit = 1;
inline constexpr int kListUnit = 2;
inline constexpr int kOutputUnit = 3;
inline constexpr int kKeyboardUnit = 5;
inline constexpr int kConsoleUnit = 6;

// The record rule of input units, on bytes that begin a record: the record of at most n
// characters (up to a line feed, or up to a carriage return met within the n characters, and
// at most n of them), and in `used` the bytes it takes with its line end and the skipped rest of
// a longer line. False when the rest of a longer line runs past `bytes` and they do not end the
// file (`at_end`): the caller has more to skip.
inline bool cut_record(std::string_view bytes, size_t n, bool at_end, std::string_view& rec,
                       size_t& used) {
  const char* b = bytes.data();
  const size_t avail = bytes.size();
  const size_t lim = avail < n ? avail : n;
  // The record ends at the first line feed or carriage return within the target length.
  const char* lf = static_cast<const char*>(std::memchr(b, '\n', lim));
  const size_t scan = lf ? static_cast<size_t>(lf - b) : lim;
  const char* cr = static_cast<const char*>(std::memchr(b, '\r', scan));
  if (cr != nullptr) {
    const size_t k = static_cast<size_t>(cr - b);
    rec = std::string_view(b, k);
    used = k + 1 + (k + 1 < avail && b[k + 1] == '\n');
    return true;
  }
  if (lf != nullptr) {
    rec = std::string_view(b, scan);
    used = scan + 1;
    return true;
  }
  if (avail <= n) {  // a last line without a line feed
    rec = std::string_view(b, avail);
    used = avail;
    return true;
  }
  // A line longer than the target: its first n characters, the rest of the line skipped.
  rec = std::string_view(b, n);
  const char* tail_lf = static_cast<const char*>(std::memchr(b + n, '\n', avail - n));
  if (tail_lf == nullptr && !at_end) return false;
  used = tail_lf != nullptr ? static_cast<size_t>(tail_lf - b) + 1 : avail;
  return true;
}

// A sequential formatted input unit. Every read takes one record: the characters up to a line
// feed, or up to a carriage return met within the target length (a line feed right after it
// is consumed with it), and at most the target length of them; the rest of a longer line is
// skipped up to and including its line feed.
class InUnit {
 public:
  explicit InUnit(int number) : number_(number) {}
  ~InUnit();
  InUnit(const InUnit&) = delete;
  InUnit& operator=(const InUnit&) = delete;

  // Opens an existing file for reading; raises the open errors of the record layer.
  void open(std::string_view name);
  // Reads from an already open descriptor (the keyboard).
  void attach(int fd, std::string name);
  void close();
  void rewind();
  bool is_open() const { return fd_ >= 0; }

  // Reads the next record of at most `length` characters. At the end of the file, before any
  // character of the record, returns false (the caller's end branch).
  bool next(std::string_view& rec, int length);
  // As next(), for a read without an end branch: the end of the file is the error "End of file".
  std::string_view need(int length);
  // Reads past n records of at most `length` characters; the end of the file is an error.
  void skip(long n, int length);

  // Takes over the file, position and record count of another unit of the same number that
  // read the file ahead (it gets this unit's in exchange): from then on this unit reports and
  // continues as if it had made those reads itself.
  void take_over(InUnit& other);
  // Sets the record count to the one a sequential read had at an earlier point of the file:
  // a failure met while handing on records read ahead is reported at the record it belongs to.
  void report_at(long record_number) { recno_ = record_number; }

  // The place of the last read, for error reports.
  std::string place() const;
  const std::string& name() const { return name_; }
  long record_number() const { return recno_; }

 private:
  bool fill(size_t want);
  void connect(int fd, bool owned, std::string name);
  int number_;
  int fd_ = -1;
  bool owns_fd_ = false;
  bool eof_ = false;
  std::string name_;
  std::unique_ptr<char[]> buf_;
  size_t cap_ = 0;
  size_t pos_ = 0;
  size_t end_ = 0;
  long recno_ = 0;
  size_t read_so_far_ = 0;  // bytes read since the file was opened or rewound
  std::string hold_;        // a record kept here when skipping its long tail needs a refill
};

// A sequential formatted output unit. Each write statement appends bytes and, unless its
// format ends in "$", ends the line with CR LF. The console is passed on after every statement.
class OutUnit {
 public:
  explicit OutUnit(int number) : number_(number) {}
  ~OutUnit();
  OutUnit(const OutUnit&) = delete;
  OutUnit& operator=(const OutUnit&) = delete;

  // Opens a file for output without emptying it: a missing file is created; an existing one
  // keeps its content until the first write statement, which cuts it. A file that may only be
  // read is opened for reading, and its first write statement fails.
  void open(std::string_view name);
  // Writes to an already open descriptor (the console), passed on after every statement.
  void attach(int fd, std::string name, bool console);
  void close();
  bool is_open() const { return fd_ >= 0; }

  // One write statement: the bytes, then the line end unless `open_line`.
  void write(std::string_view bytes, bool open_line = false);
  // A list-style write with no items: ends a line left open by "$", else writes an empty line.
  void end_line();

  // Room for a statement of at most n bytes built in place; finished by commit(), which
  // refuses (as a fault of the program) a statement that ran past its reservation.
  char* reserve(size_t n);
  void commit(char* end, bool open_line = false);

  void flush();
  std::string place() const;

 private:
  void begin_statement();
  void end_statement();
  int number_;
  int fd_ = -1;
  bool owns_fd_ = false;
  bool console_ = false;
  bool read_only_ = false;
  bool started_ = false;
  bool line_open_ = false;
  std::string name_;
  std::unique_ptr<char[]> buf_;
  size_t cap_ = 0;
  size_t len_ = 0;
  size_t reserved_end_ = 0;  // end of the room handed out by reserve()
};

// The units of the run; a number that names no unit is a fault of the program.
InUnit& in_unit(int number);
OutUnit& out_unit(int number);

// Writes one line (already formatted) to a unit as one write statement.
void write_line(int unit, std::string_view line);
// Writes one list-style line to the console.
void console(const ListLine& line);

// Closes every unit, flushing the output ones (used at the end of the process).
void close_all_units();

}  // namespace obsq
