#include "pileup/pileup_summary.hpp"

#include <climits>
#include <sstream>

void AddCounts(SPileupSummary& to, const SPileupSummary& from) {
    to.m_SitesWritten += from.m_SitesWritten;
    to.m_SitesNoReads += from.m_SitesNoReads;
    to.m_SitesBelowMinDepth += from.m_SitesBelowMinDepth;
    to.m_SitesAboveMaxDepth += from.m_SitesAboveMaxDepth;
    to.m_ReadsSkippedFlags += from.m_ReadsSkippedFlags;
    to.m_ReadsSkippedMapQ += from.m_ReadsSkippedMapQ;
    to.m_ReadsNoQuality += from.m_ReadsNoQuality;
    to.m_BasesDeletion += from.m_BasesDeletion;
    to.m_BasesRefSkip += from.m_BasesRefSkip;
    to.m_BasesN += from.m_BasesN;
    to.m_BasesLowQuality += from.m_BasesLowQuality;
    to.m_BasesOverlap += from.m_BasesOverlap;
    to.m_BasesPastEnd += from.m_BasesPastEnd;
    to.m_ContigsWritten += from.m_ContigsWritten;
    to.m_SitesPastIntMax += from.m_SitesPastIntMax;
}

std::string FormatSummary(const SPileupSummary& s, const SPileupOptions& opts) {
    std::ostringstream os;
    os << "qualpileup: " << s.m_SitesWritten
       << " sites written; sites left out: " << s.m_SitesNoReads
       << " without reads after filtering, " << s.m_SitesBelowMinDepth << " below --min-depth "
       << opts.m_MinDepth << ", " << s.m_SitesAboveMaxDepth << " above --max-depth "
       << (opts.m_MaxDepth ? std::to_string(opts.m_MaxDepth) : std::string("(none)"))
       << "; reads skipped: " << s.m_ReadsSkippedFlags << " by flags, " << s.m_ReadsSkippedMapQ
       << " below --min-MQ " << opts.m_MinMapQ << ", " << s.m_ReadsNoQuality
       << " without base qualities; bases skipped: " << s.m_BasesDeletion << " deletions, "
       << s.m_BasesRefSkip << " reference skips, " << s.m_BasesN << " N, " << s.m_BasesLowQuality
       << " below --min-BQ " << opts.m_MinBaseQ << ", " << s.m_BasesOverlap
       << " in overlapping mates, " << s.m_BasesPastEnd << " past their contig's end";
    return os.str();
}

std::string FormatWarnings(const SPileupSummary& s) {
    std::string text;
    if (s.m_ContigsWritten > 1) {
        text += "qualpileup: warning: the document holds sites of " +
                std::to_string(s.m_ContigsWritten) +
                " contigs; Column positions restart with each contig, so a position alone does "
                "not name a site (--region keeps one contig).\n";
    }
    if (s.m_SitesPastIntMax > 0) {
        text += "qualpileup: warning: " + std::to_string(s.m_SitesPastIntMax) +
                " sites lie beyond position " + std::to_string(INT_MAX) + " (the first at " +
                s.m_FirstPastIntMax +
                "); qualfit reads positions as 32-bit numbers and reports these wrongly (its "
                "likelihood does not use them).\n";
    }
    return text;
}

std::string FormatSamplesWarning(const std::vector<std::string>& samples) {
    // Names enough to recognise the inputs, however many samples there are.
    constexpr std::size_t kNamed = 10;
    std::string names;
    for (std::size_t i = 0; i < samples.size() && i < kNamed; ++i) {
        names += (i ? ", '" : "'") + samples[i] + "'";
    }
    if (samples.size() > kNamed) {
        names += " and " + std::to_string(samples.size() - kNamed) + " more";
    }
    return "qualpileup: warning: the inputs hold reads of " + std::to_string(samples.size()) +
           " samples (" + names +
           "); the document pools them as one sample (the SM of a read group, or a file "
           "without read groups, is a sample).";
}
