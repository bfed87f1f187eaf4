#pragma once

#include <optional>
#include <string>

#include "base/result.h"

namespace qz::platform {

// The user's temporary directory: TMPDIR when it is an absolute path to a directory that we can
// write into and search, otherwise none.
std::optional<std::string> temporaryDirectory();

// Creates a new directory, owner-only, named `pattern` with its six trailing "X" replaced by a
// unique combination (mkdtemp); returns its path.
Result<std::string> makeUniqueDirectory(const std::string& pattern);

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

// Removes a file, a symbolic link or a whole directory tree. Symbolic links inside the tree are
// removed as links: nothing outside the tree is ever touched. Succeeds when the item is gone.
Result<> removeItem(const std::string& path);

} // namespace qz::platform
