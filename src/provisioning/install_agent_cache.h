#pragma once

#include "platform/file_lock.h"

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

    // Empty when the cache may be used; else one line that says why not.
    std::string trustProblem() const;

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
    // Shares the lock until the process ends, for the install agent that this run starts.
    void keepSharedUntilExit();

    // The stored validation string when it is one we would send back to a server, else empty.
    std::string storedValidationString() const;
    // The version that the signature of the install agent in place vouched for; none when it
    // was installed without one. It stays when the agent is discarded: the floor for the next.
    std::optional<std::uint64_t> recordedVersion() const;

    // What killed runs left half done. Only with the lock held, when no run can be unpacking;
    // what resists is tried again by the next run.
    void removeLeftovers() const;
    // Takes the install agent away in one step, so no run ever sees it half removed. Only with
    // the lock held alone.
    Result<> discardAgent() const;
    // A new, empty directory beside the install agent to unpack into.
    Result<std::string> makeUnpackDirectory() const;
    // Moves an unpacked install agent into place, then records its version (when it has one) and
    // its validation string; the old records never vouch for the new agent, even for a moment.
    // Only with the lock held alone.
    Result<> install(const std::string& unpacked, const std::string& validationString,
                     std::optional<std::uint64_t> version = std::nullopt) const;

  private:
    std::string directory_;
    Lock lock_;
};

} // namespace qz
