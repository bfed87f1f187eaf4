#include "platform/system/file_lock.h"

#include "platform/system/child_processes.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace qz::platform {
namespace {

// Fails with EAGAIN or EACCES while others hold the lock so that it cannot be had.
Result<> setLock(int fd, short type, const std::string& path) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    if (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        return systemFailure("Could not lock " + path);
    }
    return {};
}

// True once set, false while others hold the lock, a failure when it cannot be had.
Result<bool> outcome(const Result<>& set) {
    if (set) {
        return true;
    }
    const int error = set.failure().error();
    if (error == EAGAIN || error == EACCES) {
        return false;
    }
    return set.failure();
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
        const auto set = setLock(fd_, type, path);
        if (set) {
            mode_ = mode;
        }
        return outcome(set);
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
    if (const auto set = setLock(fd, type, path); !set) {
        ::close(fd);
        return outcome(set);
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
    // Ours until we end (the descriptor stays open, close-on-exec), and the programs started
    // from now on take it in their own process: an install agent keeps it while it runs, even
    // when we are killed, and nothing that the agent leaves running holds it.
    holdSharedInStartedPrograms(path_, fd_);
    fd_ = -1;
    path_.clear();
}

} // namespace qz::platform
