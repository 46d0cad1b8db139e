#include "pileup/alignment_index.hpp"

#include <htslib/bgzf.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <vector>

#include "pileup/hts_handles.hpp"
#include "pileup/hts_quiet.hpp"

namespace {

bool IsFile(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

struct SBgzfCloser {
    void operator()(BGZF* f) const { bgzf_close(f); }
};

// Sequential reader of an index, compressed (CSI) or not (BAI); every read
// past the end of the data is a fault.
class CIndexReader {
  public:
    CIndexReader(const std::string& idxPath, const std::string& path)
        : m_IdxPath(idxPath), m_Path(path) {
        m_Fp.reset(bgzf_open(idxPath.c_str(), "r"));
        if (!m_Fp) {
            x_Fail("cannot be opened");
        }
    }

    void Bytes(void* out, std::size_t n) {
        if (bgzf_read(m_Fp.get(), out, n) != static_cast<ssize_t>(n)) {
            x_Fail("is cut short or damaged");
        }
    }
    std::int32_t Int32() {
        unsigned char b[4];
        Bytes(b, 4);
        return static_cast<std::int32_t>(
            static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
            static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24);
    }
    // A count of entries that follow, each size bytes long: never negative,
    // and the entries must be there before htslib allocates for them.
    void SkipEntries(std::uint64_t size, const char* what) {
        const std::int32_t n = Count(what);
        std::uint64_t left = size * static_cast<std::uint64_t>(n);
        char buf[1 << 14];
        while (left > 0) {
            const std::size_t step =
                left < sizeof buf ? static_cast<std::size_t>(left) : sizeof buf;
            if (bgzf_read(m_Fp.get(), buf, step) != static_cast<ssize_t>(step)) {
                x_Fail("ends before the " + std::to_string(n) + " " + what + " it announces");
            }
            left -= step;
        }
    }
    // A count of entries whose own counts follow them.
    std::int32_t Count(const char* what) {
        const std::int32_t n = Int32();
        if (n < 0) {
            x_Fail(std::string("gives a negative number of ") + what);
        }
        return n;
    }
    [[noreturn]] void Corrupt(const std::string& what) { x_Fail(what); }

  private:
    [[noreturn]] void x_Fail(const std::string& what) {
        throw std::runtime_error("Index " + Quoted(m_IdxPath) + " of " + Quoted(m_Path) + " " +
                                 what + "; recreate it with 'samtools index " + m_Path + "'.");
    }

    std::string m_IdxPath;
    std::string m_Path;
    std::unique_ptr<BGZF, SBgzfCloser> m_Fp;
};

// BAI: per contig the bins (number, chunks of two virtual offsets) and the
// linear index (one virtual offset per 16 kb window).
void WalkBai(CIndexReader& in) {
    const std::int32_t nRef = in.Count("contigs");
    for (std::int32_t r = 0; r < nRef; ++r) {
        const std::int32_t nBin = in.Count("bins");
        for (std::int32_t b = 0; b < nBin; ++b) {
            in.Int32();  // bin number
            in.SkipEntries(16, "chunks");
        }
        in.SkipEntries(8, "intervals");
    }
}

// CSI: a header (minimal interval width, depth of the binning, auxiliary
// data), then per contig the bins (number, their lowest offset, chunks).
void WalkCsi(CIndexReader& in) {
    const std::int32_t minShift = in.Int32();
    const std::int32_t depth = in.Int32();
    // Positions are 64-bit: the binning must fit them.
    if (minShift <= 0 || depth < 0 || minShift + 3 * static_cast<std::int64_t>(depth) > 62) {
        in.Corrupt("has an impossible binning (min_shift " + std::to_string(minShift) + ", depth " +
                   std::to_string(depth) + ")");
    }
    in.SkipEntries(1, "bytes of auxiliary data");
    const std::int32_t nRef = in.Count("contigs");
    for (std::int32_t r = 0; r < nRef; ++r) {
        const std::int32_t nBin = in.Count("bins");
        for (std::int32_t b = 0; b < nBin; ++b) {
            in.Int32();  // bin number
            unsigned char loffset[8];
            in.Bytes(loffset, 8);
            in.SkipEntries(16, "chunks");
        }
    }
}

std::string WithoutExtension(const std::string& path) {
    const std::size_t dot = path.rfind('.');
    const std::size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) {
        return "";
    }
    return path.substr(0, dot);
}

}  // namespace

std::string FindAlignmentIndex(const std::string& path, bool cram) {
    const std::string base = WithoutExtension(path);
    std::vector<std::string> candidates;
    for (const char* ext :
         cram ? std::vector<const char*>{".crai"} : std::vector<const char*>{".csi", ".bai"}) {
        candidates.push_back(path + ext);
        if (!base.empty()) {
            candidates.push_back(base + ext);
        }
    }
    for (const std::string& c : candidates) {
        if (IsFile(c)) {
            return c;
        }
    }
    return "";
}

void CheckAlignmentIndex(const std::string& idxPath, const std::string& path) {
    CQuietHts quiet;
    CIndexReader in(idxPath, path);
    char magic[4];
    in.Bytes(magic, 4);
    if (std::memcmp(magic, "BAI\1", 4) == 0) {
        WalkBai(in);
    } else if (std::memcmp(magic, "CSI\1", 4) == 0) {
        WalkCsi(in);
    }
    // Anything else is no index htslib allocates for from counts: it says
    // so itself when loading.
}
