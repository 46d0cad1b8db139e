#pragma once
// What a qualpileup run wrote and what it left out, by filter, and its
// summary and warning lines.

#include <cstdint>
#include <string>
#include <vector>

#include "pileup/pileup_options.hpp"

struct SPileupSummary {
    std::uint64_t m_SitesWritten = 0;
    std::uint64_t m_SitesNoReads = 0;  // every read there was filtered out
    std::uint64_t m_SitesBelowMinDepth = 0;
    std::uint64_t m_SitesAboveMaxDepth = 0;
    std::uint64_t m_ReadsSkippedFlags = 0;  // by --skip-flags / --incl-flags, or unmapped
    std::uint64_t m_ReadsSkippedMapQ = 0;
    std::uint64_t m_ReadsNoQuality = 0;  // no bases or no base qualities ('*')
    std::uint64_t m_BasesDeletion = 0;
    std::uint64_t m_BasesRefSkip = 0;
    std::uint64_t m_BasesN = 0;  // N or another ambiguity code
    std::uint64_t m_BasesLowQuality = 0;
    std::uint64_t m_BasesOverlap = 0;  // second mate where the mates overlap
    // Bases aligned at or past their contig's end (the header's length):
    // a read hanging off a scaffold is clipped there.
    std::uint64_t m_BasesPastEnd = 0;
    // Contigs with sites in the document: positions restart with each.
    std::uint64_t m_ContigsWritten = 0;
    // Sites past INT_MAX, which qualfit cannot read back as written, and the
    // first of them as contig:position.
    std::uint64_t m_SitesPastIntMax = 0;
    std::string m_FirstPastIntMax;
};

// Adds every count of from to to (a part of the work counted apart).
void AddCounts(SPileupSummary& to, const SPileupSummary& from);

// The summary as one line (without line break).
std::string FormatSummary(const SPileupSummary& s, const SPileupOptions& opts);

// Warning lines (each ending in a line break, "" for none) about a document
// that mixes contigs or holds positions qualfit cannot read back.
std::string FormatWarnings(const SPileupSummary& s);

// The warning line (without line break) that the inputs hold these samples,
// pooled into one document.
std::string FormatSamplesWarning(const std::vector<std::string>& samples);
