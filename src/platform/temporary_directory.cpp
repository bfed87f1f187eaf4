#include "platform/temporary_directory.h"

#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qz::platform {

std::optional<std::string> temporaryDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    struct stat st {};
    // A relative path would change meaning with the working directory.
    if (tmp == nullptr || tmp[0] != '/' || ::stat(tmp, &st) != 0 || !S_ISDIR(st.st_mode) ||
        ::access(tmp, W_OK | X_OK) != 0) {
        return std::nullopt;
    }
    return std::string(tmp);
}

Result<std::string> makeUniqueDirectory(const std::string& pattern) {
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        return systemFailure("Could not make a directory like " + pattern);
    }
    return std::string(buffer.data(), pattern.size());
}

} // namespace qz::platform
