#include "pool/pool_sheet.hpp"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <map>

#include "base/input_error.hpp"
#include "base/split.hpp"

namespace {

std::string Trim(const std::string& s) {
    const std::size_t b = s.find_first_not_of(" \r");
    if (b == std::string::npos) {
        return "";
    }
    return s.substr(b, s.find_last_not_of(" \r") - b + 1);
}

// Where the columns of a sheet are, from its header.
struct SSheetColumns {
    int m_Name = -1, m_Size = -1, m_Files = -1;
    // Fields a line needs to hold all three.
    std::size_t Needed() const {
        return static_cast<std::size_t>(std::max(m_Name, std::max(m_Size, m_Files))) + 1;
    }
};

// The header: name, size and files each once, in any order, among other
// columns.
SSheetColumns ParseSheetHeader(const std::vector<std::string>& fields, const SInputWhere& where) {
    SSheetColumns columns;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::string f = Trim(fields[i]);
        int* col = f == "name"    ? &columns.m_Name
                   : f == "size"  ? &columns.m_Size
                   : f == "files" ? &columns.m_Files
                                  : nullptr;
        if (!col) {
            continue;
        }
        if (*col >= 0) {
            throw CInputError(EInputError::eFormat, where,
                              "the header names the column '" + f + "' twice.");
        }
        *col = static_cast<int>(i);
    }
    if (columns.m_Name < 0 || columns.m_Size < 0 || columns.m_Files < 0) {
        throw CInputError(EInputError::eFormat, where,
                          "the header must name the tab-separated columns name, size and "
                          "files.");
    }
    return columns;
}

// A pool's name: one word that a sample name may be.
void CheckPoolName(const std::string& name, const SInputWhere& where) {
    if (const std::string fault = SampleNameFault(name); !fault.empty()) {
        throw CInputError(EInputError::eFormat, where,
                          fault + ": a pool's name must not hold one.");
    }
    if (name.find_first_of(" /") != std::string::npos) {
        throw CInputError(EInputError::eFormat, where,
                          "the name '" + name + "' is not one word (no blanks or slashes).");
    }
}

// A pool's size: a whole number of chromosomes from kMinPoolSize to
// kMaxPoolSize.
unsigned ParsePoolSize(const std::string& size, const std::string& pool, const SInputWhere& where) {
    unsigned long long v = 0;
    bool ok = !size.empty() && size.size() <= 9;
    for (char c : size) {
        ok = ok && c >= '0' && c <= '9';
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    if (!ok || v < kMinPoolSize || v > kMaxPoolSize) {
        throw CInputError(EInputError::eRange, where,
                          "the size '" + size + "' of pool '" + pool +
                              "' is not a whole number of chromosomes from " +
                              std::to_string(kMinPoolSize) + " to " + std::to_string(kMaxPoolSize) +
                              ".");
    }
    return static_cast<unsigned>(v);
}

// A line of a pool: its name (not one named on an earlier line, which seen
// maps to its line), size and files (relative ones under dir).
SPoolSpec ParsePoolLine(const std::vector<std::string>& fields, const SSheetColumns& columns,
                        const std::string& dir, std::map<std::string, std::uint64_t>& seen,
                        const SInputWhere& where) {
    const std::size_t need = columns.Needed();
    if (fields.size() < need) {
        throw CInputError(EInputError::eFormat, where,
                          "has " + std::to_string(fields.size()) + " fields where the header has " +
                              std::to_string(need) + " (are they separated by tabs?).");
    }
    SPoolSpec pool;
    pool.m_Name = Trim(fields[static_cast<std::size_t>(columns.m_Name)]);
    CheckPoolName(pool.m_Name, where);
    if (const auto it = seen.find(pool.m_Name); it != seen.end()) {
        throw CInputError(EInputError::eFormat, where,
                          "the pool '" + pool.m_Name + "' was already named on line " +
                              std::to_string(it->second) + ".");
    }
    seen[pool.m_Name] = where.m_Line;
    pool.m_Size =
        ParsePoolSize(Trim(fields[static_cast<std::size_t>(columns.m_Size)]), pool.m_Name, where);
    for (const std::string& f : SplitFiles(fields[static_cast<std::size_t>(columns.m_Files)])) {
        pool.m_Files.push_back(f[0] == '/' ? f : dir + f);
    }
    if (pool.m_Files.empty()) {
        throw CInputError(EInputError::eFormat, where,
                          "the pool '" + pool.m_Name + "' names no files.");
    }
    return pool;
}

}  // namespace

std::vector<std::string> SplitFiles(const std::string& list) {
    std::vector<std::string> files;
    for (const std::string& item : SplitAt(list, ',')) {
        const std::string f = Trim(item);
        if (!f.empty()) {
            files.push_back(f);
        }
    }
    return files;
}

std::vector<SPoolSpec> ReadPoolSheet(const std::string& path, std::size_t minPools,
                                     const std::string& program) {
    std::ifstream in(path);
    if (!in) {
        throw CInputError(EInputError::eOpen, SInputWhere{path, 0, 0, "", 0}, "cannot be opened.");
    }
    const std::size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::vector<SPoolSpec> pools;
    std::map<std::string, std::uint64_t> seen;
    SSheetColumns columns;
    std::string line;
    std::uint64_t lineNo = 0;
    bool header = false;
    while (std::getline(in, line)) {
        ++lineNo;
        const SInputWhere where{path, lineNo, 0, "", 0};
        if (Trim(line).empty() || line[0] == '#') {
            continue;
        }
        const std::vector<std::string> fields = SplitAt(line, '\t');
        if (!header) {
            header = true;
            columns = ParseSheetHeader(fields, where);
            continue;
        }
        pools.push_back(ParsePoolLine(fields, columns, dir, seen, where));
    }
    if (in.bad()) {
        throw CInputError(EInputError::eOpen, SInputWhere{path, 0, 0, "", 0}, "cannot be read.");
    }
    if (pools.size() < minPools) {
        throw CInputError(
            EInputError::eFormat, SInputWhere{path, 0, 0, "", 0},
            "names " + std::to_string(pools.size()) + (pools.size() == 1 ? " pool" : " pools") +
                ": " + program +
                (minPools == 1 ? " needs one or more."
                               : " compares " + std::to_string(minPools) + " or more."));
    }
    return pools;
}
