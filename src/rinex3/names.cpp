#include "rinex3/names.hpp"

#include <cctype>

namespace obsq::rinex3 {

namespace {

std::string_view base_of(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

bool alnum(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }
bool digit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// SSSSMRCCC_S_YYYYDDDHHMM_ : station id, data source, start year, day, hour and minute.
bool long_name(std::string_view b) {
  if (b.size() < 24 || b[9] != '_' || b[11] != '_' || b[23] != '_' || !alnum(b[10])) return false;
  for (size_t i = 0; i < 9; ++i)
    if (!alnum(b[i])) return false;
  for (size_t i = 12; i < 23; ++i)
    if (!digit(b[i])) return false;
  const int doy = (b[16] - '0') * 100 + (b[17] - '0') * 10 + (b[18] - '0');
  return doy >= 1 && doy <= 366;
}

}  // namespace

std::string short_from_long(std::string_view path) {
  const std::string_view b = base_of(path);
  if (!long_name(b)) return "";
  std::string s;
  for (size_t i = 0; i < 4; ++i)
    s += static_cast<char>(std::tolower(static_cast<unsigned char>(b[i])));
  return s.append(b.substr(16, 3)).append("0.").append(b.substr(14, 2)).append("o");
}

std::string station_of(std::string_view path) {
  const std::string_view b = base_of(path);
  if (long_name(b)) return std::string(b.substr(0, 9));
  if (b.size() >= 12 && b[8] == '.' && alnum(b[0]) && alnum(b[1]) && alnum(b[2]) && alnum(b[3]) &&
      digit(b[4]) && digit(b[5]) && digit(b[6]) && digit(b[9]) && digit(b[10]))
    return std::string(b.substr(0, 4));
  return "";
}

}  // namespace obsq::rinex3
