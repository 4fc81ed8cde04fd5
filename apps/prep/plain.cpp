#include "plain.hpp"

#include <sys/stat.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "archive/obsfile.hpp"
#include "cli/cli.hpp"

namespace obsq::prep {

namespace {

namespace fs = std::filesystem;
using archive::FormatError;
using archive::ObsFile;

bool ends_with(const std::string& s, const char* tail) {
  const size_t n = std::strlen(tail);
  return s.size() > n && s.compare(s.size() - n, n, tail) == 0;
}

struct Plain {
  std::string arg, name, what, left_out;
};

}  // namespace

void need_readable_twice(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return;  // the opening says what is wrong
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode))
    throw FormatError{path, 0,
                      "a pipe or a device, whose data can be read once only; obsquilt-prep "
                      "reads each file twice (a first look, then the whole), so save the data "
                      "to a file and give that"};
}

std::string plain_name(const std::string& path) {
  std::string b = fs::path(path).filename().string();
  for (bool again = true; again;) {
    again = false;
    for (const char* ext : {".Z", ".z", ".gz", ".GZ", ".bz2", ".BZ2"})
      if (ends_with(b, ext)) {
        b.resize(b.size() - std::strlen(ext));
        again = true;
      }
  }
  if (ends_with(b, ".crx")) return b.replace(b.size() - 3, 3, "rnx");
  if (ends_with(b, ".CRX")) return b.replace(b.size() - 3, 3, "RNX");
  const size_t n = b.size();
  if (n > 4 && b[n - 4] == '.' && std::isdigit(static_cast<unsigned char>(b[n - 3])) &&
      std::isdigit(static_cast<unsigned char>(b[n - 2])) && (b[n - 1] == 'd' || b[n - 1] == 'D'))
    b[n - 1] = b[n - 1] == 'd' ? 'o' : 'O';
  return b;
}

int write_plain(const std::vector<std::string>& inputs, const fs::path& dir, bool force,
                const std::function<std::string(const std::string&)>& unique) {
  std::vector<Plain> files;
  size_t readable = 0;
  for (const std::string& arg : inputs) {
    Plain p{arg, "", "", ""};
    try {
      need_readable_twice(arg);
      ObsFile file(arg, archive::Use::look);
      p.what = file.identity().what;
      if (file.identity().readable()) {
        p.name = unique(plain_name(arg));
        ++readable;
      } else {
        p.left_out = p.what;
      }
    } catch (const FormatError& e) {
      cli::located(e.file, e.line, "error", e.message);
      p.left_out = e.message;
    }
    files.push_back(std::move(p));
  }
  if (readable == 0) {
    for (const Plain& p : files)
      std::printf("left out %s: %s\n", p.arg.c_str(), p.left_out.c_str());
    std::fflush(stdout);
    throw cli::Failure{"no observation file to write; nothing written"};
  }
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw cli::Failure{dir.string() + ": " + ec.message()};
  if (!force)
    for (const Plain& p : files)
      if (!p.name.empty() && fs::exists(dir / p.name))
        throw cli::Failure{(dir / p.name).string() + ": file exists (use --force to overwrite it)"};

  bool left = false, warned = false;
  for (Plain& p : files) {
    if (p.name.empty()) {
      std::printf("left out %s: %s\n", p.arg.c_str(), p.left_out.c_str());
      left = true;
      continue;
    }
    cli::OutputFile out = cli::create_output((dir / p.name).string(), force);
    try {
      ObsFile file(p.arg);
      file.copy_to([&](std::string_view text) { cli::write_output(out, text); });
      for (const auto& n : file.notices()) {
        cli::located(p.arg, n.line, "warning", n.message);
        warned = true;
      }
    } catch (const FormatError& e) {
      cli::abandon_output(out);
      cli::located(e.file, e.line, "error", e.message);
      std::printf(
          "left out %s: %s\n", p.arg.c_str(),
          (e.line > 0 ? "line " + std::to_string(e.line) + ": " + e.message : e.message).c_str());
      left = true;
      continue;
    }
    cli::commit_output(out);
    std::printf("wrote %s -> %s (%s)\n", p.arg.c_str(), p.name.c_str(), p.what.c_str());
  }
  std::fflush(stdout);
  return left || warned ? cli::kWarnings : cli::kOk;
}

}  // namespace obsq::prep
