#include "pool/fs_text.hpp"

#include <cstdio>
#include <istream>
#include <ostream>
#include <sstream>

std::string FsEntry(double v) {
    if (v == 0.0) {
        return "0";
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.17g", v);
    return buffer;
}

void WriteFsComment(std::ostream& out, const std::string& comment) {
    std::istringstream lines(comment);
    std::string line;
    while (std::getline(lines, line)) {
        out << "# " << line << '\n';
    }
}

bool CFsLines::Next() {
    while (std::getline(m_In, m_Line)) {
        ++m_LineNo;
        const std::size_t b = m_Line.find_first_not_of(" \t\r");
        if (b != std::string::npos && m_Line[b] != '#') {
            return true;
        }
    }
    return false;
}

CInputError CFsLines::Fail(EInputError kind, const std::string& what) const {
    return CInputError(kind, SInputWhere{m_Path, m_LineNo, 0, "", 0}, what);
}
