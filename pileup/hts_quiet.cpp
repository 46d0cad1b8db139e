#include "pileup/hts_quiet.hpp"

#include <cstdio>
#include <mutex>

namespace {

thread_local bool t_Quiet = false;

std::mutex g_Mutex;
int g_Users = 0;
std::FILE* g_Original = nullptr;
// Made once and never closed: a thread may still hold it after the filter
// is removed.
std::FILE* g_Filter = nullptr;

ssize_t FilterWrite(void*, const char* buf, size_t size) {
    if (t_Quiet || size == 0) {
        return static_cast<ssize_t>(size);
    }
    return static_cast<ssize_t>(std::fwrite(buf, 1, size, g_Original));
}

}  // namespace

CHtsStderrFilter::CHtsStderrFilter() {
    std::lock_guard<std::mutex> lock(g_Mutex);
    if (g_Users++ > 0) {
        return;
    }
    if (!g_Filter) {
        cookie_io_functions_t io{};
        io.write = FilterWrite;
        g_Filter = fopencookie(nullptr, "w", io);
        if (!g_Filter) {
            return;  // out of memory: htslib's lines then reach standard error
        }
        // Unbuffered like standard error: every write passes at once, in
        // one piece, on the thread that made it.
        std::setvbuf(g_Filter, nullptr, _IONBF, 0);
    }
    g_Original = stderr;
    stderr = g_Filter;
}

CHtsStderrFilter::~CHtsStderrFilter() {
    std::lock_guard<std::mutex> lock(g_Mutex);
    if (--g_Users == 0 && g_Filter && stderr == g_Filter) {
        stderr = g_Original;
    }
}

CQuietHts::CQuietHts() : m_WasQuiet(t_Quiet) {
    t_Quiet = true;
}

CQuietHts::~CQuietHts() {
    t_Quiet = m_WasQuiet;
}
