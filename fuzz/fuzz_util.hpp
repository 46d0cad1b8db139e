#pragma once
// What the fuzz targets share: a check whose failure is a finding, a quiet
// warning sink, a watch on standard error, and a scratch directory for
// readers that only take files.

#include <dirent.h>
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "base/warnings.hpp"

namespace fuzz {

// Standard error as it was when the target started. The targets send
// standard error elsewhere while library code runs (ExpectSilentStderr), so
// findings and sanitizer reports go here.
inline int ReportFd() {
    static const int fd = ::dup(2);
    return fd;
}

// A property the input broke: libFuzzer records the input as a crash.
[[noreturn]] inline void Finding(const std::string& what) {
    ::dprintf(ReportFd(), "fuzz finding: %s\n", what.c_str());
    std::abort();
}

inline void Check(bool ok, const std::string& what) {
    if (!ok) {
        Finding(what);
    }
}

// For LLVMFuzzerInitialize of every target. Warnings are what bad input
// legitimately produces; printing each would only slow the run down.
inline void Init() {
    SetWarningSink([](const std::string&) {});
    __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<std::intptr_t>(ReportFd())));
}

// Runs body with standard error going to a scratch file. Library code
// prints nothing (warnings go through the sink), so whatever lands there --
// an htslib or glib message, a stray std::cerr line -- is a finding.
// Sanitizer reports keep going to the real standard error; libFuzzer's own
// lines about a crash, a timeout or too much memory reach it only with
// -close_fd_mask=2, which scripts/fuzz passes.
template <typename TBody>
void ExpectSilentStderr(TBody body) {
    static const int capture = [] {
        const char* tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/qt-fuzz-stderr-XXXXXX";
        const int fd = ::mkstemp(templ.data());
        if (fd < 0) {
            Finding("cannot create a file for standard error under " + templ);
        }
        ::unlink(templ.c_str());
        return fd;
    }();
    if (::ftruncate(capture, 0) != 0 || ::lseek(capture, 0, SEEK_SET) != 0) {
        Finding("cannot empty the file for standard error");
    }
    std::fflush(stderr);
    const int saved = ::dup(2);
    ::dup2(capture, 2);
    struct SRestore {
        int saved;
        ~SRestore() {
            std::fflush(stderr);
            ::dup2(saved, 2);
            ::close(saved);
        }
    };
    {
        SRestore restore{saved};
        body();
    }
    char text[512];
    const ssize_t n = ::pread(capture, text, sizeof text, 0);
    if (n > 0) {
        Finding("the library wrote to standard error: '" +
                std::string(text, static_cast<std::size_t>(n)) + "'");
    }
}

inline std::string AsString(const std::uint8_t* data, std::size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// One directory per process under $TMPDIR, emptied and removed at exit.
class CScratchDir {
  public:
    CScratchDir() {
        const char* tmp = std::getenv("TMPDIR");
        std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/qt-fuzz-XXXXXX";
        if (!::mkdtemp(templ.data())) {
            Finding("cannot create a scratch directory under " + templ);
        }
        m_Path = templ;
    }
    ~CScratchDir() {
        if (DIR* dir = ::opendir(m_Path.c_str())) {
            while (const dirent* e = ::readdir(dir)) {
                const std::string name = e->d_name;
                if (name != "." && name != "..") {
                    ::unlink((m_Path + "/" + name).c_str());
                }
            }
            ::closedir(dir);
        }
        ::rmdir(m_Path.c_str());
    }
    CScratchDir(const CScratchDir&) = delete;
    CScratchDir& operator=(const CScratchDir&) = delete;

    std::string operator/(const std::string& name) const { return m_Path + "/" + name; }

    // Replaces the file name with bytes; returns its path.
    std::string Write(const std::string& name, const std::string& bytes) const {
        const std::string path = *this / name;
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
        out.close();
        if (!out) {
            Finding("cannot write the scratch file " + path);
        }
        return path;
    }

    void Remove(const std::string& name) const { ::unlink((*this / name).c_str()); }

  private:
    std::string m_Path;
};

}  // namespace fuzz
