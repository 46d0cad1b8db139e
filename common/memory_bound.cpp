#include "common/memory_bound.hpp"

#include <sys/resource.h>
#include <sys/sysinfo.h>

#include <cstdio>
#include <limits>

SMemoryBound MemoryBound(bool withSwap) {
    SMemoryBound bound{std::numeric_limits<std::uint64_t>::max(), "no known limit"};
    struct sysinfo info {};
    if (sysinfo(&info) == 0) {
        const std::uint64_t ram = static_cast<std::uint64_t>(info.totalram) * info.mem_unit;
        const std::uint64_t swap = static_cast<std::uint64_t>(info.totalswap) * info.mem_unit;
        bound = withSwap ? SMemoryBound{ram + swap, "the machine's physical memory and swap"}
                         : SMemoryBound{ram, "the machine's physical memory"};
    }
    const struct {
        int resource;
        const char* what;
    } limits[] = {
        {RLIMIT_AS, "the address-space limit of the process (ulimit -v)"},
        {RLIMIT_DATA, "the data limit of the process (ulimit -d)"},
    };
    for (const auto& l : limits) {
        rlimit limit{};
        if (getrlimit(l.resource, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
            limit.rlim_cur < bound.m_Bytes) {
            bound = SMemoryBound{static_cast<std::uint64_t>(limit.rlim_cur), l.what};
        }
    }
    return bound;
}

std::string ByteSize(double bytes) {
    char text[48];
    if (bytes < 1024) {
        std::snprintf(text, sizeof text, "%.0f B", bytes);
        return text;
    }
    const char* units[] = {"KiB", "MiB", "GiB", "TiB", "PiB"};
    int unit = 0;
    bytes /= 1024;
    while (unit < 4 && bytes >= 1024) {
        bytes /= 1024;
        ++unit;
    }
    std::snprintf(text, sizeof text, "%.1f %s", bytes, units[unit]);
    return text;
}
