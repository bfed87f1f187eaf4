#include "provisioning/cache_trust.h"
#include "provisioning/install_agent_cache.h"
#include "provisioning/install_agent_locations.h"
#include "support/env_guard.h"
#include "support/files.h"

#include <gtest/gtest.h>

namespace qz {
namespace {

class AgentVersionRecord : public ::testing::Test {
  protected:
    void SetUp() override {
        test::makeDirectories(cache.directory(), 0700);
    }
    void installAgent(std::optional<std::uint64_t> version) {
        const auto unpacked = cache.makeUnpackDirectory();
        ASSERT_TRUE(unpacked) << unpacked.reason();
        test::writeFile(*unpacked + "/install", "echo agent\n", 0755);
        const auto installed = cache.install(*unpacked, "\"etag\"", version);
        ASSERT_TRUE(installed) << installed.reason();
    }
    std::string record() const {
        return cache.directory() + "/.version";
    }

    test::ScratchDir home;
    test::EnvGuard env{"HOME", home.path()};
    InstallAgentCache cache{getInstallAgentCacheDir()};
};

TEST_F(AgentVersionRecord, ASignedAgentLeavesItsVersionOwnerOnly) {
    EXPECT_EQ(cache.recordedVersion(), std::nullopt);
    installAgent(7);
    EXPECT_EQ(cache.recordedVersion(), 7u);
    EXPECT_EQ(test::readFile(record()), "7\n");
    EXPECT_EQ(test::fileMode(record()), 0600u);
    EXPECT_EQ(cache.storedValidationString(), "\"etag\"");
    installAgent(12);
    EXPECT_EQ(cache.recordedVersion(), 12u);
}

TEST_F(AgentVersionRecord, TheVersionOutlivesADiscardedAgentAsTheFloor) {
    installAgent(7);
    ASSERT_TRUE(cache.discardAgent());
    EXPECT_EQ(cache.recordedVersion(), 7u);
}

TEST_F(AgentVersionRecord, AnAgentWithoutVersionLeavesNoRecordOfAnother) {
    installAgent(7);
    installAgent(std::nullopt);
    EXPECT_FALSE(test::pathExists(record()));
    EXPECT_EQ(cache.recordedVersion(), std::nullopt);
}

TEST_F(AgentVersionRecord, ARecordThatIsNotAWholeNumberIsNone) {
    for (const char* text : {"", "7", "x\n", "-1\n", "7 \n", "99999999999999999999\n"}) {
        test::writeFile(record(), text, 0600);
        EXPECT_EQ(cache.recordedVersion(), std::nullopt) << text;
    }
}

TEST_F(AgentVersionRecord, ARecordOthersCanWriteMakesTheCacheUntrusted) {
    installAgent(7);
    EXPECT_EQ(cacheTrustProblem(cache.directory()), "");
    test::writeFile(record(), "1\n", 0620);
    EXPECT_NE(cacheTrustProblem(cache.directory()).find(".version can be written by other users"),
              std::string::npos);
}

} // namespace
} // namespace qz
