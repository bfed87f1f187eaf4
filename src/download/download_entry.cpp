#include "download/download_entry.h"

#include "download/download_application.h"

#include <cstdlib>

namespace qz {

std::string downloadTo;
std::string downloadFrom;
char** EMPTY_ARGV = nullptr;
bool installAgentInCache = false;

int CallNSApplicationMain(int /*argc*/, char** /*argv*/, const Settings& settings) {
    return runDownloadApplication(0, EMPTY_ARGV, settings);
}

bool downloadInstallAgentFromQZ(const char* destination, const char* url,
                                MessageReporter /*reporter*/, const Settings& settings) {
    std::string chosen = url;
    if (const char* override = std::getenv("QZ_INTERNAL_INSTALL_AGENT_URL")) {
        chosen = override;
    }
    downloadTo = destination;
    downloadFrom = chosen;
    installAgentInCache = false;
    return CallNSApplicationMain(0, EMPTY_ARGV, settings) != 0;
}

} // namespace qz
