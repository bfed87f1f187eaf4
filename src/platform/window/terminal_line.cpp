#include "platform/window/terminal_line.h"

#include "base/translation.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cwchar>
#include <utility>

namespace qz::platform {
namespace {

constexpr std::size_t BAR_WIDTH = 30;
constexpr std::size_t MIN_BAR_WIDTH = 5;
constexpr double RATE_WINDOW_SECONDS = 5;
constexpr double RATE_MIN_SPAN_SECONDS = 1;

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

// As a clock shows it: 0:42, 12:05, 1:02:03.
std::string clockTime(double seconds) {
    const auto whole = static_cast<long>(std::min(seconds, 359999.0) + 0.5);
    const long h = whole / 3600;
    const long m = whole / 60 % 60;
    const long s = whole % 60;
    return h > 0 ? formatText("%ld:%02ld:%02ld", h, m, s) : formatText("%ld:%02ld", m, s);
}

// Beside the bytes: the rate, and with `timeLeft` and a known length, the time left.
std::string rateAndTimeLeft(const TerminalLine& line, bool timeLeft) {
    if (!line.bytesPerSecond || *line.bytesPerSecond <= 0) {
        return "";
    }
    const double rate = *line.bytesPerSecond;
    // TRANSLATORS: a transfer rate; %s is a size such as "1.5 MiB".
    std::string text = "  " + formatText(_("%s/s"), humanBytes(rate).c_str());
    if (timeLeft && line.maximum) {
        const double left = std::max(0.0, (*line.maximum - line.value) / rate);
        // TRANSLATORS: %s is a time such as "1:05" (minutes and seconds) or "1:02:03".
        text += "  " + formatText(_("%s left"), clockTime(left).c_str());
    }
    return text;
}

std::string fitColumns(const std::string& text, std::size_t width) {
    return text.substr(0, fitting(text, width).first);
}

} // namespace

void TransferRate::add(double seconds, double bytes) {
    samples_.emplace_back(seconds, bytes);
    // The oldest sample kept is the last one at least the window's length ago.
    while (samples_.size() > 2 && samples_[1].first <= seconds - RATE_WINDOW_SECONDS) {
        samples_.pop_front();
    }
}

std::optional<double> TransferRate::bytesPerSecond() const {
    if (samples_.size() < 2) {
        return std::nullopt;
    }
    const double span = samples_.back().first - samples_.front().first;
    if (span < RATE_MIN_SPAN_SECONDS) {
        return std::nullopt;
    }
    return (samples_.back().second - samples_.front().second) / span;
}

std::size_t columns(const std::string& text) {
    return fitting(text, SIZE_MAX).second;
}

TerminalLine terminalLineFor(const WindowState& state, char spinner) {
    TerminalLine line{state.status, false, spinner, std::nullopt, 0, std::nullopt};
    switch (state.activity) {
    case Activity::Checking:
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
        const std::string withRate = text + rateAndTimeLeft(line, false);
        return fitColumns(columns(withRate) <= width ? withRate : text, width);
    }
    if (!line.maximum || *line.maximum <= 0) {
        return fitColumns(status, width);
    }
    // TRANSLATORS: the bytes received so far of the bytes expected, e.g. "1.5 MiB of 3.0 MiB".
    const std::string bytes = formatText(_("%s of %s"), humanBytes(line.value).c_str(),
                                         humanBytes(*line.maximum).c_str());
    std::string sizes;
    std::size_t barWidth = 0;
    for (const bool timeLeft : {true, false}) {
        sizes = bytes + rateAndTimeLeft(line, timeLeft);
        const std::size_t fixed = columns(status) + gap.size() + columns(sizes) + 3;
        barWidth = width > fixed ? std::min(BAR_WIDTH, width - fixed) : 0;
        if (barWidth >= MIN_BAR_WIDTH) {
            break;
        }
    }
    if (barWidth < MIN_BAR_WIDTH) {
        sizes = bytes;
        const std::size_t fixed = columns(status) + gap.size() + columns(sizes) + 3;
        barWidth = width > fixed ? std::min(BAR_WIDTH, width - fixed) : 0;
    }
    std::string bar;
    if (barWidth >= MIN_BAR_WIDTH) {
        const double fraction = std::clamp(line.value / *line.maximum, 0.0, 1.0);
        const auto filled = static_cast<std::size_t>(fraction * static_cast<double>(barWidth));
        bar = "[" + std::string(filled, '#') + std::string(barWidth - filled, '.') + "] ";
    }
    return fitColumns(status + gap + bar + sizes, width);
}

} // namespace qz::platform
