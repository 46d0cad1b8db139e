#pragma once
// The reference FASTA, read through its .fai index in windows, so memory
// stays small however long the contigs are.

#include <htslib/sam.h>

#include <string>

#include "model/site_classes.hpp"
#include "pileup/hts_handles.hpp"

class CReferenceFasta {
  public:
    // Opens path with its existing index (never writes one) and checks that
    // the file holds every base the index promises. Throws
    // std::runtime_error naming the file.
    explicit CReferenceFasta(const std::string& path);

    const std::string& Path() const { return m_Path; }
    bool HasContig(const char* name) const { return faidx_has_seq(m_Fai.get(), name) != 0; }

    // Base index (0..3) of the reference at 0-based pos of contig tid of
    // hdr, -1 for any other letter there or past the contig's end. The first
    // call on a contig checks that the FASTA has it with the same length;
    // inputName names hdr's file in that error.
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
    void x_CheckIndexText() const;
    void x_CheckSize() const;
    void x_EnterContig(const sam_hdr_t* hdr, const std::string& inputName, int tid);
    void x_Fetch(hts_pos_t pos);

    std::string m_Path;
    TFai m_Fai;
    int m_Tid = -1;
    std::string m_Name;
    hts_pos_t m_Len = 0;
    hts_pos_t m_Beg = 0;
    std::string m_Seq;  // the window starting at m_Beg
};
