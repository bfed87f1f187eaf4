#include "platform/run_directory.h"

#include "platform/path.h"
#include "platform/remove_item.h"
#include "platform/temporary_directory.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qz::platform {
namespace {

constexpr mode_t kMark = S_ISVTX;

// Not close-on-exec: the programs that the run starts keep the lock with it.
int openForLock(const std::string& path) {
    return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
}

void removeIfAbandoned(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & kMark) == 0) {
        return;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    struct stat locked {};
    // Still the directory looked at above, and no process of its run is left to hold its lock.
    const bool abandoned = ::fstat(fd, &locked) == 0 && locked.st_dev == st.st_dev &&
                           locked.st_ino == st.st_ino && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (abandoned) {
        // What resists is tried again by the next run.
        static_cast<void>(removeItem(path));
    }
    ::close(fd);
}

} // namespace

RunDirectory::RunDirectory(const std::string& pattern) {
    const auto made = makeUniqueDirectory(pattern);
    if (!made) {
        return;
    }
    path_ = *made;
    lockFd_ = openForLock(path_);
    struct stat st {};
    if (lockFd_ >= 0 && ::flock(lockFd_, LOCK_EX | LOCK_NB) == 0 && ::fstat(lockFd_, &st) == 0) {
        ::fchmod(lockFd_, (st.st_mode & 07777) | kMark);
    }
}

RunDirectory::~RunDirectory() {
    if (lockFd_ >= 0) {
        ::close(lockFd_);
    }
}

void removeAbandonedRunDirectories(const std::string& parent, const std::string& prefix) {
    DIR* dir = ::opendir(parent.c_str());
    if (dir == nullptr) {
        return;
    }
    std::vector<std::string> candidates;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.size() == prefix.size() + 6 && name.starts_with(prefix)) {
            candidates.push_back(appendPathComponent(parent, name));
        }
    }
    ::closedir(dir);
    for (const auto& path : candidates) {
        removeIfAbandoned(path);
    }
}

} // namespace qz::platform
