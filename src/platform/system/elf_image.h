#pragma once

#include "base/result.h"

#include <cstdint>

namespace qz::platform {

// How long the 64-bit ELF program at the start of the file `fd` is: the end of the furthest of
// its header tables, segments and sections. A program file is no longer than that unless
// something was appended to it.
Result<std::uint64_t> elfImageLength(int fd);

} // namespace qz::platform
