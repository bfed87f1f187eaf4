#pragma once

#include <functional>
#include <string>
#include <vector>

namespace qz {

// What we read from the environment beyond what the installer's own design reads, and what main
// adds at start. main makes it once, before any other thread runs, and passes it down to
// whatever needs it.
struct Settings {
    // QZ_DOWNLOAD_TIMEOUT: seconds of connect and idle time-out for the download.
    double downloadTimeout = 60.0;
    // QZ_TEST_RETRY_WAIT_SCALE: the waits between tries multiplied by this; for tests only.
    double retryWaitScale = 1.0;
    // QZ_TEST_DISPLAY_PATIENCE: seconds a display has to answer before the terminal serves; for
    // tests only.
    double displayPatience = 3.0;
    // SSL_CERT_FILE: a CA bundle to trust for HTTPS instead of the system's.
    std::string caFile;
    // SSL_CERT_DIR: a directory of hashed CA certificates, the same way.
    std::string caDirectory;
    // PATH, where the shell looks for the programs we start (the shell's default when unset).
    std::string path = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
    // DISPLAY or WAYLAND_DISPLAY names a display: the GTK window may open.
    bool display = false;
    // DISPLAY, WAYLAND_DISPLAY, XDG_RUNTIME_DIR and GDK_BACKEND: which display GTK would open,
    // asked first whether it answers.
    std::string x11Display;
    std::string waylandDisplay;
    std::string runtimeDirectory;
    std::string gdkBackend;
    // NO_COLOR not set: failures in red on a terminal.
    bool colour = true;
    // TERM is "dumb": no escape sequences.
    bool dumbTerminal = false;
    // Set by main: the running program, resolved; empty when it cannot be read.
    std::string executablePath;
    // Set by main: the program carries its resources inside itself (a single-file installer).
    // Until they are unpacked it has no bundle.
    bool carriesResources = false;
    // Set by the sequence once it has unpacked them: the folder in its scratch directory that
    // holds them, from then on the bundle and its resources.
    std::string carriedResources;
    // Set by main: variables it put in the environment for our own use only (GDK_GL), which the
    // programs we start do not get.
    std::vector<std::string> hiddenEnvironment;

    // From `getenv`-like lookups; changes nothing, and leaves the fields set by others empty.
    static Settings read(const std::function<const char*(const char* name)>& lookup);
};

} // namespace qz
