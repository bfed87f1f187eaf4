#include "platform/system/main_bundle.h"

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <fstream>
#include <unistd.h>

#include "base/path.h"
#include "base/settings.h"
#include "base/translation.h"

namespace qz {

std::string runningExecutablePath() {
    // readlink says nothing of a path cut short, so the buffer grows until the path fits.
    std::string path(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) {
            return std::string();
        }
        if (static_cast<std::size_t>(n) < path.size()) {
            path.resize(static_cast<std::size_t>(n));
            return path;
        }
        path.resize(path.size() * 2);
    }
}

} // namespace qz

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

std::optional<MainBundle> mainBundle(const Settings& settings) {
    const std::string& executable = settings.executablePath;
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

std::string catalogDirectory(const std::string& resources) {
    return appendPathComponent(resources, "locale");
}

void startTranslations(const Settings& settings) {
    // The whole locale, numbers included: nothing we parse depends on it, and what we print for
    // people then follows their conventions.
    std::setlocale(LC_ALL, "");
    if (const auto bundle = mainBundle(settings)) {
        ::bindtextdomain(TEXT_DOMAIN, catalogDirectory(bundle->resourcePath).c_str());
    }
    ::bind_textdomain_codeset(TEXT_DOMAIN, "UTF-8");
}

} // namespace qz::platform
