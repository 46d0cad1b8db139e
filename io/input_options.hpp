#pragma once
// Which kinds of input honour each option that acts on reads or positions:
// one table, so that every program refuses an option its input would
// silently ignore (a region on pileup text, a mapping-quality filter on
// text that holds no mapping qualities), in one wording.

#include <getopt.h>

#include <string>
#include <vector>

#include "io/input_kind.hpp"

struct SInputOptionRule {
    int m_Code;  // the option's getopt_long code
    bool m_Alignments, m_PileupText, m_DataSet, m_SiteFiles;
    const char* m_Why;  // why it does not apply where it does not
};

// The rows of the alignment options every program shares: -r, -f, -q, -Q,
// --ff, --rf, -x, -d and -D.
const std::vector<SInputOptionRule>& AlignmentOptionRules();

// Throws (BadOption: "OPTION does not apply to KIND: WHY.") for the first
// row, of the shared rows and then extra (a program's own rows), whose
// option is among given and which an input of kind does not honour.
// siteFilesWhy, when not empty, replaces the reason for summary files of
// every shared row.
void RefuseIgnoredOptions(const std::string& program, const std::vector<option>& table,
                          const std::vector<int>& given, EInputKind kind,
                          const std::vector<SInputOptionRule>& extra,
                          const std::string& siteFilesWhy = "");
