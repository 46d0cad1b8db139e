#include "io/input_options.hpp"

#include <algorithm>

#include "common/options.hpp"
#include "pileup/pileup_options.hpp"

const std::vector<SInputOptionRule>& AlignmentOptionRules() {
    static const std::vector<SInputOptionRule> rules = {
        {'r', true, false, false, false,
         "a region is read through the index of alignments; give the positions with "
         "--regions-file BED"},
        {'f', true, false, false, false,
         "pileup text carries its reference base and a data set its ancestral class"},
        {'q', true, false, false, true,
         "it holds no mapping qualities; filter the reads where it is made (samtools mpileup -q)"},
        {kSkipFlagsOption, true, false, false, true,
         "it holds no flags; filter the reads where it is made (samtools mpileup --ff)"},
        {kInclFlagsOption, true, false, false, true,
         "it holds no flags; filter the reads where it is made (samtools mpileup --rf)"},
        {'x', true, false, false, true,
         "it holds no read pairs; choose the overlap rule where it is made (samtools mpileup "
         "-x)"},
        {'Q', true, true, false, true, "a data set's scores are taken as they are"},
        {'d', true, true, true, true, ""},
        {'D', true, true, true, true, ""},
    };
    return rules;
}

void RefuseIgnoredOptions(const std::string& program, const std::vector<option>& table,
                          const std::vector<int>& given, EInputKind kind,
                          const std::vector<SInputOptionRule>& extra,
                          const std::string& siteFilesWhy) {
    auto check = [&](const SInputOptionRule& r, bool shared) {
        if (std::find(given.begin(), given.end(), r.m_Code) == given.end()) {
            return;
        }
        const bool applies = kind == EInputKind::eAlignment     ? r.m_Alignments
                             : kind == EInputKind::eMpileupText ? r.m_PileupText
                             : kind == EInputKind::eXmlDataSet  ? r.m_DataSet
                                                                : r.m_SiteFiles;
        if (applies) {
            return;
        }
        const std::string why = shared && kind == EInputKind::eSiteFile && !siteFilesWhy.empty()
                                    ? siteFilesWhy
                                    : r.m_Why;
        BadOption(program, OptionName(table, r.m_Code) + " does not apply to " +
                               InputKindName(kind) + ": " + why + ".");
    };
    for (const SInputOptionRule& r : AlignmentOptionRules()) {
        check(r, true);
    }
    for (const SInputOptionRule& r : extra) {
        check(r, false);
    }
}
