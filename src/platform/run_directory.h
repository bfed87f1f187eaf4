#pragma once

#include <string>

namespace qz::platform {

// A directory that one run makes for itself. The run holds a lock (flock) on it for its life; the
// descriptor is inherited by the programs that the run starts, so the lock lasts while any of
// them lives. Once locked, the directory carries the sticky bit: a directory that has it and is
// not locked belongs to a run that is over, one without it may still be in the making.
class RunDirectory {
  public:
    // Makes the directory named `pattern` with its six trailing "X" made unique (mkdtemp);
    // path() is empty when none could be made.
    explicit RunDirectory(const std::string& pattern);
    // Releases the lock; the directory itself stays.
    ~RunDirectory();
    RunDirectory(const RunDirectory&) = delete;
    RunDirectory& operator=(const RunDirectory&) = delete;

    const std::string& path() const {
        return path_;
    }

  private:
    std::string path_;
    int lockFd_ = -1;
};

// Removes the directories in `parent` named `prefix` and six more characters whose runs are over:
// real directories (not links), owned by us, marked and not locked.
void removeAbandonedRunDirectories(const std::string& parent, const std::string& prefix);

} // namespace qz::platform
