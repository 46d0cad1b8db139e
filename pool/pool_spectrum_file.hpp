#pragma once
// One pool's spectrum as a file in the text format dadi and moments load
// (Gutenkunst et al. 2009, "frequency spectrum file format"): comment lines
// starting with '#', a line with the size n + 1, "folded" or "unfolded" and
// the pool's name in quotes, a line with the n + 1 entries, and a line with
// the mask (1: masked).
//
// Entries are expected numbers of sites: the shares times the sites.
// Unfolded, entries 0 and n (monomorphic) are masked, as dadi masks them.
// Folded, entry j < n/2 holds its own count and its mirror's (n - j), the
// middle entry (n even, j = n/2) its own, entries above the middle are 0
// and masked and so is entry 0, as dadi folds a spectrum.

#include <iosfwd>
#include <string>

#include "pool/pool_spectrum.hpp"

struct hts_tpool;

// Writes sites times the shares of spectrum; comment's lines become '#'
// lines.
void WritePoolSpectrum(std::ostream& out, const SPoolSpectrum& spectrum, double sites,
                       const std::string& name, const std::string& comment);

// Reads a spectrum written by WritePoolSpectrum (or by dadi) for a pool of
// n chromosomes, folded or not as the run is, as shares (the entries over
// their sum; a folded file is unfolded into a symmetric spectrum). The mask
// line is not read: every entry counts. Throws CInputError naming the
// file and the line: eMismatch for another size or number of pools or the
// other folding; eFormat for a missing, extra or non-numeric entry; eRange
// for a negative, infinite or overflowing entry, or entries that sum to 0
// (or to more than a double holds); eTruncated for no spectrum at all.
SPoolSpectrum ReadPoolSpectrum(const std::string& path, unsigned n, bool folded);

// Refuses a prior read from path that gives every site of the model's pool
// likelihood 0 (CInputError eRange naming the file): the data cannot come
// from it. A prior that leaves some sites possible passes; the others are
// the model's impossible sites. One pass over the sites.
void CheckPriorOnData(const CPoolSpectrumModel& model, const SPoolSpectrum& prior,
                      const std::string& path, hts_tpool* pool);
