#pragma once
// Helpers shared by the estimator's tests: capturing the standard error
// stream, the message of a thrown std::runtime_error, and deterministic
// little data sets.

#include <cstdint>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "estimator/qscores.hpp"

namespace testutil {

using C = CQScoreColumn;
using Q = std::vector<std::uint8_t>;

// Redirects std::cerr into a string for the lifetime of the object.
class CCerrCapture {
  public:
    CCerrCapture() : m_Old(std::cerr.rdbuf(m_Text.rdbuf())) {}
    ~CCerrCapture() { std::cerr.rdbuf(m_Old); }
    CCerrCapture(const CCerrCapture&) = delete;
    CCerrCapture& operator=(const CCerrCapture&) = delete;
    std::string Text() const { return m_Text.str(); }

  private:
    std::ostringstream m_Text;
    std::streambuf* m_Old;
};

// The message of the std::runtime_error that f throws ("" if none).
template <class F>
std::string RuntimeMessage(F f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

// A site without flags; table is the stored table text ("" computes it).
inline std::unique_ptr<C> Site(int pos, const C::TScores& scores, const std::string& table = "",
                               bool useAll = false) {
    return std::make_unique<C>(pos, scores, table, useAll, nullptr);
}

// Two reads of score 30: a large theta gives the growth model a negative
// probability of no minor copy inside its range check, and this site then
// a NaN log-likelihood.
inline std::unique_ptr<C> NaNProneSite() {
    return Site(99, {Q{30, 30}, {}, {}, {}});
}

// A 2000-read site of scores 2..40, every 50th read minor: deep enough that
// binomial coefficients overflow and rows are skipped as too big.
inline C::TScores DeepScores() {
    C::TScores s;
    for (int r = 0; r < 2000; ++r) {
        s[r % 50 == 0 ? C::eMinor : C::eMajor].push_back(static_cast<std::uint8_t>(2 + r % 39));
    }
    return s;
}

// Appends count deterministic sites, built in the data set's folding mode:
// depths 10..19, scores 20..40; every fourth site has 1 .. depth / 2 minor
// reads.
inline void AddSites(CQScores& data, int count) {
    unsigned state = 777;
    auto next = [&state](unsigned mod) {
        state = state * 1103515245u + 12345u;
        return (state >> 16) % mod;
    };
    for (int s = 0; s < count; ++s) {
        C::TScores scores;
        const unsigned depth = 10 + next(10);
        const unsigned minor = s % 4 == 0 ? 1 + next(depth / 2) : 0;
        for (unsigned r = 0; r < depth; ++r) {
            scores[r < minor ? C::eMinor : C::eMajor].push_back(
                static_cast<std::uint8_t>(20 + next(21)));
        }
        data.AddColumn(Site(s, scores, "", data.GetUseAll()));
    }
}

}  // namespace testutil
