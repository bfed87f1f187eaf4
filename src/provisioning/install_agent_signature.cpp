#include "provisioning/install_agent_signature.h"

#include "base/translation.h"
#include "bootstrap/installer_constants.h"
#include "platform/transfer/url_text.h"

#include <cerrno>
#include <sys/stat.h>

namespace qz {
namespace {

std::string lastSegment(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

Failure untrustedArchive(const std::string& archiveName, Text reason) {
    // TRANSLATORS: the first %s is the archive's file name, the second why it is refused.
    return Failure{Text::format(N_("The install agent archive %s is not trusted: %s."), archiveName,
                                std::move(reason))};
}

Result<std::optional<InstallAgentKeys>> installAgentKeys(const std::string& resources) {
    if (resources.empty()) {
        return std::optional<InstallAgentKeys>();
    }
    const std::string path = resources + PATH_SEPARATOR + INSTALL_AGENT_KEY_FILE;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
        return std::optional<InstallAgentKeys>();
    }
    const auto unusable = [&](const Failure& why) {
        return Failure{
            // TRANSLATORS: the first %s is the key file's path, the second what is wrong with it.
            Text::format(N_("The installer's key file %s is unusable: %s."), path, why.text())};
    };
    const auto text = readMinisignFile(path, MinisignFile::Keys);
    if (!text) {
        return unusable(text.failure());
    }
    auto keys = parseMinisignPublicKeys(*text);
    if (!keys) {
        return unusable(keys.failure());
    }
    return std::optional<InstallAgentKeys>(*keys);
}

Result<VouchedArchive> VouchedArchive::check(const InstallAgentKeys& keys,
                                             std::string_view signatureText,
                                             const std::string& archiveName,
                                             const VersionFloors& floors,
                                             const std::string& product) {
    const auto refuse = [&](Text reason) {
        return untrustedArchive(archiveName, std::move(reason));
    };
    if (signatureText.size() > MINISIGN_FILE_LIMIT) {
        return refuse(signatureTooLong());
    }
    const auto signature = parseMinisignSignature(signatureText);
    if (!signature) {
        return refuse(signature.failure().text());
    }
    const auto key = signingKey(keys, *signature);
    if (!key) {
        return refuse(key.failure().text());
    }
    if (auto authentic = verifyTrustedComment(*key, *signature); !authentic) {
        return refuse(authentic.failure().text());
    }
    const auto comment = parseTrustedComment(signature->trustedComment);
    if (!comment) {
        return refuse(comment.failure().text());
    }
    if (comment->file != archiveName) {
        return refuse(Text::format(N_("its signature is for another file, %s"), comment->file));
    }
    // One key may sign many products: an installer takes only its own, held to its own floor.
    if (!comment->product.empty() && !product.empty() && comment->product != product) {
        return refuse(
            Text::format(N_("its signature is for another product, %s"), comment->product));
    }
    if (const auto floor = floors.find(VersionLine{key->id, comment->product});
        floor != floors.end() && comment->version < floor->second) {
        return refuse(Text::format(N_("it is version %s, older than version %s installed before"),
                                   std::to_string(comment->version),
                                   std::to_string(floor->second)));
    }
    VouchedArchive vouched;
    vouched.key_ = *key;
    vouched.signature_ = *signature;
    vouched.comment_ = *comment;
    vouched.archiveName_ = archiveName;
    return vouched;
}

Result<> VouchedArchive::checkArchive(const platform::Blake2b512Digest& digest,
                                      std::uint64_t length) const {
    if (length != comment_.size) {
        return untrustedArchive(
            archiveName_,
            // TRANSLATORS: both numbers are counts of bytes.
            Text::format(N_("it is %s bytes long, but its signature is for %s bytes"),
                         std::to_string(length), std::to_string(comment_.size)));
    }
    if (auto verified = verifyDigest(key_, signature_, digest); !verified) {
        return untrustedArchive(archiveName_, verified.failure().text());
    }
    return {};
}

Result<std::optional<std::uint64_t>> verifyBundleArchive(const std::string& resources,
                                                         const std::string& archive) {
    const auto keys = installAgentKeys(resources);
    if (!keys) {
        return keys.failure();
    }
    if (!*keys) {
        return std::optional<std::uint64_t>();
    }
    const std::string name = lastSegment(archive);
    const std::string signaturePath = archive + SIGNATURE_SUFFIX;
    const auto text = readMinisignFile(signaturePath, MinisignFile::Signature);
    if (!text) {
        return untrustedArchive(name, text.failure().text());
    }
    const auto vouched = VouchedArchive::check(**keys, *text, name, {});
    if (!vouched) {
        return vouched.failure();
    }
    const auto hashed = platform::hashFile(archive);
    if (!hashed) {
        return untrustedArchive(name, hashed.failure().text());
    }
    if (auto matches = vouched->checkArchive(hashed->digest, hashed->length); !matches) {
        return matches.failure();
    }
    return std::optional<std::uint64_t>(vouched->version());
}

Text signatureTooLong() {
    return Text::format(N_("its signature is longer than %s bytes"),
                        std::to_string(MINISIGN_FILE_LIMIT));
}

std::string signatureUrlFor(const std::string& url) {
    return platform::withPathSuffix(url, SIGNATURE_SUFFIX);
}

std::string archiveNameOfUrl(const std::string& url) {
    return platform::lastPathSegment(url);
}

} // namespace qz
