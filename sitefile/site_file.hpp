#pragma once
// Summary files (--save-sites): the per-site summaries the fits need, so that
// parts of a genome scanned apart (by region, by sample lane, on different
// machines) are fitted together as if one run had read every site.
//
// Format 2, BGZF-compressed through htslib as a whole:
//   text header: the line "##qualscan-sites\t2", then "key\tvalue" lines
//   (version, folded, pool_size, block_size, the filters, region,
//   reference, input), then an empty line;
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
#include <vector>

#include "base/file_magic.hpp"
#include "engine/sitestore.hpp"

struct BGZF;
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
};

// Writes a summary file through a temporary file beside path, renamed over
// path by Commit() only when complete.
class CSiteFileWriter {
  public:
    CSiteFileWriter(const std::string& path, const SSiteFileSettings& settings);
    ~CSiteFileWriter();
    CSiteFileWriter(const CSiteFileWriter&) = delete;
    CSiteFileWriter& operator=(const CSiteFileWriter&) = delete;

    // Appends the sites of a batch; contig indices name contigs[index].
    void Add(const SSiteBatch& batch, const std::vector<std::string>& contigs);
    void Commit();

  private:
    void x_Put(const void* data, std::size_t size);
    void x_Flush();

    std::string m_Path, m_TempPath;
    BGZF* m_File = nullptr;
    std::vector<unsigned char> m_Buffer;
    int m_Contig = -1;
    std::int64_t m_EntryPos = 0;  // the last site's position in the contig's entry
    std::uint64_t m_Sites = 0, m_Reads = 0;
    bool m_Committed = false;
};

// Reads summary files one after the other as one sequence of sites. Contigs
// are unified by name, numbered in order of first appearance; the files
// must come in genome order: a contig may continue in the next file (at
// positions after its last one) but may not come back after another contig.
class CSiteFileReader {
  public:
    // Opens every file and checks its header. Throws std::runtime_error
    // naming the file when it is not a summary file, is truncated, or has a
    // setting other than the first file's or, for folded and pool_size, the
    // run's (options).
    CSiteFileReader(const std::vector<std::string>& paths, const SSiteOptions& options);
    ~CSiteFileReader();
    CSiteFileReader(const CSiteFileReader&) = delete;
    CSiteFileReader& operator=(const CSiteFileReader&) = delete;

    // The next sites (at most maxSites) into batch; false at the end of the
    // last file. Throws std::runtime_error naming the file for a truncated
    // or damaged file.
    bool Next(SSiteBatch& batch, std::size_t maxSites = 4096);

    const std::vector<std::string>& Contigs() const { return m_Names; }
    const SSiteFileSettings& Settings() const { return m_Settings; }

  private:
    struct SOpen;
    bool x_NextSite(SEncodedSite& site, std::vector<unsigned char>& bytes);
    [[noreturn]] void x_Fail(const std::string& what) const;

    std::vector<std::string> m_Paths;
    SSiteOptions m_Options;
    SSiteFileSettings m_Settings;
    std::size_t m_Index = 0;
    std::unique_ptr<SOpen> m_Open;
    std::unique_ptr<CDepthRows> m_Neutral;  // the rows of the sites' neutral u
    std::vector<std::string> m_Names;
    int m_Contig = -1;                       // current contig (global index)
    std::int64_t m_LastPos = -1;             // last position on it
    std::int64_t m_EntryPos = 0;             // last position of the file's contig entry
    std::size_t m_ContigFile = 0;            // file where the current contig was last seen
    std::uint64_t m_Sites = 0, m_Reads = 0;  // of the current file
};

// Reads the header of the summary file at path (for tests and messages).
SSiteFileSettings ReadSiteFileSettings(const std::string& path);
