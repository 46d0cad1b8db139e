#pragma once
// Fields of a line or items of a list, split at every separator: "a,,b"
// has three items, the second empty, and "" one empty item. Which of them
// are wrong is for the caller, who knows what the text is.

#include <string>
#include <vector>

inline std::vector<std::string> SplitAt(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type at = text.find(separator, start);
        parts.push_back(
            text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) {
            return parts;
        }
        start = at + 1;
    }
}
