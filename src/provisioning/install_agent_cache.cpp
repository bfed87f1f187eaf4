#include "provisioning/install_agent_cache.h"

#include "bootstrap/installer_constants.h"
#include "platform/system/directories.h"
#include "provisioning/cache_trust.h"
#include "provisioning/validation_string.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qz {
namespace {

// Work directories beside the install agent; a killed run may leave them behind.
const std::string UNPACK_SUFFIX = ".unpack-";
const std::string DISCARD_SUFFIX = ".old-";

int withoutOthersWrite(const char* path, const struct stat* st, int /*flag*/, FTW* /*ftw*/) {
    if (S_ISLNK(st->st_mode) || (st->st_mode & (S_IWGRP | S_IWOTH)) == 0) {
        return 0;
    }
    return ::chmod(path, st->st_mode & 07777u & ~static_cast<mode_t>(S_IWGRP | S_IWOTH)) == 0 ? 0
                                                                                              : -1;
}

} // namespace

InstallAgentCache::InstallAgentCache(std::string directory) : directory_(std::move(directory)) {}

std::string InstallAgentCache::agentDirectory() const {
    return directory_ + INSTALL_AGENT_DIR;
}

Result<> InstallAgentCache::checkTrust() const {
    return checkCacheTrust(directory_);
}

Result<bool> InstallAgentCache::lock(Lock::Mode mode) {
    return lock_.tryAcquire(directory_ + ".lock", mode);
}

void InstallAgentCache::keepSharedUntilExit() {
    if (!lock_.held()) {
        return;
    }
    // Converting to shared cannot be refused while we hold the lock alone or share it.
    if (const auto shared = lock_.tryAcquire(directory_ + ".lock", Lock::Mode::Shared);
        shared && *shared) {
        lock_.holdUntilExit();
    }
}

std::string InstallAgentCache::storedValidationString() const {
    const std::string stored = readValidationString(directory_);
    return isUsableValidationString(stored) ? stored : std::string();
}

std::optional<Vouch> InstallAgentCache::vouch() const {
    return readVouchRecord(directory_, agentDirectory());
}

Result<VersionFloors> InstallAgentCache::newestVersions() const {
    return readNewestVersions(directory_);
}

void InstallAgentCache::removeLeftovers() const {
    DIR* dir = ::opendir(directory_.c_str());
    if (dir == nullptr) {
        return;
    }
    std::vector<std::string> leftovers;
    const std::string unpack = INSTALL_AGENT_DIR + UNPACK_SUFFIX;
    const std::string discard = INSTALL_AGENT_DIR + DISCARD_SUFFIX;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.starts_with(unpack) || name.starts_with(discard) ||
            name.starts_with(VOUCH_RECORD_FILE + RECORD_ASIDE_SUFFIX) ||
            name.starts_with(NEWEST_VERSIONS_FILE + RECORD_ASIDE_SUFFIX) ||
            name.starts_with(PARTIAL_RECORD_FILE + RECORD_ASIDE_SUFFIX)) {
            leftovers.push_back(directory_ + name);
        }
    }
    ::closedir(dir);
    for (const auto& path : leftovers) {
        platform::removeItem(path).ignore("what resists is tried again by the next run");
    }
}

Result<> InstallAgentCache::repair() const {
    const CacheRepair repair = cacheRepair(directory_);
    struct stat st {};
    if (repair.replaceAgent) {
        auto replaced = ::lstat(agentDirectory().c_str(), &st) == 0
                            ? discardAgent()
                            : removeAgentRecords(directory_);
        if (!replaced) {
            return replaced;
        }
    }
    for (const auto& path : repair.modes) {
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            ::chmod(path.c_str(), st.st_mode & 07777u & ~static_cast<mode_t>(S_IWGRP | S_IWOTH)) !=
                0) {
            return systemFailure("Could not change the mode of " + path);
        }
    }
    return {};
}

Result<> InstallAgentCache::discardAgent() const {
    if (auto removed = removeAgentRecords(directory_); !removed) {
        return removed;
    }
    const std::string agent = agentDirectory();
    const auto aside = platform::makeUniqueDirectory(agent + DISCARD_SUFFIX + "XXXXXX");
    if (!aside) {
        return platform::removeItem(agent);
    }
    const bool moved = ::rename(agent.c_str(), aside->c_str()) == 0;
    platform::removeItem(*aside).ignore("what resists is a leftover that the next run removes");
    return moved ? Result<>() : platform::removeItem(agent);
}

Result<std::string> InstallAgentCache::makeUnpackDirectory() const {
    return platform::makeUniqueDirectory(agentDirectory() + UNPACK_SUFFIX + "XXXXXX");
}

Result<> InstallAgentCache::install(const std::string& unpacked,
                                    const std::string& validationString,
                                    const std::optional<Vouch>& vouch) const {
    // What the archive's modes let others write would make the cache untrusted.
    if (::nftw(unpacked.c_str(), withoutOthersWrite, 16, FTW_PHYS) != 0) {
        return systemFailure("Could not change the modes of the install agent in " + unpacked);
    }
    if (auto removed = removeAgentRecords(directory_); !removed) {
        return removed;
    }
    struct stat st {};
    if (::lstat(agentDirectory().c_str(), &st) == 0) {
        if (auto discarded = discardAgent(); !discarded) {
            return discarded;
        }
    }
    if (::rename(unpacked.c_str(), agentDirectory().c_str()) != 0) {
        return systemFailure("Could not move the install agent into place");
    }
    if (vouch) {
        // Without its records the agent is not recorded as current either.
        if (auto raised =
                raiseNewestVersion(directory_, vouch->keyId, vouch->product, vouch->version);
            !raised) {
            return raised;
        }
        if (auto written = writeVouchRecord(directory_, agentDirectory(), *vouch); !written) {
            return written;
        }
    }
    writeValidationString(directory_, validationString);
    return {};
}

} // namespace qz
