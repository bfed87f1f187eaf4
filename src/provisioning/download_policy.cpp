#include "provisioning/download_policy.h"

#include "base/path.h"

#include <fstream>

namespace qz {

bool resilientDownloadIn(const std::string& resources) {
    std::ifstream file(platform::appendPathComponent(resources, INSTALLER_SETTINGS_FILE));
    bool resilient = false;
    std::string line;
    // A settings file is a few lines; anything longer is not ours.
    for (int lines = 0; lines < 100 && std::getline(file, line); ++lines) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) {
            continue;
        }
        const auto trimmed = [](std::string text) {
            const auto first = text.find_first_not_of(" \t\r");
            const auto last = text.find_last_not_of(" \t\r");
            return first == std::string::npos ? std::string()
                                              : text.substr(first, last - first + 1);
        };
        if (trimmed(line.substr(0, colon)) == "download") {
            resilient = trimmed(line.substr(colon + 1)) == "resilient";
        }
    }
    return resilient;
}

} // namespace qz
