#include "base/warnings.hpp"

#include <iostream>
#include <mutex>
#include <utility>

namespace {

std::mutex& SinkMutex() {
    static std::mutex mutex;
    return mutex;
}

TWarningSink& InstalledSink() {
    static TWarningSink sink;
    return sink;
}

void WriteToStandardError(const std::string& line) {
    std::string text = line;
    text += '\n';
    // One insertion: standard error is unbuffered, so this is one write of
    // the whole line instead of one per piece.
    std::cerr.write(text.data(), static_cast<std::streamsize>(text.size()));
}

}  // namespace

TWarningSink SetWarningSink(TWarningSink sink) {
    std::lock_guard<std::mutex> lock(SinkMutex());
    std::swap(InstalledSink(), sink);
    return sink;
}

void Warn(const std::string& line) {
    std::lock_guard<std::mutex> lock(SinkMutex());
    if (InstalledSink()) {
        InstalledSink()(line);
    } else {
        WriteToStandardError(line);
    }
}
