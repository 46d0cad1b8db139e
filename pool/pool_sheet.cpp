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
    int nameCol = -1, sizeCol = -1, filesCol = -1;
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
            for (std::size_t i = 0; i < fields.size(); ++i) {
                const std::string f = Trim(fields[i]);
                int* col = f == "name"    ? &nameCol
                           : f == "size"  ? &sizeCol
                           : f == "files" ? &filesCol
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
            if (nameCol < 0 || sizeCol < 0 || filesCol < 0) {
                throw CInputError(EInputError::eFormat, where,
                                  "the header must name the tab-separated columns name, size "
                                  "and files.");
            }
            continue;
        }
        const std::size_t need =
            static_cast<std::size_t>(std::max(nameCol, std::max(sizeCol, filesCol))) + 1;
        if (fields.size() < need) {
            throw CInputError(EInputError::eFormat, where,
                              "has " + std::to_string(fields.size()) +
                                  " fields where the header has " + std::to_string(need) +
                                  " (are they separated by tabs?).");
        }
        SPoolSpec pool;
        pool.m_Name = Trim(fields[static_cast<std::size_t>(nameCol)]);
        if (const std::string fault = SampleNameFault(pool.m_Name); !fault.empty()) {
            throw CInputError(EInputError::eFormat, where,
                              fault + ": a pool's name must not hold one.");
        }
        if (pool.m_Name.find_first_of(" /") != std::string::npos) {
            throw CInputError(
                EInputError::eFormat, where,
                "the name '" + pool.m_Name + "' is not one word (no blanks or slashes).");
        }
        if (const auto it = seen.find(pool.m_Name); it != seen.end()) {
            throw CInputError(EInputError::eFormat, where,
                              "the pool '" + pool.m_Name + "' was already named on line " +
                                  std::to_string(it->second) + ".");
        }
        seen[pool.m_Name] = lineNo;
        const std::string size = Trim(fields[static_cast<std::size_t>(sizeCol)]);
        unsigned long long v = 0;
        bool ok = !size.empty() && size.size() <= 9;
        for (char c : size) {
            ok = ok && c >= '0' && c <= '9';
            v = v * 10 + static_cast<unsigned>(c - '0');
        }
        if (!ok || v < kMinPoolSize || v > kMaxPoolSize) {
            throw CInputError(EInputError::eRange, where,
                              "the size '" + size + "' of pool '" + pool.m_Name +
                                  "' is not a whole number of chromosomes from " +
                                  std::to_string(kMinPoolSize) + " to " +
                                  std::to_string(kMaxPoolSize) + ".");
        }
        pool.m_Size = static_cast<unsigned>(v);
        for (const std::string& f : SplitFiles(fields[static_cast<std::size_t>(filesCol)])) {
            pool.m_Files.push_back(f[0] == '/' ? f : dir + f);
        }
        if (pool.m_Files.empty()) {
            throw CInputError(EInputError::eFormat, where,
                              "the pool '" + pool.m_Name + "' names no files.");
        }
        pools.push_back(std::move(pool));
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
