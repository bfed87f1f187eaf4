#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace qz::platform {

// What the terminal window's in-place line shows.
struct TerminalLine {
    std::string status;         // only its first line is shown
    bool indeterminate = false; // a spinner instead of a bar
    char spinner = '|';
    std::optional<double> maximum; // no total until it is known
    double value = 0;
};

// The line in at most `width` columns: the status, then a bar and the sizes (the bar narrows or
// goes first when room is short), or the spinner and the bytes so far.
std::string composeTerminalLine(const TerminalLine& line, std::size_t width);

// Columns taken by UTF-8 text, one for each character.
std::size_t columns(const std::string& text);

} // namespace qz::platform
