#include "pileup/reference_fasta.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "base/whole_number.hpp"
#include "pileup/hts_quiet.hpp"

namespace {

// Windows of 1 Mb: one read per window, small memory.
constexpr hts_pos_t kWindow = 1 << 20;

[[noreturn]] void Fail(const std::string& msg) {
    throw std::runtime_error(msg);
}

}  // namespace

CReferenceFasta::CReferenceFasta(const std::string& path) : m_Path(path) {
    if (::access(path.c_str(), R_OK) != 0) {
        Fail("Cannot open reference " + Quoted(path) + ": " + std::strerror(errno) + ".");
    }
    x_CheckIndexText();
    CQuietHts quiet;
    // Only an existing index is used: qualpileup never writes beside its
    // inputs.
    m_Fai.reset(fai_load3(path.c_str(), nullptr, nullptr, 0));
    if (!m_Fai) {
        Fail("Reference " + Quoted(path) + " has no usable index (" + path +
             ".fai); create it with 'samtools faidx " + path + "'.");
    }
    x_CheckSize();
}

// htslib divides by an index line's bases per line when it fetches (its
// own fetches and the CRAM decoder's), so a damaged line with 0 there ends
// the process with a division fault: every line is checked first. A missing
// index is left to htslib, whose failure is reported below.
void CReferenceFasta::x_CheckIndexText() const {
    const std::string faiPath = m_Path + ".fai";
    std::ifstream in(faiPath);
    if (!in) {
        return;
    }
    std::string line;
    for (long number = 1; std::getline(in, line); ++number) {
        if (line.empty()) {
            continue;
        }
        std::vector<long long> fields;
        std::size_t at = line.find('\t');
        while (at != std::string::npos && fields.size() < 4) {
            const std::size_t next = line.find('\t', at + 1);
            const std::string text =
                line.substr(at + 1, next == std::string::npos ? next : next - at - 1);
            std::uint64_t v = 0;
            fields.push_back(ParseWholeNumber(text, static_cast<std::uint64_t>(INT64_MAX), v)
                                 ? static_cast<long long>(v)
                                 : -1);
            at = next;
        }
        const bool ok = fields.size() == 4 && fields[0] >= 0 && fields[1] >= 0 &&
                        (fields[0] == 0 || (fields[2] > 0 && fields[3] >= fields[2]));
        if (!ok) {
            Fail("Reference " + Quoted(m_Path) + " has a damaged index (" + faiPath + ", line " +
                 std::to_string(number) +
                 ": expected name, length, offset, bases per line and bytes per line, with at "
                 "least one base per line); recreate it with 'samtools faidx " +
                 m_Path + "'.");
        }
    }
}

// An index made for a longer file (the FASTA was cut, or replaced after
// indexing) sends reads past the end of the file; htslib's CRAM decoder then
// fails with a bare system message. The index lists contigs in file order,
// so the last one ends last: it must be readable to its last base.
void CReferenceFasta::x_CheckSize() const {
    const int n = faidx_nseq(m_Fai.get());
    if (n <= 0) {
        return;
    }
    const char* name = faidx_iseq(m_Fai.get(), n - 1);
    const hts_pos_t len = faidx_seq_len(m_Fai.get(), name);
    if (len <= 0) {
        return;
    }
    hts_pos_t got = 0;
    char* s = faidx_fetch_seq64(m_Fai.get(), name, len - 1, len - 1, &got);
    std::free(s);
    if (!s || got != 1) {
        Fail("Reference " + Quoted(m_Path) + " ends before the end of its contig " + Quoted(name) +
             " as its index (" + m_Path +
             ".fai) gives it: the file is truncated or the index is stale; recreate the index "
             "with 'samtools faidx " +
             m_Path + "'.");
    }
}

void CReferenceFasta::x_EnterContig(const sam_hdr_t* hdr, const std::string& inputName, int tid) {
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

void CReferenceFasta::x_Fetch(hts_pos_t pos) {
    m_Seq.clear();
    m_Beg = pos;
    if (pos >= m_Len) {
        m_Seq = "N";  // alignments past the contig's end: no reference base
        return;
    }
    hts_pos_t last = std::min(pos + kWindow, m_Len) - 1;
    hts_pos_t len = 0;
    char* s;
    {
        CQuietHts quiet;
        s = faidx_fetch_seq64(m_Fai.get(), m_Name.c_str(), pos, last, &len);
    }
    if (!s || len != last - pos + 1) {
        std::free(s);
        Fail("Cannot read contig " + Quoted(m_Name) + " from reference " + Quoted(m_Path) + ".");
    }
    m_Seq.assign(s, static_cast<std::size_t>(len));
    std::free(s);
}
