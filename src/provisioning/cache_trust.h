#pragma once

#include <string>

namespace qz {

// Why the install agent cache at `cacheDirectory` (as getInstallAgentCacheDir gives it) must not
// be used, or the empty string when it may. A cache is used only when every level of it that
// exists, from ".velmor" down, and its install agent, validation file, version record and lock
// file, belong to the user running us and can be written by nobody else; levels still missing are
// made by us.
std::string cacheTrustProblem(const std::string& cacheDirectory);

} // namespace qz
