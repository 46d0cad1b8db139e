#pragma once
// Test fixtures for qualscan's inputs: a scratch directory, documents
// written from a compact description, and every site of a source.

#include <gtest/gtest.h>
#include <htslib/hts_log.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/input_error.hpp"
#include "model/raw_site.hpp"
#include "model/site_source.hpp"

namespace scanfix {

// htslib's log lines would only repeat the messages the tests look at.
inline const bool kQuietHtslib = (hts_set_log_level(HTS_LOG_OFF), true);

inline std::string SourceDir() {
    const char* env = std::getenv("QT_SOURCE_DIR");
    return env ? env : QT_SOURCE_DIR;
}

// Where the programs are.
inline std::string BinDir() {
    const char* env = std::getenv("QT_BIN_DIR");
    return env ? env : QT_BIN_DIR;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) {
        throw std::runtime_error("fixture: cannot write " + path);
    }
}

// Every site of a source, and the message of the error that ended it ("" if
// none), with its kind and place when it is an input error.
struct SAll {
    std::vector<SRawSite> m_Sites;
    std::string m_Error;
    bool m_InputError = false;
    EInputError m_Kind = EInputError::eUnknown;
    SInputWhere m_Where;
};

inline SAll ReadAll(CSiteSource& source) {
    SAll all;
    SRawSite site;
    try {
        while (source.Next(site)) {
            all.m_Sites.push_back(site);
        }
    } catch (const CInputError& e) {
        all.m_Error = e.what();
        all.m_InputError = true;
        all.m_Kind = e.Kind();
        all.m_Where = e.Where();
    } catch (const std::runtime_error& e) {
        all.m_Error = e.what();
    }
    return all;
}

// A document in the writers' frame around body (Column elements).
inline std::string Document(const std::string& body) {
    return "<?xml version=\"1.0\"?>\n<!DOCTYPE Contig SYSTEM \"qual.dtd\">\n<Contig>\n" + body +
           "  <FSParams dist=\"Neutral\" params=\"0.01 \"/>\n</Contig>\n";
}

// A qualgen-like document of n sites: depths 0 to 60 (a few to 200),
// Illumina-like scores with a tail down to 2, reads of all four classes, a
// true minor count per site and reads made erroneous by their scores and
// marked so. Positions count from first.
inline std::string SimulatedDocument(unsigned n, unsigned seed, long first = 1) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    auto score = [&] {
        const double x = u(rng);
        if (x < 0.75) {
            return 30 + static_cast<int>(u(rng) * 11);
        }
        if (x < 0.95) {
            return 20 + static_cast<int>(u(rng) * 10);
        }
        if (x < 0.98) {
            return 3 + static_cast<int>(u(rng) * 17);
        }
        return 2;
    };
    std::string body;
    for (unsigned s = 0; s < n; ++s) {
        unsigned depth = static_cast<unsigned>(u(rng) * 61);
        if (s % 97 == 5) {
            depth = 100 + static_cast<unsigned>(u(rng) * 100);
        }
        const double freq = u(rng) < 0.8 ? 0.0 : u(rng);
        body += "  <Column pos=\"" + std::to_string(first + s) + "\">\n";
        for (unsigned r = 0; r < depth; ++r) {
            const int q = score();
            int cls = u(rng) < freq ? 1 : 0;
            const bool error = u(rng) < std::pow(10.0, q / -10.0);
            if (error) {
                cls = (cls + 1 + static_cast<int>(u(rng) * 3)) % 4;
            }
            body += "    <Chr score=\"" + std::to_string(q) + "\"";
            if (cls == 1) {
                body += " minor=\"\"";
            } else if (cls >= 2) {
                body += " other=\"" + std::to_string(cls - 1) + "\"";
            }
            body += error ? " error=\"\"/>\n" : "/>\n";
        }
        body += "  </Column>\n";
    }
    return Document(body);
}

// A test with a fresh scratch directory, removed at the end.
class CScratchTest : public testing::Test {
  protected:
    CScratchTest() {
        char tmpl[] = "/tmp/qualscan_testXXXXXX";
        if (!::mkdtemp(tmpl)) {
            throw std::runtime_error("fixture: mkdtemp failed");
        }
        m_Dir = tmpl;
    }
    ~CScratchTest() override { std::system(("rm -rf '" + m_Dir + "'").c_str()); }

    std::string Path(const std::string& name) const { return m_Dir + "/" + name; }
    std::string Write(const std::string& name, const std::string& text) const {
        WriteFile(Path(name), text);
        return Path(name);
    }
    // Exit status of a shell command run in the scratch directory.
    int Sh(const std::string& cmd) const {
        const int raw = std::system(("cd '" + m_Dir + "' && (" + cmd + ") 2>/dev/null").c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }

    // A shell command's exit status, standard output and standard error.
    struct SCmd {
        int status;
        std::string out, err;
    };
    // A shell command run in the scratch directory, with what it printed.
    SCmd Run(const std::string& cmd) const {
        const int raw =
            std::system(("cd '" + m_Dir + "' && (" + cmd + ") >cmd.out 2>cmd.err").c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(Path("cmd.out")),
                ReadFile(Path("cmd.err"))};
    }

    std::string m_Dir;
    // qualscan without its progress line, to be followed by arguments.
    const std::string m_Qualscan = "'" + BinDir() + "/qualscan' -P ";
};

}  // namespace scanfix
