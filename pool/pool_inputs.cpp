#include "pool/pool_inputs.hpp"

#include <htslib/sam.h>

#include <set>
#include <stdexcept>

#include "base/input_error.hpp"
#include "common/safe_output.hpp"
#include "io/input_kind.hpp"
#include "io/input_options.hpp"
#include "pileup/hts_handles.hpp"
#include "pileup/samples.hpp"

namespace {

// Refuses a name that would break a table, a file name or a label.
void CheckName(const std::string& name, const std::string& file, const std::string& from) {
    if (const std::string fault = SampleNameFault(name); !fault.empty()) {
        throw CInputError(
            EInputError::eFormat, SInputWhere{file, 0, 0, "", 0},
            "gives a pool " + from + " " + fault + ": name the pools in a --pools sheet.");
    }
}

// The SM tags of the read groups of the alignment file at path (empty when
// it has none, or none with SM).
std::set<std::string> SamplesOfFile(const std::string& path) {
    CHtsStderrFilter filter;
    CQuietHts quiet;
    THtsFile fp(hts_open(path.c_str(), "r"));
    if (!fp) {
        throw CannotOpen(path, errno);
    }
    THeader hdr(sam_hdr_read(fp.get()));
    if (!hdr) {
        throw CInputError(EInputError::eFormat, SInputWhere{path, 0, 0, "", 0},
                          "has no readable SAM/BAM/CRAM header.");
    }
    std::set<std::string> names;
    const int groups = sam_hdr_count_lines(hdr.get(), "RG");
    for (int g = 0; g < groups; ++g) {
        kstring_t ks = KS_INITIALIZE;
        if (sam_hdr_find_tag_pos(hdr.get(), "RG", g, "SM", &ks) == 0 && ks.l > 0) {
            names.emplace(ks.s, ks.l);
        }
        ks_free(&ks);
    }
    return names;
}

bool IsPileupText(const SPoolRunOptions& o) {
    if (!o.m_PoolsSheet.empty() || o.m_PoolArgs.size() != 1 ||
        o.m_PoolArgs[0].find(',') != std::string::npos) {
        return false;
    }
    return o.m_PoolArgs[0] == "-" || DetectInputKind(o.m_PoolArgs[0]) == EInputKind::eMpileupText;
}

// Every file of the pools must be alignments.
void CheckAlignments(const std::vector<SPoolSpec>& specs) {
    for (const SPoolSpec& spec : specs) {
        for (const std::string& f : spec.m_Files) {
            if (f == "-") {
                throw std::runtime_error(
                    "Alignments cannot be read from standard input: name the files.");
            }
            EInputKind kind;
            try {
                kind = DetectInputKind(f);
            } catch (const CInputError&) {
                throw;
            } catch (const std::runtime_error& e) {
                // The recogniser names the file; the fault is the input's.
                throw CInputError(EInputError::eFormat, SInputWhere{}, e.what());
            }
            if (kind != EInputKind::eAlignment) {
                throw CInputError(EInputError::eFormat, SInputWhere{f, 0, 0, "", 0},
                                  std::string("is ") + InputKindName(kind) +
                                      ", not an alignment file (SAM, BAM, CRAM): a pool is "
                                      "alignment files; pileup text is given alone, with one "
                                      "sample column per pool.");
            }
        }
    }
}

}  // namespace

std::string PoolNameOfFiles(const std::vector<std::string>& files) {
    std::set<std::string> samples;
    std::string first;  // the first file naming a sample, for messages
    for (const std::string& f : files) {
        for (const std::string& s : SamplesOfFile(f)) {
            if (samples.insert(s).second && first.empty()) {
                first = f;
            }
        }
    }
    if (samples.size() > 1) {
        std::string list;
        for (const std::string& s : samples) {
            list += (list.empty() ? "'" : ", '") + s + "'";
        }
        throw CInputError(EInputError::eMismatch, SInputWhere{first, 0, 0, "", 0},
                          "and the other files of its pool hold reads of " +
                              std::to_string(samples.size()) + " samples (" + list +
                              "; the SM of their read groups): a pool is one sample; give each "
                              "sample's files as a pool of its own, or name the pool in a "
                              "--pools sheet to pool them.");
    }
    const std::string name = samples.empty() ? SampleOfFile(files.front()) : *samples.begin();
    CheckName(name, samples.empty() ? files.front() : first,
              samples.empty() ? "its file name" : "the SM of its read groups");
    return name;
}

SPoolInputs ResolvePoolInputs(const SPoolProgram& program, const SPoolRunOptions& o,
                              const std::vector<option>& table) {
    SPoolInputs in;
    const std::size_t minPools = program.m_MinPools;
    if (!o.m_PoolsSheet.empty()) {
        in.m_Specs = ReadPoolSheet(o.m_PoolsSheet, minPools, program.m_Name);
    } else if (IsPileupText(o)) {
        in.m_PileupText = true;
        in.m_TextPath = o.m_PoolArgs[0];
    } else {
        if (o.m_PoolArgs.size() < minPools) {
            throw CInputError(EInputError::eFormat, SInputWhere{o.m_PoolArgs[0], 0, 0, "", 0},
                              "is one pool: " + program.m_Name +
                                  " compares two or more (give each pool's files as one "
                                  "argument, lanes joined by commas).");
        }
        for (std::size_t i = 0; i < o.m_PoolArgs.size(); ++i) {
            SPoolSpec spec;
            spec.m_Files = SplitFiles(o.m_PoolArgs[i]);
            if (spec.m_Files.empty()) {
                throw std::runtime_error("The pool argument '" + o.m_PoolArgs[i] +
                                         "' names no file.");
            }
            spec.m_Size = o.m_PoolSizes.size() == 1 ? o.m_PoolSizes[0] : o.m_PoolSizes[i];
            in.m_Specs.push_back(std::move(spec));
        }
    }
    const EInputKind kind = in.m_PileupText ? EInputKind::eMpileupText : EInputKind::eAlignment;
    RefuseIgnoredOptions(program.m_Name, table, o.m_Given, kind, {});
    if (!in.m_PileupText) {
        CheckAlignments(in.m_Specs);
        if (o.m_Unfolded && o.m_Pileup.m_Reference.empty()) {
            BadOption(program.m_Name,
                      "--unfolded takes the reference base as the first allele: give the "
                      "reference with -f FILE.");
        }
    }
    for (const SPoolSpec& s : in.m_Specs) {
        in.m_Files.insert(in.m_Files.end(), s.m_Files.begin(), s.m_Files.end());
    }
    if (in.m_PileupText) {
        in.m_Files.push_back(in.m_TextPath);
    }
    // Before any name is taken from a file: the same file twice would be
    // read twice, every read counted twice.
    CheckInputsDistinct(in.m_Files);
    if (o.m_PoolsSheet.empty()) {
        for (SPoolSpec& spec : in.m_Specs) {
            spec.m_Name = PoolNameOfFiles(spec.m_Files);
        }
    }
    for (std::size_t i = 0; i < in.m_Specs.size(); ++i) {
        for (std::size_t k = 0; k < i; ++k) {
            if (in.m_Specs[i].m_Name == in.m_Specs[k].m_Name) {
                throw std::runtime_error(
                    "Two pools are named '" + in.m_Specs[i].m_Name +
                    "' (after the SM of their read groups, or their first files): name them in "
                    "a --pools sheet.");
            }
        }
    }
    for (const std::string* f : {&o.m_PoolsSheet, &o.m_RegionsFile, &o.m_MaskFile,
                                 &o.m_Pileup.m_Reference, &o.m_WindowsBed}) {
        if (!f->empty()) {
            in.m_Files.push_back(*f);
        }
    }
    return in;
}

std::vector<SPoolSpec> PileupTextPools(const SPoolProgram& program, const SPoolRunOptions& o,
                                       const std::string& textPath, std::size_t columns) {
    if (columns < program.m_MinPools) {
        throw CInputError(EInputError::eFormat, SInputWhere{textPath, 0, 0, "", 0},
                          "has one sample column: " + program.m_Name +
                              " compares two or more pools (one column each).");
    }
    if (o.m_PoolSizes.size() != 1 && o.m_PoolSizes.size() != columns) {
        throw CInputError(EInputError::eMismatch, SInputWhere{textPath, 0, 0, "", 0},
                          "has " + std::to_string(columns) +
                              " sample columns (pools), but --pool-size gives " +
                              std::to_string(o.m_PoolSizes.size()) +
                              " sizes: give one size for all, or one per column.");
    }
    const std::string base = textPath == "-" ? std::string("stdin") : SampleOfFile(textPath);
    std::vector<SPoolSpec> specs;
    for (std::size_t s = 0; s < columns; ++s) {
        SPoolSpec spec;
        spec.m_Name = base + "." + std::to_string(s + 1);
        CheckName(spec.m_Name, textPath, "its file name");
        spec.m_Size = o.m_PoolSizes.size() == 1 ? o.m_PoolSizes[0] : o.m_PoolSizes[s];
        specs.push_back(std::move(spec));
    }
    return specs;
}
