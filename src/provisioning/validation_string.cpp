#include "provisioning/validation_string.h"

#include "base/regular_file.h"
#include "base/write_all.h"
#include "bootstrap/installer_constants.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qz {

void writeValidationString(std::string directory, std::string validationString) {
    if (directory.empty() || validationString.empty()) {
        return;
    }
    const std::string path = directory + PATH_SEPARATOR + VALIDATION_STRING_FILE;
    // Owner-only whatever the umask: the cache is trusted only while nobody else can write it.
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    const auto written = platform::writeAll(fd, validationString.data(), validationString.size());
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) {
        // A string cut short must not stay behind to be compared.
        ::unlink(path.c_str());
    }
}

bool isUsableValidationString(const std::string& text) {
    constexpr std::size_t longest = 1024;
    return !text.empty() && text.size() <= longest &&
           std::none_of(text.begin(), text.end(), [](char c) {
               const auto byte = static_cast<unsigned char>(c);
               return byte < 0x20 || byte == 0x7f;
           });
}

std::string readValidationString(std::string directory) {
    const std::string path = directory + PATH_SEPARATOR + VALIDATION_STRING_FILE;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return std::string();
    }
    // Only a regular file, so that nothing put in its place can block the run.
    // Longer than any usable validation string, so a cut one never matches.
    const auto start = readRegularFile(path, 64 * 1024);
    if (!start) {
        return std::string();
    }
    return start->bytes.substr(0, start->bytes.find('\n'));
}

bool isCacheValid(std::string directory, std::string validationString) {
    if (validationString.empty()) {
        return false;
    }
    return readValidationString(directory) == validationString;
}

} // namespace qz
