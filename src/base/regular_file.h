#pragma once

#include "base/result.h"

#include <cstddef>
#include <string>

namespace qz {

// The error of a failure for a path that is there but is not a regular file.
inline constexpr int NOT_A_REGULAR_FILE = 22; // EINVAL

// Opens `path` for reading only when it is a regular file: a FIFO or a device put where a file is
// expected never blocks the run. A symbolic link is followed unless `followLinks` is false, when
// it is refused. The descriptor is the caller's to close.
Result<int> openRegularFile(const std::string& path, bool followLinks = true);

// The first `limit` bytes of the regular file at `path`, and whether there were more.
struct FileStart {
    std::string bytes;
    bool longer = false;
};
Result<FileStart> readRegularFile(const std::string& path, std::size_t limit,
                                  bool followLinks = true);

} // namespace qz
