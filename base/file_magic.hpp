#pragma once
// The first bytes of the project's own binary formats, known to the writer
// of each format and to the recogniser of inputs (io/input_kind.hpp), which
// must not depend on the format's library.

#include <cstddef>
#include <cstring>

// A summary file of qualscan --save-sites starts (decompressed) with the
// line "##qualscan-sites<TAB>FORMAT"; this program writes and reads the
// format below, and recognises the others so as to refuse them by name.
inline constexpr char kSiteFilePrefix[] = "##qualscan-sites\t";
inline constexpr std::size_t kSiteFilePrefixSize = sizeof kSiteFilePrefix - 1;
inline constexpr int kSiteFileFormat = 2;
inline constexpr char kSiteFileMagic[] = "##qualscan-sites\t2\n";

// True when plain (the first bytes of a file's content, decompressed)
// starts like a summary file of any format.
inline bool IsSiteFile(const unsigned char* plain, std::size_t size) {
    return size >= kSiteFilePrefixSize &&
           std::memcmp(plain, kSiteFilePrefix, kSiteFilePrefixSize) == 0;
}
