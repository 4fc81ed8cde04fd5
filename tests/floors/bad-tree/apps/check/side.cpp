// One program using another: an arrow sideways.
#include "report/page.hpp"
#include "check/check.hpp"
