#include "archive/obsfile.hpp"

#include <cstdlib>
#include <cstring>

#include "archive/columns.hpp"

namespace obsq::archive {

using detail::label_is;

namespace {

std::string version_of(std::string_view line) {
  std::string_view v = line.substr(0, std::min<size_t>(9, line.size()));
  while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
  while (!v.empty() && v.back() == ' ') v.remove_suffix(1);
  return std::string(v);
}

// The major version of a version field ("2.11" -> 2, "3.04" -> 3, blank -> 0).
int major_of(const std::string& v) { return std::atoi(v.c_str()); }

std::string type_name(char type) {
  switch (type) {
    case 'O': return "observation file";
    case 'N': return "navigation file";
    case 'G': return "GLONASS navigation file";
    case 'H': return "GEO navigation file";
    case 'B': return "SBAS broadcast file";
    case 'L': return "Galileo navigation file";
    case 'M': return "meteorological file";
    case 'C': return "clock file";
    default: return std::string("RINEX file of type '") + type + "' (column 21)";
  }
}

// A container or compression this reader does not undo, by its magic bytes at the start of the
// (unwrapped) data: what it is, and the command that unpacks it; empty for none.
std::string foreign_wrapper(std::string_view head, const std::string& path,
                            const std::string& wrappers) {
  struct Magic {
    std::string_view at_start;
    const char* what;
    const char* unpack;
  };
  static constexpr Magic kMagic[] = {
      {"PK\x03\x04", "a zip archive", "unzip"},
      {"\xfd"
       "7zXZ",
       "xz-compressed", "xz -dk"},
      {"\x28\xb5\x2f\xfd", "zstd-compressed", "zstd -d"},
      {"7z\xbc\xaf\x27\x1c", "a 7-Zip archive", "7z x"},
      {"LZIP", "lzip-compressed", "lzip -dk"},
      {"\x04\x22\x4d\x18", "lz4-compressed", "lz4 -d"},
      {"", "a tar archive", "tar -xf"},
  };
  for (const Magic& m : kMagic) {
    const bool tar = m.at_start.empty();
    if (tar ? head.size() >= 262 && head.substr(257, 5) == "ustar"
            : head.substr(0, m.at_start.size()) == m.at_start)
      return std::string(m.what) + (wrappers.empty() ? "" : " (in " + wrappers + ")") +
             ": unpack it first (" + m.unpack + " " + path + ")";
  }
  return "";
}

}  // namespace

Identity identify(std::string_view first, std::string_view third, const std::string& wrappers) {
  Identity id;
  const std::string wrapped = wrappers.empty() ? "" : ", " + wrappers;
  if (label_is(first, "CRINEX VERS   / TYPE")) {
    const std::string crx = version_of(first);
    if (crx != "1.0" && crx != "3.0") {
      id.what = "compact RINEX version " + crx + " (known: 1.0 and 3.0)";
      return id;
    }
    if (!label_is(third, "RINEX VERSION / TYPE")) {
      id.what = "damaged compact RINEX (its third line is not RINEX VERSION / TYPE)";
      return id;
    }
    id.version = version_of(third);
    const int major = major_of(id.version);
    if (crx == "3.0" && (major == 3 || major == 4)) {
      id.kind = Kind::compact3_obs;
      id.what = "compact RINEX 3" + wrapped;
    } else if (crx == "1.0" && major < 3) {
      id.kind = Kind::compact2_obs;
      id.what = "compact RINEX" + wrapped;
    } else {
      id.kind = Kind::other_rinex;
      id.what = "compact RINEX " + crx + " of a RINEX " + id.version + " observation file";
    }
    return id;
  }
  if (label_is(first, "RINEX VERSION / TYPE")) {
    id.version = version_of(first);
    const char type = first.size() > 20 ? first[20] : ' ';
    if (type == 'O' && major_of(id.version) < 3) {
      id.kind = Kind::rinex2_obs;
      id.what = "RINEX" + wrapped;
    } else if (type == 'O') {
      id.kind = Kind::rinex3_obs;
      id.what = "RINEX " + id.version + " observation file" + wrapped;
    } else {
      id.kind = Kind::other_rinex;
      id.what = (major_of(id.version) >= 3 ? "RINEX " + id.version + " " : "") + type_name(type);
    }
    return id;
  }
  id.what = first.empty() && third.empty() ? "empty, not RINEX" : "not RINEX";
  return id;
}

ObsFile::ObsFile(const std::string& path, Use use) : path_(path) {
  stream_ = std::make_unique<ArchiveStream>(path, use);
  lines_ = std::make_unique<LineSource>(*stream_, path);
  // The first and third lines tell what the file is; anything unreadable is not RINEX.
  std::string first, third;
  try {
    std::string_view line;
    if (lines_->next(line)) {
      first = line;
      if (label_is(first, "CRINEX VERS   / TYPE") && lines_->next(line) && lines_->next(line))
        third = line;
    }
  } catch (const FormatError&) {
    if (first.empty())
      first.push_back('?');  // a first line too long for text: not RINEX, not empty
  }
  if (first.empty() && !stream_->damage().empty())
    throw FormatError{path, 0,
                      "damaged or cut compressed data: " + stream_->damage() +
                          "; nothing before the damage could be unpacked" +
                          (stream_->wrappers().find("bzip2") != std::string::npos
                               ? " (bzip2 unpacks whole blocks of up to 900 kB)"
                               : "")};
  id_ = identify(first, third, stream_->wrappers());
  if (id_.kind == Kind::not_rinex) {
    // Named, with what to do about it; this reader undoes compress, gzip and bzip2 only.
    if (std::string w = foreign_wrapper(lines_->opening(512), path, stream_->wrappers());
        !w.empty())
      id_.what = std::move(w);
  }
  if (!id_.readable()) return;
  // Start again from the first line, still in the buffer as a rule; else open the file anew.
  if (!lines_->rewind()) {
    stream_ = std::make_unique<ArchiveStream>(path, use);
    lines_ = std::make_unique<LineSource>(*stream_, path);
  }
  if (id_.kind == Kind::compact2_obs) decoder_ = std::make_unique<CompactDecoder>(*lines_);
  if (id_.kind == Kind::compact3_obs) decoder_ = std::make_unique<Compact3Decoder>(*lines_);
}

bool ObsFile::next_line(std::string_view& line) {
  if (!decoder_) {
    if (!lines_->next(line)) {
      if (!lines_->damage().empty() && !cut_noted_) {
        cut_noted_ = true;
        plain_notices_.push_back(
            {lines_->line_number(), "the data end early (" + lines_->damage() + ")"});
      }
      return false;
    }
    return true;
  }
  if (pos_ >= text_.size()) {
    text_.clear();
    pos_ = 0;
    if (!decoder_->next(text_)) return false;
    left_ = decoder_->lines();
  }
  const size_t nl = text_.find('\n', pos_);
  line = std::string_view(text_).substr(pos_, nl - pos_);
  pos_ = nl + 1;
  --left_;
  return true;
}

size_t ObsFile::append_decoded_lines(size_t n, std::string& out) {
  size_t got = 0;
  while (got < n) {
    if (pos_ >= text_.size()) {
      text_.clear();
      pos_ = 0;
      if (!decoder_->next(text_)) break;
      left_ = decoder_->lines();
    }
    const char* const from = text_.data() + pos_;
    const char* const end = text_.data() + text_.size();
    const char* p = from;
    if (n - got >= left_) {  // the rest of the piece, as a rule: its lines are known
      p = end;
      got += left_;
      left_ = 0;
    } else {
      for (; got < n; ++got, --left_) {
        const void* lf = std::memchr(p, '\n', static_cast<size_t>(end - p));
        if (lf == nullptr) break;  // not met: left_ counts the lines there
        p = static_cast<const char*>(lf) + 1;
      }
    }
    out.append(from, p);
    pos_ += static_cast<size_t>(p - from);
  }
  return got;
}

void ObsFile::copy_to(const std::function<void(std::string_view)>& sink) {
  if (!decoder_) {
    std::string chunk;
    std::string_view line;
    while (next_line(line)) {
      chunk.append(line).push_back('\n');
      if (chunk.size() >= kPieceBytes) {
        sink(chunk);
        chunk.clear();
      }
    }
    if (!chunk.empty()) sink(chunk);
    return;
  }
  if (pos_ < text_.size()) sink(std::string_view(text_).substr(pos_));
  text_.clear();
  pos_ = 0;
  while (decoder_->next(text_)) {
    if (text_.size() >= kPieceBytes) {
      sink(text_);
      text_.clear();
    }
  }
  if (!text_.empty()) sink(text_);
  text_.clear();
  left_ = 0;
}

bool ObsFile::ended_cleanly() const {
  if (decoder_) return decoder_->notices().empty();
  return lines_->damage().empty() && !lines_->unterminated();
}

std::vector<Notice> ObsFile::notices() const {
  return decoder_ ? decoder_->notices() : plain_notices_;
}

}  // namespace obsq::archive
