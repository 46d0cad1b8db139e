// qualfreq as a program: a golden case on pools simulated by qualpoolsim,
// written as every kind of VCF and read back through htslib and bcftools,
// the same calls for every thread count, from --prior, from a region and
// from pileup text; sites made by hand (errors only, a fixed difference, a
// pool against itself) against their exact values; calibration over many
// simulated sets; and the inputs it must refuse with nothing written.

#include <dirent.h>
#include <gsl/gsl_cdf.h>
#include <gsl/gsl_randist.h>
#include <gtest/gtest.h>
#include <htslib/vcf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "base/input_error.hpp"
#include "freq/freq_options.hpp"
#include "freq/freq_run.hpp"
#include "freq/joint_prior.hpp"
#include "pool/tests/pool_test_sim.hpp"
#include "pool/tests/program_test_util.hpp"
#include "poolsim/pool_sim.hpp"

using namespace pool_test;

namespace {

using pooltest::Exists;
using pooltest::kBin;
using pooltest::kSource;
using pooltest::Shell;
using pooltest::Slurp;

using TTable = std::vector<std::vector<std::string>>;

TTable Table(const std::string& text) {
    TTable rows;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::istringstream s(line);
        std::string x;
        while (std::getline(s, x, '\t')) {
            f.push_back(x);
        }
        rows.push_back(f);
    }
    return rows;
}

// Two tables equal: the same words, numbers within rel of each other.
void ExpectTablesNear(const TTable& a, const TTable& b, double rel, std::size_t fromRow = 0) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t r = fromRow; r < a.size(); ++r) {
        ASSERT_EQ(a[r].size(), b[r].size()) << "row " << r;
        for (std::size_t c = 0; c < a[r].size(); ++c) {
            char* end = nullptr;
            const double x = std::strtod(a[r][c].c_str(), &end);
            if (*end != '\0' || a[r][c].empty() || a[r][c] == "NA") {
                EXPECT_EQ(a[r][c], b[r][c]) << "row " << r << " column " << c;
            } else {
                EXPECT_NEAR(x, std::stod(b[r][c]), rel * std::fabs(x) + 1e-12)
                    << "row " << r << " column " << c;
            }
        }
    }
}

// The files of a directory.
std::vector<std::string> Files(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            out.emplace_back(e->d_name);
        }
        closedir(d);
    }
    return out;
}

// One pool's reads as a samtools mpileup column: bases (ref as '.'), scores.
std::string PileupColumn(const std::vector<SBaseRead>& reads, int ref) {
    std::string bases, quals;
    for (const SBaseRead& r : reads) {
        bases += r.m_Base == ref ? '.' : "ACGT"[r.m_Base & 3];
        quals += static_cast<char>(r.m_Score + 33);
    }
    return std::to_string(reads.size()) + '\t' + (reads.empty() ? "*" : bases) + '\t' +
           (reads.empty() ? "*" : quals);
}

std::string PileupLine(const std::string& contig, std::int64_t pos, char ref,
                       const std::vector<std::vector<SBaseRead>>& pools) {
    std::string line = contig + '\t' + std::to_string(pos) + '\t' + ref;
    const int r = ref == 'A' ? 0 : ref == 'C' ? 1 : ref == 'G' ? 2 : ref == 'T' ? 3 : -1;
    for (const auto& reads : pools) {
        line += '\t' + PileupColumn(reads, r);
    }
    return line + '\n';
}

// A spectrum file as --prior reads it, with the joint prior's shares: none
// comonotone, a monomorphic share w.
void WritePrior(const std::string& path, const std::string& name, const std::vector<double>& phi,
                double w) {
    std::ofstream out(path);
    std::istringstream lines(JointComment(0.0, w));
    for (std::string line; std::getline(lines, line);) {
        out << "# " << line << '\n';
    }
    out << phi.size() << " unfolded \"" << name << "\"\n";
    for (double x : phi) {
        out << x << ' ';
    }
    out << "\n1";
    for (std::size_t j = 1; j + 1 < phi.size(); ++j) {
        out << " 0";
    }
    out << " 1\n";
}

// Runs qualfreq in this process with args (after "qualfreq -P").
SFreqSummary RunArgs(std::vector<std::string> args, std::ostream& out) {
    args.insert(args.begin(), {"qualfreq", "-P"});
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    SFreqOptions opts;
    if (ParseFreqArgs(static_cast<int>(argv.size()), argv.data(), opts, out) !=
        EParseResult::eRun) {
        return SFreqSummary();
    }
    return RunQualFreq(opts, out, nullptr);
}

// The fault a run on args ends with: its input error's kind, or eUnknown
// for any other refusal (a bad option, an output onto an input); a run
// that succeeds fails the test.
EInputError FaultOf(const std::vector<std::string>& args) {
    std::ostringstream out;
    try {
        RunArgs(args, out);
    } catch (const CInputError& e) {
        return e.Kind();
    } catch (const std::runtime_error&) {
        return EInputError::eUnknown;
    }
    ADD_FAILURE() << "no error";
    return EInputError::eOpen;
}

class QualFreq : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/qualfreq_test.XXXXXX";
        s_Dir = mkdtemp(pattern);
        // Three pools of 10, 20 and 30 chromosomes drifted apart by F 0.1,
        // two contigs, depth 25.
        SPoolSimOptions o;
        o.m_Prefix = s_Dir + "/d";
        o.m_Names = {"north", "east", "south"};
        o.m_PoolSizes = {10, 20, 30};
        o.m_Depths = {25, 25, 25};
        o.m_Lengths = {30000, 20000};
        o.m_Theta = 0.01;
        o.m_Fst = 0.1;
        o.m_ReadLength = 80;
        o.m_Seed = 21;
        RunPoolSim(o);
    }
    static void TearDownTestSuite() { std::system(("rm -rf " + s_Dir).c_str()); }

    static std::string s_Dir;
};

std::string QualFreq::s_Dir;

}  // namespace

// The golden case (reviewed against the simulator's truth when it was
// made: every one of its 1557 records a true SNP, ALT included, of the
// 2014 SNPs of the pools), as BGZF
// VCF, BCF, plain VCF and on standard output, at 1, 2 and 3 threads: the
// same records in every file, an index beside the compressed ones, each
// record read back through htslib holding the table's values, and
// bcftools view, query, stats and view -r reading every file.
TEST_F(QualFreq, GoldenCaseEveryKindOfVcfAndThreads) {
    const std::string d = s_Dir + "/d";
    const std::string run = kBin + "/qualfreq -P --pools " + d + ".pools.tsv -f " + d + ".fa ";
    ASSERT_EQ(Shell(run + "-t 1 -o " + d + ".a.vcf.gz --table " + d + ".a.tsv --sfs " + d + ".s"),
              0);
    ASSERT_EQ(Shell(run + "-t 3 -o " + d + ".b.bcf --table " + d + ".b.tsv"), 0);
    ASSERT_EQ(Shell(run + "-t 2 -o " + d + ".c.vcf"), 0);
    ASSERT_EQ(Shell(run + "> " + d + ".d.vcf"), 0);
    const std::string table = Slurp(d + ".a.tsv");
    EXPECT_EQ(table, Slurp(d + ".b.tsv"));
    const TTable rows = Table(table);
    ExpectTablesNear(rows, Table(Slurp(kSource + "/freq/tests/golden/calls.tsv")), 1e-6);
    EXPECT_TRUE(Exists(d + ".a.vcf.gz.csi"));
    EXPECT_TRUE(Exists(d + ".b.bcf.csi"));
    EXPECT_FALSE(Exists(d + ".c.vcf.csi"));
    // Every file's records alike, through bcftools.
    for (const char* kind : {".a.vcf.gz", ".b.bcf", ".c.vcf", ".d.vcf"}) {
        ASSERT_EQ(Shell("bcftools view -H " + d + kind + " > " + d + kind + ".body"), 0) << kind;
        EXPECT_EQ(Slurp(d + kind + ".body"), Slurp(d + ".a.vcf.gz.body")) << kind;
    }
    const std::size_t records = rows.size() - 1;
    ASSERT_GT(records, 100u);
    // The truth: every record at a simulated SNP of that ALT.
    std::map<std::string, std::string> truth;
    for (const auto& t : Table(Slurp(d + ".sites.tsv"))) {
        if (t[0] != "contig" && (t[8] != "0" || t[9] != "0" || t[10] != "0")) {
            truth[t[0] + ":" + t[1]] = t[3];
        }
    }
    std::size_t right = 0;
    for (std::size_t r = 1; r < rows.size(); ++r) {
        const auto it = truth.find(rows[r][0] + ":" + rows[r][1]);
        right += it != truth.end() && it->second == rows[r][3];
    }
    EXPECT_GE(right, records - records / 100);

    // Read back through htslib: the table's values, as VCF text has them
    // (6 significant digits).
    htsFile* fp = hts_open((d + ".a.vcf.gz").c_str(), "r");
    ASSERT_NE(fp, nullptr);
    bcf_hdr_t* hdr = bcf_hdr_read(fp);
    ASSERT_NE(hdr, nullptr);
    ASSERT_EQ(bcf_hdr_nsamples(hdr), 3);
    EXPECT_STREQ(hdr->samples[0], "north");
    EXPECT_EQ(std::string(bcf_hdr_get_version(hdr)), "VCFv4.3");
    bcf1_t* rec = bcf_init();
    std::size_t r = 1;
    float* af = nullptr;
    float* ci = nullptr;
    float* pdiff = nullptr;
    std::int32_t* ad = nullptr;
    int naf = 0, nci = 0, npd = 0, nad = 0;
    while (bcf_read(fp, hdr, rec) == 0 && r < rows.size()) {
        const std::vector<std::string>& row = rows[r++];
        bcf_unpack(rec, BCF_UN_ALL);
        EXPECT_EQ(bcf_hdr_id2name(hdr, rec->rid), row[0]);
        EXPECT_EQ(rec->pos + 1, std::stoll(row[1]));
        EXPECT_EQ(std::string(rec->d.allele[0]), row[2]);
        EXPECT_EQ(std::string(rec->d.allele[1]), row[3]);
        EXPECT_NEAR(rec->qual, std::stod(row[4]), 1e-5 * std::stod(row[4]));
        ASSERT_EQ(bcf_get_info_float(hdr, rec, "PDIFF", &pdiff, &npd), 1);
        EXPECT_NEAR(pdiff[0], std::stod(row[5]), 1e-5 * std::stod(row[5]) + 1e-30);
        ASSERT_EQ(bcf_get_format_float(hdr, rec, "AF", &af, &naf), 3);
        ASSERT_EQ(bcf_get_format_float(hdr, rec, "AFCI", &ci, &nci), 6);
        ASSERT_EQ(bcf_get_format_int32(hdr, rec, "AD", &ad, &nad), 6);
        for (int p = 0; p < 3; ++p) {
            EXPECT_NEAR(af[p], std::stod(row[6 + 5 * p]), 1e-6);
            EXPECT_NEAR(ci[2 * p], std::stod(row[7 + 5 * p]), 1e-6);
            EXPECT_NEAR(ci[2 * p + 1], std::stod(row[8 + 5 * p]), 1e-6);
            EXPECT_EQ(ad[2 * p], std::stoi(row[9 + 5 * p]));
            EXPECT_EQ(ad[2 * p + 1], std::stoi(row[10 + 5 * p]));
        }
    }
    EXPECT_EQ(r, rows.size());
    free(af);
    free(ci);
    free(pdiff);
    free(ad);
    bcf_destroy(rec);
    bcf_hdr_destroy(hdr);
    hts_close(fp);

    // bcftools reads every kind: stats counts the SNPs, query makes the
    // frequency matrix, view -r finds a region through the index.
    std::size_t onChr2 = 0;
    for (std::size_t i = 1; i < rows.size(); ++i) {
        onChr2 += rows[i][0] == "chr2";
    }
    for (const char* kind : {".a.vcf.gz", ".b.bcf"}) {
        ASSERT_EQ(Shell("bcftools stats " + d + kind + " | grep \"number of SNPs:\" | cut -f 4 > " +
                        d + ".n"),
                  0);
        EXPECT_EQ(std::stoul(Slurp(d + ".n")), records) << kind;
        ASSERT_EQ(
            Shell("bcftools query -f \"%CHROM\\t%POS[\\t%AF]\\n\" " + d + kind + " > " + d + ".q"),
            0);
        const TTable matrix = Table(Slurp(d + ".q"));
        ASSERT_EQ(matrix.size(), records) << kind;
        EXPECT_EQ(matrix[0].size(), 5u);
        EXPECT_NEAR(std::stod(matrix[0][2]), std::stod(rows[1][6]), 1e-6);
        ASSERT_EQ(Shell("bcftools view -H -r chr2 " + d + kind + " | wc -l > " + d + ".n"), 0);
        EXPECT_EQ(std::stoul(Slurp(d + ".n")), onChr2) << kind;
    }
}

// The spectra of --sfs as --prior give the very same calls in one pass, a
// region with them the whole run's records there, and samtools mpileup
// text of the same reads the same table.
TEST_F(QualFreq, PriorRegionAndPileupTextGiveTheSameCalls) {
    const std::string d = s_Dir + "/d";
    const std::string run = kBin + "/qualfreq -P --pools " + d + ".pools.tsv -f " + d + ".fa ";
    ASSERT_EQ(Shell(run + "-o " + d + ".w.vcf --table " + d + ".w.tsv --sfs " + d + ".w"), 0);
    ASSERT_EQ(Shell(run + "-o " + d + ".p.vcf --table " + d + ".p.tsv --prior " + d + ".w"), 0);
    const std::string whole = Slurp(d + ".w.tsv");
    EXPECT_EQ(Slurp(d + ".p.tsv"), whole);
    ASSERT_EQ(Shell(run + "-r chr2:5001-15000 -o " + d + ".r.vcf --table " + d + ".r.tsv --prior " +
                    d + ".w"),
              0);
    TTable expected;
    for (const auto& row : Table(whole)) {
        if (row[0] == "contig" ||
            (row[0] == "chr2" && std::stoll(row[1]) > 5000 && std::stoll(row[1]) <= 15000)) {
            expected.push_back(row);
        }
    }
    ASSERT_GT(expected.size(), 20u);
    EXPECT_EQ(Table(Slurp(d + ".r.tsv")), expected);

    ASSERT_EQ(Shell("samtools mpileup -B -Q 0 -q 20 -d 0 -f " + d + ".fa " + d + ".north.bam " + d +
                    ".east.bam " + d + ".south.bam > " + d + ".pileup"),
              0);
    ASSERT_EQ(Shell(kBin + "/qualfreq -P --pool-size 10,20,30 -o " + d + ".t.vcf --table " + d +
                    ".t.tsv " + d + ".pileup"),
              0);
    const TTable text = Table(Slurp(d + ".t.tsv")), bams = Table(whole);
    EXPECT_EQ(text[0][6], "d.1.af");
    ExpectTablesNear(text, bams, 1e-9, 1);
    // Pileup text names no contig lengths.
    EXPECT_NE(Slurp(d + ".t.vcf").find("##contig=<ID=chr2>\n"), std::string::npos);
    EXPECT_NE(Slurp(d + ".w.vcf").find("##contig=<ID=chr2,length=20000>\n"), std::string::npos);
}

// Sites made by hand, in pileup text with chosen priors (so the spool of
// records that wait for the text's contigs is used): QUAL of a site whose
// only non-reference reads are errors is the brute force's and stays
// below 20; a fixed difference has frequencies 0 and 1, QUAL 999 and a
// tiny PDIFF; a site fixed for ALT everywhere has AF 1; a pool against
// itself (the same reads twice) has PDIFF 1; sites with an N reference or
// a third allele are left out and counted.
TEST(QualFreqSites, ErrorsFixedDifferencesAndAPoolAgainstItself) {
    char pattern[] = "/tmp/qualfreq_sites.XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const unsigned n = 8;
    const std::vector<double> phi = {0.95, 0.02, 0.01, 0.005, 0.004, 0.003, 0.003, 0.002, 0.003};
    const double shared = 0.9;
    for (const char* name : {"t.1", "t.2"}) {
        WritePrior(dir + "/prior." + name + ".fs", name, phi, shared);
    }
    auto reads = [](unsigned ref, unsigned alt, unsigned char score) {
        std::vector<SBaseRead> r(ref, SBaseRead{0, score});
        r.insert(r.end(), alt, SBaseRead{2, score});
        return r;
    };
    std::vector<SBaseRead> errors = reads(30, 0, 35);
    errors.push_back(SBaseRead{2, 12});
    errors.push_back(SBaseRead{2, 15});
    const std::vector<SBaseRead> same = reads(14, 6, 30);
    std::vector<SBaseRead> third = reads(20, 8, 35);
    for (int k = 0; k < 8; ++k) {
        third.push_back(SBaseRead{3, 35});
    }
    std::ofstream(dir + "/t.txt") << PileupLine("one", 10, 'A', {errors, reads(30, 0, 35)})
                                  << PileupLine("one", 20, 'A',
                                                {reads(30, 0, 35), reads(0, 30, 35)})
                                  << PileupLine("two", 5, 'A', {reads(0, 25, 35), reads(0, 25, 35)})
                                  << PileupLine("two", 6, 'A', {same, same})
                                  << PileupLine("two", 7, 'N', {same, reads(10, 0, 30)})
                                  << PileupLine("two", 8, 'A', {third, reads(10, 0, 30)});
    std::ostringstream out;
    const SFreqSummary s =
        RunArgs({"--pool-size", "8", "--prior", dir + "/prior", "--min-qual", "0", "--table",
                 dir + "/t.tsv", "-o", dir + "/t.vcf", dir + "/t.txt"},
                out);
    EXPECT_EQ(s.m_NoReference, 1u);
    EXPECT_EQ(s.m_MultiAllelic, 1u);
    EXPECT_EQ(s.m_Written, 4u);
    const TTable t = Table(Slurp(dir + "/t.tsv"));
    ASSERT_EQ(t.size(), 5u);
    // The errors: P(no pool carries G | reads) from the joint prior and the
    // reads' product form (the sum over assignments of independent reads).
    auto likelihood = [&](const std::vector<SBaseRead>& r, unsigned j) {
        double x = 1.0;
        for (const SBaseRead& b : r) {
            const double e = ErrProbTable()[b.m_Score], f = static_cast<double>(j) / n;
            x *= b.m_Base == 0 ? f * e + (1 - f) * (1 - e) : f * (1 - e) + (1 - f) * e;
        }
        return x;
    };
    const std::vector<SBaseRead> clean = reads(30, 0, 35);
    double none = shared * likelihood(errors, 0) * likelihood(clean, 0);
    double c1 = 0.0, c2 = 0.0;
    for (unsigned j = 0; j <= n; ++j) {
        const double psi = (phi[j] - (j == 0 ? shared : 0.0)) / (1.0 - shared);
        c1 += psi * likelihood(errors, j);
        c2 += psi * likelihood(clean, j);
    }
    const double psi0 = (phi[0] - shared) / (1.0 - shared);
    const double all = none + (1.0 - shared) * c1 * c2;
    none += (1.0 - shared) * psi0 * likelihood(errors, 0) * psi0 * likelihood(clean, 0);
    const double qual = -10.0 * std::log10(none / all);
    EXPECT_EQ(t[1][1], "10");
    EXPECT_NEAR(std::stod(t[1][4]), qual, 1e-4);
    EXPECT_LT(std::stod(t[1][4]), 20.0);
    // The fixed difference: QUAL 999, and PDIFF no smaller than 8
    // chromosomes a pool allow (the test's maxima on a grid of 20001
    // frequencies: about 3e-6, where read counts alone would give 1e-17).
    EXPECT_EQ(t[2][4], "999");
    {
        const std::vector<SBaseRead> ref = reads(30, 0, 35), alt = reads(0, 30, 35);
        double best1 = -INFINITY, best2 = -INFINITY, shared = -INFINITY;
        for (int g = 0; g <= 20000; ++g) {
            const double p = g / 20000.0;
            double l1 = 0.0, l2 = 0.0;
            for (unsigned j = 0; j <= n; ++j) {
                l1 += gsl_ran_binomial_pdf(j, p, n) * likelihood(ref, j);
                l2 += gsl_ran_binomial_pdf(j, p, n) * likelihood(alt, j);
            }
            best1 = std::max(best1, std::log(l1));
            best2 = std::max(best2, std::log(l2));
            shared = std::max(shared, std::log(l1) + std::log(l2));
        }
        const double p = gsl_cdf_chisq_Q(2.0 * (best1 + best2 - shared), 1.0);
        EXPECT_NEAR(std::stod(t[2][5]), p, 1e-3 * p);
        EXPECT_LT(p, 1e-5);
    }
    EXPECT_LT(std::stod(t[2][6]), 0.01);
    EXPECT_EQ(t[2][7], "0");
    EXPECT_EQ(t[2][8], "0");
    EXPECT_GT(std::stod(t[2][11]), 0.99);
    EXPECT_EQ(t[2][12], "1");
    EXPECT_EQ(t[2][13], "1");
    // Fixed for ALT in both pools.
    EXPECT_EQ(t[3][0], "two");
    EXPECT_GT(std::stod(t[3][6]), 0.99);
    EXPECT_GT(std::stod(t[3][11]), 0.99);
    // The pool against itself.
    EXPECT_EQ(t[4][5], "1");
    EXPECT_EQ(t[4][6], t[4][11]);
    // The records waited for the text's contigs: both in the header, and
    // in the default run only the sites of QUAL 20 and more.
    const std::string vcf = Slurp(dir + "/t.vcf");
    EXPECT_NE(vcf.find("##contig=<ID=one>\n##contig=<ID=two>\n"), std::string::npos);
    const SFreqSummary d = RunArgs(
        {"--pool-size", "8", "--prior", dir + "/prior", "-o", dir + "/d.vcf", dir + "/t.txt"}, out);
    EXPECT_EQ(d.m_Written, 3u);
    std::system(("rm -rf " + dir).c_str());
}

// Over 6 simulated sets of three pools (8, 16 and 30 chromosomes) of one
// population (F = 0), depth 12 to 40, scores 10 to 40, each read wrong
// with its score's chance: at QUAL >= 20 at most 1% of the records are no
// SNP of the pools; the 95% intervals hold j/n in 90-99% of the pools at
// the true SNPs called; and at those of frequency 0.1-0.9 over all pools,
// PDIFF < 0.05 for 2-9% (the test's level, 5%, as the pools share a
// population).
TEST(QualFreqSim, CalibrationOverSimulatedPools) {
    char pattern[] = "/tmp/qualfreq_sim.XXXXXX";
    const std::string dir = mkdtemp(pattern);
    TRng rng = MakeRng(77);
    const unsigned sizes[3] = {8, 16, 30};
    const unsigned ancestral = 400;
    std::size_t records = 0, wrong = 0, intervals = 0, covered = 0, tested = 0, small = 0;
    for (int set = 0; set < 6; ++set) {
        std::map<std::int64_t, std::vector<unsigned>> truth;
        {
            std::ofstream text(dir + "/s.txt");
            for (std::int64_t pos = 1; pos <= 12000; ++pos) {
                // Polymorphic with chance 0.1, the derived count k of the
                // ancestral population with weight 1/k.
                double p = 0.0;
                if (gsl_rng_uniform(rng.get()) < 0.1) {
                    std::vector<double> w(ancestral);
                    for (unsigned k = 1; k < ancestral; ++k) {
                        w[k] = 1.0 / k;
                    }
                    gsl_ran_discrete_t* table = gsl_ran_discrete_preproc(w.size(), w.data());
                    p = static_cast<double>(gsl_ran_discrete(rng.get(), table)) / ancestral;
                    gsl_ran_discrete_free(table);
                }
                std::vector<std::vector<SBaseRead>> pools;
                std::vector<unsigned> js;
                for (unsigned size : sizes) {
                    const unsigned j = gsl_ran_binomial(rng.get(), p, size);
                    const unsigned depth =
                        12 + static_cast<unsigned>(gsl_rng_uniform_int(rng.get(), 29));
                    pools.push_back(PoolReads(rng.get(), j, size, depth, 10, 40));
                    js.push_back(j);
                }
                if (js[0] + js[1] + js[2] > 0) {
                    truth[pos] = js;
                }
                text << PileupLine("c", pos, 'A', pools);
            }
        }
        std::ostringstream out;
        RunArgs({"--pool-size", "8,16,30", "--table", dir + "/s.tsv", "-o", "/dev/null",
                 dir + "/s.txt"},
                out);
        const TTable t = Table(Slurp(dir + "/s.tsv"));
        for (std::size_t r = 1; r < t.size(); ++r) {
            ++records;
            const auto it = truth.find(std::stoll(t[r][1]));
            if (it == truth.end() || t[r][3] != "G") {
                ++wrong;
                continue;
            }
            unsigned carriers = 0;
            for (std::size_t i = 0; i < 3; ++i) {
                const double f = static_cast<double>(it->second[i]) / sizes[i];
                ++intervals;
                covered += std::stod(t[r][7 + 5 * i]) - 1e-9 <= f &&
                           f <= std::stod(t[r][8 + 5 * i]) + 1e-9;
                carriers += it->second[i];
            }
            const double share = carriers / 54.0;
            if (share >= 0.1 && share <= 0.9) {
                ++tested;
                small += std::stod(t[r][5]) < 0.05;
            }
        }
    }
    std::system(("rm -rf " + dir).c_str());
    ASSERT_GT(records, 1000u);
    EXPECT_LE(wrong, records / 100) << wrong << " of " << records;
    const double coverage = static_cast<double>(covered) / intervals;
    EXPECT_GE(coverage, 0.90);
    EXPECT_LE(coverage, 0.99);
    ASSERT_GT(tested, 400u);
    const double share = static_cast<double>(small) / tested;
    EXPECT_GE(share, 0.02);
    EXPECT_LE(share, 0.09);
}

// What must be refused, by kind, with no output left behind (not even a
// temporary file).
TEST_F(QualFreq, BadInputsAreRefusedWithNothingWritten) {
    const std::string d = s_Dir + "/d";
    const std::string out = s_Dir + "/bad/out.vcf.gz";
    ASSERT_EQ(Shell("mkdir -p " + s_Dir + "/bad"), 0);
    const std::vector<std::string> pools = {d + ".north.bam", d + ".east.bam", d + ".south.bam"};
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.end(), {"--pool-size", "10,20,30"});
        args.insert(args.end(), pools.begin(), pools.end());
        return args;
    };
    // Alignments without their reference; options that do not go together.
    EXPECT_EQ(FaultOf(with({"-o", out})), EInputError::eUnknown);
    EXPECT_EQ(FaultOf(with({"-f", d + ".fa", "--sfs", "x", "--prior", "y"})),
              EInputError::eUnknown);
    EXPECT_EQ(FaultOf(with({"-f", d + ".fa", "--table", "-"})), EInputError::eUnknown);
    EXPECT_EQ(FaultOf(with({"-f", d + ".fa", "--min-qual", "-1", "-o", out})),
              EInputError::eUnknown);
    EXPECT_EQ(FaultOf(with({"-f", d + ".fa", "--min-qual", "many", "-o", out})),
              EInputError::eUnknown);
    // Outputs onto an input, each other or an input's index.
    EXPECT_EQ(FaultOf(with({"-f", d + ".fa", "-o", d + ".north.bam"})), EInputError::eUnknown);
    EXPECT_EQ(FaultOf(with({"-f", d + ".fa", "-o", out, "--table", out})), EInputError::eUnknown);
    EXPECT_EQ(FaultOf(with({"-f", d + ".fa", "-o", d + ".fa.fai"})), EInputError::eUnknown);
    // Priors of another size, or from two runs that disagree.
    const std::vector<double> phi(11, 0.1);
    WritePrior(s_Dir + "/bad/p.north.fs", "north", phi, 0.05);
    WritePrior(s_Dir + "/bad/p.east.fs", "east", std::vector<double>(21, 1.0 / 21), 0.05);
    WritePrior(s_Dir + "/bad/p.south.fs", "south", std::vector<double>(31, 1.0 / 31), 0.04);
    EXPECT_EQ(FaultOf(with({"-f", d + ".fa", "-o", out, "--prior", s_Dir + "/bad/p"})),
              EInputError::eMismatch);
    WritePrior(s_Dir + "/bad/p.north.fs", "north", std::vector<double>(12, 0.1), 0.05);
    EXPECT_EQ(FaultOf(with({"-f", d + ".fa", "-o", out, "--prior", s_Dir + "/bad/p"})),
              EInputError::eMismatch);
    // Pileup text without its reference column (samtools mpileup without
    // -f writes N).
    std::ofstream(s_Dir + "/bad/n.txt") << "c\t1\tN\t2\tAA\tII\n";
    EXPECT_EQ(FaultOf({"--pool-size", "10", "-o", out, s_Dir + "/bad/n.txt"}),
              EInputError::eMismatch);
    // Alignments cut short, read into the store, and with --prior after
    // records were written (the reader reports the cut as a plain error).
    ASSERT_EQ(Shell("head -c 300000 " + d + ".south.bam > " + s_Dir + "/bad/cut.bam"), 0);
    FaultOf({"-f", d + ".fa", "--pool-size", "10", "-o", out, s_Dir + "/bad/cut.bam"});
    std::ostringstream ignored;
    RunArgs(with({"-f", d + ".fa", "-o", "/dev/null", "--sfs", s_Dir + "/cut"}), ignored);
    FaultOf({"-f", d + ".fa", "--pool-size", "10,20,30", "--prior", s_Dir + "/cut", "-o", out,
             "--table", s_Dir + "/bad/cut.tsv", pools[0], pools[1], s_Dir + "/bad/cut.bam"});
    for (const std::string& f : Files(s_Dir + "/bad")) {
        EXPECT_TRUE(f == "." || f == ".." || f == "p.north.fs" || f == "p.east.fs" ||
                    f == "p.south.fs" || f == "n.txt" || f == "cut.bam")
            << "left behind: " << f;
    }
    EXPECT_FALSE(Exists(out));
}
