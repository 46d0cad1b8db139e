#include "base/params.hpp"

#include <sstream>

unsigned int CountGivenParams(const TParamVector& params) {
    unsigned int count = 0;
    for (const auto& param : params) {
        if (param.second) {
            ++count;
        }
    }
    return count;
}

std::string FormatParamString(const TParamVector& params) {
    std::string text;
    const unsigned int count = CountGivenParams(params);
    for (unsigned int i = 0; i < count && i < params.size(); ++i) {
        std::ostringstream out;
        out << params[i].first;
        text += out.str();
        text += ' ';
    }
    return text;
}
