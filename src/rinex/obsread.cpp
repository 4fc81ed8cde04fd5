#include "rinex/obsread.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <string_view>

#include "driver/records/records.hpp"
#include "driver/records/runstate.hpp"
#include "driver/records/units.hpp"
#include "rinex/rinexrec.hpp"
#include "tables/obskey.hpp"
#include "tables/tables.hpp"
#include "timeconv/calendar.hpp"

namespace obsq {

namespace {

// Working state of one file's reading; fixed size, set up per file.
struct Reader {
  int32_t ntypes = 0;              // type count of the file's header
  int32_t nlist = 0;               // type codes in the list
  TypeCode types[kMaxTypes];       // the file's type codes in header order
  int32_t nwanted = 0;             // wanted types, as positions in the type list
  int32_t wanted_pos[kMaxTypes];
  int32_t wanted_no[kMaxTypes];    // their type numbers
  SatCode sats[kMaxSats];          // the epoch's satellite list
  double values[kMaxTypes];        // one satellite's values in type-list order
};

Reader g_reader;

void fatal_insert(int32_t slot, int code) {
  console(ListLine() << (slot <= 0 ? "FATAL - long table overflow"
                                    : "FATAL - duplicate key elements"));
  stop(code);
}

// Files one value of an accepted epoch under key (putlng on the store held by the caller); its
// slot is the one the insert just took, where a look-up would find it.
inline void file_value(StoreTable& store, double* values, int64_t key, double value, int code) {
  int32_t slot = 0;
  if (store.put(key, slot) != 1) fatal_insert(slot, code);
  values[store.next() - 1] = value;
}

// Value i (0-based) of an observation record: the missing-value marker for 14 blank columns.
inline double take_value(std::string_view rec, int i) {
  const int col = kValueColumns * i + 1;
  if (double v; get_f14_3_usual(rec, col, v)) return v;
  return blank_field(rec, col, 14) ? kMissing : get_f(rec, col, 14, 3);
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
// replaces an earlier one, and its continuation records are taken as they come.
void read_header(InUnit& in, Reader& rd) {
  rd.ntypes = 0;
  rd.nlist = 0;
  for (;;) {
    std::string_view rec = in.need(kRinexRecord);
    if (has_label(rec, 61, "END OF HEADER")) break;
    if (!has_label(rec, 61, kTypesLabel)) continue;
    const int32_t count = get_i(rec, 1, 6);
    if (count > kMaxTypes) {
      console(ListLine() << "FATAL -- too many obs in each epoch");
      stop(45787);
    }
    rd.ntypes = count;
    rd.nlist = 0;
    read_type_codes(in, rec, count, [&](const TypeCode& c) { rd.types[rd.nlist++] = c; },
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

}  // namespace

void rinex1(int unit, int32_t start, int32_t stop, int32_t step, int32_t file, int32_t& tmin,
            int32_t& tmax) {
  InUnit& in = in_unit(unit);
  Reader& rd = g_reader;
  in.rewind();
  read_header(in, rd);

  const bool glonass = master.sys[file] == 'R';
  const double leap = master.leapsec;
  // Observation records per satellite: ceil(types / 5), at least one.
  const int32_t obs_records =
      std::max<int32_t>(1, (rd.ntypes + kValuesPerRecord - 1) / kValuesPerRecord);
  double* const values = rd.values;
  StoreTable& store = lng();
  double* const stored = dbase();

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
    const bool accepted =
        second_of_day(t, s) && s % step == 0 && start <= s && s <= stop;
    if (!accepted) {
      // Read past by counting records: continuation lists, then the observation records.
      if (nsat > 0)
        in.skip((nsat + kSatsPerRecord - 1) / kSatsPerRecord - 1 + static_cast<long>(nsat) * obs_records,
                kRinexRecord);
      continue;
    }
    tmin = std::min(tmin, s);
    tmax = std::max(tmax, s);
    file_value(store, stored, epoch_key(file, s), seconds, 65600);

    // Satellite list, 12 codes a record.
    int32_t nlist = 0;
    int32_t left = nsat;
    auto take_sats = [&](std::string_view r, int n) {
      for (int k = 0; k < n; ++k) {
        SatCode c;
        get_a(r, 33 + 3 * k, 3, c.data(), 3);
        rd.sats[nlist++] = c;
        int32_t slot = 0;
        putmst(c, slot);
      }
    };
    while (left > kSatsPerRecord) {
      take_sats(rec, kSatsPerRecord);
      left -= kSatsPerRecord;
      rec = in.need(kRinexRecord);
    }
    if (left > 0) take_sats(rec, left);

    // Observation records, 5 values a record, for each satellite in list order.
    for (int32_t k = 0; k < nsat; ++k) {
      rec = in.need(kRinexRecord);
      int32_t nv = 0;
      left = rd.ntypes;
      while (left > kValuesPerRecord) {
        for (int i = 0; i < kValuesPerRecord; ++i) values[nv++] = take_value(rec, i);
        left -= kValuesPerRecord;
        rec = in.need(kRinexRecord);
      }
      for (int i = 0; i < left; ++i) values[nv++] = take_value(rec, i);
      if (rd.nwanted == 0) continue;
      const int32_t satno = keyp(rd.sats[k]);
      const int64_t base = key_of(file, s, satno, 0);
      for (int32_t w = 0; w < rd.nwanted; ++w)
        file_value(store, stored, base + rd.wanted_no[w], values[rd.wanted_pos[w]], 65656);
    }
  }
}

void storeobs(int unit, int32_t start, int32_t stop, int32_t step, int32_t& tmin, int32_t& tmax) {
  newlng();
  newmst();
  write_line(kConsoleUnit, "processing files ...");
  tmin = 1000000;
  tmax = -1000000;
  const int32_t nfiles = master.nfiles;
  InUnit& in = in_unit(unit);
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
