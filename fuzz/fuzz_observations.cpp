// The observation pass on an arbitrary observation section after a valid header, then the
// output writer on what it stored. The first byte picks the types, the window and the system.
#include "fuzz_common.hpp"
#include "output/writer.hpp"
#include "rinex/loadlist.hpp"
#include "rinex/obsread.hpp"

using namespace obsq;

namespace {

std::string header(uint8_t pick) {
  auto rec = [](std::string c, const char* label) {
    c.resize(60, ' ');
    return c + label + "\n";
  };
  static const char* types[][2] = {
      {"     5    C1    L1    L2    P2    S1", nullptr},
      {"     7    C1    P1    P2    L1    L2    S1    S2", nullptr},
      {"    11    C1    C2    C5    L1    L2    L5    P1    P2    S1", "          S2    S5"},
      {"     2    l1    L1", nullptr},
  };
  std::string h =
      rec(std::string("     2.11           OBSERVATION DATA    ") + ((pick & 4) ? 'R' : 'M'),
          "RINEX VERSION / TYPE");
  for (const char* t : types[pick % 4])
    if (t != nullptr) h += rec(t, "# / TYPES OF OBSERV");
  if (pick & 8) h += rec("    18", "LEAP SECONDS");
  h += rec("  2012     7    18     0     0    0.0000000     GPS", "TIME OF FIRST OBS");
  h += rec("", "END OF HEADER");
  return h;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  fuzz::InScratch scratch;
  const uint8_t pick = data[0];
  fuzz::put_file("list.txt", "a.obs\n");
  fuzz::put_file("a.obs",
                 header(pick) + std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  reset_run_state();
  const int32_t step = (pick & 16) ? 1 : 30;
  fuzz::run_guarded([&] {
    in_unit(kListUnit).open("list.txt");
    loadlist(kListUnit, kRinexUnit);
    int32_t tmin = 0, tmax = 0;
    storeobs(kRinexUnit, 0, 86400, step, tmin, tmax);
    out_unit(kOutputUnit).open("obsquilt.txt");
    dump1(kOutputUnit, tmin, tmax, step);
    dump2(kOutputUnit, tmin, tmax, step);
  });
  return 0;
}
