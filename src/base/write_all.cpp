#include "base/write_all.h"

#include <cerrno>
#include <unistd.h>

namespace qz::platform {

Result<> writeAll(int fd, const char* data, std::size_t length) {
    while (length > 0) {
        const ssize_t written = ::write(fd, data, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            if (written == 0) {
                errno = EIO;
            }
            return systemFailure("write");
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return {};
}

} // namespace qz::platform
