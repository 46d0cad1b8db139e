#include "pileup/pileup_source.hpp"

#include <htslib/sam.h>
#include <htslib/thread_pool.h>

#include <algorithm>
#include <climits>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>

#include "pileup/pileup_chunks.hpp"
#include "pileup/pileup_input.hpp"
#include "pileup/reference_fasta.hpp"
#include "pileup/region.hpp"
#include "pileup/samples.hpp"

namespace {

[[noreturn]] void Fail(const std::string& msg) {
    throw std::runtime_error(msg);
}

struct SPlpFree {
    void operator()(bam_mplp_t p) const {
        CQuietHts quiet;
        bam_mplp_destroy(p);
    }
};

int ReadCallback(void* data, bam1_t* b) {
    return static_cast<CPileupInput*>(data)->Next(b);
}

int EnterCallback(void* data, const bam1_t* b, bam_pileup_cd* cd) {
    static_cast<CPileupInput*>(data)->OnEnter(b, cd);
    return 0;
}

int LeaveCallback(void* data, const bam1_t* b, bam_pileup_cd* cd) {
    static_cast<CPileupInput*>(data)->OnLeave(b, cd);
    return 0;
}

// Not yet looked up (a site's reference base is fetched when first needed).
constexpr int kRefUnknown = -2;

// The most pieces (contigs or parts of one) that CRAM inputs are read in
// chunks for.
constexpr std::size_t kMaxCramPieces = 4096;

// One pass of htslib's pileup over the inputs as they are set up (whole,
// a region or a chunk): positions in genome order, each with its reads
// after the read and base filters. Only the positions of pieces become
// sites (all positions when pieces is null); the reads the inputs deliver
// may reach beyond them.
class CColumns {
  public:
    CColumns(std::vector<CPileupInput*> inputs, CReferenceFasta* reference,
             const SPileupOptions& opts, SPileupSummary& summary,
             const std::vector<SPileupPiece>* pieces)
        : m_Inputs(std::move(inputs)),
          m_Reference(reference),
          m_Opts(opts),
          m_Summary(summary),
          m_Pieces(pieces) {
        std::vector<void*> data(m_Inputs.begin(), m_Inputs.end());
        const int n = static_cast<int>(m_Inputs.size());
        m_Plp.reset(bam_mplp_init(n, ReadCallback, data.data()));
        if (!m_Plp) {
            Fail("Cannot start the pileup (out of memory).");
        }
        // The depth filter is ours: htslib must not drop reads at deep sites.
        bam_mplp_set_maxcnt(m_Plp.get(), INT32_MAX);
        bam_mplp_constructor(m_Plp.get(), EnterCallback);
        bam_mplp_destructor(m_Plp.get(), LeaveCallback);
        m_Piles.resize(m_Inputs.size());
        m_Depths.resize(m_Inputs.size());
    }

    bool Next(SPileupSite& site);

  private:
    const sam_hdr_t* Header() const { return m_Inputs.front()->Header(); }

    int RefBase(int tid, hts_pos_t pos) {
        return m_Reference ? m_Reference->BaseAt(Header(), m_Inputs.front()->Path(), tid, pos) : -1;
    }

    // Positions arrive in genome order, so the piece that may hold the
    // next one only moves on.
    bool Owns(int tid, hts_pos_t pos) {
        if (!m_Pieces) {
            return true;
        }
        const std::vector<SPileupPiece>& p = *m_Pieces;
        while (m_Piece < p.size() &&
               (p[m_Piece].m_Tid < tid || (p[m_Piece].m_Tid == tid && p[m_Piece].m_End <= pos))) {
            ++m_Piece;
        }
        return m_Piece < p.size() && p[m_Piece].m_Tid == tid && pos >= p[m_Piece].m_Beg;
    }

    // A base written as '=' is the reference base; the file needs its FASTA.
    [[noreturn]] void NoReferenceForEquals(const CPileupInput& in, const bam1_t* b, int tid,
                                           hts_pos_t pos) const {
        Fail(Quoted(in.Path()) + " writes bases equal to the reference as '=' (read " +
             Quoted(bam_get_qname(b)) + " at " + sam_hdr_tid2name(Header(), tid) + ":" +
             std::to_string(pos + 1) + "): it needs the reference FASTA (-f/--reference).");
    }

    std::vector<CPileupInput*> m_Inputs;
    CReferenceFasta* m_Reference;
    const SPileupOptions& m_Opts;
    SPileupSummary& m_Summary;
    const std::vector<SPileupPiece>* m_Pieces;
    std::size_t m_Piece = 0;
    std::unique_ptr<bam_mplp_s, SPlpFree> m_Plp;
    std::vector<const bam_pileup1_t*> m_Piles;
    std::vector<int> m_Depths;
};

bool CColumns::Next(SPileupSite& site) {
    SPileupSummary& sum = m_Summary;
    const unsigned minBaseQ = static_cast<unsigned>(m_Opts.m_MinBaseQ);
    for (;;) {
        int tid = -1;
        hts_pos_t pos = 0;
        int ret;
        {
            CQuietHts quiet;
            ret = bam_mplp64_auto(m_Plp.get(), &tid, &pos, m_Depths.data(), m_Piles.data());
        }
        if (ret == 0) {
            return false;
        }
        if (ret < 0) {
            for (CPileupInput* in : m_Inputs) {
                if (in->Fault()) {
                    std::rethrow_exception(in->Fault());
                }
                if (!in->Error().empty()) {
                    Fail(in->Error());
                }
            }
            Fail("Reading " + Quoted(m_Inputs.front()->Path()) +
                 " failed: the input is not sorted by coordinate, or memory ran out.");
        }
        if (!Owns(tid, pos)) {
            continue;
        }
        if (pos >= sam_hdr_tid2len(Header(), tid)) {
            // Reads hanging off a scaffold's end: the positions past it do
            // not exist on the reference, so they never become sites.
            for (std::size_t i = 0; i < m_Inputs.size(); ++i) {
                for (int j = 0; j < m_Depths[i]; ++j) {
                    const bam_pileup1_t& p = m_Piles[i][j];
                    sum.m_BasesPastEnd += !p.is_del && !p.is_refskip;
                }
            }
            continue;
        }
        site.m_Reads.clear();
        site.m_Counts = TBaseCounts{};
        int ref = kRefUnknown;
        for (std::size_t i = 0; i < m_Inputs.size(); ++i) {
            const bam_pileup1_t* pile = m_Piles[i];
            for (int j = 0; j < m_Depths[i]; ++j) {
                const bam_pileup1_t& p = pile[j];
                if (p.is_del || p.is_refskip) {
                    ++(p.is_refskip ? sum.m_BasesRefSkip : sum.m_BasesDeletion);
                    continue;
                }
                const CPileupInput::SReadState& state = CPileupInput::State(p.cd);
                if (state.m_Overlap > 0 && pos < state.m_Overlap) {
                    ++sum.m_BasesOverlap;
                    continue;
                }
                const unsigned code = bam_seqi(bam_get_seq(p.b), p.qpos);
                int base;
                if (code != 0) {
                    base = BaseIndexOfNt16(code);
                } else {
                    // '=': the same as the reference base (samtools calmd -e).
                    if (!m_Reference) {
                        NoReferenceForEquals(*m_Inputs[i], p.b, tid, pos);
                    }
                    if (ref == kRefUnknown) {
                        ref = RefBase(tid, pos);
                    }
                    base = ref;
                }
                if (base < 0) {
                    ++sum.m_BasesN;
                    continue;
                }
                const unsigned score = bam_get_qual(p.b)[p.qpos];
                if (score < minBaseQ) {
                    ++sum.m_BasesLowQuality;
                    continue;
                }
                site.m_Reads.push_back(SPileupRead{static_cast<unsigned char>(base),
                                                   static_cast<unsigned char>(score),
                                                   state.m_Sample});
                ++site.m_Counts[static_cast<std::size_t>(base)];
            }
        }
        const std::size_t depth = site.m_Reads.size();
        if (depth == 0) {
            ++sum.m_SitesNoReads;
            continue;
        }
        site.m_DepthFiltered = false;
        if (depth < m_Opts.m_MinDepth) {
            ++sum.m_SitesBelowMinDepth;
            site.m_DepthFiltered = true;
        } else if (m_Opts.m_MaxDepth != 0 && depth > m_Opts.m_MaxDepth) {
            ++sum.m_SitesAboveMaxDepth;
            site.m_DepthFiltered = true;
        }
        site.m_Tid = tid;
        site.m_Pos = pos;
        site.m_RefBase = ref == kRefUnknown ? RefBase(tid, pos) : ref;
        return true;
    }
}

// A site of a chunk; its reads are the next run of the chunk's reads. Kept
// small: at low depth a chunk holds far more sites than reads.
struct SChunkSite {
    std::int64_t m_Pos;
    std::int32_t m_Tid;
    std::uint32_t m_Depth;
    signed char m_RefBase;
    bool m_DepthFiltered;
};

// The inputs (and reference) a thread piles up a chunk with: its own file
// handles and indexes, reused from chunk to chunk.
struct SChunkReaders {
    std::unique_ptr<CReferenceFasta> m_Reference;
    std::vector<std::unique_ptr<CPileupInput>> m_Inputs;
    SPileupSummary m_Unused;  // the inputs count into each chunk's own
};

}  // namespace

struct CPileupSiteSource::SImpl {
    // One chunk's work and its outcome, handed to a pool thread and back.
    struct SJob {
        SImpl* m_Owner = nullptr;
        const SPileupChunk* m_Chunk = nullptr;
        std::vector<SChunkSite> m_Sites;
        std::vector<SPileupRead> m_Reads;
        SPileupSummary m_Counts;
        std::exception_ptr m_Error;  // after its sites, the chunk failed
    };

    SPileupOptions m_Opts;
    SPileupSummary& m_Summary;
    std::unique_ptr<CReferenceFasta> m_Reference;
    std::vector<std::unique_ptr<CPileupInput>> m_Inputs;
    SSamples m_Samples;
    bool m_HasRegion = false;
    SRegion m_Region;

    // One reader: every input read once, in this thread.
    std::vector<SPileupPiece> m_RegionPieces;
    std::unique_ptr<CColumns> m_Pass;

    // Chunks piled up on the pool, delivered in genome order.
    hts_tpool* m_Pool = nullptr;
    hts_tpool_process* m_Queue = nullptr;
    std::vector<SPileupChunk> m_Chunks;
    std::size_t m_NextChunk = 0;
    std::size_t m_InFlight = 0;
    std::size_t m_MaxInFlight = 0;
    std::vector<std::unique_ptr<SJob>> m_Jobs;
    std::vector<SJob*> m_FreeJobs;
    SJob* m_Current = nullptr;
    std::size_t m_CurrentSite = 0;
    std::size_t m_CurrentRead = 0;
    std::exception_ptr m_Failed;
    std::mutex m_Lock;  // guards the readers' lists
    std::vector<std::unique_ptr<SChunkReaders>> m_Readers;
    std::vector<SChunkReaders*> m_IdleReaders;

    SImpl(const SPileupOptions& opts, SPileupSummary& summary) : m_Opts(opts), m_Summary(summary) {}

    ~SImpl() {
        // Every job in flight uses this object: wait for them.
        for (; m_InFlight > 0; --m_InFlight) {
            hts_tpool_result* r = hts_tpool_next_result_wait(m_Queue);
            hts_tpool_delete_result(r, 0);
        }
        if (m_Queue) {
            hts_tpool_process_destroy(m_Queue);
        }
    }

    const sam_hdr_t* Header() const { return m_Inputs.front()->Header(); }

    // Chunks need the pool and a sound index for every input.
    bool StartChunks(htsThreadPool* threadPool);
    void Dispatch();
    SChunkReaders* AcquireReaders();
    void ReleaseReaders(SChunkReaders* readers, bool sound);
    static void* RunChunk(void* arg);
};

bool CPileupSiteSource::SImpl::StartChunks(htsThreadPool* threadPool) {
    if (!threadPool || !threadPool->pool) {
        return false;
    }
    std::vector<const hts_idx_t*> indexes;
    for (auto& in : m_Inputs) {
        if (!in->LoadIndexForChunks()) {
            return false;
        }
        indexes.push_back(in->Index());
    }
    m_Chunks =
        PlanPileupChunks(Header(), indexes, m_HasRegion ? &m_Region : nullptr, m_Opts.m_Chunking);
    // CRAM is queried piece by piece, each query decoding a container: an
    // assembly of many scaffolds is read faster in one pass.
    std::size_t pieces = 0;
    for (const SPileupChunk& chunk : m_Chunks) {
        pieces += chunk.m_Pieces.size();
    }
    for (auto& in : m_Inputs) {
        if (in->IsCram() && pieces > kMaxCramPieces) {
            m_Chunks.clear();
            return false;
        }
    }
    m_Pool = threadPool->pool;
    // Enough chunks to keep every thread busy and one ready for the
    // reader, few enough that waiting chunks stay a few megabytes each.
    m_MaxInFlight = static_cast<std::size_t>(std::max(hts_tpool_size(m_Pool), 1)) + 2;
    m_Queue = hts_tpool_process_init(m_Pool, static_cast<int>(m_MaxInFlight), 0);
    if (!m_Queue) {
        Fail("Cannot start the pileup's threads (out of memory).");
    }
    Dispatch();
    return true;
}

void CPileupSiteSource::SImpl::Dispatch() {
    while (m_InFlight < m_MaxInFlight && m_NextChunk < m_Chunks.size()) {
        SJob* job;
        if (m_FreeJobs.empty()) {
            m_Jobs.push_back(std::make_unique<SJob>());
            job = m_Jobs.back().get();
            job->m_Owner = this;
        } else {
            job = m_FreeJobs.back();
            m_FreeJobs.pop_back();
        }
        job->m_Chunk = &m_Chunks[m_NextChunk];
        job->m_Sites.clear();
        job->m_Reads.clear();
        job->m_Counts = SPileupSummary{};
        job->m_Error = nullptr;
        if (hts_tpool_dispatch(m_Pool, m_Queue, RunChunk, job) != 0) {
            m_FreeJobs.push_back(job);
            Fail("Cannot hand the pileup to its threads (out of memory).");
        }
        ++m_NextChunk;
        ++m_InFlight;
    }
}

SChunkReaders* CPileupSiteSource::SImpl::AcquireReaders() {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (!m_IdleReaders.empty()) {
            SChunkReaders* r = m_IdleReaders.back();
            m_IdleReaders.pop_back();
            return r;
        }
    }
    auto readers = std::make_unique<SChunkReaders>();
    if (!m_Opts.m_Reference.empty()) {
        readers->m_Reference = std::make_unique<CReferenceFasta>(m_Opts.m_Reference);
    }
    for (auto& first : m_Inputs) {
        readers->m_Inputs.push_back(
            CPileupInput::ForThread(*first, readers->m_Reference.get(), readers->m_Unused));
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Readers.push_back(std::move(readers));
    return m_Readers.back().get();
}

void CPileupSiteSource::SImpl::ReleaseReaders(SChunkReaders* readers, bool sound) {
    std::lock_guard<std::mutex> lock(m_Lock);
    if (sound) {
        m_IdleReaders.push_back(readers);
        return;
    }
    // After a fault the handles may be in any state: never reused.
    for (auto& r : m_Readers) {
        if (r.get() == readers) {
            r.reset();
        }
    }
}

void* CPileupSiteSource::SImpl::RunChunk(void* arg) {
    SJob& job = *static_cast<SJob*>(arg);
    SImpl& s = *job.m_Owner;
    CQuietHts quiet;
    SChunkReaders* readers = nullptr;
    try {
        readers = s.AcquireReaders();
        std::vector<CPileupInput*> inputs;
        for (auto& in : readers->m_Inputs) {
            in->SetChunk(*job.m_Chunk, job.m_Counts);
            inputs.push_back(in.get());
        }
        CColumns columns(inputs, readers->m_Reference.get(), s.m_Opts, job.m_Counts,
                         &job.m_Chunk->m_Pieces);
        SPileupSite site;
        while (columns.Next(site)) {
            job.m_Reads.insert(job.m_Reads.end(), site.m_Reads.begin(), site.m_Reads.end());
            job.m_Sites.push_back(
                SChunkSite{site.m_Pos, site.m_Tid, static_cast<std::uint32_t>(site.m_Reads.size()),
                           static_cast<signed char>(site.m_RefBase), site.m_DepthFiltered});
        }
    } catch (...) {
        job.m_Error = std::current_exception();
    }
    if (readers) {
        s.ReleaseReaders(readers, !job.m_Error);
    }
    return &job;
}

CPileupSiteSource::CPileupSiteSource(const SPileupOptions& opts, SPileupSummary& summary,
                                     htsThreadPool* threadPool)
    : m_Impl(std::make_unique<SImpl>(opts, summary)) {
    SImpl& s = *m_Impl;
    if (s.m_Opts.m_Inputs.empty()) {
        Fail("No input file given.");
    }
    if (!s.m_Opts.m_Reference.empty()) {
        s.m_Reference = std::make_unique<CReferenceFasta>(s.m_Opts.m_Reference);
    }
    for (const std::string& path : s.m_Opts.m_Inputs) {
        s.m_Inputs.push_back(
            std::make_unique<CPileupInput>(path, s.m_Opts, s.m_Reference.get(), summary));
        if (s.m_Inputs.size() > 1) {
            s.m_Inputs.back()->CheckSameReferences(*s.m_Inputs.front());
        }
    }
    std::vector<const sam_hdr_t*> headers;
    for (auto& in : s.m_Inputs) {
        headers.push_back(in->Header());
    }
    s.m_Samples = FindSamples(s.m_Opts.m_Inputs, headers);
    for (std::size_t i = 0; i < s.m_Inputs.size(); ++i) {
        s.m_Inputs[i]->SetSamples(s.m_Samples.m_Files[i]);
    }
    if (!s.m_Opts.m_Region.empty()) {
        s.m_Region = ParseRegion(s.m_Opts.m_Region, s.Header(), s.m_Inputs.front()->Path());
        s.m_HasRegion = true;
    }
    if (s.StartChunks(threadPool)) {
        return;
    }
    std::vector<CPileupInput*> inputs;
    for (auto& in : s.m_Inputs) {
        in->UseThreadPool(threadPool);
        if (s.m_HasRegion) {
            in->SetRegion(s.m_Region);
        }
        inputs.push_back(in.get());
    }
    if (s.m_HasRegion) {
        s.m_RegionPieces.push_back({s.m_Region.m_Tid, s.m_Region.m_Beg, s.m_Region.m_End});
    }
    s.m_Pass = std::make_unique<CColumns>(inputs, s.m_Reference.get(), s.m_Opts, summary,
                                          s.m_HasRegion ? &s.m_RegionPieces : nullptr);
}

CPileupSiteSource::~CPileupSiteSource() {
    CQuietHts quiet;
    m_Impl.reset();
}

bool CPileupSiteSource::Next(SPileupSite& site) {
    SImpl& s = *m_Impl;
    if (s.m_Pass) {
        return s.m_Pass->Next(site);
    }
    if (s.m_Failed) {
        std::rethrow_exception(s.m_Failed);
    }
    for (;;) {
        if (s.m_Current) {
            SImpl::SJob& job = *s.m_Current;
            if (s.m_CurrentSite < job.m_Sites.size()) {
                const SChunkSite& c = job.m_Sites[s.m_CurrentSite++];
                const SPileupRead* reads = job.m_Reads.data() + s.m_CurrentRead;
                s.m_CurrentRead += c.m_Depth;
                site.m_Reads.assign(reads, reads + c.m_Depth);
                site.m_Counts = TBaseCounts{};
                for (const SPileupRead& r : site.m_Reads) {
                    ++site.m_Counts[r.m_Base];
                }
                site.m_Tid = c.m_Tid;
                site.m_Pos = c.m_Pos;
                site.m_RefBase = c.m_RefBase;
                site.m_DepthFiltered = c.m_DepthFiltered;
                return true;
            }
            s.m_Current = nullptr;
            s.m_FreeJobs.push_back(&job);
            if (job.m_Error) {
                s.m_Failed = job.m_Error;
                std::rethrow_exception(s.m_Failed);
            }
        }
        if (s.m_InFlight == 0) {
            return false;
        }
        hts_tpool_result* r = hts_tpool_next_result_wait(s.m_Queue);
        if (!r) {
            Fail("The pileup's threads stopped (out of memory?).");
        }
        s.m_Current = static_cast<SImpl::SJob*>(hts_tpool_result_data(r));
        hts_tpool_delete_result(r, 0);
        --s.m_InFlight;
        s.m_CurrentSite = 0;
        s.m_CurrentRead = 0;
        AddCounts(s.m_Summary, s.m_Current->m_Counts);
        s.Dispatch();
    }
}

const std::vector<std::string>& CPileupSiteSource::Samples() const {
    return m_Impl->m_Samples.m_Names;
}

bool CPileupSiteSource::SamplesFromReadGroups() const {
    return m_Impl->m_Samples.m_ReadGroups;
}

void SplitBySample(const SPileupSite& site, std::size_t numSamples,
                   std::vector<SPileupSite>& perSample) {
    perSample.resize(numSamples);
    for (SPileupSite& one : perSample) {
        one.m_Tid = site.m_Tid;
        one.m_Pos = site.m_Pos;
        one.m_RefBase = site.m_RefBase;
        one.m_Reads.clear();
        one.m_Counts = TBaseCounts{};
        one.m_DepthFiltered = false;
    }
    for (const SPileupRead& r : site.m_Reads) {
        SPileupSite& one = perSample[r.m_Sample];
        one.m_Reads.push_back(r);
        ++one.m_Counts[r.m_Base];
    }
}

std::size_t CPileupSiteSource::NumChunks() const {
    return m_Impl->m_Pass ? 0 : m_Impl->m_Chunks.size();
}

int CPileupSiteSource::NumContigs() const {
    return sam_hdr_nref(m_Impl->Header());
}

const char* CPileupSiteSource::ContigName(int tid) const {
    return sam_hdr_tid2name(m_Impl->Header(), tid);
}

std::int64_t CPileupSiteSource::ContigLength(int tid) const {
    return sam_hdr_tid2len(m_Impl->Header(), tid);
}

bool CPileupSiteSource::GetRegion(int& tid, std::int64_t& beg, std::int64_t& end) const {
    if (!m_Impl->m_HasRegion) {
        return false;
    }
    tid = m_Impl->m_Region.m_Tid;
    beg = m_Impl->m_Region.m_Beg;
    end = std::min<std::int64_t>(m_Impl->m_Region.m_End, ContigLength(tid));
    return true;
}
