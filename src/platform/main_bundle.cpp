#include "platform/main_bundle.h"

#include "bootstrap/settings.h"
#include "platform/path.h"

namespace qz::platform {

MainBundle bundleForExecutable(const std::string& executablePath) {
    const std::string dir = deletingLastPathComponent(executablePath);
    const std::string contents = deletingLastPathComponent(dir);
    const auto baseName = [](const std::string& p) { return p.substr(p.rfind('/') + 1); };
    if (baseName(dir) == "MacOS" && baseName(contents) == "Contents") {
        const std::string bundle = deletingLastPathComponent(contents);
        if (!bundle.empty()) {
            return {bundle, appendPathComponent(contents, "Resources")};
        }
    }
    return {dir, dir};
}

std::optional<MainBundle> mainBundle() {
    const std::string& executable = runSettings().executablePath;
    if (executable.empty()) {
        return std::nullopt;
    }
    return bundleForExecutable(executable);
}

} // namespace qz::platform
