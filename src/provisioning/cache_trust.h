#pragma once

#include "base/result.h"

#include <string>
#include <vector>

namespace qz {

// Whether the install agent cache at `cacheDirectory` (as getInstallAgentCacheDir gives it) may be
// used; the failure, one line for the user, says why not. A cache is used only when every level of
// it that exists, from ".velmor" down, and its install agent, validation file, version record and
// lock file, belong to the user running us and can be written by nobody else; levels still missing
// are made by us. Inside the cache's own directory, items of ours that others could write only
// because of their mode are no reason to refuse: cacheRepair says how to mend them.
Result<> checkCacheTrust(const std::string& cacheDirectory);

// What to mend in a cache that checkCacheTrust accepts: the agent (and its records) to replace,
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
