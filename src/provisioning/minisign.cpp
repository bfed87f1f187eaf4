#include "provisioning/minisign.h"

#include "base/regular_file.h"

#include "base/translation.h"
#include "provisioning/base64.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <openssl/evp.h>
#include <unistd.h>

namespace qz {
namespace {

constexpr std::string_view UNTRUSTED_PREFIX = "untrusted comment:";
constexpr std::string_view TRUSTED_PREFIX = "trusted comment: ";

// The lines of a text, each without its line feed or a carriage return before it.
std::vector<std::string_view> linesOf(std::string_view text) {
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        std::string_view line = text.substr(0, end);
        if (line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return lines;
}

Text notBase64(int line) {
    return Text::format(N_("line %s is not base64"), std::to_string(line));
}

template <std::size_t N> void copyBytes(std::array<unsigned char, N>& to, std::string_view from) {
    std::copy_n(from.begin(), N, to.begin());
}

Result<> verifyEd25519(const std::array<unsigned char, 32>& key, const unsigned char* signature,
                       const unsigned char* message, std::size_t length, Text what) {
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> pkey(
        EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()),
        &EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          &EVP_MD_CTX_free);
    if (!pkey || !context ||
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) {
        return Failure{Text::format(N_("Ed25519 is not available from libcrypto"))};
    }
    if (EVP_DigestVerify(context.get(), signature, 64, message, length) != 1) {
        return Failure{std::move(what)};
    }
    return {};
}

} // namespace

Result<std::vector<MinisignPublicKey>> parseMinisignPublicKeys(std::string_view text) {
    std::vector<MinisignPublicKey> keys;
    int number = 0;
    for (const std::string_view line : linesOf(text)) {
        ++number;
        if (line.empty() || line.starts_with(UNTRUSTED_PREFIX)) {
            continue;
        }
        const auto bytes = decodeBase64(line);
        if (!bytes) {
            return Failure{notBase64(number)};
        }
        if (bytes->size() != 2 + 8 + 32 || !bytes->starts_with("Ed")) {
            return Failure{Text::format(N_("line %s is not a minisign Ed25519 public key"),
                                        std::to_string(number))};
        }
        MinisignPublicKey key;
        copyBytes(key.id, std::string_view(*bytes).substr(2, 8));
        copyBytes(key.key, std::string_view(*bytes).substr(10, 32));
        if (std::any_of(keys.begin(), keys.end(), [&](const auto& k) { return k.id == key.id; })) {
            return Failure{Text::format(N_("line %s repeats the key ID %s"), std::to_string(number),
                                        keyIdText(key.id))};
        }
        keys.push_back(key);
    }
    if (keys.empty()) {
        return Failure{Text::format(N_("it holds no key"))};
    }
    return keys;
}

Result<MinisignSignature> parseMinisignSignature(std::string_view text) {
    const auto lines = linesOf(text);
    const auto bad = [](Text why) {
        return Failure{
            // TRANSLATORS: %s says what is wrong with the signature file.
            Text::format(N_("the signature is not in minisign format: %s"), std::move(why))};
    };
    if (lines.size() != 4) {
        return bad(Text::format(N_("it has %s lines, not 4"), std::to_string(lines.size())));
    }
    if (!lines[0].starts_with(UNTRUSTED_PREFIX)) {
        return bad(Text::format(N_("line 1 is not an untrusted comment")));
    }
    if (!lines[2].starts_with(TRUSTED_PREFIX)) {
        return bad(Text::format(N_("line 3 is not a trusted comment")));
    }
    const auto signature = decodeBase64(lines[1]);
    const auto global = decodeBase64(lines[3]);
    if (!signature || !global) {
        return bad(notBase64(!signature ? 2 : 4));
    }
    if (signature->size() != 2 + 8 + 64 || global->size() != 64) {
        return bad(Text::format(N_("a signature has the wrong length")));
    }
    if (signature->starts_with("Ed")) {
        return Failure{Text::format(N_("the signature is in minisign's legacy format; only "
                                       "pre-hashed signatures are accepted"))};
    }
    if (!signature->starts_with("ED")) {
        return bad(Text::format(N_("the signature algorithm is unknown")));
    }
    MinisignSignature parsed;
    copyBytes(parsed.keyId, std::string_view(*signature).substr(2, 8));
    copyBytes(parsed.signature, std::string_view(*signature).substr(10, 64));
    parsed.trustedComment = std::string(lines[2].substr(TRUSTED_PREFIX.size()));
    copyBytes(parsed.globalSignature, std::string_view(*global));
    return parsed;
}

Result<std::string> readMinisignFile(const std::string& path, MinisignFile file) {
    const bool keys = file == MinisignFile::Keys;
    const std::string name = path.substr(path.find_last_of('/') + 1);
    const auto unreadable = [&](int error) {
        if (error == NOT_A_REGULAR_FILE) {
            return Failure{keys ? Text::format(N_("it is not a regular file"))
                                : Text::format(N_("its signature %s is not a regular file"), name),
                           error};
        }
        if (error == ENOENT) {
            return Failure{keys ? Text::format(N_("it is missing"))
                                : Text::format(N_("its signature %s is missing"), name),
                           error};
        }
        const Text why = Text::systemError(error);
        if (keys) {
            // TRANSLATORS: %s is the system's reason.
            return Failure{Text::format(N_("it cannot be read (%s)"), why), error};
        }
        // TRANSLATORS: the last %s is the system's reason.
        return Failure{Text::format(N_("its signature %s cannot be read (%s)"), name, why), error};
    };
    const auto opened = openRegularFile(path);
    if (!opened) {
        return unreadable(opened.failure().error());
    }
    const int fd = *opened;
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            Failure failure = unreadable(errno);
            ::close(fd);
            return failure;
        }
        if (got == 0) {
            break;
        }
        content.append(buffer, static_cast<std::size_t>(got));
        if (content.size() > MINISIGN_FILE_LIMIT) {
            ::close(fd);
            // The limit is many bytes, so a plural is all a translation needs.
            const std::string limit = std::to_string(MINISIGN_FILE_LIMIT);
            return Failure{
                keys ? Text::format(N_("it is longer than %s bytes"), limit)
                     : Text::format(N_("its signature %s is longer than %s bytes"), name, limit)};
        }
    }
    ::close(fd);
    return content;
}

std::string keyIdText(const MinisignKeyId& id) {
    // minisign prints the id as a little-endian number, without leading zeros.
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (auto byte = id.rbegin(); byte != id.rend(); ++byte) {
        text += digits[*byte >> 4];
        text += digits[*byte & 0xf];
    }
    return text.substr(std::min(text.find_first_not_of('0'), text.size() - 1));
}

Result<MinisignPublicKey> signingKey(const std::vector<MinisignPublicKey>& keys,
                                     const MinisignSignature& signature) {
    const auto found = std::find_if(keys.begin(), keys.end(),
                                    [&](const auto& key) { return key.id == signature.keyId; });
    if (found == keys.end()) {
        return Failure{Text::format(N_("it is signed with an unknown key (key ID %s)"),
                                    keyIdText(signature.keyId))};
    }
    return *found;
}

Result<> verifyTrustedComment(const MinisignPublicKey& key, const MinisignSignature& signature) {
    std::string signedText(signature.signature.begin(), signature.signature.end());
    signedText += signature.trustedComment;
    return verifyEd25519(key.key, signature.globalSignature.data(),
                         reinterpret_cast<const unsigned char*>(signedText.data()),
                         signedText.size(),
                         Text::format(N_("the trusted comment of the signature was altered")));
}

Result<> verifyDigest(const MinisignPublicKey& key, const MinisignSignature& signature,
                      const platform::Blake2b512Digest& digest) {
    return verifyEd25519(key.key, signature.signature.data(), digest.data(), digest.size(),
                         Text::format(N_("the signature does not match it")));
}

} // namespace qz
