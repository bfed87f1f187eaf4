#pragma once

#include <cstdio>
#include <string>
#include <unistd.h>
#include <utility>
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

// What this process writes to one of its standard streams (STDOUT_FILENO, STDERR_FILENO) from
// construction to release(); into a file meanwhile, so that no amount of it blocks a writer.
class StreamCapture {
  public:
    explicit StreamCapture(int fd) : fd_(fd), saved_(::dup(fd)) {
        std::fflush(nullptr);
        ::dup2(::fileno(file_), fd_);
    }
    ~StreamCapture() {
        release();
        std::fclose(file_);
    }
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    // Gives the stream back; what was written to it until now.
    std::string release() {
        std::fflush(nullptr);
        if (saved_ >= 0) {
            ::dup2(saved_, fd_);
            ::close(std::exchange(saved_, -1));
        }
        std::rewind(file_);
        std::string text;
        for (int c; (c = std::fgetc(file_)) != EOF;) {
            text += static_cast<char>(c);
        }
        return text;
    }

  private:
    int fd_;
    int saved_;
    std::FILE* file_ = std::tmpfile();
};

} // namespace qz::test
