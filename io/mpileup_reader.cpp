#include "io/mpileup_reader.hpp"

#include <htslib/bgzf.h>
#include <htslib/hfile.h>
#include <htslib/kstring.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "model/site_classes.hpp"

namespace {

// A whole decimal number in [lo, hi], or -1.
long long WholeNumber(const std::string& text, long long lo, long long hi) {
    if (text.empty() || text.size() > 18) {
        return -1;
    }
    long long v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return -1;
        }
        v = v * 10 + (c - '0');
    }
    return v < lo || v > hi ? -1 : v;
}

}  // namespace

CMpileupReader::CMpileupReader(const std::string& path, const SPileupOptions& filters,
                               SPileupSummary& summary)
    : m_Path(path == "-" ? "standard input" : "'" + path + "'"),
      m_Filters(filters),
      m_Summary(summary) {
    errno = 0;
    m_File = bgzf_open(path.c_str(), "r");
    if (m_File == nullptr) {
        throw std::runtime_error("Cannot open '" + path +
                                 "': " + (errno ? std::strerror(errno) : "unreadable") + ".");
    }
}

CMpileupReader::CMpileupReader(hFILE* fp, const std::string& name, const SPileupOptions& filters,
                               SPileupSummary& summary)
    : m_Path(name), m_Filters(filters), m_Summary(summary) {
    m_File = bgzf_hopen(fp, "r");
    if (m_File == nullptr) {
        hclose_abruptly(fp);
        throw std::runtime_error("Cannot read " + name + ".");
    }
}

void CMpileupReader::UseThreadPool(hts_tpool* pool) {
    if (pool) {
        bgzf_thread_pool(m_File, pool, 0);
    }
}

CMpileupReader::~CMpileupReader() {
    if (m_File != nullptr) {
        bgzf_close(m_File);
    }
}

void CMpileupReader::x_Fail(const std::string& what) const {
    throw std::runtime_error(m_Path + ", line " + std::to_string(m_Line) + ": " + what);
}

void CMpileupReader::x_Sample(const char* bases, std::size_t nBases, const char* quals,
                              std::size_t nQuals, int refBase) {
    // "*" stands for no reads at all in both columns.
    if (nBases == 1 && bases[0] == '*' && nQuals == 1 && quals[0] == '*') {
        return;
    }
    std::size_t q = 0;
    const unsigned minBaseQ = static_cast<unsigned>(m_Filters.m_MinBaseQ);
    for (std::size_t i = 0; i < nBases; ++i) {
        const char c = bases[i];
        if (c == '^') {  // read start, followed by its mapping quality
            ++i;
            continue;
        }
        if (c == '$') {
            continue;
        }
        if (c == '+' || c == '-') {  // an indel after this position: +3ACG
            std::size_t len = 0, j = i + 1;
            while (j < nBases && bases[j] >= '0' && bases[j] <= '9' && len < 100000000) {
                len = len * 10 + static_cast<std::size_t>(bases[j] - '0');
                ++j;
            }
            if (j == i + 1 || j + len > nBases) {
                x_Fail("an indel '" + std::string(1, c) + "' without a length and its bases.");
            }
            i = j + len - 1;
            continue;
        }
        if (q >= nQuals) {
            x_Fail("more bases than base qualities: is this samtools mpileup output?");
        }
        const int score = static_cast<unsigned char>(quals[q++]) - 33;
        if (score < 0 || score > 93) {
            x_Fail("a base quality outside '!'..'~'.");
        }
        int base;
        if (c == '.' || c == ',') {
            base = refBase;
        } else if (c == '*' || c == '#') {
            ++m_Summary.m_BasesDeletion;
            continue;
        } else if (c == '>' || c == '<') {
            ++m_Summary.m_BasesRefSkip;
            continue;
        } else if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
            base = BaseIndexOfLetter(c);
        } else {
            x_Fail(std::string("unexpected character '") + c + "' among the bases.");
        }
        if (base < 0) {
            ++m_Summary.m_BasesN;
            continue;
        }
        if (static_cast<unsigned>(score) < minBaseQ) {
            ++m_Summary.m_BasesLowQuality;
            continue;
        }
        m_Reads.push_back(
            SBaseRead{static_cast<unsigned char>(base), static_cast<unsigned char>(score)});
    }
    if (q != nQuals) {
        x_Fail("fewer bases than base qualities: is this samtools mpileup output?");
    }
}

bool CMpileupReader::Next(SRawSite& site) {
    kstring_t line = {0, 0, nullptr};
    struct SFree {
        kstring_t* s;
        ~SFree() { std::free(s->s); }
    } freeLine{&line};
    for (;;) {
        const int r = bgzf_getline(m_File, '\n', &line);
        if (r == -1) {
            return false;
        }
        if (r < -1) {
            x_Fail("cannot be read: the file is truncated or corrupt.");
        }
        ++m_Line;
        if (line.l > 0 && line.s[line.l - 1] == '\r') {
            line.s[--line.l] = '\0';
        }
        if (line.l == 0) {
            continue;
        }
        // Fields: contig, position, reference base, then depth, bases and
        // qualities for each sample.
        m_Fields.clear();
        const char* p = line.s;
        const char* end = line.s + line.l;
        while (true) {
            const char* tab = static_cast<const char*>(std::memchr(p, '\t', end - p));
            m_Fields.emplace_back(p, tab ? tab : end);
            if (!tab) {
                break;
            }
            p = tab + 1;
        }
        if (m_Fields.size() < 6 || (m_Fields.size() - 3) % 3 != 0) {
            x_Fail(
                "expected contig, position, reference base and then depth, bases and base "
                "qualities per sample (samtools mpileup output), found " +
                std::to_string(m_Fields.size()) + " fields.");
        }
        const long long pos = WholeNumber(m_Fields[1], 1, (1LL << 40));
        if (pos < 0) {
            x_Fail("the position '" + m_Fields[1] + "' is not a whole number from 1.");
        }
        if (m_Fields[2].size() != 1) {
            x_Fail("the reference base '" + m_Fields[2] + "' is not one letter.");
        }
        const auto [it, isNew] =
            m_ContigIndex.emplace(m_Fields[0], static_cast<int>(m_Contigs.size()));
        if (isNew) {
            m_Contigs.push_back(m_Fields[0]);
        } else if (it->second != m_LastContig) {
            x_Fail("contig '" + m_Fields[0] +
                   "' appears again after another one: the pileup is not sorted.");
        }
        const int contig = it->second;
        if (contig == m_LastContig && pos - 1 <= m_LastPos) {
            x_Fail("position " + std::to_string(pos) + " of '" + m_Fields[0] +
                   "' does not follow " + std::to_string(m_LastPos + 1) +
                   ": the pileup is not sorted.");
        }
        m_LastContig = contig;
        m_LastPos = pos - 1;
        const int refBase = BaseIndexOfLetter(m_Fields[2][0]);
        m_Reads.clear();
        for (std::size_t f = 3; f < m_Fields.size(); f += 3) {
            if (WholeNumber(m_Fields[f], 0, 1LL << 40) < 0) {
                x_Fail("the depth '" + m_Fields[f] + "' is not a whole number.");
            }
            x_Sample(m_Fields[f + 1].data(), m_Fields[f + 1].size(), m_Fields[f + 2].data(),
                     m_Fields[f + 2].size(), refBase);
        }
        const std::size_t depth = m_Reads.size();
        if (depth == 0) {
            ++m_Summary.m_SitesNoReads;
            continue;
        }
        if (depth < m_Filters.m_MinDepth) {
            ++m_Summary.m_SitesBelowMinDepth;
            continue;
        }
        if (m_Filters.m_MaxDepth != 0 && depth > m_Filters.m_MaxDepth) {
            ++m_Summary.m_SitesAboveMaxDepth;
            continue;
        }
        FillRawSite(contig, pos - 1, refBase, m_Reads.data(), depth, site);
        return true;
    }
}
