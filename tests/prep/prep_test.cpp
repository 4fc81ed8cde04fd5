// obsquilt-prep as a program: the scenario folders of scenarios/ (see run_scenario for their
// files), and whole days of the shared reference runs fed to it in compact form, wrapped, whose
// merge must give the reference output byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <set>

#include "../child.hpp"
#include "../support.hpp"

namespace obsq {
namespace {

namespace fs = std::filesystem;
const fs::path kScenarios = PREP_SCENARIO_DIR;
const fs::path kShared = OBSQUILT_SHARED_DIR;

using test::words;

// Runs a program in dir with the arguments and standard input given.
test::ChildResult run(const fs::path& dir, const std::string& bin,
                      const std::vector<std::string>& args, const std::string& input = "") {
  return test::run_child({bin, args, dir, input});
}

// A scenario folder: args; input files (linked into a scratch folder), `shared` (paths under
// the shared folder to link in too), before.out/ (the output folder "out" before the run);
// expected.stdout, expected.status, expected.stderr (lines the error stream must hold),
// expected.files (the names in out/ afterwards), expected.out/ (contents of some of them).
// set_up lays out the scratch folder dir of scenario sc; it returns why it cannot (a shared
// path absent), else nothing.
std::string set_up(const fs::path& sc, const fs::path& dir) {
  const std::set<std::string> control = {"args",
                                         "shared",
                                         "before.out",
                                         "expected.stdout",
                                         "expected.status",
                                         "expected.stderr",
                                         "expected.files",
                                         "expected.out"};
  for (const auto& e : fs::directory_iterator(sc))
    if (!control.contains(e.path().filename().string()))
      fs::create_symlink(e.path(), dir / e.path().filename());
  if (fs::exists(sc / "shared"))
    for (const std::string& p : words(test::read_file(sc / "shared"))) {
      if (!fs::exists(kShared / p)) return (kShared / p).string() + " is absent";
      fs::create_symlink(kShared / p, dir / fs::path(p).filename());
    }
  if (fs::exists(sc / "before.out")) fs::copy(sc / "before.out", dir / "out");
  return "";
}

void run_scenario(const fs::path& sc) {
  test::ScratchDir scratch;
  const fs::path dir = scratch.path();
  if (const std::string why = set_up(sc, dir); !why.empty()) GTEST_SKIP() << why;

  const test::ChildResult r = run(dir, PREP_BIN, words(test::read_file(sc / "args")));
  EXPECT_EQ(r.status, std::stoi(test::read_file(sc / "expected.status"))) << r.err;
  EXPECT_EQ(r.out, test::read_file(sc / "expected.stdout"));
  std::istringstream want_err(
      fs::exists(sc / "expected.stderr") ? test::read_file(sc / "expected.stderr") : "");
  for (std::string line; std::getline(want_err, line);)
    EXPECT_NE(r.err.find(line), std::string::npos) << "error stream lacks: " << line << "\n"
                                                   << r.err;
  if (fs::exists(sc / "expected.files")) {
    std::set<std::string> got;
    if (fs::exists(dir / "out"))
      for (const auto& e : fs::directory_iterator(dir / "out")) got.insert(e.path().filename());
    const auto want = words(test::read_file(sc / "expected.files"));
    EXPECT_EQ(got, std::set<std::string>(want.begin(), want.end()));
  }
  if (fs::exists(sc / "expected.out")) {
    for (const auto& e : fs::directory_iterator(sc / "expected.out"))
      EXPECT_EQ(test::read_file(dir / "out" / e.path().filename()), test::read_file(e.path()))
          << e.path().filename();
  }
}

class PrepScenario : public ::testing::TestWithParam<std::string> {};

TEST_P(PrepScenario, Runs) { run_scenario(kScenarios / GetParam()); }

std::vector<std::string> scenario_names() {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(kScenarios)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

INSTANTIATE_TEST_SUITE_P(Folders, PrepScenario, ::testing::ValuesIn(scenario_names()),
                         [](const auto& info) {
                           std::string n = info.param;
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

// A run of obsquilt-prep as the user sees it: both streams, the status and every file of the
// output folder, by name.
struct Seen {
  test::ChildResult r;
  std::map<std::string, std::string> files;
};

// Runs obsquilt-prep in dir twice, record by record (OBSQUILT_SEQUENTIAL=1) and with two worker
// threads (even on one core), each time on a fresh copy of out/ as it was before, and expects
// the two runs to be seen the same, byte for byte. Returns the sequential run.
Seen same_both_ways(const fs::path& dir, const std::vector<std::string>& args) {
  const fs::path before = dir / "out.before";
  if (fs::exists(dir / "out")) fs::copy(dir / "out", before, fs::copy_options::recursive);
  std::vector<Seen> seen;
  for (const test::Child::Env& env :
       {test::Child::Env{{"OBSQUILT_SEQUENTIAL", "1"}, {"SOURCE_DATE_EPOCH", "1700000000"}},
        test::Child::Env{{"OBSQUILT_SEQUENTIAL", ""},
                         {"OBSQUILT_WORKERS", "2"},
                         {"SOURCE_DATE_EPOCH", "1700000000"}}}) {
    fs::remove_all(dir / "out");
    if (fs::exists(before)) fs::copy(before, dir / "out", fs::copy_options::recursive);
    Seen s{test::run_child({PREP_BIN, args, dir, "", env}), {}};
    if (fs::exists(dir / "out"))
      for (const auto& e : fs::recursive_directory_iterator(dir / "out"))
        if (e.is_regular_file())
          s.files[fs::relative(e.path(), dir / "out").string()] = test::read_file(e.path());
    seen.push_back(std::move(s));
  }
  EXPECT_EQ(seen[1].r.status, seen[0].r.status);
  EXPECT_EQ(seen[1].r.out, seen[0].r.out);
  EXPECT_EQ(seen[1].r.err, seen[0].r.err);
  EXPECT_EQ(seen[1].files.size(), seen[0].files.size());
  for (const auto& [name, text] : seen[0].files)
    EXPECT_TRUE(seen[1].files.contains(name) && seen[1].files[name] == text) << name;
  return seen[0];
}

TEST(OnWorkerThreads, EveryScenarioAsInASequentialRun) {
  for (const std::string& name : scenario_names()) {
    SCOPED_TRACE(name);
    test::ScratchDir scratch;
    if (!set_up(kScenarios / name, scratch.path()).empty()) continue;
    same_both_ways(scratch.path(), words(test::read_file(kScenarios / name / "args")));
  }
}

// A day of many gzipped compact files with much to say among them: a file cut early and one cut
// inside an epoch (warnings, their stations kept twice), a file given twice (kept under a second
// name), RINEX 3 files (converted), a file that is not an observation file and a missing one
// (left out). (Epochs and files
// of other days are in the scenarios.)
TEST(OnWorkerThreads, AManyFileDayAsInASequentialRun) {
  test::ScratchDir scratch;
  const fs::path dir = scratch.path();
  ASSERT_EQ(run(dir, SIMULATE_BIN,
                {"--seed", "3", "--stations", "12", "--epochs", "400", "--interval", "30",
                 "--compact", "--gzip", "day"})
                .status,
            0);
  ASSERT_EQ(run(dir, SIMULATE_BIN,
                {"--seed", "4", "--stations", "2", "--epochs", "50", "--start", "0", "--compact",
                 "other"})
                .status,
            0);
  ASSERT_EQ(run(dir, SIMULATE_BIN,
                {"--rinex", "3", "--seed", "8", "--stations", "2", "--epochs", "400", "--compact",
                 "--gzip", "r3"})
                .status,
            0);
  const auto names = words(test::read_file(dir / "day/list.txt"));
  ASSERT_EQ(names.size(), 12u);
  std::vector<std::string> args = {"--keep-duplicates", "--dir", "out"};
  for (const std::string& n : names) args.push_back("day/" + n);
  // Cut copies: a gzip stream stopped early, and a compact text ended inside an epoch.
  const std::string packed = test::read_file(dir / "day" / names[3]);
  test::write_file(dir / "cut0440.15d.gz", packed.substr(0, packed.size() * 2 / 3));
  const test::ChildResult text =
      test::filter("gzip", {"-dc"}, test::read_file(dir / "day" / names[5]));
  ASSERT_EQ(text.status, 0);
  std::string inside = text.out.substr(0, text.out.size() / 2);
  inside.resize(inside.rfind('\n', inside.size() - 2) + 1);  // whole lines, inside some epoch
  test::write_file(dir / "mid_0440.15d", inside);
  test::write_file(dir / "notes.txt", "not an observation file\n");
  // And a copy whose gzip check value fails: corrupt somewhere, so left out whole.
  std::string corrupt = packed;
  corrupt[corrupt.size() - 6] ^= 0x10;
  test::write_file(dir / "crc_0440.15d.gz", corrupt);
  args.insert(args.begin() + 7, "crc_0440.15d.gz");
  args.insert(args.begin() + 6, "cut0440.15d.gz");
  args.insert(args.begin() + 10, "mid_0440.15d");
  args.insert(args.begin() + 5, "notes.txt");
  args.push_back("day/" + names[2]);  // the same file again
  args.push_back("other/" + words(test::read_file(dir / "other/list.txt"))[0]);
  args.push_back("absent0440.15o");
  for (const std::string& n : words(test::read_file(dir / "r3/list.txt")))
    args.insert(args.begin() + 8, "r3/" + n);
  const Seen s = same_both_ways(dir, args);
  EXPECT_EQ(s.r.status, 1) << s.r.err;
  EXPECT_NE(s.r.err.find("warning"), std::string::npos) << s.r.err;
  EXPECT_NE(s.r.out.find("left out notes.txt"), std::string::npos) << s.r.out;
  EXPECT_NE(s.r.out.find("left out absent0440.15o"), std::string::npos) << s.r.out;
  EXPECT_NE(s.r.out.find("left out crc_0440.15d.gz: damaged compressed data: the unpacked data "
                         "do not match the gzip check values"),
            std::string::npos)
      << s.r.out;
  for (const char* kept : {"kept cut0440.15d.gz", "kept mid_0440.15d", "-2.", "converted"})
    EXPECT_NE(s.r.out.find(kept), std::string::npos) << kept << "\n" << s.r.out;
  EXPECT_EQ(s.files.size(), 19u);  // 12, 2 cut, 2 given again (other/ too), 2 RINEX 3, list
}

// With --force, an input that the output of an input before it replaces: read after that, as a
// sequential run reads it (here it becomes a copy of the first, long, file; the short one
// between them would leave a worker free to read it early).
TEST(OnWorkerThreads, AnInputThatAnEarlierOutputReplaces) {
  test::ScratchDir scratch;
  const fs::path dir = scratch.path();
  ASSERT_EQ(
      run(dir, SIMULATE_BIN, {"--seed", "5", "--stations", "1", "--epochs", "2880", "long"}).status,
      0);
  ASSERT_EQ(
      run(dir, SIMULATE_BIN, {"--seed", "6", "--stations", "2", "--epochs", "20", "short"}).status,
      0);
  const auto names = words(test::read_file(dir / "long/list.txt"));
  const auto shorts = words(test::read_file(dir / "short/list.txt"));
  ASSERT_EQ(shorts.size(), 2u);
  fs::create_directory(dir / "out");
  fs::copy_file(dir / "short" / shorts[0], dir / "out" / names[0]);
  const Seen s = same_both_ways(dir, {"--force", "--keep-duplicates", "--dir", "out",
                                      "long/" + names[0], "short/" + shorts[1], "out/" + names[0]});
  ASSERT_EQ(s.r.status, 0) << s.r.err;
  std::string again = names[0];
  again.insert(again.rfind('.'), "-2");
  EXPECT_TRUE(s.files.at(again) == s.files.at(names[0]));
}

// The decoders as a user runs them: every reference decoding of the round-trip corpus and of
// the RINEX 3 folder through --plain (one run a folder), each output equal to its reference.
TEST(PlainText, EveryReferenceDecodingComesOutOfPrep) {
  for (const char* folder : {"crinex/roundtrip", "rinex3"}) {
    const fs::path dir = kShared / folder;
    if (!fs::exists(dir)) GTEST_SKIP() << dir << " is absent";
    test::ScratchDir scratch;
    std::vector<std::string> args = {"--plain", "--dir", "out"};
    std::vector<std::pair<std::string, fs::path>> want;  // output name, reference
    for (const auto& e : fs::directory_iterator(dir)) {
      const std::string name = e.path().filename().string();
      if (!name.ends_with(".expected.gz")) continue;
      std::string source = name.substr(0, name.size() - 12), plain = source;
      for (const std::string w : {".gz", ".Z", ".bz2"})
        if (plain.ends_with(w)) plain.resize(plain.size() - w.size());
      if (plain.ends_with(".crx"))
        plain.replace(plain.size() - 3, 3, "rnx");
      else
        plain.back() = plain.back() == 'D' ? 'O' : 'o';
      args.push_back((dir / source).string());
      want.emplace_back(plain, e.path());
    }
    const test::ChildResult r = run(scratch.path(), PREP_BIN, args);
    EXPECT_EQ(r.status, 0) << r.err;
    for (const auto& [plain, reference] : want) {
      const test::ChildResult unpacked = test::filter("gzip", {"-dc"}, test::read_file(reference));
      ASSERT_EQ(unpacked.status, 0) << reference;
      EXPECT_TRUE(test::read_file("out/" + plain) == unpacked.out) << plain;
    }
    EXPECT_GE(want.size(), fs::path(folder).filename() == "roundtrip" ? 240u : 7u);
  }
}

// The simulator's compact files (its own encoder, RINEX 2 and 3, gzipped or not, many seeds)
// through --plain: the simulator's plain text back, byte for byte (RINEX 2 lines without the
// trailing blanks the plain files have now and then, which the compact format does not keep).
TEST(PlainText, SimulatedCompactFilesDecodeToTheSimulatedText) {
  test::ScratchDir scratch;
  for (const std::string version : {"2", "3"}) {
    std::vector<std::string> args = {"--plain", "--dir", "decoded" + version};
    std::vector<std::pair<std::string, std::string>> pairs;  // plain file, decoded file
    for (int seed = 1; seed <= 8; ++seed) {
      const std::string tag = version + "-" + std::to_string(seed);
      const std::vector<std::string> common = {"--rinex",    version,
                                               "--seed",     std::to_string(seed),
                                               "--stations", "2",
                                               "--epochs",   std::to_string(200 + 60 * seed),
                                               "--interval", std::to_string(seed % 3 ? 30 : 1),
                                               "--start",    std::to_string(3600 * seed)};
      std::vector<std::string> plain = common, compact = common;
      plain.push_back("plain" + tag);
      compact.push_back("--compact");
      if (seed % 2 == 0) compact.push_back("--gzip");
      compact.push_back("compact" + tag);
      ASSERT_EQ(run(scratch.path(), SIMULATE_BIN, plain).status, 0);
      ASSERT_EQ(run(scratch.path(), SIMULATE_BIN, compact).status, 0);
      const auto names = words(test::read_file("plain" + tag + "/list.txt"));
      const auto packed = words(test::read_file("compact" + tag + "/list.txt"));
      ASSERT_EQ(names.size(), packed.size());
      for (size_t i = 0; i < names.size(); ++i) {
        args.push_back("compact" + tag + "/" + packed[i]);
        pairs.emplace_back("plain" + tag + "/" + names[i], names[i]);
      }
    }
    // Names repeat across seeds: the decoded files get -2, -3, ... in argument order.
    std::map<std::string, int> seen;
    for (auto& [plain, decoded] : pairs)
      if (const int k = ++seen[decoded]; k > 1) {
        const size_t dot = decoded.rfind('.');
        decoded = decoded.substr(0, dot) + "-" + std::to_string(k) + decoded.substr(dot);
      }
    const test::ChildResult r = run(scratch.path(), PREP_BIN, args);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (const auto& [plain, decoded] : pairs) {
      std::string want = test::read_file(plain);
      if (version == "2") {
        std::string cut;
        std::istringstream in(want);
        for (std::string line; std::getline(in, line);)
          cut += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
        want = cut;
      }
      EXPECT_TRUE(test::read_file("decoded" + version + "/" + decoded) == want) << plain;
    }
    EXPECT_EQ(pairs.size(), 16u);
  }
}

// The files of a reference run, in their compact form (the first gzipped, the others
// bzip2-ed here), through obsquilt-prep and the merge: the reference output, byte for byte.
class ReferenceDay : public ::testing::TestWithParam<std::string> {};

TEST_P(ReferenceDay, MergesFromCompactFiles) {
  const fs::path golden = kShared / "golden" / GetParam();
  if (!fs::exists(golden) || !fs::exists(kShared / "crinex")) GTEST_SKIP() << "no shared data";
  test::ScratchDir scratch;
  std::vector<std::string> args = {"--dir", "out"};
  for (const std::string& name : words(test::read_file(golden / "list.txt"))) {
    std::string compact = name;
    compact.back() = compact.back() == 'O' ? 'D' : 'd';
    ASSERT_TRUE(fs::exists(kShared / "crinex" / compact)) << compact;
    const std::string tool = args.size() == 2 ? "gzip" : "bzip2";
    args.push_back(compact + (tool == "gzip" ? ".gz" : ".bz2"));
    const test::ChildResult wrapped =
        test::filter(tool, {"-c"}, test::read_file(kShared / "crinex" / compact));
    ASSERT_EQ(wrapped.status, 0) << tool;
    test::write_file(args.back(), wrapped.out);
  }
  const test::ChildResult prep = run(scratch.path(), PREP_BIN, args);
  ASSERT_EQ(prep.status, 0) << prep.out << prep.err;
  EXPECT_EQ(test::read_file("out/list.txt"), test::read_file(golden / "list.txt"));
  const test::ChildResult merge =
      run(scratch.path() / "out", MERGE_BIN, words(test::read_file(golden / "args")), "\n");
  EXPECT_EQ(merge.status, std::stoi(test::read_file(golden / "expected.status")));
  EXPECT_EQ(merge.out, test::read_file(golden / "expected.stdout"));
  EXPECT_TRUE(test::read_file("out/obsquilt.txt") ==
              test::read_file(golden / "expected.obsquilt.txt"))
      << "obsquilt.txt differs from the reference";
}

INSTANTIATE_TEST_SUITE_P(Golden, ReferenceDay,
                         ::testing::Values("blank-letters", "geonet-rounding", "short-excerpts"),
                         [](const auto& info) {
                           std::string n = info.param;
                           std::replace(n.begin(), n.end(), '-', '_');
                           return n;
                         });

}  // namespace
}  // namespace obsq
