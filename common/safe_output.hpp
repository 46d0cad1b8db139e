#pragma once
// Output file that never leaves a half-written file behind: an existing or
// new regular file is written to a temporary file beside it and renamed into
// place by Commit(); anything else (a device, a pipe) is written directly.

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
    std::ofstream m_Stream;
    bool m_Committed = false;
};
