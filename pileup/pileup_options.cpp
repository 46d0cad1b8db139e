#include "pileup/pileup_options.hpp"

#include <htslib/hts.h>
#include <htslib/sam.h>

#include <cstdlib>
#include <iterator>
#include <stdexcept>

#ifndef QUALPILEUP_VERSION
#define QUALPILEUP_VERSION "unknown"
#endif

namespace {

const std::vector<option> kLongOptions = ProgramOptionTable({});

const char kProgram[] = "qualpileup";

}  // namespace

std::vector<option> ProgramOptionTable(std::initializer_list<option> own) {
    std::vector<option> table(own);
    const option shared[] = {
        {"output", required_argument, nullptr, 'o'},
        {"region", required_argument, nullptr, 'r'},
        {"reference", required_argument, nullptr, 'f'},
        {"fasta-ref", required_argument, nullptr, 'f'},
        {"min-MQ", required_argument, nullptr, 'q'},
        {"min-mq", required_argument, nullptr, 'q'},
        {"min-BQ", required_argument, nullptr, 'Q'},
        {"min-bq", required_argument, nullptr, 'Q'},
        {"min-depth", required_argument, nullptr, 'd'},
        {"max-depth", required_argument, nullptr, 'D'},
        {"skip-flags", required_argument, nullptr, kSkipFlagsOption},
        {"ff", required_argument, nullptr, kSkipFlagsOption},
        {"incl-flags", required_argument, nullptr, kInclFlagsOption},
        {"rf", required_argument, nullptr, kInclFlagsOption},
        {"ignore-overlaps", no_argument, nullptr, 'x'},
        {"no-progress", no_argument, nullptr, 'P'},
        {"threads", required_argument, nullptr, 't'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
    };
    table.insert(table.end(), std::begin(shared), std::end(shared));
    table.push_back(option{nullptr, 0, nullptr, 0});
    return table;
}

std::uint32_t ParseOptionFlags(const std::string& program, const char* text, const char* option) {
    const int v = bam_str2flag(text);
    if (*text == '\0' || v < 0 || v > 0xffff) {
        BadOption(program, std::string("Invalid flags '") + text + "' for " + option +
                               ": expected a number or names such as "
                               "UNMAP,SECONDARY,QCFAIL,DUP,SUPPLEMENTARY.");
    }
    return static_cast<std::uint32_t>(v);
}

std::string FlagNames(std::uint32_t flags) {
    char* s = bam_flag2str(static_cast<int>(flags));
    std::string names = s ? s : "";
    std::free(s);
    return names;
}

bool ApplyAlignmentOption(const std::string& program, int c, const char* arg,
                          SPileupOptions& opts) {
    switch (c) {
        case 'r':
            RefuseGivenTwice(program, "-r/--region", opts.m_Region, arg, "a run reads one region.");
            if (*arg == '\0') {
                BadOption(program,
                          "Invalid value '' for --region: expected chr, chr:beg or "
                          "chr:beg-end.");
            }
            opts.m_Region = arg;
            return true;
        case 'f':
            opts.m_Reference = arg;
            return true;
        case 'q':
            opts.m_MinMapQ = static_cast<int>(ParseOptionInt(program, arg, "--min-MQ", 0, 255));
            return true;
        case 'Q':
            opts.m_MinBaseQ = static_cast<int>(ParseOptionInt(program, arg, "--min-BQ", 0, 255));
            return true;
        case 'd':
            opts.m_MinDepth =
                static_cast<unsigned>(ParseOptionInt(program, arg, "--min-depth", 0, 1000000000));
            return true;
        case 'D':
            opts.m_MaxDepth =
                static_cast<unsigned>(ParseOptionInt(program, arg, "--max-depth", 0, 1000000000));
            return true;
        case kSkipFlagsOption:
            opts.m_SkipFlags = ParseOptionFlags(program, arg, "--skip-flags");
            return true;
        case kInclFlagsOption:
            opts.m_RequireFlags = ParseOptionFlags(program, arg, "--incl-flags");
            return true;
        case 'x':
            opts.m_KeepOverlaps = true;
            return true;
        case 'P':
            opts.m_Progress = false;
            return true;
        default:
            return false;
    }
}

std::string ReadQualityUsage() {
    const SPileupOptions d;
    return "  -q, --min-MQ INT         skip reads with mapping quality below INT [" +
           std::to_string(d.m_MinMapQ) +
           "]\n"
           "  -Q, --min-BQ INT         skip bases with quality below INT [" +
           std::to_string(d.m_MinBaseQ) + "]\n";
}

std::string OverlapsUsage() {
    return "  -x, --ignore-overlaps    count both mates of a read pair where they overlap\n"
           "                           [off: the later mate is skipped there]\n";
}

void CheckAlignmentOptions(const std::string& program, const SPileupOptions& opts) {
    if (opts.m_Inputs.empty()) {
        BadOption(program, "No input file given.");
    }
    CheckDepthOptions(program, opts);
}

void CheckDepthOptions(const std::string& program, const SPileupOptions& opts) {
    if (opts.m_MaxDepth != 0 && opts.m_MaxDepth < opts.m_MinDepth) {
        BadOption(program, "--max-depth " + std::to_string(opts.m_MaxDepth) +
                               " is below --min-depth " + std::to_string(opts.m_MinDepth) + ".");
    }
}

std::string PileupUsage() {
    SPileupOptions d;
    return "Usage: qualpileup [options] in1.bam [in2.bam ...]\n"
           "\n"
           "Turns aligned reads (SAM, BAM or CRAM, sorted by coordinate) into the\n"
           "quality-score data-set document that qualfit reads. Several input files are\n"
           "pooled as reads of one population sample.\n"
           "\n"
           "Options (default in brackets):\n"
           "  -o, --output FILE        write the document to FILE, replaced only when\n"
           "                           complete; FILE.gz is compressed (BGZF)\n"
           "                           [standard output]\n"
           "  -r, --region REG         only sites in REG (chr, chr:beg or chr:beg-end,\n"
           "                           1-based, inclusive); needs an index [all contigs]\n"
           "  -f, --reference FILE     FASTA with .fai index; gives the reference base\n"
           "                           and decodes CRAM [none: the most common base at a\n"
           "                           site is the reference base]\n" +
           ReadQualityUsage() +
           "      --skip-flags, --ff FLAGS\n"
           "                           skip reads with any of FLAGS (number or names) [" +
           FlagNames(d.m_SkipFlags) +
           "]\n"
           "      --incl-flags, --rf FLAGS\n"
           "                           keep only reads with at least one of FLAGS\n"
           "                           [none: no flag required]\n"
           "  -d, --min-depth INT      leave out sites with fewer reads after filtering\n"
           "                           [" +
           std::to_string(d.m_MinDepth) +
           "]\n"
           "  -D, --max-depth INT      leave out sites with more reads after filtering;\n"
           "                           0 means no limit [0]\n" +
           OverlapsUsage() +
           "  -P, --no-progress        no progress line, even on a terminal [shown on a\n"
           "                           terminal, at most once a second]\n"
           "  -t, --threads INT        threads for the pileup and decompression; indexed\n"
           "                           inputs are piled up in chunks, one per thread at a\n"
           "                           time; the document is the same for every INT [" +
           std::to_string(d.m_Threads) +
           "]\n"
           "      --fasta-ref, --min-mq, --min-bq\n"
           "                           the same as --reference, --min-MQ, --min-BQ\n" +
           HelpVersionUsage("qualpileup") +
           "\n"
           "Unmapped reads, deletions, reference skips and N bases never count. Reads\n"
           "without base qualities ('*') are skipped. A summary of what was written and\n"
           "left out goes to standard error.\n";
}

std::string PileupVersion() {
    return ProgramVersion("qualpileup", QUALPILEUP_VERSION);
}

EParseResult ParsePileupArgs(int argc, char* argv[], SPileupOptions& opts, std::ostream& out) {
    const EParseResult result =
        ParseProgramOptions(kProgram, argc, argv, kSharedShortOptions, kLongOptions.data(), out,
                            PileupUsage, PileupVersion, [&](int c, const char* arg) {
                                if (ApplyAlignmentOption(kProgram, c, arg, opts)) {
                                    return true;
                                }
                                switch (c) {
                                    case 'o':
                                        opts.m_Output = arg;
                                        return true;
                                    case 't':
                                        opts.m_Threads = ParseThreadsOption(kProgram, arg);
                                        return true;
                                    default:
                                        return false;
                                }
                            });
    if (result != EParseResult::eRun) {
        return result;
    }
    for (int i = optind; i < argc; ++i) {
        opts.m_Inputs.emplace_back(argv[i]);
    }
    CheckAlignmentOptions(kProgram, opts);
    return EParseResult::eRun;
}
