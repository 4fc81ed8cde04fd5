// Decoder of compact RINEX 1.0 ("Hatanaka" compression of RINEX 2 observation files).
//
// The decoder streams: it holds one epoch's state (per satellite and type the difference levels
// of the arc, and the flag string) and hands out the RINEX 2 text one header line or one whole
// epoch at a time, so its memory is bounded by one epoch, not by the file. Every line of the
// text loses its trailing blanks, as the compact format does. A fault of the file is a
// FormatError naming the file and line; a file that ends inside an epoch keeps the complete
// epochs before and leaves a Notice.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "archive/stream.hpp"

namespace obsq::archive {

class CompactDecoder {
 public:
  // `in` is at the first line of the file ("CRINEX VERS   / TYPE").
  explicit CompactDecoder(LineSource& in);
  // Appends the next piece of RINEX text (one header line, or one epoch with all its records)
  // to out, each line ended by LF; false when the file has ended.
  bool next(std::string& out);
  // What the decoder carried on past (a cut at the end of the file).
  const std::vector<Notice>& notices() const { return notices_; }

 private:
  // One arc of differences: levels y[0..m] of the last epoch, order k (0: no live arc).
  struct Arc {
    uint64_t y[6];
    int8_t k = 0;
    int8_t m = 0;
  };

  bool header_line(std::string& out);
  bool epoch(std::string& out);
  void event(std::string& out, long count);
  void satellite_line(std::string_view line, size_t sat, std::string& out);
  int64_t field(Arc& arc, const char*& p, const char* end, size_t sat, size_t type);
  [[noreturn, gnu::cold]] void bad_value(const char* p, const char* end, size_t sat,
                                         size_t type) const;
  std::string where(size_t sat, size_t type) const;  // " (satellite G05, type 3 L1)"
  void set_types(std::string_view line);
  [[noreturn, gnu::cold]] void fail(std::string message) const { in_.fail(std::move(message)); }
  void cut(std::string_view where);

  LineSource& in_;
  bool in_header_ = true;
  bool ended_ = false;
  bool types_pending_ = false;  // the types group continues on the next line
  size_t n_ = 0;                // observation types
  std::vector<std::string> types_;
  std::string epoch_line_;  // the recovered epoch line, the reference for the next
  std::string sats_;        // this epoch's satellite codes, 3 characters each
  std::string prev_sats_;
  std::vector<Arc> arcs_, prev_arcs_;  // per satellite, n each
  std::string flags_, prev_flags_;     // per satellite, 2n each
  size_t prev_n_ = 0;
  Arc clock_;
  std::vector<Notice> notices_;
};

// Applies a text difference to `ref` in place: a blank keeps the character, '&' puts a blank,
// anything else replaces it; a longer difference is appended ('&' as blank).
void apply_difference(std::string& ref, std::string_view diff);

}  // namespace obsq::archive
