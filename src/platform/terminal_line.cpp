#include "platform/terminal_line.h"

#include <algorithm>
#include <cstdio>

namespace qz::platform {
namespace {

constexpr std::size_t BAR_WIDTH = 30;
constexpr std::size_t MIN_BAR_WIDTH = 5;

std::string humanBytes(double bytes) {
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (bytes >= 1024.0 && unit < 4) {
        bytes /= 1024.0;
        ++unit;
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return buffer;
}

bool startsCharacter(char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
}

// The longest start of `text` that fits in `width` columns, cut between characters.
std::string fitColumns(const std::string& text, std::size_t width) {
    std::size_t used = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (startsCharacter(text[i]) && used++ == width) {
            return text.substr(0, i);
        }
    }
    return text;
}

} // namespace

std::size_t columns(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), startsCharacter));
}

TerminalLine terminalLineFor(const WindowState& state, char spinner) {
    TerminalLine line{state.status, false, spinner, std::nullopt, 0};
    switch (state.activity) {
    case Activity::Waiting:
    case Activity::HandingOver:
        line.indeterminate = true;
        break;
    case Activity::Transferring:
        if (state.bar.indeterminate || !state.bar.maximum) {
            line.indeterminate = true;
            line.value = static_cast<double>(state.bytesReceived);
        } else {
            line.maximum = state.bar.maximum;
            line.value = state.bar.value;
        }
        break;
    case Activity::Starting:
    case Activity::Failed:
        break;
    }
    return line;
}

std::string composeTerminalLine(const TerminalLine& line, std::size_t width) {
    const std::string status = line.status.substr(0, line.status.find('\n'));
    const std::string gap = status.empty() ? "" : " ";
    if (line.indeterminate) {
        std::string text = status + gap + line.spinner;
        if (line.value > 0) {
            text += " " + humanBytes(line.value);
        }
        return fitColumns(text, width);
    }
    if (!line.maximum || *line.maximum <= 0) {
        return fitColumns(status, width);
    }
    const std::string sizes = humanBytes(line.value) + " of " + humanBytes(*line.maximum);
    const std::size_t fixed = columns(status) + gap.size() + columns(sizes) + 3;
    const std::size_t barWidth = width > fixed ? std::min(BAR_WIDTH, width - fixed) : 0;
    std::string bar;
    if (barWidth >= MIN_BAR_WIDTH) {
        const double fraction = std::clamp(line.value / *line.maximum, 0.0, 1.0);
        const auto filled = static_cast<std::size_t>(fraction * static_cast<double>(barWidth));
        bar = "[" + std::string(filled, '#') + std::string(barWidth - filled, '.') + "] ";
    }
    return fitColumns(status + gap + bar + sizes, width);
}

} // namespace qz::platform
