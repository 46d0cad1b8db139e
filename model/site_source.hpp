#pragma once
// Where qualscan's sites come from: an XML data set or the pileup of
// alignment files, delivered one site at a time in input order.

#include "model/raw_site.hpp"

class CSiteSource {
  public:
    virtual ~CSiteSource() = default;

    // Puts the next site into site and returns true, or returns false at the
    // end of the input. Whatever site held before is overwritten; its
    // vectors may be reused, so a caller that keeps one SRawSite across
    // calls allocates only while sites grow. Errors in the input throw
    // std::runtime_error naming the file; the sites delivered before stay
    // valid.
    virtual bool Next(SRawSite& site) = 0;
};
