#include "common/safe_output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "base/input_error.hpp"

namespace {

// Symbolic links followed before giving up, as the kernel does (ELOOP).
const int kMaxLinks = 40;

std::string Directory(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool IsUnderProc(const std::string& path) {
    return path == "/proc" || path.compare(0, 6, "/proc/") == 0;
}

mode_t CurrentUmask() {
    mode_t mask = umask(0);
    umask(mask);
    return mask;
}

// Where a path leads once every symbolic link is followed.
struct SResolved {
    enum EKind {
        eFile,        // path names the file (existing or not) at `file`
        eDescriptor,  // the chain passes through /proc: an open descriptor
        eUnresolved   // a missing directory or a loop of links
    };
    EKind kind;
    std::string file;
};

// Follows the links one at a time, so that a link into /proc (/dev/stdout ->
// /proc/self/fd/1) is seen as such even when the descriptor behind it is a
// regular file, and a dangling link leads to the file it would create.
SResolved Resolve(const std::string& path) {
    std::string current = path;
    for (int links = 0; links <= kMaxLinks; ++links) {
        char* real = realpath(Directory(current).c_str(), nullptr);
        if (!real) {
            return {SResolved::eUnresolved, path};
        }
        const std::string dir = real;
        std::free(real);
        if (IsUnderProc(dir)) {
            return {SResolved::eDescriptor, path};
        }
        const std::string file = (dir == "/" ? "" : dir) + "/" + BaseName(current);
        struct stat st;
        if (lstat(file.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            return {SResolved::eFile, file};
        }
        std::vector<char> link(PATH_MAX);
        const ssize_t length = readlink(file.c_str(), link.data(), link.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= link.size()) {
            return {SResolved::eUnresolved, path};
        }
        const std::string next(link.data(), static_cast<std::size_t>(length));
        current = next[0] == '/' ? next : dir + "/" + next;
    }
    return {SResolved::eUnresolved, path};
}

}  // namespace

CSafeOutputFile::CSafeOutputFile(const std::string& path) : m_Path(path) {
    // Write through symbolic links: the file a link points to is replaced,
    // never the link itself (as root, replacing /dev/stdout with a regular
    // file would break every later program). A name of an open descriptor
    // (/dev/stdout, /dev/fd/3, /proc/self/fd/3) is written directly whatever
    // it refers to: replacing the file behind it would leave the descriptor
    // writing into a file that no longer has a name.
    const SResolved resolved = Resolve(path);
    if (resolved.kind != SResolved::eFile) {
        x_Open(path);  // fails for a bad path
        return;
    }
    struct stat st;
    const bool exists = stat(resolved.file.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        // A device or a pipe: nothing to replace.
        x_Open(path);
        return;
    }

    std::string pattern = Directory(resolved.file) + "/.qualtmp.XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) {
        // No file can be made beside the target (a directory without write
        // permission): write the target in place, as an ordinary program
        // would, rather than refuse a file that may well be writable.
        x_Open(path);
        return;
    }
    m_TempPath = name.data();
    m_Fd = fd;
    m_Target = resolved.file;
    // The replacement keeps the old file's owner and permissions, as
    // truncating it would; a new file gets the usual 0666 less the umask
    // instead of mkstemp's 0600. Changing the owner needs privileges: without
    // them (EPERM) the file is the writer's, as documented.
    if (exists && fchown(fd, st.st_uid, st.st_gid) != 0 && errno != EPERM) {
        x_Abandon("Cannot give the temporary file for '" + m_Path + "' its owner");
    }
    if (fchmod(fd, exists ? st.st_mode & 0777 : 0666 & ~CurrentUmask()) != 0) {
        x_Abandon("Cannot give the temporary file for '" + m_Path + "' its permissions");
    }
    // The descriptor stays open for the fsync in Commit().
    x_Open(m_TempPath);
}

void CSafeOutputFile::x_Open(const std::string& file) {
    errno = 0;
    m_Stream.open(file, std::ios::out | std::ios::trunc);
    m_OpenErrno = m_Stream.is_open() ? 0 : errno;
}

void CSafeOutputFile::CheckOpen() const {
    if (!m_Stream.is_open()) {
        throw std::runtime_error(
            "Cannot open '" + m_Path + "' for writing" +
            (m_OpenErrno ? std::string(": ") + std::strerror(m_OpenErrno) : std::string()) + ".");
    }
}

std::string WriteFailure(const std::string& name, int err) {
    return "Cannot write '" + name + "'" + (err ? std::string(": ") + std::strerror(err) : "") +
           ".";
}

void CSafeOutputFile::x_Abandon(const std::string& what) {
    const int err = errno;
    m_Stream.close();
    close(m_Fd);
    m_Fd = -1;
    std::remove(m_TempPath.c_str());
    m_TempPath.clear();
    throw std::runtime_error(what + ": " + std::strerror(err) + ".");
}

CSafeOutputFile::~CSafeOutputFile() {
    if (m_Fd >= 0) {
        close(m_Fd);
    }
    if (!m_Committed && !m_TempPath.empty()) {
        m_Stream.close();
        std::remove(m_TempPath.c_str());
    }
}

void CSafeOutputFile::Commit() {
    // errno names the cause only if it is set by the failing call: a stream
    // that failed earlier keeps the errno of its failed write.
    if (m_Stream.good()) {
        errno = 0;
    }
    m_Stream.flush();
    bool good = m_Stream.good();
    m_Stream.close();
    if (!good || m_Stream.fail()) {
        int err = errno;
        throw std::runtime_error("Cannot write '" + m_Path +
                                 "': " + (err ? std::strerror(err) : "write failed") + ".");
    }
    if (m_TempPath.empty()) {
        m_Committed = true;
        return;
    }
    // The data must reach the disk before the name points at it: otherwise
    // a crash soon after the rename can leave the target empty or partial,
    // the very thing the temporary file is there to prevent. A delayed
    // write error (a full disk, a quota, NFS) also shows here. EINVAL: the
    // file system cannot sync, and there is nothing to wait for.
    if (fsync(m_Fd) != 0 && errno != EINVAL) {
        int err = errno;
        throw std::runtime_error("Cannot write '" + m_Path + "': " + std::strerror(err) + ".");
    }
    const int fd = m_Fd;
    m_Fd = -1;
    if (close(fd) != 0) {
        int err = errno;
        throw std::runtime_error("Cannot write '" + m_Path + "': " + std::strerror(err) + ".");
    }
    if (std::rename(m_TempPath.c_str(), m_Target.c_str()) != 0) {
        int err = errno;
        throw std::runtime_error("Cannot replace '" + m_Path + "': " + std::strerror(err) + ".");
    }
    m_Committed = true;
    // The rename itself lasts through a crash only once the directory is on
    // disk. A directory that cannot be opened for reading cannot be synced,
    // and one whose file system cannot sync (EINVAL) needs nothing.
    const int dir = open(Directory(m_Target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        const bool synced = fsync(dir) == 0 || errno == EINVAL;
        const int err = errno;
        close(dir);
        if (!synced) {
            throw std::runtime_error("Cannot write '" + m_Path +
                                     "': its directory could not be synced: " + std::strerror(err) +
                                     ".");
        }
    }
}

COutputTarget::COutputTarget(const std::string& path, std::ostream& fallback) {
    if (path.empty() || path == "-") {
        m_Stream = &fallback;
        m_Name = "standard output";
        return;
    }
    m_File = std::make_unique<CSafeOutputFile>(path);
    m_File->CheckOpen();
    m_Stream = &m_File->stream();
    m_Name = path;
}

void COutputTarget::Commit() {
    if (m_File) {
        m_File->Commit();
    } else if (!m_Stream->flush()) {
        throw std::runtime_error("Cannot write " + m_Name + ".");
    }
}

namespace {

// Where a name leads, so that two spellings of one file compare equal: the
// device and inode of an existing regular file, or, for a file still to be
// made, the path CSafeOutputFile would create. "null" for the null device,
// which takes any number of outputs. Empty for anything else (a device, a
// pipe, a missing directory): such names compare as written.
std::string FileKey(const std::string& path) {
    struct stat st, null;
    if (::stat(path.c_str(), &st) == 0) {
        if (S_ISCHR(st.st_mode) && ::stat("/dev/null", &null) == 0 && st.st_rdev == null.st_rdev) {
            return "null";
        }
        return S_ISREG(st.st_mode)
                   ? "inode " + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino)
                   : std::string();
    }
    const SResolved resolved = Resolve(path);
    return resolved.kind == SResolved::eFile ? "path " + resolved.file : std::string();
}

}  // namespace

std::vector<std::string> CompanionFiles(const std::string& input) {
    if (input.empty() || input == "-") {
        return {};
    }
    std::vector<std::string> files;
    for (const char* ext : {".fai", ".gzi", ".bai", ".csi", ".crai", ".tbi"}) {
        files.push_back(input + ext);
    }
    const std::size_t slash = input.rfind('/');
    const std::size_t dot = input.rfind('.');
    if (dot != std::string::npos && dot > (slash == std::string::npos ? 0 : slash + 1)) {
        for (const char* ext : {".bai", ".csi", ".crai"}) {
            files.push_back(input.substr(0, dot) + ext);
        }
    }
    return files;
}

void CheckInputsDistinct(const std::vector<std::string>& inputs) {
    std::vector<std::pair<std::string, std::string>> seen;  // key, path
    for (const std::string& path : inputs) {
        struct stat st;
        if (path.empty() || path == "-" || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            continue;
        }
        const std::string key = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
        for (const auto& [k, first] : seen) {
            if (k == key) {
                throw CInputError(
                    EInputError::eMismatch, SInputWhere{path, 0, 0, "", 0},
                    (path == first ? std::string("is named twice")
                                   : "is the same file as " + InputName(first)) +
                        ": it would be read twice, every read counted twice; name each file "
                        "once.");
            }
        }
        seen.emplace_back(key, path);
    }
}

void CheckOutputsDistinct(const std::vector<std::pair<std::string, std::string>>& outputs,
                          const std::vector<std::string>& inputs) {
    struct SFile {
        std::string what, path, key;
    };
    std::vector<SFile> files;
    for (const auto& [what, path] : outputs) {
        if (!path.empty() && path != "-") {
            files.push_back(SFile{what, path, FileKey(path)});
        }
    }
    const std::size_t nOutputs = files.size();
    for (const std::string& path : inputs) {
        if (!path.empty() && path != "-") {
            files.push_back(SFile{"an input", path, FileKey(path)});
            for (const std::string& companion : CompanionFiles(path)) {
                files.push_back(
                    SFile{"the index of the input '" + path + "'", companion, FileKey(companion)});
            }
        }
    }
    for (std::size_t i = 0; i < nOutputs; ++i) {
        for (std::size_t k = i + 1; k < files.size(); ++k) {
            const SFile& a = files[i];
            const SFile& b = files[k];
            if (a.key == "null") {
                continue;
            }
            if (a.path == b.path) {
                throw std::runtime_error("'" + a.path + "' is named as " + a.what + " and as " +
                                         b.what + ": give each output its own file.");
            }
            if (!a.key.empty() && a.key == b.key) {
                throw std::runtime_error("'" + a.path + "' and '" + b.path +
                                         "' are one file, named as " + a.what + " and as " +
                                         b.what + ": give each output its own file.");
            }
        }
    }
}
