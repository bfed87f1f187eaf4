#include "base/regular_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qz {

static_assert(NOT_A_REGULAR_FILE == EINVAL);

Result<int> openRegularFile(const std::string& path, bool followLinks) {
    const int fd =
        ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (followLinks ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        return systemFailure("Could not open " + path);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Failure{path + " is not a regular file", NOT_A_REGULAR_FILE};
    }
    // A regular file is read the same either way; what we start need not inherit the flag.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

Result<FileStart> readRegularFile(const std::string& path, std::size_t limit, bool followLinks) {
    auto opened = openRegularFile(path, followLinks);
    if (!opened) {
        return opened.failure();
    }
    const int fd = *opened;
    FileStart start;
    std::string buffer(limit + 1, '\0');
    std::size_t got = 0;
    while (got < buffer.size()) {
        const ssize_t n = ::read(fd, buffer.data() + got, buffer.size() - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const Failure failure = systemFailure("Could not read " + path);
            ::close(fd);
            return failure;
        }
        if (n == 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    start.longer = got > limit;
    buffer.resize(std::min(got, limit));
    start.bytes = std::move(buffer);
    return start;
}

} // namespace qz
