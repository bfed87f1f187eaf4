#include "platform/file_lock.h"

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

FileLock::Result FileLock::tryAcquire(const std::string& path, Mode mode) {
    if (held() && path != path_) {
        release();
    }
    const short type = mode == Mode::Shared ? F_RDLCK : F_WRLCK;
    if (held()) {
        if (mode == mode_) {
            return Result::Acquired;
        }
        const int error = setLock(fd_, type);
        if (error == 0) {
            mode_ = mode;
            return Result::Acquired;
        }
        return error == EAGAIN || error == EACCES ? Result::Busy : Result::Unavailable;
    }
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return Result::Unavailable;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Result::Unavailable;
    }
    const int error = setLock(fd, type);
    if (error != 0) {
        ::close(fd);
        return error == EAGAIN || error == EACCES ? Result::Busy : Result::Unavailable;
    }
    fd_ = fd;
    mode_ = mode;
    path_ = path;
    return Result::Acquired;
}

void FileLock::release() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    path_.clear();
}

void FileLock::holdUntilExit() {
    // The descriptor is close-on-exec, so the lock ends with this process, not with its children.
    fd_ = -1;
    path_.clear();
}

} // namespace qz::platform
