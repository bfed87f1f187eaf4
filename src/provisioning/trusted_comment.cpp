#include "provisioning/trusted_comment.h"

#include "base/translation.h"

#include <algorithm>
#include <charconv>
#include <vector>

namespace qz {
namespace {

// The words of the text, between tabs and blanks.
std::vector<std::string_view> wordsOf(std::string_view text) {
    std::vector<std::string_view> words;
    std::size_t at = 0;
    while ((at = text.find_first_not_of(" \t", at)) != std::string_view::npos) {
        const std::size_t end = std::min(text.find_first_of(" \t", at), text.size());
        words.push_back(text.substr(at, end - at));
        at = end;
    }
    return words;
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

} // namespace

Result<TrustedComment> parseTrustedComment(std::string_view text) {
    std::optional<std::string> file;
    std::optional<std::string> product;
    std::optional<std::uint64_t> version;
    std::optional<std::uint64_t> size;
    std::optional<std::uint64_t> timestamp;
    for (const std::string_view word : wordsOf(text)) {
        const std::size_t colon = word.find(':');
        if (colon == std::string_view::npos) {
            continue;
        }
        const std::string key(word.substr(0, colon));
        const std::string_view value = word.substr(colon + 1);
        std::optional<std::uint64_t>* number = key == "version"     ? &version
                                               : key == "size"      ? &size
                                               : key == "timestamp" ? &timestamp
                                                                    : nullptr;
        std::optional<std::string>* name = key == "file"      ? &file
                                           : key == "product" ? &product
                                                              : nullptr;
        if (name == nullptr && number == nullptr) {
            continue;
        }
        if (number != nullptr ? number->has_value() : name->has_value()) {
            return Failure{Text::format(
                // TRANSLATORS: %s is a field name: file, product, version, size or timestamp.
                N_("the trusted comment of the signature has more than one %s:"), key)};
        }
        if (number == nullptr) {
            if (value.empty()) {
                return Failure{Text::format(
                    // TRANSLATORS: %s is a field name: file or product.
                    N_("the trusted comment of the signature has an empty %s:"), key)};
            }
            *name = std::string(value);
        } else if (!(*number = wholeNumber(value))) {
            return Failure{Text::format(
                // TRANSLATORS: %s is a field name: version, size or timestamp.
                N_("the trusted comment of the signature has a %s: that is not a whole number"),
                key)};
        }
    }
    if (!file || !version || !size) {
        const char* field = !file ? "file" : !version ? "version" : "size";
        // TRANSLATORS: %s is a field name: file, version or size.
        return Failure{Text::format(N_("the trusted comment of the signature lacks %s:"), field)};
    }
    return TrustedComment{*file, product.value_or(std::string()), *version, *size, timestamp};
}

} // namespace qz
