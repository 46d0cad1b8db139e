#include "pileup/region.hpp"

#include <cstdint>
#include <stdexcept>

#include "base/whole_number.hpp"
#include "pileup/hts_handles.hpp"

namespace {

// One coordinate: empty (absent, false in present), or decimal digits with
// optional thousands commas, at most HTS_POS_MAX. False for anything else.
bool ParseCoordinate(const std::string& t, hts_pos_t& value, bool& present) {
    value = 0;
    present = false;
    if (t.empty()) {
        return true;
    }
    std::string digits;
    for (const char c : t) {
        if (c != ',') {
            digits += c;
        }
    }
    std::uint64_t v = 0;
    if (!ParseWholeNumber(digits, static_cast<std::uint64_t>(HTS_POS_MAX), v)) {
        return false;
    }
    value = static_cast<hts_pos_t>(v);
    present = true;
    return true;
}

// The range after the colon: "", beg, beg-, -end, beg-end, "-".
bool ParseRange(const std::string& text, hts_pos_t& beg, hts_pos_t& end) {
    hts_pos_t first = 0, last = 0;
    bool hasFirst = false, hasLast = false;
    const std::size_t dash = text.find('-');
    if (dash == std::string::npos) {
        if (!ParseCoordinate(text, first, hasFirst)) {
            return false;
        }
    } else if (!ParseCoordinate(text.substr(0, dash), first, hasFirst) ||
               !ParseCoordinate(text.substr(dash + 1), last, hasLast)) {
        return false;
    }
    if ((hasFirst && first < 1) || (hasLast && last < 1) || (hasFirst && hasLast && first > last)) {
        return false;
    }
    beg = hasFirst ? first - 1 : 0;
    end = hasLast ? last : HTS_POS_MAX;
    return true;
}

[[noreturn]] void DoesNotParse(const std::string& text) {
    throw std::runtime_error(
        "Region " + Quoted(text) +
        " does not parse: expected chr, chr:beg or chr:beg-end with 1 <= beg <= end.");
}

}  // namespace

SRegion ParseRegion(const std::string& text, const sam_hdr_t* hdr, const std::string& path) {
    // The header's name lookup does not change it, but htslib's signature
    // asks for a mutable one.
    sam_hdr_t* h = const_cast<sam_hdr_t*>(hdr);
    std::string name = text;
    std::string range;
    bool braced = false;
    if (!text.empty() && text[0] == '{') {
        const std::size_t close = text.find('}');
        if (close == std::string::npos || (close + 1 != text.size() && text[close + 1] != ':')) {
            DoesNotParse(text);
        }
        braced = true;
        name = text.substr(1, close - 1);
        range = close + 1 < text.size() ? text.substr(close + 2) : "";
    } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
        name = text.substr(0, colon);
        range = text.substr(colon + 1);
    }
    SRegion region;
    const bool split = !braced && name.size() != text.size();
    if (split && sam_hdr_name2tid(h, text.c_str()) >= 0) {
        // The whole text names a contig; it must not also read as another
        // contig and a range.
        region.m_Tid = sam_hdr_name2tid(h, text.c_str());
        hts_pos_t beg, end;
        if (sam_hdr_name2tid(h, name.c_str()) >= 0 && ParseRange(range, beg, end)) {
            throw std::runtime_error("Region " + Quoted(text) + " is ambiguous: write {" + text +
                                     "} for the contig or {" + name + "}:" + range +
                                     " for the range.");
        }
        return region;
    }
    if (name.empty() || !ParseRange(range, region.m_Beg, region.m_End)) {
        DoesNotParse(text);
    }
    region.m_Tid = sam_hdr_name2tid(h, name.c_str());
    if (region.m_Tid < 0) {
        throw std::runtime_error("Region " + Quoted(text) + " names a contig " + Quoted(name) +
                                 " that " + Quoted(path) + " lacks.");
    }
    return region;
}
