#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace qz {
struct Settings;
}

namespace qz::platform {

class EventLoop;

enum class TextColour { Default, Red };

// What the controller is doing, so that no front end has to guess it from texts or controls.
enum class Activity {
    Starting,     // nothing to show yet: the server has not answered
    Checking,     // the signature is fetched first; busy with a text, in a window that is open
    Waiting,      // for another run to finish with the cache; busy with a text
    Transferring, // the archive is arriving: progress
    HandingOver,  // the archive is being unpacked; busy with a text
    Failed,       // a failure text, the final state until the window is closed
};

// What a bar that was never given a maximum counts up to.
inline constexpr double DEFAULT_BAR_MAXIMUM = 100.0;

struct ProgressBar {
    bool indeterminate = false;
    bool animating = false;
    double value = 0;              // in the bar's unit, bytes
    std::optional<double> maximum; // unknown until a length is announced: no made-up total
    bool operator==(const ProgressBar&) const = default;
};

// Everything the download window shows.
struct WindowState {
    Activity activity = Activity::Starting;
    std::string status; // the status line; a failure may have two lines
    TextColour colour = TextColour::Default;
    ProgressBar bar;
    std::int64_t bytesReceived = 0; // also when no length is known
    bool cancelEnabled = true;
    std::string splashImage; // a path; scaled proportionally into 400 by 400 points
    bool operator==(const WindowState&) const = default;
};

class DownloadWindowDelegate {
  public:
    virtual ~DownloadWindowDelegate() = default;
    // The window is closing, whoever closed it (the user, a signal, or the controller).
    virtual void windowWillClose() = 0;
};

// The download window: splash image, progress bar, one status line and a cancel button.
class DownloadWindow {
  public:
    virtual ~DownloadWindow() = default;
    virtual void setDelegate(DownloadWindowDelegate* delegate) = 0;

    // Drawing may be coalesced, but the last state shown is always drawn.
    virtual void show(const WindowState& state) = 0;

    // Takes the window off the screen and tells the delegate, once.
    virtual void close() = 0;
    // Whether a user can close this window; one that no one can close must close itself.
    virtual bool closableByUser() {
        return true;
    }
};

// The GTK window when it was built in and a display can be opened, else the terminal one; either
// way behind one throttle of redraws. The GTK window is opened late, by a deferred window.
std::unique_ptr<DownloadWindow> makeDownloadWindow(EventLoop& loop, const Settings& settings);

// Stands in for a window that is costly to open: it keeps the last state and opens the real
// window only once there is something to show (a download under way, a status, a failure, or a
// server slow to answer). A run that ends before then, such as one that finds its cache
// current, never opens it. SIGINT, SIGTERM and SIGHUP close it, before and after the opening:
// the GTK window leaves them to the loop.
std::unique_ptr<DownloadWindow>
makeDeferredWindow(EventLoop& loop, std::function<std::unique_ptr<DownloadWindow>()> open,
                   double patienceSeconds = 0.3);

// The download window as a small GTK 3 dialog, from the GTK module carried inside the program;
// nullptr when GTK cannot be loaded (the reason goes to the system log) or no display can be
// opened. GTK is loaded only by this call, so a run that never asks for the window never pays for
// it. An empty `title` keeps the window's own. Only in a program built with GTK.
std::unique_ptr<DownloadWindow> makeGtkWindow(EventLoop& loop, const std::string& title = {});

} // namespace qz::platform
