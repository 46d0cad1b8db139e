#pragma once
// Helpers shared by the simulator tests.

#include <gsl/gsl_rng.h>
#include <gtest/gtest.h>
#include <libxml++/libxml++.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
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

    static double GetDouble(void*) {
        overrun = overrun || next >= values.size();
        return next < values.size() ? values[next++] : 0.5;
    }
    static unsigned long Get(void* s) {
        return static_cast<unsigned long>(GetDouble(s) * 4294967296.0);
    }
    static void Set(void*, unsigned long) {}
};

inline const gsl_rng_type kScriptedType = {
    "scripted", 0xffffffffUL, 0, sizeof(int), &Scripted::Set, &Scripted::Get, &Scripted::GetDouble};

using RngPtr = std::unique_ptr<gsl_rng, decltype(&gsl_rng_free)>;

inline RngPtr MakeScriptedRng(std::vector<double> values) {
    Scripted::values = std::move(values);
    Scripted::next = 0;
    Scripted::overrun = false;
    return RngPtr(gsl_rng_alloc(&kScriptedType), &gsl_rng_free);
}

inline RngPtr MakeMtRng(unsigned long seed) {
    RngPtr rng(gsl_rng_alloc(gsl_rng_mt19937), &gsl_rng_free);
    gsl_rng_set(rng.get(), seed);
    return rng;
}

// A fresh temporary directory, the working directory for the lifetime of
// the object; then the previous one is restored and the directory removed.
class ScratchDir {
  public:
    ScratchDir() : m_Old(std::filesystem::current_path()) {
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
    std::filesystem::path m_Old, m_Dir;
};

inline void WriteFile(const std::string& name, const std::string& text) {
    std::ofstream(name) << text;
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

inline bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
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
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) {
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

// Captures standard error for its lifetime into `into`, also when the scope
// is left by an exception.
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

// A generated Column: its pos, the score of each read, and one letter per
// read -- r reference, m minor, a other="1", b other="2" -- upper case when
// the read carries the error flag.
struct Column {
    std::string pos;
    std::vector<std::string> scores;
    std::string reads;
};

inline std::vector<Column> Columns(const xmlpp::Element* root) {
    std::vector<Column> out;
    for (const xmlpp::Node* node : root->get_children("Column")) {
        const auto* col = dynamic_cast<const xmlpp::Element*>(node);
        Column c{col->get_attribute_value("pos"), {}, ""};
        for (const xmlpp::Node* child : col->get_children()) {
            const auto* chr = dynamic_cast<const xmlpp::Element*>(child);
            if (!chr) {
                continue;
            }
            EXPECT_EQ(chr->get_name(), "Chr");
            c.scores.push_back(chr->get_attribute_value("score"));
            const std::string other = chr->get_attribute_value("other");
            char letter = chr->get_attribute("minor") ? 'm' : 'r';
            if (chr->get_attribute("other")) {
                letter = letter == 'r' && other == "1"   ? 'a'
                         : letter == 'r' && other == "2" ? 'b'
                                                         : '?';
            }
            c.reads +=
                chr->get_attribute("error") ? static_cast<char>(std::toupper(letter)) : letter;
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
