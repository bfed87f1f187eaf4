#include "bootstrap/temp_dir.h"

#include "platform/path.h"
#include "platform/remove_item.h"
#include "platform/temporary_directory.h"

#include <cstdlib>
#include <vector>

namespace qz {

TempDir::TempDir(std::string /*name*/) {
    const std::string base = platform::temporaryDirectory().value_or("/tmp");
    const std::string pattern = platform::appendPathComponent(base, "qzXXXXXX");
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) != nullptr) {
        path_.assign(buffer.data(), pattern.size());
    }
}

TempDir::~TempDir() {
    if (!path_.empty()) {
        platform::removeItem(path_);
    }
}

std::string TempDir::getDir() const {
    return path_;
}

} // namespace qz
