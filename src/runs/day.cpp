#include "runs/day.hpp"

#include <algorithm>
#include <cstring>

namespace obsq::runs {

namespace {

[[noreturn]] void refuse(const std::string& file, long line, const std::string& message) {
  throw quilt::FormatError{file, line, message};
}

bool same_double(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

std::string window(const quilt::Header& h) {
  return std::to_string(h.tmin) + ".." + std::to_string(h.tmax);
}

// What differs between two copies of one epoch, empty when nothing. Each run lists the
// satellites in the order it met them, so the columns are compared by satellite.
std::string difference(const quilt::Epoch& a, const quilt::Epoch& b) {
  if (a.blocks.size() != b.blocks.size())
    return std::to_string(b.blocks.size()) + " type blocks against " +
           std::to_string(a.blocks.size());
  for (const quilt::Block& y : b.blocks) {
    const std::string where = "the block at line " + std::to_string(y.line) + " ";
    auto x = std::find_if(a.blocks.begin(), a.blocks.end(),
                          [&](const quilt::Block& k) { return k.type == y.type; });
    if (x == a.blocks.end()) return where + "is of a type the other file lacks here";
    if (x->rows != y.rows) return where + "has other rows";
    for (size_t r = 0; r < x->rows.size(); ++r)
      if (!same_double(x->epoch_seconds[r], y.epoch_seconds[r]))
        return where + "has other epoch seconds";
    if (x->columns() != y.columns()) return where + "has other satellites";
    for (size_t c = 0; c < y.columns(); ++c) {
      auto it = std::find(x->satellites.begin(), x->satellites.end(), y.satellites[c]);
      if (it == x->satellites.end())
        return where + "has satellite " + quilt::printable(y.satellites[c]) + " in addition";
      const size_t xc = static_cast<size_t>(it - x->satellites.begin());
      for (size_t r = 0; r < y.rows.size(); ++r)
        if (x->value_text(r, xc) != y.value_text(r, c))
          return where + "has another value of satellite " + quilt::printable(y.satellites[c]) +
                 " in row " + std::to_string(r + 1);
    }
  }
  return {};
}

}  // namespace

Day::Day(const std::vector<std::string>& paths, bool allow_gaps, bool skim) : skim_(skim) {
  for (const std::string& p : paths) {
    files_.push_back(std::make_unique<quilt::Reader>(p, skim));
  }
  // Files without any epoch add nothing but their receivers; the others go in time order.
  std::stable_sort(files_.begin(), files_.end(), [](const auto& a, const auto& b) {
    const quilt::Header &x = a->header(), &y = b->header();
    if (x.has_range != y.has_range) return x.has_range;
    return x.has_range && (x.tmin != y.tmin ? x.tmin < y.tmin : x.tmax < y.tmax);
  });
  const quilt::Reader& first = *files_.front();
  const quilt::Header& h0 = first.header();
  const quilt::Reader* prev = nullptr;
  for (const auto& f : files_) {
    const quilt::Header& h = f->header();
    if (h.step != h0.step)
      refuse(f->path(), 1,
             "step " + std::to_string(h.step) + " s, but " + first.path() + " has " +
                 std::to_string(h0.step) + " s");
    if (h.receivers.size() != h0.receivers.size())
      refuse(f->path(), 1,
             std::to_string(h.receivers.size()) + " receivers, but " + first.path() + " has " +
                 std::to_string(h0.receivers.size()));
    for (size_t i = 0; i < h.receivers.size(); ++i) {
      const quilt::Receiver &a = h0.receivers[i], &b = h.receivers[i];
      const char* what =
          a.marker != b.marker     ? "marker"
          : a.antenna != b.antenna ? "antenna"
          : !same_double(a.dh, b.dh) || !same_double(a.de, b.de) || !same_double(a.dn, b.dn)
              ? "eccentricities"
          : a.system != b.system ? "system letter"
                                 : nullptr;
      if (what)
        refuse(f->path(), static_cast<long>(i) + 2,
               std::string("receiver ") + std::to_string(i) + ": " + what + " differs from " +
                   first.path() + ":" + std::to_string(i + 2) + " (not the same receivers)");
    }
    if (!h.has_range) continue;
    if (prev != nullptr) {
      const quilt::Header& p = prev->header();
      if (h.tmax <= p.tmax)
        refuse(f->path(), 1,
               "its epochs " + window(h) + " lie within those of " + prev->path() + " (" +
                   window(p) + "): given twice?");
      if (h.tmin > p.tmax + h.step && !allow_gaps)
        refuse(f->path(), 1,
               "its epochs start at second " + std::to_string(h.tmin) + ", but " + prev->path() +
                   " ends at " + std::to_string(p.tmax) +
                   ": a window is missing between them (--allow-gaps takes them as they are)");
    } else {
      tmin_ = h.tmin;
      has_range_ = true;
    }
    tmax_ = h.tmax;
    prev = f.get();
  }
}

Day::~Day() = default;

bool Day::next(quilt::Epoch& ep) {
  while (!files_[cur_]->next(ep)) {
    if (cur_ + 1 == files_.size()) return false;
    ++cur_;
  }
  if (!dated_) {
    year_ = ep.year, month_ = ep.month, day_ = ep.day;
    date_place_ = files_[cur_]->path() + ":" + std::to_string(ep.line);
    dated_ = true;
  } else if (ep.year != year_ || ep.month != month_ || ep.day != day_) {
    refuse(files_[cur_]->path(), ep.line,
           "the date differs from that of " + date_place_ + " (not the same day)");
  }
  // Later files whose window has begun hold this epoch too.
  for (size_t j = cur_ + 1; j < files_.size(); ++j) {
    const quilt::Header& h = files_[j]->header();
    if (!h.has_range || h.tmin > ep.second) break;
    if (!files_[j]->next(other_) || other_.second != ep.second)  // each holds its whole window
      refuse(files_[j]->path(), files_[j]->line_number(),
             "no epoch of second " + std::to_string(ep.second));
    if (skim_) continue;
    if (std::string d = difference(ep, other_); !d.empty())
      refuse(files_[j]->path(), other_.line,
             "the epoch of second " + std::to_string(ep.second) + " differs from " +
                 files_[cur_]->path() + ":" + std::to_string(ep.line) + ": " + d);
  }
  return true;
}

std::vector<std::string> Day::paths() const {
  std::vector<std::string> p;
  for (const auto& f : files_) p.push_back(f->path());
  return p;
}

std::vector<std::string> Day::ambiguities() const {
  std::vector<std::string> all;
  for (const auto& f : files_)
    all.insert(all.end(), f->ambiguities().begin(), f->ambiguities().end());
  return all;
}

uint64_t Day::bytes_read() const {
  uint64_t n = 0;
  for (const auto& f : files_) n += f->bytes_read();
  return n;
}

}  // namespace obsq::runs
