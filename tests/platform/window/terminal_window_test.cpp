#include "platform/window/terminal_window.h"

#include "base/settings.h"
#include "platform/system/event_loop.h"
#include "support/env_guard.h"
#include "support/main_context.h"

#include <algorithm>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace qz::platform {
namespace {

const std::string FAILURE =
    "Error during the download process.\nSee your system log for more information.";
const std::string MARK = "\x01mark\x01";

// A transfer's state: a known length shows a bar, an unknown one pulses.
WindowState transfer(const std::string& status, double value, std::optional<double> maximum) {
    WindowState state;
    state.activity = Activity::Transferring;
    state.status = status;
    state.bar = {!maximum, true, value, maximum};
    return state;
}

WindowState busy(Activity activity, const std::string& status) {
    WindowState state;
    state.activity = activity;
    state.status = status;
    state.bar = {true, true, 0, std::nullopt};
    return state;
}

WindowState failed() {
    WindowState state;
    state.activity = Activity::Failed;
    state.status = FAILURE;
    state.colour = TextColour::Red;
    state.bar = {false, false, DEFAULT_BAR_MAXIMUM, std::nullopt};
    return state;
}

// The terminal window drawing on a pseudo-terminal whose other end the test reads.
class TerminalWindowTest : public ::testing::Test {
  protected:
    void SetUp() override {
        master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(master, 0);
        ASSERT_EQ(::grantpt(master), 0);
        ASSERT_EQ(::unlockpt(master), 0);
        const int slave = ::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
        ASSERT_GE(slave, 0);
        termios raw{};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
        stream = ::fdopen(slave, "w");
        ASSERT_NE(stream, nullptr);
        resize(80);
    }
    void TearDown() override {
        window.reset();
        if (stream != nullptr) {
            std::fclose(stream);
        }
        if (master >= 0) {
            ::close(master);
        }
    }

    void resize(unsigned short columns) {
        winsize size{};
        size.ws_row = 24;
        size.ws_col = columns;
        ASSERT_EQ(::ioctl(master, TIOCSWINSZ, &size), 0);
    }

    void open(bool escapes = true) {
        TerminalWindowOptions options;
        options.stream = stream;
        options.interactive = true;
        options.colour = escapes;
        options.escapes = escapes;
        options.handleSignals = false;
        window = makeTerminalWindow(loop, options);
    }

    // Everything written since the last call: a mark written after it tells when it has all
    // come through the terminal.
    std::string take() {
        std::fflush(stream);
        const int slave = ::fileno(stream);
        EXPECT_EQ(::write(slave, MARK.data(), MARK.size()), static_cast<ssize_t>(MARK.size()));
        std::string bytes;
        while (bytes.size() < MARK.size() ||
               bytes.compare(bytes.size() - MARK.size(), MARK.size(), MARK) != 0) {
            pollfd readable{master, POLLIN, 0};
            if (::poll(&readable, 1, 5000) != 1) {
                ADD_FAILURE() << "the terminal went quiet: " << bytes;
                return bytes;
            }
            char buffer[4096];
            const ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n <= 0) {
                return bytes;
            }
            bytes.append(buffer, static_cast<std::size_t>(n));
        }
        return bytes.substr(0, bytes.size() - MARK.size());
    }

    // Waits for the window's redraw timer until `text` has been drawn; returns what was written.
    std::string waitFor(const std::string& text) {
        std::string written;
        test::runLoopUntil(
            loop,
            [&] {
                written += take();
                return written.find(text) != std::string::npos;
            },
            5.0);
        EXPECT_NE(written.find(text), std::string::npos) << written;
        return written;
    }

    // Each redraw of the line: what follows a carriage return, escape sequences left out.
    static std::vector<std::string> drawnLines(const std::string& written) {
        std::vector<std::string> lines;
        std::size_t start = written.find('\r');
        while (start != std::string::npos) {
            const std::size_t end = written.find_first_of("\r\n", start + 1);
            std::string line = written.substr(start + 1, end - start - 1);
            for (std::size_t esc; (esc = line.find('\033')) != std::string::npos;) {
                const std::size_t last = line.find_first_of("ABCDHJKm", esc);
                line.erase(esc, last == std::string::npos ? std::string::npos : last - esc + 1);
            }
            lines.push_back(line);
            start = end == std::string::npos || written[end] != '\r' ? std::string::npos : end;
        }
        return lines;
    }

    static std::vector<std::size_t> drawnWidths(const std::string& written) {
        std::vector<std::size_t> widths;
        for (const auto& line : drawnLines(written)) {
            widths.push_back(line.size());
        }
        return widths;
    }

    EventLoop loop;
    int master = -1;
    std::FILE* stream = nullptr;
    std::unique_ptr<DownloadWindow> window;
};

TEST_F(TerminalWindowTest, TheLineFitsTheTerminalAndFollowsItsWidth) {
    resize(20);
    open();
    window->show(transfer("Downloading   0%", 0, 1000));
    std::string written = waitFor("Downloading   0%");
    for (std::size_t width : drawnWidths(written)) {
        EXPECT_LE(width, 19u) << written;
    }

    resize(50);
    window->show(transfer("Downloading  50%", 500, 1000));
    written = waitFor("500 B of 1000 B");
    const auto widths = drawnWidths(written);
    ASSERT_FALSE(widths.empty());
    EXPECT_GT(*std::max_element(widths.begin(), widths.end()), 19u) << written;
    for (std::size_t width : widths) {
        EXPECT_LE(width, 49u) << written;
    }
}

TEST_F(TerminalWindowTest, NoTotalIsShownBeforeAMaximumIsSet) {
    open();
    window->show(WindowState{});
    const std::string before = take();
    EXPECT_EQ(before.find(" of "), std::string::npos) << before;
    EXPECT_EQ(before.find("100 B"), std::string::npos) << before;
    window->show(transfer("", 0, 2048));
    EXPECT_NE(waitFor("0 B of 2.0 KiB").find("0 B of 2.0 KiB"), std::string::npos);
}

TEST_F(TerminalWindowTest, AnUnknownLengthShowsTheSpinnerAndTheBytesBesideAnEmptyStatus) {
    open();
    WindowState state = transfer("", 0, std::nullopt);
    window->show(state);
    const std::string written = waitFor("/");
    for (char c : written) {
        EXPECT_TRUE(std::isalpha(static_cast<unsigned char>(c)) == 0 || c == 'K') << written;
    }
    state.bytesReceived = 3072;
    window->show(state);
    waitFor("3.0 KiB");
}

TEST_F(TerminalWindowTest, TheLineShowsTheFirstLineAndAFailureIsPrintedInFull) {
    open();
    window->show(busy(Activity::Waiting, "first\nsecond"));
    const std::string drawn = take();
    EXPECT_NE(drawn.find("first"), std::string::npos) << drawn;
    EXPECT_EQ(drawn.find("second"), std::string::npos) << drawn;
    window->show(failed());
    const std::string failed = take();
    EXPECT_NE(failed.find("\033[31m" + FAILURE + "\033[0m\n"), std::string::npos) << failed;
}

TEST_F(TerminalWindowTest, ADumbTerminalGetsBlanksInsteadOfEscapeSequences) {
    open(false);
    window->show(transfer("Downloading   0%", 0, 1000));
    std::string written = waitFor("Downloading   0%");
    // A shorter line covers the longer one before it with blanks.
    window->show(busy(Activity::Waiting, "Waiting"));
    written += waitFor("Waiting");
    const auto lines = drawnLines(written);
    ASSERT_GE(lines.size(), 2u) << written;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::size_t shown = lines[i - 1].find_last_not_of(' ') + 1;
        EXPECT_GE(lines[i].size(), shown) << written;
    }
    window->show(failed());
    written += take();
    EXPECT_EQ(written.find('\033'), std::string::npos) << written;
    EXPECT_NE(written.find(FAILURE + "\n"), std::string::npos) << written;
}

TEST_F(TerminalWindowTest, WithoutATerminalAnUnknownLengthPrintsNoMadeUpStatus) {
    std::FILE* file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    TerminalWindowOptions options;
    options.stream = file;
    options.handleSignals = false;
    auto plain = makeTerminalWindow(loop, options);
    plain->show(WindowState{});
    WindowState state = transfer("", 0, std::nullopt);
    state.bytesReceived = 4096;
    plain->show(state);
    plain->show(busy(Activity::HandingOver, "Initializing the installer"));
    plain.reset();
    std::rewind(file);
    char buffer[256] = {};
    const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, file);
    std::fclose(file);
    EXPECT_EQ(std::string(buffer, n), "Initializing the installer\n");
}

TEST_F(TerminalWindowTest, OptionsFollowTheTerminalKind) {
    struct Case {
        const char* term;
        bool escapes;
    };
    for (const Case& c : {Case{"xterm-256color", true}, Case{"dumb", false}}) {
        const Settings settings = Settings::read([&](const char* name) -> const char* {
            return std::string(name) == "TERM" ? c.term : nullptr;
        });
        const TerminalWindowOptions options = terminalWindowOptionsFor(stream, settings);
        EXPECT_TRUE(options.interactive) << c.term;
        EXPECT_EQ(options.escapes, c.escapes) << c.term;
        EXPECT_EQ(options.colour, c.escapes) << c.term;
    }
}

} // namespace
} // namespace qz::platform
