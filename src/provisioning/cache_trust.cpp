#include "provisioning/cache_trust.h"

#include "base/translation.h"
#include "bootstrap/installer_constants.h"
#include "provisioning/agent_records.h"
#include "provisioning/install_agent_locations.h"

#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qz {
namespace {

// An Executable that is not a regular file is no problem of trust: the cache then holds no agent.
enum class Kind { Directory, File, Executable };

// Why anyone but us could have written the item.
Failure othersCanWrite(const std::string& path) {
    return Failure{Text::format(N_("%s can be written by other users"), path)};
}

// Whether the item may be in a cache we use: a failure says why not; true when it may once its
// mode no longer lets others write it (an item of ours), false when it may as it is, or when it
// is missing.
Result<bool> fitness(std::string path, Kind kind) {
    if (kind == Kind::Executable) {
        // A link is what it runs; one that leads nowhere usable leaves no agent to trust.
        const auto target = installAgentTarget(path);
        if (!target) {
            return false;
        }
        path = *target;
    }
    struct stat st {};
    // What cannot be reached holds nothing anyone planted; making it will fail visibly.
    if (::lstat(path.c_str(), &st) != 0) {
        return false;
    }
    if (S_ISLNK(st.st_mode)) {
        return Failure{Text::format(N_("%s is a symbolic link"), path)};
    }
    if (kind == Kind::Directory && !S_ISDIR(st.st_mode)) {
        return Failure{Text::format(N_("%s is not a directory"), path)};
    }
    if (kind != Kind::Directory && !S_ISREG(st.st_mode)) {
        return Failure{Text::format(N_("%s is not a regular file"), path)};
    }
    if (st.st_uid != ::geteuid()) {
        return Failure{Text::format(N_("%s belongs to another user"), path)};
    }
    return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

// The levels of the cache itself, from its top: ".velmor", then one per separator.
std::vector<std::string> levelsOf(const std::string& cacheDirectory) {
    const std::string base =
        cacheDirectory.substr(0, cacheDirectory.size() - INSTALL_AGENT_CACHE_SUBDIR.size());
    std::vector<std::string> levels;
    for (std::string::size_type i = base.size(); i < cacheDirectory.size(); ++i) {
        if (cacheDirectory.compare(i, PATH_SEPARATOR.size(), PATH_SEPARATOR) == 0) {
            levels.push_back(cacheDirectory.substr(0, i));
        }
    }
    return levels;
}

std::vector<std::pair<std::string, Kind>> contentsOf(const std::string& cacheDirectory) {
    const std::string agentDir = cacheDirectory + INSTALL_AGENT_DIR;
    return {
        {agentDir, Kind::Directory},
        {agentDir + PATH_SEPARATOR + "install", Kind::Executable},
        {cacheDirectory + VALIDATION_STRING_FILE, Kind::File},
        {cacheDirectory + VOUCH_RECORD_FILE, Kind::File},
        {cacheDirectory + LEGACY_VERSION_FILE, Kind::File},
        {cacheDirectory + NEWEST_VERSIONS_FILE, Kind::File},
        {cacheDirectory + ".lock", Kind::File},
    };
}

} // namespace

Result<> checkCacheTrust(const std::string& cacheDirectory) {
    const auto refused = [](const Failure& why) {
        // TRANSLATORS: %s is why, e.g. "/tmp/.velmor belongs to another user".
        return Failure{Text::format(N_("The install agent cache is not used: %s."), why.text())};
    };
    if (cacheDirectory.size() < INSTALL_AGENT_CACHE_SUBDIR.size()) {
        return refused(Text::format(N_("%s is not an install agent cache"), cacheDirectory));
    }
    for (const auto& level : levelsOf(cacheDirectory)) {
        const auto fit = fitness(level, Kind::Directory);
        if (!fit) {
            return refused(fit.failure());
        }
        if (*fit) {
            return refused(othersCanWrite(level));
        }
    }
    for (const auto& [path, kind] : contentsOf(cacheDirectory)) {
        // Inside a cache that is ours alone, a mode of ours is repaired, not a reason to refuse.
        if (const auto fit = fitness(path, kind); !fit) {
            return refused(fit.failure());
        }
    }
    return {};
}

CacheRepair cacheRepair(const std::string& cacheDirectory) {
    CacheRepair repair;
    const auto contents = contentsOf(cacheDirectory);
    for (std::size_t i = 0; i < contents.size(); ++i) {
        // What cannot be trusted at all is not for a repair to mend.
        if (const auto fit = fitness(contents[i].first, contents[i].second); !fit || !*fit) {
            continue;
        }
        // The agent and its records are replaced; the floors and the lock keep their content.
        if (contents[i].first.ends_with(NEWEST_VERSIONS_FILE) ||
            contents[i].first.ends_with(".lock")) {
            repair.modes.push_back(contents[i].first);
        } else {
            repair.replaceAgent = true;
        }
    }
    return repair;
}

} // namespace qz
