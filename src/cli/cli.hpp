// What the companion programs share on their command line: the program's name in diagnostics,
// failures raised where they are found and turned into the exit status in one place, the
// version text, and output files that are never overwritten without --force.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace obsq::cli {

// Exit statuses of the companion programs.
inline constexpr int kOk = 0;        // everything done, nothing to report
inline constexpr int kWarnings = 1;  // done, with warnings or something left out
inline constexpr int kFailure = 2;   // an error: nothing usable, bad usage, or a failed file

// A failure that ends the program: "program: message" on the error stream, then the status.
struct Failure {
  std::string message;
  int status = kFailure;
};

// A wrong command line: the message, then a hint at --help; status 2.
struct UsageError {
  std::string message;
};

// Runs body(argc, argv) as the program `name` and returns its exit status; a Failure, a
// UsageError, a refused allocation, any other exception become their report and status 2, so
// that no failure escapes as an abort. A program that calls the merge engine turns the engine's
// own failures into a Failure itself. Standard output is flushed at the end: a write to it that
// failed is reported ("program: standard output: ...") and makes the status 2.
int run_main(const char* name, int argc, char** argv, int (*body)(int, char**));

// The running program's name, as given to run_main.
const char* program();

// "program: message" / "program: warning: message" on the error stream.
void error(std::string_view message);
void warning(std::string_view message);
// "FILE:LINE: kind: message" on the error stream (kind: error, warning or note), the form
// editors jump from; a line of 0 leaves the line number out.
void located(std::string_view file, long line, std::string_view kind, std::string_view message);

// "program (obsquilt) VERSION" and the licence line, on standard output.
void print_version();
std::string_view version();

// Creates `path` for writing and returns its descriptor. An existing file is kept (Failure
// naming it and --force) unless `force`; then it is replaced only once the new content is
// complete: write to the returned descriptor, then call commit_output(). A program ended by
// SIGINT, SIGTERM or SIGHUP before the commit (an interrupt at the terminal, a job cancelled)
// removes the unfinished content on its way out; a signal the program was started with ignored
// stays ignored.
struct OutputFile {
  std::string path;
  std::string temp;  // where the content is written until commit
  int fd = -1;
  int slot = -1;          // where the signal handler finds `temp`, or -1
  std::string pending;    // what write_output holds back until a block is whole
  uint64_t written = 0;   // bytes write_output took
  uint64_t reserved = 0;  // bytes of disk set aside ahead of them
  bool reserving = true;  // false once the file system declined
};
OutputFile create_output(const std::string& path, bool force);
// The check create_output makes before it writes: Failure when `path` is a directory, or exists
// and `force` is not given. For programs that check all their names before writing any.
void refuse_existing(const std::string& path, bool force);
// `message` with the temporary name of `out` replaced by the name the user asked for (for the
// messages of libraries that were given the temporary name).
std::string naming_output(std::string message, const OutputFile& out);
// Writes all of bytes to fd; Failure "name: why" on an error.
void write_all(int fd, std::string_view bytes, const std::string& name);
// Writes all of bytes; on an error the unfinished content is removed and a Failure raised.
// The bytes go out in whole blocks of kWriteBlock at offsets of such blocks, the rest at the
// commit, and disk space is set aside ahead of them kReserveStep at a time beyond the end of
// the data: the page cache then takes each page without reserving its block on the way, which
// costs ext4 and its kin about as much as copying the page. Pieces of a block or more are
// written without being copied (all but their last part of a block). A program that writes
// with write_output writes to the descriptor in no other way.
void write_output(OutputFile& out, std::string_view bytes);
inline constexpr size_t kWriteBlock = size_t{256} << 10;
inline constexpr uint64_t kReserveStep = uint64_t{8} << 20;
// fsync-free rename into place, after what write_output held back, and with the disk set aside
// beyond the data given back; Failure on error.
void commit_output(OutputFile& out);
void abandon_output(OutputFile& out);  // removes the unfinished content

}  // namespace obsq::cli
