#pragma once

#include <optional>
#include <string>

namespace qz::platform {

// An exclusive advisory lock (flock) on a file, created when missing. The kernel drops it when
// the holder exits, however it ends, so a dead holder never blocks anyone.
class FileLock {
  public:
    enum class Result { Acquired, Busy, Unavailable };

    FileLock() = default;
    ~FileLock();
    FileLock(FileLock&& other) noexcept;
    FileLock& operator=(FileLock&& other) noexcept;
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Never blocks. Unavailable: the file cannot be opened or created.
    Result tryAcquire(const std::string& path);
    bool held() const {
        return fd_ >= 0;
    }
    void release();

  private:
    int fd_ = -1;
};

} // namespace qz::platform
