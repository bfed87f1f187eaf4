#pragma once

// A private X server for whole-program tests of the GTK window, and what the tests need to ask
// it about windows.

#include "support/subprocess.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qz::test {

// The path of the executable of that name on PATH.
std::optional<std::string> findProgram(const std::string& name);

// Xvfb on a display number it picks itself (-displayfd); stopped when destroyed.
class VirtualDisplay {
  public:
    VirtualDisplay();
    ~VirtualDisplay();
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // ":N"; empty when the server could not be started (see error()).
    const std::string& name() const {
        return name_;
    }
    const std::string& error() const {
        return error_;
    }
    // SIGSTOP, SIGCONT: a server that takes connections and says nothing, and again one that does.
    void signal(int sig) {
        process_->signal(sig);
    }

  private:
    std::unique_ptr<ChildProcess> process_;
    std::string name_;
    std::string error_;
};

// The tests' own connection to the server (Xlib), only in builds with the GTK window.
class XClient {
  public:
    // Throws std::runtime_error when the display cannot be opened.
    explicit XClient(const std::string& display);
    ~XClient();
    XClient(const XClient&) = delete;
    XClient& operator=(const XClient&) = delete;

    // What a window manager sends when the window's close box is clicked (WM_DELETE_WINDOW).
    void requestClose(unsigned long window);
    struct Image {
        int width = 0;
        int height = 0;
        std::vector<std::uint32_t> rgb; // 0xRRGGBB, row by row
        bool operator==(const Image&) const = default;
    };
    // The window's contents as the server has them; empty when they cannot be read.
    Image capture(unsigned long window);

  private:
    void* display_ = nullptr; // Display*
};

} // namespace qz::test
