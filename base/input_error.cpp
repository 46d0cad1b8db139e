#include "base/input_error.hpp"

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
