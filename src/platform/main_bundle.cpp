#include "platform/main_bundle.h"

#include "platform/path.h"

#include <climits>
#include <cstdlib>
#include <memory>

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
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath("/proc/self/exe", nullptr),
                                                         &std::free);
    if (!resolved) {
        return std::nullopt;
    }
    return bundleForExecutable(resolved.get());
}

} // namespace qz::platform
