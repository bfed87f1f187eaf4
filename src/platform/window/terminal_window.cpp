#include "platform/window/terminal_window.h"

#include "base/settings.h"
#include "bootstrap/message_reporter.h"
#include "platform/system/close_on_signals.h"
#include "platform/system/event_loop.h"
#include "platform/window/terminal_line.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace qz::platform {
namespace {

constexpr int SPINS_PER_SECOND = 10;
constexpr std::size_t DEFAULT_COLUMNS = 80;

bool busyWithText(Activity activity) {
    return activity == Activity::Waiting || activity == Activity::HandingOver;
}

// States come already coalesced, so each one is drawn as it comes; only the spinner has a timer.
class TerminalWindow : public DownloadWindow {
  public:
    TerminalWindow(EventLoop& loop, TerminalWindowOptions options)
        : loop_(loop), options_(options) {
        if (options_.handleSignals) {
            signals_.emplace(loop_, [this] { close(); });
        }
        if (options_.interactive) {
            ownInPlaceLine([this] { endLine(); });
        }
    }

    ~TerminalWindow() override {
        if (options_.interactive) {
            ownInPlaceLine(nullptr);
        }
        removeSources();
        eraseLine();
    }

    TerminalWindow(const TerminalWindow&) = delete;
    TerminalWindow& operator=(const TerminalWindow&) = delete;

    void setDelegate(DownloadWindowDelegate* delegate) override {
        delegate_ = delegate;
    }

    void show(const WindowState& state) override {
        // As before the server answers, the terminal says nothing while the signature comes.
        if (closed_ || failed_ || state.activity == Activity::Checking) {
            return;
        }
        const WindowState previous = std::exchange(state_, state);
        if (state_.activity == Activity::Transferring) {
            const std::chrono::duration<double> since = std::chrono::steady_clock::now() - start_;
            rate_.add(since.count(), static_cast<double>(state_.bytesReceived));
        } else {
            rate_.reset();
        }
        if (state_.activity == Activity::Failed) {
            showFailure();
        } else if (options_.interactive && state_.activity == Activity::HandingOver) {
            // unzip may write to the terminal meanwhile: nothing is redrawn in place.
            stopSpinner();
            endLine();
            printPlain(previous);
        } else if (options_.interactive) {
            drawInPlace();
            spinWhileAnimated();
        } else {
            printPlain(previous);
        }
    }

    bool closableByUser() override {
        return false;
    }

    void close() override {
        if (closed_) {
            return;
        }
        closed_ = true;
        removeSources();
        eraseLine();
        if (delegate_ != nullptr) {
            delegate_->windowWillClose();
        }
    }

  private:
    void removeSources() {
        signals_.reset();
        stopSpinner();
        if (closeSource_ != 0) {
            loop_.cancelCall(closeSource_);
            closeSource_ = 0;
        }
    }

    TerminalLine line() const {
        TerminalLine line = terminalLineFor(state_, SPINNER[spin_ % sizeof SPINNER]);
        if (state_.activity == Activity::Transferring) {
            line.bytesPerSecond = rate_.bytesPerSecond();
        }
        return line;
    }

    // The spinner turns on a timer of its own: it is animation, not progress.
    void spinWhileAnimated() {
        const bool spinning = line().indeterminate && state_.bar.animating;
        if (!spinning) {
            stopSpinner();
        } else if (spinSource_ == 0) {
            spinLater();
        }
    }

    void spinLater() {
        spinSource_ = loop_.callLater(1.0 / SPINS_PER_SECOND, [this] {
            ++spin_;
            drawInPlace();
            spinLater();
        });
    }

    void stopSpinner() {
        if (spinSource_ != 0) {
            loop_.cancelCall(spinSource_);
            spinSource_ = 0;
        }
    }

    // The width asked for afresh at each redraw, so that a resized terminal is followed.
    std::size_t terminalColumns() const {
        winsize size{};
        if (::ioctl(::fileno(options_.stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
            return size.ws_col;
        }
        return DEFAULT_COLUMNS;
    }

    // One line redrawn in place, one column short of the width so that it never wraps.
    void drawInPlace() {
        const std::size_t width = terminalColumns() - 1;
        const std::string text = composeTerminalLine(line(), width);
        if (text.empty() && shownColumns_ == 0) {
            return;
        }
        std::string out = "\r";
        if (options_.escapes) {
            out += "\033[K" + text;
        } else {
            // Blanks cover what is left of a longer line before.
            out += text;
            const std::size_t covered = std::min(shownColumns_, width);
            out += std::string(covered > columns(text) ? covered - columns(text) : 0, ' ');
        }
        write(out);
        shownColumns_ = columns(text);
        lineShown_ = true;
    }

    // Without a terminal: a line for each busy text, and one at each quarter of a transfer.
    void printPlain(const WindowState& previous) {
        const bool changed =
            state_.activity != previous.activity || state_.status != previous.status;
        if (busyWithText(state_.activity)) {
            if (changed && !state_.status.empty()) {
                printLine(state_.status);
            }
            return;
        }
        const ProgressBar& bar = state_.bar;
        if (state_.activity != Activity::Transferring || bar.indeterminate || !bar.maximum ||
            *bar.maximum <= 0 || state_.status.empty()) {
            return;
        }
        if (previous.activity != Activity::Transferring) {
            lastQuarter_ = -1;
        }
        const int quarter = static_cast<int>(std::clamp(bar.value / *bar.maximum, 0.0, 1.0) * 4);
        if (quarter != lastQuarter_) {
            lastQuarter_ = quarter;
            printLine(state_.status);
        }
    }

    // A failure stays on screen in full, as lines of its own; no one could close this window,
    // so it closes itself once the failure is shown.
    void showFailure() {
        failed_ = true;
        stopSpinner();
        eraseLine();
        const bool red = state_.colour == TextColour::Red && options_.colour && options_.escapes;
        write((red ? "\033[31m" : "") + state_.status + (red ? "\033[0m" : "") + "\n");
        closeSource_ = loop_.callLater(0, [this] {
            closeSource_ = 0;
            close();
        });
    }

    void eraseLine() {
        if (!lineShown_) {
            return;
        }
        if (options_.escapes) {
            write("\r\033[K");
        } else {
            write("\r" + std::string(std::min(shownColumns_, terminalColumns() - 1), ' ') + "\r");
        }
        lineShown_ = false;
        shownColumns_ = 0;
    }

    // The line stays as it was shown and what follows starts below it.
    void endLine() {
        if (lineShown_) {
            write("\n");
            lineShown_ = false;
            shownColumns_ = 0;
        }
    }

    void write(const std::string& bytes) {
        std::fwrite(bytes.data(), 1, bytes.size(), options_.stream);
        std::fflush(options_.stream);
    }

    void printLine(const std::string& text) {
        write(text + "\n");
    }

    static constexpr char SPINNER[] = {'|', '/', '-', '\\'};

    EventLoop& loop_;
    TerminalWindowOptions options_;
    DownloadWindowDelegate* delegate_ = nullptr;
    std::optional<CloseOnSignals> signals_;
    unsigned spinSource_ = 0;
    unsigned closeSource_ = 0;
    WindowState state_;
    bool lineShown_ = false;
    std::size_t shownColumns_ = 0;
    bool failed_ = false;
    bool closed_ = false;
    int lastQuarter_ = -1;
    unsigned spin_ = 0;
    const std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    TransferRate rate_;
};

} // namespace

TerminalWindowOptions terminalWindowOptionsFor(std::FILE* stream, const Settings& settings) {
    TerminalWindowOptions options;
    options.stream = stream;
    options.interactive = ::isatty(::fileno(stream)) == 1;
    options.escapes = !settings.dumbTerminal;
    options.colour = options.interactive && options.escapes && settings.colour;
    return options;
}

std::unique_ptr<DownloadWindow> makeTerminalWindow(EventLoop& loop, TerminalWindowOptions options) {
    return std::make_unique<TerminalWindow>(loop, options);
}

} // namespace qz::platform
