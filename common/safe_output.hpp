#pragma once
// Output file that never leaves a half-written file behind: an existing or
// new regular file is written to a temporary file beside it and renamed into
// place by Commit(). Symbolic links are followed, so the file they lead to is
// replaced, not the link. Written directly instead: a device or a pipe, a
// name of an open descriptor (/dev/stdout, /dev/fd/N, /proc/self/fd/N), and a
// file in a directory where no temporary file can be made.

#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

class CSafeOutputFile {
  public:
    // Opens path for writing; on failure stream() is not good(). Throws
    // std::runtime_error naming the file when the temporary file cannot be
    // given the permissions (or, with privileges, the owner) it must carry.
    explicit CSafeOutputFile(const std::string& path);
    // Removes the temporary file unless Commit() succeeded.
    ~CSafeOutputFile();
    CSafeOutputFile(const CSafeOutputFile&) = delete;
    CSafeOutputFile& operator=(const CSafeOutputFile&) = delete;

    std::ostream& stream() { return m_Stream; }
    // Throws std::runtime_error "Cannot open 'path' for writing: reason."
    // when the file could not be opened.
    void CheckOpen() const;
    // Flushes, closes and syncs the temporary file to the disk, renames it
    // over path and syncs the directory, so that after a crash the name holds
    // either the old file or the whole new one. Throws std::runtime_error
    // naming the file when any write, the sync or the rename failed.
    void Commit();

  private:
    // Opens the stream on file, keeping the system's reason for a failure.
    void x_Open(const std::string& file);
    // Removes the temporary file and throws what, with errno's message.
    [[noreturn]] void x_Abandon(const std::string& what);

    std::string m_Path;
    std::string m_TempPath;  // empty when writing directly
    std::string m_Target;    // the file that Commit() replaces
    int m_Fd = -1;           // the temporary file, open until Commit()
    std::ofstream m_Stream;
    bool m_Committed = false;
    int m_OpenErrno = 0;  // why the stream could not be opened, if known
};

// Where a program's table or other text output goes: a file named by the
// user, written through CSafeOutputFile (replaced only when complete), or
// a stream the program gives (standard output) for "" and "-".
class COutputTarget {
  public:
    // Opens path; throws std::runtime_error naming it when it cannot be
    // opened.
    COutputTarget(const std::string& path, std::ostream& fallback);
    std::ostream& Stream() { return *m_Stream; }
    // Renames the file into place, or flushes the stream; throws naming the
    // output when that fails.
    void Commit();

  private:
    std::unique_ptr<CSafeOutputFile> m_File;
    std::ostream* m_Stream = nullptr;
    std::string m_Name;
};

// Throws std::runtime_error when two outputs, or an output and an input, are
// the same file: the same name, one existing regular file reached by both
// (links followed), or one file still to be made however spelled ("t.tsv",
// "./d/../t.tsv", a link to it). An input's companions (CompanionFiles: its
// index, which htslib reads beside it and may make) count as inputs too.
// outputs pairs each name with what it is ("the table"); "" and "-"
// (standard output) are left out.
void CheckOutputsDistinct(const std::vector<std::pair<std::string, std::string>>& outputs,
                          const std::vector<std::string>& inputs);

// The files an input brings with it, which a run reads or htslib makes
// beside it: a FASTA's index (.fai) and a bgzipped FASTA's (.gzi), an
// alignment file's index (.bai, .csi, .crai, after the whole name or in
// place of its extension, as samtools looks for them), a bgzipped text's
// (.tbi, .csi). Names only: whether they exist is not asked.
std::vector<std::string> CompanionFiles(const std::string& input);

// Throws CInputError (eMismatch) naming both when two of the inputs are one
// file however spelled ("a.bam" and "./a.bam", a link to it: the same
// device and inode), which a run would read twice, every read counted twice.
// "-" and names of files that do not exist are left to the readers.
void CheckInputsDistinct(const std::vector<std::string>& inputs);

// The message for a write to the output name that failed: "Cannot write
// 'name': reason." with err, the errno value of the failed write, or
// "Cannot write 'name'." when err is 0 (the cause is not known).
std::string WriteFailure(const std::string& name, int err);
