#include "quality/quality.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "quality/satellite.hpp"

namespace obsq::quality {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kF1 = 1575.42e6, kF2 = 1227.60e6, kF5 = 1176.45e6;  // Hz: L1/E1, L2, L5/E5a

// The signals of one type code, or -1 for a type the analysis does not use.
int signal_of(std::string_view type) {
  static constexpr const char* kCodes[] = {"P1", "C1", "P2", "C2", "C5", "L1", "L2", "L5"};
  while (!type.empty() && type.front() == ' ') type.remove_prefix(1);
  while (!type.empty() && type.back() == ' ') type.remove_suffix(1);
  for (int i = 0; i < 8; ++i)
    if (type == kCodes[i]) return i;
  return -1;
}

}  // namespace

double MpSums::rms1() const { return n > 0 ? std::sqrt(mp1 / static_cast<double>(n)) : kNaN; }
double MpSums::rms2() const { return n > 0 ? std::sqrt(mp2 / static_cast<double>(n)) : kNaN; }

Analysis::Analysis(size_t receivers, int32_t origin, int32_t step, int32_t epochs, int32_t bins)
    : origin_(origin),
      step_(step),
      epochs_(epochs),
      bins_(std::max(1, bins)),
      threshold_(slip_threshold(step)),
      receivers_(receivers),
      tracks_(receivers),
      last_offset_(receivers, kNaN),
      clock_epoch_(receivers, -1),
      slot_(receivers) {
  for (ReceiverQuality& r : receivers_) {
    r.bins.resize(static_cast<size_t>(bins_));
    r.clock_min.assign(static_cast<size_t>(bins_), kNaN);
    r.clock_max.assign(static_cast<size_t>(bins_), kNaN);
  }
  bin_.resize(static_cast<size_t>(std::max(epochs_, 0)));
  for (int32_t k = 0; k < epochs_; ++k) bin_[static_cast<size_t>(k)] = bin_of(k);
}

int32_t Analysis::satellite(const std::string& written) {
  auto it = index_.find(written);
  if (it != index_.end()) return it->second;
  const std::string code = satellite_code(written);
  auto same = std::find(codes_.begin(), codes_.end(), code);
  const auto n = static_cast<int32_t>(same - codes_.begin());
  if (same == codes_.end()) codes_.push_back(code);
  index_.emplace(written, n);
  return n;
}

void Analysis::epoch(const quilt::Epoch& e, int32_t k) {
  clock(e, k);
  values_.clear();
  for (const quilt::Block& b : e.blocks) {
    const int sig = signal_of(b.type);
    if (sig < 0) continue;
    // Only GPS and Galileo satellites are analysed: their columns are picked once a block.
    used_.clear();
    for (size_t c = 0; c < b.columns(); ++c) {
      const int32_t s = satellite(b.satellites[c]);
      const char sys = codes_[static_cast<size_t>(s)][0];
      if (sys == 'G' || sys == 'E') used_.push_back({c, s});
    }
    if (used_.empty()) continue;
    for (size_t row = 0; row < b.rows.size(); ++row) {
      const auto r = static_cast<size_t>(b.rows[row]);
      std::vector<int32_t>& slot = slot_[r];
      if (slot.size() < codes_.size()) slot.resize(codes_.size(), 0);
      const double* values = b.values.data() + row * b.columns();
      for (const Column& col : used_) {
        const double v = values[col.column];
        if (!quilt::present(v) || std::isnan(v)) continue;
        const auto s = static_cast<size_t>(col.satellite);
        if (slot[s] == 0) {
          Values fresh{static_cast<int32_t>(r), col.satellite, {}};
          std::fill(std::begin(fresh.v), std::end(fresh.v), kNaN);
          values_.push_back(fresh);
          slot[s] = static_cast<int32_t>(values_.size());
        }
        // Two codes of one satellite: the first value met is used.
        double& into = values_[static_cast<size_t>(slot[s] - 1)].v[sig];
        if (std::isnan(into)) into = v;
      }
    }
  }
  for (const Values& v : values_) {
    slot_[static_cast<size_t>(v.receiver)][static_cast<size_t>(v.satellite)] = 0;
    observe(v, k);
  }
}

void Analysis::observe(const Values& v, int32_t k) {
  const double* x = v.v;
  const bool galileo = codes_[static_cast<size_t>(v.satellite)][0] == 'E';
  const int c1 = !std::isnan(x[kP1]) ? kP1 : kC1;
  if (std::isnan(x[c1]) || std::isnan(x[kL1])) return;
  int l2 = -1, c2 = -1;
  double f2 = kF5;
  if (!galileo && !std::isnan(x[kL2]) && (!std::isnan(x[kP2]) || !std::isnan(x[kC2]))) {
    l2 = kL2, c2 = !std::isnan(x[kP2]) ? kP2 : kC2, f2 = kF2;
  } else if (!std::isnan(x[kL5]) && !std::isnan(x[kC5])) {
    l2 = kL5, c2 = kC5;
  } else {
    return;
  }
  const int combo = c1 * 64 + c2 * 8 + l2;
  const double a = (kF1 / f2) * (kF1 / f2);
  const double w1 = kSpeedOfLight / kF1, w2 = kSpeedOfLight / f2;
  const double phi1 = w1 * x[kL1], phi2 = w2 * x[l2];
  const double mp1 = x[c1] - (1 + 2 / (a - 1)) * phi1 + (2 / (a - 1)) * phi2;
  const double mp2 = x[c2] - (2 * a / (a - 1)) * phi1 + (2 * a / (a - 1) - 1) * phi2;
  const double gf = phi1 - phi2;

  const auto r = static_cast<size_t>(v.receiver);
  std::vector<Track>& tracks = tracks_[r];
  if (tracks.size() <= static_cast<size_t>(v.satellite)) tracks.resize(codes_.size());
  Track& t = tracks[static_cast<size_t>(v.satellite)];
  ReceiverQuality& rq = receivers_[r];
  if (rq.satellites.size() < codes_.size()) rq.satellites.resize(codes_.size());
  ++rq.observations;
  ++rq.satellites[static_cast<size_t>(v.satellite)].observations;
  if (t.last == k - 1 && t.combo == combo) {
    const double jump = gf - t.gf;
    if (std::fabs(jump) > threshold_) {
      rq.slips.push_back({k, v.satellite, jump});
      ++rq.satellites[static_cast<size_t>(v.satellite)].slips;
      close(r, v.satellite, t);
    }
  } else {
    close(r, v.satellite, t);
  }
  t.last = k;
  t.combo = combo;
  t.gf = gf;
  t.arc.push_back({k, mp1, mp2});
}

void Analysis::close(size_t r, int32_t s, Track& t) {
  const size_t n = t.arc.size();
  if (n >= static_cast<size_t>(kMinArc)) {
    // Means relative to the first point, so that the large constants cancel first.
    double m1 = 0, m2 = 0;
    for (const Point& p : t.arc) m1 += p.mp1 - t.arc[0].mp1, m2 += p.mp2 - t.arc[0].mp2;
    m1 = t.arc[0].mp1 + m1 / static_cast<double>(n);
    m2 = t.arc[0].mp2 + m2 / static_cast<double>(n);
    ReceiverQuality& rq = receivers_[r];
    MpSums& sat = rq.satellites[static_cast<size_t>(s)].mp;
    for (const Point& p : t.arc) {
      const double d1 = (p.mp1 - m1) * (p.mp1 - m1), d2 = (p.mp2 - m2) * (p.mp2 - m2);
      for (MpSums* into : {&rq.mp, &sat, &rq.bins[static_cast<size_t>(bin(p.epoch))]}) {
        ++into->n;
        into->mp1 += d1;
        into->mp2 += d2;
      }
    }
  }
  t.arc.clear();
}

void Analysis::clock(const quilt::Epoch& e, int32_t k) {
  const double nominal = e.second % 60;
  const size_t bin = static_cast<size_t>(bin_of(k));
  for (const quilt::Block& b : e.blocks) {
    for (size_t row = 0; row < b.rows.size(); ++row) {
      const auto r = static_cast<size_t>(b.rows[row]);
      if (clock_epoch_[r] == k) continue;  // every block of the epoch holds the same stamp
      clock_epoch_[r] = k;
      const double stamp = b.epoch_seconds[row];
      if (std::isnan(stamp)) continue;
      double offset = stamp - nominal;
      if (offset >= 30) offset -= 60;
      if (offset < -30) offset += 60;
      ReceiverQuality& rq = receivers_[r];
      rq.clock_stamped = true;
      if (offset != 0) rq.clock_nominal = false;
      if (std::isnan(rq.clock_min[bin]) || offset < rq.clock_min[bin]) rq.clock_min[bin] = offset;
      if (std::isnan(rq.clock_max[bin]) || offset > rq.clock_max[bin]) rq.clock_max[bin] = offset;
      const double last = last_offset_[r];
      last_offset_[r] = offset;
      if (std::isnan(last) || std::fabs(offset - last) < kClockJump) continue;
      const double change = offset - last, ms = std::round(change * 1e3);
      rq.jumps.push_back({k, change, std::fabs(change - ms * 1e-3) <= kMillisecondTolerance});
    }
  }
}

void Analysis::finish() {
  for (size_t r = 0; r < tracks_.size(); ++r)
    for (size_t s = 0; s < tracks_[r].size(); ++s) close(r, static_cast<int32_t>(s), tracks_[r][s]);
}

}  // namespace obsq::quality
