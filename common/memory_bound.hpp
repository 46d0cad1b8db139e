#pragma once
// The memory a run can count on, so that a program can refuse, before it
// allocates, a run that cannot fit, and say why.

#include <cstdint>
#include <string>

struct SMemoryBound {
    std::uint64_t m_Bytes = 0;
    // What sets it, for messages: "the machine's physical memory", "the
    // address-space limit of the process (ulimit -v)", ...
    std::string m_What;
};

// The least of the machine's physical memory (and its swap, with withSwap)
// and the process's limits on its address space (RLIMIT_AS) and data
// (RLIMIT_DATA).
SMemoryBound MemoryBound(bool withSwap);

// "512 B", "3.0 KiB", "1.5 GiB", "12.0 TiB".
std::string ByteSize(double bytes);
