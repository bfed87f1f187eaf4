// The Download controller's transfer callbacks: the response, progress, and failures.
#include "download/download_controller.h"

#include "bootstrap/message_reporter.h"
#include "download/download_entry.h"
#include "platform/system/system_log.h"
#include "provisioning/install_agent_locations.h"
#include "provisioning/validation_string.h"

namespace qz {

std::string downloadingStatus(double percent) {
    // TRANSLATORS: the status line while the download runs. %3.0f is the percentage, a whole
    // number padded to three places; %% is the percent sign. Write both as your language does
    // (e.g. a no-break space before the sign); the padding may go.
    return formatText(_("Downloading %3.0f%%"), percent);
}

void Download::downloadDidReceiveResponse(const platform::UrlResponse& response) {
    // No ETag, one that could not be sent back safely, or a response without header fields give
    // the empty validation string, which never matches and is never stored.
    validationString_ = response.headerField("ETag").value_or(std::string());
    if (!isUsableValidationString(validationString_)) {
        validationString_.clear();
    }
    fileLength_ = response.expectedContentLength;
    const bool notModified = response.statusCode == 304;
    if (notModified && validationString_.empty()) {
        validationString_ = storedValidationString_;
    }

    const std::string cacheDir = getInstallAgentCacheDir();
    const std::string agentDir = cachedAgentDirectory();
    if (!agentDir.empty() && cachedAgentCounts() && isCacheValid(cacheDir, validationString_)) {
        agentReady_ = true;
        closeWindow();
        return;
    }
    if (notModified) {
        // Nothing to download and nothing current to start.
        cancelTransfer();
        downloadDidFailWithError({Failure{"The server answered 304 Not Modified for an install "
                                          "agent that is not in the cache."},
                                  response.url});
        return;
    }
    if (!holdCacheAlone()) {
        return;
    }
    if (resilient_) {
        // The cached agent stays until its replacement is in place, but is never started now.
        if (ownsPartial() && response.resumedFrom == 0) {
            // The old part goes before a new record names the file, so that no record ever
            // names another file's bytes.
            removePartialDownload(cache_.directory());
        }
        recordPartial(response);
    } else if (!agentDir.empty()) {
        cache_.discardAgent().ignore(
            "whatever resists goes when the new install agent is moved into place");
    }

    state_.activity = platform::Activity::Transferring;
    if (fileLength_ == -1) {
        state_.bar.indeterminate = true;
    } else {
        state_.bar.maximum = static_cast<double>(fileLength_);
        state_.bar.indeterminate = false;
        state_.status = downloadingStatus(0);
    }
    state_.bar.animating = true;
    showState();
}

bool Download::holdCacheAlone() {
    using Lock = InstallAgentCache::Lock;
    if (!cache_.locked()) { // a run that does not use the cache never locks it
        return true;
    }
    const auto alone = cache_.lock(Lock::Mode::Exclusive);
    if (alone && *alone) {
        return true;
    }
    if (!alone) {
        cancelTransfer();
        useNoCache(alone.failure());
        return false;
    }
    // Another run is using the cache, perhaps running its install agent: wait until it is ours
    // alone, then ask the server again, since the cache may have changed meanwhile.
    cancelTransfer();
    cache_.unlock();
    validationString_.clear();
    fileLength_ = 0;
    mustHoldAlone_ = true;
    acquireCacheThenDownload();
    return false;
}

bool Download::ownsPartial() {
    partialOwned_ =
        partialOwned_ ||
        (cache_.locked() && cache_.lockMode() == InstallAgentCache::Lock::Mode::Exclusive);
    return partialOwned_;
}

void Download::recordPartial(const platform::UrlResponse& response) {
    if (!ownsPartial() || response.resumedFrom > 0) {
        return; // the record is this answer's already
    }
    const std::string etag = response.headerField("ETag").value_or("");
    if (!isUsableValidationString(etag) || etag.starts_with("W/")) {
        // Nothing could guard a later range: not kept for the next run.
        removePartialDownload(cache_.directory(), false);
        return;
    }
    writePartialRecord(cache_.directory(), {downloadFrom, etag, response.expectedContentLength})
        .ignore("without its record the part is not resumed, only downloaded again");
}

void Download::removePartial() {
    if (partialOwned_) {
        removePartialDownload(cache_.directory());
        partialOwned_ = false;
    }
}

void Download::downloadWillRetry(const platform::RetryNotice& notice) {
    const std::string seconds = std::to_string(static_cast<long long>(notice.seconds));
    const std::string next = std::to_string(notice.nextTry);
    const std::string tries = std::to_string(notice.maxTries);
    state_.activity = platform::Activity::Waiting;
    // TRANSLATORS: the first %s is the seconds to wait, the second and third which try comes
    // next of how many, as in "Trying again in 4 s (2 of 5)…".
    state_.status = notice.serverBusy
                        ? formatText(_("The server is busy. Trying again in %s s (%s of %s)…"),
                                     seconds.c_str(), next.c_str(), tries.c_str())
                        : formatText(_("Connection lost. Trying again in %s s (%s of %s)…"),
                                     seconds.c_str(), next.c_str(), tries.c_str());
    showState();
}

void Download::downloadDidReceiveDataOfLength(std::uint64_t length) {
    bytesReceived_ += static_cast<std::int64_t>(length);
    if (state_.activity == platform::Activity::Waiting) {
        state_.activity = platform::Activity::Transferring; // a try after a wait goes on
    }
    if (fileLength_ == -1) {
        showState(); // the bytes alone, for a front end that shows them
        return;
    }
    const double percent =
        static_cast<double>(bytesReceived_) * 100.0 / static_cast<double>(fileLength_);
    state_.status = downloadingStatus(percent);
    state_.bar.value += static_cast<double>(length);
    showState();
}

void Download::failure(const std::string& message, platform::TextColour colour) {
    // Nothing more will be done with the cache; other runs need not wait for this window.
    cache_.unlock();
    state_.activity = platform::Activity::Failed;
    state_.bar.animating = false;
    state_.bar.indeterminate = false;
    state_.bar.value = state_.bar.maximum.value_or(platform::DEFAULT_BAR_MAXIMUM);
    state_.status = message;
    state_.colour = colour;
    showState();
}

void Download::downloadDidFailWithError(const platform::UrlError& error) {
    if (error.kind != platform::FailureKind::Transient &&
        error.kind != platform::FailureKind::Cancelled) {
        removePartial(); // only a cut download is worth going on from
    }
    if (startCachedAgentOffline(error)) {
        return;
    }
    if (error.notAnArchive) {
        platform::systemLog("Download failed! Error - " + error.description.reason() + " " +
                                error.failingURL,
                            false); // the failure says it
        failure(error.description.shown(), platform::TextColour::Red);
        return;
    }
    if (vouched_ && theDownload_ && theDownload_->bodyTooLong()) {
        // No endless data: the archive was cut off where its signature says it ends.
        refuse(untrustedArchive(archiveNameOfUrl(downloadFrom),
                                Text::format(N_("the server sent more than the %s bytes signed"),
                                             std::to_string(vouched_->size()))));
        return;
    }
    // For support, in English whatever the user's language, as the transfer's reason is.
    platform::systemLog("Download failed! Error - " + error.description.reason() + " " +
                        error.failingURL);
    failure(_("Error during the download process.\nSee your system log for more information."),
            platform::TextColour::Red);
}

} // namespace qz
