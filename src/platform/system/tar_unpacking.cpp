#include "platform/system/tar_unpacking.h"

#include "platform/system/file_range.h"

#include <array>
#include <cerrno>
#include <optional>
#include <string_view>
#include <sys/stat.h>

namespace qz::platform {
namespace {

constexpr std::uint64_t BLOCK = 512;

// A NUL-terminated field of the header, or all of it.
std::string_view field(const std::array<char, BLOCK>& header, std::size_t at, std::size_t size) {
    const std::string_view text(header.data() + at, size);
    return text.substr(0, text.find('\0'));
}

std::optional<std::uint64_t> octal(std::string_view text) {
    std::uint64_t value = 0;
    bool digits = false;
    for (const char c : text) {
        if (c == ' ' && !digits) {
            continue;
        }
        if (c < '0' || c > '7' || value >> 60 != 0) {
            return c == ' ' && digits ? std::optional(value) : std::nullopt;
        }
        value = value << 3 | static_cast<std::uint64_t>(c - '0');
        digits = true;
    }
    return digits ? std::optional(value) : std::nullopt;
}

// The entry's path inside the folder: relative, without "." or ".." components.
std::optional<std::string> relativePath(std::string_view name) {
    std::string path;
    while (!name.empty()) {
        const auto slash = name.find('/');
        const std::string_view part = name.substr(0, slash);
        name = slash == std::string_view::npos ? std::string_view() : name.substr(slash + 1);
        if (part == "..") {
            return std::nullopt;
        }
        if (!part.empty() && part != ".") {
            path += (path.empty() ? "" : "/") + std::string(part);
        }
    }
    return path;
}

// Makes the folders of `path` below `folder` that are missing, owner-only.
Result<> makeFolders(const std::string& folder, const std::string& path) {
    for (auto slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string made = folder + "/" + path.substr(0, slash);
        if (::mkdir(made.c_str(), 0700) != 0 && errno != EEXIST) {
            return systemFailure(made);
        }
    }
    return {};
}

} // namespace

Result<> unpackTar(int fd, std::uint64_t offset, std::uint64_t length, const std::string& folder) {
    const std::uint64_t end = offset + length;
    for (std::uint64_t at = offset; at + BLOCK <= end;) {
        std::array<char, BLOCK> header{};
        if (auto read = readAt(fd, at, header.data(), header.size()); !read) {
            return read;
        }
        if (header[0] == '\0') {
            return {}; // the end of the archive
        }
        const auto size = octal(field(header, 124, 12));
        const std::string_view prefix = field(header, 345, 155);
        const auto path = relativePath(std::string(prefix) + (prefix.empty() ? "" : "/") +
                                       std::string(field(header, 0, 100)));
        const char type = header[156];
        at += BLOCK;
        if (!field(header, 257, 6).starts_with("ustar") || !size || !path || *size > end - at) {
            return Failure{"a damaged ustar header"};
        }
        const std::string target = folder + "/" + *path;
        Result<> made = makeFolders(folder, *path);
        if (made && (type == '0' || type == '\0')) {
            made = copyToNewFile(fd, at, *size, target);
        } else if (made && type == '5' && !path->empty() && ::mkdir(target.c_str(), 0700) != 0 &&
                   errno != EEXIST) {
            made = systemFailure(target);
        } else if (made && type != '5') {
            made = Failure{"an entry that is neither a file nor a folder: " + *path};
        }
        if (!made) {
            return made;
        }
        at += (*size + BLOCK - 1) / BLOCK * BLOCK;
    }
    return Failure{"the ustar archive has no end"};
}

} // namespace qz::platform
