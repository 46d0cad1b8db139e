#pragma once
// One alignment file as a source of reads for the pileup engine: opening and
// checking it, its region, and the read filters of the options.

#include <htslib/sam.h>

#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "pileup/hts_handles.hpp"
#include "pileup/pileup_chunks.hpp"
#include "pileup/pileup_options.hpp"
#include "pileup/pileup_summary.hpp"
#include "pileup/region.hpp"
#include "pileup/samples.hpp"

class CReferenceFasta;

class CPileupInput {
  public:
    // Opens path as SAM, BAM or CRAM and reads its header. A CRAM file is
    // decoded with reference (required) and with nothing else: htslib's
    // look-up of missing contigs by checksum (REF_PATH, REF_CACHE, a public
    // server) or by the header's UR path is switched off for this file.
    // Throws std::runtime_error naming the file for every fault found.
    CPileupInput(const std::string& path, const SPileupOptions& opts,
                 const CReferenceFasta* reference, SPileupSummary& summary);
    // Another reader of first's file, for a thread that reads chunks:
    // its own handle; for BAM it uses first's header and index (which
    // must be loaded, and outlive it), for CRAM its own, since htslib keeps
    // a CRAM file's index in the handle. Throws std::runtime_error naming
    // the file when it cannot be read again.
    static std::unique_ptr<CPileupInput> ForThread(const CPileupInput& first,
                                                   const CReferenceFasta* reference,
                                                   SPileupSummary& summary);
    CPileupInput(const CPileupInput&) = delete;
    CPileupInput& operator=(const CPileupInput&) = delete;

    const std::string& Path() const { return m_Path; }
    const sam_hdr_t* Header() const { return m_Header; }
    // The fault that ended reading (Next() returned -2), and, when it is a
    // fault of the input's content with a kind (CInputError), the error to
    // throw; null for the others, thrown as std::runtime_error(Error()).
    const std::string& Error() const { return m_Error; }
    std::exception_ptr Fault() const { return m_Fault; }
    // Throws the fault that ended reading, if there is one.
    void ThrowFault() const;
    // A read's base written as '=' is the reference base: without the
    // reference FASTA, an error naming the file, the read and where.
    [[noreturn]] void FailNoReferenceForEquals(const bam1_t* b, int tid, hts_pos_t pos) const;

    // How this file's reads find their sample; must outlive the reading.
    // Until set, every read is of sample 0.
    void SetSamples(const SFileSamples& samples) { m_Samples = &samples; }

    // Decompresses through threadPool from now on (read in one pass: a
    // file read in chunks decompresses on the thread that reads it).
    void UseThreadPool(htsThreadPool* threadPool);

    // Same contigs, lengths and order as first; else an error naming both.
    void CheckSameReferences(const CPileupInput& first) const;

    // Restricts reading to region (of this file's header) through the
    // file's index, which is checked first. A region that starts past its
    // contig's end holds no reads.
    void SetRegion(const SRegion& region);

    // Loads the file's index for chunks, if it has a sound one: false
    // (nothing thrown) for a file without index, one that fails the check,
    // cannot be loaded, or is older than the file (it may not describe
    // it). A file read in chunks must be read the same as in one pass.
    bool LoadIndexForChunks();
    const hts_idx_t* Index() const { return m_Index; }
    bool IsCram() const { return m_Cram; }
    // Reads from now on the reads of chunk (those overlapping its pieces,
    // or the unplaced ones), through the index loaded above, and counts
    // what the filters skip in summary (once per read over all chunks).
    // The state of the reading before is dropped. chunk must outlive the
    // reading.
    void SetChunk(const SPileupChunk& chunk, SPileupSummary& summary);

    // The next read that passes the read filters: 0 or more on success, -1
    // at the end, -2 on a fault (kept in Error()). Counts the reads it
    // skips in the summary.
    int Next(bam1_t* b);

    // The sample of the read Next() delivered last.
    std::uint16_t ReadSample() const { return m_ReadSample; }

    // The rule for overlapping mates, for a read b entering the pileup
    // (the read Next() delivered last): 0 when it takes no part, -1 for the
    // first mate to enter (its end is recorded under the read name), or,
    // for the second mate, which finds that record, the first mate's end:
    // its bases before that position are skipped. LeaveMates() is called
    // when b leaves the pileup, with what EnterMates() returned: a first
    // mate whose second never came drops its record.
    hts_pos_t EnterMates(const bam1_t* b);
    void LeaveMates(const bam1_t* b, hts_pos_t overlap);

    // What htslib's pileup keeps of a read while it is in the pileup (cd->p
    // points to it): its sample and what EnterMates() returned.
    struct SReadState {
        hts_pos_t m_Overlap = 0;
        std::uint16_t m_Sample = 0;
    };
    static const SReadState& State(const bam_pileup_cd& cd) {
        return *static_cast<const SReadState*>(cd.p);
    }

    // htslib's pileup's constructor and destructor of a read (the read
    // Next() delivered last): its state, and the overlapping mates.
    void OnEnter(const bam1_t* b, bam_pileup_cd* cd);
    void OnLeave(const bam1_t* b, bam_pileup_cd* cd);

  private:
    // Nothing opened yet (for ForThread).
    CPileupInput(const std::string& path, const SPileupOptions& opts, SPileupSummary& summary)
        : m_Path(path), m_Opts(opts), m_Summary(&summary) {}
    void x_CheckHeader();
    // Whether a read the filters skip counts here (see SPileupChunk).
    bool x_Counts(const bam1_t* b) const {
        const bam1_core_t& c = b->core;
        return m_CountFromTid < 0 || c.tid > m_CountFromTid ||
               (c.tid == m_CountFromTid &&
                (c.pos >= m_CountFromPos ||
                 (m_CountOverlapping && bam_endpos(b) > m_CountFromPos)));
    }
    void x_DecodeOnlyWith(const CReferenceFasta& reference);
    std::string x_Where(int tid, hts_pos_t pos) const;
    // The sample of read b into m_ReadSample; false (the fault kept) when
    // the file cannot tell it.
    bool x_FindSample(const bam1_t* b);
    // Moves a chunk read piece by piece to its next piece; false (the
    // fault in m_Error) when the index query fails.
    bool x_QueryNextPiece();

    std::string m_Path;
    const SPileupOptions& m_Opts;
    SPileupSummary* m_Summary;
    bool m_Cram = false;
    // For a CRAM file: the contigs of its header that the reference lacks,
    // as a message names them ("" for none).
    std::string m_MissingContigs;
    THtsFile m_Fp;
    THeader m_Hdr;  // this reader's own header and index, if it has them
    TIndex m_Idx;
    const sam_hdr_t* m_Header = nullptr;  // its own or the first reader's
    const hts_idx_t* m_Index = nullptr;
    TIterator m_Itr;
    bool m_RegionIsEmpty = false;  // the region starts past its contig's end
    // The pieces of the chunk read, and the piece to query next (while no
    // piece has given a read yet, or for CRAM, one piece at a time).
    const std::vector<SPileupPiece>* m_ChunkPieces = nullptr;
    std::size_t m_NextPiece = 0;
    // Reading on from the first read of the chunk (not CRAM) up to the
    // chunk's end: its last piece's contig and end.
    bool m_ReadOn = false;
    int m_StopTid = -1;
    hts_pos_t m_StopPos = 0;
    // Skipped reads before this position are another chunk's to count (-1:
    // every read counts here), or, in the first chunk, not counted unless
    // they reach it.
    int m_CountFromTid = -1;
    hts_pos_t m_CountFromPos = 0;
    bool m_CountOverlapping = false;
    int m_LastTid = -1;
    hts_pos_t m_LastPos = -1;
    std::string m_Error;
    std::exception_ptr m_Fault;
    // First mates waiting for their second, by name: the name's bytes are
    // those of the first mate's record, which lives until it leaves.
    std::unordered_map<std::string_view, hts_pos_t> m_OpenMates;
    const SFileSamples* m_Samples = nullptr;
    std::uint16_t m_ReadSample = 0;  // the sample of the read Next() delivered
    // States of the reads in the pileup; a deque never moves them.
    std::deque<SReadState> m_States;
    std::vector<SReadState*> m_FreeStates;
};
