#pragma once

#include "base/result.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace qz::platform {

// The file a download goes to. It is created only when open() is called (mode 0600; an existing
// file is truncated when overwriting is allowed, and is an error otherwise), written in batches,
// and deleted on request only while it is still the regular file that this object created.
// Without a path nothing is written and every call succeeds.
class DestinationFile {
  public:
    DestinationFile() = default;
    // Closes the file; never deletes it.
    ~DestinationFile();
    DestinationFile(const DestinationFile&) = delete;
    DestinationFile& operator=(const DestinationFile&) = delete;

    void setPath(std::string path, bool allowOverwrite);
    const std::string& path() const {
        return path_;
    }
    // The file's first `offset` bytes are kept when it is opened and the rest written after them;
    // 0 creates or truncates it as without this.
    void setStartOffset(std::uint64_t offset) {
        startOffset_ = offset;
    }

    // Creates the file on the first call; later calls do nothing.
    Result<> open();
    // Before open() the bytes are dropped. Writes to the file at once only when a batch is full.
    Result<> write(const char* data, std::size_t length);
    Result<> flush();
    // Closes without writing what is still batched.
    Result<> close();
    // Deletes the file if this object created it and it is still that regular file: never a
    // device such as /dev/null, nor a file that replaced it meanwhile.
    void remove();

  private:
    std::string path_;
    bool allowOverwrite_ = false;
    std::uint64_t startOffset_ = 0;
    int fd_ = -1;
    std::string batch_;
    bool owns_ = false; // this object created or truncated the file
    bool regular_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

} // namespace qz::platform
