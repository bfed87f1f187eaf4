#pragma once

// Small file-system helpers for tests, mostly std::filesystem. Failures throw std::system_error.

#include <string>
#include <vector>

namespace qz::test {

// Creates or truncates `path`; the file ends up with exactly `mode`, whatever the umask.
void writeFile(const std::string& path, const std::string& bytes, unsigned mode = 0644);

std::string readFile(const std::string& path);

// `text` split at '\n', without an empty line after a final one.
std::vector<std::string> linesOf(const std::string& text);

// True if anything (even a dangling symlink) exists at `path`.
bool pathExists(const std::string& path);

// Permission bits (07777) of `path` itself, not of a symlink's target.
unsigned fileMode(const std::string& path);

// Entry names, sorted, without "." and "..".
std::vector<std::string> listDirectory(const std::string& dir);

// Like mkdir -p; directories it creates get exactly `mode` (applied once all of them exist, so
// read-only modes work too).
void makeDirectories(const std::string& path, unsigned mode = 0755);

// Removes `path` recursively without following symlinks; unreadable or read-only directories are
// made accessible first. A missing path is not an error.
void removeTree(const std::string& path);

// A fresh directory under $TMPDIR (or /tmp) named "qztest.XXXXXX", removed with removeTree when
// destroyed.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const {
        return path_;
    }
    std::string operator/(const std::string& name) const {
        return path_ + "/" + name;
    }

  private:
    std::string path_;
};

} // namespace qz::test
