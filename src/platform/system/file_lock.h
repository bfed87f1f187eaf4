#pragma once

#include "base/result.h"

#include <string>

namespace qz::platform {

// An advisory lock on a whole file (an open-file-description lock), created when missing. Many
// holders may share it, or one may hold it alone; changing between the two is atomic. The kernel
// drops it when the holder exits, however it ends, so a dead holder never blocks anyone.
class FileLock {
  public:
    enum class Mode { Shared, Exclusive };

    FileLock() = default;
    ~FileLock();
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Never blocks: true when the lock is held in `mode`, false when others hold it so that it
    // cannot be (a held lock is then kept as it was); fails when the file cannot be opened or
    // created, or is not a regular file. A held lock is converted to `mode` in one step.
    Result<bool> tryAcquire(const std::string& path, Mode mode = Mode::Exclusive);
    bool held() const {
        return fd_ >= 0;
    }
    Mode mode() const {
        return mode_;
    }
    void release();
    // Keeps a shared lock until the process ends, and makes every program it starts from now on
    // hold one for as long as that program's own process lives: for a lock that protects an
    // install agent while it runs, whatever becomes of us, and only while it runs.
    void holdUntilExit();

  private:
    int fd_ = -1;
    Mode mode_ = Mode::Exclusive;
    std::string path_;
};

} // namespace qz::platform
