#include "bootstrap/message_reporter.h"

#include <cstdio>
#include <utility>

namespace qz {
namespace {

std::function<void()>& inPlaceLineEnd() {
    static std::function<void()> end;
    return end;
}

} // namespace

void ownInPlaceLine(std::function<void()> end) {
    inPlaceLineEnd() = std::move(end);
}

void endInPlaceLine() {
    if (const auto& end = inPlaceLineEnd()) {
        end();
    }
}

void report_message_to_console(const std::string& message, bool isError) {
    endInPlaceLine();
    std::FILE* stream = isError ? stderr : stdout;
    // fwrite, not fputs: a NUL inside the message is written too.
    std::fwrite(message.data(), 1, message.size(), stream);
    std::fputc('\n', stream);
    // Flushed at once so the line precedes anything a program started next writes.
    std::fflush(stream);
}

void report_message_main(const std::string& message, bool isError) {
    report_message_to_console(message, isError);
}

} // namespace qz
