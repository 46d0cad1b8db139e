#pragma once
// Output file that never leaves a half-written file behind: an existing or
// new regular file is written to a temporary file beside it and renamed into
// place by Commit(). Symbolic links are followed, so the file they lead to is
// replaced, not the link. Written directly instead: a device or a pipe, a
// name of an open descriptor (/dev/stdout, /dev/fd/N, /proc/self/fd/N), and a
// file in a directory where no temporary file can be made.

#include <fstream>
#include <string>

class CSafeOutputFile {
  public:
    // Opens path for writing; on failure stream() is not good().
    explicit CSafeOutputFile(const std::string& path);
    // Removes the temporary file unless Commit() succeeded.
    ~CSafeOutputFile();
    CSafeOutputFile(const CSafeOutputFile&) = delete;
    CSafeOutputFile& operator=(const CSafeOutputFile&) = delete;

    std::ostream& stream() { return m_Stream; }
    // Flushes and closes, then renames the temporary file over path. Throws
    // std::runtime_error naming the file when any write or the rename failed.
    void Commit();

  private:
    std::string m_Path;
    std::string m_TempPath;  // empty when writing directly
    std::string m_Target;    // the file that Commit() replaces
    std::ofstream m_Stream;
    bool m_Committed = false;
};
