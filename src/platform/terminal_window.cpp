#include "platform/terminal_window.h"

#include "platform/close_on_signals.h"
#include "platform/event_loop.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <glib.h>
#include <optional>
#include <string>
#include <unistd.h>

namespace qz::platform {
namespace {

constexpr int REDRAWS_PER_SECOND = 15;
constexpr int BAR_WIDTH = 30;

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
        return maximum_;
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
        if (!plainAnnounced_ && !options_.interactive && indeterminate_ && status_.empty()) {
            plainAnnounced_ = true;
            printLine("Downloading the install agent");
        }
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
            draw();
        }
    }

    static gboolean onRedraw(gpointer self) {
        auto* window = static_cast<TerminalWindow*>(self);
        if (!window->dirty_ && !(window->animating_ && window->indeterminate_)) {
            window->redrawSource_ = 0;
            return G_SOURCE_REMOVE;
        }
        window->draw();
        return G_SOURCE_CONTINUE;
    }

    void draw() {
        dirty_ = false;
        if (options_.interactive) {
            drawInPlace();
        } else {
            drawPlain();
        }
    }

    void drawInPlace() {
        std::string line = status_.substr(0, status_.find('\n'));
        if (indeterminate_) {
            static const char spinner[] = {'|', '/', '-', '\\'};
            if (animating_) {
                ++spin_;
            }
            line += (line.empty() ? "" : " ");
            line += spinner[spin_ % 4];
            if (value_ > 0) {
                line += " " + humanBytes(value_);
            }
        } else if (maximum_ > 0) {
            const double fraction = std::clamp(value_ / maximum_, 0.0, 1.0);
            const int filled = static_cast<int>(fraction * BAR_WIDTH);
            line += " [" + std::string(filled, '#') + std::string(BAR_WIDTH - filled, '.') + "] " +
                    humanBytes(value_) + " of " + humanBytes(maximum_);
        }
        std::fprintf(options_.stream, "\r\033[K%s", line.c_str());
        std::fflush(options_.stream);
        lineShown_ = true;
    }

    // Without a terminal, progress is a line when the download starts and at each quarter.
    void drawPlain() {
        if (!isProgressText(status_) || indeterminate_ || maximum_ <= 0) {
            return;
        }
        const int quarter = static_cast<int>(std::clamp(value_ / maximum_, 0.0, 1.0) * 4);
        if (quarter != lastQuarter_) {
            lastQuarter_ = quarter;
            printLine(status_);
        }
    }

    void eraseLine() {
        if (lineShown_) {
            std::fprintf(options_.stream, "\r\033[K");
            std::fflush(options_.stream);
            lineShown_ = false;
        }
    }

    static bool isProgressText(const std::string& text) {
        return text.rfind("Downloading ", 0) == 0;
    }

    void printLine(const std::string& text) {
        std::fprintf(options_.stream, "%s\n", text.c_str());
        std::fflush(options_.stream);
        lastPrinted_ = text;
    }

    void printFailure() {
        if (!options_.interactive && lastPrinted_ == status_) {
            return;
        }
        const bool red = options_.colour;
        std::fprintf(options_.stream, "%s%s%s\n", red ? "\033[31m" : "", status_.c_str(),
                     red ? "\033[0m" : "");
        std::fflush(options_.stream);
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
    double maximum_ = 100.0;
    double value_ = 0;
    bool dirty_ = false;
    bool lineShown_ = false;
    bool plainAnnounced_ = false;
    bool closed_ = false;
    int lastQuarter_ = -1;
    std::string lastPrinted_;
    unsigned spin_ = 0;
};

} // namespace

TerminalWindowOptions terminalWindowOptionsForStderr() {
    TerminalWindowOptions options;
    options.interactive = ::isatty(STDERR_FILENO) == 1;
    const char* noColor = std::getenv("NO_COLOR");
    options.colour = options.interactive && (noColor == nullptr || *noColor == '\0');
    return options;
}

std::unique_ptr<DownloadWindow> makeTerminalWindow(EventLoop& loop, TerminalWindowOptions options) {
    return std::make_unique<TerminalWindow>(loop, options);
}

} // namespace qz::platform
