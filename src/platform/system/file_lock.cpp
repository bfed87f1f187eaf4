#include "platform/system/file_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace qz::platform {
namespace {

// 0 on success, else errno.
int setLock(int fd, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0 ? 0 : errno;
}

// Held (0), held by others (busy), or not to be had.
Result<bool> outcome(int error, const std::string& path) {
    if (error == 0 || error == EAGAIN || error == EACCES) {
        return error == 0;
    }
    errno = error;
    return systemFailure("Could not lock " + path);
}

} // namespace

FileLock::~FileLock() {
    release();
}

FileLock::FileLock(FileLock&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), mode_(other.mode_), path_(std::move(other.path_)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
        mode_ = other.mode_;
        path_ = std::move(other.path_);
    }
    return *this;
}

Result<bool> FileLock::tryAcquire(const std::string& path, Mode mode) {
    if (held() && path != path_) {
        release();
    }
    const short type = mode == Mode::Shared ? F_RDLCK : F_WRLCK;
    if (held()) {
        if (mode == mode_) {
            return true;
        }
        const int error = setLock(fd_, type);
        if (error == 0) {
            mode_ = mode;
        }
        return outcome(error, path);
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return systemFailure("Could not open the lock file " + path);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Failure{"The lock file " + path + " is not a regular file"};
    }
    const int error = setLock(fd, type);
    if (error != 0) {
        ::close(fd);
        return outcome(error, path);
    }
    fd_ = fd;
    mode_ = mode;
    path_ = path;
    return true;
}

void FileLock::release() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    path_.clear();
}

void FileLock::holdUntilExit() {
    // Inherited from here on: a lock on an open file description lasts while any process holds
    // that description, so the programs started from now on keep it, even when we are killed.
    const int flags = ::fcntl(fd_, F_GETFD);
    if (flags >= 0) {
        ::fcntl(fd_, F_SETFD, flags & ~FD_CLOEXEC);
    }
    fd_ = -1;
    path_.clear();
}

} // namespace qz::platform
