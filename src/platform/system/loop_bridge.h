#pragma once

#include <cstddef>
#include <poll.h>

namespace qz::platform {

// Another main loop that runs ours from the inside: GLib's, once the GTK window is loaded, so
// that one thread serves both GTK and our sources. It ends its run when told to quit.
class LoopDriver {
  public:
    virtual void run() = 0;
    virtual void quit() = 0;

  protected:
    virtual ~LoopDriver() = default;
};

// Our loop as seen by such a driver. Only virtual calls and plain data cross it: the GTK module
// is a binary of its own, with its own copy of the C++ runtime.
class LoopBridge {
  public:
    // Writes up to `capacity` descriptors to watch; returns how many there are in all.
    virtual std::size_t pollDescriptors(pollfd* fds, std::size_t capacity) = 0;
    // Milliseconds until the next delayed call is due; 0 when one is due, -1 when there is none.
    virtual int pollTimeoutMs() = 0;
    // Runs the delayed calls that are due, then the watches of the descriptors that are ready.
    virtual void dispatch(const pollfd* fds, std::size_t count) = 0;
    // From now on, run() hands over to `driver` (null: runs on its own again).
    virtual void drivenBy(LoopDriver* driver) = 0;
    // The display went away under the window: the run ends at once, its usual last line said and
    // its scratch directory removed. Does not return.
    virtual void displayLost() = 0;

  protected:
    virtual ~LoopBridge() = default;
};

} // namespace qz::platform
