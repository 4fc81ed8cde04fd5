// What the report shows of a network's day, gathered in one pass over obsquilt.txt: per receiver
// the runs of consecutive epochs with data (per observation type and for any type), its epoch
// counts and the satellites it tracked; per epoch the satellites of each system seen by the
// network. Epochs are counted by their index in the window of the a-line: (second - tmin) / step.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "quality/quality.hpp"
#include "quiltfile/quiltfile.hpp"

namespace obsq::report {

// Epochs first..last (indices in the window, both included) all with data.
struct Run {
  int32_t first = 0, last = 0;
  int32_t length() const { return last - first + 1; }
};

struct ReceiverDay {
  // runs[0]: epochs with a value of any type; runs[1 + k]: epochs with a value of types[k].
  std::vector<std::vector<Run>> runs;
  std::vector<int32_t> epochs;  // epochs with data, same indexing as runs
  int64_t satellite_sum = 0;    // over its epochs with data: satellites with a value
  int32_t satellite_max = 0;    // the most satellites with a value in one epoch
  std::vector<int64_t> values;  // per type: values present (of satellites, over its epochs)
  std::string systems;          // systems of the satellites it has values of, in the order met
  // Per satellite number (Day::analysis.satellites()): the runs of epochs with a value of any type.
  std::vector<std::vector<Run>> tracked;
};

// The window the page measures against: the run's (--window START STOP) or the data's span.
struct Window {
  bool requested = false;
  int32_t start = 0, stop = 0;  // seconds of day, as given
};

struct Day {
  std::string file;
  quilt::Header header;
  int32_t window = 0;                    // epochs in tmin..tmax (0 when the run kept none)
  int32_t year = 0, month = 0, day = 0;  // date of the first e-line (0 when there is none)
  int32_t epoch_lines = 0;               // e-lines read
  std::vector<std::string> types;        // observation types in the order first met
  std::vector<ReceiverDay> receivers;    // in b-line order
  std::string systems;                   // satellite systems in the order first met ('G' for blank)
  std::vector<std::vector<uint16_t>> satellites;    // [system][epoch]: satellites with a value
  std::vector<std::string> warnings;                // rows the reader could not tie to one receiver
  std::vector<std::vector<size_t>> shared_markers;  // receivers sharing a marker, per marker
  uint64_t bytes = 0;
  bool requested = false;  // the window is the run's (--window), not the data's span
  int32_t origin = 0;      // second of day of epoch 0
  quality::Analysis analysis{0, 0, 1, 0, 1};

  int32_t second_of(int32_t epoch) const { return origin + epoch * header.step; }
};

// Time bins of the page's charts over a window of `epochs` epochs.
int32_t chart_bins(int32_t epochs);

class Gatherer;

// The day gathered from the epochs of a stream, handed over one at a time in the stream's order
// by whoever reads it: read_day, or obsquilt-export making the page from its own read.
class DayGatherer {
 public:
  // For the stream's header (read) and the window the page measures against.
  DayGatherer(const quilt::Stream& reader, const Window& window);
  ~DayGatherer();
  DayGatherer(const DayGatherer&) = delete;
  DayGatherer& operator=(const DayGatherer&) = delete;
  // The next epoch; quilt::FormatError for one outside the window (the a-line's, or the one
  // requested) or not after the one before it.
  void epoch(const quilt::Epoch& e);
  // The day, once the stream has ended (its ambiguous rows and bytes are then known).
  Day finish(const quilt::Stream& reader);

 private:
  Day day_;
  Window window_;
  int32_t last_ = 0;       // second of the window's last epoch
  int32_t previous_ = -1;  // index of the epoch before
  std::unique_ptr<Gatherer> gather_;
};

// Reads the rest of the file (or the joined runs) behind `reader`; quilt::FormatError for a line
// that breaks the format or an epoch outside the window (the a-line's, or `window` when requested)
// or out of order.
Day read_day(quilt::Stream& reader, const Window& window = {});

// Gaps of receiver r (epochs without data of any type inside the window, the edges included)
// longer than `min_epochs` epochs.
std::vector<Run> gaps(const Day& day, size_t r, int32_t min_epochs);

}  // namespace obsq::report
