#include "scan/scan_samples.hpp"

#include <utility>

#include "io/alignment_source.hpp"
#include "io/mpileup_reader.hpp"

bool CSampleQueue::Next(SRawSite& site) {
    if (m_Head == m_Count) {
        // Spent: the slots (and their buffers) serve the next round.
        m_Head = m_Count = 0;
        return false;
    }
    std::swap(site, m_Slots[m_Head++]);
    return true;
}

void CSampleQueue::Push(SRawSite& site) {
    if (m_Head == m_Count) {
        // Taken to the last site (whether or not the tabulator asked once
        // more): start again at the first slot, or the slots would grow with
        // every round.
        m_Head = m_Count = 0;
    }
    if (m_Count == m_Slots.size()) {
        m_Slots.emplace_back();
    }
    std::swap(site, m_Slots[m_Count++]);
}

CSampleSplitter::CSampleSplitter(std::size_t samples) {
    for (std::size_t s = 0; s < samples; ++s) {
        m_Queues.push_back(std::make_unique<CSampleQueue>());
    }
    m_PerSample.resize(samples);
}

bool CSampleSplitter::Fill(std::size_t roundSites) {
    if (m_Ended) {
        return false;
    }
    for (;;) {
        if (!x_Next(m_PerSample)) {
            m_Ended = true;
            return false;
        }
        bool full = false;
        for (std::size_t s = 0; s < m_Queues.size(); ++s) {
            if (m_PerSample[s].Depth() == 0) {
                continue;
            }
            m_Queues[s]->Push(m_PerSample[s]);
            full = full || m_Queues[s]->Size() >= roundSites;
        }
        if (full) {
            return true;
        }
    }
}

CAlignmentSplitter::CAlignmentSplitter(CAlignmentSiteSource& source)
    : CSampleSplitter(source.Samples().size()), m_Source(source) {}

bool CAlignmentSplitter::x_Next(std::vector<SRawSite>& perSample) {
    return m_Source.NextBySample(perSample);
}

std::unique_ptr<CPileupTextSplitter> CPileupTextSplitter::Open(CMpileupReader& reader,
                                                               std::size_t ifEmpty) {
    auto first = std::make_unique<SMpileupSamples>();
    const bool any = reader.NextSamples(*first);
    const std::size_t columns = any ? first->m_Reads.size() : ifEmpty;
    return std::unique_ptr<CPileupTextSplitter>(
        new CPileupTextSplitter(reader, std::move(first), columns));
}

CPileupTextSplitter::CPileupTextSplitter(CMpileupReader& reader,
                                         std::unique_ptr<SMpileupSamples> first,
                                         std::size_t columns)
    : CSampleSplitter(columns),
      m_Reader(reader),
      m_Line(std::move(first)),
      m_Pending(!m_Line->m_Reads.empty()) {}

CPileupTextSplitter::~CPileupTextSplitter() = default;

bool CPileupTextSplitter::x_Next(std::vector<SRawSite>& perSample) {
    if (!m_Pending && !m_Reader.NextSamples(*m_Line)) {
        return false;
    }
    m_Pending = false;
    const SMpileupSamples& line = *m_Line;
    for (std::size_t s = 0; s < perSample.size(); ++s) {
        const std::vector<SBaseRead>& reads = line.m_Reads[s];
        FillRawSite(line.m_Contig, line.m_Pos, line.m_RefBase, reads.data(), reads.size(),
                    perSample[s]);
    }
    return true;
}
