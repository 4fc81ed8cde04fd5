#include "archive/stream.hpp"

#include <archive.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace obsq::archive {

std::string FormatError::text() const {
  std::string s = file;
  if (line > 0) s.append(":").append(std::to_string(line));
  return s.append(": error: ").append(message);
}

size_t MemoryStream::read(char* buf, size_t n) {
  n = std::min(n, bytes_.size());
  std::memcpy(buf, bytes_.data(), n);
  bytes_.remove_prefix(n);
  return n;
}

ArchiveStream::ArchiveStream(const std::string& path) {
  ar_ = archive_read_new();
  if (ar_ == nullptr) throw FormatError{path, 0, "cannot start the archive reader"};
  // Only the wrappers archives use for observation files: no filter that runs an outside
  // program, and no container format (the raw format takes the bytes as one file).
  archive_read_support_filter_gzip(ar_);
  archive_read_support_filter_bzip2(ar_);
  archive_read_support_filter_compress(ar_);
  archive_read_support_format_raw(ar_);
  archive_read_support_format_empty(ar_);
  struct archive_entry* entry = nullptr;
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0 || S_ISDIR(st.st_mode)) {
    const std::string why = fd_ < 0 ? std::strerror(errno) : "is a directory";
    if (fd_ >= 0) ::close(fd_);
    archive_read_free(ar_);
    ar_ = nullptr;
    throw FormatError{path, 0, why};
  }
  if (archive_read_open_fd(ar_, fd_, 1 << 16) != ARCHIVE_OK) {
    std::string why = archive_error_string(ar_) ? archive_error_string(ar_) : "cannot open";
    archive_read_free(ar_);
    ::close(fd_);
    ar_ = nullptr;
    throw FormatError{path, 0, "damaged or cut compressed data: " + why};
  }
  const int r = archive_read_next_header(ar_, &entry);
  if (r == ARCHIVE_EOF) {
    at_end_ = true;
  } else if (r != ARCHIVE_OK && r != ARCHIVE_WARN) {
    damage_ = archive_error_string(ar_) ? archive_error_string(ar_) : "unreadable data";
    at_end_ = true;
  }
  // Filter 0 is the outermost read last; list them from the outside in.
  for (int i = archive_filter_count(ar_) - 1; i >= 0; --i) {
    const int code = archive_filter_code(ar_, i);
    if (code == ARCHIVE_FILTER_NONE) continue;
    if (!wrappers_.empty()) wrappers_ += ", ";
    wrappers_ += code == ARCHIVE_FILTER_COMPRESS ? "compress"
                 : code == ARCHIVE_FILTER_GZIP   ? "gzip"
                 : code == ARCHIVE_FILTER_BZIP2  ? "bzip2"
                                                 : archive_filter_name(ar_, i);
  }
}

ArchiveStream::~ArchiveStream() {
  if (ar_ != nullptr) archive_read_free(ar_);
  if (fd_ >= 0) ::close(fd_);
}

size_t ArchiveStream::read(char* buf, size_t n) {
  if (at_end_) return 0;
  const la_ssize_t got = archive_read_data(ar_, buf, n);
  if (got > 0) return static_cast<size_t>(got);
  at_end_ = true;
  if (got < 0)
    damage_ = archive_error_string(ar_) ? archive_error_string(ar_) : "damaged compressed data";
  return 0;
}

LineSource::LineSource(ByteStream& in, std::string name)
    : in_(in), name_(std::move(name)), buf_(kMaxLine * 2 + 2) {}

void LineSource::fail(std::string message, long line) const {
  throw FormatError{name_, line < 0 ? line_no_ : line, std::move(message)};
}

// Moves the unread rest to the front and reads more; false when nothing more came.
bool LineSource::fill() {
  if (eof_) return false;
  if (begin_ > 0) {
    discarded_ = true;
    std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  const size_t got = in_.read(buf_.data() + end_, buf_.size() - end_);
  if (got == 0) eof_ = true;
  end_ += got;
  return got > 0;
}

bool LineSource::rewind() {
  if (discarded_) return false;
  begin_ = 0;
  line_no_ = 0;
  again_ = unterminated_ = false;
  return true;
}

bool LineSource::next(std::string_view& line) {
  if (again_) {
    again_ = false;
    line = last_;
    return true;
  }
  size_t scanned = begin_;
  for (;;) {
    const char* nl =
        static_cast<const char*>(std::memchr(buf_.data() + scanned, '\n', end_ - scanned));
    if (nl != nullptr) {
      const size_t at = static_cast<size_t>(nl - buf_.data());
      size_t len = at - begin_;
      if (len > kMaxLine + 1)
        fail("line longer than " + std::to_string(kMaxLine) + " characters", line_no_ + 1);
      if (len > 0 && buf_[at - 1] == '\r') --len;
      line = last_ = std::string_view(buf_.data() + begin_, len);
      begin_ = at + 1;
      ++line_no_;
      return true;
    }
    if (end_ - begin_ > kMaxLine + 1)
      fail("line longer than " + std::to_string(kMaxLine) + " characters", line_no_ + 1);
    scanned = end_;
    const size_t kept = begin_;
    if (!fill()) {
      if (end_ == begin_) return false;
      size_t len = end_ - begin_;  // a last line without LF
      if (buf_[end_ - 1] == '\r') --len;
      line = last_ = std::string_view(buf_.data() + begin_, len);
      begin_ = end_;
      unterminated_ = true;
      ++line_no_;
      return true;
    }
    scanned -= kept - begin_;
  }
}

}  // namespace obsq::archive
