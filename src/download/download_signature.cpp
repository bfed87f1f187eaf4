// The Download controller with the installer's keys: the signature fetched and checked before the
// archive is asked for, and the archive checked against it before it is unpacked.
#include "download/download_controller.h"

#include "bootstrap/message_reporter.h"
#include "download/download_entry.h"
#include "platform/system/system_log.h"
#include "provisioning/install_agent_locations.h"

#include <algorithm>

namespace qz {

void Download::fetchSignatureThenDownload() {
    state_.activity = platform::Activity::Checking;
    state_.status = _("Checking the install agent's signature…");
    state_.bar.indeterminate = true;
    state_.bar.animating = true;
    showState();
    platform::UrlRequest request(signatureUrlFor(downloadFrom), settings_.timeoutInterval);
    request.caFile = settings_.caFile;
    request.caDirectory = settings_.caDirectory;
    auto arrived = [this](SignatureText text) { signatureArrived(std::move(text)); };
    signatureFetch_ =
        resilient_ ? environment_.fetchSignature(
                         request, arrived, retryPolicy(),
                         [this](const platform::RetryNotice& notice) { downloadWillRetry(notice); })
                   : environment_.fetchSignature(request, arrived);
}

bool Download::refetchSignatureThenHandOver() {
    if (!resilient_ || signatureRefetched_ || !vouched_) {
        return false;
    }
    // The archive may be newer than the signature fetched before it: a release caught between
    // the upload of its two files. One fresh look before the archive is refused.
    signatureRefetched_ = true;
    platform::UrlRequest request(signatureUrlFor(downloadFrom), settings_.timeoutInterval);
    request.caFile = settings_.caFile;
    request.caDirectory = settings_.caDirectory;
    signatureFetch_ = environment_.fetchSignature(
        request,
        [this](SignatureText text) {
            const auto* signature = std::get_if<std::string>(&text);
            const auto floors = versionFloors();
            auto vouched =
                signature != nullptr && floors
                    ? VouchedArchive::check(*keys_, *signature, archiveNameOfUrl(downloadFrom),
                                            *floors, product_)
                    : Result<VouchedArchive>(Failure{"no signature"});
            if (vouched) {
                vouched_ = *vouched;
            }
            handOver();
        },
        retryPolicy(), [](const platform::RetryNotice&) {});
    return true;
}

bool Download::startCachedAgentOffline(const platform::UrlError& error) {
    using Lock = InstallAgentCache::Lock;
    // Only where nothing answered at all, and only an agent that one of our keys vouched for, not
    // older than the newest of its key seen: an unsigned cache vouches for nothing.
    // A signature heard in this run is the server's answer too: it may be for a newer agent.
    if (!resilient_ || !keys_ || vouched_ || error.kind != platform::FailureKind::Transient ||
        error.serverAnswered || cachedAgentDirectory().empty()) {
        return false;
    }
    const auto vouch = cache_.vouch();
    if (!vouch || std::none_of(keys_->begin(), keys_->end(),
                               [&](const auto& key) { return key.id == vouch->keyId; })) {
        return false;
    }
    // The cache is every product's: only this installer's own agent (a signature made before
    // products were named tells no product apart).
    if (!vouch->product.empty() && vouch->product != product_) {
        return false;
    }
    const auto floors = cache_.newestVersions();
    if (!floors) {
        return false;
    }
    if (const auto floor = floors->find(VersionLine{vouch->keyId, vouch->product});
        floor != floors->end() && floor->second > vouch->version) {
        return false;
    }
    if (!cache_.locked()) {
        if (const auto shared = cache_.lock(Lock::Mode::Shared); !shared || !*shared) {
            return false;
        }
    }
    platform::systemLog("Download failed! Error - " + error.description.reason() + " " +
                        error.failingURL);
    // TRANSLATORS: %s is the install agent's version, a whole number.
    report_message_main(Text::format(N_("The server cannot be reached; starting the install "
                                        "agent already on this computer (version %s)."),
                                     std::to_string(vouch->version))
                            .translated(),
                        true);
    agentReady_ = true;
    closeWindow();
    return true;
}

void Download::signatureArrived(SignatureText text) {
    const std::string archiveName = archiveNameOfUrl(downloadFrom);
    if (const auto* error = std::get_if<platform::UrlError>(&text)) {
        if (error->bodyTooLong) {
            refuse(untrustedArchive(archiveName, signatureTooLong()));
            return;
        }
        if (startCachedAgentOffline(*error)) {
            return;
        }
        // A network failure, not a verdict on the archive: worded as the archive's own, with
        // the reason the log has.
        platform::systemLog("Download failed! Error - " + error->description.reason() + " " +
                                error->failingURL,
                            false);
        // TRANSLATORS: the first %s is the archive's file name, the second why (libcurl's own
        // reasons stay in English).
        failure(Text::format(N_("The signature of the install agent archive %s could not be "
                                "downloaded: %s"),
                             archiveName, error->description.text())
                    .translated(),
                platform::TextColour::Red);
        return;
    }
    const auto floors = versionFloors();
    if (!floors) {
        refuse(untrustedArchive(archiveName, floors.failure().text()));
        return;
    }
    auto vouched =
        VouchedArchive::check(*keys_, std::get<std::string>(text), archiveName, *floors, product_);
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
    const auto floors = versionFloors();
    if (!floors) {
        return untrustedArchive(archiveNameOfUrl(downloadFrom), floors.failure().text());
    }
    if (const auto floor = floors->find(vouched_->versionLine());
        floor != floors->end() && floor->second > vouched_->version()) {
        return untrustedArchive(
            archiveNameOfUrl(downloadFrom),
            Text::format(N_("it is older than the install agent already installed")));
    }
    vouch_ =
        Vouch{vouched_->keyId(), *digest, length, vouched_->version(), vouched_->comment().product};
    return {};
}

Result<VersionFloors> Download::versionFloors() const {
    if (privateRun_) {
        return VersionFloors(); // nothing is read from a cache that is not used
    }
    return cache_.newestVersions();
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
    // The log in English, the window (or the terminal) in the user's language, each once.
    platform::systemLog(why.reason(), false);
    state_.cancelEnabled = true;
    failure(why.shown(), platform::TextColour::Red);
}

} // namespace qz
