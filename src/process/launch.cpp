#include "process/launch.h"

#include "bootstrap/installer_constants.h"
#include "process/shell.h"

#include <exception>

namespace qz {

bool fireInstallAgentWithArgs(std::string program, std::string commandPrefix,
                              std::string bundleDirectory, int argc, char** argv,
                              MessageReporter reporter) {
    const std::string productArchive = bundleDirectory + PATH_SEPARATOR + "bundle.zip";
    std::string line = commandPrefix + " -installbundle " + smart_quote(productArchive);
    if (argc >= 2) {
        line += " " + argv2cmdline(argc, argv);
    }
    try {
        call_system(program, line);
    } catch (const std::exception&) {
        reporter("Failed to start the install agent", true);
        return false;
    }
    return true;
}

} // namespace qz
