#pragma once
// The simulator's discrete distribution: an ordered list of (value,
// probability) pairs over non-negative integers, read from text files of
// white-space separated pairs and drawn from by a cumulative walk.
//
// Pairs keep their file order and their probabilities as read: nothing
// sorts, merges or normalises them.

#include <istream>
#include <string>
#include <utility>
#include <vector>

using TProbDist = std::vector<std::pair<unsigned int, double>>;

// The two process-wide distributions of qualgen: quality score of one read
// and number of reads covering one site. Empty until LoadDistributions.
extern TProbDist g_ScoreDist;
extern TProbDist g_DepthDist;

// Appends the pairs of one distribution file to dist. Reading takes an
// unsigned value, then a double, and stops as soon as the stream is no
// longer good -- end of file included, so a last pair not followed by a
// white-space character is dropped, and so is an unpaired value. The first
// token that is not a number ends the reading silently.
void ReadDistribution(std::istream& in, TProbDist& dist);

// Appends scoreIn to g_ScoreDist, then depthIn to g_DepthDist.
void LoadDistributions(std::istream& scoreIn, std::istream& depthIn);

// The value of the first pair whose cumulative probability reaches u; the
// last pair when u exceeds the total. `name` describes the distribution for
// the error raised when it is empty ("Cannot draw a value: the <name> is
// empty.").
unsigned int DrawFromDist(const TProbDist& dist, double u, const std::string& name);

// Sum of value x probability, not divided by the total probability; 0 for an
// empty list.
double MeanOfDist(const TProbDist& dist);
