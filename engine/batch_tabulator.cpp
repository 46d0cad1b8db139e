#include "engine/batch_tabulator.hpp"

#include <htslib/thread_pool.h>

#include <algorithm>
#include <new>
#include <stdexcept>
#include <utility>

#include "base/input_error.hpp"

struct CBatchTabulator::SBatch {
    CBatchTabulator* m_Owner = nullptr;
    std::vector<SRawSite> m_Raw;
    std::vector<STabulatedSite> m_Sites;
    std::size_t m_Count = 0;
    SSiteBatch m_Encoded;
    // A failure of the worker (memory, a table the encoder refuses),
    // carried to the reading thread, and the contig of the site it concerns.
    std::exception_ptr m_Error;
    int m_ErrorContig = -1;
};

CBatchTabulator::CBatchTabulator(CSiteSource& source, bool folded, hts_tpool* pool,
                                 std::size_t batchSites, const SSiteOptions* encode)
    : m_Source(source),
      m_Folded(folded),
      m_BatchSites(std::max<std::size_t>(batchSites, 1)),
      m_Pool(pool),
      m_Encode(encode != nullptr) {
    if (encode) {
        m_EncodeOptions = *encode;
    }
    if (m_Pool) {
        // Enough batches in flight to keep every thread busy while the
        // reading thread fills the next; the queue holds them all, so a
        // dispatch never waits on a result nobody collects.
        m_MaxInFlight = 2 * static_cast<std::size_t>(std::max(hts_tpool_size(m_Pool), 1)) + 1;
        m_Queue = hts_tpool_process_init(m_Pool, static_cast<int>(m_MaxInFlight), 0);
        if (!m_Queue) {
            throw std::bad_alloc();
        }
    }
}

CBatchTabulator::~CBatchTabulator() {
    if (m_Queue) {
        // Batches still at work point into this object: wait for them.
        for (; m_InFlight > 0; --m_InFlight) {
            hts_tpool_result* r = hts_tpool_next_result_wait(m_Queue);
            if (!r) {
                break;
            }
            hts_tpool_delete_result(r, 0);
        }
        hts_tpool_process_destroy(m_Queue);
    }
}

CBatchTabulator::SBatch* CBatchTabulator::x_FreeBatch() {
    if (m_Free.empty()) {
        m_Batches.push_back(std::make_unique<SBatch>());
        SBatch* b = m_Batches.back().get();
        b->m_Owner = this;
        b->m_Raw.resize(m_BatchSites);
        b->m_Sites.resize(m_BatchSites);
        return b;
    }
    SBatch* b = m_Free.back();
    m_Free.pop_back();
    return b;
}

bool CBatchTabulator::x_Fill(SBatch& batch) {
    batch.m_Count = 0;
    batch.m_Error = nullptr;
    try {
        while (batch.m_Count < m_BatchSites && m_Source.Next(batch.m_Raw[batch.m_Count])) {
            ++batch.m_Count;
        }
    } catch (...) {
        // The sites before the fault are still delivered, then the error.
        m_SourceError = std::current_exception();
        m_SourceDone = true;
        return batch.m_Count > 0;
    }
    if (batch.m_Count < m_BatchSites) {
        m_SourceDone = true;
    }
    return batch.m_Count > 0;
}

void CBatchTabulator::x_Tabulate(SBatch& batch) {
    SWorker* worker = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_IdleWorkers.empty()) {
            m_Workers.push_back(std::make_unique<SWorker>(m_Folded));
            if (m_Encode) {
                m_Workers.back()->m_Encoder = std::make_unique<CSiteEncoder>(m_EncodeOptions);
            }
            m_IdleWorkers.push_back(m_Workers.back().get());
        }
        worker = m_IdleWorkers.back();
        m_IdleWorkers.pop_back();
    }
    // The worker goes back to the list however this ends.
    struct SReturn {
        CBatchTabulator* owner;
        SWorker* worker;
        ~SReturn() {
            std::lock_guard<std::mutex> lock(owner->m_Lock);
            owner->m_IdleWorkers.push_back(worker);
        }
    } giveBack{this, worker};
    batch.m_Encoded.Clear();
    batch.m_ErrorContig = -1;
    for (std::size_t i = 0; i < batch.m_Count; ++i) {
        STabulatedSite& site = batch.m_Sites[i];
        batch.m_ErrorContig = batch.m_Raw[i].m_Contig;
        worker->m_Tabulator.Tabulate(batch.m_Raw[i], site);
        if (worker->m_Encoder) {
            batch.m_Encoded.Add(*worker->m_Encoder, site.m_Contig, site.m_Pos,
                                static_cast<int>(site.m_Depth), site.m_Table.data(),
                                site.m_LogScale);
        }
    }
    batch.m_ErrorContig = -1;
}

void CBatchTabulator::SetInputNames(std::string path, std::function<std::string(int)> contigName) {
    m_InputPath = std::move(path);
    m_ContigName = std::move(contigName);
}

void CBatchTabulator::x_Throw(std::exception_ptr error, int contig) const {
    try {
        std::rethrow_exception(error);
    } catch (const CInputError& e) {
        if (!m_ContigName || contig < 0) {
            throw;
        }
        SInputWhere where;
        where.m_File = m_InputPath;
        where.m_Contig = m_ContigName(contig);
        throw Placed(e, where);
    }
}

void* CBatchTabulator::x_Work(void* arg) {
    auto* batch = static_cast<SBatch*>(arg);
    try {
        batch->m_Owner->x_Tabulate(*batch);
    } catch (...) {
        batch->m_Error = std::current_exception();
    }
    return batch;
}

STabulatedBatch CBatchTabulator::NextBatch() {
    if (m_Current) {
        m_Free.push_back(m_Current);
        m_Current = nullptr;
    }
    if (!m_Pool) {
        if (!m_SourceDone) {
            SBatch* b = x_FreeBatch();
            if (x_Fill(*b)) {
                try {
                    x_Tabulate(*b);
                } catch (...) {
                    x_Throw(std::current_exception(), b->m_ErrorContig);
                }
                m_Current = b;
                return {b->m_Sites.data(), b->m_Count, m_Encode ? &b->m_Encoded : nullptr};
            }
            m_Free.push_back(b);
        }
        if (m_SourceError) {
            std::rethrow_exception(std::exchange(m_SourceError, nullptr));
        }
        return {};
    }

    while (!m_SourceDone && m_InFlight < m_MaxInFlight) {
        SBatch* b = x_FreeBatch();
        if (!x_Fill(*b)) {
            m_Free.push_back(b);
            break;
        }
        if (hts_tpool_dispatch(m_Pool, m_Queue, x_Work, b) != 0) {
            m_Free.push_back(b);
            throw std::runtime_error("Cannot hand work to the thread pool.");
        }
        ++m_InFlight;
    }
    if (m_InFlight == 0) {
        if (m_SourceError) {
            std::rethrow_exception(std::exchange(m_SourceError, nullptr));
        }
        return {};
    }
    hts_tpool_result* r = hts_tpool_next_result_wait(m_Queue);
    if (!r) {
        throw std::runtime_error("The thread pool stopped before its work was done.");
    }
    auto* b = static_cast<SBatch*>(hts_tpool_result_data(r));
    hts_tpool_delete_result(r, 0);
    --m_InFlight;
    m_Current = b;
    if (b->m_Error) {
        x_Throw(b->m_Error, b->m_ErrorContig);
    }
    return {b->m_Sites.data(), b->m_Count, m_Encode ? &b->m_Encoded : nullptr};
}
