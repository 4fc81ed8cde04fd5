// An observation file as GNSS archives publish it, opened by its content: plain RINEX 2, 3 or 4,
// compact RINEX 1.0 or 3.0, as it stands or wrapped in compress, gzip or bzip2. It says what it
// is, names what it is not (another RINEX file type, not RINEX), and reads out the plain RINEX
// text (of the file's own version) line by line or into a sink.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/crinex.hpp"
#include "archive/stream.hpp"

namespace obsq::archive {

enum class Kind {
  rinex2_obs,    // plain RINEX 2 observation file
  compact2_obs,  // compact RINEX 1.0 of a RINEX 2 observation file
  rinex3_obs,    // plain RINEX 3 or 4 observation file
  compact3_obs,  // compact RINEX 3.0 of a RINEX 3 or 4 observation file
  other_rinex,   // a RINEX file of another type (navigation, meteorological, ...)
  not_rinex,     // anything else, an empty file included
};

struct Identity {
  Kind kind = Kind::not_rinex;
  std::string version;  // columns 1-9 of the RINEX VERSION / TYPE record, trimmed
  std::string what;     // e.g. "compact RINEX, compress", "navigation file", "not RINEX"
  // RINEX 2 observations, as the merge reads them.
  bool usable() const { return kind == Kind::rinex2_obs || kind == Kind::compact2_obs; }
  // RINEX 3 or 4 observations, plain or compact.
  bool rinex3() const { return kind == Kind::rinex3_obs || kind == Kind::compact3_obs; }
  // An observation file whose plain text can be read out.
  bool readable() const { return usable() || rinex3(); }
};

// What the first lines of a file say it is. `wrappers` is the unwrapping done on the way
// ("gzip", "compress, gzip", empty for none), named in `what` of a usable file.
Identity identify(std::string_view first, std::string_view third, const std::string& wrappers);

class ObsFile {
 public:
  // Opens the file and reads its first lines; FormatError when it cannot be opened. `use`
  // says whether the text will be read to its end or only looked at.
  explicit ObsFile(const std::string& path, Use use = Use::all);
  const Identity& identity() const { return id_; }
  // The wrappers undone on the way, outermost first ("gzip"), empty for a file as it stands.
  const std::string& wrappers() const { return stream_->wrappers(); }
  // After the last line: the text ended on a line end, with no damage and nothing cut.
  bool ended_cleanly() const;
  // The line returned last ends the text without a line end (a plain file cut inside it).
  bool unterminated() const { return !decoder_ && lines_->unterminated(); }
  const std::string& path() const { return path_; }

  // The next line of the plain RINEX text (no LF), valid until the next call; false at the
  // end. Only for a readable file. A fault of the file is a FormatError.
  bool next_line(std::string_view& line);
  // A compact file, whose text comes from its decoder: all its lines end with LF.
  bool decoded() const { return decoder_ != nullptr; }
  // For a decoded file, the next n lines of its text, each with its LF, appended to out in as
  // few pieces as the decoder gives: the number appended, fewer only where the text ends.
  size_t append_decoded_lines(size_t n, std::string& out);
  // The whole text, piece by piece (whole lines, each ended by LF), to sink: pieces of
  // kPieceBytes and more, which a file writer takes in whole blocks without copying.
  void copy_to(const std::function<void(std::string_view)>& sink);
  static constexpr size_t kPieceBytes = size_t{256} << 10;
  // What the reading carried on past: a file cut inside an epoch, damaged compressed data.
  std::vector<Notice> notices() const;

 private:
  std::string path_;
  std::unique_ptr<ArchiveStream> stream_;
  std::unique_ptr<LineSource> lines_;
  std::unique_ptr<CompactText> decoder_;
  Identity id_;
  std::string text_;  // decoded text not handed out yet
  size_t pos_ = 0;
  size_t left_ = 0;  // its lines from pos_ on
  bool cut_noted_ = false;
  std::vector<Notice> plain_notices_;
};

}  // namespace obsq::archive
