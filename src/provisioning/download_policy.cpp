#include "provisioning/download_policy.h"

#include "base/path.h"

#include "base/regular_file.h"

#include <sstream>

namespace qz {

bool resilientDownloadIn(const std::string& resources) {
    // A few lines at most; only a regular file, so that nothing in its place can block the run.
    const auto start =
        readRegularFile(platform::appendPathComponent(resources, INSTALLER_SETTINGS_FILE), 4096);
    bool resilient = false;
    std::istringstream file(start ? start->bytes : std::string());
    for (std::string line; std::getline(file, line);) {
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
