#pragma once

#include <memory>
#include <string>

namespace qz {
struct Settings;
}

namespace qz::platform {

class EventLoop;

enum class TextColour { Default, Red };

class DownloadWindowDelegate {
  public:
    virtual ~DownloadWindowDelegate() = default;
    // The window is closing, whoever closed it (the user, a signal, or the controller).
    virtual void windowWillClose() = 0;
};

// The download window: splash image, progress bar, one status line and a cancel button.
// Progress is in the bar's own unit (bytes); drawing is the front end's business and may be
// coalesced, but the final state is always shown.
class DownloadWindow {
  public:
    virtual ~DownloadWindow() = default;
    virtual void setDelegate(DownloadWindowDelegate* delegate) = 0;

    virtual void setStatusText(const std::string& text) = 0;
    virtual void setStatusColour(TextColour colour) = 0;

    virtual void setProgressIndeterminate(bool indeterminate) = 0;
    virtual void setProgressMaximum(double maximum) = 0;
    virtual double progressMaximum() const = 0;
    virtual void setProgressValue(double value) = 0;
    virtual void incrementProgressBy(double delta) = 0;
    virtual void startProgressAnimation() = 0;
    virtual void stopProgressAnimation() = 0;

    virtual void setCancelEnabled(bool enabled) = 0;
    // Scaled proportionally into 400 by 400 points.
    virtual void showSplashImage(const std::string& path) = 0;
    virtual void displayIfNeeded() = 0;

    // Takes the window off the screen and tells the delegate, once.
    virtual void close() = 0;
    // Whether a user can close this window; one that no one can close must close itself.
    virtual bool closableByUser() {
        return true;
    }
};

// The GTK window when it was built in and a display can be opened, else the terminal one.
std::unique_ptr<DownloadWindow> makeDownloadWindow(EventLoop& loop, const Settings& settings);

} // namespace qz::platform
