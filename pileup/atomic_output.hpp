#pragma once
// An output file that is replaced only by a complete document: a regular file
// (existing or new) is written to a temporary file beside it and renamed over
// it by Commit(); anything else that exists (a device such as /dev/null, a
// pipe) is written directly.

#include <fstream>
#include <string>

class CAtomicOutputFile {
  public:
    // Opens path for writing; throws std::runtime_error naming path when it
    // cannot.
    explicit CAtomicOutputFile(const std::string& path);
    // Removes the temporary file unless Commit() succeeded.
    ~CAtomicOutputFile();
    CAtomicOutputFile(const CAtomicOutputFile&) = delete;
    CAtomicOutputFile& operator=(const CAtomicOutputFile&) = delete;

    std::ostream& stream() { return m_Stream; }
    // Closes the stream and renames the temporary file over path; throws
    // std::runtime_error naming path when a write or the rename failed.
    void Commit();

  private:
    std::string m_Path;
    std::string m_TempPath;  // empty when writing directly
    std::ofstream m_Stream;
    bool m_Committed = false;
};
