#include "output/writer.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <exception>
#include <memory>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "records/fields.hpp"
#include "records/runstate.hpp"
#include "records/units.hpp"
#include "records/workers.hpp"
#include "tables/obskey.hpp"

namespace obsq {

namespace {

// What the store holds for one epoch t, gathered once and shared by the matrices of all types.
// By the store's filing order (tables.hpp), the values of a file at t are the slots right after
// its epoch-time entry whose keys share its (file, t) prefix, and a file without an epoch-time
// entry at t has none.
struct Entry {
  int32_t file;
  int32_t satno;
  int32_t slot;
};

// What a cached index was built from: the tables as they were then.
struct TableState {
  uint64_t store_generation = ~uint64_t{0};
  int32_t stored = -1;
  uint64_t sat_generation = ~uint64_t{0};
  int32_t nsat = -1;
  bool operator==(const TableState&) const = default;
};

TableState table_state(int32_t nsat) {
  return {lng().generation(), lng().count(), mst().generation(), nsat};
}

struct EpochIndex {
  int32_t t = INT32_MIN;
  int32_t nfiles = -1;
  TableState tables;
  std::vector<int32_t> epoch_slot;  // per file: slot of its epoch-time entry at t, 0 if none
  std::vector<Entry> by_type[kTypeNumbers];  // the values of t, by type number
};

// Columns of the matrix by satellite number (several codes, e.g. "G 5" and G05, may share one).
struct Columns {
  TableState tables;
  std::vector<int32_t> first;  // per satellite number: first column, 0 if none
  std::vector<int32_t> next;   // per column: next column of the same number
};

EpochIndex g_index;
Columns g_columns;

constexpr int kSatNumbers = 1000;

// Lengths of the fixed lines of the output file; the s- and o-lines grow with their satellites.
constexpr size_t kALine = 26;
constexpr size_t kBLine = 76;
constexpr size_t kELine = 21;
constexpr size_t kFLine = 14;
constexpr size_t kTLine = 25;  // the "no time available" form; the timed one has 17
constexpr size_t kSatField = 4;
constexpr size_t kValueField = 15;  // 0..499, and 999 for a satellite listed as "ZZZ"

// Encodes the satellite code of every column, in slot order, as the matrix fill would through
// lkey: a code that cannot be encoded stops the run here.
void encode_columns(int32_t nsat) {
  Columns& c = g_columns;
  const TableState now = table_state(nsat);
  if (c.tables == now) return;
  c.first.assign(kSatNumbers, 0);
  c.next.assign(static_cast<size_t>(nsat) + 1, 0);
  std::vector<int32_t> last(kSatNumbers, 0);
  for (int32_t j = 1; j <= nsat; ++j) {
    const int32_t n = keyp(mst().key(j));
    if (last[n] == 0)
      c.first[n] = j;
    else
      c.next[last[n]] = j;
    last[n] = j;
  }
  c.tables = now;
}

bool index_holds(const EpochIndex& x, int32_t t, int32_t nfiles, int32_t nsat) {
  return x.t == t && x.nfiles == nfiles && x.tables == table_state(nsat);
}

void index_epoch(EpochIndex& x, int32_t t, int32_t nfiles, int32_t nsat) {
  const TableState now = table_state(nsat);
  if (x.t == t && x.nfiles == nfiles && x.tables == now) return;
  x.t = t;
  x.nfiles = nfiles;
  x.tables = now;
  x.epoch_slot.assign(static_cast<size_t>(nfiles) + 1, 0);
  for (auto& v : x.by_type) v.clear();
  const StoreTable& store = lng();
  const double* values = dbase();
  for (int32_t i = 1; i <= nfiles; ++i) store.prefetch(epoch_key(i, t));
  for (int32_t i = 1; i <= nfiles; ++i) {
    int32_t slot = 0;
    if (getlng(epoch_key(i, t), slot) != 1) continue;
    x.epoch_slot[static_cast<size_t>(i)] = slot;
    // The slots after it that share its (file, t) prefix: the rest of its run in the store.
    const int32_t run_end = store.run_end(slot);
    // The values are read type by type later: ask for them now, a cache line at a time.
    for (int32_t s = slot; s < run_end; s += 8) __builtin_prefetch(values + s);
    for (int32_t s = slot + 1; s < run_end; ++s) {
      const int32_t r = store.member(s);
      const int32_t typeno = r % 100;
      if (typeno < kTypeNumbers) x.by_type[typeno].push_back({i, r / 100, s});
    }
  }
}

}  // namespace

void dump1(int unit, int32_t tmin, int32_t tmax, int32_t step) {
  OutUnit& out = out_unit(unit);
  {
    char* p = out.reserve(kALine);
    char* e = put_a(p, "a");
    e = put_x(e, 1);
    e = put_i(e, tmin, 6);
    e = put_i(e, tmax, 6);
    e = put_i(e, step, 6);
    e = put_i(e, master.nfiles, 6);
    out.commit(e);
  }
  const int32_t nfiles = master.nfiles;
  for (int32_t i = 1; i <= nfiles; ++i) {
    char* p = out.reserve(kBLine);
    char* e = put_a(p, "b");
    e = put_x(e, 1);
    e = put_a(e, std::string_view(master.marker[i], 4), 4);
    e = put_x(e, 2);
    e = put_a(e, std::string_view(master.antenna[i], 20), 20);
    for (double v : {master.dH[i], master.dE[i], master.dN[i]}) {
      e = put_x(e, 1);
      e = put_f(e, v, 14, 4);
    }
    e = put_x(e, 2);
    e = put_a(e, std::string_view(&master.sys[i], 1), 1);
    out.commit(e);
    if (master.sys[i] == 'R' && master.leapsec <= 0) {
      const std::string_view name(master.fname[i], kNameLength);
      console(ListLine() << "WARNING - need leap second record for Glonass");
      console(ListLine() << name.substr(0, static_cast<size_t>(ntrim(name))));
    }
  }
}

namespace {

// Resets the matrix of (t, type) to the missing-value marker and sizes its flags; false when
// nothing can be filed in it (no file or no satellite).
bool clear_matrix(EpochMatrix& m, int32_t nfiles, int32_t nsat) {
  const size_t size = static_cast<size_t>(nfiles) * static_cast<size_t>(nsat);
  if (m.obuf.size() != size) {
    m.obuf.assign(size, kMissing);
    m.filled.clear();
  } else {
    for (const size_t at : m.filled) m.obuf[at] = kMissing;  // the rest holds the marker still
    m.filled.clear();
  }
  m.fileflags.assign(static_cast<size_t>(nfiles) + 1, 0);
  m.satflags.assign(static_cast<size_t>(nsat) + 1, 0);
  m.nused_files = 0;
  m.nused_sats = 0;
  return nfiles != 0 && nsat != 0;
}

// Fills the matrix of (t, type number) from the epoch's index (the columns already encoded).
void fill_matrix(EpochIndex& x, int32_t t, int32_t typeno, EpochMatrix& m, int32_t nfiles,
                 int32_t nsat) {
  if (typeno < 0 || typeno >= kTypeNumbers) return;  // no value is ever filed under such a type
  index_epoch(x, t, nfiles, nsat);
  const double* values = dbase();
  for (const Entry& en : x.by_type[typeno]) {
    const double v = values[en.slot];
    const bool is_present = present(v);
    for (int32_t j = g_columns.first[static_cast<size_t>(en.satno)]; j != 0;
         j = g_columns.next[static_cast<size_t>(j)]) {
      const size_t at = static_cast<size_t>(j - 1) * static_cast<size_t>(nfiles) +
                        static_cast<size_t>(en.file - 1);
      m.obuf[at] = v;
      m.filled.push_back(at);
      if (is_present) {
        m.fileflags[static_cast<size_t>(en.file)] = 1;
        m.satflags[static_cast<size_t>(j)] = 1;
      }
    }
  }
  for (int32_t i = 1; i <= nfiles; ++i) m.nused_files += m.fileflags[static_cast<size_t>(i)];
  for (int32_t j = 1; j <= nsat; ++j) m.nused_sats += m.satflags[static_cast<size_t>(j)];
}

// The e-line of epoch t. Out is the output unit or a StatementBuffer (reserve, commit).
template <typename Out>
void put_epoch_line(Out& out, int32_t t) {
  const int32_t hour = t / 3600;
  const int32_t r = t - 3600 * hour;
  const int32_t minute = r / 60;
  const int32_t second = r - 60 * minute;
  char* p = out.reserve(kELine);
  char* e = put_a(p, "e ");
  e = put_i(e, master2.year, 4);
  for (int32_t v : {master2.month, master2.day, hour, minute, second}) e = put_i(e, v, 3);
  out.commit(e);
}

// The type block of (t, type); x, when it indexes t, gives the epoch-time entries.
template <typename Out>
void put_type_block(Out& out, const EpochIndex* x, int32_t t, const EpochMatrix& m,
                    const TypeCode& type, int32_t nfiles, int32_t nsat) {
  if (m.nused_files == 0 || m.nused_sats == 0) return;
  {
    char* p = out.reserve(kFLine);
    char* e = put_a(p, "f ");
    e = put_a(e, std::string_view(type.data(), 2), 2);
    e = put_i(e, m.nused_files, 5);
    e = put_i(e, m.nused_sats, 5);
    out.commit(e);
  }
  for (int32_t i = 1; i <= nfiles; ++i) {
    if (m.fileflags[static_cast<size_t>(i)] != 1) continue;
    int32_t slot = 0;
    char* p = out.reserve(kTLine);
    char* e = put_a(p, "t ");
    e = put_a(e, std::string_view(master.marker[i], 4));
    const bool timed = x != nullptr ? (slot = x->epoch_slot[static_cast<size_t>(i)]) != 0
                                    : getlng(epoch_key(i, t), slot) == 1;
    if (timed)
      e = put_f(e, dbase()[slot], 11, 7);
    else
      e = put_a(e, "  no time available");
    out.commit(e);
  }
  {
    char* p = out.reserve(1 + kSatField * static_cast<size_t>(nsat));
    char* e = put_a(p, "s");
    for (int32_t j = 1; j <= nsat; ++j) {
      if (m.satflags[static_cast<size_t>(j)] != 1) continue;
      e = put_x(e, 1);
      e = put_a(e, std::string_view(mst().key(j).data(), 3), 3);
    }
    out.commit(e);
  }
  for (int32_t i = 1; i <= nfiles; ++i) {
    if (m.fileflags[static_cast<size_t>(i)] != 1) continue;
    char* p = out.reserve(1 + kValueField * static_cast<size_t>(nsat));
    char* e = put_a(p, "o");
    const double* col = m.obuf.data() + (i - 1);
    for (int32_t j = 1; j <= nsat; ++j) {
      if (m.satflags[static_cast<size_t>(j)] != 1) continue;
      e = put_x(e, 1);
      e = put_f14_3(e, col[static_cast<size_t>(j - 1) * static_cast<size_t>(nfiles)]);
    }
    out.commit(e);
  }
}

// Write statements formatted ahead of the output unit: their bytes and, per statement, the room
// reserved and the bytes used, so that handing them on makes the same reserve and commit calls
// (the same flushes and failures) as formatting them on the unit.
class StatementBuffer {
 public:
  char* reserve(size_t n) {
    if (cap_ - len_ < n) {
      const size_t cap = std::max(2 * cap_, len_ + n + (size_t{1} << 16));
      auto bigger = std::make_unique<char[]>(cap);
      if (len_ > 0) std::memcpy(bigger.get(), buf_.get(), len_);
      buf_ = std::move(bigger);
      cap_ = cap;
    }
    reserved_ = n;
    return buf_.get() + len_;
  }
  void commit(char* end) {
    const size_t used = static_cast<size_t>(end - (buf_.get() + len_));
    if (used > reserved_) throw std::logic_error("output statement ran past its reservation");
    statements_.push_back({static_cast<uint32_t>(reserved_), static_cast<uint32_t>(used)});
    len_ += used;
  }
  void clear() {
    len_ = 0;
    statements_.clear();
  }
  void hand_on(OutUnit& out) const {
    const char* p = buf_.get();
    for (const Statement& st : statements_) {
      char* d = out.reserve(st.reserved);
      std::memcpy(d, p, st.used);
      out.commit(d + st.used);
      p += st.used;
    }
  }

 private:
  struct Statement {
    uint32_t reserved;
    uint32_t used;
  };
  std::unique_ptr<char[]> buf_;
  size_t cap_ = 0;
  size_t len_ = 0;
  size_t reserved_ = 0;
  std::vector<Statement> statements_;
};

// A chunk of consecutive epochs formatted by a worker; a failure is raised after its statements.
struct Chunk {
  StatementBuffer out;
  std::exception_ptr failure;
};

constexpr int32_t kChunkEpochs = 8;

// The matrices of one worker, built again for every epoch it formats.
struct Formatting {
  EpochIndex x;
  EpochMatrix m;
};

// Epochs tmin, tmin + step, ... formatted in chunks on `workers` threads and written in order by
// the calling thread. False, with nothing written, when it cannot be done that way: when a
// satellite or type code would stop the run while the first matrix is filled (the record by
// record writer then stops where it should), or when the system gives no thread.
bool write_epochs_in_parallel(OutUnit& out, int32_t tmin, int32_t step, int32_t passes,
                              int32_t nfiles, int32_t nsat, int workers) {
  if (nfiles == 0 || nsat == 0) return false;
  int32_t ntypes = 0;
  nummob(ntypes);
  std::vector<int32_t> typenos(static_cast<size_t>(ntypes) + 1, -1);
  try {
    encode_columns(nsat);
    for (int32_t k = 1; k <= ntypes; ++k) typenos[static_cast<size_t>(k)] = keyo(mob().key(k));
  } catch (const Stop&) {
    return false;
  } catch (const RecordError&) {
    return false;
  }
  const int32_t nchunks = (passes + kChunkEpochs - 1) / kChunkEpochs;
  const OrderedShape shape{nchunks, workers, 2 * workers + 1};
  return run_ordered<Chunk, Formatting>(
      shape,
      [&](Formatting& f, int32_t c, Chunk& chunk) {
        try {
          const int32_t last = std::min(passes, (c + 1) * kChunkEpochs);
          for (int32_t pass = c * kChunkEpochs; pass < last; ++pass) {
            const int32_t t = tmin + pass * step;
            put_epoch_line(chunk.out, t);
            for (int32_t k = 1; k <= ntypes; ++k) {
              if (clear_matrix(f.m, nfiles, nsat))
                fill_matrix(f.x, t, typenos[static_cast<size_t>(k)], f.m, nfiles, nsat);
              put_type_block(chunk.out, index_holds(f.x, t, nfiles, nsat) ? &f.x : nullptr, t, f.m,
                             mob().key(k), nfiles, nsat);
            }
          }
        } catch (...) {
          chunk.failure = std::current_exception();
        }
      },
      [&](int32_t, Chunk& chunk) {
        chunk.out.hand_on(out);
        if (chunk.failure) std::rethrow_exception(chunk.failure);
        chunk.out.clear();
      },
      [](const Chunk&) { return size_t{0}; });
}

}  // namespace

void dump2(int unit, int32_t tmin, int32_t tmax, int32_t step) {
  OutUnit& out = out_unit(unit);
  int32_t nsat = 0;
  nummst(nsat);
  int32_t nfiles = 0;
  getnfiles(nfiles);
  const int32_t passes = tmax >= tmin ? (tmax - tmin) / step + 1 : 0;
  const int workers = passes > kChunkEpochs ? worker_threads() : 0;
  if (workers > 0 && write_epochs_in_parallel(out, tmin, step, passes, nfiles, nsat, workers))
    return;
  EpochMatrix m;
  for (int32_t pass = 0; pass < passes; ++pass) {
    const int32_t t = tmin + pass * step;
    put_epoch_line(out, t);
    int32_t ntypes = 0;
    nummob(ntypes);
    for (int32_t k = 1; k <= ntypes; ++k) {
      const TypeCode& type = mob().key(k);
      makearray(t, type, m, nfiles, nsat);
      dumparray(unit, t, m, type, nfiles, nsat);
    }
  }
}

void makearray(int32_t t, const TypeCode& type, EpochMatrix& m, int32_t nfiles, int32_t nsat) {
  if (!clear_matrix(m, nfiles, nsat)) return;
  encode_columns(nsat);
  fill_matrix(g_index, t, keyo(type), m, nfiles, nsat);
}

void dumparray(int unit, int32_t t, const EpochMatrix& m, const TypeCode& type, int32_t nfiles,
               int32_t nsat) {
  put_type_block(out_unit(unit), index_holds(g_index, t, nfiles, nsat) ? &g_index : nullptr, t, m,
                 type, nfiles, nsat);
}

}  // namespace obsq
