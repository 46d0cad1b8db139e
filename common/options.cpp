#include "common/options.hpp"

#include <unistd.h>

#include <stdexcept>
#include <string>

#include "base/warnings.hpp"

void ParseCommandLine(int argc, char* argv[], const char* optstring, const char* required,
                      TOptionMap& opts, const char* usage) {
    // glibc re-initialises getopt completely when optind is 0, so the parser
    // can be used more than once in one process.
    optind = 0;
    bool invalid = false;
    int c;
    while ((c = getopt(argc, argv, optstring)) != -1) {
        if (c == '?') {
            invalid = true;  // getopt has printed its own diagnostic
            continue;
        }
        opts[static_cast<char>(c)] = optarg;
    }

    if (!invalid) {
        bool complete = true;
        for (const char* r = required; *r; ++r) {
            if (opts.find(*r) == opts.end()) {
                complete = false;
            }
        }
        if (complete) {
            return;
        }
    }

    // A program started with an empty argument vector has no name; a null
    // pointer would put the error stream out of action for the messages
    // that follow.
    const char* program = argc > 0 && argv[0] ? argv[0] : "";
    const std::string text = std::string("Usage:\n   ") + program + usage;
    std::string::size_type begin = 0;
    for (;;) {
        const std::string::size_type end = text.find('\n', begin);
        Warn(text.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
        if (end == std::string::npos) {
            break;
        }
        begin = end + 1;
    }
    if (*required) {
        Warn(std::string("NOTE: Parameters '") + required + "' are required.");
    }
    throw std::runtime_error(invalid ? "Invalid arguments." : "Missing required argument.");
}
