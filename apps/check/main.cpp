// obsquilt-check: reads a working directory the way `obsquilt START STOP STEP` would and says
// what the run will do and why, in the form compilers use (FILE:LINE: error|warning|note: ...).
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "check/check.hpp"
#include "cli/cli.hpp"
#include "records/fields.hpp"

namespace {

const char kUsage[] =
    "Usage: obsquilt-check [OPTION]... START STOP STEP\n"
    "Say what `obsquilt START STOP STEP` will do in this directory, and why, without running it:\n"
    "the list lines it skips, the files it leaves out and how to fix them, the stops it will meet\n"
    "(with the file and line), files of another day, shared markers, satellites written two ways,\n"
    "the observation types it drops, and how full its store will be. Nothing is written.\n"
    "\n"
    "  -C, --directory=DIR  check DIR instead of the current directory\n"
    "  -q, --quiet          print errors and warnings only, no notes\n"
    "  -h, --help           show this help and exit\n"
    "  -V, --version        show the version and exit\n"
    "\n"
    "Findings go to standard output as FILE:LINE: error|warning|note: message, then a summary.\n"
    "Exit status: 0 nothing found, 1 warnings only, 2 the run would stop or fail.\n";

const char* severity_word(obsq::check::Severity s) {
  switch (s) {
    case obsq::check::Severity::error: return "error";
    case obsq::check::Severity::warning: return "warning";
    case obsq::check::Severity::note: return "note";
  }
  return "note";
}

int check_main(int argc, char** argv) {
  static const option longs[] = {{"directory", required_argument, nullptr, 'C'},
                                 {"quiet", no_argument, nullptr, 'q'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {"version", no_argument, nullptr, 'V'},
                                 {nullptr, 0, nullptr, 0}};
  std::string dir;
  bool quiet = false;
  opterr = 0;
  for (int c; (c = getopt_long(argc, argv, "+C:qhV", longs, nullptr)) != -1;) {
    switch (c) {
      case 'C': dir = optarg; break;
      case 'q': quiet = true; break;
      case 'h': std::fputs(kUsage, stdout); return obsq::cli::kOk;
      case 'V': obsq::cli::print_version(); return obsq::cli::kOk;
      default:
        throw obsq::cli::UsageError{
            optopt != 0 ? std::string("unknown option '-") + static_cast<char>(optopt) + "'"
                        : std::string("unknown option '") + argv[optind - 1] + "'"};
    }
  }
  // The window is read as obsquilt reads its command line, missing or bad arguments included.
  std::vector<std::string> args(argv + optind, argv + argc);
  if (!dir.empty() && ::chdir(dir.c_str()) != 0)
    throw obsq::cli::Failure{dir + ": cannot enter this directory"};
  obsq::check::Outcome out;
  try {
    out = obsq::check::check_directory(args);
  } catch (const obsq::RecordError& e) {  // the engine's failures outside a predicted run
    throw obsq::cli::Failure{e.place.empty() ? e.message : e.place + ": " + e.message};
  } catch (const obsq::Stop& s) {
    throw obsq::cli::Failure{"stopped with code " + std::to_string(s.code)};
  }
  int warnings = 0, errors = 0;
  for (const auto& f : out.findings) {
    errors += f.severity == obsq::check::Severity::error;
    warnings += f.severity == obsq::check::Severity::warning;
    if (quiet && f.severity == obsq::check::Severity::note) continue;
    if (f.line > 0)
      std::printf("%s:%ld: %s: %s\n", f.file.c_str(), f.line, severity_word(f.severity),
                  f.message.c_str());
    else
      std::printf("%s: %s: %s\n", f.file.c_str(), severity_word(f.severity), f.message.c_str());
  }
  std::printf("summary: %s (%d error%s, %d warning%s)\n", out.summary.c_str(), errors,
              errors == 1 ? "" : "s", warnings, warnings == 1 ? "" : "s");
  return out.run_fails ? obsq::cli::kFailure : warnings > 0 ? obsq::cli::kWarnings : obsq::cli::kOk;
}

}  // namespace

int main(int argc, char** argv) {
  return obsq::cli::run_main("obsquilt-check", argc, argv, check_main);
}
