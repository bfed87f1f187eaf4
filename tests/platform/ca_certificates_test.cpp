#include "platform/ca_certificates.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <vector>

namespace qz::platform {
namespace {

// What is chosen, as "file|directory", on a disk holding `places` (directories end in "/").
std::string chosen(const std::string& file, const std::string& dir,
                   const std::vector<std::string>& places) {
    const auto found = findCaCertificates(file, dir, [&](const std::string& path) {
        const auto has = [&](const std::string& p) { return std::ranges::count(places, p) > 0; };
        return has(path)         ? PathKind::File
               : has(path + "/") ? PathKind::Directory
                                 : PathKind::Missing;
    });
    return found ? found->file + "|" + found->directory : found.reason();
}

TEST(CaCertificates, TheSettingsAsGivenElseTheFirstPlaceFoundFilesBeforeDirectories) {
    // Each disk's first place is the one to be chosen.
    const std::vector<std::vector<std::string>> disks = {
        {"/etc/ssl/certs/ca-certificates.crt", "/etc/pki/tls/certs/ca-bundle.crt",
         "/etc/ssl/certs/"},
        {"/etc/pki/tls/certs/ca-bundle.crt", "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem"},
        {"/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",
         "/var/lib/ca-certificates/ca-bundle.pem"},
        {"/var/lib/ca-certificates/ca-bundle.pem", "/etc/ssl/ca-bundle.pem", "/etc/ssl/cert.pem"},
        {"/etc/ssl/cert.pem", "/etc/ssl/certs/", "/etc/pki/tls/certs/"},
        {"/etc/ssl/certs/", "/etc/pki/tls/certs/", "/var/lib/ca-certificates/pem/"},
        {"/var/lib/ca-certificates/pem/", "/etc/ssl/cert.pem/", "/etc/pki/tls/certs"},
    };
    for (const auto& disk : disks) {
        const bool dir = disk[0].ends_with("/");
        EXPECT_EQ(chosen("", "", disk),
                  dir ? "|" + disk[0].substr(0, disk[0].size() - 1) : disk[0] + "|");
    }
    EXPECT_EQ(chosen("/missing.pem", "", disks[0]), "/missing.pem|");
    EXPECT_EQ(chosen("", "/mine", disks[0]), "|/mine");
    EXPECT_EQ(chosen("/mine.pem", "/mine", {}), "/mine.pem|/mine");
    EXPECT_EQ(chosen("", "", {"/etc/ssl/cert.pem/", "/etc/ssl/certs"}), noCaCertificatesReason());
    EXPECT_NE(noCaCertificatesReason().find("/etc/pki/tls/certs/ca-bundle.crt"), std::string::npos);
}

} // namespace
} // namespace qz::platform
