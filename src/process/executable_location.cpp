#include "process/executable_location.h"

#include "platform/system/main_bundle.h"

namespace qz {

std::string getPathToExecutable() {
    if (const auto bundle = platform::mainBundle()) {
        return bundle->bundlePath;
    }
    return runningExecutablePath();
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
