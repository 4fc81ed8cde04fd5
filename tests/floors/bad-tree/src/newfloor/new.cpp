// A folder the floors do not know.
#include "records/fields.hpp"
