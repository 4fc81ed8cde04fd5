#include "records/units.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace obsq {

namespace {

constexpr size_t kInBlock = size_t{1} << 20;     // input read size
constexpr size_t kOutBlock = size_t{1} << 20;    // output buffer size
constexpr size_t kFirstRead = size_t{16} << 10;  // first read of a file

[[noreturn]] void open_error(int err, std::string_view name, std::string place) {
  std::string text;
  if (err == ENOENT)
    text = msg::does_not_exist(name);
  else if (err == EACCES || err == EPERM || err == EROFS)
    text = msg::permission_denied(name);
  else
    text = msg::cannot_open(name) + ": " + std::strerror(err);
  record_error(std::move(text), std::move(place));
}

std::string unit_place(const char* what, int number, const std::string& name) {
  std::string s = std::string(what) + " on unit " + std::to_string(number);
  if (!name.empty()) s += ", file '" + name + "'";
  return s;
}

}  // namespace

// ---- InUnit --------------------------------------------------------------------------------

InUnit::~InUnit() { close(); }

void InUnit::open(std::string_view name) {
  close();
  std::string path(name);
  const std::string place = unit_place("OPEN", number_, path);
  if (path.find('\0') != std::string::npos) open_error(ENOENT, name, place);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) open_error(errno, name, place);
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    open_error(EISDIR, name, place);
  }
  connect(fd, true, std::move(path));
}

void InUnit::attach(int fd, std::string name) {
  close();
  connect(fd, false, std::move(name));
}

void InUnit::connect(int fd, bool owned, std::string name) {
  fd_ = fd;
  owns_fd_ = owned;
  name_ = std::move(name);
  pos_ = end_ = 0;
  eof_ = false;
  recno_ = 0;
  read_so_far_ = 0;
}

void InUnit::close() {
  if (fd_ >= 0 && owns_fd_) ::close(fd_);
  fd_ = -1;
  pos_ = end_ = 0;
  eof_ = false;
}

void InUnit::rewind() {
  if (fd_ < 0) return;
  if (::lseek(fd_, 0, SEEK_SET) != 0)
    record_error(std::string("Cannot rewind file: ") + std::strerror(errno), place());
  read_so_far_ = 0;
  pos_ = end_ = 0;
  eof_ = false;
  recno_ = 0;
}

// Makes at least `want` bytes available from pos_, or as many as there are before the end of
// the file. Stops early once a line feed is among them (so a keyboard read never waits for
// more than one line). Returns whether any byte is available.
bool InUnit::fill(size_t want) {
  if (!buf_) {
    cap_ = kInBlock;
    buf_ = std::make_unique<char[]>(cap_);
  }
  while (end_ - pos_ < want && !eof_) {
    if (std::memchr(buf_.get() + pos_, '\n', end_ - pos_) != nullptr) break;
    if (pos_ > 0) {
      std::memmove(buf_.get(), buf_.get() + pos_, end_ - pos_);
      end_ -= pos_;
      pos_ = 0;
    }
    // A file's first reads are short and grow with what was read: a header scan that stops
    // after a few records does not copy a whole block.
    const size_t room = std::min(cap_ - end_, std::max(kFirstRead, 2 * read_so_far_));
    const ssize_t n = ::read(fd_, buf_.get() + end_, room);
    if (n < 0) {
      if (errno == EINTR) continue;
      record_error(std::string("Cannot read file: ") + std::strerror(errno), place());
    }
    if (n == 0) eof_ = true;
    end_ += static_cast<size_t>(n);
    read_so_far_ += static_cast<size_t>(n);
  }
  return end_ > pos_;
}

void InUnit::take_over(InUnit& other) {
  std::swap(fd_, other.fd_);
  std::swap(owns_fd_, other.owns_fd_);
  std::swap(eof_, other.eof_);
  std::swap(name_, other.name_);
  std::swap(buf_, other.buf_);
  std::swap(cap_, other.cap_);
  std::swap(pos_, other.pos_);
  std::swap(end_, other.end_);
  std::swap(recno_, other.recno_);
  std::swap(read_so_far_, other.read_so_far_);
  std::swap(hold_, other.hold_);
}

bool InUnit::next(std::string_view& rec, int length) {
  const size_t n = static_cast<size_t>(length);
  if (end_ - pos_ < n + 2 && !fill(n + 2)) return false;
  ++recno_;
  const char* b = buf_.get() + pos_;
  size_t used = 0;
  if (cut_record(std::string_view(b, end_ - pos_), n, eof_, rec, used)) {
    pos_ += used;
    return true;
  }
  // The rest of a long line runs past the buffer: the record is kept aside while it is skipped.
  hold_.assign(b, n);
  rec = hold_;
  for (;;) {
    pos_ = end_;
    if (!fill(1)) return true;
    const char* p = static_cast<const char*>(std::memchr(buf_.get() + pos_, '\n', end_ - pos_));
    if (p != nullptr) {
      pos_ = static_cast<size_t>(p - buf_.get()) + 1;
      return true;
    }
  }
}

std::string_view InUnit::need(int length) {
  std::string_view rec;
  if (!next(rec, length)) record_error(std::string(msg::end_of_file), place());
  return rec;
}

void InUnit::skip(long n, int length) {
  std::string_view rec;
  for (long k = 0; k < n; ++k)
    if (!next(rec, length)) record_error(std::string(msg::end_of_file), place());
}

std::string InUnit::place() const {
  return unit_place("READ", number_, name_) + ", record " + std::to_string(recno_ + 0);
}

// ---- OutUnit -------------------------------------------------------------------------------

OutUnit::~OutUnit() {
  if (fd_ >= 0 && owns_fd_) ::close(fd_);
}

void OutUnit::open(std::string_view name) {
  std::string path(name);
  const std::string place = unit_place("OPEN", number_, path);
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  read_only_ = false;
  if (fd < 0) {
    const int err = errno;
    // A directory of that name can be neither opened nor created as the file.
    if (err == EISDIR) open_error(EACCES, name, place);
    if (err == EACCES || err == EPERM || err == EROFS) {
      // A file that may only be read is opened for reading; its first write fails.
      fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) open_error(err, name, place);
      read_only_ = true;
    } else {
      open_error(err, name, place);
    }
  }
  fd_ = fd;
  owns_fd_ = true;
  console_ = false;
  started_ = false;
  line_open_ = false;
  name_ = std::move(path);
  len_ = 0;
}

void OutUnit::attach(int fd, std::string name, bool console) {
  fd_ = fd;
  owns_fd_ = false;
  console_ = console;
  read_only_ = false;
  started_ = true;  // nothing to cut on a descriptor handed over open
  line_open_ = false;
  name_ = std::move(name);
  len_ = 0;
}

void OutUnit::begin_statement() {
  if (started_) return;
  if (read_only_) record_error(std::string(msg::write_to_read_only), place());
  started_ = true;
  // The first statement cuts the file: from now on it holds exactly this run's lines.
  struct stat st;
  if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
    if (::ftruncate(fd_, 0) != 0)
      record_error(std::string("Cannot write to file: ") + std::strerror(errno), place());
  }
}

void OutUnit::end_statement() {
  if (console_ || len_ > cap_ - 4096) flush();
}

char* OutUnit::reserve(size_t n) {
  begin_statement();
  if (!buf_) {
    cap_ = kOutBlock;
    buf_ = std::make_unique<char[]>(cap_);
  }
  if (cap_ - len_ < n + 2) {
    flush();
    if (cap_ < n + 2) {
      auto bigger = std::make_unique<char[]>(n + 2);
      buf_ = std::move(bigger);
      cap_ = n + 2;
    }
  }
  reserved_end_ = len_ + n;
  return buf_.get() + len_;
}

void OutUnit::commit(char* end, bool open_line) {
  const size_t used = static_cast<size_t>(end - buf_.get());
  // The two bytes of the line end are always free beyond the reservation.
  if (used < len_ || used > reserved_end_)
    throw std::logic_error("output statement ran past its reservation on " + place());
  len_ = used;
  if (!open_line) {
    buf_[len_++] = '\r';
    buf_[len_++] = '\n';
  }
  line_open_ = open_line;
  end_statement();
}

void OutUnit::write(std::string_view bytes, bool open_line) {
  char* p = reserve(bytes.size());
  std::memcpy(p, bytes.data(), bytes.size());
  commit(p + bytes.size(), open_line);
}

void OutUnit::end_line() {
  char* p = reserve(0);
  commit(p, false);
}

void OutUnit::flush() {
  if (fd_ < 0 || len_ == 0) return;
  size_t done = 0;
  while (done < len_) {
    const ssize_t n = ::write(fd_, buf_.get() + done, len_ - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int err = errno;
      len_ = 0;
      record_error(std::string("Cannot write to file: ") + std::strerror(err), place());
    }
    done += static_cast<size_t>(n);
  }
  len_ = 0;
}

void OutUnit::close() {
  if (fd_ < 0) return;
  try {
    flush();
  } catch (...) {
    if (owns_fd_) ::close(fd_);
    fd_ = -1;
    throw;
  }
  if (owns_fd_ && ::close(fd_) != 0) {
    fd_ = -1;
    record_error(std::string("Cannot close file: ") + std::strerror(errno), place());
  }
  fd_ = -1;
}

std::string OutUnit::place() const { return unit_place("WRITE", number_, name_); }

// ---- the units of the run ------------------------------------------------------------------

namespace {
InUnit g_rinex(kRinexUnit);
InUnit g_list(kListUnit);
InUnit g_keyboard(kKeyboardUnit);
OutUnit g_output(kOutputUnit);
OutUnit g_console(kConsoleUnit);

[[noreturn]] void no_such_unit(int number) {
  throw std::logic_error("unit " + std::to_string(number) + " is not a unit of the program");
}
}  // namespace

InUnit& in_unit(int number) {
  switch (number) {
    case kRinexUnit: return g_rinex;
    case kListUnit: return g_list;
    case kKeyboardUnit: return g_keyboard;
    default: no_such_unit(number);
  }
}

OutUnit& out_unit(int number) {
  switch (number) {
    case kOutputUnit: return g_output;
    case kConsoleUnit: return g_console;
    default: no_such_unit(number);
  }
}

void write_line(int unit, std::string_view line) { out_unit(unit).write(line); }

void console(const ListLine& line) { write_line(kConsoleUnit, line.str()); }

void close_all_units() {
  g_rinex.close();
  g_list.close();
  g_keyboard.close();
  g_output.close();
  g_console.close();
}

}  // namespace obsq
