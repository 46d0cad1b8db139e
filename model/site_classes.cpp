#include "model/site_classes.hpp"

TBaseClasses ClassifyBases(const TBaseCounts& counts, int refBase) {
    if (refBase < 0 || refBase > 3) {
        refBase = 0;
        for (int b = 1; b < 4; ++b) {
            if (counts[b] > counts[refBase]) {
                refBase = b;
            }
        }
    }
    TBaseClasses classes{};
    classes[refBase] = 0;
    // Rank the other bases: a base gets class 1 + the number of other
    // non-reference bases ahead of it (more reads, or as many and earlier).
    for (int b = 0; b < 4; ++b) {
        if (b == refBase) {
            continue;
        }
        int ahead = 0;
        for (int o = 0; o < 4; ++o) {
            if (o != refBase && o != b &&
                (counts[o] > counts[b] || (counts[o] == counts[b] && o < b))) {
                ++ahead;
            }
        }
        classes[b] = 1 + ahead;
    }
    return classes;
}

int BaseIndexOfLetter(char c) {
    switch (c) {
        case 'A':
        case 'a':
            return 0;
        case 'C':
        case 'c':
            return 1;
        case 'G':
        case 'g':
            return 2;
        case 'T':
        case 't':
            return 3;
        default:
            return -1;
    }
}
