#include "fst/spectrum_file.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <sstream>
#include <vector>

#include "base/input_error.hpp"
#include "pool/fs_text.hpp"

namespace {

// Where cell (j1, j2) lies against the fold: -1 below the middle, 0 on it,
// 1 above (masked when folded).
int Side(unsigned j1, unsigned j2, unsigned n1, unsigned n2) {
    const unsigned twice = 2 * (j1 + j2), total = n1 + n2;
    return twice < total ? -1 : twice == total ? 0 : 1;
}

}  // namespace

std::string SpectrumFileName(const std::string& prefix, const std::string& name1,
                             const std::string& name2) {
    std::string base = prefix;
    if (base.size() > 3 && base.compare(base.size() - 3, 3, ".fs") == 0) {
        base.erase(base.size() - 3);
    }
    return base + "." + name1 + "." + name2 + ".fs";
}

void WriteSpectrum(std::ostream& out, const SJointSpectrum& s, double sites,
                   const std::string& name1, const std::string& name2, const std::string& comment) {
    WriteFsComment(out, comment);
    out << s.n1 + 1 << ' ' << s.n2 + 1 << ' ' << (s.folded ? "folded" : "unfolded") << " \""
        << name1 << "\" \"" << name2 << "\"\n";
    std::string mask;
    for (unsigned j1 = 0; j1 <= s.n1; ++j1) {
        for (unsigned j2 = 0; j2 <= s.n2; ++j2) {
            double v = sites * s.At(j1, j2);
            bool masked = false;
            if (s.folded) {
                const int side = Side(j1, j2, s.n1, s.n2);
                const double mirror = sites * s.At(s.n1 - j1, s.n2 - j2);
                v = side < 0 ? v + mirror : side == 0 ? 0.5 * (v + mirror) : 0.0;
                masked = side > 0 || (j1 == 0 && j2 == 0);
            } else {
                masked = (j1 == 0 && j2 == 0) || (j1 == s.n1 && j2 == s.n2);
            }
            out << (j1 + j2 == 0 ? "" : " ") << FsEntry(v);
            mask += (j1 + j2 == 0 ? "" : " ");
            mask += masked ? '1' : '0';
        }
    }
    out << '\n' << mask << '\n';
}

namespace {

// The dimensions line: the pair's dimensions and folding, and whether the
// file is of the pair (name2, name1), to be read transposed.
bool ReadSpectrumHead(const CFsLines& lines, unsigned n1, unsigned n2, bool folded,
                      const std::string& name1, const std::string& name2) {
    std::istringstream head(lines.Line());
    long long d1 = 0, d2 = 0;
    std::string fold;
    head >> d1 >> d2 >> fold;
    if (!head || (fold != "folded" && fold != "unfolded")) {
        throw lines.Fail(EInputError::eFormat,
                         "expected the dimensions of a two-pool spectrum and \"folded\" or "
                         "\"unfolded\".");
    }
    // The labels, each in double quotes, if the file has them.
    std::vector<std::string> labels;
    for (std::string rest; std::getline(head, rest, '"');) {
        std::string label;
        if (!std::getline(head, label, '"')) {
            break;
        }
        labels.push_back(label);
    }
    bool transposed = false;
    if (labels.size() == 2 && (labels[0] != name1 || labels[1] != name2)) {
        transposed = labels[0] == name2 && labels[1] == name1 && name1 != name2;
        if (!transposed) {
            throw lines.Fail(EInputError::eMismatch,
                             "the spectrum is of the pools '" + labels[0] + "' and '" + labels[1] +
                                 "', not of the pair '" + name1 + "' and '" + name2 + "'.");
        }
    }
    const unsigned r1 = transposed ? n2 : n1, r2 = transposed ? n1 : n2;
    if (d1 != static_cast<long long>(r1) + 1 || d2 != static_cast<long long>(r2) + 1) {
        throw lines.Fail(EInputError::eMismatch,
                         "the spectrum is " + std::to_string(d1) + " x " + std::to_string(d2) +
                             ", but pools of " + std::to_string(r1) + " and " + std::to_string(r2) +
                             " chromosomes need " + std::to_string(r1 + 1) + " x " +
                             std::to_string(r2 + 1) + ".");
    }
    if ((fold == "folded") != folded) {
        throw lines.Fail(EInputError::eMismatch,
                         std::string("the spectrum is ") + fold + ", but this run's are " +
                             (folded ? "folded (no reference: -f)" : "unfolded (with -f)") + ".");
    }
    return transposed;
}

// The line of entries: cells numbers of sites, finite and not negative.
std::vector<double> ReadSpectrumEntries(const CFsLines& lines, std::size_t cells) {
    std::vector<double> v;
    v.reserve(cells);
    const char* p = lines.Line().c_str();
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == '\r') {
            ++p;
        }
        if (*p == '\0') {
            break;
        }
        char* end = nullptr;
        const double x = std::strtod(p, &end);
        if (end == p || !(x >= 0.0) || !std::isfinite(x)) {
            throw lines.Fail(EInputError::eFormat, "entry " + std::to_string(v.size() + 1) +
                                                       " is not a number of sites (finite, >= 0).");
        }
        v.push_back(x);
        p = end;
    }
    if (v.size() != cells) {
        throw lines.Fail(EInputError::eFormat, "has " + std::to_string(v.size()) +
                                                   " entries where " + std::to_string(cells) +
                                                   " are needed.");
    }
    return v;
}

// The entries v of the file as the run's spectrum of shares: transposed
// back, a folded file unfolded into a symmetric spectrum, over their sum.
SJointSpectrum SpectrumShares(const CFsLines& lines, const std::vector<double>& v, bool transposed,
                              unsigned n1, unsigned n2, bool folded) {
    // The file's cells in the run's order: (j1, j2) of the run is (j2, j1)
    // of a transposed file.
    auto at = [&](unsigned j1, unsigned j2) {
        return transposed ? v[j2 * (n1 + 1) + j1] : v[j1 * (n2 + 1) + j2];
    };
    SJointSpectrum s;
    s.n1 = n1;
    s.n2 = n2;
    s.folded = folded;
    s.phi.assign(v.size(), 0.0);
    double total = 0.0;
    for (unsigned j1 = 0; j1 <= n1; ++j1) {
        for (unsigned j2 = 0; j2 <= n2; ++j2) {
            double x = at(j1, j2);
            if (folded) {
                // dadi's fold: a cell below the middle holds its own count
                // and its mirror's, one on the middle line half of that sum
                // (so a file of dadi's has equal mirrored middle cells; one
                // that has not is read as their mean, keeping the pair's
                // total), one above is masked.
                const int side = Side(j1, j2, n1, n2);
                const double own = at(j1, j2), mirror = at(n1 - j1, n2 - j2);
                x = side < 0 ? 0.5 * own : side == 0 ? 0.5 * (own + mirror) : 0.5 * mirror;
            }
            s.phi[j1 * (n2 + 1) + j2] = x;
            total += x;
        }
    }
    if (!std::isfinite(total)) {
        throw lines.Fail(EInputError::eRange,
                         "the entries add up to more than a number can hold: give numbers of "
                         "sites (or shares), as --sfs writes them.");
    }
    if (!(s.phi[0] > 0.0) || !(total > 0.0)) {
        throw lines.Fail(EInputError::eRange,
                         "the spectrum has no monomorphic sites (its first entry is 0): a prior "
                         "needs every site's share, monomorphic ones too.");
    }
    for (double& x : s.phi) {
        x /= total;
    }
    return s;
}

}  // namespace

SJointSpectrum ReadSpectrum(const std::string& path, unsigned n1, unsigned n2, bool folded,
                            const std::string& name1, const std::string& name2) {
    std::ifstream in(path);
    if (!in) {
        throw CInputError(EInputError::eOpen, SInputWhere{path, 0, 0, "", 0}, "cannot be opened.");
    }
    CFsLines lines(in, path);
    if (!lines.Next()) {
        throw lines.Fail(EInputError::eTruncated, "holds no spectrum.");
    }
    const bool transposed = ReadSpectrumHead(lines, n1, n2, folded, name1, name2);
    if (!lines.Next()) {
        throw lines.Fail(EInputError::eTruncated, "the line of entries is missing.");
    }
    const std::size_t cells = static_cast<std::size_t>(n1 + 1) * (n2 + 1);
    const std::vector<double> v = ReadSpectrumEntries(lines, cells);
    return SpectrumShares(lines, v, transposed, n1, n2, folded);
}
