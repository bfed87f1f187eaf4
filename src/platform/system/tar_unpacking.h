#pragma once

#include "base/result.h"

#include <cstdint>
#include <string>

namespace qz::platform {

// Unpacks the ustar archive that lies at [offset, offset + length) of the file `fd` into the
// existing `folder`: its regular files (owner-only) and folders, nothing else, and nothing outside
// the folder.
Result<> unpackTar(int fd, std::uint64_t offset, std::uint64_t length, const std::string& folder);

} // namespace qz::platform
