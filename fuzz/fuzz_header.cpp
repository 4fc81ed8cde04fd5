// The list loader and header scan on one arbitrary file.
#include "fuzz_common.hpp"
#include "rinex/loadlist.hpp"

using namespace obsq;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::InScratch scratch;
  fuzz::put_file("list.txt", "a.obs\n");
  fuzz::put_file("a.obs", std::string_view(reinterpret_cast<const char*>(data), size));
  reset_run_state();
  fuzz::run_guarded([] {
    in_unit(kListUnit).open("list.txt");
    loadlist(kListUnit, kRinexUnit);
  });
  return 0;
}
