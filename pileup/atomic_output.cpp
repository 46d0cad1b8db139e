#include "pileup/atomic_output.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

std::string Reason() {
    return std::strerror(errno);
}

}  // namespace

CAtomicOutputFile::CAtomicOutputFile(const std::string& path) : m_Path(path) {
    struct stat st;
    bool direct = ::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
    if (!direct) {
        std::vector<char> name(path.begin(), path.end());
        const char suffix[] = ".tmpXXXXXX";
        name.insert(name.end(), suffix, suffix + sizeof suffix);
        int fd = ::mkstemp(name.data());
        if (fd < 0) {
            throw std::runtime_error("Cannot create '" + path + "': " + Reason() + ".");
        }
        // mkstemp makes the file private; give it the mode a new file gets.
        mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
        ::close(fd);
        m_TempPath = name.data();
    }
    m_Stream.open(direct ? m_Path : m_TempPath, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!m_Stream) {
        int err = errno;
        if (!m_TempPath.empty()) {
            std::remove(m_TempPath.c_str());
        }
        throw std::runtime_error("Cannot open '" + path + "': " + std::strerror(err) + ".");
    }
}

CAtomicOutputFile::~CAtomicOutputFile() {
    if (!m_Committed && !m_TempPath.empty()) {
        m_Stream.close();
        std::remove(m_TempPath.c_str());
    }
}

void CAtomicOutputFile::Commit() {
    m_Stream.close();
    if (m_Stream.fail()) {
        throw std::runtime_error("Cannot write '" + m_Path + "'.");
    }
    if (!m_TempPath.empty() && std::rename(m_TempPath.c_str(), m_Path.c_str()) != 0) {
        throw std::runtime_error("Cannot write '" + m_Path + "': " + Reason() + ".");
    }
    m_Committed = true;
}
