#pragma once
// The --region text: a contig and a 1-based inclusive range.

#include <htslib/sam.h>

#include <string>

struct SRegion {
    int m_Tid = -1;
    hts_pos_t m_Beg = 0;            // 0-based, first position
    hts_pos_t m_End = HTS_POS_MAX;  // 0-based, one past the last position
};

// Parses text (chr, chr:beg or chr:beg-end) against hdr, the header of the
// file named path. Any other text throws std::runtime_error saying whether
// it does not parse or names a contig that the file lacks.
SRegion ParseRegion(const std::string& text, const sam_hdr_t* hdr, const std::string& path);
