#include "process/shell.h"

#include "support/files.h"

#include <gtest/gtest.h>
#include <random>

namespace qz {
namespace {

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
