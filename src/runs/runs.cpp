#include "runs/runs.hpp"

#include <algorithm>
#include <cstring>
#include <tuple>

namespace obsq::runs {

namespace {

// The receivers of a file as one string, to tell station groups apart: the fields Day compares.
std::string receivers_key(const quilt::Header& h) {
  std::string k;
  for (const quilt::Receiver& r : h.receivers) {
    k += r.marker + r.antenna + r.system;
    for (double v : {r.dh, r.de, r.dn}) k.append(reinterpret_cast<const char*>(&v), sizeof v);
  }
  return k;
}

// Adds the codes of one block to an order in which the blocks of one epoch agree (every block
// lists its codes in the order of the same table): each new code right after the code before it.
void merge_order(std::vector<std::string>& order, const std::vector<std::string>& codes) {
  size_t at = 0;
  for (const std::string& c : codes) {
    auto it = std::find(order.begin(), order.end(), c);
    if (it == order.end()) it = order.insert(order.begin() + static_cast<long>(at), c);
    at = static_cast<size_t>(it - order.begin()) + 1;
  }
}

// The rank of a type or satellite code; one the first reading did not meet means the file changed
// since.
size_t rank_of(const std::map<std::string, size_t>& ranks, const std::string& code,
               const std::string& file, long line) {
  const auto it = ranks.find(code);
  if (it == ranks.end()) throw quilt::FormatError{file, line, "the file changed while it was read"};
  return it->second;
}

}  // namespace

Runs::Runs(const std::vector<std::string>& paths, bool allow_gaps, bool skim) : skim_(skim) {
  // The groups, in the order their first file is given.
  std::vector<std::vector<std::string>> groups;
  std::vector<std::string> keys;
  for (const std::string& p : paths) {
    const std::string k = receivers_key(quilt::Reader(p).header());
    const size_t g = static_cast<size_t>(std::find(keys.begin(), keys.end(), k) - keys.begin());
    if (g == keys.size()) keys.push_back(k), groups.emplace_back();
    groups[g].push_back(p);
  }
  for (const auto& files : groups) {
    Group g;
    g.day = std::make_unique<Day>(files, allow_gaps, skim);
    g.offset = header_.receivers.size();
    const quilt::Header& h = g.day->header();
    if (groups_.empty()) header_.step = h.step;
    if (h.step != header_.step)
      throw quilt::FormatError{files.front(), 1,
                               "step " + std::to_string(h.step) + " s, but " +
                                   groups_.front().day->paths().front() + " has " +
                                   std::to_string(header_.step) + " s"};
    header_.receivers.insert(header_.receivers.end(), h.receivers.begin(), h.receivers.end());
    if (g.day->has_range()) {
      header_.tmin = header_.has_range ? std::min(header_.tmin, g.day->tmin()) : g.day->tmin();
      header_.tmax = header_.has_range ? std::max(header_.tmax, g.day->tmax()) : g.day->tmax();
      header_.has_range = true;
    }
    groups_.push_back(std::move(g));
  }
  header_.line_count = 1 + static_cast<long>(header_.receivers.size());
  // One file is one run: its order is the run's own. Time windows of one group are runs too,
  // each with the order of its own tables.
  ranked_ = paths.size() > 1;
  if (!ranked_) return;
  // The export reads the day twice; the ranks of the first reading serve the second.
  static std::map<std::vector<std::vector<std::string>>,
                  std::pair<std::map<std::string, size_t>, std::map<std::string, size_t>>>
      known;
  if (const auto it = known.find(groups); it != known.end()) {
    type_rank_ = it->second.first;
    sat_rank_ = it->second.second;
    return;
  }
  rank(groups, allow_gaps);
  known[groups] = {type_rank_, sat_rank_};
}

Runs::~Runs() = default;

// Reads every group once to rank the types and satellites as the one run would have filed them:
// file by file in list order, each file's epochs in time order.
void Runs::rank(const std::vector<std::vector<std::string>>& groups, bool allow_gaps) {
  using Key = std::tuple<size_t, int32_t, size_t>;  // receiver, second, column in its epoch
  std::map<std::string, Key> first;
  std::vector<std::string> types;
  quilt::Epoch ep;
  std::vector<std::string> order, block_types;
  for (size_t g = 0; g < groups.size(); ++g) {
    Day day(groups[g], allow_gaps);
    std::vector<std::string> group_types;
    while (day.next(ep)) {
      order.clear();
      block_types.clear();
      for (const quilt::Block& b : ep.blocks) {
        merge_order(order, b.satellites);
        block_types.push_back(b.type);
      }
      merge_order(group_types, block_types);
      for (const quilt::Block& b : ep.blocks)
        for (size_t c = 0; c < b.columns(); ++c) {
          size_t r = 0;
          while (r < b.rows.size() && !quilt::present(b.value(r, c))) ++r;
          const size_t column = static_cast<size_t>(
              std::find(order.begin(), order.end(), b.satellites[c]) - order.begin());
          // A column without a value (not written by the merge) ranks after the others.
          const size_t receiver = r == b.rows.size()
                                      ? header_.receivers.size()
                                      : groups_[g].offset + static_cast<size_t>(b.rows[r]);
          const Key k{receiver, ep.second, column};
          auto [it, fresh] = first.emplace(b.satellites[c], k);
          if (!fresh && k < it->second) it->second = k;
        }
    }
    for (const std::string& t : group_types)
      if (std::find(types.begin(), types.end(), t) == types.end()) types.push_back(t);
  }
  for (size_t k = 0; k < types.size(); ++k) type_rank_[types[k]] = k;
  std::vector<std::pair<Key, std::string>> sats;
  for (const auto& [code, key] : first) sats.emplace_back(key, code);
  std::sort(sats.begin(), sats.end());
  for (size_t k = 0; k < sats.size(); ++k) sat_rank_[sats[k].second] = k;
}

bool Runs::next(quilt::Epoch& ep) {
  if (!ranked_) return groups_.front().day->next(ep);
  for (Group& g : groups_)
    if (!g.has_pending) g.has_pending = g.day->next(g.pending);
  // The second of the next epoch: the earliest any group holds, or one the groups skip.
  bool any = false;
  int32_t second = 0;
  for (const Group& g : groups_)
    if (g.has_pending && (!any || g.pending.second < second)) second = g.pending.second, any = true;
  if (!any) return false;
  if (started_ && second > next_second_) second = next_second_;
  started_ = true;
  next_second_ = second + header_.step;

  ep.second = second;
  ep.blocks.clear();
  ep.line = 0;
  struct Part {
    size_t rank;    // of the block's type
    size_t offset;  // of its group's receivers
    const quilt::Block* block;
  };
  std::vector<Part> parts;
  bool dated = false;
  for (size_t g = 0; g < groups_.size(); ++g) {
    Group& gr = groups_[g];
    if (!gr.has_pending || gr.pending.second != second) continue;
    const quilt::Epoch& e = gr.pending;
    if (date_place_.empty()) {
      year_ = e.year, month_ = e.month, day_ = e.day;
      date_place_ = gr.day->path() + ":" + std::to_string(e.line);
    } else if (e.year != year_ || e.month != month_ || e.day != day_) {
      throw quilt::FormatError{
          gr.day->path(), e.line,
          "the date differs from that of " + date_place_ + " (not the same day)"};
    }
    if (!dated) last_ = g, ep.line = e.line, dated = true;
    for (const quilt::Block& b : e.blocks)
      parts.push_back({rank_of(type_rank_, b.type, gr.day->path(), b.line), gr.offset, &b});
  }
  ep.year = year_, ep.month = month_, ep.day = day_;
  // Blocks of one type side by side, in the type order of the one run; rows stay in group order.
  std::stable_sort(parts.begin(), parts.end(),
                   [](const Part& a, const Part& b) { return a.rank < b.rank; });
  for (size_t i = 0; i < parts.size();) {
    size_t j = i;
    while (j < parts.size() && parts[j].rank == parts[i].rank) ++j;
    quilt::Block& out = ep.blocks.emplace_back();
    out.type = parts[i].block->type;
    out.line = parts[i].block->line;
    std::vector<std::pair<size_t, std::string>> sats;
    for (size_t k = i; k < j; ++k)
      for (const std::string& s : parts[k].block->satellites)
        sats.emplace_back(rank_of(sat_rank_, s, path(), parts[k].block->line), s);
    std::sort(sats.begin(), sats.end());
    sats.erase(std::unique(sats.begin(), sats.end()), sats.end());
    for (const auto& s : sats) out.satellites.push_back(s.second);
    const size_t cols = out.satellites.size();
    size_t rows = 0;
    for (size_t k = i; k < j; ++k) rows += parts[k].block->rows.size();
    if (!skim_) {  // a skim has no values to join
      out.values.assign(rows * cols, quilt::kMissing);
      out.text.resize(rows * cols * 14);
      for (size_t c = 0; c < rows * cols; ++c) std::memcpy(&out.text[c * 14], "9999999999.999", 14);
    }
    for (size_t k = i; k < j; ++k) {
      const quilt::Block& b = *parts[k].block;
      const size_t offset = parts[k].offset;
      std::vector<size_t> col(b.columns());
      for (size_t c = 0; c < b.columns(); ++c)
        col[c] = static_cast<size_t>(
            std::lower_bound(sats.begin(), sats.end(),
                             std::make_pair(rank_of(sat_rank_, b.satellites[c], path(), b.line),
                                            b.satellites[c])) -
            sats.begin());
      for (size_t r = 0; r < b.rows.size(); ++r) {
        const size_t row = out.rows.size();
        out.rows.push_back(static_cast<int32_t>(offset) + b.rows[r]);
        out.epoch_seconds.push_back(b.epoch_seconds[r]);
        for (size_t c = 0; c < b.columns() && !skim_; ++c) {
          out.values[row * cols + col[c]] = b.value(r, c);
          std::memcpy(&out.text[(row * cols + col[c]) * 14], b.value_text(r, c).data(), 14);
        }
      }
    }
    i = j;
  }
  for (Group& g : groups_)
    if (g.has_pending && g.pending.second == second) g.has_pending = false;
  return true;
}

const std::string& Runs::path() const { return groups_[last_].day->path(); }

std::vector<std::string> Runs::paths() const {
  std::vector<std::string> p;
  for (const Group& g : groups_) {
    const std::vector<std::string> q = g.day->paths();
    p.insert(p.end(), q.begin(), q.end());
  }
  return p;
}

const std::vector<std::string>& Runs::ambiguities() const {
  ambiguities_.clear();
  for (const Group& g : groups_) {
    const std::vector<std::string> a = g.day->ambiguities();
    ambiguities_.insert(ambiguities_.end(), a.begin(), a.end());
  }
  return ambiguities_;
}

uint64_t Runs::bytes_read() const {
  uint64_t n = 0;
  for (const Group& g : groups_) n += g.day->bytes_read();
  return n;
}

}  // namespace obsq::runs
