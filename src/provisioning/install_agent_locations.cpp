#include "provisioning/install_agent_locations.h"

#include "base/path.h"
#include "bootstrap/installer_constants.h"
#include "platform/system/main_bundle.h"
#include "provisioning/cache_trust.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>

namespace qz {

std::string getBundleLocation(const Settings& settings) {
    if (const auto bundle = platform::mainBundle(settings)) {
        return bundle->resourcePath.empty() ? bundle->bundlePath : bundle->resourcePath;
    }
    return getDirectoryOfExecutable(settings);
}

std::string getDefaultInstallAgentLocation(const Settings& settings) {
    const auto bundle = platform::mainBundle(settings);
    if (!bundle || bundle->resourcePath.empty()) {
        return std::string();
    }
    return platform::appendPathComponent(bundle->resourcePath, INSTALL_AGENT_ZIP);
}

std::string getInstallAgentCacheDir() {
    const char* home = std::getenv("HOME");
    std::string dir = (home == nullptr || *home == '\0') ? std::string("/tmp") : std::string(home);
    if (dir.size() >= 2 && dir.back() != '/') {
        dir += PATH_SEPARATOR;
    }
    return dir + INSTALL_AGENT_CACHE_SUBDIR;
}

std::string getInstallAgentExecutable(std::string directory) {
    if (!directory.empty() && directory.back() != '/') {
        directory += PATH_SEPARATOR;
    }
    return directory + "install";
}

std::optional<std::string> installAgentTarget(const std::string& executable) {
    struct stat st {};
    if (::lstat(executable.c_str(), &st) != 0) {
        return std::nullopt;
    }
    if (S_ISREG(st.st_mode)) {
        return executable;
    }
    if (!S_ISLNK(st.st_mode)) {
        return std::nullopt;
    }
    const auto real = [](const std::string& path) -> std::optional<std::string> {
        char* resolved = ::realpath(path.c_str(), nullptr);
        if (resolved == nullptr) {
            return std::nullopt;
        }
        std::string text = resolved;
        std::free(resolved);
        return text;
    };
    const auto folder = real(directoryOfPath(executable));
    const auto target = real(executable);
    // Every link on the way resolved: the target lies in the folder, not just its name.
    if (!folder || !target || !target->starts_with(*folder + PATH_SEPARATOR) ||
        ::lstat(target->c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::nullopt;
    }
    return target;
}

bool isUsableInstallAgent(const std::string& executable) {
    return installAgentTarget(executable).has_value();
}

std::string installAgentDirOnDisk() {
    const std::string cacheDir = getInstallAgentCacheDir();
    const std::string directory = cacheDir + INSTALL_AGENT_DIR + PATH_SEPARATOR;
    // Only in a cache that nobody else can write.
    // Nor one to mend first.
    if (isUsableInstallAgent(getInstallAgentExecutable(directory)) &&
        cacheTrustProblem(cacheDir).empty() && !cacheRepair(cacheDir).needed()) {
        return directory;
    }
    return std::string();
}

namespace {

// 0 when the prefix is (now) a directory or could not be queried; -1 for a non-directory.
int ensureDirectory(const std::string& prefix, std::uint16_t mode) {
    struct stat st {};
    if (::stat(prefix.c_str(), &st) != 0) {
        ::mkdir(prefix.c_str(), mode);
        return 0;
    }
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return 0;
}

} // namespace

int mkpath(std::string path, std::uint16_t mode) {
    if (path.empty()) {
        return 0;
    }
    for (std::string::size_type i = 0; i < path.size(); ++i) {
        // A "/" at the start of a component (leading, or doubled) names no new level.
        if (path[i] != '/' || i == 0 || path[i - 1] == '/') {
            continue;
        }
        if (ensureDirectory(path.substr(0, i), mode) != 0) {
            return -1;
        }
    }
    return ensureDirectory(path, mode);
}

} // namespace qz
