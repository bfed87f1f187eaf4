#include "bootstrap/temp_dir.h"

#include "platform/path.h"
#include "platform/remove_item.h"
#include "platform/temporary_directory.h"

namespace qz {

TempDir::TempDir(std::string /*name*/) {
    const std::string base = platform::temporaryDirectory().value_or("/tmp");
    path_ = platform::makeUniqueDirectory(platform::appendPathComponent(base, "qzXXXXXX"));
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
