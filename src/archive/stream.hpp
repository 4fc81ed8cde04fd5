// Byte streams and the line splitter every reader of this folder stands on.
//
// A ByteStream hands out the bytes of a file, unwrapped from compress, gzip or bzip2 when the
// content says so (ArchiveStream), or of a buffer (MemoryStream). A LineSource cuts them into
// lines with bounded memory: a line may hold at most kMaxLine characters.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct archive;

namespace obsq::archive {

// A fault of an input file: "FILE:LINE: error: message" (no line when line is 0).
struct FormatError {
  std::string file;
  long line = 0;
  std::string message;
  std::string text() const;
};

// Something the reader could not keep but carried on past, e.g. a file cut inside an epoch.
struct Notice {
  long line = 0;
  std::string message;
};

class ByteStream {
 public:
  virtual ~ByteStream() = default;
  // Up to n bytes into buf; 0 at the end of the data. A damaged stream ends early and says
  // why in damage().
  virtual size_t read(char* buf, size_t n) = 0;
  const std::string& damage() const { return damage_; }

 protected:
  std::string damage_;
};

class MemoryStream : public ByteStream {
 public:
  explicit MemoryStream(std::string_view bytes) : bytes_(bytes) {}
  size_t read(char* buf, size_t n) override;

 private:
  std::string_view bytes_;
};

// How much of a file its reader means to read: all of it, or only its opening (a look at what
// the file is and its header). An intact gzip file read whole is inflated at once, which a
// look would waste on the whole file; a look streams it, inflating only what it reads.
enum class Use { all, look };

// A file as archives publish it: its bytes, expanded from compress (.Z), gzip or bzip2
// (recognised by their magic bytes, any number of times over), or as they stand. A cut gzip or
// bzip2 file (a download stopped early) yields everything before the cut: where libarchive
// stops short, zlib's or libbz2's streaming decoder takes over from the byte libarchive
// reached; damage() says the data end early.
class ArchiveStream : public ByteStream {
 public:
  // FormatError when it cannot be opened.
  explicit ArchiveStream(const std::string& path, Use use = Use::all);
  ~ArchiveStream() override;
  ArchiveStream(const ArchiveStream&) = delete;
  ArchiveStream& operator=(const ArchiveStream&) = delete;
  size_t read(char* buf, size_t n) override;
  // The wrappers, outermost first, e.g. "gzip" or "compress"; empty for a plain file.
  const std::string& wrappers() const { return wrappers_; }

 private:
  void rescue();  // after a failure of libarchive: the streaming decoder, when there is one
  bool inflate_whole(size_t size);  // an intact gzip file of moderate size, at once

  struct ::archive* ar_ = nullptr;
  int fd_ = -1;
  std::string path_;
  std::string wrappers_;
  bool at_end_ = false;
  size_t delivered_ = 0;                // bytes handed out so far
  std::unique_ptr<ByteStream> rescue_;  // the streaming decoder that took over
  std::unique_ptr<char[]> inflated_;       // a gzip file inflated at once
  std::unique_ptr<MemoryStream> whole_;    // handing it out
};

// A blank line of observation text: blanks, tabs and DOS end-of-file characters, or nothing.
// Where an epoch record belongs, such a line holds no epoch.
inline constexpr std::string_view kBlanks = " \t\x1a";
inline bool blank_line(std::string_view line) {
  return line.find_first_not_of(kBlanks) == std::string_view::npos;
}

class LineSource {
 public:
  static constexpr size_t kMaxLine = 1 << 16;
  static constexpr size_t kFirstRead = 1 << 14;

  LineSource(ByteStream& in, std::string name);
  // The next line without its LF (and without a CR before it), valid until the next call;
  // false at the end of the data. A line longer than kMaxLine is a FormatError.
  bool next(std::string_view& line);
  // Hands out the line returned last once more at the next call.
  void unread() { again_ = true; }
  // Whether all that follows the line returned last, to the end of the data, is blank lines
  // (blanks, tabs, CR, LF, DOS end-of-file characters): then they are taken, and the data end.
  // Else nothing is taken, but blank lines beyond what the buffer holds, which are read past.
  // The line returned last is no longer valid after.
  bool only_blank_left();
  // Starts again at the first line, when the data from there are still in the buffer.
  bool rewind();
  // The first bytes of the data (up to n), while they are still in the buffer; else empty.
  std::string_view opening(size_t n) const {
    return discarded_ ? std::string_view() : std::string_view(buf_.data(), std::min(n, end_));
  }
  long line_number() const { return line_no_; }
  // The line returned last ended the data without a line end: the file may be cut in it.
  bool unterminated() const { return unterminated_; }
  const std::string& name() const { return name_; }
  // Why the data ended early (a damaged or cut compressed stream), empty when it did not.
  const std::string& damage() const { return in_.damage(); }
  [[noreturn]] void fail(std::string message, long line = -1) const;

 private:
  bool fill();

  ByteStream& in_;
  std::string name_;
  std::vector<char> buf_;
  size_t begin_ = 0, end_ = 0;
  bool eof_ = false;
  bool again_ = false;
  bool unterminated_ = false;
  bool discarded_ = false;  // bytes from the start of the data have left the buffer
  std::string_view last_;
  long line_no_ = 0;
};

}  // namespace obsq::archive
