#pragma once
// Test fixtures for qualpileup: a scratch directory, SAM texts turned into
// sorted, indexed BAM files with htslib, runs of the library and of the
// program, and expected documents built with the XML library itself.

#include <gtest/gtest.h>
#include <htslib/hts_log.h>
#include <htslib/sam.h>
#include <libxml++/libxml++.h>
#include <libxml/tree.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "pileup/pileup_options.hpp"
#include "pileup/pileup_run.hpp"

namespace fixture {

// The library's own messages carry the faults the tests look for; htslib's
// log lines would only repeat them, as the program also keeps them off.
inline const bool kQuietHtslib = (hts_set_log_level(HTS_LOG_OFF), true);

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        throw std::runtime_error("fixture: cannot write " + path);
    }
}

// A fresh directory, removed with everything in it at the end of the test.
class CTempDir {
  public:
    CTempDir() {
        char tmpl[] = "/tmp/qualpileup_testXXXXXX";
        const char* d = ::mkdtemp(tmpl);
        if (!d) {
            throw std::runtime_error("fixture: mkdtemp failed");
        }
        m_Path = d;
    }
    ~CTempDir() { std::system(("rm -rf '" + m_Path + "'").c_str()); }
    std::string operator/(const std::string& name) const { return m_Path + "/" + name; }
    const std::string& Path() const { return m_Path; }

  private:
    std::string m_Path;
};

// Converts SAM text to BAM (and indexes it) through htslib, as the programs
// of the field would.
inline void SamTextToBam(const std::string& samText, const std::string& bamPath,
                         bool index = true) {
    std::string samPath = bamPath + ".src.sam";
    WriteFile(samPath, samText);
    samFile* in = sam_open(samPath.c_str(), "r");
    samFile* out = sam_open(bamPath.c_str(), "wb");
    if (!in || !out) {
        throw std::runtime_error("fixture: cannot open " + samPath);
    }
    sam_hdr_t* hdr = sam_hdr_read(in);
    if (!hdr || sam_hdr_write(out, hdr) < 0) {
        throw std::runtime_error("fixture: bad header in " + samPath);
    }
    bam1_t* b = bam_init1();
    int r;
    while ((r = sam_read1(in, hdr, b)) >= 0) {
        if (sam_write1(out, hdr, b) < 0) {
            throw std::runtime_error("fixture: cannot write " + bamPath);
        }
    }
    bam_destroy1(b);
    sam_hdr_destroy(hdr);
    sam_close(in);
    sam_close(out);
    std::remove(samPath.c_str());
    if (r < -1) {
        throw std::runtime_error("fixture: bad SAM record in " + samPath);
    }
    if (index && sam_index_build(bamPath.c_str(), 0) < 0) {
        throw std::runtime_error("fixture: cannot index " + bamPath);
    }
}

// SAM header with the given contigs (name, length).
inline std::string Header(const std::vector<std::pair<std::string, long long>>& contigs) {
    std::string h = "@HD\tVN:1.6\tSO:coordinate\n";
    for (const auto& c : contigs) {
        h += "@SQ\tSN:" + c.first + "\tLN:" + std::to_string(c.second) + "\n";
    }
    return h;
}

// One SAM line; qual "" gives every base the quality character 'I' (40).
inline std::string Read(const std::string& name, int flag, const std::string& contig, long long pos,
                        int mapq, const std::string& cigar, const std::string& seq,
                        std::string qual = "", const std::string& mate = "*", int matePos = 0) {
    if (qual.empty()) {
        qual.assign(seq.size(), 'I');
    }
    return name + "\t" + std::to_string(flag) + "\t" + contig + "\t" + std::to_string(pos) + "\t" +
           std::to_string(mapq) + "\t" + cigar + "\t" + mate + "\t" + std::to_string(matePos) +
           "\t0\t" + seq + "\t" + qual + "\n";
}

// The SAM quality character of a score.
inline std::string Q(int score) {
    return std::string(1, static_cast<char>(score + 33));
}

// One site of an expected document: position and (score, class) per read in
// the order the document lists them.
struct SCol {
    long pos;
    std::vector<std::pair<int, int>> chr;
};

// The document for these sites as the XML library formats it: the writer's
// output must equal this byte for byte.
inline std::string LibraryDocument(const std::vector<SCol>& cols) {
    xmlpp::Document doc("1.0");
    doc.set_internal_subset("Contig", "", "qual.dtd");
    xmlpp::Element* root = doc.create_root_node("Contig");
    for (const SCol& c : cols) {
        xmlpp::Element* col = root->add_child("Column");
        col->set_attribute("pos", std::to_string(c.pos));
        for (const auto& r : c.chr) {
            xmlpp::Element* chr = col->add_child("Chr");
            chr->set_attribute("score", std::to_string(r.first));
            if (r.second == 1) {
                chr->set_attribute("minor", "");
            } else if (r.second >= 2) {
                chr->set_attribute("other", std::to_string(r.second - 1));
            }
        }
    }
    xmlpp::Element* fs = root->add_child("FSParams");
    fs->set_attribute("dist", "Neutral");
    fs->set_attribute("params", "0.01 ");
    xmlChar* mem = nullptr;
    int size = 0;
    xmlDocDumpFormatMemory(doc.cobj(), &mem, &size, 1);
    std::string text(reinterpret_cast<const char*>(mem), static_cast<std::size_t>(size));
    xmlFree(mem);
    return text;
}

// Runs the library on these inputs; options may be adjusted by the caller.
struct SRun {
    std::string doc;
    SPileupSummary summary;
};

inline SRun Pileup(SPileupOptions opts) {
    std::ostringstream out;
    SRun r;
    r.summary = WritePileupDocument(opts, out, "test output", nullptr);
    r.doc = out.str();
    return r;
}

inline SPileupOptions Inputs(std::vector<std::string> files) {
    SPileupOptions o;
    o.m_Inputs = std::move(files);
    return o;
}

// The message of the runtime_error that a run throws ("" when none).
inline std::string PileupError(const SPileupOptions& opts) {
    try {
        Pileup(opts);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

inline std::string BinDir() {
    const char* env = std::getenv("QT_BIN_DIR");
    return env ? env : QT_BIN_DIR;
}

// Runs a shell command; returns its exit status, stdout and stderr.
struct SCmd {
    int status;
    std::string out;
    std::string err;
};

inline SCmd Shell(const CTempDir& dir, const std::string& cmd) {
    std::string outPath = dir / "cmd.out";
    std::string errPath = dir / "cmd.err";
    int raw = std::system(("(" + cmd + ") >'" + outPath + "' 2>'" + errPath + "'").c_str());
    SCmd r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    r.out = ReadFile(outPath);
    r.err = ReadFile(errPath);
    return r;
}

}  // namespace fixture
