#include "provisioning/trusted_comment.h"

#include <charconv>

namespace qz {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::optional<std::uint64_t> wholeNumber(std::string_view text) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return value;
}

Failure badComment(const std::string& why) {
    return Failure{"the trusted comment of the signature " + why};
}

} // namespace

Result<TrustedComment> parseTrustedComment(std::string_view text) {
    TrustedComment comment;
    bool seenFile = false;
    bool seenVersion = false;
    bool seenSize = false;
    std::size_t at = 0;
    while (at < text.size()) {
        if (isBlank(text[at])) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < text.size() && !isBlank(text[end])) {
            ++end;
        }
        const std::string_view word = text.substr(at, end - at);
        at = end;
        const std::size_t colon = word.find(':');
        if (colon == std::string_view::npos) {
            continue;
        }
        const std::string_view key = word.substr(0, colon);
        const std::string_view value = word.substr(colon + 1);
        if (key == "file") {
            if (seenFile) {
                return badComment("has more than one file:");
            }
            if (value.empty()) {
                return badComment("has an empty file:");
            }
            seenFile = true;
            comment.file = std::string(value);
            continue;
        }
        const bool known = key == "version" || key == "size" || key == "timestamp";
        if (!known) {
            continue;
        }
        const auto number = wholeNumber(value);
        if (!number) {
            return badComment("has a " + std::string(key) + ": that is not a whole number");
        }
        bool& seen = key == "version" ? seenVersion : seenSize;
        if (key == "timestamp") {
            if (comment.timestamp) {
                return badComment("has more than one timestamp:");
            }
            comment.timestamp = *number;
        } else if (seen) {
            return badComment("has more than one " + std::string(key) + ":");
        } else {
            seen = true;
            (key == "version" ? comment.version : comment.size) = *number;
        }
    }
    if (!seenFile || !seenVersion || !seenSize) {
        return badComment("lacks " + std::string(!seenFile      ? "file:"
                                                 : !seenVersion ? "version:"
                                                                : "size:"));
    }
    return comment;
}

} // namespace qz
