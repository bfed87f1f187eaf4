#include "platform/system/carried_resources.h"

#include "base/regular_file.h"
#include "base/translation.h"
#include "bootstrap/installer_constants.h"
#include "platform/system/carried_layout.h"
#include "platform/system/elf_image.h"
#include "platform/system/file_range.h"
#include "platform/system/tar_unpacking.h"

#include <sys/stat.h>
#include <unistd.h>

namespace qz::platform {
namespace {

// The program file, open for reading, and its length.
class ProgramFile {
  public:
    explicit ProgramFile(const std::string& path) : opened_(openRegularFile(path)) {
        struct stat st {};
        if (opened_ && ::fstat(*opened_, &st) == 0) {
            size_ = static_cast<std::uint64_t>(st.st_size);
        }
    }
    ~ProgramFile() {
        if (opened_) {
            ::close(*opened_);
        }
    }
    ProgramFile(const ProgramFile&) = delete;
    ProgramFile& operator=(const ProgramFile&) = delete;

    const Result<int>& fd() const {
        return opened_;
    }
    std::uint64_t size() const {
        return size_;
    }

  private:
    Result<int> opened_;
    std::uint64_t size_ = 0;
};

Failure damaged(const std::string& executable, const Failure& why) {
    return Failure{Text::format(N_("The installer %s is damaged (%s): download it again."),
                                executable, why.text()),
                   why.error()};
}

Failure cannotUnpack(const std::string& folder, const Failure& why) {
    // Not for the catalogs: the reason follows a colon in every language.
    return Failure{
        Text::format("%s: %s",
                     Text::format(N_("Could not unpack the installer's resources into %s"), folder),
                     why.text()),
        why.error()};
}

} // namespace

bool carriesResources(const std::string& executable) {
    const ProgramFile file(executable);
    if (!file.fd()) {
        return false;
    }
    const auto image = elfImageLength(*file.fd());
    // Shorter too: cut inside the program, where nothing of it that runs may be missing.
    return image && file.size() != *image;
}

Result<> unpackCarriedResources(const std::string& executable, const std::string& folder) {
    const ProgramFile file(executable);
    if (!file.fd()) {
        return damaged(executable, file.fd().failure());
    }
    const int fd = *file.fd();
    const auto image = elfImageLength(fd);
    if (!image) {
        return damaged(executable, image.failure());
    }
    const auto layout = readCarriedLayout(fd, file.size(), *image);
    if (!layout) {
        return damaged(executable, layout.failure());
    }
    if (auto whole = checkCarriedDigest(fd, *layout); !whole) {
        return damaged(executable, whole.failure());
    }
    if (::mkdir(folder.c_str(), 0700) != 0) {
        return cannotUnpack(folder, systemFailure(folder));
    }
    if (auto unpacked = unpackTar(fd, layout->resources, layout->agent - layout->resources, folder);
        !unpacked) {
        return cannotUnpack(folder, unpacked.failure());
    }
    if (layout->agent < layout->product) {
        auto copied = copyToNewFile(fd, layout->agent, layout->product - layout->agent,
                                    folder + PATH_SEPARATOR + INSTALL_AGENT_ZIP);
        if (!copied) {
            return cannotUnpack(folder, copied.failure());
        }
    }
    const std::string product = folder + PATH_SEPARATOR + "bundle.zip";
    if (::symlink(executable.c_str(), product.c_str()) != 0) {
        return cannotUnpack(folder, systemFailure(product));
    }
    return {};
}

} // namespace qz::platform
