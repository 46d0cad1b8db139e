#include "simulator/simdriver.hpp"

#include <gsl/gsl_rng.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <vector>

#include "base/warnings.hpp"
#include "common/doc_writer.hpp"
#include "common/probdist.hpp"
#include "simulator/datagen.hpp"
#include "simulator/fsms.hpp"
#include "spectrum/freqspec.hpp"

const char kQualgenOptions[] = "f:ben:s:d:p:";
const char kQualgenRequired[] = "fpn";
const char kQualgenUsage[] =
    " -f <neutral|growth> [-b] [-n <number of sites>] [-s <scorefile>] [-d <depthfile>] [-p "
    "'<param string>']\nWhere\t-f --> frequency spectrum to use\n\t-p --> string containing "
    "parameters\n\t-n --> number of sites to generate\n\t-s <filename>--> (default: "
    "score_dist.dat) file from which to load score dist\n\t-d <filename>--> (default: "
    "depth_dist.dat) file from which to load depth dist\n\t-b --> (optional) flag to simulate "
    "biallelic\n\t-e --> (optional) flag to force exact spectrum (otherwise stochastic)\n";

namespace {

struct CRngFree {
    void operator()(gsl_rng* rng) const { gsl_rng_free(rng); }
};

// Keeps what is written to it in blocks of 1 MiB until it is handed on.
// The document is held in memory whole, so it is held once: a growing
// string would copy it at every doubling and briefly hold it three times
// over.
class CHeldText : public std::streambuf {
  public:
    void WriteTo(std::ostream& out) const {
        for (const std::string& block : m_Blocks) {
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
        }
    }

  protected:
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        for (std::streamsize left = n; left > 0;) {
            if (m_Blocks.empty() || m_Blocks.back().size() == kBlockSize) {
                m_Blocks.emplace_back();
                m_Blocks.back().reserve(kBlockSize);
            }
            std::string& block = m_Blocks.back();
            const std::size_t part =
                std::min(static_cast<std::size_t>(left), kBlockSize - block.size());
            block.append(s, part);
            s += part;
            left -= static_cast<std::streamsize>(part);
        }
        return n;
    }
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            const char ch = traits_type::to_char_type(c);
            xsputn(&ch, 1);
        }
        return traits_type::not_eof(c);
    }

  private:
    static constexpr std::size_t kBlockSize = std::size_t(1) << 20;
    std::vector<std::string> m_Blocks;
};

// The -n argument as strtol reads it (leading blanks, a sign, digits up to
// the first other character, no digits giving 0). A negative or oversized
// count would wrap into billions of sites, so both are rejected.
unsigned int ParseNumSites(const char* text) {
    errno = 0;
    const long n = std::strtol(text, nullptr, 10);
    if (n < 0) {
        throw std::runtime_error("Invalid number of sites '" + std::string(text) +
                                 "': it must not be negative.");
    }
    if (errno == ERANGE || n > INT_MAX) {
        throw std::runtime_error("Invalid number of sites '" + std::string(text) +
                                 "': it is too large.");
    }
    return static_cast<unsigned int>(n);
}

void WarnIfUnopened(const std::ifstream& in, const std::string& file) {
    if (!in.is_open()) {
        Warn("Warning: cannot open distribution file '" + file + "'; its distribution is empty.");
    }
}

// Opens a distribution file and appends its pairs. A file that cannot be
// opened gives an empty distribution; when sites are wanted this is worth a
// warning, since an empty data set could otherwise pass for a result.
void LoadDistributionFiles(const std::string& scoreFile, const std::string& depthFile,
                           unsigned int numSites) {
    std::ifstream scoreIn(scoreFile);
    std::ifstream depthIn(depthFile);
    if (numSites > 0) {
        WarnIfUnopened(scoreIn, scoreFile);
        WarnIfUnopened(depthIn, depthFile);
    }
    // Each run starts from empty distributions, as a fresh process does.
    g_ScoreDist.clear();
    g_DepthDist.clear();
    LoadDistributions(scoreIn, depthIn);
}

std::unique_ptr<CFreqSpectrum> MakeModel(const std::string& name) {
    if (name == "neutral") {
        return std::make_unique<CFSNeutral>();
    }
    if (name == "growth") {
        return std::make_unique<CFSGrowth>();
    }
    if (name == "ms") {
        return std::make_unique<CFSms>();
    }
    throw std::runtime_error("Invalid frequency spectrum '" + name + "'.");
}

}  // namespace

int RunSimulator(TOptionMap& opts) {
    return RunSimulator(opts, static_cast<unsigned long>(std::time(nullptr)), std::cout);
}

int RunSimulator(TOptionMap& opts, unsigned long seed, std::ostream& out) {
    const char* numText = opts.count('n') ? opts['n'] : nullptr;
    const unsigned int numSites = ParseNumSites(numText ? numText : "");

    const std::string scoreFile = opts.count('s') ? opts['s'] : "score_dist.dat";
    const std::string depthFile = opts.count('d') ? opts['d'] : "depth_dist.dat";
    LoadDistributionFiles(scoreFile, depthFile, numSites);

    const char* modelName = opts.count('f') ? opts['f'] : "";
    std::unique_ptr<CFreqSpectrum> model = MakeModel(modelName ? modelName : "");
    if (opts.count('p') && opts['p']) {
        model->SetParams(std::string(opts['p']));
    }
    if (const auto* ms = dynamic_cast<const CFSms*>(model.get())) {
        // Before anything is generated or started.
        ms->CheckParams();
    } else if (model->ParamsOutOfRange()) {
        // The data are still drawn (the spectrum can be valid at the depths
        // used), but probabilities outside [0, 1] are likely: say so.
        Warn("Warning: parameters '" + model->GetParamString() +
             "' lie outside the domain of the " + model->GetName() +
             " model; its spectrum may hold negative probabilities.");
    }
    model->SetFolded(false);

    std::unique_ptr<gsl_rng, CRngFree> rng(gsl_rng_alloc(gsl_rng_mt19937));
    if (!rng) {
        throw std::runtime_error("Cannot allocate the random-number generator.");
    }
    gsl_rng_set(rng.get(), seed);

    CDataGenerator generator;
    generator.m_Rng = rng.get();
    generator.m_Biallelic = opts.count('b') > 0;
    generator.m_Exact = opts.count('e') > 0;
    generator.m_ScoreDistName = "score distribution (file '" + scoreFile + "')";

    // The document goes out in one piece, only once it is complete: a
    // failed run leaves the output empty.
    CHeldText held;
    std::ostream heldOut(&held);
    // An allocation that fails must surface as itself, not as a write
    // error.
    heldOut.exceptions(std::ios::badbit);
    CQualDocWriter writer(heldOut, "the document in memory");
    writer.Begin();
    generator.GenerateSites(numSites, *model, writer);
    writer.End(model->GetName(), model->GetParams());

    held.WriteTo(out);
    out.flush();
    if (!out) {
        throw std::runtime_error("Cannot write the document to the output.");
    }
    return 0;
}
