#pragma once

#include <string>

namespace qz::platform {

// Removes a file, a symbolic link or a whole directory tree. Symbolic links inside the tree are
// removed as links: nothing outside the tree is ever touched. Returns whether the item is gone.
bool removeItem(const std::string& path);

} // namespace qz::platform
