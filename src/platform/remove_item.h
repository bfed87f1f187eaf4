#pragma once

#include "bootstrap/result.h"

#include <string>

namespace qz::platform {

// Removes a file, a symbolic link or a whole directory tree. Symbolic links inside the tree are
// removed as links: nothing outside the tree is ever touched. Succeeds when the item is gone.
Result<> removeItem(const std::string& path);

} // namespace qz::platform
