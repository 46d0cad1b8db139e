#pragma once
// The one parser of whole decimal numbers in outside input (positions,
// depths, scores, coordinates, header values): digits only, no sign, no
// blank, no exponent, no thousands separator, at most a given maximum.
// strtoll and friends take " +12", "12abc" (with an end pointer forgotten),
// and wrap or clamp silently; a file format does not.

#include <cstddef>
#include <cstdint>
#include <string>

// True when [begin, end) is one or more decimal digits whose value is at
// most max; value is set only then.
inline bool ParseWholeNumber(const char* begin, const char* end, std::uint64_t max,
                             std::uint64_t& value) {
    if (begin == end) {
        return false;
    }
    std::uint64_t v = 0;
    for (const char* p = begin; p != end; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        const unsigned d = static_cast<unsigned>(*p - '0');
        if (d > max || v > (max - d) / 10) {
            return false;
        }
        v = v * 10 + d;
    }
    value = v;
    return true;
}

inline bool ParseWholeNumber(const std::string& text, std::uint64_t max, std::uint64_t& value) {
    return ParseWholeNumber(text.data(), text.data() + text.size(), max, value);
}
