#pragma once
// Warnings that do not stop a computation. Library code never writes them to
// a stream itself: it hands each complete line to the sink the program
// installed, so a program can print, count or collect them. Sink calls are
// serialised, so a sink need not be thread-safe itself.

#include <functional>
#include <string>

// Receives one warning line, without its line break.
using TWarningSink = std::function<void(const std::string& line)>;

// Installs sink and returns the one it replaces. An empty sink restores the
// default, which writes the line and a line break to standard error (through
// std::cerr) in one write, so lines are never torn apart by other output.
TWarningSink SetWarningSink(TWarningSink sink);

// Passes line to the installed sink.
void Warn(const std::string& line);

// Installs a sink for the lifetime of the object and restores the previous
// one afterwards.
class CScopedWarningSink {
  public:
    explicit CScopedWarningSink(TWarningSink sink) : m_Previous(SetWarningSink(std::move(sink))) {}
    ~CScopedWarningSink() { SetWarningSink(std::move(m_Previous)); }
    CScopedWarningSink(const CScopedWarningSink&) = delete;
    CScopedWarningSink& operator=(const CScopedWarningSink&) = delete;

  private:
    TWarningSink m_Previous;
};
