#pragma once

#include <optional>
#include <string>

namespace qz {

// Whether an entry of the zip archive at `path` is encrypted, as its central directory says
// (bit 0 of an entry's flags); none when the central directory cannot be found or read, and
// unzip is left to judge the archive. Known before unzip runs, so that no unzip, whatever its
// options, ever waits at a password prompt.
std::optional<bool> hasEncryptedEntries(const std::string& path);

} // namespace qz
