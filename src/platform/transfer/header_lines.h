#pragma once

#include <curl/curl.h>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qz::platform {

using HeaderFields = std::vector<std::pair<std::string, std::string>>;

// `text` without the blanks, tabs and line ends around it.
std::string_view trimmedText(std::string_view text);
bool startsWithIgnoringCase(std::string_view text, std::string_view prefix);

// Case-insensitive lookup of the first field of that name; the value trimmed.
std::optional<std::string> headerFieldNamed(const HeaderFields& fields, std::string_view name);

// The empty line that ends a header block, as libcurl hands it to the header callback.
inline bool endsHeaderBlock(std::string_view line) {
    return line == "\r\n" || line == "\n";
}

// The header fields of the last request's response as libcurl has stored them (no 1xx,
// trailers or proxy fields), in the order received, values trimmed.
HeaderFields lastResponseFields(CURL* easy);

// Whether the last request's response, with the status code that libcurl reports for it, is the
// final one: not a 1xx, nor a 3xx with a Location, which libcurl follows (or fails on).
bool isFinalResponse(CURL* easy, long statusCode);

} // namespace qz::platform
