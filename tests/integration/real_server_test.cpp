// The whole program against Debian's nginx rather than the in-process test server: nginx's own
// ETag and 304 handling, and TLS with a real certificate chain check.

#include "platform/transfer/transfer_request.h"
#include "support/files.h"
#include "support/installer_folder.h"
#include "support/nginx_server.h"
#include "support/subprocess.h"
#include "support/virtual_display.h"
#include "support/zip_builder.h"

#include <algorithm>
#include <cctype>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

namespace qz {
namespace {

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// A downloading installer (no archive in its folder) pointed at an nginx.
class RealServer : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!test::NginxServer::available()) {
            GTEST_SKIP() << "nginx is not installed (scripts/setup-debian.sh test)";
        }
        for (const char* d : {"home", "tmp", "cwd"}) {
            test::makeDirectories(root / d);
        }
        installer = test::makeFlatInstaller(root / "Installer");
        agentZip = test::makeAgentZip(test::recordingAgentScript());
    }

    void startServer(test::NginxOptions options = {}) {
        server = std::make_unique<test::NginxServer>(std::move(options));
        ASSERT_TRUE(server->waitUntilReady()) << server->errorLog();
        test::writeFile(server->root() + "/InstallAgent.zip", agentZip);
    }

    void useUrl(const std::string& url) {
        test::writeFile(installer.resources + "/installAgentURL.txt", url + "\n");
    }

    test::RunResult run(std::vector<std::string> extraEnv = {}) {
        ::unlink((root / "record").c_str());
        auto o = test::userRunOptions(root.path(), root / "record", extraEnv);
        o.timeoutSeconds = 10.0;
        return test::runProgram(installer.executable, {}, o);
    }

    std::string cache() const {
        return test::agentCacheIn(root / "home");
    }
    std::string cachedAgent() const {
        return cache() + "installagent/install";
    }

    // The GET requests nginx has logged, once it has logged `count` requests of any kind.
    std::vector<test::NginxAccessEntry> gets(std::size_t count) {
        EXPECT_TRUE(server->waitForAccessEntries(count)) << server->errorLog();
        std::vector<test::NginxAccessEntry> result;
        for (auto& entry : server->accessEntries()) {
            if (entry.method == "GET") {
                result.push_back(std::move(entry));
            }
        }
        return result;
    }

    void expectAgentStartedFromCache(const test::RunResult& result) {
        EXPECT_EQ(result.exitStatus, 0) << result.err;
        EXPECT_EQ(result.out, "agent ran\n");
        EXPECT_EQ(test::recordedArguments(root / "record"),
                  (std::vector<std::string>{cachedAgent(), "-installbundle",
                                            installer.resources + "/bundle.zip"}));
        expectNothingLeftBehind();
    }

    // Returns the text of the "Download failed! Error - " line.
    std::string expectDownloadFailure(const test::RunResult& result) {
        EXPECT_EQ(result.exitStatus, 255) << result.err;
        const auto lines = result.errLines();
        EXPECT_GE(lines.size(), 4u) << result.err;
        EXPECT_EQ(lines.empty() ? "" : lines.back(), "Installation failed.");
        std::string logged;
        int logLines = 0;
        for (const auto& line : lines) {
            if (line.find("Download failed! Error - ") != std::string::npos) {
                ++logLines;
                logged = line;
            }
        }
        EXPECT_EQ(logLines, 1) << result.err;
        EXPECT_NE(result.err.find("Error during the download process."), std::string::npos)
            << result.err;
        EXPECT_TRUE(result.out.empty()) << result.out;
        EXPECT_FALSE(test::pathExists(cachedAgent()));
        EXPECT_FALSE(test::pathExists(cache() + ".validatestring"));
        expectNothingLeftBehind();
        return logged;
    }

    void expectNothingLeftBehind() {
        EXPECT_TRUE(test::listDirectory(root / "tmp").empty());
        EXPECT_TRUE(test::listDirectory(root / "cwd").empty());
    }

    test::ScratchDir root;
    test::InstallerFolder installer;
    std::string agentZip;
    std::unique_ptr<test::NginxServer> server;
};

TEST_F(RealServer, NginxsETagKeepsTheCacheUntilTheArchiveChanges) {
    ASSERT_NO_FATAL_FAILURE(startServer());
    const std::string archive = server->root() + "/InstallAgent.zip";
    useUrl(server->httpUrl());

    // First run: a full download, remembered under nginx's ETag.
    expectAgentStartedFromCache(run());
    auto requests = gets(1);
    ASSERT_EQ(requests.size(), 1u);
    const std::string firstETag = requests[0].etag;
    EXPECT_TRUE(std::regex_match(firstETag, std::regex("\"[0-9a-f]+-[0-9a-f]+\""))) << firstETag;
    EXPECT_EQ(requests[0].status, 200);
    EXPECT_EQ(requests[0].bodyBytes, agentZip.size());
    EXPECT_EQ(requests[0].ifNoneMatch, "");
    EXPECT_TRUE(
        std::regex_match(requests[0].userAgent, std::regex(R"(velmor-bootstrapper/\d+\.\d+\.\d+)")))
        << requests[0].userAgent;
    EXPECT_EQ(test::readFile(cache() + ".validatestring"), firstETag);

    // Second run: nginx answers the stored ETag with 304 and sends none of the archive.
    test::writeFile(cache() + "installagent/marker", "");
    expectAgentStartedFromCache(run());
    requests = gets(2);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].ifNoneMatch, firstETag);
    EXPECT_EQ(requests[1].status, 304);
    EXPECT_EQ(requests[1].bodyBytes, 0u);
    EXPECT_TRUE(test::pathExists(cache() + "installagent/marker"));

    // Same bytes, another modification time: nginx's ETag changes, so the archive comes again.
    struct stat st {};
    ASSERT_EQ(::stat(archive.c_str(), &st), 0);
    const timespec times[2] = {st.st_atim, {st.st_mtim.tv_sec - 3600, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, archive.c_str(), times, 0), 0);
    expectAgentStartedFromCache(run());
    requests = gets(3);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_NE(requests[2].etag, firstETag);
    EXPECT_EQ(requests[2].ifNoneMatch, firstETag);
    EXPECT_EQ(requests[2].status, 200);
    EXPECT_EQ(requests[2].bodyBytes, agentZip.size());
    EXPECT_FALSE(test::pathExists(cache() + "installagent/marker"));
    EXPECT_EQ(test::readFile(cache() + ".validatestring"), requests[2].etag);
}

// nginx over TLS with a self-signed certificate for 127.0.0.1 made for the test.
class RealServerHttps : public RealServer {
  protected:
    void SetUp() override {
        RealServer::SetUp();
        if (IsSkipped()) {
            return;
        }
        if (!test::findProgram("openssl")) {
            GTEST_SKIP() << "openssl is not installed (scripts/setup-debian.sh test)";
        }
        test::makeDirectories(root / "tls");
        test::RunOptions o;
        o.workingDirectory = root / "tls";
        const auto made =
            test::runProgram("openssl",
                             {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                              "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                              "-keyout", "key.pem", "-out", "cert.pem"},
                             o);
        ASSERT_EQ(made.exitStatus, 0) << made.err;
        certificate = root / "tls/cert.pem";
        test::NginxOptions options;
        options.certificateFile = certificate;
        options.keyFile = root / "tls/key.pem";
        options.redirectToHttp = true;
        startServer(options);
    }

    std::string certificate;
};

TEST_F(RealServerHttps, TheCertificateIsCheckedAndSslCertFileCanTrustIt) {
    useUrl(server->httpsUrl());

    const std::string logged = expectDownloadFailure(run());
    EXPECT_NE(lowercase(logged).find("certificate"), std::string::npos) << logged;

    expectAgentStartedFromCache(run({"SSL_CERT_FILE=" + certificate}));
    const auto requests = gets(1);
    ASSERT_EQ(requests.size(), 1u) << "the untrusted run must not get as far as a request";
    EXPECT_EQ(requests[0].port, server->httpsPort());
    EXPECT_EQ(requests[0].status, 200);
    EXPECT_EQ(requests[0].bodyBytes, agentZip.size());
}

TEST_F(RealServerHttps, WithNoCaCertificatesFoundTheDownloadSaysWhereItLooked) {
    useUrl(server->httpsUrl());
    // In a mount namespace where the places that distributions keep certificates in are empty.
    const auto result =
        test::runProgram("unshare",
                         {"-rm", "sh", "-c",
                          "for d in /etc/ssl /etc/pki /var/lib/ca-certificates; do [ ! -d $d ] || "
                          "mount -t tmpfs none $d || exit 1; done; exec \"$0\"",
                          installer.executable},
                         test::userRunOptions(root.path(), root / "record"));
    if (result.exitStatus == 1) { // the program itself ends with 0 or 255
        GTEST_SKIP() << "needs a mount namespace of its own (unshare): " << result.err;
    }
    const auto logged = expectDownloadFailure(result);
    EXPECT_NE(logged.find(" - " + platform::noCaCertificatesReason().english() + " https:"),
              std::string::npos)
        << logged;
    EXPECT_TRUE(server->accessEntries().empty());
}

TEST_F(RealServerHttps, ARedirectFromHttpsToPlainHttpIsRefused) {
    useUrl(server->httpsUrl("/to-http"));
    // The target exists and is served over plain HTTP, so only the downgrade can stop it.
    expectDownloadFailure(run({"SSL_CERT_FILE=" + certificate}));
    const auto requests = gets(1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].port, server->httpsPort());
    EXPECT_EQ(requests[0].target, "/to-http");
    EXPECT_EQ(requests[0].status, 302);
    for (const auto& entry : server->accessEntries()) {
        EXPECT_NE(entry.port, server->httpPort()) << "the plain-HTTP location was requested";
    }
}

} // namespace
} // namespace qz
