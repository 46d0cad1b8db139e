#include "freq/freq_options.hpp"

#include <ostream>
#include <sstream>

#ifndef QUALFREQ_VERSION
#define QUALFREQ_VERSION "unknown"
#endif

namespace {

const char kProgram[] = "qualfreq";

enum EFreqOption { eMinQual = kFirstPoolProgramOption, eTable };

// A word of the command line as a shell would take it back: quoted when it
// holds anything but plain characters.
std::string ShellWord(const std::string& w) {
    if (!w.empty() && w.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                          "0123456789_-+=.,:/@%") == std::string::npos) {
        return w;
    }
    std::string q = "'";
    for (char c : w) {
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return q + "'";
}

// The shared reads' block with qualfreq's -f: needed for alignments, and
// never a choice of folding.
std::string ReadsUsage(const SPoolProgram& program) {
    std::string text = PoolUsageReads(program);
    const std::size_t from = text.find("  -f, --reference FILE");
    const std::size_t to = text.find("  -q, --min-MQ");
    if (from != std::string::npos && to != std::string::npos && to > from) {
        text.replace(from, to - from,
                     "  -f, --reference FILE     FASTA with .fai index: every record's REF and\n"
                     "                           every site's first allele; needed for\n"
                     "                           alignments (pileup text carries its own)\n");
    }
    return text;
}

}  // namespace

SPoolProgram FreqProgram() {
    SPoolProgram p;
    p.m_Name = kProgram;
    p.m_MinPools = 1;
    p.m_Spectra = true;
    // Always unfolded: the reference base is every site's first allele.
    p.m_ReferenceUnfolds = true;
    p.m_UnfoldedOption = false;
    return p;
}

const std::vector<option>& FreqOptionTable() {
    static const std::vector<option> table =
        PoolOptionTable(FreqProgram(), {{"min-qual", required_argument, nullptr, eMinQual},
                                        {"table", required_argument, nullptr, eTable}});
    return table;
}

std::string PoolSpectrumPath(const std::string& prefix, const std::string& name) {
    std::string base = prefix;
    if (base.size() > 3 && base.compare(base.size() - 3, 3, ".fs") == 0) {
        base.erase(base.size() - 3);
    }
    return base + "." + name + ".fs";
}

std::string FreqUsage() {
    const SPoolProgram program = FreqProgram();
    std::ostringstream minQual;
    minQual << SFreqOptions().m_MinQual;
    return "Usage: qualfreq [options] -f REF.fa --pool-size N[,N...] POOL [POOL...]\n"
           "       qualfreq [options] -f REF.fa --pools SHEET\n"
           "       qualfreq [options] --pool-size N[,N...] pileup.txt\n"
           "\n"
           "Calls SNPs in pools of chromosomes sequenced together (Pool-seq) and\n"
           "estimates every pool's allele frequency at each, weighting every read by\n"
           "its base quality: per pool the exact likelihood of its reads given j of\n"
           "its n chromosomes carry the alternative allele, with the pool's frequency\n"
           "spectrum, fitted over the genome, as the prior of j. Writes VCF 4.3: REF\n"
           "is the reference base (-f for alignments, the reference column of pileup\n"
           "text), ALT the other base with most reads over all pools, one sample\n"
           "column per pool. A POOL is one pool's alignment files (SAM, BAM, CRAM),\n"
           "lanes joined by commas, all on the same reference. A SHEET is\n"
           "tab-separated with a header and the columns name, size and files.\n"
           "samtools mpileup text (made with -f) holds one sample column per pool.\n"
           "A site whose reads show a third base more often than errors explain is\n"
           "left out (counted in the summary line).\n"
           "\n" +
           PoolUsagePools(program) +
           "Output:\n"
           "  -o, --output FILE        the VCF: FILE.vcf.gz BGZF with a .csi index,\n"
           "                           FILE.bcf BCF with a .csi index, any other name\n"
           "                           plain VCF [standard output, plain VCF]\n"
           "      --min-qual Q         write a site when its QUAL reaches Q; 0 writes\n"
           "                           every site where a base other than the\n"
           "                           reference was read [" +
           minQual.str() +
           "]\n"
           "      --table FILE         the same records as a tab-separated table, one\n"
           "                           row per SNP (\"-\": standard output, with -o)\n" +
           PoolUsageShared(program,
                           "each pool's fitted spectrum, as dadi and\n"
                           "                           moments read it: FILE.NAME.fs") +
           PoolUsagePositions() + ReadsUsage(program) +
           "\n"
           "QUAL = -10 log10 P(no pool's chromosomes carry ALT | reads), at most 999.\n"
           "INFO: DP (reads of all pools), PDIFF (two pools or more: p-value of the\n"
           "likelihood-ratio test of one population frequency against one per pool).\n"
           "FORMAT: AD (reads of REF and of other bases), DP, AF (posterior mean of\n"
           "the pool's frequency of ALT), AFCI (its 95% credible interval).\n"
           "Table: contig pos ref alt qual pdiff, then per pool NAME.af NAME.af_lo\n"
           "NAME.af_hi NAME.ref_reads NAME.alt_reads.\n";
}

std::string FreqVersion() {
    return ProgramVersion(kProgram, QUALFREQ_VERSION);
}

EParseResult ParseFreqArgs(int argc, char* argv[], SFreqOptions& opts, std::ostream& out) {
    const SPoolProgram program = FreqProgram();
    const std::vector<option>& table = FreqOptionTable();
    const EParseResult result = ParseProgramOptions(
        kProgram, argc, argv, PoolShortOptions(program), table.data(), out, FreqUsage, FreqVersion,
        [&](int c, const char* arg) {
            switch (c) {
                case eMinQual:
                    opts.m_MinQual =
                        ParseOptionDouble(kProgram, arg, "--min-qual", 0.0, 999.0, false, false,
                                          "a QUAL from 0 to 999, such as 20");
                    return true;
                case eTable:
                    opts.m_Table = arg;
                    if (opts.m_Table.empty()) {
                        BadOption(kProgram, "--table needs a file name (\"-\": standard output).");
                    }
                    return true;
                default:
                    return ApplyPoolOption(program, c, arg, opts);
            }
        });
    if (result != EParseResult::eRun) {
        return result;
    }
    FinishPoolOptions(program, argc, argv, optind, opts);
    if (!opts.m_Sfs.empty() && !opts.m_Prior.empty()) {
        BadOption(kProgram,
                  "--prior gives the spectra instead of a fit: there is no fitted spectrum for "
                  "--sfs to write.");
    }
    const bool vcfToStandardOutput = opts.m_Output.empty() || opts.m_Output == "-";
    if (opts.m_Table == "-" && vcfToStandardOutput) {
        BadOption(kProgram,
                  "--table - and the VCF would both go to standard output: give the VCF a file "
                  "with -o FILE.");
    }
    opts.m_CommandLine.clear();
    for (int i = 0; i < argc; ++i) {
        opts.m_CommandLine += (i ? " " : "") + ShellWord(argv[i]);
    }
    return EParseResult::eRun;
}
