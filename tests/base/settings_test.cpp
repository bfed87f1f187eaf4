#include "base/settings.h"

#include "support/translations.h"

#include <gtest/gtest.h>
#include <map>

namespace qz {
namespace {

Settings readFrom(const std::map<std::string, std::string>& environment) {
    return Settings::read([&](const char* name) -> const char* {
        const auto it = environment.find(name);
        return it == environment.end() ? nullptr : it->second.c_str();
    });
}

TEST(Settings, DefaultsWithAnEmptyEnvironment) {
    const Settings settings = readFrom({});
    EXPECT_EQ(settings.downloadTimeout, 60.0);
    EXPECT_EQ(settings.caFile, "");
    EXPECT_FALSE(settings.display);
    EXPECT_TRUE(settings.colour);
    EXPECT_FALSE(settings.dumbTerminal);
}

TEST(Settings, TheDownloadTimeOutIsAPositiveNumberOrTheDefault) {
    const std::pair<std::string, double> cases[] = {
        {"5", 5.0}, {"0.5", 0.5}, {"0", 60.0}, {"-3", 60.0}, {"5s", 60.0}, {"", 60.0},
    };
    for (const auto& [text, seconds] : cases) {
        EXPECT_EQ(readFrom({{"QZ_DOWNLOAD_TIMEOUT", text}}).downloadTimeout, seconds) << text;
    }
}

TEST(Settings, TheDownloadTimeOutIsReadAlikeWhateverTheLocalesDecimalSign) {
    if (!test::localeAvailable("de_DE.UTF-8")) {
        GTEST_SKIP() << "needs the de_DE.UTF-8 locale (scripts/setup-debian.sh test makes it)";
    }
    const test::ProcessLanguage german("de_DE.UTF-8", std::nullopt, test::builtCatalogs());
    ASSERT_TRUE(german.active());
    EXPECT_EQ(readFrom({{"QZ_DOWNLOAD_TIMEOUT", "0.5"}}).downloadTimeout, 0.5);
}

TEST(Settings, EmptyValuesCountAsUnset) {
    const Settings settings = readFrom(
        {{"SSL_CERT_FILE", ""}, {"DISPLAY", ""}, {"WAYLAND_DISPLAY", ""}, {"NO_COLOR", ""}});
    EXPECT_EQ(settings.caFile, "");
    EXPECT_FALSE(settings.display);
    EXPECT_TRUE(settings.colour);

    const Settings set = readFrom({{"SSL_CERT_FILE", "/ca.pem"},
                                   {"WAYLAND_DISPLAY", "wayland-0"},
                                   {"NO_COLOR", "1"},
                                   {"TERM", "dumb"}});
    EXPECT_EQ(set.caFile, "/ca.pem");
    EXPECT_TRUE(set.display);
    EXPECT_FALSE(set.colour);
    EXPECT_TRUE(set.dumbTerminal);
}

} // namespace
} // namespace qz
