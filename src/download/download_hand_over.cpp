// The Download controller's completion: the archive unpacked into the cache and handed over.
#include "download/download_controller.h"

#include "bootstrap/message_reporter.h"
#include "download/download_entry.h"
#include "platform/system/directories.h"
#include "platform/system/system_log.h"
#include "process/install_agent_commands.h"
#include "provisioning/install_agent_locations.h"
#include "provisioning/validation_string.h"

#include <memory>
#include <utility>
#include <vector>

namespace qz {
namespace {

using Messages = std::vector<std::pair<std::string, bool>>;

// The unpacking's messages, kept on its worker thread and reported from the loop unless the run
// was cancelled meanwhile: a cancelled run is not one whose unzip failed.
thread_local Messages unpackingMessages;

void keepMessage(const std::string& message, bool isError) {
    unpackingMessages.emplace_back(message, isError);
}

} // namespace

void Download::downloadDidFinish() {
    if (resilient_ && theDownload_) {
        // A try may have started the body over under a newer ETag: the cache records that one.
        validationString_ = theDownload_->bodyETag();
        if (!isUsableValidationString(validationString_)) {
            validationString_.clear();
        }
    }
    state_.activity = platform::Activity::HandingOver;
    state_.status = _("Initializing the installer");
    state_.bar.indeterminate = true;
    state_.bar.animating = true;
    state_.cancelEnabled = false;
    // Shown before the unpacking starts; the window then goes on animating by itself.
    showState();
    handOver();
}

void Download::handOver() {
    if (const auto checked = checkDownloadedArchive(); !checked) {
        if (refetchSignatureThenHandOver()) {
            return;
        }
        // Nothing of an archive that is not the one signed stays, nor is anything cached.
        platform::removeItem(installAgentLocation_)
            .ignore("what resists goes with the run's scratch directory");
        removePartial();
        refuse(checked.failure());
        return;
    }
    if (privateRun_) {
        // The caller unpacks the archive into the run's own scratch directory.
        agentReady_ = true;
        closeWindow();
        return;
    }
    // Unpacked beside the cache's install agent and moved into place only when complete, so an
    // interrupted or failed unpack is never current. The loop goes on meanwhile, so the window
    // stays alive and a close or a signal is heard.
    const auto made = cache_.makeUnpackDirectory();
    if (!made) {
        platform::systemLog(made.reason());
        finishHandOver(std::string(), false);
        return;
    }
    const std::string unpackDir = *made;
    unpacking_ = true;
    const std::string archive = installAgentLocation_;
    const auto messages = std::make_shared<Messages>();
    environment_.runInBackground(
        [archive, unpackDir, messages, run = settings_.run] {
            const bool unpacked =
                unzipInstallAgent(archive, unpackDir, "unzip", keepMessage, run) &&
                isUsableInstallAgent(getInstallAgentExecutable(unpackDir));
            messages->swap(unpackingMessages);
            return unpacked;
        },
        [this, unpackDir, messages](bool unpacked) {
            unpacking_ = false;
            if (!closed_) {
                for (const auto& [message, isError] : *messages) {
                    report_message_main(message, isError);
                }
            }
            finishHandOver(unpackDir, unpacked);
        });
}

void Download::finishHandOver(const std::string& unpackDir, bool unpacked) {
    bool inPlace = false;
    // A run cancelled while unpacking caches nothing, whatever unzip made of the archive.
    if (unpacked && !closed_) {
        const auto installed = cache_.install(unpackDir, validationString_, vouch_);
        if (!installed) {
            platform::systemLog(installed.reason());
        }
        inPlace = static_cast<bool>(installed);
    }
    removePartial(); // whole, whatever became of it: nothing to go on from

    if (!inPlace && !unpackDir.empty()) {
        platform::removeItem(unpackDir).ignore(
            "what resists is a leftover that the next run removes");
    }
    if (closed_) {
        // Closed while unpacking: the run is cancelled.
        stop();
        return;
    }
    if (!inPlace) {
        failure(_("Failed to unzip the installer."), platform::TextColour::Red);
        return;
    }
    if (resilient_) {
        if (const auto trusted = cache_.checkTrust(); !trusted) {
            // Someone else could have written the archive we unpacked from the cache: this run
            // downloads it again into its own scratch directory, as for a cache never trusted.
            report_message_main(trusted.shown(), true);
            downloadAgainPrivately();
            return;
        }
    }
    agentReady_ = true;
    closeWindow();
}

void Download::downloadAgainPrivately() {
    cache_.unlock();
    privateRun_ = true;
    partialOwned_ = false;
    installAgentLocation_ = downloadTo;
    validationString_.clear();
    bytesReceived_ = 0;
    const std::string splash = state_.splashImage;
    state_ = platform::WindowState();
    state_.splashImage = splash;
    acquireCacheThenDownload();
}

} // namespace qz
