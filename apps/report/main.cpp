// obsquilt-report: a one-page HTML picture of a network's day from the merge program's
// obsquilt.txt: the receivers with their completeness per observation type, their availability
// over the window as bars, the satellites per epoch and the long gaps.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "cli/cli.hpp"
#include "quiltfile/ahead.hpp"
#include "records/workers.hpp"
#include "report/page.hpp"
#include "report/summary.hpp"
#include "runs/runs.hpp"

namespace {

using namespace obsq;

void usage() {
  std::printf(
      "Usage: obsquilt-report [OPTION]... OBSQUILT.TXT...\n"
      "Write a one-page HTML report of the network day in OBSQUILT.TXT, the output file of\n"
      "obsquilt: the receivers with their completeness per observation type, the availability of\n"
      "each receiver over the time window (per type, chosen on the page), the satellites per\n"
      "epoch and the gaps. The page needs no network access and no other file.\n"
      "Several files are the runs of one day, as obsquilt-export joins them (time windows of\n"
      "the same receivers, station groups side by side): the page is that of one run over all.\n"
      "\n"
      "  -o, --output=FILE  write the page to FILE ('-' for standard output); default: the\n"
      "                     input's name with .txt replaced by .html (or .html appended)\n"
      "  -f, --force        replace an existing output file\n"
      "  -g, --gap=N        list gaps longer than N epochs (default 10)\n"
      "  -w, --window START STOP\n"
      "                     the run's window (seconds of day, as given to obsquilt): shares,\n"
      "                     lanes and gaps against it; without it they are of the span of the\n"
      "                     data, from its first to its last epoch\n"
      "  -t, --title=TEXT   the page's title (default: the first input's name)\n"
      "      --allow-gaps   accept runs with epochs missing between their windows\n"
      "  -h, --help         show this help and exit\n"
      "  -V, --version      show the version and exit\n"
      "\n"
      "Exit status: 0 page written; 1 page written with warnings (rows whose receiver cannot be\n"
      "told apart from another with the same marker); 2 error (bad usage, unreadable or\n"
      "malformed input, output not written).\n");
}

std::string default_output(const std::string& input) {
  std::filesystem::path p(input);
  if (p.extension() == ".txt") return p.replace_extension(".html").string();
  return input + ".html";
}

// Removes the unfinished output unless it was committed.
struct Pending {
  cli::OutputFile file;
  ~Pending() { cli::abandon_output(file); }
};

int run(int argc, char** argv) {
  static const option kOptions[] = {{"output", required_argument, nullptr, 'o'},
                                    {"force", no_argument, nullptr, 'f'},
                                    {"gap", required_argument, nullptr, 'g'},
                                    {"window", required_argument, nullptr, 'w'},
                                    {"title", required_argument, nullptr, 't'},
                                    {"allow-gaps", no_argument, nullptr, 256},
                                    {"help", no_argument, nullptr, 'h'},
                                    {"version", no_argument, nullptr, 'V'},
                                    {nullptr, 0, nullptr, 0}};
  std::string output;
  bool force = false, allow_gaps = false;
  std::string title;
  report::PageOptions options;
  report::Window window;
  auto second = [](const char* text) {
    char* end = nullptr;
    errno = 0;
    const long n = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0 || n < 0 || n > 86400)
      throw cli::UsageError{std::string("--window: not a second of day from 0 to 86400: '") + text +
                            "'"};
    return static_cast<int32_t>(n);
  };
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, ":o:fg:w:t:hV", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'o': output = optarg; break;
      case 'f': force = true; break;
      case 'g': {
        char* end = nullptr;
        errno = 0;
        const long n = std::strtol(optarg, &end, 10);
        if (*optarg == '\0' || *end != '\0' || errno != 0 || n < 0 || n > 86400)
          throw cli::UsageError{std::string("--gap: not a number of epochs from 0 to 86400: '") +
                                optarg + "'"};
        options.gap_epochs = static_cast<int32_t>(n);
        break;
      }
      case 'w':
        if (optind >= argc) throw cli::UsageError{"--window needs START and STOP"};
        window.requested = true;
        window.start = second(optarg);
        window.stop = second(argv[optind++]);
        if (window.start > window.stop) throw cli::UsageError{"--window: START is after STOP"};
        break;
      case 't': title = optarg; break;
      case 256: allow_gaps = true; break;
      case 'h': usage(); return cli::kOk;
      case 'V': cli::print_version(); return cli::kOk;
      case ':': throw cli::UsageError{std::string("option needs a value: ") + argv[optind - 1]};
      default: throw cli::UsageError{std::string("unknown option: ") + argv[optind - 1]};
    }
  }
  if (optind == argc) throw cli::UsageError{"no input file"};
  const std::vector<std::string> inputs(argv + optind, argv + argc);
  const std::string& input = inputs.front();
  if (output.empty()) output = default_output(input);
  const bool to_stdout = output == "-";
  std::error_code ec;
  for (const std::string& in : inputs)
    if (!to_stdout && std::filesystem::equivalent(in, output, ec))
      throw cli::Failure{output + ": is the input file"};

  Pending out;
  if (!to_stdout) out.file = cli::create_output(output, force);
  report::Day day;
  try {
    std::unique_ptr<quilt::Stream> source;
    if (inputs.size() == 1)
      source = std::make_unique<quilt::Reader>(input);
    else
      source = std::make_unique<runs::Runs>(inputs, allow_gaps);
    // The file is parsed ahead on a second core while the page's figures are gathered.
    quilt::ReadAhead stream(*source, worker_threads() > 0);
    day = report::read_day(stream, window);
  } catch (const quilt::FormatError& e) {
    cli::located(e.file, e.line, "error", e.message);
    return cli::kFailure;
  }
  options.title = title.empty() ? input : title;
  const std::string html = report::page(day, options);
  if (to_stdout) {
    cli::write_all(STDOUT_FILENO, html, "standard output");
  } else {
    cli::write_all(out.file.fd, html, output);
    cli::commit_output(out.file);
    out.file.temp.clear();
  }
  for (const std::string& w : day.warnings) std::fprintf(stderr, "%s\n", w.c_str());
  return day.warnings.empty() ? cli::kOk : cli::kWarnings;
}

}  // namespace

int main(int argc, char** argv) { return obsq::cli::run_main("obsquilt-report", argc, argv, run); }
