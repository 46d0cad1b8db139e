#include "common/main_guard.hpp"

#include <exception>
#include <iostream>

namespace {

int Guarded(const std::string& prefix, const std::function<int()>& body) {
    try {
        return body();
    } catch (const std::exception& e) {
        // Results printed before the failure come first, as they were made.
        std::cout.flush();
        std::cerr << prefix << e.what() << std::endl;
    } catch (...) {
        // Nothing may end a program through std::terminate.
        std::cout.flush();
        std::cerr << prefix << "unknown error." << std::endl;
    }
    return 1;
}

}  // namespace

int GuardedMain(const std::function<int()>& body) {
    return Guarded("Exception:\n\t", body);
}

int GuardedMain(const std::string& program, const std::function<int()>& body) {
    return Guarded(program + ": error: ", body);
}
