#pragma once
// What the spectrum files of one pool (pool_spectrum_file.hpp) and of a pair
// of pools (fst/spectrum_file.hpp) share, in the text format dadi and moments
// load (Gutenkunst et al. 2009, "frequency spectrum file format"): entries
// written with every digit, comment lines, and the lines that hold something
// read with the line number their errors name.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>

#include "base/input_error.hpp"

// An entry with every digit a double needs (%.17g), so that a spectrum read
// back as a prior is the one written; "0" for zero.
std::string FsEntry(double v);

// Each line of comment as a comment line ("# " and the line).
void WriteFsComment(std::ostream& out, const std::string& comment);

// The lines of a spectrum file that hold something: blank lines and lines
// whose first word starts with '#' are passed over.
class CFsLines {
  public:
    // in is open; path names the file in errors.
    CFsLines(std::istream& in, std::string path) : m_In(in), m_Path(std::move(path)) {}

    // The next line that holds something, into Line(); false at the end.
    bool Next();
    const std::string& Line() const { return m_Line; }
    // The error of kind naming the file and the line read last.
    CInputError Fail(EInputError kind, const std::string& what) const;

  private:
    std::istream& m_In;
    std::string m_Path;
    std::string m_Line;
    std::uint64_t m_LineNo = 0;
};
