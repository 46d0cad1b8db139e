#include "base/input_error.hpp"

#include <cstring>
#include <utility>

namespace {

std::string Message(const SInputWhere& where, const std::string& what) {
    const std::string at = FormatWhere(where);
    return at.empty() ? what : at + ": " + what;
}

}  // namespace

CInputError::CInputError(EInputError kind, SInputWhere where, const std::string& what)
    : std::runtime_error(Message(where, what)),
      m_Kind(kind),
      m_Where(std::move(where)),
      m_What(what) {}

std::string InputName(const std::string& path) {
    return path == "-" ? std::string("standard input") : "'" + path + "'";
}

std::string FormatWhere(const SInputWhere& where) {
    std::string s;
    auto add = [&s](const std::string& part) {
        if (!s.empty()) {
            s += ", ";
        }
        s += part;
    };
    if (!where.m_File.empty()) {
        add(InputName(where.m_File));
    }
    if (where.m_Line > 0) {
        add("line " + std::to_string(where.m_Line));
    }
    if (where.m_Record > 0) {
        add("record " + std::to_string(where.m_Record));
    }
    if (!where.m_Contig.empty()) {
        add(where.m_Pos > 0 ? where.m_Contig + ":" + std::to_string(where.m_Pos)
                            : "contig " + where.m_Contig);
    } else if (where.m_Pos > 0) {
        add("position " + std::to_string(where.m_Pos));
    }
    return s;
}

CInputError OutOfOrder(SInputWhere where, const std::string& previousContig,
                       std::int64_t previousPos, const std::string& rule) {
    const std::string before = previousContig.empty()
                                   ? "position " + std::to_string(previousPos)
                                   : previousContig + ":" + std::to_string(previousPos);
    return CInputError(EInputError::eOrder, std::move(where),
                       "comes after " + before + "; " + rule + ".");
}

CInputError Placed(const CInputError& e, const SInputWhere& fill) {
    SInputWhere where = e.Where();
    if (where.m_File.empty()) {
        where.m_File = fill.m_File;
    }
    if (where.m_Line == 0 && where.m_Record == 0) {
        where.m_Line = fill.m_Line;
        where.m_Record = fill.m_Record;
    }
    if (where.m_Contig.empty()) {
        where.m_Contig = fill.m_Contig;
    }
    if (where.m_Pos == 0) {
        where.m_Pos = fill.m_Pos;
    }
    return CInputError(e.Kind(), std::move(where), e.What());
}

namespace {

// name with every control character shown as '?', cut at 40 characters.
std::string Shown(const std::string& name) {
    std::string shown;
    for (const char d : name.substr(0, 40)) {
        const unsigned char v = static_cast<unsigned char>(d);
        shown += v < 0x20 || v == 0x7f ? '?' : d;
    }
    return "'" + shown + (name.size() > 40 ? "...'" : "'");
}

// What the first control character of name is, or null for none.
const char* ControlCharacter(const std::string& name) {
    for (const char c : name) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f) {
            return c == '\t'   ? "a TAB"
                   : c == '\n' ? "a line break"
                   : c == '\r' ? "a carriage return"
                   : c == '\0' ? "a NUL byte"
                               : "a control character";
        }
    }
    return nullptr;
}

}  // namespace

std::string ContigNameFault(const std::string& name) {
    if (name.empty()) {
        return "an empty contig name";
    }
    if (const char* what = ControlCharacter(name)) {
        return "the contig name " + Shown(name) + " holds " + what +
               ", which would break the columns of a table";
    }
    return "";
}

std::string SampleNameFault(const std::string& name) {
    if (name.empty()) {
        return "an empty name";
    }
    if (const char* what = ControlCharacter(name)) {
        return "the name " + Shown(name) + " holds " + what +
               ", which would break the columns and lines of a table and cut file names short";
    }
    if (name.find_first_of("'\"") != std::string::npos) {
        return "the name " + Shown(name) +
               " holds a quote, which would break the quoted labels of a spectrum file";
    }
    return "";
}

CInputError CannotOpen(const std::string& path, int err) {
    SInputWhere where;
    where.m_File = path;
    return CInputError(EInputError::eOpen, where,
                       std::string("cannot be opened: ") +
                           (err != 0 ? std::strerror(err) : "unknown error") + ".");
}
