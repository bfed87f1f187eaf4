#pragma once

#include "bootstrap/result.h"

#include <optional>
#include <string>

namespace qz::platform {

// The user's temporary directory: TMPDIR when it is an absolute path to a directory that we can
// write into and search, otherwise none.
std::optional<std::string> temporaryDirectory();

// Creates a new directory, owner-only, named `pattern` with its six trailing "X" replaced by a
// unique combination (mkdtemp); returns its path.
Result<std::string> makeUniqueDirectory(const std::string& pattern);

} // namespace qz::platform
