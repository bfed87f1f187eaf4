#include "platform/terminal_line.h"

#include "bootstrap/translation.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <utility>

namespace qz::platform {
namespace {

constexpr std::size_t BAR_WIDTH = 30;
constexpr std::size_t MIN_BAR_WIDTH = 5;

// In the user's language and with the locale's decimal sign.
std::string humanBytes(double bytes) {
    int unit = 0;
    while (bytes >= 1024.0 && unit < 4) {
        bytes /= 1024.0;
        ++unit;
    }
    // TRANSLATORS: a size in bytes, kibibytes, mebibytes, gibibytes or tebibytes.
    const char* formats[] = {_("%.0f B"), _("%.1f KiB"), _("%.1f MiB"), _("%.1f GiB"),
                             _("%.1f TiB")};
    return formatText(formats[unit], bytes);
}

// The longest start of `text` that fits in `width` columns, cut between characters, and the
// columns it takes: each character as wide as the locale says (two for CJK), or a byte a column
// in a single-byte locale and where the text is not valid in the locale's encoding.
std::pair<std::size_t, std::size_t> fitting(const std::string& text, std::size_t width) {
    std::mbstate_t state{};
    std::size_t used = 0;
    for (std::size_t at = 0; at < text.size();) {
        wchar_t character = 0;
        std::size_t length =
            MB_CUR_MAX == 1 ? 1 : std::mbrtowc(&character, &text[at], text.size() - at, &state);
        int wide = 1;
        if (length == 0 || length > text.size() - at) {
            length = 1;
            state = std::mbstate_t{};
        } else if (MB_CUR_MAX > 1) {
            wide = ::wcswidth(&character, 1);
        }
        const std::size_t taken = wide < 0 ? 1 : static_cast<std::size_t>(wide);
        if (used + taken > width) {
            return {at, used};
        }
        used += taken;
        at += length;
    }
    return {text.size(), used};
}

std::string fitColumns(const std::string& text, std::size_t width) {
    return text.substr(0, fitting(text, width).first);
}

} // namespace

std::size_t columns(const std::string& text) {
    return fitting(text, SIZE_MAX).second;
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
    // TRANSLATORS: the bytes received so far of the bytes expected, e.g. "1.5 MiB of 3.0 MiB".
    const std::string sizes = formatText(_("%s of %s"), humanBytes(line.value).c_str(),
                                         humanBytes(*line.maximum).c_str());
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
