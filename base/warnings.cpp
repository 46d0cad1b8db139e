#include "base/warnings.hpp"

#include <cstdio>
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
    // Standard error is unbuffered: one fwrite is one write.
    std::fwrite(text.data(), 1, text.size(), stderr);
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
