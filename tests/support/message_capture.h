#pragma once

#include <string>
#include <vector>

namespace qz::test {

// A MessageReporter is a plain function pointer, so the capture lives in one place per test
// binary; tests clear it before use.
struct CapturedMessage {
    std::string text;
    bool isError;
};

inline std::vector<CapturedMessage>& capturedMessages() {
    static std::vector<CapturedMessage> messages;
    return messages;
}

inline void captureMessage(const std::string& message, bool isError) {
    capturedMessages().push_back({message, isError});
}

inline std::vector<std::string> capturedTexts() {
    std::vector<std::string> texts;
    for (const auto& m : capturedMessages()) {
        texts.push_back(m.text);
    }
    return texts;
}

} // namespace qz::test
