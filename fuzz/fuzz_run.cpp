// A whole run in-process: arbitrary arguments and one or two arbitrary files, split from the
// input at the byte sequence "\n@@\n": first the three arguments (one per line), then the files.
#include <cerrno>
#include <vector>

#include "driver/driver.hpp"
#include "fuzz_common.hpp"

using namespace obsq;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InScratch scratch;
  const std::string_view in(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> parts;
  size_t from = 0;
  while (parts.size() < 3) {
    const size_t at = in.find("\n@@\n", from);
    if (at == std::string_view::npos) break;
    parts.push_back(in.substr(from, at - from));
    from = at + 4;
  }
  parts.push_back(in.substr(from));
  std::vector<std::string> args;
  std::string_view a = parts[0];
  while (!a.empty() && args.size() < 4) {
    const size_t nl = a.find('\n');
    args.emplace_back(a.substr(0, nl));
    a = nl == std::string_view::npos ? std::string_view() : a.substr(nl + 1);
  }
  std::string list;
  for (size_t k = 1; k < parts.size() && k <= 2; ++k) {
    const std::string name = "f" + std::to_string(k) + ".obs";
    fuzz::put_file(name.c_str(), parts[k]);
    list += name + "\n";
  }
  fuzz::put_file("list.txt", list);
  if (::unlink("obsquilt.txt") != 0 && errno != ENOENT) ::abort();
  fuzz::put_file("enter.txt", "\n");
  const int enter = ::open("enter.txt", O_RDONLY);
  if (enter < 0 || ::dup2(enter, STDIN_FILENO) < 0) ::abort();
  ::close(enter);
  reset_run_state();
  std::vector<std::string_view> argv(args.begin(), args.end());
  fuzz::run_guarded([&] { run(argv); });
  in_unit(kKeyboardUnit).close();
  return 0;
}
