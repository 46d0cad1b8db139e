#include "common/main_guard.hpp"

#include <exception>
#include <iostream>

int GuardedMain(const std::function<int()>& body) {
    try {
        return body();
    } catch (const std::exception& e) {
        // Results printed before the failure come first, as they were made.
        std::cout.flush();
        std::cerr << "Exception:\n\t" << e.what() << std::endl;
    } catch (...) {
        // Nothing may end a program through std::terminate.
        std::cout.flush();
        std::cerr << "Exception:\n\tunknown error." << std::endl;
    }
    return 1;
}
