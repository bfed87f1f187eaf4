#include "bootstrap/running_executable.h"

#include <unistd.h>

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
