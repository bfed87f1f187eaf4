#include "platform/transfer/transfer_request.h"

#include <gtest/gtest.h>
#include <set>

namespace qz::platform {
namespace {

TEST(CaCertificates, TheSettingsAsGivenElseTheFirstOfTheUsualPlacesFilesBeforeDirectories) {
    // Each place is chosen while it is there, the next once it is gone: files as "path|",
    // directories as "|path".
    const std::vector<std::string> order = {
        "/etc/ssl/certs/ca-certificates.crt|",
        "/etc/pki/tls/certs/ca-bundle.crt|",
        "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem|",
        "/var/lib/ca-certificates/ca-bundle.pem|",
        "/etc/ssl/ca-bundle.pem|",
        "/etc/ssl/cert.pem|",
        "|/etc/ssl/certs",
        "|/etc/pki/tls/certs",
        "|/var/lib/ca-certificates/pem",
    };
    std::set<std::string> disk(order.begin(), order.end());
    const auto chosen = [&](const std::string& file, const std::string& directory) {
        const auto found = findCaCertificates(file, directory, [&](const std::string& path) {
            return disk.count(path + "|")
                       ? PathKind::File
                       : (disk.count("|" + path) ? PathKind::Directory : PathKind::Missing);
        });
        return found ? found->file + "|" + found->directory : found.reason();
    };
    EXPECT_EQ(chosen("/my.pem", ""), "/my.pem|");
    EXPECT_EQ(chosen("", "/my"), "|/my");
    for (const auto& place : order) {
        EXPECT_EQ(chosen("", ""), place);
        disk.erase(place);
    }
    disk = {"|/etc/ssl/cert.pem", "/etc/ssl/certs|"}; // each of the other kind
    EXPECT_EQ(chosen("", ""), noCaCertificatesReason().english());
    EXPECT_NE(noCaCertificatesReason().english().find("/etc/pki/tls/certs/ca-bundle.crt"),
              std::string::npos);
}

} // namespace
} // namespace qz::platform
