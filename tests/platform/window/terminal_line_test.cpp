#include "platform/window/terminal_line.h"

#include "support/translations.h"

#include <gtest/gtest.h>

namespace qz::platform {
namespace {

const double MIB = 1024.0 * 1024.0;

TEST(TerminalLine, EveryWordOfTheLineIsTranslated) {
    const test::ProcessLanguage marking("C.UTF-8", test::MARKING_LANGUAGE, test::markingCatalogs());
    ASSERT_TRUE(marking.active());
    const TerminalLine lines[] = {
        {"⟦status⟧", false, '|', 3 * MIB, 1.5 * MIB},
        {"", true, '/', std::nullopt, 2048},
        {"", false, '|', 1000, 10},
        {"", false, '|', 3 * MIB, MIB, 0.5 * MIB},
    };
    for (const auto& line : lines) {
        const std::string text = composeTerminalLine(line, 100);
        EXPECT_EQ(test::unmarkedLines(text), std::vector<std::string>{}) << text;
    }
}

TEST(TerminalLine, SizesAreWrittenInTheUsersLanguageWithItsDecimalSign) {
    if (!test::localeAvailable("de_DE.UTF-8")) {
        GTEST_SKIP() << "needs the de_DE.UTF-8 locale (scripts/setup-debian.sh test makes it)";
    }
    const test::ProcessLanguage german("de_DE.UTF-8", std::nullopt, test::builtCatalogs());
    ASSERT_TRUE(german.active());
    const std::string text = composeTerminalLine({"", false, '|', 3 * MIB, 1.5 * MIB}, 100);
    EXPECT_NE(text.find("1,5\u00a0MiB von 3,0\u00a0MiB"), std::string::npos) << text;
}

TEST(TerminalLine, DoubleWidthTextIsCutToTheTerminalsColumns) {
    const test::ProcessLanguage utf8("C.UTF-8", std::nullopt, test::builtCatalogs());
    ASSERT_TRUE(utf8.active());
    const std::string line = composeTerminalLine({"正在下载安装程序", false, '|', 3 * MIB, 0}, 9);
    EXPECT_EQ(line, "正在下载");
    EXPECT_EQ(columns(line), 8u);
}

TEST(TerminalLine, TheRateAndTimeLeftShowBesideTheBytesAsRoomAllows) {
    const TerminalLine line{"Downloading  50%", false, '|', 3 * MIB, 1.5 * MIB, 0.5 * MIB};
    EXPECT_EQ(composeTerminalLine(line, 100), "Downloading  50% [###############...............] "
                                              "1.5 MiB of 3.0 MiB  512.0 KiB/s  0:03 left");
    EXPECT_EQ(composeTerminalLine(line, 60),
              "Downloading  50% [####.....] 1.5 MiB of 3.0 MiB  512.0 KiB/s");
    EXPECT_EQ(composeTerminalLine(line, 45), "Downloading  50% [###....] 1.5 MiB of 3.0 MiB");
}

TEST(TerminalLine, TheRateIsSmoothedOverTheLastSeconds) {
    TransferRate rate;
    rate.add(0, 0);
    rate.add(0.5, 1000);
    EXPECT_EQ(rate.bytesPerSecond(), std::nullopt); // not a second yet
    for (int second = 1; second <= 10; ++second) {
        rate.add(second, second <= 5 ? 1000.0 * second : 5000 + 100.0 * (second - 5));
    }
    EXPECT_EQ(rate.bytesPerSecond(), 100); // the first seconds' burst is forgotten
}

} // namespace
} // namespace qz::platform
