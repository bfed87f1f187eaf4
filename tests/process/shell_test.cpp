#include "process/shell.h"

#include "support/files.h"

#include <gtest/gtest.h>
#include <random>
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

// Random texts of any bytes but NUL, weighted towards the characters the shell cares about.
std::string randomText(std::mt19937& rng) {
    static const std::string special = "\"'\\$`;&|<>(){}[]*?!#~=%^ \t\n\r-/.:,@+";
    std::uniform_int_distribution<int> length(0, 24);
    std::uniform_int_distribution<int> pick(0, 3);
    std::uniform_int_distribution<int> anyByte(1, 255);
    std::uniform_int_distribution<std::size_t> specialIndex(0, special.size() - 1);
    std::string text;
    for (int i = length(rng); i > 0; --i) {
        text += pick(rng) == 0 ? static_cast<char>(anyByte(rng)) : special[specialIndex(rng)];
    }
    return text;
}

TEST(SmartQuoteProperty, RandomTextsComeBackFromTheShellByteForByte) {
    test::ScratchDir dir;
    std::mt19937 rng(20261207);
    // Many words per shell run keeps this quick; each is printed NUL-terminated.
    for (int round = 0; round < 20; ++round) {
        std::vector<std::string> texts;
        std::string line = "cd " + smart_quote(dir.path()) + " && printf '%s\\0'";
        for (int i = 0; i < 50; ++i) {
            texts.push_back(randomText(rng));
            line += " " + smart_quote(texts.back());
        }
        line += " > out";
        ASSERT_EQ(call_system("sh", line), 0) << line;
        const std::string out = test::readFile(dir / "out");
        std::vector<std::string> back;
        for (std::size_t start = 0, end; (end = out.find('\0', start)) != std::string::npos;
             start = end + 1) {
            back.push_back(out.substr(start, end - start));
        }
        ASSERT_EQ(back, texts);
        // Nothing but "out" was created: no text ran as a command or a redirection.
        ASSERT_EQ(test::listDirectory(dir.path()), std::vector<std::string>{"out"});
    }
}

} // namespace
} // namespace qz
