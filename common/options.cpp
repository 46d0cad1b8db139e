#include "common/options.hpp"

#include <unistd.h>

#include <iostream>
#include <stdexcept>

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
    std::cerr << "Usage:\n"
              << "   " << program << usage << std::endl;
    if (*required) {
        std::cerr << "NOTE: Parameters '" << required << "' are required." << std::endl;
    }
    throw std::runtime_error(invalid ? "Invalid arguments." : "Missing required argument.");
}
