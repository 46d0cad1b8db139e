#pragma once
// The first bytes of the project's own binary formats, known to the writer
// of each format and to the recogniser of inputs (io/input_kind.hpp), which
// must not depend on the format's library.

#include <cstddef>
#include <cstring>

// A summary file of qualscan --save-sites starts (decompressed) with this line.
inline constexpr char kSiteFileMagic[] = "##qualscan-sites\t1\n";
inline constexpr std::size_t kSiteFileMagicSize = sizeof kSiteFileMagic - 1;

// True when plain (the first bytes of a file's content, decompressed)
// starts with the summary file's magic line.
inline bool IsSiteFile(const unsigned char* plain, std::size_t size) {
    return size >= kSiteFileMagicSize &&
           std::memcmp(plain, kSiteFileMagic, kSiteFileMagicSize) == 0;
}
