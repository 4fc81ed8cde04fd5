#include "rinex/obsread.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "records/fields.hpp"
#include "records/runstate.hpp"
#include "records/stopcodes.hpp"
#include "records/units.hpp"
#include "records/workers.hpp"
#include "rinex/rinexrec.hpp"
#include "tables/obskey.hpp"
#include "tables/tables.hpp"
#include "timeconv/calendar.hpp"

namespace obsq {

namespace {

// Working state of one file's reading; fixed size, set up per file.
struct Reader {
  int32_t ntypes = 0;         // type count of the file's header
  int32_t nlist = 0;          // type codes in the list
  TypeCode types[kMaxTypes];  // the file's type codes in header order
  int32_t nwanted = 0;        // wanted types, as positions in the type list
  int32_t wanted_pos[kMaxTypes];
  int32_t wanted_no[kMaxTypes];  // their type numbers
  SatCode sats[kMaxSats];        // the epoch's satellite list
  double values[kMaxTypes];      // one satellite's values in type-list order
};

Reader g_reader;
ReadObserver* g_observer = nullptr;

void fatal_insert(int32_t slot, int code) {
  console(ListLine() << (slot <= 0 ? kStoreFullLine : "FATAL - duplicate key elements"));
  stop(code);
}

// Files one value of an accepted epoch under key (putlng on the store held by the caller); its
// slot is the one the insert just took, where a look-up would find it.
inline void file_value(StoreTable& store, double* values, int64_t key, double value, int code) {
  int32_t slot = 0;
  if (store.put(key, slot) != 1) fatal_insert(slot, code);
  if (values != nullptr) values[store.next() - 1] = value;
}

// Where the values go: nowhere when an observer watches the read, since a program that reports
// on a run (obsquilt-check, obsquilt-day's plan) writes no matrix from the store; it needs the
// keys filed, for what the store would hold and refuse, but never touches the values' memory.
double* value_memory() { return g_observer != nullptr ? nullptr : dbase(); }

// Value i (0-based) of an observation record: the missing-value marker for 14 blank columns.
inline double take_value(std::string_view rec, int i) {
  const int col = kValueColumns * i + 1;
  if (double v; get_f14_3_usual(rec, col, v)) return v;
  return blank_field(rec, col, 14) ? kMissing : get_f(rec, col, 14, 3);
}

// Value i of an observation record checked as take_value reads it, raising the same error on a
// field that is not a number, but not converted: a read whose values are not kept.
inline void check_value(std::string_view rec, int i) {
  const int col = kValueColumns * i + 1;
  if (!is_f14_3_usual(rec, col) && !blank_field(rec, col, 14)) get_f(rec, col, 14, 3);
}

// Second of day of an epoch time: rounded to the nearest integer, halves away from zero.
// False when it is not finite or does not fit 32 bits (the epoch is then never accepted).
inline bool second_of_day(double t, int32_t& s) {
  if (!std::isfinite(t)) return false;
  const double r = std::round(t);
  if (r < -2147483648.0 || r > 2147483647.0) return false;
  s = static_cast<int32_t>(r);
  return true;
}

// The header again, for the file's type list only; a later "# / TYPES OF OBSERV" group
// replaces an earlier one, and its continuation records are taken as they come. A header with
// too many types ends the run through fatal(console line, stop code).
template <typename Fatal>
void read_header(InUnit& in, Reader& rd, Fatal fatal) {
  rd.ntypes = 0;
  rd.nlist = 0;
  for (;;) {
    std::string_view rec = in.need(kRinexRecord);
    if (has_label(rec, 61, "END OF HEADER")) break;
    if (!has_label(rec, 61, kTypesLabel)) continue;
    const int32_t count = get_i(rec, 1, 6);
    if (count > kMaxTypes) fatal("FATAL -- too many obs in each epoch", stops::kTooManyTypes);
    rd.ntypes = count;
    rd.nlist = 0;
    read_type_codes(
        in, rec, count, [&](const TypeCode& c) { rd.types[rd.nlist++] = c; },
        [](std::string_view) {});
  }
  rd.nwanted = 0;
  for (int32_t j = 0; j < rd.ntypes; ++j) {
    int32_t slot = 0;
    if (getmob(rd.types[j], slot) == 1) {
      rd.wanted_pos[rd.nwanted] = j;
      rd.wanted_no[rd.nwanted] = keyo(rd.types[j]);
      ++rd.nwanted;
    }
  }
}

// Observation records per satellite: ceil(types / 5), at least one.
int32_t records_per_satellite(const Reader& rd) {
  return std::max<int32_t>(1, (rd.ntypes + kValuesPerRecord - 1) / kValuesPerRecord);
}

// Continuation records of an epoch's satellite list of nsat codes.
long continuation_records(int32_t nsat) {
  return nsat > kSatsPerRecord ? (nsat + kSatsPerRecord - 1) / kSatsPerRecord - 1 : 0;
}

// The records after the header of the file open on `in`, in order: every epoch record of flag 0
// or 1 is shown to sink.seen(record, text, has_second, second, accepted); every accepted epoch
// is handed to the sink as it is met: sink.epoch(second, seconds, nsat) once its epoch record is
// read, sink.satellite(code) for each code of its list, sink.listed(codes, n) once the list is
// read, sink.values(k) once satellite k's records are read into rd.values (only checked, and
// rd.values left as it was, when the values are not kept). Failures are raised where they are
// met.
template <typename Sink>
void read_epochs(InUnit& in, Reader& rd, int32_t start, int32_t stop, int32_t step, bool glonass,
                 double leap, Sink& sink) {
  const bool keep = g_observer == nullptr;  // as value_memory() tells, without the store
  const int32_t obs_records = records_per_satellite(rd);
  double* const values = rd.values;
  std::string_view rec;
  while (in.next(rec, kRinexRecord)) {
    const int32_t flag = get_i(rec, 29, 1);
    if (flag >= 2) {
      const int32_t n = get_i(rec, 30, 3);
      if (n > 0) in.skip(n, kRinexRecord);
      continue;
    }
    get_i(rec, 1, 3);  // year, month and day are read and play no part
    get_i(rec, 4, 3);
    get_i(rec, 7, 3);
    const int32_t hour = get_i(rec, 10, 3);
    const int32_t minute = get_i(rec, 13, 3);
    double seconds = get_f(rec, 16, 11, 7);
    const int32_t nsat = get_i(rec, 30, 3);
    if (glonass) seconds += leap;
    const double t = hour * 3600.0 + (seconds + minute * 60.0);

    int32_t s = 0;
    const bool has_second = second_of_day(t, s);
    const bool accepted = has_second && s % step == 0 && start <= s && s <= stop;
    sink.seen(in.record_number(), rec, has_second, s, accepted);
    if (!accepted) {
      // Read past by counting records: continuation lists, then the observation records.
      if (nsat > 0)
        in.skip((nsat + kSatsPerRecord - 1) / kSatsPerRecord - 1 +
                    static_cast<long>(nsat) * obs_records,
                kRinexRecord);
      continue;
    }
    sink.epoch(s, seconds, nsat);

    // Satellite list, 12 codes a record.
    int32_t nlist = 0;
    int32_t left = nsat;
    auto take_sats = [&](std::string_view r, int n) {
      for (int k = 0; k < n; ++k) {
        SatCode c;
        get_a(r, 33 + 3 * k, 3, c.data(), 3);
        rd.sats[nlist++] = c;
        sink.satellite(c);
      }
    };
    while (left > kSatsPerRecord) {
      take_sats(rec, kSatsPerRecord);
      left -= kSatsPerRecord;
      rec = in.need(kRinexRecord);
    }
    if (left > 0) take_sats(rec, left);
    sink.listed(rd.sats, nlist);

    // Observation records, 5 values a record, for each satellite in list order.
    for (int32_t k = 0; k < nsat; ++k) {
      rec = in.need(kRinexRecord);
      int32_t nv = 0;
      // The first n values of the record: taken, or only checked when they are not kept.
      const auto record_values = [&](int n) {
        if (keep) {
          for (int i = 0; i < n; ++i) values[nv++] = take_value(rec, i);
        } else {
          for (int i = 0; i < n; ++i) check_value(rec, i);
        }
      };
      left = rd.ntypes;
      while (left > kValuesPerRecord) {
        record_values(kValuesPerRecord);
        left -= kValuesPerRecord;
        rec = in.need(kRinexRecord);
      }
      record_values(left);
      sink.values(k);
    }
  }
}

// Files an epoch's entries as they are read: the epoch-time entry, the satellite codes in the
// satellite table, and each satellite's wanted values under its keys.
struct FilingSink {
  Reader& rd;
  int32_t file;
  int32_t& tmin;
  int32_t& tmax;
  StoreTable& store = lng();
  double* const stored = value_memory();
  int64_t epoch_base = 0;

  void epoch(int32_t s, double seconds, int32_t) {
    tmin = std::min(tmin, s);
    tmax = std::max(tmax, s);
    file_value(store, stored, epoch_key(file, s), seconds, stops::kEpochNotFiled);
    epoch_base = key_of(file, s, 0, 0);
  }
  void satellite(const SatCode& c) {
    int32_t slot = 0;
    putmst(c, slot);
  }
  // What an observer of the read sees (obsquilt-check); nothing in a run.
  void seen(long record, std::string_view rec, bool has_second, int32_t s, bool accepted) {
    if (g_observer != nullptr) g_observer->epoch(file, record, rec, has_second, s, accepted);
  }
  void listed(const SatCode* sats, int32_t n) {
    if (g_observer != nullptr) g_observer->satellites(file, sats, n);
  }
  void values(int32_t k) {
    if (rd.nwanted == 0) return;
    const int64_t base = epoch_base + static_cast<int64_t>(keyp(rd.sats[k])) * 100;
    for (int32_t w = 0; w < rd.nwanted; ++w)
      file_value(store, stored, base + rd.wanted_no[w],
                 stored != nullptr ? rd.values[rd.wanted_pos[w]] : 0.0, stops::kValueNotFiled);
  }
};

// ---- reading ahead ----------------------------------------------------------------------------
//
// storeobs reads the files on worker threads, each into a FileAhead on a unit of its own, while
// the calling thread files them in list order: the same filing calls, in the same order, as a
// read and filed record by record. A failure of the read is kept with the unit as the failing
// read left it and raised once everything read before it is filed, so the run stops at the same
// record, with the same console lines and the same report, as a sequential read.

struct FileAhead {
  struct Epoch {
    int32_t second;
    int32_t nsat;       // satellites of its epoch record
    int32_t nsat_read;  // codes read from its list (all of them unless the read failed)
    int32_t nsat_done;  // satellites whose records were read
    double seconds;
    long record;         // number of its epoch record
    size_t first_sat;    // its codes in sats
    size_t first_value;  // its values in values, nwanted a satellite
    // Its satellite list was read whole (and shown to an observer in a sequential read): every
    // code is read, and nothing that can fail comes between the last code and that.
    bool listed() const { return nsat_read == std::max(nsat, 0); }
  };
  // An epoch record of flag 0 or 1 as an observer sees it, its text in seen_text.
  struct Seen {
    long record;
    int32_t second;
    bool has_second, accepted;
    size_t text_at, text_size;
  };
  std::vector<Epoch> epochs;
  std::vector<SatCode> sats;
  std::vector<double> values;
  int32_t nwanted = 0;
  int32_t wanted_no[kMaxTypes];
  int32_t obs_records = 1;
  InUnit unit{kRinexUnit};
  bool opened = false;                 // the unit holds the file (its open did not fail)
  std::exception_ptr failure;          // raised after the epochs above are filed
  const char* console_line = nullptr;  // written before the failure is raised
  // For an observer only (obsquilt-check): the type list once the header is read, and every
  // epoch record met, shown to it in order as the epochs are filed.
  bool observed = false, typed = false;
  std::vector<TypeCode> types;
  std::vector<Seen> seen;
  std::string seen_text;

  // Memory held for what was read.
  size_t bytes() const {
    return epochs.capacity() * sizeof(Epoch) + sats.capacity() * sizeof(SatCode) +
           values.capacity() * sizeof(double) + seen.capacity() * sizeof(Seen) +
           seen_text.capacity();
  }

  // Ready for the next file, keeping the room of its arrays and of its unit's buffer.
  void reset() {
    epochs.clear();
    sats.clear();
    values.clear();
    nwanted = 0;
    opened = false;
    failure = nullptr;
    console_line = nullptr;
    observed = typed = false;
    types.clear();
    seen.clear();
    seen_text.clear();
  }
};

// Keeps what the read hands on, for filing later.
struct KeepingSink {
  FileAhead& fa;
  const Reader& rd;
  void epoch(int32_t s, double seconds, int32_t nsat) {
    fa.epochs.push_back(
        {s, nsat, 0, 0, seconds, fa.unit.record_number(), fa.sats.size(), fa.values.size()});
  }
  void satellite(const SatCode& c) {
    fa.sats.push_back(c);
    ++fa.epochs.back().nsat_read;
  }
  void seen(long record, std::string_view rec, bool has_second, int32_t s, bool accepted) {
    if (!fa.observed) return;
    fa.seen.push_back({record, s, has_second, accepted, fa.seen_text.size(), rec.size()});
    fa.seen_text.append(rec);
  }
  void listed(const SatCode*, int32_t) {}
  void values(int32_t) {
    if (!fa.observed)
      for (int32_t w = 0; w < rd.nwanted; ++w) fa.values.push_back(rd.values[rd.wanted_pos[w]]);
    ++fa.epochs.back().nsat_done;
  }
};

// A stop met in the header while reading ahead: its console line is written when it is raised.
struct AheadStop {
  const char* line;
  int code;
};

void read_ahead(FileAhead& fa, Reader& rd, int32_t start, int32_t stop, int32_t step,
                int32_t file) {
  fa.observed = g_observer != nullptr;  // set before the read starts, not changed during it
  try {
    const std::string_view fname(master.fname[file], kNameLength);
    fa.unit.open(fname.substr(0, static_cast<size_t>(ntrim(fname))));
    fa.opened = true;
    fa.unit.rewind();
    read_header(fa.unit, rd, [](const char* line, int code) { throw AheadStop{line, code}; });
    if (fa.observed) {
      fa.types.assign(rd.types, rd.types + rd.ntypes);
      fa.typed = true;
    }
    fa.nwanted = rd.nwanted;
    std::copy(rd.wanted_no, rd.wanted_no + rd.nwanted, fa.wanted_no);
    fa.obs_records = records_per_satellite(rd);
    KeepingSink sink{fa, rd};
    read_epochs(fa.unit, rd, start, stop, step, master.sys[file] == 'R', master.leapsec, sink);
  } catch (const AheadStop& s) {
    fa.console_line = s.line;
    fa.failure = std::make_exception_ptr(Stop{s.code});
  } catch (...) {
    fa.failure = std::current_exception();
  }
}

// Satellite codes already in the satellite table, with their keyp numbers: for them putmst
// changes nothing and keyp gives the same number again, so both calls can be left out. The
// table is only emptied by storeobs, before any file is filed.
class KnownSats {
 public:
  void clear() { std::fill(std::begin(entries_), std::end(entries_), Entry{}); }
  void put(const SatCode& c) {
    Entry& e = entries_[index(c)];
    if (e.known && e.code == c) return;
    int32_t slot = 0;
    putmst(c, slot);
    // A full table that did not take the code leaves it unknown: the next call tries again.
    if (getmst(c, slot) == 1) e = {c, true, -1};
  }
  int32_t number(const SatCode& c) {
    Entry& e = entries_[index(c)];
    if (e.known && e.code == c && e.satno >= 0) return e.satno;
    const int32_t n = keyp(c);
    if (e.known && e.code == c) e.satno = n;
    return n;
  }

 private:
  struct Entry {
    SatCode code{};
    bool known = false;
    int32_t satno = -1;  // keyp of the code, -1 until asked
  };
  static size_t index(const SatCode& c) {
    return (static_cast<unsigned char>(c[0]) * 7u + static_cast<unsigned char>(c[1]) * 31u +
            static_cast<unsigned char>(c[2])) &
           1023u;
  }
  Entry entries_[1024];
};

// Files what was read ahead of one file, then raises its failure, if any, on `in`, which takes
// over the reading unit. A failure of the filing itself is reported at the record a sequential
// read had reached there. An observer sees the file as a sequential read shows it: the types,
// then each epoch record before its epoch is filed and each satellite list before its values.
void file_ahead(FileAhead& fa, InUnit& in, int32_t file, int32_t& tmin, int32_t& tmax,
                KnownSats& known) {
  if (!fa.opened) std::rethrow_exception(fa.failure);  // the unit stays as its failed open left it
  in.take_over(fa.unit);
  StoreTable& store = lng();
  double* const stored = value_memory();
  long record = in.record_number();
  ReadObserver* const observer = fa.observed ? g_observer : nullptr;
  if (observer != nullptr && fa.typed)
    observer->types(file, fa.types.data(), static_cast<int32_t>(fa.types.size()));
  size_t next_seen = 0;
  // Shows the epoch records met up to the next accepted one (all that are left: to the end).
  const auto show_seen = [&](bool to_accepted) {
    while (next_seen < fa.seen.size()) {
      const FileAhead::Seen& sn = fa.seen[next_seen++];
      observer->epoch(file, sn.record,
                      std::string_view(fa.seen_text).substr(sn.text_at, sn.text_size),
                      sn.has_second, sn.second, sn.accepted);
      if (sn.accepted && to_accepted) return;
    }
  };
  try {
    for (const FileAhead::Epoch& ep : fa.epochs) {
      record = ep.record;
      if (observer != nullptr) show_seen(true);
      tmin = std::min(tmin, ep.second);
      tmax = std::max(tmax, ep.second);
      file_value(store, stored, epoch_key(file, ep.second), ep.seconds, stops::kEpochNotFiled);
      for (int32_t k = 0; k < ep.nsat_read; ++k)
        known.put(fa.sats[ep.first_sat + static_cast<size_t>(k)]);
      if (observer != nullptr && ep.listed())
        observer->satellites(file, fa.sats.data() + ep.first_sat, ep.nsat_read);
      if (fa.nwanted == 0) continue;
      const int64_t epoch_base = key_of(file, ep.second, 0, 0);
      // The values kept for the epoch (none when the read is observed: stored is null then).
      size_t v = ep.first_value;
      record += continuation_records(ep.nsat);
      for (int32_t k = 0; k < ep.nsat_done; ++k, v += stored != nullptr ? fa.nwanted : 0) {
        record += fa.obs_records;
        const int64_t base =
            epoch_base +
            static_cast<int64_t>(known.number(fa.sats[ep.first_sat + static_cast<size_t>(k)])) *
                100;
        for (int32_t w = 0; w < fa.nwanted; ++w)
          file_value(store, stored, base + fa.wanted_no[w],
                     stored != nullptr ? fa.values[v + static_cast<size_t>(w)] : 0.0,
                     stops::kValueNotFiled);
      }
    }
  } catch (...) {
    in.report_at(record);
    throw;
  }
  if (observer != nullptr) show_seen(false);
  if (fa.failure) {
    if (fa.console_line != nullptr) console(ListLine() << fa.console_line);
    std::rethrow_exception(fa.failure);
  }
}

// Bytes of read files waiting to be filed beyond which no further file is started (besides the
// one to be filed next): large files are not all held at once.
constexpr size_t kReadAheadBudget = size_t{128} << 20;

// Reads files 1..nfiles ahead on `workers` threads, a few files beyond the one being filed, and
// files them in order on the calling thread. False, with nothing read, when the system gives
// no thread.
bool read_files_ahead(InUnit& in, int32_t start, int32_t stop, int32_t step, int32_t nfiles,
                      int workers, int32_t& tmin, int32_t& tmax) {
  auto known = std::make_unique<KnownSats>();
  const OrderedShape shape{nfiles, workers, 2 * workers + 1, kReadAheadBudget};
  return run_ordered<FileAhead, Reader>(
      shape,
      [&](Reader& rd, int32_t index, FileAhead& fa) {
        read_ahead(fa, rd, start, stop, step, index + 1);
      },
      [&](int32_t index, FileAhead& fa) {
        try {
          file_ahead(fa, in, index + 1, tmin, tmax, *known);
        } catch (RecordError& e) {
          if (e.place.empty()) e.place = in.place();
          throw;
        }
        in.close();
        fa.reset();
      },
      [](const FileAhead& fa) { return fa.bytes(); });
}

}  // namespace

void set_read_observer(ReadObserver* observer) { g_observer = observer; }

void rinex1(int unit, int32_t start, int32_t stop, int32_t step, int32_t file, int32_t& tmin,
            int32_t& tmax) {
  InUnit& in = in_unit(unit);
  Reader& rd = g_reader;
  in.rewind();
  read_header(in, rd, [](const char* line, int code) {
    console(ListLine() << line);
    obsq::stop(code);
  });
  if (g_observer != nullptr) g_observer->types(file, rd.types, rd.ntypes);
  FilingSink sink{rd, file, tmin, tmax};
  read_epochs(in, rd, start, stop, step, master.sys[file] == 'R', master.leapsec, sink);
}

void storeobs(int unit, int32_t start, int32_t stop, int32_t step, int32_t& tmin, int32_t& tmax) {
  newlng();
  newmst();
  write_line(kConsoleUnit, "processing files ...");
  tmin = 1000000;
  tmax = -1000000;
  const int32_t nfiles = master.nfiles;
  InUnit& in = in_unit(unit);
  // Files are read ahead on worker threads when there are several; an observer is shown what
  // they read as the files are filed.
  const int workers = nfiles > 1 ? worker_threads() : 0;
  if (workers == 0 || !read_files_ahead(in, start, stop, step, nfiles, workers, tmin, tmax)) {
    for (int32_t file = 1; file <= nfiles; ++file) {
      const std::string_view fname(master.fname[file], kNameLength);
      try {
        in.open(fname.substr(0, static_cast<size_t>(ntrim(fname))));
        rinex1(unit, start, stop, step, file, tmin, tmax);
      } catch (RecordError& e) {
        if (e.place.empty()) e.place = in.place();
        throw;
      }
      in.close();
    }
  }
  assert(filing_order_holds());  // what the output writer relies on
  console(ListLine() << "time range: " << tmin << tmax);
  if (master2.frac > 0.9999) {
    master2.mjd += 1;
    master2.frac = 0.0;
    int32_t hour = 0;
    int32_t minute = 0;
    double seconds = 0.0;
    mjdciv(master2.mjd, master2.frac, master2.year, master2.month, master2.day, hour, minute,
           seconds);
  }
  console(ListLine() << "ref. date : " << master2.year << master2.month << master2.day);
  int32_t nsat = 0;
  nummst(nsat);
  console(ListLine() << "total sats: " << nsat);
}

}  // namespace obsq
