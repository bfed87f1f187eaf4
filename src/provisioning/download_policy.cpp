#include "provisioning/download_policy.h"

#include "base/path.h"
#include "base/regular_file.h"

#include <sstream>

namespace qz {
namespace {

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    const auto last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// The first line of the resource `name`; only a regular file, so that nothing in its place can
// block the run.
std::string firstLineOf(const std::string& resources, const std::string& name) {
    const auto start = readRegularFile(platform::appendPathComponent(resources, name), 4096);
    const std::string text = start ? start->bytes : std::string();
    return text.substr(0, text.find('\n'));
}

} // namespace

std::optional<std::string> installerSetting(const std::string& resources, const std::string& name) {
    // A few lines at most.
    const auto start =
        readRegularFile(platform::appendPathComponent(resources, INSTALLER_SETTINGS_FILE), 4096);
    std::optional<std::string> value;
    std::istringstream file(start ? start->bytes : std::string());
    for (std::string line; std::getline(file, line);) {
        const auto colon = line.find(':');
        if (colon != std::string::npos && trimmed(line.substr(0, colon)) == name) {
            value = trimmed(line.substr(colon + 1));
        }
    }
    return value;
}

bool resilientDownloadIn(const std::string& resources) {
    return installerSetting(resources, "download") == "resilient";
}

std::string productOfUrl(const std::string& url) {
    std::string product = url.substr(0, url.find_first_of("?#"));
    if (const auto scheme = product.find("://"); scheme != std::string::npos) {
        product.erase(0, scheme + 3);
    }
    return product;
}

std::string productOfInstaller(const std::string& resources) {
    if (auto named = installerSetting(resources, "product"); named && !named->empty()) {
        return *named;
    }
    return productOfUrl(trimmed(firstLineOf(resources, "installAgentURL.txt")));
}

} // namespace qz
