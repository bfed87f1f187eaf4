#include "support/files.h"

#include <glib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace qz::test {
namespace {

namespace fs = std::filesystem;

fs::file_status statusOf(const std::string& path) {
    std::error_code ignored;
    return fs::symlink_status(path, ignored);
}

// Directories without read, write and search permission could be neither listed nor emptied.
void makeRemovable(const fs::path& dir) {
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        if (entry.is_directory() && !entry.is_symlink()) {
            makeRemovable(entry.path());
        }
    }
}

} // namespace

void writeFile(const std::string& path, const std::string& bytes, unsigned mode) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) ||
        (out.close(), !out)) {
        throw std::system_error(errno, std::generic_category(), "write " + path);
    }
    // The umask, or an earlier file at this path, must not decide the mode.
    fs::permissions(path, fs::perms(mode & 07777));
}

std::string readFile(const std::string& path) {
    g_autofree gchar* bytes = nullptr;
    gsize size = 0;
    g_autoptr(GError) error = nullptr;
    if (!g_file_get_contents(path.c_str(), &bytes, &size, &error)) {
        throw std::system_error(error->code == G_FILE_ERROR_NOENT ? ENOENT : EIO,
                                std::generic_category(), error->message);
    }
    return std::string(bytes, size);
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, end - start));
    }
    return lines;
}

unsigned fileMode(const std::string& path) {
    return static_cast<unsigned>(fs::symlink_status(path).permissions()) & 07777;
}

bool pathExists(const std::string& path) {
    return fs::exists(statusOf(path));
}

std::vector<std::string> listDirectory(const std::string& dir) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

void makeDirectories(const std::string& path, unsigned mode) {
    std::vector<fs::path> created;
    fs::path prefix;
    for (const fs::path& part : fs::path(path)) {
        prefix /= part;
        if (!fs::exists(statusOf(prefix))) {
            created.push_back(prefix);
        }
    }
    fs::create_directories(path);
    for (auto it = created.rbegin(); it != created.rend(); ++it) {
        fs::permissions(*it, fs::perms(mode & 07777));
    }
}

void removeTree(const std::string& path) {
    if (fs::is_directory(statusOf(path))) {
        makeRemovable(path);
    }
    fs::remove_all(path);
}

ScratchDir::ScratchDir() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
    pattern += "/qztest.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    try {
        removeTree(path_);
    } catch (...) {
        // A destructor must not throw; leftovers in the temporary directory are harmless.
    }
}

} // namespace qz::test
