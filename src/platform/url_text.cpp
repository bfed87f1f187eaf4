#include "platform/url_text.h"

namespace qz::platform {
namespace {

constexpr auto npos = std::string_view::npos;

bool isSchemeCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
}

// Appends text[from, end of the authority that begins at `authority`) to `out` with the password
// masked, and returns where the authority ends: at the first of `ends`. The user information
// runs to the last '@', so that a raw '@' in a password is masked too.
std::size_t appendMasked(std::string& out, std::string_view text, std::size_t from,
                         std::size_t authority, std::string_view ends) {
    const std::size_t found = text.find_first_of(ends, authority);
    const std::size_t end = found == npos ? text.size() : found;
    const std::string_view hostPart = text.substr(authority, end - authority);
    const std::size_t at = hostPart.rfind('@');
    const std::size_t colon = hostPart.find(':');
    if (at == npos || colon >= at || colon + 1 == at) {
        out.append(text.substr(from, end - from));
    } else {
        out.append(text.substr(from, authority + colon + 1 - from));
        out.append(MASKED_PASSWORD);
        out.append(text.substr(authority + at, end - authority - at));
    }
    return end;
}

} // namespace

std::string maskUrlPassword(std::string_view url) {
    std::size_t authority = 0;
    if (const std::size_t separator = url.find("://"); separator != npos) {
        bool scheme = separator > 0;
        for (std::size_t i = 0; i < separator; ++i) {
            scheme = scheme && isSchemeCharacter(url[i]);
        }
        authority = scheme ? separator + 3 : 0;
    } else if (url.starts_with("//")) {
        authority = 2;
    }
    std::string out;
    const std::size_t end = appendMasked(out, url, 0, authority, "/?#");
    out.append(url.substr(end));
    return out;
}

std::string maskUrlPasswordsInText(std::string_view text) {
    std::string out;
    std::size_t done = 0;
    for (std::size_t separator = text.find("://"); separator != npos;
         separator = text.find("://", separator + 3)) {
        if (separator < done || separator == 0 || !isSchemeCharacter(text[separator - 1])) {
            continue;
        }
        done = appendMasked(out, text, done, separator + 3, "/?# \t\r\n\"'<>");
    }
    out.append(text.substr(done));
    return out;
}

} // namespace qz::platform
