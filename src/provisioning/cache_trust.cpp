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

struct Problem {
    std::string text;  // empty when the item is missing or fit for the cache
    bool ours = false; // a mode that we could have set, on an item of our own
};

Problem problemWith(std::string path, Kind kind) {
    if (kind == Kind::Executable) {
        // A link is what it runs; one that leads nowhere usable leaves no agent to trust.
        const auto target = installAgentTarget(path);
        if (!target) {
            return {};
        }
        path = *target;
    }
    struct stat st {};
    // What cannot be reached holds nothing anyone planted; making it will fail visibly.
    if (::lstat(path.c_str(), &st) != 0) {
        return {};
    }
    if (S_ISLNK(st.st_mode)) {
        return {formatText(_("%s is a symbolic link"), path.c_str())};
    }
    if (kind == Kind::Directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) {
        return {formatText(kind == Kind::Directory ? _("%s is not a directory")
                                                   : _("%s is not a regular file"),
                           path.c_str())};
    }
    if (st.st_uid != ::geteuid()) {
        return {formatText(_("%s belongs to another user"), path.c_str())};
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return {formatText(_("%s can be written by other users"), path.c_str()), true};
    }
    return {};
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

std::string cacheTrustProblem(const std::string& cacheDirectory) {
    if (cacheDirectory.size() < INSTALL_AGENT_CACHE_SUBDIR.size()) {
        return formatText(_("%s is not an install agent cache"), cacheDirectory.c_str());
    }
    Problem problem;
    for (const auto& level : levelsOf(cacheDirectory)) {
        problem = problemWith(level, Kind::Directory);
        if (!problem.text.empty()) {
            break;
        }
    }
    for (const auto& [path, kind] : contentsOf(cacheDirectory)) {
        if (!problem.text.empty()) {
            break;
        }
        problem = problemWith(path, kind);
        // Inside a cache that is ours alone, a mode of ours is repaired, not a reason to refuse.
        if (problem.ours) {
            problem = {};
        }
    }
    if (problem.text.empty()) {
        return problem.text;
    }
    // TRANSLATORS: %s is why, e.g. "/tmp/.velmor belongs to another user".
    return formatText(_("The install agent cache is not used: %s."), problem.text.c_str());
}

CacheRepair cacheRepair(const std::string& cacheDirectory) {
    CacheRepair repair;
    const auto contents = contentsOf(cacheDirectory);
    for (std::size_t i = 0; i < contents.size(); ++i) {
        if (!problemWith(contents[i].first, contents[i].second).ours) {
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
