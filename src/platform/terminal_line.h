#pragma once

#include "platform/download_window.h"

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

// What a state shows: the status alone while starting; a spinner beside the text when waiting or
// handing over; the bar and sizes when transferring with a known length, else the spinner and the
// bytes received.
TerminalLine terminalLineFor(const WindowState& state, char spinner);

// The line in at most `width` columns: the status, then a bar and the sizes (the bar narrows or
// goes first when room is short), or the spinner and the bytes so far.
std::string composeTerminalLine(const TerminalLine& line, std::size_t width);

// Columns taken by text in the locale's encoding (a CJK character takes two; in the C locale,
// a byte one).
std::size_t columns(const std::string& text);

} // namespace qz::platform
