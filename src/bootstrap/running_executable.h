#pragma once

#include <string>

namespace qz {

// The running program's path as /proc/self/exe names it (symbolic links already resolved by the
// system), whatever its length; empty when it cannot be read.
std::string runningExecutablePath();

} // namespace qz
