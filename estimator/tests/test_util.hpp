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

// Shape of the sites AddSites makes: depths minDepth .. minDepth +
// depthSpan - 1, scores minScore .. minScore + scoreSpan - 1; every
// polymorphicEvery-th site carries 1 .. depth / 2 minor reads.
struct CSiteShape {
    unsigned seed;
    unsigned minDepth;
    unsigned depthSpan;
    unsigned minScore;
    unsigned scoreSpan;
    unsigned polymorphicEvery;
};

// Appends count deterministic sites, built in the data set's folding mode.
inline void AddSites(CQScores& data, int count, const CSiteShape& shape) {
    unsigned state = shape.seed;
    auto next = [&state](unsigned mod) {
        state = state * 1103515245u + 12345u;
        return (state >> 16) % mod;
    };
    for (int s = 0; s < count; ++s) {
        C::TScores scores;
        const unsigned depth = shape.minDepth + next(shape.depthSpan);
        const unsigned minor =
            s % static_cast<int>(shape.polymorphicEvery) == 0 ? 1 + next(depth / 2) : 0;
        for (unsigned r = 0; r < depth; ++r) {
            scores[r < minor ? C::eMinor : C::eMajor].push_back(
                static_cast<std::uint8_t>(shape.minScore + next(shape.scoreSpan)));
        }
        data.AddColumn(std::make_unique<C>(s, scores, "", data.GetUseAll(), nullptr));
    }
}

}  // namespace testutil
