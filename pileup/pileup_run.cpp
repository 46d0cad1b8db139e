#include "pileup/pileup_run.hpp"

#include <htslib/faidx.h>
#include <htslib/hts.h>
#include <htslib/sam.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "base/qt_assert.hpp"
#include "common/doc_writer.hpp"
#include "common/safe_output.hpp"
#include "pileup/site_classes.hpp"

namespace {

[[noreturn]] void Fail(const std::string& msg) {
    throw std::runtime_error(msg);
}

std::string Quoted(const std::string& s) {
    return "'" + s + "'";
}

struct SHtsFileCloser {
    void operator()(htsFile* f) const { hts_close(f); }
};
struct SHeaderFree {
    void operator()(sam_hdr_t* h) const { sam_hdr_destroy(h); }
};
struct SIndexFree {
    void operator()(hts_idx_t* i) const { hts_idx_destroy(i); }
};
struct SIterFree {
    void operator()(hts_itr_t* i) const { hts_itr_destroy(i); }
};
struct SFaiFree {
    void operator()(faidx_t* f) const { fai_destroy(f); }
};
struct SPlpFree {
    void operator()(bam_mplp_t p) const { bam_mplp_destroy(p); }
};

// The reference FASTA, read in windows so that memory stays small however
// long the contigs are.
class CReference {
  public:
    CReference(const std::string& path) : m_Path(path) {
        if (::access(path.c_str(), R_OK) != 0) {
            Fail("Cannot open reference " + Quoted(path) + ": " + std::strerror(errno) + ".");
        }
        // Only an existing index is used: qualpileup never writes beside its
        // inputs.
        m_Fai.reset(fai_load3(path.c_str(), nullptr, nullptr, 0));
        if (!m_Fai) {
            Fail("Reference " + Quoted(path) + " has no usable index (" + path +
                 ".fai); create it with 'samtools faidx " + path + "'.");
        }
    }

    const std::string& Path() const { return m_Path; }

    // Base index (0..3) of the reference at 0-based pos of contig tid, -1
    // when the reference has another letter there.
    int BaseAt(const sam_hdr_t* hdr, const std::string& inputName, int tid, hts_pos_t pos) {
        if (tid != m_Tid) {
            x_EnterContig(hdr, inputName, tid);
        }
        if (pos < m_Beg || pos >= m_Beg + static_cast<hts_pos_t>(m_Seq.size())) {
            x_Fetch(pos);
        }
        return BaseIndexOfLetter(m_Seq[static_cast<std::size_t>(pos - m_Beg)]);
    }

  private:
    static constexpr hts_pos_t kWindow = 1 << 20;

    void x_EnterContig(const sam_hdr_t* hdr, const std::string& inputName, int tid) {
        m_Name = sam_hdr_tid2name(hdr, tid);
        if (!faidx_has_seq(m_Fai.get(), m_Name.c_str())) {
            Fail("Reference " + Quoted(m_Path) + " has no contig " + Quoted(m_Name) + " of " +
                 Quoted(inputName) + ".");
        }
        hts_pos_t faLen = faidx_seq_len(m_Fai.get(), m_Name.c_str());
        hts_pos_t bamLen = sam_hdr_tid2len(hdr, tid);
        if (faLen != bamLen) {
            Fail("Contig " + Quoted(m_Name) + " has length " + std::to_string(faLen) + " in " +
                 Quoted(m_Path) + " but " + std::to_string(bamLen) + " in " + Quoted(inputName) +
                 ": the reference does not match the alignments.");
        }
        m_Tid = tid;
        m_Len = faLen;
        m_Seq.clear();
        m_Beg = 0;
    }

    void x_Fetch(hts_pos_t pos) {
        m_Seq.clear();
        m_Beg = pos;
        if (pos >= m_Len) {
            m_Seq = "N";  // alignments past the contig's end: no reference base
            return;
        }
        hts_pos_t last = std::min(pos + kWindow, m_Len) - 1;
        hts_pos_t len = 0;
        char* s = faidx_fetch_seq64(m_Fai.get(), m_Name.c_str(), pos, last, &len);
        if (!s || len != last - pos + 1) {
            std::free(s);
            Fail("Cannot read contig " + Quoted(m_Name) + " from reference " + Quoted(m_Path) +
                 ".");
        }
        m_Seq.assign(s, static_cast<std::size_t>(len));
        std::free(s);
    }

    std::string m_Path;
    std::unique_ptr<faidx_t, SFaiFree> m_Fai;
    int m_Tid = -1;
    std::string m_Name;
    hts_pos_t m_Len = 0;
    hts_pos_t m_Beg = 0;
    std::string m_Seq;
};

// One input file with its read filter, as the pileup engine's data source.
class CInput {
  public:
    CInput(const std::string& path, const SPileupOptions& opts, SPileupSummary& summary)
        : m_Path(path), m_Opts(opts), m_Summary(summary) {
        errno = 0;
        m_Fp.reset(hts_open(path.c_str(), "r"));
        if (!m_Fp) {
            Fail("Cannot open " + Quoted(path) + ": " +
                 (errno ? std::strerror(errno) : "not a readable alignment file") + ".");
        }
        const htsFormat* fmt = hts_get_format(m_Fp.get());
        if (fmt->category != sequence_data ||
            (fmt->format != sam && fmt->format != bam && fmt->format != cram)) {
            Fail(Quoted(path) + " is not a SAM, BAM or CRAM file.");
        }
        if (fmt->format == cram) {
            // A contig missing from the FASTA would make htslib look its
            // sequence up by checksum, by default on a public web server.
            // The reference is the one given with -f; a REF_PATH the user
            // set is still honoured.
            setenv("REF_PATH", "/nonexistent/%s", 0);
            if (opts.m_Reference.empty()) {
                Fail(Quoted(path) +
                     " is a CRAM file: it needs its reference FASTA (-f/--reference).");
            }
            if (hts_set_fai_filename(m_Fp.get(), opts.m_Reference.c_str()) != 0) {
                Fail("Cannot use reference " + Quoted(opts.m_Reference) + " for " + Quoted(path) +
                     ".");
            }
        }
        // A BGZF file (BAM, bgzipped SAM) cut at a block boundary, or a CRAM
        // file cut at a container boundary, reads like a complete one; only
        // its missing end-of-file marker tells. Plain SAM has no marker.
        if (hts_check_EOF(m_Fp.get()) == 0) {
            Fail(Quoted(path) + " is truncated (its end-of-file marker is missing).");
        }
        m_Hdr.reset(sam_hdr_read(m_Fp.get()));
        if (!m_Hdr) {
            Fail(Quoted(path) + " has no readable header: the file is truncated or corrupt.");
        }
        if (sam_hdr_nref(m_Hdr.get()) <= 0) {
            Fail(Quoted(path) + " names no reference sequences in its header (@SQ lines).");
        }
    }

    const std::string& Path() const { return m_Path; }
    const sam_hdr_t* Header() const { return m_Hdr.get(); }
    sam_hdr_t* Header() { return m_Hdr.get(); }
    const std::string& Error() const { return m_Error; }

    // Same contigs, lengths and order as first; else an error naming both.
    void CheckSameReferences(const CInput& first) const {
        const sam_hdr_t* a = first.Header();
        const sam_hdr_t* b = Header();
        int n = sam_hdr_nref(a);
        if (sam_hdr_nref(b) != n) {
            Fail(Quoted(m_Path) + " and " + Quoted(first.Path()) +
                 " have different reference sequences: " + std::to_string(sam_hdr_nref(b)) +
                 " against " + std::to_string(n) + " contigs.");
        }
        for (int i = 0; i < n; ++i) {
            if (std::strcmp(sam_hdr_tid2name(a, i), sam_hdr_tid2name(b, i)) != 0 ||
                sam_hdr_tid2len(a, i) != sam_hdr_tid2len(b, i)) {
                Fail(Quoted(m_Path) + " and " + Quoted(first.Path()) +
                     " have different reference sequences: contig " + std::to_string(i + 1) +
                     " is " + Quoted(sam_hdr_tid2name(b, i)) + " of length " +
                     std::to_string(sam_hdr_tid2len(b, i)) + " against " +
                     Quoted(sam_hdr_tid2name(a, i)) + " of length " +
                     std::to_string(sam_hdr_tid2len(a, i)) + ".");
            }
        }
    }

    // Restricts reading to region (already checked against the header).
    void SetRegion(const std::string& region) {
        m_Idx.reset(sam_index_load(m_Fp.get(), m_Path.c_str()));
        if (!m_Idx) {
            Fail(Quoted(m_Path) +
                 " has no index, which --region needs; create it with 'samtools index " + m_Path +
                 "' (the file must be BAM, CRAM or bgzip-compressed SAM).");
        }
        m_Itr.reset(sam_itr_querys(m_Idx.get(), m_Hdr.get(), region.c_str()));
        if (!m_Itr) {
            Fail("Cannot read region " + Quoted(region) + " of " + Quoted(m_Path) + ".");
        }
    }

    // The next read that passes the read filters: 0 or more on success, -1
    // at the end, -2 on a fault (kept in Error()).
    int Next(bam1_t* b) {
        for (;;) {
            int r = m_Itr ? sam_itr_next(m_Fp.get(), m_Itr.get(), b)
                          : sam_read1(m_Fp.get(), m_Hdr.get(), b);
            if (r == -1) {
                return -1;
            }
            if (r < -1) {
                m_Error = Quoted(m_Path) + " is truncated or corrupt";
                if (hts_get_format(m_Fp.get())->format == cram) {
                    m_Error += " (or " + Quoted(m_Opts.m_Reference) + " is not its reference)";
                }
                m_Error += m_LastTid >= 0 ? " after " + x_Where(m_LastTid, m_LastPos) : "";
                m_Error += ".";
                return -2;
            }
            const bam1_core_t& c = b->core;
            if ((c.flag & m_Opts.m_SkipFlags) || (c.flag & BAM_FUNMAP) || c.tid < 0 ||
                (m_Opts.m_RequireFlags && !(c.flag & m_Opts.m_RequireFlags))) {
                ++m_Summary.m_ReadsSkippedFlags;
                continue;
            }
            if (c.qual < m_Opts.m_MinMapQ) {
                ++m_Summary.m_ReadsSkippedMapQ;
                continue;
            }
            if (c.l_qseq <= 0 || bam_get_qual(b)[0] == 0xff) {
                ++m_Summary.m_ReadsNoQuality;
                continue;
            }
            if (c.tid < m_LastTid || (c.tid == m_LastTid && c.pos < m_LastPos)) {
                m_Error = Quoted(m_Path) + " is not sorted by coordinate: read " +
                          Quoted(bam_get_qname(b)) + " at " + x_Where(c.tid, c.pos) + " follows " +
                          x_Where(m_LastTid, m_LastPos) + "; sort it with 'samtools sort'.";
                return -2;
            }
            m_LastTid = c.tid;
            m_LastPos = c.pos;
            return r;
        }
    }

    // Overlapping mates: the first mate to enter the pileup records its end
    // under the read name; the second finds it and is skipped up to there.
    // cd.i: 0 nothing, -1 first mate recorded, > 0 skip before this position.
    void OnEnter(const bam1_t* b, bam_pileup_cd* cd) {
        cd->i = 0;
        const bam1_core_t& c = b->core;
        if (m_Opts.m_KeepOverlaps || !(c.flag & BAM_FPAIRED) || (c.flag & BAM_FMUNMAP) ||
            c.mtid != c.tid) {
            return;
        }
        const char* name = bam_get_qname(b);
        auto it = m_OpenMates.find(name);
        if (it != m_OpenMates.end()) {
            cd->i = it->second;
            m_OpenMates.erase(it);
            return;
        }
        hts_pos_t end = bam_endpos(b);
        if (c.mpos >= c.pos && c.mpos < end) {
            m_OpenMates.emplace(name, end);
            cd->i = -1;
        }
    }

    void OnLeave(const bam1_t* b, bam_pileup_cd* cd) {
        if (cd->i == -1) {
            m_OpenMates.erase(bam_get_qname(b));  // its mate never came
        }
    }

  private:
    std::string x_Where(int tid, hts_pos_t pos) const {
        return std::string(sam_hdr_tid2name(m_Hdr.get(), tid)) + ":" + std::to_string(pos + 1);
    }

    std::string m_Path;
    const SPileupOptions& m_Opts;
    SPileupSummary& m_Summary;
    std::unique_ptr<htsFile, SHtsFileCloser> m_Fp;
    std::unique_ptr<sam_hdr_t, SHeaderFree> m_Hdr;
    std::unique_ptr<hts_idx_t, SIndexFree> m_Idx;
    std::unique_ptr<hts_itr_t, SIterFree> m_Itr;
    int m_LastTid = -1;
    hts_pos_t m_LastPos = -1;
    std::string m_Error;
    std::unordered_map<std::string, hts_pos_t> m_OpenMates;
};

int ReadCallback(void* data, bam1_t* b) {
    return static_cast<CInput*>(data)->Next(b);
}

int EnterCallback(void* data, const bam1_t* b, bam_pileup_cd* cd) {
    static_cast<CInput*>(data)->OnEnter(b, cd);
    return 0;
}

int LeaveCallback(void* data, const bam1_t* b, bam_pileup_cd* cd) {
    static_cast<CInput*>(data)->OnLeave(b, cd);
    return 0;
}

// Whether text is a range as it follows the colon of a region: beg, beg-,
// -end or beg-end, decimal digits with optional thousands commas, beg <= end
// when both are given.
bool IsRangeText(const std::string& text) {
    const std::size_t dash = text.find('-');
    auto number = [](const std::string& t, long long& v) {
        v = -1;
        for (char c : t) {
            if (c >= '0' && c <= '9') {
                v = (v < 0 ? 0 : v) * 10 + (c - '0');
                if (v > (1LL << 50)) {
                    return false;
                }
            } else if (c != ',') {
                return false;
            }
        }
        return true;
    };
    long long beg = -1, end = -1;
    if (dash == std::string::npos) {
        return number(text, beg);
    }
    return number(text.substr(0, dash), beg) && number(text.substr(dash + 1), end) &&
           (beg < 0 || end < 0 || beg <= end);
}

// The region as contig index and 0-based half-open range, or an error saying
// whether the text does not parse or names an unknown contig.
void ParseRegion(const std::string& region, sam_hdr_t* hdr, const std::string& path, int& tid,
                 hts_pos_t& beg, hts_pos_t& end) {
    if (sam_parse_region(hdr, region.c_str(), &tid, &beg, &end, HTS_PARSE_THOUSANDS_SEP) &&
        tid >= 0 && beg < end) {
        return;
    }
    // Tell the two faults apart: a contig name (in braces when it holds a
    // colon) and a well-formed range after it.
    std::string name = region;
    std::string range;
    bool wellFormed = true;
    if (!region.empty() && region[0] == '{') {
        const std::size_t close = region.find('}');
        wellFormed =
            close != std::string::npos && (close + 1 == region.size() || region[close + 1] == ':');
        if (wellFormed) {
            name = region.substr(1, close - 1);
            range = close + 1 < region.size() ? region.substr(close + 2) : "";
        }
    } else if (const std::size_t colon = region.rfind(':'); colon != std::string::npos) {
        name = region.substr(0, colon);
        range = region.substr(colon + 1);
    }
    if (!wellFormed || name.empty() || !IsRangeText(range) ||
        sam_hdr_name2tid(hdr, name.c_str()) >= 0) {
        Fail("Region " + Quoted(region) +
             " does not parse: expected chr, chr:beg or chr:beg-end with 1 <= beg <= end.");
    }
    Fail("Region " + Quoted(region) + " names a contig " + Quoted(name) + " that " + Quoted(path) +
         " lacks.");
}

// Progress line on a terminal: contig and position, at most once a second.
class CProgress {
  public:
    explicit CProgress(std::ostream* out) : m_Out(out) {}
    ~CProgress() {
        if (m_Out && m_Shown) {
            *m_Out << "\r\033[K" << std::flush;
        }
    }
    void Tick(const sam_hdr_t* hdr, int tid, hts_pos_t pos) {
        if (!m_Out || ++m_Calls % 1024 != 0) {
            return;
        }
        auto now = std::chrono::steady_clock::now();
        if (m_Shown && now - m_Last < std::chrono::seconds(1)) {
            return;
        }
        m_Last = now;
        m_Shown = true;
        *m_Out << "\r\033[Kqualpileup: " << sam_hdr_tid2name(hdr, tid) << ':' << pos + 1
               << std::flush;
    }

  private:
    std::ostream* m_Out;
    unsigned m_Calls = 0;
    bool m_Shown = false;
    std::chrono::steady_clock::time_point m_Last;
};

struct SRead {
    unsigned char m_Base;
    unsigned char m_Score;
};

}  // namespace

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
       << " in overlapping mates";
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

SPileupSummary WritePileupDocument(const SPileupOptions& opts, std::ostream& out,
                                   const std::string& outName, std::ostream* progress) {
    SPileupSummary summary;
    if (opts.m_Inputs.empty()) {
        Fail("No input file given.");
    }
    std::unique_ptr<CReference> reference;
    if (!opts.m_Reference.empty()) {
        reference = std::make_unique<CReference>(opts.m_Reference);
    }
    std::vector<std::unique_ptr<CInput>> inputs;
    for (const std::string& path : opts.m_Inputs) {
        inputs.push_back(std::make_unique<CInput>(path, opts, summary));
        if (inputs.size() > 1) {
            inputs.back()->CheckSameReferences(*inputs.front());
        }
    }
    int regTid = -1;
    hts_pos_t regBeg = 0, regEnd = 0;
    if (!opts.m_Region.empty()) {
        ParseRegion(opts.m_Region, inputs.front()->Header(), inputs.front()->Path(), regTid, regBeg,
                    regEnd);
        for (auto& in : inputs) {
            in->SetRegion(opts.m_Region);
        }
    }

    std::vector<void*> data;
    for (auto& in : inputs) {
        data.push_back(in.get());
    }
    const int n = static_cast<int>(inputs.size());
    std::unique_ptr<bam_mplp_s, SPlpFree> plp(bam_mplp_init(n, ReadCallback, data.data()));
    if (!plp) {
        Fail("Cannot start the pileup (out of memory).");
    }
    // The depth filter is ours: htslib must not drop reads at deep sites.
    bam_mplp_set_maxcnt(plp.get(), INT32_MAX);
    bam_mplp_constructor(plp.get(), EnterCallback);
    bam_mplp_destructor(plp.get(), LeaveCallback);

    CQualDocWriter writer(out, outName);
    writer.Begin();
    CProgress bar(progress);

    std::vector<const bam_pileup1_t*> piles(static_cast<std::size_t>(n));
    std::vector<int> counts(static_cast<std::size_t>(n));
    std::vector<SRead> reads;
    reads.reserve(1024);
    const unsigned minBaseQ = static_cast<unsigned>(opts.m_MinBaseQ);
    int tid = -1;
    hts_pos_t pos = 0;
    int lastWrittenTid = -1;
    int ret;
    while ((ret = bam_mplp64_auto(plp.get(), &tid, &pos, counts.data(), piles.data())) > 0) {
        if (regTid >= 0 && (tid != regTid || pos < regBeg || pos >= regEnd)) {
            continue;
        }
        bar.Tick(inputs.front()->Header(), tid, pos);
        reads.clear();
        TBaseCounts baseCounts{};
        for (int i = 0; i < n; ++i) {
            const bam_pileup1_t* pile = piles[static_cast<std::size_t>(i)];
            for (int j = 0; j < counts[static_cast<std::size_t>(i)]; ++j) {
                const bam_pileup1_t& p = pile[j];
                if (p.is_del || p.is_refskip) {
                    ++(p.is_refskip ? summary.m_BasesRefSkip : summary.m_BasesDeletion);
                    continue;
                }
                if (p.cd.i > 0 && pos < p.cd.i) {
                    ++summary.m_BasesOverlap;
                    continue;
                }
                const int base = BaseIndexOfNt16(bam_seqi(bam_get_seq(p.b), p.qpos));
                if (base < 0) {
                    ++summary.m_BasesN;
                    continue;
                }
                const unsigned score = bam_get_qual(p.b)[p.qpos];
                if (score < minBaseQ) {
                    ++summary.m_BasesLowQuality;
                    continue;
                }
                reads.push_back(
                    SRead{static_cast<unsigned char>(base), static_cast<unsigned char>(score)});
                ++baseCounts[static_cast<std::size_t>(base)];
            }
        }
        const std::size_t depth = reads.size();
        if (depth == 0) {
            ++summary.m_SitesNoReads;
            continue;
        }
        if (depth < opts.m_MinDepth) {
            ++summary.m_SitesBelowMinDepth;
            continue;
        }
        if (opts.m_MaxDepth != 0 && depth > opts.m_MaxDepth) {
            ++summary.m_SitesAboveMaxDepth;
            continue;
        }
        int ref = reference ? reference->BaseAt(inputs.front()->Header(), inputs.front()->Path(),
                                                tid, pos)
                            : -1;
        const TBaseClasses classes = ClassifyBases(baseCounts, ref);
        if (tid != lastWrittenTid) {
            lastWrittenTid = tid;
            ++summary.m_ContigsWritten;
        }
        if (pos + 1 > INT_MAX && summary.m_SitesPastIntMax++ == 0) {
            summary.m_FirstPastIntMax =
                std::string(sam_hdr_tid2name(inputs.front()->Header(), tid)) + ":" +
                std::to_string(pos + 1);
        }
        writer.BeginColumn(pos + 1);
        for (int cls = 0; cls < 4; ++cls) {
            for (const SRead& r : reads) {
                if (classes[r.m_Base] == cls) {
                    writer.AddChr(r.m_Score, static_cast<CQualDocWriter::EClass>(cls));
                }
            }
        }
        writer.EndColumn();
        ++summary.m_SitesWritten;
    }
    if (ret < 0) {
        for (auto& in : inputs) {
            if (!in->Error().empty()) {
                Fail(in->Error());
            }
        }
        Fail("Reading " + Quoted(inputs.front()->Path()) +
             " failed: the input is not sorted by coordinate, or memory ran out.");
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
        if (!file.stream().good()) {
            throw std::runtime_error("Cannot open '" + opts.m_Output + "' for writing.");
        }
        summary = WritePileupDocument(opts, file.stream(), opts.m_Output, progress);
        file.Commit();
    }
    std::cerr << FormatSummary(summary, opts) << '\n' << FormatWarnings(summary) << std::flush;
}
