#pragma once

#include "base/result.h"
#include "platform/system/blake2b.h"
#include "provisioning/agent_records.h"
#include "provisioning/minisign.h"
#include "provisioning/trusted_comment.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qz {

// In the installer's resources, the public keys that install agents must be signed with. Without
// this file nothing is checked; with it, nothing unsigned runs.
inline const std::string INSTALL_AGENT_KEY_FILE = "installAgentKey.pub";
inline const std::string SIGNATURE_SUFFIX = ".minisig";

using InstallAgentKeys = std::vector<MinisignPublicKey>;

// The keys of the installer whose resources lie in `resources`: none when it carries no key file,
// a failure when it carries one that cannot be used.
Result<std::optional<InstallAgentKeys>> installAgentKeys(const std::string& resources);

// A signature whose key and trusted comment are checked, waiting for the archive it vouches for.
// Every failure of this class is one line for the user.
class VouchedArchive {
  public:
    // The signature must be by one of `keys`, its trusted comment unaltered and complete, made
    // for `archiveName` and for `product` (when both name one), and of a version not older than
    // its floor: the newest seen of its key and product.
    static Result<VouchedArchive> check(const InstallAgentKeys& keys,
                                        std::string_view signatureText,
                                        const std::string& archiveName, const VersionFloors& floors,
                                        const std::string& product = std::string());

    const TrustedComment& comment() const {
        return comment_;
    }
    const MinisignKeyId& keyId() const {
        return key_.id;
    }
    std::uint64_t version() const {
        return comment_.version;
    }
    // Whose floor this signature is held to.
    VersionLine versionLine() const {
        return VersionLine{key_.id, comment_.product};
    }
    // The archive's length; a download may stop as soon as it passes this.
    std::uint64_t size() const {
        return comment_.size;
    }

    // Whether the archive with this digest and length is the one that was signed.
    Result<> checkArchive(const platform::Blake2b512Digest& digest, std::uint64_t length) const;

  private:
    VouchedArchive() = default;

    MinisignPublicKey key_;
    MinisignSignature signature_;
    TrustedComment comment_;
    std::string archiveName_;
};

// The user's line for an archive that is refused for `reason`.
Failure untrustedArchive(const std::string& archiveName, Text reason);
// Why an archive whose signature is longer than a signature may be is refused.
Text signatureTooLong();

// Checks `archive` against `archive`.minisig when the resources carry keys; the version of the
// checked archive, or none when nothing was checked.
Result<std::optional<std::uint64_t>> verifyBundleArchive(const std::string& resources,
                                                         const std::string& archive);

// For a download from `url`: the URL of its signature (".minisig" after the path, before any
// query), and the archive name that the signature must name (the path's last segment).
std::string signatureUrlFor(const std::string& url);
std::string archiveNameOfUrl(const std::string& url);

} // namespace qz
