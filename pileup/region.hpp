#pragma once
// The --region text: a contig and a 1-based inclusive range, parsed here and
// not by htslib, whose parser lets coordinates past the 64-bit range
// overflow into ranges that crash or exhaust its index query.

#include <htslib/sam.h>

#include <string>

struct SRegion {
    int m_Tid = -1;
    hts_pos_t m_Beg = 0;            // 0-based, first position
    hts_pos_t m_End = HTS_POS_MAX;  // 0-based, one past the last position
};

// Parses text against hdr, the header of the file named path:
//   chr, chr:beg, chr:beg-end, chr:beg-, chr:-end
// with decimal coordinates (thousands commas allowed), 1 <= beg <= end <=
// HTS_POS_MAX. A contig name holding a colon can be written in braces,
// {name} or {name}:range; unbraced, a text that is a contig name as a whole
// is that contig, unless it also reads as another contig with a range. Any
// other text throws std::runtime_error saying whether it does not parse or
// names a contig that the file lacks.
SRegion ParseRegion(const std::string& text, const sam_hdr_t* hdr, const std::string& path);
