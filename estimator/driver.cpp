#include "estimator/driver.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "common/safe_output.hpp"
#include "estimator/fsmaximizer.hpp"
#include "estimator/gzip_input.hpp"
#include "estimator/qscores.hpp"

const char* const kQualfitOptions = "i:o:f:gap123";
const char* const kQualfitRequired = "i";
const char* const kQualfitUsage =
    " -i <input.xml> [-o <output.xml>] [-f <neutral|growth>] [-p123] [-c <#points in ci>] \n"
    "Where\t-i --> input XML filename\n"
    "\t-f --> (optional) frequency spectrum distribution\n"
    "\t-o --> (optional) output XML filename\n"
    "\t-g --> grid likelihood landscape\n"
    "\t-a --> flag to use [a]ll of spectrum w/o folding\n"
    "\t-p --> flag to optimize parameters\n"
    "\t-1 --> flag to show pre/post error probs for singletons\n"
    "\t-2 --> flag to show pre/post error probs for doubltons\n"
    "\t-3 --> flag to show pre/post error probs for tripletons\n";

namespace {

bool Has(const TOptionMap& opts, char letter) {
    return opts.count(letter) != 0;
}

// The given parameter values, the first directly, every later one after a
// tab.
void PrintParams(std::ostream& out, const TParamVector& params) {
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (params[i].second) {
            if (i > 0) {
                out << '\t';
            }
            out << params[i].first;
        }
    }
}

std::string ParamsText(const TParamVector& params) {
    std::ostringstream text;
    for (const auto& p : params) {
        if (p.second) {
            text << (text.tellp() > 0 ? " " : "") << p.first;
        }
    }
    return text.str();
}

// Whether path names the very file that standard output writes to.
bool IsStandardOutput(const std::string& path) {
    struct stat file;
    struct stat standard;
    return stat(path.c_str(), &file) == 0 && fstat(STDOUT_FILENO, &standard) == 0 &&
           file.st_dev == standard.st_dev && file.st_ino == standard.st_ino;
}

void Load(CQScores& data, const std::string& input) {
    if (input == "-") {
        data.LoadFromStream(std::cin);
        return;
    }
    CInputDocument file(input);
    data.LoadFromStream(file.Stream());
}

void SingletonReport(const CQScores& data, std::ostream& out) {
    const CFreqSpectrum& spectrum = data.GetSpectrum();
    for (const auto& c : data.GetColumns()) {
        const unsigned n = c->GetDepth(CQScoreColumn::eAll);
        if (n <= 1) {
            continue;
        }
        if (c->GetDepth(CQScoreColumn::eMinor) == 1) {
            out << c->GetErrProb(0, CQScoreColumn::eMinor) << '\t' << c->GetPostProb(0, spectrum)
                << '\t' << (c->GetErrTruth(0, CQScoreColumn::eMinor) ? 1 : 0) << '\n';
        } else if (spectrum.IsFolded() && c->GetDepth(CQScoreColumn::eMajor) == 1) {
            // Folded, the single odd read may be the one of the major class:
            // it is an error when all n reads truly carry the other base.
            out << c->GetErrProb(0, CQScoreColumn::eMajor) << '\t'
                << c->GetPostProb(static_cast<int>(n), spectrum) << '\t'
                << (c->GetErrTruth(0, CQScoreColumn::eMajor) ? 1 : 0) << '\n';
        }
    }
}

// Sites with exactly `count` minor reads: the product of their error
// probabilities, and the posterior probability that all of them are errors.
void MultipletonReport(const CQScores& data, unsigned count, std::ostream& out) {
    const CFreqSpectrum& spectrum = data.GetSpectrum();
    for (const auto& c : data.GetColumns()) {
        if (c->GetDepth(CQScoreColumn::eMinor) != count) {
            continue;
        }
        double product = 1.0;
        for (unsigned i = 0; i < count; ++i) {
            product *= c->GetErrProb(i, CQScoreColumn::eMinor);
        }
        out << product << '\t' << c->GetPostProb(0, spectrum) << '\n';
    }
}

}  // namespace

int Run(const TOptionMap& opts) {
    return Run(opts, std::cout);
}

int Run(const TOptionMap& opts, std::ostream& out) {
    const bool useAll = Has(opts, 'a');
    CQScores data;
    // Columns and the reuse of stored tables depend on the folding mode, so
    // it is set before loading.
    data.SetUseAll(useAll);
    Load(data, opts.at('i'));

    if (Has(opts, 'f')) {
        const std::string name = opts.at('f');
        if (name == "neutral") {
            data.SetSpectrum(new CFSNeutral);
        } else if (name == "growth") {
            data.SetSpectrum(new CFSGrowth);
        } else {
            throw std::runtime_error("Invalid frequency spectrum '" + name + "'.");
        }
    }
    data.GetSpectrum().SetFolded(!useAll);

    if (Has(opts, 'p')) {
        CQScores::CFSMaximizer fit(&data);
    }
    if (Has(opts, 'g')) {
        const TParamVector low = {{0.01, true}, {25.0, true}};
        const TParamVector high = {{0.02, true}, {75.0, true}};
        const TParamVector step = {{0.001, true}, {5.0, true}};
        data.GridLogLike(low, high, step, out);
    }

    const CFreqSpectrum& spectrum = data.GetSpectrum();
    const double logLike = data.GetLogLike(spectrum.GetParams());
    if (std::isnan(logLike)) {
        throw std::runtime_error("Run: the log-likelihood is NaN (not a number) for the " +
                                 spectrum.GetName() + " model with parameters " +
                                 ParamsText(spectrum.GetParams()) +
                                 ": the model gives no valid probabilities there.");
    }
    out.precision(8);
    out << "LogLikelihood: " << logLike << " / " << spectrum.GetName() << " w/ ";
    PrintParams(out, spectrum.GetParams());
    out << '\n';

    if (Has(opts, 'o')) {
        const std::string path = opts.at('o');
        if (IsStandardOutput(path)) {
            // /dev/stdout and its kin share the standard output's offset only
            // through the stream itself; a second descriptor would truncate
            // what was printed and be overwritten by what follows.
            data.WriteToStream(out);
        } else {
            CSafeOutputFile file(path);
            data.WriteToStream(file.stream());
            file.Commit();
        }
    }

    if (Has(opts, '1')) {
        out.precision(2);
        SingletonReport(data, out);
    }
    if (Has(opts, '2')) {
        out.precision(2);
        MultipletonReport(data, 2, out);
    }
    if (Has(opts, '3')) {
        out.precision(2);
        MultipletonReport(data, 3, out);
    }
    out.flush();
    // A full disk or a closed pipe must not pass for success.
    if (!out) {
        throw std::runtime_error("Run: writing the results to the standard output failed.");
    }
    return 0;
}
