#pragma once

#include "base/result.h"
#include "platform/system/blake2b.h"
#include "provisioning/minisign.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace qz {

// Beside the cached install agent: which key and which archive vouched for it. It is tied to the
// agent's directory as it was when the record was written, so an agent that anyone (an older
// installer too) put in its place is never taken as vouched for.
inline const std::string VOUCH_RECORD_FILE = ".vouched";
// The newest version seen of each signing key: the floor below which no download of that key is
// accepted. Only ever raised; replacing the agent leaves it.
inline const std::string NEWEST_VERSIONS_FILE = ".newest-versions";
// The same per product, for signatures that name one: "<key> <version> <product>" lines. Kept
// apart so that installers made before products were named read and rewrite only their own.
inline const std::string NEWEST_PRODUCT_VERSIONS_FILE = ".newest-product-versions";
// The product that the signature of the cached agent named, tied to the agent as the vouch is.
inline const std::string VOUCHED_PRODUCT_FILE = ".vouched-product";
// What older installers wrote: a version without its key or archive. It vouches for nothing.
inline const std::string LEGACY_VERSION_FILE = ".version";

// A download that did not complete, kept beside the install agent for the next run to go on
// from, and its record: the URL, the (strong) ETag and the length it is part of. Never unpacked
// or run before it is complete.
inline const std::string PARTIAL_DOWNLOAD_FILE = "installagent.part";
inline const std::string PARTIAL_RECORD_FILE = ".partial";

// What a record being written is called until it is complete; a killed run may leave it.
inline const std::string RECORD_ASIDE_SUFFIX = ".new-";

// Whose versions a floor holds for: a key, and the product its signatures name (empty: the key's
// floor, raised by every signature of that key and the only one for signatures without a product).
struct VersionLine {
    MinisignKeyId keyId{};
    std::string product;
    auto operator<=>(const VersionLine&) const = default;
};
using VersionFloors = std::map<VersionLine, std::uint64_t>;

// What a checked signature vouched for.
struct Vouch {
    MinisignKeyId keyId{};
    platform::Blake2b512Digest digest{};
    std::uint64_t length = 0;
    std::uint64_t version = 0;
    std::string product; // empty when the signature named none
};

// Stores the vouch for the agent now in `agentDirectory`, owner-only; nothing is left of a record
// that could not be written whole.
Result<> writeVouchRecord(const std::string& cacheDirectory, const std::string& agentDirectory,
                          const Vouch& vouch);

// The vouch for the agent in `agentDirectory`; none without a record, with one that cannot be
// read, or with one written for an agent no longer there.
std::optional<Vouch> readVouchRecord(const std::string& cacheDirectory,
                                     const std::string& agentDirectory);

// The newest versions recorded (none without the record); lines that cannot be read are left out.
// A record that is there but cannot be read is a failure, for the user: nothing signed is
// accepted then, and the record is never rewritten.
Result<VersionFloors> readNewestVersions(const std::string& cacheDirectory);

// Raises the key's newest version, and the product's when one is named, to `version` unless it
// is higher already; the others stay.
Result<> raiseNewestVersion(const std::string& cacheDirectory, const MinisignKeyId& keyId,
                            const std::string& product, std::uint64_t version);

struct PartialDownload {
    std::string url;
    std::string etag;
    std::int64_t length = -1; // of the whole file; -1 unknown
    std::uint64_t size = 0;   // what is kept
};

// Records what the partial download is part of; a URL or ETag that cannot be one line is not.
Result<> writePartialRecord(const std::string& cacheDirectory, const PartialDownload& partial);

// The kept partial download with its record; none without both, or when the file is not a
// regular, owner-only file of ours (its mode could let others change what we resume).
std::optional<PartialDownload> readPartialDownload(const std::string& cacheDirectory);

// Removes the partial download's record and, unless told otherwise, the file.
void removePartialDownload(const std::string& cacheDirectory, bool file = true);

// Removes the records of the cached agent: its validation string, its vouch, and what older
// installers wrote.
Result<> removeAgentRecords(const std::string& cacheDirectory);

} // namespace qz
