#pragma once

#include "platform/system/file_lock.h"
#include "provisioning/agent_records.h"

#include <cstdint>
#include <optional>
#include <string>

namespace qz {

// The per-user install agent cache: the unpacked install agent, the validation string of the
// archive it came from, and the lock that runs sharing the cache take. Runs that only read the
// cache share the lock; a run changes the cache only while it holds the lock alone, so an install
// agent that another run has started is never removed or replaced under it.
class InstallAgentCache {
  public:
    using Lock = platform::FileLock;

    // `directory` as getInstallAgentCacheDir gives it, ending in a separator.
    explicit InstallAgentCache(std::string directory);

    const std::string& directory() const {
        return directory_;
    }
    std::string agentDirectory() const;

    // Whether the cache may be used; the failure, one line for the user, says why not.
    Result<> checkTrust() const;

    // True once held in `mode`, false while other runs hold it so that it cannot be.
    Result<bool> lock(Lock::Mode mode);
    bool locked() const {
        return lock_.held();
    }
    Lock::Mode lockMode() const {
        return lock_.mode();
    }
    void unlock() {
        lock_.release();
    }
    // Shares the lock until the process ends and with the install agent that this run starts,
    // which keeps it while it runs, even once we are gone.
    void keepSharedUntilExit();

    // The stored validation string when it is one we would send back to a server, else empty.
    std::string storedValidationString() const;
    // What vouched for the install agent in place; none when it was installed unchecked, or
    // when what lies there now is not the agent the record was written for.
    std::optional<Vouch> vouch() const;
    // The newest version seen of each signing key, the floor for the next signed download. It
    // stays when the agent is discarded or replaced.
    Result<VersionFloors> newestVersions() const;

    // What killed runs left half done. Only with the lock held, when no run can be unpacking;
    // what resists is tried again by the next run.
    void removeLeftovers() const;
    // Mends what cacheRepair names: the agent replaced, modes that let others write taken away.
    // Only with the lock held alone.
    Result<> repair() const;
    // Removes the agent's records, then takes the install agent away in one step, so no run ever
    // sees it half removed nor a record without its agent. Only with the lock held alone.
    Result<> discardAgent() const;
    // A new, empty directory beside the install agent to unpack into.
    Result<std::string> makeUnpackDirectory() const;
    // Moves an unpacked install agent into place, then records what vouched for it (when
    // something did; its version raises the key's newest) and its validation string; the old
    // records never vouch for the new agent, even for a moment. Only with the lock held alone.
    Result<> install(const std::string& unpacked, const std::string& validationString,
                     const std::optional<Vouch>& vouch = std::nullopt) const;

  private:
    std::string directory_;
    Lock lock_;
};

} // namespace qz
