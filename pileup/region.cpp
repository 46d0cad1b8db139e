#include "pileup/region.hpp"

#include <stdexcept>

#include "pileup/hts_handles.hpp"

namespace {

[[noreturn]] void Fail(const std::string& msg) {
    throw std::runtime_error(msg);
}

// Whether text is a range as it follows the colon of a region: beg, beg-,
// -end or beg-end, decimal digits with optional thousands commas, beg <= end
// when both are given.
bool IsRangeText(const std::string& text) {
    const std::size_t dash = text.find('-');
    auto number = [](const std::string& t, long long& v) {
        v = -1;
        for (char c : t) {
            if (c >= '0' && c <= '9') {
                v = (v < 0 ? 0 : v) * 10 + (c - '0');
                if (v > (1LL << 50)) {
                    return false;
                }
            } else if (c != ',') {
                return false;
            }
        }
        return true;
    };
    long long beg = -1, end = -1;
    if (dash == std::string::npos) {
        return number(text, beg);
    }
    return number(text.substr(0, dash), beg) && number(text.substr(dash + 1), end) &&
           (beg < 0 || end < 0 || beg <= end);
}

}  // namespace

SRegion ParseRegion(const std::string& region, const sam_hdr_t* hdr, const std::string& path) {
    // The header's name lookup does not change it, but htslib's signature
    // asks for a mutable one.
    sam_hdr_t* h = const_cast<sam_hdr_t*>(hdr);
    SRegion r;
    if (sam_parse_region(h, region.c_str(), &r.m_Tid, &r.m_Beg, &r.m_End,
                         HTS_PARSE_THOUSANDS_SEP) &&
        r.m_Tid >= 0 && r.m_Beg < r.m_End) {
        return r;
    }
    // Tell the two faults apart: a contig name (in braces when it holds a
    // colon) and a well-formed range after it.
    std::string name = region;
    std::string range;
    bool wellFormed = true;
    if (!region.empty() && region[0] == '{') {
        const std::size_t close = region.find('}');
        wellFormed =
            close != std::string::npos && (close + 1 == region.size() || region[close + 1] == ':');
        if (wellFormed) {
            name = region.substr(1, close - 1);
            range = close + 1 < region.size() ? region.substr(close + 2) : "";
        }
    } else if (const std::size_t colon = region.rfind(':'); colon != std::string::npos) {
        name = region.substr(0, colon);
        range = region.substr(colon + 1);
    }
    if (!wellFormed || name.empty() || !IsRangeText(range) ||
        sam_hdr_name2tid(h, name.c_str()) >= 0) {
        Fail("Region " + Quoted(region) +
             " does not parse: expected chr, chr:beg or chr:beg-end with 1 <= beg <= end.");
    }
    Fail("Region " + Quoted(region) + " names a contig " + Quoted(name) + " that " + Quoted(path) +
         " lacks.");
}
