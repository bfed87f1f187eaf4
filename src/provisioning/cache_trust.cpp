#include "provisioning/cache_trust.h"

#include "bootstrap/installer_constants.h"
#include "bootstrap/translation.h"
#include "provisioning/agent_version.h"

#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qz {
namespace {

// An Executable that is not a regular file is no problem of trust: the cache then holds no agent.
enum class Kind { Directory, File, Executable };

// Empty when the item is missing or fit for the cache; otherwise what is wrong with it.
std::string problemWith(const std::string& path, Kind kind) {
    struct stat st {};
    // What cannot be reached holds nothing anyone planted; making it will fail visibly.
    if (::lstat(path.c_str(), &st) != 0) {
        return std::string();
    }
    if (S_ISLNK(st.st_mode)) {
        return formatText(_("%s is a symbolic link"), path.c_str());
    }
    if (kind == Kind::Executable && !S_ISREG(st.st_mode)) {
        return std::string();
    }
    if (kind == Kind::Directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) {
        return formatText(kind == Kind::Directory ? _("%s is not a directory")
                                                  : _("%s is not a regular file"),
                          path.c_str());
    }
    if (st.st_uid != ::geteuid()) {
        return formatText(_("%s belongs to another user"), path.c_str());
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return formatText(_("%s can be written by other users"), path.c_str());
    }
    return std::string();
}

} // namespace

std::string cacheTrustProblem(const std::string& cacheDirectory) {
    if (cacheDirectory.size() < INSTALL_AGENT_CACHE_SUBDIR.size()) {
        return formatText(_("%s is not an install agent cache"), cacheDirectory.c_str());
    }
    // The levels of the cache itself, from its top: ".velmor", then one per separator.
    const std::string base =
        cacheDirectory.substr(0, cacheDirectory.size() - INSTALL_AGENT_CACHE_SUBDIR.size());
    std::vector<std::string> levels;
    for (std::string::size_type i = base.size(); i < cacheDirectory.size(); ++i) {
        if (cacheDirectory.compare(i, PATH_SEPARATOR.size(), PATH_SEPARATOR) == 0) {
            levels.push_back(cacheDirectory.substr(0, i));
        }
    }
    const std::string agentDir = cacheDirectory + INSTALL_AGENT_DIR;
    const std::pair<std::string, Kind> contents[] = {
        {agentDir, Kind::Directory},
        {agentDir + PATH_SEPARATOR + "install", Kind::Executable},
        {cacheDirectory + VALIDATION_STRING_FILE, Kind::File},
        {cacheDirectory + AGENT_VERSION_FILE, Kind::File},
        {cacheDirectory + ".lock", Kind::File},
    };
    std::string problem;
    for (const auto& level : levels) {
        problem = problemWith(level, Kind::Directory);
        if (!problem.empty()) {
            break;
        }
    }
    for (const auto& [path, kind] : contents) {
        if (!problem.empty()) {
            break;
        }
        problem = problemWith(path, kind);
    }
    if (problem.empty()) {
        return problem;
    }
    // TRANSLATORS: %s is why, e.g. "/tmp/.velmor belongs to another user".
    return formatText(_("The install agent cache is not used: %s."), problem.c_str());
}

} // namespace qz
