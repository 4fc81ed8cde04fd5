// NetCDF-4 output: one float64 variable per observation type over (epoch, receiver, satellite),
// NaN where the file has no value. The epoch count and the satellites are known only once the
// whole day is read, so the files are read twice: first skimmed for epochs, satellites and
// types, then read whole and checked while the matrices are written, a slab of epochs at a time
// (chunks.hpp). Memory stays at two slabs.
#include <netcdf.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <unordered_map>

#include "chunks.hpp"
#include "cli/cli.hpp"
#include "export.hpp"
#include "pagetee.hpp"
#include "quiltfile/ahead.hpp"
#include "records/workers.hpp"

namespace obsq::exporter {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr size_t kChunkBytes = size_t{1} << 21;  // about 2 MiB per chunk of recorded_seconds

void check(int status, const std::string& path) {
  if (status != NC_NOERR) throw cli::Failure{path + ": NetCDF: " + nc_strerror(status)};
}

// What the first pass gathers.
struct Plan {
  std::vector<std::string> types;  // codes as written, first-seen order
  std::unordered_map<std::string, int> type_index;
  int32_t first = 0;
  size_t epochs = 0;
  int32_t year = 0, month = 0, day = 0;
  bool dated = false;
};

// A block's satellites and type as indexes of the plan; -1 for a type not exported.
int lookup(const std::unordered_map<std::string, int>& m, const std::string& k) {
  auto it = m.find(k);
  return it == m.end() ? -1 : it->second;
}

// The variable name of a type: its code without blanks when that is a plain name free for it,
// otherwise "type_" and the code with other characters as "_" (numbered when taken).
std::vector<std::string> type_names(const std::vector<std::string>& types) {
  std::vector<std::string> taken = {"epoch", "receiver", "satellite", "marker", "antenna",
                                    "dh",    "de",       "dn",        "system", "recorded_seconds"};
  std::vector<std::string> names;
  for (const std::string& t : types) {
    std::string n = trimmed(t);
    const bool plain = !n.empty() && std::isalpha(static_cast<unsigned char>(n[0])) &&
                       std::all_of(n.begin(), n.end(), [](char c) {
                         return std::isalnum(static_cast<unsigned char>(c));
                       });
    if (!plain || std::find(taken.begin(), taken.end(), n) != taken.end()) {
      n = "type_";
      for (char c : t) n += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      const std::string base = n;
      for (int k = 2; std::find(taken.begin(), taken.end(), n) != taken.end(); ++k)
        n = base + "_" + std::to_string(k);
    }
    taken.push_back(n);
    names.push_back(n);
  }
  return names;
}

// A block's checks beyond the reader's: a receiver's epoch time is one per epoch (every block
// must tell the same), and values of asterisks are left out with a warning.
void check_block(const quilt::Stream& day, const quilt::Block& b, std::vector<double>& seconds,
                 std::vector<long>& seconds_line) {
  for (size_t r = 0; r < b.rows.size(); ++r) {
    const size_t i = static_cast<size_t>(b.rows[r]);
    const double s = b.epoch_seconds[r];
    if (seconds_line[i] == 0) {
      seconds[i] = s, seconds_line[i] = b.line;
    } else if (std::memcmp(&seconds[i], &s, sizeof s) != 0) {
      throw quilt::FormatError{day.path(), b.line,
                               "receiver " + std::to_string(i) +
                                   " has other epoch seconds than in the block at line " +
                                   std::to_string(seconds_line[i])};
    }
  }
  for (size_t k = 0; k < b.values.size(); ++k)
    if (b.text[k * 14] == '*' && ++warnings.asterisks == 1)
      warnings.located(
          day.path(), b.line + static_cast<long>(b.rows.size() + 2 + k / b.columns()),
          "a value of asterisks (a number too wide for its field) is left out, as NaN");
}

// The plan from a skim (skim true) or from a whole read that checks every value and seconds
// field and warns about values of asterisks on the way.
Plan first_pass(const Options& o, Selection& sel, Satellites& sats, bool skim) {
  Runs day(o.inputs, o.allow_gaps, skim);
  Plan plan;
  sel.epochs(day, plan.first, plan.epochs);
  quilt::Epoch ep;
  const size_t nrec = day.header().receivers.size();
  std::vector<double> seconds(nrec);
  std::vector<long> seconds_line(nrec);
  std::vector<int32_t> cols;
  while (day.next(ep)) {
    if (!plan.dated)
      plan.year = ep.year, plan.month = ep.month, plan.day = ep.day, plan.dated = true;
    if (!sel.second(ep.second)) continue;
    std::fill(seconds_line.begin(), seconds_line.end(), 0);
    for (const quilt::Block& b : ep.blocks) {
      if (!sel.type(b.type)) continue;
      if (plan.type_index.emplace(b.type, static_cast<int>(plan.types.size())).second)
        plan.types.push_back(b.type);
      if (skim) {  // the codes only: the values that a collision needs are not read
        for (const std::string& code : b.satellites) sats.number(code);
      } else {
        sats.map(b, day.path(), cols);
        check_block(day, b, seconds, seconds_line);
      }
    }
  }
  if (!skim) warnings.finish(day);
  return plan;
}

// The plan from a skim. A file that fails the skim is read whole instead, so that its first
// fault is the one reported, with the warnings before it, as a whole read meets them.
Plan make_plan(const Options& o, Selection& sel, Satellites& sats) {
  try {
    return first_pass(o, sel, sats, true);
  } catch (const quilt::FormatError&) {
    Satellites fresh(o);
    first_pass(o, sel, fresh, false);
    throw;  // not reached while a skim checks less than a whole read
  }
}

struct Writer {
  int nc = -1;
  std::string path;
  void put_att(int var, const char* name, const std::string& text) {
    check(nc_put_att_text(nc, var, name, text.size(), text.c_str()), path);
  }
  void put_att(int var, const char* name, double v) {
    check(nc_put_att_double(nc, var, name, NC_DOUBLE, 1, &v), path);
  }
  void put_att(int var, const char* name, int v) {
    check(nc_put_att_int(nc, var, name, NC_INT, 1, &v), path);
  }
  int def(const char* name, nc_type type, std::vector<int> dims) {
    int var = -1;
    check(nc_def_var(nc, name, type, static_cast<int>(dims.size()), dims.data(), &var), path);
    return var;
  }
  int def_double(const char* name, std::vector<int> dims, const char* long_name,
                 const char* units) {
    const int var = def(name, NC_DOUBLE, std::move(dims));
    check(nc_def_var_fill(nc, var, 0, &kNaN), path);
    put_att(var, "long_name", long_name);
    if (units) put_att(var, "units", units);
    return var;
  }
  void put_strings(int var, const std::vector<std::string>& s) {
    if (s.empty()) return;
    std::vector<const char*> p;
    for (const auto& x : s) p.push_back(x.c_str());
    check(nc_put_var_string(nc, var, p.data()), path);
  }
};

}  // namespace

void write_netcdf(const Options& o, const std::string& path, report::Day* page) {
  Selection sel(o);
  Satellites sats(o);
  const Plan plan = make_plan(o, sel, sats);
  Runs day(o.inputs, o.allow_gaps);
  const quilt::Header& h = day.header();
  const size_t R = h.receivers.size(), S = sats.names().size(), E = plan.epochs;
  Writer w;
  w.path = path;
  check(nc_create(path.c_str(), NC_CLOBBER | NC_NETCDF4, &w.nc), path);
  struct Closer {
    int& nc;
    ~Closer() {
      if (nc >= 0) nc_close(nc);
    }
  } closer{w.nc};

  int d_epoch, d_rec, d_sat;  // a dimension without any element is made unlimited
  check(nc_def_dim(w.nc, "epoch", E ? E : NC_UNLIMITED, &d_epoch), path);
  check(nc_def_dim(w.nc, "receiver", R ? R : NC_UNLIMITED, &d_rec), path);
  check(nc_def_dim(w.nc, "satellite", S ? S : NC_UNLIMITED, &d_sat), path);

  char date[32] = "";
  if (plan.dated && plan.year > 0 && plan.month >= 1 && plan.month <= 12 && plan.day >= 1 &&
      plan.day <= 31)
    std::snprintf(date, sizeof date, "%04d-%02d-%02d", plan.year, plan.month, plan.day);
  const int v_epoch = w.def("epoch", NC_INT, {d_epoch});
  w.put_att(v_epoch, "standard_name", "time");
  w.put_att(v_epoch, "long_name", "nominal epoch, second of day (GPS time)");
  w.put_att(v_epoch, "units",
            *date ? std::string("seconds since ") + date + " 00:00:00" : std::string("s"));
  if (*date) w.put_att(v_epoch, "calendar", "standard");
  w.put_att(v_epoch, "axis", "T");
  const int v_sat = w.def("satellite", NC_STRING, {d_sat});
  w.put_att(v_sat, "long_name",
            o.satellites_as_written ? "satellite code as written (system letter and number)"
                                    : "satellite: system letter and two-digit number");
  const int v_marker = w.def("marker", NC_STRING, {d_rec});
  w.put_att(v_marker, "long_name", "marker of the receiver's file");
  const int v_antenna = w.def("antenna", NC_STRING, {d_rec});
  w.put_att(v_antenna, "long_name", "antenna of the receiver's file, 20 characters as written");
  const int v_ecc[3] = {w.def_double("dh", {d_rec}, "antenna eccentricity: height", "m"),
                        w.def_double("de", {d_rec}, "antenna eccentricity: east", "m"),
                        w.def_double("dn", {d_rec}, "antenna eccentricity: north", "m")};
  const int v_system = w.def("system", NC_STRING, {d_rec});
  w.put_att(v_system, "long_name", "satellite system letter of the receiver's file");
  const int v_rsec = w.def_double("recorded_seconds", {d_epoch, d_rec},
                                  "seconds field of the epoch time the receiver recorded", "s");
  const size_t rsec_chunk[2] = {
      std::max<size_t>(1, std::min<size_t>(E, kChunkBytes / 8 / std::max<size_t>(R, 1))),
      std::max<size_t>(R, 1)};
  check(nc_def_var_chunking(w.nc, v_rsec, NC_CHUNKED, rsec_chunk), path);

  // The observation types: chunks of a few receivers over part of the day (chunks.hpp).
  Layout layout;
  layout.epochs = E, layout.receivers = R, layout.satellites = S;
  layout.types = plan.types.size();
  layout.shape = chunk_shape(E, R, S);
  const size_t chunk[3] = {layout.shape.epochs, layout.shape.receivers, layout.shape.satellites};
  const size_t chunk_bytes = layout.shape.values() * 8;
  const std::vector<std::string> names = type_names(plan.types);
  std::vector<int> v_type;
  for (size_t k = 0; k < plan.types.size(); ++k) {
    const int v = w.def_double(names[k].c_str(), {d_epoch, d_rec, d_sat},
                               ("observation " + trimmed(plan.types[k])).c_str(), nullptr);
    w.put_att(v, "observation_type", plan.types[k]);
    check(nc_def_var_chunking(w.nc, v, NC_CHUNKED, chunk), path);
    // Deflate alone: the byte shuffle before it would cost as much time again and, with most
    // of a matrix NaN, give larger chunks.
    if (o.deflate > 0) check(nc_def_var_deflate(w.nc, v, 0, 1, o.deflate), path);
    // Room for the chunk being filled, so that it is written once, whole.
    check(nc_set_var_chunk_cache(w.nc, v, 2 * chunk_bytes + 4096, 1009, 1.0f), path);
    v_type.push_back(v);
  }

  w.put_att(NC_GLOBAL, "Conventions", "CF-1.8");
  w.put_att(NC_GLOBAL, "title",
            "GNSS observations of a receiver network, merged per epoch by obsquilt");
  std::string sources;
  for (const auto& p : day.paths()) sources.append(sources.empty() ? "" : " ").append(p);
  w.put_att(NC_GLOBAL, "source", "obsquilt.txt: " + sources);
  char stamp[64];
  const std::time_t now = std::time(nullptr);
  std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", std::gmtime(&now));
  w.put_att(NC_GLOBAL, "history", std::string(stamp) + " " + o.command_line);
  w.put_att(NC_GLOBAL, "program", std::string("obsquilt-export ") + std::string(cli::version()));
  if (*date) w.put_att(NC_GLOBAL, "date", date);
  w.put_att(NC_GLOBAL, "step_seconds", static_cast<int>(day.step()));
  if (E) {
    w.put_att(NC_GLOBAL, "first_second", static_cast<int>(plan.first));
    w.put_att(NC_GLOBAL, "last_second",
              static_cast<int>(plan.first + static_cast<int32_t>(E - 1) * day.step()));
  }
  std::string types;
  for (const auto& t : plan.types) types.append(types.empty() ? "" : " ").append(trimmed(t));
  w.put_att(NC_GLOBAL, "observation_types", types);
  check(nc_enddef(w.nc), path);

  std::vector<int> seconds(E);
  for (size_t e = 0; e < E; ++e) seconds[e] = plan.first + static_cast<int32_t>(e) * day.step();
  if (E) check(nc_put_var_int(w.nc, v_epoch, seconds.data()), path);
  w.put_strings(v_sat, sats.names());
  std::vector<std::string> markers, antennas, systems;
  std::vector<double> ecc[3];
  for (const quilt::Receiver& r : h.receivers) {
    markers.push_back(r.marker.c_str());  // up to a zero byte: a marker never filled is ""
    antennas.push_back(r.antenna.c_str());
    systems.push_back(std::string(1, r.system).c_str());
    ecc[0].push_back(r.dh), ecc[1].push_back(r.de), ecc[2].push_back(r.dn);
  }
  w.put_strings(v_marker, markers);
  w.put_strings(v_antenna, antennas);
  w.put_strings(v_system, systems);
  for (int k = 0; k < 3; ++k)
    if (R) check(nc_put_var_double(w.nc, v_ecc[k], ecc[k].data()), path);

  // Second pass: the slabs of epochs filled here and written by the library (sequential run)
  // or compressed on another thread and written chunk by chunk.
  std::unique_ptr<SlabWriter> writer;
  if (const char* seq = std::getenv("OBSQUILT_SEQUENTIAL"); seq && std::string(seq) == "1") {
    writer = library_writer(w.nc, path, layout, v_type, v_rsec);
  } else {
    const int nc = w.nc;
    w.nc = -1;
    check(nc_close(nc), path);
    writer = direct_writer(path, layout, names);
  }
  auto slab = std::make_unique<Slab>(layout.types, layout.slab_values());
  bool pending = false;
  std::vector<double> rsec(E * R, kNaN), block_seconds(R);
  std::vector<long> seconds_line(R);
  std::vector<int32_t> cols;
  quilt::Epoch ep;
  // The files are parsed ahead on another core while the slabs are filled and compressed.
  quilt::ReadAhead ahead(day, worker_threads() > 0);
  // The page, when asked for, is gathered from the same epochs on a core of its own.
  PageTee tee(ahead, page, worker_threads() > 0);
  while (tee.next(ep)) {
    if (!sel.second(ep.second)) continue;
    const size_t e = static_cast<size_t>((ep.second - plan.first) / day.step());
    if (ep.second < plan.first || e >= E)
      throw quilt::FormatError{ahead.path(), ep.line, "the file changed while it was read"};
    if (pending && e >= slab->first + layout.shape.epochs) {
      writer->put(slab);
      pending = false;
    }
    if (!pending) slab->first = e / layout.shape.epochs * layout.shape.epochs;
    std::fill(seconds_line.begin(), seconds_line.end(), 0);
    for (const quilt::Block& b : ep.blocks) {
      const int t = lookup(plan.type_index, b.type);
      if (t < 0) continue;
      const size_t known = sats.names().size();
      sats.map(b, ahead.path(), cols);
      if (sats.names().size() != known)
        throw quilt::FormatError{ahead.path(), b.line, "the file changed while it was read"};
      check_block(ahead, b, block_seconds, seconds_line);
      double* matrix = slab->values[static_cast<size_t>(t)].data();
      for (size_t r = 0; r < b.rows.size(); ++r) {
        const size_t row = static_cast<size_t>(b.rows[r]);
        rsec[e * R + row] = b.epoch_seconds[r];
        const double* v = b.values.data() + r * cols.size();
        double* m = matrix + layout.at(e - slab->first, row);
        for (size_t c = 0; c < cols.size(); ++c)
          if (quilt::present(v[c])) m[cols[c]] = v[c];
      }
      slab->filled[static_cast<size_t>(t)] = 1;
      pending = true;
    }
  }
  if (pending) writer->put(slab);
  writer->finish(rsec);
  writer.reset();
  tee.finish();
  warnings.finish(day);
  sel.report_unmet();
  if (plan.epochs == 0)
    warnings.general("no epoch to export: the file holds none within the seconds asked for");
  if (w.nc < 0) return;
  const int nc = w.nc;
  w.nc = -1;
  check(nc_close(nc), path);
}

}  // namespace obsq::exporter
