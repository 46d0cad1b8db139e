#include "pileup/pileup_source.hpp"

#include <htslib/sam.h>
#include <htslib/thread_pool.h>

#include <algorithm>
#include <array>
#include <climits>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>

#include "base/qt_assert.hpp"
#include "pileup/pileup_chunks.hpp"
#include "pileup/pileup_engine.hpp"
#include "pileup/pileup_input.hpp"
#include "pileup/reference_fasta.hpp"
#include "pileup/region.hpp"
#include "pileup/samples.hpp"

namespace {

[[noreturn]] void Fail(const std::string& msg) {
    throw std::runtime_error(msg);
}

// The most pieces (contigs or parts of one) that CRAM inputs are read in
// chunks for.
constexpr std::size_t kMaxCramPieces = 4096;

// A site of a chunk; its reads (or, in columns, its scores base by base)
// are the next run of the chunk's. Kept small: at low depth a chunk holds
// far more sites than reads.
struct SChunkSite {
    std::int64_t m_Pos;
    std::int32_t m_Tid;
    std::array<std::uint32_t, 4> m_Counts;  // reads per base
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
        std::vector<SPileupRead> m_Reads;    // of the sites, in reads
        std::vector<std::uint8_t> m_Scores;  // or in columns
        SPileupSummary m_Counts;
        std::exception_ptr m_Error;  // after its sites, the chunk failed
    };

    SPileupOptions m_Opts;
    EPileupForm m_Form;
    SPileupSummary& m_Summary;
    std::unique_ptr<CReferenceFasta> m_Reference;
    std::vector<std::unique_ptr<CPileupInput>> m_Inputs;
    SSamples m_Samples;
    bool m_HasRegion = false;
    SRegion m_Region;

    // One reader: every input read once, in this thread.
    std::vector<SPileupPiece> m_RegionPieces;
    std::unique_ptr<CPileupEngine> m_Pass;
    SPileupSite m_Site;  // a site in reads, grouped for NextColumn()

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
    std::size_t m_CurrentRead = 0;  // of the site's reads or scores
    std::exception_ptr m_Failed;
    std::mutex m_Lock;  // guards the readers' lists
    std::vector<std::unique_ptr<SChunkReaders>> m_Readers;
    std::vector<SChunkReaders*> m_IdleReaders;

    SImpl(const SPileupOptions& opts, EPileupForm form, SPileupSummary& summary)
        : m_Opts(opts), m_Form(form), m_Summary(summary) {}

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
    // The next chunk's site into m_Current's next; false at the end.
    const SChunkSite* NextChunkSite();
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
        job->m_Scores.clear();
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
        const std::unique_ptr<CPileupEngine> engine = MakePileupEngine(
            inputs, readers->m_Reference.get(), s.m_Opts, job.m_Counts, &job.m_Chunk->m_Pieces);
        if (s.m_Form == EPileupForm::eColumns) {
            SPileupColumn column;
            while (engine->NextColumn(column)) {
                SChunkSite c{column.m_Pos,
                             column.m_Tid,
                             {},
                             static_cast<signed char>(column.m_RefBase),
                             column.m_DepthFiltered};
                for (std::size_t b = 0; b < 4; ++b) {
                    const std::vector<std::uint8_t>& scores = column.m_Scores[b];
                    job.m_Scores.insert(job.m_Scores.end(), scores.begin(), scores.end());
                    c.m_Counts[b] = static_cast<std::uint32_t>(scores.size());
                }
                job.m_Sites.push_back(c);
            }
        } else {
            SPileupSite site;
            while (engine->Next(site)) {
                job.m_Reads.insert(job.m_Reads.end(), site.m_Reads.begin(), site.m_Reads.end());
                job.m_Sites.push_back(SChunkSite{site.m_Pos,
                                                 site.m_Tid,
                                                 {static_cast<std::uint32_t>(site.m_Reads.size())},
                                                 static_cast<signed char>(site.m_RefBase),
                                                 site.m_DepthFiltered});
            }
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
                                     htsThreadPool* threadPool, EPileupForm form)
    : m_Impl(std::make_unique<SImpl>(opts, form, summary)) {
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
    s.m_Samples = s.m_Opts.m_FileSample.empty()
                      ? FindSamples(s.m_Opts.m_Inputs, headers)
                      : SheetSamples(s.m_Opts.m_SheetSamples, s.m_Opts.m_FileSample);
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
    s.m_Pass = MakePileupEngine(inputs, s.m_Reference.get(), s.m_Opts, summary,
                                s.m_HasRegion ? &s.m_RegionPieces : nullptr);
}

CPileupSiteSource::~CPileupSiteSource() {
    CQuietHts quiet;
    m_Impl.reset();
}

const SChunkSite* CPileupSiteSource::SImpl::NextChunkSite() {
    if (m_Failed) {
        std::rethrow_exception(m_Failed);
    }
    for (;;) {
        if (m_Current) {
            SJob& job = *m_Current;
            if (m_CurrentSite < job.m_Sites.size()) {
                return &job.m_Sites[m_CurrentSite++];
            }
            m_Current = nullptr;
            m_FreeJobs.push_back(&job);
            if (job.m_Error) {
                m_Failed = job.m_Error;
                std::rethrow_exception(m_Failed);
            }
        }
        if (m_InFlight == 0) {
            return nullptr;
        }
        hts_tpool_result* r = hts_tpool_next_result_wait(m_Queue);
        if (!r) {
            Fail("The pileup's threads stopped (out of memory?).");
        }
        m_Current = static_cast<SJob*>(hts_tpool_result_data(r));
        hts_tpool_delete_result(r, 0);
        --m_InFlight;
        m_CurrentSite = 0;
        m_CurrentRead = 0;
        AddCounts(m_Summary, m_Current->m_Counts);
        Dispatch();
    }
}

bool CPileupSiteSource::Next(SPileupSite& site) {
    SImpl& s = *m_Impl;
    QT_ASSERT(s.m_Form == EPileupForm::eReads);
    if (s.m_Pass) {
        return s.m_Pass->Next(site);
    }
    const SChunkSite* c = s.NextChunkSite();
    if (!c) {
        return false;
    }
    const std::uint32_t depth = c->m_Counts[0];
    const SPileupRead* reads = s.m_Current->m_Reads.data() + s.m_CurrentRead;
    s.m_CurrentRead += depth;
    site.m_Reads.assign(reads, reads + depth);
    site.m_Counts = TBaseCounts{};
    for (const SPileupRead& r : site.m_Reads) {
        ++site.m_Counts[r.m_Base];
    }
    site.m_Tid = c->m_Tid;
    site.m_Pos = c->m_Pos;
    site.m_RefBase = c->m_RefBase;
    site.m_DepthFiltered = c->m_DepthFiltered;
    return true;
}

bool CPileupSiteSource::NextColumn(SPileupColumn& column) {
    SImpl& s = *m_Impl;
    if (s.m_Form == EPileupForm::eReads) {
        if (!Next(s.m_Site)) {
            return false;
        }
        GroupByBase(s.m_Site, column);
        return true;
    }
    if (s.m_Pass) {
        return s.m_Pass->NextColumn(column);
    }
    const SChunkSite* c = s.NextChunkSite();
    if (!c) {
        return false;
    }
    const std::uint8_t* scores = s.m_Current->m_Scores.data() + s.m_CurrentRead;
    for (std::size_t b = 0; b < 4; ++b) {
        column.m_Scores[b].assign(scores, scores + c->m_Counts[b]);
        scores += c->m_Counts[b];
        s.m_CurrentRead += c->m_Counts[b];
    }
    column.m_Tid = c->m_Tid;
    column.m_Pos = c->m_Pos;
    column.m_RefBase = c->m_RefBase;
    column.m_DepthFiltered = c->m_DepthFiltered;
    return true;
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
