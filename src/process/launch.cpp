#include "process/launch.h"

#include "base/translation.h"
#include "bootstrap/installer_constants.h"
#include "process/shell.h"

#include <exception>

namespace qz {

bool fireInstallAgentWithArgs(std::string /*program*/, std::string commandPrefix,
                              std::string bundleDirectory, int argc, char** argv,
                              MessageReporter reporter) {
    const std::string productArchive = bundleDirectory + PATH_SEPARATOR + "bundle.zip";
    // exec: the shell becomes the install agent (dash does not do so by itself), so a SIGTERM or
    // SIGHUP passed on to our child reaches the agent and not a shell waiting for it.
    std::string line = "exec " + commandPrefix + " -installbundle " + smart_quote(productArchive);
    if (argc >= 2) {
        line += " " + argv2cmdline(argc, argv);
    }
    bool started = false;
    try {
        started = static_cast<bool>(runCommandLine(line, {}, Waiting::AsTheForeground));
    } catch (const std::exception&) {
    }
    // The agent's own exit status is its business; a shell that never started is ours.
    if (!started) {
        reporter(_("Failed to start the install agent"), true);
    }
    return started;
}

} // namespace qz
