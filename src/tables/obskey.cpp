#include "tables/obskey.hpp"

#include "records/fields.hpp"
#include "records/stopcodes.hpp"

namespace obsq {

const TypeCode aobss[40] = {
    {'P', '1'}, {'P', '2'}, {'P', '5'}, {'P', '6'}, {'P', '7'}, {'P', '8'}, {'P', 'A'}, {'P', 'B'},
    {'P', 'C'}, {'P', 'D'}, {'C', '1'}, {'C', '2'}, {'C', '5'}, {'C', '6'}, {'C', '7'}, {'C', '8'},
    {'C', 'A'}, {'C', 'B'}, {'C', 'C'}, {'C', 'D'}, {'L', '1'}, {'L', '2'}, {'L', '5'}, {'L', '6'},
    {'L', '7'}, {'L', '8'}, {'L', 'A'}, {'L', 'B'}, {'L', 'C'}, {'L', 'D'}, {'D', '1'}, {'D', '2'},
    {'D', '5'}, {'D', '6'}, {'D', '7'}, {'D', '8'}, {'D', 'A'}, {'D', 'B'}, {'D', 'C'}, {'D', 'D'}};

int64_t lkey(int32_t file, int32_t second, const SatCode& sat, const TypeCode& type) {
  if (file < 0) stop(stops::kKeyFile);
  if (second < 0 || second > 86400) stop(stops::kKeySecond);
  const int32_t p = keyp(sat);
  const int32_t o = keyo(type);
  return key_of(file, second, p, o);
}

namespace {
bool is_epoch_sat(const SatCode& sat) {
  return (sat[0] == 'Z' && sat[1] == 'Z' && sat[2] == 'Z') ||
         (sat[0] == 'z' && sat[1] == 'z' && sat[2] == 'z');
}
}  // namespace

int32_t keyp(const SatCode& sat) {
  if (is_epoch_sat(sat)) return kEpochSatNo;
  const int32_t base = sat_base(sat[0]);
  if (base < 0) stop(stops::kSatSystem);
  const int32_t n = get_i(std::string_view(sat.data() + 1, 2), 1, 2);
  if (n < 0) stop(stops::kSatNumber);
  return base + n;
}

int32_t satno_or_none(const SatCode& sat) {
  if (is_epoch_sat(sat)) return kEpochSatNo;
  const int32_t base = sat_base(sat[0]);
  if (base < 0) return -1;
  int32_t n = 0;
  if (!try_get_i(std::string_view(sat.data() + 1, 2), 1, 2, n) || n < 0) return -1;
  return base + n;
}

int32_t sat_base(char letter) {
  switch (letter) {
    case 'G':
    case 'g':
    case ' ': return 0;
    case 'R':
    case 'r': return 100;
    case 'S':
    case 's': return 200;
    case 'E':
    case 'e': return 300;
    case 'C':
    case 'c': return 400;
    default: return -1;
  }
}

int32_t keyo(const TypeCode& type) {
  if ((type[0] == 'Z' && type[1] == 'Z') || (type[0] == 'z' && type[1] == 'z')) return kEpochTypeNo;
  int32_t v = 0;
  switch (type[0]) {
    case 'P':
    case 'p': v = 0; break;
    case 'C':
    case 'c': v = 10; break;
    case 'L':
    case 'l': v = 20; break;
    case 'D':
    case 'd': v = 30; break;
    default: stop(stops::kTypeLetter);
  }
  switch (type[1]) {
    case '1': return v + 0;
    case '2': return v + 1;
    case '5': return v + 2;
    case '6': return v + 3;
    case '7': return v + 4;
    case '8': return v + 5;
    case 'A':
    case 'a': return v + 6;
    case 'B':
    case 'b': return v + 7;
    case 'C':
    case 'c': return v + 8;
    case 'D':
    case 'd': return v + 9;
    default: stop(stops::kTypeDigit);
  }
}

void invkey(int64_t key, int32_t& file, int32_t& second, SatCode& sat, TypeCode& type) {
  const int64_t f = key / 10000000000LL;
  if (f < 0) stop(stops::kKeyFileDecoded);
  file = static_cast<int32_t>(f);
  int64_t r = key - f * 10000000000LL;
  const int64_t s = r / 100000;
  if (s < 0 || s > 86400) stop(stops::kKeySecondDecoded);
  second = static_cast<int32_t>(s);
  r -= s * 100000;
  const int32_t satno = static_cast<int32_t>(r / 100);
  const int32_t typeno = static_cast<int32_t>(r - 100 * satno);
  if (satno < 0 || satno > 499) stop(stops::kKeySatDecoded);
  if (typeno < 0 || typeno > 39) stop(stops::kKeyTypeDecoded);
  sat = getaprn(satno);
  type = getaobs(typeno);
}

SatCode getaprn(int32_t n) {
  if (n == kEpochSatNo) return kEpochSat;
  static constexpr char letters[] = {'G', 'R', 'S', 'E', 'C'};
  const int32_t q = n / 100;
  if (q < 0 || q > 4) stop(stops::kSatIndex);
  char buf[2];
  put_i(buf, n % 100, 2, 2);
  return {letters[q], buf[0], buf[1]};
}

TypeCode getaobs(int32_t n) {
  if (n == kEpochTypeNo) return kEpochType;
  if (n < 0 || n >= kTypeNumbers) stop(stops::kTypeIndex);
  return aobss[n];
}

SatCode sat_code(std::string_view s) {
  SatCode c{' ', ' ', ' '};
  for (size_t i = 0; i < 3 && i < s.size(); ++i) c[i] = s[i];
  return c;
}

TypeCode type_code(std::string_view s) {
  TypeCode c{' ', ' '};
  for (size_t i = 0; i < 2 && i < s.size(); ++i) c[i] = s[i];
  return c;
}

}  // namespace obsq
