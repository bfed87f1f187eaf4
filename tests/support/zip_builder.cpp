#include "support/zip_builder.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

namespace qz::test {
namespace {

// Slicing-by-8 tables: the large-archive helper checksums hundreds of megabytes.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

const CrcTables& crcTables() {
    static const CrcTables tables = [] {
        CrcTables t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            }
            t[0][i] = c;
        }
        for (std::uint32_t i = 0; i < 256; ++i) {
            for (std::size_t s = 1; s < 8; ++s) {
                t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
            }
        }
        return t;
    }();
    return tables;
}

constexpr std::uint32_t kMaxField = 0xFFFFFFFEu; // 0xFFFFFFFF would announce zip64
constexpr std::uint16_t kVersion = 20;
constexpr std::uint16_t kMadeByUnix = (3 << 8) | kVersion;
// 2020-01-01 00:00:00 in DOS format; a fixed stamp keeps archives reproducible.
constexpr std::uint16_t kDosTime = 0;
constexpr std::uint16_t kDosDate = ((2020 - 1980) << 9) | (1 << 5) | 1;

void put16(std::string& out, std::uint32_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void put32(std::string& out, std::uint32_t v) {
    put16(out, v & 0xFFFF);
    put16(out, v >> 16);
}

std::uint32_t checkedField(std::uint64_t value, const char* what) {
    if (value > kMaxField) {
        throw std::length_error(std::string("zip without zip64 cannot hold this ") + what);
    }
    return static_cast<std::uint32_t>(value);
}

std::uint32_t externalAttributes(const ZipEntry& e) {
    std::uint32_t type = 0100000;
    std::uint32_t msdos = 0;
    if (e.kind == ZipEntry::Kind::Directory) {
        type = 0040000;
        msdos = 0x10;
    } else if (e.kind == ZipEntry::Kind::Symlink) {
        type = 0120000;
    }
    return ((type | (e.mode & 07777)) << 16) | msdos;
}

// Lays out local headers and remembers what the central directory needs.
class ZipLayout {
  public:
    // Local header for an entry whose data follows immediately.
    std::string localHeader(const ZipEntry& e, std::uint32_t crc, std::uint64_t size) {
        if (e.name.size() > 0xFFFF) {
            throw std::length_error("zip entry name too long");
        }
        if (central_count_ >= 0xFFFF) {
            throw std::length_error("zip without zip64 cannot hold this many entries");
        }
        const std::uint32_t size32 = checkedField(size, "entry size");
        const std::uint32_t offset = checkedField(offset_, "archive size");

        std::string h;
        put32(h, 0x04034b50);
        put16(h, kVersion);
        put16(h, 0); // flags
        put16(h, 0); // stored
        put16(h, kDosTime);
        put16(h, kDosDate);
        put32(h, crc);
        put32(h, size32);
        put32(h, size32);
        put16(h, static_cast<std::uint32_t>(e.name.size()));
        put16(h, 0); // extra field length
        h += e.name;

        put32(central_, 0x02014b50);
        put16(central_, kMadeByUnix);
        put16(central_, kVersion);
        put16(central_, 0);
        put16(central_, 0);
        put16(central_, kDosTime);
        put16(central_, kDosDate);
        crc_positions_.push_back(central_.size());
        put32(central_, crc);
        put32(central_, size32);
        put32(central_, size32);
        put16(central_, static_cast<std::uint32_t>(e.name.size()));
        put16(central_, 0); // extra
        put16(central_, 0); // comment
        put16(central_, 0); // disk number
        put16(central_, 0); // internal attributes
        put32(central_, externalAttributes(e));
        put32(central_, offset);
        central_ += e.name;
        ++central_count_;

        offset_ += h.size() + size;
        checkedField(offset_, "archive size");
        return h;
    }

    // Replaces the CRC of the most recent entry in the central directory.
    void patchLastCrc(std::uint32_t crc) {
        std::string bytes;
        put32(bytes, crc);
        central_.replace(crc_positions_.back(), 4, bytes);
    }

    std::string centralDirectoryAndEnd() const {
        std::string out = central_;
        put32(out, 0x06054b50);
        put16(out, 0); // this disk
        put16(out, 0); // disk with central directory
        put16(out, central_count_);
        put16(out, central_count_);
        put32(out, checkedField(central_.size(), "central directory"));
        put32(out, checkedField(offset_, "archive size"));
        put16(out, 0); // comment length
        checkedField(offset_ + out.size(), "archive size");
        return out;
    }

  private:
    std::uint64_t offset_ = 0;
    std::string central_;
    std::vector<std::size_t> crc_positions_;
    std::uint32_t central_count_ = 0;
};

std::string agentScript(const std::string& body) {
    if (body.rfind("#!", 0) == 0) {
        return body;
    }
    return "#!/bin/sh\n" + body;
}

ZipEntry installEntry(const std::string& body) {
    return ZipEntry{"install", agentScript(body), ZipEntry::Kind::File, 0755};
}

[[noreturn]] void throwErrno(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

class OutputFile {
  public:
    explicit OutputFile(const std::string& path) : path_(path) {
        fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            throwErrno("open " + path);
        }
    }
    ~OutputFile() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void write(std::string_view bytes) {
        while (!bytes.empty()) {
            const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                throwErrno("write " + path_);
            }
            bytes.remove_prefix(static_cast<std::size_t>(n));
            position_ += static_cast<std::uint64_t>(n);
        }
    }

    void writeAt(std::uint64_t offset, std::string_view bytes) {
        if (::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset)) !=
            static_cast<ssize_t>(bytes.size())) {
            throwErrno("pwrite " + path_);
        }
    }

    void close() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) {
            throwErrno("close " + path_);
        }
    }

    std::uint64_t position() const {
        return position_;
    }

  private:
    std::string path_;
    int fd_ = -1;
    std::uint64_t position_ = 0;
};

} // namespace

std::uint32_t crc32(std::string_view bytes, std::uint32_t crc) {
    const CrcTables& t = crcTables();
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t n = bytes.size();
    crc = ~crc;
    while (n >= 8) {
        const std::uint32_t lo = crc ^ (std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 |
                                        std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24);
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
              t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
        p += 8;
        n -= 8;
    }
    while (n-- > 0) {
        crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xFF];
    }
    return ~crc;
}

std::string makeZip(const std::vector<ZipEntry>& entries) {
    ZipLayout layout;
    std::string out;
    for (const ZipEntry& e : entries) {
        const std::string_view data =
            e.kind == ZipEntry::Kind::Directory ? std::string_view() : std::string_view(e.data);
        out += layout.localHeader(e, crc32(data), data.size());
        out += data;
    }
    out += layout.centralDirectoryAndEnd();
    return out;
}

void writeZip(const std::string& path, const std::vector<ZipEntry>& entries) {
    OutputFile file(path);
    file.write(makeZip(entries));
    file.close();
}

std::string makeAgentZip(const std::string& installScript, const std::vector<ZipEntry>& extra) {
    std::vector<ZipEntry> entries{installEntry(installScript)};
    entries.insert(entries.end(), extra.begin(), extra.end());
    return makeZip(entries);
}

void writeLargeAgentZip(const std::string& path, const std::string& installScript,
                        std::uint64_t totalBytes) {
    OutputFile file(path);
    ZipLayout layout;

    const ZipEntry install = installEntry(installScript);
    file.write(layout.localHeader(install, crc32(install.data), install.data.size()));
    file.write(install.data);

    // The CRC is only known after streaming, so the header gets it patched in afterwards.
    const ZipEntry payload{"payload.bin", {}, ZipEntry::Kind::File, 0644};
    const std::uint64_t headerOffset = file.position();
    file.write(layout.localHeader(payload, 0, totalBytes));

    std::string chunk(std::size_t{1} << 20, '\0');
    std::uint64_t state = 0x5eed5eed5eed5eedULL;
    std::uint32_t crc = 0;
    for (std::uint64_t left = totalBytes; left > 0;) {
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
        for (std::size_t i = 0; i < n; i += 8) {
            // splitmix64: fast and statistically good enough to defeat compression.
            std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
            z ^= z >> 31;
            std::memcpy(chunk.data() + i, &z, std::min<std::size_t>(8, n - i));
        }
        const std::string_view piece(chunk.data(), n);
        crc = crc32(piece, crc);
        file.write(piece);
        left -= n;
    }

    std::string crcBytes;
    put32(crcBytes, crc);
    file.writeAt(headerOffset + 14, crcBytes);
    layout.patchLastCrc(crc);
    file.write(layout.centralDirectoryAndEnd());
    file.close();
}

} // namespace qz::test
