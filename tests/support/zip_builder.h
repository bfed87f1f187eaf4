#pragma once

// Writes ZIP archives for tests, without any compression library.
//
// Entries are stored (method 0) with Unix attributes, so Info-ZIP unzip restores permission bits
// and symbolic links. There is no zip64 support: each entry, the archive as a whole and the
// number of entries must stay within the classic limits (under 4 GiB, under 65535 entries);
// larger requests throw std::length_error.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qz::test {

struct ZipEntry {
    enum class Kind { File, Directory, Symlink };
    std::string name; // stored exactly as given (may be "../x", "/abs/x", "dir/")
    std::string data; // file content, or the link target for a Symlink
    Kind kind = Kind::File;
    unsigned mode = 0644; // permission bits (type bits are added from kind)
};

// CRC-32 as used by ZIP (IEEE 802.3, reflected). Feed `crc` from a previous call to continue.
std::uint32_t crc32(std::string_view bytes, std::uint32_t crc = 0);

// Archive bytes.
std::string makeZip(const std::vector<ZipEntry>& entries);

// Writes makeZip(entries) to `path`; throws std::runtime_error on failure.
void writeZip(const std::string& path, const std::vector<ZipEntry>& entries);

// A valid archive holding one "install" shell script (mode 0755) with this body, plus optional
// extra files. "#!/bin/sh\n" is prepended unless the body already starts with "#!".
std::string makeAgentZip(const std::string& installScript, const std::vector<ZipEntry>& extra = {});

// An archive with the "install" script of makeAgentZip and one entry "payload.bin" of
// `totalBytes` pseudo-random (fixed seed, incompressible) bytes, written to `path` in chunks so
// memory use stays small. `totalBytes` must leave the archive under 4 GiB.
void writeLargeAgentZip(const std::string& path, const std::string& installScript,
                        std::uint64_t totalBytes);

} // namespace qz::test
