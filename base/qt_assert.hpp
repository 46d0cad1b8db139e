#pragma once
// Always-on check of an internal invariant. A failure names the condition and
// the enclosing function, then aborts: it marks a programming error, never a
// condition that user input can reach (input errors are exceptions).

#include <cstdio>
#include <cstdlib>

namespace qt_detail {
[[noreturn]] inline void AssertFail(const char* cond, const char* func, const char* file,
                                    int line) {
    std::fprintf(stderr, "%s:%d: Assertion `%s' failed in %s\n", file, line, cond, func);
    std::abort();
}
}  // namespace qt_detail

#define QT_ASSERT(cond)            \
    ((cond) ? static_cast<void>(0) \
            : qt_detail::AssertFail(#cond, __PRETTY_FUNCTION__, __FILE__, __LINE__))
