// Per-receiver signal quality of a network's day, gathered epoch by epoch from obsquilt.txt:
// code multipath MP1/MP2 and cycle slips of GPS and Galileo satellites, and the receiver clock as
// its epoch stamps show it. Shared by obsquilt-report and obsquilt-export; the definitions below
// are those of obsquilt-report(1).
//
// Multipath (Estey and Meertens 1999): with the carrier frequencies f1, f2 of the two signals,
// a = (f1/f2)^2, the phases L1, L2 in cycles and their wavelengths w1, w2 in metres,
//   MP1 = P1 - (1 + 2/(a-1)) w1 L1 + (2/(a-1)) w2 L2
//   MP2 = P2 - (2a/(a-1)) w1 L1 + (2a/(a-1) - 1) w2 L2
// hold code multipath and noise plus a constant per arc (the ambiguities), which is removed by
// taking each arc's mean. The signals of a satellite at an epoch are the first complete choice of
//   GPS:     code 1 P1, else C1; with L1; then (L2 with P2, else C2), else (L5 with C5)
//   Galileo: code 1 P1, else C1; with L1; then L5 with C5 (E5a)
// GLONASS is left out: the frequency channel of a satellite is not in obsquilt.txt.
//
// An arc is a run of epochs of the window, one after the other, where a receiver forms the
// combination of a satellite with the same choice of signals. The geometry-free combination
// GF = w1 L1 - w2 L2 changes between consecutive epochs only by the ionosphere, unless a phase
// slipped: a change larger than slip_threshold(step) is a cycle slip and ends the arc. Arcs of
// fewer than kMinArc epochs are left out of the RMS (their mean is no estimate of the constant).
//
// Clock: the t-line of a row holds the seconds field of the epoch time the receiver wrote; its
// difference to the nominal epoch's second of minute (taken into -30 .. 30 s) is the receiver's
// clock offset as far as its stamps show it. A change of at least kClockJump between two of the
// receiver's epochs is a clock jump; a millisecond reset when it is a whole number of milliseconds
// (within kMillisecondTolerance), otherwise a step.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "quiltfile/quiltfile.hpp"

namespace obsq::quality {

inline constexpr double kSpeedOfLight = 299792458.0;
inline constexpr double kSlipBase = 0.05;               // m: phase noise and multipath of GF
inline constexpr double kSlipRate = 0.06 / 60.0;        // m/s: ionospheric change of GF (6 cm/min)
inline constexpr int32_t kMinArc = 10;                  // epochs
inline constexpr double kClockJump = 0.5e-3;            // s
inline constexpr double kMillisecondTolerance = 10e-6;  // s

// The largest change of GF between two consecutive epochs that is not a slip, in metres.
inline double slip_threshold(int32_t step) { return kSlipBase + kSlipRate * step; }

// One cycle slip: the epoch (index in the window) where GF jumped, the satellite, the jump (m).
struct Slip {
  int32_t epoch = 0;
  int32_t satellite = 0;
  double jump = 0;
};

// Sums of squared deviations from the arc means.
struct MpSums {
  int64_t n = 0;
  double mp1 = 0, mp2 = 0;
  double rms1() const;  // NaN when n is 0
  double rms2() const;
};

struct SatelliteQuality {
  MpSums mp;
  int64_t observations = 0;  // epochs with the combination formed
  int32_t slips = 0;
};

struct ClockJump {
  int32_t epoch = 0;
  double change = 0;  // s
  bool millisecond = false;
};

struct ReceiverQuality {
  MpSums mp;
  int64_t observations = 0;  // epochs x satellites with the combination formed
  std::vector<Slip> slips;
  std::vector<SatelliteQuality> satellites;  // by satellite number (see Analysis::satellites)
  std::vector<MpSums> bins;                  // MP by time bin of the window
  // Clock: the offset's least and most per bin (s), NaN where no stamp; jumps.
  std::vector<double> clock_min, clock_max;
  bool clock_stamped = false;  // some epoch has a stamp
  bool clock_nominal = true;   // every stamp is on the nominal second
  std::vector<ClockJump> jumps;
};

class Analysis {
 public:
  // `epochs` epochs of the window from second `origin` on by `step`, cut into `bins` time bins.
  Analysis(size_t receivers, int32_t origin, int32_t step, int32_t epochs, int32_t bins);

  // Epoch `k` of the window; epochs come in increasing order.
  void epoch(const quilt::Epoch& e, int32_t k);
  // Ends the open arcs; call once after the last epoch.
  void finish();

  // Satellite number of a code as written (in one spelling, see satellite_code), added if new.
  int32_t satellite(const std::string& written);
  const std::vector<std::string>& satellites() const { return codes_; }
  const std::vector<ReceiverQuality>& receivers() const { return receivers_; }
  int32_t bins() const { return bins_; }
  int32_t bin_of(int32_t k) const {
    return static_cast<int32_t>(static_cast<int64_t>(k) * bins_ / std::max(epochs_, 1));
  }

 private:
  struct Point {
    int32_t epoch;
    double mp1, mp2;
  };
  struct Track {  // a receiver's satellite: its open arc
    int32_t last = -2;
    int combo = -1;
    double gf = 0;
    std::vector<Point> arc;
  };
  enum Signal { kP1, kC1, kP2, kC2, kC5, kL1, kL2, kL5, kSignals };
  struct Values {
    int32_t receiver, satellite;
    double v[kSignals];
  };

  void close(size_t r, int32_t s, Track& t);
  int32_t bin(int32_t k) const {  // bin_of(k), from the table within the window
    return k >= 0 && static_cast<size_t>(k) < bin_.size() ? bin_[static_cast<size_t>(k)]
                                                          : bin_of(k);
  }
  void observe(const Values& v, int32_t k);
  void clock(const quilt::Epoch& e, int32_t k);

  int32_t origin_, step_, epochs_, bins_;
  double threshold_;
  std::vector<std::string> codes_;
  std::unordered_map<std::string, int32_t> index_;  // code as written -> satellite number
  std::vector<ReceiverQuality> receivers_;
  std::vector<std::vector<Track>> tracks_;  // [receiver][satellite]
  std::vector<double> last_offset_;         // per receiver, NaN before its first stamp
  std::vector<int32_t> clock_epoch_;        // per receiver: the last epoch whose stamp was taken
  // Scratch of one epoch.
  std::vector<Values> values_;
  std::vector<std::vector<int32_t>> slot_;  // [receiver][satellite]: index in values_ + 1
  struct Column {
    size_t column;
    int32_t satellite;
  };
  std::vector<Column> used_;  // the block's columns of GPS and Galileo satellites
  std::vector<int32_t> bin_;  // per epoch of the window: bin_of(k)
};

}  // namespace obsq::quality
