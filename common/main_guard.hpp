#pragma once
// The programs' common last line of defence: every exception that ends a run
// becomes "Exception:\n\t<message>" on standard error and exit status 1.

#include <functional>

// Runs body and returns its status, or 1 after reporting an exception.
int GuardedMain(const std::function<int()>& body);
