// The Download controller with the installer's keys: the signature fetched and checked before the
// archive is asked for, and the archive checked against it before it is unpacked.
#include "download/download_controller.h"

#include "download/download_entry.h"
#include "platform/system/system_log.h"

#include <algorithm>

namespace qz {

void Download::fetchSignatureThenDownload() {
    platform::UrlRequest request(signatureUrlFor(downloadFrom), settings_.timeoutInterval);
    request.caFile = settings_.caFile;
    request.caDirectory = settings_.caDirectory;
    signatureFetch_ = environment_.fetchSignature(
        request, [this](SignatureText text) { signatureArrived(std::move(text)); });
}

void Download::signatureArrived(SignatureText text) {
    const std::string archiveName = archiveNameOfUrl(downloadFrom);
    if (const auto* error = std::get_if<platform::UrlError>(&text)) {
        if (error->bodyTooLong) {
            refuse(untrustedArchive(archiveName, signatureTooLong()));
            return;
        }
        // A network failure, not a verdict on the archive: worded as the archive's own.
        platform::systemLog("Download failed! Error - " + error->description.reason() + " " +
                            error->failingURL);
        // TRANSLATORS: the first %s is the archive's file name, the second why (libcurl's own
        // reasons stay in English).
        failure(Text::format(N_("The signature of the install agent archive %s could not be "
                                "downloaded: %s"),
                             archiveName, error->description.text())
                    .translated(),
                platform::TextColour::Red);
        return;
    }
    auto vouched = VouchedArchive::check(*keys_, std::get<std::string>(text), archiveName,
                                         privateRun_ ? VersionFloors() : cache_.newestVersions());
    if (!vouched) {
        refuse(vouched.failure());
        return;
    }
    vouched_ = *vouched;
    acquireCacheThenDownload();
}

Result<> Download::checkDownloadedArchive() {
    if (!vouched_) {
        return {};
    }
    const auto digest =
        theDownload_ ? theDownload_->bodyDigest()
                     : Result<platform::Blake2b512Digest>(Failure{Text::format(N_("no download"))});
    if (!digest) {
        return untrustedArchive(archiveNameOfUrl(downloadFrom), digest.failure().text());
    }
    const std::uint64_t length = theDownload_->bodyLength();
    if (auto checked = vouched_->checkArchive(*digest, length); !checked) {
        return checked;
    }
    // The cache may have moved on while this run waited for it.
    const auto floors = privateRun_ ? VersionFloors() : cache_.newestVersions();
    if (const auto floor = floors.find(vouched_->keyId());
        floor != floors.end() && floor->second > vouched_->version()) {
        return untrustedArchive(
            archiveNameOfUrl(downloadFrom),
            Text::format(N_("it is older than the install agent already installed")));
    }
    vouch_ = Vouch{vouched_->keyId(), *digest, length, vouched_->version()};
    return {};
}

bool Download::cachedAgentCounts() const {
    if (!keys_) {
        return true;
    }
    // With keys, only an agent that one of them vouched for, and, once this run has the server's
    // signature, only the very archive that signature is for.
    const auto vouch = cache_.vouch();
    if (!vouch || std::none_of(keys_->begin(), keys_->end(),
                               [&](const auto& key) { return key.id == vouch->keyId; })) {
        return false;
    }
    return !vouched_ || (vouched_->keyId() == vouch->keyId &&
                         vouched_->checkArchive(vouch->digest, vouch->length));
}

void Download::refuse(const Failure& why) {
    // The log in English, the window in the user's language.
    platform::systemLog(why.reason());
    state_.cancelEnabled = true;
    failure(why.shown(), platform::TextColour::Red);
}

} // namespace qz
