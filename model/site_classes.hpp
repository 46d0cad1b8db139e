#pragma once
// Which document class each base of a site belongs to.

#include <array>

// Bases are indexed 0..3 for A, C, G, T.
using TBaseCounts = std::array<unsigned, 4>;
using TBaseClasses = std::array<int, 4>;

// The class (0..3) of each base at a site with the given read counts per
// base. The reference base (refBase 0..3) is class 0; with refBase < 0 (no
// reference, or a reference base other than A, C, G, T) the most common base
// takes its place. Of the other three bases, the most common is class 1 (the
// minor allele), the next class 2, the last class 3. Every tie goes to the
// base that comes first in A, C, G, T order.
TBaseClasses ClassifyBases(const TBaseCounts& counts, int refBase);

// Base index 0..3 of a 4-bit BAM base code (A=1, C=2, G=4, T=8), or -1 for N
// and the other ambiguity codes.
inline int BaseIndexOfNt16(unsigned code) {
    static constexpr std::array<signed char, 16> kIndex = {-1, 0,  1,  -1, 2,  -1, -1, -1,
                                                           3,  -1, -1, -1, -1, -1, -1, -1};
    return kIndex[code & 15];
}

// Base index of a reference letter (either case), -1 for anything else.
int BaseIndexOfLetter(char c);
