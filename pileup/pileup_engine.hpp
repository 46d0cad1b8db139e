#pragma once
// What piles up reads into sites: one pass over inputs as they are set up
// (whole, a region or a chunk), positions in genome order, each with its
// reads after the read and base filters. Two engines do it: the column
// pileup (column_pileup.hpp), which the programs use, and htslib's generic
// pileup (htslib_pileup.hpp), kept as the reference it is checked against.

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "pileup/pileup_chunks.hpp"
#include "pileup/pileup_options.hpp"
#include "pileup/pileup_source.hpp"
#include "pileup/pileup_summary.hpp"

class CPileupInput;
class CReferenceFasta;

class CPileupEngine {
  public:
    virtual ~CPileupEngine() = default;
    // The next position with reads (see CPileupSiteSource::Next); false at
    // the end. A fault of an input is thrown after the sites before it.
    virtual bool Next(SPileupSite& site) = 0;
    // The same, the reads grouped by base (see SPileupColumn).
    virtual bool NextColumn(SPileupColumn& column) = 0;
};

// The engine opts asks for (m_HtslibPileup) over inputs, whose reads it
// takes through CPileupInput::Next(); only the positions of pieces become
// sites (all positions when pieces is null), and the filters' counts go to
// summary. Everything passed must outlive the engine.
std::unique_ptr<CPileupEngine> MakePileupEngine(const std::vector<CPileupInput*>& inputs,
                                                CReferenceFasta* reference,
                                                const SPileupOptions& opts, SPileupSummary& summary,
                                                const std::vector<SPileupPiece>* pieces);

// Each engine alone, as MakePileupEngine() makes it.
std::unique_ptr<CPileupEngine> MakeColumnPileup(const std::vector<CPileupInput*>& inputs,
                                                CReferenceFasta* reference,
                                                const SPileupOptions& opts, SPileupSummary& summary,
                                                const std::vector<SPileupPiece>* pieces);
std::unique_ptr<CPileupEngine> MakeHtslibPileup(const std::vector<CPileupInput*>& inputs,
                                                CReferenceFasta* reference,
                                                const SPileupOptions& opts, SPileupSummary& summary,
                                                const std::vector<SPileupPiece>* pieces);

// Groups site's reads by base into column (the same site).
void GroupByBase(const SPileupSite& site, SPileupColumn& column);
