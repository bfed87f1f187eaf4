#pragma once

#include <optional>
#include <string>

namespace qz::platform {

// The user's temporary directory: TMPDIR when set and not empty, otherwise none.
std::optional<std::string> temporaryDirectory();

} // namespace qz::platform
