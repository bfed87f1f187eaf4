#pragma once

#include "base/result.h"

#include <cstddef>

namespace qz::platform {

// Writes all `length` bytes to `fd`, resuming after partial writes and interruptions; fails (with
// errno set too) when the descriptor refuses them.
Result<> writeAll(int fd, const char* data, std::size_t length);

} // namespace qz::platform
