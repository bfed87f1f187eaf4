#include "platform/system/directories.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "base/path.h"

namespace qz::platform {

std::optional<std::string> temporaryDirectory() {
    const char* tmp = std::getenv("TMPDIR");
    struct stat st {};
    // A relative path would change meaning with the working directory.
    if (tmp == nullptr || tmp[0] != '/' || ::stat(tmp, &st) != 0 || !S_ISDIR(st.st_mode) ||
        ::access(tmp, W_OK | X_OK) != 0) {
        return std::nullopt;
    }
    return std::string(tmp);
}

Result<std::string> makeUniqueDirectory(const std::string& pattern) {
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        return systemFailure("Could not make a directory like " + pattern);
    }
    return std::string(buffer.data(), pattern.size());
}

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
        removeItem(path).ignore("what resists is tried again by the next run");
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

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Owner rights on a directory of ours, so that it can be listed and emptied whatever its mode.
void makeAccessible(int dirFd) {
    struct stat st {};
    if (::fstat(dirFd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 0700) != 0700) {
        ::fchmod(dirFd, (st.st_mode | 0700) & 07777);
    }
}

// Opens the directory `name` without following a link; one of ours that refuses to open (no read
// or search right) gets owner rights first.
int openDirectory(int parentFd, const char* name) {
    int fd = ::openat(parentFd, name, kDirectoryFlags);
    struct stat st {};
    if (fd < 0 && errno == EACCES && ::fstatat(parentFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
        ::fchmodat(parentFd, name, (st.st_mode | 0700) & 07777, AT_SYMLINK_NOFOLLOW) == 0) {
        fd = ::openat(parentFd, name, kDirectoryFlags);
    }
    if (fd >= 0) {
        makeAccessible(fd);
    }
    return fd;
}

// Removes every entry of the directory that is not a directory, and returns the names of those
// that are (or may be), to be entered one by one.
std::vector<std::string> removeFilesAndListDirectories(int dirFd, bool& ok) {
    std::vector<std::string> directories;
    const int listFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listFd < 0 ? nullptr : ::fdopendir(listFd);
    if (dir == nullptr) {
        if (listFd >= 0) {
            ::close(listFd);
        }
        ok = false;
        return directories;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        if (entry->d_type == DT_DIR) {
            directories.emplace_back(name);
        } else if (::unlinkat(dirFd, name, 0) == 0 || errno == ENOENT) {
            continue;
        } else if (errno == EISDIR || errno == EPERM) {
            directories.emplace_back(name); // the file system did not tell the type
        } else {
            ok = false;
        }
    }
    ::closedir(dir);
    return directories;
}

// Goes from the directory open at `dirFd` back up to the one it was entered from as `name`, and
// removes it there. Returns the parent, or -1 when ".." is no longer that parent.
int climbAndRemove(int dirFd, const std::string& name, bool& ok) {
    const int parent = ::openat(dirFd, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    struct stat here {
    }, there{};
    const bool same = parent >= 0 && ::fstat(dirFd, &here) == 0 &&
                      ::fstatat(parent, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
                      here.st_dev == there.st_dev && here.st_ino == there.st_ino;
    ::close(dirFd);
    if (!same) {
        if (parent >= 0) {
            ::close(parent);
        }
        return -1;
    }
    if (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0) {
        ok = false;
    }
    return parent;
}

// Depth first, one directory open at a time: a tree of any depth needs O(1) descriptors. Each
// level keeps the names of the subdirectories it has still to enter.
bool removeDirectoryTree(const std::string& path) {
    int current = openDirectory(AT_FDCWD, path.c_str());
    if (current < 0) {
        return errno == ENOENT;
    }
    struct Level {
        std::string name;
        std::vector<std::string> pending;
    };
    bool ok = true;
    std::vector<Level> levels;
    levels.push_back({std::string(), removeFilesAndListDirectories(current, ok)});
    for (;;) {
        Level& level = levels.back();
        if (!level.pending.empty()) {
            std::string name = std::move(level.pending.back());
            level.pending.pop_back();
            const int child = openDirectory(current, name.c_str());
            if (child < 0) {
                ok = ok && errno == ENOENT;
                continue;
            }
            ::close(current);
            current = child;
            levels.push_back({std::move(name), removeFilesAndListDirectories(current, ok)});
            continue;
        }
        if (levels.size() == 1) {
            break;
        }
        current = climbAndRemove(current, level.name, ok);
        if (current < 0) {
            return false;
        }
        levels.pop_back();
    }
    ::close(current);
    return (::rmdir(path.c_str()) == 0 || errno == ENOENT) && ok;
}

} // namespace

Result<> removeItem(const std::string& path) {
    if (path.empty()) {
        return Failure{"Nothing to remove: the path is empty"};
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        return errno == ENOENT ? Result<>() : systemFailure("Could not remove " + path);
    }
    if (!S_ISDIR(st.st_mode)) {
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            return systemFailure("Could not remove " + path);
        }
        return {};
    }
    if (!removeDirectoryTree(path)) {
        return Failure{"Could not remove all of " + path};
    }
    return {};
}

} // namespace qz::platform
