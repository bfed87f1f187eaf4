#pragma once

#include <string>
#include <vector>

namespace qz {

// Why the install agent cache at `cacheDirectory` (as getInstallAgentCacheDir gives it) must not
// be used, or the empty string when it may. A cache is used only when every level of it that
// exists, from ".velmor" down, and its install agent, validation file, version record and lock
// file, belong to the user running us and can be written by nobody else; levels still missing are
// made by us. Inside the cache's own directory, items of ours that others could write only
// because of their mode are no reason to refuse: cacheRepair says how to mend them.
std::string cacheTrustProblem(const std::string& cacheDirectory);

// What to mend in a cache that cacheTrustProblem accepts: the agent (and its records) to replace,
// since others could have written them; the files whose content stays but whose mode must not
// let others write.
struct CacheRepair {
    bool replaceAgent = false;
    std::vector<std::string> modes;
    bool needed() const {
        return replaceAgent || !modes.empty();
    }
};
CacheRepair cacheRepair(const std::string& cacheDirectory);

} // namespace qz
