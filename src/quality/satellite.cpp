#include "quality/satellite.hpp"

namespace obsq::quality {

namespace {
bool digit(char c) { return c >= '0' && c <= '9'; }
bool letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
}  // namespace

std::string satellite_code(std::string_view written) {
  if (written.size() != 3 || !(written[0] == ' ' || letter(written[0])) || !digit(written[2]) ||
      !(written[1] == ' ' || digit(written[1])))
    return std::string(written);
  std::string code(written);
  if (code[0] == ' ') code[0] = 'G';
  if (code[1] == ' ') code[1] = '0';
  return code;
}

}  // namespace obsq::quality
