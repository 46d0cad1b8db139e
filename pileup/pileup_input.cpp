#include "pileup/pileup_input.hpp"

#include <htslib/cram.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "base/input_error.hpp"
#include "pileup/alignment_index.hpp"
#include "pileup/hts_quiet.hpp"
#include "pileup/reference_fasta.hpp"

namespace {

[[noreturn]] void Fail(const std::string& msg) {
    throw std::runtime_error(msg);
}

}  // namespace

CPileupInput::CPileupInput(const std::string& path, const SPileupOptions& opts,
                           const CReferenceFasta* reference, SPileupSummary& summary)
    : m_Path(path), m_Opts(opts), m_Summary(&summary) {
    CQuietHts quiet;
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
    m_Cram = fmt->format == cram;
    if (m_Cram) {
        if (!reference) {
            Fail(Quoted(path) + " is a CRAM file: it needs its reference FASTA (-f/--reference).");
        }
        x_DecodeOnlyWith(*reference);
    }
    // A BGZF file (BAM, bgzipped SAM) cut at a block boundary, or a CRAM
    // file cut at a container boundary, reads like a complete one; only its
    // missing end-of-file marker tells. Plain SAM has no marker.
    if (hts_check_EOF(m_Fp.get()) == 0) {
        Fail(Quoted(path) + " is truncated (its end-of-file marker is missing).");
    }
    m_Hdr.reset(sam_hdr_read(m_Fp.get()));
    m_Header = m_Hdr.get();
    if (!m_Hdr) {
        Fail(Quoted(path) + " has no readable header: the file is truncated or corrupt.");
    }
    x_CheckHeader();
}

std::unique_ptr<CPileupInput> CPileupInput::ForThread(const CPileupInput& first,
                                                      const CReferenceFasta* reference,
                                                      SPileupSummary& summary) {
    std::unique_ptr<CPileupInput> in(new CPileupInput(first.m_Path, first.m_Opts, summary));
    CQuietHts quiet;
    in->m_Fp.reset(hts_open(first.m_Path.c_str(), "r"));
    if (!in->m_Fp) {
        Fail("Cannot open " + Quoted(first.m_Path) +
             " again for a thread: " + std::strerror(errno) + ".");
    }
    in->m_Cram = first.m_Cram;
    in->m_Samples = first.m_Samples;
    if (!in->m_Cram) {
        // Every read comes through the index, which seeks past the header:
        // the first reader's header and index serve (read only).
        in->m_Header = first.m_Header;
        in->m_Index = first.m_Index;
        return in;
    }
    // htslib keeps a CRAM file's index, and the header it decodes with, in
    // the file's handle: this one gets its own.
    if (reference) {
        in->x_DecodeOnlyWith(*reference);
    }
    in->m_Hdr.reset(sam_hdr_read(in->m_Fp.get()));
    in->m_Header = in->m_Hdr.get();
    if (!in->m_Hdr || !in->LoadIndexForChunks()) {
        Fail("Cannot read " + Quoted(first.m_Path) + " again for a thread: was it replaced?");
    }
    return in;
}

void CPileupInput::UseThreadPool(htsThreadPool* threadPool) {
    if (threadPool && threadPool->pool &&
        hts_set_opt(m_Fp.get(), HTS_OPT_THREAD_POOL, threadPool) != 0) {
        Fail("Cannot read " + Quoted(m_Path) + " through the thread pool.");
    }
}

void CPileupInput::x_CheckHeader() {
    if (sam_hdr_nref(m_Hdr.get()) <= 0) {
        Fail(Quoted(m_Path) + " names no reference sequences in its header (@SQ lines).");
    }
    // htslib parses the header's text only when a name is first looked up;
    // a text it cannot parse then makes every contig look absent.
    if (sam_hdr_count_lines(m_Hdr.get(), "SQ") < 0) {
        Fail(Quoted(m_Path) +
             " has a malformed header (a line that is no SAM header record, or stray bytes in "
             "one): the file is corrupt.");
    }
}

// htslib fetches a contig the given FASTA lacks by the checksum in the @SQ
// line (M5: REF_PATH, REF_CACHE, by default a public web server) or from
// the file or URL in its UR tag. Without these two tags in the decoder's
// copy of the header, it has nowhere to look but the FASTA, and no process
// environment needs changing.
void CPileupInput::x_DecodeOnlyWith(const CReferenceFasta& reference) {
    if (hts_set_fai_filename(m_Fp.get(), reference.Path().c_str()) != 0) {
        Fail("Cannot use reference " + Quoted(reference.Path()) + " for " + Quoted(m_Path) + ".");
    }
    sam_hdr_t* decoderHdr = cram_fd_get_header(m_Fp->fp.cram);
    const int n = decoderHdr ? sam_hdr_nref(decoderHdr) : 0;
    int missing = 0;
    for (int tid = 0; tid < n; ++tid) {
        const char* name = sam_hdr_tid2name(decoderHdr, tid);
        sam_hdr_remove_tag_id(decoderHdr, "SQ", "SN", name, "M5");
        sam_hdr_remove_tag_id(decoderHdr, "SQ", "SN", name, "UR");
        if (!reference.HasContig(name) && missing++ == 0) {
            m_MissingContigs = Quoted(name);
        }
    }
    if (missing > 1) {
        m_MissingContigs += " and " + std::to_string(missing - 1) + " more";
    }
}

void CPileupInput::CheckSameReferences(const CPileupInput& first) const {
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
                 " have different reference sequences: contig " + std::to_string(i + 1) + " is " +
                 Quoted(sam_hdr_tid2name(b, i)) + " of length " +
                 std::to_string(sam_hdr_tid2len(b, i)) + " against " +
                 Quoted(sam_hdr_tid2name(a, i)) + " of length " +
                 std::to_string(sam_hdr_tid2len(a, i)) + ".");
        }
    }
}

void CPileupInput::SetRegion(const SRegion& region) {
    const std::string idxPath = FindAlignmentIndex(m_Path, m_Cram);
    if (idxPath.empty()) {
        Fail(Quoted(m_Path) +
             " has no index, which --region needs; create it with 'samtools index " + m_Path +
             "' (the file must be BAM, CRAM or bgzip-compressed SAM).");
    }
    if (!m_Cram) {
        CheckAlignmentIndex(idxPath, m_Path);
    }
    CQuietHts quiet;
    m_Idx.reset(sam_index_load2(m_Fp.get(), m_Path.c_str(), idxPath.c_str()));
    m_Index = m_Idx.get();
    if (!m_Idx) {
        Fail("Cannot load index " + Quoted(idxPath) + " of " + Quoted(m_Path) +
             "; recreate it with 'samtools index " + m_Path + "'.");
    }
    // htslib's index query walks bins one by one down from the region's
    // start: a start far past the contig takes practically forever. No
    // read lies there, so the region is empty.
    if (region.m_Beg >= sam_hdr_tid2len(m_Header, region.m_Tid)) {
        m_RegionIsEmpty = true;
        return;
    }
    m_Itr.reset(sam_itr_queryi(m_Index, region.m_Tid, region.m_Beg, region.m_End));
    if (!m_Itr) {
        Fail("Cannot read region " + Quoted(sam_hdr_tid2name(m_Header, region.m_Tid)) + " of " +
             Quoted(m_Path) + " through its index " + Quoted(idxPath) + ".");
    }
}

bool CPileupInput::LoadIndexForChunks() {
    if (m_Index) {
        return true;
    }
    // Chunks are read through iterators of BAM and CRAM files; bgzipped
    // SAM is read in one pass.
    if (m_Fp->format.format != bam && !m_Cram) {
        return false;
    }
    const std::string idxPath = m_Path == "-" ? "" : FindAlignmentIndex(m_Path, m_Cram);
    struct stat file, index;
    if (idxPath.empty() || stat(m_Path.c_str(), &file) != 0 || stat(idxPath.c_str(), &index) != 0 ||
        index.st_mtime < file.st_mtime) {
        return false;
    }
    try {
        if (!m_Cram) {
            CheckAlignmentIndex(idxPath, m_Path);
        }
    } catch (const std::runtime_error&) {
        return false;
    }
    CQuietHts quiet;
    m_Idx.reset(sam_index_load2(m_Fp.get(), m_Path.c_str(), idxPath.c_str()));
    m_Index = m_Idx.get();
    return m_Idx != nullptr;
}

void CPileupInput::SetChunk(const SPileupChunk& chunk, SPileupSummary& summary) {
    m_Summary = &summary;
    m_RegionIsEmpty = false;
    m_LastTid = -1;
    m_LastPos = -1;
    m_Error.clear();
    m_Fault = nullptr;
    m_OpenMates.clear();
    m_States.clear();
    m_FreeStates.clear();
    m_CountFromTid = -1;
    m_CountFromPos = 0;
    m_CountOverlapping = chunk.m_First;
    if (!chunk.m_Unplaced) {
        m_CountFromTid = chunk.m_Pieces.front().m_Tid;
        m_CountFromPos = chunk.m_Pieces.front().m_Beg;
    }
    CQuietHts quiet;
    m_Itr.reset();
    m_ChunkPieces = nullptr;
    m_ReadOn = false;
    if (chunk.m_Unplaced) {
        m_Itr.reset(sam_itr_queryi(m_Index, HTS_IDX_NOCOOR, 0, 0));
        if (!m_Itr) {
            Fail("Cannot read the unplaced reads of " + Quoted(m_Path) + " through its index.");
        }
        return;
    }
    // A chunk's pieces follow each other in the file: the index finds the
    // first read of the first piece that has any, and the reads from there
    // on are read as they come, up to the chunk's end. Reads in between
    // that overlap no piece are read too, as a single pass reads them, and
    // give no site. (htslib's iterator over many regions costs the square
    // of their number: no good for chunks of thousands of scaffolds.)
    m_ChunkPieces = &chunk.m_Pieces;
    m_NextPiece = 0;
    m_StopTid = chunk.m_Pieces.back().m_Tid;
    m_StopPos = chunk.m_Pieces.back().m_End;
    if (!x_QueryNextPiece()) {
        Fail(m_Error);
    }
}

bool CPileupInput::x_QueryNextPiece() {
    const SPileupPiece& p = (*m_ChunkPieces)[m_NextPiece++];
    m_Itr.reset(sam_itr_queryi(m_Index, p.m_Tid, p.m_Beg, p.m_End));
    if (!m_Itr) {
        m_Error = "Cannot read " + Quoted(sam_hdr_tid2name(m_Header, p.m_Tid)) + " of " +
                  Quoted(m_Path) + " through its index.";
        return false;
    }
    return true;
}

int CPileupInput::Next(bam1_t* b) {
    if (m_RegionIsEmpty) {
        return -1;
    }
    for (;;) {
        int r;
        {
            CQuietHts quiet;
            r = m_Itr && !m_ReadOn ? sam_itr_next(m_Fp.get(), m_Itr.get(), b)
                                   : sam_read1(m_Fp.get(), const_cast<sam_hdr_t*>(m_Header), b);
        }
        if (m_ChunkPieces && m_ReadOn && r == -1) {
            m_NextPiece = m_ChunkPieces->size();  // the file ends within the chunk
        } else if (m_ChunkPieces && r >= 0) {
            const bam1_core_t& c = b->core;
            if (m_ReadOn &&
                (c.tid < 0 || c.tid > m_StopTid || (c.tid == m_StopTid && c.pos >= m_StopPos))) {
                r = -1;  // the next chunk's
                m_NextPiece = m_ChunkPieces->size();
            } else if (!m_Cram) {
                // CRAM's iterators keep to their region: each piece is
                // queried on its own.
                m_ReadOn = true;
            }
        }
        if (r == -1) {
            if (!m_ChunkPieces || m_NextPiece == m_ChunkPieces->size()) {
                return -1;
            }
            if (!x_QueryNextPiece()) {
                return -2;
            }
            continue;
        }
        if (r < -1) {
            m_Error = Quoted(m_Path) + " is truncated or corrupt";
            if (m_Cram) {
                m_Error += " (or " + Quoted(m_Opts.m_Reference) + " is not its reference";
                m_Error += m_MissingContigs.empty() ? ")" : ": it lacks " + m_MissingContigs + ")";
            }
            m_Error += m_LastTid >= 0 ? " after " + x_Where(m_LastTid, m_LastPos) : "";
            m_Error += ".";
            return -2;
        }
        const bam1_core_t& c = b->core;
        if ((c.flag & m_Opts.m_SkipFlags) || (c.flag & BAM_FUNMAP) || c.tid < 0 ||
            (m_Opts.m_RequireFlags && !(c.flag & m_Opts.m_RequireFlags))) {
            m_Summary->m_ReadsSkippedFlags += x_Counts(b);
            continue;
        }
        if (c.qual < m_Opts.m_MinMapQ) {
            m_Summary->m_ReadsSkippedMapQ += x_Counts(b);
            continue;
        }
        if (c.l_qseq <= 0 || bam_get_qual(b)[0] == 0xff) {
            m_Summary->m_ReadsNoQuality += x_Counts(b);
            continue;
        }
        if (c.tid < m_LastTid || (c.tid == m_LastTid && c.pos < m_LastPos)) {
            m_Error = Quoted(m_Path) + " is not sorted by coordinate: read " +
                      Quoted(bam_get_qname(b)) + " at " + x_Where(c.tid, c.pos) + " follows " +
                      x_Where(m_LastTid, m_LastPos) + "; sort it with 'samtools sort'.";
            return -2;
        }
        if (m_Samples && !x_FindSample(b)) {
            return -2;
        }
        m_LastTid = c.tid;
        m_LastPos = c.pos;
        return r;
    }
}

bool CPileupInput::x_FindSample(const bam1_t* b) {
    if (m_Samples->m_Only >= 0) {
        m_ReadSample = static_cast<std::uint16_t>(m_Samples->m_Only);
        return true;
    }
    const std::uint8_t* tag = bam_aux_get(b, "RG");
    const char* group = tag ? bam_aux2Z(tag) : nullptr;
    if (group) {
        auto it = m_Samples->m_ByReadGroup.find(group);
        if (it != m_Samples->m_ByReadGroup.end()) {
            m_ReadSample = static_cast<std::uint16_t>(it->second);
            return true;
        }
    }
    // The read groups of the file name several samples: a read of none of
    // them cannot be given to any.
    const std::string what =
        "read " + Quoted(bam_get_qname(b)) +
        (group ? " names the read group " + Quoted(group) + ", which the header lacks"
               : " has no read group (RG tag)") +
        ", and the file's read groups name several samples: the read's sample is unknown.";
    const CInputError fault(
        EInputError::eUnknown,
        SInputWhere{m_Path, 0, 0, sam_hdr_tid2name(m_Header, b->core.tid), b->core.pos + 1}, what);
    m_Error = fault.what();
    m_Fault = std::make_exception_ptr(fault);
    return false;
}

hts_pos_t CPileupInput::EnterMates(const bam1_t* b) {
    const bam1_core_t& c = b->core;
    if (m_Opts.m_KeepOverlaps || !(c.flag & BAM_FPAIRED) || (c.flag & BAM_FMUNMAP) ||
        c.mtid != c.tid) {
        return 0;
    }
    const std::string_view name(bam_get_qname(b));
    auto it = m_OpenMates.find(name);
    if (it != m_OpenMates.end()) {
        const hts_pos_t firstEnd = it->second;
        m_OpenMates.erase(it);
        return firstEnd;
    }
    hts_pos_t end = bam_endpos(b);
    if (c.mpos >= c.pos && c.mpos < end) {
        m_OpenMates.emplace(name, end);
        return -1;
    }
    return 0;
}

void CPileupInput::LeaveMates(const bam1_t* b, hts_pos_t overlap) {
    if (overlap == -1) {
        // Its mate never came (or a read of the same name took the record:
        // then, as before, the record goes).
        m_OpenMates.erase(std::string_view(bam_get_qname(b)));
    }
}

void CPileupInput::OnEnter(const bam1_t* b, bam_pileup_cd* cd) {
    SReadState* state;
    if (m_FreeStates.empty()) {
        state = &m_States.emplace_back();
    } else {
        state = m_FreeStates.back();
        m_FreeStates.pop_back();
    }
    state->m_Sample = m_ReadSample;
    state->m_Overlap = EnterMates(b);
    cd->p = state;
}

void CPileupInput::OnLeave(const bam1_t* b, bam_pileup_cd* cd) {
    auto* state = static_cast<SReadState*>(cd->p);
    if (!state) {
        return;
    }
    LeaveMates(b, state->m_Overlap);
    m_FreeStates.push_back(state);
    cd->p = nullptr;
}

void CPileupInput::ThrowFault() const {
    if (m_Fault) {
        std::rethrow_exception(m_Fault);
    }
    if (!m_Error.empty()) {
        Fail(m_Error);
    }
}

void CPileupInput::FailNoReferenceForEquals(const bam1_t* b, int tid, hts_pos_t pos) const {
    Fail(Quoted(m_Path) + " writes bases equal to the reference as '=' (read " +
         Quoted(bam_get_qname(b)) + " at " + x_Where(tid, pos) +
         "): it needs the reference FASTA (-f/--reference).");
}

std::string CPileupInput::x_Where(int tid, hts_pos_t pos) const {
    return std::string(sam_hdr_tid2name(m_Header, tid)) + ":" + std::to_string(pos + 1);
}
