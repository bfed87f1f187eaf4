#include "provisioning/agent_version.h"

#include "bootstrap/installer_constants.h"
#include "platform/write_all.h"

#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <unistd.h>

namespace qz {
namespace {

std::string recordPath(const std::string& directory) {
    return directory + PATH_SEPARATOR + AGENT_VERSION_FILE;
}

} // namespace

Result<> writeAgentVersion(const std::string& directory, std::uint64_t version) {
    const std::string path = recordPath(directory);
    const std::string text = std::to_string(version) + "\n";
    // Owner-only whatever the umask, like everything the cache is trusted for.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return systemFailure("Could not record the install agent's version in " + path);
    }
    auto written = platform::writeAll(fd, text.data(), text.size());
    if (::close(fd) != 0 && written) {
        written = systemFailure("Could not record the install agent's version in " + path);
    }
    if (!written) {
        ::unlink(path.c_str());
    }
    return written;
}

std::optional<std::uint64_t> readAgentVersion(const std::string& directory) {
    const int fd = ::open(recordPath(directory).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    char buffer[32];
    ssize_t got;
    do {
        got = ::read(fd, buffer, sizeof buffer);
    } while (got < 0 && errno == EINTR);
    ::close(fd);
    if (got <= 0 || buffer[got - 1] != '\n') {
        return std::nullopt;
    }
    std::uint64_t version = 0;
    const char* end = buffer + got - 1;
    const auto [stop, error] = std::from_chars(buffer, end, version);
    if (stop == buffer || error != std::errc() || stop != end) {
        return std::nullopt;
    }
    return version;
}

Result<> removeAgentVersion(const std::string& directory) {
    const std::string path = recordPath(directory);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return systemFailure("Could not remove " + path);
    }
    return {};
}

} // namespace qz
