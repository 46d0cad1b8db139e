#include "scan/scan_samples.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <stdexcept>
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

namespace {

// Descriptors for what a run opens besides the files it counts: the
// table, windows and surface files with their temporary files, an index,
// a reference, the directory synced at a commit.
constexpr std::size_t kSpareFiles = 32;

// The descriptors open now: the entries of /proc/self/fd (less the one
// that lists them), or, without /proc, those that answer fcntl below limit.
std::size_t OpenDescriptors(rlim_t limit) {
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        std::size_t n = 0;
        while (const dirent* e = ::readdir(dir)) {
            n += e->d_name[0] != '.' ? 1 : 0;
        }
        ::closedir(dir);
        return n > 0 ? n - 1 : 0;
    }
    std::size_t n = 0;
    const int top = static_cast<int>(std::min<rlim_t>(limit, 65536));
    for (int fd = 0; fd < top; ++fd) {
        n += ::fcntl(fd, F_GETFD) != -1 ? 1 : 0;
    }
    return n;
}

}  // namespace

void ReserveOpenFiles(std::size_t files, const std::string& what) {
    struct rlimit limit {};
    if (files == 0 || ::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return;
    }
    const std::size_t needed = OpenDescriptors(limit.rlim_cur) + files + kSpareFiles;
    if (limit.rlim_cur == RLIM_INFINITY || needed <= limit.rlim_cur) {
        return;
    }
    const bool hardEnough = limit.rlim_max == RLIM_INFINITY || needed <= limit.rlim_max;
    if (hardEnough) {
        struct rlimit raised = limit;
        raised.rlim_cur = needed;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            return;
        }
    }
    const rlim_t most = hardEnough ? limit.rlim_cur : limit.rlim_max;
    throw std::runtime_error(
        "The run needs about " + std::to_string(needed) + " open files (" + what +
        "), but the limit is " + std::to_string(most) + " (ulimit -n" +
        (hardEnough ? std::string() : std::string(", which only an administrator can raise")) +
        "): raise it to " + std::to_string(needed) +
        ", or run the samples in groups, each with its own --save-sites.");
}
