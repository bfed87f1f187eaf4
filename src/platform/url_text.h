#pragma once

#include <string>
#include <string_view>

namespace qz::platform {

// What replaces a password in messages.
inline constexpr std::string_view MASKED_PASSWORD = "***";

// `url` with the password of its user information ("user:password@") replaced by
// MASKED_PASSWORD; the user name and everything else stay byte for byte. A text without
// "scheme://" is read the way libcurl reads it, as an authority with a guessed scheme. An empty
// password stays as it is.
std::string maskUrlPassword(std::string_view url);

// `text` with the password of every "scheme://" URL in it masked as above; a URL ends at a
// blank or a quotation mark.
std::string maskUrlPasswordsInText(std::string_view text);

} // namespace qz::platform
