#include "provisioning/agent_records.h"

#include "base/regular_file.h"
#include "base/translation.h"
#include "base/write_all.h"
#include "bootstrap/installer_constants.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace qz {
namespace {

// Bounds what is read of a record: a few keys' lines at most.
constexpr std::size_t RECORD_LIMIT = 64 * 1024;

std::string recordPath(const std::string& cacheDirectory, const std::string& name) {
    return cacheDirectory.ends_with(PATH_SEPARATOR) ? cacheDirectory + name
                                                    : cacheDirectory + PATH_SEPARATOR + name;
}

template <std::size_t N> std::string hex(const std::array<unsigned char, N>& bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0xf];
    }
    return text;
}

template <std::size_t N> bool fromHex(const std::string& text, std::array<unsigned char, N>& out) {
    if (text.size() != 2 * N) {
        return false;
    }
    for (std::size_t i = 0; i < N; ++i) {
        unsigned value = 0;
        const auto [end, error] =
            std::from_chars(text.data() + 2 * i, text.data() + 2 * i + 2, value, 16);
        if (error != std::errc() || end != text.data() + 2 * i + 2) {
            return false;
        }
        out[i] = static_cast<unsigned char>(value);
    }
    return true;
}

bool fromDecimal(const std::string& text, std::uint64_t& out) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

// The agent's directory as it is now: any other directory put in its place, or any entry added
// to or removed from it, gives another identity.
Result<std::string> agentIdentity(const std::string& agentDirectory) {
    struct stat st {};
    if (::lstat(agentDirectory.c_str(), &st) != 0) {
        return systemFailure("Could not look at " + agentDirectory);
    }
    if (!S_ISDIR(st.st_mode)) {
        return Failure{agentDirectory + " is not a directory", ENOTDIR};
    }
    return std::to_string(st.st_dev) + " " + std::to_string(st.st_ino) + " " +
           std::to_string(st.st_ctim.tv_sec) + " " + std::to_string(st.st_ctim.tv_nsec);
}

// Only a regular file of its own is a record: a FIFO or a device put in its place never blocks
// the run, and a read that fails is a failure, never an empty record.
Result<std::string> readRecord(const std::string& path) {
    auto start = readRegularFile(path, RECORD_LIMIT, false);
    if (!start) {
        return start.failure();
    }
    if (start->longer) {
        return Failure{path + " is longer than a record can be"};
    }
    return std::move(start->bytes);
}

// Written aside and moved over the old record, so a reader sees the old or the new one whole.
Result<> replaceRecord(const std::string& path, const std::string& text) {
    std::string aside = path + RECORD_ASIDE_SUFFIX + "XXXXXX";
    // mkstemp makes it owner-only whatever the umask.
    const int fd = ::mkostemp(aside.data(), O_CLOEXEC);
    if (fd < 0) {
        return systemFailure("Could not write " + path);
    }
    auto written = platform::writeAll(fd, text.data(), text.size());
    if (::close(fd) != 0 && written) {
        written = systemFailure("Could not write " + path);
    }
    if (written && ::rename(aside.c_str(), path.c_str()) != 0) {
        written = systemFailure("Could not write " + path);
    }
    if (!written) {
        ::unlink(aside.c_str());
    }
    return written;
}

Result<> removeRecord(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        return systemFailure("Could not remove " + path);
    }
    return {};
}

} // namespace

Result<> writeVouchRecord(const std::string& cacheDirectory, const std::string& agentDirectory,
                          const Vouch& vouch) {
    const auto identity = agentIdentity(agentDirectory);
    if (!identity) {
        return identity.failure();
    }
    std::ostringstream text;
    text << "key " << hex(vouch.keyId) << "\ndigest " << hex(vouch.digest) << "\nlength "
         << vouch.length << "\nversion " << vouch.version << "\nagent " << *identity << "\n";
    if (auto written = replaceRecord(recordPath(cacheDirectory, VOUCH_RECORD_FILE), text.str());
        !written) {
        return written;
    }
    const std::string productRecord = recordPath(cacheDirectory, VOUCHED_PRODUCT_FILE);
    return vouch.product.empty()
               ? removeRecord(productRecord)
               : replaceRecord(productRecord,
                               "agent " + *identity + "\nproduct " + vouch.product + "\n");
}

std::optional<Vouch> readVouchRecord(const std::string& cacheDirectory,
                                     const std::string& agentDirectory) {
    // A record that cannot be read vouches for nothing, as none does.
    const auto text = readRecord(recordPath(cacheDirectory, VOUCH_RECORD_FILE));
    if (!text) {
        return std::nullopt;
    }
    const auto identity = agentIdentity(agentDirectory);
    if (!identity) {
        return std::nullopt;
    }
    std::map<std::string, std::string> fields;
    std::istringstream lines(*text);
    for (std::string line; std::getline(lines, line);) {
        const auto blank = line.find(' ');
        if (blank == std::string::npos ||
            !fields.emplace(line.substr(0, blank), line.substr(blank + 1)).second) {
            return std::nullopt;
        }
    }
    Vouch vouch;
    if (fields.size() != 5 || fields["agent"] != *identity ||
        !fromHex(fields["key"], vouch.keyId) || !fromHex(fields["digest"], vouch.digest) ||
        !fromDecimal(fields["length"], vouch.length) ||
        !fromDecimal(fields["version"], vouch.version)) {
        return std::nullopt;
    }
    // Older installers leave no product record, or one of an agent no longer there.
    const std::string agentLine = "agent " + *identity + "\n";
    if (const auto product = readRecord(recordPath(cacheDirectory, VOUCHED_PRODUCT_FILE));
        product && product->starts_with(agentLine + "product ") && product->ends_with("\n")) {
        vouch.product = product->substr(agentLine.size() + 8);
        vouch.product.pop_back();
    }
    return vouch;
}

namespace {

// One of the records of newest versions: each line a key, a version and, in the record of
// products, the product.
Result<VersionFloors> readFloors(const std::string& cacheDirectory, const std::string& name,
                                 bool ofProducts) {
    VersionFloors floors;
    const std::string path = recordPath(cacheDirectory, name);
    const auto text = readRecord(path);
    struct stat st {};
    if (!text && ::lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
        return floors; // no version seen yet
    }
    if (!text) {
        // Taken as empty, it would let older agents in and be rewritten with lower floors.
        return Failure{Text::format(N_("the record of the newest versions installed, %s, cannot "
                                       "be read"),
                                    path),
                       text.failure().error()};
    }
    std::istringstream lines(*text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string key, number, product, more;
        words >> key >> number >> product >> more;
        VersionLine of;
        std::uint64_t version = 0;
        if (fromHex(key, of.keyId) && fromDecimal(number, version) && more.empty() &&
            product.empty() != ofProducts) {
            of.product = product;
            floors[of] = std::max(floors[of], version);
        }
    }
    return floors;
}

Result<> writeFloors(const std::string& cacheDirectory, const std::string& name,
                     const VersionFloors& floors, bool ofProducts) {
    std::string text;
    for (const auto& [of, newest] : floors) {
        if (of.product.empty() != ofProducts) {
            text += hex(of.keyId) + " " + std::to_string(newest) +
                    (ofProducts ? " " + of.product : std::string()) + "\n";
        }
    }
    return replaceRecord(recordPath(cacheDirectory, name), text);
}

} // namespace

Result<VersionFloors> readNewestVersions(const std::string& cacheDirectory) {
    const auto ofKeys = readFloors(cacheDirectory, NEWEST_VERSIONS_FILE, false);
    if (!ofKeys) {
        return ofKeys.failure();
    }
    const auto ofProducts = readFloors(cacheDirectory, NEWEST_PRODUCT_VERSIONS_FILE, true);
    if (!ofProducts) {
        return ofProducts.failure();
    }
    VersionFloors floors = *ofKeys;
    floors.insert(ofProducts->begin(), ofProducts->end());
    return floors;
}

Result<> raiseNewestVersion(const std::string& cacheDirectory, const MinisignKeyId& keyId,
                            const std::string& product, std::uint64_t version) {
    auto read = readNewestVersions(cacheDirectory);
    if (!read) {
        return read.failure();
    }
    VersionFloors floors = *read;
    bool raisedProduct = false;
    // The key's floor too: a signature that names no product (made before products were named)
    // is never accepted below any version of the key installed since.
    for (const std::string& of : {std::string(), product}) {
        auto& newest = floors[VersionLine{keyId, of}];
        if (newest >= version) {
            continue;
        }
        newest = version;
        if (of.empty()) {
            if (auto written = writeFloors(cacheDirectory, NEWEST_VERSIONS_FILE, floors, false);
                !written) {
                return written;
            }
        } else {
            raisedProduct = true;
        }
    }
    return raisedProduct ? writeFloors(cacheDirectory, NEWEST_PRODUCT_VERSIONS_FILE, floors, true)
                         : Result<>();
}

Result<> removeAgentRecords(const std::string& cacheDirectory) {
    for (const auto& name :
         {VALIDATION_STRING_FILE, VOUCH_RECORD_FILE, VOUCHED_PRODUCT_FILE, LEGACY_VERSION_FILE}) {
        if (auto removed = removeRecord(recordPath(cacheDirectory, name)); !removed) {
            return removed;
        }
    }
    return {};
}

} // namespace qz

namespace qz {

Result<> writePartialRecord(const std::string& cacheDirectory, const PartialDownload& partial) {
    if (partial.url.find_first_of("\r\n") != std::string::npos ||
        partial.etag.find_first_of("\r\n") != std::string::npos) {
        return Failure{"A partial download of this URL or ETag is not kept"};
    }
    return replaceRecord(recordPath(cacheDirectory, PARTIAL_RECORD_FILE),
                         partial.url + "\n" + partial.etag + "\n" + std::to_string(partial.length) +
                             "\n");
}

std::optional<PartialDownload> readPartialDownload(const std::string& cacheDirectory) {
    const auto text = readRecord(recordPath(cacheDirectory, PARTIAL_RECORD_FILE));
    struct stat st {};
    const std::string file = recordPath(cacheDirectory, PARTIAL_DOWNLOAD_FILE);
    if (!text || ::lstat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return std::nullopt;
    }
    std::istringstream lines(*text);
    PartialDownload partial;
    std::string length;
    if (!std::getline(lines, partial.url) || !std::getline(lines, partial.etag) ||
        !std::getline(lines, length) || partial.url.empty() || partial.etag.empty()) {
        return std::nullopt;
    }
    std::uint64_t whole = 0;
    partial.length = fromDecimal(length, whole) ? static_cast<std::int64_t>(whole) : -1;
    partial.size = static_cast<std::uint64_t>(st.st_size);
    return partial;
}

void removePartialDownload(const std::string& cacheDirectory, bool file) {
    removeRecord(recordPath(cacheDirectory, PARTIAL_RECORD_FILE))
        .ignore("a record whose file is gone is never resumed");
    if (file) {
        removeRecord(recordPath(cacheDirectory, PARTIAL_DOWNLOAD_FILE))
            .ignore("what resists is replaced by the next download");
    }
}

} // namespace qz
