#include "pileup/samples.hpp"

#include <htslib/kstring.h>

#include <cstdlib>

#include "base/input_error.hpp"

namespace {

bool EndsWith(const std::string& s, const std::string& end) {
    return s.size() > end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// A tag of the header's read group at pos, or "" without it.
std::string ReadGroupTag(const sam_hdr_t* hdr, int pos, const char* key) {
    // htslib looks up without changing the header, but asks for a mutable one.
    sam_hdr_t* h = const_cast<sam_hdr_t*>(hdr);
    kstring_t ks = KS_INITIALIZE;
    std::string value;
    if (sam_hdr_find_tag_pos(h, "RG", pos, key, &ks) == 0) {
        value.assign(ks.s, ks.l);
    }
    ks_free(&ks);
    return value;
}

}  // namespace

std::string SampleOfFile(const std::string& path) {
    if (path == "-") {
        return "standard input";
    }
    std::string name = path.substr(path.rfind('/') + 1);
    for (const char* packed : {".gz", ".bgz"}) {
        if (EndsWith(name, packed)) {
            name.resize(name.size() - std::string(packed).size());
        }
    }
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) {
        name.resize(dot);
    }
    return name;
}

SSamples FindSamples(const std::vector<std::string>& paths,
                     const std::vector<const sam_hdr_t*>& headers) {
    SSamples samples;
    std::unordered_map<std::string, int> index;
    auto sampleIndex = [&](const std::string& name, const std::string& path) {
        auto it = index.find(name);
        if (it != index.end()) {
            return it->second;
        }
        if (samples.m_Names.size() == kMaxSamples) {
            throw CInputError(EInputError::eRange, SInputWhere{path, 0, 0, "", 0},
                              "the inputs name more than " + std::to_string(kMaxSamples) +
                                  " samples (SM of their read groups).");
        }
        const int i = static_cast<int>(samples.m_Names.size());
        samples.m_Names.push_back(name);
        index.emplace(name, i);
        return i;
    };
    for (std::size_t f = 0; f < paths.size(); ++f) {
        SFileSamples file;
        const int groups = sam_hdr_count_lines(const_cast<sam_hdr_t*>(headers[f]), "RG");
        samples.m_ReadGroups = samples.m_ReadGroups || groups > 0;
        int only = -1;
        bool several = false;
        for (int g = 0; g < groups; ++g) {
            const std::string sm = ReadGroupTag(headers[f], g, "SM");
            const int s = sampleIndex(sm.empty() ? SampleOfFile(paths[f]) : sm, paths[f]);
            file.m_ByReadGroup[ReadGroupTag(headers[f], g, "ID")] = s;
            several = several || (only >= 0 && s != only);
            only = s;
        }
        if (groups <= 0) {
            only = sampleIndex(SampleOfFile(paths[f]), paths[f]);
        }
        if (several) {
            file.m_Only = -1;
        } else {
            file.m_Only = only;
            file.m_ByReadGroup.clear();
        }
        samples.m_Files.push_back(std::move(file));
    }
    return samples;
}

SSamples SheetSamples(const std::vector<std::string>& names, const std::vector<int>& fileSample) {
    SSamples samples;
    samples.m_Names = names;
    samples.m_ReadGroups = true;  // named by the sheet, as read groups would
    for (const int s : fileSample) {
        SFileSamples file;
        file.m_Only = s;
        samples.m_Files.push_back(std::move(file));
    }
    return samples;
}
