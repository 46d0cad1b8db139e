#include "common/table_format.hpp"

#include <cmath>
#include <cstdio>

std::string FormatNumber(double v) {
    if (std::isnan(v)) {
        return "NA";
    }
    if (std::isinf(v)) {
        return v > 0 ? "inf" : "-inf";
    }
    char buffer[40];
    const int n = std::snprintf(buffer, sizeof buffer, "%.10g", v);
    return std::string(buffer, static_cast<std::size_t>(n));
}
