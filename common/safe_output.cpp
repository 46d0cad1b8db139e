#include "common/safe_output.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace {

std::string Directory(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

mode_t CurrentUmask() {
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// The file that path names, through any symbolic links; path itself when it
// does not resolve (a new file).
std::string Target(const std::string& path) {
    std::string target = path;
    if (char* resolved = realpath(path.c_str(), nullptr)) {
        target = resolved;
        std::free(resolved);
    }
    return target;
}

}  // namespace

CSafeOutputFile::CSafeOutputFile(const std::string& path) : m_Path(path) {
    // Write through symbolic links: the file a link points to is replaced,
    // never the link itself (as root, replacing /dev/stdout with a regular
    // file would break every later program). A link into /proc, such as
    // /dev/stdout -> /proc/self/fd/1, names an open descriptor, which is
    // written directly whatever it refers to.
    const std::string target = Target(path);
    struct stat st;
    bool exists = stat(target.c_str(), &st) == 0;
    if (target.compare(0, 6, "/proc/") == 0 || (exists && !S_ISREG(st.st_mode))) {
        // A device or a pipe (/dev/stdout, a FIFO): nothing to replace.
        m_Stream.open(path, std::ios::out | std::ios::trunc);
        return;
    }

    std::string pattern = Directory(target) + "/.qualtmp.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        m_Stream.setstate(std::ios::failbit);  // the caller reports the stream
        return;
    }
    // The replacement keeps the old file's permissions; a new file gets the
    // usual 0666 less the umask instead of mkstemp's 0600.
    fchmod(fd, exists ? (st.st_mode & 07777) : (0666 & ~CurrentUmask()));
    close(fd);
    m_TempPath = name.data();
    m_Stream.open(m_TempPath, std::ios::out | std::ios::trunc);
}

CSafeOutputFile::~CSafeOutputFile() {
    if (!m_Committed && !m_TempPath.empty()) {
        m_Stream.close();
        std::remove(m_TempPath.c_str());
    }
}

void CSafeOutputFile::Commit() {
    m_Stream.flush();
    bool good = m_Stream.good();
    m_Stream.close();
    if (!good || m_Stream.fail()) {
        int err = errno;
        throw std::runtime_error("Cannot write '" + m_Path +
                                 "': " + (err ? std::strerror(err) : "write failed") + ".");
    }
    if (!m_TempPath.empty() && std::rename(m_TempPath.c_str(), Target(m_Path).c_str()) != 0) {
        int err = errno;
        throw std::runtime_error("Cannot replace '" + m_Path + "': " + std::strerror(err) + ".");
    }
    m_Committed = true;
}
