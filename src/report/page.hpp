// The HTML page of a network's day: one self-contained file (inline CSS, SVG and script, no
// external resource) that any browser opens.
#pragma once

#include <cstdint>
#include <string>

#include "report/summary.hpp"

namespace obsq::report {

struct PageOptions {
  std::string title;        // the input file's name, shown in the heading
  int32_t gap_epochs = 10;  // gaps longer than this many epochs are listed
};

std::string page(const Day& day, const PageOptions& options);

// The page's style sheet and script (report.css, report.js), embedded at build time.
extern const char* const kStyle;
extern const char* const kScript;

}  // namespace obsq::report
