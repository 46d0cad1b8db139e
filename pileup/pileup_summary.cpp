#include "pileup/pileup_summary.hpp"

#include <climits>
#include <sstream>

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
