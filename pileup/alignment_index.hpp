#pragma once
// Finding and checking the index of an alignment file before htslib loads
// it. htslib allocates what an index's counts announce before it reads the
// entries, so a damaged .bai or .csi can ask for tens of gigabytes; the
// check walks the index and refuses counts that the file cannot hold.

#include <string>

// The index htslib would use for the alignment file path (CSI before BAI
// for SAM and BAM, CRAI for CRAM; each as path.ext or with path's extension
// replaced), "" when none exists.
std::string FindAlignmentIndex(const std::string& path, bool cram);

// Throws std::runtime_error naming both files when the .bai or .csi index
// idxPath of path is cut short or announces more entries than it holds.
// Other index kinds (.crai) are left to htslib.
void CheckAlignmentIndex(const std::string& idxPath, const std::string& path);
