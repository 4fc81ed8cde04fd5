#include "records/runstate.hpp"

#include <cstring>

namespace obsq {

Master master;
Master2 master2;
int32_t mjdoff;

void getnfiles(int32_t& n) { n = master.nfiles; }

void reset_run_state() {
  std::memset(&master, 0, sizeof master);
  std::memset(&master2, 0, sizeof master2);
  mjdoff = 0;
}

}  // namespace obsq
