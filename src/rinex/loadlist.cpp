#include "rinex/loadlist.hpp"

#include <unistd.h>

#include <cstring>
#include <string>

#include "records/fields.hpp"
#include "records/runstate.hpp"
#include "records/stopcodes.hpp"
#include "records/units.hpp"
#include "rinex/rinexrec.hpp"
#include "tables/tables.hpp"
#include "timeconv/calendar.hpp"

namespace obsq {

namespace {

// Whether the named file exists and may be read (a name holding a zero byte names nothing).
bool readable(std::string_view name) {
  if (name.find('\0') != std::string_view::npos) return false;
  return ::access(std::string(name).c_str(), R_OK) == 0;
}

// Enters an admitted type code into the observation-type table; a code already there, or a
// full table, changes nothing.
void offer_type(const TypeCode& code) {
  if (admitobs(std::string_view(code.data(), 2)) == 1) {
    int32_t slot = 0;
    putmob(code, slot);
  }
}

}  // namespace

void loadlist(int listunit, int rinexunit) {
  newmob();
  master.leapsec = 0;
  master.nfiles = 0;
  InUnit& list = in_unit(listunit);
  InUnit& rinex = in_unit(rinexunit);
  try {
    std::string_view rec;
    while (list.next(rec, kNameLength)) {
      char line[kNameLength];
      get_a(rec, 1, kNameLength, line, kNameLength);
      const std::string_view text(line, kNameLength);
      const int32_t len = ntrim(text);
      if (len == 0 || line[0] == '*') continue;
      const std::string_view name = text.substr(0, static_cast<size_t>(len));
      if (!readable(name)) continue;

      rinex.open(name);
      master.nfiles += 1;
      if (master.nfiles > kMaxFiles) {
        console(ListLine() << "file name:");
        console(ListLine() << text);
        console(ListLine() << "exceeds maximum number of input files: " << kMaxFiles);
        console(ListLine() << "FATAL");
        stop(stops::kTooManyFiles);
      }
      const std::string_view first = rinex.need(kRinexRecord);
      if (!has_label(first, 61, "RINEX VERSION / TYPE")) {
        console(ListLine() << kNotVersionTypeLine);
        console(ListLine() << name);
        master.nfiles -= 1;
        continue;
      }
      const double version = get_f(first, 1, 9, 2);
      char sys = ' ';
      get_a(first, 41, 1, &sys, 1);
      if (sys == ' ') sys = 'G';
      if (!version_merged(version)) {
        char cols[9];
        get_a(first, 1, 9, cols, 9);
        console(ListLine() << "version number:");
        console(ListLine() << std::string_view(cols, 9));
        console(ListLine() << kTooNewLine);
        console(ListLine() << "file name:");
        console(ListLine() << name);
        master.nfiles -= 1;
        continue;
      }
      const int i = master.nfiles;
      std::memcpy(master.fname[i], line, kNameLength);
      master.sys[i] = sys;
      master2.frac = -1.0;
      master2.mjd = -1;
      scan1(rinexunit);
      rinex.close();
    }
  } catch (RecordError& e) {
    if (e.place.empty()) e.place = rinex.is_open() ? rinex.place() : list.place();
    throw;
  }
  int32_t n = 0;
  nummob(n);
  console(ListLine() << "all obs types: " << n);
}

void scan1(int rinexunit) {
  InUnit& rinex = in_unit(rinexunit);
  const int i = master.nfiles;
  rinex.rewind();
  for (;;) {
    const std::string_view rec = rinex.need(kRinexRecord);
    if (has_label(rec, 61, "END OF HEADER")) return;
    if (has_label(rec, 61, "MARKER NAME")) {
      get_a(rec, 1, 4, master.marker[i], 4);
    } else if (has_label(rec, 61, "LEAP SECONDS")) {
      master.leapsec = get_i(rec, 1, 6);
    } else if (has_label(rec, 61, "ANT # / TYPE")) {
      get_a(rec, 21, 20, master.antenna[i], 20);
    } else if (has_label(rec, 61, "ANTENNA: DELTA H/E/N")) {
      master.dH[i] = get_f(rec, 1, 14, 4);
      master.dE[i] = get_f(rec, 15, 14, 4);
      master.dN[i] = get_f(rec, 29, 14, 4);
    } else if (has_label(rec, 61, "TIME OF FIRST OBS")) {
      const int32_t year = get_i(rec, 1, 6);
      const int32_t month = get_i(rec, 7, 6);
      const int32_t day = get_i(rec, 13, 6);
      const int32_t hour = get_i(rec, 19, 6);
      const int32_t minute = get_i(rec, 25, 6);
      const double seconds = get_f(rec, 31, 13, 7);
      if (has_label(rec, 49, "GPS")) master.sys[i] = 'G';
      if (has_label(rec, 49, "GLO")) master.sys[i] = 'R';
      if (has_label(rec, 49, "GAL")) master.sys[i] = 'E';
      int32_t mjd = 0;
      double frac = 0.0;
      civmjd(year, month, day, hour, minute, seconds, mjd, frac);
      if (mjd > master2.mjd || (mjd == master2.mjd && frac > master2.frac)) {
        master2.frac = frac;
        master2.mjd = mjd;
        master2.year = year;
        master2.month = month;
        master2.day = day;
      }
    } else if (has_label(rec, 61, kTypesLabel)) {
      read_type_codes(rinex, rec, get_i(rec, 1, 6), offer_type, [](std::string_view next) {
        if (!has_label(next, 61, kTypesLabel)) {
          console(ListLine() << "FATAL -- need # / TYPES OF OBSERV record");
          stop(stops::kNoTypesContinuation);
        }
      });
    }
  }
}

int32_t admitobs(std::string_view code) {
  auto upper = [](char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; };
  const char c1 = upper(code.size() > 0 ? code[0] : ' ');
  if (c1 != 'P' && c1 != 'C' && c1 != 'L') return 0;
  const char c2 = code.size() > 1 ? code[1] : ' ';
  switch (c2) {
    case '1':
    case '2':
    case '5':
    case '6':
    case '7':
    case '8': return 1;
    default: break;
  }
  switch (upper(c2)) {
    case 'A':
    case 'B':
    case 'C':
    case 'D': return 1;
    default: return 0;
  }
}

}  // namespace obsq
