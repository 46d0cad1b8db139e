#pragma once
// One error type for every reader of outside input (data sets, pileup text,
// summary files, BED intervals, alignments, sample sheets). It carries where
// the fault is, in the terms a user can look up, and what kind of fault it
// is, so that programs and tests can tell faults apart without parsing
// messages. The message is built from the parts in one wording:
//
//   'reads.pileup', line 12, chr2:1045: comes after chr2:2001; the pileup
//   must be sorted by position.
//
// Positions in messages are always 1-based.

#include <cstdint>
#include <stdexcept>
#include <string>

enum class EInputError {
    eOpen,       // cannot be opened or read at all (the system's reason follows)
    eFormat,     // not the format expected, or text that does not parse
    eRange,      // a value outside what the format allows
    eOrder,      // sites or records not in genome order, or a position twice
    eTruncated,  // the input ends too early (missing end marker, cut record)
    eDamaged,    // a checksum, count or length that does not match
    eMismatch,   // inputs that must agree do not (references, settings, samples)
    eUnknown,    // a name that is not known (contig, sample, setting)
};

// Where a fault is; empty or zero parts are left out of the message.
struct SInputWhere {
    std::string m_File;          // the input as the user named it ("-": standard input)
    std::uint64_t m_Line = 0;    // 1-based line of a text input, or 0
    std::uint64_t m_Record = 0;  // 1-based record of a binary input, or 0
    std::string m_Contig;        // contig of the fault, or empty
    std::int64_t m_Pos = 0;      // 1-based position on the contig, or 0
};

class CInputError : public std::runtime_error {
  public:
    CInputError(EInputError kind, SInputWhere where, const std::string& what);

    EInputError Kind() const { return m_Kind; }
    const SInputWhere& Where() const { return m_Where; }
    // The message without the place (what was passed in).
    const std::string& What() const { return m_What; }

  private:
    EInputError m_Kind;
    SInputWhere m_Where;
    std::string m_What;
};

// The input's name as messages show it: 'path', or "standard input" for "-".
std::string InputName(const std::string& path);

// "'file', line 3, chr1:17" for where (only the parts it has).
std::string FormatWhere(const SInputWhere& where);

// The error for a site or record that does not follow the one before it:
// names both, 1-based. rule says what the input must be ("the sites must be
// in genome order, each position once").
CInputError OutOfOrder(SInputWhere where, const std::string& previousContig,
                       std::int64_t previousPos, const std::string& rule);

// e with the parts of the place it lacks taken from fill: for a fault found
// where the file and the contig's name are not known (the engine checks a
// site's table by its position only), placed by a caller that knows them.
CInputError Placed(const CInputError& e, const SInputWhere& fill);

// Why name cannot name a contig in the tables the programs write: empty, or
// holding a control character (TAB, a line break) that would break their
// columns and lines. Empty when it can.
std::string ContigNameFault(const std::string& name);

// Why name cannot name a pool or a sample: empty, holding a control
// character (TAB, a line break, CR, NUL), which would break the columns and
// lines of a table or cut a file name short, or a quote (' or "), which
// would break the quoted labels of a spectrum file and the messages that
// quote names. Every pool and sample name is checked, wherever it comes
// from: a sheet, a file name, a read group's SM, an option. Empty when it
// can.
std::string SampleNameFault(const std::string& name);

// The error for an input that cannot be opened: the system's reason for
// errno err (0: unknown).
CInputError CannotOpen(const std::string& path, int err);
