// obsquilt-prep --plain: the plain RINEX text of each input as it is (unwrapped and decoded,
// of any version), nothing converted or cut, what a stand-alone decompressor gives.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace obsq::prep {

// The output name of an input: its file name without wrapper suffixes (.Z, .gz, .bz2), with
// the compact suffix made plain (ssssdddf.yyd -> .yyo, NAME.crx -> NAME.rnx).
std::string plain_name(const std::string& path);

// Throws archive::FormatError when the input at `path` is a pipe, a socket or a character
// device: prep reads every input twice (a first look, then the whole), and such an input gives
// its bytes once, so the second reading would see only the rest.
void need_readable_twice(const std::string& path);

// Writes each input's plain text into dir under its plain_name (made unique by `unique`), one
// line per input on standard output; returns the exit status.
int write_plain(const std::vector<std::string>& inputs, const std::filesystem::path& dir,
                bool force, const std::function<std::string(const std::string&)>& unique);

}  // namespace obsq::prep
