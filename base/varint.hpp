#pragma once
// Whole numbers in little-endian base 128 (seven bits a byte, the high bit
// set on every byte but the last), as the site store's records and the
// summary files keep their counts. One codec for both, so the file is the
// store's bytes and nothing is translated on the way.

#include <cstdint>
#include <vector>

inline void PutVarint(std::vector<unsigned char>& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<unsigned char>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<unsigned char>(v));
}

// For bytes known to hold a complete number (records this program made and
// checked): no bound, as fast as it gets. Returns the byte after it.
inline const unsigned char* GetVarint(const unsigned char* p, std::uint64_t& v) {
    v = 0;
    int shift = 0;
    while (*p & 0x80) {
        v |= static_cast<std::uint64_t>(*p++ & 0x7f) << shift;
        shift += 7;
    }
    v |= static_cast<std::uint64_t>(*p++) << shift;
    return p;
}

enum class EVarint {
    eOk,
    eEnd,      // the input ended inside the number (or before it)
    eTooLong,  // more than 64 bits: ten bytes, the last above 1, or more
};

// For outside input, one byte at a time: next() returns the next byte
// (0..255) or a negative number at the end of the input.
template <class TNextByte>
EVarint ReadVarint(TNextByte&& next, std::uint64_t& v) {
    v = 0;
    for (int shift = 0;; shift += 7) {
        const int c = next();
        if (c < 0) {
            return EVarint::eEnd;
        }
        const std::uint64_t bits = static_cast<std::uint64_t>(c & 0x7f);
        // The tenth byte holds bit 63 only.
        if (shift == 63 && bits > 1) {
            return EVarint::eTooLong;
        }
        v |= bits << shift;
        if (!(c & 0x80)) {
            return EVarint::eOk;
        }
        if (shift == 63) {
            return EVarint::eTooLong;
        }
    }
}

// The same for bytes in [p, end): true when a number of at most 64 bits
// ends there, with p moved past it.
inline bool ParseVarint(const unsigned char*& p, const unsigned char* end, std::uint64_t& v) {
    const unsigned char* q = p;
    const EVarint r = ReadVarint([&]() { return q < end ? static_cast<int>(*q++) : -1; }, v);
    if (r != EVarint::eOk) {
        return false;
    }
    p = q;
    return true;
}
