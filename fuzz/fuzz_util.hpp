#pragma once
// What the fuzz targets share: a check whose failure is a finding, a quiet
// warning sink, and a scratch directory for readers that only take files.

#include <dirent.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "base/warnings.hpp"

namespace fuzz {

// A property the input broke: libFuzzer records the input as a crash.
[[noreturn]] inline void Finding(const std::string& what) {
    std::fprintf(stderr, "fuzz finding: %s\n", what.c_str());
    std::abort();
}

inline void Check(bool ok, const std::string& what) {
    if (!ok) {
        Finding(what);
    }
}

// Warnings are what bad input legitimately produces; printing each would
// only slow the run down.
inline void SilenceWarnings() {
    SetWarningSink([](const std::string&) {});
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
