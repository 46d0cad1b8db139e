#include "pool/pool_spectrum_file.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <sstream>

#include "base/input_error.hpp"
#include "pool/fs_text.hpp"

void WritePoolSpectrum(std::ostream& out, const SPoolSpectrum& s, double sites,
                       const std::string& name, const std::string& comment) {
    WriteFsComment(out, comment);
    out << s.n + 1 << ' ' << (s.folded ? "folded" : "unfolded") << " \"" << name << "\"\n";
    std::string mask;
    for (unsigned j = 0; j <= s.n; ++j) {
        double v = sites * s.phi[j];
        bool masked;
        if (s.folded) {
            // 2 j against n: below, on or above the middle.
            if (2 * j < s.n) {
                v += sites * s.phi[s.n - j];
            } else if (2 * j > s.n) {
                v = 0.0;
            }
            masked = j == 0 || 2 * j > s.n;
        } else {
            masked = j == 0 || j == s.n;
        }
        out << (j == 0 ? "" : " ") << FsEntry(v);
        mask += j == 0 ? "" : " ";
        mask += masked ? '1' : '0';
    }
    out << '\n' << mask << '\n';
}

SPoolSpectrum ReadPoolSpectrum(const std::string& path, unsigned n, bool folded) {
    std::ifstream in(path);
    if (!in) {
        throw CannotOpen(path, errno);
    }
    CFsLines lines(in, path);
    if (!lines.Next()) {
        throw lines.Fail(EInputError::eTruncated, "holds no spectrum.");
    }
    // The size line: the sizes of every dimension, then the folding.
    std::istringstream head(lines.Line());
    std::vector<std::string> sizes;
    std::string word, fold;
    while (head >> word) {
        if (word == "folded" || word == "unfolded") {
            fold = word;
            break;
        }
        sizes.push_back(word);
    }
    char* end = nullptr;
    const long long size = sizes.empty() ? 0 : std::strtoll(sizes[0].c_str(), &end, 10);
    if (fold.empty() || sizes.empty() || *end != '\0' || size < 1) {
        throw lines.Fail(EInputError::eFormat,
                         "expected the size of a spectrum and \"folded\" or \"unfolded\".");
    }
    if (sizes.size() != 1) {
        throw lines.Fail(EInputError::eMismatch, "the spectrum has " +
                                                     std::to_string(sizes.size()) +
                                                     " dimensions, but a pool's has one.");
    }
    if (size != static_cast<long long>(n) + 1) {
        throw lines.Fail(EInputError::eMismatch, "the spectrum has " + std::to_string(size) +
                                                     " entries, but a pool of " +
                                                     std::to_string(n) + " chromosomes needs " +
                                                     std::to_string(n + 1) + ".");
    }
    if ((fold == "folded") != folded) {
        throw lines.Fail(
            EInputError::eMismatch,
            "the spectrum is " + fold + ", but this run's are " +
                (folded ? "folded (no reference)" : "unfolded (the reference base first)") + ".");
    }
    if (!lines.Next()) {
        throw lines.Fail(EInputError::eTruncated, "the line of entries is missing.");
    }
    std::vector<double> v;
    std::istringstream entries(lines.Line());
    while (entries >> word) {
        const std::string which = "entry " + std::to_string(v.size() + 1) + " ('" + word + "')";
        errno = 0;
        const double x = std::strtod(word.c_str(), &end);
        if (end == word.c_str() || *end != '\0') {
            throw lines.Fail(EInputError::eFormat, which + " is not a number.");
        }
        if (errno == ERANGE && std::fabs(x) > 1.0) {
            throw lines.Fail(EInputError::eRange, which + " overflows a double.");
        }
        if (!std::isfinite(x) || x < 0.0) {
            throw lines.Fail(EInputError::eRange,
                             which + " is not a number of sites (finite and at least 0).");
        }
        v.push_back(errno == ERANGE ? 0.0 : x);
    }
    if (v.size() != n + 1) {
        throw lines.Fail(EInputError::eFormat, "has " + std::to_string(v.size()) +
                                                   " entries where " + std::to_string(n + 1) +
                                                   " are needed.");
    }
    SPoolSpectrum s;
    s.n = n;
    s.folded = folded;
    s.phi.assign(n + 1, 0.0);
    double total = 0.0;
    for (unsigned j = 0; j <= n; ++j) {
        double x = v[j];
        if (folded) {
            // Below the middle: the entry holds the pair; the middle its
            // own; above: the mirror's share.
            x = 2 * j < n ? 0.5 * v[j] : 2 * j == n ? v[j] : 0.5 * v[n - j];
        }
        s.phi[j] = x;
        total += x;
    }
    if (!std::isfinite(total)) {
        throw lines.Fail(EInputError::eRange, "the entries sum to more than a double holds.");
    }
    if (!(total > 0.0)) {
        throw lines.Fail(EInputError::eRange, "the entries sum to 0: no spectrum.");
    }
    for (double& x : s.phi) {
        x /= total;
    }
    return s;
}

void CheckPriorOnData(const CPoolSpectrumModel& model, const SPoolSpectrum& prior,
                      const std::string& path, hts_tpool* pool) {
    if (model.Sites() == 0) {
        return;
    }
    const SPoolFitResult r = model.Evaluate(prior, pool);
    if (r.impossibleSites == r.sites) {
        throw CInputError(
            EInputError::eRange, SInputWhere{path, 0, 0, "", 0},
            "the spectrum gives every one of the pool's " + std::to_string(r.sites) +
                " sites likelihood 0: its reads cannot come from it (a spectrum with only "
                "monomorphic sites?).");
    }
}
