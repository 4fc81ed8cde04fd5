// The input list and the header scan: "list.txt" becomes the file table, the observation-type
// table, the leap-second count and the reference date.
#pragma once

#include <cstdint>
#include <string_view>

namespace obsq {

// Console lines of the list loader for a file it leaves out, followed by the file's name.
inline constexpr std::string_view kNotVersionTypeLine = "first record not version type:";
inline constexpr std::string_view kTooNewLine = "exceeds programming.";

// Reads the list on listunit; every readable RINEX 2 file (version up to 2.12) is opened on
// rinexunit, gets the next entry of the file table and has its header scanned.
void loadlist(int listunit, int rinexunit);
// Scans the header of the file open on rinexunit into entry nfiles of the file table.
void scan1(int rinexunit);
// 1 when the run keeps this observation type (P, C or L with 1, 2, 5-8 or A-D), else 0.
int32_t admitobs(std::string_view code);

}  // namespace obsq
