#include "io/bed.hpp"

#include <htslib/bgzf.h>
#include <htslib/kstring.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace {

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

CBedFile::CBedFile(const std::string& path) : m_Path(path) {
    const std::string name = "'" + path + "'";
    errno = 0;
    // bgzf reads plain, gzip and bgzip files alike.
    std::unique_ptr<BGZF, SBgzfClose> file(bgzf_open(path.c_str(), "r"));
    if (!file) {
        throw std::runtime_error("Cannot open " + name + ": " +
                                 (errno ? std::strerror(errno) : "unknown error") + ".");
    }
    kstring_t line = {0, 0, nullptr};
    struct SFree {
        kstring_t* s;
        ~SFree() { std::free(s->s); }
    } freeLine{&line};
    std::uint64_t number = 0;
    for (;;) {
        const int r = bgzf_getline(file.get(), '\n', &line);
        if (r == -1) {
            break;
        }
        ++number;
        const std::string at = name + ", line " + std::to_string(number) + ": ";
        if (r < -1) {
            throw std::runtime_error(at + "cannot be read: the file is truncated or corrupt.");
        }
        const char* p = line.s;
        const char* end = line.s + line.l;
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
            throw std::runtime_error(at +
                                     "expected a contig, a start and an end (0-based, "
                                     "half-open), separated by tabs or spaces.");
        }
        std::int64_t v[2];
        for (int i = 0; i < 2; ++i) {
            const std::string& f = fields[i];
            const bool digits = f.size() <= 18 && std::all_of(f.begin(), f.end(), [](char c) {
                                    return c >= '0' && c <= '9';
                                });
            if (!digits) {
                throw std::runtime_error(at + "the " + (i == 0 ? "start" : "end") + " '" + f +
                                         "' is not a whole number from 0.");
            }
            v[i] = std::strtoll(f.c_str(), nullptr, 10);
        }
        if (v[0] > v[1]) {
            throw std::runtime_error(at + "the start " + fields[0] + " is after the end " +
                                     fields[1] + ".");
        }
        auto [it, isNew] = m_Intervals.try_emplace(chrom);
        if (isNew) {
            m_Order.push_back(chrom);
        }
        if (v[0] < v[1]) {
            it->second.push_back(SBedInterval{v[0], v[1]});
        }
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
    for (const std::string& c : m_Order) {
        if (std::find(known.begin(), known.end(), c) == known.end()) {
            throw std::runtime_error("'" + m_Path + "' names the contig '" + c + "', which " +
                                     what + ".");
        }
    }
}
