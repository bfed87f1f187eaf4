#include "platform/transfer/ca_certificates.h"

#include "base/translation.h"

#include <array>
#include <string_view>
#include <sys/stat.h>

namespace qz::platform {
namespace {

// Bundle files first: one file holds the whole store, and not every distribution keeps the
// hashed names a directory needs. Debian's comes first as it is the most common.
constexpr std::array<std::string_view, 6> kBundleFiles = {
    "/etc/ssl/certs/ca-certificates.crt",                // Debian, Ubuntu, Arch, Gentoo
    "/etc/pki/tls/certs/ca-bundle.crt",                  // Fedora, RHEL, CentOS
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem", // what the RHEL link points to
    "/var/lib/ca-certificates/ca-bundle.pem",            // openSUSE, SLES
    "/etc/ssl/ca-bundle.pem",                            // older openSUSE
    "/etc/ssl/cert.pem",                                 // Alpine, Arch, Void and others
};
constexpr std::array<std::string_view, 3> kDirectories = {
    "/etc/ssl/certs",
    "/etc/pki/tls/certs",
    "/var/lib/ca-certificates/pem",
};

template <std::size_t N> std::string listed(const std::array<std::string_view, N>& paths) {
    std::string text;
    for (const auto path : paths) {
        text += (text.empty() ? "" : ", ") + std::string(path);
    }
    return text;
}

} // namespace

PathKind pathKindOnDisk(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return PathKind::Missing;
    }
    return S_ISREG(st.st_mode)   ? PathKind::File
           : S_ISDIR(st.st_mode) ? PathKind::Directory
                                 : PathKind::Missing;
}

Result<CaCertificates> findCaCertificates(const std::string& caFile, const std::string& caDirectory,
                                          const PathProbe& probe) {
    if (!caFile.empty() || !caDirectory.empty()) {
        return CaCertificates{caFile, caDirectory};
    }
    for (const auto path : kBundleFiles) {
        if (probe(std::string(path)) == PathKind::File) {
            return CaCertificates{std::string(path), {}};
        }
    }
    for (const auto path : kDirectories) {
        if (probe(std::string(path)) == PathKind::Directory) {
            return CaCertificates{{}, std::string(path)};
        }
    }
    return Failure{noCaCertificatesReason()};
}

std::string noCaCertificatesReason(bool translated) {
    // TRANSLATORS: the first %s lists files, the second directories.
    constexpr const char* format =
        N_("No CA certificates were found to verify the server with: SSL_CERT_FILE and "
           "SSL_CERT_DIR are not set, and none of these exists: the files %s; the directories %s.");
    return formatText(translated ? _(format) : format, listed(kBundleFiles).c_str(),
                      listed(kDirectories).c_str());
}

} // namespace qz::platform
