#pragma once
// Helpers shared by the simulator tests: a random-number generator that
// replays scripted uniforms, a scratch working directory, fixture scripts,
// running shell commands, catching error messages and standard error, and a
// reader for the generated Column elements.

#include <gsl/gsl_rng.h>
#include <gtest/gtest.h>
#include <libxml++/libxml++.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/options.hpp"

namespace simtest {

// gsl_rng type whose uniforms are taken from Scripted::values in order. A
// draw past the end is recorded in Scripted::overrun and answers 0.5.
struct Scripted {
    static inline std::vector<double> values;
    static inline std::size_t next = 0;
    static inline bool overrun = false;

    static void Reset(std::vector<double> v) {
        values = std::move(v);
        next = 0;
        overrun = false;
    }
    static double GetDouble(void*) {
        if (next >= values.size()) {
            overrun = true;
            return 0.5;
        }
        return values[next++];
    }
    static unsigned long Get(void* state) {
        return static_cast<unsigned long>(GetDouble(state) * 4294967296.0);
    }
    static void Set(void*, unsigned long) {}
};

inline const gsl_rng_type kScriptedType = {
    "scripted", 0xffffffffUL, 0, sizeof(int), &Scripted::Set, &Scripted::Get, &Scripted::GetDouble};

struct RngDeleter {
    void operator()(gsl_rng* r) const { gsl_rng_free(r); }
};
using RngPtr = std::unique_ptr<gsl_rng, RngDeleter>;

inline RngPtr MakeScriptedRng(std::vector<double> values) {
    Scripted::Reset(std::move(values));
    return RngPtr(gsl_rng_alloc(&kScriptedType));
}

inline RngPtr MakeMtRng(unsigned long seed) {
    RngPtr rng(gsl_rng_alloc(gsl_rng_mt19937));
    gsl_rng_set(rng.get(), seed);
    return rng;
}

// A fresh temporary directory made the working directory for the lifetime
// of the object; the previous one is restored and the directory removed.
class ScratchDir {
  public:
    ScratchDir() {
        m_Old = std::filesystem::current_path();
        std::string tmpl =
            (std::filesystem::temp_directory_path() / "qualgen-test-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) {
            throw std::runtime_error("mkdtemp failed");
        }
        m_Dir = tmpl;
        std::filesystem::current_path(m_Dir);
    }
    ~ScratchDir() {
        std::filesystem::current_path(m_Old);
        std::error_code ec;
        std::filesystem::remove_all(m_Dir, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return m_Dir; }

  private:
    std::filesystem::path m_Old;
    std::filesystem::path m_Dir;
};

inline void WriteFile(const std::string& name, const std::string& text) {
    std::ofstream out(name);
    out << text;
}

inline std::string ReadFile(const std::string& name) {
    std::ifstream in(name);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes ./ms2spectrum.pl as an executable shell script with the given body.
inline void WriteFixtureScript(const std::string& body) {
    WriteFile("ms2spectrum.pl", "#!/bin/sh\n" + body);
    chmod("ms2spectrum.pl", 0755);
}

// Standard output and exit status of a shell command (status -1 when it
// could not be started or did not exit normally).
struct CommandResult {
    int status = -1;
    std::string out;
};

inline CommandResult RunCommand(const std::string& cmd) {
    CommandResult r;
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) {
        return r;
    }
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) {
        r.out.append(buf, n);
    }
    const int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

// The message of the std::runtime_error that f throws; a test failure and
// an empty text when it throws none.
template <class F>
std::string RuntimeErrorOf(F&& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    ADD_FAILURE() << "no std::runtime_error thrown";
    return "";
}

// Captures standard error for its lifetime and stores it in `into` when it
// ends, also when the scope is left by an exception.
class StderrCapture {
  public:
    explicit StderrCapture(std::string& into) : m_Into(into) { testing::internal::CaptureStderr(); }
    ~StderrCapture() { m_Into = testing::internal::GetCapturedStderr(); }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

  private:
    std::string& m_Into;
};

// Option map from argv-like strings ({"-f", "neutral", "-b", ...}); -b and
// -e take no argument. The map points into args, which must outlive it.
inline TOptionMap MakeOptions(const std::vector<std::string>& args) {
    TOptionMap opts;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const char letter = args[i][1];
        if (letter == 'b' || letter == 'e') {
            opts[letter] = nullptr;
        } else if (i + 1 < args.size()) {
            opts[letter] = args[++i].c_str();
        }
    }
    return opts;
}

// One read as written by the generator.
struct Read {
    std::string score;
    bool minor = false;
    bool error = false;
    bool hasOther = false;
    std::string other;
};

struct Column {
    std::string pos;
    std::vector<Read> reads;
};

inline const xmlpp::Attribute* Attr(const xmlpp::Element* e, const char* name) {
    return e->get_attribute(name);
}

inline std::vector<Column> Columns(const xmlpp::Element* root) {
    std::vector<Column> out;
    for (const xmlpp::Node* node : root->get_children("Column")) {
        const auto* col = dynamic_cast<const xmlpp::Element*>(node);
        Column c;
        c.pos = col->get_attribute_value("pos");
        for (const xmlpp::Node* child : col->get_children()) {
            const auto* chr = dynamic_cast<const xmlpp::Element*>(child);
            if (!chr) {
                continue;
            }
            EXPECT_EQ(chr->get_name(), "Chr");
            Read r;
            r.score = chr->get_attribute_value("score");
            r.minor = Attr(chr, "minor") != nullptr;
            r.error = Attr(chr, "error") != nullptr;
            r.hasOther = Attr(chr, "other") != nullptr;
            r.other = chr->get_attribute_value("other");
            c.reads.push_back(r);
        }
        out.push_back(c);
    }
    return out;
}

inline std::string BinDir() {
    const char* env = std::getenv("QT_BIN_DIR");
    return env ? env : QT_BIN_DIR;
}

inline std::string SourceDir() {
    const char* env = std::getenv("QT_SOURCE_DIR");
    return env ? env : QT_SOURCE_DIR;
}

}  // namespace simtest
