#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qz {

// What we read from the environment beyond what the installer's own design reads, made once at
// start and passed down from there.
struct Settings {
    // QZ_DOWNLOAD_TIMEOUT: seconds of connect and idle time-out for the download.
    double downloadTimeout = 60.0;
    // SSL_CERT_FILE: a CA bundle to trust for HTTPS instead of the system's.
    std::string caFile;
    // SSL_CERT_DIR: a directory of hashed CA certificates, the same way.
    std::string caDirectory;
    // DISPLAY or WAYLAND_DISPLAY names a display: the GTK window may open.
    bool display = false;
    // NO_COLOR not set: failures in red on a terminal.
    bool colour = true;
    // TERM is "dumb": no escape sequences.
    bool dumbTerminal = false;
    // The running program, resolved; empty when it cannot be read.
    std::string executablePath;
    // Set for our own use only; the programs we start do not get them.
    std::vector<std::string> hiddenEnvironment;

    // From `getenv`-like lookups; changes nothing.
    static Settings read(const std::function<const char*(const char* name)>& lookup);
};

// This run's settings. The first call, which main makes before any other thread runs, reads them
// and sets in the environment what the GTK window reads from it (GDK_GL, so that GDK does not
// load an OpenGL renderer that the window never uses), hidden again from the programs we start.
const Settings& runSettings();

} // namespace qz
