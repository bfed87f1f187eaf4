#pragma once

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

// The header block of an HTTP response, built from the lines that libcurl hands over one at a
// time, every response of a redirect chain and any 1xx included.
class HeaderLines {
  public:
    enum class Line { StatusLine, EndOfBlock, Other };

    // A status line ("HTTP/...") starts a new block; a line that begins with a blank or a tab
    // continues the value of the field before it; an empty line ends the block.
    Line add(std::string_view line);

    // Of the current block, names and values trimmed, in the order received.
    const HeaderFields& fields() const {
        return fields_;
    }
    HeaderFields takeFields();

    // Whether the block that has just ended, with the status code that libcurl reports for it,
    // is the final response: not a 1xx, nor a 3xx with a Location, which libcurl follows (or
    // fails on).
    bool endsFinalResponse(long statusCode) const;

  private:
    HeaderFields fields_;
};

} // namespace qz::platform
