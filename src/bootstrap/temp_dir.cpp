#include "bootstrap/temp_dir.h"

#include "base/path.h"
#include "platform/system/directories.h"

#include <vector>

namespace qz {
namespace {

const std::string PREFIX = "qz";

} // namespace

TempDir::TempDir(std::string /*name*/) {
    // /tmp also when TMPDIR looks usable but refuses a new directory all the same.
    std::vector<std::string> bases = {"/tmp"};
    if (const auto tmp = platform::temporaryDirectory(); tmp && *tmp != "/tmp") {
        bases.insert(bases.begin(), *tmp);
    }
    for (const auto& base : bases) {
        dir_.emplace(platform::appendPathComponent(base, PREFIX + "XXXXXX"));
        if (!dir_->path().empty()) {
            platform::removeAbandonedRunDirectories(base, PREFIX);
            return;
        }
    }
    dir_.reset();
}

TempDir::~TempDir() {
    if (dir_) {
        platform::removeItem(dir_->path())
            .ignore("nothing is reported: what resists stays, and a later run removes it");
    }
}

std::string TempDir::getDir() const {
    return dir_ ? dir_->path() : std::string();
}

} // namespace qz
