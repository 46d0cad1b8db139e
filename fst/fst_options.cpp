#include "fst/fst_options.hpp"

#include <ostream>

#include "fst/fst_run.hpp"
#include "pool/pool_sheet.hpp"

#ifndef QUALFST_VERSION
#define QUALFST_VERSION "unknown"
#endif

namespace {

const char kProgram[] = "qualfst";

enum EFstOption { eMatrix = kFirstPoolProgramOption };

}  // namespace

const std::vector<option>& FstOptionTable() {
    static const std::vector<option> table =
        PoolOptionTable(FstProgram(), {{"matrix", required_argument, nullptr, eMatrix}});
    return table;
}

std::string MatrixFileName(const std::string& prefix, const std::string& statistic) {
    std::string base = prefix;
    if (base.size() > 4 && base.compare(base.size() - 4, 4, ".tsv") == 0) {
        base.erase(base.size() - 4);
    }
    return base + "." + statistic + ".tsv";
}

std::string FstUsage() {
    const SPoolProgram program = FstProgram();
    return "Usage: qualfst [options] --pool-size N[,N...] POOL POOL [POOL...]\n"
           "       qualfst [options] --pools SHEET\n"
           "       qualfst [options] --pool-size N[,N...] pileup.txt\n"
           "\n"
           "Compares pools of chromosomes sequenced together (Pool-seq): the diversity\n"
           "within each pool (pi), the divergence between two (dxy) and Hudson's F_ST,\n"
           "at the population level, from the joint frequency spectrum of each pair\n"
           "fitted to every read weighted by its base quality. A POOL is one pool's\n"
           "alignment files (SAM, BAM, CRAM), lanes joined by commas (a1.bam,a2.bam),\n"
           "all on the same reference. A SHEET is tab-separated with a header and the\n"
           "columns name, size and files (comma-separated, relative to the sheet's\n"
           "directory). samtools mpileup text holds one sample column per pool.\n"
           "A site's two alleles are chosen from every pool's reads; a site whose reads\n"
           "show a third base more often than errors explain is left out (counted in\n"
           "the summary line).\n"
           "\n" +
           PoolUsagePools(program) +
           "Output:\n"
           "  -o, --output FILE        the table, one row per pair [standard output]\n"
           "      --matrix PREFIX      F_ST and dxy of every pair as square matrices with\n"
           "                           the pools' names: PREFIX.fst.tsv, PREFIX.dxy.tsv\n" +
           PoolUsageShared(program,
                           "the fitted joint spectrum of each pair, as dadi\n"
                           "                           and moments read it: FILE.NAME1.NAME2.fs") +
           PoolUsagePositions() + PoolUsageReads(program) +
           "\n"
           "Standard output: pool1 pool2 sites pi1 pi2 dxy dxy_lo dxy_hi fst fst_lo\n"
           "fst_hi. Windows: contig start end pool1 pool2 sites pi1 pi2 dxy fst.\n";
}

std::string FstVersion() {
    return ProgramVersion("qualfst", QUALFST_VERSION);
}

EParseResult ParseFstArgs(int argc, char* argv[], SFstOptions& opts, std::ostream& out) {
    const SPoolProgram program = FstProgram();
    const std::vector<option>& table = FstOptionTable();
    const EParseResult result = ParseProgramOptions(
        kProgram, argc, argv, PoolShortOptions(program), table.data(), out, FstUsage, FstVersion,
        [&](int c, const char* arg) {
            if (c == eMatrix) {
                opts.m_Matrix = OutputFileOption(kProgram, arg,
                                                 "--matrix needs a file name: PREFIX.fst.tsv and "
                                                 "PREFIX.dxy.tsv are written.");
                return true;
            }
            return ApplyPoolOption(program, c, arg, opts);
        });
    if (result != EParseResult::eRun) {
        return result;
    }
    FinishPoolOptions(program, argc, argv, optind, opts);
    if (!opts.m_Matrix.empty() && opts.m_WindowsOnly) {
        BadOption(kProgram, "--windows-only writes the windows alone: --matrix does not apply.");
    }
    return EParseResult::eRun;
}
