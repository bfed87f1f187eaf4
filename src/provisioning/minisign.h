#pragma once

#include "base/result.h"
#include "platform/system/blake2b.h"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qz {

// The minisign formats (Ed25519). Only pre-hashed signatures ("ED": over the BLAKE2b-512 digest
// of the file) are accepted; the legacy "Ed" signature over the whole file is refused.

// Public key files and signature files longer than this are refused unread.
inline constexpr std::size_t MINISIGN_FILE_LIMIT = 16 * 1024;

using MinisignKeyId = std::array<unsigned char, 8>;

struct MinisignPublicKey {
    MinisignKeyId id{};
    std::array<unsigned char, 32> key{};
};

struct MinisignSignature {
    MinisignKeyId keyId{};
    std::array<unsigned char, 64> signature{};       // over the BLAKE2b-512 digest of the file
    std::string trustedComment;                      // the text after "trusted comment: "
    std::array<unsigned char, 64> globalSignature{}; // over signature + trustedComment
};

// One or more keys, each a base64 line, optionally after its "untrusted comment:" line; blank
// lines are allowed between keys. (Several keys let a new one ship before the old one retires.)
Result<std::vector<MinisignPublicKey>> parseMinisignPublicKeys(std::string_view text);

// The four lines: untrusted comment, signature, trusted comment, global signature.
Result<MinisignSignature> parseMinisignSignature(std::string_view text);

// Which file readMinisignFile reads, for the reason it gives: the installer's key file ("it ..."),
// or the signature beside an archive ("its signature <name> ...").
enum class MinisignFile { Keys, Signature };

// The content of a key or signature file; refused when longer than MINISIGN_FILE_LIMIT.
Result<std::string> readMinisignFile(const std::string& path, MinisignFile file);

// The key id as minisign prints it (up to 16 hexadecimal digits).
std::string keyIdText(const MinisignKeyId& id);

// The key among `keys` that made the signature.
Result<MinisignPublicKey> signingKey(const std::vector<MinisignPublicKey>& keys,
                                     const MinisignSignature& signature);

// Whether the trusted comment is the one that the key signed.
Result<> verifyTrustedComment(const MinisignPublicKey& key, const MinisignSignature& signature);

// Whether the signature is the key's over a file with this digest.
Result<> verifyDigest(const MinisignPublicKey& key, const MinisignSignature& signature,
                      const platform::Blake2b512Digest& digest);

} // namespace qz
