#include "simulator/datagen.hpp"

#include <libxml++/libxml++.h>

#include <climits>
#include <cmath>
#include <sstream>
#include <stdexcept>

#include "base/qt_assert.hpp"
#include "common/qualxml.hpp"
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

}  // namespace

void CDataGenerator::GenerateSites(unsigned int numSites, const CFreqSpectrum& spectrum,
                                   xmlpp::Element* root) {
    QT_ASSERT(m_Rng != nullptr && root != nullptr);
    m_Root = root;
    m_NumColumns = 0;
    if (spectrum.GetName() == "m.s.") {
        x_CoalescentBranch(numSites, spectrum);
    } else {
        x_DepthBranch(numSites, spectrum);
    }
}

void CDataGenerator::x_DepthBranch(unsigned int numSites, const CFreqSpectrum& spectrum) {
    for (const auto& [depth, share] : *m_DepthDist) {
        // Nearest integer, halves to the even neighbour (the default
        // rounding mode of rint).
        const unsigned int nd =
            SiteCount(std::rint(static_cast<double>(numSites) * share), DepthText(depth));
        if (nd == 0) {
            continue;
        }
        if (depth > static_cast<unsigned int>(INT_MAX)) {
            throw std::runtime_error("CDataGenerator: depth " + std::to_string(depth) +
                                     " of the depth distribution is too large.");
        }
        const int d = static_cast<int>(depth);
        if (!m_Exact) {
            TProbDist probs;
            probs.reserve(depth);
            for (int j = 0; j < d; ++j) {
                probs.emplace_back(static_cast<unsigned int>(j), spectrum(j, d));
            }
            const std::string name = "distribution of minor-allele counts at " + DepthText(depth);
            for (unsigned int s = 0; s < nd; ++s) {
                x_GenerateSite(x_DrawValue(probs, name), depth);
            }
        } else {
            for (int j = 0; j < d; ++j) {
                const unsigned int q =
                    SiteCount(std::rint(spectrum(j, d) * nd),
                              DepthText(depth) + ", minor count " + std::to_string(j));
                for (unsigned int s = 0; s < q; ++s) {
                    x_GenerateSite(static_cast<unsigned int>(j), depth);
                }
            }
        }
    }
}

void CDataGenerator::x_CoalescentBranch(unsigned int numSites, const CFreqSpectrum& spectrum) {
    const auto* ms = dynamic_cast<const CFSms*>(&spectrum);
    QT_ASSERT(ms != nullptr);
    QT_ASSERT(numSites <= static_cast<unsigned int>(INT_MAX));
    TSpectrumTable table;
    ms->GetSpectrum(static_cast<int>(numSites), x_MeanDepth(), table);
    for (const auto& [depth, list] : table) {
        // Each record appends exactly `depth` entries; only the first
        // record of a depth printed twice is used.
        QT_ASSERT(list.size() >= depth);
        for (unsigned int j = 0; j < depth; ++j) {
            // Truncation toward zero.
            const unsigned int q =
                SiteCount(std::trunc(static_cast<double>(numSites) * list[j].second),
                          "the coalescent table at " + DepthText(depth) + ", minor count " +
                              std::to_string(j));
            for (unsigned int s = 0; s < q; ++s) {
                x_GenerateSite(j, depth);
            }
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
    xmlpp::Element* column = m_Root->add_child(qualxml::kColumn);
    ++m_NumColumns;
    column->set_attribute(qualxml::kPos, std::to_string(m_NumColumns));
    for (unsigned int i = 0; i < depth; ++i) {
        xmlpp::Element* chr = column->add_child(qualxml::kChr);
        const long score = std::lrint(-10.0 * std::log10(errProbs[i]));
        chr->set_attribute(qualxml::kScore, std::to_string(score));
        switch (label[observed[i]]) {
            case 1:
                chr->set_attribute(qualxml::kMinor, "");
                break;
            case 2:
                chr->set_attribute(qualxml::kOther, "1");
                break;
            case 3:
                chr->set_attribute(qualxml::kOther, "2");
                break;
            default:
                break;
        }
        if (erroneous[i]) {
            chr->set_attribute(qualxml::kError, "");
        }
    }

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
