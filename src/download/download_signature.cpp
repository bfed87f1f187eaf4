// The Download controller with the installer's keys: the signature fetched and checked before the
// archive is asked for, and the archive checked against it before it is unpacked.
#include "download/download_controller.h"

#include "download/download_entry.h"
#include "platform/system_log.h"

namespace qz {

void Download::fetchSignatureThenDownload() {
    platform::UrlRequest request(signatureUrlFor(downloadFrom), settings_.timeoutInterval);
    request.caFile = settings_.caFile;
    request.caDirectory = settings_.caDirectory;
    signatureFetch_ = settings_.fetchSignature(
        request, [this](Result<std::string> text) { signatureArrived(std::move(text)); });
}

void Download::signatureArrived(Result<std::string> text) {
    const std::string archiveName = archiveNameOfUrl(downloadFrom);
    if (!text) {
        refuse(untrustedArchive(archiveName,
                                // TRANSLATORS: %s is the transfer's reason, which stays in English.
                                formatText(_("its signature could not be downloaded: %s"),
                                           text.reason().c_str()))
                   .reason);
        return;
    }
    const auto floor = privateRun_ ? std::nullopt : cache_.recordedVersion();
    auto vouched = VouchedArchive::check(*keys_, *text, archiveName, floor);
    if (!vouched) {
        refuse(vouched.reason());
        return;
    }
    vouched_ = *vouched;
    acquireCacheThenDownload();
}

Result<> Download::checkDownloadedArchive() const {
    if (!vouched_) {
        return {};
    }
    const auto digest = theDownload_
                            ? theDownload_->bodyDigest()
                            : Result<platform::Blake2b512Digest>(Failure{_("no download")});
    if (!digest) {
        return untrustedArchive(archiveNameOfUrl(downloadFrom), digest.reason());
    }
    if (auto checked = vouched_->checkArchive(*digest, theDownload_->bodyLength()); !checked) {
        return checked;
    }
    // The cache may have moved on while this run waited for it.
    if (const auto floor = privateRun_ ? std::nullopt : cache_.recordedVersion();
        floor && *floor > vouched_->version()) {
        return untrustedArchive(archiveNameOfUrl(downloadFrom),
                                _("it is older than the install agent already installed"));
    }
    return {};
}

bool Download::cachedAgentCounts() const {
    // With keys, only an agent that was checked when it was cached: its version is recorded.
    return !keys_ || cache_.recordedVersion().has_value();
}

void Download::refuse(const std::string& reason) {
    platform::systemLog(reason);
    state_.cancelEnabled = true;
    failure(reason, platform::TextColour::Red);
}

} // namespace qz
