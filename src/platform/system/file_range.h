#pragma once

#include "base/result.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace qz::platform {

// Reads exactly `length` bytes at `offset` of `fd`. A file that ends before them fails with error
// 0; a failing read with its errno.
Result<> readAt(int fd, std::uint64_t offset, void* into, std::size_t length);

// Appends [offset, offset + length) of `from` to `to`, copied by the kernel where it can be. A
// source that ends before fails as readAt does.
Result<> copyRange(int from, std::uint64_t offset, std::uint64_t length, int to);

// Copies the range as copyRange does into a new file at `path`, owner-only.
Result<> copyToNewFile(int from, std::uint64_t offset, std::uint64_t length,
                       const std::string& path);

} // namespace qz::platform
