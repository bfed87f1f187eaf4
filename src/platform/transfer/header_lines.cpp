#include "platform/transfer/header_lines.h"

#include <algorithm>

namespace qz::platform {
namespace {

char lowered(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return lowered(x) == lowered(y);
           });
}

// Headers of the response itself, as opposed to 1xx, trailers, CONNECT or pseudo headers.
constexpr unsigned RESPONSE_HEADERS = CURLH_HEADER;
constexpr int LAST_REQUEST = -1;

} // namespace

std::string_view trimmedText(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           equalsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

std::optional<std::string> headerFieldNamed(const HeaderFields& fields, std::string_view name) {
    for (const auto& [fieldName, value] : fields) {
        if (equalsIgnoringCase(trimmedText(fieldName), trimmedText(name))) {
            return std::string(trimmedText(value));
        }
    }
    return std::nullopt;
}

HeaderFields lastResponseFields(CURL* easy) {
    HeaderFields fields;
    for (curl_header* field = nullptr;
         (field = curl_easy_nextheader(easy, RESPONSE_HEADERS, LAST_REQUEST, field)) != nullptr;) {
        // libcurl leaves a value made only of blanks with its line end.
        fields.emplace_back(trimmedText(field->name), trimmedText(field->value));
    }
    return fields;
}

bool isFinalResponse(CURL* easy, long statusCode) {
    curl_header* location = nullptr;
    const bool redirects = statusCode / 100 == 3 &&
                           curl_easy_header(easy, "Location", 0, RESPONSE_HEADERS, LAST_REQUEST,
                                            &location) == CURLHE_OK &&
                           !trimmedText(location->value).empty();
    return statusCode >= 200 && !redirects;
}

} // namespace qz::platform
