#include "platform/main_bundle.h"

#include "bootstrap/settings.h"
#include "platform/path.h"

#include <algorithm>
#include <fstream>

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

std::string installerTitle(const std::string& resourcePath) {
    constexpr std::size_t LIMIT = 200;
    std::ifstream file(appendPathComponent(resourcePath, "installerTitle.txt"), std::ios::binary);
    std::string title(LIMIT + 1, '\0');
    file.read(title.data(), std::streamsize(title.size()));
    title.resize(std::size_t(file.gcount()));
    const auto end = title.find('\n');
    title.resize(std::min(end, title.size()));
    // A longer title would be cut short here; a control character would garble the window's.
    const bool control = std::any_of(title.begin(), title.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
    });
    if (title.size() > LIMIT || control) {
        return {};
    }
    return title;
}

} // namespace qz::platform
