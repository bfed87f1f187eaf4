#include "provisioning/install_agent_locations.h"

#include "base/path.h"
#include "base/regular_file.h"
#include "base/translation.h"
#include "bootstrap/installer_constants.h"
#include "platform/system/main_bundle.h"
#include "process/executable_location.h"
#include "provisioning/cache_trust.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

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

std::string readEndpointUrlFile(std::string path, MessageReporter reporter) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::string();
    }
    // Only a regular file: a FIFO in its place would block the run for ever.
    const auto opened = openRegularFile(path);
    FILE* file = opened ? ::fdopen(*opened, "r") : nullptr;
    if (file == nullptr) {
        if (opened) {
            ::close(*opened);
        }
        reporter(_("Failed to open install agent URL file"), true);
        return std::string();
    }
    std::string url;
    for (int c = 0; (c = std::fgetc(file)) != EOF && c != '\n';) {
        url += static_cast<char>(c);
    }
    std::fclose(file);
    return url;
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
    // Only in a cache that nobody else can write, and that needs no mending first.
    if (isUsableInstallAgent(getInstallAgentExecutable(directory)) && checkCacheTrust(cacheDir) &&
        !cacheRepair(cacheDir).needed()) {
        return directory;
    }
    return std::string();
}

namespace {

// Fails (ENOTDIR) only for a prefix that is something other than a directory: one that is
// missing is made, with nothing read of the outcome, and one that cannot be queried passes.
Result<> ensureDirectory(const std::string& prefix, std::uint16_t mode) {
    struct stat st {};
    if (::stat(prefix.c_str(), &st) != 0) {
        ::mkdir(prefix.c_str(), mode);
        return {};
    }
    if (!S_ISDIR(st.st_mode)) {
        return Failure{prefix + " is not a directory", ENOTDIR};
    }
    return {};
}

// As mkpath answers: -1, with errno set.
int failedWith(const Failure& failure) {
    errno = failure.error();
    return -1;
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
        if (const auto made = ensureDirectory(path.substr(0, i), mode); !made) {
            return failedWith(made.failure());
        }
    }
    const auto made = ensureDirectory(path, mode);
    return made ? 0 : failedWith(made.failure());
}

} // namespace qz
