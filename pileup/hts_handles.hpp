#pragma once
// Owners of htslib objects, and the quoting of names in error messages.

#include <htslib/faidx.h>
#include <htslib/hts.h>
#include <htslib/sam.h>
#include <htslib/thread_pool.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "pileup/hts_quiet.hpp"

// Closing may report a fault of its own; the file's faults are reported by
// its reader.
struct SHtsFileCloser {
    void operator()(htsFile* f) const {
        CQuietHts quiet;
        hts_close(f);
    }
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

using THtsFile = std::unique_ptr<htsFile, SHtsFileCloser>;
using THeader = std::unique_ptr<sam_hdr_t, SHeaderFree>;
using TIndex = std::unique_ptr<hts_idx_t, SIndexFree>;
using TIterator = std::unique_ptr<hts_itr_t, SIterFree>;
using TFai = std::unique_ptr<faidx_t, SFaiFree>;

// A file name or contig name as messages show it: in single quotes.
inline std::string Quoted(const std::string& s) {
    return "'" + s + "'";
}
