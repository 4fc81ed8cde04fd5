// obsquilt-export: every number of the NetCDF file and of the CSV against the text of the
// reference outputs, and windows of a day, merged by the real obsquilt, exported as one file
// equal to the export of the whole run.
#include <gtest/gtest.h>
#include <netcdf.h>

#include <array>
#include <charconv>
#include <cmath>
#include <map>

#include "../child.hpp"
#include "../e2e/scenario.hpp"
#include "../support.hpp"
#include "quiltfile/quiltfile.hpp"

namespace obsq::test {
namespace {

namespace fs = std::filesystem;
using Values = std::map<std::string, std::string>;  // "what|second|receiver|satellite" -> value

std::string exact(double v) {
  char b[64];
  std::snprintf(b, sizeof b, "%a", v);
  return b;
}

// Runs obsquilt-export with the arguments (separated by blanks); its exit status, its error
// stream in `err`.
int run_export(const std::string& args, std::string* err = nullptr) {
  const ChildResult r = run_child({OBSQUILT_EXPORT, words(args)});
  if (err) *err = r.err;
  return r.status;
}

// The reference outputs: those of ../shared/golden, or, without them, the outputs of the
// project's own scenarios that complete.
std::vector<fs::path> reference_outputs() {
  std::vector<fs::path> files;
  const fs::path golden = shared_dir() / "golden";
  const bool own = !fs::is_directory(golden);
  for (const auto& sc : fs::directory_iterator(own ? fs::path(OBSQUILT_SCENARIO_DIR) : golden)) {
    const fs::path txt = sc.path() / "expected.obsquilt.txt";
    if (fs::exists(txt) && (!own || std::stoi(read_file(sc.path() / "expected.status")) == 0))
      files.push_back(txt);
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Whether obsquilt-export warns about a file: no epoch to export, a value of asterisks (a
// number too wide for its field), or rows that cannot be told apart
// (../quiltfile/ambiguous-rows.txt).
bool warns(const fs::path& txt) {
  const std::string text = read_file(txt);
  bool epochs = false, asterisks = false;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    epochs |= l.starts_with("e ");
    asterisks |= l.starts_with("o ") && l.find('*') != std::string::npos;
  }
  std::istringstream names(read_file(OBSQUILT_AMBIGUOUS_ROWS));
  bool ambiguous = false;
  const fs::path folder = txt.parent_path();
  const std::string name =
      folder.parent_path().filename().string() + "/" + folder.filename().string();
  for (std::string n; std::getline(names, n);) ambiguous |= n == name;
  return !epochs || asterisks || ambiguous;
}

// Every value, recorded second and receiver of a NetCDF file written by obsquilt-export.
Values netcdf_values(const std::string& path) {
  int nc = -1, nvars = 0;
  EXPECT_EQ(nc_open(path.c_str(), NC_NOWRITE, &nc), NC_NOERR) << path;
  nc_inq_nvars(nc, &nvars);
  size_t n[3] = {0, 0, 0};  // epochs, receivers, satellites
  for (int k = 0, dim = -1; k < 3; ++k)
    nc_inq_dimid(nc,
                 k == 0   ? "epoch"
                 : k == 1 ? "receiver"
                          : "satellite",
                 &dim),
        nc_inq_dimlen(nc, dim, &n[k]);
  const size_t E = n[0], R = n[1], S = n[2];
  std::vector<int> epoch(E);
  std::vector<char*> sat(S), marker(R);
  std::vector<double> rec(E * R);
  const auto var = [&](const char* name) {
    int v = -1;
    nc_inq_varid(nc, name, &v);
    return v;
  };
  if (E) nc_get_var_int(nc, var("epoch"), epoch.data());
  if (S) nc_get_var_string(nc, var("satellite"), sat.data());
  if (R) nc_get_var_string(nc, var("marker"), marker.data());
  if (E && R) nc_get_var_double(nc, var("recorded_seconds"), rec.data());
  Values out;
  for (size_t r = 0; r < R; ++r) out["marker|" + std::to_string(r)] = marker[r];
  for (size_t e = 0; e < E * R; ++e)
    if (!std::isnan(rec[e]))
      out["rec|" + std::to_string(epoch[e / R]) + "|" + std::to_string(e % R)] = exact(rec[e]);
  std::vector<double> data(E * R * S);
  for (int v = 0; v < nvars; ++v) {
    char type[3] = "";
    if (nc_get_att_text(nc, v, "observation_type", type) != NC_NOERR || data.empty()) continue;
    nc_get_var_double(nc, v, data.data());
    for (size_t k = 0; k < data.size(); ++k)
      if (!std::isnan(data[k]))
        out[std::string(type, 2) + "|" + std::to_string(epoch[k / (R * S)]) + "|" +
            std::to_string(k / S % R) + "|" + sat[k % S]] = exact(data[k]);
  }
  if (S) nc_free_string(S, sat.data());
  if (R) nc_free_string(R, marker.data());
  nc_close(nc);
  return out;
}

std::string csv_text(std::string_view s) {
  s = s.substr(0, s.find('\0'));
  return s.find_first_of(", \"") == std::string_view::npos ? std::string(s)
                                                           : "\"" + std::string(s) + "\"";
}

// A satellite code as the export writes it by default: blank letter G, blank tens digit 0.
std::string two_digits(std::string code) {
  if (code.size() == 3 && code[0] == ' ') code[0] = 'G';
  if (code.size() == 3 && code[1] == ' ') code[1] = '0';
  return code;
}

// What the text says: the NetCDF values as netcdf_values gives them, and the CSV.
void text_values(const fs::path& file, Values& values, std::string& csv, bool as_written) {
  quilt::Reader rd(file.string());
  const auto& recv = rd.header().receivers;
  for (size_t r = 0; r < recv.size(); ++r)
    values["marker|" + std::to_string(r)] = recv[r].marker.c_str();
  csv = "second_of_day,receiver,marker,satellite,type,value\n";
  quilt::Epoch ep;
  while (rd.next(ep)) {
    const std::string sec = std::to_string(ep.second);
    for (const auto& b : ep.blocks) {
      for (size_t r = 0; r < b.rows.size(); ++r) {
        const std::string row = std::to_string(b.rows[r]);
        if (!std::isnan(b.epoch_seconds[r]))
          values["rec|" + sec + "|" + row] = exact(b.epoch_seconds[r]);
        for (size_t c = 0; c < b.columns(); ++c) {
          const std::string sat = as_written ? b.satellites[c] : two_digits(b.satellites[c]);
          const std::string_view d = b.value_digits(r, c);
          double v = NAN;
          std::from_chars(d.data(), d.data() + d.size(), v);
          if (!(v < 9999999999.99)) continue;
          // A satellite the row has already under another code is one value.
          if (values.count(b.type + "|" + sec + "|" + row + "|" + sat)) continue;
          values[b.type + "|" + sec + "|" + row + "|" + sat] = exact(v);
          csv += sec + "," + row + "," + csv_text(recv[static_cast<size_t>(b.rows[r])].marker) +
                 "," + csv_text(sat) + "," + b.type + "," + std::string(d) + "\n";
        }
      }
    }
  }
}

std::string first_difference(const Values& got, const Values& want) {
  const auto [g, w] = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
  return (g == got.end() ? "(end)" : g->first + "=" + g->second) + " where expected " +
         (w == want.end() ? "(end)" : w->first + "=" + w->second);
}

TEST(Export, EveryNumberEqualsTheTextOfEachReferenceOutput) {
  const std::vector<fs::path> outputs = reference_outputs();
  ASSERT_GE(outputs.size(), 10u);
  ScratchDir dir;
  for (const fs::path& txt : outputs) {
    const std::string name = txt.parent_path().filename().string();
    std::string err;
    const int status = run_export("-o " + name + ".nc " + txt.string(), &err);
    if (fs::file_size(txt) == 0) {  // a failed run's empty file is refused, and nothing written
      EXPECT_EQ(status, 2) << name;
      EXPECT_NE(err.find(txt.string() + ":1: error: "), std::string::npos) << err;
      EXPECT_FALSE(fs::exists(name + ".nc"));
      continue;
    }
    // A warning when there is no epoch, a value of asterisks or rows that cannot be told apart.
    // Satellite codes in two digits, and as written on request.
    const bool shared = warns(txt);
    EXPECT_EQ(status, shared ? 1 : 0) << name << ": " << err;
    for (const bool as_written : {false, true}) {
      const std::string opt = as_written ? "--force --satellites-as-written " : "--force ";
      EXPECT_EQ(run_export(opt + "-o " + name + ".nc " + txt.string()), shared ? 1 : 0) << name;
      EXPECT_EQ(run_export(opt + "--csv -o " + name + ".csv " + txt.string()), shared ? 1 : 0)
          << name;
      Values want;
      std::string csv;
      text_values(txt, want, csv, as_written);
      const Values got = netcdf_values(name + ".nc");
      EXPECT_TRUE(got == want) << name << ": " << first_difference(got, want);
      EXPECT_TRUE(read_file(name + ".csv") == csv) << name << ": the CSV differs from the text";
    }
  }
}

std::vector<std::string> sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Runs obsquilt in dir on the files there with the arguments given and keeps its output as
// `keep`.
void merge(const fs::path& dir, const std::string& start, const std::string& stop,
           const std::string& keep) {
  const RunResult r = run_binary(dir, {start, stop, "30"});
  ASSERT_EQ(r.status, 0) << r.err;
  fs::rename(dir / "obsquilt.txt", dir / keep);
}

// The hour of real files of a reference run, or a generated hour of four stations without them.
void an_hour(const fs::path& dir) {
  const fs::path scenario = shared_dir() / "golden" / "spain-france-hour";
  if (!fs::is_directory(scenario)) {
    ASSERT_EQ(
        run_child({OBSQUILT_SIMULATE, {dir.string(), "--stations", "4", "--epochs", "121"}}).status,
        0);
    return;
  }
  fs::copy_file(scenario / "list.txt", dir / "list.txt");
  for (const auto& f : fs::directory_iterator(shared_dir() / "rinex"))
    fs::create_symlink(f.path(), dir / f.path().filename());
}

// An hour merged whole and in three windows (a and b overlap at 1200, c follows b), made once.
class ExportWindows : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new ScratchDir;
    an_hour(dir_->path());
    merge(dir_->path(), "0", "3600", "whole.txt");
    merge(dir_->path(), "0", "1200", "a.txt");
    merge(dir_->path(), "1200", "2400", "b.txt");
    merge(dir_->path(), "2430", "3600", "c.txt");
    ASSERT_EQ(run_export("-o whole.nc whole.txt"), 0);
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    if (!fs::exists(dir_->path() / "whole.nc")) GTEST_FAIL() << "the hour was not merged";
    fs::current_path(dir_->path());
  }
  static ScratchDir* dir_;
};
ScratchDir* ExportWindows::dir_ = nullptr;

TEST_F(ExportWindows, MakeTheFileOfTheWholeRun) {
  std::string err;
  ASSERT_EQ(run_export("-o day.nc c.txt a.txt b.txt", &err), 0) << err;
  const Values whole = netcdf_values("whole.nc"), day = netcdf_values("day.nc");
  EXPECT_TRUE(day == whole) << first_difference(day, whole);
}

TEST_F(ExportWindows, MakeTheCsvOfTheWholeRun) {
  ASSERT_EQ(run_export("--csv -o whole.csv whole.txt"), 0);
  ASSERT_EQ(run_export("--csv -o day.csv a.txt c.txt b.txt"), 0);
  // The same rows; within an epoch each run orders the satellites as it met them.
  EXPECT_TRUE(sorted_lines(read_file("day.csv")) == sorted_lines(read_file("whole.csv")));
}

TEST_F(ExportWindows, AMissingWindowIsRefused) {
  std::string err;
  EXPECT_EQ(run_export("-o gap.nc a.txt c.txt", &err), 2);
  EXPECT_NE(err.find("c.txt:1: error: "), std::string::npos) << err;
  EXPECT_FALSE(fs::exists("gap.nc"));
}

TEST_F(ExportWindows, AnOverlapThatDiffersIsRefusedAtItsEpoch) {
  std::string b = read_file("b.txt");
  const size_t e = b.find("\ne ") + 1, o = b.find("\no ", e) + 1;
  b[o + 14] = b[o + 14] == '1' ? '2' : '1';
  write_file("b2.txt", b);
  std::string err;
  EXPECT_EQ(run_export("-o bad.nc a.txt b2.txt c.txt", &err), 2);
  const long eline = std::count(b.begin(), b.begin() + static_cast<long>(e), '\n') + 1;
  EXPECT_NE(
      err.find("b2.txt:" + std::to_string(eline) + ": error: the epoch of second 1200 differs"),
      std::string::npos)
      << err;
  EXPECT_FALSE(fs::exists("bad.nc"));
}

// An existing output or page is kept unless forced; the names are checked before either file
// is begun.
TEST_F(ExportWindows, AnExistingOutputIsKeptUnlessForced) {
  struct Case {
    std::string kept, args, not_begun;
  };
  for (const Case& c : {Case{"kept.nc", "-o kept.nc", ""},
                        Case{"user.html", "-o new.nc --page user.html", "new.nc"}}) {
    write_file(c.kept, "a file of the user");
    std::string err;
    EXPECT_EQ(run_export(c.args + " a.txt b.txt c.txt", &err), 2) << c.args;
    EXPECT_NE(err.find(c.kept + ": file exists"), std::string::npos) << err;
    EXPECT_EQ(read_file(c.kept), "a file of the user");
    if (!c.not_begun.empty()) {
      EXPECT_FALSE(fs::exists(c.not_begun)) << c.args;
    }
    EXPECT_EQ(run_export("--force " + c.args + " a.txt b.txt c.txt"), 0) << c.args;
    EXPECT_NE(read_file(c.kept), "a file of the user");
  }
}

TEST_F(ExportWindows, TypesAndSecondsAreSelected) {
  EXPECT_EQ(run_export("-o part.nc --types L1 --from 600 --to 1800 a.txt b.txt c.txt"), 0);
  Values part;
  for (const auto& [k, v] : netcdf_values("whole.nc")) {
    const int sec = k.find('|') == std::string::npos ? -1 : std::atoi(k.c_str() + k.find('|') + 1);
    if (k.rfind("marker|", 0) == 0 ||
        (sec >= 600 && sec <= 1800 && (k.rfind("L1|", 0) == 0 || k.rfind("rec|", 0) == 0)))
      part[k] = v;
  }
  const Values got = netcdf_values("part.nc");
  EXPECT_TRUE(got == part) << first_difference(got, part);
}

// --page: the page obsquilt-report writes for the same files, from the export's own read,
// whatever the export selects, on a thread of its own or (sequential) on the reading one; the
// export beside it unchanged.
TEST_F(ExportWindows, APageBesideTheExportIsTheReportsPage) {
  std::string err;
  ASSERT_EQ(
      run_child({OBSQUILT_REPORT, words("-o report.html --title day a.txt b.txt c.txt")}).status,
      0);
  const std::string want = read_file("report.html");
  ASSERT_NE(want.find("<html"), std::string::npos);
  ASSERT_EQ(run_export("-o paged.nc --page paged.html --page-title day a.txt b.txt c.txt", &err), 0)
      << err;
  EXPECT_EQ(read_file("paged.html"), want);
  const Values whole = netcdf_values("whole.nc"), paged = netcdf_values("paged.nc");
  EXPECT_TRUE(paged == whole) << first_difference(paged, whole);

  const std::string part = "--types L1 --from 600 --to 1800 --page-title day a.txt b.txt c.txt";
  Child sequential(OBSQUILT_EXPORT, words("-o selected.nc --page selected.html " + part));
  sequential.env = {{"OBSQUILT_SEQUENTIAL", "1"}};
  ASSERT_EQ(run_child(sequential).status, 0);
  EXPECT_EQ(read_file("selected.html"), want);
  // CSV, the page on standard output.
  const ChildResult csv =
      run_child({OBSQUILT_EXPORT, words("--csv -o selected.csv --page - " + part)});
  ASSERT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out, want);
  EXPECT_FALSE(read_file("selected.csv").empty());
}

// A failed export leaves neither file; a page named like the output or an input is refused.
TEST_F(ExportWindows, APageIsWrittenOnlyBesideACompleteExport) {
  std::string err;
  EXPECT_EQ(run_export("-o gap.nc --page gap.html a.txt c.txt", &err), 2);
  EXPECT_NE(err.find("c.txt:1: error: "), std::string::npos) << err;
  EXPECT_FALSE(fs::exists("gap.nc"));
  EXPECT_FALSE(fs::exists("gap.html"));

  for (const char* args : {"-o same.nc --page same.nc a.txt", "-o x.nc --page a.txt a.txt",
                           "--csv -o - --page - a.txt", "-o x.nc --page= a.txt"}) {
    EXPECT_EQ(run_export(args, &err), 2) << args;
    EXPECT_NE(err.find("--page"), std::string::npos) << args << ": " << err;
  }
  EXPECT_FALSE(fs::exists("same.nc"));
  EXPECT_FALSE(fs::exists("x.nc"));
}

// One satellite written two ways ("G 6", "G06"): one column where a row holds one of them or
// both with the same value (the first epoch); an error naming both where a row holds two values
// (the second epoch), unless the codes are kept as written.
TEST(Export, OneSatelliteWrittenTwoWays) {
  const std::string data = std::string(OBSQUILT_EXPORT_DATA) + "/two-codes.obsquilt.txt";
  ScratchDir dir;
  std::string err;
  for (const char* how : {"--csv -o day.csv ", "-o day.nc "}) {
    EXPECT_EQ(run_export(std::string(how) + data, &err), 2) << how;
    EXPECT_EQ(err, data +
                       ":16: error: satellites 'G 6' and 'G06' (one satellite, written two "
                       "ways) both have a value of C1 for receiver 0 (--satellites-as-written "
                       "keeps them apart)\n")
        << how;
    EXPECT_FALSE(fs::exists("day.csv") || fs::exists("day.nc")) << how;
  }
  ASSERT_EQ(run_export("--csv --satellites-as-written -o day.csv " + data), 0);
  EXPECT_EQ(read_file("day.csv"),
            "second_of_day,receiver,marker,satellite,type,value\n"
            "0,0,AAAA,\"G 6\",C1,20000000.125\n0,0,AAAA,\"R 1\",C1,20000001.000\n"
            "0,0,AAAA,\" 06\",C1,20000000.125\n0,1,BBBB,G06,C1,20000002.250\n30,0,AAAA,\"G "
            "6\",C1,20000000.125\n"
            "30,0,AAAA,G06,C1,20000000.250\n30,1,BBBB,G06,C1,20000002.250\n");
  ASSERT_EQ(run_export("--csv --to 0 -o first.csv " + data), 0);
  EXPECT_EQ(read_file("first.csv"),
            "second_of_day,receiver,marker,satellite,type,value\n"
            "0,0,AAAA,G06,C1,20000000.125\n0,0,AAAA,R01,C1,20000001.000\n"
            "0,1,BBBB,G06,C1,20000002.250\n");
  ASSERT_EQ(run_export("--to 0 -o first.nc " + data), 0);
  const Values nc = netcdf_values("first.nc");
  EXPECT_EQ(nc.at("C1|0|0|G06"), exact(20000000.125));
  EXPECT_EQ(nc.at("C1|0|1|G06"), exact(20000002.25));
  EXPECT_EQ(nc.at("C1|0|0|R01"), exact(20000001.0));
}

// Every dimension, attribute (the history's time stamp aside), variable, chunking, filter and
// value of two NetCDF files; the first difference as text, empty when there is none.
std::string netcdf_difference(const std::string& a, const std::string& b) {
  int nc[2] = {-1, -1};
  if (nc_open(a.c_str(), NC_NOWRITE, &nc[0]) != NC_NOERR) return "cannot open " + a;
  if (nc_open(b.c_str(), NC_NOWRITE, &nc[1]) != NC_NOERR) return "cannot open " + b;
  struct Closer {
    int* nc;
    ~Closer() { nc_close(nc[0]), nc_close(nc[1]); }
  } closer{nc};
  const auto att = [&](int f, int var, int k, std::string& name) {
    char n[NC_MAX_NAME + 1] = "";
    nc_type type = 0;
    size_t len = 0;
    nc_inq_attname(nc[f], var, k, n);
    nc_inq_att(nc[f], var, n, &type, &len);
    name = n;
    size_t size = 0;
    nc_inq_type(nc[f], type, nullptr, &size);
    std::string bytes(len * size, '\0');
    nc_get_att(nc[f], var, n, bytes.data());
    if (name == "history") bytes.erase(0, bytes.find(' '));  // after the time stamp
    return name + " type " + std::to_string(type) + ": " + bytes;
  };
  const auto atts = [&](int var, const std::string& where) -> std::string {
    int n[2] = {0, 0};
    for (int f = 0; f < 2; ++f) nc_inq_varnatts(nc[f], var, &n[f]);
    if (n[0] != n[1]) return where + ": attribute counts differ";
    for (int k = 0; k < n[0]; ++k) {
      std::string name;
      if (att(0, var, k, name) != att(1, var, k, name)) return where + ": attribute " + name;
    }
    return {};
  };
  int ndims[2], nvars[2];
  for (int f = 0; f < 2; ++f) nc_inq(nc[f], &ndims[f], &nvars[f], nullptr, nullptr);
  if (ndims[0] != ndims[1] || nvars[0] != nvars[1]) return "dimension or variable counts";
  for (int d = 0; d < ndims[0]; ++d) {
    char n[2][NC_MAX_NAME + 1];
    size_t len[2];
    for (int f = 0; f < 2; ++f) nc_inq_dim(nc[f], d, n[f], &len[f]);
    if (std::string(n[0]) != n[1] || len[0] != len[1]) return "dimension " + std::string(n[0]);
  }
  if (std::string d = atts(NC_GLOBAL, "global"); !d.empty()) return d;
  for (int v = 0; v < nvars[0]; ++v) {
    char n[2][NC_MAX_NAME + 1];
    nc_type type[2];
    int nd[2], dims[2][NC_MAX_VAR_DIMS], storage[2], shuffle[2], deflate[2], level[2];
    size_t chunks[2][NC_MAX_VAR_DIMS] = {};
    for (int f = 0; f < 2; ++f) {
      nc_inq_var(nc[f], v, n[f], &type[f], &nd[f], dims[f], nullptr);
      nc_inq_var_chunking(nc[f], v, &storage[f], chunks[f]);
      nc_inq_var_deflate(nc[f], v, &shuffle[f], &deflate[f], &level[f]);
    }
    const std::string name = n[0];
    if (name != n[1] || type[0] != type[1] || nd[0] != nd[1] ||
        !std::equal(dims[0], dims[0] + nd[0], dims[1]))
      return "variable " + name + ": name, type or dimensions";
    if (storage[0] != storage[1] || !std::equal(chunks[0], chunks[0] + nd[0], chunks[1]))
      return "variable " + name + ": chunking";
    if (shuffle[0] != shuffle[1] || deflate[0] != deflate[1] || level[0] != level[1])
      return "variable " + name + ": filters";
    if (std::string d = atts(v, name); !d.empty()) return d;
    size_t count = 1, size = 0;
    for (int k = 0; k < nd[0]; ++k) {
      size_t len = 0;
      nc_inq_dimlen(nc[0], dims[0][k], &len);
      count *= len;
    }
    nc_inq_type(nc[0], type[0], nullptr, &size);
    if (type[0] == NC_STRING) {
      std::vector<char*> s[2] = {std::vector<char*>(count), std::vector<char*>(count)};
      std::vector<std::string> t[2];
      for (int f = 0; f < 2; ++f) {
        if (count) nc_get_var_string(nc[f], v, s[f].data());
        t[f].assign(s[f].begin(), s[f].end());
        if (count) nc_free_string(count, s[f].data());
      }
      if (t[0] != t[1]) return "variable " + name + ": strings";
    } else {
      std::string bytes[2] = {std::string(count * size, '\0'), std::string(count * size, '\0')};
      for (int f = 0; f < 2; ++f)
        if (count && nc_get_var(nc[f], v, bytes[f].data()) != NC_NOERR)
          return "variable " + name + ": unreadable";
      if (bytes[0] != bytes[1]) {
        const size_t at = static_cast<size_t>(
            std::mismatch(bytes[0].begin(), bytes[0].end(), bytes[1].begin()).first -
            bytes[0].begin());
        return "variable " + name + ": value " + std::to_string(at / size) + " differs";
      }
    }
  }
  return {};
}

// The writer that compresses chunks on its own and writes them whole against the NetCDF
// library's own writing (a sequential run), on a day whose chunks do not divide its epochs and
// receivers evenly: the edge chunks, the slabs and every value count. Then a gap of epochs in
// the middle (windows merged apart), where no chunk is written at all.
TEST(Export, ChunksWrittenDirectlyMakeTheFileTheLibraryWrites) {
  ScratchDir dir;
  const std::string sim = std::string(OBSQUILT_SIMULATE) + " day --stations 13 --epochs 1493 " +
                          "--interval 30 --seed 5 > /dev/null";
  ASSERT_EQ(std::system(sim.c_str()), 0);
  const RunResult r = run_binary(dir.path() / "day", {"0", "86400", "30"});
  ASSERT_EQ(r.status, 0) << r.err;
  // The same command line both ways (it is kept in the history), the file renamed after.
  const auto both = [](const std::string& args) {
    for (const char* way : {"seq.nc", "par.nc"}) {
      if (way == std::string("seq.nc")) ::setenv("OBSQUILT_SEQUENTIAL", "1", 1);
      std::string err;
      const int status = run_export("-o out.nc " + args, &err);
      ::unsetenv("OBSQUILT_SEQUENTIAL");
      if (status != 0) return way + (": " + err);
      fs::rename("out.nc", way);
    }
    return std::string();
  };
  for (const std::string deflate : {"1", "6", "0"}) {
    ASSERT_EQ(both("--deflate " + deflate + " day/obsquilt.txt"), "");
    EXPECT_EQ(netcdf_difference("par.nc", "seq.nc"), "") << "--deflate " << deflate;
    // The day is cut in chunks unevenly along both dimensions.
    int nc = -1, var = -1, storage = 0;
    size_t chunk[3] = {}, dims[2] = {};
    ASSERT_EQ(nc_open("par.nc", NC_NOWRITE, &nc), NC_NOERR);
    nc_inq_varid(nc, "L1", &var);
    nc_inq_var_chunking(nc, var, &storage, chunk);
    for (int k = 0, d = -1; k < 2; ++k)
      nc_inq_dimid(nc, k ? "receiver" : "epoch", &d), nc_inq_dimlen(nc, d, &dims[k]);
    nc_close(nc);
    EXPECT_GT(dims[0] / chunk[0], 1u);
    EXPECT_NE(dims[0] % chunk[0], 0u);
    EXPECT_NE(dims[1] % chunk[1], 0u);
    // The values are those of the text.
    Values values;
    std::string csv;
    text_values("day/obsquilt.txt", values, csv, false);
    const Values got = netcdf_values("par.nc");
    EXPECT_TRUE(got == values) << first_difference(got, values);
    fs::remove("par.nc"), fs::remove("seq.nc");
  }
  for (const auto& [start, stop, keep] : {std::array<std::string, 3>{"0", "12000", "a.txt"},
                                          std::array<std::string, 3>{"24000", "86400", "b.txt"}}) {
    ASSERT_EQ(run_binary(dir.path() / "day", {start, stop, "30"}).status, 0);
    fs::rename("day/obsquilt.txt", keep);
  }
  ASSERT_EQ(both("--allow-gaps a.txt b.txt"), "");
  EXPECT_EQ(netcdf_difference("par.nc", "seq.nc"), "") << "a gap";
}

}  // namespace
}  // namespace obsq::test
