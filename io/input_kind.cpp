#include "io/input_kind.hpp"

#include <htslib/hfile.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "base/file_magic.hpp"
#include "base/input_error.hpp"
#include "common/safe_output.hpp"

namespace {

// Bytes peeked at for the content test. hpeek() keeps them in the handle's
// buffer, so they are read again by whoever reads the file. (A pipe's
// handle may hold no more than this.)
constexpr std::size_t kPeek = 4096;

// What a recogniser sees of an input: htslib's view, and its first bytes,
// decompressed when it is compressed with gzip or bgzip.
struct SPeek {
    const htsFormat& m_Format;
    const unsigned char* m_Bytes;
    std::size_t m_Size;
    // The bytes fill what was peeked at: the input may go on past them.
    bool m_More;
};

// The start of the data that the gzip (or bgzip) member in in..in+n holds,
// into out (at most size bytes); the number of bytes, 0 when they do not
// inflate.
std::size_t Inflate(const unsigned char* in, std::size_t n, unsigned char* out, std::size_t size) {
    z_stream z{};
    // 15 + 16: a gzip header, as both gzip and bgzip write.
    if (inflateInit2(&z, 15 + 16) != Z_OK) {
        return 0;
    }
    z.next_in = const_cast<unsigned char*>(in);
    z.avail_in = static_cast<uInt>(n);
    z.next_out = out;
    z.avail_out = static_cast<uInt>(size);
    const int r = inflate(&z, Z_SYNC_FLUSH);
    const std::size_t got = size - z.avail_out;
    inflateEnd(&z);
    return r == Z_OK || r == Z_STREAM_END || r == Z_BUF_ERROR ? got : 0;
}

bool IsAlignment(const SPeek& in) {
    const htsExactFormat f = in.m_Format.format;
    return f == sam || f == bam || f == cram;
}

// An XML document starts with '<', after an optional UTF-8 byte-order mark
// and white space.
bool IsXml(const SPeek& in) {
    std::size_t i = 0;
    if (in.m_Size >= 3 && in.m_Bytes[0] == 0xEF && in.m_Bytes[1] == 0xBB && in.m_Bytes[2] == 0xBF) {
        i = 3;
    }
    while (i < in.m_Size && (in.m_Bytes[i] == ' ' || in.m_Bytes[i] == '\t' ||
                             in.m_Bytes[i] == '\n' || in.m_Bytes[i] == '\r')) {
        ++i;
    }
    return i < in.m_Size && in.m_Bytes[i] == '<';
}

// samtools mpileup text: the first line holds contig, position, reference
// base, then depth, bases and qualities for each sample. The line may be
// longer than the bytes seen (two pools at depth 1,400 fill 4 KB): without
// its end in sight, the fields seen whole and the one cut short are judged
// as their columns allow, and the reader checks the rest. So text of any
// depth is recognised from the handle's buffer, standard input too.
bool IsMpileupText(const SPeek& in) {
    const unsigned char* end =
        static_cast<const unsigned char*>(std::memchr(in.m_Bytes, '\n', in.m_Size));
    const bool whole = end != nullptr || !in.m_More;
    if (end == nullptr) {
        end = in.m_Bytes + in.m_Size;
    }
    std::vector<std::string> fields(1);
    for (const unsigned char* p = in.m_Bytes; p < end; ++p) {
        if (*p == '\t') {
            fields.emplace_back();
        } else if (*p != '\r') {
            fields.back() += static_cast<char>(*p);
        }
    }
    auto digits = [](const std::string& s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    // Bases and qualities are printable characters without blanks.
    auto printable = [](const std::string& s) {
        return std::all_of(s.begin(), s.end(), [](char c) { return c > ' ' && c <= '~'; });
    };
    if (whole) {
        return fields.size() >= 6 && (fields.size() - 3) % 3 == 0 && !fields[0].empty() &&
               !fields[1].empty() && digits(fields[1]) && fields[2].size() == 1 &&
               !fields[3].empty() && digits(fields[3]);
    }
    // Cut short: the contig, position, reference base and first depth seen
    // whole, the first sample's bases begun, every field as its column is.
    if (fields.size() < 5 || fields[0].empty() || fields[1].empty() || !digits(fields[1]) ||
        fields[2].size() != 1 || fields[3].empty()) {
        return false;
    }
    for (std::size_t f = 3; f < fields.size(); ++f) {
        const bool last = f + 1 == fields.size();
        const bool ok =
            f % 3 == 0 ? digits(fields[f]) && (last || !fields[f].empty()) : printable(fields[f]);
        if (!ok) {
            return false;
        }
    }
    return true;
}

// qualscan --save-sites: BGZF whose content starts with the summary magic.
// A summary file is BGZF; the bytes seen here are already decompressed.
bool IsSummary(const SPeek& in) {
    return in.m_Format.compression == bgzf && IsSiteFile(in.m_Bytes, in.m_Size);
}

// The recognisers, tried in order; the first that matches decides.
struct SRecogniser {
    EInputKind m_Kind;
    bool (*m_Matches)(const SPeek&);
};
constexpr SRecogniser kRecognisers[] = {
    {EInputKind::eAlignment, IsAlignment},
    {EInputKind::eXmlDataSet, IsXml},
    {EInputKind::eMpileupText, IsMpileupText},
    {EInputKind::eSiteFile, IsSummary},
};

}  // namespace

CInputFile::CInputFile(const std::string& path) : m_Path(path), m_Name(InputName(path)) {
    errno = 0;
    m_File = hopen(path.c_str(), "r");
    if (!m_File) {
        throw CannotOpen(path, errno);
    }
    unsigned char bytes[kPeek];
    errno = 0;
    ssize_t n = -1;
    if (hts_detect_format(m_File, &m_Format) == 0) {
        n = hpeek(m_File, bytes, sizeof bytes);
    }
    if (n < 0) {
        const int err = errno;
        hclose_abruptly(m_File);
        m_File = nullptr;
        throw CInputError(
            EInputError::eOpen, SInputWhere{path, 0, 0, "", 0},
            std::string("cannot be read: ") + (err ? std::strerror(err) : "unknown error") + ".");
    }
    SPeek peek{m_Format, bytes, static_cast<std::size_t>(n), n == sizeof bytes};
    unsigned char plain[kPeek];
    if (m_Format.compression == gzip || m_Format.compression == bgzf) {
        peek.m_Bytes = plain;
        peek.m_Size = Inflate(bytes, static_cast<std::size_t>(n), plain, sizeof plain);
        peek.m_More = peek.m_Size == sizeof plain;
    }
    for (const SRecogniser& r : kRecognisers) {
        if (r.m_Matches(peek)) {
            m_Kind = r.m_Kind;
            return;
        }
    }
    hclose_abruptly(m_File);
    m_File = nullptr;
    throw CInputError(EInputError::eFormat, SInputWhere{path, 0, 0, "", 0},
                      std::string(n == 0 ? "is empty: it " : "") +
                          "is neither an alignment file (SAM, BAM, CRAM), nor a qualtools XML "
                          "data set, nor samtools mpileup text, nor a qualscan summary file.");
}

CInputFile::~CInputFile() {
    if (m_File) {
        hclose_abruptly(m_File);
    }
}

CInputFile::CInputFile(CInputFile&& other) noexcept
    : m_Path(std::move(other.m_Path)),
      m_Name(std::move(other.m_Name)),
      m_File(std::exchange(other.m_File, nullptr)),
      m_Format(other.m_Format),
      m_Kind(other.m_Kind) {}

CInputFile& CInputFile::operator=(CInputFile&& other) noexcept {
    if (this != &other) {
        if (m_File) {
            hclose_abruptly(m_File);
        }
        m_Path = std::move(other.m_Path);
        m_Name = std::move(other.m_Name);
        m_File = std::exchange(other.m_File, nullptr);
        m_Format = other.m_Format;
        m_Kind = other.m_Kind;
    }
    return *this;
}

hFILE* CInputFile::Release() {
    return std::exchange(m_File, nullptr);
}

EInputKind DetectInputKind(const std::string& path) {
    return CInputFile(path).Kind();
}

std::vector<CInputFile> OpenInputs(const std::vector<std::string>& paths) {
    if (std::count(paths.begin(), paths.end(), "-") > 1) {
        throw CInputError(EInputError::eMismatch, SInputWhere{"-", 0, 0, "", 0},
                          "is named more than once.");
    }
    CheckInputsDistinct(paths);
    std::vector<CInputFile> inputs;
    for (const std::string& path : paths) {
        inputs.emplace_back(path);
        const CInputFile& in = inputs.back();
        if (inputs.size() > 1 && in.Kind() != inputs.front().Kind() &&
            (in.Kind() == EInputKind::eSiteFile ||
             inputs.front().Kind() == EInputKind::eSiteFile)) {
            throw CInputError(EInputError::eMismatch, SInputWhere{in.Path(), 0, 0, "", 0},
                              std::string("is ") + InputKindName(in.Kind()) + " and " +
                                  inputs.front().Name() + " is " +
                                  InputKindName(inputs.front().Kind()) +
                                  ": summary files are fitted only with other summary files.");
        }
        if (inputs.size() > 1 && in.Kind() != inputs.front().Kind()) {
            const CInputFile& alone = in.Kind() != EInputKind::eAlignment ? in : inputs.front();
            throw CInputError(EInputError::eMismatch, SInputWhere{alone.Path(), 0, 0, "", 0},
                              std::string("is ") + InputKindName(alone.Kind()) +
                                  ": it is read alone, not pooled with alignment files.");
        }
        if (inputs.size() > 1 && in.Kind() != EInputKind::eAlignment &&
            in.Kind() != EInputKind::eSiteFile) {
            throw CInputError(
                EInputError::eMismatch, SInputWhere{in.Path(), 0, 0, "", 0},
                std::string("is ") + InputKindName(in.Kind()) + ", as " + inputs.front().Name() +
                    " is: " +
                    (in.Kind() == EInputKind::eXmlDataSet
                         ? "qualscan reads one XML data set at a time."
                         : "qualscan reads one pileup text at a time (samtools mpileup pools "
                           "samples into the columns of one text)."));
        }
    }
    return inputs;
}

const char* InputKindName(EInputKind kind) {
    switch (kind) {
        case EInputKind::eAlignment:
            return "an alignment file";
        case EInputKind::eXmlDataSet:
            return "an XML data set";
        case EInputKind::eMpileupText:
            return "samtools mpileup text";
        case EInputKind::eSiteFile:
            return "a qualscan summary file";
    }
    return "an input";
}
