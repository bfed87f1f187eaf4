#include "platform/transfer/url_text.h"

#include <curl/curl.h>
#include <memory>
#include <optional>

namespace qz::platform {
namespace {

constexpr auto npos = std::string_view::npos;

struct UrlDeleter {
    void operator()(CURLU* url) const {
        curl_url_cleanup(url);
    }
};
using Url = std::unique_ptr<CURLU, UrlDeleter>;

// As libcurl reads a transfer's URL (its scheme guessed when missing), but with any scheme, so
// that a password is found in an unsupported one too.
Url parsed(std::string_view text) {
    Url url(curl_url());
    if (url == nullptr ||
        curl_url_set(url.get(), CURLUPART_URL, std::string(text).c_str(),
                     CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return nullptr;
    }
    return url;
}

std::optional<std::string> part(CURLU* url, CURLUPart which) {
    char* text = nullptr;
    if (curl_url_get(url, which, &text, 0) != CURLUE_OK) {
        return std::nullopt;
    }
    std::string copy(text);
    curl_free(text);
    return copy;
}

bool isSchemeCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
}

// Never fetched, but its user information may hold a password (a raw '@' in it, say).
std::string maskedUnreadable(std::string_view url) {
    const std::size_t separator = url.find("://");
    const std::size_t authority = separator == npos ? 0 : separator + 3;
    const std::size_t at = url.rfind('@');
    if (at == npos || at < authority) {
        return std::string(url);
    }
    return std::string(url.substr(0, authority)) + std::string(MASKED_PASSWORD) +
           std::string(url.substr(at));
}

} // namespace

std::string maskUrlPassword(std::string_view url) {
    const Url read = parsed(url);
    if (read == nullptr) {
        return maskedUnreadable(url);
    }
    const auto password = part(read.get(), CURLUPART_PASSWORD);
    if (!password || password->empty()) {
        return std::string(url);
    }
    const std::string mask(MASKED_PASSWORD);
    if (curl_url_set(read.get(), CURLUPART_PASSWORD, mask.c_str(), 0) != CURLUE_OK) {
        return mask;
    }
    return part(read.get(), CURLUPART_URL).value_or(mask);
}

std::string maskUrlPasswordsInText(std::string_view text) {
    std::string out;
    std::size_t done = 0;
    for (std::size_t separator = text.find("://"); separator != npos;
         separator = text.find("://", separator + 3)) {
        std::size_t start = separator;
        while (start > done && isSchemeCharacter(text[start - 1])) {
            --start;
        }
        if (separator < done || start == separator) {
            continue;
        }
        const std::size_t end =
            std::min(text.find_first_of(" \t\r\n\"'<>", separator), text.size());
        out.append(text.substr(done, start - done));
        out.append(maskUrlPassword(text.substr(start, end - start)));
        done = end;
    }
    out.append(text.substr(done));
    return out;
}

std::string lastPathSegment(std::string_view url) {
    const Url read = parsed(url);
    const auto path = read ? part(read.get(), CURLUPART_PATH) : std::nullopt;
    return path ? path->substr(path->rfind('/') + 1) : std::string();
}

std::string withPathSuffix(std::string_view url, std::string_view suffix) {
    const Url read = parsed(url);
    const auto path = read ? part(read.get(), CURLUPART_PATH) : std::nullopt;
    if (!path || curl_url_set(read.get(), CURLUPART_PATH, (*path + std::string(suffix)).c_str(),
                              0) != CURLUE_OK) {
        return std::string(url);
    }
    return part(read.get(), CURLUPART_URL).value_or(std::string(url));
}

} // namespace qz::platform
