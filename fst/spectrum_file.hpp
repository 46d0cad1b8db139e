#pragma once
// Joint spectra as files in the text format dadi and moments load (Gutenkunst
// et al. 2009, "frequency spectrum file format"): comment lines starting with
// '#', a line with the dimensions (n1 + 1, n2 + 1), "folded" or "unfolded"
// and the population labels in quotes, a line with every entry in row-major
// order (pool 1's count slowest), and a line with the mask (1: masked).
//
// Entries are expected numbers of sites. Unfolded, the corners (both pools
// monomorphic) are masked, as dadi masks them. Folded, each cell holds its
// own count and its mirror's (j1, j2) <-> (n1 - j1, n2 - j2) when
// j1 + j2 < (n1 + n2) / 2, the cells with j1 + j2 = (n1 + n2) / 2 hold half
// of that sum, and the cells above are masked, as dadi folds a spectrum.

#include <iosfwd>
#include <string>

#include "fst/joint_fit.hpp"

// The file of a pair: FILE (without a trailing ".fs") + ".NAME1.NAME2.fs".
std::string SpectrumFileName(const std::string& prefix, const std::string& name1,
                             const std::string& name2);

// Writes sites times the shares of spectrum.
void WriteSpectrum(std::ostream& out, const SJointSpectrum& spectrum, double sites,
                   const std::string& name1, const std::string& name2, const std::string& comment);

// Reads a spectrum written by WriteSpectrum (or by dadi) for the pair
// name1 (n1 chromosomes) and name2 (n2), folded or not as the run is, as
// shares (the entries over their sum; a folded file is unfolded into a
// symmetric spectrum). Masks are read and ignored: every entry counts, the
// corners too. Labels in the dimensions line are compared with the names:
// a file of the pair (name2, name1) is read transposed, so that a square
// spectrum is never taken the wrong way round. Throws CInputError naming
// the file and the line: other dimensions, the other folding, labels of
// other pools, a missing, negative, non-numeric or non-finite entry,
// entries whose sum is no finite number, no monomorphic sites.
SJointSpectrum ReadSpectrum(const std::string& path, unsigned n1, unsigned n2, bool folded,
                            const std::string& name1, const std::string& name2);
