#pragma once
// Test fixtures for qualpileup: a scratch directory, SAM texts turned into
// BAM files with samtools, runs of the library and of shell commands, and
// expected documents built with the XML library itself.

#include <gtest/gtest.h>
#include <htslib/faidx.h>
#include <libxml++/libxml++.h>
#include <libxml/tree.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "model/tests/scan_fixture.hpp"
#include "pileup/pileup_options.hpp"
#include "pileup/pileup_run.hpp"

namespace fixture {

// Files, the programs' directory and htslib kept quiet as qualscan's tests
// have them.
using scanfix::BinDir;
using scanfix::ReadFile;
using scanfix::WriteFile;

// A directory; dir / name is a file in it.
struct SDir {
    std::string path;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

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
// the order the document lists them, and the contig of a site that starts
// one (empty: the contig of the site before).
struct SCol {
    long pos;
    std::vector<std::pair<int, int>> chr;
    std::string contig = "";
};

// The document for these sites as the XML library formats it: the writer's
// output must equal this byte for byte. The first site names its contig
// (firstContig unless it names one itself).
inline std::string LibraryDocument(const std::vector<SCol>& cols,
                                   const std::string& firstContig = "c1") {
    xmlpp::Document doc("1.0");
    doc.set_internal_subset("Contig", "", "qual.dtd");
    xmlpp::Element* root = doc.create_root_node("Contig");
    for (const SCol& c : cols) {
        xmlpp::Element* col = root->add_child("Column");
        col->set_attribute("pos", std::to_string(c.pos));
        if (!c.contig.empty() || &c == &cols.front()) {
            col->set_attribute("contig", c.contig.empty() ? firstContig : c.contig);
        }
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

inline SRun Pile(const SPileupOptions& opts) {
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
inline std::string PileError(const SPileupOptions& opts) {
    try {
        Pile(opts);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

inline std::string SourceDir() {
    const char* env = std::getenv("QT_SOURCE_DIR");
    return env ? env : QT_SOURCE_DIR;
}

// A shell command's exit status, standard output and standard error.
struct SCmd {
    int status;
    std::string out;
    std::string err;
};

// A test with a fresh scratch directory, removed with everything in it at
// the end, where it makes its files and runs shell commands; in messages and
// commands '$' stands for the directory.
class CScratchTest : public testing::Test {
  protected:
    CScratchTest() {
        char tmpl[] = "/tmp/qualpileup_testXXXXXX";
        if (!::mkdtemp(tmpl)) {
            throw std::runtime_error("fixture: mkdtemp failed");
        }
        dir.path = tmpl;
    }
    ~CScratchTest() override { std::system(("rm -rf '" + dir.path + "'").c_str()); }

    // sam as a BAM file, indexed unless told not, made as users make theirs.
    std::string Bam(const std::string& name, const std::string& sam, bool index = true) {
        WriteFile(dir / "in.sam", sam);
        std::string make = "samtools view -b -o $/" + name + " $/in.sam";
        SCmd r = Sh(index ? make + " && samtools index $/" + name : make);
        EXPECT_EQ(r.status, 0) << r.err;
        return dir / name;
    }
    std::string Fasta(const std::string& name, const std::string& text, bool index = true) {
        WriteFile(dir / name, text);
        EXPECT_TRUE(!index || fai_build((dir / name).c_str()) == 0);
        return dir / name;
    }
    std::string InDir(std::string text) const {
        for (auto at = text.find('$'); at != std::string::npos;
             at = text.find('$', at + dir.path.size())) {
            text.replace(at, 1, dir.path);
        }
        return text;
    }
    SCmd Sh(const std::string& cmd) const {
        int raw = std::system(InDir("(" + cmd + ") >$/cmd.out 2>$/cmd.err").c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(dir / "cmd.out"),
                ReadFile(dir / "cmd.err")};
    }

    SDir dir;
};

}  // namespace fixture
