#pragma once
// The programs' common last line of defence: every exception that ends a run
// becomes a report on standard error and exit status 1. qualfit and qualgen
// keep their historic "Exception:\n\t<message>"; the other programs report
// as samtools and bcftools do, "<program>: error: <message>", which reads as
// a refusal, not as a crash.

#include <functional>
#include <string>

// Runs body and returns its status, or 1 after reporting an exception as
// "Exception:\n\t<message>".
int GuardedMain(const std::function<int()>& body);

// Runs body and returns its status, or 1 after reporting an exception as
// "<program>: error: <message>".
int GuardedMain(const std::string& program, const std::function<int()>& body);
