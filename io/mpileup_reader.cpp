#include "io/mpileup_reader.hpp"

#include <htslib/bgzf.h>
#include <htslib/hfile.h>

#include <cerrno>
#include <cstring>

#include "base/whole_number.hpp"
#include "common/bgzf_stream.hpp"
#include "common/kstring.hpp"
#include "io/input_kind.hpp"
#include "model/site_classes.hpp"

namespace {

// Positions beyond this are refused: no assembled contig comes near it, and
// the windows along a contig start at 1.
constexpr std::uint64_t kMaxPos = std::uint64_t(1) << 40;

// The rule the order checks name.
const char* const kSorted = "samtools mpileup writes each contig once, positions increasing";

}  // namespace

CMpileupReader::CMpileupReader(const std::string& path, const SPileupOptions& filters,
                               SPileupSummary& summary, bool needReference)
    : m_Path(path), m_Filters(filters), m_Summary(summary), m_NeedReference(needReference) {
    errno = 0;
    m_File = bgzf_open(path.c_str(), "r");
    if (m_File == nullptr) {
        throw CannotOpen(path, errno);
    }
    m_End.Start(m_File);
}

CMpileupReader::CMpileupReader(hFILE* fp, const std::string& path, const SPileupOptions& filters,
                               SPileupSummary& summary, bool needReference)
    : m_Path(path), m_Filters(filters), m_Summary(summary), m_NeedReference(needReference) {
    errno = 0;
    m_File = bgzf_hopen(fp, "r");
    if (m_File == nullptr) {
        const int err = errno;
        hclose_abruptly(fp);
        throw CannotOpen(path, err);
    }
    m_End.Start(m_File);
}

CMpileupReader::CMpileupReader(CInputFile& in, const SPileupOptions& filters,
                               SPileupSummary& summary, bool needReference)
    : CMpileupReader(in.Release(), in.Path(), filters, summary, needReference) {}

void CMpileupReader::UseThreadPool(hts_tpool* pool) {
    // A pipe read ahead on the pool could not show a missing end block.
    if (pool && m_End.CheckedAtStart()) {
        bgzf_thread_pool(m_File, pool, 0);
    }
}

CMpileupReader::~CMpileupReader() {
    if (m_File != nullptr) {
        bgzf_close(m_File);
    }
}

void CMpileupReader::x_Fail(EInputError kind, const std::string& what) {
    SInputWhere where{m_Path, m_Line, 0, m_LineContig, m_LinePos};
    if (kind == EInputError::eFormat) {
        // gzip text cut inside a member ends in a partial line, which
        // htslib hands over before it reports the cut: name the cause.
        CKString next;
        if (bgzf_getline(m_File, '\n', next.get()) < -1) {
            throw CInputError(EInputError::eTruncated, where,
                              "the compressed text ends inside this line: the file is truncated "
                              "or corrupt.");
        }
    }
    throw CInputError(kind, where, what);
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
            std::size_t j = i + 1;
            while (j < nBases && bases[j] >= '0' && bases[j] <= '9') {
                ++j;
            }
            std::uint64_t len = 0;
            if (!ParseWholeNumber(bases + i + 1, bases + j, nBases - j, len)) {
                x_Fail(EInputError::eFormat,
                       "an indel '" + std::string(1, c) + "' without a length and its bases.");
            }
            i = j + static_cast<std::size_t>(len) - 1;
            continue;
        }
        if (q >= nQuals) {
            x_Fail(EInputError::eFormat,
                   "more bases than base qualities: is this samtools mpileup output?");
        }
        const int score = static_cast<unsigned char>(quals[q++]) - 33;
        if (score < 0 || score > 93) {
            x_Fail(EInputError::eRange, "a base quality outside '!'..'~'.");
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
            x_Fail(EInputError::eFormat,
                   std::string("unexpected character '") + c + "' among the bases.");
        }
        if (base < 0) {
            ++m_Summary.m_BasesN;
            continue;
        }
        // A base at exactly --min-BQ counts, as it does for alignments.
        if (static_cast<unsigned>(score) < minBaseQ) {
            ++m_Summary.m_BasesLowQuality;
            continue;
        }
        m_Reads.push_back(
            SBaseRead{static_cast<unsigned char>(base), static_cast<unsigned char>(score)});
    }
    if (q != nQuals) {
        x_Fail(EInputError::eFormat,
               "fewer bases than base qualities: is this samtools mpileup output?");
    }
}

bool CMpileupReader::x_ParseLine(const char* text, std::size_t size, int& contigOut,
                                 std::int64_t& posOut, int& refBaseOut) {
    // Fields: contig, position, reference base, then depth, bases and
    // qualities for each sample.
    m_Fields.clear();
    const char* p = text;
    const char* end = text + size;
    while (true) {
        const char* tab = static_cast<const char*>(std::memchr(p, '\t', end - p));
        m_Fields.emplace_back(p, tab ? tab : end);
        if (!tab) {
            break;
        }
        p = tab + 1;
    }
    if (m_Fields.size() < 6 || (m_Fields.size() - 3) % 3 != 0) {
        x_Fail(EInputError::eFormat,
               "expected contig, position, reference base and then depth, bases and base "
               "qualities per sample (samtools mpileup output), found " +
                   std::to_string(m_Fields.size()) + " fields.");
    }
    std::uint64_t pos = 0;
    if (!ParseWholeNumber(m_Fields[1], kMaxPos, pos) || pos == 0) {
        x_Fail(EInputError::eRange, "the position '" + m_Fields[1] +
                                        "' is not a whole number from 1 to " +
                                        std::to_string(kMaxPos) + ".");
    }
    const auto [it, isNew] = m_ContigIndex.emplace(m_Fields[0], static_cast<int>(m_Contigs.size()));
    if (isNew) {
        const std::string fault = ContigNameFault(m_Fields[0]);
        if (!fault.empty()) {
            m_ContigIndex.erase(it);
            x_Fail(EInputError::eFormat, fault + ".");
        }
        m_Contigs.push_back(m_Fields[0]);
    }
    m_LineContig = m_Fields[0];
    m_LinePos = static_cast<std::int64_t>(pos);
    const int contig = it->second;
    const std::string& lastName =
        m_LastContig < 0 ? std::string() : m_Contigs[static_cast<std::size_t>(m_LastContig)];
    if (!isNew && contig != m_LastContig) {
        throw OutOfOrder({m_Path, m_Line, 0, m_LineContig, m_LinePos}, lastName, m_LastPos + 1,
                         "contig " + m_LineContig + " comes back after another one; " + kSorted);
    }
    if (contig == m_LastContig && m_LinePos - 1 <= m_LastPos) {
        throw OutOfOrder({m_Path, m_Line, 0, m_LineContig, m_LinePos}, lastName, m_LastPos + 1,
                         kSorted);
    }
    m_LastContig = contig;
    m_LastPos = m_LinePos - 1;
    if (m_Fields[2].size() != 1) {
        x_Fail(EInputError::eFormat, "the reference base '" + m_Fields[2] + "' is not one letter.");
    }
    const int refBase = BaseIndexOfLetter(m_Fields[2][0]);
    if (refBase >= 0) {
        m_SawReference = true;
    } else if (m_NeedReference && !m_SawReference) {
        // samtools mpileup without -f writes N for every reference base;
        // the majority base would silently stand in for the ancestral one.
        // A text that showed its reference before may have an N where the
        // reference has one; that site is treated as for alignments.
        x_Fail(EInputError::eMismatch,
               "the reference base is '" + m_Fields[2] +
                   "': --unfolded takes the reference base as ancestral, and this pileup text "
                   "carries none. Make it with samtools mpileup -f REFERENCE.fa.");
    }
    // Every line has the first line's sample columns: a ragged text pooled
    // would mix the reads of one column with another's, and kept apart it
    // has no sample to give a column to.
    const std::size_t samples = (m_Fields.size() - 3) / 3;
    if (m_Samples == 0) {
        m_Samples = samples;
    } else if (samples != m_Samples) {
        x_Fail(EInputError::eFormat, "the line has " + std::to_string(samples) +
                                         " sample columns where the first line had " +
                                         std::to_string(m_Samples) + ".");
    }
    m_Reads.clear();
    m_SampleEnds.clear();
    for (std::size_t f = 3; f < m_Fields.size(); f += 3) {
        std::uint64_t depth = 0;
        if (!ParseWholeNumber(m_Fields[f], kMaxPos, depth)) {
            x_Fail(EInputError::eRange, "the depth '" + m_Fields[f] + "' is not a whole number.");
        }
        x_Sample(m_Fields[f + 1].data(), m_Fields[f + 1].size(), m_Fields[f + 2].data(),
                 m_Fields[f + 2].size(), refBase);
        m_SampleEnds.push_back(m_Reads.size());
    }
    if (m_Reads.empty()) {
        ++m_Summary.m_SitesNoReads;
        return false;
    }
    contigOut = contig;
    posOut = m_LinePos - 1;
    refBaseOut = refBase;
    return true;
}

bool CMpileupReader::x_NextLine(int& contig, std::int64_t& pos, int& refBase) {
    for (;;) {
        kstring_t* s = m_Text.get();
        const int r = bgzf_getline(m_File, '\n', s);
        if (r == -1) {
            if (m_End.Missing(m_File)) {
                throw CInputError(EInputError::eTruncated, {m_Path, m_Line, 0, "", 0},
                                  "the BGZF text ends without BGZF's end-of-file block after this "
                                  "line: the file is truncated.");
            }
            return false;
        }
        m_LineContig.clear();
        m_LinePos = 0;
        if (r < -1) {
            throw CInputError(EInputError::eDamaged, {m_Path, m_Line + 1, 0, "", 0},
                              "cannot be read: the compressed text is truncated or corrupt.");
        }
        ++m_Line;
        if (s->l > 0 && s->s[s->l - 1] == '\r') {
            s->s[--s->l] = '\0';
        }
        if (s->l == 0) {
            continue;
        }
        if (x_ParseLine(s->s, s->l, contig, pos, refBase)) {
            return true;
        }
    }
}

bool CMpileupReader::Next(SRawSite& site) {
    int contig = 0, refBase = -1;
    std::int64_t pos = 0;
    while (x_NextLine(contig, pos, refBase)) {
        const std::size_t depth = m_Reads.size();
        if (depth < m_Filters.m_MinDepth) {
            ++m_Summary.m_SitesBelowMinDepth;
            continue;
        }
        if (m_Filters.m_MaxDepth != 0 && depth > m_Filters.m_MaxDepth) {
            ++m_Summary.m_SitesAboveMaxDepth;
            continue;
        }
        FillRawSite(contig, pos, refBase, m_Reads.data(), depth, site);
        return true;
    }
    return false;
}

bool CMpileupReader::NextSamples(SMpileupSamples& samples) {
    int refBase = -1;
    if (!x_NextLine(samples.m_Contig, samples.m_Pos, refBase)) {
        return false;
    }
    samples.m_RefBase = refBase;
    samples.m_Reads.resize(m_Samples);
    std::size_t begin = 0;
    for (std::size_t k = 0; k < m_Samples; ++k) {
        samples.m_Reads[k].assign(m_Reads.begin() + static_cast<std::ptrdiff_t>(begin),
                                  m_Reads.begin() + static_cast<std::ptrdiff_t>(m_SampleEnds[k]));
        begin = m_SampleEnds[k];
    }
    return true;
}
