// What the product's tests take for granted from the glue around GLib and libzip.

#include "support/files.h"
#include "support/http_test_server.h"
#include "support/process_runner.h"
#include "support/zip_builder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <curl/curl.h>
#include <filesystem>

namespace qz::test {
namespace {

namespace fs = std::filesystem;

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
    const auto mode = [&](const std::string& name) {
        return fs::symlink_status(dir / name).permissions() & fs::perms::mask;
    };
    EXPECT_EQ(mode("out/bin"), fs::perms(0750));
    EXPECT_EQ(readFile(dir / "out/bin/tool"), std::string("\0\xff\n", 3));
    EXPECT_EQ(mode("out/bin/tool"), fs::perms(0751));
    EXPECT_EQ(fs::read_symlink(dir / "out/link"), "bin/tool");
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

TEST(SupportProcess, EnvironmentTimeoutsSignalsAndTheDestructorReachTheChild) {
    const auto start = std::chrono::steady_clock::now();
    ::setenv("QZ_SUPPORT_REMOVED", "gone", 1);
    RunOptions options;
    options.setEnv = {"QZ_SUPPORT_NEW=a=b"};
    options.unsetEnv = {"QZ_SUPPORT_REMOVED"};
    options.stdinData = "in\n";
    options.timeoutSeconds = 0.5;
    options.outputDrainSeconds = 8; // a surviving grandchild would hold the pipes this long
    const RunResult r = runProgram(
        "sh", {"-c", "env | grep ^QZ_SUPPORT_; cat >&2; sleep 30 & echo started; wait"}, options);
    ::unsetenv("QZ_SUPPORT_REMOVED");
    EXPECT_EQ(r.out, "QZ_SUPPORT_NEW=a=b\nstarted\n");
    EXPECT_EQ(r.errLines(), std::vector<std::string>{"in"});
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.termSignal, SIGKILL);

    options.timeoutSeconds = 20;
    ChildProcess child("sh", {"-c", "sleep 30 & echo started >&2; wait"}, options);
    ASSERT_TRUE(child.waitForErr("started", 10));
    child.signalGroup(SIGKILL);
    EXPECT_FALSE(child.waitForErr("never", 10)); // returns once the child has ended
    EXPECT_EQ(child.wait().termSignal, SIGKILL);

    pid_t pid;
    {
        ChildProcess sleeper("sleep", {"30"});
        pid = sleeper.pid();
    }
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

} // namespace
} // namespace qz::test
