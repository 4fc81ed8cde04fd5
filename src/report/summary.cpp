#include "report/summary.hpp"

#include <algorithm>
#include <memory>
#include <utility>

namespace obsq::report {

namespace {

// Adds epoch k to a list of runs; epochs come in increasing order, the same one maybe twice.
void mark(std::vector<Run>& runs, int32_t k) {
  if (!runs.empty() && runs.back().last >= k - 1) {
    runs.back().last = k;
    return;
  }
  runs.push_back({k, k});
}

}  // namespace

class Gatherer {
 public:
  explicit Gatherer(Day& day) : day_(day) {
    const size_t n = day.header.receivers.size();
    day.receivers.assign(n, ReceiverDay{});
    for (ReceiverDay& r : day.receivers) {
      r.runs.resize(1);
    }
    own_.assign(n, {});
    open_.assign(n, {});
    count_.assign(n, 0);
  }

  void epoch(const quilt::Epoch& e, int32_t k) {
    std::fill(count_.begin(), count_.end(), 0);
    for (const quilt::Block& b : e.blocks) {
      const size_t t = type_index(b.type);
      columns(b, k);
      for (size_t row = 0; row < b.rows.size(); ++row) {
        const auto r = static_cast<size_t>(b.rows[row]);
        ReceiverDay& rd = day_.receivers[r];
        mark(rd.runs[0], k);
        mark(rd.runs[1 + t], k);
        std::vector<int32_t>& own = own_[r];
        if (own.size() < sats_.size()) own.resize(sats_.size(), -1);
        std::vector<Run>& open = open_[r];
        if (open.size() < sats_.size()) open.resize(sats_.size(), Run{-2, -2});
        // The row's values, counted without a branch; a satellite's first value of the epoch
        // counts it and extends its run.
        const size_t ncols = b.columns();
        const double* row_values = b.values.data() + row * ncols;
        const int32_t* sat_of = column_sat_.data();
        int64_t values = 0;
        for (size_t c = 0; c < ncols; ++c) {
          const bool is_present = quilt::present(row_values[c]);
          values += is_present;
          const int32_t s = sat_of[c];
          if (is_present && own[s] != k) {
            own[s] = k;
            ++count_[r];
            extend(rd, open, s, k);
            const char sys =
                day_.systems[static_cast<size_t>(sats_[static_cast<size_t>(s)].system)];
            if (rd.systems.find(sys) == std::string::npos) rd.systems += sys;
          }
        }
        rd.values[t] += values;
      }
    }
    for (size_t r = 0; r < count_.size(); ++r) {
      ReceiverDay& rd = day_.receivers[r];
      rd.satellite_sum += count_[r];
      rd.satellite_max = std::max(rd.satellite_max, count_[r]);
    }
    day_.analysis.epoch(e, k);
  }

  void finish() {
    day_.analysis.finish();
    for (ReceiverDay& rd : day_.receivers) {
      rd.runs.resize(1 + day_.types.size());
      rd.values.resize(day_.types.size());
      rd.tracked.resize(sats_.size());
      std::vector<Run>& open = open_[static_cast<size_t>(&rd - day_.receivers.data())];
      for (size_t s = 0; s < open.size(); ++s)
        if (open[s].first >= 0) rd.tracked[s].push_back(open[s]);
      rd.epochs.clear();
      for (const auto& runs : rd.runs) {
        int32_t n = 0;
        for (const Run& run : runs) n += run.length();
        rd.epochs.push_back(n);
      }
    }
  }

 private:
  size_t type_index(const std::string& type) {
    const auto it = std::find(day_.types.begin(), day_.types.end(), type);
    if (it != day_.types.end()) return static_cast<size_t>(it - day_.types.begin());
    day_.types.push_back(type);
    for (ReceiverDay& rd : day_.receivers) {
      rd.runs.resize(1 + day_.types.size());
      rd.values.resize(day_.types.size());
    }
    return day_.types.size() - 1;
  }

  // Maps the block's columns to satellite numbers and counts the network's satellites
  // (every column of a block has at least one value).
  void columns(const quilt::Block& b, int32_t k) {
    column_sat_.resize(b.columns());
    for (size_t c = 0; c < b.columns(); ++c) {
      const int32_t n = day_.analysis.satellite(b.satellites[c]);
      if (static_cast<size_t>(n) == sats_.size()) {
        const char sys = day_.analysis.satellites()[static_cast<size_t>(n)][0];
        size_t si = day_.systems.find(sys);
        if (si == std::string::npos) {
          si = day_.systems.size();
          day_.systems += sys;
          day_.satellites.emplace_back(static_cast<size_t>(day_.window), 0);
        }
        sats_.push_back({static_cast<int32_t>(si), -1});
      }
      Sat& sat = sats_[static_cast<size_t>(n)];
      column_sat_[c] = n;
      if (sat.seen != k) {
        sat.seen = k;
        ++day_.satellites[static_cast<size_t>(sat.system)][static_cast<size_t>(k)];
      }
    }
  }

  // The satellite's run of epochs with a value, kept open in a receiver's array of its own (one
  // cache line for many satellites) and filed when it ends.
  static void extend(ReceiverDay& rd, std::vector<Run>& open, int32_t s, int32_t k) {
    Run& run = open[static_cast<size_t>(s)];
    if (run.last == k - 1) {
      run.last = k;
      return;
    }
    if (run.first >= 0) {
      if (rd.tracked.size() <= static_cast<size_t>(s))
        rd.tracked.resize(static_cast<size_t>(s) + 1);
      rd.tracked[static_cast<size_t>(s)].push_back(run);
    }
    run = {k, k};
  }

  struct Sat {
    int32_t system;
    int32_t seen;  // last epoch counted for the network
  };
  Day& day_;
  std::vector<Sat> sats_;
  std::vector<int32_t> column_sat_;
  std::vector<std::vector<int32_t>> own_;  // per receiver and satellite: last epoch with a value
  std::vector<std::vector<Run>> open_;     // per receiver and satellite: the run being extended
  std::vector<int32_t> count_;             // per receiver: satellites with a value this epoch
};

int32_t chart_bins(int32_t epochs) { return std::clamp(epochs, 1, 288); }

DayGatherer::DayGatherer(const quilt::Stream& reader, const Window& window) : window_(window) {
  day_.file = reader.path();
  day_.header = reader.header();
  const quilt::Header& h = day_.header;
  if (window.requested && h.step > 0) {
    // The run keeps the multiples of its step from START to STOP.
    day_.requested = true;
    day_.origin = (window.start + h.step - 1) / h.step * h.step;
    last_ = window.stop / h.step * h.step;
    if (last_ >= day_.origin) day_.window = (last_ - day_.origin) / h.step + 1;
  } else if (h.has_range && h.step > 0 && h.tmax >= h.tmin) {
    day_.origin = h.tmin;
    last_ = h.tmax;
    day_.window = (h.tmax - h.tmin) / h.step + 1;
  }
  day_.analysis = quality::Analysis(h.receivers.size(), day_.origin, std::max(h.step, 1),
                                    day_.window, chart_bins(day_.window));
  gather_ = std::make_unique<Gatherer>(day_);
}

DayGatherer::~DayGatherer() = default;

void DayGatherer::epoch(const quilt::Epoch& e) {
  const quilt::Header& h = day_.header;
  const int32_t offset = e.second - day_.origin;
  if (day_.window == 0 || offset < 0 || e.second > last_ || offset % h.step != 0)
    throw quilt::FormatError{
        day_.file, e.line,
        day_.requested ? "epoch outside the window " + std::to_string(window_.start) + " " +
                             std::to_string(window_.stop) + " (not the run's window?)"
                       : std::string("epoch outside the time range of the a-line")};
  const int32_t k = offset / h.step;
  if (k <= previous_)
    throw quilt::FormatError{day_.file, e.line, "epoch not after the one before it"};
  previous_ = k;
  if (day_.epoch_lines++ == 0) {
    day_.year = e.year;
    day_.month = e.month;
    day_.day = e.day;
  }
  gather_->epoch(e, k);
}

Day DayGatherer::finish(const quilt::Stream& reader) {
  gather_->finish();
  Day& day = day_;
  const quilt::Header& h = day.header;
  day.warnings = reader.ambiguities();
  day.bytes = reader.bytes_read();
  // Receivers whose marker another receiver has too: their rows cannot be told apart.
  for (size_t r = 0; r < h.receivers.size(); ++r) {
    bool first = true;
    std::vector<size_t> same;
    for (size_t o = 0; o < h.receivers.size(); ++o)
      if (h.receivers[o].marker == h.receivers[r].marker) {
        if (o < r) first = false;
        same.push_back(o);
      }
    if (first && same.size() > 1) day.shared_markers.push_back(same);
  }
  return std::move(day_);
}

Day read_day(quilt::Stream& reader, const Window& window) {
  DayGatherer gather(reader, window);
  quilt::Epoch e;
  while (reader.next(e)) gather.epoch(e);
  return gather.finish(reader);
}

std::vector<Run> gaps(const Day& day, size_t r, int32_t min_epochs) {
  std::vector<Run> out;
  int32_t next = 0;  // first epoch after the previous run
  auto gap = [&](int32_t first, int32_t last) {
    if (last - first + 1 > min_epochs) out.push_back({first, last});
  };
  for (const Run& run : day.receivers[r].runs[0]) {
    gap(next, run.first - 1);
    next = run.last + 1;
  }
  gap(next, day.window - 1);
  return out;
}

}  // namespace obsq::report
