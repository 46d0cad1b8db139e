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
//   attribute is found by its name, not by its place), not below the pos
//   of the Column before it;
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
// Every error names the file and the line. Like qualfit's loader, the
// reader loads no DTD and no external entity, libxml2 refuses nested entity
// expansion, and text that entity references expand beyond 10 MB and ten
// times the bytes read is refused. A reference to an external entity (or an
// undeclared one) is refused instead of silently standing for nothing.
// Entity references may stand for text only: markup from an entity would let
// one reference bring in any number of sites.

#include <cstddef>
#include <memory>
#include <string>

#include "model/raw_site.hpp"
#include "model/site_source.hpp"

struct hFILE;

struct hts_tpool;

class CXmlSiteReader : public CSiteSource {
  public:
    // Reads the document from fp, plain or compressed with gzip or bgzip,
    // which the reader takes over and closes;
    // name names the input in messages. A stored table is delivered when it
    // was written in this folding mode (anc marks an unfolded table, as for
    // qualfit).
    CXmlSiteReader(hFILE* fp, const std::string& name, bool folded);
    // Opens path; "-" is standard input.
    CXmlSiteReader(const std::string& path, bool folded);
    ~CXmlSiteReader() override;
    CXmlSiteReader(const CXmlSiteReader&) = delete;
    CXmlSiteReader& operator=(const CXmlSiteReader&) = delete;

    // m_Contig is 0 (the document names no contig) and m_Pos is the
    // document's pos - 1.
    bool Next(SRawSite& site) override;

    // Decompresses a bgzip-compressed document on pool's threads from now
    // on (nothing for plain or gzip input, or a null pool).
    void UseThreadPool(hts_tpool* pool);

    // Bytes of input read so far (for progress reports).
    unsigned long long BytesRead() const;

  private:
    struct SImpl;
    std::unique_ptr<SImpl> m_Impl;
};

// The name of an input in messages: 'path', or "standard input" for "-".
std::string InputDisplayName(const std::string& path);
