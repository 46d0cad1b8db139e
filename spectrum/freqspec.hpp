#pragma once
// Frequency-spectrum models: the probability that `numMinor` of `depth`
// sampled copies carry the minor allele, optionally folded, memoised per
// (depth, numMinor). Concrete models: CFSNeutral and CFSGrowth.

#include <string>
#include <vector>

#include "base/params.hpp"
#include "spectrum/memotable.hpp"

class CFreqSpectrum {
  public:
    CFreqSpectrum() = default;
    virtual ~CFreqSpectrum() = default;

    // Model name as written to the XML `dist` attribute.
    virtual std::string GetName() const = 0;
    // New heap copy of the same concrete class; the caller owns it.
    virtual CFreqSpectrum* Clone() const = 0;
    // True when the current parameters lie outside the model's domain.
    virtual bool ParamsOutOfRange() const { return false; }

    // Value of entry n, given or not. Requires n < number of entries.
    double GetParam(unsigned int n) const;
    // Grows the vector to n+1 entries, marks entry n given, empties the memo
    // table and returns the value for the caller to assign.
    double& SetParam(unsigned int n);
    // Reads a parameter string: white-space separated numbers, parameter 0
    // first; reading stops silently at the first token that is not a number.
    void SetParams(const std::string& text);
    // Replaces the whole vector (size and flags) and empties the memo table.
    void SetParams(const TParamVector& params);
    const TParamVector& GetParams() const { return m_Params; }
    // Number of entries whose given flag is set.
    unsigned int GetNumParams() const;
    // Parameter string of entries 0..GetNumParams()-1, each value in default
    // stream format followed by one blank.
    std::string GetParamString() const;

    void SetFolded(bool folded);
    bool IsFolded() const { return m_Folded; }
    void ClearCache() { m_Cache.Clear(); }

    // (Possibly folded) probability of numMinor minor copies among depth,
    // for 0 <= numMinor <= depth; memoised.
    double operator()(int numMinor, int depth) const;

  protected:
    CFreqSpectrum(const CFreqSpectrum&) = default;
    CFreqSpectrum& operator=(const CFreqSpectrum&) = delete;

    // Unfolded probability for 0 <= numMinor < depth.
    virtual double x_UnfoldedProb(int numMinor, int depth) const = 0;

    bool m_Folded = true;
    TParamVector m_Params;
    mutable CMemoTable<2> m_Cache;
};

// Constant-size neutral population: theta (1 - p) / k for k >= 1.
// Parameters: 0 theta (default 0.01), 1 optional p.
class CFSNeutral : public CFreqSpectrum {
  public:
    CFSNeutral();
    std::string GetName() const override { return "Neutral"; }
    CFreqSpectrum* Clone() const override { return new CFSNeutral(*this); }
    bool ParamsOutOfRange() const override;

  protected:
    double x_UnfoldedProb(int numMinor, int depth) const override;

  private:
    // True when the optional parameter 1 is present and given.
    bool x_HasP() const;
};

// Exponential growth at rate g (Polanski-Kimmel expected spectrum).
// Parameters: 0 theta (default 0.01), 1 g (default 0.05).
class CFSGrowth : public CFreqSpectrum {
  public:
    CFSGrowth();
    std::string GetName() const override { return "Growth"; }
    CFreqSpectrum* Clone() const override { return new CFSGrowth(*this); }
    bool ParamsOutOfRange() const override;

  private:
    friend struct CFSGrowthProbe;  // tests reach x_ExpTime

    // Scaled expected time with k lineages, e^x E1(x), x = C(k,2)/g.
    double x_ExpTime(int k) const;

    double x_UnfoldedProb(int numMinor, int depth) const override;

    // Growth rate as the formulas use it: g, or 1e-10 when g is not positive.
    double x_Rate() const;
    // T(2..n) for the current rate, computed once per rate and depth range.
    const std::vector<double>& x_Times(int n) const;

    // T(k) at index k for the rate m_TimesRate (0 while nothing is stored).
    mutable std::vector<double> m_Times;
    mutable double m_TimesRate = 0.0;

    // What every value of one depth shares, kept for the depth last asked:
    // c(j, n), the recurrence factors with A = a[j] (n - 2i) and B = b[j],
    // and S = sum_j T(j) c(j, n) for the rate sRate. The likelihood asks for
    // all counts of a depth in a row, so a row costs O(n) instead of O(n^2).
    struct SDepthRow {
        int depth = -1;
        std::vector<double> c, a, b;
        double sRate = 0.0;
        double s = 0.0;
    };
    const SDepthRow& x_DepthRow(int n) const;
    mutable SDepthRow m_Row;
};
