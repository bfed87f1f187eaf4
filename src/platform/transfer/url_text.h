#pragma once

#include <string>
#include <string_view>

namespace qz::platform {

// What replaces a password in messages.
inline constexpr std::string_view MASKED_PASSWORD = "***";

// `url` with the password of its user information ("user:password@") replaced by
// MASKED_PASSWORD, read as libcurl reads a URL (a missing scheme guessed). A URL without a
// password stays byte for byte; one with a password comes back as libcurl writes it. In a URL
// that libcurl cannot read, everything between the scheme and the last '@' is masked.
std::string maskUrlPassword(std::string_view url);

// `text` with the password of every "scheme://" URL in it masked as above; a URL ends at a
// blank or a quotation mark.
std::string maskUrlPasswordsInText(std::string_view text);

// The last segment of the URL's path, as libcurl reads the URL; empty when there is none.
std::string lastPathSegment(std::string_view url);

// The URL with `suffix` after its path, before any query or fragment; unchanged when libcurl
// cannot read it.
std::string withPathSuffix(std::string_view url, std::string_view suffix);

} // namespace qz::platform
