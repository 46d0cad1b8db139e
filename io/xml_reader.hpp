#pragma once
// Streaming reader of the quality-score data-set document (the format that
// qualgen, qualpileup and qualfit -o write): one site at a time, so memory
// does not grow with the document.
//
// Stricter than qualfit's loader, because qualscan's results are read back
// by nobody who could notice a silently misread number:
// - the root element is Contig; Column and FSParams are its children, Chr
//   and PrObservedCond children of a Column, PrObservedCond at most once
//   and after the Column's Chr elements;
// - Column needs pos, a whole decimal number from 1 to 2^63 - 1 (the
//   attribute is found by its name, not by its place);
// - contigs: Column may carry contig="NAME" (qualpileup writes it on the
//   first Column of each contig; qualfit ignores it). A Column without one
//   continues the contig before it. Within a contig the positions
//   increase. In a document without any name, the first contig takes the
//   fallback name (qualscan's --contig) and a position that goes back
//   starts the next contig, named fallback_2, fallback_3, ... A named
//   contig may not come back after another one, and in a document with
//   names a position may not go back without a new name. A name must be
//   usable in a table: not empty, no TAB, line break or other control
//   character;
// - Chr needs score, a whole decimal number from 0 to 255; other is "1" or
//   "2"; a Chr marked both minor and other is refused; minor and error count
//   by their presence (error is not used);
// - a stored PrObservedCond holds exactly depth + 1 numbers, each from 0 to
//   1, separated by white space;
// - text other than white space is refused outside PrObservedCond;
// - elements and attributes the format does not name are ignored with
//   their text, as qualfit ignores them, but an element the format names
//   is refused inside them (qualfit would read it); FSParams is only
//   checked for well-formedness (qualscan fits its own models).
// Every error is a CInputError naming the file and the line. BGZF input
// must end with BGZF's end-of-file block (a file cut at a block boundary is
// refused as truncated). The XML safety rules of common/xml_safety.hpp
// apply: the reader loads no DTD and no external entity, libxml2 refuses
// nested entity expansion, text that entity references expand beyond 10 MB
// and ten times the bytes read is refused, and libxml2's generic error
// channel stays off standard error. A reference to an external entity (or
// an undeclared one) is refused instead of silently standing for nothing.
// Entity references may stand for text only: markup from an entity would
// let one reference bring in any number of sites.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "model/raw_site.hpp"
#include "model/site_source.hpp"

struct hFILE;

struct hts_tpool;

// The name of the first contig of a document that names none, unless the
// caller gives another (qualscan's --contig).
inline constexpr char kUnnamedContig[] = ".";

class CXmlSiteReader : public CSiteSource {
  public:
    // Reads the document from fp, plain or compressed with gzip or bgzip,
    // which the reader takes over and closes; path is the input as the
    // user named it ("-": standard input), unquoted (CInputFile::Path(),
    // not Name()): messages quote it once. A stored table is
    // delivered when it was written in this folding mode (anc marks an
    // unfolded table, as for qualfit). fallbackContig names the contigs of
    // a document without names (see above).
    CXmlSiteReader(hFILE* fp, const std::string& path, bool folded,
                   const std::string& fallbackContig = kUnnamedContig);
    // Opens path; "-" is standard input.
    CXmlSiteReader(const std::string& path, bool folded,
                   const std::string& fallbackContig = kUnnamedContig);
    ~CXmlSiteReader() override;
    CXmlSiteReader(const CXmlSiteReader&) = delete;
    CXmlSiteReader& operator=(const CXmlSiteReader&) = delete;

    // m_Contig indexes Contigs() and m_Pos is the document's pos - 1.
    bool Next(SRawSite& site) override;

    // The contigs in the order they appear; it grows as the document is
    // read, and every site delivered indexes it.
    const std::vector<std::string>& Contigs() const;

    // Decompresses a bgzip-compressed document on pool's threads from now
    // on (nothing for plain or gzip input, or a null pool).
    void UseThreadPool(hts_tpool* pool);

    // Bytes of input read so far (for progress reports).
    unsigned long long BytesRead() const;

  private:
    struct SImpl;
    std::unique_ptr<SImpl> m_Impl;
};
