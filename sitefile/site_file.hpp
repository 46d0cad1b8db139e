#pragma once
// Summary files (--save-sites): the per-site summaries the fits need, so that
// parts of a genome scanned apart (by region, by sample lane, on different
// machines) are fitted together as if one run had read every site.
//
// Format 2, BGZF-compressed through htslib as a whole:
//   text header: the line "##qualscan-sites\t2", then "key\tvalue" lines
//   (version, folded, pool_size, block_size, the filters, region,
//   reference, input, sample), then "checksum\t" and 16 hexadecimal
//   digits, the FNV-1a hash of every header byte before that line, then an
//   empty line (files written before the checksum have none and are read
//   as before; one whose settings were edited is refused as damaged);
//   body: entries, each a tag byte:
//     'C' varint n, n bytes: the sites that follow lie on this contig;
//     'S' varint d: the site lies d bases after the last site of the
//         contig's entry (after 0 for its first); the site's constant as an
//         8-byte double; the record as the site store keeps it
//         (sitestore.hpp), whose own header gives its class (the depth)
//         and its length;
//     'E' varint sites, varint reads: the end, with the counts written.
// Varints are little-endian base 128. The neutral summary of a site (a, b,
// u) follows from its record and the neutral rows, as the encoder made it,
// so a store filled from the file is, record for record, constant for
// constant, the store of the run that wrote it. Format 1 (the pool's mixed
// tables and the neutral summary written out, 187 bytes a site with a pool)
// is refused with a message that says to save the sites again.

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/file_magic.hpp"
#include "base/input_error.hpp"
#include "common/bgzf_stream.hpp"
#include "engine/sitestore.hpp"

struct BGZF;
struct hFILE;
class CDepthRows;

// The settings a summary file records. Model settings (folded, pool_size)
// and filters must agree between files that are fitted together; the block
// size, region and input are recorded only (the block size of the run that
// reads the files applies, since every site keeps its position).
struct SSiteFileSettings {
    std::string version;
    bool folded = true;
    int poolSize = 0;
    std::int64_t blockSize = 1000000;
    int minMapQ = 0, minBaseQ = 0;
    std::uint32_t skipFlags = 0, requireFlags = 0;
    unsigned minDepth = 0, maxDepth = 0;
    bool keepOverlaps = false;
    std::string region, reference, input;
    // The sample whose sites the file holds (a run of one sample, or one
    // sample of --per-sample); empty when not known (older files, pileup
    // text and data sets of one unnamed sample).
    std::string sample;
};

// Writes a summary file through CSafeOutputFile (a temporary file beside
// path, renamed over it by Commit() only when complete; symbolic links are
// followed, the umask honoured, the data synced), BGZF-compressed on the
// way.
class CSiteFileWriter {
  public:
    // Throws std::runtime_error naming the file and the cause when it
    // cannot be written.
    CSiteFileWriter(const std::string& path, const SSiteFileSettings& settings);
    ~CSiteFileWriter();
    CSiteFileWriter(const CSiteFileWriter&) = delete;
    CSiteFileWriter& operator=(const CSiteFileWriter&) = delete;

    // Appends the sites of a batch; contig indices name contigs[index].
    void Add(const SSiteBatch& batch, const std::vector<std::string>& contigs);
    void Commit();

  private:
    void x_Write();

    struct SOutput;
    std::unique_ptr<SOutput> m_Output;
    std::vector<unsigned char> m_Buffer;
    int m_Contig = -1;
    std::int64_t m_EntryPos = 0;  // the last site's position in the contig's entry
    std::uint64_t m_Sites = 0, m_Reads = 0;
};

// A summary file opened for the reader: the handle, which the reader takes
// over, and the input as the user named it ("-": standard input).
struct SSiteFileInput {
    hFILE* m_File = nullptr;
    std::string m_Path;
};

// A summary file opened and its header read, before any site: a run looks
// at the settings (and samples) of its files before it decides how to read
// them.
class COpenSiteFile {
  public:
    // Takes over in.m_File. Throws CInputError naming the file when it
    // cannot be read, is not a summary file (eFormat), is truncated
    // (eTruncated), its header holds a bad value (eRange), or its settings
    // do not match their checksum (eDamaged).
    explicit COpenSiteFile(SSiteFileInput in);
    ~COpenSiteFile();
    COpenSiteFile(const COpenSiteFile&) = delete;
    COpenSiteFile& operator=(const COpenSiteFile&) = delete;

    const std::string& Path() const { return m_Path; }
    const SSiteFileSettings& Settings() const { return m_Settings; }

  private:
    friend class CSiteFileReader;
    struct SClose {
        void operator()(BGZF* f) const;
    };
    std::string m_Path;
    std::unique_ptr<BGZF, SClose> m_File;
    CBgzfEnd m_End;
    SSiteFileSettings m_Settings;
};

// Opens every input in turn (their handles are all owned from the start:
// on a failure those not yet opened are closed too).
std::vector<std::unique_ptr<COpenSiteFile>> OpenSiteFiles(std::vector<SSiteFileInput> inputs);

// Reads summary files one after the other as one sequence of sites. Contigs
// are unified by name, numbered in order of first appearance; the files
// must come in genome order: a contig may continue in the next file (at
// positions after its last one) but may not come back after another contig.
//
// Every record is checked before it is used: its counts against each other
// and against the bounds of a site (at most kMaxSiteReads reads), every
// number of it (finite, in the range the store's encoder gives, a site some
// spectrum can explain, a constant that is the logarithm of a probability),
// its position after the one before (each position once), its contig's
// name (no TAB, line break or other control character). A record is read as
// its bytes arrive, so a length that the file does not hold costs no
// memory.
class CSiteFileReader {
  public:
    // The deepest site a summary file may hold: far beyond what a table
    // can be computed for (its cost grows with the square of the depth).
    static constexpr std::uint64_t kMaxSiteReads = std::uint64_t(1) << 24;

    // Takes over the handles and checks every header. Throws CInputError
    // naming the file when it is not a summary file (eFormat), is truncated
    // (eTruncated), or has a setting other than the first file's or, for
    // folded and pool_size, the run's (options) (eMismatch).
    CSiteFileReader(std::vector<SSiteFileInput> inputs, const SSiteOptions& options);
    // Reads files opened before. With modelFromFiles the folding and the
    // pool size are the first file's (options' are ignored), and the other
    // files must agree with it.
    CSiteFileReader(std::vector<std::unique_ptr<COpenSiteFile>> files, const SSiteOptions& options,
                    bool modelFromFiles);
    // Opens every path ("-": standard input).
    CSiteFileReader(const std::vector<std::string>& paths, const SSiteOptions& options);
    ~CSiteFileReader();
    CSiteFileReader(const CSiteFileReader&) = delete;
    CSiteFileReader& operator=(const CSiteFileReader&) = delete;

    // The next sites (at most maxSites) into batch; false at the end of the
    // last file. Throws CInputError naming the file, the record and, where
    // known, the contig and position, for a truncated or damaged file.
    bool Next(SSiteBatch& batch, std::size_t maxSites = 4096);

    const std::vector<std::string>& Contigs() const { return m_Names; }
    const SSiteFileSettings& Settings() const { return m_Settings; }
    // The options of the sites read: the run's, with the model taken from
    // the files when asked.
    const SSiteOptions& Options() const { return m_Options; }

  private:
    bool x_NextSite(SEncodedSite& site, std::vector<unsigned char>& bytes);
    // Checks the numbers of a site's record (bytes) and its constant;
    // throws through x_Fail.
    // weighted: the record stores its weight a (scaled by its largest
    // entry).
    void x_CheckRecord(const SEncodedSite& site, const std::vector<unsigned char>& bytes,
                       bool weighted);
    [[noreturn]] void x_Fail(EInputError kind, const std::string& what) const;

    SSiteOptions m_Options;
    SSiteFileSettings m_Settings;
    std::vector<std::unique_ptr<COpenSiteFile>> m_Files;
    std::size_t m_Index = 0;
    std::vector<std::string> m_Names;
    std::unordered_map<std::string, int> m_NameIndex;
    int m_Contig = -1;                       // current contig (global index)
    std::int64_t m_LastPos = -1;             // last position on it
    std::int64_t m_EntryPos = 0;             // last position of the file's contig entry
    std::uint64_t m_Sites = 0, m_Reads = 0;  // of the current file
    std::uint64_t m_Record = 0;              // entries of the current file read
    std::int64_t m_RecordPos = 0;            // 1-based position of the site read, or 0
    std::unique_ptr<CDepthRows> m_Neutral;   // the rows of the sites' neutral u
};

// Reads the header of the summary file at path (for tests and messages).
SSiteFileSettings ReadSiteFileSettings(const std::string& path);
