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

std::optional<Collision> collision(const quilt::Block& b, const std::vector<int32_t>& satellite) {
  // First column of each satellite; only a satellite met twice needs its rows looked at.
  thread_local std::vector<int32_t> first;
  first.clear();
  const size_t n = b.columns();
  for (size_t c = 0; c < n; ++c) {
    const auto s = static_cast<size_t>(satellite[c]);
    if (first.size() <= s) first.resize(s + 1, -1);
    if (first[s] < 0) {
      first[s] = static_cast<int32_t>(c);
      continue;
    }
    for (size_t d = static_cast<size_t>(first[s]); d < c; ++d) {
      if (satellite[d] != satellite[c]) continue;
      for (size_t r = 0; r < b.rows.size(); ++r)
        if (quilt::present(b.value(r, c)) && quilt::present(b.value(r, d)) &&
            b.value_text(r, c) != b.value_text(r, d))
          return Collision{r, d, c, b.line + static_cast<long>(b.rows.size() + 2 + r)};
    }
  }
  return std::nullopt;
}

}  // namespace obsq::quality
