#pragma once

// Writes ZIP archives for tests through libzip.
//
// Entries are stored (method 0) with Unix attributes, so Info-ZIP unzip restores permission bits
// and symbolic links.

#include <string>
#include <vector>

namespace qz::test {

struct ZipEntry {
    enum class Kind { File, Directory, Symlink };
    std::string name; // stored exactly as given (may be "../x", "/abs/x", "dir/")
    std::string data; // file content, or the link target for a Symlink
    Kind kind = Kind::File;
    unsigned mode = 0644; // permission bits (type bits are added from kind)
};

// Archive bytes.
std::string makeZip(const std::vector<ZipEntry>& entries);

// Writes makeZip(entries) to `path`; throws std::runtime_error on failure.
void writeZip(const std::string& path, const std::vector<ZipEntry>& entries);

// A valid archive holding one "install" shell script (mode 0755) with this body, plus optional
// extra files. "#!/bin/sh\n" is prepended unless the body already starts with "#!".
std::string makeAgentZip(const std::string& installScript, const std::vector<ZipEntry>& extra = {});

} // namespace qz::test
