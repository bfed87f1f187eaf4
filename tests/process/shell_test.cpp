#include "process/shell.h"

#include "support/files.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

namespace qz {
namespace {

// What `sh` makes of the quoted word: printed back by printf, with any side effect visible.
std::string throughShell(const std::string& text, const test::ScratchDir& dir) {
    const std::string out = dir / "out";
    const std::string line = "cd " + smart_quote(dir.path()) + " && printf '%s' " +
                             smart_quote(text) + " > " + smart_quote(out);
    EXPECT_EQ(call_system("sh", line), 0) << line;
    return test::readFile(out);
}

TEST(SmartQuote, SafeTextStaysAsItIs) {
    EXPECT_EQ(smart_quote("unzip"), "unzip");
    EXPECT_EQ(smart_quote("/tmp/qzAb12Cd/InstallAgent.zip"), "/tmp/qzAb12Cd/InstallAgent.zip");
    EXPECT_EQ(smart_quote("a_b@c%d+e=f:g,h.i/j-k"), "a_b@c%d+e=f:g,h.i/j-k");
}

TEST(SmartQuote, WhiteSpaceIsDoubleQuotedAsBefore) {
    EXPECT_EQ(smart_quote("/Volumes/My Installer/bundle.zip"),
              "\"/Volumes/My Installer/bundle.zip\"");
    EXPECT_EQ(smart_quote("\t"), "\"\t\"");
    EXPECT_EQ(smart_quote("a b").size(), 5u);
}

TEST(SmartQuote, EmptyTextIsAnEmptyWord) {
    EXPECT_EQ(smart_quote(""), "\"\"");
}

TEST(SmartQuote, CharactersTheShellInterpretsAreEscaped) {
    EXPECT_EQ(smart_quote("a\"b"), "\"a\\\"b\"");
    EXPECT_EQ(smart_quote("$(id)"), "\"\\$(id)\"");
    EXPECT_EQ(smart_quote("`id`"), "\"\\`id\\`\"");
    EXPECT_EQ(smart_quote("a\\b"), "\"a\\\\b\"");
    EXPECT_EQ(smart_quote("\"x y\""), "\"\\\"x y\\\"\"");
    EXPECT_EQ(smart_quote("it's"), "\"it's\"");
    EXPECT_EQ(smart_quote("a\nb"), "\"a\nb\"");
}

TEST(SmartQuote, AnyTextReachesTheShellLiterallyAndRunsNothing) {
    test::ScratchDir dir;
    const std::vector<std::string> hostile = {"",
                                              " ",
                                              "a b",
                                              "$(touch pwned)",
                                              "`touch pwned`",
                                              "x; touch pwned",
                                              "a\nb\n",
                                              "'\"'",
                                              "\\",
                                              "\\$HOME",
                                              "$HOME",
                                              "*",
                                              "~",
                                              "a|b&c>d<e",
                                              "#comment",
                                              "!",
                                              "{a,b}",
                                              "\xc3\xa9t\xc3\xa9",
                                              "\x01\x7f\xff",
                                              "-n",
                                              "a=b",
                                              "$",
                                              "\"",
                                              "\\\"",
                                              "${IFS}x"};
    for (const auto& text : hostile) {
        EXPECT_EQ(throughShell(text, dir), text);
    }
    EXPECT_FALSE(test::pathExists(dir / "pwned"));
}

TEST(Argv2cmdline, NoArgumentsGiveAnEmptyTail) {
    char name[] = "bootstrapper";
    char* argv[] = {name, nullptr};
    EXPECT_EQ(argv2cmdline(1, argv), "");
    EXPECT_EQ(argv2cmdline(0, argv), "");
}

TEST(Argv2cmdline, EachArgumentIsOneWordFollowedByASpace) {
    char name[] = "bootstrapper", a[] = "a", bc[] = "b c", empty[] = "", d[] = "$(d)";
    char* argv[] = {name, a, bc, empty, d, nullptr};
    EXPECT_EQ(argv2cmdline(5, argv), "a \"b c\" \"\" \"\\$(d)\" ");
}

TEST(CallSystem, ReturnsTheShellStatus) {
    EXPECT_EQ(call_system("", "true"), 0);
    const int status = call_system("unrelated", "exit 3");
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);
    EXPECT_NE(call_system("sh", "no-such-command-qz 2>/dev/null"), 0);
}

TEST(CallSystem, NamedVariablesDoNotReachTheCommand) {
    ::setenv("QZ_TEST_DROPPED", "1", 1);
    ::setenv("QZ_TEST_KEPT", "1", 1);
    EXPECT_EQ(call_system("", "test -z \"$QZ_TEST_DROPPED\" && test -n \"$QZ_TEST_KEPT\"",
                          {"QZ_TEST_DROPPED"}),
              0);
    EXPECT_NE(call_system("", "test -z \"$QZ_TEST_DROPPED\""), 0);
    ::unsetenv("QZ_TEST_DROPPED");
    ::unsetenv("QZ_TEST_KEPT");
}

} // namespace
} // namespace qz
