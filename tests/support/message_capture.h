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
std::vector<CapturedMessage>& capturedMessages();
void captureMessage(const std::string& message, bool isError);
std::vector<std::string> capturedTexts();

} // namespace qz::test
