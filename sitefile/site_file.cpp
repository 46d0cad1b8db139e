#include "sitefile/site_file.hpp"

#include <htslib/bgzf.h>
#include <htslib/kstring.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <utility>

#include "base/file_magic.hpp"
#include "engine/depthrows.hpp"
#include "engine/thetalik.hpp"
#include "spectrum/freqspec.hpp"

namespace {

const char* const kMagic = kSiteFileMagic;
// The deepest site a summary file may hold: far beyond what a table can be
// computed for (its cost grows with the square of the depth).
constexpr std::uint64_t kMaxDepth = 1u << 24;
// Buffered bytes before they go to BGZF.
constexpr std::size_t kFlushBytes = 1 << 20;

void PutVarint(std::vector<unsigned char>& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<unsigned char>(v | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<unsigned char>(v));
}

void PutDouble(std::vector<unsigned char>& out, double v) {
    unsigned char b[sizeof v];
    std::memcpy(b, &v, sizeof v);
    out.insert(out.end(), b, b + sizeof v);
}

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
    return h + '\n';
}

}  // namespace

CSiteFileWriter::CSiteFileWriter(const std::string& path, const SSiteFileSettings& settings)
    : m_Path(path) {
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temp = dir + "." + base + ".XXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back('\0');
    const int fd = ::mkstemp(name.data());
    if (fd < 0) {
        throw std::runtime_error("Cannot write the summary file '" + path +
                                 "': cannot make a temporary file beside it (" +
                                 std::strerror(errno) + ").");
    }
    m_TempPath = name.data();
    // mkstemp makes the file private; the summary gets the mode of any new file.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, 0666 & ~mask) != 0) {
        ::close(fd);
        std::remove(m_TempPath.c_str());
        throw std::runtime_error("Cannot write the summary file '" + path +
                                 "': " + std::strerror(errno) + ".");
    }
    m_File = bgzf_dopen(fd, "w");
    if (!m_File) {
        ::close(fd);
        std::remove(m_TempPath.c_str());
        throw std::runtime_error("Cannot write the summary file '" + path + "'.");
    }
    const std::string header = HeaderText(settings);
    x_Put(header.data(), header.size());
}

CSiteFileWriter::~CSiteFileWriter() {
    if (!m_Committed) {
        if (m_File) {
            bgzf_close(m_File);
        }
        std::remove(m_TempPath.c_str());
    }
}

void CSiteFileWriter::x_Put(const void* data, std::size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    m_Buffer.insert(m_Buffer.end(), p, p + size);
    if (m_Buffer.size() >= kFlushBytes) {
        x_Flush();
    }
}

void CSiteFileWriter::x_Flush() {
    if (!m_Buffer.empty() && bgzf_write(m_File, m_Buffer.data(), m_Buffer.size()) !=
                                 static_cast<ssize_t>(m_Buffer.size())) {
        throw std::runtime_error("Cannot write the summary file '" + m_Path + "'.");
    }
    m_Buffer.clear();
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
        x_Put(p, s.bytes);
        p += s.bytes;
        ++m_Sites;
        m_Reads += static_cast<std::uint64_t>(s.reads);
    }
}

void CSiteFileWriter::Commit() {
    m_Buffer.push_back('E');
    PutVarint(m_Buffer, m_Sites);
    PutVarint(m_Buffer, m_Reads);
    x_Flush();
    const int closed = bgzf_close(m_File);
    m_File = nullptr;
    if (closed != 0) {
        throw std::runtime_error("Cannot write the summary file '" + m_Path + "'.");
    }
    if (std::rename(m_TempPath.c_str(), m_Path.c_str()) != 0) {
        throw std::runtime_error("Cannot write the summary file '" + m_Path +
                                 "': " + std::strerror(errno) + ".");
    }
    m_Committed = true;
}

namespace {

// Parses the header of an open summary file; name is for messages.
SSiteFileSettings ParseHeader(BGZF* f, const std::string& name) {
    auto fail = [&name](const std::string& what) -> std::runtime_error {
        return std::runtime_error("'" + name + "' " + what);
    };
    kstring_t line = {0, 0, nullptr};
    struct SFree {
        kstring_t* s;
        ~SFree() { free(s->s); }
    } freeLine{&line};
    if (bgzf_getline(f, '\n', &line) < 0 ||
        std::string(line.s, line.l).compare(0, kSiteFilePrefixSize, kSiteFilePrefix) != 0) {
        throw fail("is not a qualscan summary file (its first line is not the summary header).");
    }
    if (std::string(line.s, line.l) + '\n' != std::string(kMagic)) {
        throw fail("is a summary file of format '" +
                   std::string(line.s + kSiteFilePrefixSize, line.l - kSiteFilePrefixSize) +
                   "', which this qualscan does not read (it reads format " +
                   std::to_string(kSiteFileFormat) +
                   "): save the sites again with this version (--save-sites).");
    }
    std::map<std::string, std::string> values;
    for (;;) {
        if (bgzf_getline(f, '\n', &line) < 0) {
            throw fail("is truncated: its header does not end.");
        }
        if (line.l == 0) {
            break;
        }
        const std::string text(line.s, line.l);
        const std::size_t tab = text.find('\t');
        if (tab == std::string::npos) {
            throw fail("has a damaged header line: '" + text + "'.");
        }
        values[text.substr(0, tab)] = text.substr(tab + 1);
    }
    auto get = [&](const char* key) {
        auto it = values.find(key);
        if (it == values.end()) {
            throw fail(std::string("has no '") + key + "' in its header.");
        }
        return it->second;
    };
    auto number = [&](const char* key, long long lo, long long hi) {
        const std::string v = get(key);
        char* end = nullptr;
        errno = 0;
        const long long n = std::strtoll(v.c_str(), &end, 10);
        if (v.empty() || *end != '\0' || errno == ERANGE || n < lo || n > hi) {
            throw fail(std::string("has a bad '") + key + "' in its header: '" + v + "'.");
        }
        return n;
    };
    SSiteFileSettings s;
    s.version = get("version");
    s.folded = number("folded", 0, 1) == 1;
    s.poolSize = static_cast<int>(number("pool_size", 0, 100000));
    s.blockSize = number("block_size", 1, 1LL << 40);
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

struct CSiteFileReader::SOpen {
    BGZF* file = nullptr;
    ~SOpen() {
        if (file) {
            bgzf_close(file);
        }
    }
};

SSiteFileSettings ReadSiteFileSettings(const std::string& path) {
    BGZF* f = bgzf_open(path.c_str(), "r");
    if (!f) {
        throw std::runtime_error("Cannot open '" + path + "': " + std::strerror(errno) + ".");
    }
    struct SClose {
        BGZF* f;
        ~SClose() { bgzf_close(f); }
    } close{f};
    return ParseHeader(f, path);
}

CSiteFileReader::CSiteFileReader(const std::vector<std::string>& paths, const SSiteOptions& options)
    : m_Paths(paths), m_Options(options) {
    std::unique_ptr<CFreqSpectrum> unit(new CFSNeutral);
    unit->SetParam(0) = 1.0;
    m_Neutral = std::make_unique<CDepthRows>(options, std::move(unit));
    // Every header first, so that a mismatch is found before any fit.
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const std::string& path = paths[i];
        SOpen open;
        open.file = bgzf_open(path.c_str(), "r");
        if (!open.file) {
            throw std::runtime_error("Cannot open '" + path + "': " + std::strerror(errno) + ".");
        }
        if (bgzf_check_EOF(open.file) == 0) {
            throw std::runtime_error("'" + path +
                                     "' is truncated: its BGZF end-of-file marker is missing.");
        }
        const SSiteFileSettings s = ParseHeader(open.file, path);
        if (i == 0) {
            m_Settings = s;
            SSiteFileSettings run = s;
            run.folded = options.folded;
            run.poolSize = options.poolSize;
            const std::string d = Difference(run, s);
            if (!d.empty()) {
                throw std::runtime_error("'" + path + "' was written with another " + d +
                                         " than this run: give the same model options.");
            }
        } else {
            const std::string d = Difference(m_Settings, s);
            if (!d.empty()) {
                throw std::runtime_error("'" + path + "' differs from '" + paths[0] + "' in its " +
                                         d +
                                         ": summary files are fitted together only with the "
                                         "same settings.");
            }
        }
    }
}

CSiteFileReader::~CSiteFileReader() = default;

void CSiteFileReader::x_Fail(const std::string& what) const {
    throw std::runtime_error("'" + m_Paths[m_Index] + "' " + what);
}

bool CSiteFileReader::x_NextSite(SEncodedSite& site, std::vector<unsigned char>& bytes) {
    for (;;) {
        if (!m_Open) {
            if (m_Index >= m_Paths.size()) {
                return false;
            }
            m_Open = std::make_unique<SOpen>();
            m_Open->file = bgzf_open(m_Paths[m_Index].c_str(), "r");
            if (!m_Open->file) {
                x_Fail("cannot be opened again.");
            }
            ParseHeader(m_Open->file, m_Paths[m_Index]);
            m_Sites = m_Reads = 0;
        }
        BGZF* f = m_Open->file;
        auto varint = [&]() {
            std::uint64_t v = 0;
            for (int shift = 0; shift < 64; shift += 7) {
                const int c = bgzf_getc(f);
                if (c < 0) {
                    x_Fail("is truncated: it ends inside a site.");
                }
                v |= static_cast<std::uint64_t>(c & 0x7f) << shift;
                if (!(c & 0x80)) {
                    return v;
                }
            }
            x_Fail("is damaged: a number is too long.");
        };
        auto read = [&](void* data, std::size_t size) {
            if (bgzf_read(f, data, size) != static_cast<ssize_t>(size)) {
                x_Fail("is truncated: it ends inside a site.");
            }
        };
        const int tag = bgzf_getc(f);
        if (tag == 'E') {
            const std::uint64_t sites = varint(), reads = varint();
            if (sites != m_Sites || reads != m_Reads) {
                x_Fail("is damaged: its end counts " + std::to_string(sites) +
                       " sites, but it holds " + std::to_string(m_Sites) + ".");
            }
            m_Open.reset();
            ++m_Index;
            continue;
        }
        if (tag == 'C') {
            const std::uint64_t n = varint();
            if (n == 0 || n > 65536) {
                x_Fail("is damaged: a contig name of " + std::to_string(n) + " bytes.");
            }
            std::string name(n, '\0');
            read(&name[0], n);
            m_EntryPos = 0;
            int id = -1;
            for (std::size_t i = 0; i < m_Names.size(); ++i) {
                if (m_Names[i] == name) {
                    id = static_cast<int>(i);
                }
            }
            if (id < 0) {
                id = static_cast<int>(m_Names.size());
                m_Names.push_back(name);
                m_LastPos = -1;
            } else if (id != m_Contig) {
                x_Fail("has sites on contig '" + name +
                       "' after other contigs: give summary files in genome order (a contig "
                       "may only continue from one file into the next).");
            }
            m_Contig = id;
            continue;
        }
        if (tag != 'S') {
            x_Fail(tag < 0 ? "is truncated: its end record is missing."
                           : "is damaged: an unknown entry.");
        }
        if (m_Contig < 0) {
            x_Fail("is damaged: a site before any contig.");
        }
        const std::uint64_t delta = varint();
        double constant;
        read(&constant, sizeof constant);
        // The record's header says how long it is; every number is checked
        // before it sizes anything.
        const std::uint64_t n = varint(), code = varint(), floats = varint();
        const std::uint64_t doubles = code >> 1;
        if (delta > static_cast<std::uint64_t>(INT64_MAX - m_EntryPos) ||
            !std::isfinite(constant) || n == 0 || n > 1000000000 ||
            doubles + floats >
                static_cast<std::uint64_t>(LastEntry(m_Options, static_cast<int>(n))) ||
            code > 0xffffffffu || floats > 0xffffffffu) {
            x_Fail("is damaged: a site with impossible numbers.");
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
                static_cast<std::size_t>(std::min<std::uint64_t>(left, 1 << 20));
            const std::size_t at = bytes.size();
            bytes.resize(at + piece);
            read(bytes.data() + at, piece);
            left -= piece;
        }
        SSiteView view;
        ReadSiteRecord(bytes.data(), view);
        if ((code & 1) && !(view.a >= 0.0 && std::isfinite(view.a))) {
            x_Fail("is damaged: a site's record has an impossible weight.");
        }
        const std::uint64_t pos = static_cast<std::uint64_t>(m_EntryPos) + delta;
        m_EntryPos = static_cast<std::int64_t>(pos);
        const std::uint64_t reads = n, K = n, kept = doubles + floats, size = bytes.size();
        const std::int64_t position = static_cast<std::int64_t>(pos);
        const bool newFile = m_ContigFile != m_Index;
        if (position < m_LastPos || (newFile && position == m_LastPos)) {
            x_Fail("has position " + std::to_string(position + 1) + " on contig '" +
                   m_Names[static_cast<std::size_t>(m_Contig)] + "' after position " +
                   std::to_string(m_LastPos + 1) +
                   ": give summary files in genome order, without overlaps.");
        }
        m_ContigFile = m_Index;
        m_LastPos = position;
        site.contig = m_Contig;
        site.pos = position;
        site.reads = static_cast<int>(reads);
        site.chromosomes = static_cast<int>(K);
        site.kept = static_cast<int>(kept);
        site.constant = constant;
        site.bytes = static_cast<std::uint32_t>(size);
        // The neutral summary as the encoder had it, from the same rows.
        const CDepthRows::SRow& row = m_Neutral->Row(site.chromosomes, site.kept);
        site.neutralA = view.a;
        site.neutralU = SiteU(view, row.beta.data() + 1);
        site.neutralB = site.neutralU - view.a * row.polymorphic;
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
