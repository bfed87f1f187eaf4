#pragma once

#include "base/result.h"

#include <functional>
#include <string>

namespace qz::platform {

enum class PathKind { Missing, File, Directory };

// What is at a path, symbolic links followed; anything but a file or a directory is Missing.
using PathProbe = std::function<PathKind(const std::string& path)>;
PathKind pathKindOnDisk(const std::string& path);

// The certificates HTTPS servers are checked against: a bundle file (CURLOPT_CAINFO), a directory
// of hashed certificates (CURLOPT_CAPATH), or both; an empty one is not used.
struct CaCertificates {
    std::string file;
    std::string directory;
};

// SSL_CERT_FILE and SSL_CERT_DIR (`caFile`, `caDirectory`; empty when not set) are the user's
// choice: when either is set, exactly what is set is used, as given, without looking whether it
// exists, so that a wrong one fails the transfer rather than trusting something else. Otherwise
// the first of the distributions' usual places that `probe` finds: the bundle files, then the
// directories. When none is there, the failure says where we looked (noCaCertificatesReason).
Result<CaCertificates> findCaCertificates(const std::string& caFile, const std::string& caDirectory,
                                          const PathProbe& probe);

// Why HTTPS cannot be used when neither setting is set and none of the usual places exists: in
// English, or in the user's language.
std::string noCaCertificatesReason(bool translated = false);

} // namespace qz::platform
