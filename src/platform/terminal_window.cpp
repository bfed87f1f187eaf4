#include "platform/terminal_window.h"

#include "bootstrap/settings.h"
#include "platform/close_on_signals.h"
#include "platform/event_loop.h"
#include "platform/terminal_line.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <glib.h>
#include <optional>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace qz::platform {
namespace {

constexpr int REDRAWS_PER_SECOND = 15;
constexpr std::size_t DEFAULT_COLUMNS = 80;

bool isProgressText(const std::string& text) {
    return text.rfind("Downloading ", 0) == 0;
}

class TerminalWindow : public DownloadWindow {
  public:
    TerminalWindow(EventLoop& loop, TerminalWindowOptions options)
        : loop_(loop), options_(options) {
        if (options_.handleSignals) {
            signals_.emplace([this] { close(); });
        }
    }

    ~TerminalWindow() override {
        removeSources();
        eraseLine();
    }

    void setDelegate(DownloadWindowDelegate* delegate) override {
        delegate_ = delegate;
    }

    void setStatusText(const std::string& text) override {
        if (text == status_) {
            return;
        }
        status_ = text;
        if (!options_.interactive && !isProgressText(text) && !text.empty()) {
            printLine(text);
        }
        markDirty();
    }
    void setStatusColour(TextColour colour) override {
        colour_ = colour;
        if (colour == TextColour::Red) {
            // A failure stays on screen as lines of its own; no one could close this window, so
            // it closes itself once the failure is shown.
            eraseLine();
            printFailure();
            if (closeSource_ == 0) {
                closeSource_ = loop_.callLater(0, [this] {
                    closeSource_ = 0;
                    close();
                });
            }
        }
    }

    void setProgressIndeterminate(bool indeterminate) override {
        indeterminate_ = indeterminate;
        markDirty();
    }
    void setProgressMaximum(double maximum) override {
        maximum_ = maximum;
        markDirty();
    }
    double progressMaximum() const override {
        return maximum_.value_or(100.0);
    }
    void setProgressValue(double value) override {
        value_ = value;
        markDirty();
    }
    void incrementProgressBy(double delta) override {
        value_ += delta;
        markDirty();
    }
    void startProgressAnimation() override {
        animating_ = true;
        markDirty();
    }
    void stopProgressAnimation() override {
        animating_ = false;
        markDirty();
    }
    void setCancelEnabled(bool) override {}
    void showSplashImage(const std::string&) override {}
    void displayIfNeeded() override {}

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
        if (redrawSource_ != 0) {
            g_source_remove(redrawSource_);
            redrawSource_ = 0;
        }
        if (closeSource_ != 0) {
            loop_.cancelCall(closeSource_);
            closeSource_ = 0;
        }
    }

    // Drawing happens on a timer, a bounded number of times a second, whatever the data rate.
    void markDirty() {
        if (closed_ || colour_ == TextColour::Red) {
            return;
        }
        if (!options_.interactive) {
            // Plain lines are few and cheap to decide on: no need to wait for the timer.
            drawPlain();
            return;
        }
        dirty_ = true;
        if (redrawSource_ == 0) {
            redrawSource_ =
                g_timeout_add(1000 / REDRAWS_PER_SECOND, &TerminalWindow::onRedraw, this);
            drawInPlace();
        }
    }

    static gboolean onRedraw(gpointer self) {
        auto* window = static_cast<TerminalWindow*>(self);
        if (!window->dirty_ && !(window->animating_ && window->indeterminate_)) {
            window->redrawSource_ = 0;
            return G_SOURCE_REMOVE;
        }
        window->drawInPlace();
        return G_SOURCE_CONTINUE;
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
        dirty_ = false;
        static const char spinner[] = {'|', '/', '-', '\\'};
        if (indeterminate_ && animating_) {
            ++spin_;
        }
        const std::size_t width = terminalColumns() - 1;
        const std::string line = composeTerminalLine(
            {status_, indeterminate_, spinner[spin_ % 4], maximum_, value_}, width);
        if (line.empty() && shownColumns_ == 0) {
            return;
        }
        std::string out = "\r";
        if (options_.escapes) {
            out += "\033[K" + line;
        } else {
            // Blanks cover what is left of a longer line before.
            out += line;
            const std::size_t covered = std::min(shownColumns_, width);
            out += std::string(covered > columns(line) ? covered - columns(line) : 0, ' ');
        }
        write(out);
        shownColumns_ = columns(line);
        lineShown_ = true;
    }

    // Without a terminal, progress is a line when the download starts and at each quarter.
    void drawPlain() {
        if (!isProgressText(status_) || indeterminate_ || !maximum_ || *maximum_ <= 0) {
            return;
        }
        const int quarter = static_cast<int>(std::clamp(value_ / *maximum_, 0.0, 1.0) * 4);
        if (quarter != lastQuarter_) {
            lastQuarter_ = quarter;
            printLine(status_);
        }
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

    void write(const std::string& bytes) {
        std::fwrite(bytes.data(), 1, bytes.size(), options_.stream);
        std::fflush(options_.stream);
    }

    void printLine(const std::string& text) {
        write(text + "\n");
        lastPrinted_ = text;
    }

    void printFailure() {
        if (!options_.interactive && lastPrinted_ == status_) {
            return;
        }
        const bool red = options_.colour && options_.escapes;
        write((red ? "\033[31m" : "") + status_ + (red ? "\033[0m" : "") + "\n");
        lastPrinted_ = status_;
    }

    EventLoop& loop_;
    TerminalWindowOptions options_;
    DownloadWindowDelegate* delegate_ = nullptr;
    std::optional<CloseOnSignals> signals_;
    guint redrawSource_ = 0;
    unsigned closeSource_ = 0;
    std::string status_;
    TextColour colour_ = TextColour::Default;
    bool indeterminate_ = false;
    bool animating_ = false;
    std::optional<double> maximum_; // unset until the length is known: no made-up total
    double value_ = 0;
    bool dirty_ = false;
    bool lineShown_ = false;
    std::size_t shownColumns_ = 0;
    bool closed_ = false;
    int lastQuarter_ = -1;
    std::string lastPrinted_;
    unsigned spin_ = 0;
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
