#include "process/executable_location.h"

#include "base/settings.h"
#include "platform/system/main_bundle.h"

namespace qz {

std::string getPathToExecutable(const Settings& settings) {
    if (const auto bundle = platform::mainBundle(settings)) {
        return bundle->bundlePath;
    }
    return settings.executablePath;
}

std::string directoryOfPath(const std::string& path) {
    const auto cut = path.find_last_of("/\\");
    return cut == std::string::npos ? path : path.substr(0, cut);
}

std::string getDirectoryOfExecutable(const Settings& settings) {
    const std::string path = getPathToExecutable(settings);
    if (path.empty()) {
        return std::string();
    }
    return directoryOfPath(path);
}

} // namespace qz
