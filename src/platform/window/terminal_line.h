#pragma once

#include "platform/window/download_window.h"

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <utility>

namespace qz::platform {

// What the terminal window's in-place line shows.
struct TerminalLine {
    std::string status;         // only its first line is shown
    bool indeterminate = false; // a spinner instead of a bar
    char spinner = '|';
    std::optional<double> maximum; // no total until it is known
    double value = 0;
    std::optional<double> bytesPerSecond = std::nullopt; // once it can be estimated
};

// The transfer rate, smoothed over the last few seconds so that the line does not flicker.
class TransferRate {
  public:
    // `bytes` received in all by `seconds` (on any steady clock).
    void add(double seconds, double bytes);
    void reset() {
        samples_.clear();
    }
    // None until the samples span a second.
    std::optional<double> bytesPerSecond() const;

  private:
    std::deque<std::pair<double, double>> samples_;
};

// What a state shows: the status alone while starting; a spinner beside the text when waiting or
// handing over; the bar and sizes when transferring with a known length, else the spinner and the
// bytes received.
TerminalLine terminalLineFor(const WindowState& state, char spinner);

// The line in at most `width` columns: the status, then a bar, the sizes, the rate and the time
// left (when room is short the time left goes first, then the rate, then the bar narrows or goes),
// or the spinner, the bytes so far and the rate.
std::string composeTerminalLine(const TerminalLine& line, std::size_t width);

// Columns taken by text in the locale's encoding (a CJK character takes two; in the C locale,
// a byte one).
std::size_t columns(const std::string& text);

} // namespace qz::platform
