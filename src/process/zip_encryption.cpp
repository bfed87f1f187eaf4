#include "process/zip_encryption.h"

#include <algorithm>
#include <cstdint>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qz {
namespace {

constexpr std::uint32_t END_OF_DIRECTORY = 0x06054b50;
constexpr std::uint32_t ZIP64_LOCATOR = 0x07064b50;
constexpr std::uint32_t ZIP64_END_OF_DIRECTORY = 0x06064b50;
constexpr std::uint32_t DIRECTORY_ENTRY = 0x02014b50;
constexpr std::size_t END_RECORD_SIZE = 22;
constexpr std::size_t ENTRY_SIZE = 46;
// The end record's comment is at most this long, so the record lies within the file's tail.
constexpr std::size_t MAX_COMMENT = 0xffff;
// More than any install agent's directory; a larger one is left to unzip.
constexpr std::uint64_t MAX_DIRECTORY = 64u << 20;

std::uint64_t little(const unsigned char* p, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) {
        value = value << 8 | p[i];
    }
    return value;
}

bool readAt(int fd, std::uint64_t offset, std::size_t length, std::vector<unsigned char>& out) {
    out.resize(length);
    std::size_t got = 0;
    while (got < length) {
        const ssize_t n =
            ::pread(fd, out.data() + got, length - got, static_cast<off_t>(offset + got));
        if (n <= 0) {
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

struct Directory {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
    std::uint64_t entries = 0;
};

std::optional<Directory> findDirectory(int fd, std::uint64_t fileSize) {
    if (fileSize < END_RECORD_SIZE) {
        return std::nullopt;
    }
    const std::uint64_t tail = std::min<std::uint64_t>(fileSize, END_RECORD_SIZE + MAX_COMMENT);
    std::vector<unsigned char> bytes;
    if (!readAt(fd, fileSize - tail, static_cast<std::size_t>(tail), bytes)) {
        return std::nullopt;
    }
    for (std::size_t at = bytes.size() - END_RECORD_SIZE + 1; at-- > 0;) {
        if (little(&bytes[at], 4) != END_OF_DIRECTORY) {
            continue;
        }
        const unsigned char* end = &bytes[at];
        Directory directory{little(end + 16, 4), little(end + 12, 4), little(end + 10, 2)};
        const std::uint64_t endOffset = fileSize - tail + at;
        std::vector<unsigned char> zip64;
        if ((directory.offset == 0xffffffff || directory.entries == 0xffff) && endOffset >= 20 &&
            readAt(fd, endOffset - 20, 20, zip64) && little(zip64.data(), 4) == ZIP64_LOCATOR) {
            const std::uint64_t record = little(zip64.data() + 8, 8);
            if (!readAt(fd, record, 56, zip64) ||
                little(zip64.data(), 4) != ZIP64_END_OF_DIRECTORY) {
                return std::nullopt;
            }
            directory = {little(zip64.data() + 48, 8), little(zip64.data() + 40, 8),
                         little(zip64.data() + 32, 8)};
        }
        return directory;
    }
    return std::nullopt;
}

} // namespace

std::optional<bool> hasEncryptedEntries(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return std::nullopt;
    }
    struct stat st {};
    std::optional<bool> encrypted;
    std::vector<unsigned char> bytes;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        const auto directory = findDirectory(fd, static_cast<std::uint64_t>(st.st_size));
        if (directory && directory->size <= MAX_DIRECTORY &&
            readAt(fd, directory->offset, static_cast<std::size_t>(directory->size), bytes)) {
            encrypted = false;
            std::size_t at = 0;
            for (std::uint64_t i = 0; i < directory->entries; ++i) {
                if (at + ENTRY_SIZE > bytes.size() || little(&bytes[at], 4) != DIRECTORY_ENTRY) {
                    encrypted.reset(); // not the directory it claims to be
                    break;
                }
                if ((little(&bytes[at + 8], 2) & 1) != 0) {
                    encrypted = true;
                    break;
                }
                at += ENTRY_SIZE + little(&bytes[at + 28], 2) + little(&bytes[at + 30], 2) +
                      little(&bytes[at + 32], 2);
            }
        }
    }
    ::close(fd);
    return encrypted;
}

} // namespace qz
