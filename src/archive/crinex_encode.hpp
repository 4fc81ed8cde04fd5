// Encoder of compact RINEX, the inverse of the decoders beside it: plain RINEX text of an
// observation file in, compact RINEX out (version 1.0 for RINEX 2, 3.0 for RINEX 3 and 4).
//
// The text is taken as the decoders give it back: lines ended by LF without trailing blanks,
// observations written F14.3 with no zero before the point below 1 (`          .000`), clock
// offsets likewise (F12.9 in RINEX 2, F15.12 in RINEX 3). Such text decodes to itself byte for
// byte. Values start arcs of order 3 (clock offsets order 2) and go on as differences; every
// epoch after an event is given in full. A line the encoder cannot carry (a value that is not
// F14.3, a blank RINEX 2 observation with flags) is a FormatError with its line.
#pragma once

#include <string>
#include <string_view>

#include "archive/stream.hpp"

namespace obsq::archive {

// Appends the compact form of `text` to out. `program` (at most 20 characters) and `date`
// (e.g. "06-Dec-26 12:00") fill the CRINEX PROG / DATE line; `name` names the text in errors.
void encode_compact(std::string_view text, std::string& out, std::string_view program,
                    std::string_view date, const std::string& name);

}  // namespace obsq::archive
