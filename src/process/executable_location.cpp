#include "process/executable_location.h"

#include "platform/main_bundle.h"

#include <unistd.h>

namespace qz {

std::string getPathToExecutable() {
    if (const auto bundle = platform::mainBundle()) {
        return bundle->bundlePath;
    }
    char buffer[1024];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n < 0) {
        return std::string();
    }
    return std::string(buffer, static_cast<std::size_t>(n));
}

std::string directoryOfPath(const std::string& path) {
    const auto cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(0, cut);
}

std::string getDirectoryOfExecutable() {
    const std::string path = getPathToExecutable();
    if (path.empty()) {
        return std::string();
    }
    return directoryOfPath(path);
}

} // namespace qz
