#pragma once
// The first stage of every pool program: which pools a run compares and
// where their reads come from, with every refusal that needs no read: the
// sheet, the names (one rule: the sheet's, else the SM of the files' read
// groups, else the first file's name; never a control character or a
// quote), every file once however spelled, alignments of one reference,
// and the options the input would ignore.

#include <getopt.h>

#include <cstddef>
#include <string>
#include <vector>

#include "pool/pool_options.hpp"
#include "pool/pool_sheet.hpp"

struct SPoolInputs {
    // The pools; for pileup text they are known at its first line
    // (PileupTextPools).
    std::vector<SPoolSpec> m_Specs;
    bool m_PileupText = false;
    std::string m_TextPath;  // the pileup text ("-": standard input)
    // Every file the run reads, for the outputs to be checked against: the
    // alignments or the text, the sheet, the BED files, the reference.
    std::vector<std::string> m_Files;
};

// Resolves the pools of opts for program (table: its getopt_long table,
// for the names of options in messages). Throws CInputError naming the
// file (a sheet that does not parse, a bad name, a file named twice, a
// file that is not alignments where alignments are expected, alignments of
// several samples in one pool) or BadOption's error (an option the input
// would ignore, too few pools).
SPoolInputs ResolvePoolInputs(const SPoolProgram& program, const SPoolRunOptions& opts,
                              const std::vector<option>& table);

// The pools of pileup text with columns sample columns, named after the
// file and the column ("pools.1", "pools.2"; "stdin.1" for standard
// input), sized by --pool-size (one for all, or one per column). Throws
// CInputError (eMismatch) when the sizes do not match the columns or the
// text has fewer columns than program needs.
std::vector<SPoolSpec> PileupTextPools(const SPoolProgram& program, const SPoolRunOptions& opts,
                                       const std::string& textPath, std::size_t columns);

// The name of the pool of files (its lanes): the SM of their read groups
// when they name one, else the first file's name without folders and
// extension (pileup/samples.hpp's SampleOfFile). Throws CInputError
// (eMismatch) naming the file when the read groups name several samples.
std::string PoolNameOfFiles(const std::vector<std::string>& files);
