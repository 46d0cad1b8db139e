#include "simulator/datagen.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "base/qt_assert.hpp"
#include "base/warnings.hpp"
#include "simulator/fsms.hpp"
#include "spectrum/freqspec.hpp"

namespace {

// Largest quality score a document can carry (readers keep the low 8 bits).
constexpr unsigned int kMaxScore = 255;

// Turns an expected number of sites into a count. Below one -- negative
// shares, NaN -- means no site at all; a count that could not even be
// numbered is an error rather than a wrapped-around figure.
unsigned int SiteCount(double expected, const std::string& what) {
    if (!(expected >= 1.0)) {
        return 0;
    }
    if (expected > static_cast<double>(INT_MAX)) {
        std::ostringstream msg;
        msg << "CDataGenerator: " << what << " asks for " << expected
            << " sites, more than can be generated.";
        throw std::runtime_error(msg.str());
    }
    return static_cast<unsigned int>(expected);
}

std::string DepthText(unsigned int depth) {
    return "depth " + std::to_string(depth);
}

// "1 site", "492 sites".
std::string Count(double n, const char* noun) {
    char text[48];
    std::snprintf(text, sizeof text, "%.0f %s%s", n, noun, n == 1 ? "" : "s");
    return text;
}

std::string Number(double x) {
    std::ostringstream out;
    out << x;
    return out.str();
}

// What the memory check counts, as lower bounds. The shortest lines of a
// site: `  <Column pos="1">` and `  </Column>`, and `    <Chr score="0"/>`
// per read, with their line breaks.
constexpr double kMinColumnBytes = 31;
constexpr double kMinChrBytes = 21;
// Per read of the deepest site while it is drawn: its error probability and
// its base. Where the spectrum is evaluated at that depth, also the memo row
// of the spectrum: a row slot and a cell per minor count (32 + 16 bytes).
constexpr double kSiteBytesPerRead = 9;
constexpr double kSpectrumBytesPerRead = 48;

}  // namespace

void CDataGenerator::SPlan::Add(unsigned int depth, int numMinor, unsigned int count) {
    batches.push_back({depth, numMinor, count});
    sites += count;
    reads += static_cast<double>(count) * depth;
    maxDepth = std::max(maxDepth, depth);
}

void CDataGenerator::GenerateSites(unsigned int numSites, const CFreqSpectrum& spectrum,
                                   CQualDocWriter& writer) {
    QT_ASSERT(m_Rng != nullptr);
    m_Writer = &writer;
    m_NumColumns = 0;
    SPlan plan;
    if (spectrum.GetName() == "m.s.") {
        x_PlanCoalescentBranch(numSites, spectrum, plan);
    } else {
        x_PlanDepthBranch(numSites, spectrum, plan);
    }
    x_WarnAboutSiteCount(plan, numSites, spectrum);
    x_CheckMemory(
        plan, plan.maxDepth,
        "the data set of " + Count(plan.sites, "site") + " and " + Count(plan.reads, "read"));
    x_Generate(plan, spectrum);
}

void CDataGenerator::x_PlanDepthBranch(unsigned int numSites, const CFreqSpectrum& spectrum,
                                       SPlan& plan) {
    for (const auto& [depth, share] : *m_DepthDist) {
        if (share > 0) {
            plan.shareSum += share;
        }
        // Nearest integer, halves to the even neighbour (the default
        // rounding mode of rint).
        const unsigned int nd =
            SiteCount(std::rint(static_cast<double>(numSites) * share), DepthText(depth));
        if (nd == 0) {
            continue;
        }
        plan.shareSites += nd;
        if (depth > static_cast<unsigned int>(INT_MAX)) {
            throw std::runtime_error("CDataGenerator: depth " + std::to_string(depth) +
                                     " of the depth distribution is too large.");
        }
        // Checked before the spectrum is evaluated at this depth: its row
        // alone may not fit.
        if (!m_Exact) {
            plan.Add(depth, -1, nd);
            x_CheckMemory(
                plan, depth,
                "with " + Count(nd, "site") + " of " + DepthText(depth) + ", the data set");
            continue;
        }
        x_CheckMemory(plan, depth, "with sites of " + DepthText(depth) + ", the data set");
        const int d = static_cast<int>(depth);
        double sum = 0;
        for (int j = 0; j < d; ++j) {
            const double p = spectrum(j, d);
            sum += std::max(p, 0.0);
            const unsigned int q = SiteCount(
                std::rint(p * nd), DepthText(depth) + ", minor count " + std::to_string(j));
            if (q > 0) {
                plan.Add(depth, j, q);
            }
        }
        if (sum > plan.probSum) {
            plan.probSum = sum;
            plan.probDepth = depth;
        }
    }
}

void CDataGenerator::x_PlanCoalescentBranch(unsigned int numSites, const CFreqSpectrum& spectrum,
                                            SPlan& plan) {
    const auto* ms = dynamic_cast<const CFSms*>(&spectrum);
    QT_ASSERT(ms != nullptr);
    QT_ASSERT(numSites <= static_cast<unsigned int>(INT_MAX));
    plan.spectrumRows = false;
    TSpectrumTable table;
    ms->GetSpectrum(static_cast<int>(numSites), x_MeanDepth(), table);
    for (const auto& [depth, list] : table) {
        // Each record appends exactly `depth` entries; only the first
        // record of a depth printed twice is used.
        QT_ASSERT(list.size() >= depth);
        for (unsigned int j = 0; j < depth; ++j) {
            const double share = list[j].second;
            if (share > 0) {
                plan.shareSum += share;
            }
            // Truncation toward zero.
            const unsigned int q = SiteCount(std::trunc(static_cast<double>(numSites) * share),
                                             "the coalescent table at " + DepthText(depth) +
                                                 ", minor count " + std::to_string(j));
            if (q > 0) {
                plan.Add(depth, static_cast<int>(j), q);
            }
        }
    }
    plan.shareSites = plan.sites;
}

void CDataGenerator::x_CheckMemory(const SPlan& plan, unsigned int depth,
                                   const std::string& what) const {
    const double perRead = kSiteBytesPerRead + (plan.spectrumRows ? kSpectrumBytesPerRead : 0);
    const double need = kMinColumnBytes * plan.sites + kMinChrBytes * plan.reads + perRead * depth;
    if (need > static_cast<double>(m_MemoryBudget)) {
        throw std::runtime_error("CDataGenerator: " + what + " would take at least " +
                                 ByteSize(need) + " of memory, more than the " +
                                 ByteSize(static_cast<double>(m_MemoryBudget)) + " available.");
    }
}

void CDataGenerator::x_WarnAboutSiteCount(const SPlan& plan, unsigned int numSites,
                                          const CFreqSpectrum& spectrum) const {
    if (!(plan.sites > 2.0 * numSites)) {
        return;
    }
    std::vector<std::string> causes;
    if (plan.shareSites > 2.0 * numSites) {
        causes.push_back(std::string("the shares of the ") +
                         (plan.spectrumRows ? "depth distribution" : "coalescent table") +
                         " sum to " + Number(plan.shareSum));
    }
    // Beyond what rounding the sum of a normalised spectrum can give.
    if (plan.probSum > 1 + 1e-9) {
        causes.push_back("the " + spectrum.GetName() + " model's probabilities at " +
                         DepthText(plan.probDepth) + " sum to " + Number(plan.probSum) +
                         ", and with -e each minor count gets rint(probability x sites of its "
                         "depth) sites");
    }
    std::string line = "Warning: " + Count(plan.sites, "site") + " are generated for -n " +
                       std::to_string(numSites);
    for (std::size_t i = 0; i < causes.size(); ++i) {
        line += (i == 0 ? ": " : "; ") + causes[i];
    }
    Warn(line + ".");
}

void CDataGenerator::x_Generate(const SPlan& plan, const CFreqSpectrum& spectrum) {
    for (const SBatch& batch : plan.batches) {
        if (batch.numMinor >= 0) {
            for (unsigned int s = 0; s < batch.count; ++s) {
                x_GenerateSite(static_cast<unsigned int>(batch.numMinor), batch.depth);
            }
            continue;
        }
        const int d = static_cast<int>(batch.depth);
        TProbDist probs;
        probs.reserve(batch.depth);
        for (int j = 0; j < d; ++j) {
            probs.emplace_back(static_cast<unsigned int>(j), spectrum(j, d));
        }
        const std::string name = "distribution of minor-allele counts at " + DepthText(batch.depth);
        for (unsigned int s = 0; s < batch.count; ++s) {
            x_GenerateSite(x_DrawValue(probs, name), batch.depth);
        }
    }
}

void CDataGenerator::x_GenerateSite(unsigned int numMinor, unsigned int depth) {
    try {
        x_GenerateColumn(numMinor, depth);
    } catch (const CExceptionTriallelic&) {
        // The site stays in the data set as drawn; nothing else to do.
    }
}

void CDataGenerator::x_GenerateColumn(unsigned int numMinor, unsigned int depth) {
    std::vector<double> errProbs;
    x_DrawErrProbs(depth, errProbs);

    // Base codes: 0 reference, 1 minor allele, 2 and 3 the remaining bases.
    std::vector<unsigned char> observed(depth);
    std::vector<bool> erroneous(depth, false);
    unsigned int count[4] = {0, 0, 0, 0};
    for (unsigned int i = 0; i < depth; ++i) {
        const double u = gsl_rng_uniform(m_Rng);
        const double e = errProbs[i];
        const unsigned char truth = i < numMinor ? 1 : 0;
        const unsigned char otherAllele = truth == 1 ? 0 : 1;
        unsigned char base = truth;
        if (u < e) {
            erroneous[i] = true;
            if (m_Biallelic || u < e / 3) {
                base = otherAllele;
            } else if (u < 2 * e / 3) {
                base = 2;
            } else {
                base = 3;
            }
        }
        observed[i] = base;
        ++count[base];
    }

    // The first non-reference base present, in code order, becomes the
    // written minor allele, whether or not it is the true one.
    unsigned int label[4] = {0, 0, 0, 0};
    unsigned int k = 0;
    for (unsigned int code = 1; code < 4; ++code) {
        if (count[code] > 0) {
            label[code] = ++k;
        }
    }

    if (m_NumColumns == INT_MAX) {
        throw std::runtime_error("CDataGenerator: too many sites to number.");
    }
    ++m_NumColumns;
    m_Writer->BeginColumn(m_NumColumns);
    for (unsigned int i = 0; i < depth; ++i) {
        const long score = std::lrint(-10.0 * std::log10(errProbs[i]));
        // Labels 1, 2, 3 are the minor allele and the two other bases.
        m_Writer->AddChr(static_cast<unsigned>(score),
                         static_cast<CQualDocWriter::EClass>(label[observed[i]]), erroneous[i]);
    }
    m_Writer->EndColumn();

    if (k >= 2) {
        throw CExceptionTriallelic(numMinor == 0);
    }
}

void CDataGenerator::x_DrawErrProbs(unsigned int depth, std::vector<double>& errProbs) {
    errProbs.resize(depth);
    for (unsigned int i = 0; i < depth; ++i) {
        const unsigned int s = x_DrawValue(*m_ScoreDist, m_ScoreDistName);
        if (s > kMaxScore) {
            throw std::runtime_error("CDataGenerator: score " + std::to_string(s) + " of the " +
                                     m_ScoreDistName + " is above " + std::to_string(kMaxScore) +
                                     ", the largest score a document can hold.");
        }
        errProbs[i] = std::pow(10.0, s / -10.0);
    }
}

unsigned int CDataGenerator::x_DrawValue(const TProbDist& dist, const std::string& name) const {
    return DrawFromDist(dist, gsl_rng_uniform(m_Rng), name);
}

double CDataGenerator::x_MeanDepth() const {
    return MeanOfDist(*m_DepthDist);
}
