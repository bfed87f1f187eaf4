#pragma once

#include <cstddef>

namespace qz::platform {

// Writes all `length` bytes to `fd`, resuming after partial writes and interruptions; false
// (with errno set) when the descriptor refuses them.
bool writeAll(int fd, const char* data, std::size_t length);

} // namespace qz::platform
