#include "archive/stream.hpp"

#include <archive.h>
#include <bzlib.h>
#include <fcntl.h>
#ifdef OBSQUILT_HAVE_ISAL
#include <isa-l/igzip_lib.h>
#else
#include <libdeflate.h>
#endif
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include <zlib.h>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

namespace {

// The fault of a gzip file whose unpacked data fail the checks its members carry: the data
// are corrupt somewhere, and nothing tells where, so none of them is used. `inside` places a
// gzip wrapper within another ("inside the bzip2 wrapper"), empty for the outermost.
FormatError checksum_fault(const std::string& path, size_t member,
                           const std::string& inside = "") {
  std::string m = "damaged compressed data: the unpacked data do not match the gzip check values";
  if (member > 1) m += " of member " + std::to_string(member);
  if (!inside.empty()) m += " of the gzip wrapper " + inside;
  return {path, 0,
          m + " (CRC-32 and length), so they are corrupt somewhere; nothing of the file is used"};
}

// The bytes of a gzip (zlib) or bzip2 (libbz2) file decoded as far as they go: a stream cut
// short, or damaged, ends where its decodable part ends. Several members one after another are
// read as one stream, as gzip and bzip2 do.
class CutFileDecoder : public ByteStream {
 public:
  enum class Format { gzip, bzip2 };
  // Reads the file descriptor fd, which it closes.
  CutFileDecoder(int fd, Format format) : fd_(fd), format_(format) { ok_ = start(); }
  // Reads what `source` gives (a wrapper inside another): source outlives the decoder.
  CutFileDecoder(ByteStream& source, Format format) : source_(&source), format_(format) {
    ok_ = start();
  }
  ~CutFileDecoder() override {
    finish();
    if (fd_ >= 0) ::close(fd_);
  }
  CutFileDecoder(const CutFileDecoder&) = delete;
  CutFileDecoder& operator=(const CutFileDecoder&) = delete;
  // The gzip member (1, 2, ...) whose unpacked data failed its check values (CRC-32, length)
  // where the data ended, else 0.
  size_t failed_member() const { return failed_member_; }

  size_t read(char* buf, size_t n) override {
    size_t out = 0;
    while (ok_ && out < n) {
      if (avail_ == 0 && !eof_) refill();
      const size_t before = out;
      const int r = step(buf + out, n - out, out);
      if (r == kEnd) {
        finish();
        ok_ = (avail_ > 0 || refill()) && start();  // the next member, if any
        member_ += ok_;
      } else if (r == kFault || (out == before && avail_ == 0 && eof_)) {
        ok_ = false;  // damaged, or cut: what came before is all there is
      }
    }
    return out;
  }

 private:
  enum { kMore, kEnd, kFault };

  bool refill() {
    if (eof_) return false;
    const ssize_t got = source_ != nullptr ? static_cast<ssize_t>(source_->read(in_, sizeof in_))
                                           : ::read(fd_, in_, sizeof in_);
    if (got <= 0) {
      eof_ = true;
      return false;
    }
    next_ = in_;
    avail_ = static_cast<size_t>(got);
    return true;
  }
  bool start() {
    if (format_ == Format::gzip) {
      z_ = z_stream{};
      live_ = inflateInit2(&z_, 15 + 16) == Z_OK;
    } else {
      bz_ = bz_stream{};
      live_ = BZ2_bzDecompressInit(&bz_, 0, 0) == BZ_OK;
    }
    return live_;
  }
  void finish() {
    if (!live_) return;
    if (format_ == Format::gzip)
      inflateEnd(&z_);
    else
      BZ2_bzDecompressEnd(&bz_);
    live_ = false;
  }
  // One call of the decoder: output appended at buf (room n), `out` advanced.
  int step(char* buf, size_t n, size_t& out) {
    const unsigned room = static_cast<unsigned>(std::min<size_t>(n, 1u << 30));
    unsigned left_in = static_cast<unsigned>(std::min<size_t>(avail_, 1u << 30));
    unsigned left_out = room;
    int r = kMore;
    if (format_ == Format::gzip) {
      z_.next_in = reinterpret_cast<Bytef*>(next_);
      z_.avail_in = left_in;
      z_.next_out = reinterpret_cast<Bytef*>(buf);
      z_.avail_out = room;
      const int rc = inflate(&z_, Z_NO_FLUSH);
      r = rc == Z_STREAM_END ? kEnd : rc == Z_OK || rc == Z_BUF_ERROR ? kMore : kFault;
      if (rc == Z_DATA_ERROR && z_.msg != nullptr &&
          (std::strcmp(z_.msg, "incorrect data check") == 0 ||
           std::strcmp(z_.msg, "incorrect length check") == 0))
        failed_member_ = member_;
      left_in = z_.avail_in;
      left_out = z_.avail_out;
    } else {
      bz_.next_in = next_;
      bz_.avail_in = left_in;
      bz_.next_out = buf;
      bz_.avail_out = room;
      const int rc = BZ2_bzDecompress(&bz_);
      r = rc == BZ_STREAM_END ? kEnd : rc == BZ_OK ? kMore : kFault;
      left_in = bz_.avail_in;
      left_out = bz_.avail_out;
    }
    next_ += avail_ - left_in;
    avail_ = left_in;
    out += room - left_out;
    return r;
  }

  int fd_ = -1;
  ByteStream* source_ = nullptr;
  Format format_;
  bool ok_ = false, live_ = false, eof_ = false;
  z_stream z_{};
  bz_stream bz_{};
  char in_[1 << 16];
  char* next_ = in_;
  size_t avail_ = 0;
  size_t member_ = 1, failed_member_ = 0;
};

// Checks the gzip wrappers of the file at `path` (its wrappers, outermost first, as
// ArchiveStream lists them) and throws checksum_fault for the first member whose unpacked data
// fail its check values: libarchive unpacks gzip without checking them, so the file is unpacked
// once more here, every gzip and bzip2 wrapper in turn, to the end, and what comes out is
// dropped. The wrappers inside a compress wrapper are not unpacked here. A member cut short or
// otherwise damaged, and bytes after the last member, are not its business: the readers say
// what they meet there.
void check_gzip_members(const std::string& path, const std::string& wrappers) {
  std::vector<std::pair<CutFileDecoder::Format, std::string>> layers;  // and the wrapper outside
  std::string outside;
  for (size_t at = 0; at < wrappers.size();) {
    const size_t end = std::min(wrappers.find(", ", at), wrappers.size());
    const std::string w = wrappers.substr(at, end - at);
    if (w != "gzip" && w != "bzip2") break;
    layers.emplace_back(w == "gzip" ? CutFileDecoder::Format::gzip : CutFileDecoder::Format::bzip2,
                        outside);
    outside = "inside the " + w + " wrapper";
    at = end + 2;
  }
  // Nothing inside the innermost gzip wrapper needs unpacking here.
  while (!layers.empty() && layers.back().first != CutFileDecoder::Format::gzip) layers.pop_back();
  if (layers.empty()) return;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  std::vector<std::unique_ptr<CutFileDecoder>> pass;
  for (const auto& [format, where] : layers)
    pass.push_back(pass.empty() ? std::make_unique<CutFileDecoder>(fd, format)
                                : std::make_unique<CutFileDecoder>(*pass.back(), format));
  std::vector<char> dropped(1 << 18);
  while (pass.back()->read(dropped.data(), dropped.size()) > 0) {}
  for (size_t i = 0; i < pass.size(); ++i)
    if (const size_t member = pass[i]->failed_member())
      throw checksum_fault(path, member, layers[i].second);
}

}  // namespace

ArchiveStream::ArchiveStream(const std::string& path, Use use) : path_(path) {
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
  // Given up on a fault: the constructor's work undone, as the destructor does not run.
  const auto give_up = [this](const FormatError& fault) {
    archive_read_free(ar_);
    ::close(fd_);
    ar_ = nullptr;
    fd_ = -1;
    throw fault;
  };
  try {
    if (use == Use::all && S_ISREG(st.st_mode) && inflate_whole(static_cast<size_t>(st.st_size)))
      return;
  } catch (const FormatError& fault) {
    give_up(fault);
  }
  if (archive_read_open_fd(ar_, fd_, 1 << 16) != ARCHIVE_OK) {
    std::string why = archive_error_string(ar_) ? archive_error_string(ar_) : "cannot open";
    archive_read_free(ar_);
    ::close(fd_);
    ar_ = nullptr;
    fd_ = -1;
    damage_ = why;
    at_end_ = true;
    rescue();  // a cut gzip or bzip2 file: what can be decoded of it
    if (!rescue_) throw FormatError{path, 0, "damaged or cut compressed data: " + why};
    return;
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
  // A cut gzip or bzip2 file libarchive cannot start on: what can be decoded of it.
  if (!damage_.empty()) {
    rescue();
    return;
  }
  // libarchive does not check what it unpacks of gzip: a file to be read whole is checked here
  // first (those inflated at once are checked as they are). A pipe can be read once only.
  if (use == Use::all && S_ISREG(st.st_mode)) {
    try {
      check_gzip_members(path, wrappers_);
    } catch (const FormatError& fault) {
      give_up(fault);
    }
  }
}

ArchiveStream::~ArchiveStream() {
  if (ar_ != nullptr) archive_read_free(ar_);
  if (fd_ >= 0) ::close(fd_);
}

// Most archive files are one gzip wrapper around the text, intact and a few megabytes large:
// inflated whole, they come at about twice zlib's speed (ISA-L's igzip where the build has it,
// a fifth faster again than libdeflate on observation files). Anything else (another wrapper,
// a wrapper inside, damage, bytes after the last member, a large file) is left to the
// streaming readers, which say what they meet as before.
bool ArchiveStream::inflate_whole(size_t size) {
  constexpr size_t kMostPacked = size_t{64} << 20, kMostInflated = size_t{1} << 30;
  if (size < 18 || size > kMostPacked) return false;  // 18: the smallest gzip member
  const auto gzip_at = [](const unsigned char* p) { return p[0] == 0x1f && p[1] == 0x8b; };
  unsigned char magic[2];
  if (::pread(fd_, magic, 2, 0) != 2 || !gzip_at(magic)) return false;  // no file read twice
  std::vector<unsigned char> packed(size);
  for (size_t got = 0; got < size;) {
    const ssize_t n = ::pread(fd_, packed.data() + got, size - got, static_cast<off_t>(got));
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  // The last member's length (modulo 2^32) is a first guess of the room needed. The room is
  // not cleared first: the inflater writes every byte that is kept.
  size_t room = packed[size - 4] | packed[size - 3] << 8 | packed[size - 2] << 16 |
                static_cast<size_t>(packed[size - 1]) << 24;
  room = std::clamp(room, size, kMostInflated);
  std::unique_ptr<char[]> out(new char[room]);
  size_t in_at = 0, out_at = 0;
  // Twice the room, the text so far kept; false past the largest text taken whole.
  const auto grow = [&] {
    if (room >= kMostInflated) return false;
    const size_t more = std::min(2 * room, kMostInflated);
    std::unique_ptr<char[]> bigger(new char[more]);
    std::memcpy(bigger.get(), out.get(), out_at);
    out = std::move(bigger);
    room = more;
    return true;
  };
#ifndef OBSQUILT_HAVE_ISAL
  std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> d(
      libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
#endif
  for (size_t member = 1; in_at < size; ++member) {
    if (size - in_at < 18 || !gzip_at(packed.data() + in_at)) return false;
#ifdef OBSQUILT_HAVE_ISAL
    inflate_state z;
    isal_inflate_init(&z);
    z.crc_flag = ISAL_GZIP;  // the header read, the CRC and length checked
    z.next_in = packed.data() + in_at;
    z.avail_in = static_cast<uint32_t>(size - in_at);
    for (;;) {
      z.next_out = reinterpret_cast<uint8_t*>(out.get() + out_at);
      z.avail_out = static_cast<uint32_t>(std::min<size_t>(room - out_at, UINT32_MAX));
      const uint32_t before = z.avail_out;
      const int rc = isal_inflate(&z);
      if (rc == ISAL_INCORRECT_CHECKSUM) throw checksum_fault(path_, member);
      if (rc != ISAL_DECOMP_OK) return false;
      out_at += before - z.avail_out;
      if (z.block_state == ISAL_BLOCK_FINISH) break;
      if (z.avail_out != 0 || !grow()) return false;  // cut short, or too large to take whole
    }
    in_at = static_cast<size_t>(z.next_in - packed.data());
#else
    if (!d) return false;
    for (;;) {
      size_t used = 0, made = 0;
      const libdeflate_result r =
          libdeflate_gzip_decompress_ex(d.get(), packed.data() + in_at, size - in_at,
                                        out.get() + out_at, room - out_at, &used, &made);
      if (r == LIBDEFLATE_SUCCESS) {
        in_at += used;
        out_at += made;
        break;
      }
      // Inflated again from the member's start into twice the room.
      if (r != LIBDEFLATE_INSUFFICIENT_SPACE || !grow()) return false;
    }
#endif
  }
  // A wrapper inside (gzip, compress, bzip2) is unwrapped by the streaming readers.
  const auto starts = [&](const char* m, size_t n) {
    return out_at >= n && std::memcmp(out.get(), m, n) == 0;
  };
  if (starts("\x1f\x8b", 2) || starts("\x1f\x9d", 2) || starts("BZh", 3)) return false;
  inflated_ = std::move(out);
  whole_ = std::make_unique<MemoryStream>(std::string_view(inflated_.get(), out_at));
  wrappers_ = "gzip";
  return true;
}

void ArchiveStream::rescue() {
  unsigned char magic[3] = {0, 0, 0};
  const int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  const bool gzip = ::pread(fd, magic, 3, 0) >= 2 && magic[0] == 0x1f && magic[1] == 0x8b;
  const bool bzip2 = magic[0] == 'B' && magic[1] == 'Z' && magic[2] == 'h';
  if (!gzip && !bzip2) {
    ::close(fd);
    return;
  }
  if (wrappers_.empty()) wrappers_ = gzip ? "gzip" : "bzip2";
  rescue_ = std::make_unique<CutFileDecoder>(
      fd, gzip ? CutFileDecoder::Format::gzip : CutFileDecoder::Format::bzip2);
  // Pass over what libarchive handed out already.
  char skip[1 << 14];
  for (size_t left = delivered_; left > 0;) {
    const size_t got = rescue_->read(skip, std::min(left, sizeof skip));
    if (got == 0) {
      rescue_.reset();
      return;
    }
    left -= got;
  }
}

size_t ArchiveStream::read(char* buf, size_t n) {
  if (whole_) return whole_->read(buf, n);
  if (rescue_) return rescue_->read(buf, n);
  if (at_end_) return 0;
  const la_ssize_t got = archive_read_data(ar_, buf, n);
  if (got > 0) {
    delivered_ += static_cast<size_t>(got);
    return static_cast<size_t>(got);
  }
  at_end_ = true;
  if (got < 0) {
    damage_ = archive_error_string(ar_) ? archive_error_string(ar_) : "damaged compressed data";
    rescue();
    if (rescue_) return rescue_->read(buf, n);
  }
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
  // The first read is short: a look at a file's opening (what it is, its header) then unpacks
  // no more of it than that needs.
  const size_t want = end_ == 0 && !discarded_ ? std::min<size_t>(kFirstRead, buf_.size())
                                               : buf_.size() - end_;
  const size_t got = in_.read(buf_.data() + end_, want);
  if (got == 0) eof_ = true;
  end_ += got;
  return got > 0;
}

bool LineSource::only_blank_left() {
  if (again_) return false;
  const auto blank = [](char c) {
    return c == '\n' || c == '\r' || kBlanks.find(c) != std::string_view::npos;
  };
  // Takes the whole lines of [begin_, upto): counted, no longer in the buffer.
  const auto take = [&](size_t upto) {
    line_no_ += std::count(buf_.data() + begin_, buf_.data() + upto, '\n');
    begin_ = upto;
    last_ = {};
  };
  size_t scanned = begin_;
  for (;;) {
    for (; scanned < end_; ++scanned)
      if (!blank(buf_[scanned])) return false;
    if (begin_ == 0 && end_ == buf_.size()) {
      // Blanks fill the buffer: their whole lines are taken to make room.
      const char* lf = static_cast<const char*>(::memrchr(buf_.data(), '\n', end_));
      if (lf == nullptr) return false;
      take(static_cast<size_t>(lf - buf_.data()) + 1);
    }
    const size_t kept = begin_;
    if (!fill()) {
      take(end_);
      return true;
    }
    scanned -= kept - begin_;
  }
}

bool LineSource::rewind() {
  if (discarded_) return false;
  begin_ = 0;
  line_no_ = 0;
  again_ = unterminated_ = false;
  return true;
}

namespace {

// The first LF in [p, end), or null. Lines are short (tens of bytes): sixteen bytes are compared
// at a time in place, where a call of memchr would cost more than the scan.
const char* find_lf(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i lf = _mm_set1_epi8('\n');
  for (; end - p >= 16; p += 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    if (const int hit = _mm_movemask_epi8(_mm_cmpeq_epi8(chunk, lf)); hit != 0)
      return p + std::countr_zero(static_cast<unsigned>(hit));
  }
#endif
  return static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
}

}  // namespace

bool LineSource::next(std::string_view& line) {
  if (again_) {
    again_ = false;
    line = last_;
    return true;
  }
  size_t scanned = begin_;
  for (;;) {
    const char* nl = find_lf(buf_.data() + scanned, buf_.data() + end_);
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
