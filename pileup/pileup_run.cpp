#include "pileup/pileup_run.hpp"

#include <htslib/thread_pool.h>
#include <unistd.h>

#include <climits>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "base/warnings.hpp"
#include "common/bgzf_stream.hpp"
#include "common/doc_writer.hpp"
#include "common/progress.hpp"
#include "common/safe_output.hpp"
#include "common/thread_pool.hpp"
#include "model/site_classes.hpp"
#include "pileup/hts_handles.hpp"
#include "pileup/pileup_source.hpp"

SPileupSummary WritePileupDocument(const SPileupOptions& opts, std::ostream& out,
                                   const std::string& outName, std::ostream* progress) {
    const TThreadPool pool = StartThreadPool(opts.m_Threads);
    htsThreadPool threads{pool.get(), 0};
    SPileupSummary summary;
    CPileupSiteSource source(opts, summary, pool ? &threads : nullptr, EPileupForm::eColumns);
    if (source.Samples().size() > 1) {
        Warn(FormatSamplesWarning(source.Samples()));
    }
    CQualDocWriter writer(out, outName);
    writer.Begin();
    CProgressLine bar(progress, "qualpileup", 1024);
    SPileupColumn site;
    int lastWrittenTid = -1;
    while (source.NextColumn(site)) {
        bar.Tick(source.ContigName(site.m_Tid), site.m_Pos);
        if (site.m_DepthFiltered) {
            continue;
        }
        const TBaseClasses classes = ClassifyBases(site.Counts(), site.m_RefBase);
        const bool newContig = site.m_Tid != lastWrittenTid;
        if (newContig) {
            lastWrittenTid = site.m_Tid;
            ++summary.m_ContigsWritten;
        }
        if (site.m_Pos + 1 > INT_MAX && summary.m_SitesPastIntMax++ == 0) {
            summary.m_FirstPastIntMax =
                std::string(source.ContigName(site.m_Tid)) + ":" + std::to_string(site.m_Pos + 1);
        }
        // The first Column of each contig names it, for qualscan; qualfit
        // reads the position alone.
        if (newContig) {
            writer.BeginColumn(site.m_Pos + 1, source.ContigName(site.m_Tid));
        } else {
            writer.BeginColumn(site.m_Pos + 1);
        }
        // Class by class, each class's reads (those of one base) in order.
        for (int cls = 0; cls < 4; ++cls) {
            for (std::size_t base = 0; base < 4; ++base) {
                if (classes[base] != cls) {
                    continue;
                }
                for (const std::uint8_t score : site.m_Scores[base]) {
                    writer.AddChr(score, static_cast<CQualDocWriter::EClass>(cls));
                }
            }
        }
        writer.EndColumn();
        ++summary.m_SitesWritten;
    }
    writer.End();
    return summary;
}

void RunQualPileup(const SPileupOptions& opts) {
    std::ostream* progress = opts.m_Progress && ::isatty(STDERR_FILENO) ? &std::cerr : nullptr;
    SPileupSummary summary;
    if (opts.m_Output.empty() || opts.m_Output == "-") {
        summary = WritePileupDocument(opts, std::cout, "standard output", progress);
    } else {
        CSafeOutputFile file(opts.m_Output);
        file.CheckOpen();
        const std::string& o = opts.m_Output;
        if (o.size() > 3 && o.compare(o.size() - 3, 3, ".gz") == 0) {
            // FILE.gz: BGZF, through the same temporary file.
            CBgzfOutBuf compress(file.stream());
            std::ostream out(&compress);
            summary = WritePileupDocument(opts, out, o, progress);
            if (!compress.Finish()) {
                throw std::runtime_error(WriteFailure(o, compress.Errno()));
            }
        } else {
            summary = WritePileupDocument(opts, file.stream(), o, progress);
        }
        file.Commit();
    }
    std::cerr << FormatSummary(summary, opts) << '\n' << FormatWarnings(summary) << std::flush;
}
