#pragma once
// The samples of alignment files. A sample is the SM of a read group: the
// lanes of one sample (read groups, or files, with the same SM) are one
// sample. A file without read groups is one sample named after the file
// without its extension, and so is a read group without SM.

#include <htslib/sam.h>

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

// The most samples a pileup tells apart (the index a read carries).
constexpr std::size_t kMaxSamples = 65535;

// How the reads of one file find their sample.
struct SFileSamples {
    // The sample of every read when the file names one sample (or none):
    // its reads need no look-up. -1 when its read groups name several.
    int m_Only = -1;
    // Read group ID to sample index, when the file names several.
    std::unordered_map<std::string, int> m_ByReadGroup;
};

struct SSamples {
    // Names in order of first appearance over the files' headers (files in
    // the order given, read groups in header order).
    std::vector<std::string> m_Names;
    // One entry per file.
    std::vector<SFileSamples> m_Files;
    // Some file's header has read groups: the names come (at least in
    // part) from SM tags, not only from the files' names.
    bool m_ReadGroups = false;
};

// The samples of the files paths with headers headers. Throws CInputError
// (eRange) past kMaxSamples samples.
SSamples FindSamples(const std::vector<std::string>& paths,
                     const std::vector<const sam_hdr_t*>& headers);

// The samples a pool sheet names: names, and the sample of every file (an
// index into names); the read groups are not asked.
SSamples SheetSamples(const std::vector<std::string>& names, const std::vector<int>& fileSample);

// The sample name of a file without read groups: its name without folders
// and extension ("lanes/A_1.bam" is "A_1", "x.sam.gz" is "x").
std::string SampleOfFile(const std::string& path);
