#include "freq/call_output.hpp"

#include <fcntl.h>
#include <htslib/hts.h>
#include <htslib/vcf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "common/table_format.hpp"

namespace {

const char kBases[] = "ACGT";

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() > tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::string Directory(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool UnderDevOrProc(const std::string& path) {
    return path.compare(0, 5, "/dev/") == 0 || path.compare(0, 6, "/proc/") == 0;
}

mode_t NewFileMode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// A temporary file beside target with mode; empty when none can be made.
std::string TemporaryBeside(const std::string& target, mode_t mode) {
    std::string pattern = Directory(target) + "/.qualtmp.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        return "";
    }
    const bool ok = fchmod(fd, mode) == 0;
    close(fd);
    if (!ok) {
        std::remove(name.data());
        return "";
    }
    return name.data();
}

// Makes the file's data durable before its name points at it.
bool SyncFile(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = fsync(fd) == 0 || errno == EINVAL;
    return close(fd) == 0 && ok;
}

// A header line's text without the control characters that would end it.
std::string HeaderText(std::string s) {
    for (char& c : s) {
        if (static_cast<unsigned char>(c) < 0x20) {
            c = ' ';
        }
    }
    return s;
}

std::string Absolute(const std::string& path) {
    if (char* real = realpath(path.c_str(), nullptr)) {
        std::string r = real;
        std::free(real);
        return r;
    }
    return path;
}

}  // namespace

EVcfKind VcfKindOf(const std::string& path) {
    if (EndsWith(path, ".bcf")) {
        return EVcfKind::eBcf;
    }
    if (EndsWith(path, ".gz") || EndsWith(path, ".bgz")) {
        return EVcfKind::eBgzf;
    }
    return EVcfKind::ePlain;
}

std::string VcfIndexPath(const std::string& path) {
    if (path.empty() || path == "-" || VcfKindOf(path) == EVcfKind::ePlain) {
        return "";
    }
    return path + ".csi";
}

struct CVcfWriter::SImpl {
    std::string m_Name;  // as messages show it
    EVcfKind m_Kind = EVcfKind::ePlain;
    std::string m_Target, m_Temp;            // m_Temp empty: written directly
    std::string m_IndexTarget, m_IndexTemp;  // empty: no index
    htsFile* m_Fp = nullptr;
    bcf_hdr_t* m_Hdr = nullptr;
    bcf1_t* m_Rec = nullptr;
    std::size_t m_Pools = 0;
    bool m_Differentiation = false;
    bool m_Committed = false;
    std::vector<std::int32_t> m_Ad, m_Dp;
    std::vector<float> m_Af, m_Ci;

    [[noreturn]] void Fail(const std::string& what) const {
        const int err = errno;
        throw std::runtime_error(what + " '" + m_Name + "'" +
                                 (err ? std::string(": ") + std::strerror(err) : "") + ".");
    }
    void RemoveTemporaries() {
        for (const std::string* t : {&m_Temp, &m_IndexTemp}) {
            if (!t->empty()) {
                std::remove(t->c_str());
            }
        }
    }
};

CVcfWriter::CVcfWriter(const std::string& path) : m_Impl(new SImpl) {
    SImpl& m = *m_Impl;
    const bool standardOutput = path.empty() || path == "-";
    m.m_Name = standardOutput ? "standard output" : path;
    m.m_Kind = standardOutput ? EVcfKind::ePlain : VcfKindOf(path);
    std::string open = standardOutput ? "-" : path;
    if (!standardOutput && !UnderDevOrProc(path)) {
        // A regular file (or one still to be made) is replaced whole; a
        // link is followed, so the file it leads to is replaced.
        struct stat st;
        std::string target = path;
        if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
            const std::string real = Absolute(path);
            target = real == path || UnderDevOrProc(real) ? std::string() : real;
        }
        const bool exists = !target.empty() && stat(target.c_str(), &st) == 0;
        if (!target.empty() && (!exists || S_ISREG(st.st_mode))) {
            const mode_t mode = exists ? st.st_mode & 0777 : NewFileMode();
            m.m_Temp = TemporaryBeside(target, mode);
            if (!m.m_Temp.empty()) {
                m.m_Target = target;
                open = m.m_Temp;
                if (m.m_Kind != EVcfKind::ePlain) {
                    m.m_IndexTarget = target + ".csi";
                    m.m_IndexTemp = TemporaryBeside(target, NewFileMode());
                    if (m.m_IndexTemp.empty()) {
                        m.RemoveTemporaries();
                        m.Fail("Cannot make the index of");
                    }
                }
            }
        }
    }
    const char* mode = m.m_Kind == EVcfKind::eBcf ? "wb" : m.m_Kind == EVcfKind::eBgzf ? "wz" : "w";
    errno = 0;
    m.m_Fp = hts_open(open.c_str(), mode);
    if (!m.m_Fp) {
        m.RemoveTemporaries();
        m.Fail("Cannot open for writing");
    }
}

CVcfWriter::~CVcfWriter() {
    SImpl& m = *m_Impl;
    if (m.m_Fp) {
        hts_close(m.m_Fp);
    }
    if (!m.m_Committed) {
        m.RemoveTemporaries();
    }
    if (m.m_Rec) {
        bcf_destroy(m.m_Rec);
    }
    if (m.m_Hdr) {
        bcf_hdr_destroy(m.m_Hdr);
    }
}

bool CVcfWriter::HeaderWritten() const {
    return m_Impl->m_Hdr != nullptr;
}

void CVcfWriter::WriteHeader(const SCallHeader& h) {
    SImpl& m = *m_Impl;
    m.m_Hdr = bcf_hdr_init("w");
    m.m_Rec = bcf_init();
    if (!m.m_Hdr || !m.m_Rec) {
        throw std::runtime_error("Out of memory for the VCF header.");
    }
    m.m_Pools = h.m_Pools.size();
    m.m_Differentiation = h.m_Differentiation;
    std::vector<std::string> lines = {
        "##source=qualfreq " + h.m_Version,
        "##qualfreqCommand=" + HeaderText(h.m_CommandLine),
    };
    if (!h.m_Reference.empty()) {
        lines.push_back("##reference=file://" + HeaderText(Absolute(h.m_Reference)));
    }
    for (std::size_t c = 0; c < h.m_Contigs.size(); ++c) {
        lines.push_back("##contig=<ID=" + h.m_Contigs[c] +
                        (h.m_Lengths[c] >= 0 ? ",length=" + std::to_string(h.m_Lengths[c]) : "") +
                        ">");
    }
    lines.push_back(
        "##INFO=<ID=DP,Number=1,Type=Integer,Description=\"Reads of all pools after the "
        "filters\">");
    if (h.m_Differentiation) {
        lines.push_back(
            "##INFO=<ID=PDIFF,Number=1,Type=Float,Description=\"P-value of the likelihood-ratio "
            "test of one population frequency of ALT against one per pool, each pool's "
            "chromosomes a binomial draw from its population and its reads from its "
            "chromosomes\">");
    }
    lines.push_back(
        "##FORMAT=<ID=AD,Number=R,Type=Integer,Description=\"Reads of REF and of any other "
        "base after the filters\">");
    lines.push_back(
        "##FORMAT=<ID=DP,Number=1,Type=Integer,Description=\"Reads of the pool after the "
        "filters\">");
    lines.push_back(
        "##FORMAT=<ID=AF,Number=A,Type=Float,Description=\"Posterior mean of the pool's "
        "frequency of ALT, the pool's spectrum as prior\">");
    lines.push_back(
        "##FORMAT=<ID=AFCI,Number=2,Type=Float,Description=\"Equal-tailed 95% credible "
        "interval of the pool's frequency of ALT\">");
    for (std::size_t i = 0; i < h.m_Pools.size(); ++i) {
        lines.push_back("##SAMPLE=<ID=" + h.m_Pools[i] + ",Description=\"A pool of " +
                        std::to_string(h.m_Sizes[i]) + " chromosomes\">");
    }
    if (bcf_hdr_set_version(m.m_Hdr, "VCFv4.3") != 0) {
        throw std::runtime_error("Cannot set the VCF version of '" + m.m_Name + "'.");
    }
    for (const std::string& line : lines) {
        if (bcf_hdr_append(m.m_Hdr, line.c_str()) != 0) {
            throw std::runtime_error("The line '" + line +
                                     "' cannot be part of the VCF header of '" + m.m_Name + "'.");
        }
    }
    for (const std::string& pool : h.m_Pools) {
        if (bcf_hdr_add_sample(m.m_Hdr, pool.c_str()) != 0) {
            throw std::runtime_error("The pool '" + pool + "' cannot be a sample of '" + m.m_Name +
                                     "'.");
        }
    }
    if (bcf_hdr_sync(m.m_Hdr) != 0) {
        throw std::runtime_error("Cannot make the VCF header of '" + m.m_Name + "'.");
    }
    errno = 0;
    if (bcf_hdr_write(m.m_Fp, m.m_Hdr) != 0) {
        m.Fail("Cannot write");
    }
    if (!m.m_IndexTemp.empty() && bcf_idx_init(m.m_Fp, m.m_Hdr, 14, m.m_IndexTemp.c_str()) != 0) {
        m.Fail("Cannot start the index of");
    }
    m.m_Ad.resize(2 * m.m_Pools);
    m.m_Dp.resize(m.m_Pools);
    m.m_Af.resize(m.m_Pools);
    m.m_Ci.resize(2 * m.m_Pools);
}

void CVcfWriter::Write(const SSnpCall& c) {
    SImpl& m = *m_Impl;
    bcf_hdr_t* hdr = m.m_Hdr;
    bcf1_t* rec = m.m_Rec;
    bcf_clear(rec);
    rec->rid = c.m_Contig;
    rec->pos = c.m_Pos;
    const char alleles[] = {kBases[c.m_Ref & 3], ',', kBases[c.m_Alt & 3], '\0'};
    bcf_update_alleles_str(hdr, rec, alleles);
    rec->qual = static_cast<float>(c.m_Qual);
    const std::int32_t depth = static_cast<std::int32_t>(c.Depth());
    bcf_update_info_int32(hdr, rec, "DP", &depth, 1);
    if (m.m_Differentiation && !std::isnan(c.m_PDiff)) {
        const float p = static_cast<float>(c.m_PDiff);
        bcf_update_info_float(hdr, rec, "PDIFF", &p, 1);
    }
    for (std::size_t i = 0; i < m.m_Pools; ++i) {
        const SPoolFrequency& f = c.m_Pools[i];
        const bool counts = f.m_Depth > 0;
        m.m_Ad[2 * i] = counts ? static_cast<std::int32_t>(f.m_RefReads) : bcf_int32_missing;
        m.m_Ad[2 * i + 1] = counts ? static_cast<std::int32_t>(f.m_AltReads) : bcf_int32_vector_end;
        m.m_Dp[i] = counts ? static_cast<std::int32_t>(f.m_Depth) : bcf_int32_missing;
        if (std::isnan(f.m_Af)) {
            bcf_float_set_missing(m.m_Af[i]);
            bcf_float_set_missing(m.m_Ci[2 * i]);
            bcf_float_set_vector_end(m.m_Ci[2 * i + 1]);
        } else {
            m.m_Af[i] = static_cast<float>(f.m_Af);
            m.m_Ci[2 * i] = static_cast<float>(f.m_Lo);
            m.m_Ci[2 * i + 1] = static_cast<float>(f.m_Hi);
        }
    }
    const int n = static_cast<int>(m.m_Pools);
    bcf_update_format_int32(hdr, rec, "AD", m.m_Ad.data(), 2 * n);
    bcf_update_format_int32(hdr, rec, "DP", m.m_Dp.data(), n);
    bcf_update_format_float(hdr, rec, "AF", m.m_Af.data(), n);
    bcf_update_format_float(hdr, rec, "AFCI", m.m_Ci.data(), 2 * n);
    errno = 0;
    if (bcf_write(m.m_Fp, hdr, rec) != 0) {
        m.Fail("Cannot write");
    }
}

void CVcfWriter::Commit() {
    SImpl& m = *m_Impl;
    errno = 0;
    if (!m.m_IndexTemp.empty() && bcf_idx_save(m.m_Fp) != 0) {
        m.Fail("Cannot write the index of");
    }
    htsFile* fp = m.m_Fp;
    m.m_Fp = nullptr;
    if (hts_close(fp) != 0) {
        m.Fail("Cannot write");
    }
    if (m.m_Temp.empty()) {
        m.m_Committed = true;
        return;
    }
    if (!SyncFile(m.m_Temp) || (!m.m_IndexTemp.empty() && !SyncFile(m.m_IndexTemp))) {
        m.Fail("Cannot write");
    }
    if (std::rename(m.m_Temp.c_str(), m.m_Target.c_str()) != 0) {
        m.Fail("Cannot replace");
    }
    m.m_Temp.clear();
    if (!m.m_IndexTemp.empty()) {
        if (std::rename(m.m_IndexTemp.c_str(), m.m_IndexTarget.c_str()) != 0) {
            m.Fail("Cannot write the index '" + m.m_IndexTarget + "' of");
        }
        m.m_IndexTemp.clear();
    }
    m.m_Committed = true;
    const int dir = open(Directory(m.m_Target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
}

CCallTable::CCallTable(const std::string& path, std::ostream& standardOutput,
                       const std::vector<std::string>& contigNames,
                       const std::vector<std::string>& pools)
    : m_Target(path, standardOutput), m_ContigNames(contigNames) {
    std::ostream& out = m_Target.Stream();
    out << "contig\tpos\tref\talt\tqual\tpdiff";
    for (const std::string& p : pools) {
        out << '\t' << p << ".af\t" << p << ".af_lo\t" << p << ".af_hi\t" << p << ".ref_reads\t"
            << p << ".alt_reads";
    }
    out << '\n';
}

void CCallTable::Write(const SSnpCall& c) {
    std::ostream& out = m_Target.Stream();
    out << m_ContigNames[static_cast<std::size_t>(c.m_Contig)] << '\t' << c.m_Pos + 1 << '\t'
        << kBases[c.m_Ref & 3] << '\t' << kBases[c.m_Alt & 3] << '\t' << FormatNumber(c.m_Qual)
        << '\t' << FormatNumber(c.m_PDiff);
    for (const SPoolFrequency& f : c.m_Pools) {
        out << '\t' << FormatNumber(f.m_Af) << '\t' << FormatNumber(f.m_Lo) << '\t'
            << FormatNumber(f.m_Hi);
        if (f.m_Depth > 0) {
            out << '\t' << f.m_RefReads << '\t' << f.m_AltReads;
        } else {
            out << "\tNA\tNA";
        }
    }
    out << '\n';
}

namespace {

// A record in the spool: the site and values, then each pool's.
struct SSpooledSite {
    std::int64_t pos;
    double qual, pdiff;
    int contig;
    unsigned char ref, alt;
};
struct SSpooledPool {
    double af, lo, hi;
    unsigned depth, refReads, altReads;
};

}  // namespace

CCallSpool::CCallSpool(std::size_t pools) : m_Pools(pools) {}

CCallSpool::~CCallSpool() {
    if (m_File) {
        std::fclose(m_File);
    }
}

void CCallSpool::Put(const SSnpCall& c) {
    if (!m_File) {
        errno = 0;
        m_File = std::tmpfile();
        if (!m_File) {
            throw std::runtime_error(std::string("Cannot make a temporary file for the records") +
                                     (errno ? std::string(": ") + std::strerror(errno) : "") +
                                     " (TMPDIR names where it goes).");
        }
    }
    const SSpooledSite s{c.m_Pos, c.m_Qual, c.m_PDiff, c.m_Contig, c.m_Ref, c.m_Alt};
    bool ok = std::fwrite(&s, sizeof s, 1, m_File) == 1;
    for (const SPoolFrequency& f : c.m_Pools) {
        const SSpooledPool p{f.m_Af, f.m_Lo, f.m_Hi, f.m_Depth, f.m_RefReads, f.m_AltReads};
        ok = ok && std::fwrite(&p, sizeof p, 1, m_File) == 1;
    }
    if (!ok) {
        throw std::runtime_error(std::string("Cannot write the temporary file of the records: ") +
                                 std::strerror(errno) + ".");
    }
}

void CCallSpool::x_Rewind() {
    if (m_File && (std::fflush(m_File) != 0 || std::fseek(m_File, 0, SEEK_SET) != 0)) {
        throw std::runtime_error(
            std::string("Cannot read back the temporary file of the records: ") +
            std::strerror(errno) + ".");
    }
}

bool CCallSpool::x_Next(SSnpCall& c) {
    SSpooledSite s;
    if (!m_File || std::fread(&s, sizeof s, 1, m_File) != 1) {
        return false;
    }
    c.m_Pos = s.pos;
    c.m_Qual = s.qual;
    c.m_PDiff = s.pdiff;
    c.m_Contig = s.contig;
    c.m_Ref = s.ref;
    c.m_Alt = s.alt;
    c.m_Pools.resize(m_Pools);
    for (SPoolFrequency& f : c.m_Pools) {
        SSpooledPool p;
        if (std::fread(&p, sizeof p, 1, m_File) != 1) {
            throw std::runtime_error("The temporary file of the records was cut short.");
        }
        f = SPoolFrequency{p.af, p.lo, p.hi, p.depth, p.refReads, p.altReads};
    }
    return true;
}

void CCallSpool::x_Reset() {
    if (m_File) {
        std::fclose(m_File);
        m_File = nullptr;
    }
}
