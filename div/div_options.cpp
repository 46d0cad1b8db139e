#include "div/div_options.hpp"

#include <ostream>
#include <string>

#ifndef QUALDIV_VERSION
#define QUALDIV_VERSION "unknown"
#endif

namespace {

const char kProgram[] = "qualdiv";

enum EDivOption { eSmooth = kFirstPoolProgramOption };

// --smooth K[:LAMBDA].
void ParseSmooth(const char* arg, SDivOptions& opts) {
    const std::string text = arg;
    const std::size_t colon = text.find(':');
    const std::string k = text.substr(0, colon);
    const long long splines = ParseOptionInt(kProgram, k.c_str(), "--smooth", 0, 1000);
    if (splines > 0 && splines < 4) {
        BadOption(kProgram, "--smooth takes 0 (a free spectrum) or 4 splines or more.");
    }
    opts.m_Splines = static_cast<unsigned>(splines);
    if (colon != std::string::npos) {
        opts.m_Smoothing = ParseOptionDouble(kProgram, text.c_str() + colon + 1, "--smooth", 0.0,
                                             1e12, false, false, "a number from 0 to 1e12");
    }
}

}  // namespace

SPoolProgram DivProgram() {
    SPoolProgram p;
    p.m_Name = kProgram;
    p.m_MinPools = 1;
    p.m_Windows = true;
    p.m_Spectra = true;
    p.m_Bootstrap = true;
    p.m_ReferenceUnfolds = false;
    p.m_UnfoldedOption = true;
    return p;
}

const std::vector<option>& DivOptionTable() {
    static const std::vector<option> table =
        PoolOptionTable(DivProgram(), {{"smooth", required_argument, nullptr, eSmooth}});
    return table;
}

std::string DivUsage() {
    const SPoolProgram program = DivProgram();
    return "Usage: qualdiv [options] --pool-size N[,N...] POOL [POOL...]\n"
           "       qualdiv [options] --pools SHEET\n"
           "       qualdiv [options] --pool-size N[,N...] pileup.txt\n"
           "\n"
           "Each pool's own diversity and the neutrality tests on it (Pool-seq): pi,\n"
           "Watterson's theta and Tajima's D of the pool's chromosomes (with --unfolded\n"
           "also Fay and Wu's theta_H and H), genome-wide and in windows, read off the\n"
           "pool's frequency spectrum fitted by maximum likelihood to every read\n"
           "weighted by its base quality, so that sequencing errors do not pose as rare\n"
           "alleles. A POOL is one pool's alignment files (SAM, BAM, CRAM), lanes joined\n"
           "by commas (a1.bam,a2.bam), all on the same reference. A SHEET is\n"
           "tab-separated with a header and the columns name, size and files\n"
           "(comma-separated, relative to the sheet's directory). samtools mpileup text\n"
           "holds one sample column per pool. A site's two alleles are chosen from every\n"
           "pool's reads; a site whose reads show a third base more often than errors\n"
           "explain is left out (counted in the summary line).\n"
           "\n" +
           PoolUsagePools(program) +
           "Output:\n"
           "  -o, --output FILE        the table, one row per pool [standard output]\n" +
           PoolUsageShared(program,
                           "the fitted spectrum of each pool, as dadi and\n"
                           "                           moments read it: FILE.NAME.fs") +
           PoolUsagePositions() + PoolUsageReads(program) +
           "\n"
           "Model:\n"
           "      --smooth K[:LAMBDA]  each pool's spectrum smooth: its log a cubic spline of\n"
           "                           K coefficients in the log-odds of the frequency, LAMBDA\n"
           "                           the penalty on its bends; 0: the free spectrum, whose\n"
           "                           rare classes the reads cannot tell apart in pools much\n"
           "                           larger than the depth [8:100]\n" +
           "\n"
           "Standard output: pool sites pi pi_lo pi_hi theta_w theta_w_lo theta_w_hi\n"
           "tajima_d tajima_d_lo tajima_d_hi (--unfolded: and theta_h fay_wu_h).\n"
           "Windows: contig start end pool sites pi theta_w tajima_d (--unfolded: and\n"
           "theta_h fay_wu_h).\n";
}

std::string DivVersion() {
    return ProgramVersion(kProgram, QUALDIV_VERSION);
}

EParseResult ParseDivArgs(int argc, char* argv[], SDivOptions& opts, std::ostream& out) {
    const SPoolProgram program = DivProgram();
    const std::vector<option>& table = DivOptionTable();
    const EParseResult result =
        ParseProgramOptions(kProgram, argc, argv, PoolShortOptions(program), table.data(), out,
                            DivUsage, DivVersion, [&](int c, const char* arg) {
                                if (c == eSmooth) {
                                    ParseSmooth(arg, opts);
                                    return true;
                                }
                                return ApplyPoolOption(program, c, arg, opts);
                            });
    if (result != EParseResult::eRun) {
        return result;
    }
    FinishPoolOptions(program, argc, argv, optind, opts);
    return EParseResult::eRun;
}
