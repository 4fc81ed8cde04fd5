// Decoders of compact RINEX ("Hatanaka" compression): version 1.0, the form of RINEX 2
// observation files, and version 3.0, the form of RINEX 3 and RINEX 4 observation files.
//
// The decoders stream: each holds one epoch's state (per satellite and type the difference
// levels of the arc, and the flag string) and hands out the RINEX text one header line or one
// whole epoch at a time, so its memory is bounded by one epoch, not by the file. Every line of
// the text loses its trailing blanks, as the compact format does. A fault of the file is a
// FormatError naming the file and line; a file that ends inside an epoch keeps the complete
// epochs before and leaves a Notice.
//
// Use: construct on a LineSource standing at the first line of the file, then call next(out)
// until it returns false; notices() afterwards says what was carried on past.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/columns.hpp"
#include "archive/stream.hpp"

namespace obsq::archive {

// What both versions share: the line source, the end of the data, cuts and the numeric fields.
class CompactText {
 public:
  virtual ~CompactText() = default;
  CompactText(const CompactText&) = delete;
  CompactText& operator=(const CompactText&) = delete;
  // Appends the next piece of RINEX text (one header line, or one epoch with all its records)
  // to out, each line ended by LF; false when the file has ended.
  bool next(std::string& out);
  // What the decoder carried on past (a cut at the end of the file).
  const std::vector<Notice>& notices() const { return notices_; }
  // The lines of the piece the last call of next() appended (0 when it appended none).
  size_t lines() const { return lines_; }

 protected:
  // One arc of differences: levels y[0..m] of the last epoch, order k (0: no live arc).
  struct Arc {
    uint64_t y[6];
    int8_t k = 0;
    int8_t m = 0;
  };

  // Checks the first two lines ("CRINEX VERS   / TYPE" of `version`, "CRINEX PROG / DATE")
  // and that the RINEX header starts on the third, and stands at the third again.
  CompactText(LineSource& in, std::string_view version);
  // The next header line, trimmed, to out, shown to look() first.
  bool header_line(std::string& out);
  // The next epoch (or event) with its records, to out.
  virtual bool epoch(std::string& out) = 0;
  // The next epoch line; false (and the data ended) at the end of the data.
  bool epoch_start(std::string_view& line);
  // Reads one field at p (up to a blank or the end): "k&V" starts an arc of order k with the
  // value V, an integer is the next difference of the arc. Returns the value; p ends after it.
  // The usual field, a difference of an arc at its full order, is read where it is called;
  // every other field, and every fault, by field_rest.
  [[gnu::always_inline]] int64_t field(Arc& arc, const char*& p, const char* end, size_t sat,
                                       size_t type);
  int64_t field_rest(Arc& arc, const char*& p, const char* end, size_t sat, size_t type);
  static constexpr int kMaxDigits = 18;  // values and differences stay within 64 bits
  // Names a field in a message: " (satellite G05, type 3 L1)"; a satellite past the epoch's
  // list is the receiver clock.
  virtual std::string where(size_t sat, size_t type) const = 0;
  // Copies the `count` records of an event after its epoch line (already in out from `start`),
  // showing each to `look`; false (out cut back to start, the cut noted) when the file ends.
  bool copy_event(std::string& out, size_t start, long count);
  virtual void look(std::string_view /*event_record*/) {}
  // Reads the clock line of a data epoch into clock; false (the cut noted) at the end of data.
  bool clock_line(bool& has_clock, int64_t& clock, size_t nsat);
  [[noreturn, gnu::cold]] void bad_value(const char* p, const char* end, size_t sat,
                                         size_t type) const;
  // The place of satellite i of this epoch in the last epoch's list; past the list when new.
  size_t previous(size_t i) const;
  // Reads the data lines of the epoch's nsat satellites into out, then keeps this epoch's
  // satellites, arcs and flags as the last; false (out cut back to start) when the file ends.
  bool data_lines(std::string& out, size_t start, size_t nsat);
  // The most characters the records of the epoch's nsat satellites can take.
  virtual size_t room(size_t nsat) const = 0;
  // Decodes one satellite's data line into its observation records, written from w on;
  // returns the end of what it wrote.
  virtual char* satellite_line(std::string_view line, size_t sat, char* w) = 0;
  [[noreturn, gnu::cold]] void fail(std::string message) const { in_.fail(std::move(message)); }
  void cut(std::string_view where);

  LineSource& in_;
  size_t lines_ = 0;  // of the last piece handed out
  bool in_header_ = true;
  bool ended_ = false;
  Arc clock_;
  std::vector<Notice> notices_;
  std::string blank_line_;             // a blank epoch line, kept while the rest is looked at
  std::string epoch_line_;             // the recovered epoch line, the reference for the next
  std::string sats_, prev_sats_;       // satellite codes, 3 characters each
  std::vector<Arc> arcs_, prev_arcs_;  // per satellite, one per type of its system
  std::string flags_, prev_flags_;     // per satellite, 2 per type
};

// Compact RINEX 1.0: gives the RINEX 2 text.
class CompactDecoder : public CompactText {
 public:
  // `in` is at the first line of the file ("1.0 ... CRINEX VERS   / TYPE").
  explicit CompactDecoder(LineSource& in);

 private:
  bool epoch(std::string& out) override;
  size_t room(size_t nsat) const override;
  char* satellite_line(std::string_view line, size_t sat, char* w) override;
  std::string where(size_t sat, size_t type) const override;
  void look(std::string_view record) override;
  void set_types(std::string_view line);

  bool types_pending_ = false;  // the types group continues on the next line
  size_t n_ = 0;                // observation types
  std::vector<std::string> types_;
  size_t prev_n_ = 0;
};

// Compact RINEX 3.0: gives the RINEX 3 (or RINEX 4) text. Every system has its own number of
// observation types, from the SYS / # / OBS TYPES records of the header and of events.
class Compact3Decoder : public CompactText {
 public:
  // `in` is at the first line of the file ("3.0 ... CRINEX VERS   / TYPE").
  explicit Compact3Decoder(LineSource& in);

 private:
  bool epoch(std::string& out) override;
  size_t room(size_t nsat) const override;
  char* satellite_line(std::string_view line, size_t sat, char* w) override;
  std::string where(size_t sat, size_t type) const override;
  void look(std::string_view record) override;
  [[noreturn, gnu::cold]] void bad_epoch_line() const;

  std::array<int, 128> n_{};                  // types per system letter; -1: no list
  bool after_event_ = false;                  // the next epoch line must be given in full
  std::vector<uint32_t> first_, prev_first_;  // per satellite: its first field in arcs_
};

inline int64_t CompactText::field(Arc& arc, const char*& p, const char* end, size_t sat,
                                  size_t type) {
  const char* s = p;
  const bool neg = *s == '-';
  s += neg;
  const char* const d = s;
  const uint64_t v = detail::read_digits(s, end);
  if (s != d && s - d <= kMaxDigits && (s == end || *s == ' ') && arc.k != 0 && arc.m == arc.k) {
    uint64_t* y = arc.y;
    y[0] = neg ? 0 - v : v;
    for (int i = 0; i < arc.m; ++i) y[i + 1] += y[i];
    p = s;
    return static_cast<int64_t>(y[arc.m]);
  }
  return field_rest(arc, p, end, sat, type);
}

// Applies a text difference to `ref` in place: a blank keeps the character, '&' puts a blank,
// anything else replaces it; a longer difference is appended ('&' as blank).
void apply_difference(std::string& ref, std::string_view diff);

}  // namespace obsq::archive
