// The column pileup: sites from sorted reads without htslib's generic
// pileup. Each read's CIGAR is walked once when it is read: its reference
// span becomes segments (aligned bases, deletions, reference skips), and
// each aligned base a cell holding what the filters make of it (a base and
// its score, or why it does not count). The walk over positions then takes
// one cell from each read in the pileup. The reads of a position come in
// the order htslib's pileup gives them (files in order, reads in the
// order each file holds them), and the rule for overlapping mates sees
// reads enter and leave at the moments htslib's pileup would call its
// constructor and destructor, so the sites and the counts are those of
// htslib's pileup (htslib_pileup.cpp, which the tests compare against).

#include <htslib/sam.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "pileup/pileup_engine.hpp"
#include "pileup/pileup_input.hpp"
#include "pileup/reference_fasta.hpp"

namespace {

[[noreturn]] void Fail(const std::string& msg) {
    throw std::runtime_error(msg);
}

// Not yet looked up (a site's reference base is fetched when first needed).
constexpr int kRefUnknown = -2;

// Segments of a read's reference span; a read in the walk past its end is
// left in place, dead, until the walk's list is compacted.
enum : std::uint8_t { kSegMatch, kSegDeletion, kSegRefSkip, kSegDead };

// A cell's kind (its high byte; the low byte is the score): 0..3 a base
// that counts, else why the base does not count. '=' is resolved against
// the reference at the position.
enum : std::uint8_t { kCellEquals = 4, kCellN, kCellLowQuality, kCellOverlap };

// A 4-bit BAM base code's cell kind.
constexpr std::uint8_t kKindOfCode[16] = {kCellEquals, 0,      1,      kCellN, 2,      kCellN,
                                          kCellN,      kCellN, 3,      kCellN, kCellN, kCellN,
                                          kCellN,      kCellN, kCellN, kCellN};

// The cell of every base code and score, for one minimum score.
struct SCellTable {
    explicit SCellTable(unsigned minBaseQ) {
        for (unsigned code = 0; code < 16; ++code) {
            for (unsigned score = 0; score < 256; ++score) {
                unsigned kind = kKindOfCode[code];
                if (kind < 4 && score < minBaseQ) {
                    kind = kCellLowQuality;
                }
                m_Cell[code][score] = static_cast<std::uint16_t>(kind << 8 | score);
            }
        }
    }
    std::uint16_t m_Cell[16][256];
};

struct SSegment {
    hts_pos_t m_Beg, m_End;
    // For aligned bases: the cell of position pos is m_Cells[m_Off + pos].
    hts_pos_t m_Off;
    std::uint8_t m_Kind;
};

struct SRead {
    SRead() : m_B(bam_init1()) {
        if (!m_B) {
            throw std::bad_alloc();
        }
    }
    ~SRead() { bam_destroy1(m_B); }
    SRead(const SRead&) = delete;
    SRead& operator=(const SRead&) = delete;

    bam1_t* m_B;
    int m_Tid = -1;
    // m_End: m_Beg plus the reference length of the CIGAR (as htslib's
    // pileup counts it: a read of no reference length ends where it
    // begins).
    hts_pos_t m_Beg = 0, m_End = 0;
    std::uint16_t m_Sample = 0;
    // Who still needs the read: the walk over positions, and the list of
    // first mates waiting to leave.
    int m_Holds = 0;
    std::vector<SSegment> m_Segments;
    std::vector<std::uint16_t> m_Cells;
};

// A read in the walk, with its current segment.
struct SActive {
    hts_pos_t m_SegEnd;
    hts_pos_t m_Off;
    const std::uint16_t* m_Cells;
    SRead* m_Read;
    std::uint32_t m_Segment;
    std::uint8_t m_Kind;
};

// A first mate that recorded its end for its second (EnterMates() gave
// -1), until it leaves.
struct SOpenMate {
    int m_Tid;
    hts_pos_t m_End;
    SRead* m_Read;
    // A heap of the earliest end first.
    bool operator<(const SOpenMate& o) const {
        return m_Tid != o.m_Tid ? m_Tid > o.m_Tid : m_End > o.m_End;
    }
};

// One input: its reads in the pileup, and those read ahead.
struct SLane {
    CPileupInput* m_In = nullptr;
    std::vector<SActive> m_Active;  // in input order
    hts_pos_t m_ActiveEnd = 0;      // the largest end among them
    std::size_t m_Dead = 0;         // of them, those that ended
    std::deque<SRead*> m_Pending;   // read, beginning past the walk
    bool m_Eof = false;
    int m_LastTid = -1;
    hts_pos_t m_LastBeg = -1;
    // Where htslib's pileup of this input would stand after the last read:
    // a read of no reference length enters it only when it begins past.
    int m_HtsTid = 0;
    hts_pos_t m_HtsPos = 0;
    std::vector<SOpenMate> m_OpenMates;
};

// Where a position's bases go: the reads with their samples, in order.
class CReadsSink {
  public:
    explicit CReadsSink(SPileupSite& site) : m_Site(site) {}
    void Begin(std::size_t most) {
        m_Site.m_Reads.resize(most);
        m_Out = m_Site.m_Reads.data();
        m_Site.m_Counts = TBaseCounts{};
    }
    void Add(unsigned base, std::uint8_t score, std::uint16_t sample) {
        *m_Out++ = SPileupRead{static_cast<unsigned char>(base), score, sample};
        ++m_Site.m_Counts[base];
    }
    std::size_t End() {
        const auto n = static_cast<std::size_t>(m_Out - m_Site.m_Reads.data());
        m_Site.m_Reads.resize(n);
        return n;
    }

  private:
    SPileupSite& m_Site;
    SPileupRead* m_Out = nullptr;
};

// Or the scores grouped by base, written into buffers that only grow.
class CColumnSink {
  public:
    CColumnSink(SPileupColumn& column, std::vector<std::uint8_t> (&buffers)[4])
        : m_Column(column), m_Buffers(buffers) {}
    void Begin(std::size_t most) {
        for (int b = 0; b < 4; ++b) {
            if (m_Buffers[b].size() < most) {
                m_Buffers[b].resize(std::max(most, 2 * m_Buffers[b].size()));
            }
            m_Out[b] = m_Buffers[b].data();
        }
    }
    void Add(unsigned base, std::uint8_t score, std::uint16_t) { *m_Out[base]++ = score; }
    std::size_t End() {
        std::size_t n = 0;
        for (int b = 0; b < 4; ++b) {
            m_Column.m_Scores[b].assign(m_Buffers[b].data(), m_Out[b]);
            n += m_Column.m_Scores[b].size();
        }
        return n;
    }

  private:
    SPileupColumn& m_Column;
    std::vector<std::uint8_t> (&m_Buffers)[4];
    std::uint8_t* m_Out[4] = {};
};

class CColumnPileup : public CPileupEngine {
  public:
    CColumnPileup(const std::vector<CPileupInput*>& inputs, CReferenceFasta* reference,
                  const SPileupOptions& opts, SPileupSummary& summary,
                  const std::vector<SPileupPiece>* pieces)
        : m_Reference(reference),
          m_Opts(opts),
          m_Summary(summary),
          m_Pieces(pieces),
          m_MinBaseQ(static_cast<unsigned>(std::max(opts.m_MinBaseQ, 0))),
          m_Cells(std::make_unique<SCellTable>(m_MinBaseQ)) {
        m_Lanes.resize(inputs.size());
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            m_Lanes[i].m_In = inputs[i];
        }
    }

    bool Next(SPileupSite& site) override {
        CReadsSink sink(site);
        if (!x_Next(sink)) {
            return false;
        }
        site.m_Tid = m_SiteTid;
        site.m_Pos = m_SitePos;
        site.m_RefBase = m_SiteRef;
        site.m_DepthFiltered = m_SiteFiltered;
        return true;
    }

    bool NextColumn(SPileupColumn& column) override {
        CColumnSink sink(column, m_Buffers);
        if (!x_Next(sink)) {
            return false;
        }
        column.m_Tid = m_SiteTid;
        column.m_Pos = m_SitePos;
        column.m_RefBase = m_SiteRef;
        column.m_DepthFiltered = m_SiteFiltered;
        return true;
    }

  private:
    const sam_hdr_t* Header() const { return m_Lanes.front().m_In->Header(); }

    int RefBase(int tid, hts_pos_t pos) {
        return m_Reference ? m_Reference->BaseAt(Header(), m_Lanes.front().m_In->Path(), tid, pos)
                           : -1;
    }

    // Whether lane has read every read that begins at or before the walk.
    bool x_Beyond(const SLane& lane) const {
        return lane.m_LastTid > m_Tid || (lane.m_LastTid == m_Tid && lane.m_LastBeg > m_Pos);
    }

    SRead* x_NewRead() {
        if (m_Free.empty()) {
            m_Reads.push_back(std::make_unique<SRead>());
            return m_Reads.back().get();
        }
        SRead* r = m_Free.back();
        m_Free.pop_back();
        return r;
    }
    void x_Release(SRead* r) {
        if (--r->m_Holds <= 0) {
            m_Free.push_back(r);
        }
    }

    // The first mates whose pileup has passed their end leave it: in
    // htslib's pileup, once a read beginning after that end has entered.
    void x_LeaveMates(SLane& lane, int tid, hts_pos_t beg, bool all) {
        std::vector<SOpenMate>& open = lane.m_OpenMates;
        while (!open.empty() && (all || open.front().m_Tid < tid ||
                                 (open.front().m_Tid == tid && open.front().m_End < beg))) {
            std::pop_heap(open.begin(), open.end());
            SRead* r = open.back().m_Read;
            open.pop_back();
            lane.m_In->LeaveMates(r->m_B, -1);
            x_Release(r);
        }
    }

    void x_Read(SLane& lane);
    void x_Tabulate(SRead& r, hts_pos_t overlap);
    void x_Fill(SLane& lane) {
        while (!lane.m_Eof && !x_Beyond(lane)) {
            x_Read(lane);
        }
    }
    // Moves the reads that begin at or before the walk into the pileup.
    void x_Activate(SLane& lane);
    void x_DropAll(SLane& lane) {
        for (const SActive& a : lane.m_Active) {
            if (a.m_Kind != kSegDead) {
                x_Release(a.m_Read);
            }
        }
        lane.m_Active.clear();
        lane.m_Dead = 0;
    }
    // Moves the walk to the next position (at or after it) that a read
    // covers; false at the end.
    bool x_NextPosition();
    // The first position at or after pos that a piece owns on contig tid;
    // -1 for none.
    hts_pos_t x_OwnedFrom(int tid, hts_pos_t pos);
    // Advances a to the segment holding pos, or marks it dead when the
    // read ends before pos.
    void x_Advance(SLane& lane, SActive& a, hts_pos_t pos) {
        const SRead& r = *a.m_Read;
        if (pos >= r.m_End) {
            a.m_Kind = kSegDead;
            a.m_SegEnd = std::numeric_limits<hts_pos_t>::max();
            ++lane.m_Dead;
            x_Release(a.m_Read);
            return;
        }
        const SSegment* s = &r.m_Segments[a.m_Segment];
        while (pos >= s->m_End) {
            ++s;
        }
        a.m_Segment = static_cast<std::uint32_t>(s - r.m_Segments.data());
        a.m_SegEnd = s->m_End;
        a.m_Off = s->m_Off;
        a.m_Kind = s->m_Kind;
    }
    // Drops the dead reads from lane's walk once they are many.
    static void x_Compact(SLane& lane) {
        if (lane.m_Dead < 16 || 4 * lane.m_Dead < lane.m_Active.size()) {
            return;
        }
        lane.m_Active.erase(std::remove_if(lane.m_Active.begin(), lane.m_Active.end(),
                                           [](const SActive& a) { return a.m_Kind == kSegDead; }),
                            lane.m_Active.end());
        lane.m_Dead = 0;
    }
    // The bases at pos of reads hanging off the contig.
    void x_CountPastEnd(hts_pos_t pos);
    hts_pos_t ContigLength(int tid) {
        if (tid != m_LengthTid) {
            m_LengthTid = tid;
            m_Length = sam_hdr_tid2len(Header(), tid);
        }
        return m_Length;
    }
    template <class TSink>
    bool x_Next(TSink& sink);

    CReferenceFasta* m_Reference;
    const SPileupOptions& m_Opts;
    SPileupSummary& m_Summary;
    const std::vector<SPileupPiece>* m_Pieces;
    std::size_t m_Piece = 0;
    unsigned m_MinBaseQ;
    std::unique_ptr<SCellTable> m_Cells;
    std::vector<SLane> m_Lanes;
    std::vector<std::unique_ptr<SRead>> m_Reads;
    std::vector<SRead*> m_Free;
    std::vector<std::uint8_t> m_Buffers[4];
    // The walk: the next position to look at.
    int m_Tid = -1;
    hts_pos_t m_Pos = -1;
    int m_LengthTid = -1;
    hts_pos_t m_Length = 0;
    // The site delivered.
    int m_SiteTid = -1;
    hts_pos_t m_SitePos = 0;
    int m_SiteRef = -1;
    bool m_SiteFiltered = false;
};

void CColumnPileup::x_Read(SLane& lane) {
    SRead* r = x_NewRead();
    r->m_Holds = 0;
    const int ret = lane.m_In->Next(r->m_B);
    if (ret < 0) {
        m_Free.push_back(r);
        if (ret < -1) {
            lane.m_In->ThrowFault();
            Fail("Reading " + Quoted(lane.m_In->Path()) + " failed.");
        }
        lane.m_Eof = true;
        lane.m_LastTid = INT32_MAX;
        x_LeaveMates(lane, 0, 0, true);
        return;
    }
    const bam1_core_t& c = r->m_B->core;
    const hts_pos_t rlen = bam_cigar2rlen(static_cast<int>(c.n_cigar), bam_get_cigar(r->m_B));
    r->m_Tid = c.tid;
    r->m_Beg = c.pos;
    r->m_End = c.pos + rlen;
    lane.m_LastTid = c.tid;
    lane.m_LastBeg = c.pos;
    // htslib's pileup takes a read in (and calls its constructor) unless it
    // has no reference length and begins where the pileup stands.
    const bool enters = rlen > 0 || c.tid != lane.m_HtsTid || c.pos > lane.m_HtsPos;
    lane.m_HtsTid = c.tid;
    lane.m_HtsPos = c.pos;
    hts_pos_t overlap = 0;
    if (enters) {
        r->m_Sample = lane.m_In->ReadSample();
        overlap = lane.m_In->EnterMates(r->m_B);
        if (overlap == -1) {
            ++r->m_Holds;
            lane.m_OpenMates.push_back(SOpenMate{r->m_Tid, r->m_End, r});
            std::push_heap(lane.m_OpenMates.begin(), lane.m_OpenMates.end());
        }
    }
    // Then it piles up the positions before this read, where reads that
    // ended leave.
    x_LeaveMates(lane, c.tid, c.pos, false);
    if (enters && rlen > 0) {
        x_Tabulate(*r, overlap);
        ++r->m_Holds;
        lane.m_Pending.push_back(r);
    }
    if (r->m_Holds == 0) {
        m_Free.push_back(r);
    }
}

void CColumnPileup::x_Tabulate(SRead& r, hts_pos_t overlap) {
    const bam1_t* b = r.m_B;
    const bam1_core_t& c = b->core;
    const std::uint32_t* cigar = bam_get_cigar(b);
    const std::uint8_t* seq = bam_get_seq(b);
    const std::uint8_t* qual = bam_get_qual(b);
    const std::int64_t lqseq = c.l_qseq;
    r.m_Segments.clear();
    r.m_Cells.clear();
    hts_pos_t ref = c.pos;
    std::int64_t q = 0;
    // Segments follow each other along the reference; one of aligned bases
    // goes on across insertions (its cells follow on too).
    auto segment = [&](std::uint8_t kind, hts_pos_t len, std::size_t firstCell) {
        if (!r.m_Segments.empty() && r.m_Segments.back().m_Kind == kind) {
            r.m_Segments.back().m_End += len;
        } else {
            r.m_Segments.push_back(
                SSegment{ref, ref + len, static_cast<hts_pos_t>(firstCell) - ref, kind});
        }
        ref += len;
    };
    for (std::uint32_t k = 0; k < c.n_cigar; ++k) {
        const int op = bam_cigar_op(cigar[k]);
        const hts_pos_t len = bam_cigar_oplen(cigar[k]);
        // An operation of length 0 says nothing.
        if (len == 0) {
            continue;
        }
        switch (op) {
            case BAM_CMATCH:
            case BAM_CEQUAL:
            case BAM_CDIFF: {
                const std::size_t first = r.m_Cells.size();
                r.m_Cells.resize(first + static_cast<std::size_t>(len));
                std::uint16_t* cell = r.m_Cells.data() + first;
                // htslib checks that the CIGAR spans the bases; bases it
                // would not have stay N all the same.
                const std::int64_t have = std::max<std::int64_t>(0, std::min(len, lqseq - q));
                const auto& table = m_Cells->m_Cell;
                std::int64_t i = 0;
                if (have > 0 && (q & 1)) {
                    cell[0] = table[seq[q >> 1] & 15][qual[q]];
                    i = 1;
                }
                // Two bases a byte from here on.
                for (; i + 1 < have; i += 2) {
                    const unsigned pair = seq[(q + i) >> 1];
                    cell[i] = table[pair >> 4][qual[q + i]];
                    cell[i + 1] = table[pair & 15][qual[q + i + 1]];
                }
                if (i < have) {
                    cell[i] = table[seq[(q + i) >> 1] >> 4][qual[q + i]];
                    ++i;
                }
                for (; i < len; ++i) {
                    cell[i] = std::uint16_t{kCellN} << 8;
                }
                // The second mate's bases where the first's lie.
                const hts_pos_t covered = std::min(len, overlap - ref);
                for (hts_pos_t k = 0; k < covered; ++k) {
                    cell[k] = static_cast<std::uint16_t>(kCellOverlap << 8 | (cell[k] & 0xff));
                }
                q += len;
                segment(kSegMatch, len, first);
                break;
            }
            case BAM_CINS:
            case BAM_CSOFT_CLIP:
                q += len;
                break;
            case BAM_CDEL:
                segment(kSegDeletion, len, 0);
                break;
            case BAM_CREF_SKIP:
                segment(kSegRefSkip, len, 0);
                break;
            default:  // hard clips, padding: neither query nor reference
                break;
        }
    }
}

void CColumnPileup::x_Activate(SLane& lane) {
    while (!lane.m_Pending.empty()) {
        SRead* r = lane.m_Pending.front();
        if (r->m_Tid != m_Tid || r->m_Beg > m_Pos) {
            break;
        }
        lane.m_Pending.pop_front();
        const SSegment& s = r->m_Segments.front();
        lane.m_ActiveEnd = lane.m_Active.empty() ? r->m_End : std::max(lane.m_ActiveEnd, r->m_End);
        lane.m_Active.push_back(SActive{s.m_End, s.m_Off, r->m_Cells.data(), r, 0, s.m_Kind});
    }
}

bool CColumnPileup::x_NextPosition() {
    for (;;) {
        bool covered = false;
        for (SLane& lane : m_Lanes) {
            x_Fill(lane);
            x_Activate(lane);
            covered = covered || (!lane.m_Active.empty() && lane.m_ActiveEnd > m_Pos);
        }
        if (covered) {
            return true;
        }
        // Nothing here: on to the first read not yet in the pileup.
        int tid = INT32_MAX;
        hts_pos_t pos = 0;
        for (SLane& lane : m_Lanes) {
            x_DropAll(lane);
            while (!lane.m_Eof && lane.m_Pending.empty()) {
                x_Read(lane);
            }
            if (!lane.m_Pending.empty()) {
                const SRead* r = lane.m_Pending.front();
                if (r->m_Tid < tid || (r->m_Tid == tid && r->m_Beg < pos)) {
                    tid = r->m_Tid;
                    pos = r->m_Beg;
                }
            }
        }
        if (tid == INT32_MAX) {
            return false;
        }
        m_Tid = tid;
        m_Pos = pos;
    }
}

hts_pos_t CColumnPileup::x_OwnedFrom(int tid, hts_pos_t pos) {
    if (!m_Pieces) {
        return pos;
    }
    const std::vector<SPileupPiece>& p = *m_Pieces;
    while (m_Piece < p.size() &&
           (p[m_Piece].m_Tid < tid || (p[m_Piece].m_Tid == tid && p[m_Piece].m_End <= pos))) {
        ++m_Piece;
    }
    if (m_Piece < p.size() && p[m_Piece].m_Tid == tid) {
        return std::max(pos, p[m_Piece].m_Beg);
    }
    return -1;
}

void CColumnPileup::x_CountPastEnd(hts_pos_t pos) {
    for (SLane& lane : m_Lanes) {
        for (SActive& a : lane.m_Active) {
            if (pos >= a.m_SegEnd) {
                x_Advance(lane, a, pos);
            }
            m_Summary.m_BasesPastEnd += a.m_Kind == kSegMatch;
        }
        x_Compact(lane);
    }
}

template <class TSink>
bool CColumnPileup::x_Next(TSink& sink) {
    SPileupSummary& sum = m_Summary;
    for (;;) {
        if (!x_NextPosition()) {
            return false;
        }
        const hts_pos_t owned = x_OwnedFrom(m_Tid, m_Pos);
        if (owned != m_Pos) {
            if (owned > m_Pos) {
                m_Pos = owned;
            } else {
                // Nothing of this contig from here on is wanted: past the
                // reads in the pileup now.
                for (const SLane& lane : m_Lanes) {
                    if (!lane.m_Active.empty()) {
                        m_Pos = std::max(m_Pos, lane.m_ActiveEnd);
                    }
                }
            }
            continue;
        }
        const hts_pos_t pos = m_Pos++;
        const int tid = m_Tid;
        if (pos >= ContigLength(tid)) {
            // Reads hanging off a scaffold's end: the positions past it do
            // not exist on the reference, so they never become sites.
            x_CountPastEnd(pos);
            continue;
        }
        std::size_t most = 0;
        for (const SLane& lane : m_Lanes) {
            most += lane.m_Active.size();
        }
        sink.Begin(most);
        int ref = kRefUnknown;
        std::uint64_t deletions = 0, refSkips = 0, n = 0, lowQuality = 0, overlap = 0;
        for (SLane& lane : m_Lanes) {
            // Locals: the sink's stores of bytes may alias anything else.
            SActive* a = lane.m_Active.data();
            SActive* const end = a + lane.m_Active.size();
            for (; a != end; ++a) {
                if (pos >= a->m_SegEnd) {
                    x_Advance(lane, *a, pos);
                }
                if (a->m_Kind != kSegMatch) {
                    deletions += a->m_Kind == kSegDeletion;
                    refSkips += a->m_Kind == kSegRefSkip;
                    continue;
                }
                const std::uint16_t cell = a->m_Cells[a->m_Off + pos];
                const unsigned kind = cell >> 8;
                const auto score = static_cast<std::uint8_t>(cell & 0xff);
                if (kind < 4) {
                    sink.Add(kind, score, a->m_Read->m_Sample);
                    continue;
                }
                switch (kind) {
                    case kCellEquals:
                        // '=': the same as the reference base (samtools
                        // calmd -e).
                        if (!m_Reference) {
                            lane.m_In->FailNoReferenceForEquals(a->m_Read->m_B, tid, pos);
                        }
                        if (ref == kRefUnknown) {
                            ref = RefBase(tid, pos);
                        }
                        if (ref < 0) {
                            ++n;
                        } else if (score < m_MinBaseQ) {
                            ++lowQuality;
                        } else {
                            sink.Add(static_cast<unsigned>(ref), score, a->m_Read->m_Sample);
                        }
                        break;
                    case kCellN:
                        ++n;
                        break;
                    case kCellLowQuality:
                        ++lowQuality;
                        break;
                    default:
                        ++overlap;
                        break;
                }
            }
        }
        for (SLane& lane : m_Lanes) {
            x_Compact(lane);
        }
        sum.m_BasesDeletion += deletions;
        sum.m_BasesRefSkip += refSkips;
        sum.m_BasesN += n;
        sum.m_BasesLowQuality += lowQuality;
        sum.m_BasesOverlap += overlap;
        const std::size_t depth = sink.End();
        if (depth == 0) {
            ++sum.m_SitesNoReads;
            continue;
        }
        m_SiteFiltered = false;
        if (depth < m_Opts.m_MinDepth) {
            ++sum.m_SitesBelowMinDepth;
            m_SiteFiltered = true;
        } else if (m_Opts.m_MaxDepth != 0 && depth > m_Opts.m_MaxDepth) {
            ++sum.m_SitesAboveMaxDepth;
            m_SiteFiltered = true;
        }
        m_SiteTid = tid;
        m_SitePos = pos;
        m_SiteRef = ref == kRefUnknown ? RefBase(tid, pos) : ref;
        return true;
    }
}

}  // namespace

std::unique_ptr<CPileupEngine> MakeColumnPileup(const std::vector<CPileupInput*>& inputs,
                                                CReferenceFasta* reference,
                                                const SPileupOptions& opts, SPileupSummary& summary,
                                                const std::vector<SPileupPiece>* pieces) {
    return std::make_unique<CColumnPileup>(inputs, reference, opts, summary, pieces);
}

std::unique_ptr<CPileupEngine> MakePileupEngine(const std::vector<CPileupInput*>& inputs,
                                                CReferenceFasta* reference,
                                                const SPileupOptions& opts, SPileupSummary& summary,
                                                const std::vector<SPileupPiece>* pieces) {
    return opts.m_HtslibPileup ? MakeHtslibPileup(inputs, reference, opts, summary, pieces)
                               : MakeColumnPileup(inputs, reference, opts, summary, pieces);
}

void GroupByBase(const SPileupSite& site, SPileupColumn& column) {
    column.m_Tid = site.m_Tid;
    column.m_Pos = site.m_Pos;
    column.m_RefBase = site.m_RefBase;
    column.m_DepthFiltered = site.m_DepthFiltered;
    for (auto& scores : column.m_Scores) {
        scores.clear();
    }
    for (const SPileupRead& r : site.m_Reads) {
        column.m_Scores[r.m_Base].push_back(r.m_Score);
    }
}
