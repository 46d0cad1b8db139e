#include "io/bed.hpp"

#include <htslib/bgzf.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_set>

#include "base/input_error.hpp"
#include "base/whole_number.hpp"
#include "common/bgzf_stream.hpp"
#include "common/kstring.hpp"

namespace {

// Coordinates up to 2^62: any contig, and the end of an interval plus one
// without overflow.
constexpr std::uint64_t kMaxCoordinate = std::uint64_t(1) << 62;

struct SBgzfClose {
    void operator()(BGZF* f) const { bgzf_close(f); }
};

bool IsSpace(char c) {
    return c == ' ' || c == '\t';
}

// The next field of [p, end), skipping the separators before it.
std::string NextField(const char*& p, const char* end) {
    while (p < end && IsSpace(*p)) {
        ++p;
    }
    const char* start = p;
    while (p < end && !IsSpace(*p)) {
        ++p;
    }
    return std::string(start, p);
}

bool StartsWith(const char* p, const char* end, const char* word) {
    const std::size_t n = std::strlen(word);
    return static_cast<std::size_t>(end - p) >= n && std::memcmp(p, word, n) == 0 &&
           (static_cast<std::size_t>(end - p) == n || IsSpace(p[n]));
}

}  // namespace

CBedFile::CBedFile(const std::string& path, ELines lines) : m_Path(path) {
    errno = 0;
    // bgzf reads plain, gzip and bgzip files alike.
    std::unique_ptr<BGZF, SBgzfClose> file(bgzf_open(path.c_str(), "r"));
    if (!file) {
        throw CannotOpen(path, errno);
    }
    CBgzfEnd end;
    end.Start(file.get());
    CKString line;
    std::uint64_t number = 0;
    for (;;) {
        const int r = bgzf_getline(file.get(), '\n', line.get());
        if (r == -1) {
            if (end.Missing(file.get())) {
                throw CInputError(EInputError::eTruncated, {path, number, 0, "", 0},
                                  "the BGZF intervals end without BGZF's end-of-file block after "
                                  "this line: the file is truncated.");
            }
            break;
        }
        ++number;
        const SInputWhere at{path, number, 0, "", 0};
        if (r < -1) {
            throw CInputError(EInputError::eDamaged, at,
                              "cannot be read: the file is truncated or corrupt.");
        }
        const char* p = line.data();
        const char* end = line.data() + line.size();
        if (end > p && end[-1] == '\r') {
            --end;
        }
        const char* first = p;
        while (first < end && IsSpace(*first)) {
            ++first;
        }
        if (first == end || *first == '#' || StartsWith(first, end, "track") ||
            StartsWith(first, end, "browser")) {
            continue;
        }
        const std::string chrom = NextField(p, end);
        const std::string fields[2] = {NextField(p, end), NextField(p, end)};
        if (fields[1].empty()) {
            throw CInputError(EInputError::eFormat, at,
                              "expected a contig, a start and an end (0-based, half-open), "
                              "separated by tabs or spaces.");
        }
        std::int64_t v[2];
        for (int i = 0; i < 2; ++i) {
            std::uint64_t value = 0;
            if (!ParseWholeNumber(fields[i], kMaxCoordinate, value)) {
                throw CInputError(EInputError::eRange, at,
                                  std::string("the ") + (i == 0 ? "start" : "end") + " '" +
                                      fields[i] + "' is not a whole number from 0 to " +
                                      std::to_string(kMaxCoordinate) + ".");
            }
            v[i] = static_cast<std::int64_t>(value);
        }
        if (v[0] > v[1]) {
            throw CInputError(EInputError::eRange, at,
                              "the start " + fields[0] + " is after the end " + fields[1] + ".");
        }
        auto [it, isNew] = m_Intervals.try_emplace(chrom);
        if (isNew) {
            m_Order.push_back(chrom);
        }
        if (v[0] < v[1]) {
            if (lines == ELines::eKeep && !it->second.empty() && v[0] < it->second.back().m_Beg) {
                // Windows come out in order of their starts: a file in
                // another order would have its rows reordered.
                throw OutOfOrder({path, number, 0, chrom, v[0] + 1}, chrom,
                                 it->second.back().m_Beg + 1,
                                 "the lines of a contig must come in order of their starts "
                                 "(sort -k1,1 -k2,2n)");
            }
            it->second.push_back(SBedInterval{v[0], v[1]});
        }
    }
    if (lines == ELines::eKeep) {
        return;
    }
    for (auto& [chrom, list] : m_Intervals) {
        std::sort(list.begin(), list.end(),
                  [](const SBedInterval& a, const SBedInterval& b) { return a.m_Beg < b.m_Beg; });
        std::size_t out = 0;
        for (const SBedInterval& iv : list) {
            if (out > 0 && iv.m_Beg <= list[out - 1].m_End) {
                list[out - 1].m_End = std::max(list[out - 1].m_End, iv.m_End);
            } else {
                list[out++] = iv;
            }
        }
        list.resize(out);
    }
}

const std::vector<SBedInterval>* CBedFile::Intervals(const std::string& contig) const {
    const auto it = m_Intervals.find(contig);
    return it == m_Intervals.end() ? nullptr : &it->second;
}

void CBedFile::CheckContigs(const std::vector<std::string>& known, const std::string& what) const {
    const std::unordered_set<std::string> names(known.begin(), known.end());
    for (const std::string& c : m_Order) {
        if (names.count(c) == 0) {
            throw CInputError(EInputError::eUnknown, {m_Path, 0, 0, c, 0},
                              "names the contig '" + c + "', which " + what + ".");
        }
    }
}

CWindowPolicy BedWindowPolicy(const CBedFile& bed, std::function<std::string(int)> contigName) {
    struct SCache {
        std::vector<std::vector<SWindowRange>> m_Ranges;
        std::vector<char> m_Known;
    };
    auto cache = std::make_shared<SCache>();
    return CWindowPolicy::Ranges([&bed, cache, contigName](int contig) {
        const std::size_t c = static_cast<std::size_t>(contig);
        if (c >= cache->m_Ranges.size()) {
            cache->m_Ranges.resize(c + 1);
            cache->m_Known.resize(c + 1, 0);
        }
        if (!cache->m_Known[c]) {
            cache->m_Known[c] = 1;
            if (const auto* lines = bed.Intervals(contigName(contig))) {
                for (const SBedInterval& iv : *lines) {
                    cache->m_Ranges[c].push_back(SWindowRange{iv.m_Beg, iv.m_End});
                }
            }
        }
        return &cache->m_Ranges[c];
    });
}
