// The field readers and the free-form argument reader on arbitrary bytes, with the fast paths
// checked against the general rules they stand for.
#include <cmath>
#include <cstring>

#include "fuzz_common.hpp"

using namespace obsq;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int w = 1 + data[0] % 20;
  const int d = data[1] % 10;
  const std::string_view rec(reinterpret_cast<const char*>(data + 2), size - 2);
  const int col = 1 + static_cast<int>(data[0] / 20) % 4;
  try {
    get_i(rec, col, w);
  } catch (const RecordError&) {}
  double general = 0;
  bool ok = true;
  try {
    general = get_f(rec, col, w, d);
  } catch (const RecordError&) {
    ok = false;
  }
  char a[32];
  get_a(rec, col, w, a, 3);
  blank_field(rec, col, w);
  int32_t v = 0;
  try {
    get_list_int(rec.substr(0, 20), v);
  } catch (const RecordError&) {}
  // The usual-shape reader of observation fields gives exactly what the field reader gives.
  double fast = 0;
  if (get_f14_3_usual(rec, col, fast)) {
    const double slow = get_f(rec, col, 14, 3);
    if (std::memcmp(&fast, &slow, sizeof fast) != 0) ::abort();
  }
  // The matrix element writer writes exactly what the general f14.3 writer writes.
  double raw = 0;
  if (rec.size() >= sizeof raw) std::memcpy(&raw, rec.data(), sizeof raw);
  for (double x : {raw, ok ? general : 0.0}) {
    char p1[64], p2[64];
    const long n1 = put_f14_3(p1, x) - p1;
    const long n2 = put_f(p2, x, 14, 3) - p2;
    if (n1 != 14 || n2 != 14 || std::memcmp(p1, p2, 14) != 0) ::abort();
  }
  char out[512];
  put_f(out, general, w, d);
  put_i(out, v, w, d % 4);
  return 0;
}
