#include "sitefile/site_file.hpp"

#include <htslib/bgzf.h>
#include <htslib/hfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <ostream>
#include <stdexcept>
#include <utility>

#include "base/file_magic.hpp"
#include "base/varint.hpp"
#include "base/whole_number.hpp"
#include "common/bgzf_stream.hpp"
#include "common/kstring.hpp"
#include "common/safe_output.hpp"
#include "engine/depthrows.hpp"
#include "engine/thetalik.hpp"
#include "spectrum/freqspec.hpp"

namespace {

const char* const kMagic = kSiteFileMagic;
// Buffered bytes before they go to the compressor.
constexpr std::size_t kFlushBytes = 1 << 20;
// A record is read in pieces of this size, so that memory follows the
// bytes the file holds, not the length a damaged record claims.
constexpr std::size_t kReadPiece = 1 << 20;
// The longest contig name.
constexpr std::uint64_t kMaxNameBytes = 65536;
// A site's constant is log(p0 c_ref) + logScale, at most 0 since the
// table's entries are probabilities (sitestore.hpp); this allows for the
// rounding of the logarithms.
constexpr double kMaxConstant = 1e-6;
// The record's entries z_k = c[k] / ref: at most 1 when ref is the largest
// entry, at most the encoder's ratio bound when ref is c[0].
constexpr double kMaxEntry = 1e300;

void PutDouble(std::vector<unsigned char>& out, double v) {
    unsigned char b[sizeof v];
    std::memcpy(b, &v, sizeof v);
    out.insert(out.end(), b, b + sizeof v);
}

// FNV-1a, 64 bits (Fowler, Noll and Vo): h = (h XOR byte) * 1099511628211
// from 14695981039346656037, over the header's bytes before its checksum
// line. Not a guard against a forger, but against an edit that changes a
// setting and leaves the records that were made under the old one (a
// folded file read as unfolded gives other estimates without a word).
std::uint64_t HeaderChecksum(const std::string& text) {
    std::uint64_t h = 14695981039346656037ULL;
    for (const char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ULL;
    }
    return h;
}

std::string Hex64(std::uint64_t v) {
    static const char digits[] = "0123456789abcdef";
    std::string out(16, '0');
    for (int i = 15; i >= 0; --i, v >>= 4) {
        out[static_cast<std::size_t>(i)] = digits[v & 15];
    }
    return out;
}

// The header's last line: its checksum.
const char* const kChecksumKey = "checksum";

std::string HeaderText(const SSiteFileSettings& s) {
    std::string h = kMagic;
    auto put = [&h](const char* key, const std::string& value) {
        h += key;
        h += '\t';
        h += value;
        h += '\n';
    };
    put("version", s.version);
    put("folded", s.folded ? "1" : "0");
    put("pool_size", std::to_string(s.poolSize));
    put("block_size", std::to_string(s.blockSize));
    put("min_MQ", std::to_string(s.minMapQ));
    put("min_BQ", std::to_string(s.minBaseQ));
    put("skip_flags", std::to_string(s.skipFlags));
    put("incl_flags", std::to_string(s.requireFlags));
    put("min_depth", std::to_string(s.minDepth));
    put("max_depth", std::to_string(s.maxDepth));
    put("ignore_overlaps", s.keepOverlaps ? "1" : "0");
    put("region", s.region);
    put("reference", s.reference);
    put("input", s.input);
    put("sample", s.sample);
    put(kChecksumKey, Hex64(HeaderChecksum(h)));
    return h + '\n';
}

}  // namespace

struct CSiteFileWriter::SOutput {
    explicit SOutput(const std::string& path)
        : m_Path(path), m_File(path), m_Compress(m_File.stream()), m_Stream(&m_Compress) {}
    std::string m_Path;
    CSafeOutputFile m_File;
    CBgzfOutBuf m_Compress;
    std::ostream m_Stream;
};

CSiteFileWriter::CSiteFileWriter(const std::string& path, const SSiteFileSettings& settings) {
    errno = 0;
    m_Output = std::make_unique<SOutput>(path);
    if (!m_Output->m_File.stream().good()) {
        const int err = errno;
        throw std::runtime_error("Cannot write the summary file '" + path +
                                 "': " + (err ? std::strerror(err) : "cannot open it") + ".");
    }
    const std::string header = HeaderText(settings);
    m_Buffer.assign(header.begin(), header.end());
}

CSiteFileWriter::~CSiteFileWriter() = default;

void CSiteFileWriter::x_Write() {
    m_Output->m_Stream.write(reinterpret_cast<const char*>(m_Buffer.data()),
                             static_cast<std::streamsize>(m_Buffer.size()));
    m_Buffer.clear();
    if (!m_Output->m_Stream) {
        // The cause (a full disk) shows when the file is committed; a
        // failed write ends the run now.
        const int err = errno;
        throw std::runtime_error("Cannot write the summary file '" + m_Output->m_Path +
                                 "': " + (err ? std::strerror(err) : "write failed") + ".");
    }
}

void CSiteFileWriter::Add(const SSiteBatch& batch, const std::vector<std::string>& contigs) {
    const unsigned char* p = batch.bytes.data();
    for (const SEncodedSite& s : batch.sites) {
        if (s.contig != m_Contig) {
            m_Contig = s.contig;
            m_EntryPos = 0;
            const std::string& name = contigs.at(static_cast<std::size_t>(s.contig));
            m_Buffer.push_back('C');
            PutVarint(m_Buffer, name.size());
            m_Buffer.insert(m_Buffer.end(), name.begin(), name.end());
        }
        m_Buffer.push_back('S');
        PutVarint(m_Buffer, static_cast<std::uint64_t>(s.pos - m_EntryPos));
        m_EntryPos = s.pos;
        PutDouble(m_Buffer, s.constant);
        m_Buffer.insert(m_Buffer.end(), p, p + s.bytes);
        p += s.bytes;
        ++m_Sites;
        m_Reads += static_cast<std::uint64_t>(s.reads);
        if (m_Buffer.size() >= kFlushBytes) {
            x_Write();
        }
    }
}

void CSiteFileWriter::Commit() {
    m_Buffer.push_back('E');
    PutVarint(m_Buffer, m_Sites);
    PutVarint(m_Buffer, m_Reads);
    x_Write();
    // A block that cannot be written leaves the stream failed, and the
    // commit names the cause without replacing the file; one that cannot
    // be compressed must not be committed either.
    if (!m_Output->m_Compress.Finish() && m_Output->m_File.stream().good()) {
        throw std::runtime_error("Cannot write the summary file '" + m_Output->m_Path +
                                 "': a block could not be compressed.");
    }
    m_Output->m_File.Commit();
}

namespace {

// Parses the header of an open summary file; path is for messages.
SSiteFileSettings ParseHeader(BGZF* f, const std::string& path) {
    auto fail = [&path](EInputError kind, const std::string& what) {
        return CInputError(kind, SInputWhere{path, 0, 0, "", 0}, what);
    };
    CKString line;
    if (bgzf_getline(f, '\n', line.get()) < 0 ||
        std::string(line.data(), line.size()).compare(0, kSiteFilePrefixSize, kSiteFilePrefix) !=
            0) {
        throw fail(EInputError::eFormat,
                   "is not a qualscan summary file (its first line is not the summary header).");
    }
    if (std::string(line.data(), line.size()) + '\n' != std::string(kMagic)) {
        throw fail(
            EInputError::eMismatch,
            "is a summary file of format '" +
                std::string(line.data() + kSiteFilePrefixSize, line.size() - kSiteFilePrefixSize)
                    .substr(0, 40) +
                "', which this qualscan does not read (it reads format " +
                std::to_string(kSiteFileFormat) +
                "): save the sites again with this version (--save-sites).");
    }
    std::map<std::string, std::string> values;
    // The header's bytes as its checksum covers them: every line before it.
    std::string covered(kMagic);
    bool checked = false;
    for (;;) {
        if (bgzf_getline(f, '\n', line.get()) < 0) {
            throw fail(EInputError::eTruncated, "is truncated: its header does not end.");
        }
        if (line.size() == 0) {
            break;
        }
        const std::string text(line.data(), line.size());
        const std::size_t tab = text.find('\t');
        if (tab == std::string::npos) {
            throw fail(EInputError::eFormat,
                       "has a damaged header line: '" + text.substr(0, 80) + "'.");
        }
        if (checked) {
            throw fail(EInputError::eDamaged, "is damaged: a header line follows its checksum ('" +
                                                  text.substr(0, 80) + "').");
        }
        if (text.compare(0, tab, kChecksumKey) == 0) {
            // Files written before the checksum have none, and are read as
            // they were.
            if (text.substr(tab + 1) != Hex64(HeaderChecksum(covered))) {
                throw fail(EInputError::eDamaged,
                           "is damaged: its settings do not match their checksum (was the "
                           "header edited?); its records were made under other settings: save "
                           "the sites again.");
            }
            checked = true;
            continue;
        }
        covered += text;
        covered += '\n';
        values[text.substr(0, tab)] = text.substr(tab + 1);
    }
    auto get = [&](const char* key) {
        auto it = values.find(key);
        if (it == values.end()) {
            throw fail(EInputError::eFormat, std::string("has no '") + key + "' in its header.");
        }
        return it->second;
    };
    auto number = [&](const char* key, std::uint64_t lo, std::uint64_t hi) {
        const std::string v = get(key);
        std::uint64_t n = 0;
        if (!ParseWholeNumber(v, hi, n) || n < lo) {
            throw fail(EInputError::eRange,
                       std::string("has a bad '") + key + "' in its header: '" + v + "'.");
        }
        return n;
    };
    SSiteFileSettings s;
    s.version = get("version");
    s.folded = number("folded", 0, 1) == 1;
    s.poolSize = static_cast<int>(number("pool_size", 0, 100000));
    if (s.poolSize == 1) {
        throw fail(EInputError::eRange,
                   "has a bad 'pool_size' in its header: '1' (a pool has 2 "
                   "chromosomes or more; 0 stands for none).");
    }
    s.blockSize = static_cast<std::int64_t>(number("block_size", 1, std::uint64_t(1) << 40));
    s.minMapQ = static_cast<int>(number("min_MQ", 0, 255));
    s.minBaseQ = static_cast<int>(number("min_BQ", 0, 255));
    s.skipFlags = static_cast<std::uint32_t>(number("skip_flags", 0, 0xffff));
    s.requireFlags = static_cast<std::uint32_t>(number("incl_flags", 0, 0xffff));
    s.minDepth = static_cast<unsigned>(number("min_depth", 0, 1000000000));
    s.maxDepth = static_cast<unsigned>(number("max_depth", 0, 1000000000));
    s.keepOverlaps = number("ignore_overlaps", 0, 1) == 1;
    s.region = get("region");
    s.reference = get("reference");
    s.input = get("input");
    // Files of older runs name no sample.
    const auto sample = values.find("sample");
    s.sample = sample == values.end() ? std::string() : sample->second;
    return s;
}

std::string PoolText(int pool) {
    return pool > 0 ? "--pool-size " + std::to_string(pool) : "no --pool-size";
}

std::string FoldText(bool folded) {
    return folded ? "folded" : "--unfolded";
}

// The first setting in which b differs from a, described with both values;
// empty when they agree.
std::string Difference(const SSiteFileSettings& a, const SSiteFileSettings& b) {
    auto num = [](const char* key, long long x, long long y) {
        return x == y ? std::string()
                      : std::string(key) + " (" + std::to_string(x) + " against " +
                            std::to_string(y) + ")";
    };
    if (a.folded != b.folded) {
        return "folding (" + FoldText(b.folded) + " against " + FoldText(a.folded) + ")";
    }
    if (a.poolSize != b.poolSize) {
        return "pool size (" + PoolText(b.poolSize) + " against " + PoolText(a.poolSize) + ")";
    }
    for (const std::string& d :
         {num("min-MQ", b.minMapQ, a.minMapQ), num("min-BQ", b.minBaseQ, a.minBaseQ),
          num("skip-flags", b.skipFlags, a.skipFlags),
          num("incl-flags", b.requireFlags, a.requireFlags),
          num("min-depth", b.minDepth, a.minDepth), num("max-depth", b.maxDepth, a.maxDepth),
          num("ignore-overlaps", b.keepOverlaps, a.keepOverlaps)}) {
        if (!d.empty()) {
            return d;
        }
    }
    if (a.reference != b.reference) {
        return "reference ('" + b.reference + "' against '" + a.reference + "')";
    }
    return "";
}

}  // namespace

void COpenSiteFile::SClose::operator()(BGZF* f) const {
    bgzf_close(f);
}

COpenSiteFile::COpenSiteFile(SSiteFileInput in) : m_Path(std::move(in.m_Path)) {
    errno = 0;
    m_File.reset(bgzf_hopen(in.m_File, "r"));
    if (!m_File) {
        const int err = errno;
        hclose_abruptly(in.m_File);
        throw CannotOpen(m_Path, err);
    }
    // A file that can be seeked shows a missing end at once; one that
    // cannot (a pipe) shows it when it has been read.
    m_End.Start(m_File.get());
    if (m_End.Missing(m_File.get()) && m_End.CheckedAtStart()) {
        throw CInputError(EInputError::eTruncated, SInputWhere{m_Path, 0, 0, "", 0},
                          "is truncated: its BGZF end-of-file marker is missing.");
    }
    m_Settings = ParseHeader(m_File.get(), m_Path);
}

COpenSiteFile::~COpenSiteFile() = default;

std::vector<std::unique_ptr<COpenSiteFile>> OpenSiteFiles(std::vector<SSiteFileInput> inputs) {
    std::vector<std::unique_ptr<COpenSiteFile>> files;
    // Every handle is owned from here on, whatever fails: those not yet
    // taken over are closed.
    struct SCloseRest {
        std::vector<SSiteFileInput>& inputs;
        const std::vector<std::unique_ptr<COpenSiteFile>>& files;
        bool done = false;
        ~SCloseRest() {
            for (std::size_t j = files.size() + 1; !done && j < inputs.size(); ++j) {
                hclose_abruptly(inputs[j].m_File);
            }
        }
    } guard{inputs, files};
    for (SSiteFileInput& in : inputs) {
        files.push_back(std::make_unique<COpenSiteFile>(in));
    }
    guard.done = true;
    return files;
}

SSiteFileSettings ReadSiteFileSettings(const std::string& path) {
    errno = 0;
    BGZF* f = bgzf_open(path.c_str(), "r");
    if (!f) {
        throw CannotOpen(path, errno);
    }
    struct SClose {
        BGZF* f;
        ~SClose() { bgzf_close(f); }
    } close{f};
    return ParseHeader(f, path);
}

namespace {

std::vector<SSiteFileInput> OpenPaths(const std::vector<std::string>& paths) {
    std::vector<SSiteFileInput> inputs;
    struct SCloseOnError {
        std::vector<SSiteFileInput>& inputs;
        bool done = false;
        ~SCloseOnError() {
            for (SSiteFileInput& in : inputs) {
                if (!done && in.m_File) {
                    hclose_abruptly(in.m_File);
                }
            }
        }
    } guard{inputs};
    for (const std::string& path : paths) {
        errno = 0;
        hFILE* fp = hopen(path.c_str(), "r");
        if (!fp) {
            throw CannotOpen(path, errno);
        }
        inputs.push_back(SSiteFileInput{fp, path});
    }
    guard.done = true;
    return inputs;
}

}  // namespace

CSiteFileReader::CSiteFileReader(const std::vector<std::string>& paths, const SSiteOptions& options)
    : CSiteFileReader(OpenPaths(paths), options) {}

CSiteFileReader::CSiteFileReader(std::vector<SSiteFileInput> inputs, const SSiteOptions& options)
    : CSiteFileReader(OpenSiteFiles(std::move(inputs)), options, false) {}

CSiteFileReader::CSiteFileReader(std::vector<std::unique_ptr<COpenSiteFile>> files,
                                 const SSiteOptions& options, bool modelFromFiles)
    : m_Options(options), m_Files(std::move(files)) {
    if (m_Files.empty()) {
        throw std::invalid_argument("A summary file reader needs at least one file.");
    }
    // Every header first, so that a mismatch is found before any fit.
    const SSiteFileSettings& first = m_Files[0]->Settings();
    m_Settings = first;
    if (modelFromFiles) {
        m_Options.folded = first.folded;
        m_Options.poolSize = first.poolSize;
    }
    SSiteFileSettings run = first;
    run.folded = m_Options.folded;
    run.poolSize = m_Options.poolSize;
    const std::string d = Difference(run, first);
    if (!d.empty()) {
        throw CInputError(
            EInputError::eMismatch, SInputWhere{m_Files[0]->Path(), 0, 0, "", 0},
            "was written with another " + d + " than this run: give the same model options.");
    }
    for (std::size_t i = 1; i < m_Files.size(); ++i) {
        const std::string di = Difference(first, m_Files[i]->Settings());
        if (!di.empty()) {
            throw CInputError(EInputError::eMismatch, SInputWhere{m_Files[i]->Path(), 0, 0, "", 0},
                              "differs from " + InputName(m_Files[0]->Path()) + " in its " + di +
                                  ": summary files are fitted together only with the same "
                                  "settings.");
        }
    }
    std::unique_ptr<CFreqSpectrum> unit(new CFSNeutral);
    unit->SetParam(0) = 1.0;
    m_Neutral = std::make_unique<CDepthRows>(m_Options, std::move(unit));
}

CSiteFileReader::~CSiteFileReader() = default;

void CSiteFileReader::x_Fail(EInputError kind, const std::string& what) const {
    SInputWhere where;
    where.m_File = m_Files[m_Index]->Path();
    where.m_Record = m_Record;
    if (m_Contig >= 0 && m_RecordPos > 0) {
        where.m_Contig = m_Names[static_cast<std::size_t>(m_Contig)];
        where.m_Pos = m_RecordPos;
    }
    throw CInputError(kind, where, what);
}

void CSiteFileReader::x_CheckRecord(const SEncodedSite& site,
                                    const std::vector<unsigned char>& bytes, bool weighted) {
    const auto damaged = [&](const std::string& what) {
        x_Fail(EInputError::eDamaged, "is damaged: " + what + ".");
    };
    // Every number of the record: the weight a and the entries z_t as the
    // encoder makes them (sitestore.hpp), and a site some spectrum can
    // explain (the encoder refuses a table that none can).
    SSiteView view;
    ReadSiteRecord(bytes.data(), view);
    if (!(view.a >= 0.0 && view.a <= 1.0)) {
        damaged("a site's record holds a weight outside 0..1");
    }
    // Scaled by its largest entry (a stored), every entry is at most 1;
    // scaled by d[0], at most the encoder's ratio bound.
    const double maxZ = weighted ? 1.0 : kMaxEntry;
    bool positive = view.a > 0.0;
    const unsigned char* z = view.z;
    for (int t = 0; t < view.Kept(); ++t) {
        double v;
        if (t < view.doubles) {
            std::memcpy(&v, z, sizeof v);
            z += sizeof v;
        } else {
            float f;
            std::memcpy(&f, z, sizeof f);
            z += sizeof f;
            v = static_cast<double>(f);
        }
        if (!(v >= 0.0 && v <= maxZ)) {
            damaged("a site's record holds an entry that is negative, too large or not a number");
        }
        positive = positive || v > 0.0;
    }
    if (!positive) {
        damaged("a site's record gives the site probability 0 under every spectrum");
    }
    if (!std::isfinite(site.constant) || site.constant > kMaxConstant) {
        damaged("a site's constant is not a logarithm of a probability");
    }
}

bool CSiteFileReader::x_NextSite(SEncodedSite& site, std::vector<unsigned char>& bytes) {
    for (;;) {
        if (m_Index >= m_Files.size()) {
            return false;
        }
        BGZF* f = m_Files[m_Index]->m_File.get();
        m_RecordPos = 0;
        auto getc = [&]() {
            const int c = bgzf_getc(f);
            if (c < -1) {
                x_Fail(EInputError::eDamaged,
                       "cannot be read: the compressed data are truncated or corrupt.");
            }
            return c;
        };
        auto varint = [&]() {
            std::uint64_t v = 0;
            switch (ReadVarint(getc, v)) {
                case EVarint::eOk:
                    return v;
                case EVarint::eEnd:
                    x_Fail(EInputError::eTruncated, "is truncated: it ends inside a record.");
                case EVarint::eTooLong:
                    break;
            }
            x_Fail(EInputError::eDamaged, "is damaged: a number is too long.");
        };
        auto read = [&](void* data, std::size_t size) {
            if (bgzf_read(f, data, size) != static_cast<ssize_t>(size)) {
                x_Fail(EInputError::eTruncated, "is truncated: it ends inside a record.");
            }
        };
        const int tag = getc();
        ++m_Record;
        if (tag == 'E') {
            const std::uint64_t sites = varint(), reads = varint();
            if (sites != m_Sites || reads != m_Reads) {
                x_Fail(EInputError::eDamaged,
                       "is damaged: its end counts " + std::to_string(sites) + " sites with " +
                           std::to_string(reads) + " reads, but it holds " +
                           std::to_string(m_Sites) + " with " + std::to_string(m_Reads) + ".");
            }
            if (getc() >= 0) {
                x_Fail(EInputError::eDamaged, "is damaged: data follow its end record.");
            }
            if (m_Files[m_Index]->m_End.Missing(f)) {
                x_Fail(EInputError::eTruncated,
                       "is truncated: its BGZF end-of-file marker is missing.");
            }
            m_Files[m_Index].reset();
            ++m_Index;
            m_Sites = m_Reads = m_Record = 0;
            continue;
        }
        if (tag == 'C') {
            const std::uint64_t n = varint();
            if (n == 0 || n > kMaxNameBytes) {
                x_Fail(EInputError::eDamaged,
                       "is damaged: a contig name of " + std::to_string(n) + " bytes.");
            }
            std::string name(static_cast<std::size_t>(n), '\0');
            read(&name[0], name.size());
            m_EntryPos = 0;
            const std::string fault = ContigNameFault(name);
            if (!fault.empty()) {
                x_Fail(EInputError::eFormat, "is damaged: " + fault + ".");
            }
            const auto [it, isNew] = m_NameIndex.emplace(name, static_cast<int>(m_Names.size()));
            if (isNew) {
                m_Names.push_back(name);
                m_LastPos = -1;
            } else if (it->second != m_Contig) {
                throw OutOfOrder({m_Files[m_Index]->Path(), 0, m_Record, name, 0},
                                 m_Names[static_cast<std::size_t>(m_Contig)], m_LastPos + 1,
                                 "contig " + name +
                                     " comes back after another one; give summary files in "
                                     "genome order (a contig may only continue from one file "
                                     "into the next)");
            }
            m_Contig = it->second;
            continue;
        }
        if (tag != 'S') {
            x_Fail(tag < 0 ? EInputError::eTruncated : EInputError::eDamaged,
                   tag < 0 ? "is truncated: its end record is missing."
                           : "is damaged: an unknown entry.");
        }
        if (m_Contig < 0) {
            x_Fail(EInputError::eDamaged, "is damaged: a site before any contig.");
        }
        const std::uint64_t delta = varint();
        double constant;
        read(&constant, sizeof constant);
        // The record's head says how long it is; each count is checked on
        // its own before it sizes anything or enters a sum.
        const std::uint64_t n = varint(), code = varint(), floats = varint();
        const std::uint64_t doubles = code >> 1;
        if (delta >= static_cast<std::uint64_t>(INT64_MAX - m_EntryPos)) {
            x_Fail(EInputError::eRange, "is damaged: a site's position is out of range.");
        }
        const std::int64_t position = m_EntryPos + static_cast<std::int64_t>(delta);
        m_EntryPos = position;
        m_RecordPos = position + 1;
        if (n == 0 || n > kMaxSiteReads || doubles > n || floats > n ||
            doubles + floats >
                static_cast<std::uint64_t>(LastEntry(m_Options, static_cast<int>(n)))) {
            x_Fail(EInputError::eDamaged, "is damaged: a site with impossible counts.");
        }
        const std::uint64_t body = ((code & 1) ? 8 : 0) + doubles * 8 + floats * 4;
        bytes.clear();
        PutVarint(bytes, n);
        PutVarint(bytes, code);
        PutVarint(bytes, floats);
        // In pieces, so that a damaged length cannot allocate more than the
        // file holds.
        for (std::uint64_t left = body; left > 0;) {
            const std::size_t piece =
                static_cast<std::size_t>(std::min<std::uint64_t>(left, kReadPiece));
            const std::size_t at = bytes.size();
            bytes.resize(at + piece);
            read(bytes.data() + at, piece);
            left -= piece;
        }
        if (position <= m_LastPos) {
            throw OutOfOrder({m_Files[m_Index]->Path(), 0, m_Record,
                              m_Names[static_cast<std::size_t>(m_Contig)], position + 1},
                             m_Names[static_cast<std::size_t>(m_Contig)], m_LastPos + 1,
                             "give summary files in genome order, without overlaps, each "
                             "position once");
        }
        site.contig = m_Contig;
        site.pos = position;
        site.reads = static_cast<int>(n);
        site.chromosomes = static_cast<int>(n);
        site.kept = static_cast<int>(doubles + floats);
        site.constant = constant;
        site.bytes = static_cast<std::uint32_t>(bytes.size());
        x_CheckRecord(site, bytes, (code & 1) != 0);
        // The neutral summary as the encoder had it, from the same rows.
        SSiteView view;
        ReadSiteRecord(bytes.data(), view);
        const CDepthRows::SRow& row = m_Neutral->Row(site.chromosomes, site.kept);
        site.neutralA = view.a;
        site.neutralU = SiteU(view, row.beta.data() + 1);
        site.neutralB = site.neutralU - view.a * row.polymorphic;
        m_LastPos = position;
        const std::uint64_t reads = n;
        ++m_Sites;
        m_Reads += reads;
        return true;
    }
}

bool CSiteFileReader::Next(SSiteBatch& batch, std::size_t maxSites) {
    batch.Clear();
    SEncodedSite site;
    std::vector<unsigned char> bytes;
    while (batch.sites.size() < maxSites && x_NextSite(site, bytes)) {
        batch.sites.push_back(site);
        batch.bytes.insert(batch.bytes.end(), bytes.begin(), bytes.end());
    }
    return !batch.sites.empty();
}
