#include "records/workers.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

void lower_worker_priority() {
  constexpr int kSteps = 5;    // nice steps below the process: a third of a normal share
  constexpr int kLowest = 19;  // the scheduler's lowest priority
  // Linux keeps a nice value per thread: PRIO_PROCESS with a thread id sets that thread's.
  const auto self = static_cast<id_t>(::gettid());
  errno = 0;
  const int now = ::getpriority(PRIO_PROCESS, self);
  if (errno == 0) ::setpriority(PRIO_PROCESS, self, std::min(now + kSteps, kLowest));
}

}  // namespace obsq
