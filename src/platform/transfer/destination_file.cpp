#include "platform/transfer/destination_file.h"

#include "base/write_all.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qz::platform {
namespace {

// libcurl hands over at most its receive buffer at a time; one write per round of socket
// activity is cheaper. The batch never grows past its first reservation.
constexpr std::size_t kWriteBatch = 256 * 1024;

// A failed write told as the downloaded file's, with the write's errno.
Result<> written(Result<> result) {
    if (!result) {
        return systemFailure("Could not write the downloaded file", result.failure().error());
    }
    return result;
}

} // namespace

DestinationFile::~DestinationFile() {
    close().ignore("whoever needed the outcome closed it already");
}

void DestinationFile::setPath(std::string path, bool allowOverwrite) {
    path_ = std::move(path);
    allowOverwrite_ = allowOverwrite;
}

Result<> DestinationFile::open() {
    if (path_.empty() || owns_) {
        return {};
    }
    const int mode = startOffset_ > 0 ? 0 : allowOverwrite_ ? O_TRUNC : O_EXCL;
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | mode, 0600);
    if (fd_ < 0) {
        return systemFailure("Could not create the file " + path_);
    }
    // What lies past the kept part is whatever an earlier try left unfinished.
    if (startOffset_ > 0 && (::ftruncate(fd_, static_cast<off_t>(startOffset_)) != 0 ||
                             ::lseek(fd_, 0, SEEK_END) < 0)) {
        const Failure failure = systemFailure("Could not resume the file " + path_);
        ::close(fd_);
        fd_ = -1;
        return failure;
    }
    owns_ = true;
    struct stat status {};
    if (::fstat(fd_, &status) == 0) {
        regular_ = S_ISREG(status.st_mode);
        device_ = status.st_dev;
        inode_ = status.st_ino;
    }
    return {};
}

Result<> DestinationFile::write(const char* data, std::size_t length) {
    if (fd_ < 0) {
        return {};
    }
    if (batch_.size() + length > kWriteBatch) {
        if (auto flushed = flush(); !flushed) {
            return flushed;
        }
    }
    if (length >= kWriteBatch) {
        return written(writeAll(fd_, data, length));
    }
    if (batch_.capacity() < kWriteBatch) {
        batch_.reserve(kWriteBatch);
    }
    batch_.append(data, length);
    return {};
}

Result<> DestinationFile::flush() {
    if (batch_.empty() || fd_ < 0) {
        batch_.clear();
        return {};
    }
    Result<> result = writeAll(fd_, batch_.data(), batch_.size());
    batch_.clear();
    return written(std::move(result));
}

Result<> DestinationFile::close() {
    if (fd_ < 0) {
        return {};
    }
    batch_.clear();
    const int result = ::close(fd_);
    fd_ = -1;
    if (result != 0 && errno != EINTR) {
        return systemFailure("Could not write the downloaded file");
    }
    return {};
}

void DestinationFile::remove() {
    if (!owns_) {
        return;
    }
    owns_ = false;
    struct stat status {};
    if (regular_ && ::lstat(path_.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        status.st_dev == device_ && status.st_ino == inode_) {
        ::unlink(path_.c_str());
    }
}

} // namespace qz::platform
