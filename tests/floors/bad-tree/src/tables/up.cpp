// A table that reads the reader: an arrow up.
#include "rinex/obsread.hpp"
#include "records/fields.hpp"
