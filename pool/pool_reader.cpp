#include "pool/pool_reader.hpp"

#include <htslib/sam.h>
#include <htslib/thread_pool.h>

#include <algorithm>
#include <memory>

#include "base/input_error.hpp"
#include "common/taskpool.hpp"
#include "io/bed.hpp"
#include "io/input_kind.hpp"
#include "io/mpileup_reader.hpp"
#include "pileup/hts_handles.hpp"
#include "pool/pool_sources.hpp"

namespace {

// Bases per job of the parallel pileup: enough jobs to share out, few
// enough that opening the files per job costs nothing worth measuring.
constexpr std::int64_t kJobBases = 250000;
// Sites per job of pileup text, read on one thread and tabulated on many;
// and sites per batch of a pass without an index.
constexpr std::size_t kTextBatch = 4096;
constexpr std::size_t kUnindexedBatch = kTextBatch * 16;

// The positions that count: in the regions, outside the mask.
class CPositionFilter {
  public:
    CPositionFilter(const CBedFile* regions, const CBedFile* mask)
        : m_Regions(regions), m_Mask(mask) {}
    bool Keep(int contig, const std::string& name, std::int64_t pos) {
        if (!m_Regions && !m_Mask) {
            return true;
        }
        if (contig != m_Contig) {
            m_Contig = contig;
            m_In.Reset(m_Regions ? m_Regions->Intervals(name) : nullptr);
            m_Out.Reset(m_Mask ? m_Mask->Intervals(name) : nullptr);
        }
        return (!m_Regions || m_In.Contains(pos)) && !(m_Mask && m_Out.Contains(pos));
    }

  private:
    const CBedFile* m_Regions;
    const CBedFile* m_Mask;
    int m_Contig = -1;
    CBedCursor m_In, m_Out;
};

// Turns sites into a batch: encodes them and keeps those where enough
// pools count.
class CBatchEncoder {
  public:
    CBatchEncoder(std::size_t pools, const SPileupOptions& filters, bool useReference,
                  const SPoolReadOptions& read, const CBedFile* regions, const CBedFile* mask,
                  const std::vector<std::string>& contigNames)
        : m_Encoder(pools, filters.m_MinDepth, filters.m_MaxDepth, useReference),
          m_Pools(pools),
          m_Read(read),
          m_Keep(regions, mask),
          m_ContigNames(contigNames) {}

    // Encodes site into batch when its position counts; true when kept.
    bool Add(const SPoolSite& site, SPoolBatch& batch) {
        if (!m_Keep.Keep(site.m_Contig, m_ContigNames[static_cast<std::size_t>(site.m_Contig)],
                         site.m_Pos)) {
            return false;
        }
        const std::size_t before = batch.m_Bytes.size();
        std::uint64_t reads = 0;
        if (m_Encoder.Encode(site, batch.m_Bytes, batch.m_Counts, reads) < m_Read.m_MinCounting) {
            batch.m_Bytes.resize(before);
            return false;
        }
        batch.m_Contig.push_back(site.m_Contig);
        batch.m_Pos.push_back(site.m_Pos);
        batch.m_Size.push_back(static_cast<std::uint32_t>(batch.m_Bytes.size() - before));
        batch.m_Reads += reads;
        if (m_Read.m_Alleles) {
            batch.m_Alleles.push_back(m_Encoder.LastAlleles());
            for (std::size_t i = 0; i < m_Pools; ++i) {
                batch.m_AlleleReads.push_back(m_Encoder.LastFirstReads(i));
                batch.m_AlleleReads.push_back(m_Encoder.LastSecondReads(i));
            }
        }
        return true;
    }

  private:
    CPoolEncoder m_Encoder;
    std::size_t m_Pools;
    SPoolReadOptions m_Read;
    CPositionFilter m_Keep;
    const std::vector<std::string>& m_ContigNames;
};

bool HasIndex(const std::string& path) {
    CHtsStderrFilter filter;
    CQuietHts quiet;
    THtsFile fp(hts_open(path.c_str(), "r"));
    if (!fp) {
        return false;
    }
    TIndex idx(sam_index_load(fp.get(), path.c_str()));
    return idx != nullptr;
}

std::unique_ptr<CBedFile> OpenBed(const std::string& path) {
    return path.empty() ? nullptr : std::make_unique<CBedFile>(path);
}

}  // namespace

CPoolReader::CPoolReader(const SPoolProgram& program, const SPoolRunOptions& opts,
                         SPoolInputs& inputs, const SPoolReadOptions& read, hts_tpool* pool,
                         CProgressLine& bar)
    : m_Program(program), m_Opts(opts), m_Inputs(inputs), m_Read(read), m_Pool(pool), m_Bar(bar) {}

std::string CPoolReader::InputKind() const {
    return m_Inputs.m_PileupText ? "pileup text" : "alignments";
}

void CPoolReader::Run(const std::function<void(const std::vector<SPoolSpec>&)>& onPools,
                      const std::function<void(SPoolBatch&)>& take) {
    if (m_Inputs.m_PileupText) {
        x_Text(onPools, take);
    } else {
        x_Alignments(onPools, take);
    }
}

void CPoolReader::x_Take(SPoolBatch& batch, const std::function<void(SPoolBatch&)>& take) {
    const std::size_t pools = m_Inputs.m_Specs.size();
    m_Counts.m_PoolReads.resize(pools, 0);
    m_Counts.m_PoolSites.resize(pools, 0);
    // Per pool: its sites and reads, from the records' depths.
    std::size_t offset = 0;
    SPoolRecordView v;
    for (std::size_t i = 0; i < batch.Sites(); ++i) {
        const int contig = batch.m_Contig[i];
        if (contig != m_LastContig) {
            m_LastContig = contig;
            ++m_Counts.m_Contigs;
        }
        const std::size_t c = static_cast<std::size_t>(contig);
        if (m_LastPos.size() <= c) {
            m_LastPos.resize(c + 1, -1);
        }
        m_LastPos[c] = batch.m_Pos[i];
        const unsigned char* p = &batch.m_Bytes[offset];
        for (std::size_t k = 0; k < pools; ++k) {
            p = ReadPoolRecord(p, v);
            if (v.depth > 0) {
                ++m_Counts.m_PoolSites[k];
                m_Counts.m_PoolReads[k] += v.depth;
            }
        }
        offset += batch.m_Size[i];
    }
    m_Counts.m_Sites += batch.Sites();
    m_Counts.m_Reads += batch.m_Reads;
    m_Counts.m_Encoded.Add(batch.m_Counts);
    while (m_Ranges.size() < m_ContigNames.size()) {
        m_Ranges.push_back(SContigRange{});
    }
    if (batch.Sites() > 0) {
        m_Bar.Tick(m_ContigNames[static_cast<std::size_t>(batch.m_Contig.back())],
                   batch.m_Pos.back());
    }
    take(batch);
}

void CPoolReader::x_Alignments(const std::function<void(const std::vector<SPoolSpec>&)>& onPools,
                               const std::function<void(SPoolBatch&)>& take) {
    const SPileupOptions& filters = m_Opts.m_Pileup;
    const std::unique_ptr<CBedFile> regions = OpenBed(m_Opts.m_RegionsFile);
    const std::unique_ptr<CBedFile> mask = OpenBed(m_Opts.m_MaskFile);
    std::vector<std::vector<std::string>> files;
    for (const SPoolSpec& s : m_Inputs.m_Specs) {
        files.push_back(s.m_Files);
    }
    const SPoolContigs contigs = CheckPoolReferences(files, filters.m_Reference);
    m_ContigNames = contigs.m_Names;
    for (const CBedFile* bed : {regions.get(), mask.get()}) {
        if (bed) {
            bed->CheckContigs(m_ContigNames, "the alignments' header does not name");
        }
    }
    // The jobs: pieces of every contig (or of the region), or one pass over
    // everything when a file has no index.
    struct SJob {
        int tid;
        std::int64_t beg, end;
    };
    std::vector<SJob> jobs;
    bool indexed = true;
    for (const auto& f : files) {
        for (const std::string& path : f) {
            indexed = indexed && HasIndex(path);
        }
    }
    m_Ranges.assign(m_ContigNames.size(), SContigRange{});
    for (std::size_t c = 0; c < m_ContigNames.size(); ++c) {
        m_Ranges[c].m_End = contigs.m_Lengths[c];
    }
    if (!filters.m_Region.empty()) {
        std::vector<SPileupSummary> unused;
        CAlignmentPools probe(files, filters, filters.m_Region, unused, nullptr);
        int tid = -1;
        std::int64_t beg = 0, end = 0;
        probe.Region(tid, beg, end);
        for (std::size_t c = 0; c < m_Ranges.size(); ++c) {
            m_Ranges[c].m_Windows = static_cast<int>(c) == tid;
            m_Ranges[c].m_Beg = beg;
            m_Ranges[c].m_End = end;
        }
        for (std::int64_t at = beg; at < end; at += kJobBases) {
            jobs.push_back(SJob{tid, at, std::min(end, at + kJobBases)});
        }
    } else if (indexed) {
        for (std::size_t c = 0; c < m_ContigNames.size(); ++c) {
            for (std::int64_t at = 0; at < contigs.m_Lengths[c]; at += kJobBases) {
                jobs.push_back(
                    SJob{static_cast<int>(c), at, std::min(contigs.m_Lengths[c], at + kJobBases)});
            }
        }
    }
    onPools(m_Inputs.m_Specs);
    const std::size_t pools = m_Inputs.m_Specs.size();
    const bool useReference = m_Opts.m_Unfolded;
    if (jobs.empty() && filters.m_Region.empty()) {
        // A file without an index: one pass over everything on this thread
        // (the pool decompresses), handed on in batches.
        htsThreadPool htsPool{m_Pool, 0};
        SPoolBatch batch;
        std::vector<SPileupSummary> summaries;
        CAlignmentPools source(files, filters, "", summaries, m_Pool ? &htsPool : nullptr);
        CBatchEncoder encoder(pools, filters, useReference, m_Read, regions.get(), mask.get(),
                              m_ContigNames);
        SPoolSite site;
        while (source.Next(site)) {
            if (encoder.Add(site, batch) && batch.Sites() >= kUnindexedBatch) {
                x_Take(batch, take);
                batch = SPoolBatch();
            }
        }
        batch.m_Summaries = summaries;
        x_Take(batch, take);
        return;
    }
    std::function<SPoolBatch(std::size_t)> job = [&](std::size_t j) {
        const SJob& range = jobs[j];
        SPoolBatch result;
        const std::string region = "{" + m_ContigNames[static_cast<std::size_t>(range.tid)] +
                                   "}:" + std::to_string(range.beg + 1) + "-" +
                                   std::to_string(range.end);
        CAlignmentPools source(files, filters, region, result.m_Summaries, nullptr);
        CBatchEncoder encoder(pools, filters, useReference, m_Read, regions.get(), mask.get(),
                              m_ContigNames);
        SPoolSite site;
        while (source.Next(site)) {
            encoder.Add(site, result);
        }
        return result;
    };
    std::function<void(std::size_t, SPoolBatch&)> merge = [&](std::size_t, SPoolBatch& r) {
        x_Take(r, take);
    };
    RunOrdered<SPoolBatch>(m_Pool, jobs.size(), job, merge);
}

void CPoolReader::x_Text(const std::function<void(const std::vector<SPoolSpec>&)>& onPools,
                         const std::function<void(SPoolBatch&)>& take) {
    const std::string& path = m_Inputs.m_TextPath;
    const std::unique_ptr<CBedFile> regions = OpenBed(m_Opts.m_RegionsFile);
    const std::unique_ptr<CBedFile> mask = OpenBed(m_Opts.m_MaskFile);
    CInputFile in(path);
    if (in.Kind() != EInputKind::eMpileupText) {
        throw CInputError(
            EInputError::eFormat, SInputWhere{path, 0, 0, "", 0},
            std::string("is ") + InputKindName(in.Kind()) + ", not samtools mpileup text.");
    }
    SPileupOptions textFilters = m_Opts.m_Pileup;
    textFilters.m_MinDepth = 0;
    textFilters.m_MaxDepth = 0;
    SPileupSummary summary;
    // The reader names the file in its messages as it is given (it quotes
    // it itself).
    CMpileupReader reader(in.Release(), path, textFilters, summary, m_Opts.m_Unfolded);
    reader.UseThreadPool(m_Pool);
    std::size_t pools = 0;
    for (bool more = true; more;) {
        // Read a group of batches on this thread, tabulate them on all.
        const std::size_t groups = m_Pool ? 4 * m_Opts.m_Threads : 1;
        std::vector<std::vector<SPoolSite>> group(groups);
        std::size_t filled = 0;
        for (; filled < groups && more; ++filled) {
            auto& b = group[filled];
            b.resize(kTextBatch);
            std::size_t n = 0;
            SMpileupSamples samples;
            while (n < kTextBatch) {
                if (!reader.NextSamples(samples)) {
                    more = false;
                    break;
                }
                if (pools == 0) {
                    pools = samples.m_Reads.size();
                    m_Inputs.m_Specs = PileupTextPools(m_Program, m_Opts, path, pools);
                    onPools(m_Inputs.m_Specs);
                }
                SPoolSite& site = b[n++];
                site.m_Contig = samples.m_Contig;
                site.m_Pos = samples.m_Pos;
                site.m_RefBase = samples.m_RefBase;
                site.m_Reads.swap(samples.m_Reads);
            }
            b.resize(n);
        }
        m_ContigNames = reader.Contigs();
        if (pools == 0) {
            break;  // no line at all
        }
        std::function<SPoolBatch(std::size_t)> job = [&](std::size_t j) {
            SPoolBatch result;
            CBatchEncoder encoder(pools, m_Opts.m_Pileup, m_Opts.m_Unfolded, m_Read, regions.get(),
                                  mask.get(), m_ContigNames);
            for (const SPoolSite& site : group[j]) {
                encoder.Add(site, result);
            }
            return result;
        };
        std::function<void(std::size_t, SPoolBatch&)> merge = [&](std::size_t, SPoolBatch& r) {
            x_Take(r, take);
        };
        RunOrdered<SPoolBatch>(m_Pool, filled, job, merge);
    }
    if (pools == 0) {
        throw CInputError(EInputError::eFormat, SInputWhere{path, 0, 0, "", 0},
                          "holds no site with a read: nothing to compare.");
    }
    for (const CBedFile* bed : {regions.get(), mask.get()}) {
        if (bed) {
            bed->CheckContigs(m_ContigNames, "does not occur in " + InputName(path));
        }
    }
    // Pileup text does not know its contigs' lengths: windows reach the
    // last site handed on.
    m_Ranges.assign(m_ContigNames.size(), SContigRange{});
    for (std::size_t c = 0; c < m_Ranges.size(); ++c) {
        m_Ranges[c].m_End = -1;
        m_Ranges[c].m_Windows = c < m_LastPos.size() && m_LastPos[c] >= 0;
    }
}

std::unique_ptr<CPoolStore> StoreBatch(const SPoolBatch& batch, std::size_t pools,
                                       CPoolStore* store) {
    std::unique_ptr<CPoolStore> chunk;
    CPoolStore* to = store;
    if (!to) {
        chunk = std::make_unique<CPoolStore>(pools);
        to = chunk.get();
    }
    std::size_t offset = 0;
    for (std::size_t i = 0; i < batch.Sites(); ++i) {
        to->Append(batch.m_Contig[i], batch.m_Pos[i], &batch.m_Bytes[offset], batch.m_Size[i]);
        offset += batch.m_Size[i];
    }
    if (chunk) {
        chunk->Finish();
    }
    return chunk;
}

std::vector<std::size_t> SummariseReading(const CPoolReader& reader, SPoolReadSummary& summary) {
    const SPoolReadCounts& c = reader.Counts();
    summary.m_InputKind = reader.InputKind();
    summary.m_Sites = c.m_Sites;
    summary.m_Reads = c.m_Reads;
    summary.m_Contigs = c.m_Contigs;
    summary.m_PoolSitesBelowMinDepth = c.m_Encoded.m_BelowMinDepth;
    summary.m_PoolSitesAboveMaxDepth = c.m_Encoded.m_AboveMaxDepth;
    summary.m_MultiAllelic = c.m_Encoded.m_MultiAllelic;
    std::vector<std::size_t> empty;
    for (std::size_t i = 0; i < summary.m_Names.size(); ++i) {
        if (i >= c.m_PoolSites.size() || c.m_PoolSites[i] == 0) {
            summary.m_EmptyPools.push_back(summary.m_Names[i]);
            empty.push_back(i);
        }
    }
    return empty;
}
