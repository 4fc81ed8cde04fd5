#include "records/workers.hpp"

#include <cstdlib>
#include <string_view>

namespace obsq {

int worker_threads() {
  constexpr int kMostWorkers = 4;
  const char* sequential = std::getenv("OBSQUILT_SEQUENTIAL");
  if (sequential != nullptr && *sequential != '\0' && std::string_view(sequential) != "0") return 0;
  if (const char* asked = std::getenv("OBSQUILT_WORKERS"); asked != nullptr && *asked != '\0') {
    const int n = std::atoi(asked);
    if (n > 0) return std::min(n, kMostWorkers);
  }
  const unsigned cores = std::thread::hardware_concurrency();
  return cores > 1 ? static_cast<int>(std::min<unsigned>(cores, kMostWorkers)) : 0;
}

}  // namespace obsq
