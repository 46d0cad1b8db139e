#pragma once
// One site of a data set: the reads covering it (8-bit quality score and base
// class per read, optional known-error flag) and its observation table
// m_PrObservedCond[t] = P(observed read classes | t reads truly minor).

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace xmlpp {
class Element;
}
class CFreqSpectrum;

// Dense distribution over the contiguous integer range m_First..m_Last.
struct CProbDist {
    CProbDist() = default;
    // Range first..last, every entry 0.0.
    CProbDist(int first, int last);

    double& operator[](int v) { return m_Probs[v - m_First]; }
    double operator[](int v) const { return m_Probs[v - m_First]; }
    std::size_t size() const { return m_Probs.size(); }

    int m_First = 0;
    int m_Last = -1;
    std::vector<double> m_Probs;
};

class CQScoreColumn {
  public:
    enum EWhichScores { eMajor = 0, eMinor = 1, eOther1 = 2, eOther2 = 3, eAll = 4 };
    using TScores = std::array<std::vector<std::uint8_t>, 4>;
    using TErrors = std::array<std::vector<bool>, 4>;

    // Builds a site. A non-empty prObsText is the stored table (read as is,
    // classes untouched); otherwise the reads are regrouped (folded use:
    // the largest class becomes class 0; classes 2 and 3 join class 1) and
    // the table is computed. Throws "CProbDist serialization corrupted!".
    CQScoreColumn(int pos, const TScores& scores, const std::string& prObsText, bool useAll,
                  const TErrors* errors);

    unsigned GetDepth(EWhichScores w) const;
    // 10^(-q/10) of read i of class w (of the whole column for eAll).
    double GetErrProb(unsigned int i, EWhichScores w) const;
    // Known-error flag of read i of class w; throws for eAll.
    bool GetErrTruth(unsigned int i, EWhichScores w) const;

    // Sum over j of T[j] * spectrum(j, depth).
    double GetSiteProb(const CFreqSpectrum& spectrum) const;
    // Posterior probability that the true minor count is numMinor.
    double GetPostProb(int numMinor, const CFreqSpectrum& spectrum) const;

    // Appends this site as a Column element to parent.
    void WriteXML(xmlpp::Element* parent, bool useAll) const;

    int m_Pos;
    TScores m_Scores;
    TErrors m_Errors;
    CProbDist m_PrObservedCond;

  private:
    friend struct CQScoreColumnProbe;  // tests reach x_CalcErrCountDist

    // Distribution of the number of erroneous reads among class w, over
    // 0..GetDepth(w), with qualfit's row rules (obstable.hpp).
    void x_CalcErrCountDist(EWhichScores w, CProbDist& out) const;
    void x_CalcPrObservedCond();
};
