#include "cli/cli.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

namespace obsq::cli {

namespace {

const char* g_program = "obsquilt";

void to_stderr(const std::string& text) { (void)!::write(STDERR_FILENO, text.data(), text.size()); }

}  // namespace

const char* program() { return g_program; }

std::string_view version() { return OBSQUILT_VERSION; }

void error(std::string_view message) {
  to_stderr(std::string(g_program) + ": " + std::string(message) + "\n");
}

void warning(std::string_view message) {
  to_stderr(std::string(g_program) + ": warning: " + std::string(message) + "\n");
}

void located(std::string_view file, long line, std::string_view kind, std::string_view message) {
  std::string text(file);
  if (line > 0) {
    text += ':';
    text += std::to_string(line);
  }
  text.append(": ").append(kind).append(": ").append(message).append("\n");
  to_stderr(text);
}

void print_version() {
  std::printf("%s (obsquilt) %s\nLicence: MIT. This is free software; there is NO WARRANTY.\n",
              g_program, OBSQUILT_VERSION);
}

namespace {

// What the program printed on standard output is out only once it is flushed: a write that
// failed there (a full disk, a device that takes nothing) fails the run, which would otherwise
// end with the status of a success and its report lost.
int after_stdout(int status) {
  errno = 0;
  const bool unflushed = std::fflush(stdout) != 0;
  if (!unflushed && std::ferror(stdout) == 0) return status;
  error(std::string("standard output: ") +
        (unflushed && errno != 0 ? std::strerror(errno) : "a write failed"));
  return kFailure;
}

int run_body(int argc, char** argv, int (*body)(int, char**)) {
  try {
    return body(argc, argv);
  } catch (const UsageError& e) {
    error(e.message);
    to_stderr("Try '" + std::string(g_program) + " --help' for more information.\n");
    return kFailure;
  } catch (const Failure& e) {
    error(e.message);
    return e.status;
  } catch (const std::bad_alloc&) {
    error("out of memory");
    return kFailure;
  } catch (const std::exception& e) {
    error(e.what());
    return kFailure;
  } catch (...) {
    error("ended by an unexpected failure");
    return kFailure;
  }
}

}  // namespace

int run_main(const char* name, int argc, char** argv, int (*body)(int, char**)) {
  g_program = name;
  return after_stdout(run_body(argc, argv, body));
}

namespace {

// The temporary names of the outputs being written, for the handler of the signals that end a
// program: slots it reads without a lock or an allocation. A slot is free, being filled, or live.
constexpr int kTempSlots = 16;
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
struct TempSlot {
  std::atomic<int> state{0};  // 0 free, 1 being filled, 2 live
  char path[4096];
};
TempSlot g_temps[kTempSlots];
std::atomic<bool> g_handling{false};

extern "C" void remove_temps_and_end(int sig) {
  for (TempSlot& s : g_temps)
    if (s.state.load(std::memory_order_acquire) == 2) ::unlink(s.path);
  // The signal again, now with its default action: the program ends as the signal ends it.
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

void handle_ending_signals() {
  if (g_handling.exchange(true)) return;
  for (int sig : kEndingSignals) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction act {};
    act.sa_handler = remove_temps_and_end;
    sigemptyset(&act.sa_mask);
    for (int other : kEndingSignals) sigaddset(&act.sa_mask, other);
    ::sigaction(sig, &act, nullptr);
  }
}

// The slot now holding `temp`, or -1 when all are taken or the name is too long (the file is
// then only left behind by a signal, as it would be without).
int remember_temp(const std::string& temp) {
  if (temp.size() >= sizeof TempSlot::path) return -1;
  handle_ending_signals();
  for (int i = 0; i < kTempSlots; ++i) {
    int unused = 0;
    if (!g_temps[i].state.compare_exchange_strong(unused, 1)) continue;
    std::memcpy(g_temps[i].path, temp.c_str(), temp.size() + 1);
    g_temps[i].state.store(2, std::memory_order_release);
    return i;
  }
  return -1;
}

void forget_temp(OutputFile& out) {
  if (out.slot >= 0) g_temps[out.slot].state.store(0, std::memory_order_release);
  out.slot = -1;
}

}  // namespace

void refuse_existing(const std::string& path, bool force) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw Failure{path + ": is a directory"};
    if (!force) throw Failure{path + ": file exists (use --force to overwrite it)"};
  }
}

OutputFile create_output(const std::string& path, bool force) {
  refuse_existing(path, force);
  OutputFile out;
  out.path = path;
  out.temp = path + ".part-" + std::to_string(::getpid());
  out.fd = ::open(out.temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  // The user asked for `path`: the temporary name would only puzzle.
  if (out.fd < 0) throw Failure{path + ": " + std::strerror(errno)};
  out.slot = remember_temp(out.temp);
  return out;
}

std::string naming_output(std::string message, const OutputFile& out) {
  if (out.temp.empty()) return message;
  for (size_t at; (at = message.find(out.temp)) != std::string::npos;)
    message.replace(at, out.temp.size(), out.path);
  return message;
}

void write_all(int fd, std::string_view bytes, const std::string& name) {
  while (!bytes.empty()) {
    const ssize_t w = ::write(fd, bytes.data(), bytes.size());
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) throw Failure{name + ": " + (w < 0 ? std::strerror(errno) : "nothing written")};
    bytes.remove_prefix(static_cast<size_t>(w));
  }
}

namespace {

// Writes all of a, then all of b, in as few calls as the system takes; Failure "name: why".
void write_both(int fd, std::string_view a, std::string_view b, const std::string& name) {
  while (!a.empty()) {
    iovec v[2] = {{const_cast<char*>(a.data()), a.size()},
                  {const_cast<char*>(b.data()), b.size()}};
    const ssize_t w = ::writev(fd, v, b.empty() ? 1 : 2);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) throw Failure{name + ": " + (w < 0 ? std::strerror(errno) : "nothing written")};
    const size_t done = static_cast<size_t>(w), of_a = std::min(done, a.size());
    a.remove_prefix(of_a);
    b.remove_prefix(done - of_a);
  }
  write_all(fd, b, name);
}

}  // namespace

void write_output(OutputFile& out, std::string_view bytes) {
  // The disk is set aside past the end of the file, whose size stays what was written, and
  // only as advice: where the file system declines, the writes go on as they would without.
  out.written += bytes.size();
  if (out.reserving && out.written > out.reserved) {
    const uint64_t upto = (out.written + kReserveStep - 1) / kReserveStep * kReserveStep;
    if (::fallocate(out.fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(out.reserved),
                    static_cast<off_t>(upto - out.reserved)) == 0)
      out.reserved = upto;
    else
      out.reserving = false;
  }
  // What is held back is less than a block: the whole blocks are it and the first part of
  // bytes, and the rest of bytes is held back in its place.
  const size_t whole = (out.pending.size() + bytes.size()) / kWriteBlock * kWriteBlock;
  try {
    if (whole > 0) {
      const size_t taken = whole - out.pending.size();
      write_both(out.fd, out.pending, bytes.substr(0, taken), out.path);
      out.pending.clear();
      bytes.remove_prefix(taken);
    }
  } catch (const Failure&) {
    abandon_output(out);
    throw;
  }
  out.pending.append(bytes);
}

void commit_output(OutputFile& out) {
  try {
    write_all(out.fd, out.pending, out.path);
  } catch (const Failure&) {
    abandon_output(out);
    throw;
  }
  out.pending.clear();
  const int fd = out.fd;
  out.fd = -1;
  // What was set aside beyond the data goes back: a truncation to the file's own size frees
  // the blocks past it and no data. Should that fail, the file is whole all the same, only
  // larger on disk.
  if (out.reserved > 0) {
    struct stat st;
    if (::fstat(fd, &st) == 0) (void)!::ftruncate(fd, st.st_size);
  }
  if (::close(fd) != 0 || ::rename(out.temp.c_str(), out.path.c_str()) != 0) {
    const int err = errno;
    ::unlink(out.temp.c_str());
    forget_temp(out);
    throw Failure{out.path + ": " + std::strerror(err)};
  }
  forget_temp(out);
}

void abandon_output(OutputFile& out) {
  if (out.fd >= 0) ::close(out.fd);
  out.fd = -1;
  out.pending.clear();
  if (!out.temp.empty()) ::unlink(out.temp.c_str());
  forget_temp(out);
}

}  // namespace obsq::cli
