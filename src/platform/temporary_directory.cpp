#include "platform/temporary_directory.h"

#include <cstdlib>

namespace qz::platform {

std::optional<std::string> temporaryDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    if (tmp == nullptr || *tmp == '\0') {
        return std::nullopt;
    }
    return std::string(tmp);
}

} // namespace qz::platform
