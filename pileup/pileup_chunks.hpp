#pragma once
// The genome (or the region) cut into chunks that threads pile up on their
// own: each chunk owns a run of positions, and its index query returns
// every read that overlaps them, so each position is piled up once with all
// of its reads, whichever thread takes it.

#include <htslib/sam.h>

#include <cstdint>
#include <vector>

#include "pileup/region.hpp"

// Positions [m_Beg, m_End) of contig m_Tid. The last piece of a contig runs
// to the region's end or HTS_POS_MAX, so that reads hanging off the contig
// belong to it (their bases past the end are counted there).
struct SPileupPiece {
    int m_Tid = -1;
    hts_pos_t m_Beg = 0;
    hts_pos_t m_End = HTS_POS_MAX;
};

struct SPileupChunk {
    // In genome order; at most one piece per contig.
    std::vector<SPileupPiece> m_Pieces;
    // A read the filters skip is counted by the chunk where it starts; the
    // first chunk also counts those starting before it that reach into it
    // (a region's reads from the left), as a query of the region returns
    // them.
    bool m_First = false;
    // The reads without a position at the end of the files (unmapped,
    // unplaced): only counted, as a single pass over the files counts them.
    bool m_Unplaced = false;
};

// How large chunks are: about m_Reads reads (by the indexes' counts per
// contig, summed over the inputs), never shorter than m_MinBases unless the
// contig is; small contigs are grouped. Without counts a chunk spans about
// 8 bases per read. The defaults keep a chunk's sites and reads to a few
// megabytes; tests make chunks tiny to put boundaries everywhere.
struct SPileupChunking {
    std::uint64_t m_Reads = 4096;
    hts_pos_t m_MinBases = 16384;
};

// Chunks covering region (or, when it is null, every contig and then the
// unplaced reads) in genome order. indexes holds each input's index.
std::vector<SPileupChunk> PlanPileupChunks(const sam_hdr_t* hdr,
                                           const std::vector<const hts_idx_t*>& indexes,
                                           const SRegion* region, const SPileupChunking& size);
