#include "platform/system/file_range.h"

#include "base/write_all.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <unistd.h>
#include <vector>

namespace qz::platform {
namespace {

Failure endedEarly() {
    return Failure{"the file ends before the bytes asked for"};
}

} // namespace

Result<> readAt(int fd, std::uint64_t offset, void* into, std::size_t length) {
    auto* bytes = static_cast<char*>(into);
    for (std::size_t got = 0; got < length;) {
        const ssize_t n = ::pread(fd, bytes + got, length - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return systemFailure("pread");
        }
        if (n == 0) {
            return endedEarly();
        }
        got += static_cast<std::size_t>(n);
    }
    return {};
}

Result<> copyRange(int from, std::uint64_t offset, std::uint64_t length, int to) {
    auto at = static_cast<off_t>(offset);
    const auto end = static_cast<off_t>(offset + length);
    while (at < end) {
        const auto chunk = static_cast<std::size_t>(std::min<off_t>(end - at, 1 << 30));
        const ssize_t n = ::sendfile(to, from, &at, chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EINVAL || errno == ENOSYS)) {
            break; // file systems that cannot splice: copied through a buffer below
        }
        if (n < 0) {
            return systemFailure("sendfile");
        }
        if (n == 0) {
            return endedEarly();
        }
    }
    std::vector<char> buffer(256 * 1024);
    while (at < end) {
        const auto chunk =
            static_cast<std::size_t>(std::min<off_t>(end - at, static_cast<off_t>(buffer.size())));
        if (auto read = readAt(from, static_cast<std::uint64_t>(at), buffer.data(), chunk); !read) {
            return read;
        }
        if (auto written = writeAll(to, buffer.data(), chunk); !written) {
            return written;
        }
        at += static_cast<off_t>(chunk);
    }
    return {};
}

Result<> copyToNewFile(int from, std::uint64_t offset, std::uint64_t length,
                       const std::string& path) {
    const int to = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (to < 0) {
        return systemFailure(path);
    }
    auto copied = copyRange(from, offset, length, to);
    if (::close(to) != 0 && copied) {
        return systemFailure(path);
    }
    return copied;
}

} // namespace qz::platform
