#pragma once
// Standard error for a program that may report tens of thousands of warning
// lines. Standard error is unbuffered, so every line (and with std::cerr
// every piece of one) is a system call of its own. While an object of this
// class lives, the lines passed to Warn() and whatever is written to
// std::cerr go into one buffer, in the order they come, and reach the target
// in large writes of whole lines:
//   - when the buffer is full;
//   - before anything is written to std::cout, after what standard output
//     holds already, so the two streams keep their order on one terminal;
//   - on Flush() and when the object is destroyed. A program that creates it
//     inside the body it runs through GuardedMain() has it emptied while an
//     exception unwinds, before the exception is reported.
// Whatever is written to the target directly (getopt's messages, a failed
// assertion) bypasses the buffer. For single-threaded programs: the streams
// are not guarded.

#include <cstdio>
#include <ios>
#include <memory>
#include <ostream>
#include <streambuf>

#include "base/warnings.hpp"

class CBufferedStandardError {
  public:
    explicit CBufferedStandardError(std::FILE* target = stderr);
    // Writes what is left and restores std::cerr, std::cout's tie and the
    // previous warning sink.
    ~CBufferedStandardError();
    CBufferedStandardError(const CBufferedStandardError&) = delete;
    CBufferedStandardError& operator=(const CBufferedStandardError&) = delete;

    // Writes standard output's pending text, then everything buffered.
    void Flush();

    static constexpr std::size_t kCapacity = 64 * 1024;

  private:
    class CBuffer;
    class CFlushHook;

    std::unique_ptr<CBuffer> m_Buffer;
    std::unique_ptr<CFlushHook> m_HookBuffer;
    std::unique_ptr<std::ostream> m_Hook;  // std::cout's tie while installed
    TWarningSink m_PreviousSink;
    std::streambuf* m_PreviousCerrBuffer;
    std::ios_base::fmtflags m_PreviousCerrFlags;
    std::ostream* m_PreviousCerrTie;
    std::ostream* m_PreviousCoutTie;
};
