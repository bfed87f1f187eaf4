// What the product's tests take for granted from the glue around GLib and libzip.

#include "support/env_guard.h"
#include "support/files.h"
#include "support/http_test_server.h"
#include "support/subprocess.h"
#include "support/zip_builder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <curl/curl.h>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <unistd.h>

namespace qz::test {
namespace {

// The status and body of a GET of `url`, its path sent as it is; status 0 when none came.
std::pair<long, std::string> get(const std::string& url) {
    CURL* curl = curl_easy_init();
    std::string body;
    long status = 0;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 5L);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char* data, std::size_t, std::size_t n, void* out) {
            static_cast<std::string*>(out)->append(data, n);
            return n;
        });
    if (curl_easy_perform(curl) == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    }
    curl_easy_cleanup(curl);
    return {status, body};
}

TEST(SupportZip, UnzipRestoresVerbatimNamesModesDirectoriesAndSymlinks) {
    ScratchDir dir;
    using Kind = ZipEntry::Kind;
    writeZip(dir / "a.zip", {{"bin/", "", Kind::Directory, 0750},
                             {"bin/tool", std::string("\0\xff\n", 3), Kind::File, 0751},
                             {"link", "bin/tool", Kind::Symlink, 0777},
                             {"../up", "x"},
                             {"/abs/path", "y"}});
    const RunResult names = runProgram("unzip", {"-Z1", dir / "a.zip"});
    EXPECT_EQ(names.out, "bin/\nbin/tool\nlink\n../up\n/abs/path\n") << names.err;

    const RunResult extract =
        runProgram("unzip", {"-q", dir / "a.zip", "bin/*", "link", "-d", dir / "out"});
    ASSERT_EQ(extract.exitStatus, 0) << extract.out << extract.err;
    EXPECT_EQ(fileMode(dir / "out/bin"), 0750u);
    EXPECT_EQ(readFile(dir / "out/bin/tool"), std::string("\0\xff\n", 3));
    EXPECT_EQ(fileMode(dir / "out/bin/tool"), 0751u);
    EXPECT_EQ(std::filesystem::read_symlink(dir / "out/link"), "bin/tool");
}

TEST(SupportServer, ADirectoryIsServedByPathAndNothingOutsideIt) {
    ScratchDir dir;
    makeDirectories(dir / "www/sub");
    writeFile(dir / "www/InstallAgent.zip", "archive");
    writeFile(dir / "www/sub/InstallAgent.zip.minisig", "signature");
    writeFile(dir / "secret", "secret");
    HttpTestServer server;
    server.setDirectory(dir / "www");
    const std::pair<std::string, std::pair<long, std::string>> cases[] = {
        {"/InstallAgent.zip", {200, "archive"}},
        {"/sub/InstallAgent.zip.minisig", {200, "signature"}},
        {"/missing", {404, "404 Not Found\n"}},
        {"/sub", {404, "404 Not Found\n"}},
        {"/../secret", {404, "404 Not Found\n"}},
        {"/sub/../../secret", {404, "404 Not Found\n"}},
    };
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(get(server.url(path)), expected) << path;
    }
}

// Whether every process that held the write end of this pipe has ended, within five seconds.
bool allHoldersEnded(int readEnd) {
    pollfd ended{readEnd, POLLIN, 0};
    char byte;
    const bool atEnd = ::poll(&ended, 1, 5000) == 1 && ::read(readEnd, &byte, 1) == 0;
    ::close(readEnd);
    return atEnd;
}

TEST(SupportProcess, EnvironmentTimeoutsSignalsAndTheDestructorReachTheChild) {
    EnvGuard removed("QZ_SUPPORT_REMOVED", "gone");
    RunOptions options;
    options.setEnv = {"QZ_SUPPORT_NEW=a", "QZ_SUPPORT_NEW=b=c"};
    options.unsetEnv = {"QZ_SUPPORT_REMOVED"};
    options.stdinData = "in\n";
    options.timeoutSeconds = 0.5;
    int held[2];
    ASSERT_EQ(::pipe2(held, O_CLOEXEC), 0);
    options.passFds = {held[1]}; // the background sleep holds it as 3
    const RunResult r = runProgram(
        "sh", {"-c", "env | grep ^QZ_SUPPORT_; cat >&2; sleep 30 & echo started; wait"}, options);
    EXPECT_EQ(r.out, "QZ_SUPPORT_NEW=b=c\nstarted\n");
    EXPECT_EQ(r.errLines(), std::vector<std::string>{"in"});
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.termSignal, SIGKILL);
    EXPECT_TRUE(allHoldersEnded(held[0]));

    ASSERT_EQ(::pipe2(held, O_CLOEXEC), 0);
    options = {};
    options.passFds = {held[1]};
    {
        ChildProcess child("sh", {"-c", "sleep 30 & echo started >&2; wait"}, options);
        ASSERT_TRUE(child.waitForErr("started", 10));
    }
    EXPECT_TRUE(allHoldersEnded(held[0]));
}

} // namespace
} // namespace qz::test
