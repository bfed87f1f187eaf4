#include "support/message_capture.h"

namespace qz::test {

std::vector<CapturedMessage>& capturedMessages() {
    static std::vector<CapturedMessage> messages;
    return messages;
}

void captureMessage(const std::string& message, bool isError) {
    capturedMessages().push_back({message, isError});
}

std::vector<std::string> capturedTexts() {
    std::vector<std::string> texts;
    for (const auto& m : capturedMessages()) {
        texts.push_back(m.text);
    }
    return texts;
}

} // namespace qz::test
