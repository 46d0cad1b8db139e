#pragma once
// Coalescent spectrum tables from an external program: the model "ms" of
// qualgen. The site table -- how many sites of which depth carry how many
// minor-allele reads -- is read from the standard output of
// "./ms2spectrum.pl", started through the shell in the working directory.

#include <cstdio>
#include <map>
#include <string>

#include "common/probdist.hpp"
#include "spectrum/freqspec.hpp"

// Depth -> list of (minor count, share of all sites) pairs, in the order the
// script printed them.
using TSpectrumTable = std::map<unsigned int, TProbDist>;

// Appends the records of a site table read from in (the format GetSpectrum
// describes) to table, without running anything, so the reader can be
// exercised on its own. `source` names the input in the error for a record
// cut short. Returns whether at least one record with n >= 1 was read.
bool ReadSpectrumTable(std::FILE* in, const std::string& source, TSpectrumTable& table);

// Parameters (no defaults; all come from -p): 0 theta (-t), 1 growth rate
// (-g), 2 recombination rate (-r). The probability operator answers 0.0:
// the generator uses GetSpectrum instead.
class CFSms : public CFreqSpectrum {
  public:
    CFSms() = default;
    std::string GetName() const override { return "m.s."; }
    CFreqSpectrum* Clone() const override { return new CFSms(*this); }

    // Throws std::runtime_error unless the three parameters are set.
    void CheckParams() const;

    // The shell command for numSites sites at the given mean depth:
    // "./ms2spectrum.pl -d <mean> -n <sites> -t <p0> -r <p2> -g <p1>".
    // Checks the parameters first.
    std::string GetCommand(int numSites, double meanDepth) const;

    // Runs the command and appends its records to table: each record is a
    // depth n followed by n shares; records with n < 1 carry no numbers and
    // are skipped; reading ends at the first token that is not an integer.
    // A record cut short is an error naming the command's output as
    // malformed. When sites were asked for and nothing usable came back, a
    // one-line warning on standard error names the command and its status.
    void GetSpectrum(int numSites, double meanDepth, TSpectrumTable& table) const;

  protected:
    double x_UnfoldedProb(int, int) const override { return 0.0; }
};
