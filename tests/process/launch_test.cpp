#include "process/launch.h"

#include "process/shell.h"
#include "support/files.h"
#include "support/message_capture.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

// An install agent that records each argument it receives, NUL-terminated.
std::vector<std::string> launchAndRecord(const test::ScratchDir& dir,
                                         const std::string& bundleDirectory,
                                         std::vector<std::string> args) {
    const std::string agent = dir / "agent dir/install";
    test::makeDirectories(dir / "agent dir");
    test::writeFile(agent, "for a in \"$0\" \"$@\"; do printf '%s\\0' \"$a\"; done > \"$(dirname "
                           "\"$0\")/args\"\nexit 7\n");
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    test::capturedMessages().clear();
    EXPECT_TRUE(fireInstallAgentWithArgs(agent, "sh " + smart_quote(agent), bundleDirectory,
                                         static_cast<int>(args.size()), argv.data(),
                                         test::captureMessage));
    EXPECT_TRUE(test::capturedMessages().empty());
    std::vector<std::string> received;
    const std::string raw = test::readFile(dir / "agent dir/args");
    for (std::size_t start = 0, end; (end = raw.find('\0', start)) != std::string::npos;
         start = end + 1) {
        received.push_back(raw.substr(start, end - start));
    }
    return received;
}

TEST(FireInstallAgentWithArgs, WithoutArgumentsTheAgentGetsTheProductArchiveOnly) {
    test::ScratchDir dir;
    const auto received = launchAndRecord(dir, "/bundle dir/Resources", {"bootstrapper"});
    const std::vector<std::string> expected = {dir / "agent dir/install", "-installbundle",
                                               "/bundle dir/Resources/bundle.zip"};
    EXPECT_EQ(received, expected);
}

TEST(FireInstallAgentWithArgs, ForwardedArgumentsArriveWholeAndLiteral) {
    test::ScratchDir dir;
    const std::vector<std::string> forwarded = {
        "--dest", "a b", "",  "$(touch pwned)", "`touch pwned`", "x;touch pwned", "line\nbreak",
        "\"q\"",  "'s'", "\\"};
    std::vector<std::string> args = {"bootstrapper"};
    args.insert(args.end(), forwarded.begin(), forwarded.end());
    const auto received = launchAndRecord(dir, "", args);
    std::vector<std::string> expected = {dir / "agent dir/install", "-installbundle",
                                         "/bundle.zip"};
    expected.insert(expected.end(), forwarded.begin(), forwarded.end());
    EXPECT_EQ(received, expected);
    EXPECT_FALSE(test::pathExists(dir / "pwned"));
    EXPECT_FALSE(test::pathExists("pwned"));
}

} // namespace
} // namespace qz
