// Faults met by complete runs of the real binary: missing or damaged input, output that cannot be
// written, limits. Whatever happens, the run ends with its message and status, never a crash, and
// an existing "obsquilt.txt" is only changed by a run that got as far as writing it.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../support.hpp"
#include "scenario.hpp"

namespace obsq::test {
namespace {

namespace fs = std::filesystem;

constexpr int kNobody = 65534;

std::string small_file(const char* marker = "TEST") {
  return version_record() + hdr(marker, "MARKER NAME") + types_records({"C1", "L1"}) +
         hdr("  2012     7    18     0     0    0.0000000     GPS", "TIME OF FIRST OBS") +
         hdr("", "END OF HEADER") + epoch_record(0, 0, 0.0, 0, {"G01", "G02"}) +
         obs_record({"20000000.123", "105000000.125"}) + obs_record({"21000000.456", "blank"}) +
         epoch_record(0, 0, 30.0, 0, {"G01"}) + obs_record({"20000006.000", "105000031.500"});
}

std::string last_line(const std::string& err) {
  std::string s = err;
  while (!s.empty() && s.back() == '\n') s.pop_back();
  return s.substr(s.rfind('\n') + 1);
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

void make_open_to_all(const fs::path& dir) {
  fs::permissions(dir, fs::perms::all);
}

TEST(Faults, MissingListFile) {
  ScratchDir dir;
  const RunResult r = run_binary(dir.path(), {"0", "86400", "30"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "program obsquilt -- 2012jul18\r\nstart, stop, step:     0 86400    30\r\n");
  EXPECT_TRUE(ends_with(last_line(r.err), "File 'list.txt' does not exist"));
  EXPECT_TRUE(r.output_exists);  // the output file was opened first
}

TEST(Faults, EndOfInputAtThePrompt) {
  ScratchDir dir;
  write_file("list.txt", "a.obs\n");
  write_file("a.obs", small_file());
  const RunResult r = run_binary(dir.path(), {"0", "60", "30"}, "");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(ends_with(r.out, "\r\nPress ENTER key to stop program: "));
  EXPECT_TRUE(ends_with(last_line(r.err), "End of file"));
  EXPECT_NE(r.output_file.find("o   20000006.000"), std::string::npos);  // written in full
}

TEST(Faults, ReadOnlyExistingOutputFile) {
  ScratchDir dir;
  write_file("list.txt", "a.obs\n");
  write_file("a.obs", small_file());
  write_file("obsquilt.txt", "an earlier result\r\n");
  if (std::system("chattr +i obsquilt.txt 2>/dev/null") != 0)
    GTEST_SKIP() << "chattr +i is not available here, so root can write any file";
  const RunResult r = run_binary(dir.path(), {"0", "60", "30"});
  (void)!std::system("chattr -i obsquilt.txt");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(ends_with(r.out, " now writing output file ...\r\n"));  // all input was read
  EXPECT_TRUE(ends_with(last_line(r.err), "Cannot write to file opened for READ"));
  EXPECT_EQ(r.output_file, "an earlier result\r\n");
}

TEST(Faults, OutputThatCannotBeWritten) {
  ScratchDir dir;
  write_file("list.txt", "a.obs\n");
  write_file("a.obs", small_file());
  fs::create_symlink("/dev/full", "obsquilt.txt");
  const RunResult r = run_binary(dir.path(), {"0", "60", "30"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("No space left on device"), std::string::npos);
  EXPECT_EQ(r.out.find("Press ENTER"), std::string::npos);  // no prompt after a failed close
}

TEST(Faults, UnprivilegedUser) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the binary as another user";
  ScratchDir dir;
  make_open_to_all(dir.path());
  write_file("list.txt", "secret.obs\na.obs\n");
  write_file("a.obs", small_file());
  write_file("secret.obs", small_file("SECR"));
  fs::permissions("secret.obs", fs::perms::none);
  // An unreadable file in the list is skipped without a message.
  RunResult r = run_binary(dir.path(), {"0", "60", "30"}, "\n", kNobody);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(" opened files:            1\r\n"), std::string::npos);
  EXPECT_EQ(r.output_file.find("SECR"), std::string::npos);
  // A working directory where the output file can be neither opened nor created.
  fs::remove("obsquilt.txt");
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
  r = run_binary(dir.path(), {"0", "60", "30"}, "\n", kNobody);
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out, "");  // before the banner
  EXPECT_TRUE(ends_with(last_line(r.err), "Permission denied trying to open file 'obsquilt.txt'"));
  // An unreadable list file.
  fs::permissions(dir.path(), fs::perms::all);
  fs::permissions("list.txt", fs::perms::owner_read);
  r = run_binary(dir.path(), {"0", "60", "30"}, "\n", kNobody);
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(ends_with(last_line(r.err), "Permission denied trying to open file 'list.txt'"));
}

TEST(Faults, TablesRefusedBySystemLimits) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space limit stops the address sanitizer itself";
#else
  ScratchDir dir;
  write_file("list.txt", "a.obs\n");
  write_file("a.obs", small_file());
  const std::string cmd = "ulimit -v 600000 && echo | " + binary_path().string() +
                          " 0 60 30 > out.txt 2> err.txt";
  const int rc = std::system(("/bin/sh -c '" + cmd + "'").c_str());
  EXPECT_EQ(WEXITSTATUS(rc), 2);
  EXPECT_TRUE(ends_with(last_line(read_file("err.txt")), "Not enough memory for the observation tables"));
#endif
}

TEST(Faults, DamagedRecords) {
  ScratchDir dir;
  write_file("list.txt", "a.obs\n");
  // Binary garbage where an epoch record is expected: a bad number.
  write_file("a.obs", small_file() + std::string("\x01\x02\xff garbage\x00 here\n", 18));
  RunResult r = run_binary(dir.path(), {"0", "60", "30"});
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(ends_with(last_line(r.err), "Bad value during integer read"));
  // A 10,000-character comment line keeps its first 80 characters and is read past.
  std::string longline = small_file();
  longline.insert(longline.find("END OF HEADER") - 60, hdr(std::string(10000, 'x'), "COMMENT"));
  write_file("a.obs", longline);
  r = run_binary(dir.path(), {"0", "60", "30"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.output_file.find("o   20000006.000"), std::string::npos);
  // Carriage returns alone end the list's short lines. In a RINEX file they do not end the
  // 80-column header records (the rest of such a line is skipped up to a line feed), so the
  // header runs into the end of the file.
  write_file("list.txt", "\r*comment\ra.obs\r");
  std::string cr = small_file();
  for (char& c : cr)
    if (c == '\n') c = '\r';
  write_file("a.obs", cr);
  r = run_binary(dir.path(), {"0", "60", "30"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.out.find(" opened files:"), std::string::npos);  // failed in the header scan
  EXPECT_TRUE(ends_with(last_line(r.err), "End of file"));
  EXPECT_NE(r.err.find("'a.obs'"), std::string::npos);
}

TEST(Faults, AThousandAndOneFiles) {
  ScratchDir dir;
  std::string list;
  const std::string content = small_file();
  for (int i = 0; i <= 1000; ++i) {
    std::string name = std::to_string(i);
    name += ".obs";
    write_file(name, content);
    list += name;
    list += '\n';
  }
  write_file("list.txt", list);
  write_file("obsquilt.txt", "kept\r\n");
  const RunResult r = run_binary(dir.path(), {"0", "60", "30"});
  EXPECT_EQ(r.status, 98347 % 256);
  EXPECT_EQ(last_line(r.err), "STOP 98347");
  EXPECT_TRUE(ends_with(r.out, " FATAL\r\n"));
  EXPECT_EQ(r.output_file, "kept\r\n");
}

}  // namespace
}  // namespace obsq::test
