#include "platform/header_lines.h"

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

HeaderLines::Line HeaderLines::add(std::string_view line) {
    if (startsWithIgnoringCase(line, "HTTP/")) {
        fields_.clear();
        return Line::StatusLine;
    }
    if (line == "\r\n" || line == "\n") {
        return Line::EndOfBlock;
    }
    const std::string_view content = trimmedText(line);
    if (content.empty()) {
        return Line::Other;
    }
    if ((line.front() == ' ' || line.front() == '\t') && !fields_.empty()) {
        auto& value = fields_.back().second;
        value += value.empty() ? "" : " ";
        value += content;
        return Line::Other;
    }
    if (const auto colon = line.find(':'); colon != std::string_view::npos) {
        fields_.emplace_back(std::string(trimmedText(line.substr(0, colon))),
                             std::string(trimmedText(line.substr(colon + 1))));
    }
    return Line::Other;
}

HeaderFields HeaderLines::takeFields() {
    HeaderFields fields = std::move(fields_);
    fields_.clear();
    return fields;
}

bool HeaderLines::endsFinalResponse(long statusCode) const {
    const auto location = headerFieldNamed(fields_, "Location");
    return statusCode >= 200 && !(statusCode / 100 == 3 && location && !location->empty());
}

} // namespace qz::platform
