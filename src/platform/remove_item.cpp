#include "platform/remove_item.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace qz::platform {
namespace {

bool removeAt(int parentFd, const char* name);

// Empties the directory open at dirFd; takes ownership of dirFd.
bool emptyDirectory(int dirFd) {
    // An unpacked archive may hold read-only directories; make ours writable so we can empty them.
    struct stat st {};
    if (::fstat(dirFd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 0700) != 0700) {
        ::fchmod(dirFd, st.st_mode | 0700);
    }
    DIR* dir = ::fdopendir(dirFd);
    if (dir == nullptr) {
        ::close(dirFd);
        return false;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    bool ok = true;
    const int fd = ::dirfd(dir);
    for (const auto& name : names) {
        ok = removeAt(fd, name.c_str()) && ok;
    }
    ::closedir(dir);
    return ok;
}

bool removeAt(int parentFd, const char* name) {
    if (::unlinkat(parentFd, name, 0) == 0 || errno == ENOENT) {
        return true;
    }
    if (errno != EISDIR && errno != EPERM) {
        return false;
    }
    // O_NOFOLLOW: a symbolic link is never entered, only unlinked above.
    const int fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool emptied = emptyDirectory(fd);
    return (::unlinkat(parentFd, name, AT_REMOVEDIR) == 0 || errno == ENOENT) && emptied;
}

} // namespace

bool removeItem(const std::string& path) {
    if (path.empty()) {
        return false;
    }
    return removeAt(AT_FDCWD, path.c_str());
}

} // namespace qz::platform
