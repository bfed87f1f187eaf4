#include "provisioning/install_agent_sourcing.h"

#include "base/translation.h"
#include "bootstrap/installer_constants.h"
#include "download/download_entry.h"
#include "platform/system/child_processes.h"
#include "platform/system/main_bundle.h"
#include "process/executable_location.h"
#include "process/install_agent_commands.h"
#include "provisioning/cache_trust.h"
#include "provisioning/install_agent_locations.h"
#include "provisioning/install_agent_signature.h"

#include <dirent.h>
#include <sys/stat.h>
#include <utility>

namespace qz {

namespace {

class RealDownloadEntry final : public DownloadEntry {
  public:
    bool downloadInstallAgentFromQZ(const char* destination, const char* url,
                                    MessageReporter reporter, const Settings& settings) override {
        return qz::downloadInstallAgentFromQZ(destination, url, reporter, settings);
    }
    bool installAgentInCache() const override {
        return qz::installAgentInCache;
    }
};

} // namespace

std::string findInstallAgentArchive(const std::string& directory) {
    static constexpr std::string_view prefix = "InstallAgent_";
    static constexpr std::string_view suffix = ".zip";
    DIR* dir = ::opendir(directory.c_str());
    if (dir == nullptr) {
        return std::string();
    }
    std::string found;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name.size() >= prefix.size() + suffix.size() && name.starts_with(prefix) &&
            name.ends_with(suffix)) {
            found = directory + PATH_SEPARATOR + std::string(name);
            break;
        }
    }
    ::closedir(dir);
    return found;
}

std::string sourceInstallAgent(std::string scratchDirectory, std::string endpointUrl,
                               MessageReporter reporter, const Settings& settings) {
    RealDownloadEntry download;
    return sourceInstallAgent(std::move(scratchDirectory), std::move(endpointUrl), reporter,
                              settings, download);
}

std::string sourceInstallAgent(std::string scratchDirectory, std::string endpointUrl,
                               MessageReporter reporter, const Settings& settings,
                               DownloadEntry& download) {
    // Known before anything is downloaded or unpacked, without the shell's own complaint.
    if (!programOnPath("unzip", settings)) {
        reportMissingUnzip("unzip", reporter);
        reporter(_("Failed to unzip the install agent"), true);
        reporter(_("Failed to initialize the install agent."), true);
        return std::string();
    }
    std::string archive = getDefaultInstallAgentLocation(settings);
    struct stat st {};
    if (::stat(archive.c_str(), &st) != 0) {
        archive = findInstallAgentArchive(directoryOfPath(archive));
    }

    std::string destination;
    if (!archive.empty()) {
        // With the installer's key, an archive whose signature fails is not even unpacked.
        if (const auto verified = verifyBundleArchive(getBundleLocation(settings), archive);
            !verified) {
            reporter(verified.shown(), true);
            reporter(_("Failed to initialize the install agent."), true);
            return std::string();
        }
        destination = scratchDirectory;
    } else {
        const std::string cacheDir = getInstallAgentCacheDir();
        if (const auto trusted = checkCacheTrust(cacheDir)) {
            mkpath(cacheDir + INSTALL_AGENT_DIR, 0700);
        } else {
            // Someone else could have planted what lies there: this run downloads into its own
            // scratch directory and starts the install agent from there.
            reporter(trusted.shown(), true);
        }
        archive = scratchDirectory + PATH_SEPARATOR + INSTALL_AGENT_ZIP;
        if (!download.downloadInstallAgentFromQZ(archive.c_str(), endpointUrl.c_str(), reporter,
                                                 settings)) {
            return std::string();
        }
        // Only the agent that the window put in the cache, in a cache still trusted now.
        const std::string cached =
            download.installAgentInCache() ? installAgentDirOnDisk() : std::string();
        if (!cached.empty()) {
            return getInstallAgentExecutable(cached);
        }
        // Otherwise this run's own archive, into its own scratch directory: the cache is written
        // only under its lock, unpacked aside and moved into place.
        destination = scratchDirectory;
    }

    // An archive without a usable "install" at its top level would start nothing and still count
    // as a started install agent.
    if (unzipInstallAgent(archive, destination, "unzip", reporter, settings) &&
        isUsableInstallAgent(getInstallAgentExecutable(destination))) {
        return getInstallAgentExecutable(destination);
    }
    if (platform::interruptingSignal() == 0) { // a cancelled unpack says nothing more
        reporter(_("Failed to initialize the install agent."), true);
    }
    return std::string();
}

} // namespace qz
