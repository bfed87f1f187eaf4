#include "support/files.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qz::test {
namespace {

[[noreturn]] void throwErrno(const std::string& what, int error = errno) {
    throw std::system_error(error, std::generic_category(), what);
}

class Fd {
  public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const {
        return fd_;
    }
    int release() {
        return std::exchange(fd_, -1);
    }

  private:
    int fd_;
};

struct stat lstatOrThrow(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
        throwErrno("lstat " + path);
    }
    return st;
}

// Works relative to a directory fd so a symlink swapped into the tree is never followed.
void removeAt(int parentFd, const std::string& name, const std::string& shownPath) {
    struct stat st {};
    if (::fstatat(parentFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) {
            return;
        }
        throwErrno("stat " + shownPath);
    }
    if (!S_ISDIR(st.st_mode)) {
        if (::unlinkat(parentFd, name.c_str(), 0) != 0 && errno != ENOENT) {
            throwErrno("unlink " + shownPath);
        }
        return;
    }

    // Without read, write and search permission its entries could be neither listed nor removed.
    if ((st.st_mode & 0700) != 0700) {
        ::fchmodat(parentFd, name.c_str(), (st.st_mode & 07777) | 0700, 0);
    }
    Fd fd(::openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (fd.get() < 0) {
        throwErrno("open " + shownPath);
    }
    DIR* dir = ::fdopendir(fd.get());
    if (dir == nullptr) {
        throwErrno("fdopendir " + shownPath);
    }
    fd.release();
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string child = entry->d_name;
        if (child != "." && child != "..") {
            names.push_back(child);
        }
    }
    const int readError = errno;
    try {
        if (readError != 0) {
            throwErrno("readdir " + shownPath, readError);
        }
        for (const std::string& child : names) {
            removeAt(::dirfd(dir), child, shownPath + "/" + child);
        }
    } catch (...) {
        ::closedir(dir);
        throw;
    }
    ::closedir(dir);
    if (::unlinkat(parentFd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT) {
        throwErrno("rmdir " + shownPath);
    }
}

} // namespace

void writeFile(const std::string& path, const std::string& bytes, unsigned mode) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode & 07777));
    if (fd.get() < 0) {
        throwErrno("open " + path);
    }
    // The umask, or an earlier file at this path, must not decide the mode.
    if (::fchmod(fd.get(), mode & 07777) != 0) {
        throwErrno("chmod " + path);
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwErrno("write " + path);
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd.release()) != 0) {
        throwErrno("close " + path);
    }
}

std::string readFile(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) {
        throwErrno("open " + path);
    }
    std::string out;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throwErrno("read " + path);
        }
        if (n == 0) {
            return out;
        }
        out.append(buffer, static_cast<std::size_t>(n));
    }
}

bool pathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

unsigned fileMode(const std::string& path) {
    return lstatOrThrow(path).st_mode & 07777;
}

bool isSymlink(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string readSymlink(const std::string& path) {
    const auto size = static_cast<std::size_t>(lstatOrThrow(path).st_size);
    std::string target(size + 1, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0) {
        throwErrno("readlink " + path);
    }
    target.resize(static_cast<std::size_t>(n));
    return target;
}

std::vector<std::string> listDirectory(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
        throwErrno("opendir " + dir);
    }
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* entry = ::readdir(d)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    const int readError = errno;
    ::closedir(d);
    if (readError != 0) {
        throwErrno("readdir " + dir, readError);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void makeDirectories(const std::string& path, unsigned mode) {
    std::vector<std::string> created;
    std::string prefix = path.starts_with('/') ? "/" : "";
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos) {
            end = path.size();
        }
        const std::string component = path.substr(start, end - start);
        start = end + 1;
        if (component.empty() || component == ".") {
            continue;
        }
        if (!prefix.empty() && !prefix.ends_with('/')) {
            prefix += '/';
        }
        prefix += component;
        if (::mkdir(prefix.c_str(), 0700) == 0) {
            created.push_back(prefix);
            continue;
        }
        const int error = errno;
        struct stat st {};
        if (error != EEXIST || ::stat(prefix.c_str(), &st) != 0) {
            throwErrno("mkdir " + prefix, error);
        }
        if (!S_ISDIR(st.st_mode)) {
            throwErrno("mkdir " + prefix, ENOTDIR);
        }
    }
    for (auto it = created.rbegin(); it != created.rend(); ++it) {
        if (::chmod(it->c_str(), mode & 07777) != 0) {
            throwErrno("chmod " + *it);
        }
    }
}

void removeTree(const std::string& path) {
    removeAt(AT_FDCWD, path, path);
}

ScratchDir::ScratchDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
    pattern += "/qztest.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throwErrno("mkdtemp " + pattern);
    }
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    if (path_.empty()) {
        return;
    }
    try {
        removeTree(path_);
    } catch (...) {
        // A destructor must not throw; leftovers in the temporary directory are harmless.
    }
}

ScratchDir::ScratchDir(ScratchDir&& other) noexcept : path_(std::exchange(other.path_, {})) {}

ScratchDir& ScratchDir::operator=(ScratchDir&& other) noexcept {
    if (this != &other) {
        ScratchDir old(std::move(*this));
        path_ = std::exchange(other.path_, {});
    }
    return *this;
}

} // namespace qz::test
